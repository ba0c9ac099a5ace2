#!/usr/bin/env bash
# Kills the real Guichet KILLS times at random instants while it works, restarts it after
# each kill, and checks the site at the end (tools/crash_test.py says what is checked).
#
#   tools/crash-test.sh KILLS [--seed N] [--build DIR] [--keep]
#
# Uses build/guichet and build/Radiveve.so (built first when missing), sox and speexenc.
# 10 kills take about two minutes. Prints PASS or FAIL for every check; exits with 1 when
# a check failed, and then keeps the site for inspection.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x build/guichet ] || [ ! -f build/Radiveve.so ]; then
  bash tools/build.sh
fi
exec /usr/bin/python3 tools/crash_test.py "$@"
