#!/usr/bin/env bash
# Redraws the window's pictures into resources/images/ (the program embeds them at build time).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j2 --target bw_draw_skin
QT_QPA_PLATFORM=offscreen build/release/bw_draw_skin resources/images
{
  echo '<RCC>'
  echo '<qresource prefix="/skin">'
  for f in resources/images/*.png; do echo "  <file alias=\"$(basename "$f")\">images/$(basename "$f")</file>"; done
  echo '</qresource>'
  echo '</RCC>'
} >resources/skin.qrc
