#!/usr/bin/env bash
# Installs the Debian packages the build needs, but only those that are missing.
# Native packages are checked with the machine's own architecture suffix: once the armhf
# variant of a package is installed, a bare name would match that one instead.
set -euo pipefail

native="$(dpkg --print-architecture)"
packages=()
for p in cmake ninja-build g++ qtbase5-dev libgtest-dev libgmock-dev libbenchmark-dev libssl-dev \
         clang libclang-rt-14-dev valgrind g++-arm-linux-gnueabihf qemu-user \
         dpkg-dev file; do
  packages+=("$p:$native")
done
# 32-bit ARM libraries for the cross build that runs under qemu-arm.
armhf=(qtbase5-dev:armhf libgtest-dev:armhf libgmock-dev:armhf libssl-dev:armhf)

missing=()
for p in "${packages[@]}" "${armhf[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing missing packages: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "Packages are missing and this script is not running as root; install them with apt-get first." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    dpkg --add-architecture armhf
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
