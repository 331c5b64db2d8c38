% The calls Octave users make, good and bad, in the real host. Each row's statement runs where the
% fixtures' names are variables; its transcript (what it printed, how it ended, its result, and
% whether it left a descriptor open) must match the row's pattern. While a row runs, each redraw
% after a progress line prints <redraw>, unless the row sets a redraw hook of its own. The rows
% run in this process, but for the two that would end it or hobble it: an interrupt and a limit on
% its memory run in an octave-cli of their own, this script again with the row's name. After the
% table, the rows that don't reduce run ten times more; from before the table to the end, the open
% descriptors and the resident memory must come back to where they were, so nothing a call
% acquires outlives it.
%
%   octave-cli --path MODULE --path tests/support/octave --path tests/support/octave/redraw calls_test.m
%   (the same) calls_test.m FIXTURES ROW_NAME     runs one row in a process of its own
1;

function pattern = literal(text)
  pattern = regexptranslate('escape', text);
end

function expectation = ends(pattern, volume)
  expectation = struct('pattern', ['^' pattern '@descriptors kept\n$'], 'volume', volume, 'own_process', false);
end

function expectation = fails_with(message)
  expectation = ends(['@error ' literal(['Quarnel: ' message]) '\n@result none\n'], []);
end

function expectation = prints(text)
  expectation = ends([literal(text) '@returned\n@result none\n'], []);
end

% The module prints its line and gives no result; the host then fails the assignment.
function expectation = prints_then_no_value(text)
  expectation = ends([literal(text) '@error (?!Quarnel: ).+\n@result none\n'], []);
end

function expectation = reduces(printed, volume)
  expectation = ends([literal(printed) '@returned\n@result as expected\n'], volume);
end

function expectation = in_own_process(pattern)
  expectation = ends(pattern, []);
  expectation.own_process = true;
end

% One row for each of `values`, a list of argument texts: the row's name and statement are
% `name` and `statement` with the value in place of their %s.
function table = rows_for(name, statement, values, expected)
  table = [cellfun(@(value) sprintf(name, value), values', 'UniformOutput', false), ...
           cellfun(@(value) sprintf(statement, value), values', 'UniformOutput', false), repmat({expected}, numel(values), 1)];
end

function count = open_descriptors()
  count = numel(readdir('/proc/self/fd'));
end

function kilobytes = resident_memory()
  kilobytes = str2double(regexp(fileread('/proc/self/status'), 'VmRSS:\s*(\d+)', 'tokens'){1}{1});
end

% The pairs file is written by the rows that shrink it.
function files = fixture_names(fixtures)
  files = struct('one_byte', 'one byte.raw', 'empty_file', 'empty.raw', 'short_file', 'short.raw', ...
                 'exact_file', 'exact.raw', 'longer_file', 'longer.raw', 'folder', 'folder.raw', 'missing_file', 'missing.raw', ...
                 'unusual_file', fullfile("a f\xc3\xb6lder with spaces", "\xe4\xbd\x93\xe7\xa9\x8d \xc3\xa9t\xc3\xa9.raw"), ...
                 'long_name', repmat('n', 1, 5000), 'pairs_file', 'pairs.raw');
  files = structfun(@(name) fullfile(fixtures, name), files, 'UniformOutput', false);
end

% Whole volumes are zero but for their last sample, 16384, which reduces to 2048 in the last
% element; the longer one has a byte past the volume, 127, which must be ignored.
function write_fixtures(files)
  volume_bytes = 268435456;
  write_sparse_file(files.one_byte, 1);
  write_sparse_file(files.empty_file, 0);
  write_sparse_file(files.short_file, volume_bytes - 1);
  write_sparse_file(files.exact_file, volume_bytes, volume_bytes - 2, uint8([0 64]));
  write_sparse_file(files.longer_file, volume_bytes + 1, volume_bytes - 2, uint8([0 64 127]));
  mkdir(fileparts(files.unusual_file));
  write_sparse_file(files.unusual_file, volume_bytes, volume_bytes - 2, uint8([0 64]));
  mkdir(files.folder);
end

% What a sweep of a file written by write_pair_volume(path, 8 * (1:256)) gives when the file is
% cut before slice pair `pair` (0-based) is read, leaving `samples_left` of that pair's first row
% (up to 512): each block of two of them counts, 2 * (pair + 1) each, everything after is zero.
function V = pairs_cut_at(pair, samples_left)
  V = zeros(256, 256, 256, 'single');
  for s = 0:pair - 1
    V(:, :, s + 1) = 8 * (s + 1);
  end
  V(1, 1:floor(samples_left / 2), pair + 1) = 2 * (pair + 1);
end

% Prints the row's transcript. The statement runs here, so that its variables (r, ans) and the
% fixtures' names are the only ones it sees; the names below are unlikely to meet one of them.
function run_row(row_statement, row_files, row_volume)
  for row_name = fieldnames(row_files)'
    eval(sprintf('%s = row_files.%s;', row_name{1}, row_name{1}));
  end
  row_descriptors = open_descriptors();
  unwind_protect
    try
      eval(row_statement);
      printf('@returned\n');
    catch row_failure
      printf('@error %s\n', row_failure.message);
    end_try_catch
    row_result = [];
    if exist('r', 'var')
      row_result = r;
    elseif exist('ans', 'var')
      row_result = ans;
    end
    if isempty(row_result)
      printf('@result none\n');
    elseif isempty(row_volume)
      printf('@result %s %s\n', class(row_result), mat2str(size(row_result)));
    else
      try
        expect_same_values(row_result, row_volume, 'result');
        printf('@result as expected\n');
      catch row_failure
        printf('@result %s\n', row_failure.message);
      end_try_catch
    end
  unwind_protect_cleanup
    left_open = open_descriptors() - row_descriptors;
    if left_open == 0
      printf('@descriptors kept\n');
    else
      printf('@descriptors left open: %d\n', left_open);
    end
  end_unwind_protect
end

function transcript = row_transcript(row, files, fixtures)
  [name, statement, expected] = row{:};
  if expected.own_process
    folders = cellfun(@(f) ['--path ' shell_quoted(fileparts(which(f))) ' '], ...
                      {'Quarnel', 'write_sparse_file', 'on_redraw'}, 'UniformOutput', false);
    [~, transcript] = system(['octave-cli --norc --no-history --quiet ' [folders{:}] ...
                              shell_quoted(mfilename('fullpathext')) ' ' shell_quoted(fixtures) ' ' ...
                              shell_quoted(name) ' 2>/dev/null']);
  else
    on_redraw(@() printf('<redraw>\n'));
    transcript = evalc('run_row(statement, files, expected.volume)');
    on_redraw([]);
  end
end

function failures = run_rows(cases, files, fixtures, report_passes)
  failures = 0;
  for k = 1:rows(cases)
    transcript = row_transcript(cases(k, :), files, fixtures);
    if isempty(regexp(transcript, cases{k, 3}.pattern, 'once'))
      failures = failures + 1;
      printf('FAILED  %s\n  statement: %s\n  expected:  %s\n  printed:\n%s\n', cases{k, 1:2}, cases{k, 3}.pattern, transcript);
    elseif report_passes
      printf('ok      %s\n', cases{k, 1});
    end
    fflush(stdout);  % so that a crash shows which row it came in
  end
end

command_line = argv();
if numel(command_line) == 2
  fixtures = command_line{1};
else
  fixtures = scratch_folder();
end
files = fixture_names(fixtures);
exact = zeros(256, 256, 256, 'single');
exact(end) = 2048;

not_a_path = 'First input must be the path of the volume file, as a non-empty character row.';
nul_in_path = 'First input must not contain a NUL character: the path would name a different file.';
not_a_switch = 'Second input must be a real, non-empty numeric or logical value: the progress switch.';
open_line = sprintf('Couldn''t open file!\n');
short_line = sprintf('Couldn''t read 268435456 bytes from file!\n');
shown = progress_transcript(sprintf('<redraw>\n'));
cases = [
  % The shape of the call, checked first. A file a call that got through would reach prints a
  % line of its own, so the check can't pass by accident.
  {'no input',                 'Quarnel ();',                         fails_with('One input argument required.')
   'no input, two outputs',    '[r, q] = Quarnel ();',                fails_with('One input argument required.')
   'two outputs',              '[r, q] = Quarnel (missing_file);',    fails_with('Too many output arguments.')
   'two outputs and a switch', '[r, q] = Quarnel (missing_file, 1);', fails_with('Too many output arguments.')
   'three outputs, bad path',  '[r, q, p] = Quarnel (1);',            fails_with('Too many output arguments.')}
  % The first argument, with one output and with none; the last path is judged before its bad switch.
  rows_for('path %s', 'r = Quarnel (%s);', {'1', 'single (1)', 'int8 (one_byte)', '1 + 2i', 'sparse (1)', 'true', ...
           '{one_byte}', '{}', 'struct (''path'', one_byte)', '@sin', 'containers.Map ()', '''''', '""', ...
           'char (zeros (0, 3))', '[''ab''; ''cd'']', '[one_byte; one_byte]', 'one_byte''', ...
           'reshape (''abcd'', 1, 2, 2)', '1, ''on'''}, fails_with(not_a_path))
  rows_for('path %s, no output', 'Quarnel (%s);', {'1', 'int8 (missing_file)', '{missing_file}', '''''', ...
           '[missing_file; missing_file]', 'missing_file.'''}, fails_with(not_a_path))
  rows_for('path %s', 'r = Quarnel (%s);', {'[''/tmp/x'' char(0) ''y'']', '[one_byte(1:end-4) char(0) one_byte(end-3:end)]', ...
           '[one_byte char(0)]', 'char (0)'}, fails_with(nul_in_path))
  rows_for('path %s, no output', 'Quarnel (%s);', {'[missing_file char(0) ''x'']', '[exact_file char(0)]'}, ...
           fails_with(nul_in_path))
  % The second argument, with one output and with none.
  rows_for('switch %s', 'r = Quarnel (one_byte, %s);', {'[]', 'zeros (1, 0)', '1:0', 'single ([])', 'int8 ([])', ...
           'uint64 (zeros (0, 1))', 'false (0, 0)', '''on''', '''1''', '''''', '{1}', '{}', 'struct ()', '@sin', ...
           '@() 1', 'containers.Map ()', '1 + 2i', 'complex (1, 0)', 'complex (0, 0)', 'single (1i)', 'sparse (1)', ...
           'sparse (0)', 'sparse (true)', 'sparse (1i)'}, fails_with(not_a_switch))
  rows_for('switch %s, no output', 'Quarnel (missing_file, %s);', {'[]', 'zeros (0, 3)', '''on''', '{1}', ...
           'struct (''on'', 1)', '@sin', '1i', 'complex (1, 0)', 'sparse (1)'}, fails_with(not_a_switch))
  % Accepted calls on files that can't deliver a volume, whatever follows the switch: one line, and
  % no result, not even ans.
  rows_for('file %s', 'Quarnel (%s);', {'missing_file', 'missing_file, 1', '[one_byte ''/volume.raw''], 1', ...
           'long_name', 'repmat (''n'', 1, 5000), 1'}, prints(open_line))
  rows_for('file %s', 'Quarnel (%s);', {'one_byte, 0, {}, struct (), @sin, 1i', 'empty_file, 1', 'one_byte, 1', ...
           'short_file, 1', 'folder, 1', 'folder', '''/dev/null'', 1', '''/dev/null'''}, prints(short_line))
  rows_for('file %s, one output', 'r = Quarnel (%s);', {'missing_file', 'missing_file, 1'}, prints_then_no_value(open_line))
  rows_for('file %s, one output', 'r = Quarnel (%s);', {'empty_file', 'short_file', 'folder'}, ...
           prints_then_no_value(short_line))
  % Whole volumes, with the result in r or, with no output asked for, in ans.
  {'exactly 268435456 bytes',          'r = Quarnel (exact_file);',       reduces('', exact)
   'switch on, no output',             'Quarnel (exact_file, 1);',        reduces(shown, exact)
   'one byte more, no output',         'Quarnel (longer_file);',          reduces('', exact)
   'spaces and non-ASCII in the path', 'r = Quarnel (unusual_file);',     reduces('', exact)
   '/dev/zero',                        'r = Quarnel (''/dev/zero'', 1);', reduces(shown, zeros(256, 256, 256, 'single'))}
  % The switch, decided by its first element whatever its class: each progress line is followed
  % by exactly one redraw. Among the values that turn it on are the smallest double, NaN, and
  % integers whose low bytes are all zero.
  rows_for('switch %s', 'r = Quarnel (exact_file, %s);', {'0', '-0', 'false', 'int8 (0)', 'uint8 (0)', 'int16 (0)', ...
           'uint16 (0)', 'int32 (0)', 'uint32 (0)', 'int64 (0)', 'uint64 (0)', 'single (-0)', '[0 1]', '0:1', ...
           'int16 (zeros (2))'}, reduces('', exact))
  rows_for('switch %s', 'r = Quarnel (exact_file, %s);', {'1', '-1', '0.5', 'realmin * eps', 'Inf', '-Inf', 'NaN', ...
           'single (NaN)', 'true', 'int8 (3)', 'int8 (-128)', 'uint8 (255)', 'int16 (256)', 'uint16 (256)', ...
           'int32 (65536)', 'uint32 (2^31)', 'intmin (''int64'')', 'uint64 (2^40)', 'bitshift (uint64 (1), 63)', ...
           '[1 0]', '1, ''ignored'''}, reduces(shown, exact))
  % Files another program cuts short during the sweep, at the redraw before a slice pair is read:
  % the pairs read before keep their values, the whole samples left count, the rest is zero, and
  % the line comes last.
  {'file cut inside slice pair 100',  ['write_pair_volume (pairs_file, 8 * (1:256)); ' ...
                                       'on_redraw (@() truncate_file (pairs_file, 100 * 1048576 + 1001), 101); ' ...
                                       'r = Quarnel (pairs_file, 1);'], ...
                                      reduces([progress_transcript('') short_line], pairs_cut_at(100, 500))
   'file emptied before slice pair 128', ['write_pair_volume (pairs_file, 8 * (1:256)); ' ...
                                          'on_redraw (@() truncate_file (pairs_file, 0), 129); ' ...
                                          'r = Quarnel (pairs_file, 1);'], ...
                                         reduces([progress_transcript('') short_line], pairs_cut_at(128, 0))
  % The host ending the call from inside its own operations: a user's Ctrl-C during the sweep
  % ends the script, and a process whose address space can't take the result keeps that limit.
   'interrupted while showing progress', 'on_redraw (@() kill (getpid (), 2), 5); r = Quarnel (exact_file, 1);', ...
       in_own_process('(Resample Progress : [0-9]+\.[0-9]{2} percent\n)+')
   'out of memory creating the result', ...
       ['vm_size = str2double (regexp (fileread (''/proc/self/status''), ''VmSize:\s*(\d+)'', ''tokens''){1}{1}); ' ...
        'assert (system (sprintf (''prlimit --pid %d --as=%d'', getpid (), (vm_size + 32768) * 1024)) == 0); ' ...
        'r = Quarnel (exact_file);'], ...
       in_own_process(['@error ' literal('Quarnel: ') '.*memory.*\n@result none\n'])}
];

% A row in a process of its own is found by its name.
assert(numel(unique(cases(:, 1))) == rows(cases), 'two rows share a name');

if numel(command_line) == 2
  run_row(cases{strcmp(cases(:, 1), command_line{2}), 2}, files, []);
  exit(0);
end

write_fixtures(files);
unwind_protect
  % Every row that doesn't reduce, and one that does, load what the calls need before the count.
  calls_only = find(cellfun(@(e) isempty(e.volume) && ~e.own_process, cases(:, 3)))';
  warm_up = [calls_only find(cellfun(@(e) ~isempty(e.volume), cases(:, 3)), 1)];
  failures = run_rows(cases(warm_up, :), files, fixtures, false);
  descriptors_before = open_descriptors();
  memory_before = resident_memory();
  failures = failures + run_rows(cases, files, fixtures, true);
  rounds = 10;
  for round = 1:rounds
    failures = failures + run_rows(cases(calls_only, :), files, fixtures, false);
  end
  descriptors_after = open_descriptors();
  memory_after = resident_memory();
unwind_protect_cleanup
  remove_folder(fixtures);
end_unwind_protect

% A leaked slice-pair buffer would add 1 MiB a reduction, a leaked result 64 MiB.
tolerance = 8192;
printf('%d calls: open descriptors %d -> %d, resident memory %d kB -> %d kB\n', ...
       rows(cases) + rounds * numel(calls_only), descriptors_before, descriptors_after, memory_before, memory_after);
if descriptors_after ~= descriptors_before || memory_after - memory_before >= tolerance
  failures = failures + 1;
  printf('FAILED  descriptors or resident memory not back where they were\n');
end
printf('%d failed\n', failures);
exit(failures ~= 0);
