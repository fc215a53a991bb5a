#!/usr/bin/env bash
# Builds the Windows module and its test programs, prepares Wine, and runs the
# Windows tests through the Linux build's ctest (which runs them under Wine
# and checks the exports of both modules).
# Usage: scripts/test-windows.sh [WINDOWS_BUILD_DIR [LINUX_BUILD_DIR]]
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
windows_build="${1:-$source_dir/build-win}"
linux_build="${2:-$source_dir/build-winlnx}"

"$source_dir/scripts/build-windows.sh" "$windows_build"
. "$source_dir/scripts/wine-env.sh"
wine_prepare
cmake -S "$source_dir" -B "$linux_build" -DVELK_WINDOWS_BUILD_DIR="$windows_build"
cmake --build "$linux_build" -j2
status=0
ctest --test-dir "$linux_build" -R '^(wine_|module_exports)' --output-on-failure --timeout 300 || status=$?
wine_stop
exit "$status"
