% Writes V of a .mat that reduce_volume saved as raw single values, after checking that it is the
% whole single result, so that a byte comparison also sees its class and size.
%   octave-cli mat_volume.m MAT_FILE RAW_FILE
[mat_file, raw_file] = argv(){:};
V = load(mat_file).V;
assert(isa(V, 'single') && isequal(size(V), [256 256 256]), '%s holds a %s %s V', mat_file, class(V), mat2str(size(V)));
raw = fopen(raw_file, 'w');
fwrite(raw, V, 'single');
fclose(raw);
