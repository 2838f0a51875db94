#!/usr/bin/env bash
# Measures the update client in one run, against outside tools on the same data:
#   1. a no-op update (every file already up to date, so every file is hashed)
#      of 20,000 small files, of 3 files of 256 MiB and of the mixed tree of
#      verified_download_bench.sh (200 files, log-uniform 1 KiB to 100 MiB),
#      against `rhash --sha3-256` hashing the same tree (target: ratio <= 0.3
#      on the mixed tree; 3 files keep at most 2 cores busy, never the lanes);
#   2. a full update of 2,000 small files from nginx on 127.0.0.1, against wget
#      fetching the same files (one process, keep-alive) in the same run;
#   3. what making the staged files durable costs on those 2,000 files: the time
#      spent in fsync/syncfs during the update, and, on the same disk, one syncfs
#      against one fsync per file.
# Release build in build-bench-update; every scratch file lives in a temporary
# directory that is removed at the end. Usage: bench/update_bench.sh [RUNS]
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."
repo=$(pwd)
runs=${1:-3}

scripts/install-deps nginx wget rhash strace

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvex-bench.XXXXXX")
nginx_pid_file="$work/nginx/nginx.pid"
cleanup() {
  [ -s "$nginx_pid_file" ] && kill "$(cat "$nginx_pid_file")" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# best_of N COMMAND...: the shortest wall time of N runs, in seconds.
best_of() {
  local n=$1 best=0 start t
  shift
  for _ in $(seq "$n"); do
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    t=$(($(date +%s%N) - start))
    if [ "$best" -eq 0 ] || [ "$t" -lt "$best" ]; then best=$t; fi
  done
  awk -v ns="$best" 'BEGIN { printf "%.3f", ns / 1e9 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "== building (Release, build-bench-update)"
build=$repo/build-bench-update
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOLVEX_BUILD_TESTS=OFF >/dev/null 2>&1
cmake --build "$build" --target tolvex -j"$(nproc)" >/dev/null
mkdir -p "$work/home"
HOME="$work/home" "$build/tolvex" keygen 2>/dev/null
key=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["public_key"])' \
  "$work/home/.tolvex-signer-keypair")
cmake -S "$repo" -B "$build" -DTOLVEX_TRUSTED_KEYS="$key" >/dev/null
cmake --build "$build" --target tolvex -j"$(nproc)" >/dev/null
tool=$build/tolvex

echo "== starting nginx on 127.0.0.1"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/nginx/tmp" "$work/www"
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user $(id -un) $(id -gn);"
cat >"$work/nginx/nginx.conf" <<EOF
$user_line
worker_processes 1;
pid $nginx_pid_file;
error_log $work/nginx/error.log;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $work/nginx/tmp/body;
  proxy_temp_path $work/nginx/tmp/proxy;
  fastcgi_temp_path $work/nginx/tmp/fastcgi;
  uwsgi_temp_path $work/nginx/tmp/uwsgi;
  scgi_temp_path $work/nginx/tmp/scgi;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$port; root $work/www; }
}
EOF
"$(command -v nginx || echo /usr/sbin/nginx)" -p "$work/nginx" -c "$work/nginx/nginx.conf" \
  -e "$work/nginx/error.log"
sleep 0.3

# make_tree DIR COUNT: COUNT files of 1 to 4 KiB in directories of 100.
make_tree() {
  python3 - "$1" "$2" <<'EOF'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    d = os.path.join(root, "d%03d" % (i // 100))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%05d.dat" % i), "wb") as f:
        f.write(os.urandom(1024 + (i * 37) % 3072))
EOF
}
# publish NAME: signs the tree www/NAME and gives back a client descriptor for it.
publish() {
  (cd "$work/www/$1" && HOME="$work/home" "$tool" update-catalog >/dev/null 2>&1 &&
    HOME="$work/home" "$tool" make-source-json "http://127.0.0.1:$port/$1/" 2>/dev/null)
}
update_in() { (cd "$1" && HOME="$work/home" "$tool" update); }
hash_with_rhash() { (cd "$1" && rhash --sha3-256 -r . >/dev/null); }

noop_case() {  # noop_case NAME LABEL
  local name=$1 label=$2 client=$work/client-$1
  publish "$name"
  # Hard links: the client holds the very same bytes, at no copying cost.
  cp -al "$work/www/$name" "$client"
  rm -f "$client/updater-catalog.sha3" "$client/updater-catalog.sig"
  update_in "$client" >/dev/null 2>&1  # warms the page cache like the rhash runs below
  local ours theirs
  ours=$(best_of "$runs" update_in "$client")
  theirs=$(best_of "$runs" hash_with_rhash "$client")
  printf '%-34s tolvex %8ss   rhash %8ss   ratio %s\n' "$label" "$ours" "$theirs" \
    "$(ratio "$ours" "$theirs")"
}

echo "== 1. no-op update against rhash --sha3-256 (best of $runs)"
make_tree "$work/www/small" 20000
noop_case small "20,000 small files"
mkdir -p "$work/www/large"
for i in 1 2 3; do head -c $((256 << 20)) /dev/urandom >"$work/www/large/part$i.bin"; done
noop_case large "3 files of 256 MiB"
rm -rf "$work/www/large" "$work/client-large"
python3 - "$work/www/mixed" <<'EOF'
import math, os, random, sys
rng = random.Random(12)
for i in range(200):
    path = os.path.join(sys.argv[1], "d%d" % (i % 7), "f%03d.bin" % i)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(os.urandom(int(math.exp(rng.uniform(math.log(1024), math.log(100 << 20))))))
EOF
noop_case mixed "mixed tree, 200 files"
rm -rf "$work/www/mixed" "$work/client-mixed"

echo "== 2. full update of 2,000 small files from nginx against wget (best of $runs)"
make_tree "$work/www/fetch" 2000
publish fetch
(cd "$work/www/fetch" && find . -name '*.dat' | sed "s|^\./|http://127.0.0.1:$port/fetch/|") \
  >"$work/urls.txt"
full_update() {
  rm -rf "$work/client-fetch" && mkdir "$work/client-fetch"
  cp "$work/www/fetch/updater-source.json" "$work/client-fetch/"
  update_in "$work/client-fetch"
}
wget_all() {
  rm -rf "$work/wget" && mkdir "$work/wget"
  (cd "$work/wget" && wget -q -x -nH -i "$work/urls.txt")
}
ours=$(best_of "$runs" full_update)
theirs=$(best_of "$runs" wget_all)
printf '%-34s tolvex %8ss   wget  %8ss   ratio %s\n' "2,000 small files" "$ours" "$theirs" \
  "$(ratio "$ours" "$theirs")"
diff -r -q -x 'updater-*' -x '.tolvex-*' "$work/www/fetch" "$work/client-fetch" >/dev/null ||
  { echo "the updated client differs from the published tree" >&2; exit 1; }

echo "== 3. durability of 2,000 staged files"
rm -rf "$work/client-fetch" && mkdir "$work/client-fetch"
cp "$work/www/fetch/updater-source.json" "$work/client-fetch/"
(cd "$work/client-fetch" &&
  HOME="$work/home" strace -f -T -e trace=fsync,syncfs -o "$work/sync.trace" "$tool" update \
    >/dev/null 2>&1)
python3 - "$work/sync.trace" <<'EOF'
import re, sys
calls = [float(t) for t in re.findall(r"<([0-9.]+)>", open(sys.argv[1]).read())]
print("%-34s %d calls, %.3f s in all" % ("sync calls during the update", len(calls), sum(calls)))
EOF
python3 - "$work/durability" <<'EOF'
import ctypes, os, sys, time
libc = ctypes.CDLL(None, use_errno=True)
root = sys.argv[1]
def write_files(tag):
    names = []
    for i in range(2000):
        d = os.path.join(root, tag, "d%02d" % (i // 100))
        os.makedirs(d, exist_ok=True)
        name = os.path.join(d, "f%04d" % i)
        with open(name, "wb") as f:
            f.write(os.urandom(1024 + (i * 37) % 3072))
        names.append(name)
    return names
names = write_files("a")
start = time.time()
fd = os.open(root, os.O_RDONLY)
libc.syncfs(fd)
os.close(fd)
one = time.time() - start
names = write_files("b")
start = time.time()
for name in names:
    fd = os.open(name, os.O_RDONLY)
    os.fsync(fd)
    os.close(fd)
each = time.time() - start
print("%-34s one syncfs %.3f s   one fsync per file %.3f s" % ("2,000 fresh files of 1-4 KiB", one, each))
EOF
