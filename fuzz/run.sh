#!/usr/bin/env bash
# Builds every fuzz/<Name>Fuzz.cpp with libFuzzer, ASan and UBSan, then runs each for a bounded
# time. Non-zero exit when any target finds something.
#   fuzz/run.sh [seconds per target, default 60] [Name ...]
# Seeds come from fuzz/corpus/<Name>/ (never written to) and an optional dictionary from
# fuzz/<Name>.dict; new inputs collect in build/fuzz/corpus/<Name>/, findings in
# build/fuzz/artifacts/<Name>/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true

bash scripts/deps.sh
# Fuzzing only: these stay out of scripts/deps.sh.
fuzz_packages=(clang-14 libclang-rt-14-dev libfuzzer-14-dev)
installed=$(dpkg-query -W -f='${db:Status-Status}\n' "${fuzz_packages[@]}" 2>/dev/null | grep -c '^installed$' || true)
if ((installed != ${#fuzz_packages[@]})); then
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${fuzz_packages[@]}"
fi

build=build/fuzz
CC=clang-14 CXX=clang++-14 cmake -S fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

names=("$@")
if ((${#names[@]} == 0)); then
  for source in fuzz/*Fuzz.cpp; do
    base=$(basename "$source" .cpp)
    names+=("${base%Fuzz}")
  done
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for name in "${names[@]}"; do
  corpus="$build/corpus/$name" artifacts="$build/artifacts/$name"
  mkdir -p "$corpus" "$artifacts"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$artifacts/")
  [[ -f "fuzz/$name.dict" ]] && args+=(-dict="fuzz/$name.dict")
  seeds=()
  [[ -d "fuzz/corpus/$name" ]] && seeds+=("fuzz/corpus/$name")
  echo "== $name: ${seconds}s"
  if ! "$build/${name}Fuzz" "${args[@]}" "$corpus" "${seeds[@]}"; then
    echo "== $name: FINDING, see $artifacts/" >&2
    failed+=("$name")
  fi
done

if ((${#failed[@]})); then
  echo "Findings in: ${failed[*]}" >&2
  exit 1
fi
echo "No findings in: ${names[*]}"
