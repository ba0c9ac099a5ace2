#!/usr/bin/env bash
# Counts the system calls of the real executable draining a spool of waiting requests:
# runs bench/drain_bench with the executable under "strace -c -f" and prints the counts
# and the calls per request answered (start-up included).
#   tools/strace_drain.sh [REQUESTS] [FOLDER]     (default: 10000 in /dev/shm)
set -euo pipefail
cd "$(dirname "$0")/.."
requests="${1:-10000}"
folder="${2:-/dev/shm}"
out="$(mktemp /tmp/guichet-strace-XXXXXX)"
./build/drain_bench --requests "$requests" --strace "$out" "$folder"
cat "$out"
total="$(awk '$NF == "total" {print $4}' "$out")"
awk -v t="$total" -v n="$requests" 'BEGIN {printf "system calls per request answered: %.2f\n", t / n}'
rm -f "$out"
