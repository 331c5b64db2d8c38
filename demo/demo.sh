#!/usr/bin/env bash
# Runs the Quarnel demo with the Octave module of a build folder (default: build): it writes
# phantom.raw, reduces it with progress lines, prints a summary and saves middle-slice.png, all
# in the build folder's demo/ subfolder, and deletes phantom.raw again unless given --keep-volume,
# also when Octave fails. Octave's temporary files go to a folder of the demo's own, removed at the end.
#   demo/demo.sh [BUILD] [--keep-volume]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
keep=false
folder=$here/../build
for argument; do
    case $argument in
        --keep-volume) keep=true ;;
        *) folder=$argument ;;
    esac
done
build=$(cd "$folder" && pwd)
mkdir -p "$build/demo"
cd "$build/demo"
volume=$build/demo/phantom.raw
temporaries=$(mktemp -d "$build/demo/tmp.XXXXXX")
finish() {
    rm -rf "$temporaries"
    [[ -e $volume ]] || return 0
    if [[ $keep == true ]]; then
        echo "Kept $volume"
    else
        rm -f "$volume"
        echo "Deleted $volume (./run demo --keep-volume keeps it)"
    fi
}
trap finish EXIT
rm -f middle-slice.png  # a picture from an earlier run would pass for this one's
TMPDIR=$temporaries octave-cli --norc --no-history --quiet --path "$build/octave" "$here/demo.m"
