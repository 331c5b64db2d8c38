% Crafted blocks in a volume of zeros: each reaches its own element, with its mean truncated
% toward zero, and no other element. Columns: what the block tests; its first file sample
% (column, row, slice), 0-based; its eight samples in file order, or the one raw byte pair of all
% eight; the element's 0-based linear index; its value.
weighted = int16([8 16 32 64 128 256 512 1024]);  % sums to 2040 only when all eight arrive
blocks = {
  'linear index 1: columns 0-1 of rows 2-3',       [0 2 0],       weighted, 1,        255
  'linear index 256: columns 2-3 of rows 0-1',     [2 0 0],       weighted, 256,      255
  'linear index 65536: slices 2-3',                [0 0 2],       weighted, 65536,    255
  'output (131, 2, 67): column 2, row 260, slice 132', [2 260 132], weighted, 4325762, 255
  'last element: the last bytes of the volume',    [510 510 510], weighted, 16777215, 255
  'eight byte pairs 00 80',                        [0 20 100], uint8([0 128]),   3276810, -32768
  'eight byte pairs FF 7F',                        [0 22 100], uint8([255 127]), 3276811, 32767
  'sum -1',                                        [0 24 100], int16([0 0 0 0 0 0 0 -1]),          3276812, 0
  'sum -7',                                        [0 26 100], int16([-1 -1 -1 -1 -1 -1 -1 0]),    3276813, 0
  'sum -9',                                        [0 28 100], int16([-2 -1 -1 -1 -1 -1 -1 -1]),   3276814, -1
  'sum 7',                                         [0 30 100], int16([1 1 1 1 1 1 1 0]),           3276815, 0
  'sum 16',                                        [0 32 100], int16([2 2 2 2 2 2 2 2]),           3276816, 2
  'sum -196609',                                   [0 34 100], int16([-32768 -32768 -32768 -32768 -32768 -32768 -32768 32767]), 3276817, -24576
};
folder = scratch_folder();
unwind_protect
  path = fullfile(folder, 'blocks.raw');
  write_sparse_file(path, 268435456);
  fid = fopen(path, 'r+');
  for k = 1:rows(blocks)
    [first, samples] = blocks{k, 2:3};
    if isa(samples, 'uint8')
      bytes = repmat(samples, 8, 1);
    else
      bits = double(typecast(samples, 'uint16'));
      bytes = [mod(bits, 256); floor(bits / 256)].';  % low byte first
    end
    for i = 0:7
      sample = first + [mod(i, 2), mod(floor(i / 2), 2), floor(i / 4)];
      fseek(fid, 2 * (sample(1) + 512 * sample(2) + 262144 * sample(3)), SEEK_SET);
      fwrite(fid, bytes(i + 1, :), 'uint8');
    end
  end
  fclose(fid);

  V = Quarnel(path);
  untouched = true(size(V));
  for k = 1:rows(blocks)
    [name, index, value] = blocks{k, [1 4 5]};
    expect_same_values(V(index + 1), single(value), name);
    untouched(index + 1) = false;
  end
  expect_same_values(V(untouched), zeros(nnz(untouched), 1, 'single'), 'elements of no crafted block');
unwind_protect_cleanup
  remove_folder(folder);
end_unwind_protect
