#!/usr/bin/env bash
# Applies each one-line fault of a fault table to the sources in this clone, builds, runs
# the plain build's tests and then the sanitizer build's (as ./run tests does), stopping at the
# first failing test, and prints a line a fault: the tests that caught it, or "NOT CAUGHT".
#   scripts/fault-check.sh scripts/faults.tsv CLONE   (CLONE: a clean clone of its own, as the
#   build folders there are reused and each source file is restored with git after its fault)
set -uo pipefail
faults=$1
clone=$(cd "$2" && pwd)
sanitizers="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"
cd "$clone" || exit 2
configure() {
    [[ -f build/CMakeCache.txt ]] || cmake -S . -B build -G Ninja >/dev/null
    [[ -f build-sanitize/CMakeCache.txt ]] || cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        "-DCMAKE_C_FLAGS=$sanitizers" "-DCMAKE_CXX_FLAGS=$sanitizers" -DMKOCTFILE=MKOCTFILE-NOTFOUND \
        -DQUARNEL_MINGW_CXX=QUARNEL_MINGW_CXX-NOTFOUND >/dev/null
}
# Prints the failing tests of build folder $1, or nothing when all pass.
failing_tests() {
    if ! cmake --build "$1" >"$1/fault-build.log" 2>&1; then
        echo "build of $1"
        return
    fi
    (cd "$1" && ctest -j2 --stop-on-failure --timeout 1200 >fault-ctest.log 2>&1)
    sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' "$1/fault-ctest.log" | tr '\n' ' '
}
configure
while IFS=$'\t' read -r file original replacement what; do
    [[ -z $file || $file == \#* ]] && continue
    python3 - "$file" "$original" "$replacement" <<'PY' || { echo "$what: CAN'T APPLY"; continue; }
import sys
path, old, new = sys.argv[1:]
text = open(path).read()
if text.count(old + "\n") != 1:
    sys.exit(1)
open(path, "w").write(text.replace(old + "\n", new + "\n"))
PY
    caught=$(failing_tests build)
    [[ -n $caught ]] || caught=$(failing_tests build-sanitize)
    git checkout -q -- "$file"
    printf '%s\t%s\n' "$what" "${caught:-NOT CAUGHT}"
done <"$faults"
