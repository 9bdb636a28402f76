#!/usr/bin/env bash
# Builds the benchmarks (Release, in build/bench), runs them on loopback and prints a table,
# then each performance goal with its figure, its limit and whether it is met. A goal is met
# only when three runs in a row meet it: the programs run three times (the polling benchmark
# repeats itself three times within one run) and each goal shows the worst of the three.
# Extra arguments go to every benchmark program, e.g. --benchmark_filter=Read.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$root/build/bench"
runs="${BENCH_RUNS:-3}"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DADS_PLC_TESTS=OFF -DADS_PLC_BENCH=ON >/dev/null
cmake --build "$dir" -j2 --target ads_bench plugin_bench subscription_bench poll_bench >/dev/null
for program in ads_bench plugin_bench subscription_bench poll_bench; do
  if [[ ! -x "$dir/bench/$program" ]]; then
    echo "$program was not built: is the benchmark library installed (libbenchmark-dev)?" >&2
    exit 1
  fi
done
for ((run = 1; run <= runs; ++run)); do
  for program in ads_bench plugin_bench subscription_bench; do
    "$dir/bench/$program" --benchmark_out="$dir/$program.$run.json" --benchmark_out_format=json "$@" >/dev/null
  done
done
"$dir/bench/poll_bench" --benchmark_out="$dir/poll_bench.json" --benchmark_out_format=json "$@" >/dev/null

python3 - "$dir" "$runs" <<'PY'
import json, sys
folder, count = sys.argv[1], int(sys.argv[2])
def load(path):
    try:
        return [b for b in json.load(open(path))["benchmarks"] if b.get("run_type", "iteration") == "iteration"]
    except (OSError, ValueError):
        return []
polls = load(f"{folder}/poll_bench.json")
every = [sum((load(f"{folder}/{p}.{r}.json") for p in ("ads_bench", "plugin_bench", "subscription_bench")), []) + polls
         for r in range(1, count + 1)]
runs = every[0]
def short(name):
    for noise in ("/min_time:1.000", "/real_time", "/iterations:1", "/repeats:3"):
        name = name.replace(noise, "")
    return name
def per_op_us(b):
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b.get("time_unit", "ns")]
    return b["real_time"] * scale
def find(name):
    return next((b for b in runs if short(b["name"]) == name), None)
def rate(name):
    b = find(name)
    return None if b is None else b.get("items_per_second")
def counter(name, key):
    b = find(name)
    return None if b is None else b.get(key)

print(f"{'benchmark':<44} {'time/op':>12} {'ops or samples/s':>18}  counters")
print("-" * 90)
for b in runs:
    r = b.get("items_per_second")
    shown = "" if r is None else f"{r:,.0f}"
    extra = " ".join(f"{k}={b[k]:.2f}" for k in ("cpu_percent", "wakeups_per_s", "cpu_ms", "growth_KiB", "ring_KiB",
                                                  "refused_ring_KiB", "growth_MiB", "resident_MiB") if k in b)
    print(f"{short(b['name']):<44} {per_op_us(b):>9.1f} us {shown:>18}  {extra}")

# The polling benchmark repeats itself three times: its goals take the worst of those.
def worst(name, key, at_most):
    values = [b[key] for b in runs if short(b["name"]) == name and key in b]
    if len(values) < 3:
        return None
    return max(values) if at_most else min(values)

def goal(number, text, value, limit, at_most, unit=""):
    current.append((number, text, value, limit, at_most, unit))

def evaluate():
    floor, read = find("BM_TcpPingPongFloor"), find("BM_ReadRoundTrip")
    goal(1, "4-byte Read / TCP ping-pong floor (same server)",
         per_op_us(read) / per_op_us(floor) if floor and read else None, 1.5, True, "x")
    sim = find("BM_ReadRoundTripSimulator")
    one, many = rate("BM_ParallelPortsOneConnection/threads:1"), rate("BM_ParallelPortsOneConnection/threads:16")
    goal(2, "16 ports / 1 port, requests per second", many / one if one and many else None, 3, False, "x")
    goal(3, "samples/s, 1 per frame", rate("BM_NotificationSamples/1"), 500e3, False)
    goal(3, "samples/s, 64 per frame", rate("BM_NotificationSamples/64"), 5e6, False)
    goal(3, "samples/s into the values table, 64 per frame", rate("BM_PluginNotifySamples/64"), 300e3, False)
    # readData runs on the calling thread without waiting: its CPU time is the cost, and unlike the
    # elapsed time it does not count the time other processes of a busy machine took.
    small, large = find("BM_ReadData/1000"), find("BM_ReadData/10000")
    goal(4, "readData CPU per item, 10000 / 1000 items",
         (large["cpu_time"] / 10000) / (small["cpu_time"] / 1000) if small and large else None, 1.5, True, "x")
    ring = counter("BM_RingResidentAfterTraffic", "ring_KiB")
    if ring is None:  # a stack that cannot tell its ring's size: the resident memory the traffic added
        goal(5, "resident growth after 1 GiB through one device", counter("BM_RingResidentAfterTraffic", "growth_KiB"),
             256, True, " KiB")
    else:
        goal(5, "ring storage after 1 GiB through one device", ring, 256, True, " KiB")
    goal(5, "ring storage of a device whose subscription was refused",
         counter("BM_RingResidentAfterTraffic", "refused_ring_KiB"), 0, True, " KiB")
    goal(6, "CPU of 8 idle connected devices, all on one PLC", counter("BM_IdleConnectedDevices/1", "cpu_percent"),
         1, True, "%")
    goal(6, "CPU of 8 idle connected devices, one PLC each", counter("BM_IdleConnectedDevices/8", "cpu_percent"),
         1, True, "%")
    goal(6, "wake-ups/s while waiting to reconnect (bench thread incl.)", counter("BM_ReconnectWait", "wakeups_per_s"),
         1, True)

    thousand = "BM_SubscribeThousand/1"
    goal(7, "1,000 items, 2 ms PLC: first readData to all values", counter(thousand, "first_values_ms"), 100, True, " ms")
    goal(7, "1,000 items, 2 ms PLC: release", counter(thousand, "release_ms"), 50, True, " ms")
    goal(7, "other device on that PLC: longest pause meanwhile", counter(thousand, "other_pause_ms"), 100, True, " ms")
    goal(7, "notifications left on the PLC after the release", counter(thousand, "left_on_plc"), 0, True)
    goal(7, "1,000 structure items of ten members, 2 ms PLC: first values",
         counter("BM_SubscribeThousandStructures", "first_values_ms"), 500, True, " ms")
    goal(7, "1,000 structure items: data-type uploads", counter("BM_SubscribeThousandStructures", "data_type_uploads"),
         1, True)

    secure_read, plain_samples, secure_samples = find("BM_ReadRoundTripSecure"), rate("BM_NotificationSamples/64"), \
        rate("BM_NotificationSamplesSecure/64")
    goal(8, "4-byte Read through secure ADS / plain (same server)",
         per_op_us(secure_read) / per_op_us(read) if secure_read and read else None, 1.3, True, "x")
    goal(8, "samples/s through secure ADS / plain, 64 per frame",
         secure_samples / plain_samples if secure_samples and plain_samples else None, 0.5, False, "x")

    polled, automatic = "BM_PolledTenThousand", "BM_AutomaticTwoThousand"
    goal(9, "10,000 polled items, 2 ms PLC: first readData to all values", worst(polled, "first_values_ms", True),
         1000, True, " ms")
    goal(9, "10,000 polled items at 1 s: sum reads per second", worst(polled, "sum_reads_per_s", True), 20.5, True)
    goal(9, "10,000 polled items at 1 s: sum reads per second", worst(polled, "sum_reads_per_s", False), 19.5, False)
    goal(9, "10,000 polled items at 1 s: plug-in CPU, % of one core", worst(polled, "cpu_percent", True), 3, True, "%")
    goal(9, "2,000 items automatic, 500 notifications: all show a value", worst(automatic, "all_values", False), 1, False)
    goal(9, "2,000 items automatic, 500 notifications: notifications used", worst(automatic, "notifications_used", True),
         499, True)


results = []
for data in every:
    runs, current = data, []
    evaluate()
    results.append(current)
runs = every[0]
floor, read, sim = find("BM_TcpPingPongFloor"), find("BM_ReadRoundTrip"), find("BM_ReadRoundTripSimulator")
thousand, polled = "BM_SubscribeThousand/1", "BM_PolledTenThousand"
goals = []
for index, (number, text, _, limit, at_most, unit) in enumerate(results[0]):
    values = [run[index][2] for run in results]
    bound = f"{'<=' if at_most else '>='} {limit:,g}{unit}"
    if any(v is None for v in values):
        goals.append((number, text, "missing", bound, "NOT MET"))
        continue
    met = all(v <= limit if at_most else v >= limit for v in values)
    shown = max(values) if at_most else min(values)
    goals.append((number, text, f"{shown:,.2f}{unit}", bound, "met" if met else "NOT MET"))

print("-" * 90)
single = "BM_SubscribeThousand/0"
if find(single):
    print(f"1,000 items item by item (PLC without sum commands): first values {counter(single, 'first_values_ms'):,.0f} ms, "
          f"release {counter(single, 'release_ms'):,.0f} ms, other device paused {counter(single, 'other_pause_ms'):,.0f} ms "
          f"(not a goal)")
    print(f"1,000 items, 2 ms PLC: one writeData of all {counter(thousand, 'write_ms'):,.0f} ms with sum commands, "
          f"{counter(single, 'write_ms'):,.0f} ms item by item (not a goal)")
if sim and floor:
    print(f"4-byte Read against the simulator / floor: {per_op_us(sim) / per_op_us(floor):.2f}x (not a goal)")
if find(polled):
    print(f"10,000 polled items: readData once a second took {worst(polled, 'read_data_percent', True):.2f} % of a core "
          f"of that CPU time (worst of three; not a goal)")
fifty = find("BM_FiftyDevicesResident")
if fifty:
    print(f"50 devices x 20 items after 4 MiB each: {fifty.get('growth_MiB', 0):.1f} MiB added, "
          f"{fifty.get('resident_MiB', 0):.1f} MiB resident in all (with simulator)")
print()
print(f"goals over {len(every)} runs in a row, each with the worst of them:")
print(f"{'goal':<5} {'figure':<58} {'value':>14} {'limit':>14}  result")
for number, text, value, limit, result in goals:
    print(f"{number:<5} {text:<58} {value:>14} {limit:>14}  {result}")
PY
