#!/usr/bin/env bash
# What interruptions cost in data fetched again. A random content of REFETCH_MIB MiB (default 256)
# with its torrent is served by three local nginx mirrors at 1 MB/s per connection; bwget fetches
# it with the torrent and the three mirrors
#   1. stopped once with SIGINT (Ctrl-C) at a random moment, then run again to the end;
#   2. killed KILLS times (default 30) with SIGKILL, each run after a random 0.3-3 s, then run
#      again to the end.
# For each it prints what the mirrors sent against the content: 1.00x is nothing fetched twice.
# BWGET names another build of bwget to measure. Measures, asserts nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${REFETCH_MIB:-256}
kills=${KILLS:-30}

bash scripts/deps.sh >/dev/null
if [[ -z ${BWGET:-} ]]; then
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release -j2 --target bwget >/dev/null
  BWGET=$PWD/build/release/bwget
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/bw-refetch.XXXXXX")
cleanup() {
  local state
  for state in "$work"/mirrors-*; do bash scripts/mirrors.sh stop "$state" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$work/www"
head -c "$((size_mib << 20))" /dev/urandom >"$work/www/content.bin"
mktorrent -l 18 -a http://127.0.0.1:1/announce -o "$work/content.torrent" "$work/www/content.bin" >/dev/null
export XDG_CACHE_HOME=$work/cache

# Bytes the mirrors under STATE have sent so far; a request is logged once its connection closes.
sent() {
  sleep 1
  cat "$1"/mirror*/access.log 2>/dev/null | awk '{ bytes += $2 } END { print bytes + 0 }'
}

# Runs bwget in the background with the content's command; its pid in $pid.
start_bwget() {  # out urls...
  local out=$1
  shift
  "$BWGET" --no-p2p --progress none --timeout 60 -t "$work/content.torrent" -o "$out" "$@" \
    >>"$work/bwget.log" 2>&1 &
  pid=$!
}

# Random milliseconds in [from, to].
random_ms() { echo $(($1 + (RANDOM * 32768 + RANDOM) % ($2 - $1 + 1))); }

# One scenario: interrupts the download as asked, finishes it, prints the ratio.
scenario() {  # name signal count fromMs toMs
  local name=$1 signal=$2 count=$3 from=$4 to=$5 state=$work/mirrors-$1 out=$work/$1.bin i ms total
  local -a urls
  mapfile -t urls < <(LIMIT_RATE=1m bash scripts/mirrors.sh start "$state" "$work/www" 3)
  urls=("${urls[@]/%//content.bin}")
  for ((i = 0; i < count; i++)); do
    start_bwget "$out" "${urls[@]}"
    ms=$(random_ms "$from" "$to")
    sleep "$(printf '%d.%03d' $((ms / 1000)) $((ms % 1000)))"
    kill -"$signal" "$pid" 2>/dev/null || true
    { wait "$pid"; } 2>/dev/null || true
  done
  start_bwget "$out" "${urls[@]}"
  wait "$pid" || { echo "$name: the last run failed; see $work/bwget.log" >&2; tail "$work/bwget.log" >&2; exit 1; }
  cmp -s "$out" "$work/www/content.bin" || { echo "$name: the file differs from the content" >&2; exit 1; }
  total=$(sent "$state")
  bash scripts/mirrors.sh stop "$state"
  awk -v name="$name" -v sent="$total" -v size=$((size_mib << 20)) \
    'BEGIN { printf "%-22s mirrors sent %7.1f MiB for %d MiB: %.3fx\n", name, sent / 1048576, size / 1048576, sent / size }'
  rm -f "$out"*
}

echo "bwget: $BWGET; content $size_mib MiB; three mirrors at 1 MB/s"
scenario graceful-stop INT 1 5000 25000
scenario "$kills-kills" KILL "$kills" 300 3000
