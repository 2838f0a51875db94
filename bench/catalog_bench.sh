#!/usr/bin/env bash
# Throughput and peak memory of `update-catalog` against `rhash --sha3-256 -r`
# and against single-core OpenSSL SHA3-256, over two generated trees:
#   small: 20,000 files of 1-16 KiB in 200 directories
#   large: 3 files of 256 MiB
# Usage: bench/catalog_bench.sh [path/to/tolvex]   (default: build-bench/tolvex)
# update-catalog hashes on every core (at most 8), rhash on one.
# Targets: at least 1.7x the speed of rhash on both trees (page cache warm);
# peak memory the same for both trees; on the large tree, writing every block
# index at most 1.15x the time of a run that finds them in place.
set -euo pipefail

binary=$(realpath "${1:-build-bench/tolvex}")
runs=${RUNS:-3}
for tool in rhash openssl python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[[ -x /usr/bin/time ]] || { echo "missing: /usr/bin/time (apt-get install time)" >&2; exit 1; }

work=$(mktemp -d /tmp/tolvex-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home" "$work/small" "$work/large"

echo "cores: $(nproc); generating trees under $work ..."
python3 - "$work/small" <<'EOF'
import os, random, sys
root = sys.argv[1]
rng = random.Random(1)
for d in range(200):
    directory = os.path.join(root, f"dir{d:03}")
    os.mkdir(directory)
    for f in range(100):
        with open(os.path.join(directory, f"file{f:03}.bin"), "wb") as out:
            out.write(os.urandom(rng.randint(1024, 16384)))
EOF
for i in 1 2 3; do
  head -c $((256 * 1024 * 1024)) /dev/urandom >"$work/large/part$i.bin"
done
HOME="$work/home" "$binary" keygen >/dev/null 2>&1

# Best elapsed seconds and the peak RSS (KiB) of that run, as "SECONDS KIB".
measure() {
  local dir=$1; shift
  local best="" rss=""
  for _ in $(seq "$runs"); do
    local out
    out=$(cd "$dir" && HOME="$work/home" /usr/bin/time -f "%e %M" "$@" 2>&1 >/dev/null | tail -1)
    local seconds=${out% *} kib=${out#* }
    if [[ -z $best ]] || awk -v a="$seconds" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$seconds rss=$kib
    fi
  done
  echo "$best $rss"
}

report() {
  local name=$1 dir=$2 bytes
  bytes=$(du -sb --exclude=updater-catalog.sha3 --exclude=updater-catalog.sig "$dir" | cut -f1)
  # Warm the page cache so that both tools read from memory.
  cat "$dir"/*/* "$dir"/*.bin >/dev/null 2>&1 || true
  local tolvex rhash_result
  tolvex=$(measure "$dir" "$binary" update-catalog)
  rhash_result=$(measure "$dir" rhash --sha3-256 -r --exclude=sha3 --exclude=sig .)
  local t=${tolvex% *} tm=${tolvex#* } r=${rhash_result% *} rm=${rhash_result#* }
  awk -v n="$name" -v b="$bytes" -v t="$t" -v r="$r" -v tm="$tm" -v rm="$rm" 'BEGIN {
    printf "%-6s update-catalog %7.3f s %8.1f MB/s %7d KiB peak | rhash %7.3f s %8.1f MB/s %7d KiB peak | speed-up over rhash %.2fx\n",
      n, t, b / 1e6 / t, tm, r, b / 1e6 / r, rm, r / t }' >&2
  echo "$t $bytes $tm"
}

small=$(report small "$work/small")
large=$(report large "$work/large")

# Publishing with block indexes against publishing with them in place already
# (the digests alone): the indexes of new large files come from the same read.
kept=$(measure "$work/large" "$binary" update-catalog)
fresh=$(measure "$work/large" sh -c 'rm -rf .tolvex-index && exec "$0" update-catalog' "$binary")
awk -v k="${kept% *}" -v f="${fresh% *}" 'BEGIN {
  printf "large  update-catalog writing every index %.3f s, indexes in place %.3f s: %.2fx (target <= 1.15x)\n",
    f, k, f / k }'

openssl_kbps=$(openssl speed -evp sha3-256 -bytes 8192 -seconds 3 2>/dev/null |
  awk '/^sha3-256/ { v = $NF; sub(/k$/, "", v); print v }')
read -r large_seconds large_bytes large_rss <<<"$large"
read -r _ _ small_rss <<<"$small"
awk -v o="$openssl_kbps" -v s="$large_seconds" -v b="$large_bytes" -v lr="$large_rss" -v sr="$small_rss" 'BEGIN {
  mine = b / 1e6 / s; ossl = o * 1000 / 1e6
  printf "openssl speed sha3-256 (8192-byte blocks, one core): %.1f MB/s; update-catalog on large files: %.1f MB/s (%.1f%% of OpenSSL)\n",
    ossl, mine, 100 * mine / ossl
  printf "peak memory: small tree %d KiB, large tree %d KiB\n", sr, lr }'
