#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite.
#   scripts/test.sh            Release build
#   scripts/test.sh --asan     AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/test.sh --tsan     ThreadSanitizer
# BW_WERROR=ON makes every warning an error (CI sets it).
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize="" build_dir=build/release build_type=Release
case "${1:-}" in
  "") ;;
  --asan) sanitize=address build_dir=build/asan build_type=Debug ;;
  --tsan) sanitize=thread build_dir=build/tsan build_type=Debug ;;
  *) echo "usage: $0 [--asan|--tsan]" >&2; exit 2 ;;
esac

bash scripts/deps.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" -DBW_SANITIZE="$sanitize" -DBW_WERROR="${BW_WERROR:-OFF}" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" ${sanitize:+-LE slow}
