function truncate_file(path, bytes)
  % Cuts the file down to, or extends it with a hole up to, `bytes` bytes, keeping what it holds
  % before that, as another program truncating it would.
  assert(system(sprintf('truncate -s %d -- %s', bytes, shell_quoted(path))) == 0, 'can''t size %s', path);
end
