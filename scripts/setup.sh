#!/usr/bin/env bash
# Installs everything the native and the Windows builds and their tests need, and what the
# Linux command-line program builds on (CLI11 for its arguments, ALSA for raw MIDI, libusb
# for the USB update device, nlohmann-json for its --json document).
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh installs Debian packages and must run as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

packages=(
  cmake make ninja-build g++ clang clang-format libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  wine wine32:i386 wine64
  xvfb xauth x11-utils xdotool imagemagick fonts-liberation
  fonts-wine fonts-ipafont locales
  file python3
  emscripten chromium
  libcli11-dev libasound2-dev libusb-1.0-0-dev nlohmann-json3-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# A Japanese user locale, so scripts/screenshots.sh can show the Japanese resources.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  if grep -q '^# *ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
    sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  elif ! grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
    echo 'ja_JP.UTF-8 UTF-8' >>/etc/locale.gen
  fi
  locale-gen
fi

# The web page's compiler (emscripten) takes the system libraries a build needs from its
# cache, building any it lacks there on first use: one small program linked as the page
# is, here, so that no build of the page does it half-way.
warm=$(mktemp -d)
printf '#include <emscripten.h>\nEM_ASYNC_JS(void, Wait, (void), { await 0; });\nint main(void) { Wait(); return 0; }\n' >"$warm/warm.cpp"
NODE_PATH=/usr/share/nodejs em++ -Os -fno-exceptions -fno-rtti -sASYNCIFY -sMODULARIZE=1 \
  -sMALLOC=emmalloc -sFORCE_FILESYSTEM=1 "$warm/warm.cpp" -o "$warm/warm.js"
rm -rf "$warm"

# The browser tests' driver, puppeteer-core, at the versions web/package-lock.json pins; npm's
# cache serves it again without the registry.
# npm comes with the machine's Node.js (Debian's npm package would conflict with it).
root=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v npm >/dev/null 2>&1; then
  echo "setup.sh: npm (with Node.js) is needed for the browser tests' driver" >&2
  exit 1
fi
if ! cmp -s "$root/web/package-lock.json" "$root/web/node_modules/.orvent-installed-lock"; then
  npm ci --prefix "$root/web" --no-audit --no-fund --prefer-offline
  cp "$root/web/package-lock.json" "$root/web/node_modules/.orvent-installed-lock"
fi
