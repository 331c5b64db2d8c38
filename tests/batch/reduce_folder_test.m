% reduce_folder and reduce_volume from batch/ as users run them, over a folder holding three
% whole volumes, a short file, a link to nothing, a folder named like a volume and a file that is
% not one: one after the other, with two workers asked for before the parallel package is loaded,
% and in two worker processes. Each .mat holds the bits of Quarnel's own result, the report gives
% Quarnel's lines, and a file that fails leaves no .mat behind: not a partial one, not a stale one.
% Saving that fails, a full disk included, is reported the same way. The quarnel-reduce command
% gives the same volumes a line each and an exit status, and resumes from the whole .mat files.
%   octave-cli reduce_folder_test.m OCTAVE_CLI
%   (with the module, batch/ and support/ of the Octave tests on the path)
octave = argv(){1};
folder = scratch_folder();
unwind_protect
  % Octave's dir would take the * for a wildcard and list the two folders instead.
  volumes = fullfile(folder, 'volumes*');
  mkdir(volumes);
  mkdir(fullfile(folder, 'volumes 1'));
  fclose(fopen(fullfile(folder, 'volumes 1', 'elsewhere.raw'), 'w'));
  random_file = fullfile(volumes, 'random.raw');
  assert(system(sprintf('head -c 268435456 /dev/urandom > "%s"', random_file)) == 0, 'can''t write %s', random_file);
  % Bytes after the first 268435456 are never read.
  longer_file = fullfile(volumes, 'random longer.raw');
  assert(system(sprintf('head -c 268439552 /dev/urandom > "%s"', longer_file)) == 0, 'can''t write %s', longer_file);
  write_constant_volume(fullfile(volumes, 'constant.raw'), -3);
  fid = fopen(fullfile(volumes, 'short.raw'), 'w');
  fwrite(fid, zeros(1000, 1, 'uint8'));
  fclose(fid);
  symlink(fullfile(folder, 'nowhere'), fullfile(volumes, 'gone.raw'));
  mkdir(fullfile(volumes, 'folder.raw'));
  fclose(fopen(fullfile(volumes, 'notes.txt'), 'w'));

  % In name order: a space sorts before a full stop.
  expected = {
    'constant.raw',      true,  ''
    'gone.raw',          false, 'Couldn''t open file!'
    'random longer.raw', true,  ''
    'random.raw',        true,  ''
    'short.raw',         false, 'Couldn''t read 268435456 bytes from file!'
  };
  whole = [expected{:, 2}];
  reference = cell(rows(expected), 1);
  for k = find(whole)
    reference{k} = Quarnel(fullfile(volumes, expected{k, 1}));
  end
  results = sort(regexprep(expected(whole, 1), '\.raw$', '.mat'));

  assert(exist('parcellfun', 'file') ~= 2, 'the parallel package is loaded before the test loads it');
  runs = {
    % what                                      options         load parallel  warnings
    'one after the other',                      {},             false,         0
    'two workers asked before parallel loads',  {'Workers', 2}, false,         1
    'two workers',                              {'Workers', 2}, true,          0
  };
  for run = 1:rows(runs)
    [what, options, load_parallel, warnings] = runs{run, :};
    if load_parallel
      pkg load parallel
    end
    % The first run makes its folder; the others find results of an earlier run in theirs: a
    % random.mat to be replaced, and .mat files of volumes that now fail.
    output = fullfile(folder, sprintf('run %d', run), 'reduced');
    if run > 1
      mkdir(output);
      stale = zeros(3);
      for name = {'random.mat', 'short.mat', 'gone.mat'}
        save(fullfile(output, name{1}), 'stale', '-v6');
      end
    end

    printed = evalc('report = reduce_folder(volumes, output, options{:});');
    % Quarnel's lines go into the report, never to the console.
    assert(numel(strfind(printed, 'pkg load parallel')) == warnings && (warnings > 0 || isempty(printed)), ...
           '%s: printed "%s"', what, printed);
    assert(isequal(size(report), [rows(expected) 1]) && isequal(fieldnames(report), {'file'; 'ok'; 'message'}), ...
           '%s: the report is a %s struct with fields %s', what, mat2str(size(report)), strjoin(fieldnames(report)', ', '));
    for k = 1:rows(expected)
      [file, ok, message] = expected{k, :};
      got = report(k);
      assert(strcmp(got.file, file) && islogical(got.ok) && got.ok == ok && strcmp(got.message, message), ...
             '%s: report(%d) is {%s, %d, "%s"}, expected {%s, %d, "%s"}', what, k, got.file, got.ok, got.message, file, ok, message);
    end

    listing = dir(output);
    left = sort({listing(~[listing.isdir]).name}');
    assert(isequal(left, results), '%s: the output folder holds %s', what, strjoin(left', ', '));
    for k = find(whole)
      mat_file = fullfile(output, regexprep(expected{k, 1}, '\.raw$', '.mat'));
      % A version 6 MAT-file: the text header, version 0x0100, and the variable as an
      % uncompressed matrix (type 14; a compressed one would be 15).
      fid = fopen(mat_file, 'r', 'ieee-le');
      header = fread(fid, 136, 'uint8=>uint8')';
      fclose(fid);
      assert(strncmp(char(header), 'MATLAB 5.0 MAT-file', 19) && isequal(header(125:128), [uint8([0 1]) uint8('IM')]) ...
             && typecast(header(129:132), 'uint32') == 14, '%s: %s is no uncompressed version 6 MAT-file', what, mat_file);
      saved = load(mat_file);
      assert(isequal(fieldnames(saved), {'V'}), '%s: %s holds %s', what, mat_file, strjoin(fieldnames(saved)', ', '));
      V = saved.V;
      assert(strcmp(class(V), 'single') && isequal(size(V), [256 256 256]), '%s: %s holds a %s %s', what, mat_file, mat2str(size(V)), class(V));
      assert(isequal(typecast(V(:), 'uint32'), typecast(reference{k}(:), 'uint32')), '%s: %s differs from Quarnel''s result', what, mat_file);
    end
  end

  % The same volumes through the quarnel-reduce command, in one octave-cli of its own: a line each
  % on standard output, the failed ones on standard error too, and the exit status a scheduler
  % goes by. Resumed, it keeps a whole .mat even when it holds something else, and redoes one
  % that a full disk left short.
  command = fullfile(fileparts(which('reduce_volume')), 'quarnel-reduce');
  module = fileparts(which('Quarnel'));
  output = fullfile(folder, 'quarnel-reduce');
  mkdir(output);
  listed = cellfun(@(name) sprintf('"%s"', fullfile(volumes, name)), expected(:, 1), 'UniformOutput', false);
  failed_lines = {'failed gone.raw: Couldn''t open file!'; 'failed short.raw: Couldn''t read 268435456 bytes from file!'};
  command_runs = {
    % what                   options     volumes         status  standard output
    'every volume',          '',         listed,         1,      {'ok constant.raw'; failed_lines{1}; 'ok random longer.raw'; 'ok random.raw'; failed_lines{2}}
    'resumed',               '--resume', listed,         1,      {'kept constant.raw'; failed_lines{1}; 'kept random longer.raw'; 'ok random.raw'; failed_lines{2}}
    'whole volumes resumed', '--resume', listed(whole),  0,      {'kept constant.raw'; 'kept random longer.raw'; 'kept random.raw'}
    'no output folder',      '',         listed(whole),  2,      cell(0, 1)
  };
  for run = 1:rows(command_runs)
    [what, options, given_volumes, status, lines] = command_runs{run, :};
    if strcmp(what, 'resumed')
      stale = zeros(3);
      save(fullfile(output, 'constant.mat'), 'stale', '-v6');
      fid = fopen(fullfile(output, 'random.mat'), 'r+');
      fseek(fid, 0, 'eof');
      truncate_at = ftell(fid) - 1;
      fclose(fid);
      assert(system(sprintf('truncate -s %d "%s"', truncate_at, fullfile(output, 'random.mat'))) == 0);
    end
    target = output;
    if strcmp(what, 'no output folder')
      target = fullfile(folder, 'never made');
    end
    errors = fullfile(folder, 'standard error');
    [got_status, printed] = system(sprintf('"%s" --path "%s" %s "%s" %s 2>"%s"', command, module, options, target, ...
                                           strjoin(given_volumes', ' '), errors));
    got_lines = regexp(printed, '[^\n]+', 'match')';
    assert(got_status == status && isequal(got_lines, lines), '%s: status %d, printed\n%s', what, got_status, printed);
    error_lines = regexp(fileread(errors), '[^\n]+', 'match')';
    if status == 2
      assert(numel(error_lines) == 1 && strncmp(error_lines{1}, 'quarnel-reduce: ', 16), '%s: standard error %s', what, fileread(errors));
    else
      assert(isequal(error_lines, lines(strncmp(lines, 'failed ', 7))), '%s: standard error\n%s', what, fileread(errors));
    end
  end
  listing = dir(output);
  assert(isequal(sort({listing(~[listing.isdir]).name}'), results), 'quarnel-reduce left %s', strjoin({listing.name}, ', '));
  kept = load(fullfile(output, 'constant.mat'));
  assert(isequal(fieldnames(kept), {'stale'}), 'quarnel-reduce --resume reduced a whole constant.mat again');
  for k = find(whole)
    name = regexprep(expected{k, 1}, '\.raw$', '.mat');
    if ~strcmp(name, 'constant.mat')
      saved = load(fullfile(output, name));
      assert(isequal(typecast(saved.V(:), 'uint32'), typecast(reference{k}(:), 'uint32')), 'quarnel-reduce: %s differs from Quarnel''s result', name);
    end
  end

  % One volume through reduce_volume, failing after Quarnel was called: a false ok with the
  % reason, nothing at the .mat's name (a .mat from an earlier run deleted, and only that one,
  % though its name would make a pattern) and no temporary beside it. A module that prints a line and still gives a result, as Quarnel does when it can't have
  % its buffer, stands in ahead of Quarnel on the path. Octave's own save reports no error when a
  % file size limit or a full disk stops it, so that case runs in an octave-cli whose file size
  % is limited to far less than the 64 MiB of a result; the limit's signal is ignored, as a full
  % disk sends none.
  lying_module = fullfile(folder, 'lying module');
  mkdir(lying_module);
  fid = fopen(fullfile(lying_module, 'Quarnel.m'), 'w');
  fprintf(fid, 'function V = Quarnel(path)\n  V = zeros(256, 256, 256, ''single'');\n  printf(''Couldn''''t Allocate Buffer Memory!\\n'');\nend\n');
  fclose(fid);
  earlier = fullfile(folder, 'earlier');
  mkdir(earlier);
  stale = zeros(3);
  neighbour = fullfile(earlier, 'random1.mat');
  save(neighbour, 'stale', '-v6');
  missing = fullfile(folder, 'missing');
  in_the_way = fullfile(folder, 'in the way');
  mkdir(fullfile(in_the_way, 'random.mat'));
  failures = {
    % what                            .mat file                           run by               the message starts with
    'a result that came with a line', fullfile(earlier, 'random[1].mat'), 'the lying module',  'Couldn''t Allocate Buffer Memory!'
    'no folder to save into',         fullfile(missing, 'random.mat'),    'this octave-cli',   'save: unable to open output file'
    'a folder with the .mat name',    fullfile(in_the_way, 'random.mat'), 'this octave-cli',   'Can''t save to '
    'a file size limit',              fullfile(earlier, 'random.mat'),    'a limited process', 'Couldn''t write all of '
  };
  for k = 1:rows(failures)
    [what, mat_file, runner, reason] = failures{k, :};
    if isfolder(fileparts(mat_file)) && ~isfolder(mat_file)
      save(mat_file, 'stale', '-v6');
    end
    switch runner
      case 'the lying module'
        addpath(lying_module);
        [ok, message] = reduce_volume(random_file, mat_file);
        rmpath(lying_module);
      case 'this octave-cli'
        [ok, message] = reduce_volume(random_file, mat_file);
      case 'a limited process'
        call = sprintf('[ok, message] = reduce_volume(''%s'', ''%s''); printf(''%%d%%s'', ok, message);', random_file, mat_file);
        [status, printed] = system(sprintf('trap "" XFSZ; ulimit -f 20480; "%s" --norc --no-history --quiet --path "%s" --path "%s" --eval "%s"', ...
                                           octave, fileparts(which('Quarnel')), fileparts(which('reduce_volume')), call));
        assert(status == 0, '%s: octave-cli ended with %d: %s', what, status, printed);
        ok = printed(1) == '1';
        message = printed(2:end);
    end
    assert(~ok && strncmp(message, reason, numel(reason)), '%s: ok is %d, message "%s"', what, ok, message);
    assert(~isfile(mat_file), '%s: %s is there', what, mat_file);
    listing = dir(fileparts(mat_file));
    assert(all(cellfun(@isempty, regexp({listing.name}, '\.partial\.mat$'))), '%s: a temporary is left: %s', what, strjoin({listing.name}, ', '));
  end
  assert(isfile(neighbour), '%s, the result of another volume, was deleted', neighbour);

  % With Quarnel off the path, nothing is touched: no result of an earlier run is taken for stale.
  module_folder = fileparts(which('Quarnel'));
  rmpath(module_folder);
  earlier_results = {
    @() reduce_folder(volumes, output),                          'reduce_folder:module'
    @() reduce_volume(random_file, fullfile(output, 'random.mat')), 'reduce_volume:module'
  };
  for k = 1:rows(earlier_results)
    [call, identifier] = earlier_results{k, :};
    raised = '';
    try
      call();
    catch failure
      raised = failure.identifier;
    end
    listing = dir(output);
    left = sort({listing(~[listing.isdir]).name}');
    assert(strcmp(raised, identifier) && isequal(left, results), 'without Quarnel: raised "%s" and left %s', raised, strjoin(left', ', '));
  end
  addpath(module_folder);

  output = fullfile(folder, 'never made');
  bad_calls = {
    % arguments                                           error
    {42, output},                                        'reduce_folder:folder'
    {volumes, ''},                                       'reduce_folder:folder'
    {fullfile(folder, 'nowhere'), output},               'reduce_folder:input'
    {fullfile(volumes, 'notes.txt'), output},            'reduce_folder:input'
    {volumes, fullfile(volumes, 'notes.txt')},           'reduce_folder:output'
    {volumes, output, 'Workers'},                        'reduce_folder:option'
    {volumes, output, 'Threads', 2},                     'reduce_folder:option'
    {volumes, output, 'Workers', 0},                     'reduce_folder:workers'
    {volumes, output, 'Workers', 1.5},                   'reduce_folder:workers'
    {volumes, output, 'Workers', Inf},                   'reduce_folder:workers'
    {volumes, output, 'Workers', '2'},                   'reduce_folder:workers'
  };
  for k = 1:rows(bad_calls)
    [call_arguments, identifier] = bad_calls{k, :};
    raised = '';
    try
      reduce_folder(call_arguments{:});
    catch failure
      raised = failure.identifier;
    end
    assert(strcmp(raised, identifier), 'bad call %d: raised "%s", expected %s', k, raised, identifier);
    assert(~isfolder(output), 'bad call %d: the output folder was made', k);
  end
unwind_protect_cleanup
  remove_folder(folder);
end_unwind_protect
