#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (build/fuzz) and runs each for SECONDS
# (default 60), one after the other, at low priority. New inputs collect in build/fuzz/corpus;
# an input that crashes a target is kept as fuzz/corpus/<target>/crash-<hash>, so that every
# test run replays it. Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
seconds="${1:-60}"; shift || true
targets=("$@")
((${#targets[@]})) || targets=(ams_stream dispatcher plc_values value_texts data_types sim_requests sim_symbols symbol_table sum_replies
                                connect_info tunnel_stream)
dir=build/fuzz
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DADS_PLC_FUZZ=ON -DADS_PLC_TESTS=OFF -DADS_PLC_BENCH=OFF >/dev/null || exit 1
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null || exit 1

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for t in "${targets[@]}"; do
  work="$dir/corpus/$t" crashes="$dir/crashes/$t"
  rm -rf "$crashes"
  mkdir -p "$work" "$crashes"
  log="$dir/$t.log"
  echo "=== fuzzing $t for $seconds s (log: $log)"
  nice -n 15 "$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=120 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$crashes/" "$work" "fuzz/corpus/$t" >"$log" 2>&1 || status=1
  grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" | tail -n 3
  grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1
  for f in "$crashes"/crash-* "$crashes"/leak-* "$crashes"/timeout-* "$crashes"/oom-*; do
    [[ -e "$f" ]] || continue
    cp "$f" "fuzz/corpus/$t/$(basename "$f")"
    echo "kept fuzz/corpus/$t/$(basename "$f")" >&2
    status=1
  done
done
exit $status
