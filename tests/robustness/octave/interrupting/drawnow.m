## -*- texinfo -*-
## Stands in for drawnow while Quarnel shows progress: at the fifth redraw the process interrupts
## itself, as a user pressing Ctrl-C during the sweep would.
function drawnow ()
  persistent redraws = 0;
  redraws++;
  if (redraws == 5)
    kill (getpid (), 2);
  endif
endfunction
