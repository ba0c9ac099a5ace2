#!/usr/bin/env bash
# Lists the include edges between the folders of src/ and fails on any that goes upward.
#
# The folders are layers; a file may include headers of its own folder and of the layers
# below it, never of a layer above nor of a folder on the same level:
#
#   support   text, wildcard patterns, names from outside, document file names (no OS)
#   platform  the OS seam: Env, clock and dates, processes, views, desktop
#   core      the Guichet state, day log, session table, the request, records, codec loader
#   output    answer writers, templates        users   users file, sessions' log-ons
#   params    the parameter store (stands apart, over support only)
#   workflow  move cycle, transitions, audio, listings
#   exchange  spool pickup, dispatcher, commands, uploads
#   shell     start-up, polling cycle, ways out
#   main      src/main.cc
#
# Prints one line per edge, "from -> to  (N includes)", with "UPWARD" and the offending
# includes after an edge that breaks the order. An include that climbs out of its folder
# with ".." is refused as well. Exits with 1 when any edge is refused.
#
#   tools/check-layers.sh [SRC_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
src=${1:-src}

declare -A rank=(
  [support]=0 [platform]=1 [core]=2 [output]=3 [users]=3 [params]=3
  [workflow]=4 [exchange]=5 [shell]=6 [main]=7
)

files=$(cd "$src" && find . -name '*.h' -o -name '*.cc' | sed 's|^\./||' | sort)
[ -n "$files" ] || { echo "check-layers: no sources in $src" >&2; exit 2; }
order=$(for f in "${!rank[@]}"; do echo "$f ${rank[$f]}"; done)

# One pass over every file: the edges, their counts, and the refused ones with their
# includes.
(cd "$src" && awk -v order="$order" '
  BEGIN {
    n = split(order, lines, "\n")
    for (i = 1; i <= n; i++) { split(lines[i], kv, " "); rank[kv[1]] = kv[2] }
  }
  FNR == 1 {
    from = FILENAME
    sub(/\/.*/, "", from)
    if (FILENAME == "main.cc") from = "main"
  }
  /^[ \t]*#[ \t]*include[ \t]*"/ {
    target = $0
    sub(/^[^"]*"/, "", target)
    sub(/".*/, "", target)
    if (index(target, "..")) to = ".."
    else if (index(target, "/")) { to = target; sub(/\/.*/, "", to) }
    else next
    if (to == from) next
    key = from " " to
    count[key]++
    where[key] = where[key] "            " FILENAME ":" FNR "  " target "\n"
  }
  END {
    bad = 0
    for (key in count) keys[++k] = key
    # Sorted by name, so the list compares line by line between two runs.
    for (i = 2; i <= k; i++) {
      v = keys[i]
      for (j = i - 1; j >= 1 && keys[j] > v; j--) keys[j + 1] = keys[j]
      keys[j + 1] = v
    }
    for (i = 1; i <= k; i++) {
      split(keys[i], ft, " ")
      verdict = ""
      if (ft[2] == "..") verdict = "UPWARD (climbs out with ..)"
      else if (!(ft[1] in rank) || !(ft[2] in rank)) verdict = "UPWARD (folder not in the layer order)"
      else if (rank[ft[2]] + 0 >= rank[ft[1]] + 0) verdict = "UPWARD"
      printf "%-9s -> %-9s (%d includes)%s\n", ft[1], ft[2], count[keys[i]], (verdict == "" ? "" : "  " verdict)
      if (verdict != "") { bad = 1; printf "%s", where[keys[i]] }
    }
    exit bad
  }' $files) && status=0 || status=$?

if ((status)); then
  echo "check-layers: includes against the layer order (see above)" >&2
  exit 1
fi
echo "check-layers: every include goes down the layer order"
