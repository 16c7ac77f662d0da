#!/usr/bin/env bash
# Times a BitTorrent download of a 256 MiB content between two bwget engines on loopback, in a
# network namespace of its own: over TCP, then over the UDP stream transport (TCP to the seeder
# refused by nftables, the engines meeting through bwrendezvous) without loss and with 1 % loss
# added by netem. Each case runs RUNS times (default 1) back to back; the table gives the mean
# download rate (from the leecher's start, connection set-up included) and the CPU seconds of
# both engines. BENCH_MIB changes the size, LOSS the lossy cases (default "0 1", in %).
# BWGET_BEFORE names another bwget binary (an earlier build) whose UDP cases run beside as "before".
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-1}
size_mib=${BENCH_MIB:-256}
losses=${LOSS:-0 1}

if [[ -z ${BW_UDP_BENCH_INSIDE:-} ]]; then
  bash scripts/deps.sh
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release -j2 --target bwget bwrendezvous
  data=$PWD/build/bench-udp-data
  content=$data/content.bin
  if [[ $(stat -c %s "$content" 2>/dev/null || echo 0) != $((size_mib << 20)) ]]; then
    echo "making a content of $size_mib MiB (kept in $data)"
    mkdir -p "$data"
    head -c "$((size_mib << 20))" /dev/urandom >"$content"
    rm -f "$data/content.torrent"
  fi
  [[ -f $data/content.torrent ]] || mktorrent -l 18 -a http://127.0.0.1:9/announce -o "$data/content.torrent" "$content" >/dev/null
  user_ns=()
  ((EUID == 0)) || user_ns=(--user --map-root-user)
  exec unshare "${user_ns[@]}" --net env BW_UDP_BENCH_INSIDE="$data" RUNS="$runs" BENCH_MIB="$size_mib" \
    LOSS="$losses" BWGET_BEFORE="${BWGET_BEFORE:-}" bash "$0"
fi

data=$BW_UDP_BENCH_INSIDE
bwget=$PWD/build/release/bwget
rendezvous=$PWD/build/release/bwrendezvous
work=$(mktemp -d "$PWD/build/bench-udp.XXXXXX")
load=$(cut -d' ' -f1-3 /proc/loadavg)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
ip link set lo up

cpu_seconds() {  # utime + stime of a live process
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / hz }' "/proc/$1/stat"
}

# The rendezvous server of one run: it finds an engine known only by address among those it
# registered at that address, so the engines of earlier runs must not be there.
start_rendezvous() {
  "$rendezvous" --address 127.0.0.1 --port 0 >"$work/rendezvous-$1.log" 2>&1 &
  rendezvous_pid=$!
  for ((i = 0; i < 100; i++)); do
    grep -q 'listening on' "$work/rendezvous-$1.log" 2>/dev/null && break
    sleep 0.1
  done
  rendezvous_port=$(sed -n 's/.*listening on.*:\([0-9]*\).*/\1/p' "$work/rendezvous-$1.log" | head -1)
  [[ -n $rendezvous_port ]] || { echo "bwrendezvous did not start" >&2; exit 1; }
}

# run TRANSPORT LOSS N BINARY: one download; prints "seconds-to-first-byte seconds-of-transfer cpu-seconds".
run() {
  local transport=$1 loss=$2 n=$3 bwget=$4
  start_rendezvous "$n"
  local seed_port=$((20000 + n * 10)) leech_port=$((20001 + n * 10))
  nft flush ruleset
  nft add table inet bench
  nft add chain inet bench out '{ type filter hook output priority 0; }'
  nft add chain inet bench in '{ type filter hook input priority 0; }'
  if [[ $transport == udp ]]; then nft add rule inet bench out tcp dport "$seed_port" reject with tcp reset; fi
  tc qdisc del dev lo root 2>/dev/null || true
  # netem where the kernel has it, else nftables drops datagrams at random (on the way in: a
  # drop on the way out fails the sender's send, which a lossy link does not).
  if [[ $loss != 0 ]] && ! tc qdisc add dev lo root netem loss "$loss%" 2>/dev/null; then
    nft add rule inet bench in meta l4proto udp numgen random mod 1000 "<" "$(awk -v l="$loss" 'BEGIN { print l * 10 }')" drop
  fi
  local common=(--lan-interface 127.0.0.1 --no-lan --rendezvous "127.0.0.1:$rendezvous_port")
  mkdir -p "$work/seed-$n" "$work/leech-$n"
  ln -sf "$data/content.bin" "$work/seed-$n/content.bin"
  XDG_CACHE_HOME=$work/cache-seed-$n "$bwget" "${common[@]}" --listen-port "$seed_port" --udp-port $((30000 + n * 10)) \
    -t "$data/content.torrent" -o "$work/seed-$n/content.bin" --seed 3600 --progress none >"$work/seed-$n.log" 2>&1 &
  local seeder=$!
  pids+=("$seeder")
  # The seeder checks its copy before it serves: the clock starts once it listens on both ports.
  for ((i = 0; i < 600; i++)); do
    ss -Hltn "sport = :$seed_port" | grep -q . && ss -Hlun "sport = :$((30000 + n * 10))" | grep -q . && break
    sleep 0.1
  done
  sleep 2
  local start end
  start=$(date +%s.%N)
  XDG_CACHE_HOME=$work/cache-leech-$n "$bwget" "${common[@]}" --listen-port "$leech_port" --udp-port $((30001 + n * 10)) \
    -t "$data/content.torrent" -o "$work/leech-$n/content.bin" --timeout 120 --progress json "btnode://127.0.0.1:$seed_port" \
    >"$work/leech-$n.log" 2>&1 &
  local leecher=$!
  local leecher_cpu=0 first=
  while kill -0 "$leecher" 2>/dev/null; do
    leecher_cpu=$(cpu_seconds "$leecher" 2>/dev/null || echo "$leecher_cpu")
    # The UDP transport is tried on every third dial: the set-up is timed apart from the transfer.
    if [[ -z $first ]] && grep -q '"p2pBytes":[1-9]' "$work/leech-$n.log" 2>/dev/null; then first=$(date +%s.%N); fi
    sleep 0.2
  done
  end=$(date +%s.%N)
  local status=0
  wait "$leecher" || status=$?
  local seeder_cpu
  seeder_cpu=$(cpu_seconds "$seeder")
  kill "$seeder"
  wait "$seeder" 2>/dev/null || true
  tc qdisc del dev lo root 2>/dev/null || true
  if ((status != 0)) || ! cmp -s "$data/content.bin" "$work/leech-$n/content.bin"; then
    echo "$transport with $loss % loss: the download failed (status $status)" >&2
    tail -5 "$work/leech-$n.log" >&2
    echo "nan nan nan"
  else
    awk -v s="$start" -v f="${first:-$start}" -v e="$end" -v a="$leecher_cpu" -v b="$seeder_cpu" \
      'BEGIN { printf "%.2f %.2f %.2f\n", f - s, e - f, a + b }'
  fi
  rm -rf "$work/leech-$n" "$work/cache-seed-$n" "$work/cache-leech-$n"
  kill "$rendezvous_pid"
  wait "$rendezvous_pid" 2>/dev/null || true
}

cases=("tcp 0 bwget")
for loss in $losses; do
  cases+=("udp $loss bwget")
  [[ -n $BWGET_BEFORE ]] && cases+=("udp $loss before")
done
results=()
n=0
for c in "${cases[@]}"; do
  read -r transport loss build <<<"$c"
  binary=$bwget
  [[ $build == before ]] && binary=$BWGET_BEFORE
  sums="0 0 0"
  for ((r = 0; r < runs; r++)); do
    n=$((n + 1))
    sums=$(run "$transport" "$loss" "$n" "$binary" | awk -v sums="$sums" '{ split(sums, a, " "); print a[1] + $1, a[2] + $2, a[3] + $3 }')
  done
  results+=("$transport $loss $build $sums")
done

echo
echo "$size_mib MiB, $runs run(s) each; load (1, 5, 15 min) at the start: $load, at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-10s %5s %-7s %11s %12s %8s %12s\n' transport loss build "set-up s" "transfer s" MB/s "CPU seconds"
for r in "${results[@]}"; do
  read -r transport loss build setup transfer cpu <<<"$r"
  awk -v t="$transport" -v l="$loss" -v b="$build" -v u="$setup" -v s="$transfer" -v c="$cpu" -v n="$runs" -v mib="$size_mib" \
    'BEGIN { u /= n; s /= n; c /= n; printf "%-10s %4s%% %-7s %11.1f %12.1f %8.1f %12.1f\n", t, l, b, u, s, (s > 0 ? mib * 1.048576 / s : 0), c }'
done
