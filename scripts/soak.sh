#!/usr/bin/env bash
# Leak and descriptor soak: runs ads-plc-driver under valgrind memcheck against the PLC
# simulator, which restarts every two seconds, until the simulator has restarted RESTARTS times
# (default 50). Fails on any definitely or indirectly lost byte, and when the driver's open
# descriptors or threads at the end exceed those at the start.
# Usage: scripts/soak.sh [RESTARTS] [BUILD_DIR]
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
restarts="${1:-50}"
build="${2:-build/plain}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build "$build" -j "$(nproc)" --target ads-plc-driver ads-plc-sim >/dev/null || exit 1

work="$(mktemp -d)"
sim_pid="" driver_pid=""
cleanup() {
  for p in $driver_pid $sim_pid; do
    kill "$p" 2>/dev/null && wait "$p" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

"$build/tools/sim/ads-plc-sim" --listen 127.0.0.1:0 --tick 50 --restart-every 2 --downtime 200 >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 1 100); do
  grep -q '^listening on ' "$work/sim.log" && break
  sleep 0.05
done
address="$(sed -n 's/^listening on //p' "$work/sim.log" | head -n 1)"
[[ -n "$address" ]] || { cat "$work/sim.log" >&2; echo "soak: the simulator did not start" >&2; exit 1; }

# The driver stops by itself a little after the simulator's last counted restart. It tries again
# every second: against restarts every two seconds its tries alternate between two phases, so the
# 200 ms downtime can never catch them all (a period equal to the restarts' could).
valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
  --errors-for-leak-kinds=definite,indirect --error-exitcode=99 --log-file="$work/valgrind.log" \
  "$build/tools/driver/ads-plc-driver" --address "$address" --netid 127.0.0.1.1.1 --ads-port 851 --timeout 1000 \
  --cycle 100 --refresh 250 --error-wait 1 --seconds $((2 * restarts + 3)) \
  --item MAIN.udiCounter:UDINT --item MAIN.rSine:REAL --item MAIN.sText:STRING --item MAIN.down:INT \
  >"$work/driver.log" 2>&1 &
driver_pid=$!

# Descriptors and threads of the driver, sampled every half second once it shows values.
samples="$work/samples"
: >"$samples"
while kill -0 "$driver_pid" 2>/dev/null; do
  if grep -q '^=== ' "$work/driver.log"; then
    fds=$(ls "/proc/$driver_pid/fd" 2>/dev/null | wc -l)
    threads=$(ls "/proc/$driver_pid/task" 2>/dev/null | wc -l)
    ((fds > 0 && threads > 0)) && echo "$fds $threads" >>"$samples"
  fi
  sleep 0.5
done
wait "$driver_pid"
driver_status=$?
driver_pid=""
done_restarts=$(grep -c '^restarting' "$work/sim.log")

status=0
lost() { sed -n "s/.*$1 lost: \([0-9,]*\) bytes.*/\1/p" "$work/valgrind.log" | tr -d , | tail -n 1; }
definite="$(lost definitely)"; indirect="$(lost indirectly)"
# A run without leaks prints no leak summary at all.
grep -q 'All heap blocks were freed\|LEAK SUMMARY' "$work/valgrind.log" || { echo "soak: valgrind did not finish" >&2; status=1; }
definite="${definite:-0}"; indirect="${indirect:-0}"

n=$(wc -l <"$samples")
if ((n < 6)); then
  echo "soak: only $n samples of the driver" >&2
  status=1
  read -r start_fds start_threads end_fds end_threads <<<"0 0 0 0"
else
  # Compare the peak of the last third with the peak before it: a window must span several
  # connected spells, or it may miss the threads that only a connection has.
  third=$((n / 3))
  start_fds=$(head -n "$((n - third))" "$samples" | awk '{print $1}' | sort -n | tail -n 1)
  start_threads=$(head -n "$((n - third))" "$samples" | awk '{print $2}' | sort -n | tail -n 1)
  end_fds=$(tail -n "$third" "$samples" | awk '{print $1}' | sort -n | tail -n 1)
  end_threads=$(tail -n "$third" "$samples" | awk '{print $2}' | sort -n | tail -n 1)
fi
connections=$(grep -c '^connection [0-9]* from' "$work/sim.log")
views=$(grep -c '^=== ' "$work/driver.log")
valued=$(awk -F'|' '$2 ~ /MAIN.udiCounter/ && $4 ~ /[0-9]/' "$work/driver.log" | wc -l)
echo "soak: $done_restarts simulator restarts, $connections connections, driver exit status $driver_status, values in $valued of $views views"
echo "soak: definitely lost $definite bytes, indirectly lost $indirect bytes"
echo "soak: descriptors $start_fds before the last third, $end_fds in it; threads $start_threads before it, $end_threads in it"

((done_restarts >= restarts)) || { echo "soak: the simulator restarted only $done_restarts times" >&2; status=1; }
((connections >= 2 && valued > 0)) || { echo "soak: the driver did not connect again and show values" >&2; status=1; }
((driver_status == 0)) || { echo "soak: the driver failed (valgrind errors exit with 99)" >&2; status=1; }
((definite == 0 && indirect == 0)) || status=1
((end_fds <= start_fds)) || { echo "soak: the descriptor count grew" >&2; status=1; }
((end_threads <= start_threads)) || { echo "soak: the thread count grew" >&2; status=1; }
if ((status != 0)); then
  sed -n '/ERROR SUMMARY\|definitely lost in\|indirectly lost in/,+12p' "$work/valgrind.log" | head -n 80 >&2
  tail -n 20 "$work/driver.log" >&2
fi
exit $status
