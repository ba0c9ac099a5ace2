#!/usr/bin/env bash
# Cuts the power under the real Guichet and guichet-web CUTS times at random instants
# while clients upload through HTTP, and checks after each cut that nothing answered was
# lost (tools/power_cut_test.py says how the cuts are made and what is checked).
#
#   tools/power-cut-test.sh CUTS [--seed N] [--warmup SECONDS] [--clients N] [--build DIR] [--keep]
#
# Needs root, loop devices, XFS and ext4 (tools/install-deps.sh installs xfsprogs). Uses
# build/guichet, build/guichet-web and build/Radiveve.so (built first when missing).
# Exits 0 when every check passed after every cut, 1 when one failed, 77 when the machine
# cannot cut (it says why). 10 cuts take about four and a half minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x build/guichet ] || [ ! -x build/guichet-web ] || [ ! -f build/Radiveve.so ]; then
  bash tools/build.sh
fi
exec /usr/bin/python3 tools/power_cut_test.py "$@"
