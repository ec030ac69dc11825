#!/usr/bin/env bash
# Pictures of every window and dialog of the updater as a user sees them, in English and
# with a Japanese user locale: the real executable under Wine against the virtual
# instrument behind the stand-in MIDI driver, driven from outside with real key presses
# and clicks (xdotool), watched by window-probe, captured with ImageMagick's import.
#
#   bash scripts/screenshots.sh [--update-docs]
#
# Writes build/screenshots/en/*.png and build/screenshots/ja/*.png (list at the end).
# --update-docs also copies the English main window into docs/main-window.png, the one
# picture the README shows.
#
# The language: Wine takes the user's language from the Unix locale (LANG, LC_ALL), and
# the program's resources are looked up by that language, English being the fallback.
# The Japanese pass runs every Wine process with LC_ALL=ja_JP.UTF-8 (the locale must
# exist: scripts/setup.sh generates it) and checks that the mode dialog and the message
# box really came up with their Japanese texts.
#
# Runs on $DISPLAY when one is set (an empty virtual display gives clean pictures), else
# on a virtual display of its own. Uses a Wine prefix of its own, so the pictures never
# depend on what tests left in the build's prefix, and no test sees these settings.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

update_docs=0
[ "${1:-}" = "--update-docs" ] && update_docs=1

if [ "$(id -u)" -eq 0 ]; then
  bash scripts/setup.sh
fi
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  echo "The ja_JP.UTF-8 locale is missing; run scripts/setup.sh as root." >&2
  exit 1
fi

build="$root/build/windows"
cmake --preset windows >/dev/null
cmake --build --preset windows -j 2 --target OrventUpdater orv_winmm_standin vsb-writer window-probe

home="$build/screenshots"
out="$root/build/screenshots"
mkdir -p "$home"
rm -rf "$out"
mkdir -p "$out/en" "$out/ja"

probe="$build/sim/window-probe.exe"
source scripts/wine-env.sh
# A server left over by an interrupted run would keep the set-up below waiting.
WINEPREFIX="$home/wineprefix" wineserver -k >/dev/null 2>&1 || true
wine_env_start "$home"
trap 'wine "$probe" close >/dev/null 2>&1 || true; wine_env_stop' EXIT

key='HKCU\Software\MAVO\MAVO ORVENT System Updater'
export WINEDLLOVERRIDES="winmm=n,b;mscoree,mshtml="

# No window manager draws a caption on a bare virtual display: Wine draws the frame.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
# A Japanese Windows has its own fonts, which the Japanese templates name and which its
# message boxes fall back to for Japanese text. The IPA fonts are drawn to their metrics:
# Wine takes them under those names (as a replacement, which font linking sees too).
for pair in 'ＭＳ ゴシック=IPAGothic' 'ＭＳ Ｐゴシック=IPAPGothic' 'MS Gothic=IPAGothic' \
  'MS PGothic=IPAPGothic' 'MS UI Gothic=IPAPGothic'; do
  LC_ALL=ja_JP.UTF-8 wine reg add 'HKCU\Software\Wine\Fonts\Replacements' \
    /v "${pair%%=*}" /d "${pair#*=}" /f >/dev/null 2>&1
done

# The program in a folder of drive C:, as a user would keep it; the paths it shows stay
# as short as a user's would be.
app_dir="$home/wineprefix/drive_c/ORVENT Updater"
files_dir="$home/wineprefix/drive_c/Updates"
rm -rf "$app_dir" "$files_dir"
mkdir -p "$app_dir" "$files_dir"
cp "$build/OrventUpdater.exe" "$build/midi_tests/winmm.dll" "$app_dir/"
# The user modes pick up the file beside the program; developer mode finds the second
# one (a large first block, so an update lasts long enough to be stopped) in its recent
# files.
wine "$build/sim/vsb-writer.exe" 'C:\ORVENT Updater\ORVENT_105.vsb' \
  --block "device=ORVENT,name=MAIN,code=1,version=1.05,address=0,size=16384,fill=random,seed=1" \
  --block "device=ORVENT,name=VOICE,code=2,version=2.10,address=0x20000,size=8192,fill=counter" \
  >/dev/null
wine "$build/sim/vsb-writer.exe" 'C:\Updates\ORVENT_106.vsb' \
  --block "device=ORVENT,name=MAIN,code=1,version=1.06,address=0,size=65536,fill=random,seed=2" \
  --block "device=ORVENT,name=VOICE,code=2,version=2.10,address=0x20000,size=8192,fill=counter" \
  >/dev/null
developer_file='C:\Updates\ORVENT_106.vsb'
sample_file='C:\ORVENT Updater\ORVENT_105.vsb'

# The instrument holds older software in every block.
export ORV_VI_VERSIONS="1=1.03,2=2.00"
export ORV_VI_BLOCK_ADDRESSES="1=0,2=0x20000"
export ORV_VI_PACKET_SIZE=1024

# The whole screen at the moment of a failure shows what stood in the way.
fail() {
  echo "FAILED: $*" >&2
  import -display "$DISPLAY" -window root "$out/failure.png" 2>/dev/null &&
    echo "The screen at that moment: $out/failure.png" >&2
  exit 1
}

lang_env=()
run_wine() {
  env "${lang_env[@]}" wine "$@"
}

start_app() {
  (cd "$app_dir" && exec env "${lang_env[@]}" wine OrventUpdater.exe "$@") >"$out/$lang/app.log" 2>&1 &
  app=$!
}

stop_app() {
  wine "$probe" close >/dev/null 2>&1 || true
  for _ in $(seq 100); do
    kill -0 "$app" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$app" 2>/dev/null && fail "the window did not close"
  wait "$app" || true
}

# On a display without a window manager the keys go to the window under the pointer:
# point_at CLASS rests it on the updater's window of that class, on a dialog's caption or
# in the empty right part of the main window's info area, away from menus and buttons.
main_class="MAVO System Updater for ORVENT"
point_at() {
  local class="$1" x y w h
  read -r x y w h < <(wine "$probe" bounds "$class" | tr -d '\r') || fail "no $class window to point at"
  if [ "$class" = "$main_class" ]; then
    xdotool mousemove $((x + w - 40)) $((y + 120))
  else
    xdotool mousemove $((x + w / 2)) $((y + 10))
  fi
  sleep 0.3
}

# shot NAME [CLASS]: the rectangle around the updater's windows of CLASS (every window
# when none is named), a few pixels wider, as the screen shows it now.
shot() {
  local name="$1" class="${2:-}" x y w h
  sleep 0.8
  if [ -n "$class" ]; then
    read -r x y w h < <(wine "$probe" bounds "$class" | tr -d '\r') || fail "no $class window for $name"
  else
    read -r x y w h < <(wine "$probe" bounds | tr -d '\r') || fail "no window for $name"
  fi
  x=$((x > 6 ? x - 6 : 0))
  y=$((y > 6 ? y - 6 : 0))
  import -display "$DISPLAY" -window root -crop "$((w + 12))x$((h + 12))+$x+$y" +repage \
    "$out/$lang/$name.png"
  echo "  $lang/$name.png"
}

# press KEYS CLASS [COUNT]: presses the keys and waits for the dialog or menu they open.
press() {
  point_at "$main_class"
  xdotool key "$1"
  wine "$probe" shown "$2" 10 "${3:-1}" >/dev/null || fail "$1 opened no $2 window"
}

close_dialog() {
  point_at '#32770'
  xdotool key Escape
  wine "$probe" gone '#32770' 10 >/dev/null || fail "Esc did not close the dialog"
}

expect_text() {
  local class="$1" text="$2"
  wine "$probe" texts "$class" | tr -d '\r' | grep -qF -- "$text" ||
    fail "$lang: the $class window does not show \"$text\" (resources of the wrong language?)"
}

click_update() {
  local x y
  read -r x y < <(wine "$probe" ready 60 | tr -d '\r') || fail "Update was never offered"
  xdotool mousemove "$x" "$y"
  sleep 0.5
  xdotool click 1
}

reset_settings() {
  wine reg delete "$key" /f >/dev/null 2>&1 || true
}

set_value() {
  wine reg add "$key" /v "$1" /t "$2" /d "$3" /f >/dev/null 2>&1
}

take_all() {
  if [ "$lang" = ja ]; then
    lang_env=(LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8)
    mode_label="この設定は次の起動から有効になります"
    path_warning="移動に失敗しました。"
  else
    lang_env=(LANG=C.UTF-8 LC_ALL=C.UTF-8)
    mode_label="It becomes effective when starting next time"
    path_warning="Fail to change current directory to using before."
  fi
  echo "$lang:"

  # A message box: the start-up warning about the stored folder, in the user's language.
  reset_settings
  set_value Warning REG_DWORD 1
  set_value CurrentPath REG_SZ 'C:\no such folder'
  start_app /d2
  wine "$probe" shown '#32770' 60 >/dev/null || fail "no message box at start-up"
  expect_text '#32770' "$path_warning"
  shot message-box '#32770'
  point_at '#32770'
  xdotool key Return
  wine "$probe" window 60 >/dev/null || fail "the window did not open after the message box"
  stop_app

  # User mode with text: the reduced Config dialog, the mode and About dialogs, an update,
  # the open-file box.
  reset_settings
  start_app /d1
  wine "$probe" ready 60 >/dev/null || fail "the instrument did not answer"
  shot main-user-text-before
  press alt+c '#32770'
  shot config-dialog2 '#32770'
  close_dialog
  press ctrl+shift+m '#32770'
  expect_text '#32770' "$mode_label"
  shot mode-dialog '#32770'
  close_dialog
  press alt+a '#32770'
  shot about-dialog
  close_dialog
  click_update
  wine "$probe" finished 120 >/dev/null || fail "the update (user mode with text) did not finish"
  point_at "$main_class"
  shot main-user-text-after
  # Last: under Wine without a window manager, the first click after this box has closed
  # is lost.
  press ctrl+o '#32770'
  shot open-file '#32770'
  close_dialog
  stop_app

  # User mode: no log area.
  reset_settings
  start_app /d0
  wine "$probe" ready 60 >/dev/null || fail "the instrument did not answer"
  shot main-user-before
  click_update
  wine "$probe" finished 120 >/dev/null || fail "the update (user mode) did not finish"
  point_at "$main_class"
  shot main-user-after
  stop_app

  # Developer mode with recent files: the Open Recent menu, the full Config dialog, and an
  # update slowed to MIDI's pace so that the Stop dialog can be opened while it runs.
  reset_settings
  set_value DeviceType REG_DWORD 1
  set_value NumOfRecentFile REG_DWORD 2
  set_value RecentFileName0 REG_SZ "$developer_file"
  set_value RecentFileName1 REG_SZ "$sample_file"
  export ORV_MIDI_TX_BYTES_PER_MS=8
  start_app /d2
  wine "$probe" ready 60 >/dev/null || fail "developer mode did not offer the last file"
  shot main-developer-before
  press alt+f '#32768'
  xdotool key r
  wine "$probe" shown '#32768' 10 2 >/dev/null || fail "Open Recent did not open"
  shot open-recent-menu
  xdotool key Escape Escape
  wine "$probe" gone '#32768' 10 >/dev/null || fail "Esc did not close the menu"
  press alt+c '#32770'
  shot config-dialog '#32770'
  close_dialog
  click_update
  wine "$probe" moving 60 >/dev/null || fail "the developer-mode update did not start"
  # "Stop..." is greyed for the moment between two blocks: try again then.
  local stopped=0
  for _ in 1 2 3 4 5; do
    point_at "$main_class"
    xdotool key alt+s
    if wine "$probe" shown '#32770' 3 >/dev/null 2>&1; then
      stopped=1
      break
    fi
  done
  [ "$stopped" -eq 1 ] || fail "the Stop dialog did not open during the update"
  shot stop-dialog '#32770'
  point_at '#32770'
  # Enter chooses "Contiune", the default button: the update goes on.
  xdotool key Return
  wine "$probe" finished 300 >/dev/null || fail "the developer-mode update did not finish"
  point_at "$main_class"
  shot main-developer-after
  stop_app
  unset ORV_MIDI_TX_BYTES_PER_MS
}

for lang in en ja; do
  take_all
done
reset_settings

if [ "$update_docs" -eq 1 ]; then
  mkdir -p "$root/docs"
  cp "$out/en/main-user-text-after.png" "$root/docs/main-window.png"
  echo "docs/main-window.png updated"
fi
echo "Pictures in $out"
