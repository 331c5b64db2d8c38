#!/usr/bin/env bash
# What reducing many volumes into .mat files costs, each way the project offers, side by side:
#   - floor: build/batch_floor, which reads each volume front to back and writes, flushes and
#     renames a file of a result's size for it, and does nothing else; and two of it at once, each
#     on half the volumes, the most that two jobs could gain on this machine;
#   - quarnel-reduce --jobs 1 and --jobs 2, the native command, and --jobs 1 with --format nifti
#     and --format mat,nifti, each set beside --jobs 1's MAT results, and --format zarr, the whole
#     pyramid, beside --format nifti;
#   - the same files read as uint16 samples, beside int16; as 512^3 uint8 samples (their first
#     half) and as 512 x 512 x 256 float32 samples, each beside the floor of its bytes;
#   - one large volume, 1024^3 uint16 (2 GiB), beside the floor of its bytes and its result's;
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
mkdir "$work/large"
head -c $((1024 * 1024 * 1024 * 2)) /dev/urandom >"$work/large/large.raw"
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
        floor2) measure bash -c '"$0" "$1" "${@:2:4}" & first=$!; "$0" "$1" "${@:6}" & wait $first && wait $!' \
                        "$build/batch_floor" "$work/reduced" "${volumes[@]}" ;;
        jobs1) measure "$build/quarnel-reduce" --jobs 1 "$work/reduced" "${volumes[@]}" ;;
        jobs2) measure "$build/quarnel-reduce" --jobs 2 "$work/reduced" "${volumes[@]}" ;;
        nifti) measure "$build/quarnel-reduce" --format nifti "$work/reduced" "${volumes[@]}" ;;
        both) measure "$build/quarnel-reduce" --format mat,nifti "$work/reduced" "${volumes[@]}" ;;
        zarr) measure "$build/quarnel-reduce" --format zarr "$work/reduced" "${volumes[@]}" ;;
        uint16) measure "$build/quarnel-reduce" --type uint16 "$work/reduced" "${volumes[@]}" ;;
        uint8) measure "$build/quarnel-reduce" --type uint8 "$work/reduced" "${volumes[@]}" ;;
        floor8) measure "$build/batch_floor" --read-bytes 134217728 "$work/reduced" "${volumes[@]}" ;;
        float32) measure "$build/quarnel-reduce" --type float32 --shape 512,512,256 "$work/reduced" "${volumes[@]}" ;;
        floor32) measure "$build/batch_floor" --result-bytes 33554624 "$work/reduced" "${volumes[@]}" ;;
        large) measure "$build/quarnel-reduce" --type uint16 --shape 1024,1024,1024 "$work/reduced" "$work/large/large.raw" ;;
        floorlarge) measure "$build/batch_floor" --result-bytes 536871104 "$work/reduced" "$work/large/large.raw" ;;
        folder) measure octave-cli --norc --no-history --no-window-system --quiet \
                        --path "$build/octave" --path "$build/batch" --eval "
                  report = reduce_folder('$work/volumes', '$work/reduced');
                  assert(numel(report) == $volume_count && all([report.ok]), 'a volume failed');" ;;
    esac
}

drop_cached_volumes() {
    local volume
    for volume in "$work"/volumes/*.raw "$work/large/large.raw"; do
        dd if="$volume" iflag=nocache count=0 status=none
    done
}

cases=(floor floor2 jobs1 jobs2 nifti both zarr uint16 uint8 floor8 float32 floor32 large floorlarge folder)
load_before=$(uptime)
for ((round = 0; round < rounds; ++round)); do
    for source in cache disk; do
        # Each round starts at another case, so that none always comes first or after the same one.
        for ((c = 0; c < ${#cases[@]}; ++c)); do
            name=${cases[(round + c) % ${#cases[@]}]}
            rm -rf "$work/reduced"
            mkdir "$work/reduced"
            if [[ $source == cache ]]; then
                cat "$work"/volumes/*.raw "$work/large/large.raw" >/dev/null
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
  # Per volume, and as a ratio to another case, each a median over the rounds.
  function per(name, source) { return median(name, source, "s") / count[name] }
  function ratio(name, to, source) { return per(name, source) / per(to, source) }
  { ++n[$1, $2]; value[$1, $2, "s", n[$1, $2]] = $3; value[$1, $2, "mb", n[$1, $2]] = $4 }
  END {
    split("floor floor2 jobs1 jobs2 nifti both zarr uint16 uint8 floor8 float32 floor32 large floorlarge folder", order, " ")
    label["floor"] = "floor: read, write, sync, rename"
    label["floor2"] = "floor, two at once"
    label["jobs1"] = "quarnel-reduce --jobs 1"
    label["jobs2"] = "quarnel-reduce --jobs 2"
    label["nifti"] = "quarnel-reduce --format nifti"
    label["both"] = "quarnel-reduce --format mat,nifti"
    label["zarr"] = "quarnel-reduce --format zarr, 3 levels"
    label["uint16"] = "quarnel-reduce --type uint16"
    label["uint8"] = "quarnel-reduce --type uint8"
    label["floor8"] = "floor of 512^3 uint8"
    label["float32"] = "quarnel-reduce --type float32, 512 x 512 x 256"
    label["floor32"] = "floor of 512 x 512 x 256 float32"
    label["large"] = "quarnel-reduce, 1024^3 uint16"
    label["floorlarge"] = "floor of 1024^3 uint16"
    label["folder"] = "reduce_folder in octave-cli"
    # The floor to set each beside: that of its bytes.
    for (c = 1; c <= 15; ++c) { floorOf[order[c]] = "floor"; count[order[c]] = volumes; jobs[order[c]] = 1 }
    floorOf["uint8"] = "floor8"; floorOf["float32"] = "floor32"; floorOf["large"] = "floorlarge"; floorOf["floorlarge"] = "floorlarge"
    floorOf["floor8"] = "floor8"; floorOf["floor32"] = "floor32"
    count["large"] = 1; count["floorlarge"] = 1; jobs["jobs2"] = 2  # threads of one process share its peak
    printf "%d volumes (the large one alone), medians of %d rounds, each run a fresh process\n\n", volumes, rounds
    printf "| Route | cache: s/volume | volumes/s | x floor | disk: s/volume | volumes/s | x floor | peak MiB per job |\n"
    printf "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |\n"
    for (c = 1; c <= 15; ++c) {
      name = order[c]
      printf "| %s | %.3f | %.2f | %.2f | %.3f | %.2f | %.2f | %.0f |\n", label[name],
             per(name, "cache"), 1 / per(name, "cache"), ratio(name, floorOf[name], "cache"),
             per(name, "disk"), 1 / per(name, "disk"), ratio(name, floorOf[name], "disk"),
             median(name, "cache", "mb") / jobs[name]
    }
    printf "\n--jobs 2 against --jobs 1, volumes per second: %.2f from the page cache, %.2f from the disk\n",
           ratio("jobs1", "jobs2", "cache"), ratio("jobs1", "jobs2", "disk")
    printf "the floor two at once against one, the most two jobs could gain here: %.2f from the page cache, %.2f from the disk\n",
           ratio("floor", "floor2", "cache"), ratio("floor", "floor2", "disk")
    printf "against MAT results alone, per volume: --format nifti %.2f and mat,nifti %.2f times as long from the page cache, %.2f and %.2f from the disk\n",
           ratio("nifti", "jobs1", "cache"), ratio("both", "jobs1", "cache"), ratio("nifti", "jobs1", "disk"), ratio("both", "jobs1", "disk")
    printf "--format zarr against --format nifti, per volume: %.2f times as long from the page cache, %.2f from the disk\n",
           ratio("zarr", "nifti", "cache"), ratio("zarr", "nifti", "disk")
    printf "uint16 against int16, per volume: %.2f times as long from the page cache, %.2f from the disk\n",
           ratio("uint16", "jobs1", "cache"), ratio("uint16", "jobs1", "disk")
    printf "against their floors: uint8 %.2f and float32 %.2f from the page cache, %.2f and %.2f from the disk; 1024^3 uint16 %.2f and %.2f\n",
           ratio("uint8", "floor8", "cache"), ratio("float32", "floor32", "cache"), ratio("uint8", "floor8", "disk"),
           ratio("float32", "floor32", "disk"), ratio("large", "floorlarge", "cache"), ratio("large", "floorlarge", "disk")
    printf "quarnel-reduce --jobs 1 against reduce_folder, per volume: %.1f times as fast from the page cache, %.1f from the disk\n",
           ratio("folder", "jobs1", "cache"), ratio("folder", "jobs1", "disk")
  }' "$work/times.txt"
printf '\nload before: %s\nload after:  %s\n' "$load_before" "$load_after"
