#!/usr/bin/env bash
# Sets up, builds and runs every test: the include check, the developer
# build (GCC, warnings are errors) with its suite, then one clang build under
# AddressSanitizer and UBSan that runs the same suite and holds the fuzz
# targets, which run for a bounded time (scripts/fuzz.sh). One build serves
# both, so the libraries are compiled twice, not three times. Tests that
# need a display run under Xvfb. Ends with the number of tests run and
# skipped in each suite.
#
#   VELMORA_SKIP_SANITIZERS=1  leave out the suite under the sanitizers
#   VELMORA_SKIP_FUZZ=1        leave out the fuzz runs
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
  # The options are scripts/fuzz.sh's, so that it finds its targets built.
  # A sanitizer finding aborts the test with its own status and report.
  CC=clang CXX=clang++ ASAN_OPTIONS=abort_on_error=1:detect_leaks=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build/checked -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_FUZZ=ON -DVELMORA_BENCH=OFF
fi
if [ "${VELMORA_SKIP_FUZZ:-0}" != 1 ]; then
  "$root/scripts/fuzz.sh"
fi

echo
printf 'test: %s\n' "${summary[@]}"
echo "test: all stages passed in $(( (SECONDS - started) / 60 )) min $(( (SECONDS - started) % 60 )) s"
