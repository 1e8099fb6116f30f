#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UBSan) and runs each
# for a bounded time on its seeds in fuzz/corpus/<target>/. New inputs go to
# build/checked/corpus/, never into the repository; a crash leaves its input
# in build/checked/artifacts/ and fails the script. Prints executions and
# coverage per target.
#
#   VELMORA_FUZZ_SECONDS  seconds per target (default 12)
#   VELMORA_FUZZ_TARGETS  space-separated subset of targets to run
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

seconds=${VELMORA_FUZZ_SECONDS:-12}
# The build scripts/test.sh runs its suite under the sanitizers in: the same
# options, so that neither rebuilds what the other built.
build=build/checked
targets=()
for source in fuzz/*_fuzz.cpp; do
  name=$(basename "$source" .cpp)
  targets+=("$name")
done
if [ -n "${VELMORA_FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$VELMORA_FUZZ_TARGETS"
fi

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DVELMORA_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_FUZZ=ON -DVELMORA_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

# A small quarantine keeps the resident size near what the code itself holds.
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=0:allocator_may_return_null=1:quarantine_size_mb=64
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/artifacts"
failed=()
for target in "${targets[@]}"; do
  seeds=fuzz/corpus/${target%_fuzz}
  work=$build/corpus/${target%_fuzz}
  mkdir -p "$work"
  log=$build/$target.log
  status=0
  # -rss_limit_mb: a decoder that runs away is a finding, not a slow test.
  "$build/fuzz/$target" "$work" "$seeds" -max_total_time="$seconds" -timeout=20 \
    -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
  features=$(grep -o 'ft: [0-9]*' "$log" | tail -1 || true)
  printf '%-24s runs %-8s %s %s status %s\n' "$target" "${runs:-?}" "${coverage:-cov: ?}" \
    "${features:-ft: ?}" "$status"
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    tail -60 "$log"
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}; inputs in $build/artifacts/" >&2
  exit 1
fi
