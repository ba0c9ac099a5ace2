#!/usr/bin/env bash
# tools/check-layers.sh on small source trees: a tree whose includes go down passes, and
# each way of going up (a layer above, a folder on the same level, "..", a folder outside
# the order) fails and is named.
set -uo pipefail
checker=$1/tools/check-layers.sh
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

tree() {  # tree NAME FILE=INCLUDE...
  local root=$tmp/$1
  shift
  mkdir -p "$root"
  for entry in "$@"; do
    local file=${entry%%=*} include=${entry#*=}
    mkdir -p "$root/$(dirname "$file")"
    echo "#include \"$include\"" >>"$root/$file"
  done
  echo "$root"
}

expect() {  # expect STATUS GREP-PATTERN ROOT
  local want=$1 pattern=$2 root=$3 out status
  out=$(bash "$checker" "$root" 2>&1)
  status=$?
  if [ "$status" -ne "$want" ] || ! grep -qE -- "$pattern" <<<"$out"; then
    echo "FAIL: $root: status $status (wanted $want), output:"
    echo "$out"
    failures=$((failures + 1))
  fi
}

down=$(tree down "shell/run.cc=exchange/spool.h" "exchange/spool.cc=core/guichet.h" \
  "core/guichet.h=platform/env.h" "platform/env.cc=support/text.h" "support/text.cc=support/text.h" \
  "main.cc=shell/run.h" "workflow/move.cc=core/guichet.h" "output/html.cc=core/guichet.h")
expect 0 "exchange  -> core      \(1 includes\)$" "$down"
expect 0 "every include goes down" "$down"

expect 1 "core      -> exchange  \(1 includes\)  UPWARD" \
  "$(tree up "core/guichet.h=exchange/sessions.h" "exchange/spool.cc=core/guichet.h")"
expect 1 "src/core/state.cc:1|core/state.cc:1" \
  "$(tree upwhere "core/state.cc=shell/run.h")"
expect 1 "output    -> users     \(1 includes\)  UPWARD" \
  "$(tree level "output/html.cc=users/users.h")"
expect 1 "climbs out" "$(tree dots "workflow/move.cc=../exchange/spool.h")"
expect 1 "not in the layer order" "$(tree unknown "extra/x.cc=core/guichet.h")"

# The real tree passes.
expect 0 "every include goes down" "$1/src"

[ "$failures" -eq 0 ] && echo "check-layers: all cases passed"
exit $((failures > 0))
