function header = result_file_header(V, source)
  % The 192 bytes that come before V's data in a result file, as the quarnel-reduce command writes
  % them too: a level 5 MAT-file holding V alone, uncompressed, little-endian. The header text
  % records where V came from, SOURCE's size and modification time, and V's check sum (see
  % result_check), so that a later run can tell whether the file still is the reduction of that
  % input.
  text = sprintf('MATLAB 5.0 MAT-file, Quarnel %s, input %d B %s s, check %d', ...
                 quarnel_version(), source.size, source.modified, result_check(V));
  if numel(text) > 116
    error('reduce_volume:record', 'The record of where V came from doesn''t fit in the header: %s', text);
  end
  header = [uint8(text), repmat(uint8(' '), 1, 116 - numel(text)), ...  % the header text
            repmat(uint8(' '), 1, 8), ...                                % no subsystem data
            uint8([0 1]), uint8('IM'), ...                                 % version 0x0100, little-endian
            words('uint32', [14 67108920]), ...                           % the array: miMATRIX, its bytes
            words('uint32', [6 8 7 0]), ...                               % flags: single, real
            words('uint32', [5 12]), words('int32', [256 256 256 0]), ... % dimensions, padded
            words('uint16', [1 1]), uint8('V'), uint8([0 0 0]), ...       % its name, in one word
            words('uint32', [7 67108864])];                               % the data: miSINGLE
end

function bytes = words(type, values)
  bytes = typecast(cast(values, type), 'uint8');
end
