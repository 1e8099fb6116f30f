#!/usr/bin/env bash
# Fetches the object-detection model the `semantic` action classifies with:
# the CenterNet/MobileNetV3 COCO detector (MIT licence) shipped inside the
# npm package @vladmandic/human. Only the package tarball is fetched
# (`npm pack`, no install, no scripts run); its SHA-256 is checked and just
# the two model files are extracted. Idempotent: a verified cache is left
# alone. The build converts the files; nothing is downloaded at run time.
set -euo pipefail

package="@vladmandic/human"
version="3.3.6"
tarball="vladmandic-human-${version}.tgz"
sha256="425e9c51dbbca0c8934362b170cb0d54c2529c11c654b3c03092b16e9d6ad3f7"
members=(package/models/centernet.json package/models/centernet.bin)
# The extracted files, checked on every run so a damaged cache is repaired.
files_sha256="bfb942eaacc5becf738d536663bc4580a0ae9e560722306e6d4dd7fe4a09de05  centernet.json
1b635a15009071f506f9f2b3519b31c072c534888989f30d269ffd44734ef7ef  centernet.bin"

cache="${VELMORA_MODEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velmora-bridge}"
models="$cache/models"

models_verified() {
  [ -d "$models" ] && (cd "$models" && echo "$files_sha256" | sha256sum --check --status 2>/dev/null)
}

if models_verified; then
  exit 0
fi

if ! command -v npm >/dev/null 2>&1; then
  echo "fetch-model: npm is missing; run scripts/setup.sh as root first" >&2
  exit 1
fi

mkdir -p "$cache"
work=$(mktemp -d "$cache/fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT

verified() { echo "$sha256  $1" | sha256sum --check --status; }

if [ -f "$cache/$tarball" ] && verified "$cache/$tarball"; then
  cp "$cache/$tarball" "$work/$tarball"
else
  echo "fetch-model: fetching ${package}@${version}"
  # Bounded: a couple of retries, then give up and say why in npm's words.
  status=0
  (cd "$work" && timeout "${VELMORA_MODEL_FETCH_SECONDS:-180}" npm pack "${package}@${version}" \
      --ignore-scripts --loglevel=error --cache "$work/npm-cache" --fetch-retries=2 \
      --fetch-retry-mintimeout=2000 --fetch-retry-maxtimeout=10000 --fetch-timeout=60000 \
      >"$work/npm.log" 2>&1) || status=$?
  if [ "$status" -ne 0 ]; then
    if [ "$status" -eq 124 ]; then
      echo "fetch-model: npm pack gave no answer within ${VELMORA_MODEL_FETCH_SECONDS:-180} s" >&2
    else
      echo "fetch-model: npm pack failed (status $status):" >&2
    fi
    # npm's log of the run goes with this folder; its pointer to it would mislead.
    grep -v -e '^\s*$' -e 'complete log' -e '_logs/' "$work/npm.log" | head -n 6 |
      sed 's/^/  npm: /' >&2
    exit 1
  fi
  if ! verified "$work/$tarball"; then
    echo "fetch-model: checksum mismatch for $tarball; refusing to use it" >&2
    exit 1
  fi
  mv "$work/$tarball" "$cache/$tarball.part"
  mv "$cache/$tarball.part" "$cache/$tarball"
  cp "$cache/$tarball" "$work/$tarball"
fi

tar -xzf "$work/$tarball" -C "$work" --no-same-owner "${members[@]}"
mkdir -p "$models"
for member in "${members[@]}"; do
  name=$(basename "$member")
  install -m 0644 "$work/$member" "$models/$name.part"
  mv "$models/$name.part" "$models/$name"
done
if ! models_verified; then
  echo "fetch-model: extracted model files do not match their checksums" >&2
  exit 1
fi
echo "fetch-model: model ready in $models"
