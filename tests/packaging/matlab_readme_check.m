% The install check in the MATLAB README, as a user pastes it: the first matlab block after "To
% check the install", run in this octave-cli. With the CMake-built module it passes, names that
% module and leaves no volume behind; with a stand-in Quarnel that is wrong in a way a broken
% install could be, it fails by its assertion, and still leaves no volume behind.
%   octave-cli matlab_readme_check.m README CMAKE_MODULE_FOLDER   (support/ of the Octave tests on the path)
[readme, cmake_module] = argv(){:};

function printed = run_check(code)
  % In a workspace of its own, as the pasted lines would have the command window's.
  printed = evalc(code);
end

function write_function(folder, name, lines)
  fid = fopen(fullfile(folder, [name '.m']), 'w');
  fprintf(fid, '%s\n', lines{:});
  fclose(fid);
end

text = fileread(readme);
code = regexp(text, 'To check the install.*?```matlab\n(.*?)```', 'tokens', 'once');
assert(~isempty(code), '%s has no matlab block after "To check the install"', readme);
code = code{1};

folder = scratch_folder();
volumes = fullfile(folder, 'tmp');
mkdir(volumes);
previous_tmpdir = getenv('TMPDIR');
unwind_protect
  % The check's tempname lands here, so that a volume left behind is seen.
  setenv('TMPDIR', volumes);
  addpath(cmake_module);
  printed = run_check(code);
  expected = sprintf('Quarnel works: %s\n', fullfile(cmake_module, 'Quarnel.mex'));
  assert(strcmp(printed, expected), 'the check with the built module printed:\n%s', printed);
  left = readdir(volumes);
  assert(numel(left) == 2, 'the check left %s behind', strjoin(left', ', '));
  rmpath(cmake_module);
  clear Quarnel

  standin = fullfile(folder, 'standin');
  mkdir(standin);
  % The stand-ins answer with the real module, copied beside them as real_quarnel, from the file
  % or from the file's samples as a module that reads them wrong would take them.
  copyfile(fullfile(cmake_module, 'Quarnel.mex'), fullfile(standin, 'real_quarnel.mex'));
  write_function(standin, 'reduced_as_read', {
    'function V = reduced_as_read(path, misreading)'
    '  fid = fopen(path, ''r'');'
    '  samples = fread(fid, [512 * 512, 512], ''*int16'', 0, ''ieee-le'');'
    '  fclose(fid);'
    '  misread = [path ''.misread''];'
    '  fid = fopen(misread, ''w'');'
    '  fwrite(fid, misreading(samples), ''int16'', 0, ''ieee-le'');'
    '  fclose(fid);'
    '  V = real_quarnel(misread);'
    '  delete(misread);'
    'end'});
  addpath(standin);
  wrong = {
    % what                                 the stand-in's body
    'zeros',                               'V = zeros(256, 256, 256, ''single'');'
    'rows and columns exchanged',          'V = permute(real_quarnel(path), [2 1 3]);'
    'columns and slices exchanged',        'V = permute(real_quarnel(path), [1 3 2]);'
    'rows and slices exchanged',           'V = permute(real_quarnel(path), [3 2 1]);'
    'negative zeros',                      'V = real_quarnel(path); V(V == 0) = -0;'
    'doubles',                             'V = double(real_quarnel(path));'
    'no result but Quarnel''s line',       'printf("Couldn''t open file!\n");'
    'the means of first slices alone',     'V = reduced_as_read(path, @(samples) samples .* int16(mod(1:512, 2)));'
    'the means of second slices alone',    'V = reduced_as_read(path, @(samples) samples .* int16(1 - mod(1:512, 2)));'
    'the means of big-endian samples',     'V = reduced_as_read(path, @swapbytes);'
  };
  for k = 1:rows(wrong)
    [what, body] = wrong{k, :};
    write_function(standin, 'Quarnel', {'function V = Quarnel(path)', ['  ' body], 'end'});
    clear Quarnel
    failed = false;
    try
      run_check(code);
    catch failure
      failed = true;
      assert(~isempty(strfind(failure.message, 'assert')), ...
             'with a stand-in giving %s, the check failed otherwise: %s', what, failure.message);
    end_try_catch
    assert(failed, 'the check passes a Quarnel giving %s', what);
    left = readdir(volumes);
    assert(numel(left) == 2, 'with a stand-in giving %s, the check left %s behind', what, strjoin(left', ', '));
  end
unwind_protect_cleanup
  setenv('TMPDIR', previous_tmpdir);
  remove_folder(folder);
end_unwind_protect
