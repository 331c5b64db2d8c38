#!/usr/bin/env bash
# Quarnel beside two peers that do the same reduction on the same file in one run:
#   Quarnel called in Octave (the module built at BUILD/octave/Quarnel.mex);
#   the reduction written in the Octave language: read the whole file, reshape, sum, truncate;
#   NumPy (Debian's python3-numpy) doing the same.
# Each is timed from the path to the finished 256 x 256 x 256 single array, once to warm up and
# then RUNS times (median shown), and the three results must agree bit for bit.
#
# Usage: bench/peers.sh [BUILD]     (BUILD defaults to ./build; RUNS=5 by default)
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
runs=${RUNS:-5}
module_dir="$build/octave"
if [[ ! -f "$module_dir/Quarnel.mex" ]]; then
    echo "no $module_dir/Quarnel.mex: build with Octave's mkoctfile installed first" >&2
    exit 1
fi
python=/usr/bin/python3  # Debian's, with python3-numpy

work=$(mktemp -d "${TMPDIR:-/tmp}/quarnel-peers.XXXXXX")
trap 'rm -rf "$work"' EXIT
volume="$work/volume.raw"

"$python" - "$volume" <<'EOF'
import sys
import numpy as np
np.random.default_rng(20261208).integers(-32768, 32768, 512**3, dtype=np.int16).astype('<i2').tofile(sys.argv[1])
EOF

octave-cli --norc --no-gui --quiet --eval "
  addpath('$module_dir');
  volume = '$volume';
  runs = $runs;
  function reduced = octaveLanguage(volume)
    fid = fopen(volume, 'r');
    samples = fread(fid, 512^3, 'int16=>int32');
    fclose(fid);
    % (x within block, column, y within block, row, z within block, slice)
    blocks = reshape(samples, 2, 256, 2, 256, 2, 256);
    sums = sum(sum(sum(blocks, 1), 3), 5);  % exact, in double
    means = fix(sums / 8) + 0;  % + 0 turns the -0 of sums -1..-7 into +0
    reduced = single(permute(reshape(means, 256, 256, 256), [2 1 3]));
  end
  function seconds = medianTime(run, runs)
    run();
    times = zeros(1, runs);
    for k = 1:runs
      started = tic;
      run();
      times(k) = toc(started);
    end
    seconds = median(times);
  end
  quarnelSeconds = medianTime(@() Quarnel(volume), runs);
  octaveSeconds = medianTime(@() octaveLanguage(volume), runs);
  fromQuarnel = Quarnel(volume);
  fromOctave = octaveLanguage(volume);
  if ~isequal(typecast(fromQuarnel(:), 'uint32'), typecast(fromOctave(:), 'uint32'))
    error('the Octave-language reduction differs from Quarnel');
  end
  fid = fopen('$work/quarnel.f32', 'w');
  fwrite(fid, fromQuarnel, 'single');
  fclose(fid);
  fid = fopen('$work/octave-times.txt', 'w');
  fprintf(fid, '%.6f %.6f\n', quarnelSeconds, octaveSeconds);
  fclose(fid);
" 2> >(grep -v "ignoring const execution_exception" >&2)

"$python" - "$volume" "$work" "$runs" <<'EOF'
import platform
import statistics
import sys
import time

import numpy as np

volume, work, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])

def numpy_reduction():
    # (slice, z within block, row, y within block, column, x within block)
    blocks = np.fromfile(volume, dtype='<i2', count=512**3).reshape(256, 2, 256, 2, 256, 2)
    # Adding the halves of each axis beats sum(axis=(1, 3, 5)) several times over.
    sums = blocks[:, 0].astype(np.int32)
    sums += blocks[:, 1]
    sums = sums[:, :, 0] + sums[:, :, 1]
    sums = sums[..., 0] + sums[..., 1]  # [slice, row, column]
    means = np.where(sums < 0, -(-sums // 8), sums // 8)  # truncated toward zero
    # Column-major (row, column, slice) is C order [slice, column, row].
    return np.ascontiguousarray(means.transpose(0, 2, 1)).astype(np.float32)

numpy_reduction()
times = []
for _ in range(runs):
    started = time.perf_counter()
    numpy_reduction()
    times.append(time.perf_counter() - started)
numpy_seconds = statistics.median(times)

from_quarnel = np.fromfile(f"{work}/quarnel.f32", dtype='<u4')
if not np.array_equal(numpy_reduction().view('<u4').ravel(), from_quarnel):
    sys.exit("the NumPy reduction differs from Quarnel")

quarnel_seconds, octave_seconds = map(float, open(f"{work}/octave-times.txt").read().split())
print(f"256 MiB volume, median of {runs} runs after one warm-up; all three results agree bit for bit\n")
print("| Implementation | Median time | Relative to Quarnel |")
print("|---|---:|---:|")
for name, seconds in [("Quarnel (C++ module) called in Octave", quarnel_seconds),
                      ("Octave language: fread, reshape, sum, fix, permute", octave_seconds),
                      (f"NumPy {np.__version__} (Python {platform.python_version()}): fromfile, reshape, add halves", numpy_seconds)]:
    print(f"| {name} | {seconds * 1000:.0f} ms | {seconds / quarnel_seconds:.1f}x |")
EOF
