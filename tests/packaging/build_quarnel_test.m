% build_quarnel run in Octave from a clean copy of the sources, or from the unpacked MATLAB zip:
% the module, its help text and its tab completion land in build/host/ (in the zip's folder, in
% that folder itself) or in the folder given, the printed addpath line names that folder, and the
% module gives the same bits as the CMake-built one. The zip's quarnel-reduce, which needs no
% host, reduces the same volume to the same bits, as a user runs it from the unpacked folder.
%   octave-cli build_quarnel_test.m SOURCE_FOLDER CMAKE_MODULE_FOLDER
%   octave-cli build_quarnel_test.m MATLAB_ZIP CMAKE_MODULE_FOLDER CMAKE   (CMAKE unpacks the zip)
%   (support/ of the Octave tests on the path)
given = argv();
[from, cmake_module] = given{1:2};
% Runs the quarnel-reduce of the unpacked zip's folder on VOLUME, as a user does, and checks its
% exit status, what it printed on each stream, and the result it saved.
function expect_quarnel_reduce(copy, volume, expected)
  reduced = tempname();
  error_file = [reduced '.errors'];
  [status, output] = system(sprintf('"%s" "%s" "%s" 2>"%s"', fullfile(copy, 'quarnel-reduce'), reduced, volume, error_file));
  errors = fileread(error_file);
  delete(error_file);
  assert(status == 0 && strcmp(output, sprintf('ok volume.raw\n')) && isempty(errors), ...
         'the zip''s quarnel-reduce ended with %d, printing\n%s\nand on standard error\n%s', status, output, errors);
  expect_same_values(load(fullfile(reduced, 'volume.mat')).V, expected, 'the zip''s quarnel-reduce');
  confirm_recursive_rmdir(false, 'local');
  rmdir(reduced, 's');
end

folder = scratch_folder();
here = pwd();
unwind_protect
  if numel(given) == 3
    unpacked = fullfile(folder, 'unpacked');
    mkdir(unpacked);
    [status, output] = system(sprintf('cd "%s" && "%s" -E tar xf "%s"', unpacked, given{3}, from));
    assert(status == 0, 'can''t unpack %s:\n%s', from, output);
    top = setdiff(readdir(unpacked), {'.', '..'});
    assert(numel(top) == 1, '%s holds %s, not one folder', from, strjoin(top', ', '));
    copy = fullfile(unpacked, top{1});
    by_default = copy;
  else
    copy = fullfile(folder, 'quarnel');
    mkdir(copy);
    copyfile(fullfile(from, 'build_quarnel.m'), copy);
    copyfile(fullfile(from, 'gateway'), fullfile(copy, 'gateway'));
    copyfile(fullfile(from, 'reduce'), fullfile(copy, 'reduce'));
    by_default = fullfile(copy, 'build', 'host');
  end
  [volume, expected] = random_volume_reduced_by(folder, cmake_module);
  if numel(given) == 3
    expect_quarnel_reduce(copy, volume, expected);
  end

  for target = {{by_default, 'build_quarnel'}, ...
                {fullfile(folder, 'elsewhere'), sprintf('build_quarnel(''%s'')', fullfile(folder, 'elsewhere'))}}
    [built, command] = target{1}{:};
    cd(copy);
    printed = evalc(command);
    % Quarnel is called from another folder: in the current one, Octave would look first.
    cd(folder);
    assert(~isempty(strfind(printed, sprintf('addpath(''%s'')', built))), '%s printed:\n%s', command, printed);
    assert(exist(fullfile(built, 'Quarnel.m'), 'file') == 2, '%s put no Quarnel.m in %s', command, built);
    signatures = fileread(fullfile(built, 'resources', 'functionSignatures.json'));
    assert(strcmp(signatures, fileread(fullfile(copy, 'gateway', 'resources', 'functionSignatures.json'))), ...
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

