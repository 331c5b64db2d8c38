function expect_same_values(actual, expected, what)
  % Same class, size and values, and no negative zero anywhere in `actual`.
  assert(strcmp(class(actual), class(expected)), '%s: class %s, expected %s', what, class(actual), class(expected));
  assert(isequal(size(actual), size(expected)), '%s: size %s, expected %s', what, mat2str(size(actual)), mat2str(size(expected)));
  wrong = find(actual ~= expected, 1);
  assert(isempty(wrong), '%s: element %d is %g, expected %g', what, wrong, actual(max([wrong 1])), expected(max([wrong 1])));
  assert(~any(signbit(actual(:)) & actual(:) == 0), '%s: holds a negative zero', what);
end
