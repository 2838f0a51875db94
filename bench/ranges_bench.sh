#!/usr/bin/env bash
# Many small ranges of one large file, several per request: how many ranges per
# request and how many requests in flight fetch them fastest. A 123 MiB file of
# random bytes is served by nginx on 127.0.0.1; tolvex_ranges_bench fetches 446
# ranges of 8-24 KiB (median 16 KiB) spread over it, as the delta of a file
# that kept about 90% of its blocks asks, with PER_REQUEST ranges per request
# ("Range: bytes=a-b,c-d,...", a multipart/byteranges answer) and IN_FLIGHT
# requests at once, and checks every range against the file. One range per
# request is what a single-range client does. Each combination runs RUNS times
# at each round trip of RTTS (0 = straight to nginx, otherwise through the
# delay proxy); the table gives requests, best and median seconds.
#
# Usage: bench/ranges_bench.sh [path/to/tolvex_ranges_bench]
#        (default: build-bench/bench/tolvex_ranges_bench, a Release build)
# Environment: RUNS=3;  RTTS="0 50" (milliseconds);  PER_REQUEST="1 16 32 64 128";
#   IN_FLIGHT="2 4 8";  TOLVEX_DELAY_PROXY: the round-trip proxy command, run as
#   "CMD LISTEN_PORT UPSTREAM_PORT --rtt-ms MS" (default: bench/delay_proxy.cpp,
#   built in build-bench-proxy).
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."
. bench/lib.sh

driver=$(realpath "${1:-build-bench/bench/tolvex_ranges_bench}")
runs=${RUNS:-3}
rtts=${RTTS:-"0 50"}
per_request=${PER_REQUEST:-"1 16 32 64 128"}
in_flight=${IN_FLIGHT:-"2 4 8"}
for tool in nginx curl python3; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "missing: $tool" >&2; exit 1; }
done
[ -x "$driver" ] || { echo "missing: $driver (build target tolvex_ranges_bench)" >&2; exit 1; }

bench_start_work rangesbench
mkdir -p "$work/www"
python3 -c 'import random, sys
random.seed(123)
sys.stdout.buffer.write(random.randbytes(123 * 1024 * 1024))' >"$work/www/big.bin"
chmod 644 "$work/www/big.bin"
bench_start_nginx "$work/nginx" "$work/www"
pids="$pids $bench_nginx_pid"
proxy_cmd=""

printf '%-6s %-11s %-9s %-8s %-8s %-8s\n' rtt_ms per_request in_flight requests best_s median_s
for rtt in $rtts; do
  port=$bench_nginx_port
  if [ "$rtt" != 0 ]; then
    [ -n "$proxy_cmd" ] || proxy_cmd=$(bench_proxy_command)
    bench_start_proxy "$proxy_cmd" "$bench_nginx_port" "$rtt" "$work/proxy-$rtt.log"
    pids="$pids $bench_proxy_pid"
    port=$bench_proxy_port
  fi
  for per in $per_request; do
    for flight in $in_flight; do
      times=()
      requests=0
      for _ in $(seq "$runs"); do
        read -r seconds requests < <("$driver" "http://127.0.0.1:$port/big.bin" \
          "$work/www/big.bin" "$per" "$flight")
        times+=("$seconds")
      done
      sorted=$(printf '%s\n' "${times[@]}" | sort -n)
      best=$(echo "$sorted" | head -n 1)
      median=$(echo "$sorted" | sed -n "$(((runs + 1) / 2))p")
      printf '%-6s %-11s %-9s %-8s %-8s %-8s\n' "$rtt" "$per" "$flight" "$requests" "$best" "$median"
    done
  done
done
