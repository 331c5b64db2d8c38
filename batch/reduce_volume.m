function [ok, message] = reduce_volume(rawPath, matPath)
%REDUCE_VOLUME Reduce one raw volume with Quarnel and save the result in a .mat file.
%   [OK, MESSAGE] = REDUCE_VOLUME(RAWPATH, MATPATH) reduces the volume file RAWPATH with Quarnel
%   and saves the 256 x 256 x 256 single result as the variable V in MATPATH: an uncompressed
%   MAT-file (level 5), which Octave, MATLAB and SciPy all load. OK is true when MATPATH holds the
%   result, and MESSAGE is then ''.
%
%   When the volume can't be used, OK is false and MESSAGE is the line Quarnel printed, without
%   its newline, for example 'Couldn''t read 268435456 bytes from file!'; the line is not printed.
%   A line means the result is not to be trusted, so a result that came with one is not saved
%   either, nor one whose file changed while it was read. When saving fails (a full disk, a folder
%   you may not write to), MESSAGE names MATPATH and says why.
%
%   The file's header records where V came from: the Quarnel version, RAWPATH's size and
%   modification time, and a check sum of V. The quarnel-reduce command writes the same file, and
%   its --resume keeps a MATPATH only while that record still matches RAWPATH and V.
%
%   MATPATH is written under a hidden temporary name in its folder, one that no *.mat pattern
%   matches, checked to be whole and only then renamed into place, so it is never left half
%   written. A failure deletes nothing: a MATPATH from an earlier run stays as it was.
%
%   RAWPATH and MATPATH are character rows or, in MATLAB, strings. A module of Quarnel that this
%   host loads must be on the path, else an error is raised before anything is touched.
%   REDUCE_FOLDER calls this for each file of a folder, in worker processes too: a worker sends
%   back only OK and MESSAGE.
%
%   Example:
%     [ok, message] = reduce_volume('scan.raw', 'scan.mat');
%     if ok
%       load('scan.mat');   % gives V
%     else
%       fprintf('scan.raw: %s\n', message);
%     end
%
%   See also REDUCE_FOLDER, QUARNEL.

  rawPath = character_row(rawPath, 'reduce_volume:path', ...
                        'RAWPATH must be a path, as a non-empty character row.');
  matPath = character_row(matPath, 'reduce_volume:path', ...
                        'MATPATH must be a path, as a non-empty character row.');
  module_problem = missing_module();
  if ~isempty(module_problem)
    error('reduce_volume:module', '%s', module_problem);
  end
  try
    % The input as it was before Quarnel read it: a result is recorded as coming from that.
    before = input_state(rawPath);
    % Quarnel prints a line instead of giving a result. Called without an output variable, it
    % puts any result in ans, so evalc captures the line whether or not a result came.
    printed = evalc('Quarnel(rawPath);');
    message = regexprep(printed, '\s+$', '');
    ok = isempty(printed) && exist('ans', 'var') == 1;
    if ok && ~isequal(input_state(rawPath), before)
      ok = false;
      message = 'the file changed while it was read';
    end
    if ok
      saveWhole(ans, matPath, before);
    end
  catch failure
    ok = false;
    message = failure.message;
  end
end

function state = input_state(rawPath)
  % The input's size and modification time, as the result's record holds them: whole seconds
  % and nothing finer in Octave, whose stat has no more; milliseconds in MATLAB, through Java.
  if exist('OCTAVE_VERSION', 'builtin')
    [info, failed] = stat(rawPath);
    if failed
      state = [];
      return
    end
    state = struct('size', info.size, 'modified', sprintf('%d', info.mtime));
  else
    listing = dir(rawPath);
    if numel(listing) ~= 1 || listing.isdir
      state = [];
      return
    end
    milliseconds = java.io.File(rawPath).lastModified();
    state = struct('size', listing.bytes, ...
                   'modified', sprintf('%d.%03d', floor(milliseconds / 1000), mod(milliseconds, 1000)));
  end
end

function saveWhole(V, matPath, source)
  % Beside its final name, so that the rename stays on one file system and the file appears whole
  % or not at all. The temporary's name holds nothing of the volume's, which may hold characters
  % that MATLAB's movefile takes as wildcards, starts with a dot and doesn't end in .mat, so that
  % no *.mat pattern picks it up, and differs from the quarnel-reduce command's, whose runs remove
  % the temporaries they find unlocked. It names this process, so that reduce_folder can remove
  % the temporary of a worker that ended before it was done.
  % MATLAB's movefile would put the file inside a folder of that name and report success.
  if isfolder(matPath)
    error('reduce_volume:write', 'Couldn''t write %s (it is a folder)', matPath);
  end
  [~, token] = fileparts(tempname());
  if exist('OCTAVE_VERSION', 'builtin')
    process = getpid();
  else
    process = feature('getpid');
  end
  partial = path_in(fileparts(matPath), sprintf('.reduce_volume-%d-%s.partial', process, token));
  [fid, why] = fopen(partial, 'w', 'ieee-le');
  if fid < 0
    error('reduce_volume:write', 'Couldn''t write %s (%s)', matPath, why);
  end
  removePartial = onCleanup(@() removeFile(partial));
  written = fwrite(fid, result_file_header(V, source), 'uint8');
  written = written + 4 * fwrite(fid, V, 'single');
  closed = fclose(fid);
  expected = 67109056;
  info = dir(partial);
  % Octave's fwrite reports no error when the disk fills up or a file size limit is reached.
  if closed ~= 0 || written ~= expected || numel(info) ~= 1 || info.bytes ~= expected
    error('reduce_volume:write', 'Couldn''t write %s (the disk may be full)', matPath);
  end
  if exist('OCTAVE_VERSION', 'builtin')
    % Octave's movefile runs the names through a shell; rename hands them to the system as they are.
    [failed, why] = rename(partial, matPath);
  else
    [moved, why] = movefile(partial, matPath, 'f');
    failed = ~moved;
  end
  if failed
    error('reduce_volume:write', 'Couldn''t write %s (%s)', matPath, why);
  end
end

function removeFile(path)
  % delete takes * in a name, and Octave's also ? and [...], as wildcards, so it could remove
  % other files instead: in Octave unlink takes the name as it is, and in MATLAB the temporary's
  % name holds no wildcard.
  if ~isfile(path)
    return
  end
  if exist('OCTAVE_VERSION', 'builtin')
    [~, ~] = unlink(path);
  else
    delete(path);
  end
end
