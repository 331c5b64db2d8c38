% Quarnel demo, run by demo.sh in the folder that receives its files: writes phantom.raw, a 512^3
% volume of overlapping ellipsoids; reduces it with progress shown; prints a summary; and saves the
% middle slice before and after reduction side by side, on one value scale, in middle-slice.png.
% When the picture can't be drawn, it says what to install and exits with status 1.

% Each row: centre (column, row, slice), radii along the same axes, value added inside. The
% values add up where ellipsoids overlap, from -1000 to 3800, well within int16.
ellipsoids = [
  256 256 256   230 190 235    1200   % body
  256 256 256   210 170 215    -700   % its inner part, darker than the rim
  170 200 250    60  60  60    1800   % bright ball, upper left
  340 210 270    45  80 100   -1500   % cavity below zero, upper right
  256 370 256   120  30  40     900   % flat bar, low
  256 115 256    18  18 200    2600   % rod running through the slices
  190 320 256    16  16  16    3000   % three small beads
  256 320 256    12  12  12    3000
  322 320 256     8   8   8    3000
];

path = fullfile(pwd(), 'phantom.raw');
printf('Writing %s (512 x 512 x 512 int16, 256 MiB)\n', path);
[x, y] = meshgrid(0:511, 0:511);  % one slice: rows run down the file's rows
fid = fopen(path, 'w');
for z = 0:511
  slice = zeros(512, 512);
  for k = 1:rows(ellipsoids)
    e = ellipsoids(k, :);
    dz = (z - e(3)) / e(6);
    if abs(dz) < 1
      inside = ((x - e(1)) / e(4)).^2 + ((y - e(2)) / e(5)).^2 < 1 - dz^2;
      slice(inside) += e(7);
    end
  end
  fwrite(fid, slice.', 'int16', 0, 'ieee-le');  % transposed, so the column index runs fastest
end
fclose(fid);

started = tic();
V = Quarnel(path, 1);
seconds = toc(started);

printf('\nResult: %s, class %s\n', strjoin(arrayfun(@num2str, size(V), 'UniformOutput', false), ' x '), class(V));
printf('  min %g, max %g, mean %.4f\n', min(V(:)), max(V(:)), mean(V(:), 'double'));
printf('  Quarnel took %.2f seconds\n', seconds);

% Slice 256 (0-based) of the file, with its rows down the picture, against output slice 128,
% which comes from file slices 256 and 257: the output's first axis runs along the file's rows,
% so both pictures stand the same way up. Both share one grey scale, from the file's lowest value
% to its highest.
fid = fopen(path, 'r', 'ieee-le');
fseek(fid, 2 * 512 * 512 * 256, SEEK_SET);
before = reshape(fread(fid, 512 * 512, 'int16=>double'), 512, 512).';
fclose(fid);
after = double(V(:, :, 129));
scale = [min(before(:)), max(before(:))];
% Octave draws with gnuplot, a font and Ghostscript. Without the font it warns a dozen times before
% the error that stops it: warnings are off while it draws, and the error is reported after.
warnings = warning();
warning('off', 'all');
figure_handle = [];
picture = fullfile(pwd(), 'middle-slice.png');
failure = '';
try
  graphics_toolkit('gnuplot');  % it works headless, which the other toolkits don't
  figure_handle = figure('visible', 'off', 'position', [0 0 1100 520]);
  colormap(gray(256));
  halves = {before, 'Input: phantom.raw, file slice 256 of 512 (512 x 512 samples)',     'sample value (int16)'
            after,  'Quarnel(path): reduced slice 128 of 256 (256 x 256 block means)', 'mean of a 2 x 2 x 2 block'};
  for k = 1:2
    subplot(1, 2, k);
    imagesc(halves{k, 1}, scale);
    axis image;
    title(halves{k, 2});
    xlabel('column');
    ylabel('row');
    bar = colorbar();
    ylabel(bar, halves{k, 3});
  end
  print(figure_handle, '-dpng', '-r100', picture);
catch caught
  failure = caught.message;
end
close(figure_handle);
warning(warnings);
if isempty(failure)
  printf('Wrote %s: the middle slice before (left) and after (right), on one grey scale\n', picture);
else
  fflush(stdout);
  fprintf(stderr, 'No picture: %s\n', failure);
  fprintf(stderr, 'To draw it, install gnuplot, a font and Ghostscript: apt-get install gnuplot-nox fonts-freefont-otf ghostscript\n');
  exit(1);
end
