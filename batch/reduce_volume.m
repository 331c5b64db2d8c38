function [ok, message] = reduce_volume(rawPath, matPath)
%REDUCE_VOLUME Reduce one raw volume with Quarnel and save the result in a .mat file.
%   [OK, MESSAGE] = REDUCE_VOLUME(RAWPATH, MATPATH) reduces the volume file RAWPATH with Quarnel
%   and saves the 256 x 256 x 256 single result as the variable V in MATPATH: a version 6
%   MAT-file, uncompressed, which Octave and MATLAB both load. OK is true when MATPATH holds the
%   result, and MESSAGE is then ''.
%
%   When the volume can't be used, OK is false and MESSAGE is the line Quarnel printed, without
%   its newline, for example 'Couldn''t read 268435456 bytes from file!'; the line is not printed.
%   A line means the result is not to be trusted, so a result that came with one is not saved
%   either. When saving fails (a full disk, a folder you may not write to), MESSAGE is the
%   host's error message.
%
%   MATPATH is written under a temporary name in its folder, checked to be whole and only then
%   renamed into place, so it is never left half written. When OK is false MATPATH does not exist
%   afterwards: one left by an earlier run is deleted, so that no stale result sits beside the
%   failure. Should that fail too, MESSAGE says so.
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
  % Otherwise every volume would fail, and results of earlier runs be deleted as stale.
  module_problem = missing_module();
  if ~isempty(module_problem)
    error('reduce_volume:module', '%s', module_problem);
  end
  try
    % Quarnel prints a line instead of giving a result. Called without an output variable, it
    % puts any result in ans, so evalc captures the line whether or not a result came.
    printed = evalc('Quarnel(rawPath);');
    message = regexprep(printed, '\s+$', '');
    ok = isempty(printed) && exist('ans', 'var') == 1;
    if ok
      saveWhole(ans, matPath);
    end
  catch failure
    ok = false;
    message = failure.message;
  end
  if ~ok && isfile(matPath)
    removeFile(matPath);
    if isfile(matPath)
      message = sprintf('%s (and %s, from an earlier run, could not be deleted)', message, matPath);
    end
  end
end

function saveWhole(V, matPath)
  % MATLAB's movefile would put the file inside a folder of that name and report success.
  if isfolder(matPath)
    error('reduce_volume:folder', 'Can''t save to %s: it is a folder.', matPath);
  end
  % Beside its final name, so that the rename stays on one file system and the file appears whole
  % or not at all. The temporary's name holds nothing of the volume's, which may hold characters
  % that MATLAB's movefile takes as wildcards.
  [~, token] = fileparts(tempname());
  partial = fullfile(fileparts(matPath), [token '.partial.mat']);
  removePartial = onCleanup(@() removeFile(partial));
  save(partial, 'V', '-v6');
  if ~whole_mat_file(partial)
    error('reduce_volume:short', 'Couldn''t write all of %s: the disk may be full.', matPath);
  end
  if exist('OCTAVE_VERSION', 'builtin')
    % Octave's movefile runs the names through a shell; rename hands them to the system as they are.
    rename(partial, matPath);
  else
    movefile(partial, matPath, 'f');
  end
end

function removeFile(path)
  % delete takes * in a name, and Octave's also ? and [...], as wildcards, so it could remove
  % other volumes' results instead: in Octave unlink takes the name as it is, and in MATLAB a
  % name holding * is left alone. A file that stays is reported where that matters: an earlier
  % result beside a failure.
  if ~isfile(path)
    return
  end
  if exist('OCTAVE_VERSION', 'builtin')
    [~, ~] = unlink(path);
  elseif isempty(strfind(path, '*'))
    delete(path);
  end
end
