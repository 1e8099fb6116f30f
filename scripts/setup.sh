#!/usr/bin/env bash
# Installs everything the bridge needs to build, test and run, from Debian's
# packages. Idempotent: does nothing when all is there. Runs as root or
# through sudo.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates
  libvips-dev libvips-tools libheif-dev
  libzxing-dev libzbar-dev zbar-tools
  libexiv2-dev
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev ffmpeg
  libgtk-3-dev libglib2.0-bin
  libopencv-core-dev libopencv-imgproc-dev libopencv-dnn-dev
  nlohmann-json3-dev libssl-dev libsqlite3-dev
  libgtest-dev libgmock-dev libqrencode-dev qrencode
  xvfb xauth xdotool
  clang libclang-rt-14-dev
  darknet
)

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

# The classifier model, when the project fetches one.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ -x "$here/fetch-model.sh" ]; then
  "$here/fetch-model.sh"
fi
