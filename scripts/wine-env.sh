# Wine set-up for running the Windows build's programs; sourced by test
# scripts (it also works under "set -eu"):
#   . scripts/wine-env.sh; wine_prepare; wine_map_com 5 /tmp/link
#   wine_run prog.exe args...; wine_stop
#
# The product is a 32-bit module, and its tests run under 32-bit Wine where the
# machine runs 32-bit programs. The development machine's kernel runs no 32-bit
# programs at all (32-bit Wine fails with "Exec format error"), so there the
# tests run under 64-bit Wine with the x86-64 build of the same sources
# (cmake/mingw-x86_64.cmake). VELK_WINE_ARCH tells the callers which one was
# chosen: win32 or win64 (set it beforehand to force one).
#
# VELK_WINEPREFIX chooses the prefix's base name (the architecture is appended:
# the two kinds of prefix cannot share a folder); VELK_WINE_TIMEOUT bounds one
# program run (seconds, default 120).

VELK_SOURCE_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# 32-bit when Wine's 32-bit loader starts: that needs both wine32 and a kernel
# that runs 32-bit programs.
if [ -z "${VELK_WINE_ARCH:-}" ]; then
  if [ -x /usr/lib/wine/wine ] && timeout 20 /usr/lib/wine/wine --version >/dev/null 2>&1; then
    VELK_WINE_ARCH=win32
  else
    VELK_WINE_ARCH=win64
  fi
fi
export VELK_WINE_ARCH
export WINEARCH="$VELK_WINE_ARCH"
# /usr/bin/wine always prefers the 32-bit loader, so the loader is named directly.
if [ "$VELK_WINE_ARCH" = win32 ]; then
  VELK_WINE=/usr/lib/wine/wine
else
  VELK_WINE=/usr/lib/wine/wine64
  export WINELOADER="$VELK_WINE"
fi
export WINEPREFIX="${VELK_WINEPREFIX:-$HOME/.cache/velk-wine}-${VELK_WINE_ARCH#win}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# The modem-line shim for pseudo-terminals, built into the prefix folder for
# the loader's architecture.
VELK_PTY_SHIM="$WINEPREFIX/velk-ptyshim.so"

# Creates the prefix if missing, installs Wine's own fonts into it, builds the
# pty shim, and starts a wineserver that outlives single programs so that each
# program starts fast.
wine_prepare() {
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
# next wineserver start on, so the server is restarted.
wine_map_com() {
  local number="$1" path="$2"
  # Already mapped by an earlier call: spare the registry write and the restart.
  [ "$(readlink "$WINEPREFIX/dosdevices/com$number" 2>/dev/null)" = "$path" ] && return 0
  timeout --kill-after=5 60 "$VELK_WINE" reg add 'HKLM\Software\Wine\Ports' /v "COM$number" \
    /t REG_SZ /d "$path" /f >/dev/null 2>&1 || { echo "wine_map_com: reg add failed" >&2; return 1; }
  wine_stop
  wine_keep_server
}

# Prints the Windows form of a Linux path.
wine_path() {
  timeout --kill-after=5 30 "$VELK_WINE" winepath -w "$1" 2>/dev/null | tr -d '\r'
}

# Runs a program with the pty shim preloaded and returns its exit code. Judge a
# run by what the program printed as well: a loader that cannot start the
# program may still exit 0.
wine_run() {
  LD_PRELOAD="$VELK_PTY_SHIM${LD_PRELOAD:+:$LD_PRELOAD}" \
    timeout --kill-after=5 "${VELK_WINE_TIMEOUT:-120}" "$VELK_WINE" "$@"
}

# Stops every Wine process of the prefix and waits for the server to end; call
# it before closing a pseudo-terminal that Wine has open.
wine_stop() {
  wineserver -k 2>/dev/null || true
  timeout 60 wineserver -w 2>/dev/null || true
}
