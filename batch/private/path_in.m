function path = path_in(folder, name)
  % FOLDER/NAME. Unlike fullfile, which Octave runs through regexprep, it takes any bytes, so that
  % a name that isn't valid text still makes a path.
  if isempty(folder) || folder(end) == filesep
    path = [folder name];
  else
    path = [folder filesep name];
  end
end
