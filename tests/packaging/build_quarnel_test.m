% build_quarnel run in Octave from a clean copy of the sources: the module, its help text and its
% tab completion land in build/host/, or in the folder given, the printed addpath line names that
% folder, and the module gives the same bits as the CMake-built one.
%   octave-cli build_quarnel_test.m SOURCE_FOLDER CMAKE_MODULE_FOLDER   (support/ of the Octave tests on the path)
[sources, cmake_module] = argv(){:};
folder = scratch_folder();
here = pwd();
unwind_protect
  copy = fullfile(folder, 'quarnel');
  mkdir(copy);
  copyfile(fullfile(sources, 'build_quarnel.m'), copy);
  copyfile(fullfile(sources, 'gateway'), fullfile(copy, 'gateway'));
  copyfile(fullfile(sources, 'reduce'), fullfile(copy, 'reduce'));
  [volume, expected] = random_volume_reduced_by(folder, cmake_module);

  cd(copy);
  for target = {{fullfile(copy, 'build', 'host'), 'build_quarnel'}, ...
                {fullfile(folder, 'elsewhere'), sprintf('build_quarnel(''%s'')', fullfile(folder, 'elsewhere'))}}
    [built, command] = target{1}{:};
    printed = evalc(command);
    assert(~isempty(strfind(printed, sprintf('addpath(''%s'')', built))), '%s printed:\n%s', command, printed);
    assert(exist(fullfile(built, 'Quarnel.m'), 'file') == 2, '%s put no Quarnel.m in %s', command, built);
    signatures = fileread(fullfile(built, 'resources', 'functionSignatures.json'));
    assert(strcmp(signatures, fileread(fullfile(sources, 'gateway', 'resources', 'functionSignatures.json'))), ...
           '%s put no tab completion beside the module', command);
    addpath(built);
    assert(strcmp(which('Quarnel'), fullfile(built, 'Quarnel.mex')), '%s: Quarnel is %s', command, which('Quarnel'));
    expect_same_values(Quarnel(volume), expected, command);
    rmpath(built);
    clear Quarnel
  end
unwind_protect_cleanup
  cd(here);
  remove_folder(folder);
end_unwind_protect
