#!/usr/bin/env bash
# Peak memory of `update` against a server that answers the catalog with 1 GiB
# of data that is no catalog: sent plain, and gzip-compressed (about 1 MiB on
# the wire). Targets: peak RSS < 64 MiB in both cases, the run fails on the
# signature, and the client directory holds afterwards only what it held
# before. Release build in build-bench-catalog; the server is a small Python
# script on 127.0.0.1; scratch files live in a temporary directory removed at
# the end. Usage: bench/catalog_memory_bench.sh [BUILD_DIR]
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."
repo=$(pwd)
build=${1:-$repo/build-bench-catalog}
limit_kib=$((64 * 1024))

scripts/install-deps time

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvex-bench.XXXXXX")
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# RFC 8032 test key 1, the one the tests trust: the run gets as far as the
# signature check.
key=11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=
echo "== building (Release, $build)"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOLVEX_BUILD_TESTS=OFF \
  -DTOLVEX_TRUSTED_KEYS="$key" >/dev/null
cmake --build "$build" --target tolvex -j"$(nproc)" >/dev/null

cat >"$work/server.py" <<'PY'
import base64, http.server, sys, zlib

SIZE = 1 << 30
BLOCK = b"x" * (1 << 20)

def gzipped():
    packer = zlib.compressobj(9, zlib.DEFLATED, 16 + 15)
    parts = [packer.compress(BLOCK) for _ in range(SIZE // len(BLOCK))]
    parts.append(packer.flush())
    return b"".join(parts)

GZIP = gzipped()
SIGNATURE = base64.b64encode(bytes(64))

class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path.endswith("/updater-catalog.sig"):
            self.answer(SIGNATURE, [])
        elif self.path == "/plain/updater-catalog.sha3":
            self.send_response(200)
            self.send_header("Content-Length", str(SIZE))
            self.end_headers()
            for _ in range(SIZE // len(BLOCK)):
                self.wfile.write(BLOCK)
        elif self.path == "/gzip/updater-catalog.sha3":
            self.answer(GZIP, [("Content-Encoding", "gzip")])
        else:
            self.answer(b"not found", [], 404)

    def answer(self, body, headers, status=200):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass

server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
PY
echo "== starting the server on 127.0.0.1 (compressing 1 GiB first)"
python3 "$work/server.py" >"$work/port" &
server_pid=$!
while [ ! -s "$work/port" ]; do sleep 0.2; done
port=$(cat "$work/port")

failed=0
for mode in plain gzip; do
  client=$work/client-$mode
  mkdir -p "$client"
  printf '{"public_key":"%s","url":"http://127.0.0.1:%s/%s/"}' "$key" "$port" "$mode" \
    >"$client/updater-source.json"
  status=0
  (cd "$client" && /usr/bin/time -f %M -o "$work/rss-$mode" "$build/tolvex" update \
    >"$work/out-$mode" 2>&1) || status=$?
  rss=$(tail -1 "$work/rss-$mode")
  left=$(cd "$client" && ls -A | grep -vx updater-source.json || true)
  verdict=PASS
  if [ "$rss" -ge "$limit_kib" ] || [ "$status" -ne 255 ] || [ -n "$left" ] ||
     ! grep -q "signature verification failed" "$work/out-$mode"; then
    verdict=FAIL
    failed=1
  fi
  printf '%-6s peak RSS %6.1f MiB (target < 64)  exit %s  files left: %s  %s\n' "$mode" \
    "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')" "$status" "${left:-none}" "$verdict"
done
exit "$failed"
