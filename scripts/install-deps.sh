#!/usr/bin/env bash
# Installs the Debian packages Qarn needs to build, test and run; skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  qt6-base-dev libgl-dev fontconfig fonts-dejavu-core
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth
  libusb-1.0-0-dev libudev-dev umockdev libumockdev-dev
  prometheus-cpp-dev prometheus python3
  dpkg-dev lintian scdoc man-db groff-base desktop-file-utils adduser init-system-helpers
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
