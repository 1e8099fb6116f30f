#!/usr/bin/env bash
# Scans one pictures folder made of every sample (tests/data and, when it is
# beside the checkout, the shared samples) with two builds of the bridge and
# compares what they wrote: the lines, and the preview folders byte for byte.
# For changes that must not change the output.
#
#   scripts/compare-scans.sh OLD_BRIDGE NEW_BRIDGE
#
# VELMORA_SCAN_CACHE=off in both runs unless the caller sets it; with it
# set (e.g. to "on"), each bridge scans twice and the warm scan is compared.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 OLD_BRIDGE NEW_BRIDGE" >&2; exit 2; }
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
old=$(realpath "$1") new=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home/Pictures"
cp -a "$root/tests/data/." "$work/home/Pictures/samples"
[ -d "$root/../shared/testdata" ] && cp -a "$root/../shared/testdata/." "$work/home/Pictures/shared"

scan() {  # bridge name
  mkdir -p "$work/$2"
  local cache=${VELMORA_SCAN_CACHE:-off}
  if [ "$cache" != off ]; then
    HOME=$work/home XDG_CACHE_HOME=$work/cache-$2 "$1" scan "$work/$2" >/dev/null
  fi
  HOME=$work/home XDG_CACHE_HOME=$work/cache-$2 VELMORA_SCAN_CACHE=$cache \
    "$1" scan "$work/$2" >"$work/$2.out" 2>"$work/$2.err"
}
scan "$old" old
scan "$new" new
status=0
if ! cmp -s "$work/old.out" "$work/new.out"; then
  echo "compare-scans: the lines differ"; diff <(tr '{' '\n' <"$work/old.out") <(tr '{' '\n' <"$work/new.out") | head -20
  status=1
fi
if ! diff -r "$work/old" "$work/new" >/dev/null; then
  echo "compare-scans: the preview folders differ"; diff -rq "$work/old" "$work/new" | head
  status=1
fi
if [ -s "$work/old.err" ] || [ -s "$work/new.err" ]; then
  echo "compare-scans: something was written to standard error"; status=1
fi
echo "compare-scans: $(grep -o '"asset_id"' "$work/new.out" | wc -l) records," \
  "$(find "$work/new" -name '*.jpg' | wc -l) previews; $([ $status -eq 0 ] && echo identical || echo DIFFERENT)"
exit $status
