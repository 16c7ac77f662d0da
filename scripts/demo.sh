#!/usr/bin/env bash
# The main job on its built-in demo: installs what is missing, builds, and runs the engine's tool.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)"
build/release/bwget --version
