#!/bin/sh
# Makes the Wine prefix named by WINEPREFIX, unattended and without a display, and waits until
# Wine has settled, so the tests that follow start at once. A prefix already made is kept.
# Usage: boot_wine_prefix.sh WINE64 WINESERVER
set -eu
wine64=$1
wineserver=$2
booted="$WINEPREFIX/.booted"
if [ -f "$booted" ]; then
    echo "Wine prefix ready: $WINEPREFIX"
    exit 0
fi
rm -rf "$WINEPREFIX"
"$wine64" wineboot --init
"$wineserver" --wait
test -f "$WINEPREFIX/system.reg"
touch "$booted"
echo "Wine prefix made: $WINEPREFIX"
