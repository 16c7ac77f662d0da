#!/usr/bin/env bash
# Installs what the benchmarks compare the engine with and measure by, when it is missing:
# aria2c, curl and GNU time.
set -euo pipefail
need=()
command -v aria2c >/dev/null || need+=(aria2)
command -v curl >/dev/null || need+=(curl)
[[ -x /usr/bin/time ]] || need+=(time)
if ((${#need[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
