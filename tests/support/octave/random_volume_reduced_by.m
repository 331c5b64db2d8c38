function [volume, reduced] = random_volume_reduced_by(folder, module_folder)
  % A whole volume of random samples written into FOLDER, and its reduction by the Quarnel module
  % in MODULE_FOLDER, which is then taken off the path and out of memory again.
  volume = fullfile(folder, 'volume.raw');
  assert(system(sprintf('head -c 268435456 /dev/urandom > "%s"', volume)) == 0, 'can''t write %s', volume);
  addpath(module_folder);
  reduced = Quarnel(volume);
  rmpath(module_folder);
  clear Quarnel
end
