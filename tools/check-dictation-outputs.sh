#!/usr/bin/env bash
# Reads, with ffprobe and ffmpeg, the outputs that the Windows test programs left in
# FOLDER/checks/ (tools/make-dictation.sh): each test has a folder there with copies of
# its outputs and a checks.txt of tab-separated lines, one check each:
#   probe     FILE  ENTRY  VALUE      ffprobe's stream ENTRY of the first audio stream
#   duration  FILE  SECONDS  MARGIN   ffprobe's format duration, within MARGIN
#   samples   FILE  EXPECTED          ffmpeg's 16-bit little-endian samples equal EXPECTED's bytes
# These are the checks the Linux tests make at once. Prints every failed check with its
# test; fails when one failed or when a check cannot be read.
set -uo pipefail
folder=${1:?usage: check-dictation-outputs.sh FOLDER}
for tool in ffprobe ffmpeg; do
  command -v "$tool" >/dev/null || { echo "$tool missing (Debian: ffmpeg)" >&2; exit 1; }
done
failed=0 checked=0
fail() {
  echo "FAILED $test: $*"
  failed=$((failed + 1))
}
shopt -s nullglob
for list in "$folder"/checks/*/checks.txt; do
  dir=${list%/checks.txt}
  test=${dir##*/}
  while IFS=$'\t' read -r kind file a b; do
    [[ -n $kind ]] || continue
    checked=$((checked + 1))
    path=$dir/$file
    [[ -f $path ]] || { fail "$file missing"; continue; }
    case $kind in
      probe)
        got=$(ffprobe -v error -select_streams a:0 -show_entries "stream=$a" \
                -of default=noprint_wrappers=1:nokey=1 "$path" 2>/dev/null | tr -d '\r')
        [[ $got == "$b" ]] || fail "$file: $a is '$got', expected '$b'" ;;
      duration)
        got=$(ffprobe -v error -show_entries format=duration \
                -of default=noprint_wrappers=1:nokey=1 "$path" 2>/dev/null | tr -d '\r')
        awk -v g="$got" -v e="$a" -v m="$b" \
          'BEGIN { d = g - e; if (d < 0) d = -d; exit !(g != "" && d <= m) }' ||
          fail "$file: duration '$got', expected $a within $b" ;;
      samples)
        if ! cmp -s <(ffmpeg -nostdin -v error -i "$path" -f s16le - 2>/dev/null) "$dir/$a"; then
          fail "$file: the samples ffmpeg reads differ from $a"
        fi ;;
      *) fail "unknown check '$kind'" ;;
    esac
  done <"$list"
done
echo "$checked checks of outputs made under wine, $failed failed"
((failed == 0))
