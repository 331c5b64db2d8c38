function name = result_name(volume_name)
  % The name of the result file for the volume file named VOLUME_NAME: NAME.mat for NAME.raw, and
  % for any other name that name with .mat after it, as the quarnel-reduce command names them.
  if numel(volume_name) > 4 && strcmp(volume_name(end - 3:end), '.raw')
    name = [volume_name(1:end - 4) '.mat'];
  else
    name = [volume_name '.mat'];
  end
end
