function quarnel_reduce(outputFolder, listFile, resume)
%QUARNEL_REDUCE The host's side of the quarnel-reduce command: reduce the listed volumes.
%   QUARNEL_REDUCE(OUTPUTFOLDER, LISTFILE, RESUME) reduces each volume named in LISTFILE, one
%   path a line, with REDUCE_VOLUME into OUTPUTFOLDER/NAME.mat, NAME being the volume's file name
%   without a final .raw. With RESUME true, a NAME.mat that is already whole is kept as it is.
%   For each volume, in the order listed, it prints one line to standard output:
%     ok NAME.raw                  reduced and saved
%     kept NAME.raw                left as it was, with RESUME
%     failed NAME.raw: MESSAGE     MESSAGE is the line Quarnel printed, or why saving failed
%   When Quarnel is not on the path it prints the single line "no Quarnel" and reduces nothing;
%   when only its help text is, with no module this host loads beside it, as in the MATLAB zip's
%   folder under Octave, the line "no Quarnel module beside FOLDER".
%
%   The quarnel-reduce command runs this in one host process, reads these lines, and turns them
%   into its exit status; call quarnel-reduce rather than this.
%
%   See also REDUCE_VOLUME, REDUCE_FOLDER.

  if ~isempty(missing_module())
    if exist('Quarnel', 'file')
      printLine(['no Quarnel module beside ' fileparts(which('Quarnel'))]);
    else
      printLine('no Quarnel');
    end
    return
  end
  volumes = regexp(fileread(listFile), '[^\n]+', 'match');
  for k = 1:numel(volumes)
    volume = volumes{k};
    [~, stem, extension] = fileparts(volume);
    name = [stem extension];
    if ~strcmp(extension, '.raw')
      stem = name;
    end
    matPath = fullfile(outputFolder, [stem '.mat']);
    if resume && whole_mat_file(matPath)
      printLine(['kept ' name]);
      continue
    end
    [ok, message] = reduce_volume(volume, matPath);
    if ok
      printLine(['ok ' name]);
    else
      % One line a volume: a host error may span lines.
      printLine(sprintf('failed %s: %s', name, regexprep(message, '\s*\n\s*', ' ')));
    end
  end
end

function printLine(text)
  fprintf('%s\n', text);
  % Octave holds back what it writes to a pipe; the command shows each line as its volume ends.
  if exist('OCTAVE_VERSION', 'builtin')
    fflush(stdout);
  end
end
