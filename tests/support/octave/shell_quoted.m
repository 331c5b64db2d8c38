function text = shell_quoted(text)
  % The text as one word for the shell, whatever characters it holds.
  text = ['''' strrep(text, '''', '''\''''') ''''];
end
