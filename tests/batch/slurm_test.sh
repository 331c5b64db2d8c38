#!/usr/bin/env bash
# The Slurm scripts as a cluster runs them, on a one-node Slurm of this test's own
# (tests/support/local_slurm.sh), laid out as the packages ship them (quarnel-reduce in a folder
# whose name has a space, the scripts in its slurm/) and as cmake --install puts them, into a prefix
# whose name has a space, with no quarnel-reduce on the PATH. Each row checks the tasks' states and
# exit codes, each task's log (one line a volume), and every .mat against Quarnel's own result, bit
# for bit:
#   1. quarnel-submit over a folder of ten entries, seven of them volumes (a short file and a link
#      to nothing among them; a folder named like a volume, a dot-file and a text file are none),
#      two a task, one task at a time; a volume added to the folder while the first task runs
#      changes no task's share and waits for the next submission;
#   2. the same submitted again with --resume, the failed volumes made whole meanwhile: only what
#      was missing is reduced, the other results are left as they were;
#   3. from the install: a task stopped with SIGTERM ends FAILED, its volume in progress
#      "interrupted", and a submission with --resume completes it;
#   4. reduce_array.sbatch used directly with a list of one's own, on an array too short for it:
#      the last task says which volumes no task reduces.
# Then bad uses of both scripts, outside Slurm: each ends with 2, one line, and nothing submitted
# or left behind.
#   slurm_test.sh OCTAVE_CLI MODULE_FOLDER BATCH_FOLDER OCTAVE_SUPPORT_FOLDER QUARNEL_REDUCE CMAKE BUILD
set -euo pipefail

octave_cli=$1
module_folder=$2
batch_folder=$3
octave_support=$4
quarnel_reduce=$5
cmake=$6
build=$7
# shellcheck source=../support/local_slurm.sh
source "$(dirname "$0")/../support/local_slurm.sh"

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/quarnel-slurm.XXXXXX")
chmod 755 "$work"
finish() {
    local status=$? pid left=()
    cd /
    local_slurm_stop || status=1
    for pid in /proc/[0-9]*; do
        case $(readlink "$pid/cwd" 2>/dev/null) in
            "$work" | "$work"/*) left+=("${pid#/proc/}") ;;
        esac
    done
    if ((${#left[@]})); then
        echo "FAILED: processes left running in $work: ${left[*]}" >&2
        status=1
    else
        rm -rf "$work"
    fi
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir "$work/cluster" "$work/volumes" "$work/logs"  # the submission makes reduced/ itself
local_slurm_start "$work/cluster"

# The scripts must find their own quarnel-reduce: the PATH keeps no folder that holds one.
PATH=$(tr : '\n' <<<"$PATH" | while read -r folder; do [[ -x $folder/quarnel-reduce ]] || echo "$folder"; done | paste -sd :)
# As the packages ship them, as cmake --install puts them, and the scripts alone.
packaged="$work/Quarnel unpacked"
mkdir -p "$packaged/slurm" "$work/scripts alone/slurm"
cp "$quarnel_reduce" "$packaged/quarnel-reduce"
cp "$batch_folder/slurm/quarnel-submit" "$batch_folder/slurm/reduce_array.sbatch" "$packaged/slurm/"
cp "$batch_folder/slurm/quarnel-submit" "$batch_folder/slurm/reduce_array.sbatch" "$work/scripts alone/slurm/"
"$cmake" --install "$build" --prefix "$work/install prefix" >/dev/null
submit=$packaged/slurm/quarnel-submit
installed_submit="$work/install prefix/share/quarnel/slurm/quarnel-submit"

cd "$work"
# Seven volumes, in byte order, where a space sorts before a full stop: gone.raw, a link to
# nothing, fails until its target appears, and short.raw until it is made whole.
head -c 268435456 /dev/urandom >"volumes/random.raw"
ln "volumes/random.raw" "volumes/random again.raw"
head -c 268439552 /dev/urandom >"volumes/longer.raw"   # bytes past the volume are never read
head -c 268435456 /dev/zero >"volumes/with space.raw"
head -c 1000 /dev/urandom >"volumes/short.raw"
ln -s "$work/elsewhere.raw" "volumes/gone.raw"
mkdir "volumes/folder.raw"
printf 'no volume\n' >"volumes/.hidden.raw"
printf 'no volume\n' >"volumes/notes.txt"
"$octave_cli" --norc --no-history --quiet --path "$octave_support" \
              --eval "write_constant_volume('volumes/constant.raw', -3)"

# Prints "STATE EXIT_CODE:SIGNAL" of each of the $2 tasks of array job $1, one a line, in task
# order, once the controller has recorded them all.
task_outcomes() {
    local waited
    for ((waited = 0; waited < 3000; ++waited)); do
        (($(cat cluster/jobcomp.txt 2>/dev/null | grep -c "ArrayJobId=$1 ") >= $2)) && break
        sleep 0.1
    done
    grep "ArrayJobId=$1 " cluster/jobcomp.txt |
        sed -E 's/.* JobState=([A-Z_]+) .* ArrayTaskId=([0-9]+) .* ExitCode=([0-9]+):([0-9]+) .*/\2 \1 \3:\4/' |
        sort -n | cut -d ' ' -f 2-
}

# The lines of log $1 that are the command's or the job script's, joined by ";"; fails when any line
# of the log comes twice.
log_lines() {
    [[ -f $1 ]] || fail "no log $1"
    [[ -z $(sort "$1" | uniq -d) ]] || fail "$1 holds a line twice:
$(cat "$1")"
    grep -E '^(ok|kept|failed|task) ' "$1" | paste -sd ';' || true
}

# Checks job $1 against the rows after it, "TASK|STATE|EXIT|LINES", LINES being the lines its log
# must hold, in order, joined by ";".
expect_tasks() {
    local job=$1 row task state code lines log got expected_state=()
    shift
    got=$(task_outcomes "$job" $# | paste -sd ';')
    for row; do
        IFS='|' read -r task state code lines <<<"$row"
        expected_state+=("$state $code:0")
        log=logs/quarnel-${job}_$task.out
        [[ $(log_lines "$log") == "$lines" ]] || fail "task $task of job $job: the log holds
$(cat "$log")
expected \"$lines\""
    done
    [[ $got == "$(IFS=';'; echo "${expected_state[*]}")" ]] ||
        fail "the tasks of job $job ended as \"$got\", expected \"$(IFS=';'; echo "${expected_state[*]}")\""
}

# Runs the quarnel-submit $1 from logs/, where the tasks' logs go, with the arguments after it;
# checks that it printed sbatch's line and then the command that resumes, and prints the job's number.
submitted_job() {
    local submit=$1 output job
    shift
    output=$(cd logs && "$submit" "$@") || fail "$submit $* ended with $?"
    job=$(sed -n '1s/^Submitted batch job \([0-9][0-9]*\)$/\1/p' <<<"$output")
    [[ -n $job && $(sed -n '2p' <<<"$output") == "To resume once it has ended: "*"quarnel-submit --resume "* ]] ||
        fail "quarnel-submit $* printed:
$output"
    printf '%s' "$job"
}

# Checks that reduced/ holds exactly NAME.mat for each NAME given, beside the lists of the
# submissions, each the bits of Quarnel's own result for volumes/NAME.raw, and constant.mat the
# constant's mean, so that a module that got the reduction wrong fails here too.
expect_reduced() {
    local names
    names=$(IFS='|'; echo "$*")
    NAMES=$names "$octave_cli" --norc --no-history --quiet --path "$module_folder" --path "$octave_support" --eval "
      names = strsplit(getenv('NAMES'), '|');
      listing = dir('reduced');
      left = sort({listing(~[listing.isdir]).name});
      left = left(cellfun(@isempty, regexp(left, '^quarnel-.*\.list$')));
      expected = sort(strcat(names, '.mat'));
      assert(isequal(left, expected), 'reduced/ holds {%s}, expected {%s}', strjoin(left, ', '), strjoin(expected, ', '));
      for k = 1:numel(names)
        saved = load(fullfile('reduced', [names{k} '.mat']));
        assert(isequal(fieldnames(saved), {'V'}), '%s.mat holds %s', names{k}, strjoin(fieldnames(saved)', ', '));
        reference = Quarnel(fullfile('volumes', [names{k} '.raw']));
        expect_same_values(saved.V, reference, [names{k} '.mat']);
        assert(isequal(typecast(saved.V(:), 'uint32'), typecast(reference(:), 'uint32')), '%s.mat differs from Quarnel''s result in its bits', names{k});
      end
      saved = load(fullfile('reduced', 'constant.mat'));
      assert(all(saved.V(:) == -3), 'constant.mat is not -3 throughout');
    " 2> >(grep -v 'ignoring const execution_exception' >&2)
}

# Name, inode, size and modification time, to the nanosecond.
file_identity() {
    stat -c '%n %i %s %y' "$@"
}

open_failed="Couldn't open file!"
short_failed="Couldn't read 268435456 bytes from file!"

# 1. The folder, submitted; a volume added while the first task runs.
job=$(submitted_job "$submit" --max-running 1 2 "$work/reduced" "$work/volumes")
for ((waited = 0; waited < 3000; ++waited)); do
    [[ -s logs/quarnel-${job}_0.out ]] && break
    sleep 0.05
done
[[ -s logs/quarnel-${job}_0.out ]] || fail "the first task of job $job never logged a line"
cp volumes/constant.raw volumes/added.raw  # sorts first: a listing made now would shift every share
expect_tasks "$job" \
    "0|FAILED|1|ok constant.raw;failed gone.raw: $open_failed (No such file or directory)" \
    "1|COMPLETED|0|ok longer.raw;ok random again.raw" \
    "2|FAILED|1|ok random.raw;failed short.raw: $short_failed" \
    "3|COMPLETED|0|ok with space.raw"
expect_reduced constant longer "random again" random "with space"

# 2. Submitted again with --resume: the failed volumes and the added one are reduced, nothing else.
kept=(reduced/constant.mat reduced/longer.mat "reduced/random again.mat" reduced/random.mat "reduced/with space.mat")
before=$(file_identity "${kept[@]}")
head -c 268435456 /dev/urandom >"volumes/short.raw"
ln "volumes/longer.raw" elsewhere.raw
job=$(submitted_job "$submit" --resume 2 "$work/reduced" "$work/volumes")
expect_tasks "$job" \
    "0|COMPLETED|0|ok added.raw;kept constant.raw" \
    "1|COMPLETED|0|ok gone.raw;kept longer.raw" \
    "2|COMPLETED|0|kept random again.raw;kept random.raw" \
    "3|COMPLETED|0|ok short.raw;kept with space.raw"
[[ $(file_identity "${kept[@]}") == "$before" ]] || fail "--resume touched results that were whole:
before: $before
after:  $(file_identity "${kept[@]}")"
expect_reduced added constant gone longer "random again" random short "with space"

# 3. A task stopped by SIGTERM as it reduces its volumes, then resumed, from the install: its
# quarnel-submit and job script find its bin/quarnel-reduce, and pass the formats, voxel size and
# layout on, which the volumes done keep as their results' record.
mkdir stopped
for name in one two three four; do
    ln volumes/random.raw "stopped/$name.raw"
done
formats=(--format mat,nifti,zarr --voxel-size 0.5,0.5,2 --type uint16 --byte-order big --levels 2)
job=$(submitted_job "$installed_submit" "${formats[@]}" 4 "$work/stopped reduced" "$work/stopped")
# Its log is read while its quarnel-reduce is frozen (SIGSTOP), so that it can't reduce the other
# volumes meanwhile. Once a volume is done, the task is stopped, and the command let go only once
# SIGTERM waits for it.
command_of_task() {
    local pid
    for pid in $(pgrep -x quarnel-reduce); do
        if tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | grep -qxF "$work/stopped reduced"; then printf '%s' "$pid"; fi
    done
}
frozen() {  # every thread of process $1 stopped, or the process gone
    local task
    [[ -d /proc/$1 ]] || return 0
    for task in /proc/"$1"/task/*; do
        [[ $(sed 's/.*) \(.\).*/\1/' "$task/stat" 2>/dev/null) == [Tt] ]] || return 1
    done
}
signal_pending() {  # SIGTERM waits for process $1, or the process is gone
    local mask
    [[ -d /proc/$1 ]] || return 0
    for mask in $(awk '/^(SigPnd|ShdPnd):/ { print $2 }' "/proc/$1/status"); do
        (((16#$mask >> 14) & 1)) && return 0
    done
    return 1
}
stopped=
for ((waited = 0; waited < 3000; ++waited)); do
    [[ -z $stopped ]] || break
    pid=$(command_of_task)
    if [[ -n $pid ]] && kill -STOP "$pid" 2>/dev/null; then
        until frozen "$pid"; do sleep 0.001; done
        if grep -q '^ok ' "logs/quarnel-${job}_0.out" 2>/dev/null; then stopped=$pid; else kill -CONT "$pid"; fi
    fi
    sleep 0.02
done
[[ -n $stopped ]] && scancel --signal=TERM "$job" || fail "can't stop job $job, whose log holds: $(cat "logs/quarnel-${job}_0.out")"
until signal_pending "$stopped"; do sleep 0.01; done
kill -CONT "$stopped"
got=$(task_outcomes "$job" 1)
[[ $got == "FAILED 143:0" ]] || fail "the task stopped by SIGTERM ended as \"$got\", expected \"FAILED 143:0\""
# The volumes in the list's order, four one three two: those done before the stop, then the one
# in progress, interrupted, unless the stop came between two volumes, then none.
log=$(log_lines "logs/quarnel-${job}_0.out")
[[ $log =~ ^ok\ four\.raw(;ok\ [a-z]+\.raw)*(;failed\ [a-z]+\.raw:\ interrupted)?$ ]] ||
    fail "the task stopped by SIGTERM logged \"$log\", expected ok lines and then at most one interrupted volume"
[[ -z $(find "stopped reduced" -name '.quarnel-*') ]] || fail "the stopped task left a temporary: $(ls -A "stopped reduced")"
resumed=
for name in four one three two; do
    if grep -qx "ok $name.raw" "logs/quarnel-${job}_0.out"; then resumed+="kept $name.raw;"; else resumed+="ok $name.raw;"; fi
done
job=$(submitted_job "$installed_submit" --resume "${formats[@]}" 4 "$work/stopped reduced" "$work/stopped")
expect_tasks "$job" "0|COMPLETED|0|${resumed%;}"
for name in four one three two; do
    nifti_tool -check_hdr -infiles "stopped reduced/$name.nii" | grep -q 'header IS GOOD' || fail "no good stopped reduced/$name.nii"
    nifti_tool -disp_hdr -field descrip -infiles "stopped reduced/$name.nii" | grep -q '512^3 uint16' ||
        fail "stopped reduced/$name.nii is no reduction of uint16 samples"
    grep -q 'levels 2, check' "stopped reduced/$name.ome.zarr/.zattrs" || fail "stopped reduced/$name.ome.zarr has no record of 2 levels"
done

# 4. reduce_array.sbatch with a list of one's own, on an array one task too short.
printf '%s\0' ../volumes/constant.raw ../volumes/random.raw ../volumes/longer.raw >own.list  # from logs/
job=$(cd logs && sbatch --parsable --array=0-0 "$packaged/slurm/reduce_array.sbatch" "$work/own.list" "$work/own reduced" 2)
expect_tasks "$job" "0|COMPLETED|0|task 0: the array ends here, so no task reduces volumes 2 to 2 of $work/own.list: submit again with --array=1-1;ok constant.raw;ok random.raw"

# Bad uses, outside Slurm: each ends with 2 and one line on standard error, and leaves no list.
expect_bad_use() {
    local what=$1 script=$2 task=$3 status=0 message
    shift 3
    message=$(env ${task:+SLURM_ARRAY_TASK_ID=$task} SLURM_JOB_ID= "$script" "$@" 2>&1 >/dev/null) || status=$?
    ((status == 2)) || fail "$what: ended with $status, expected 2"
    [[ $message == "$(basename "$script"): "* && $message != *$'\n'* ]] || fail "$what: printed \"$message\", expected one line"
    [[ -z $(find "$work" -name 'quarnel-*.list' -newer own.list) ]] || fail "$what: left a list behind"
}
job_script=$packaged/slurm/reduce_array.sbatch
unset SLURM_ARRAY_TASK_ID
mkdir other empty
ln volumes/random.raw other/random.raw
expect_bad_use "no arguments" "$submit" ""
expect_bad_use "no input" "$submit" "" 2 "$work/bad"
expect_bad_use "no files per task" "$submit" "" 0 "$work/bad" volumes
expect_bad_use "a fraction of files per task" "$submit" "" 1.5 "$work/bad" volumes
expect_bad_use "an unknown option" "$submit" "" --workers 2 2 "$work/bad" volumes
expect_bad_use "an unknown format" "$submit" "" --format tiff 2 "$work/bad" volumes
expect_bad_use "an unknown sample type" "$submit" "" --type int32 2 "$work/bad" volumes
expect_bad_use "levels past the shape's" "$submit" "" --format zarr --levels 12 2 "$work/bad" volumes
expect_bad_use "no such input" "$submit" "" 2 "$work/bad" nowhere.raw
expect_bad_use "a folder without volumes" "$submit" "" 2 "$work/bad" empty
expect_bad_use "two volumes of one result" "$submit" "" 2 "$work/bad" volumes other
for format in nifti:nii zarr,nifti:nii zarr:ome.zarr; do
    message=$("$submit" --format "${format%:*}" 2 "$work/bad" volumes other 2>&1 >/dev/null) || true
    [[ $message == *"would both be saved as $work/bad/random.${format#*:}" ]] || fail "two volumes of one result of ${format%:*}: \"$message\""
done
expect_bad_use "no output folder's parent" "$submit" "" 2 "$work/no/such/folder" volumes
expect_bad_use "sbatch refusing" "$submit" "" --sbatch-option=--partition=nowhere 2 "$work/bad" volumes
expect_bad_use "no quarnel-reduce" "$work/scripts alone/slurm/quarnel-submit" "" 2 "$work/bad" volumes
# Every program of the PATH but sbatch.
mkdir without-sbatch
for program in /usr/local/bin/* /usr/bin/* /bin/*; do
    [[ ${program##*/} == sbatch || -e without-sbatch/${program##*/} ]] || ln -s "$program" without-sbatch/
done
PATH=$work/without-sbatch expect_bad_use "no sbatch" "$submit" "" 2 "$work/bad" volumes
expect_bad_use "the job script: no arguments" "$job_script" 0
expect_bad_use "the job script: no output folder" "$job_script" 0 own.list
expect_bad_use "the job script: a fourth argument" "$job_script" 0 own.list reduced 2 3
expect_bad_use "the job script: no files per task" "$job_script" 0 own.list reduced 0
expect_bad_use "the job script: no list" "$job_script" 0 nowhere.list reduced
expect_bad_use "the job script: not an array task" "$job_script" "" own.list reduced
expect_bad_use "the job script: an unknown option" "$job_script" 0 --workers 2 own.list reduced
expect_bad_use "the job script: a task outside Slurm" "$job_script" 0 own.list reduced
echo "batch.slurm: every check passed"
