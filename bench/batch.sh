#!/usr/bin/env bash
# What reducing a folder costs: batch/reduce_folder over 8 volumes of random samples, one volume
# after the other ('Workers', 1) and in two worker processes of Octave's parallel package
# ('Workers', 2). Each timing is the reduce_folder call alone, in a fresh octave-cli, into an output
# folder emptied before the run, so that every run writes its eight 64 MiB .mat files anew. The
# volumes come from the page cache, or from the disk with their cached pages dropped before the
# run. Each round times the four cases in turn; the medians over all rounds are compared.
#
# Usage: bench/batch.sh [BUILD]     (BUILD defaults to ./build; ROUNDS=5 by default)
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
batch=$(cd "$(dirname "$0")/../batch" && pwd)
rounds=${ROUNDS:-5}
volume_count=8
if [[ ! -f $build/octave/Quarnel.mex ]]; then
    echo "no $build/octave/Quarnel.mex: build with Octave's mkoctfile installed first" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quarnel-batch.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/volumes"
for ((k = 1; k <= volume_count; ++k)); do
    head -c 268435456 /dev/urandom >"$work/volumes/volume-$k.raw"
done
sync  # only clean pages can be dropped

# Prints the seconds the reduce_folder call took with $1 workers, in a fresh octave-cli.
time_reduce_folder() {
    rm -rf "$work/reduced"
    octave-cli --norc --no-gui --quiet --path "$build/octave" --path "$batch" --eval "
      pkg load parallel
      started = tic;
      report = reduce_folder('$work/volumes', '$work/reduced', 'Workers', $1);
      elapsed = toc(started);
      assert(numel(report) == $volume_count && all([report.ok]), 'a volume failed');
      printf('%.3f\n', elapsed);
    " 2> >(grep -v "ignoring const execution_exception" >&2)
}

drop_cached_volumes() {
    local volume
    for volume in "$work"/volumes/*.raw; do
        dd if="$volume" iflag=nocache count=0 status=none
    done
}

for ((round = 0; round < rounds; ++round)); do
    cat "$work"/volumes/*.raw >/dev/null
    echo "cache 1 $(time_reduce_folder 1)"
    echo "cache 2 $(time_reduce_folder 2)"
    drop_cached_volumes
    echo "disk 1 $(time_reduce_folder 1)"
    drop_cached_volumes
    echo "disk 2 $(time_reduce_folder 2)"
done >"$work/times.txt"
rm -rf "$work/reduced"

awk -v rounds="$rounds" -v volumes="$volume_count" '
  function median(values, count,    sorted, i, j, t) {
    for (i = 1; i <= count; ++i) sorted[i] = values[i]
    for (i = 2; i <= count; ++i)
      for (j = i; j > 1 && sorted[j - 1] > sorted[j]; --j) { t = sorted[j]; sorted[j] = sorted[j - 1]; sorted[j - 1] = t }
    return count % 2 ? sorted[(count + 1) / 2] : (sorted[count / 2] + sorted[count / 2 + 1]) / 2
  }
  { seconds[$1, $2, ++n[$1, $2]] = $3 }
  END {
    printf "reduce_folder over %d volumes, fresh octave-cli each run, medians of %d rounds:\n", volumes, rounds
    split("cache disk", sources, " ")
    for (s = 1; s <= 2; ++s) {
      source = sources[s]
      for (w = 1; w <= 2; ++w) {
        for (i = 1; i <= n[source, w]; ++i) values[i] = seconds[source, w, i]
        median_of[w] = median(values, n[source, w])
      }
      printf "  %-11s 1 worker %6.2f s (%.2f volumes/s), 2 workers %6.2f s (%.2f volumes/s), 1/2 workers ratio %.2f\n",
             (source == "cache" ? "page cache:" : "from disk:"), median_of[1], volumes / median_of[1],
             median_of[2], volumes / median_of[2], median_of[1] / median_of[2]
    }
  }' "$work/times.txt"
