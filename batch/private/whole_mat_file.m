function whole = whole_mat_file(path)
  % True when PATH is a whole version 6 MAT-file of one variable, as reduce_volume saves it.
  % Octave's save reports no error when the disk fills up or a file size limit is reached: it
  % leaves the file short. A version 6 MAT-file holding one variable is a 128-byte header, then
  % that variable's 8-byte tag, whose second half is the length of what follows it, in the byte
  % order of the machine that wrote it.
  whole = false;
  fid = fopen(path, 'r');
  if fid < 0
    return
  end
  fseek(fid, 132, 'bof');
  declared = fread(fid, 1, 'uint32');
  fseek(fid, 0, 'eof');
  bytes = ftell(fid);
  fclose(fid);
  whole = isscalar(declared) && bytes == 136 + declared;
end
