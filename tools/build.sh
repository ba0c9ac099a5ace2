#!/usr/bin/env bash
# Configures and builds Guichet, its codec library, tests and benchmarks in ./build.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
