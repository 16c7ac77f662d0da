#!/usr/bin/env bash
# Times a BitTorrent download of a 256 MiB content between two bwget engines on loopback, in a
# network namespace of its own: over TCP, then over the UDP stream transport (TCP to the seeder
# refused by nftables, the engines meeting through bwrendezvous) without loss and with 1 % loss
# added by netem. Each case runs RUNS times (default 1) back to back; the table gives the mean
# set-up time (from the leecher's start to its first piece on disk), the transfer time and rate
# (from the first piece on disk to the last, taken from the leecher's own write count every few
# ms, so neither the tool's polling nor its exit counts) and the CPU seconds of both engines.
# BENCH_MIB changes the size, LOSS the lossy cases (default "0 1", in %).
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

hz=$(getconf CLK_TCK)
piece_bytes=$((1 << 18))
size_bytes=$((size_mib << 20))
exec {tick}<> <(:)  # never readable: read -t on it sleeps without starting a process

# These two set a variable rather than print: a command substitution forks.
read_cpu_ticks() {  # ticks: utime + stime of a live process
  local f
  read -ra f <"/proc/$1/stat" || return 1
  ticks=$((f[13] + f[14]))
}

read_written() {  # written: the bytes a live process has written so far, mostly into the data file
  local key value
  while read -r key value; do
    [[ $key == wchar: ]] && { written=$value; return 0; }
  done <"/proc/$1/io"
  return 1
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

# run TRANSPORT LOSS N BINARY: one download; prints "set-up-seconds transfer-seconds MB/s cpu-seconds".
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
  local start
  start=$EPOCHREALTIME
  XDG_CACHE_HOME=$work/cache-leech-$n "$bwget" "${common[@]}" --listen-port "$leech_port" --udp-port $((30001 + n * 10)) \
    -t "$data/content.torrent" -o "$work/leech-$n/content.bin" --timeout 120 --progress none "btnode://127.0.0.1:$seed_port" \
    >"$work/leech-$n.log" 2>&1 &
  local leecher=$!
  # The UDP transport is tried on every third dial: the set-up is timed apart from the transfer,
  # which runs from the first piece written to the last. Nothing in this loop starts a process, so
  # the samples stay a few ms apart.
  local leecher_ticks=0 base= written= ticks= first= first_bytes=0 end= samples=0
  while kill -0 "$leecher" 2>/dev/null; do
    if read_written "$leecher" 2>/dev/null; then
      local now=$EPOCHREALTIME
      [[ -n $base ]] || base=$written
      if [[ -z $first ]] && ((written - base >= piece_bytes)); then first=$now first_bytes=$((written - base)); fi
      if [[ -z $end ]] && ((written - base >= size_bytes)); then end=$now; fi
    fi
    if ((samples++ % 50 == 0)) && read_cpu_ticks "$leecher" 2>/dev/null; then leecher_ticks=$ticks; fi
    read -t 0.003 -u "$tick" || true
  done
  local status=0
  wait "$leecher" || status=$?
  read_cpu_ticks "$seeder"
  local seeder_ticks=$ticks
  kill "$seeder"
  wait "$seeder" 2>/dev/null || true
  tc qdisc del dev lo root 2>/dev/null || true
  if ((status != 0)) || [[ -z $end ]] || ! cmp -s "$data/content.bin" "$work/leech-$n/content.bin"; then
    echo "$transport with $loss % loss: the download failed (status $status, last piece seen: ${end:-no})" >&2
    tail -5 "$work/leech-$n.log" >&2
    echo "nan nan nan nan"
  else
    awk -v s="$start" -v f="$first" -v e="$end" -v bytes=$((size_bytes - first_bytes)) \
      -v cpu=$((leecher_ticks + seeder_ticks)) -v hz="$hz" \
      'BEGIN { printf "%.3f %.3f %.1f %.2f\n", f - s, e - f, bytes / 1e6 / (e - f), cpu / hz }'
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
  sums="0 0 0 0"
  for ((r = 0; r < runs; r++)); do
    n=$((n + 1))
    sums=$(run "$transport" "$loss" "$n" "$binary" | awk -v sums="$sums" '{ split(sums, a, " "); print a[1] + $1, a[2] + $2, a[3] + $3, a[4] + $4 }')
  done
  results+=("$transport $loss $build $sums")
done

echo
echo "$size_mib MiB, $runs run(s) each; load (1, 5, 15 min) at the start: $load, at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-10s %5s %-7s %11s %12s %8s %12s\n' transport loss build "set-up s" "transfer s" MB/s "CPU seconds"
for r in "${results[@]}"; do
  read -r transport loss build setup transfer rate cpu <<<"$r"
  awk -v t="$transport" -v l="$loss" -v b="$build" -v u="$setup" -v s="$transfer" -v r="$rate" -v c="$cpu" -v n="$runs" \
    'BEGIN { printf "%-10s %4s%% %-7s %11.2f %12.3f %8.1f %12.1f\n", t, l, b, u / n, s / n, r / n, c / n }'
done
