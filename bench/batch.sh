#!/usr/bin/env bash
# What reducing a folder costs, over 8 volumes of random samples, each way the project offers:
#   - batch/reduce_folder in one octave-cli, one volume after the other ('Workers', 1) and in two
#     worker processes of Octave's parallel package ('Workers', 2);
#   - batch/quarnel-reduce over all 8 volumes, in one host process;
#   - batch/slurm/reduce_array.sbatch on a one-node Slurm of this script's own (the test's, from
#     tests/support/local_slurm.sh), 1 and 4 files a task, 1 and 2 tasks at a time (%1, %2).
# Each timing is the wall time of the whole run, host start-ups included: the octave-cli process
# for reduce_folder, the command for quarnel-reduce, and from submitting the array until Slurm has
# recorded the array's last task. Every run writes its eight 64 MiB .mat files anew into an
# emptied folder. The volumes come from the page cache, or from the disk with their cached pages
# dropped before the run. A bare host start-up (octave-cli putting the module and the helpers on its
# path, nothing else) is timed in the same rounds, and each run's start-up share is that time
# times the host processes it starts, over its wall time. So is an array of 8 tasks that do
# nothing, 1 and 2 at a time: what Slurm itself costs. Each round runs every case in turn, from
# another first case each round; the table gives the medians over all rounds.
#
# Usage: bench/batch.sh [BUILD]     (BUILD defaults to ./build; ROUNDS=3 by default)
set -euo pipefail
shopt -s inherit_errexit

build=$(cd "${1:-build}" && pwd)
sources=$(cd "$(dirname "$0")/.." && pwd)
batch=$sources/batch
rounds=${ROUNDS:-3}
volume_count=8
if [[ ! -f $build/octave/Quarnel.mex ]]; then
    echo "no $build/octave/Quarnel.mex: build with Octave's mkoctfile installed first" >&2
    exit 1
fi
# shellcheck source=../tests/support/local_slurm.sh
source "$sources/tests/support/local_slurm.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/quarnel-batch.XXXXXX")
chmod 755 "$work"  # munged wants every folder above its socket searchable
finish() {
    local_slurm_stop || true
    rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir "$work/volumes" "$work/cluster" "$work/logs"
for ((k = 1; k <= volume_count; ++k)); do
    head -c 268435456 /dev/urandom >"$work/volumes/volume-$k.raw"
done
sync  # only clean pages can be dropped
local_slurm_start "$work/cluster"

without_exit_message() {
    grep -v "ignoring const execution_exception" >&2 || true
}

seconds_since() {
    awk -v now="$EPOCHREALTIME" -v then="$1" 'BEGIN { printf "%.3f\n", now - then }'
}

# Each time_* prints the wall seconds of one run, into an empty $work/reduced.
time_host_start() {
    local started=$EPOCHREALTIME
    octave-cli --norc --no-history --no-window-system --quiet \
               --eval "addpath('$build/octave'); addpath('$batch');" 2> >(without_exit_message)
    seconds_since "$started"
}

time_reduce_folder() {
    local started=$EPOCHREALTIME
    octave-cli --norc --no-history --no-window-system --quiet --path "$build/octave" --path "$batch" --eval "
      pkg load parallel
      report = reduce_folder('$work/volumes', '$work/reduced', 'Workers', $1);
      assert(numel(report) == $volume_count && all([report.ok]), 'a volume failed');
    " 2> >(without_exit_message)
    seconds_since "$started"
}

time_quarnel_reduce() {
    local started=$EPOCHREALTIME
    "$batch/quarnel-reduce" --path "$build/octave" "$work/reduced" "$work"/volumes/*.raw >/dev/null \
        2> >(without_exit_message)
    seconds_since "$started"
}

# An array of $1 tasks, $2 at a time, of the script $3 with the arguments after it. sbatch --wait
# looks at the job only every 2 s, so the run ends when the controller has recorded the array's
# last task.
time_array() {
    local tasks=$1 throttle=$2 started=$EPOCHREALTIME job records
    shift 2
    job=$(cd "$work/logs" && sbatch --parsable --array=0-$((tasks - 1))%"$throttle" "$@")
    local deadline=$((SECONDS + 600))
    while :; do
        records=$(grep -c "ArrayJobId=$job " "$work/cluster/jobcomp.txt" 2>/dev/null || true)
        ((records < tasks)) || break
        if ((SECONDS > deadline)); then
            echo "array job $job has not ended after 10 minutes: see $work/logs" >&2
            return 1
        fi
        sleep 0.02
    done
    seconds_since "$started"
    if (($(grep "ArrayJobId=$job " "$work/cluster/jobcomp.txt" | grep -c 'JobState=COMPLETED .* ExitCode=0:0') != tasks)); then
        echo "a task of array job $job failed:" >&2
        cat "$work/logs/"*"-${job}_"*.out >&2
        return 1
    fi
}

# $1 files a task, $2 tasks at a time.
time_slurm_array() {
    time_array $(((volume_count + $1 - 1) / $1)) "$2" "$batch/slurm/reduce_array.sbatch" \
               --path "$build/octave" "$work/volumes" "$work/reduced" "$1"
}

# What Slurm itself costs: as many tasks as volumes, $1 at a time, that do nothing.
printf '#!/bin/sh\ntrue\n' >"$work/nothing.sbatch"
time_tasks_doing_nothing() {
    time_array "$volume_count" "$1" "$work/nothing.sbatch"
}

drop_cached_volumes() {
    local volume
    for volume in "$work"/volumes/*.raw; do
        dd if="$volume" iflag=nocache count=0 status=none
    done
}

# Case name, host processes started, command.
cases=(
    "folder1|1|time_reduce_folder 1"
    "folder2|1|time_reduce_folder 2"
    "command|1|time_quarnel_reduce"
    "array1of1|8|time_slurm_array 1 1"
    "array1of2|8|time_slurm_array 1 2"
    "array4of1|2|time_slurm_array 4 1"
    "array4of2|2|time_slurm_array 4 2"
)
load_before=$(uptime)
for ((round = 0; round < rounds; ++round)); do
    seconds=$(time_host_start)
    echo "start - $seconds"
    for throttle in 1 2; do
        seconds=$(time_tasks_doing_nothing "$throttle")
        echo "nothing$throttle - $seconds"
    done
    for source in cache disk; do
        # Each round starts at another case, so that none always comes first or after the same one.
        for ((c = 0; c < ${#cases[@]}; ++c)); do
            IFS='|' read -r name _ command <<<"${cases[(round + c) % ${#cases[@]}]}"
            rm -rf "$work/reduced"
            mkdir "$work/reduced"
            if [[ $source == cache ]]; then
                cat "$work"/volumes/*.raw >/dev/null
            else
                drop_cached_volumes
            fi
            seconds=$($command)
            echo "$name $source $seconds"
        done
    done
done >"$work/times.txt"
load_after=$(uptime)

printf '%s\n' "${cases[@]}" | cut -d '|' -f 1,2 | tr '|' ' ' >"$work/cases.txt"
awk -v rounds="$rounds" -v volumes="$volume_count" '
  function median(name, source,    sorted, count, i, j, t) {
    count = n[name, source]
    for (i = 1; i <= count; ++i) sorted[i] = seconds[name, source, i]
    for (i = 2; i <= count; ++i)
      for (j = i; j > 1 && sorted[j - 1] > sorted[j]; --j) { t = sorted[j]; sorted[j] = sorted[j - 1]; sorted[j - 1] = t }
    return count % 2 ? sorted[(count + 1) / 2] : (sorted[count / 2] + sorted[count / 2 + 1]) / 2
  }
  FNR == NR { order[++case_count] = $1; starts[$1] = $2; next }
  { seconds[$1, $2, ++n[$1, $2]] = $3 }
  END {
    label["folder1"] = "reduce_folder, 1 worker"
    label["folder2"] = "reduce_folder, 2 workers"
    label["command"] = "quarnel-reduce, all in one process"
    label["array1of1"] = "Slurm array, 1 file a task, %1"
    label["array1of2"] = "Slurm array, 1 file a task, %2"
    label["array4of1"] = "Slurm array, 4 files a task, %1"
    label["array4of2"] = "Slurm array, 4 files a task, %2"
    start = median("start", "-")
    printf "%d volumes, medians of %d rounds; a bare host start-up takes %.2f s\n", volumes, rounds, start
    printf "Slurm alone, %d tasks that do nothing: %.2f s one at a time (%%1), %.2f s two at a time (%%2)\n\n",
           volumes, median("nothing1", "-"), median("nothing2", "-")
    printf "| Run | host starts | cache: wall | volumes/s | start-up share | disk: wall | volumes/s | start-up share |\n"
    printf "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |\n"
    for (c = 1; c <= case_count; ++c) {
      name = order[c]
      cache = median(name, "cache")
      disk = median(name, "disk")
      printf "| %s | %d | %.2f s | %.2f | %.0f %% | %.2f s | %.2f | %.0f %% |\n", label[name], starts[name],
             cache, volumes / cache, 100 * start * starts[name] / cache,
             disk, volumes / disk, 100 * start * starts[name] / disk
    }
  }' "$work/cases.txt" "$work/times.txt"
printf '\nload before: %s\nload after:  %s\n' "$load_before" "$load_after"
