#!/usr/bin/env bash
# The main job on its built-in demo: builds bwget, makes a content of DEMO_MIB MiB (default 256)
# and its torrent, serves it from three local nginx mirrors and downloads it as a P2SP task
# (torrent plus the three mirrors, every piece checked with SHA-1), then compares the result with
# the original and shows what each mirror delivered. Everything stays on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${DEMO_MIB:-256}

bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)" --target bwget

work=$(mktemp -d /tmp/bwget-demo.XXXXXX)
cleanup() {
  bash scripts/mirrors.sh stop "$work/mirrors"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== making a content of $mib MiB and its torrent"
mkdir -p "$work/www"
head -c "$((mib * 1024 * 1024))" /dev/urandom >"$work/www/demo.bin"
mktorrent -l 20 -a http://127.0.0.1:1/announce -o "$work/demo.torrent" "$work/www/demo.bin" >/dev/null

echo "== starting three nginx mirrors"
mapfile -t mirrors < <(bash scripts/mirrors.sh start "$work/mirrors" "$work/www" 3)
((${#mirrors[@]} == 3)) || { echo "the mirrors did not start" >&2; exit 1; }
printf '   %s/demo.bin\n' "${mirrors[@]}"

echo "== bwget: torrent plus three mirrors"
# --no-p2p: no listener and no LAN discovery, so nothing leaves this machine.
build/release/bwget --no-p2p --timeout 60 -t "$work/demo.torrent" -o "$work/download/demo.bin" \
  "${mirrors[@]/%//demo.bin}"

echo "== checking the result"
cmp "$work/www/demo.bin" "$work/download/demo.bin"
echo "   identical to the original ($mib MiB)"

echo "== what each mirror delivered"
bash scripts/mirrors.sh delivered "$work/mirrors" | sed 's/^/   /'
