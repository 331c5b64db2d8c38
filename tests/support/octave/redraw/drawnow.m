function drawnow(varargin)
  % Takes the place of the display refresh the module asks for after each progress line, for the
  % tests that put this folder on the path: it runs the hook set with on_redraw, at its redraw.
  global redraw_hook
  if isempty(redraw_hook)
    return
  end
  redraw_hook.count = redraw_hook.count + 1;
  if isempty(redraw_hook.at) || redraw_hook.count == redraw_hook.at
    redraw_hook.run();
  end
end
