#!/usr/bin/env bash
# Cross-builds the 32-bit Windows module and its test programs with mingw-w64.
# Usage: scripts/build-windows.sh [BUILD_DIR]   (default: build-win)
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${1:-$source_dir/build-win}"
cmake -S "$source_dir" -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-i686.cmake"
cmake --build "$build_dir" -j2
