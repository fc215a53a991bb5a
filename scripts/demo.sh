#!/usr/bin/env bash
# Builds everything, starts the phone emulator on a pseudo-terminal with a small
# sample phone, and shows velkfs listing it, copying a file each way and
# installing a Java game. Run from anywhere: scripts/demo.sh
# The user's own settings are left as they were.
set -euo pipefail

SOURCE_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${VELK_BUILD_DIR:-$SOURCE_DIR/build}"
if [ -t 1 ]; then
  step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
  step() { printf '\n== %s\n' "$*"; }
fi
show() { printf '$ %s\n' "$*"; "$@"; }

"$SOURCE_DIR/scripts/install-deps.sh" linux

# The build's progress lines: on a terminal one line, rewritten as it goes.
progress() {
  local line
  while IFS= read -r line; do
    case "$line" in
      "["*"%]"*) if [ -t 1 ]; then printf '\r\033[K%s' "${line:0:100}"; else printf '%s\n' "$line"; fi ;;
    esac
  done
  if [ -t 1 ]; then printf '\r\033[K'; fi
}

step "Building the module, velkfs and phonesim into $BUILD_DIR"
echo "The first build takes 3 to 5 minutes on 2 cores; later runs only seconds."
BUILD_LOG="$(mktemp)"
if ! { cmake -S "$SOURCE_DIR" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$BUILD_DIR" -j2 --target VelkPlugin velkfs phonesim; } 2>&1 | tee "$BUILD_LOG" | progress; then
  tail -n 40 "$BUILD_LOG" >&2
  echo "The build failed; the whole log is in $BUILD_LOG" >&2
  exit 1
fi
rm -f "$BUILD_LOG"
BIN="$BUILD_DIR/bin"
echo "velkfs, VelkPlugin.wfx and phonesim are in $BIN"

WORK="$(mktemp -d)"
PHONE="$WORK/phone"
PC="$WORK/pc"
LINK="$WORK/phone-link"
# The demo's own user settings folder: the user's own settings stay as they are.
export XDG_CONFIG_HOME="$WORK/config"
PHONESIM_PID=""
cleanup() {
  if [ -n "$PHONESIM_PID" ] && kill -0 "$PHONESIM_PID" 2>/dev/null; then
    kill -INT "$PHONESIM_PID" 2>/dev/null || true
    wait "$PHONESIM_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

step "A sample phone in $PHONE"
# The folders a phone has from the factory; installations write into them.
mkdir -p "$PHONE/brew/mod/java_ams/config/games" "$PHONE/brew/mod/java_ams/config/apps" "$PHONE/brew/mod/cmgr/pp"
mkdir -p "$PHONE/pictures" "$PHONE/ringtones" "$PC"
printf 'Hello from the phone\n' >"$PHONE/readme.txt"
printf 'not really a picture\n' >"$PHONE/pictures/cat.jpg"
printf 'beep beep\n' >"$PHONE/ringtones/beep.mid"
# One file holding every byte value 0..255.
for ((value = 0; value < 256; value++)); do printf "\\$(printf '%03o' "$value")"; done >"$PHONE/pictures/allbytes.bin"
printf 'Notes written on the PC\n' >"$PC/notes.txt"
printf 'PK\003\004 a tiny Java game\n' >"$PC/game.jar"
printf 'MIDlet-Name: Game\nMIDlet-Version: 1.0\nMIDlet-Jar-URL: game.jar\nMIDlet-Jar-Size: %s\n' \
  "$(stat -c %s "$PC/game.jar")" >"$PC/game.jad"
(cd "$WORK" && find phone pc -type f | sort)

step "Starting the phone emulator"
"$BIN/phonesim" --root "$PHONE" --link "$LINK" >"$WORK/phonesim.log" 2>&1 &
PHONESIM_PID=$!
for ((tries = 0; tries < 100; tries++)); do
  grep -q "listening" "$WORK/phonesim.log" && break
  sleep 0.1
done
cat "$WORK/phonesim.log"
grep -q "listening" "$WORK/phonesim.log" || { echo "phonesim did not start" >&2; exit 1; }

step "Pointing the module at it (the demo's own settings; 115200 baud)"
printf '$ %s\n' "$BIN/velkfs config --port $LINK --baud 115200"
SETTINGS="$("$BIN/velkfs" config --port "$LINK" --baud 115200 | sed -n 's/^Settings written to //p')"
echo "Settings written to $SETTINGS:"
cat "$SETTINGS"

step "Listing the phone"
show "$BIN/velkfs" ls -l /
show "$BIN/velkfs" ls -l /pictures

step "Copying a file from the phone, and comparing"
show "$BIN/velkfs" get -f /pictures/allbytes.bin "$PC/allbytes.bin"
cmp "$PHONE/pictures/allbytes.bin" "$PC/allbytes.bin" && echo "identical: all 256 byte values came through"

step "Copying a file into a phone folder, and comparing"
show "$BIN/velkfs" put "$PC/notes.txt" /pictures
cmp "$PC/notes.txt" "$PHONE/pictures/notes.txt" && echo "identical"

step "Installing a Java game (game.jar with game.jad beside it)"
if [ -t 0 ] && [ -t 1 ]; then
  echo "velkfs asks whether to restart the phone: answer y (or n)."
  show "$BIN/velkfs" install-game "$PC/game.jar"
else
  echo "No terminal here: the restart question is shown below and answered No."
  show setsid -w "$BIN/velkfs" install-game "$PC/game.jar" </dev/null
fi
show "$BIN/velkfs" ls -l /brew/mod/java_ams/config/games

step "Stopping the emulator"
kill -INT "$PHONESIM_PID"
wait "$PHONESIM_PID" || true
PHONESIM_PID=""
cat "$WORK/phonesim.log"
echo
echo "Done; your own settings are as they were. To use a real phone:"
echo "  $BIN/velkfs config --port /dev/ttyUSB0 --baud 115200, then $BIN/velkfs --help"
