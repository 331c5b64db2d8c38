%QUARNEL Reduce a 512^3 int16 raw volume to 256^3 block means, streaming from the file.
%   V = QUARNEL(PATH) reads the headerless raw volume file PATH, 512 x 512 x 512 little-endian
%   int16 samples with the column index fastest, then the row, then the slice, and returns V, a
%   256 x 256 x 256 single array. Each element is the mean of a 2 x 2 x 2 block of samples,
%   truncated toward zero. V(r,c,s) comes from file rows 2r-1:2r, columns 2c-1:2c and slices
%   2s-1:2s (1-based), so V's first dimension runs along the file's rows and its second along the
%   file's columns: the in-plane axes are exchanged with respect to the file's storage order.
%   Only the first 268435456 bytes of the file are read; the file is read two slices at a time, so
%   besides V only 1 MiB is held. PATH is a character row or, in MATLAB, one string, as in
%   Quarnel("scan.raw").
%
%   V = QUARNEL(PATH, PROGRESS) prints "Resample Progress : X.XX percent" before each of the 256
%   slice pairs and refreshes the display, when the first element of PROGRESS is nonzero (NaN
%   counts as nonzero). PROGRESS must be a real, non-empty numeric or logical value.
%
%   A call of the wrong shape ends in an error before any file is opened, checked in this order
%   (Octave puts "Quarnel: " in front):
%     "One input argument required."        no argument, whatever the outputs
%     "Too many output arguments."          two or more outputs
%     "First input must be the path of the volume file, as a non-empty character row."
%                                           PATH is a number, a cell, a struct, '', "", a missing
%                                           string, a string array, a column or a char matrix
%     "First input must not contain a NUL character: the path would name a different file."
%                                           PATH holds char(0)
%     "Second input must be a real, non-empty numeric or logical value: the progress switch."
%                                           PROGRESS is empty, text, a cell, a struct, complex
%                                           or sparse
%   Arguments after the second are never looked at.
%
%   A file that can't be used prints one line, returns normally and gives no result, so that
%   V = QUARNEL(PATH) then fails for want of V:
%     "Couldn't open file!"                       PATH can't be opened (missing, not readable,
%                                                 a folder on Windows)
%     "Couldn't read 268435456 bytes from file!"  the file holds less than a whole volume (a
%                                                 short or empty file, a folder on Linux)
%   These lines come with a result that must not be used:
%     "Couldn't read 268435456 bytes from file!"  the file shrank or a read failed while it was
%                                                 read: the missing samples count as zero; the
%                                                 line follows the last progress line
%     "Couldn't Allocate Memory!"                 the host gave the result no memory
%     "Couldn't Allocate Buffer Memory!"          Quarnel's 1 MiB buffer couldn't be had; the
%                                                 result is left unfilled
%   Whatever happens, the file is closed and Quarnel's memory freed before the call ends.
%
%   Example:
%     V = Quarnel('scan.raw', 1);
%     imagesc(V(:,:,128)); axis image; colormap gray
%
%   Quarnel is a compiled module (Quarnel.mex in Octave; in MATLAB Quarnel.mexw64 on Windows,
%   Quarnel.mexa64 on Linux, Quarnel.mexmaci64 on Intel macOS and Quarnel.mexmaca64 on Apple
%   silicon); this file holds its help text, and tests that Octave's "test Quarnel" runs.

%!error <One input argument required> Quarnel ()
%!error <Too many output arguments> [a, b] = Quarnel ("volume.raw")
%!error <First input must be the path of the volume file> Quarnel (42)

%!assert (evalc ("Quarnel (tempname ())"), "Couldn't open file!\n")

%!test
%! short = tempname ();
%! fid = fopen (short, "w");
%! fwrite (fid, zeros (1, 1000, "uint8"));
%! fclose (fid);
%! unwind_protect
%!   assert (evalc ("Quarnel (short)"), "Couldn't read 268435456 bytes from file!\n");
%! unwind_protect_cleanup
%!   delete (short);
%! end_unwind_protect

%!test
%! ## Zeros but for the last two rows of the last slice; the blocks after the first five are
%! ## pseudo-random. Only V(256, :, 256) comes from them.
%! rows = reshape (mod ((0:1023) * 7919, 65536) - 32768, 512, 2);  # (x, y)
%! rows(1:10, :) = [-1 0; 0 0; -5 0; -4 0; 7 0; 0 0; 32767 32767; 32767 32767; -32768 -32768; -32768 -32768];
%! volume = tempname ();
%! fid = fopen (volume, "w", "ieee-le");
%! zero_slice = zeros (1, 512 * 512, "int16");
%! for z = 1:511
%!   fwrite (fid, zero_slice, "int16");
%! endfor
%! fwrite (fid, zero_slice(1:512 * 510), "int16");
%! fwrite (fid, rows, "int16");
%! fclose (fid);
%! unwind_protect
%!   V = Quarnel (volume);
%!   sums = sum (sum (reshape (rows, 2, 256, 2), 1), 3);
%!   expected = zeros (256, 256, 256, "single");
%!   expected(256, :, 256) = fix (sums / 8) + 0;  # + 0 makes fix's -0 a +0
%!   assert (expected(256, 1:5, 256), single ([0 -1 0 16383 -16384]));
%!   assert (typecast (V(:), "uint32"), typecast (expected(:), "uint32"));
%! unwind_protect_cleanup
%!   delete (volume);
%! end_unwind_protect
