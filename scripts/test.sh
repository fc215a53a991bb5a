#!/usr/bin/env bash
# The whole test suite: the Linux build and its tests, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the Windows module
# cross-built with mingw-w64 and tested under Wine; the fuzz targets run for a
# minute each.
# Usage: scripts/test.sh            (builds into build/, build-asan/, build-win*/)
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$source_dir"

"$source_dir/scripts/install-deps.sh" all

section() { printf '\n==== %s\n' "$*"; }
status=0

section "Linux build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
ctest --test-dir build -j2 --output-on-failure || status=1

section "Linux tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELK_SANITIZE=ON >/dev/null
cmake --build build-asan -j2
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j2 --output-on-failure || status=1

section "Fuzzing the reply handling (60 s per target, two at a time)"
VELK_FUZZ_JOBS=2 "$source_dir/scripts/fuzz.sh" 60 || status=1

section "Windows module under Wine"
"$source_dir/scripts/test-windows.sh" "$source_dir/build" || status=1

exit "$status"
