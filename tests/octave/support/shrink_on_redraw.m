function shrink_on_redraw(path, redraw)
  % Empties the file at the given redraw, as another program truncating it mid-sweep would.
  global redraws
  redraws = redraws + 1;
  if redraws == redraw
    fclose(fopen(path, 'w'));
  end
end
