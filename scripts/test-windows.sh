#!/usr/bin/env bash
# Builds the Windows module and its test programs, prepares Wine, and runs the
# Windows tests (ctest label "wine") through a Linux build's ctest: the Windows
# layer, the serial port on a pseudo-terminal, the module as a host loads it,
# the options dialog on a virtual display, velkfs.exe against the phone
# emulator, and the exports of both modules.
# Usage: scripts/test-windows.sh [LINUX_BUILD_DIR]   (default: build-wlnx)
#
# The product is the 32-bit module in build-win. Where 32-bit programs run, the
# tests run that very build under 32-bit Wine. This machine's kernel runs no
# 32-bit programs, so there the tests run an x86-64 build of the same sources
# (build-win64) under 64-bit Wine, and the 32-bit module is checked without
# running it (its format, exports and imports).
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
linux_build="${1:-$source_dir/build-wlnx}"
product_build="$source_dir/build-win"

# Chooses VELK_WINE_ARCH and exports it to every test that ctest starts.
. "$source_dir/scripts/wine-env.sh"
echo "Wine: $VELK_WINE_ARCH, prefix $WINEPREFIX"

"$source_dir/scripts/build-windows.sh" "$product_build" i686
if [ "$VELK_WINE_ARCH" = win32 ]; then
  test_build="$product_build"
else
  test_build="$source_dir/build-win64"
  "$source_dir/scripts/build-windows.sh" "$test_build" x86_64
fi

wine_prepare
# The Linux side: the Linux module (for the export check), the phone emulator
# and velkfs for the end-to-end test; ctest there runs the Wine tests.
cmake -S "$source_dir" -B "$linux_build" -DVELK_WINDOWS_BUILD_DIR="$test_build" \
  -DVELK_WINDOWS_PRODUCT_MODULE="$product_build/bin/VelkPlugin.wfx" >/dev/null
cmake --build "$linux_build" -j2 --target VelkPlugin phonesim velkfs
status=0
ctest --test-dir "$linux_build" -L wine --output-on-failure --timeout 600 || status=$?
wine_stop
exit "$status"
