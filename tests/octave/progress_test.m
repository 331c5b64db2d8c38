% The progress switch: on for any nonzero first element, NaN included, and then 256 lines, each
% followed by exactly one redraw; off for zero, -0 and when absent, and then nothing is shown.
addpath(fullfile(fileparts(mfilename('fullpath')), 'redraw_marker'));
switches = {  % the arguments after the path, as written and as passed; whether progress shows
  'nothing',         {},                false
  '0',               {0},               false
  '-0',              {-0},              false
  'false',           {false},           false
  'int8(0)',         {int8(0)},         false
  'single(-0)',      {single(-0)},      false
  '[0 1]',           {[0 1]},           false
  '1',               {1},               true
  '-1',              {-1},              true
  '0.5',             {0.5},             true
  'Inf',             {Inf},             true
  'NaN',             {NaN},             true
  'true',            {true},            true
  'int8(3)',         {int8(3)},         true
  'uint64(2^40)',    {uint64(2^40)},    true
  '[1 0]',           {[1 0]},           true
  '1, ''ignored''',  {1, 'ignored'},    true
};
shown = '';
for s = 0:255
  shown = [shown sprintf('Resample Progress : %.2f percent\n<redraw>\n', (2 * s) * 0.001953125 * 100.0)];
end
folder = scratch_folder();
unwind_protect
  path = fullfile(folder, 'zeros.raw');
  write_constant_volume(path, 0);
  for k = 1:rows(switches)
    [what, extra, on] = switches{k, :};
    printed = evalc('V = Quarnel(path, extra{:});');
    if on
      assert(strcmp(printed, shown), 'after the path %s: printed\n%s', what, printed);
    else
      assert(isempty(printed), 'after the path %s: printed\n%s', what, printed);
    end
    expect_same_values(V, zeros(256, 256, 256, 'single'), what);
  end

  clear ans
  printed = evalc('Quarnel(path, 1);');
  assert(strcmp(printed, shown), 'with no output asked for: printed\n%s', printed);
  expect_same_values(ans, zeros(256, 256, 256, 'single'), 'result with no output asked for');
unwind_protect_cleanup
  remove_folder(folder);
end_unwind_protect
