% reduce_folder and reduce_volume from batch/ as users run them, over a folder holding three
% whole volumes, one of them under a name that isn't valid text (Latin-1), a short file, a link to
% nothing, a folder named like a volume, a dot-file and a file that is not one: one after the
% other, in two worker processes, and in two workers one of which is killed while it writes. Each
% .mat holds the bits of Quarnel's own result and a header that records the volume's size and time
% and V's check sum, the report gives Quarnel's lines, a killed worker costs only its volume, and a
% file that fails writes nothing, not even in part, and deletes nothing: a .mat of an earlier run
% stays. The quarnel-reduce command resumes from these results. Saving that fails, a full disk
% included, is reported the same way.
%   octave-cli reduce_folder_test.m OCTAVE_CLI VERSION QUARNEL_REDUCE
%   (with the module, batch/ as the build stages it and support/ of the Octave tests on the path)
[octave, version, quarnel_reduce] = argv(){1:3};
% Names are joined byte by byte: Octave's fullfile and regexprep refuse one that isn't valid text.
in_folder = @(folder, name) [folder '/' name];
mat_name = @(name) [name(1:end - 4) '.mat'];
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
  latin1 = ['caf' char(233) '.raw'];
  write_constant_volume(in_folder(volumes, latin1), -3);
  write_sparse_file(fullfile(volumes, 'short.raw'), 1000);
  symlink(fullfile(folder, 'nowhere'), fullfile(volumes, 'gone.raw'));
  mkdir(fullfile(volumes, 'folder.raw'));
  fclose(fopen(fullfile(volumes, 'notes.txt'), 'w'));
  fclose(fopen(fullfile(volumes, '.hidden.raw'), 'w'));

  % In byte order: a space sorts before a full stop.
  expected = {
    latin1,              true,  ''
    'gone.raw',          false, 'Couldn''t open file!'
    'random longer.raw', true,  ''
    'random.raw',        true,  ''
    'short.raw',         false, 'Couldn''t read 268435456 bytes from file!'
  };
  whole = [expected{:, 2}];
  reference = cell(rows(expected), 1);
  for k = find(whole)
    reference{k} = Quarnel(in_folder(volumes, expected{k, 1}));
  end
  results = sort(cellfun(mat_name, expected(whole, 1), 'UniformOutput', false));
  % The bytes from the end of the header text to V's data, the same in every result file.
  fixed_bytes = [uint8('        '), uint8([0 1]), uint8('IM'), typecast(uint32([14 67108920 6 8 7 0 5 12]), 'uint8'), ...
                 typecast(int32([256 256 256 0]), 'uint8'), typecast(uint16([1 1]), 'uint8'), uint8('V'), ...
                 uint8([0 0 0]), typecast(uint32([7 67108864]), 'uint8')];
  weights = mod((0:16777215)', 8191) + 1;

  runs = {
    % what                                    workers  a worker killed while it writes
    'one after the other',                    1,       false
    'two workers',                            2,       false
    'two workers, one killed as it writes',   2,       true
  };
  for run = 1:rows(runs)
    [what, workers, kill_one] = runs{run, :};
    % The first run makes its folder; the others find results of an earlier run in theirs: a
    % random.mat to be replaced, and .mat files of volumes that now fail, which stay.
    output = fullfile(folder, sprintf('run %d', run), 'reduced');
    left_by_earlier_run = {};
    if run > 1
      mkdir(output);
      stale = zeros(3);
      for name = {'random.mat', 'short.mat', 'gone.mat'}
        save(fullfile(output, name{1}), 'stale', '-v6');
      end
      left_by_earlier_run = {'gone.mat'; 'short.mat'};
    end
    if kill_one
      % Stops the first worker found writing its temporary and, if the temporary is still there,
      % kills it; otherwise lets it go on and waits for the next.
      killer = system(sprintf(['cd "%s" && while :; do for t in .reduce_volume-*; do p=${t#.reduce_volume-}; p=${p%%%%-*};' ...
                               ' [ -e "$t" ] && kill -STOP "$p" 2>/dev/null || continue;' ...
                               ' if [ -e "$t" ]; then kill -KILL "$p"; exit; fi; kill -CONT "$p"; done; sleep 0.01; done'], output), ...
                      false, 'async');
    end

    printed = evalc('report = reduce_folder(volumes, output, ''Workers'', workers);');
    % Quarnel's lines go into the report, never to the console.
    assert(isempty(printed), '%s: printed "%s"', what, printed);
    assert(isequal(size(report), [rows(expected) 1]) && isequal(fieldnames(report), {'file'; 'ok'; 'message'}), ...
           '%s: the report is a %s struct with fields %s', what, mat2str(size(report)), strjoin(fieldnames(report)', ', '));
    killed = [];
    if kill_one
      [~, status] = waitpid(killer);
      assert(WIFEXITED(status) && WEXITSTATUS(status) == 0, '%s: the killer failed', what);
      killed = find(strcmp({report.message}, 'the worker reducing it ended'));
      assert(isscalar(killed) && whole(killed), '%s: the volumes whose worker ended: %s', what, strjoin({report(killed).file}, ', '));
    end
    for k = 1:rows(expected)
      [file, ok, message] = expected{k, :};
      if k == killed
        [ok, message] = deal(false, 'the worker reducing it ended');
      end
      got = report(k);
      assert(strcmp(got.file, file) && islogical(got.ok) && got.ok == ok && strcmp(got.message, message), ...
             '%s: report(%d) is {%s, %d, "%s"}, expected {%s, %d, "%s"}', what, k, got.file, got.ok, got.message, file, ok, message);
    end

    % Hidden files included: no temporary is left.
    left = sort(setdiff(readdir(output), {'.'; '..'}));
    written = setdiff(results, cellfun(mat_name, expected(killed, 1), 'UniformOutput', false));
    if any(strcmp(expected(killed, 1), 'random.raw'))
      written = [written; {'random.mat'}];  % the earlier run's stays
    end
    assert(isequal(left, sort([written; left_by_earlier_run])), '%s: the output folder holds %s', what, strjoin(left', ', '));
    for name = left_by_earlier_run'
      assert(isequal(fieldnames(load(fullfile(output, name{1}))), {'stale'}), '%s: %s of the earlier run was replaced', what, name{1});
    end
    for k = setdiff(find(whole), killed)
      mat_file = in_folder(output, mat_name(expected{k, 1}));
      % A level 5 MAT-file whose header text records the volume's size and time and V's check
      % sum, then the one uncompressed variable V.
      fid = fopen(mat_file, 'r', 'ieee-le');
      header = fread(fid, 192, 'uint8=>uint8')';
      fclose(fid);
      source = stat(in_folder(volumes, expected{k, 1}));
      record = sprintf('MATLAB 5.0 MAT-file, Quarnel %s, input %d B %d s, check %d', version, source.size, ...
                       source.mtime, double(reference{k}(:))' * weights);
      assert(strcmp(char(header(1:116)), [record, repmat(' ', 1, 116 - numel(record))]) && isequal(header(117:192), fixed_bytes), ...
             '%s: %s begins "%s", expected "%s" and the layout of V', what, mat_file, char(header(1:116)), record);
      saved = load(mat_file);
      assert(isequal(fieldnames(saved), {'V'}), '%s: %s holds %s', what, mat_file, strjoin(fieldnames(saved)', ', '));
      V = saved.V;
      assert(strcmp(class(V), 'single') && isequal(size(V), [256 256 256]), '%s: %s holds a %s %s', what, mat_file, mat2str(size(V)), class(V));
      assert(isequal(typecast(V(:), 'uint32'), typecast(reference{k}(:), 'uint32')), '%s: %s differs from Quarnel''s result', what, mat_file);
    end
  end

  % The quarnel-reduce command's --resume keeps the results reduce_folder wrote, and none of the
  % volumes is reduced again.
  output = fullfile(folder, 'run 1', 'reduced');
  listed = cellfun(@(name) ['"' in_folder(volumes, name) '" '], expected(whole, 1), 'UniformOutput', false);
  [status, printed] = system(sprintf('"%s" --resume "%s" %s 2>&1', quarnel_reduce, output, [listed{:}]));
  kept = cellfun(@(name) sprintf('kept %s\n', name), expected(whole, 1), 'UniformOutput', false);
  assert(status == 0 && strcmp(printed, [kept{:}]), 'quarnel-reduce --resume ended with %d, printing\n%s', status, printed);

  % One volume through reduce_volume, failing after Quarnel was called: a false ok with the
  % reason, nothing deleted and no temporary beside it. A module that prints a line and still gives a result, as Quarnel does when it can't have
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
    % what                            .mat file                           run by               the message, after the .mat file's name for a failure to save
    'a result that came with a line', fullfile(earlier, 'random[1].mat'), 'the lying module',  'Couldn''t Allocate Buffer Memory!'
    'no folder to save into',         fullfile(missing, 'random.mat'),    'this octave-cli',   ' (No such file or directory)'
    'a folder with the .mat name',    fullfile(in_the_way, 'random.mat'), 'this octave-cli',   ' (it is a folder)'
    'a file size limit',              fullfile(earlier, 'random.mat'),    'a limited process', ' (the disk may be full)'
  };
  for k = 1:rows(failures)
    [what, mat_file, runner, reason] = failures{k, :};
    if reason(1) == ' '
      reason = ['Couldn''t write ' mat_file reason];
    end
    earlier_result = isfolder(fileparts(mat_file)) && ~isfolder(mat_file);
    if earlier_result
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
    assert(~ok && strcmp(message, reason), '%s: ok is %d, message "%s"', what, ok, message);
    if earlier_result
      assert(isequal(fieldnames(load(mat_file)), {'stale'}), '%s: the earlier %s was replaced or deleted', what, mat_file);
    end
    listing = dir(fileparts(mat_file));
    assert(all(cellfun(@isempty, strfind({listing.name}, 'partial'))), '%s: a temporary is left: %s', what, strjoin({listing.name}, ', '));
  end
  assert(isfile(neighbour), '%s, the result of another volume, was deleted', neighbour);

  % With Quarnel off the path, nothing is touched.
  module_folder = fileparts(which('Quarnel'));
  rmpath(module_folder);
  before = readdir(output);
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
    left = readdir(output);
    assert(strcmp(raised, identifier) && isequal(left, before), 'without Quarnel: raised "%s" and left %s', raised, strjoin(left', ', '));
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
