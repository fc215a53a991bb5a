#!/usr/bin/env bash
# Runs one Windows test program under Wine, with pty_peer.py at the far end of
# COM5 for the programs that use the serial line, and judges it by what it
# printed (wine's own exit code can lie).
# Usage: run-wine-test.sh platform|serial_port|module|find_data WINDOWS_BIN_DIR WORK_DIR
set -u
program="$1" bin_dir="$2" work_dir="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/../../scripts/wine-env.sh"

mkdir -p "$work_dir"
rm -f "$work_dir"/*.log "$work_dir/peer-state" "$work_dir/program.status"
wine_prepare || exit 1
link="$WINEPREFIX/velk-com5"
wine_map_com 5 "$link" || exit 1

peer_pid=""
if [ "$program" != platform ] && [ "$program" != find_data ]; then
  python3 "$here/pty_peer.py" --link "$link" --state "$work_dir/peer-state" --lifetime $((${VELK_WINE_TIMEOUT:-120} + 80)) \
    >"$work_dir/peer.log" 2>&1 &
  peer_pid=$!
  for _ in $(seq 100); do [ -f "$work_dir/peer-state" ] && break; sleep 0.05; done
fi

state_windows_path="Z:$(echo "$work_dir/peer-state" | tr / '\\')"
case "$program" in
  # Wine takes the user's language from LC_ALL; the shell's own complaint that
  # the locale is not installed here does not matter.
  platform) (cd "$bin_dir" && { export LC_ALL=de_DE.UTF-8; } 2>/dev/null && wine_run ./wine_platform_test.exe) ;;
  serial_port) (cd "$bin_dir" && wine_run ./wine_serial_port_test.exe COM5) ;;
  module) (cd "$bin_dir" && wine_run ./wine_module_test.exe "$state_windows_path") ;;
  find_data) (cd "$bin_dir" && wine_run ./wine_find_data_test.exe) ;;
  *) echo "unknown test program $program" >&2; exit 2 ;;
esac >"$work_dir/program.log" 2>"$work_dir/wine.log"
status=$?
echo "$status" >"$work_dir/program.status"

# Wine holds the pty as its controlling terminal: stop it before the peer closes the pty.
wine_stop
if [ -n "$peer_pid" ]; then
  kill "$peer_pid" 2>/dev/null
  wait "$peer_pid" 2>/dev/null
  echo "--- peer"; cat "$work_dir/peer.log"
fi
echo "--- program (exit $status)"
tr -d '\r' <"$work_dir/program.log"
if [ -s "$work_dir/wine.log" ]; then echo "--- wine (last lines)"; tail -n 20 "$work_dir/wine.log"; fi

tr -d '\r' <"$work_dir/program.log" | grep -Eq '^[1-9][0-9]* passed, 0 failed$' && [ "$status" -eq 0 ]
