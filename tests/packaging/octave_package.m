% The Octave package as a user meets it, installed for a user whose home is a new folder of this
% test's own: pkg install builds it, pkg load makes Quarnel the package's module, which gives the
% same bits as the CMake-built one, help and test find the help text and tests beside it, the
% helpers for many volumes come with it and run as the README shows them, without being told
% where the module is, and pkg uninstall takes every file away again.
%   octave-cli octave_package.m PACKAGE CMAKE_MODULE_FOLDER   (support/ of the Octave tests on the path)
[package, cmake_module] = argv(){:};
folder = scratch_folder();
here = pwd();
unwind_protect
  cd(folder);  % pkg test writes its log into the current folder
  [volume, expected] = random_volume_reduced_by(folder, cmake_module);

  % The octave-cli that quarnel-reduce starts finds the package as this one does, through HOME.
  home = fullfile(folder, 'home');
  mkdir(home);
  setenv('HOME', home);
  pkg('install', '-local', package);
  pkg('load', 'quarnel');
  installed = which('Quarnel');
  assert(strncmp(installed, home, numel(home)), 'Quarnel is %s, not the package''s module', installed);
  expect_same_values(Quarnel(volume), expected, 'the package''s module');

  text = evalc('help Quarnel');
  assert(~isempty(strfind(text, 'V = QUARNEL(PATH)')), 'help Quarnel lacks the help text:\n%s', text);
  assert(isempty(strfind(text, '%!')), 'help Quarnel shows the tests:\n%s', text);
  assert(test('Quarnel'), 'test Quarnel fails');
  report = evalc('pkg test quarnel');
  counts = regexp(report, 'pass\s+(\d+)/(\d+)', 'tokens', 'once');
  assert(~isempty(counts) && strcmp(counts{1}, counts{2}) && ~strcmp(counts{1}, '0'), 'pkg test quarnel:\n%s', report);

  % The helpers for many volumes come with it, their private folder and scripts too, and reduce
  % with the package's module: reduce_folder through reduce_volume, and quarnel-reduce, run from
  % the package's folder, which it puts on the host's path to find quarnel_reduce.
  helpers = fileparts(which('reduce_folder'));
  assert(strncmp(helpers, home, numel(home)), 'reduce_folder is in %s, not in the package', helpers);
  for name = {'reduce_folder', 'reduce_volume'}
    text = evalc(['help ' name{1}]);
    assert(~isempty(strfind(text, upper(name{1}))), 'help %s lacks the help text:\n%s', name{1}, text);
  end
  report = reduce_folder(folder, fullfile(folder, 'by_reduce_folder'));
  assert(isequal({report.file}, {'volume.raw'}) && all([report.ok]), 'reduce_folder reports %s', ...
         strjoin(cellfun(@(file, message) [file ': ' message], {report.file}, {report.message}, 'UniformOutput', false), ', '));
  expect_same_values(load(fullfile(folder, 'by_reduce_folder', 'volume.mat')).V, expected, 'reduce_folder');
  by_command = fullfile(folder, 'by_quarnel_reduce');
  mkdir(by_command);
  [status, output] = system(sprintf('"%s" "%s" "%s"', fullfile(helpers, 'quarnel-reduce'), by_command, volume));
  assert(status == 0 && strcmp(output, "ok volume.raw\n"), 'quarnel-reduce ended with %d:\n%s', status, output);
  expect_same_values(load(fullfile(by_command, 'volume.mat')).V, expected, 'quarnel-reduce');
  job = stat(fullfile(helpers, 'slurm', 'reduce_array.sbatch'));
  assert(~isempty(job) && bitand(job.mode, 73) == 73, ...  % 73 is 0111: run by its owner, group and others
         'slurm/reduce_array.sbatch is not executable in the package');

  pkg('uninstall', '-local', 'quarnel');
  assert(~any(cellfun(@(listed) strcmp(listed.name, 'quarnel'), pkg('list'))), 'pkg uninstall left quarnel listed');
  [~, left] = system(sprintf('find "%s" -path "*quarnel*"', home));
  assert(isempty(left), 'pkg uninstall left\n%s', left);
unwind_protect_cleanup
  cd(here);
  remove_folder(folder);
end_unwind_protect
