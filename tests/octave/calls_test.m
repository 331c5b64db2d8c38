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

function count = open_descriptors()
  count = numel(readdir('/proc/self/fd'));
end

function kilobytes = resident_memory()
  kilobytes = str2double(regexp(fileread('/proc/self/status'), 'VmRSS:\s*(\d+)', 'tokens'){1}{1});
end

function files = fixture_names(fixtures)
  files.one_byte = fullfile(fixtures, 'one byte.raw');
  files.empty_file = fullfile(fixtures, 'empty.raw');
  files.short_file = fullfile(fixtures, 'short.raw');
  files.exact_file = fullfile(fixtures, 'exact.raw');
  files.longer_file = fullfile(fixtures, 'longer.raw');
  files.unusual_file = fullfile(fixtures, "a f\xc3\xb6lder with spaces", "\xe4\xbd\x93\xe7\xa9\x8d \xc3\xa9t\xc3\xa9.raw");
  files.folder = fullfile(fixtures, 'folder.raw');
  files.missing_file = fullfile(fixtures, 'missing.raw');
  files.long_name = fullfile(fixtures, repmat('n', 1, 5000));
  files.pairs_file = fullfile(fixtures, 'pairs.raw');  % written by the rows that shrink it
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
    if exist('r', 'var')
      row_result = r;
    elseif exist('ans', 'var')
      row_result = ans;
    else
      row_result = [];
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
cases = {
  % The shape of the call, checked first. A file a call that got through would reach prints a
  % line of its own, so the check can't pass by accident.
  'no input',                        'Quarnel ();',                             fails_with('One input argument required.')
  'no input, two outputs',           '[r, q] = Quarnel ();',                    fails_with('One input argument required.')
  'two outputs',                     '[r, q] = Quarnel (missing_file);',        fails_with('Too many output arguments.')
  'two outputs and a switch',        '[r, q] = Quarnel (missing_file, 1);',     fails_with('Too many output arguments.')
  'three outputs, bad path',         '[r, q, p] = Quarnel (1);',                fails_with('Too many output arguments.')
  % The first argument, with one output and with none.
  'double path',                     'r = Quarnel (1);',                        fails_with(not_a_path)
  'double path, no output',          'Quarnel (1);',                            fails_with(not_a_path)
  'single path',                     'r = Quarnel (single (1));',               fails_with(not_a_path)
  'int8 codes of a path',            'r = Quarnel (int8 (one_byte));',          fails_with(not_a_path)
  'int8 codes of a path, no output', 'Quarnel (int8 (missing_file));',          fails_with(not_a_path)
  'complex path',                    'r = Quarnel (1 + 2i);',                   fails_with(not_a_path)
  'sparse path',                     'r = Quarnel (sparse (1));',               fails_with(not_a_path)
  'logical path',                    'r = Quarnel (true);',                     fails_with(not_a_path)
  'cell path',                       'r = Quarnel ({one_byte});',               fails_with(not_a_path)
  'cell path, no output',            'Quarnel ({missing_file});',               fails_with(not_a_path)
  'empty cell path',                 'r = Quarnel ({});',                       fails_with(not_a_path)
  'struct path',                     'r = Quarnel (struct (''path'', one_byte));', fails_with(not_a_path)
  'function handle path',            'r = Quarnel (@sin);',                     fails_with(not_a_path)
  'object path',                     'r = Quarnel (containers.Map ());',        fails_with(not_a_path)
  'empty path ''''',                 'r = Quarnel ('''');',                     fails_with(not_a_path)
  'empty path '''', no output',      'Quarnel ('''');',                         fails_with(not_a_path)
  'empty path ""',                   'r = Quarnel ("");',                       fails_with(not_a_path)
  '0x3 path',                        'r = Quarnel (char (zeros (0, 3)));',      fails_with(not_a_path)
  'two-row path',                    'r = Quarnel ([''ab''; ''cd'']);',         fails_with(not_a_path)
  'a real path twice, as two rows',  'r = Quarnel ([one_byte; one_byte]);',     fails_with(not_a_path)
  'a path twice as two rows, no output', 'Quarnel ([missing_file; missing_file]);', fails_with(not_a_path)
  'column path',                     'r = Quarnel (one_byte'');',               fails_with(not_a_path)
  'column path, no output',          'Quarnel (missing_file.'');',              fails_with(not_a_path)
  '1x2x2 path',                      'r = Quarnel (reshape (''abcd'', 1, 2, 2));', fails_with(not_a_path)
  'NUL inside a path',               'r = Quarnel ([''/tmp/x'' char(0) ''y'']);', fails_with(nul_in_path)
  'NUL inside a path, no output',    'Quarnel ([missing_file char(0) ''x'']);', fails_with(nul_in_path)
  'NUL before a real path''s end',   'r = Quarnel ([one_byte(1:end-4) char(0) one_byte(end-3:end)]);', fails_with(nul_in_path)
  'NUL ending a real path',          'r = Quarnel ([one_byte char(0)]);',       fails_with(nul_in_path)
  'NUL ending a volume''s path, no output', 'Quarnel ([exact_file char(0)]);',  fails_with(nul_in_path)
  'NUL alone',                       'r = Quarnel (char (0));',                 fails_with(nul_in_path)
  'bad path before bad switch',      'r = Quarnel (1, ''on'');',                fails_with(not_a_path)
  % The second argument, with one output and with none.
  '[] switch',                       'r = Quarnel (one_byte, []);',             fails_with(not_a_switch)
  '[] switch, no output',            'Quarnel (missing_file, []);',             fails_with(not_a_switch)
  'zeros(1,0) switch',               'r = Quarnel (one_byte, zeros (1, 0));',   fails_with(not_a_switch)
  'zeros(0,3) switch, no output',    'Quarnel (missing_file, zeros (0, 3));',   fails_with(not_a_switch)
  'empty range switch',              'r = Quarnel (one_byte, 1:0);',            fails_with(not_a_switch)
  'single([]) switch',               'r = Quarnel (one_byte, single ([]));',    fails_with(not_a_switch)
  'int8([]) switch',                 'r = Quarnel (one_byte, int8 ([]));',      fails_with(not_a_switch)
  'uint64 0x1 switch',               'r = Quarnel (one_byte, uint64 (zeros (0, 1)));', fails_with(not_a_switch)
  'false(0,0) switch',               'r = Quarnel (one_byte, false (0, 0));',   fails_with(not_a_switch)
  'char switch',                     'r = Quarnel (one_byte, ''on'');',         fails_with(not_a_switch)
  'char switch, no output',          'Quarnel (missing_file, ''on'');',         fails_with(not_a_switch)
  'char ''1'' switch',               'r = Quarnel (one_byte, ''1'');',          fails_with(not_a_switch)
  'empty char switch',               'r = Quarnel (one_byte, '''');',           fails_with(not_a_switch)
  'cell switch',                     'r = Quarnel (one_byte, {1});',            fails_with(not_a_switch)
  'cell switch, no output',          'Quarnel (missing_file, {1});',            fails_with(not_a_switch)
  'empty cell switch',               'r = Quarnel (one_byte, {});',             fails_with(not_a_switch)
  'struct switch',                   'r = Quarnel (one_byte, struct ());',      fails_with(not_a_switch)
  'struct switch, no output',        'Quarnel (missing_file, struct (''on'', 1));', fails_with(not_a_switch)
  'function handle switch',          'r = Quarnel (one_byte, @sin);',           fails_with(not_a_switch)
  'function handle switch, no output', 'Quarnel (missing_file, @sin);',         fails_with(not_a_switch)
  'anonymous function switch',       'r = Quarnel (one_byte, @() 1);',          fails_with(not_a_switch)
  'object switch',                   'r = Quarnel (one_byte, containers.Map ());', fails_with(not_a_switch)
  'complex switch',                  'r = Quarnel (one_byte, 1 + 2i);',         fails_with(not_a_switch)
  'imaginary switch, no output',     'Quarnel (missing_file, 1i);',             fails_with(not_a_switch)
  'complex(1,0) switch',             'r = Quarnel (one_byte, complex (1, 0));', fails_with(not_a_switch)
  'complex(1,0) switch, no output',  'Quarnel (missing_file, complex (1, 0));', fails_with(not_a_switch)
  'complex(0,0) switch',             'r = Quarnel (one_byte, complex (0, 0));', fails_with(not_a_switch)
  'single complex switch',           'r = Quarnel (one_byte, single (1i));',    fails_with(not_a_switch)
  'sparse(1) switch',                'r = Quarnel (one_byte, sparse (1));',     fails_with(not_a_switch)
  'sparse(1) switch, no output',     'Quarnel (missing_file, sparse (1));',     fails_with(not_a_switch)
  'sparse(0) switch',                'r = Quarnel (one_byte, sparse (0));',     fails_with(not_a_switch)
  'sparse logical switch',           'r = Quarnel (one_byte, sparse (true));',  fails_with(not_a_switch)
  'sparse complex switch',           'r = Quarnel (one_byte, sparse (1i));',    fails_with(not_a_switch)
  % Accepted calls on files that can't deliver a volume: one line, and no result, not even ans.
  'arguments past the second',       'Quarnel (one_byte, 0, {}, struct (), @sin, 1i);', prints(short_line)
  'missing file, no output',         'Quarnel (missing_file);',                 prints(open_line)
  'missing file, switch on',         'Quarnel (missing_file, 1);',              prints(open_line)
  'missing file, one output',        'r = Quarnel (missing_file);',             prints_then_no_value(open_line)
  'missing file, one output, switch on', 'r = Quarnel (missing_file, 1);',      prints_then_no_value(open_line)
  'path through a plain file',       'Quarnel ([one_byte ''/volume.raw''], 1);', prints(open_line)
  'name too long for the system',    'Quarnel (long_name);',                    prints(open_line)
  'relative name too long',          'Quarnel (repmat (''n'', 1, 5000), 1);',   prints(open_line)
  'empty file',                      'Quarnel (empty_file, 1);',                prints(short_line)
  'empty file, one output',          'r = Quarnel (empty_file);',               prints_then_no_value(short_line)
  'one-byte file',                   'Quarnel (one_byte, 1);',                  prints(short_line)
  'one byte short',                  'Quarnel (short_file, 1);',                prints(short_line)
  'one byte short, one output',      'r = Quarnel (short_file);',               prints_then_no_value(short_line)
  'folder',                          'Quarnel (folder, 1);',                    prints(short_line)
  'folder, switch absent',           'Quarnel (folder);',                       prints(short_line)
  'folder, one output',              'r = Quarnel (folder);',                   prints_then_no_value(short_line)
  '/dev/null',                       'Quarnel (''/dev/null'', 1);',             prints(short_line)
  '/dev/null, switch absent',        'Quarnel (''/dev/null'');',                prints(short_line)
  % Whole volumes, with the result in r or, with no output asked for, in ans.
  'exactly 268435456 bytes',         'r = Quarnel (exact_file);',               reduces('', exact)
  'switch on, no output',            'Quarnel (exact_file, 1);',                reduces(shown, exact)
  'one byte more, no output',        'Quarnel (longer_file);',                  reduces('', exact)
  'spaces and non-ASCII in the path', 'r = Quarnel (unusual_file);',            reduces('', exact)
  '/dev/zero',                       'r = Quarnel (''/dev/zero'', 1);',         reduces(shown, zeros(256, 256, 256, 'single'))
  % The switch, decided by its first element whatever its class: each progress line is followed
  % by exactly one redraw.
  '0',                               'r = Quarnel (exact_file, 0);',            reduces('', exact)
  '-0',                              'r = Quarnel (exact_file, -0);',           reduces('', exact)
  'false',                           'r = Quarnel (exact_file, false);',        reduces('', exact)
  'int8(0)',                         'r = Quarnel (exact_file, int8 (0));',     reduces('', exact)
  'uint8(0)',                        'r = Quarnel (exact_file, uint8 (0));',    reduces('', exact)
  'int16(0)',                        'r = Quarnel (exact_file, int16 (0));',    reduces('', exact)
  'uint16(0)',                       'r = Quarnel (exact_file, uint16 (0));',   reduces('', exact)
  'int32(0)',                        'r = Quarnel (exact_file, int32 (0));',    reduces('', exact)
  'uint32(0)',                       'r = Quarnel (exact_file, uint32 (0));',   reduces('', exact)
  'int64(0)',                        'r = Quarnel (exact_file, int64 (0));',    reduces('', exact)
  'uint64(0)',                       'r = Quarnel (exact_file, uint64 (0));',   reduces('', exact)
  'single(-0)',                      'r = Quarnel (exact_file, single (-0));',  reduces('', exact)
  '[0 1]',                           'r = Quarnel (exact_file, [0 1]);',        reduces('', exact)
  'range 0:1',                       'r = Quarnel (exact_file, 0:1);',          reduces('', exact)
  'int16 zeros(2)',                  'r = Quarnel (exact_file, int16 (zeros (2)));', reduces('', exact)
  '1',                               'r = Quarnel (exact_file, 1);',            reduces(shown, exact)
  '-1',                              'r = Quarnel (exact_file, -1);',           reduces(shown, exact)
  '0.5',                             'r = Quarnel (exact_file, 0.5);',          reduces(shown, exact)
  'smallest double',                 'r = Quarnel (exact_file, realmin * eps);', reduces(shown, exact)
  'Inf',                             'r = Quarnel (exact_file, Inf);',          reduces(shown, exact)
  '-Inf',                            'r = Quarnel (exact_file, -Inf);',         reduces(shown, exact)
  'NaN',                             'r = Quarnel (exact_file, NaN);',          reduces(shown, exact)
  'single(NaN)',                     'r = Quarnel (exact_file, single (NaN));', reduces(shown, exact)
  'true',                            'r = Quarnel (exact_file, true);',         reduces(shown, exact)
  'int8(3)',                         'r = Quarnel (exact_file, int8 (3));',     reduces(shown, exact)
  'int8(-128)',                      'r = Quarnel (exact_file, int8 (-128));',  reduces(shown, exact)
  'uint8(255)',                      'r = Quarnel (exact_file, uint8 (255));',  reduces(shown, exact)
  'int16(256)',                      'r = Quarnel (exact_file, int16 (256));',  reduces(shown, exact)
  'uint16(256)',                     'r = Quarnel (exact_file, uint16 (256));', reduces(shown, exact)
  'int32(65536)',                    'r = Quarnel (exact_file, int32 (65536));', reduces(shown, exact)
  'uint32(2^31)',                    'r = Quarnel (exact_file, uint32 (2^31));', reduces(shown, exact)
  'intmin int64',                    'r = Quarnel (exact_file, intmin (''int64''));', reduces(shown, exact)
  'uint64(2^40)',                    'r = Quarnel (exact_file, uint64 (2^40));', reduces(shown, exact)
  'uint64(2^63)',                    'r = Quarnel (exact_file, bitshift (uint64 (1), 63));', reduces(shown, exact)
  '[1 0]',                           'r = Quarnel (exact_file, [1 0]);',        reduces(shown, exact)
  '1, then an argument past it',     'r = Quarnel (exact_file, 1, ''ignored'');', reduces(shown, exact)
  % Files another program cuts short during the sweep, at the redraw before a slice pair is read:
  % the pairs read before keep their values, the whole samples left count, the rest is zero, and
  % the line comes last.
  'file cut inside slice pair 100',  ['write_pair_volume (pairs_file, 8 * (1:256)); ' ...
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
      in_own_process(['@error ' literal('Quarnel: ') '.*memory.*\n@result none\n'])
};

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
