#!/usr/bin/env bash
# The downloader at the package's real size: five files of 8 MB, three of 1.9 GB and 369 MB
# (6.2 GB in all, sparse files: nginx serves their zeros from the page cache) from four local nginx
# mirrors, the first as the package's download server and the other three named by the resource
# list, and from a python3-libtorrent seeder that the package's torrents find through a local
# opentracker. bwconsole fetches them with every piece checked, then aria2c (-x4 -s4, no checksum)
# fetches the same five files from the same mirrors. One run of each: wall time, CPU time, peak
# memory and the ratios, and what the seeder uploaded. The package is built by bwpack for the
# mirrors' and the tracker's ports; nothing is committed.
# SCALE_DIVISOR shrinks every file by that factor (for a quick try).
set -euo pipefail
cd "$(dirname "$0")/.."
divisor=${SCALE_DIVISOR:-1}
names=(Inst.exe tnw001.cab tnw002.cab tnw003.cab tnw004.cab)
sizes=(8299520 1932735283 1932735283 1932735283 368826489)
folder=/client/client0223/

bash scripts/deps.sh >/dev/null
bash bench/reference-tools.sh
command -v opentracker >/dev/null || {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends opentracker
}
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)" --target bwconsole bwpack >/dev/null
build=$PWD/build/release
python=/usr/bin/python3

work=$(mktemp -d "${TMPDIR:-/tmp}/bw-scale.XXXXXX")
pids=()
stop_swarm() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
cleanup() {
  stop_swarm
  bash scripts/mirrors.sh stop "$work/mirrors" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

total=0
mkdir -p "$work/www$folder" "$work/www/downloader"
for i in "${!names[@]}"; do
  size=$((sizes[i] / divisor))
  truncate -s "$size" "$work/www$folder${names[i]}"
  # Its name up front: files of equal size and content would make one torrent.
  printf '%s' "${names[i]}" | dd of="$work/www$folder${names[i]}" conv=notrunc status=none
  total=$((total + size))
done

mapfile -t bases < <(bash scripts/mirrors.sh start "$work/mirrors" "$work/www" 4)
((${#bases[@]} == 4)) || { echo "the mirrors did not start" >&2; exit 1; }

# P2P on; each file from mirrors 2-4 besides the download server.
list="<project><configs><p2p-switch>on</p2p-switch></configs><resources>"
for i in "${!names[@]}"; do
  list+="<resource id=\"$i\" task=\"${bases[0]}$folder${names[i]}\">"
  for m in 1 2 3; do
    list+="<cdn id=\"$m\" name=\"m$m\" middle-dir=\"$folder\" file-name=\"${names[i]}\" host-name=\"127.0.0.1\""
    list+=" open=\"1\"><ip>${bases[m]#http://}</ip></cdn>"
  done
  list+="</resource>"
done
echo "$list</resources></project>" >"$work/www/downloader/list.xml"

tracker_port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
echo "building the package ($((total >> 20)) MiB: MD5 digests and torrents)"
"$build/bwpack" build "$work/www$folder" --base "${bases[0]}$folder" --resource-list "${bases[0]}/downloader/list.xml" \
  --tracker "http://127.0.0.1:$tracker_port/announce" --stats http://127.0.0.1:1 -o "$work/package.bwpkg" >/dev/null

# The package's torrents follow its five rows (magic, rows of two slots, size and digest, the
# resource-list slot), each as a 32-bit little-endian length and the bytes.
mkdir -p "$work/torrents" "$work/tracker"
"$python" - "$work/package.bwpkg" "$work/torrents" "${names[@]}" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
at = 11 + 5 * (4096 * 2 + 8 + 32) + 4096
for name in sys.argv[3:]:
    n = int.from_bytes(data[at:at + 4], "little")
    open(sys.argv[2] + "/" + name + ".torrent", "wb").write(data[at + 4:at + 4 + n])
    at += 4 + n
PY
torrents=("${names[@]/#/$work/torrents/}")
torrents=("${torrents[@]/%/.torrent}")
# As root opentracker changes into its folder and drops to "nobody": the list is named from there
# and read once it listens, so announces wait until it names the torrents.
"$python" -c 'import sys, libtorrent as lt
for t in sys.argv[1:]: print(lt.torrent_info(t).info_hash())' "${torrents[@]}" >"$work/tracker/whitelist.txt"
chmod 755 "$work/tracker"
chmod 644 "$work/tracker/whitelist.txt"
opentracker -i 127.0.0.1 -p "$tracker_port" -P "$tracker_port" -d "$work/tracker" -u nobody -w whitelist.txt \
  >"$work/tracker.log" 2>&1 &
pids+=($!)
escaped=$(head -n 1 "$work/tracker/whitelist.txt" | sed 's/../%&/g')
for ((i = 0; i < 100; i++)); do
  reply=$(curl -s "http://127.0.0.1:$tracker_port/announce?info_hash=$escaped&peer_id=bench-probe-00000000&port=1&left=0&event=stopped" || true)
  [[ -n $reply && $reply != *"not authorized"* ]] && break
  sleep 0.1
done
echo "seeder checking the files"
"$python" tests/integration/tracker_seeder.py "${torrents[@]}" "$work/www$folder" >"$work/seeder.log" 2>&1 &
pids+=($!)
for ((i = 0; i < 6000; i++)); do
  (($(grep -c '^announced' "$work/seeder.log") >= 5)) && break
  sleep 0.1
done
(($(grep -c '^announced' "$work/seeder.log") >= 5)) || { echo "the seeder did not announce: $(tail "$work/seeder.log")" >&2; exit 1; }

# One run of a tool: "wall user sys peakKiB ok|failed" in $work/<tool>.
measure() {  # tool command...
  local tool=$1 status=ok
  shift
  rm -rf "$work/out"
  mkdir -p "$work/out"
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >"$work/$tool.log" 2>&1 || status=failed
  for i in "${!names[@]}"; do
    cmp -s "$work/www$folder${names[i]}" "$work/out/${names[i]}" || status=failed
  done
  echo "$(tail -n 1 "$work/time.txt") $status" >"$work/$tool"
  echo "  $tool: $(cat "$work/$tool")"
}

echo "bwconsole"
XDG_DATA_HOME=$work/data HOME=$work/home measure bwconsole "$build/bwconsole" --package "$work/package.bwpkg" \
  --folder "$work/out" --lan-interface 127.0.0.1 --start --exit-when-finished --linger 0
uploaded=$(awk '/^uploaded / { n = $2 } END { print n + 0 }' "$work/seeder.log")
echo "  the seeder uploaded $((uploaded >> 20)) MiB"
stop_swarm

echo "aria2c"
for i in "${!names[@]}"; do
  printf '%s' "${bases[0]}$folder${names[i]}"
  for m in 1 2 3; do printf '\t%s' "${bases[m]}$folder${names[i]}"; done
  printf '\n  out=%s\n' "${names[i]}"
done >"$work/aria2c.input"
measure aria2c aria2c -x4 -s4 -j5 --check-integrity=false --allow-overwrite=true --file-allocation=none \
  --console-log-level=error --summary-interval=0 --download-result=hide -q -d "$work/out" -i "$work/aria2c.input"
rm -rf "$work/out"

echo
echo "$((total >> 20)) MiB in five files from 4 local nginx mirrors (bwconsole also from a seeder that sent" \
  "$((uploaded >> 20)) MiB), one run each (load: $(cut -d' ' -f1-3 /proc/loadavg))"
awk -v size="$((total >> 20))" '
  function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "-" }
  { t = FILENAME; sub(/.*\//, "", t); order[++n] = t; wall[t] = $1; cpu[t] = $2 + $3; rss[t] = $4 / 1024; ok[t] = $5 }
  END {
    printf "%-17s %8s %8s %8s %14s %7s\n", "", "wall s", "CPU s", "MiB/s", "peak RSS MiB", "result"
    for (i = 1; i <= n; i++) {
      t = order[i]
      printf "%-17s %8.2f %8.2f %8.1f %14.1f %7s\n", t, wall[t], cpu[t], (wall[t] > 0 ? size / wall[t] : 0), rss[t], ok[t]
    }
    printf "%-17s %8s %8s %8s %14s\n", "bwconsole/aria2c", ratio(wall["bwconsole"], wall["aria2c"]),
           ratio(cpu["bwconsole"], cpu["aria2c"]), "", ratio(rss["bwconsole"], rss["aria2c"])
  }' "$work/bwconsole" "$work/aria2c"
