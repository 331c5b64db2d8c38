% Calls of the wrong shape end in an error that says what is wrong. The path names no file, so a
% check that let the call through would show up as a missing-file line instead of the error.
missing = fullfile(tempdir(), 'quarnel-no-such-volume.raw');
path_error = 'First input must be the path of the volume file, as a non-empty character row.';
nul_error = 'First input must not contain a NUL character: the path would name a different file.';
switch_error = 'Second input must be a real, non-empty numeric or logical value: the progress switch.';
calls = {
  'Quarnel()',                          'One input argument required.'
  '[a, b] = Quarnel()',                 'One input argument required.'
  '[a, b] = Quarnel(missing)',          'Too many output arguments.'
  '[a, b] = Quarnel(missing, 1)',       'Too many output arguments.'
  'Quarnel(1)',                         path_error
  'Quarnel('''')',                      path_error
  'Quarnel({missing})',                 path_error
  'Quarnel([missing; missing])',        path_error
  'Quarnel(missing.'')',                path_error
  'Quarnel(int8(missing))',             path_error
  'Quarnel([missing char(0) ''x''])',   nul_error
  'Quarnel(missing, [])',               switch_error
  'Quarnel(missing, zeros(0, 3))',      switch_error
  'Quarnel(missing, ''on'')',           switch_error
  'Quarnel(missing, complex(1, 0))',    switch_error
  'Quarnel(missing, sparse(1))',        switch_error
  'Quarnel(missing, {1})',              switch_error
  'Quarnel(missing, struct(''on'', 1))', switch_error
  'Quarnel(missing, @sin)',             switch_error
};
for k = 1:rows(calls)
  [code, expected] = calls{k, :};
  raised = '';
  try
    evalc([code ';']);
  catch failure
    raised = failure.message;
  end
  assert(strcmp(raised, ['Quarnel: ' expected]), '%s raised "%s"', code, raised);
end
