% `help Quarnel` shows the help text kept beside the compiled module, which is what runs.
[~, ~, extension] = fileparts(which('Quarnel'));
assert(strcmp(extension, '.mex'), 'Quarnel resolves to %s, not the compiled module', which('Quarnel'));
text = evalc('help Quarnel');
phrases = {'V = QUARNEL(PATH)', 'V = QUARNEL(PATH, PROGRESS)', 'little-endian', 'in-plane axes are exchanged', ...
           'Resample Progress : X.XX percent', 'One input argument required.', 'Too many output', ...
           'Couldn''t open file!', 'Couldn''t read 268435456 bytes from file!'};
for k = 1:numel(phrases)
  assert(~isempty(strfind(text, phrases{k})), 'help Quarnel lacks "%s":\n%s', phrases{k}, text);
end
