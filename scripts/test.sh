#!/usr/bin/env bash
# Builds the project and runs the whole test suite twice: plainly and under
# AddressSanitizer + UndefinedBehaviorSanitizer. Exits non-zero on any failure.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/deps.sh || exit 1

status=0
run_suite() {
  local dir="$1"; shift
  echo "=== building $dir"
  if ! bash scripts/build.sh "$dir" "$@"; then
    echo "build of $dir failed" >&2
    status=1
    return
  fi
  echo "=== testing $dir"
  (cd "$dir" && ctest --output-on-failure --timeout 240 -j 2) || status=1
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DADS_PLC_SANITIZE=ON -DADS_PLC_BENCH=OFF
exit $status
