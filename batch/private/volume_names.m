function names = volume_names(folder)
  % The names of FOLDER's volumes, in byte order: its entries named NAME.raw (case matters) whose
  % names don't start with a dot and that are not folders or links to folders. Names are compared
  % byte by byte, so that one that isn't valid text is still taken.
  if exist('OCTAVE_VERSION', 'builtin')
    % Octave's dir takes * and ? in the folder's name as wildcards, and might list other files.
    names = readdir(folder);
  else
    listing = dir(folder);
    names = {listing.name}';
  end
  named = cellfun(@(name) numel(name) > 4 && name(1) ~= '.' && strcmp(name(end - 3:end), '.raw'), names);
  names = sort(names(named));
  names = names(~cellfun(@(name) isfolder(path_in(folder, name)), names));
end
