#!/usr/bin/env bash
# Sets up this machine, builds the native, the ThreadSanitizer, the Windows and the fuzz
# builds, and runs every test: natively, the Windows build under Wine with Xvfb, and
# every fuzz target over its corpus and for a few seconds.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ "$(id -u)" -eq 0 ]; then
  bash scripts/setup.sh
fi

jobs=$(nproc)

for preset in native native-tsan windows fuzz; do
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

if [ "$status" -ne 0 ]; then
  echo "Some tests failed." >&2
fi
exit "$status"
