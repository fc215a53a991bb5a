# Wine set-up for running the Windows build's programs; sourced by test
# scripts (it also works under "set -eu"):
#   . scripts/wine-env.sh; wine_prepare; wine_map_com 5 /tmp/link
#   wine_run prog.exe args...; wine_stop
#
# The product is a 32-bit module. VELK_WINE_MODE says how its programs run
# (set it beforehand to force one):
#   win32     the machine's own 32-bit Wine, where the kernel runs 32-bit
#             programs and wine32 is installed;
#   emulated  32-bit Wine in an i386 Debian tree (through qemu where the
#             kernel runs no 32-bit programs); only inside "scripts/wine-i386.sh
#             run", which gives the tree (VELK_I386_TREE) and the prefix;
#   win64     64-bit Wine with the x86-64 build of the same sources
#             (cmake/mingw-x86_64.cmake), where neither is at hand.
# VELK_WINE_ARCH (win32 or win64) names the architecture of the programs run.
#
# VELK_WINEPREFIX chooses the prefix's base name (the architecture is appended:
# the two kinds of prefix cannot share a folder); VELK_WINE_TIMEOUT bounds one
# program run (seconds, default 120, under emulation 1200).

VELK_SOURCE_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

if [ -z "${VELK_WINE_MODE:-}" ]; then
  if [ -n "${VELK_I386_TREE:-}" ]; then
    VELK_WINE_MODE=emulated
  # 32-bit when Wine's 32-bit loader starts: that needs both wine32 and a
  # kernel that runs 32-bit programs.
  elif [ -x /usr/lib/wine/wine ] && timeout 20 /usr/lib/wine/wine --version >/dev/null 2>&1; then
    VELK_WINE_MODE=win32
  else
    VELK_WINE_MODE=win64
  fi
fi
export VELK_WINE_MODE
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Left by an earlier sourcing for another mode, it would start the wrong loader.
unset WINELOADER
case "$VELK_WINE_MODE" in
  win32)
    export VELK_WINE_ARCH=win32
    # /usr/bin/wine prefers the 32-bit loader; it is named directly all the same.
    VELK_WINE=/usr/lib/wine/wine
    ;;
  win64)
    export VELK_WINE_ARCH=win64
    VELK_WINE=/usr/lib/wine/wine64
    export WINELOADER="$VELK_WINE"
    ;;
  emulated)
    export VELK_WINE_ARCH=win32
    # A path inside the tree: the tree holds 32-bit Wine only.
    VELK_WINE=/usr/bin/wine
    # The bounds of a program run and of the boot (the first boot makes the
    # prefix, later ones start Wine's services only), sized from measured runs
    # on a busy machine: under qemu 10 a first boot took 15 s, a later one 4 s,
    # a test program under a minute; under an older qemu, whose every process
    # start costs a minute or two, 12.5 min and about 2 min.
    if [ "${VELK_I386_SLOW_QEMU:-0}" = 1 ]; then
      export VELK_WINE_TIMEOUT="${VELK_WINE_TIMEOUT:-1200}"
      export VELK_WINE_FIRST_BOOT_TIMEOUT="${VELK_WINE_FIRST_BOOT_TIMEOUT:-2400}"
      export VELK_WINE_BOOT_TIMEOUT="${VELK_WINE_BOOT_TIMEOUT:-1200}"
    else
      export VELK_WINE_TIMEOUT="${VELK_WINE_TIMEOUT:-600}"
      export VELK_WINE_FIRST_BOOT_TIMEOUT="${VELK_WINE_FIRST_BOOT_TIMEOUT:-600}"
      export VELK_WINE_BOOT_TIMEOUT="${VELK_WINE_BOOT_TIMEOUT:-300}"
    fi
    export VELK_WINE_BOOT_STALL="${VELK_WINE_BOOT_STALL:-240}"
    # Some of Wine's helpers crash under the emulator now and then; starting
    # the debugger for each would cost another minute. (Other programs are
    # not switched off this way: under qemu a switched-off program still
    # costs its process start, and the service manager starts the drivers'
    # host again and again; wine_disable_emulated_services keeps services
    # from starting instead.)
    WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winedbg.exe=d"
    ;;
  *)
    echo "wine-env.sh: unknown VELK_WINE_MODE $VELK_WINE_MODE (win32, win64 or emulated)" >&2
    return 1 2>/dev/null || exit 1
    ;;
esac
export WINEARCH="$VELK_WINE_ARCH"
if [ "$VELK_WINE_MODE" = emulated ]; then
  # The same path inside the tree and out (scripts/wine-i386.sh binds it).
  export WINEPREFIX="${VELK_I386_PREFIX:?VELK_I386_PREFIX is set by scripts/wine-i386.sh run}"
  VELK_PTY_SHIM=/opt/velk/ptyshim32.so
else
  export WINEPREFIX="${VELK_WINEPREFIX:-$HOME/.cache/velk-wine}-${VELK_WINE_ARCH#win}"
  # The modem-line shim for pseudo-terminals, built into the prefix folder for
  # the loader's architecture.
  VELK_PTY_SHIM="$WINEPREFIX/velk-ptyshim.so"
fi

# Runs a Wine program or tool for at most SECONDS: under emulation inside the
# i386 tree, in the same working folder (the tree sees the host's /tmp, source
# folder and prefix at their own paths). VAR=VALUE words before the command go
# into its environment only.
wine_exec() {
  local seconds="$1"
  shift
  if [ "$VELK_WINE_MODE" = emulated ]; then
    timeout --kill-after=5 "$seconds" chroot "$VELK_I386_TREE" /usr/bin/env -C "$PWD" PATH=/usr/bin:/bin "$@"
  else
    timeout --kill-after=5 "$seconds" env "$@"
  fi
}

# Under emulation: boots the prefix's one wineserver for this run and keeps it
# until scripts/wine-i386.sh run ends it. Every first program of a server
# starts wineboot, which starts Wine's services (and makes the prefix when
# there is none); that takes minutes there, and the program gives up waiting
# for it after a few. So wineboot runs here, as the first program, and is
# awaited before any test program starts. The prefix is kept in the cache. Wine's output goes
# to VELK_WINE_BOOT_LOG (default: boot.log beside the prefix). A failed boot
# returns 1 and leaves its reason in wine_boot_failure.
wine_boot_emulated() {
  wine_boot_failure=""
  [ -f "$WINEPREFIX/.velk-booted" ] && return 0
  # The marker is written only after a finished first boot: a prefix without
  # it was interrupted and is made again from nothing.
  [ -f "$WINEPREFIX/.velk-prepared" ] || find "$WINEPREFIX" -mindepth 1 -delete
  local started=$SECONDS log="${VELK_WINE_BOOT_LOG:-$WINEPREFIX/../boot.log}"
  local limit="$VELK_WINE_BOOT_TIMEOUT" last_ticks=-1 last_progress=$SECONDS trigger
  local first=0
  [ -f "$WINEPREFIX/.velk-prepared" ] || first=1 limit="$VELK_WINE_FIRST_BOOT_TIMEOUT"
  [ "$first" -eq 1 ] || wine_disable_emulated_services
  wine_exec 120 wineserver -p >/dev/null 2>&1 || true
  # wineboot is the server's first program. Under qemu it does not boot the
  # prefix itself: its loader starts another wineboot for that and stops
  # waiting for it after a few minutes (on a new prefix it then ends with
  # "could not load kernel32.dll"). So the boot has ended once neither runs.
  # Output goes to a file: Wine's services, which stay, would hold a pipe open.
  wine_exec "$limit" "$VELK_WINE" wineboot --init >"$log" 2>&1 &
  trigger=$!
  # This run has a process namespace of its own: every wineboot seen is its
  # own. A busy machine makes the boot slow but not still: a boot whose
  # processes used no CPU for VELK_WINE_BOOT_STALL seconds hangs (on a process
  # the emulator killed).
  while kill -0 "$trigger" 2>/dev/null || grep -qs 'wineboot\.exe' /proc/[0-9]*/cmdline; do
    wine_sample_emulated_cpu
    if [ "$wine_cpu_ticks" -gt "$last_ticks" ]; then last_ticks="$wine_cpu_ticks" last_progress=$SECONDS; fi
    if [ $((SECONDS - started)) -ge "$limit" ]; then
      wine_boot_failure="Wine's boot did not end within $limit s"
    elif [ $((SECONDS - last_progress)) -ge "$VELK_WINE_BOOT_STALL" ]; then
      wine_boot_failure="Wine's boot stood still for $VELK_WINE_BOOT_STALL s"
    fi
    [ -z "$wine_boot_failure" ] || break
    sleep 2
  done
  # A first boot says that it made the prefix; a later one finds it made.
  if [ -z "$wine_boot_failure" ]; then
    if [ "$first" -eq 1 ] && ! grep -q 'wine: configuration in .* has been updated' "$log"; then
      wine_boot_failure="Wine's boot did not finish making the prefix"
    elif [ ! -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ]; then
      wine_boot_failure="Wine's boot made no prefix"
    fi
  fi
  echo "wine_prepare: the boot's processes in the tree used $((wine_cpu_ticks / $(getconf CLK_TCK))) s of CPU" >&2
  if [ -n "$wine_boot_failure" ]; then
    echo "wine_prepare: $wine_boot_failure (log: $log)" >&2
    return 1
  fi
  touch "$WINEPREFIX/.velk-prepared" "$WINEPREFIX/.velk-booted"
  echo "wine_prepare: Wine booted in the i386 tree in $((SECONDS - started)) s" >&2
}

# Under emulation, before a boot of a made prefix: the services that Wine
# starts at each boot, none of which the test programs use, are switched off
# in the prefix's registry (the server is not running, so the file may be
# edited). Under qemu the service manager would start a process for each, a
# minute or two apiece, even where WINEDLLOVERRIDES keeps the program from
# running: event log, mount manager, network drivers, plug and play.
wine_disable_emulated_services() {
  local registry="$WINEPREFIX/system.reg"
  awk '
    /^\[/ { service = "" }
    /^\[System\\\\CurrentControlSet\\\\Services\\\\(Eventlog|MountMgr|NDIS|nsiproxy|PlugPlay)\]/ { service = $1 }
    service != "" && /^"Start"=dword:/ { $0 = "\"Start\"=dword:00000004" }
    { print }' "$registry" >"$registry.new" && mv "$registry.new" "$registry"
}

# Under emulation: adds the CPU time that this run's processes in the i386 tree
# (Wine's) used since the last call to wine_cpu_ticks (a process's last few
# seconds before it ends go uncounted).
declare -A wine_cpu_seen=()
wine_cpu_ticks=0
wine_sample_emulated_cpu() {
  local process fields ticks key
  for process in $(wine_tree_processes); do
    # After the command name: utime and stime are the 12th and 13th words, the start time the 20th.
    fields="$(cut -d')' -f2- "/proc/$process/stat" 2>/dev/null)" || continue
    # shellcheck disable=SC2086  # split into words on purpose
    set -- $fields
    key="$process:${20}" ticks=$((${12} + ${13}))
    [ "$ticks" -gt "${wine_cpu_seen[$key]:-0}" ] && wine_cpu_ticks=$((wine_cpu_ticks + ticks - ${wine_cpu_seen[$key]:-0}))
    wine_cpu_seen[$key]=$ticks
  done
}

# Under emulation: the ids of the processes that run in the i386 tree.
wine_tree_processes() {
  local root
  for root in /proc/[0-9]*/root; do
    [ "$(readlink "$root" 2>/dev/null)" = "$VELK_I386_TREE" ] && echo "${root//[^0-9]/}"
  done
  return 0
}

# Under emulation: whether this run's wineserver still runs.
wine_server_running() { grep -qs 'wineserve[r]' /proc/[0-9]*/cmdline; }

# Under emulation, after a failed boot: ends every process of this run in the
# i386 tree and empties the prefix.
wine_wipe_emulated_prefix() {
  wine_exec 60 wineserver -k >/dev/null 2>&1 || true
  local process
  for process in $(wine_tree_processes); do kill -KILL "$process" 2>/dev/null; done
  rm -f "$WINEPREFIX/.velk-booted" "$WINEPREFIX/.velk-prepared"
  find "$WINEPREFIX" -mindepth 1 -delete
}

# Creates the prefix if missing, installs Wine's own fonts into it, builds the
# pty shim, and starts a wineserver that outlives single programs so that each
# program starts fast.
wine_prepare() {
  if [ "$VELK_WINE_MODE" = emulated ]; then
    wine_boot_emulated
    return
  fi
  # The marker is written only after a finished wineboot: a prefix without it
  # was interrupted and is made again from nothing.
  if [ ! -f "$WINEPREFIX/.velk-prepared" ]; then
    rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX"
    if ! timeout --kill-after=10 300 "$VELK_WINE" wineboot -i >/dev/null 2>&1; then
      echo "wine_prepare: wineboot failed or took over 300 s ($WINEPREFIX)" >&2
      wine_stop
      return 1
    fi
    timeout 60 wineserver -w || true
    touch "$WINEPREFIX/.velk-prepared"
  fi
  # Debian's Wine does not find its own fonts; without them Tahoma falls back
  # to another face and the dialogs change size.
  # They come with the fonts-wine package, as links into /usr/share/fonts.
  local fonts="$WINEPREFIX/drive_c/windows/Fonts"
  if [ ! -f "$fonts/tahoma.ttf" ]; then
    if [ -f /usr/share/wine/fonts/tahoma.ttf ]; then
      mkdir -p "$fonts" && cp -L /usr/share/wine/fonts/* "$fonts/"
    else
      echo "wine_prepare: Wine's fonts are missing (package fonts-wine); dialogs will look different" >&2
    fi
  fi
  local shim_source="$VELK_SOURCE_DIR/tests/wine/ptyshim.c" bits=-m64
  [ "$VELK_WINE_ARCH" = win32 ] && bits=-m32
  if [ ! -f "$VELK_PTY_SHIM" ] || [ "$shim_source" -nt "$VELK_PTY_SHIM" ]; then
    gcc "$bits" -shared -fPIC -O2 -Wall -Wextra -Werror -o "$VELK_PTY_SHIM" "$shim_source" -ldl ||
      { echo "wine_prepare: cannot build the pty shim ($bits; gcc-multilib missing?)" >&2; return 1; }
  fi
  wine_keep_server
}

# Starts a wineserver that stays 30 s after its last program; one already
# running (exit code 2) is just as good. The number is attached: "-p 30" would
# mean "forever" followed by a stray word.
wine_keep_server() {
  local status=0
  wineserver -p30 >/dev/null 2>&1 || status=$?
  [ "$status" -ne 1 ]
}

# Maps COM<N> to the Linux path PATH; Wine lists it under SERIALCOMM from the
# next wineserver start on, so the server is restarted. Under emulation a
# restart would cost minutes: there the link that Wine opens for COM<N> is made
# by hand (it works at once, only SERIALCOMM does not list it).
wine_map_com() {
  local number="$1" path="$2"
  if [ "$VELK_WINE_MODE" = emulated ]; then
    ln -sfn "$path" "$WINEPREFIX/dosdevices/com$number"
    return
  fi
  # Already mapped by an earlier call: spare the registry write and the restart.
  [ "$(readlink "$WINEPREFIX/dosdevices/com$number" 2>/dev/null)" = "$path" ] && return 0
  timeout --kill-after=5 60 "$VELK_WINE" reg add 'HKLM\Software\Wine\Ports' /v "COM$number" \
    /t REG_SZ /d "$path" /f >/dev/null 2>&1 || { echo "wine_map_com: reg add failed" >&2; return 1; }
  wine_stop
  wine_keep_server
}

# Prints the Windows form of a Linux path.
wine_path() {
  wine_exec 30 "$VELK_WINE" winepath -w "$1" 2>/dev/null | tr -d '\r'
}

# Runs a program with the pty shim preloaded and returns its exit code. Judge a
# run by what the program printed as well: a loader that cannot start the
# program may still exit 0.
wine_run() {
  wine_exec "${VELK_WINE_TIMEOUT:-120}" LD_PRELOAD="$VELK_PTY_SHIM${LD_PRELOAD:+:$LD_PRELOAD}" "$VELK_WINE" "$@"
}

# Stops every Wine process of the prefix and waits for the server to end; call
# it before closing a pseudo-terminal that Wine has open. Under emulation the
# run's one server stays (booting another costs minutes) until
# scripts/wine-i386.sh run ends it.
wine_stop() {
  [ "$VELK_WINE_MODE" = emulated ] && return 0
  wineserver -k 2>/dev/null || true
  timeout 60 wineserver -w 2>/dev/null || true
}
