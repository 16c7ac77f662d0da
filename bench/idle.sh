#!/usr/bin/env bash
# CPU of bwget while it has nothing to do, over SECONDS (default 60) of each state:
#   waiting  a torrent task whose only mirror refuses connections and whose tracker is unreachable
#   seeding  the same content complete, seeding with nobody to serve (--seed)
# BWGET_BEFORE (a path to another bwget) runs each state with it too, back to back, for a
# before-and-after table; BWGET names the bwget to measure instead of building one. Everything
# stays on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${SECONDS_IDLE:-60}
settle=5

bash scripts/deps.sh
if [[ -z ${BWGET:-} ]]; then
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release -j2 --target bwget
  BWGET=$PWD/build/release/bwget
fi
declare -A binaries=([after]=$BWGET)
order=(after)
if [[ -n ${BWGET_BEFORE:-} ]]; then
  binaries[before]=$BWGET_BEFORE
  order=(before after)
fi

work=$(mktemp -d)
cleanup() {
  bash scripts/mirrors.sh stop "$work/mirrors"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$work/www"
head -c $((4 << 20)) /dev/urandom >"$work/www/content.bin"
mktorrent -l 18 -a http://127.0.0.1:1/announce -o "$work/content.torrent" "$work/www/content.bin" >/dev/null
mapfile -t bases < <(bash scripts/mirrors.sh start "$work/mirrors" "$work/www" 1)
good=${bases[0]}/content.bin
# A port nobody listens on: taken and let go at once.
closed=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
refusing=http://127.0.0.1:$closed/content.bin

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# Runs bwget with the arguments, waits `settle` seconds (or for completion while seeding), then
# prints the CPU share of one core over the next `seconds`.
idle_cpu() {
  local label=$1 wait_for=$2
  shift 2
  local log=$work/$label.log
  "$@" >"$log" 2>&1 &
  local pid=$!
  if [[ $wait_for == complete ]]; then
    for _ in $(seq 600); do
      grep -q '"status":20206' "$log" 2>/dev/null && break
      sleep 0.1
    done
  fi
  sleep "$settle"
  local start end
  start=$(cpu_ticks "$pid")
  sleep "$seconds"
  end=$(cpu_ticks "$pid")
  kill -INT "$pid"
  wait "$pid" 2>/dev/null || true
  awk -v t=$((end - start)) -v hz="$ticks" -v s="$seconds" 'BEGIN { printf "%.3f", t / hz / s * 100 }'
}

declare -A results
for state in waiting seeding; do
  for which in "${order[@]}"; do
    bin=${binaries[$which]}
    rm -rf "$work/out" "$work/cache"
    mkdir -p "$work/out"
    export XDG_CACHE_HOME=$work/cache
    if [[ $state == waiting ]]; then
      results[$state.$which]=$(idle_cpu "$state.$which" settle "$bin" --lan-interface 127.0.0.1 --progress none -t "$work/content.torrent" \
        -o "$work/out/content.bin" "$refusing")
    else
      results[$state.$which]=$(idle_cpu "$state.$which" complete "$bin" --lan-interface 127.0.0.1 --progress json --seed $((seconds * 3)) \
        -t "$work/content.torrent" -o "$work/out/content.bin" "$good")
    fi
    echo "  $state with $which: ${results[$state.$which]} % of a core"
  done
done

echo
echo "CPU of an idle bwget over $seconds s (load average at the end: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores)"
printf "%-10s" "state"
for which in "${order[@]}"; do printf " %14s" "$which % core"; done
echo
for state in waiting seeding; do
  printf "%-10s" "$state"
  for which in "${order[@]}"; do printf " %14s" "${results[$state.$which]}"; done
  echo
done
