#!/usr/bin/env bash
# The start-up check over 2 GiB in the page cache beside sha1sum and OpenSSL's SHA-1 on one core
# (bench/RecheckBench.cpp). BENCH_BEFORE (the path of another bw_bench) runs the same first, back
# to back, for a before-and-after table. BW_BENCH names the program to measure instead of
# building one.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ -z ${BW_BENCH:-} ]]; then
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBW_BENCHMARKS=ON >/dev/null
  cmake --build build/release -j2 --target bw_bench
  BW_BENCH=$PWD/build/release/bench/bw_bench
fi
filter='RecheckFiles|Sha1sumFiles|OpenSslSha1Files|RemoveFiles'
if [[ -n ${BENCH_BEFORE:-} ]]; then
  echo "== before: $BENCH_BEFORE"
  "$BENCH_BEFORE" --benchmark_filter="$filter"
fi
echo "== after: $BW_BENCH"
"$BW_BENCH" --benchmark_filter="$filter"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
