#!/usr/bin/env bash
# The 32-bit build's Windows tests under emulated 32-bit Wine, run by
# scripts/test-windows.sh inside "scripts/wine-i386.sh run". Under an older qemu
# every Wine program start costs a minute or two and the first one boots Wine's
# services, so the run holds three starts: the boot, the module test, and one velkfs.exe
# session against phonesim (tests/e2e/test_wine.py).
# Usage: run-emulated.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR WORK_DIR
#
# The emulator's failures are told from the product's:
# - Wine's boot fails (wineboot fails, does not end in time, stands still, or
#   makes no prefix), or the module test program never prints its first line
#   (printed before it loads the module) while qemu crashed or the program was
#   killed: the prefix is wiped and Wine boots once more. When that fails too,
#   one line says that the 32-bit run was not possible on this machine, why,
#   and where the log is; that is no failure.
# - A module test program that did not start for another reason (Wine cannot
#   load it) is the build's failure.
# - Once the module test has started, a failure is the product's and fails the
#   run. Only when Wine's output shows qemu itself crashing during a test (qemu
#   prints "qemu: uncaught target signal ..." when an emulated process dies of
#   a signal Wine could not handle), that test runs once more, and the second
#   run decides.
# Exit code: 0 passed or not possible here, 1 a test failed.
set -u
windows_build="$1" linux_build="$2" work_dir="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export VELK_WINE_MODE=emulated
. "$here/../../scripts/wine-env.sh" || exit 1

qemu_crashes() { grep -cE '^qemu: (uncaught target signal|unhandled)' "$@" 2>/dev/null | awk -F: '{n += $NF} END {print n + 0}'; }

step() {
  local name="$1" started=$SECONDS status=0
  shift
  echo "---- $name"
  "$@" || status=$?
  echo "---- $name: $([ "$status" -eq 0 ] && echo passed || echo "FAILED ($status)") in $((SECONDS - started)) s"
  return "$status"
}

module_test() {
  bash "$here/run-wine-test.sh" module "$windows_build/bin" "$work_dir/module"
}
module_test_started() { tr -d '\r' <"$work_dir/module/program.log" 2>/dev/null | grep -qx 'module test started'; }
# Whether a module test run that never started failed in the emulator: qemu
# crashed, or the program was killed (by its time limit or a signal). Anything
# else, such as Wine saying it cannot load the program, is a fault of the build.
module_test_lost_to_emulator() {
  local status
  status="$(cat "$work_dir/module/program.status" 2>/dev/null || echo 0)"
  [ "$(qemu_crashes "$work_dir/module/wine.log")" -gt 0 ] || [ "$status" -ge 124 ]
}

velkfs_session() {
  : >"$work_dir/velkfs-wine.log"
  env -C "$here/../e2e" VELK_BIN_DIR="$linux_build/bin" VELK_WINDOWS_BUILD_DIR="$windows_build" \
    VELK_WINE_LOG="$work_dir/velkfs-wine.log" PYTHONDONTWRITEBYTECODE=1 \
    timeout $((VELK_WINE_TIMEOUT + 600)) python3 -m unittest -v test_wine
}

# After a failed test: when Wine's output LOG shows qemu crashing, the test
# runs once more and that run decides; otherwise the failure stands.
rerun_after_qemu_crash() {
  local name="$1" log="$2" crashes
  shift 2
  crashes="$(qemu_crashes "$log")"
  [ "$crashes" -gt 0 ] || return 1
  echo "qemu crashed $crashes time(s) during the $name (log: $log.first); it runs once more"
  cp "$log" "$log.first"
  # A crashed wineserver takes the boot with it: the next program boots again.
  wine_server_running || rm -f "$WINEPREFIX/.velk-booted"
  step "$name, second run" "$@"
}

# Started early by the suite, the run boots Wine while the programs it tests
# are still being built; VELK_EMULATED_READY names the file that says they are made.
await_builds() {
  [ -n "${VELK_EMULATED_READY:-}" ] || return 0
  local waited=0
  while [ ! -f "$VELK_EMULATED_READY" ]; do
    if [ "$waited" -ge 5400 ]; then
      echo "The programs to test were not built within $waited s (no $VELK_EMULATED_READY)"
      return 1
    fi
    sleep 5
    waited=$((waited + 5))
  done
  [ "$waited" -gt 0 ] && echo "Wine had booted $waited s before the programs to test were built"
  return 0
}

mkdir -p "$work_dir"
reason=""
for attempt in 1 2; do
  boot_log="$work_dir/boot-$attempt.log"
  if ! VELK_WINE_BOOT_LOG="$boot_log" step "Wine's boot in the i386 tree (attempt $attempt)" wine_prepare; then
    reason="$wine_boot_failure"
  else
    await_builds || exit 1
    step "module test (i686)" module_test && module_status=0 || module_status=1
    module_test_started && break
    if ! module_test_lost_to_emulator; then
      echo "The module test program did not start, and not for the emulator (see above)."
      exit 1
    fi
    boot_log="$work_dir/module-attempt-$attempt.wine.log"
    cp "$work_dir/module/wine.log" "$boot_log"
    reason="the module test program did not start (exit code $(cat "$work_dir/module/program.status"))"
  fi
  crashes="$(qemu_crashes "$boot_log")"
  [ "$crashes" -gt 0 ] && reason="$reason; qemu crashed $crashes time(s)"
  echo "Wine in the i386 tree failed before the module's code ran: $reason (log: $boot_log)"
  if [ "${VELK_I386_EMULATED:-1}" = 0 ]; then
    echo "The tree runs without an emulator here: this failure is Wine's or the build's, not an emulator's."
    exit 1
  fi
  if [ "$attempt" -eq 2 ]; then
    echo "the 32-bit run was not possible on this machine: $reason (log: $boot_log)"
    exit 0
  fi
  echo "The prefix is wiped; Wine boots once more."
  wine_wipe_emulated_prefix
done

status=0
if [ "$module_status" -ne 0 ]; then
  rerun_after_qemu_crash "module test (i686)" "$work_dir/module/wine.log" module_test || status=1
fi
step "velkfs.exe session (i686)" velkfs_session ||
  rerun_after_qemu_crash "velkfs.exe session (i686)" "$work_dir/velkfs-wine.log" velkfs_session || status=1
exit "$status"
