#!/usr/bin/env bash
# The connector at work: builds it, starts the bundled PLC simulator on loopback and runs the
# plug-in against it through the stand-alone driver, showing live values, one write read back,
# and a clean stop. With --plc it runs against a real PLC instead.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

usage() {
  cat <<'EOF'
Usage: scripts/demo.sh [options]

Without options the demo runs against the bundled PLC simulator on 127.0.0.1.

  --plc ADDRESS[:PORT]   run against a real PLC at this address (its AMS router, TCP 48898)
  --netid NETID          AMS NetId of the PLC (default: its IPv4 address followed by .1.1)
  --port N               ADS port of the PLC runtime (default 851; 801 for older runtimes)
  --item SYMBOL:TYPE     a variable to show, repeatable (TYPE: BOOL WORD DWORD SINT USINT INT
                         UINT DINT UDINT REAL LREAL STRING)
  --write SYMBOL[:TYPE]=VALUE  write VALUE to that variable once connected (without TYPE it must
                         be among the items)
  --seconds S            how long to show values (default 6)
  --timeout MS           ADS request time-out (default 2000)
  -h, --help             this text

The PLC must have a route for this machine's AMS NetId (its IPv4 address followed by .1.1).
EOF
}

plc=""; netid=""; port=""; seconds=6; timeout=2000; write=""
items=()
while (($#)); do
  case "$1" in
    --plc) plc="${2:?--plc needs an address}"; shift 2 ;;
    --netid) netid="${2:?--netid needs a NetId}"; shift 2 ;;
    --port) port="${2:?--port needs a number}"; shift 2 ;;
    --item) items+=("${2:?--item needs SYMBOL:TYPE}"); shift 2 ;;
    --write) write="${2:?--write needs SYMBOL=VALUE}"; shift 2 ;;
    --seconds) seconds="${2:?--seconds needs a number}"; shift 2 ;;
    --timeout) timeout="${2:?--timeout needs a number}"; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "demo.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
  esac
done

bash scripts/deps.sh
build=build/plain
echo "=== building the plug-in, the driver and the PLC simulator in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target ads_plc ads-plc-driver ads-plc-sim ads-plc-inspect

echo
echo "=== the plug-in as the host loads it"
"$build/tools/inspect/ads-plc-inspect" "$build/plugin/libads_plc.so" | sed -n '1,12p'
echo "    (full listing: $build/tools/inspect/ads-plc-inspect $build/plugin/libads_plc.so)"

sim_pid=""
sim_log="$(mktemp)"
driver_out="$(mktemp)"
cleanup() {
  if [[ -n "$sim_pid" ]] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -f "$sim_log" "$driver_out"
}
trap cleanup EXIT

if [[ -z "$plc" ]]; then
  echo
  echo "=== starting the PLC simulator on 127.0.0.1 (a free port)"
  # The simulator answers only its own NetId, as a PLC's router does.
  netid="${netid:-127.0.0.1.1.1}"
  "$build/tools/sim/ads-plc-sim" --listen 127.0.0.1:0 --netid "$netid" --tick 100 >"$sim_log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 1 100); do
    grep -q '^listening on ' "$sim_log" && break
    kill -0 "$sim_pid" 2>/dev/null || { cat "$sim_log" >&2; echo "the simulator did not start" >&2; exit 1; }
    sleep 0.05
  done
  listen="$(sed -n 's/^listening on //p' "$sim_log" | head -n 1)"
  [[ -n "$listen" ]] || { echo "the simulator did not report its port" >&2; exit 1; }
  echo "    simulator listening on $listen"
  plc="$listen"
  port="${port:-851}"
  if ((${#items[@]} == 0)); then
    items=(MAIN.udiCounter:UDINT .count:UINT MAIN.down:INT MAIN.rSine:REAL MAIN.lrSine:LREAL
           MAIN.bBool:BOOL MAIN.sText:STRING MAIN.iInt:INT)
    write="${write:-MAIN.iInt=4242}"
  fi
else
  echo
  echo "=== running against the PLC at $plc"
  port="${port:-851}"
fi

args=(--address "$plc" --ads-port "$port" --timeout "$timeout" --seconds "$seconds" --refresh 1500 --cycle 100)
[[ -n "$netid" ]] && args+=(--netid "$netid")
[[ -n "$write" ]] && args+=(--write "$write")
for item in "${items[@]}"; do args+=(--item "$item"); done

echo
echo "=== reading through the plug-in for ${seconds} s"
set +e
"$build/tools/driver/ads-plc-driver" "${args[@]}" | tee "$driver_out"
driver_status=${PIPESTATUS[0]}
set -e

# The value column of a symbol's rows, one per refresh.
values_of() {
  awk -F'|' -v sym="$1" '{ s=$2; gsub(/^ +| +$/, "", s); v=$4; gsub(/^ +| +$/, "", v); if (s == sym) print v }' "$driver_out"
}

echo
echo "=== what this showed"
status=$driver_status
refreshes=$(grep -c '^=== ' "$driver_out" || true)
echo "- the driver ran the plug-in for ${seconds} s and printed ${refreshes} refreshes (exit status ${driver_status})"
changed=0
for item in "${items[@]}"; do
  symbol="${item%%:*}"
  first="$(values_of "$symbol" | grep -v '^$' | head -n 1 || true)"
  last="$(values_of "$symbol" | tail -n 1 || true)"
  if [[ -n "$first" && "$first" != "$last" ]]; then
    echo "- $symbol changed between refreshes: $first -> $last"
    changed=1
  fi
done
if ((changed == 0)); then
  echo "- no value changed between refreshes"
  [[ -n "$sim_pid" ]] && status=1
fi
if [[ -n "$write" ]]; then
  symbol="${write%%=*}"; symbol="${symbol%%:*}"; wanted="${write#*=}"
  back="$(values_of "$symbol" | tail -n 1 || true)"
  if [[ "$back" == "$wanted" ]]; then
    echo "- wrote $wanted to $symbol and read $back back"
  else
    echo "- wrote $wanted to $symbol but read back '${back}'"
    status=1
  fi
fi

if [[ -n "$sim_pid" ]]; then
  kill "$sim_pid"
  wait "$sim_pid" || { echo "the simulator did not stop cleanly" >&2; status=1; }
  if kill -0 "$sim_pid" 2>/dev/null; then
    echo "the simulator is still running" >&2; status=1
  else
    echo "- the plug-in stopped every worker and the simulator exited; no process is left running"
  fi
  sim_pid=""
fi
exit "$status"
