#!/usr/bin/env bash
# The round-trip proxy of the network benchmarks (bench/delay_proxy.cpp) on its
# own, and beside it any other proxy taking the same command line:
#   cpu    curl fetches 1 GiB from nginx on 127.0.0.1 through the proxy at RTT_MS;
#          the proxy's user+sys CPU for it (from /proc/PID/stat), best and median
#          of RUNS, each with a fresh proxy.  Target for this tree's proxy: best
#          < 0.2 s, since the proxy shares the cores with the client it measures.
#   rtt    medians of 5 fetches, each on a new connection, of a 3-byte file
#          (connect and first byte) and of a 10 MiB one (last byte), beside what
#          the model gives: set-up takes one round trip, the request and the
#          answer half of one each, and slow start sends 10 segments of 1448
#          bytes in the first round, doubling each round after.
#
# Usage: bench/delay_proxy_bench.sh [OTHER_PROXY_COMMAND...]
#   e.g. bench/delay_proxy_bench.sh "python3 path/to/other_proxy.py"
#   Each command is run as "COMMAND LISTEN_PORT UPSTREAM_PORT --rtt-ms MS".
# Environment: RUNS=3;  RTT_MS=50.  Exit status 1 when the target is missed.
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."
. bench/lib.sh
case ${1:-} in
  -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
esac
runs=${RUNS:-3}
rtt_ms=${RTT_MS:-50}
if [ -x scripts/install-deps ]; then scripts/install-deps nginx; fi

own=$(TOLVEX_DELAY_PROXY="" bench_proxy_command)
proxies=("$own" "$@")

bench_start_work proxybench

mkdir -p "$work/www"
head -c $((1 << 30)) /dev/zero >"$work/www/big"
head -c $((10 << 20)) /dev/zero >"$work/www/medium"
chmod -R a+rX "$work/www"
bench_start_nginx "$work/nginx" "$work/www"
pids=$bench_nginx_pid
curl -s -o /dev/null "http://127.0.0.1:$bench_nginx_port/big"  # into the page cache

# cpu_ticks PID: user + sys clock ticks of PID so far (fields 14 and 15 of
# /proc/PID/stat, counted after the command name, which may hold spaces).
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
hz=$(getconf CLK_TCK)

ok=1
for proxy in "${proxies[@]}"; do
  echo "== $proxy"
  : >"$work/cpu"
  for _ in $(seq "$runs"); do
    bench_start_proxy "$proxy" "$bench_nginx_port" "$rtt_ms" "$work/proxy.log"
    pids="$bench_nginx_pid $bench_proxy_pid"
    before=$(cpu_ticks "$bench_proxy_pid")
    wall=$(curl -s -S -f -o /dev/null -w '%{time_total}' "http://127.0.0.1:$bench_proxy_port/big")
    after=$(cpu_ticks "$bench_proxy_pid")
    kill "$bench_proxy_pid"
    wait "$bench_proxy_pid" 2>/dev/null || true
    pids=$bench_nginx_pid
    awk -v t=$((after - before)) -v hz="$hz" 'BEGIN { print t / hz }' >>"$work/cpu"
    printf '  relayed 1 GiB in %6.2f s, proxy CPU %5.2f s\n' "$wall" "$(tail -n 1 "$work/cpu")"
  done
  best=$(sort -g "$work/cpu" | head -n 1)
  printf '  cpu per GiB: best %.2f s, median %.2f s\n' "$best" "$(median <"$work/cpu")"
  if [ "$proxy" = "$own" ] && awk -v b="$best" 'BEGIN { exit !(b >= 0.2) }'; then
    echo "  FAIL: target < 0.2 s"
    ok=0
  fi

  bench_start_proxy "$proxy" "$bench_nginx_port" "$rtt_ms" "$work/proxy.log"
  pids="$bench_nginx_pid $bench_proxy_pid"
  url=http://127.0.0.1:$bench_proxy_port
  for _ in 1 2 3 4 5; do
    curl -s -S -f -o /dev/null -w '%{time_connect} %{time_starttransfer}\n' "$url/ping"
  done >"$work/small"
  for _ in 1 2 3 4 5; do
    curl -s -S -f -o /dev/null -w '%{time_total}\n' "$url/medium"
  done >"$work/medium"
  kill "$bench_proxy_pid"
  wait "$bench_proxy_pid" 2>/dev/null || true
  pids=$bench_nginx_pid
  # Rounds of slow start for 10 MiB and its headers: 14480 * (2^k - 1) bytes in k.
  rounds=$(awk 'BEGIN { k = 0; while (14480 * (2 ^ k - 1) < (10 * 2 ^ 20) + 300) k++; print k }')
  awk -v rtt="$rtt_ms" -v k="$rounds" \
    -v connect="$(cut -d' ' -f1 "$work/small" | median)" \
    -v first="$(cut -d' ' -f2 "$work/small" | median)" \
    -v last="$(median <"$work/medium")" 'BEGIN {
      printf "  new connection: connect %6.1f ms (model 0), first byte %6.1f ms (model %d)\n",
        connect * 1000, first * 1000, 2 * rtt
      printf "  10 MiB on a new connection: last byte %6.1f ms (model %d)\n",
        last * 1000, (k + 1) * rtt
    }'
done
[ "$ok" = 1 ]
