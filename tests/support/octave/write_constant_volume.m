function write_constant_volume(path, value)
  % A whole raw volume whose every sample is `value`.
  write_pair_volume(path, repmat(value, 1, 256));
end
