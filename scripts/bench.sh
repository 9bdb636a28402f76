#!/usr/bin/env bash
# Builds the benchmarks (Release, in build/bench) and runs them against the simulator on
# loopback, then prints a short table. Extra arguments go to the benchmark program,
# e.g. --benchmark_filter=Read.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$root/build/bench"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DADS_PLC_TESTS=OFF -DADS_PLC_BENCH=ON >/dev/null
cmake --build "$dir" -j2 --target ads_bench >/dev/null
if [[ ! -x "$dir/bench/ads_bench" ]]; then
  echo "ads_bench was not built: is the benchmark library installed (libbenchmark-dev)?" >&2
  exit 1
fi
json="$dir/bench_result.json"
"$dir/bench/ads_bench" --benchmark_out="$json" --benchmark_out_format=json "$@" >/dev/null

python3 - "$json" <<'PY'
import json, sys
runs = [b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("run_type", "iteration") == "iteration"]
def short(name):
    return name.replace("/min_time:1.000", "").replace("/real_time", "")
def per_op_us(b):
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b.get("time_unit", "ns")]
    return b["real_time"] * scale
print(f"{'benchmark':<44} {'time/op':>12} {'ops or samples/s':>18}")
print("-" * 76)
for b in runs:
    rate = b.get("items_per_second")
    shown = "" if rate is None else f"{rate:,.0f}"
    print(f"{short(b['name']):<44} {per_op_us(b):>9.1f} us {shown:>18}")
floor = next((b for b in runs if b["name"].startswith("BM_TcpPingPongFloor")), None)
read = next((b for b in runs if b["name"].startswith("BM_ReadRoundTrip")), None)
if floor and read:
    print("-" * 76)
    print(f"4-byte Read round trip / TCP ping-pong floor: {per_op_us(read) / per_op_us(floor):.2f}x")
PY
