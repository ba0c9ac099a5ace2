#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the Linux suite natively, then
# the Windows suite (cross-built, run under wine). Both always run; the command fails
# when either did.
set -uo pipefail
cd "$(dirname "$0")/.."
set -e
bash tools/install-deps.sh
bash tools/build.sh
set +e
(cd build && ctest --output-on-failure -j"$(nproc)" --timeout 600)
linux=$?
windows=1
if bash tools/install-windows-deps.sh; then
  bash tools/test-windows.sh
  windows=$?
fi
((linux == 0)) || echo "Linux tests FAILED"
((windows == 0)) || echo "Windows tests FAILED"
((linux == 0 && windows == 0))
