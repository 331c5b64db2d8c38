function message = missing_module()
  % Why Quarnel can't be called here, or '' when it can. The MATLAB zip's folder holds the help
  % text Quarnel.m, a script of comments only, beside MATLAB's modules: in Octave, or in MATLAB on
  % a platform it has no module for, that script is all that is found until build_quarnel has
  % built a module in that folder.
  message = '';
  switch exist('Quarnel', 'file')
    case 0
      message = 'Quarnel is not on the path: add the folder of its compiled module with addpath.';
    case 2
      try
        nargin('Quarnel');  % a function has a number of arguments; a script has none
      catch
        message = sprintf('%s holds no Quarnel module this host can load: run build_quarnel in that folder.', ...
                          fileparts(which('Quarnel')));
      end
  end
end
