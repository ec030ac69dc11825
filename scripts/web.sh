#!/usr/bin/env bash
# Builds the updater's web page (the `web` preset: emscripten) and serves it on
# http://localhost:8080 until Ctrl+C. Open the page, choose "Virtual instrument", open
# build/web/sample.vsb and press Update to rehearse an update without hardware.
#
#   bash scripts/web.sh [--build-only] [--port N]
#
# The browser allows MIDI with System Exclusive, Web Serial and WebUSB only on https or on
# localhost, so the page is served on the loopback address alone.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

port=8080
serve=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build-only) serve=0 ;;
    --port) port="$2"; shift ;;
    *) echo "usage: scripts/web.sh [--build-only] [--port N]" >&2; exit 2 ;;
  esac
  shift
done

if ! command -v emcc >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ]; then
    bash scripts/setup.sh
  else
    echo "web.sh: emscripten is not installed (run scripts/setup.sh as root)" >&2
    exit 1
  fi
fi

# Debian's emcc runs its tools under the machine's node and finds their modules here.
export NODE_PATH=/usr/share/nodejs
cmake --preset web >/dev/null
cmake --build --preset web -j "$(nproc)"

site="$root/build/web/site"
echo "The page: $site"
echo "A system file to rehearse with: $root/build/web/sample.vsb"
if [ "$serve" -eq 0 ]; then
  exit 0
fi

echo "Serving on http://localhost:$port/ (Ctrl+C ends it)"
exec python3 - "$site" "$port" <<'EOF'
import functools
import http.server
import sys

site, port = sys.argv[1], int(sys.argv[2])


class Handler(http.server.SimpleHTTPRequestHandler):
    # Whatever the machine's MIME table says: browsers compile wasm as it streams only
    # when it comes as application/wasm.
    extensions_map = dict(http.server.SimpleHTTPRequestHandler.extensions_map, **{
        ".wasm": "application/wasm",
        ".js": "text/javascript",
        ".json": "application/json",
        ".css": "text/css",
        ".html": "text/html",
        ".ico": "image/x-icon",
    })

    def end_headers(self):
        self.send_header("Cache-Control", "no-cache")
        super().end_headers()


server = http.server.ThreadingHTTPServer(("127.0.0.1", port),
                                         functools.partial(Handler, directory=site))
try:
    server.serve_forever()
except KeyboardInterrupt:
    pass
EOF
