#!/usr/bin/env bash
# The 32-bit build's Windows tests under emulated 32-bit Wine, run by
# scripts/test-windows.sh inside "scripts/wine-i386.sh run". Every Wine program
# start costs about a minute there and the first one boots Wine's services, so
# the run holds three starts: the boot, the module test, and one velkfs.exe
# session against phonesim (tests/e2e/test_wine.py).
# Usage: run-emulated.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR WORK_DIR
set -u
windows_build="$1" linux_build="$2" work_dir="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export VELK_WINE_MODE=emulated
. "$here/../../scripts/wine-env.sh" || exit 1

step() {
  local name="$1" started=$SECONDS status=0
  shift
  echo "---- $name"
  "$@" || status=$?
  echo "---- $name: $([ "$status" -eq 0 ] && echo passed || echo "FAILED ($status)") in $((SECONDS - started)) s"
  return "$status"
}

mkdir -p "$work_dir"
step "Wine's boot in the i386 tree" wine_prepare || exit 1
status=0
step "module test (i686)" bash "$here/run-wine-test.sh" module "$windows_build/bin" "$work_dir/module" || status=1
step "velkfs.exe session (i686)" env -C "$here/../e2e" VELK_BIN_DIR="$linux_build/bin" \
  VELK_WINDOWS_BUILD_DIR="$windows_build" PYTHONDONTWRITEBYTECODE=1 \
  timeout $((VELK_WINE_TIMEOUT + 900)) python3 -m unittest -v test_wine || status=1
exit "$status"
