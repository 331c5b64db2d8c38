function text = progress_transcript(after_each_line)
  % What a sweep with progress on prints: a line before each of the 256 slice pairs, each followed
  % by `after_each_line`, what the test's redraw hook prints.
  lines = cell(1, 256);
  for s = 0:255
    lines{s + 1} = [sprintf('Resample Progress : %.2f percent\n', (2 * s) * 0.001953125 * 100.0) after_each_line];
  end
  text = [lines{:}];
end
