#!/usr/bin/env bash
# Installs what the bridge needs, from Debian's packages, and fetches the
# classifier model. Idempotent: does nothing when all is there. Installing
# needs root or sudo.
#
#   scripts/setup.sh          what building and running need, and the model
#   scripts/setup.sh --test   that, and the tools only tests, benchmarks and
#                             fuzzing use (GoogleTest, Xvfb, clang, ...)
#
# The model is optional: when it cannot be fetched, the set-up says why and
# goes on; the bridge builds and runs without it (`semantic` then fails each
# item).
set -euo pipefail

build_packages=(
  build-essential cmake ninja-build pkg-config ca-certificates
  libvips-dev libheif-dev
  libzxing-dev libzbar-dev
  libexiv2-dev libraw-dev
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  libgtk-3-dev
  libopencv-core-dev libopencv-imgproc-dev libopencv-dnn-dev
  nlohmann-json3-dev libssl-dev libsqlite3-dev
  libseccomp-dev
)
# Tests, benchmarks (the standalone tools they compare with) and fuzzing.
test_packages=(
  git
  libgtest-dev libgmock-dev libqrencode-dev
  xvfb xauth xdotool time
  clang libclang-rt-14-dev
  darknet
  libvips-tools zbar-tools ffmpeg
  bindfs
)

packages=("${build_packages[@]}")
case "${1:-}" in
  --test) packages+=("${test_packages[@]}") ;;
  "") ;;
  *) echo "usage: scripts/setup.sh [--test]" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
# npm fetches the classifier model; a machine may already carry Node.js from
# elsewhere, whose package conflicts with Debian's npm.
if ! command -v npm >/dev/null 2>&1; then
  missing+=(nodejs npm)
fi

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    sudo=()
  elif command -v sudo >/dev/null 2>&1; then
    sudo=(sudo)
  else
    echo "setup: need root or sudo to install: ${missing[*]}" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if ! "$here/fetch-model.sh"; then
  echo "setup: going on without the classifier model; \`semantic\` fails every item until scripts/fetch-model.sh succeeds" >&2
fi
