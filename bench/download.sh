#!/usr/bin/env bash
# Times whole downloads of a 1 GiB content from four local nginx mirrors: bwget with the torrent
# (every piece checked with SHA-1) against other tools, which check nothing. Each gets a warm-up
# run and RUNS timed runs (default 5); the table gives the means of wall time, CPU time and peak
# memory and the ratios. Everything stays on 127.0.0.1. The mode (first argument):
#   plain    (default) aria2c with the same mirrors and connections, curl from one mirror; then
#            bwget runs for 20 seconds under --limit 500 and its rate is set against the limit
#   https    the same over TLS, with a test authority made for the run
#   limited  every connection held to 4 MiB/s by the mirrors, each on an address of its own (aria2c
#            counts its connections by host), against aria2c -x4 -s16
# BENCH_MIB changes the size of the content (for a quick try); BWGET_BEFORE names another build of
# bwget that runs beside it as "before".
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-plain}
case $mode in plain | https | limited) ;; *) echo "usage: $0 [plain|https|limited]" >&2; exit 1 ;; esac
runs=${RUNS:-5}
size_mib=${BENCH_MIB:-1024}
limit_kib=500
limit_seconds=20

bash scripts/deps.sh
bash bench/reference-tools.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)" --target bwget
# BWGET names another build of bwget (a before/after comparison).
bwget=${BWGET:-$PWD/build/release/bwget}

data=$PWD/build/bench-data
content=$data/www/content.bin
torrent=$data/content.torrent
if [[ ! -f $torrent || $(stat -c %s "$content" 2>/dev/null || echo 0) != $((size_mib << 20)) ]]; then
  echo "making a content of $size_mib MiB and its torrent (kept in $data)"
  mkdir -p "$data/www"
  rm -f "$torrent"
  head -c "$((size_mib << 20))" /dev/urandom >"$content"
  mktorrent -l 20 -a http://127.0.0.1:1/announce -o "$torrent" "$content" >/dev/null
fi

work=$(mktemp -d "$data/run.XXXXXX")
out=$work/out
source scripts/stop-on-exit.sh
source bench/ratio-table.sh

tools=(bwget aria2c curl)
split=(-x4 -s4)
trust_bwget=() trust_aria2c=() trust_curl=()
title="$size_mib MiB from 4 local nginx mirrors (curl: 1)"
case $mode in
  https)
    bash scripts/mirrors.sh certify "$work/tls"
    export TLS_FOLDER=$work/tls
    trust_bwget=(--ca-file "$work/tls/ca.pem") trust_aria2c=(--ca-certificate="$work/tls/ca.pem")
    trust_curl=(--cacert "$work/tls/ca.pem")
    title="$size_mib MiB from 4 local nginx mirrors over HTTPS (curl: 1)"
    ;;
  limited)
    export LIMIT_RATE=4m SPREAD=1
    tools=(bwget aria2c)
    split=(-x4 -s16)
    title="$size_mib MiB from 4 local nginx mirrors at 4 MiB/s a connection (aria2c ${split[*]})"
    ;;
esac

mapfile -t bases < <(bash scripts/mirrors.sh start "$work/mirrors" "$data/www" 4)
((${#bases[@]} == 4)) || { echo "the mirrors did not start" >&2; exit 1; }
urls=("${bases[@]/%//content.bin}")

# --no-p2p: no listener and no LAN discovery; the download is the same P2SP task from the mirrors.
cmd_bwget=("$bwget" --no-p2p --progress none --timeout 60 "${trust_bwget[@]}" -t "$torrent" -o "$out/bwget.bin"
  "${urls[@]}")
cmd_aria2c=(aria2c "${split[@]}" "${trust_aria2c[@]}" --check-integrity=false --allow-overwrite=true
  --file-allocation=none --console-log-level=error --summary-interval=0 --download-result=hide -q -d "$out"
  -o aria2c.bin "${urls[@]}")
cmd_curl=(curl -s "${trust_curl[@]}" -o "$out/curl.bin" "${urls[0]}")
if [[ -n ${BWGET_BEFORE:-} ]]; then
  cmd_before=("$BWGET_BEFORE" "${cmd_bwget[@]:1}")
  cmd_before[${#cmd_before[@]} - ${#urls[@]} - 1]=$out/before.bin
  tools=(bwget before "${tools[@]:1}")
fi

# One run of a tool: appends "wall user sys peakKiB ok|failed" to $work/<tool>.
measure() {
  local tool=$1 stats=$work/time.txt status=ok
  local -n cmd=cmd_$tool
  rm -rf "$out"
  mkdir -p "$out"
  /usr/bin/time -f "%e %U %S %M" -o "$stats" "${cmd[@]}" >/dev/null 2>"$work/$tool.err" || status=failed
  echo "$(tail -n 1 "$stats") $status" >>"$work/$tool"
}

for tool in "${tools[@]}"; do
  echo "warming up $tool"
  measure "$tool"
  if ! cmp -s "$content" "$out/$tool.bin"; then
    echo "  $tool did not deliver the content: $(head -c 300 "$work/$tool.err")" >&2
  fi
  : >"$work/$tool"
done
# Round by round: a busy spell of the machine falls on every tool alike.
for ((i = 1; i <= runs; i++)); do
  for tool in "${tools[@]}"; do
    measure "$tool"
    echo "  $tool run $i: $(tail -n 1 "$work/$tool")"
  done
done
rm -rf "$out"

echo
echo "$title, mean of $runs runs after a warm-up"
echo "(load average: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores)"
ratio_table "$size_mib" "${tools[@]/#/$work/}"
[[ $mode == plain ]] || exit 0

echo
echo "bwget --limit $limit_kib for $limit_seconds s"
mkdir -p "$out"
timeout --signal=INT "$limit_seconds" "$bwget" --no-p2p --progress json --limit "$limit_kib" \
  -t "$torrent" -o "$out/limited.bin" "${urls[@]}" >"$work/limited.json" 2>"$work/limited.err" || true
# One object a second: the rate over the whole run and, leaving out the start, over the rest.
awk -v limit="$limit_kib" -v seconds="$limit_seconds" '
  { match($0, /"httpBytes":[0-9]+/); bytes[++n] = substr($0, RSTART + 12, RLENGTH - 12) }
  END {
    if (n == 0) { print "  no progress was reported"; exit }
    whole = bytes[n] / 1024 / seconds
    printf "  whole run: %.0f KiB/s (%.0f%% of the limit)\n", whole, whole * 100 / limit
    if (n > 7) {
      steady = (bytes[n] - bytes[6]) / 1024 / (seconds - 5)
      printf "  from second 5 on: %.0f KiB/s (%.0f%% of the limit)\n", steady, steady * 100 / limit
    }
  }' "$work/limited.json"
