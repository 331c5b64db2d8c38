## Hundreds of calls in one Octave process, alternating the reduction, every failure line and
## every argument error: the open descriptors and the resident memory must come back to where they
## were, so nothing a call acquires outlives it.
##
## octave-cli --norc -q leaks.m MODULE_FOLDER
1;

function kilobytes = resident_memory ()
  kilobytes = str2double (regexp (fileread ("/proc/self/status"), 'VmRSS:\s*(\d+)', "tokens"){1}{1});
endfunction

function count = open_descriptors ()
  count = numel (readdir ("/proc/self/fd"));
endfunction

addpath (make_absolute_filename (argv (){1}));
fixtures = tempname ();
mkdir (fixtures);
volume = fullfile (fixtures, "volume.raw");
short_file = fullfile (fixtures, "short.raw");
folder = fullfile (fixtures, "folder.raw");
mkdir (folder);
fclose (fopen (short_file, "w"));
fclose (fopen (volume, "w"));
if (system (sprintf ("truncate -s 268435455 '%s' && truncate -s 268435456 '%s'", short_file, volume)) != 0)
  error ("can't make the volumes");
endif

open_line = "Couldn't open file!";
short_line = "Couldn't read 268435456 bytes from file!";
not_a_path = "First input must be the path";
nul_in_path = "must not contain a NUL character";
not_a_switch = "Second input must be";
## One round: a reduction (with and without progress, alternately), then every failure.
calls = {
  "r = Quarnel (volume, showing); assert (size (r), [256 256 256]); clear r; printf ('reduced\\n');", "reduced"
  "Quarnel (fullfile (fixtures, 'missing.raw'));",        open_line
  "Quarnel (repmat ('n', 1, 5000), 1);",                  open_line
  "Quarnel (short_file, 1);",                             short_line
  "Quarnel (folder);",                                    short_line
  "Quarnel ('/dev/null');",                               short_line
  "Quarnel ();",                                          "One input argument required."
  "[r, q] = Quarnel (volume);",                           "Too many output arguments."
  "Quarnel (1);",                                         not_a_path
  "Quarnel ({volume});",                                  not_a_path
  "Quarnel ([volume; volume]);",                          not_a_path
  "Quarnel ('');",                                        not_a_path
  "Quarnel ([volume char(0)]);",                          nul_in_path
  "Quarnel (volume, []);",                                not_a_switch
  "Quarnel (volume, 'on');",                              not_a_switch
  "Quarnel (volume, {1});",                               not_a_switch
  "Quarnel (volume, @sin);",                              not_a_switch
  "Quarnel (volume, 1i);",                                not_a_switch
  "Quarnel (volume, sparse (1));",                        not_a_switch
};

warm_up_rounds = 3;
rounds = 30;
for round = 1:(warm_up_rounds + rounds)
  if (round == warm_up_rounds + 1)
    descriptors_before = open_descriptors ();
    memory_before = resident_memory ();
  endif
  showing = mod (round, 2) == 0;
  for i = 1:rows (calls)
    [call, expected] = calls{i, :};
    try
      printed = evalc (call);
    catch failure
      printed = failure.message;
    end_try_catch
    if (! isempty (expected) && isempty (strfind (printed, expected)))
      error ("%s answered '%s', expected '%s'", call, printed, expected);
    endif
  endfor
endfor
descriptors_after = open_descriptors ();
memory_after = resident_memory ();
confirm_recursive_rmdir (false);
rmdir (fixtures, "s");

## A leaked slice-pair buffer would add 1 MiB per reduction, a leaked result 64 MiB.
tolerance = 8192;
printf ("%d calls: open descriptors %d -> %d, resident memory %d kB -> %d kB\n", rounds * rows (calls), ...
        descriptors_before, descriptors_after, memory_before, memory_after);
steady = descriptors_after == descriptors_before && memory_after - memory_before < tolerance;
printf ("%d passed, %d failed\n", steady, ! steady);
exit (! steady);
