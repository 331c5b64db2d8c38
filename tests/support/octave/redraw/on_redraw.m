function on_redraw(run, at)
  % Sets what the redraw stub does: run() at every redraw from now on, or at redraw `at` only
  % (counted from 1); on_redraw([]) makes redraws do nothing again.
  global redraw_hook
  if isempty(run)
    redraw_hook = [];
  elseif nargin < 2
    redraw_hook = struct('run', run, 'count', 0, 'at', []);
  else
    redraw_hook = struct('run', run, 'count', 0, 'at', at);
  end
end
