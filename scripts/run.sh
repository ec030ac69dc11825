#!/usr/bin/env bash
# Builds the updater and runs it under Wine, in user mode, against the virtual instrument
# behind the stand-in MIDI driver, with a sample system file beside the program.
#
# With a display the window opens for you: press Update once the instrument has answered.
# Without one (a server, CI) it runs on a virtual display, presses Update with a real
# mouse click, waits for the end, saves a screenshot in build/ and checks that the
# instrument's flash now holds the file.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ "$(id -u)" -eq 0 ]; then
  bash scripts/setup.sh
fi

build="$root/build/windows"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" \
  --target OrventUpdater orv_winmm_standin vsb-writer window-probe

user_display="${DISPLAY:-}"
if [ -n "$user_display" ] && ! xdpyinfo -display "$user_display" >/dev/null 2>&1; then
  user_display=""
fi
if [ -z "$user_display" ]; then
  unset DISPLAY
fi

source scripts/wine-env.sh
wine_env_start "$build"
trap wine_env_stop EXIT

# The program's folder: the program, the stand-in MIDI driver (Wine prefers it to its own
# because of WINEDLLOVERRIDES) and the sample system file, which the user modes pick up.
cp "$build/midi_tests/winmm.dll" "$build/winmm.dll"
rm -f "$build"/*.vsb
sample="$build/sample.vsb"
wine "$build/sim/vsb-writer.exe" "$(winepath -w "$sample")" \
  --block "device=ORVENT,name=MAIN,code=1,version=1.05,address=0,size=16384,fill=random,seed=1" \
  --block "device=ORVENT,name=VOICE,code=2,version=2.10,address=0x20000,size=8192,fill=counter" \
  >/dev/null

# The instrument holds older software in both blocks; it reports at the end of the run.
report="$root/build/run-report.txt"
dump="$root/build/run-flash.bin"
rm -f "$report" "$dump"
export WINEDLLOVERRIDES="winmm=n,b;mscoree,mshtml="
export ORV_VI_VERSIONS="1=1.03,2=2.00"
export ORV_VI_BLOCK_ADDRESSES="1=0,2=0x20000"
export ORV_VI_PACKET_SIZE=1024
export ORV_MIDI_REPORT="$(winepath -w "$report")"
export ORV_MIDI_FLASH_DUMP="$(winepath -w "$dump")"
export ORV_MIDI_FLASH_RANGE="0,0x22000"

# Without a window manager nobody would draw the caption: let Wine draw the frame itself.
if [ -z "$user_display" ]; then
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
fi

cd "$build"
if [ -n "$user_display" ]; then
  echo "The updater opens on $DISPLAY. Press Update once the instrument has answered."
  wine OrventUpdater.exe /d0
else
  wine OrventUpdater.exe /d0 &
  app=$!
  probe="$build/sim/window-probe.exe"
  read -r x y < <(wine "$probe" ready 60 | tr -d '\r')
  echo "The instrument answered; pressing Update at ($x, $y)."
  # A click right after the pointer arrives can be lost while the window takes it in.
  xdotool mousemove "$x" "$y"
  sleep 0.5
  xdotool click 1
  wine "$probe" finished 300 >/dev/null
  sleep 1
  shot="$root/build/run-screenshot.png"
  import -display "$DISPLAY" -window root "$shot"
  echo "Update completed!  Screenshot of the window: $shot"
  wine "$probe" close
  wait "$app" || true
fi
cd "$root"

echo "The virtual instrument reports:"
sed 's/^/  /' "$report"
python3 scripts/check_flash.py "$sample" "$dump" 0
