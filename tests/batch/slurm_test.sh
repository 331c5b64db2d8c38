#!/usr/bin/env bash
# batch/slurm/reduce_array.sbatch as a cluster runs it: a job array over a folder of four whole
# volumes, a hard link to one of them, a short file, a link to nothing and a folder named like a
# volume, two files a task, on a one-node Slurm of this test's own (tests/support/local_slurm.sh).
# Each task's state, exit code and log lines are checked, and every .mat against Quarnel's own
# result, bit for bit. Then the failed files are made whole and the array submitted again with
# --resume: only they are reduced, the others' .mat files are left as they were. Bad uses of the
# script are run outside Slurm.
#   slurm_test.sh OCTAVE_CLI MODULE_FOLDER BATCH_FOLDER OCTAVE_SUPPORT_FOLDER
set -euo pipefail

octave_cli=$1
module_folder=$2
batch_folder=$3
octave_support=$4
array_script=$batch_folder/slurm/reduce_array.sbatch
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

mkdir "$work/cluster" "$work/volumes"  # the array makes reduced/ itself
local_slurm_start "$work/cluster"

cd "$work"
# Seven volumes, in C-locale order, where a space sorts before a full stop: folder.raw is none,
# and gone.raw, a link to nothing, fails until its target appears for the second run.
head -c 268435456 /dev/urandom >"volumes/random.raw"
ln "volumes/random.raw" "volumes/random again.raw"
head -c 268439552 /dev/urandom >"volumes/longer.raw"   # bytes past the volume are never read
head -c 268435456 /dev/zero >"volumes/with space.raw"
head -c 1000 /dev/urandom >"volumes/short.raw"
ln -s "$work/elsewhere.raw" "volumes/gone.raw"
mkdir "volumes/folder.raw"
"$octave_cli" --norc --no-history --quiet --path "$octave_support" \
              --eval "write_constant_volume('volumes/constant.raw', -3)"

# The line in the script's header that prints M, with this folder and each F.
m_line=$(sed -n 's/^#   \(F=1; N=0; .*\)$/\1/p' "$array_script")
[[ -n $m_line ]] || fail "the header of $array_script has no line that prints M"
for f_and_m in 1:6 2:3 7:0; do
    m=$(sh -c "$(printf '%s' "${m_line//INPUT_FOLDER/\"$work/volumes\"}" | sed "s/^F=1;/F=${f_and_m%:*};/")")
    [[ $m == "${f_and_m#*:}" ]] || fail "the header's line prints M = $m for F = ${f_and_m%:*}, expected ${f_and_m#*:}"
done

# Prints "STATE EXIT_CODE:SIGNAL" of each of the $2 tasks of array job $1, one a line, in task
# order, as the controller recorded them.
task_outcomes() {
    local waited
    # A task is recorded as it ends, which may come just after sbatch --wait returns.
    for ((waited = 0; waited < 100; ++waited)); do
        (($(cat cluster/jobcomp.txt 2>/dev/null | grep -c "ArrayJobId=$1 ") >= $2)) && break
        sleep 0.1
    done
    grep "ArrayJobId=$1 " cluster/jobcomp.txt |
        sed -E 's/.* JobState=([A-Z_]+) .* ArrayTaskId=([0-9]+) .* ExitCode=([0-9]+):([0-9]+) .*/\2 \1 \3:\4/' |
        sort -n | cut -d ' ' -f 2-
}

# Submits the array script $1 over volumes/, two files a task, with the options that follow up to
# --, waits for it, and checks each task against the table after the --: "TASK|STATE|EXIT|LINES",
# LINES being the ok, kept, failed and task lines its log must hold, in order, joined by ";".
run_array() {
    local script=$1 options=() sbatch_status=0 job expected_state=() highest=0 row task state code lines log got
    shift
    while [[ $1 != -- ]]; do options+=("$1"); shift; done
    shift
    job=$(sbatch --parsable --wait --array=0-$(($# - 1)) "$script" "${options[@]}" volumes reduced 2) ||
        sbatch_status=$?
    for row; do
        IFS='|' read -r task state code lines <<<"$row"
        expected_state+=("$state $code:0")
        ((code <= highest)) || highest=$code
        log=quarnel-${job}_$task.out
        [[ -f $log ]] || fail "task $task of job $job wrote no log $log"
        got=$(grep -E '^(ok|kept|failed|task) ' "$log" | awk '!seen[$0]++' | paste -sd ';' || true)
        [[ $got == "$lines" ]] || fail "task $task: the log holds \"$got\", expected \"$lines\"; the log:
$(cat "$log")"
    done
    got=$(task_outcomes "$job" $# | paste -sd ';')
    [[ $got == "$(IFS=';'; echo "${expected_state[*]}")" ]] ||
        fail "the tasks of job $job ended as \"$got\", expected \"$(IFS=';'; echo "${expected_state[*]}")\""
    ((sbatch_status == highest)) || fail "sbatch --wait ended with $sbatch_status, expected $highest, the highest task's"
}

# Checks that reduced/ holds exactly NAME.mat for each NAME given, each the bits of Quarnel's own
# result for volumes/NAME.raw, and constant.mat the constant's mean, so that a module that got the
# reduction wrong fails here too.
expect_reduced() {
    local names
    names=$(IFS='|'; echo "$*")
    NAMES=$names "$octave_cli" --norc --no-history --quiet --path "$module_folder" --path "$octave_support" --eval "
      names = strsplit(getenv('NAMES'), '|');
      listing = dir('reduced');
      left = sort({listing(~[listing.isdir]).name});
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
run_array "$array_script" --path "$module_folder" -- \
    "0|FAILED|1|ok constant.raw;failed gone.raw: $open_failed" \
    "1|COMPLETED|0|ok longer.raw;ok random again.raw" \
    "2|FAILED|1|ok random.raw;failed short.raw: $short_failed" \
    "3|COMPLETED|0|ok with space.raw" \
    "4|COMPLETED|0|task 4: nothing to do: volumes holds 7 volumes, which tasks 0 to 3 reduce, 2 each"
expect_reduced constant longer "random again" random "with space"

kept=(reduced/constant.mat reduced/longer.mat "reduced/random again.mat" reduced/random.mat "reduced/with space.mat")
before=$(file_identity "${kept[@]}")
head -c 268435456 /dev/urandom >"volumes/short.raw"
ln "volumes/longer.raw" elsewhere.raw
# A copy laid out as in the MATLAB zip, in a folder whose name has a space, as has the module's:
# the script finds quarnel-reduce from the path it was submitted by, whatever the arguments.
cp -R "$batch_folder" "Quarnel 1.2.0"
ln -s "$module_folder" "the module"
run_array "$work/Quarnel 1.2.0/slurm/reduce_array.sbatch" --path "the module" --resume -- \
    "0|COMPLETED|0|kept constant.raw;ok gone.raw" \
    "1|COMPLETED|0|kept longer.raw;kept random again.raw" \
    "2|COMPLETED|0|kept random.raw;ok short.raw" \
    "3|COMPLETED|0|kept with space.raw" \
    "4|COMPLETED|0|task 4: nothing to do: volumes holds 7 volumes, which tasks 0 to 3 reduce, 2 each"
after=$(file_identity "${kept[@]}")
[[ $after == "$before" ]] || fail "--resume touched results that were whole:
before: $before
after:  $after"
expect_reduced constant gone longer "random again" random short "with space"

# Bad uses, outside Slurm: each ends with 2 and one line on standard error.
expect_bad_use() {
    local what=$1 task=$2 status=0 message
    shift 2
    message=$(env ${task:+SLURM_ARRAY_TASK_ID=$task} SLURM_JOB_ID= sh "$array_script" "$@" 2>&1 >/dev/null) || status=$?
    ((status == 2)) || fail "$what: ended with $status, expected 2"
    [[ $message == "reduce_array.sbatch: "* && $message != *$'\n'* ]] || fail "$what: printed \"$message\", expected one line"
}
unset SLURM_ARRAY_TASK_ID
expect_bad_use "no arguments" 0
expect_bad_use "no output folder" 0 volumes
expect_bad_use "a fourth argument" 0 volumes reduced 2 3
expect_bad_use "no files per task" 0 volumes reduced 0
expect_bad_use "a fraction of files per task" 0 volumes reduced 1.5
expect_bad_use "a negative number of files per task" 0 volumes reduced -2
expect_bad_use "no such input folder" 0 nowhere reduced
expect_bad_use "a file for the input folder" 0 volumes/random.raw reduced
expect_bad_use "not an array task" "" volumes reduced
expect_bad_use "an unknown option" 0 --workers 2 volumes reduced
expect_bad_use "--path with no folder" 0 --path
expect_bad_use "a task outside Slurm" 0 volumes reduced
echo "batch.slurm: every check passed"
