function reduced = reference_reduction(path)
  % The reduced volume computed straight from the file layout, independently of the module:
  % element (r, c, s) is the mean of file rows 2r-1:2r, columns 2c-1:2c, slices 2s-1:2s,
  % truncated toward zero, as a single array with the file's rows along its first axis.
  fid = fopen(path, 'r', 'ieee-le');
  samples = fread(fid, 512^3, 'int16=>double');
  fclose(fid);
  % The file's samples run column-fastest; split each axis into (place in block, block number).
  blocks = reshape(samples, 2, 256, 2, 256, 2, 256);
  sums = reshape(sum(sum(sum(blocks, 1), 3), 5), 256, 256, 256);  % (column, row, slice)
  means = fix(sums / 8) + 0;  % adding +0 turns the -0 that fix gives for sums -1..-7 into +0
  reduced = single(permute(means, [2 1 3]));
end
