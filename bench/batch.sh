#!/usr/bin/env bash
# What reducing many volumes into .mat files costs, each way the project offers, side by side:
#   - floor: build/batch_floor, which reads each volume front to back and writes, flushes and
#     renames a file of a result's size for it, and does nothing else; and two of it at once, each
#     on half the volumes, the most that two jobs could gain on this machine;
#   - quarnel-reduce --jobs 1 and --jobs 2, the native command, and --jobs 1 with --format nifti
#     and --format mat,nifti, each set beside --jobs 1's MAT results;
#   - reduce_folder in one octave-cli, one volume after the other, as an Octave user runs it.
# Over 8 volumes of random samples, each run a fresh process writing its 8 results into an
# emptied folder, timed from its start to its end (first call included, as a user pays it). The
# volumes come from the page cache, or from the disk with their cached pages dropped before the
# run. Each round runs every case in turn, from another first case each round; the table gives
# the medians over all rounds, each route's time per volume as a ratio to the floor's, and the
# peak memory of each route's process (per job for --jobs 2).
#
# Usage: bench/batch.sh [BUILD]     (BUILD defaults to ./build; ROUNDS=3 by default)
set -euo pipefail
shopt -s inherit_errexit

build=$(cd "${1:-build}" && pwd)
rounds=${ROUNDS:-3}
volume_count=8
for needed in quarnel-reduce batch_floor octave/Quarnel.mex batch/reduce_folder.m; do
    if [[ ! -e $build/$needed ]]; then
        echo "no $build/$needed: build with CMake (and Octave's mkoctfile installed) first" >&2
        exit 1
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quarnel-batch.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir "$work/volumes"
for ((k = 1; k <= volume_count; ++k)); do
    head -c 268435456 /dev/urandom >"$work/volumes/volume-$k.raw"
done
sync  # only clean pages can be dropped

# Runs the command after --, prints its wall seconds and the peak resident memory of its process
# in MiB, and fails when it fails.
measure() {
    python3 -c '
import resource, subprocess, sys, time
started = time.monotonic()
status = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode
seconds = time.monotonic() - started
if status != 0:
    sys.exit(f"{sys.argv[1]} ended with {status}")
print(f"{seconds:.3f} {resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024:.0f}")
' "$@"
}

run_case() {
    local volumes=("$work"/volumes/*.raw)
    case $1 in
        floor) measure "$build/batch_floor" "$work/reduced" "${volumes[@]}" ;;
        floor2) measure bash -c '"$0" "$1" "${@:2:4}" & "$0" "$1" "${@:6}" & wait -n && wait -n' \
                        "$build/batch_floor" "$work/reduced" "${volumes[@]}" ;;
        jobs1) measure "$build/quarnel-reduce" --jobs 1 "$work/reduced" "${volumes[@]}" ;;
        jobs2) measure "$build/quarnel-reduce" --jobs 2 "$work/reduced" "${volumes[@]}" ;;
        nifti) measure "$build/quarnel-reduce" --format nifti "$work/reduced" "${volumes[@]}" ;;
        both) measure "$build/quarnel-reduce" --format mat,nifti "$work/reduced" "${volumes[@]}" ;;
        folder) measure octave-cli --norc --no-history --no-window-system --quiet \
                        --path "$build/octave" --path "$build/batch" --eval "
                  report = reduce_folder('$work/volumes', '$work/reduced');
                  assert(numel(report) == $volume_count && all([report.ok]), 'a volume failed');" ;;
    esac
}

drop_cached_volumes() {
    local volume
    for volume in "$work"/volumes/*.raw; do
        dd if="$volume" iflag=nocache count=0 status=none
    done
}

cases=(floor floor2 jobs1 jobs2 nifti both folder)
load_before=$(uptime)
for ((round = 0; round < rounds; ++round)); do
    for source in cache disk; do
        # Each round starts at another case, so that none always comes first or after the same one.
        for ((c = 0; c < ${#cases[@]}; ++c)); do
            name=${cases[(round + c) % ${#cases[@]}]}
            rm -rf "$work/reduced"
            mkdir "$work/reduced"
            if [[ $source == cache ]]; then
                cat "$work"/volumes/*.raw >/dev/null
            else
                drop_cached_volumes
            fi
            echo "$name $source $(run_case "$name" 2> >(grep -v 'ignoring const execution_exception' >&2))"
        done
    done
done >"$work/times.txt"
load_after=$(uptime)

awk -v rounds="$rounds" -v volumes="$volume_count" '
  function median(name, source, field,    sorted, count, i, j, t) {
    count = n[name, source]
    for (i = 1; i <= count; ++i) sorted[i] = value[name, source, field, i]
    for (i = 2; i <= count; ++i)
      for (j = i; j > 1 && sorted[j - 1] > sorted[j]; --j) { t = sorted[j]; sorted[j] = sorted[j - 1]; sorted[j - 1] = t }
    return count % 2 ? sorted[(count + 1) / 2] : (sorted[count / 2] + sorted[count / 2 + 1]) / 2
  }
  { ++n[$1, $2]; value[$1, $2, "s", n[$1, $2]] = $3; value[$1, $2, "mb", n[$1, $2]] = $4 }
  END {
    split("floor floor2 jobs1 jobs2 nifti both folder", order, " ")
    label["floor"] = "floor: read, write, sync, rename"
    label["floor2"] = "floor, two at once"
    label["jobs1"] = "quarnel-reduce --jobs 1"
    label["jobs2"] = "quarnel-reduce --jobs 2"
    label["nifti"] = "quarnel-reduce --format nifti"
    label["both"] = "quarnel-reduce --format mat,nifti"
    label["folder"] = "reduce_folder in octave-cli"
    # Threads of one process share its peak; the two floors are processes of their own.
    jobs["floor"] = 1; jobs["floor2"] = 1; jobs["jobs1"] = 1; jobs["jobs2"] = 2; jobs["nifti"] = 1; jobs["both"] = 1; jobs["folder"] = 1
    printf "%d volumes, medians of %d rounds, each run a fresh process\n\n", volumes, rounds
    printf "| Route | cache: s/volume | volumes/s | x floor | disk: s/volume | volumes/s | x floor | peak MiB per job |\n"
    printf "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |\n"
    for (c = 1; c <= 7; ++c) {
      name = order[c]
      cache = median(name, "cache", "s") / volumes
      disk = median(name, "disk", "s") / volumes
      printf "| %s | %.3f | %.2f | %.2f | %.3f | %.2f | %.2f | %.0f |\n", label[name],
             cache, 1 / cache, cache / (median("floor", "cache", "s") / volumes),
             disk, 1 / disk, disk / (median("floor", "disk", "s") / volumes),
             median(name, "cache", "mb") / jobs[name]
    }
    printf "\n--jobs 2 against --jobs 1, volumes per second: %.2f from the page cache, %.2f from the disk\n",
           median("jobs1", "cache", "s") / median("jobs2", "cache", "s"), median("jobs1", "disk", "s") / median("jobs2", "disk", "s")
    printf "the floor two at once against one, the most two jobs could gain here: %.2f from the page cache, %.2f from the disk\n",
           median("floor", "cache", "s") / median("floor2", "cache", "s"), median("floor", "disk", "s") / median("floor2", "disk", "s")
    printf "against MAT results alone, per volume: --format nifti %.2f and mat,nifti %.2f times as long from the page cache, %.2f and %.2f from the disk\n",
           median("nifti", "cache", "s") / median("jobs1", "cache", "s"), median("both", "cache", "s") / median("jobs1", "cache", "s"),
           median("nifti", "disk", "s") / median("jobs1", "disk", "s"), median("both", "disk", "s") / median("jobs1", "disk", "s")
    printf "quarnel-reduce --jobs 1 against reduce_folder, per volume: %.1f times as fast from the page cache, %.1f from the disk\n",
           median("folder", "cache", "s") / median("jobs1", "cache", "s"), median("folder", "disk", "s") / median("jobs1", "disk", "s")
  }' "$work/times.txt"
printf '\nload before: %s\nload after:  %s\n' "$load_before" "$load_after"
