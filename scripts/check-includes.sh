#!/usr/bin/env bash
# Includes go one way: base/, then the photo library, then the actions, then
# the dispatcher. Prints every project #include that breaks the rule, with
# its file and line, and fails when there is one.
#
#   base/            nothing of the project but base/
#   bridge/photos/   the library: base/ and its rooms below
#     preview/       base/, media/, itself
#     media/, trash/, catalogs/
#                    base/, itself
#   an action        base/, bridge/photos/, what the front end hands an action
#                    (output channel, texts, arguments, main-thread hand-off)
#                    and what other actions offer below their entry points
#                    (the QR detector, the fingerprint), never an entry point;
#                    the scan cache is the scan's alone (delete never asks it)
#   bridge/          the front end; only the dispatcher includes actions
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../src"

front_end_for_actions='^bridge/(emit|messages|arguments|main_thread)\.h$'
entry_points='^(inventory/scan|deletion/delete_action|qr/qr_actions|semantic/semantic_action)\.h$'
actions='^(inventory|qr|semantic|deletion)/'

allowed() {  # file include
  local file=$1 target=$2 own=${1%/*}/
  case $file in
    base/*) [[ $target == base/* ]] ;;
    bridge/photos/preview/*) [[ $target == base/* || $target =~ ^bridge/photos/(preview|media)/ ]] ;;
    bridge/photos/media/* | bridge/photos/trash/* | bridge/photos/catalogs/*)
      [[ $target == base/* || $target == "$own"* ]] ;;
    bridge/photos/*/*) echo "check-includes: $file is in no known room of the library" >&2; return 1 ;;
    bridge/photos/*) [[ $target == base/* || $target == bridge/photos/* ]] ;;
    inventory/* | qr/* | semantic/* | deletion/*)
      [[ $target == inventory/scan_cache.h && $own != inventory/ ]] && return 1
      [[ $target == base/* || $target == bridge/photos/* || $target == "$own"* ]] && return 0
      [[ $target =~ $front_end_for_actions ]] && return 0
      [[ $target =~ $actions && ! $target =~ $entry_points ]] ;;
    bridge/dispatch.cpp) true ;;
    bridge/* | main.cpp) ! [[ $target =~ $actions ]] ;;
    *) echo "check-includes: $file is in no known folder" >&2; return 1 ;;
  esac
}

status=0
while IFS=: read -r file line text; do
  target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"$text")
  if ! allowed "$file" "$target"; then
    echo "src/$file:$line: $text"
    status=1
  fi
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' --include='*.h' --include='*.cpp' .  | sed 's#^\./##')
if [ "$status" -ne 0 ]; then
  echo "check-includes: the includes above go against the layering (see ARCHITECTURE.md)" >&2
fi
exit "$status"
