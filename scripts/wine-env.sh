# Sourced by the scripts that run Windows programs: an X display (Xvfb when none is
# given) and a Wine prefix inside the build tree with a persistent wineserver, so each
# test process starts in a fraction of a second instead of booting Wine anew.

wine_env_start() {
  local build="$1"
  export WINEPREFIX="$build/wineprefix"
  export WINEDEBUG=-all
  export WINEARCH=win32
  if [ -z "${DISPLAY:-}" ]; then
    export DISPLAY=:99
    if ! xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then
      Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
      ORV_XVFB_PID=$!
      for _ in $(seq 50); do
        xdpyinfo -display "$DISPLAY" >/dev/null 2>&1 && break
        sleep 0.1
      done
    fi
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix in $WINEPREFIX (first time only)..."
  fi
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
  wineserver -w
  # Debian's Wine does not load the fonts of its own package (fonts-wine) from where that
  # package puts them, but it does from the prefix's Fonts folder. Without Marlett the
  # caption buttons are drawn as the letters "0 1 r"; without Tahoma dialogs take some
  # other face. Copied into prefixes made before the fonts were installed as well.
  local fonts=/usr/share/wine/fonts
  if [ -d "$fonts" ] && [ -d "$WINEPREFIX/drive_c/windows/Fonts" ]; then
    cp -n "$fonts"/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  fi
  # COM1..COM4 lead to symlinks in the build tree instead of the machine's own serial
  # ports; a serial test points its link at a pseudo-terminal. Wine reads the mapping
  # when its server starts, so it is set before the persistent server below.
  local n
  for n in 1 2 3 4; do
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$build/com$n" /f >/dev/null 2>&1 || true
  done
  wineserver -w
  wineserver -p >/dev/null 2>&1
  # One throw-away start, so the first real test does not pay for the prefix's set-up.
  timeout 60 wine cmd /c exit >/dev/null 2>&1 || true
  # Wine's desktop held up for the whole session by a hidden window: a test program that
  # loads user32 and ends while the desktop is still starting crashes or hangs at exit.
  if [ -f "$build/sim/window-probe.exe" ]; then
    wine "$build/sim/window-probe.exe" hold >/dev/null 2>&1 &
  fi
}

wine_env_stop() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "${ORV_XVFB_PID:-}" ]; then
    kill "$ORV_XVFB_PID" 2>/dev/null || true
  fi
}
