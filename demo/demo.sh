#!/usr/bin/env bash
# Runs the Quarnel demo with the Octave module of a build folder (default: build): it writes
# phantom.raw, reduces it with progress lines, prints a summary and saves middle-slice.png, all
# in the build folder's demo/ subfolder.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
mkdir -p "$build/demo"
cd "$build/demo"
octave-cli --norc --no-history --quiet --path "$build/octave" "$here/demo.m"
