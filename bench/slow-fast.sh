#!/usr/bin/env bash
# Times bwget on one content from a fast mirror alone (nginx limit_rate 20m) and from the same
# mirror beside a slow one (limit_rate 200k): a slow mirror should cost the download next to
# nothing. RUNS timed runs of each (default 5) after a warm-up; prints the mean wall times and
# their ratio. BENCH_MIB sets the size of the content (default 64), PIECE_LOG its piece size
# (default 18: 256 KiB). Everything stays on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-5}
size_mib=${BENCH_MIB:-64}
piece_log=${PIECE_LOG:-18}

bash scripts/deps.sh
[[ -x /usr/bin/time ]] || { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends time; }
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j 2 --target bwget
bwget=$PWD/build/release/bwget

work=$(mktemp -d /tmp/bw-slow-fast.XXXXXX)
cleanup() {
  bash scripts/mirrors.sh stop "$work/fast"
  bash scripts/mirrors.sh stop "$work/slow"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$work/www"
head -c "$((size_mib << 20))" /dev/urandom >"$work/www/content.bin"
mktorrent -l "$piece_log" -a http://127.0.0.1:1/announce -o "$work/content.torrent" "$work/www/content.bin" >/dev/null
fast=$(LIMIT_RATE=20m bash scripts/mirrors.sh start "$work/fast" "$work/www" 1)/content.bin
slow=$(LIMIT_RATE=200k bash scripts/mirrors.sh start "$work/slow" "$work/www" 1)/content.bin
export XDG_CACHE_HOME=$work/cache

# One run: prints its wall time in seconds; a run that fails or delivers other bytes says so.
run() {
  rm -rf "$work/out"
  /usr/bin/time -f "%e" -o "$work/time.txt" "$bwget" --no-p2p --progress none --timeout 60 \
    -t "$work/content.torrent" -o "$work/out/content.bin" "$@" >/dev/null 2>"$work/bwget.err" ||
    echo "  bwget failed: $(tail -n 2 "$work/bwget.err")" >&2
  cmp -s "$work/www/content.bin" "$work/out/content.bin" || echo "  the file differs" >&2
  cat "$work/time.txt"
}

declare -A total
for setup in fast slow+fast; do
  sources=("$fast")
  [[ $setup == slow+fast ]] && sources=("$slow" "$fast")
  run "${sources[@]}" >/dev/null
  total[$setup]=0
  for ((i = 1; i <= runs; i++)); do
    t=$(run "${sources[@]}")
    echo "$setup run $i: $t s"
    total[$setup]=$(awk -v a="${total[$setup]}" -v b="$t" 'BEGIN { print a + b }')
  done
done

echo
echo "$size_mib MiB, pieces of $((1 << piece_log >> 10)) KiB, mean of $runs runs after a warm-up"
awk -v f="${total[fast]}" -v s="${total[slow+fast]}" -v n="$runs" 'BEGIN {
  printf "fast mirror alone (20 MB/s):       %6.2f s\n", f / n
  printf "slow (200 KB/s) beside the fast:   %6.2f s\n", s / n
  printf "ratio slow+fast / fast:            %6.2f\n", s / f
}'
