% A whole random volume, followed by bytes that must be ignored, reduced by the module and by the
% reference: they agree element for element, whether or not a result is asked for.
folder = scratch_folder();
unwind_protect
  rand('state', 20261208);
  path = fullfile(folder, 'random.raw');
  fid = fopen(path, 'w');
  fwrite(fid, typecast(uint32(floor(rand(2^26, 1) * 2^32)), 'int16'), 'int16', 0, 'ieee-le');
  fwrite(fid, repmat(uint8(127), 1, 4096), 'uint8');
  fclose(fid);
  expected = reference_reduction(path);

  V = Quarnel(path);
  expect_same_values(V, expected, 'random volume');
  clear V
  Quarnel(path);
  expect_same_values(ans, expected, 'random volume, no output asked for');
unwind_protect_cleanup
  remove_folder(folder);
end_unwind_protect
