#!/usr/bin/env bash
# Builds Guichet, its codec library and the whole test suite with AddressSanitizer and
# UndefinedBehaviorSanitizer in ./build-asan, and runs every test there. Any report fails
# the run: undefined behaviour stops the program like a memory fault, and leaks are
# reported at exit. The only suppressed leaks are those inside the system's font library,
# which FLTK's window opens and never frees (tools/sanitizer/lsan.supp).
#
#   tools/sanitize.sh            build and run all tests
#   tools/sanitize.sh -R REGEX   build, then run only the tests ctest selects by REGEX
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGUICHET_BENCH=OFF \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  "${launcher[@]}" >/dev/null
cmake --build build-asan -j"$(nproc)"

# The programs the tests start (guichet itself) inherit these settings.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$here/tools/sanitizer/lsan.supp:print_suppressions=0"
cd build-asan
ctest --output-on-failure -j"$(nproc)" --timeout 900 "$@"
