#!/usr/bin/env bash
# Installs what the Linux build and tests need on Debian 12 (as root),
# touching apt only when something is missing. clang builds the fuzz targets.
# Packages named as arguments are installed along with them.
set -euo pipefail
# dpkg-dev: dpkg-architecture and dpkg-buildpackage for scripts/build-debs.sh; pkg-config for the install test.
packages=(cmake g++ make pkg-config libace-dev libgtest-dev googletest iproute2 util-linux dpkg-dev
          clang clang-14 libclang-rt-14-dev "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
