#!/usr/bin/env bash
# Builds the Windows programs (tools/build-windows.sh) and runs their tests under wine
# through ctest. The wine prefix lives in build-win/wine and is kept between runs, so only
# the first run pays for setting it up; the libraries cross-built from Debian's sources
# stay in build-win/deps.
set -euo pipefail
cd "$(dirname "$0")/.."
export WINEPREFIX=$PWD/build-win/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
bash tools/build-windows.sh
cd build-win
# The wine session (its server, and the services wine starts with the first program) is
# started here, outside ctest, and kept for the whole run. Started by a test program
# instead, those services would inherit that test's output pipes, and ctest would wait
# for the test until the session ended, however long that took.
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo "$(dirname "$wine")/wineserver")
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT
"$wine" wineboot >/dev/null 2>&1 </dev/null || true
# The slowest test takes under 40 s here. Under wine a test program has been seen, rarely,
# to pass and then not end (its output pipe held open after it); such a test is ended at
# 240 s and run once more, so a stall costs minutes, not the run.
ctest -j"$(nproc)" --output-on-failure --timeout 240 --repeat after-timeout:2 "$@"
