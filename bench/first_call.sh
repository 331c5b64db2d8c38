#!/usr/bin/env bash
# What a user pays in the host: Quarnel's first call after octave-cli starts, and a later call in
# the same process, beside the host floor, a module that only creates, fills and returns the same
# 256 x 256 x 256 single array (BUILD/bench/host_floor.mex). Each round starts one fresh octave-cli
# for Quarnel and one for the floor, in turn, and times two calls in each; the medians over all
# rounds are compared. The volume is 256 MiB of random samples, in the page cache.
#
# Usage: bench/first_call.sh [BUILD]     (BUILD defaults to ./build; ROUNDS=15 by default)
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
rounds=${ROUNDS:-15}
for module in "$build/octave/Quarnel.mex" "$build/bench/host_floor.mex"; do
    if [[ ! -f $module ]]; then
        echo "no $module: build with Octave's mkoctfile installed first" >&2
        exit 1
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quarnel-first-call.XXXXXX")
trap 'rm -rf "$work"' EXIT
volume="$work/volume.raw"
head -c 268435456 /dev/urandom >"$volume"

# Prints the milliseconds of the first call of $2 in a fresh octave-cli with $1 on the path, and
# of a second call once the first result is gone.
time_two_calls() {
    octave-cli --norc --no-gui --quiet --eval "
      addpath('$1');
      started = tic; v = $2('$volume'); first = toc(started);
      clear v;
      started = tic; v = $2('$volume'); later = toc(started);
      printf('%.3f %.3f\n', 1000 * first, 1000 * later);
    " 2> >(grep -v "ignoring const execution_exception" >&2)
}

time_two_calls "$build/octave" Quarnel >/dev/null  # brings the volume and Octave into the page cache
for ((round = 0; round < rounds; ++round)); do
    echo "quarnel $(time_two_calls "$build/octave" Quarnel)"
    echo "floor $(time_two_calls "$build/bench" host_floor)"
done >"$work/times.txt"

awk -v rounds="$rounds" '
  function median(values, count,    sorted, i, j, t) {
    for (i = 1; i <= count; ++i) sorted[i] = values[i]
    for (i = 2; i <= count; ++i)
      for (j = i; j > 1 && sorted[j - 1] > sorted[j]; --j) { t = sorted[j]; sorted[j] = sorted[j - 1]; sorted[j - 1] = t }
    return count % 2 ? sorted[(count + 1) / 2] : (sorted[count / 2] + sorted[count / 2 + 1]) / 2
  }
  $1 == "quarnel" { first[++n] = $2; later[n] = $3 }
  $1 == "floor" { floorFirst[++m] = $2; floorLater[m] = $3 }
  END {
    q1 = median(first, n); q2 = median(later, n); f1 = median(floorFirst, m); f2 = median(floorLater, m)
    printf "fresh octave-cli processes, %d rounds in alternation, medians:\n", rounds
    printf "  Quarnel: first call %.1f ms, later call %.1f ms\n", q1, q2
    printf "  host floor: first call %.1f ms, later call %.1f ms\n", f1, f2
    printf "first call/host floor ratio: %.2f, later call/host floor ratio: %.2f\n", q1 / f1, q2 / f2
  }' "$work/times.txt"
