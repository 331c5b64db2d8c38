% quarnel-reduce's NAME.mat as Octave loads it: one variable, V, bit for bit what Quarnel returns
% for the same file; and its bytes are those Octave's own save -v6 writes for that V, but for the
% header text (the record) and the second word of the array flags, which Octave sets to 1 and the
% command, as MATLAB does for a full array, to 0.
%   octave-cli load_test.m QUARNEL_REDUCE OCTAVE_MODULE_FOLDER
%   (with the Octave tests' support folder on the path)
command = argv(){1};
module_folder = argv(){2};
folder = scratch_folder();
unwind_protect
  [volume, reduced] = random_volume_reduced_by(folder, module_folder);
  out = fullfile(folder, 'out');
  [status, output] = system([shell_quoted(command) ' ' shell_quoted(out) ' ' shell_quoted(volume)]);
  assert(status == 0 && strcmp(output, sprintf('ok volume.raw\n')), 'quarnel-reduce: %d, %s', status, output);

  result = fullfile(out, 'volume.mat');
  loaded = load(result);
  assert(isequal(fieldnames(loaded), {'V'}), 'the file holds %s', strjoin(fieldnames(loaded)', ', '));
  assert(strcmp(class(loaded.V), 'single') && isequal(size(loaded.V), [256 256 256]), 'V is no 256^3 single');
  assert(isequal(typecast(loaded.V(:), 'uint32'), typecast(reduced(:), 'uint32')), 'V differs from Quarnel''s result');

  V = reduced;
  saved = fullfile(folder, 'saved.mat');
  save('-v6', saved, 'V');
  read_bytes = @(path) fread(fopen(path), Inf, 'uint8=>uint8');
  ours = read_bytes(result);
  octaves = read_bytes(saved);
  fclose('all');
  assert(numel(ours) == 67109056 && numel(octaves) == numel(ours), 'sizes %d and %d', numel(ours), numel(octaves));
  text_start = 'MATLAB 5.0 MAT-file, Quarnel ';
  assert(strncmp(char(ours(1:116)'), text_start, numel(text_start)), 'header text %s', char(ours(1:116)'));
  flags_second_word = 149:152;
  differing = find(ours != octaves);
  differing = differing(differing > 116 & ~ismember(differing, flags_second_word));
  if ~isempty(differing)
    error('byte %d differs from Octave''s save -v6', differing(1) - 1);
  end
  assert(isequal(ours(flags_second_word), zeros(4, 1, 'uint8')), 'the flags'' second word is not 0');
unwind_protect_cleanup
  remove_folder(folder);
end_unwind_protect
