#!/usr/bin/env bash
# Builds the Debian packages into dist/: scripts/package.sh [amd64] [armhf] (default both).
# Per architecture two: ads-plc (the plug-in alone, in /usr/lib/<triplet>/tav/plugins;
# ADS_PLC_PLUGIN_DIR=/path picks another folder) and ads-plc-tools (driver, simulator, inspector).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
arches=("$@")
((${#arches[@]})) || arches=(amd64 armhf)
mkdir -p "$root/dist"
for arch in "${arches[@]}"; do
  args=(-DCMAKE_BUILD_TYPE=Release -DADS_PLC_TESTS=OFF -DADS_PLC_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr)
  case "$arch" in
    amd64) ;;
    # Debian multiarch folders, which a cross build does not pick by itself.
    armhf) args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-linux-gnueabihf.cmake" -DCMAKE_INSTALL_LIBDIR=lib/arm-linux-gnueabihf) ;;
    *) echo "package.sh: unknown architecture '$arch' (amd64 or armhf)" >&2; exit 2 ;;
  esac
  [[ -n "${ADS_PLC_PLUGIN_DIR:-}" ]] && args+=(-DADS_PLC_PLUGIN_DIR="$ADS_PLC_PLUGIN_DIR")
  dir="$root/build/package-$arch"
  bash "$root/scripts/build.sh" "$dir" "${args[@]}"
  (cd "$dir" && cpack -B "$root/dist" >/dev/null)
  rm -rf "$root/dist/_CPack_Packages"
  ls "$root"/dist/ads-plc*_"$arch".deb | sed 's/^/built /'
done
