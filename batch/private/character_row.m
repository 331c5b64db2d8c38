function text = character_row(value, identifier, message)
  % VALUE as a non-empty character row, a string scalar converted; otherwise the error IDENTIFIER
  % with MESSAGE.
  if isstring(value) && isscalar(value)
    value = char(value);
  end
  if ~ischar(value) || ~isrow(value) || isempty(value)
    error(identifier, '%s', message);
  end
  text = value;
end
