#!/usr/bin/env bash
# Runs a Windows program under Wine in the prefix of the build tree it belongs to.
# Used as CMake's cross-compiling emulator, so CTest and test discovery go through it.
set -u
exe="$1"
shift
if [ -z "${WINEPREFIX:-}" ]; then
  # build/windows/<subdir>/x.exe -> build/windows/wineprefix
  dir=$(cd "$(dirname "$exe")" && pwd)
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEARCH="${WINEARCH:-win32}"
# The stand-in winmm.dll beside a test wins over Wine's builtin one.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-winmm=n,b;mscoree,mshtml=}"
if [ -z "${DISPLAY:-}" ]; then
  export DISPLAY=:99
fi
exec wine "$exe" "$@"
