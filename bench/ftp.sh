#!/usr/bin/env bash
# Times a download of a 1 GiB content from one local vsftpd and from two: bwget (an FTP task
# without torrent, so nothing is hashed) beside aria2c (no checksum either) with the same servers
# and one connection to each, one run of each. Prints wall time, CPU time and peak memory, and the
# ratios bwget/aria2c. Everything stays on 127.0.0.1; the servers are stopped by their pids.
# BENCH_MIB changes the size of the content (for a quick try).
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${BENCH_MIB:-1024}

bash scripts/deps.sh
need=()
command -v aria2c >/dev/null || need+=(aria2)
[[ -x /usr/bin/time ]] || need+=(time)
if ((${#need[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)" --target bwget
bwget=$PWD/build/release/bwget

# vsftpd reads as an unprivileged user: the folder must be open to others.
work=$(mktemp -d /tmp/bw-ftp-bench.XXXXXX)
chmod 755 "$work"
mkdir -p "$work/www" "$work/empty" "$work/out"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "making a content of $size_mib MiB"
head -c "$((size_mib << 20))" /dev/urandom >"$work/www/content.bin"

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Starts one vsftpd on a free port; its URL goes to $urls.
urls=()
start_vsftpd() {
  local n=$1 port
  port=$(free_port)
  cat >"$work/vsftpd$n.conf" <<EOF
listen=YES
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=YES
anon_root=$work/www
no_anon_password=YES
local_enable=NO
write_enable=NO
pasv_address=127.0.0.1
secure_chroot_dir=$work/empty
seccomp_sandbox=NO
max_per_ip=0
max_clients=0
EOF
  /usr/sbin/vsftpd "$work/vsftpd$n.conf" >"$work/vsftpd$n.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      urls+=("ftp://127.0.0.1:$port/content.bin")
      return
    fi
    sleep 0.05
  done
  echo "vsftpd did not start: $(cat "$work/vsftpd$n.log")" >&2
  exit 1
}

# One run: appends "setup tool wall user sys peakKiB ok|failed" to $work/results.
measure() {
  local setup=$1 tool=$2 status=ok
  shift 2
  rm -f "$work/out/"*
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >/dev/null 2>"$work/$tool.err" || status=failed
  cmp -s "$work/www/content.bin" "$work/out/$tool.bin" || status=failed
  [[ $status == ok ]] || echo "  $tool failed: $(head -c 300 "$work/$tool.err")" >&2
  echo "$setup $tool $(tail -n 1 "$work/time.txt") $status" >>"$work/results"
  echo "  $setup $tool: $(tail -n 1 "$work/results" | cut -d' ' -f3-)"
}

: >"$work/results"
for servers in 1 2; do
  start_vsftpd "$servers"
  echo "from $servers server(s)"
  # --no-p2p: no listener and no LAN discovery.
  measure "$servers" bwget "$bwget" --no-p2p --progress none --timeout 60 -o "$work/out/bwget.bin" "${urls[@]}"
  measure "$servers" aria2c aria2c -x1 -s"$servers" --file-allocation=none --allow-overwrite=true \
    --console-log-level=error --summary-interval=0 --download-result=hide -q -d "$work/out" -o aria2c.bin \
    "${urls[@]}"
done

echo
echo "$size_mib MiB from local vsftpd servers, one connection to each, one run"
awk -v size="$size_mib" '
  function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "-" }
  {
    key = $1 " " $2
    wall[key] = $3; cpu[key] = $4 + $5; rss[key] = $6 / 1024; ok[key] = $7
    if (!($1 in seen)) { seen[$1] = 1; order[++setups] = $1 }
  }
  END {
    printf "%-10s %-13s %8s %8s %8s %14s %7s\n", "servers", "", "wall s", "CPU s", "MiB/s", "peak RSS MiB", ""
    for (i = 1; i <= setups; i++) {
      s = order[i]
      split("bwget aria2c", tools, " ")
      for (j = 1; j <= 2; j++) {
        k = s " " tools[j]
        printf "%-10s %-13s %8.2f %8.2f %8.1f %14.1f %7s\n", s, tools[j], wall[k], cpu[k],
               (wall[k] > 0 ? size / wall[k] : 0), rss[k], ok[k]
      }
      b = s " bwget"; a = s " aria2c"
      printf "%-10s %-13s %8s %8s %8s %14s\n", s, "bwget/aria2c", ratio(wall[b], wall[a]), ratio(cpu[b], cpu[a]),
             "", ratio(rss[b], rss[a])
    }
  }' "$work/results"
