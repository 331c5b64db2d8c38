## -*- texinfo -*-
## Stands in for drawnow while Quarnel shows progress: before slice pair shrink_pair is read, cuts
## the file shrink_path down to shrink_size bytes.
function drawnow ()
  global shrink_path shrink_pair shrink_size
  persistent redraws = 0;
  if (redraws == shrink_pair)
    status = system (sprintf ("truncate -s %d '%s'", shrink_size, shrink_path));
    if (status != 0)
      error ("can't truncate %s", shrink_path);
    endif
  endif
  redraws++;
endfunction
