function write_sparse_file(path, bytes, offset, tail)
  % A file of `bytes` zero bytes, but for `tail`'s bytes at `offset` when given. The zeros are a
  % hole, so even a whole volume costs no disk and next to no time.
  fclose(fopen(path, 'w'));
  truncate_file(path, bytes);
  if nargin > 2
    fid = fopen(path, 'r+');
    fseek(fid, offset, SEEK_SET);
    fwrite(fid, tail, 'uint8');
    fclose(fid);
  end
end
