#!/usr/bin/env bash
# Builds the Windows module and its test programs, prepares Wine, and runs the
# Windows tests (ctest label "wine") through a Linux build's ctest: the Windows
# layer, the serial port on a pseudo-terminal, the module as a host loads it,
# the options dialog on a virtual display, velkfs.exe against the phone
# emulator, and the exports of both modules.
# Usage: scripts/test-windows.sh [--start] [LINUX_BUILD_DIR]   (default: build-wlnx)
#   --start  only chooses the Wine and, for the emulated one, starts its set-up
#            and boot in the background, so that they overlap other work (the
#            suite does that first); a later call without --start, with the
#            same LINUX_BUILD_DIR, runs the tests and awaits the emulated run.
#
# The product is the 32-bit module in build-win. Which Wine runs it, in this order
# (VELK_WINE_MODE=win32 or emulated forces one):
#   win32     where the kernel runs 32-bit programs: the machine's 32-bit Wine
#             (wine32, installed here if missing) runs every test on build-win.
#   emulated  elsewhere: 32-bit Wine in an i386 Debian tree, through qemu
#             where the kernel runs no 32-bit programs (scripts/wine-i386.sh;
#             the tree is cached in /var/cache/velk-wine-i386). The tree lacks
#             what the dialog test needs (X libraries, Wine's fonts), so build-win runs
#             the module test and one velkfs.exe session (tests/wine/run-emulated.sh);
#             the other tests run an x86-64 build of the same sources
#             (build-win64) under 64-bit Wine. When the emulated Wine cannot
#             be set up or does not boot twice in a row, one line says that
#             the 32-bit run was not possible on this machine; that alone does
#             not fail the run (tests/wine/run-emulated.sh tells these cases).
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
action=tests
case "${1:-}" in
  --start) action=start; shift ;;
  __emulated-job) action=job; shift ;;
esac
linux_build="$(realpath -m "${1:-$source_dir/build-wlnx}")"
product_build="$source_dir/build-win"
# The emulated run's files: its output (job.log), its exit code once it ended
# (job.status), the process group that runs it (job.pid), and "ready" once the
# builds it tests are made.
emulated_dir="$linux_build/wine-emulated"

elapsed() { echo "$(( (SECONDS - $1) / 60 )) min $(( (SECONDS - $1) % 60 )) s"; }

# Runs a minimal static i386 program (exit(42)) to learn whether the kernel
# runs 32-bit programs; nothing needs to be installed for that.
kernel_runs_i386() {
  local probe status=0
  probe="$(mktemp)"
  # ELF header, one program header loading the file at 0x8048000, and the
  # code at 0x8048054: mov eax,1 (exit); mov ebx,42; int 0x80.
  printf '%b%b%b%b' \
    '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08' \
    '\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  timeout 10 "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  [ "$status" -eq 42 ]
}

# The machine's 32-bit Wine, and gcc-multilib for the 32-bit pty shim (which
# Debian's i686 cross compiler, if another run installed it, would have removed).
wine32_ready() {
  [ -x /usr/lib/wine/wine ] && timeout 20 /usr/lib/wine/wine --version >/dev/null 2>&1 &&
    dpkg-query -W -f='${Status}' gcc-multilib 2>/dev/null | grep -q "install ok installed"
}

# Installs the machine's 32-bit Wine next to the 64-bit one (and gcc-multilib
# for the 32-bit pty shim). The two architectures' package lists must agree;
# when an i386 list cannot be fetched (a mirror in mid-sync does that), this
# fails and leaves apt as it was.
install_wine32() {
  [ "$(id -u)" -eq 0 ] || return 1
  local added=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    added=1
  fi
  echo "Installing 32-bit Wine (wine32, i386 architecture)"
  export DEBIAN_FRONTEND=noninteractive
  if timeout 600 apt-get update -qq >/dev/null 2>&1 &&
    timeout 900 apt-get install -y -qq --no-install-recommends wine32 gcc-multilib >/dev/null 2>&1; then
    return 0
  fi
  if [ "$added" -eq 1 ]; then
    dpkg --remove-architecture i386
    timeout 600 apt-get update -qq >/dev/null 2>&1 || true
  fi
  return 1
}

# The emulated run: set-up, then boot and tests inside the tree's namespaces.
# It runs in the background (start_emulated); the tests start once "ready" exists.
emulated_job() {
  local started=$SECONDS status=0
  if "$source_dir/scripts/wine-i386.sh" setup 2> >(tee "$emulated_dir/setup.err" >&2); then
    echo "Emulated Wine's set-up: $(elapsed "$started")"
    started=$SECONDS
    VELK_EMULATED_READY="$emulated_dir/ready" "$source_dir/scripts/wine-i386.sh" run \
      bash "$source_dir/tests/wine/run-emulated.sh" "$product_build" "$linux_build" "$emulated_dir" || status=$?
    echo "The 32-bit build under emulated Wine: $(elapsed "$started")"
  else
    # Not the product's failure: no tree, no 32-bit run.
    echo "the 32-bit run was not possible on this machine: $(tail -n 1 "$emulated_dir/setup.err" |
      sed 's/^wine-i386.sh: //') (log: $emulated_dir/job.log)"
  fi
  echo "$status" >"$emulated_dir/job.status"
}

start_emulated() {
  rm -rf "$emulated_dir"
  mkdir -p "$emulated_dir"
  # A process group of its own, so that an interrupted suite can end it whole.
  setsid bash "${BASH_SOURCE[0]}" __emulated-job "$linux_build" >"$emulated_dir/job.log" 2>&1 </dev/null &
  echo $! >"$emulated_dir/job.pid"
  echo "Emulated Wine: set-up, boot and 32-bit tests started in the background (output: $emulated_dir/job.log)"
}

# Awaits the emulated run, prints its output, and returns its exit code. The
# run bounds each of its own steps; this bound only catches a lost run.
await_emulated() {
  local pid waited=0
  pid="$(cat "$emulated_dir/job.pid")"
  touch "$emulated_dir/ready"
  while [ ! -f "$emulated_dir/job.status" ] && kill -0 "$pid" 2>/dev/null && [ "$waited" -lt 7200 ]; do
    sleep 5
    waited=$((waited + 5))
  done
  cat "$emulated_dir/job.log"
  if [ ! -f "$emulated_dir/job.status" ]; then
    kill -- -"$pid" 2>/dev/null
    echo "The emulated Wine run ended without a result (output: $emulated_dir/job.log)"
    return 1
  fi
  return "$(cat "$emulated_dir/job.status")"
}

if [ "$action" = job ]; then
  emulated_job
  exit 0
fi

mode="${VELK_WINE_MODE:-}"
# Started earlier by this suite with --start: the emulated run is under way.
[ "$action" = tests ] && [ "${VELK_EMULATED_STARTED:-}" = "$emulated_dir" ] && mode=emulated
if [ -z "$mode" ]; then
  if kernel_runs_i386; then
    if wine32_ready || { install_wine32 && wine32_ready; }; then
      mode=win32
    else
      echo "This kernel runs 32-bit programs, but the machine's 32-bit Wine cannot be installed; emulating."
      mode=emulated
    fi
  else
    mode=emulated
  fi
fi
case "$mode" in
  win32 | emulated) ;;
  *) echo "test-windows.sh: VELK_WINE_MODE is win32 or emulated, not $mode" >&2; exit 2 ;;
esac

if [ "$action" = start ]; then
  [ "$mode" = emulated ] && start_emulated
  exit 0
fi
[ "$mode" = emulated ] && [ "${VELK_EMULATED_STARTED:-}" != "$emulated_dir" ] && start_emulated

"$source_dir/scripts/build-windows.sh" "$product_build" i686
if [ "$mode" = win32 ]; then
  echo "Wine: the machine's 32-bit Wine runs every Windows test on the 32-bit build"
  test_build="$product_build"
  ctest_selection=()
else
  echo "Wine: emulated 32-bit Wine runs the module test and velkfs.exe on the 32-bit build;"
  echo "      64-bit Wine runs the other Windows tests on the x86-64 build"
  test_build="$source_dir/build-win64"
  "$source_dir/scripts/build-windows.sh" "$test_build" x86_64
  ctest_selection=(-E '^(wine_module|e2e_wine)$')
fi

export VELK_WINE_MODE="${mode/emulated/win64}"
. "$source_dir/scripts/wine-env.sh"
started=$SECONDS
wine_prepare
# The Linux side: the Linux module (for the export check), the phone emulator
# and velkfs for the end-to-end test; ctest there runs the Wine tests.
cmake -S "$source_dir" -B "$linux_build" -DVELK_WINDOWS_BUILD_DIR="$test_build" \
  -DVELK_WINDOWS_PRODUCT_MODULE="$product_build/bin/VelkPlugin.wfx" >/dev/null
cmake --build "$linux_build" -j2 --target VelkPlugin phonesim velkfs
status=0
ctest --test-dir "$linux_build" -L wine "${ctest_selection[@]}" --output-on-failure --timeout 600 || status=$?
wine_stop
echo "Windows tests under $VELK_WINE_ARCH Wine: $(elapsed "$started")"

if [ "$mode" = emulated ]; then
  started=$SECONDS
  echo "Awaiting the emulated 32-bit run"
  await_emulated || status=1
  echo "Awaited the emulated 32-bit run for $(elapsed "$started")"
fi
exit "$status"
