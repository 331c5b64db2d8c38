#!/usr/bin/env bash
# Runs the Quarnel demo with the Octave module of a build folder (default: build): it writes
# phantom.raw, reduces it with progress lines, prints a summary and saves middle-slice.png, all
# in the build folder's demo/ subfolder, and deletes phantom.raw again unless given --keep-volume.
#   demo/demo.sh [BUILD] [--keep-volume]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
keep=()
folder=$here/../build
for argument; do
    case $argument in
        --keep-volume) keep=(--keep-volume) ;;
        *) folder=$argument ;;
    esac
done
build=$(cd "$folder" && pwd)
mkdir -p "$build/demo"
cd "$build/demo"
octave-cli --norc --no-history --quiet --path "$build/octave" "$here/demo.m" "${keep[@]}"
