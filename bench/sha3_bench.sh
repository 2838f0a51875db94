#!/usr/bin/env bash
# SHA3-256 throughput of each hashing path, side by side in one run:
#   1. raw hashing of 1,000 files of 64 KiB to 4 MiB (log-uniform, ~1 GB) in the
#      page cache, on one core (taskset), by tolvex_sha3_bench with each path
#      forced through TOLVEX_SHA3_LANES (1 = OpenSSL, 4 = AVX2, 8 = AVX-512),
#      against `openssl dgst -sha3-256`.  Target: the widest path >= 3x openssl.
#   2. `update-catalog` (every core, widest path; TOLVEX_SHA3_LANES=1 shown too)
#      over 20,000 files of 1-16 KiB in 200 directories and over the mixed tree
#      (200 files, log-uniform 1 KiB to 100 MiB, ~1.8 GB), against
#      `rhash --sha3-256 -r`.  Target: <= 0.25x rhash's time.
# Every contender runs RUNS times (default 3) in rotating order, page cache
# warm; the best wall time counts, and MB/s per core is also given from CPU time
# (user + system), which a busy machine disturbs less.  The digests of every
# path are checked against openssl's.  A path the processor lacks is reported
# as such: TOLVEX_SHA3_LANES only narrows.
# Usage: bench/sha3_bench.sh [BUILD_DIR]   (default: build-bench; a Release
#        build with the tolvex and tolvex_sha3_bench targets)
# Exit status 1 when a target is missed.
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."

build=$(realpath "${1:-build-bench}")
runs=${RUNS:-3}
tool=$build/tolvex
driver=$build/bench/tolvex_sha3_bench
for binary in "$tool" "$driver"; do
  [ -x "$binary" ] || { echo "missing: $binary (cmake --build $build)" >&2; exit 1; }
done
for command in rhash openssl python3 taskset; do
  command -v "$command" >/dev/null || { echo "missing: $command" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "missing: /usr/bin/time (apt-get install time)" >&2; exit 1; }

work=$(mktemp -d /tmp/tolvex-sha3bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home"
HOME="$work/home" "$tool" keygen >/dev/null 2>&1
echo "cores: $(nproc); $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-); generating trees under $work ..."
python3 - "$work" <<'EOF'
import math, os, random, sys
work = sys.argv[1]
def write(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(os.urandom(size))
rng = random.Random(5)
for i in range(1000):
    write(os.path.join(work, "raw", "f%04d.bin" % i),
          int(math.exp(rng.uniform(math.log(64 << 10), math.log(4 << 20)))))
rng = random.Random(7)
for d in range(200):
    for f in range(100):
        write(os.path.join(work, "small", "dir%03d" % d, "file%03d.bin" % f), rng.randint(1024, 16384))
rng = random.Random(12)
for i in range(200):
    write(os.path.join(work, "mixed", "d%d" % (i % 7), "f%03d.bin" % i),
          int(math.exp(rng.uniform(math.log(1024), math.log(100 << 20)))))
EOF
(cd "$work/raw" && ls) >"$work/raw.list"

# run NAME DIR COMMAND...: one timed run; keeps the best wall time and the CPU
# seconds of every contender in best_wall[NAME] / best_cpu[NAME].
declare -A best_wall best_cpu
run() {
  local name=$1 dir=$2
  shift 2
  local out wall cpu
  out=$(cd "$dir" && /usr/bin/time -f "%e %U %S" "$@" 2>&1 >/dev/null | tail -1)
  read -r wall user sys <<<"$out"
  cpu=$(python3 -c "print(f'{$user + $sys:.2f}')")
  if [ -z "${best_wall[$name]:-}" ] || python3 -c "import sys; sys.exit(not $wall < ${best_wall[$name]})"; then
    best_wall[$name]=$wall
  fi
  if [ -z "${best_cpu[$name]:-}" ] || python3 -c "import sys; sys.exit(not $cpu < ${best_cpu[$name]})"; then
    best_cpu[$name]=$cpu
  fi
}

# rounds NAME...: RUNS rounds, each running every contender once, the order
# rotating; contenders are the functions "contender_NAME".
rounds() {
  local names=("$@") round i count=$#
  for round in $(seq 0 $((runs - 1))); do
    for i in $(seq 0 $((count - 1))); do
      "contender_${names[$(((i + round) % count))]}"
    done
  done
}

failed=0
verdict() {  # verdict TEXT OK
  if [ "$2" = 1 ]; then echo "PASS  $1"; else echo "FAIL  $1"; failed=1; fi
}

echo "== 1. raw hashing, one core, $(du -sb "$work/raw" | cut -f1) bytes in 1,000 files"
raw_bytes=$(du -sb "$work/raw" | cut -f1)
cat "$work/raw"/* >/dev/null
(cd "$work/raw" && xargs openssl dgst -sha3-256 <"$work/raw.list") |
  sed -E 's/^SHA3-256\((.*)\)= ([0-9a-f]{64})$/\2 *\1/' >"$work/raw.openssl"
for lanes in 1 4 8; do
  (cd "$work/raw" && TOLVEX_SHA3_LANES=$lanes "$driver" <"$work/raw.list") >"$work/raw.$lanes"
  cmp -s "$work/raw.$lanes" "$work/raw.openssl" ||
    { echo "TOLVEX_SHA3_LANES=$lanes: digests differ from openssl's" >&2; exit 1; }
  eval "contender_lanes$lanes() { run lanes$lanes '$work/raw' env TOLVEX_SHA3_LANES=$lanes taskset -c 0 sh -c '\"$driver\" <\"$work/raw.list\"'; }"
done
contender_openssl() {
  run openssl "$work/raw" taskset -c 0 sh -c "xargs openssl dgst -sha3-256 <'$work/raw.list'"
}
rounds openssl lanes1 lanes4 lanes8
rate() { python3 -c "print(f'{$raw_bytes / 1e6 / $1:7.0f}')"; }
printf "%-34s %8s %10s %10s %12s\n" "path (one core)" "wall s" "MB/s wall" "MB/s cpu" "vs openssl"
for name in openssl lanes1 lanes4 lanes8; do
  label=$name
  case $name in
    lanes1) label="TOLVEX_SHA3_LANES=1 (OpenSSL)" ;;
    lanes4) label="TOLVEX_SHA3_LANES=4 (AVX2)" ;;
    lanes8) label="TOLVEX_SHA3_LANES=8 (AVX-512)" ;;
    openssl) label="openssl dgst -sha3-256" ;;
  esac
  printf "%-34s %8s %10s %10s %11sx\n" "$label" "${best_wall[$name]}" "$(rate "${best_wall[$name]}")" \
    "$(rate "${best_cpu[$name]}")" \
    "$(python3 -c "print(f'{${best_cpu[openssl]} / ${best_cpu[$name]}:.2f}')")"
done
echo "(the vs-openssl column compares CPU time; 4 and 8 run the widest path the processor has when it lacks them)"
ratio=$(python3 -c "print(f'{${best_cpu[openssl]} / ${best_cpu[lanes8]}:.2f}')")
verdict "raw hashing per core, widest path: ${ratio}x openssl (target >= 3)" \
  "$(python3 -c "print(int($ratio >= 3))")"

for tree in small mixed; do
  echo "== 2. update-catalog of the $tree tree, every core"
  dir=$work/$tree
  find "$dir" -type f -exec cat {} + >/dev/null
  # The first run writes the block indexes of large files; later runs find them.
  (cd "$dir" && HOME="$work/home" "$tool" update-catalog >/dev/null 2>&1)
  contender_catalog() { run catalog "$dir" env HOME="$work/home" "$tool" update-catalog; }
  contender_catalog1() { run catalog1 "$dir" env HOME="$work/home" TOLVEX_SHA3_LANES=1 "$tool" update-catalog; }
  contender_rhash() { run rhash "$dir" rhash --sha3-256 -r --exclude=sha3 --exclude=sig .; }
  unset 'best_wall[catalog]' 'best_wall[catalog1]' 'best_wall[rhash]'
  unset 'best_cpu[catalog]' 'best_cpu[catalog1]' 'best_cpu[rhash]'
  rounds catalog catalog1 rhash
  for name in catalog catalog1 rhash; do
    printf "  %-40s %7s s wall %7s s cpu\n" \
      "$([ $name = catalog ] && echo "update-catalog" || { [ $name = catalog1 ] && echo "update-catalog, TOLVEX_SHA3_LANES=1" || echo "rhash --sha3-256 -r"; })" \
      "${best_wall[$name]}" "${best_cpu[$name]}"
  done
  ratio=$(python3 -c "print(f'{${best_wall[catalog]} / ${best_wall[rhash]}:.2f}')")
  verdict "update-catalog of the $tree tree: ${ratio}x rhash's time (target <= 0.25)" \
    "$(python3 -c "print(int($ratio <= 0.25))")"
done
exit $failed
