## Bad calls and broken files against the built Quarnel.mex, each in a fresh octave-cli process:
## the process must survive (or, when the call was interrupted, end only through the interrupt),
## answer as expected, and hold no more open descriptors after the call than before it.
##
## octave-cli --norc -q bad_calls.m MODULE_FOLDER [CASE_NAME_PATTERN]
1;

function pattern = literal (text)
  pattern = regexptranslate ("escape", text);
endfunction

## What a case prints: the call's own output, how it ended, its result, whether it kept its
## descriptors, and that the process lived on.
function pattern = ended (call_output, ending, result)
  pattern = ["^" call_output ending "\n@result " result "\n@descriptors kept\n@alive\n$"];
endfunction

function pattern = host_error (message)
  pattern = ended ("", ["@error " literal(["Quarnel: " message])], "none");
endfunction

function pattern = printed_line (line)
  pattern = ended (literal (line), "@returned", "none");
endfunction

function pattern = reduced (progress, last)
  if (progress)
    lines = "(Resample Progress : [0-9]+\\.[0-9]{2} percent\n){256}";
  else
    lines = "";
  endif
  pattern = ended (lines, "@returned", sprintf ("single \\[256 256 256\\] nnz %d last %d min 0 max %d signbit 0", last != 0, last, last));
endfunction

function path = sparse_file (folder, name, bytes, tail_offset, tail)
  path = fullfile (folder, name);
  fclose (fopen (path, "w"));
  if (system (sprintf ("truncate -s %d '%s'", bytes, path)) != 0)
    error ("can't size %s", path);
  endif
  if (nargin > 3)
    fid = fopen (path, "r+");
    fseek (fid, tail_offset, SEEK_SET);
    fwrite (fid, tail, "uint8");
    fclose (fid);
  endif
endfunction

function text = quoted (path)
  text = ["'" strrep(path, "'", "''") "'"];
endfunction

command_line = argv ();
module_folder = make_absolute_filename (command_line{1});
here = fileparts (mfilename ("fullpathext"));
fixtures = tempname ();
mkdir (fixtures);

volume_bytes = 268435456;
pair_bytes = 1048576;
files.one_byte = sparse_file (fixtures, "one byte.raw", 1);
files.empty_file = sparse_file (fixtures, "empty.raw", 0);
files.short_file = sparse_file (fixtures, "short.raw", volume_bytes - 1);
## A whole volume, zero but for its last sample, 16384, which reduces to 2048 in the last element.
files.exact_file = sparse_file (fixtures, "exact.raw", volume_bytes, volume_bytes - 2, uint8 ([0 64]));
files.longer_file = sparse_file (fixtures, "longer.raw", volume_bytes + 1, volume_bytes - 2, uint8 ([0 64 127]));
mkdir (fixtures, "a f\xc3\xb6lder with spaces");
files.unusual_file = sparse_file (fixtures, "a f\xc3\xb6lder with spaces/\xe4\xbd\x93\xe7\xa9\x8d \xc3\xa9t\xc3\xa9.raw", ...
                                  volume_bytes, volume_bytes - 2, uint8 ([0 64]));
files.folder = fullfile (fixtures, "folder.raw");
mkdir (files.folder);
files.missing_file = fullfile (fixtures, "missing.raw");
files.long_name = fullfile (fixtures, repmat ("n", 1, 5000));
## Every sample of slice pair s is 8 (s + 1), so a sample one pair passes on to the next shows.
files.pairs_file = fullfile (fixtures, "pairs.raw");
fid = fopen (files.pairs_file, "w");
for s = 0:255
  fwrite (fid, repmat (int16 (8 * (s + 1)), 524288, 1), "int16");
endfor
fclose (fid);
files.interrupting = fullfile (here, "interrupting");
files.shrinking = fullfile (here, "shrinking");

not_a_path = "First input must be the path of the volume file, as a non-empty character row.";
nul_in_path = "First input must not contain a NUL character: the path would name a different file.";
not_a_switch = "Second input must be a real, non-empty numeric or logical value: the progress switch.";
open_line = "Couldn't open file!\n";
short_line = "Couldn't read 268435456 bytes from file!\n";

cases = {
  ## The shape of the call, checked first.
  "no input",                        "Quarnel ();",                           host_error("One input argument required.")
  "no input, two outputs",           "[r, q] = Quarnel ();",                  host_error("One input argument required.")
  "two outputs",                     "[r, q] = Quarnel (one_byte);",          host_error("Too many output arguments.")
  "three outputs, bad path",         "[r, q, p] = Quarnel (1);",              host_error("Too many output arguments.")
  ## First argument.
  "double path",                     "r = Quarnel (1);",                      host_error(not_a_path)
  "single path",                     "r = Quarnel (single (1));",             host_error(not_a_path)
  "int8 codes of a path",            "r = Quarnel (int8 (one_byte));",        host_error(not_a_path)
  "complex path",                    "r = Quarnel (1 + 2i);",                 host_error(not_a_path)
  "sparse path",                     "r = Quarnel (sparse (1));",             host_error(not_a_path)
  "logical path",                    "r = Quarnel (true);",                   host_error(not_a_path)
  "cell path",                       "r = Quarnel ({one_byte});",             host_error(not_a_path)
  "empty cell path",                 "r = Quarnel ({});",                     host_error(not_a_path)
  "struct path",                     "r = Quarnel (struct ('path', one_byte));", host_error(not_a_path)
  "function handle path",            "r = Quarnel (@sin);",                   host_error(not_a_path)
  "object path",                     "r = Quarnel (containers.Map ());",      host_error(not_a_path)
  "empty path ''",                   "r = Quarnel ('');",                     host_error(not_a_path)
  "empty path \"\"",                 "r = Quarnel (\"\");",                   host_error(not_a_path)
  "0x3 path",                        "r = Quarnel (char (zeros (0, 3)));",    host_error(not_a_path)
  "two-row path",                    "r = Quarnel (['ab'; 'cd']);",           host_error(not_a_path)
  "a real path twice, as two rows",  "r = Quarnel ([one_byte; one_byte]);",   host_error(not_a_path)
  "column path",                     "r = Quarnel (one_byte');",              host_error(not_a_path)
  "1x2x2 path",                      "r = Quarnel (reshape ('abcd', 1, 2, 2));", host_error(not_a_path)
  "NUL inside a path",               "r = Quarnel (['/tmp/x' char(0) 'y']);", host_error(nul_in_path)
  "NUL before a real path's end",    "r = Quarnel ([one_byte(1:end-4) char(0) one_byte(end-3:end)]);", host_error(nul_in_path)
  "NUL ending a real path",          "r = Quarnel ([one_byte char(0)]);",     host_error(nul_in_path)
  "NUL alone",                       "r = Quarnel (char (0));",               host_error(nul_in_path)
  "bad path before bad switch",      "r = Quarnel (1, 'on');",                host_error(not_a_path)
  ## Second argument.
  "[] switch",                       "r = Quarnel (one_byte, []);",           host_error(not_a_switch)
  "zeros(1,0) switch",               "r = Quarnel (one_byte, zeros (1, 0));", host_error(not_a_switch)
  "empty range switch",              "r = Quarnel (one_byte, 1:0);",          host_error(not_a_switch)
  "single([]) switch",               "r = Quarnel (one_byte, single ([]));",  host_error(not_a_switch)
  "int8([]) switch",                 "r = Quarnel (one_byte, int8 ([]));",    host_error(not_a_switch)
  "uint64 0x1 switch",               "r = Quarnel (one_byte, uint64 (zeros (0, 1)));", host_error(not_a_switch)
  "false(0,0) switch",               "r = Quarnel (one_byte, false (0, 0));", host_error(not_a_switch)
  "char switch",                     "r = Quarnel (one_byte, 'on');",         host_error(not_a_switch)
  "char '1' switch",                 "r = Quarnel (one_byte, '1');",          host_error(not_a_switch)
  "empty char switch",               "r = Quarnel (one_byte, '');",           host_error(not_a_switch)
  "cell switch",                     "r = Quarnel (one_byte, {1});",          host_error(not_a_switch)
  "empty cell switch",               "r = Quarnel (one_byte, {});",           host_error(not_a_switch)
  "struct switch",                   "r = Quarnel (one_byte, struct ());",    host_error(not_a_switch)
  "function handle switch",          "r = Quarnel (one_byte, @sin);",         host_error(not_a_switch)
  "anonymous function switch",       "r = Quarnel (one_byte, @() 1);",        host_error(not_a_switch)
  "object switch",                   "r = Quarnel (one_byte, containers.Map ());", host_error(not_a_switch)
  "complex switch",                  "r = Quarnel (one_byte, 1 + 2i);",       host_error(not_a_switch)
  "complex(1,0) switch",             "r = Quarnel (one_byte, complex (1, 0));", host_error(not_a_switch)
  "complex(0,0) switch",             "r = Quarnel (one_byte, complex (0, 0));", host_error(not_a_switch)
  "single complex switch",           "r = Quarnel (one_byte, single (1i));",  host_error(not_a_switch)
  "sparse(1) switch",                "r = Quarnel (one_byte, sparse (1));",   host_error(not_a_switch)
  "sparse(0) switch",                "r = Quarnel (one_byte, sparse (0));",   host_error(not_a_switch)
  "sparse logical switch",           "r = Quarnel (one_byte, sparse (true));", host_error(not_a_switch)
  "sparse complex switch",           "r = Quarnel (one_byte, sparse (1i));",  host_error(not_a_switch)
  ## Accepted calls on files that can't deliver a volume.
  "arguments past the second",       "Quarnel (one_byte, 0, {}, struct (), @sin, 1i);", printed_line(short_line)
  "missing file, no output",         "Quarnel (missing_file);",               printed_line(open_line)
  "missing file, one output",        "r = Quarnel (missing_file, 1);",        ended(literal(open_line), "@error .+", "none")
  "path through a plain file",       "Quarnel ([one_byte '/volume.raw'], 1);", printed_line(open_line)
  "name too long for the system",    "Quarnel (long_name);",                  printed_line(open_line)
  "empty file",                      "Quarnel (empty_file, 1);",              printed_line(short_line)
  "one-byte file",                   "Quarnel (one_byte, 1);",                printed_line(short_line)
  "one byte short",                  "Quarnel (short_file, 1);",              printed_line(short_line)
  "folder",                          "Quarnel (folder, 1);",                  printed_line(short_line)
  "/dev/null",                       "Quarnel ('/dev/null', 1);",             printed_line(short_line)
  ## Whole volumes.
  "exactly 268435456 bytes",         "r = Quarnel (exact_file);",             reduced(false, 2048)
  "one byte more, no output",        "Quarnel (longer_file);",                reduced(false, 2048)
  "spaces and non-ASCII in the path", "r = Quarnel (unusual_file);",          reduced(false, 2048)
  "/dev/zero",                       "r = Quarnel ('/dev/zero', 1);",         reduced(true, 0)
  ## The switch, decided by the first element whatever its class.
  "int8(0)",                         "r = Quarnel (exact_file, int8 (0));",   reduced(false, 2048)
  "int8(-128)",                      "r = Quarnel (exact_file, int8 (-128));", reduced(true, 2048)
  "uint8(0)",                        "r = Quarnel (exact_file, uint8 (0));",  reduced(false, 2048)
  "uint8(255)",                      "r = Quarnel (exact_file, uint8 (255));", reduced(true, 2048)
  "int16(0)",                        "r = Quarnel (exact_file, int16 (0));",  reduced(false, 2048)
  "int16(256)",                      "r = Quarnel (exact_file, int16 (256));", reduced(true, 2048)
  "uint16(0)",                       "r = Quarnel (exact_file, uint16 (0));", reduced(false, 2048)
  "uint16(256)",                     "r = Quarnel (exact_file, uint16 (256));", reduced(true, 2048)
  "int32(0)",                        "r = Quarnel (exact_file, int32 (0));",  reduced(false, 2048)
  "int32(65536)",                    "r = Quarnel (exact_file, int32 (65536));", reduced(true, 2048)
  "uint32(0)",                       "r = Quarnel (exact_file, uint32 (0));", reduced(false, 2048)
  "uint32(2^31)",                    "r = Quarnel (exact_file, uint32 (2^31));", reduced(true, 2048)
  "int64(0)",                        "r = Quarnel (exact_file, int64 (0));",  reduced(false, 2048)
  "intmin int64",                    "r = Quarnel (exact_file, intmin ('int64'));", reduced(true, 2048)
  "uint64(0)",                       "r = Quarnel (exact_file, uint64 (0));", reduced(false, 2048)
  "uint64(2^63)",                    "r = Quarnel (exact_file, bitshift (uint64 (1), 63));", reduced(true, 2048)
  "single(-0)",                      "r = Quarnel (exact_file, single (-0));", reduced(false, 2048)
  "single(NaN)",                     "r = Quarnel (exact_file, single (NaN));", reduced(true, 2048)
  "-0",                              "r = Quarnel (exact_file, -0);",         reduced(false, 2048)
  "NaN",                             "r = Quarnel (exact_file, NaN);",        reduced(true, 2048)
  "-Inf",                            "r = Quarnel (exact_file, -Inf);",       reduced(true, 2048)
  "Inf",                             "r = Quarnel (exact_file, Inf);",        reduced(true, 2048)
  "smallest double",                 "r = Quarnel (exact_file, realmin * eps);", reduced(true, 2048)
  "true",                            "r = Quarnel (exact_file, true);",       reduced(true, 2048)
  "false",                           "r = Quarnel (exact_file, false);",      reduced(false, 2048)
  "range 0:1",                       "r = Quarnel (exact_file, 0:1);",        reduced(false, 2048)
  "[1 0]",                           "r = Quarnel (exact_file, [1 0]);",      reduced(true, 2048)
  "int16 zeros(2)",                  "r = Quarnel (exact_file, int16 (zeros (2)));", reduced(false, 2048)
  ## The host ending the call from inside its own operations.
  "interrupted while showing progress", "addpath (interrupting); r = Quarnel (exact_file, 1);", ...
      "^(Resample Progress : [0-9]+\\.[0-9]{2} percent\n)+@descriptors kept\n$"
  "out of memory creating the result", ...
      ["size = str2double (regexp (fileread ('/proc/self/status'), 'VmSize:\\s*(\\d+)', 'tokens'){1}{1}); " ...
       "status = system (sprintf ('prlimit --pid %d --as=%d', getpid (), (size + 32768) * 1024)); " ...
       "r = Quarnel (exact_file);"], ...
      ended("", "@error Quarnel: .*memory.*", "none")
  ## A file that shrinks in the middle of slice pair 100: pairs before it keep their values, the
  ## 500 whole samples left of pair 100 count, everything after is zero, the line comes last.
  "file shrinking during the sweep", ...
      ["global shrink_path shrink_pair shrink_size; shrink_path = pairs_file; shrink_pair = 100; " ...
       "shrink_size = 100 * 1048576 + 1001; addpath (shrinking); r = Quarnel (pairs_file, 1); " ...
       "expected = zeros (256, 256, 256, 'single'); for s = 0:99, expected(:, :, s + 1) = 8 * (s + 1); end; " ...
       "expected(1, 1:250, 101) = 2 * 101; if (isequal (r, expected)), printf ('@shrink matches\\n'); end"], ...
      ended(["(Resample Progress : [0-9]+\\.[0-9]{2} percent\n){256}" literal(short_line) "@shrink matches\n"], ...
            "@returned", "single \\[256 256 256\\] nnz .*")
};

if (numel (command_line) > 1)
  cases = cases(! cellfun (@isempty, regexp (cases(:, 1), command_line{2}, "once")), :);
endif

case_script = fullfile (fixtures, "one_case.m");
failures = 0;
for i = 1:rows (cases)
  [name, statement, expected] = cases{i, :};
  fid = fopen (case_script, "w");
  fprintf (fid, "addpath (%s);\n", quoted (module_folder));
  for field = fieldnames (files)'
    fprintf (fid, "%s = %s;\n", field{1}, quoted (files.(field{1})));
  endfor
  fprintf (fid, "descriptors = @() numel (readdir ('/proc/self/fd'));\n");
  fprintf (fid, "before = descriptors ();\n");
  fprintf (fid, "unwind_protect\n");
  fprintf (fid, "  try\n    %s\n    printf ('@returned\\n');\n", statement);
  fprintf (fid, "  catch err\n    printf ('@error %%s\\n', err.message);\n  end_try_catch\n");
  fprintf (fid, "  if (exist ('r', 'var')), v = r; elseif (exist ('ans', 'var')), v = ans; else, v = []; end\n");
  fprintf (fid, "  if (isempty (v)), printf ('@result none\\n');\n");
  fprintf (fid, "  else, printf ('@result %%s %%s nnz %%d last %%g min %%g max %%g signbit %%d\\n', class (v), mat2str (size (v)), nnz (v), v(end), min (v(:)), max (v(:)), any (signbit (v(:)))); end\n");
  fprintf (fid, "unwind_protect_cleanup\n");
  fprintf (fid, "  if (descriptors () == before), printf ('@descriptors kept\\n'); else, printf ('@descriptors leaked %%d\\n', descriptors () - before); end\n");
  fprintf (fid, "end_unwind_protect\n");
  fprintf (fid, "printf ('@alive\\n');\n");
  fclose (fid);
  [status, output] = system (sprintf ("octave-cli --norc --no-history -q %s 2>/dev/null", quoted (case_script)));
  survived = status == 0 || isempty (strfind (expected, "@alive"));
  if (survived && ! isempty (regexp (output, expected, "once")))
    printf ("ok      %s\n", name);
  else
    failures++;
    printf ("FAILED  %s (exit status %d)\n  statement: %s\n  expected:  %s\n  printed:\n%s\n", ...
            name, status, statement, expected, output);
  endif
endfor

confirm_recursive_rmdir (false);
rmdir (fixtures, "s");
printf ("%d passed, %d failed\n", rows (cases) - failures, failures);
exit (failures != 0);
