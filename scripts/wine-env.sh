# Wine set-up for running the 32-bit Windows build's programs; sourced by test
# scripts:  . scripts/wine-env.sh; wine_prepare; wine_map_com 5 /tmp/link;
#           wine_run prog.exe args...; wine_stop
# VELK_WINEPREFIX chooses the prefix; VELK_WINE_TIMEOUT bounds one program run
# (seconds, default 120).

VELK_SOURCE_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${VELK_WINEPREFIX:-$HOME/.cache/velk-wine32}"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# The modem-line shim for pseudo-terminals, built into the prefix folder.
VELK_PTY_SHIM="$WINEPREFIX/velk-ptyshim.so"

# Creates the prefix if missing, installs Wine's own fonts into it, builds the
# pty shim, and starts a persistent wineserver so that each program starts fast.
wine_prepare() {
  # The stamp marks a prefix whose creation finished; an interrupted one is redone.
  if [ ! -f "$WINEPREFIX/.velk-prepared" ]; then
    mkdir -p "$WINEPREFIX"
    timeout 300 wineboot -i >/dev/null 2>&1 || { echo "wine_prepare: wineboot failed" >&2; return 1; }
    timeout 60 wineserver -w
    touch "$WINEPREFIX/.velk-prepared"
  fi
  local fonts="$WINEPREFIX/drive_c/windows/Fonts"
  if [ -d /usr/share/wine/fonts ] && [ ! -f "$fonts/tahoma.ttf" ]; then
    mkdir -p "$fonts" && cp /usr/share/wine/fonts/* "$fonts/"
  fi
  local shim_source="$VELK_SOURCE_DIR/tests/wine/ptyshim.c"
  if [ ! -f "$VELK_PTY_SHIM" ] || [ "$shim_source" -nt "$VELK_PTY_SHIM" ]; then
    gcc -m32 -shared -fPIC -O2 -Wall -Wextra -Werror -o "$VELK_PTY_SHIM" "$shim_source" -ldl ||
      { echo "wine_prepare: cannot build the pty shim (gcc-multilib missing?)" >&2; return 1; }
  fi
  wineserver -p 30
}

# Maps COM<N> to the Linux path PATH; Wine lists it under SERIALCOMM from the
# next wineserver start on, so the server is restarted.
wine_map_com() {
  local number="$1" path="$2"
  # Already mapped by an earlier call: spare the registry write and the restart.
  [ "$(readlink "$WINEPREFIX/dosdevices/com$number" 2>/dev/null)" = "$path" ] && return 0
  timeout 60 wine reg add 'HKLM\Software\Wine\Ports' /v "COM$number" /t REG_SZ /d "$path" /f \
    >/dev/null 2>&1 || { echo "wine_map_com: reg add failed" >&2; return 1; }
  wine_stop
  wineserver -p 30
}

# Runs a 32-bit program with the pty shim preloaded and returns its exit code.
# Wine's exit code can lie when wine32 is missing: judge by what the program printed.
wine_run() {
  LD_PRELOAD="$VELK_PTY_SHIM${LD_PRELOAD:+:$LD_PRELOAD}" \
    timeout --kill-after=5 "${VELK_WINE_TIMEOUT:-120}" wine "$@"
}

# Stops every Wine process of the prefix and waits for the server to end; call
# it before closing a pseudo-terminal that Wine has open.
wine_stop() {
  wineserver -k 2>/dev/null
  timeout 60 wineserver -w 2>/dev/null
  return 0
}
