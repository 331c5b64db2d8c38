function report = reduce_folder(inputFolder, outputFolder, varargin)
%REDUCE_FOLDER Reduce every raw volume in a folder with Quarnel, each into its own .mat file.
%   REPORT = REDUCE_FOLDER(INPUTFOLDER, OUTPUTFOLDER) reduces each volume of INPUTFOLDER with
%   Quarnel and saves its 256 x 256 x 256 single result as the variable V in
%   OUTPUTFOLDER/NAME.mat, an uncompressed MAT-file that Octave, MATLAB and SciPy all load.
%   A folder's volumes are its entries named NAME.raw (case matters) whose names don't start with
%   a dot and that are not folders or links to folders. Links to files count, and so do links to
%   nothing and anything else that isn't a file, which then fail. The quarnel-reduce command and
%   quarnel-submit take a folder's volumes by the same rule, and name the results the same way.
%   OUTPUTFOLDER is created when missing, and may be INPUTFOLDER itself. Each file goes through
%   REDUCE_VOLUME, which holds one volume's result (64 MiB) at a time and saves it itself.
%
%   REPORT is a column of structs, one per volume in byte order of the names, with the fields
%     file      the file's name, as 'scan.raw'
%     ok        true when NAME.mat holds the file's reduction
%     message   '' when ok; otherwise the line Quarnel printed instead, without its newline, as
%               'Couldn''t read 268435456 bytes from file!', or why saving failed (a full disk,
%               a folder you may not write to), or the host's error about the file (a name its
%               text functions refuse), or 'the worker reducing it ended'
%   A file is ok only when Quarnel gave a result and printed nothing: a result that came with a
%   line is not to be trusted and is not saved. A file that can't be used is reported and the
%   others are still reduced. No NAME.mat is written for it, not even in part, and nothing is
%   deleted: a NAME.mat left by an earlier run stays, and the report says the file failed.
%
%   REPORT = REDUCE_FOLDER(..., 'Workers', N) reduces up to N files at a time, each in a worker
%   process: in Octave each volume in an octave-cli of its own, and in MATLAB with parfor, on a
%   parallel pool when Parallel Computing Toolbox can have one (otherwise parfor reduces them one
%   after the other here). In Octave a worker that ends before its volume is done, killed or out
%   of memory, costs only that volume, whose temporary file is removed. N = 1, the default,
%   reduces them one after the other in this session.
%
%   Errors, raised before any file is touched: INPUTFOLDER is not an existing folder, no module of
%   Quarnel that this host loads is on the path, OUTPUTFOLDER can't be created, N is not a whole
%   number of 1 or more, an option other than 'Workers'.
%
%   Example:
%     report = reduce_folder('scans', 'reduced', 'Workers', 2);
%     failed = report(~[report.ok]);
%     for k = 1:numel(failed)
%       fprintf('%s: %s\n', failed(k).file, failed(k).message);
%     end
%     load(fullfile('reduced', 'scan.mat'));   % gives V
%
%   See also REDUCE_VOLUME, QUARNEL.

  narginchk(2, Inf);
  inputFolder = character_row(inputFolder, 'reduce_folder:folder', ...
                        'INPUTFOLDER must be a folder, as a non-empty character row.');
  outputFolder = character_row(outputFolder, 'reduce_folder:folder', ...
                        'OUTPUTFOLDER must be a folder, as a non-empty character row.');
  workers = workersOption(varargin);
  if ~isfolder(inputFolder)
    error('reduce_folder:input', 'There is no folder %s to reduce the volumes of.', inputFolder);
  end
  % Otherwise every volume would fail.
  module_problem = missing_module();
  if ~isempty(module_problem)
    error('reduce_folder:module', '%s', module_problem);
  end
  if ~isfolder(outputFolder)
    [made, why] = mkdir(outputFolder);
    if ~made
      error('reduce_folder:output', 'Couldn''t create the output folder %s: %s', outputFolder, why);
    end
  end

  names = volume_names(inputFolder);
  rawPaths = cellfun(@(name) path_in(inputFolder, name), names, 'UniformOutput', false);
  matPaths = cellfun(@(name) path_in(outputFolder, result_name(name)), names, 'UniformOutput', false);
  count = numel(names);
  if exist('OCTAVE_VERSION', 'builtin') && workers > 1
    [ok, message] = reduce_in_workers(rawPaths, matPaths, workers);
  else
    ok = false(count, 1);
    message = cell(count, 1);
    % parfor's second argument is the most pool workers it may use, and 0 keeps the loop in this
    % session; Octave always runs it here.
    poolWorkers = workers;
    if workers == 1
      poolWorkers = 0;
    end
    parfor (k = 1:count, poolWorkers)
      [volumeOk, volumeMessage] = reduce_volume(rawPaths{k}, matPaths{k});
      ok(k) = volumeOk;
      message{k} = volumeMessage;
    end
  end
  report = struct('file', names, 'ok', num2cell(ok), 'message', message);
end

function workers = workersOption(options)
  workers = 1;
  if mod(numel(options), 2) ~= 0
    error('reduce_folder:option', 'Options come in pairs, as in reduce_folder(in, out, ''Workers'', 2).');
  end
  for k = 1:2:numel(options)
    name = options{k};
    if isstring(name) && isscalar(name)
      name = char(name);
    end
    if ~ischar(name) || ~strcmpi(name, 'Workers')
      error('reduce_folder:option', 'Unknown option %s: the only option is ''Workers''.', optionName(name));
    end
    value = options{k + 1};
    if ~isnumeric(value) || ~isscalar(value) || ~isreal(value) || ~isfinite(value) || ...
       value < 1 || value ~= fix(value)
      error('reduce_folder:workers', 'Workers must be a whole number of 1 or more, as 2.');
    end
    workers = double(value);
  end
end

function text = optionName(name)
  if ischar(name) && isrow(name)
    text = ['''' name ''''];
  else
    text = ['of class ' class(name)];
  end
end
