#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need; quick when all are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev libcurl4-openssl-dev libjsoncpp-dev libtinyxml2-dev libminiupnpc-dev
  tinyproxy dante-server microsocks
  mktorrent python3-libtorrent nginx opentracker openssl
  vsftpd python3-pyftpdlib
  e2fsprogs mount
  miniupnpd miniupnpd-nftables nftables miniupnpc iproute2
  qt6-base-dev libgl-dev xvfb xauth fonts-noto-cjk trayer
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Servers among them (nginx, vsftpd, miniupnpd) must not start as system services: tests run their own.
  policy=/usr/sbin/policy-rc.d
  if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod +x "$policy"
    trap 'rm -f "$policy"' EXIT
  fi
  # Another install on the same machine holds the lock for a while: wait for it.
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi
