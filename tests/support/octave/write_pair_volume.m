function write_pair_volume(path, values)
  % A whole raw volume whose slice pair s (0-based) holds values(s + 1) in every sample, written a
  % pair at a time, so that a sample a sweep carries from one pair into the next shows.
  fid = fopen(path, 'w');
  for s = 1:256
    fwrite(fid, repmat(int16(values(s)), 2 * 512 * 512, 1), 'int16', 0, 'ieee-le');
  end
  fclose(fid);
end
