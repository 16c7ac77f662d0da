#!/usr/bin/env bash
# The downloader's window on its built-in demo package: builds it, serves the package from two
# local nginx mirrors (the download server and a mirror named by the resource list, each
# connection held to LIMIT_RATE so that the download can be watched), starts a statistics
# collector, and runs the window (under Xvfb when there is no display) with the start button
# pressed. It saves the window as PNG while it downloads and once every file is there, then presses
# the install button: the window checks the files and starts the package's installer, here a
# stand-in script that only notes that it ran. It shows what the mirrors and the collector received.
# Everything stays on 127.0.0.1. The tasks take up the list's mirror when they next gather their
# sources, 15 s after they start: LIMIT_RATE keeps the download running past that.
set -euo pipefail
cd "$(dirname "$0")/.."
export LIMIT_RATE=${LIMIT_RATE:-50k}
timeout_seconds=${WINDOW_TIMEOUT:-300}
shots=${SCREENSHOTS:-$PWD/build/screenshots}
build=build/release

bash scripts/deps.sh
cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build $build -j "$(nproc)" --target brightwillow bwpack bw_demo_package

work=$(mktemp -d /tmp/bw-window.XXXXXX)
source scripts/stop-on-exit.sh

folder=/client/client0223/
names=(Inst.exe tnw001.cab tnw002.cab tnw003.cab tnw004.cab)
mkdir -p "$work/www$folder" "$work/www/m" "$work/www/downloader" "$work/run" "$work/data" "$work/home" "$shots"
chmod 700 "$work/run"
# The demo's installer is a stand-in: a script that notes in its folder that it ran.
package=$work/package
mkdir -p "$package"
cp "$build"/demo-package/*.cab "$package/"
printf '#!/bin/sh\n# stand-in installer of the window demo\necho "ran in $PWD" >installer-ran.txt\n' \
  >"$package/Inst.exe"
for name in "${names[@]}"; do
  ln -s "$package/$name" "$work/www$folder$name"
  ln -s "$package/$name" "$work/www/m/$name"
done

echo "== starting two nginx mirrors (each connection at $LIMIT_RATE/s) and a statistics collector"
mapfile -t bases < <(bash scripts/mirrors.sh start "$work/mirrors" "$work/www" 2)
((${#bases[@]} == 2)) || { echo "the mirrors did not start" >&2; exit 1; }
list="<project><configs><p2p-switch>off</p2p-switch></configs><resources>"
for i in "${!names[@]}"; do
  list+="<resource id=\"$i\" task=\"${bases[0]}$folder${names[i]}\"><cdn id=\"1\" name=\"m\" middle-dir=\"/m/\""
  list+=" file-name=\"${names[i]}\" host-name=\"127.0.0.1\" open=\"1\"><ip>${bases[1]#http://}</ip></cdn></resource>"
done
echo "$list</resources></project>" >"$work/www/downloader/list.xml"
/usr/bin/python3 scripts/collector.py "$work/collector.log" >"$work/collector.port" &
pids+=($!)
for _ in $(seq 50); do [[ -s $work/collector.port ]] && break; sleep 0.1; done
printf '   %s\n' "${bases[@]}" "http://127.0.0.1:$(head -1 "$work/collector.port") (statistics)"

"$build/bwpack" build "$package" --base "${bases[0]}$folder" \
  --resource-list "${bases[0]}/downloader/list.xml" --tracker http://127.0.0.1:1/announce \
  --stats "http://127.0.0.1:$(head -1 "$work/collector.port")" -o "$work/package.bwpkg" >/dev/null

if [[ -z ${DISPLAY:-} ]]; then
  echo "== no display: starting Xvfb"
  exec 3>"$work/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  exec 3>&-
  for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
  export DISPLAY=":$(head -1 "$work/display")"
fi

echo "== the window on $DISPLAY: the start button pressed, then the install button, the file list open"
XDG_RUNTIME_DIR="$work/run" XDG_DATA_HOME="$work/data" HOME="$work/home" \
  "$build/brightwillow" --package "$work/package.bwpkg" --lan-interface 127.0.0.1 --start --install --expanded --screenshot "$work/window.png" \
  >"$work/window.log" 2>&1 &
window=$!
pids+=($window)

saved=$work/home/TNW0223
completed() {  # how many files are complete
  local count=0
  for name in "${names[@]}"; do cmp -s "$package/$name" "$saved/$name" && count=$((count + 1)); done
  echo $count
}
downloading_saved=0
for ((waited = 0; waited < timeout_seconds * 2; waited++)); do
  kill -0 $window 2>/dev/null || { echo "the window ended early:" >&2; cat "$work/window.log" >&2; exit 1; }
  done_files=$(completed)
  # Midway: the small files are there and a large one too.
  if ((!downloading_saved && done_files >= 3)); then
    sleep 1.5
    cp "$work/window.png" "$shots/window-downloading.png"
    downloading_saved=1
  fi
  ((done_files == ${#names[@]})) && break
  sleep 0.5
done
(($(completed) == ${#names[@]})) || { echo "the download did not finish within $timeout_seconds s" >&2; exit 1; }
sleep 2.5  # the window's next texts and its next picture
cp "$work/window.png" "$shots/window-finished.png"
echo "== the install button: the files checked, then the stand-in installer"
for _ in $(seq 120); do [[ -s $saved/installer-ran.txt ]] && break; sleep 0.5; done
[[ -s $saved/installer-ran.txt ]] || { echo "the installer did not start:" >&2; cat "$work/window.log" >&2; exit 1; }
echo "   the stand-in installer $(cat "$saved/installer-ran.txt")"
kill $window 2>/dev/null || true  # the window may have ended with the installer's start
wait $window || true

echo "== the five files are the package's"
ls -l "$saved" | sed 's/^/   /'
echo "== what each mirror delivered"
bash scripts/mirrors.sh delivered "$work/mirrors" | sed 's/^/   /'
echo "== statistics batches received: $(wc -l <"$work/collector.log" 2>/dev/null || echo 0)"
echo "== the window as it was: $shots/window-downloading.png (during), $shots/window-finished.png (after)"
