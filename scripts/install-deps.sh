#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# Usage: scripts/install-deps.sh [linux|all]   (all adds mingw-w64, Wine, Xvfb and
# what scripts/package.sh needs)
set -euo pipefail

packages=(cmake make g++ libgtest-dev libcli11-dev python3 gettext)
# The fuzz targets (scripts/fuzz.sh): clang with libFuzzer and the sanitizers' runtime.
packages+=(clang libclang-rt-dev)
if [ "${1:-linux}" = all ]; then
  packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 fonts-wine xvfb xauth imagemagick)
  # The release archive and the Debian package.
  packages+=(zip dpkg-dev)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "Installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
