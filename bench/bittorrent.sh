#!/usr/bin/env bash
# Times whole downloads of a 256 MiB content from one local python3-libtorrent seeder: bwget
# dialling it through a btnode:// line, aria2c finding it through a local opentracker, and a
# python3-libtorrent leecher dialling it. Then the same seeder beside two nginx mirrors: bwget with
# the mirrors as sources, aria2c with them as web seeds. Every tool of a scenario runs back to
# back, RUNS times each (default 3); the table gives the means of wall time, CPU time and peak
# memory and the ratios to bwget. Everything stays on 127.0.0.1. BENCH_MIB changes the size;
# BWGET_BEFORE names another bwget binary (an earlier build) that runs beside it as "before".
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-3}
size_mib=${BENCH_MIB:-256}

bash scripts/deps.sh
bash bench/reference-tools.sh
command -v opentracker >/dev/null || {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends opentracker
}
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)" --target bwget
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

"$python" "$peer_script" seed "$torrent" "$data/www" >"$work/seeder.log" 2>&1 &
pids+=($!)
for ((i = 0; i < 600; i++)); do
  grep -q '^port ' "$work/seeder.log" && break
  sleep 0.1
done
seeder_port=$(awk '/^port / { print $2; exit }' "$work/seeder.log")
[[ -n $seeder_port ]] || { echo "the seeder did not start: $(cat "$work/seeder.log")" >&2; exit 1; }

mapfile -t bases < <(LIMIT_RATE=20m bash scripts/mirrors.sh start "$work/mirrors" "$data/www" 2)
((${#bases[@]} == 2)) || { echo "the mirrors did not start" >&2; exit 1; }
urls=("${bases[@]/%//content.bin}")

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

# One run: appends "wall user sys peakKiB ok|failed" to $work/<scenario>_<tool>.
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

report() {  # title, then the files of the tools, bwget first
  local title=$1
  shift
  echo
  echo "$title, mean of $runs runs (machine shared with other builds: see the load below)"
  ratio_table "$size_mib" "$@"
}

for scenario in seeder mirrors; do
  tools=(bwget)
  [[ -n ${BWGET_BEFORE:-} ]] && tools+=(before)
  tools+=(aria2c)
  [[ $scenario == seeder ]] && tools+=(libtorrent)
  for ((i = 1; i <= runs; i++)); do
    for tool in "${tools[@]}"; do
      measure "${scenario}_$tool"
      echo "  $scenario $tool run $i: $(tail -n 1 "$work/${scenario}_$tool")"
    done
  done
  files=("${tools[@]/#/$work/${scenario}_}")
  if [[ $scenario == seeder ]]; then
    report "$size_mib MiB from one libtorrent seeder" "${files[@]}"
  else
    report "$size_mib MiB from the seeder beside two nginx mirrors (20 MB/s a connection)" "${files[@]}"
  fi
done
echo
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
