#!/usr/bin/env bash
# Installs what is missing, builds the plug-in, then loads the built module the way the host
# does and prints the configuration columns and identity items it declares.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/deps.sh
echo "=== building build/plain"
bash scripts/build.sh build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo

module="build/plain/plugin/libads_plc.so"
echo "=== loading $module"
TAVHOST_ECHO_LOGS=1 build/plain/tools/inspect/ads-plc-inspect "$module"
