#!/usr/bin/env bash
# Verified downloads against tools that only download (or only hash), side by side
# in one run, nginx on 127.0.0.1:
#   A. one 1 GiB file into an empty client, against `openssl dgst -sha3-256` of the
#      same file, page cache warm.  Target: <= 1.2x.  `curl -o` shown too.
#   B. a mixed tree (200 files, log-uniform 1 KiB to 100 MiB, about 1.1 GB) into an
#      empty client, against `wget -i` fetching the same URLs.  Target: <= 1.0x.
#   C. the same tree through a proxy adding a 50 ms round trip, against
#      `curl -Z --parallel-max 8` over the same URLs.  Target: <= 1.0x.
# For A and B it prints user+sys CPU of the update against wget plus one
# `openssl dgst` of the same bytes, and every contender's peak memory.
#
# Usage: bench/verified_download_bench.sh [--client BIN --keypair KEYFILE]
#   Without --client it builds a Release client trusting a key made for the run
#   (in build-bench-verify).  RUNS=3 rounds (best counts): each round runs every
#   contender of a part once, in an order that rotates from round to round, each
#   run after a sync (untimed); PARTS="A B C".
#   TOLVEX_DELAY_PROXY: the round-trip proxy command (default: bench/delay_proxy.cpp,
#   built in build-bench-proxy).
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."
repo=$(pwd)
. bench/lib.sh
source_dir=$repo
build_dir=$repo/build-bench-verify
bench_parse_args "$0" "$@"
runs=${RUNS:-3}
parts=${PARTS:-"A B C"}
want() { [[ " $parts " == *" $1 "* ]]; }
if [ -x scripts/install-deps ]; then scripts/install-deps nginx time wget; fi

bench_start_work verifybench

bench_client_tool
echo "client: $tool"

echo "== generating the trees"
mkdir -p "$work/www/one" "$work/www/mixed"
want A && head -c $((1 << 30)) /dev/urandom >"$work/www/one/big.bin"
if want B || want C; then
  python3 - "$work/www/mixed" <<'EOF'
import math, os, random, sys
rng = random.Random(12)
root = sys.argv[1]
total = 0
for i in range(200):
    size = int(math.exp(rng.uniform(math.log(1024), math.log(100 << 20))))
    path = os.path.join(root, "d%d" % (i % 7), "f%03d.bin" % i)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(os.urandom(size))
    total += size
print("mixed tree: %.2f GB" % (total / 1e9))
EOF
fi
chmod -R a+rX "$work/www"

bench_start_nginx "$work/nginx" "$work/www"
pids="$pids $bench_nginx_pid"
port=$bench_nginx_port
proxy_port=""
if want C; then
  proxy_cmd=$(bench_proxy_command)
  bench_start_proxy "$proxy_cmd" "$port" 50 "$work/proxy.log"
  pids="$pids $bench_proxy_pid"
  proxy_port=$bench_proxy_port
fi

# publish NAME BASE_URL CLIENT: signs www/NAME, makes an empty client dir for BASE_URL.
publish() {
  (cd "$work/www/$1" && HOME="$work/home" "$tool" update-catalog >/dev/null 2>&1)
  mkdir -p "$work/$3"
  (cd "$work/$3" && HOME="$work/home" "$tool" make-source-json "$2" >/dev/null 2>&1)
}
urls() {  # urls NAME BASE_URL: every catalogued file's URL
  sed 's/^[0-9a-f]* \*//' "$work/www/$1/updater-catalog.sha3" | sed "s|^|$2|"
}
# contender LABEL RESET COMMAND: a contender of the next `rounds`, two shell command
# lines: RESET runs untimed before each run, COMMAND is timed.
declare -A reset_of command_of
contender() { reset_of[$1]=$2; command_of[$1]=$3; }
# rounds LABEL...: $runs rounds, each running every contender once, the order
# rotating so that a change in the machine's load weighs on all of them alike.
# Before each run its reset and a sync (untimed): nothing left dirty by the run
# before is written back during the next, which would charge one contender for
# another's files. Prints each contender's best wall time, with the user+sys
# and peak RSS of that run, and sets result_LABEL / cpu_LABEL (LABEL with
# every other character than a letter or digit made "_").
rounds() {
  local labels=("$@") n=$# round i label start end wall user sys rss
  declare -A best best_cpu best_rss
  for ((round = 0; round < runs; round++)); do
    for ((i = 0; i < n; i++)); do
      label=${labels[$(((i + round) % n))]}
      sh -c "${reset_of[$label]:-true}"
      sync
      start=$(date +%s%N)
      /usr/bin/time -f "%U %S %M" -o "$work/time" sh -c "${command_of[$label]}" >/dev/null 2>&1
      end=$(date +%s%N)
      wall=$(((end - start) / 1000000))
      if [ -z "${best[$label]:-}" ] || [ "$wall" -lt "${best[$label]}" ]; then
        best[$label]=$wall
        read -r user sys rss <"$work/time"
        best_cpu[$label]=$(python3 -c "print(f'{$user + $sys:.2f}')")
        best_rss[$label]=$rss
      fi
    done
  done
  for label in "${labels[@]}"; do
    printf '%-44s %8.2f s  cpu %6s s  peak %7d KiB\n' "$label" \
      "$(python3 -c "print(${best[$label]}/1000)")" "${best_cpu[$label]}" "${best_rss[$label]}"
    eval "result_$(printf '%s' "$label" | tr -c 'a-zA-Z0-9' _)=${best[$label]}"
    eval "cpu_$(printf '%s' "$label" | tr -c 'a-zA-Z0-9' _)=${best_cpu[$label]}"
  done
}
ratio() { python3 -c "print(f'{$1 / $2:.2f}')"; }
update_command() { echo "cd '$work/$1' && HOME='$work/client-home' exec '$tool' update"; }
clean_command() { echo "find '$work/$1' -mindepth 1 ! -name updater-source.json -delete"; }

if want A; then
  echo "== A: one 1 GiB file"
  publish one "http://127.0.0.1:$port/one/" client-one
  cat "$work/www/one/big.bin" >/dev/null
  contender "tolvex update (1 GiB)" "$(clean_command client-one)" "$(update_command client-one)"
  contender "curl -o (1 GiB)" "rm -f '$work/curl.out'" \
    "exec curl -s -o '$work/curl.out' 'http://127.0.0.1:$port/one/big.bin'"
  contender "openssl dgst -sha3-256 (1 GiB)" "" "exec openssl dgst -sha3-256 '$work/www/one/big.bin'"
  rounds "tolvex update (1 GiB)" "curl -o (1 GiB)" "openssl dgst -sha3-256 (1 GiB)"
  cmp "$work/www/one/big.bin" "$work/client-one/big.bin"
  echo "A: update / openssl dgst = $(ratio "$result_tolvex_update__1_GiB_" "$result_openssl_dgst__sha3_256__1_GiB_") (target <= 1.2)"
  echo "A: cpu of update = $cpu_tolvex_update__1_GiB_ s, curl + openssl = $(python3 -c "print(f'{$cpu_curl__o__1_GiB_ + $cpu_openssl_dgst__sha3_256__1_GiB_:.2f}')") s"
fi

if want B; then
  echo "== B: mixed tree on loopback"
  publish mixed "http://127.0.0.1:$port/mixed/" client-mixed
  urls mixed "http://127.0.0.1:$port/mixed/" >"$work/urls-b"
  find "$work/www/mixed" -type f -exec cat {} + >/dev/null
  contender "tolvex update (mixed)" "$(clean_command client-mixed)" "$(update_command client-mixed)"
  contender "wget -i (mixed)" "rm -rf '$work/wget' && mkdir -p '$work/wget'" \
    "exec wget -q -x -P '$work/wget' -i '$work/urls-b'"
  contender "openssl dgst -sha3-256 (mixed)" "" \
    "find '$work/www/mixed' -name '*.bin' -exec openssl dgst -sha3-256 {} + >/dev/null"
  rounds "tolvex update (mixed)" "wget -i (mixed)" "openssl dgst -sha3-256 (mixed)"
  diff -r -q -x 'updater-*' -x '.tolvex-*' "$work/www/mixed" "$work/client-mixed" >/dev/null ||
    { echo "the client differs from the published tree" >&2; exit 1; }
  echo "B: update / wget = $(ratio "$result_tolvex_update__mixed_" "$result_wget__i__mixed_") (target <= 1.0)"
  echo "B: cpu of update = $cpu_tolvex_update__mixed_ s, wget + openssl = $(python3 -c "print(f'{$cpu_wget__i__mixed_ + $cpu_openssl_dgst__sha3_256__mixed_:.2f}')") s"
fi

if want C; then
  echo "== C: mixed tree at a 50 ms round trip"
  publish mixed "http://127.0.0.1:$proxy_port/mixed/" client-rtt
  urls mixed "http://127.0.0.1:$proxy_port/mixed/" >"$work/urls-c"
  contender "tolvex update (mixed, 50 ms)" "$(clean_command client-rtt)" "$(update_command client-rtt)"
  contender "curl -Z --parallel-max 8 (mixed, 50 ms)" "rm -rf '$work/curlz' && mkdir -p '$work/curlz'" \
    "cd '$work/curlz' && exec curl -s -Z --parallel-max 8 --remote-name-all \$(cat '$work/urls-c')"
  rounds "tolvex update (mixed, 50 ms)" "curl -Z --parallel-max 8 (mixed, 50 ms)"
  diff -r -q -x 'updater-*' -x '.tolvex-*' "$work/www/mixed" "$work/client-rtt" >/dev/null ||
    { echo "the client differs from the published tree" >&2; exit 1; }
  echo "C: update / curl -Z = $(ratio "$result_tolvex_update__mixed__50_ms_" "$result_curl__Z___parallel_max_8__mixed__50_ms_") (target <= 1.0)"
fi
