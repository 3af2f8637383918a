#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine (as root). Does nothing
# when everything is already there.
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
          ntfs-3g fuse3 attr libhivex-bin xz-utils clang
          dpkg-dev file lintian man-db pkg-config libblkid-dev fdisk
          qemu-utils libnbd-bin nlohmann-json3-dev dosfstools)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing the missing Debian packages: ${missing[*]}"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi
