#!/usr/bin/env bash
# Black-box runs of the real OrventUpdater.exe under Wine, driven from outside as a user
# would: a real click on Update, the window watched by window-probe, and the virtual
# instrument at the far end telling afterwards what reached its flash.
#
#   blackbox_updater.sh CASE WINDOWS_BUILD SOURCE_DIR
#
# CASE is one of:
#   midi-user       /d0, the system file beside the program, the stand-in MIDI driver
#   serial-developer  /d2 file.vsb over COM3, a pseudo-terminal with serial-instrument
#                   (raw data packets) at the far end
#   single-instance a second start hands its file to the running window (and /h alone
#                   does nothing)
#
# Needs the Wine environment of scripts/wine-env.sh (WINEPREFIX, DISPLAY) and, for the
# serial case, the native build's serial-instrument (build/native/sim).
set -euo pipefail

case_name="$1"
build="$2"
source_dir="$3"

work="$build/blackbox/$case_name"
rm -rf "$work"
mkdir -p "$work"
cp "$build/OrventUpdater.exe" "$work/"
cp "$build/midi_tests/winmm.dll" "$work/"
probe="$build/sim/window-probe.exe"
writer="$build/sim/vsb-writer.exe"
key='HKCU\Software\MAVO\MAVO ORVENT System Updater'

export WINEDLLOVERRIDES="winmm=n,b;mscoree,mshtml="

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

set_dword() {
  wine reg add "$key" /v "$1" /t REG_DWORD /d "$2" /f >/dev/null 2>&1
}

make_file() {
  wine "$writer" "$(winepath -w "$1")" \
    --block "device=ORVENT,name=MAIN,code=1,version=1.05,address=0,size=8192,fill=random,seed=3" \
    --block "device=ORVENT,name=VOICE,code=2,version=2.10,address=0x10000,size=4096,fill=counter" \
    --block "device=ORVENT,name=WAVE,code=3,version=1.00,address=0x20000,size=4096,fill=255" \
    >/dev/null
}

# The instrument behind the stand-in MIDI driver: older software in every block.
midi_instrument() {
  export ORV_VI_VERSIONS="*=0.50"
  export ORV_VI_BLOCK_ADDRESSES="1=0,2=0x10000,3=0x20000"
  export ORV_VI_PACKET_SIZE=512
  export ORV_VI_FLAGS=2
  export ORV_MIDI_REPORT="$(winepath -w "$work/report.txt")"
  export ORV_MIDI_FLASH_DUMP="$(winepath -w "$work/flash.bin")"
  export ORV_MIDI_FLASH_RANGE="0,0x21000"
}

start_app() {
  (cd "$work" && exec wine OrventUpdater.exe "$@") >"$work/app.log" 2>&1 &
  app=$!
}

stop_app() {
  wine "$probe" close >/dev/null 2>&1 || true
  for _ in $(seq 100); do
    kill -0 "$app" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$app" 2>/dev/null && fail "the window did not close"
  wait "$app" || fail "the updater's exit code was not 0"
}

wait_finished() {
  wine "$probe" finished "$1" >/dev/null || fail "the update did not finish well"
  sleep 1
  import -display "$DISPLAY" -window root "$work/screenshot.png" || true
}

check_flash() {
  python3 "$source_dir/scripts/check_flash.py" "$work/sample.vsb" "$work/flash.bin" 0 ||
    fail "the flash does not hold the file"
}

# No window of an earlier run may be left: a second start would hand over to it.
if wine "$probe" close >/dev/null 2>&1; then
  sleep 2
fi

case "$case_name" in
midi-user)
  make_file "$work/sample.vsb"
  midi_instrument
  start_app /d0
  read -r x y < <(wine "$probe" ready 60 | tr -d '\r') || fail "Update was never offered"
  xdotool mousemove "$x" "$y"
  sleep 0.5
  xdotool click 1
  wait_finished 120
  stop_app
  check_flash
  tr -d '\r' <"$work/report.txt" | grep -qx 'packets 32' ||
    fail "unexpected report: $(cat "$work/report.txt")"
  # The whole session, the program's end included, sent nothing but update messages.
  tr -d '\r' <"$work/report.txt" | grep -qx 'foreign 0' ||
    fail "the instrument got other messages: $(cat "$work/report.txt")"
  ;;

serial-developer)
  instrument="$source_dir/build/native/sim/serial-instrument"
  [ -x "$instrument" ] || fail "the native build's serial-instrument is missing ($instrument)"
  make_file "$work/sample.vsb"
  "$instrument" --quiet --baud 38400 --packet-size 1024 --flags 3 --version '*=0.50' \
    --block-address 1=0 --block-address 2=0x10000 --block-address 3=0x20000 \
    --flash 0:0x21000 --flash-range 0:0x21000 --flash-dump "$work/flash.bin" \
    --exit-after-idle 3 >"$work/instrument.out" &
  instrument_pid=$!
  for _ in $(seq 50); do
    [ -s "$work/instrument.out" ] && break
    sleep 0.1
  done
  pty=$(head -n 1 "$work/instrument.out")
  [ -e "$pty" ] || fail "serial-instrument gave no pseudo-terminal"
  rm -f "$build/com3"
  ln -s "$pty" "$build/com3"
  set_dword DeviceType 0
  set_dword ComPortNum 3
  set_dword ComBaudRate 38400
  start_app /d2 "$(winepath -w "$work/sample.vsb")"
  wait_finished 180
  stop_app
  wait "$instrument_pid" || true
  check_flash
  set_dword DeviceType 1
  ;;

single-instance)
  make_file "$work/sample.vsb"
  midi_instrument
  set_dword DeviceType 1
  start_app /d2
  wine "$probe" window 60 >/dev/null || fail "the window did not open"
  # /h and no file: the running window is left alone.
  (cd "$work" && wine OrventUpdater.exe /h) || fail "the second start's exit code was not 0"
  sleep 2
  [ -e "$work/report.txt" ] && fail "the running window loaded something"
  # A file: the second start hands it over in pieces and ends at once. "C:\x.vsb" has
  # eight characters: three pieces, the last holding only the terminating zero.
  cp "$work/sample.vsb" "$WINEPREFIX/drive_c/x.vsb"
  (cd "$work" && wine OrventUpdater.exe /h 'C:\x.vsb') ||
    fail "the second start's exit code was not 0"
  wait_finished 120
  stop_app
  rm -f "$WINEPREFIX/drive_c/x.vsb"
  check_flash
  ;;

*)
  fail "unknown case $case_name"
  ;;
esac

echo "passed: $case_name"
