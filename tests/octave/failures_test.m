% Files that can't deliver a volume: one line is printed and no result is given. A file that
% shrinks while it is read gives zeros where its samples are gone, then the same line.
addpath(fullfile(fileparts(mfilename('fullpath')), 'redraw_marker'));
global redraw_hook redraws
folder = scratch_folder();
unwind_protect
  short_file = fullfile(folder, 'short.raw');
  fid = fopen(short_file, 'w');
  fwrite(fid, zeros(268435455, 1, 'uint8'));
  fclose(fid);
  empty_file = fullfile(folder, 'empty.raw');
  fclose(fopen(empty_file, 'w'));
  open_failed = sprintf('Couldn''t open file!\n');
  read_failed = sprintf('Couldn''t read 268435456 bytes from file!\n');
  cases = {
    fullfile(folder, 'missing.raw'), open_failed
    folder,                          read_failed
    empty_file,                      read_failed
    short_file,                      read_failed
  };
  for k = 1:rows(cases)
    [path, line] = cases{k, :};
    clear ans
    printed = evalc('Quarnel(path, 1);');
    assert(strcmp(printed, line), '%s: printed "%s"', path, printed);
    assert(~exist('ans', 'var'), '%s: gave a result', path);
    assigned = true;
    try
      evalc('V = Quarnel(path);');
    catch
      assigned = false;
    end
    assert(~assigned, '%s: assigning the result did not fail', path);
  end

  % Emptied at the redraw that follows the line before pair 128 is read.
  path = fullfile(folder, 'shrinking.raw');
  write_constant_volume(path, 8);
  redraws = 0;
  redraw_hook = @() shrink_on_redraw(path, 129);
  printed = evalc('V = Quarnel(path, 1);');
  redraw_hook = [];
  assert(numel(strfind(printed, '<redraw>')) == 256, 'the sweep stopped early:\n%s', printed);
  assert(strcmp(printed(end - numel(read_failed) + 1:end), read_failed), 'shrinking file: no closing line');
  expect_same_values(V(:, :, 1:128), repmat(single(8), [256 256 128]), 'slices read before the file shrank');
  expect_same_values(V(:, :, 129:256), zeros(256, 256, 128, 'single'), 'slices gone when they were read');
unwind_protect_cleanup
  remove_folder(folder);
end_unwind_protect
