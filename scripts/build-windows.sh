#!/usr/bin/env bash
# Cross-builds the Windows module, the host program and the Windows test
# programs with mingw-w64.
# Usage: scripts/build-windows.sh [BUILD_DIR [i686|x86_64]]
#   i686 (default, into build-win) is the product: the host loads 32-bit modules.
#   x86_64 builds the same sources for running the tests under 64-bit Wine on
#   machines whose kernel runs no 32-bit programs (see scripts/test-windows.sh).
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${1:-$source_dir/build-win}"
arch="${2:-i686}"
case "$arch" in
  i686 | x86_64) ;;
  *) echo "build-windows.sh: unknown architecture $arch (i686 or x86_64)" >&2; exit 2 ;;
esac
generator=()
# Ninja when there is one; an existing build folder keeps its generator.
if [ ! -f "$build_dir/CMakeCache.txt" ] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S "$source_dir" -B "$build_dir" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-$arch.cmake" >/dev/null
cmake --build "$build_dir" -j2
