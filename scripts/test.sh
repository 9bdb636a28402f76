#!/usr/bin/env bash
# Builds the project and runs the whole test suite, fuzz corpus replays included, in four
# builds: plain, AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer, and a
# cross build for 32-bit ARM (armhf) run under qemu-arm; then a short valgrind leak soak.
# Prints the time of every stage and exits non-zero on any failure.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/deps.sh || exit 1

status=0
summary=()
run_suite() {
  local name="$1" dir="$2" timeout="$3"; shift 3
  local start=$SECONDS result=passed
  echo "=== building $dir"
  if ! bash scripts/build.sh "$dir" "$@"; then
    echo "build of $dir failed" >&2
    result="build FAILED"
  else
    echo "=== testing $dir"
    (cd "$dir" && ctest --output-on-failure --timeout "$timeout" -j 2) || result=FAILED
  fi
  [[ $result == passed ]] || status=1
  summary+=("$(printf '%-24s %-12s %4d s' "$name" "$result" $((SECONDS - start)))")
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# No suppressions: cmake/tsan_shims.cpp lets ThreadSanitizer see the locking inside QtCore.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
# Line tables are all a failing test's stack trace needs; full debug information would make
# the build, most of each stage's time, a third slower.
optimised=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
debug=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g1")
run_suite plain build/plain 240 "${optimised[@]}"
run_suite asan+ubsan build/sanitize 240 "${debug[@]}" -DADS_PLC_SANITIZE=ON -DADS_PLC_BENCH=OFF
run_suite tsan build/tsan 240 "${debug[@]}" -DADS_PLC_TSAN=ON -DADS_PLC_BENCH=OFF
run_suite armhf-qemu build/armhf 300 "${optimised[@]}" -DADS_PLC_BENCH=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-linux-gnueabihf.cmake"

start=$SECONDS
result=passed
bash scripts/soak.sh 30 build/plain || { result=FAILED; status=1; }
summary+=("$(printf '%-24s %-12s %4d s' "valgrind soak (30)" "$result" $((SECONDS - start)))")

echo "=== stages"
printf '%s\n' "${summary[@]}"
exit $status
