function message = missing_module()
  % Why Quarnel can't be called here, or '' when a compiled module of it is on the path. The MATLAB
  % zip's folder holds the help text Quarnel.m beside MATLAB's modules: in Octave, or in MATLAB on a
  % platform it has no module for, the help text is all that is found until build_quarnel has built
  % a module in that folder.
  switch exist('Quarnel', 'file')
    case 3
      message = '';
    case 0
      message = 'Quarnel is not on the path: add the folder of its compiled module with addpath.';
    otherwise
      message = sprintf('%s holds no Quarnel module this host can load: run build_quarnel in that folder.', ...
                        fileparts(which('Quarnel')));
  end
end
