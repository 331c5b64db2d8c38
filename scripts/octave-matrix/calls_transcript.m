% What a user sees of Quarnel in this Octave: for each call, good and bad, the lines it printed,
% the error it raised and the result it gave, written to TRANSCRIPT; the result of the whole
% volume with progress on is written to RESULT as the raw single values. Each Octave must write
% the same transcript and result as the host.
%   octave-cli calls_transcript.m MODULE VOLUME SHORT_VOLUME TRANSCRIPT RESULT
% MODULE is a folder holding Quarnel.mex, or "package" for the installed quarnel package.
1;

function print_call(statement, volume, short_volume, missing_volume)
  try
    eval(statement);
  catch failure
    printf('error: %s\n', failure.message);
    if ~isempty(failure.identifier)
      printf('identifier: %s\n', failure.identifier);
    end
  end_try_catch
  if exist('r', 'var') && ~isempty(r)
    printf('result %s %s\n', class(r), mat2str(size(r)));
  end
end

[module, volume, short_volume, transcript_file, result_file] = argv(){:};
if strcmp(module, 'package')
  pkg load quarnel
else
  addpath(module);
end
missing_volume = [short_volume '.missing'];
calls = {
  'Quarnel ();'
  '[r, q] = Quarnel (volume);'
  'r = Quarnel (1);'
  'r = Quarnel ([volume char(0)]);'
  'r = Quarnel (volume, ''on'');'
  'r = Quarnel (volume, []);'
  'r = Quarnel (volume, {1});'
  'Quarnel (missing_volume, 1);'
  'r = Quarnel (missing_volume);'
  'Quarnel (short_volume, 1);'
  'r = Quarnel (short_volume);'
  'r = Quarnel (volume);'
};
transcript = fopen(transcript_file, 'w');
for k = 1:numel(calls)
  fprintf(transcript, '>> %s\n%s', calls{k}, evalc('print_call (calls{k}, volume, short_volume, missing_volume)'));
end
r = [];
fprintf(transcript, '>> r = Quarnel (volume, 1);\n%s', evalc('r = Quarnel (volume, 1);'));
fprintf(transcript, 'result %s %s\n', class(r), mat2str(size(r)));
fclose(transcript);
result = fopen(result_file, 'w');
fwrite(result, r, 'single');
fclose(result);
