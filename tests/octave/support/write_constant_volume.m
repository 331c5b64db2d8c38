function write_constant_volume(path, value)
  % A whole raw volume whose every sample is `value`, written a slice at a time.
  slice = repmat(int16(value), 512 * 512, 1);
  fid = fopen(path, 'w');
  for z = 1:512
    fwrite(fid, slice, 'int16', 0, 'ieee-le');
  end
  fclose(fid);
end
