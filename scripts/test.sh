#!/usr/bin/env bash
# Sets up, builds and runs every test: the include check, the developer
# build (warnings are errors) with its suite, the same suite under
# AddressSanitizer and UBSan, then the fuzz targets for a bounded time
# (scripts/fuzz.sh). Tests that need a display run under Xvfb. Ends with the
# number of tests run and skipped in each suite.
#
#   VELMORA_SKIP_SANITIZERS=1  leave out the sanitizer stage
#   VELMORA_SKIP_FUZZ=1        leave out the fuzz stage
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
started=$SECONDS

"$root/scripts/setup.sh" --test
"$root/scripts/check-includes.sh"

jobs=$(nproc)
summary=()
run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DVELMORA_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  local log=$dir/ctest.log status=0
  if [ -z "${DISPLAY:-}" ]; then
    xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
      ctest --test-dir "$dir" --output-on-failure -j"$jobs" 2>&1 | tee "$log" || status=$?
  else
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" 2>&1 | tee "$log" || status=$?
  fi
  local total skipped
  total=$(sed -n 's/.*tests passed, .* tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -1)
  skipped=$(grep -c '\*\*\*Skipped' "$log" || true)
  local names=""
  if [ "$skipped" -gt 0 ]; then
    names=" ($(grep '\*\*\*Skipped' "$log" | sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/' | paste -sd, -))"
  fi
  summary+=("$dir: ${total:-?} tests, $skipped skipped$names")
  return "$status"
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

echo
printf 'test: %s\n' "${summary[@]}"
echo "test: all stages passed in $(( (SECONDS - started) / 60 )) min $(( (SECONDS - started) % 60 )) s"
