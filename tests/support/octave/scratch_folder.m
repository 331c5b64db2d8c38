function folder = scratch_folder()
  % A new, empty folder under the system's temporary folder; remove it with remove_folder.
  folder = tempname();
  mkdir(folder);
end
