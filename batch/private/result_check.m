function check = result_check(V)
  % The check sum a result file records for V: the sum over V's elements, k = 0, 1, ... in
  % storage order, of V(k + 1) * (mod(k, 8191) + 1). The elements are whole numbers from -32768 to
  % 32767, so every partial sum is a whole number below 2^53 and the sum is exact in double,
  % whatever order it is added in. It is taken a block of whole weight periods at a time, to hold
  % little memory beside V.
  period = 8191;
  weights = repmat((1:period)', 256, 1);
  count = numel(V);
  check = 0;
  for first = 1:numel(weights):count
    last = min(first + numel(weights) - 1, count);
    % A row of elements times a column of weights: each product and partial sum is exact.
    check = check + double(V(first:last)) * weights(1:last - first + 1);
  end
end
