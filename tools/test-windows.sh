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
ctest -j"$(nproc)" --output-on-failure --timeout 600 "$@"
