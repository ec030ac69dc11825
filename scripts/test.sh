#!/usr/bin/env bash
# Sets up this machine, builds the native, the ThreadSanitizer, the Windows, the fuzz and the
# web builds, and runs every test: natively, the Windows build under Wine with Xvfb, every
# fuzz target over its corpus and for a few seconds, and the web page in headless Chromium.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ "$(id -u)" -eq 0 ]; then
  bash scripts/setup.sh
fi

jobs=$(nproc)

# Debian's emcc runs its tools under the machine's node and finds their modules here.
export NODE_PATH=/usr/share/nodejs
for preset in native native-tsan windows fuzz web; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

# A display for the window tests and the Wine prefix of the Windows build.
source scripts/wine-env.sh
wine_env_start "$root/build/windows"
trap wine_env_stop EXIT

status=0
ctest --preset native -j "$jobs" --timeout 120 || status=1
ctest --preset native-tsan -j "$jobs" --timeout 120 || status=1
ctest --preset windows -j "$jobs" --timeout 120 || status=1
# Every fuzz target replays its corpus and fuzzes for a few seconds.
ctest --preset fuzz -j "$jobs" || status=1
# The page in headless Chromium, each case with a browser of its own.
ctest --preset web -j "$jobs" --timeout 120 || status=1

if [ "$status" -ne 0 ]; then
  echo "Some tests failed." >&2
fi
exit "$status"
