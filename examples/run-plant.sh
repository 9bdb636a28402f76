#!/usr/bin/env bash
# Rehearses the plant of plant.ini: simulated PLCs on 127.0.0.1:48898 and 127.0.0.2:48898, then
# the driver running both devices in one plug-in. Programs come from BUILD_DIR (default
# build/plain), else from the installed package.
# Usage: examples/run-plant.sh [BUILD_DIR] [more driver options, e.g. --format csv --seconds 30]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build/plain}"
[[ $# -gt 0 ]] && shift
program() {
  if [[ -x "$build/tools/$1/ads-plc-$2" ]]; then echo "$build/tools/$1/ads-plc-$2"; else command -v "ads-plc-$2"; fi
}
sim="$(program sim sim)"
driver="$(program driver driver)"
log="$(mktemp -d)"
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$log"' EXIT
"$sim" --listen 127.0.0.1:48898 --ports 851 >"$log/filling" 2>&1 & pids+=($!)
"$sim" --listen 127.0.0.2:48898 --ports 851 --netid 127.0.0.2.1.1 --name Boiler \
  --symbols "$here/boiler-symbols.txt" >"$log/boiler" 2>&1 & pids+=($!)
for name in filling boiler; do
  for _ in $(seq 50); do grep -q "listening on" "$log/$name" && break; sleep 0.1; done
  grep -q "listening on" "$log/$name" || { cat "$log/$name" >&2; exit 1; }
done
"$driver" --config "$here/plant.ini" --seconds 6 --refresh 2000 "$@"
