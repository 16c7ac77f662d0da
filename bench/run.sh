#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them; extra arguments go to the benchmark program
# (for example --benchmark_filter=Sha1).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBW_BENCHMARKS=ON >/dev/null
cmake --build build/bench
build/bench/bench/bw_bench "$@"
