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
%   Errors: no input ("One input argument required."), more than one output ("Too many output
%   arguments."), a PATH that is not a non-empty character row or one string that isn't missing,
%   or that holds a NUL character, and a PROGRESS that is empty, complex, sparse or not numeric
%   or logical.
%
%   Failures while running print one line and return no result:
%     "Couldn't open file!"                       PATH can't be opened
%     "Couldn't read 268435456 bytes from file!"  the file holds less than a whole volume
%   If the file shrinks while it is read, the missing samples count as zero and the second line
%   is printed after the volume is returned.
%
%   Example:
%     V = Quarnel('scan.raw', 1);
%     imagesc(V(:,:,128)); axis image; colormap gray
%
%   Quarnel is a compiled module (Quarnel.mex in Octave, Quarnel.mexa64/.mexw64/.mexmaci64 in
%   MATLAB); this file only holds its help text.
