#!/usr/bin/env bash
# Sets up, builds and runs every test: the developer build (warnings are
# errors), then the same suite under AddressSanitizer and UBSan, then the
# fuzz targets for a bounded time (scripts/fuzz.sh). Tests that need a
# display run under Xvfb. VELMORA_SKIP_SANITIZERS=1 and VELMORA_SKIP_FUZZ=1
# leave out the second and third stage.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

"$root/scripts/setup.sh"
"$root/scripts/check-includes.sh"

jobs=$(nproc)
run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DVELMORA_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  if [ -z "${DISPLAY:-}" ]; then
    xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
      ctest --test-dir "$dir" --output-on-failure -j"$jobs"
  else
    ctest --test-dir "$dir" --output-on-failure -j"$jobs"
  fi
}

run_suite build/dev -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "${VELMORA_SKIP_SANITIZERS:-0}" != 1 ]; then
  # A sanitizer finding aborts the run with its own status and report.
  export ASAN_OPTIONS=abort_on_error=1:detect_leaks=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON -DVELMORA_BENCH=OFF
fi
if [ "${VELMORA_SKIP_FUZZ:-0}" != 1 ]; then
  "$root/scripts/fuzz.sh"
fi
