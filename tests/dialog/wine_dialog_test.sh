#!/bin/bash
# Shows the Windows build's options dialog under Wine on a virtual display and
# lets wine_options_dialog.exe check it; keeps its picture as an artifact.
#   wine_dialog_test.sh WINDOWS_BUILD_DIR ARTIFACT_DIR
set -u
build="$(cd "$1" && pwd)"
artifacts="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/../../scripts/wine-env.sh"

# A folder of its own: the program keeps fsplugin.ini beside itself.
run="$artifacts/run"
rm -rf "$run" && mkdir -p "$run"
cp "$build/bin/wine_options_dialog.exe" "$run/" || exit 1
module=-
if [ -f "$build/bin/VelkPlugin.wfx" ]; then
  cp "$build/bin/VelkPlugin.wfx" "$run/"
  module="$run/VelkPlugin.wfx"
fi
report="$artifacts/report.txt"
shot="$artifacts/options-dialog.bmp"
rm -f "$report" "$shot" "$artifacts/options-dialog.png"

wine_prepare || exit 1
trap wine_stop EXIT
# Wine lists a mapped port in the registry whatever the path leads to.
ln -sfn /dev/null "$artifacts/com7"
wine_map_com 7 "$artifacts/com7" || exit 1

winpath() { if [ "$1" = - ]; then echo -; else wine_path "$1"; fi; }
# Wine's virtual desktop draws the window frame itself, so the picture shows
# the dialog as a user sees it.
VELK_WINE_TIMEOUT=120 timeout 150 xvfb-run -a -s "-screen 0 1024x768x24" \
  bash -c '. "$1/../../scripts/wine-env.sh"; shift; wine_run explorer /desktop=velk,800x600 "$@"' \
  _ "$here" "$(winpath "$run/wine_options_dialog.exe")" "$(winpath "$module")" COM7 \
  "$(winpath "$report")" "$(winpath "$shot")" > "$artifacts/wine.log" 2>&1

# explorer may hand the program over and return early: wait for its report.
for _ in $(seq 1 100); do [ -s "$report" ] && break; sleep 0.3; done
if [ -f "$shot" ] && command -v convert > /dev/null; then
  convert "$shot" "$artifacts/options-dialog.png" && rm -f "$shot"
fi
# The program writes its report in text mode: CR LF line ends.
if [ "$(tr -d '\r' < "$report" 2>/dev/null)" != ok ]; then
  echo "dialog under Wine failed:"; cat "$report" 2>/dev/null; tail -20 "$artifacts/wine.log"
  exit 1
fi
echo "dialog under Wine: ok (picture in $artifacts)"
