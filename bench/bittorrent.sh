#!/usr/bin/env bash
# Times whole BitTorrent transfers of one content (1 GiB) over TCP on 127.0.0.1, in three scenarios:
#   seeder   one python3-libtorrent seeder; downloading from it: bwget (dialling it through a
#            btnode:// line), a python3-libtorrent leecher (dialling it) and aria2c (finding it
#            through a local opentracker).
#   upload   a python3-libtorrent leecher downloads from a seeding bwget (bwget --seed), then from
#            a python3-libtorrent seeder: the seeders are compared.
#   mirrors  the libtorrent seeder beside two nginx mirrors (20 MB/s a connection): bwget with the
#            mirrors as sources, aria2c with them as web seeds.
# Every tool of a scenario runs back to back, RUNS times each (default 3); the tables give the
# means of wall time, CPU time and peak memory and the ratios to bwget. In the upload table the
# time is the leecher's, from its start to its last byte, and CPU and memory are the seeder's
# (CPU counted over that time only, so that the check of the content at the start stays out).
# BENCH_MIB changes the size (e.g. 64 for a quick run); BENCH_SCENARIOS picks scenarios (default
# "seeder upload mirrors"); BWGET_BEFORE names another bwget binary (an earlier build) that runs
# beside it as "before".
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-3}
size_mib=${BENCH_MIB:-1024}
scenarios=${BENCH_SCENARIOS:-seeder upload mirrors}

bash scripts/deps.sh
bash bench/reference-tools.sh
command -v opentracker >/dev/null || {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends opentracker
}
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j 2 --target bwget
bwget=$PWD/build/release/bwget
python=/usr/bin/python3
peer_script=$PWD/tests/integration/libtorrent_peer.py

free_port() {
  "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

data=$PWD/build/bench-bt-data
work=$(mktemp -d "$PWD/build/bench-bt.XXXXXX")
source scripts/stop-on-exit.sh
source bench/ratio-table.sh

# The torrent names the tracker of this run, so it is made anew each time; the content is kept.
content=$data/www/content.bin
if [[ $(stat -c %s "$content" 2>/dev/null || echo 0) != $((size_mib << 20)) ]]; then
  echo "making a content of $size_mib MiB (kept in $data)"
  mkdir -p "$data/www"
  head -c "$((size_mib << 20))" /dev/urandom >"$content"
fi
tracker_port=$(free_port)
torrent=$work/content.torrent
mktorrent -l 18 -a "http://127.0.0.1:$tracker_port/announce" -o "$torrent" "$content" >/dev/null
# As root opentracker changes into its folder and drops to "nobody": the list is named from there
# and read once it listens, so announces wait until it names the torrent.
mkdir -p "$work/tracker"
info_hash=$("$python" -c 'import sys, libtorrent as lt; print(lt.torrent_info(sys.argv[1]).info_hash())' "$torrent")
echo "$info_hash" >"$work/tracker/whitelist.txt"
chmod 644 "$work/tracker/whitelist.txt"
opentracker -i 127.0.0.1 -p "$tracker_port" -P "$tracker_port" -d "$work/tracker" -u nobody -w whitelist.txt \
  >"$work/tracker.log" 2>&1 &
pids+=($!)
escaped=$(sed 's/../%&/g' <<<"$info_hash")
for ((i = 0; i < 100; i++)); do
  reply=$(curl -s "http://127.0.0.1:$tracker_port/announce?info_hash=$escaped&peer_id=bench-probe-00000000&port=1&left=0&event=stopped" || true)
  [[ -n $reply && $reply != *"not authorized"* ]] && break
  sleep 0.1
done

# The upload scenario's leechers dial their seeder and ask no tracker, which would name the other
# seeders too; the info hash is the same.
plain_torrent=$work/plain.torrent
mktorrent -l 18 -o "$plain_torrent" "$content" >/dev/null

# wait_for FILE PATTERN...: until every pattern is in FILE (five minutes at most: a seeding bwget
# checks the whole content first).
wait_for() {
  local file=$1 pattern
  shift
  for ((i = 0; i < 3000; i++)); do
    for pattern in "$@"; do grep -q "$pattern" "$file" 2>/dev/null || { sleep 0.1; continue 2; }; done
    return 0
  done
  return 1
}

"$python" "$peer_script" seed "$torrent" "$data/www" >"$work/seeder.log" 2>&1 &
seeder_pid=$!
pids+=($seeder_pid)
for ((i = 0; i < 600; i++)); do
  grep -q '^port ' "$work/seeder.log" && break
  sleep 0.1
done
seeder_port=$(awk '/^port / { print $2; exit }' "$work/seeder.log")
[[ -n $seeder_port ]] || { echo "the seeder did not start: $(cat "$work/seeder.log")" >&2; exit 1; }

if [[ $scenarios == *mirrors* ]]; then
  mapfile -t bases < <(LIMIT_RATE=20m bash scripts/mirrors.sh start "$work/mirrors" "$data/www" 2)
  ((${#bases[@]} == 2)) || { echo "the mirrors did not start" >&2; exit 1; }
  urls=("${bases[@]/%//content.bin}")
fi

out=$work/out
aria2_common=(--enable-dht=false --enable-dht6=false --enable-peer-exchange=false --bt-enable-lpd=false
  --interface=127.0.0.1 --seed-time=0 --allow-overwrite=true --file-allocation=none --console-log-level=error
  --summary-interval=0 --download-result=hide -q -d "$out")
cmd_seeder_bwget=("$bwget" --lan-interface 127.0.0.1 --progress none --timeout 60 -t "$torrent" -o "$out/content.bin"
  "btnode://127.0.0.1:$seeder_port")
cmd_seeder_aria2c=(aria2c "${aria2_common[@]}" --listen-port="$(free_port)" "$torrent")
cmd_seeder_libtorrent=("$python" "$peer_script" leech "$torrent" "$out" "$seeder_port")
cmd_mirrors_bwget=("${cmd_seeder_bwget[@]}" "${urls[@]}")
if [[ -n ${BWGET_BEFORE:-} ]]; then
  cmd_seeder_before=("$BWGET_BEFORE" "${cmd_seeder_bwget[@]:1}")
  cmd_mirrors_before=("$BWGET_BEFORE" "${cmd_mirrors_bwget[@]:1}")
fi
cmd_mirrors_aria2c=(aria2c "${aria2_common[@]}" --listen-port="$(free_port)" -T "$torrent" "${urls[@]}")

# One download: appends "wall user sys peakKiB ok|failed" to $work/<scenario>_<tool>.
measure() {
  local name=$1 stats=$work/time.txt status=ok
  local -n cmd=cmd_$name
  rm -rf "$out" "$work/cache"
  mkdir -p "$out"
  XDG_CACHE_HOME=$work/cache /usr/bin/time -f "%e %U %S %M" -o "$stats" timeout 600 "${cmd[@]}" \
    >"$work/$name.out" 2>&1 || status=failed
  cmp -s "$content" "$out/content.bin" || status=failed
  echo "$(tail -n 1 "$stats") $status" >>"$work/$name"
}

cpu_seconds() {  # user + system time of a running process
  awk -v hz="$(getconf CLK_TCK)" '{ sub(/.*\) /, ""); printf "%.2f", ($12 + $13) / hz }' "/proc/$1/stat"
}

# One upload: a libtorrent leecher downloads from the seeder SEEDER_PID on PORT; appends
# "leecher-wall seeder-cpu 0 seeder-peakKiB ok|failed" to FILE.
measure_upload() {
  local file=$1 pid=$2 port=$3 stats=$work/time.txt status=ok before after
  rm -rf "$out"
  mkdir -p "$out"
  before=$(cpu_seconds "$pid")
  /usr/bin/time -f "%e" -o "$stats" timeout 600 "$python" "$peer_script" leech "$plain_torrent" "$out" "$port" \
    >"$work/upload-leecher.out" 2>&1 || status=failed
  after=$(cpu_seconds "$pid")
  cmp -s "$content" "$out/content.bin" || status=failed
  echo "$(tail -n 1 "$stats") $(awk -v a="$after" -v b="$before" 'BEGIN { print a - b }') 0" \
    "$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status") $status" >>"$file"
}

# A bwget that seeds a copy of the content (bwget opens its file for writing too), listening on a
# free port; sets started_pid and started_log.
start_seeding_bwget() {
  local binary=$1 name=$2 log=$work/seeding-$2.log
  mkdir -p "$work/seed-$name"
  cp "$content" "$work/seed-$name/content.bin"
  XDG_CACHE_HOME=$work/seed-$name/cache "$binary" --lan-interface 127.0.0.1 --no-lan --progress none --seed 36000 \
    --listen-port "$(free_port)" -t "$plain_torrent" -o "$work/seed-$name/content.bin" >"$log" 2>&1 &
  started_pid=$!
  started_log=$log
  pids+=("$started_pid")
}

report() {  # title, then the files of the tools, bwget first
  local title=$1
  shift
  echo
  echo "$title, mean of $runs runs (machine shared with other builds: see the load below)"
  ratio_table "$size_mib" "$@"
}

for scenario in $scenarios; do
  tools=(bwget)
  [[ -n ${BWGET_BEFORE:-} ]] && tools+=(before)
  case $scenario in
    seeder | mirrors)
      tools+=(aria2c)
      [[ $scenario == seeder ]] && tools+=(libtorrent)
      files=("${tools[@]/#/$work/${scenario}_}")
      for ((i = 1; i <= runs; i++)); do
        for tool in "${tools[@]}"; do
          measure "${scenario}_$tool"
          echo "  $scenario $tool run $i: $(tail -n 1 "$work/${scenario}_$tool")"
        done
      done
      ;;
    upload)
      tools+=(libtorrent)
      files=("${tools[@]/#/$work/${scenario}_}")
      declare -A seeding_pid=([libtorrent]=$seeder_pid) seeding_port=([libtorrent]=$seeder_port)
      # Each seeding bwget serves all its runs: the check of the content at its start is paid once.
      for tool in "${tools[@]}"; do
        [[ $tool == libtorrent ]] && continue
        binary=$bwget
        [[ $tool == before ]] && binary=$BWGET_BEFORE
        start_seeding_bwget "$binary" "$tool"
        wait_for "$started_log" seeding "accepting peers on port" ||
          { echo "bwget did not seed: $(cat "$started_log")" >&2; exit 1; }
        seeding_pid[$tool]=$started_pid
        seeding_port[$tool]=$(sed -n 's/.*accepting peers on port \([0-9]*\).*/\1/p' "$started_log" | tail -n 1)
      done
      for ((i = 1; i <= runs; i++)); do
        for tool in "${tools[@]}"; do
          measure_upload "$work/upload_$tool" "${seeding_pid[$tool]}" "${seeding_port[$tool]}"
          echo "  upload from $tool run $i: $(tail -n 1 "$work/upload_$tool")"
        done
      done
      for tool in "${tools[@]}"; do
        [[ $tool == libtorrent ]] || kill -INT "${seeding_pid[$tool]}"
      done
      ;;
    *) echo "unknown scenario $scenario" >&2; exit 1 ;;
  esac
  case $scenario in
    seeder) report "$size_mib MiB from one libtorrent seeder" "${files[@]}" ;;
    upload) report "$size_mib MiB to a libtorrent leecher from each seeder (time: the leecher's; CPU, memory: the seeder's)" "${files[@]}" ;;
    mirrors) report "$size_mib MiB from the seeder beside two nginx mirrors (20 MB/s a connection)" "${files[@]}" ;;
  esac
done
echo
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
