#!/usr/bin/env bash
# The update client against outside tools, side by side in one run, each measured
# several times (best and median), with a PASS/FAIL table at the end:
#   1. full `update` of 500 files of 1-16 KiB (a few subdirectories) into an empty
#      client dir through a proxy that adds a 50 ms round trip, against curl
#      fetching the same URLs one new connection each (sequentially), and against
#      `curl -Z --parallel-max 8`.  Targets: >= 10x the first, <= 1.5x the second.
#   2. full `update` of one 1 GiB file from 127.0.0.1 (no proxy), against
#      `curl -o` of the same URL.  Target: within 10% of curl.  "curl -o + sync"
#      is shown too (the client makes its files durable; curl does not).
#   3. `update-catalog` and a no-op `update` over 20,000 files of 1-16 KiB in 200
#      directories and over 3 files of 256 MiB, against `rhash --sha3-256 -r` over
#      the same tree, page cache warm.  Target: >= 1.7x the speed of rhash.
# Peak memory (/usr/bin/time %M) of every contender is shown.
#
# nginx (keep-alive, HTTP/1.1) serves every tree from a temp dir on a free port of
# 127.0.0.1.  A key pair is made for the run in a temp HOME, and the client is
# built (Release) to trust it.  Everything lives under one temp dir, removed at
# the end, and nginx and the proxy are stopped on exit.
#
# Usage: bench/network_bench.sh [--source DIR] [--build DIR]
#        bench/network_bench.sh --client BINARY --keypair KEYFILE
#   --source DIR   source tree to build the client from (default: this work tree)
#   --build DIR    build directory (default: build-bench-net in this work tree)
#   --client/--keypair  use a prebuilt client and the key file it trusts instead
# Environment:
#   TOLVEX_DELAY_PROXY  command of the round-trip proxy, run as
#                       "$TOLVEX_DELAY_PROXY LISTEN_PORT UPSTREAM_PORT --rtt-ms MS"
#                       (default: bench/delay_proxy.cpp, built in build-bench-proxy)
#   RUNS=3          repetitions at most per contender (at least 2 unless RUNS=1)
#   BUDGET=240      seconds per part after which no further repetition starts
#   PARTS="1 2 3"   which parts to run;  RTT_MS=50  round trip of part 1
# Exit status: 0 when every target measured is met, 1 otherwise.
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."
repo=$(pwd)
. bench/lib.sh

source_dir=$repo
build_dir=$repo/build-bench-net
bench_parse_args "$0" "$@"
runs=${RUNS:-3}
budget=${BUDGET:-240}
parts=${PARTS:-"1 2 3"}
rtt_ms=${RTT_MS:-50}
want() { [[ " $parts " == *" $1 "* ]]; }

if [ -x scripts/install-deps ]; then scripts/install-deps nginx time; fi
for tool in nginx curl rhash python3 cmp diff; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
    { echo "missing: $tool" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "missing: /usr/bin/time (apt-get install time)" >&2; exit 1; }

work=$(mktemp -d /tmp/tolvex-netbench.XXXXXX)
chmod 755 "$work"
nginx_pid=""
proxy_pid=""
cleanup() {
  for pid in $proxy_pid $nginx_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
now_ns() { date +%s%N; }

# ---------------------------------------------------------------- the client
bench_client_tool
echo "client: $tool"

# ---------------------------------------------------------------- the trees
echo "== generating the trees under $work/www"
mkdir -p "$work/www"
python3 - "$work/www" "$parts" <<'EOF'
import os, random, sys
root, parts = sys.argv[1], sys.argv[2].split()
rng = random.Random(7)
def write(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(os.urandom(size))
if "1" in parts:
    dirs = ["", "docs", "docs/img", "lib", "lib/x86_64/plugins", "share/data"]
    for i in range(500):
        write(os.path.join(root, "net", dirs[i % len(dirs)], "file%03d.bin" % i),
              rng.randint(1024, 16384))
if "3" in parts:
    for d in range(200):
        for f in range(100):
            write(os.path.join(root, "small", "dir%03d" % d, "file%03d.bin" % f),
                  rng.randint(1024, 16384))
EOF
if want 2; then
  mkdir -p "$work/www/big"
  head -c $((1 << 30)) /dev/urandom >"$work/www/big/big.bin"
fi
if want 3; then
  mkdir -p "$work/www/large"
  for i in 1 2 3; do head -c $((256 << 20)) /dev/urandom >"$work/www/large/part$i.bin"; done
fi
chmod -R a+rX "$work/www"

# ---------------------------------------------------------------- nginx, proxy
bench_start_nginx "$work/nginx" "$work/www"
nginx_pid=$bench_nginx_pid
port=$bench_nginx_port
echo "nginx on 127.0.0.1:$port"
if want 1; then
  proxy_cmd=$(bench_proxy_command)
  bench_start_proxy "$proxy_cmd" "$port" "$rtt_ms" "$work/proxy.log"
  proxy_pid=$bench_proxy_pid
  proxy_port=$bench_proxy_port
  echo "proxy on 127.0.0.1:$proxy_port, ${rtt_ms} ms round trip: $proxy_cmd"
fi

# publish NAME BASE_URL: signs www/NAME and makes client-NAME, an empty client for it.
publish() {
  (cd "$work/www/$1" && HOME="$work/home" "$tool" update-catalog >/dev/null 2>&1)
  mkdir -p "$work/source-$1" "$work/client-$1"
  (cd "$work/source-$1" && HOME="$work/home" "$tool" make-source-json "$2" >/dev/null 2>&1)
  cp "$work/source-$1/updater-source.json" "$work/client-$1/"
}
# same_tree A B: identical file contents, catalog files aside.
same_tree() {
  diff -r -q -x 'updater-*' -x '.tolvex-*' "$1" "$2" >/dev/null ||
    { echo "$2 differs from $1" >&2; exit 1; }
}

# ---------------------------------------------------------------- measuring
results=$work/results.tsv
: >"$results"
tm() { /usr/bin/time -f %M -o "$work/rss" "$@"; }
update_in() { (cd "$1" && HOME="$work/client-home" tm "$tool" update); }
# timed PART NAME: runs run_NAME once, appending "PART NAME microseconds KiB".
timed() {
  local start end kib
  rm -f "$work/rss"
  start=$(now_ns)
  "run_$2" >"$work/last.log" 2>&1 || { echo "$2 failed:" >&2; tail -n 5 "$work/last.log" >&2; exit 1; }
  end=$(now_ns)
  kib=$(tail -n 1 "$work/rss" 2>/dev/null || echo 0)
  printf '%s\t%s\t%d\t%s\n' "$1" "$2" $(((end - start) / 1000)) "$kib" >>"$results"
  awk -v n="$2" -v us=$(((end - start) / 1000)) -v k="$kib" \
    'BEGIN { printf "  %-16s %9.3f s %8.1f MiB\n", n, us / 1e6, k / 1024 }'
}
# bench PART NAME...: repetitions of every contender, the order rotating so that
# none always runs first; prep_NAME (untimed, if defined) runs before each.
bench() {
  local part=$1 rep=0 start rep_start now i n
  shift
  local names=("$@")
  n=${#names[@]}
  start=$(date +%s)
  while [ "$rep" -lt "$runs" ]; do
    rep_start=$(date +%s)
    for ((i = 0; i < n; i++)); do
      local name=${names[$(((i + rep) % n))]}
      if declare -F "prep_$name" >/dev/null; then "prep_$name"; fi
      timed "$part" "$name"
    done
    rep=$((rep + 1))
    now=$(date +%s)
    if [ "$rep" -ge 2 ] && [ $((now - start + now - rep_start)) -gt "$budget" ]; then break; fi
  done
}

if want 1; then
  echo "== 1. full update of 500 small files at ${rtt_ms} ms round trip"
  publish net "http://127.0.0.1:$proxy_port/net/"
  base="http://127.0.0.1:$proxy_port/net/"
  (cd "$work/www/net" && find . -type f -name '*.bin' | sed 's|^\./||' | sort) >"$work/net.list"
  while read -r rel; do
    printf 'url = "%s%s"\noutput = "%s/curl-net/%s"\n' "$base" "$rel" "$work" "$rel"
  done <"$work/net.list" >"$work/net.curlrc"
  fresh() { rm -rf "$1" && mkdir -p "$1" && sync; }
  prep_tolvex() { fresh "$work/client-net" && cp "$work/source-net/updater-source.json" "$work/client-net/"; }
  run_tolvex() { update_in "$work/client-net"; }
  prep_curl_serial() { fresh "$work/curl-net"; }
  run_curl_serial() { tm curl -s -S -f --create-dirs -H 'Connection: close' -K "$work/net.curlrc"; }
  prep_curl_par8() { fresh "$work/curl-net"; }
  run_curl_par8() { tm curl -s -S -f --create-dirs -Z --parallel-max 8 -K "$work/net.curlrc"; }
  prep_curl_par8 && run_curl_par8 >/dev/null 2>&1  # warms nginx's page cache
  bench 1 tolvex curl_serial curl_par8
  same_tree "$work/www/net" "$work/client-net"
  same_tree "$work/www/net" "$work/curl-net"
  rm -rf "$work/curl-net" "$work/client-net"
fi

if want 2; then
  echo "== 2. full update of one 1 GiB file on 127.0.0.1"
  publish big "http://127.0.0.1:$port/big/"
  url="http://127.0.0.1:$port/big/big.bin"
  prep_tolvex_1g() { rm -f "$work/client-big/big.bin"*; sync; }
  run_tolvex_1g() { update_in "$work/client-big"; }
  prep_curl_1g() { rm -f "$work/curl.out"; sync; }
  run_curl_1g() { tm curl -s -S -f -o "$work/curl.out" "$url"; }
  prep_curl_1g_sync() { rm -f "$work/curl.out"; sync; }
  run_curl_1g_sync() { tm curl -s -S -f -o "$work/curl.out" "$url" && sync; }
  prep_curl_1g && run_curl_1g >/dev/null 2>&1  # warms the page cache
  bench 2 tolvex_1g curl_1g curl_1g_sync
  cmp "$work/www/big/big.bin" "$work/client-big/big.bin"
  cmp "$work/www/big/big.bin" "$work/curl.out"
  rm -rf "$work/curl.out" "$work/client-big" "$work/www/big"
fi

if want 3; then
  for tree in small large; do
    echo "== 3. hashing $tree tree: update-catalog, no-op update, rhash"
    publish "$tree" "http://127.0.0.1:$port/$tree/"
    rm -rf "$work/client-$tree"
    cp -al "$work/www/$tree" "$work/client-$tree"  # hard links: the very same bytes
    rm -f "$work/client-$tree"/updater-catalog.*
    cp "$work/source-$tree/updater-source.json" "$work/client-$tree/"
    eval "run_catalog_$tree() { (cd '$work/www/$tree' && HOME='$work/home' tm '$tool' update-catalog); }"
    eval "run_noop_$tree() { update_in '$work/client-$tree'; }"
    eval "run_rhash_$tree() { (cd '$work/www/$tree' && tm rhash --sha3-256 -r --exclude=sha3 --exclude=sig . >/dev/null); }"
    for name in "catalog_$tree" "noop_$tree" "rhash_$tree"; do "run_$name" >/dev/null 2>&1; done  # warm
    [ -z "$(find "$work/client-$tree" -name '*.tolvex-pending')" ] ||
      { echo "the no-op update of $tree downloaded files" >&2; exit 1; }
    bench 3 "catalog_$tree" "noop_$tree" "rhash_$tree"
    same_tree "$work/www/$tree" "$work/client-$tree"
    rm -rf "$work/client-$tree" "$work/www/$tree"
  done
fi

# ---------------------------------------------------------------- the table
python3 - "$results" "$rtt_ms" <<'EOF'
import collections, statistics, sys
rows = collections.defaultdict(list)
for line in open(sys.argv[1]):
    part, name, us, kib = line.split("\t")
    rows[name].append((int(us) / 1e6, int(kib or 0)))
rtt = sys.argv[2]
labels = [
    ("tolvex", f"1  500 files, {rtt} ms RTT: tolvex update"),
    ("curl_serial", "   curl, new connection per file"),
    ("curl_par8", "   curl -Z --parallel-max 8"),
    ("tolvex_1g", "2  1 GiB, loopback: tolvex update"),
    ("curl_1g", "   curl -o"),
    ("curl_1g_sync", "   curl -o + sync (info)"),
    ("catalog_small", "3  20,000 files: update-catalog"),
    ("noop_small", "   no-op tolvex update"),
    ("rhash_small", "   rhash --sha3-256 -r"),
    ("catalog_large", "3  3 x 256 MiB: update-catalog"),
    ("noop_large", "   no-op tolvex update"),
    ("rhash_large", "   rhash --sha3-256 -r"),
]
best = lambda n: min(t for t, _ in rows[n])
median = lambda n: statistics.median(t for t, _ in rows[n])
print()
print(f"{'measurement':<42} {'runs':>4} {'best s':>9} {'median s':>9} {'peak MiB':>9}")
for name, label in labels:
    if name in rows:
        print(f"{label:<42} {len(rows[name]):>4} {best(name):>9.3f} {median(name):>9.3f}"
              f" {max(k for _, k in rows[name]) / 1024:>9.1f}")
# (description, numerator, denominator, comparison, bound): the ratio is
# numerator time / denominator time.
targets = [
    ("1  curl new-conn / tolvex (speed-up)", "curl_serial", "tolvex", ">=", 10.0),
    ("1  tolvex / curl -Z 8 (slow-down)", "tolvex", "curl_par8", "<=", 1.5),
    ("2  tolvex / curl -o (slow-down)", "tolvex_1g", "curl_1g", "<=", 1.10),
    ("3  rhash / update-catalog, 20k files", "rhash_small", "catalog_small", ">=", 1.7),
    ("3  rhash / no-op update, 20k files", "rhash_small", "noop_small", ">=", 1.7),
    ("3  rhash / update-catalog, 3x256 MiB", "rhash_large", "catalog_large", ">=", 1.7),
    ("3  rhash / no-op update, 3x256 MiB", "rhash_large", "noop_large", ">=", 1.7),
]
print()
print(f"{'target (ratio of times)':<42} {'best':>8} {'median':>8} {'target':>8}  result (on best)")
ok = True
for label, a, b, op, bound in targets:
    if a not in rows or b not in rows:
        continue
    rb, rm = best(a) / best(b), median(a) / median(b)
    good = rb >= bound if op == ">=" else rb <= bound
    ok &= good
    print(f"{label:<42} {rb:>7.2f}x {rm:>7.2f}x {op + format(bound, 'g') + 'x':>8}  {'PASS' if good else 'FAIL'}")
sys.exit(0 if ok else 1)
EOF
