#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in ./build-fuzz and runs one target, or each in
# turn, for a given number of seconds. Each target starts from its seeds (fuzz/corpus/,
# and for the Speex decoder a dictation made by sox and speexenc) and keeps what it
# learns in build-fuzz/corpus/<target>; a crash is saved in build-fuzz/artifacts/<target>/.
#
#   tools/fuzz.sh TARGET SECONDS     TARGET: request piece users template info_agenda
#   tools/fuzz.sh all SECONDS                queue speexdec batch
#
# Prints one line per target: executions, corpus size, and "ok" or what it found. Exits
# with 1 when any target found a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)
targets=(request piece users template info_agenda queue speexdec batch)
if [ $# -ne 2 ] || ! [[ $2 =~ ^[0-9]+$ ]]; then
  echo "usage: tools/fuzz.sh TARGET|all SECONDS   (targets: ${targets[*]})" >&2
  exit 2
fi
if [ "$1" = all ]; then
  run=("${targets[@]}")
else
  [[ " ${targets[*]} " == *" $1 "* ]] || { echo "fuzz.sh: no target '$1' (${targets[*]})" >&2; exit 2; }
  run=("$1")
fi
seconds=$2

launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DGUICHET_FUZZ=ON -DGUICHET_TESTS=OFF -DGUICHET_BENCH=OFF \
  "${launcher[@]}" >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${run[@]/#/fuzz_}" Radiveve >/dev/null

# Seeds of the Speex decoder: a real dictation, and the same cut short.
seeds=build-fuzz/seeds/speexdec
if [ ! -s "$seeds/tone.spx" ]; then
  mkdir -p "$seeds"
  sox -n -r 8000 -c 1 -b 16 build-fuzz/seeds/tone.wav synth 1 sine 300-900 vol 0.5
  speexenc build-fuzz/seeds/tone.wav "$seeds/tone.spx" 2>/dev/null
  head -c 700 "$seeds/tone.spx" >"$seeds/cut.spx"
fi

# The targets' temporary sites live in memory when the machine has /dev/shm: the targets
# spend most of their time in the file system.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$here/tools/sanitizer/lsan.supp:print_suppressions=0"

status=0
for t in "${run[@]}"; do
  # Absolute paths: some targets change the current folder, as Guichet does.
  corpus=$here/build-fuzz/corpus/$t
  artifacts=$here/build-fuzz/artifacts/$t/
  mkdir -p "$corpus" "$artifacts"
  args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=20 -rss_limit_mb=2560
        -max_len=8192 -artifact_prefix="$artifacts")
  [ -f "fuzz/$t.dict" ] && args+=(-dict="$here/fuzz/$t.dict")
  seed_dirs=()
  [ -d "fuzz/corpus/$t" ] && seed_dirs+=("$here/fuzz/corpus/$t")
  [ -d "build-fuzz/seeds/$t" ] && seed_dirs+=("$here/build-fuzz/seeds/$t")
  log=build-fuzz/$t.log
  if "build-fuzz/fuzz_$t" "${args[@]}" "$corpus" "${seed_dirs[@]}" >"$log" 2>&1; then
    result=ok
  else
    result="FOUND a fault: $(grep -m1 -E 'ERROR:|runtime error|deadly signal|Timeout' "$log" || echo 'see log') (build-fuzz/$t.log, $artifacts)"
    status=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  printf '%-12s %10s executions  %5s inputs in corpus  %s\n' "$t" "${execs:-?}" \
    "$(find "$corpus" -type f | wc -l)" "$result"
done
exit $status
