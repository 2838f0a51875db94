#!/usr/bin/env bash
# Throughput and peak memory of the DownloadSet driver against `curl -o`, both fetching the
# same 1 GiB file of random bytes from one nginx on 127.0.0.1 in the same run.
# Usage: bench/download_bench.sh [path/to/tolvex_download_bench]
#        (default: build-bench/bench/tolvex_download_bench, a Release build)
# Targets: peak resident memory under 32 MiB; throughput within 10% of curl.
# Exits 1 when a target is missed.
set -euo pipefail

driver=$(realpath "${1:-build-bench/bench/tolvex_download_bench}")
runs=${RUNS:-3}
for tool in nginx curl python3 cmp; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[[ -x /usr/bin/time ]] || { echo "missing: /usr/bin/time (apt-get install time)" >&2; exit 1; }
[[ -x "$driver" ]] || { echo "missing: $driver (build target tolvex_download_bench)" >&2; exit 1; }

work=$(mktemp -d /tmp/tolvex-bench-XXXXXX)
nginx_pid=""
cleanup() {
  if [[ -n "$nginx_pid" ]]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
mkdir -p "$work/www" "$work/tmp"

echo "generating 1 GiB under $work ..."
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
chmod 644 "$work/www/big.bin"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
user_line=""
if [[ $(id -u) -eq 0 ]]; then user_line="user $(id -un) $(id -gn);"; fi
cat >"$work/nginx.conf" <<CONF
$user_line
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work/tmp; proxy_temp_path $work/tmp; fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$port; root $work/www; sendfile on; }
}
CONF
nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
nginx_pid=$!
url="http://127.0.0.1:$port/big.bin"
for _ in $(seq 50); do curl -s -o /dev/null -r 0-0 "$url" && break; sleep 0.1; done

# Seconds of wall time of "$@".
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  python3 -c "print(f'{$end - $start:.3f}')"
}

curl_times=""
tolvex_times=""
peak_kib=0
# Each transfer starts with no dirty pages left by the one before, and the order
# alternates, so that neither pays for the other's write-back.
timed_curl() {
  rm -f "$work/curl.out"; sync
  t_curl=$(seconds curl -s -S -o "$work/curl.out" "$url")
}
timed_tolvex() {
  rm -f "$work/tolvex.out"; sync
  t_tolvex=$(seconds /usr/bin/time -f "%M" -o "$work/rss" "$driver" "$url" "$work/tolvex.out")
}
timed_curl >/dev/null  # warms the page cache with the source file
for run in $(seq "$runs"); do
  if (( run % 2 )); then timed_curl; timed_tolvex; else timed_tolvex; timed_curl; fi
  kib=$(tail -n 1 "$work/rss")
  echo "run $run: curl ${t_curl}s, DownloadSet ${t_tolvex}s, peak RSS ${kib} KiB"
  curl_times+="$t_curl,"
  tolvex_times+="$t_tolvex,"
  (( kib > peak_kib )) && peak_kib=$kib
done
cmp "$work/www/big.bin" "$work/curl.out"
cmp "$work/www/big.bin" "$work/tolvex.out"

# The machine is shared, so single runs are noisy: the best run of each decides.
python3 - "$curl_times" "$tolvex_times" "$peak_kib" <<'PY'
import statistics, sys
times = lambda text: [float(x) for x in text.split(",") if x]
curls, tolvexes, peak = times(sys.argv[1]), times(sys.argv[2]), int(sys.argv[3])
for label, pick in (("best", min), ("median", statistics.median)):
    curl, tolvex = pick(curls), pick(tolvexes)
    print(f"{label} of {len(curls)} runs: curl {1024 / curl:.0f} MiB/s, "
          f"the DownloadSet driver {1024 / tolvex:.0f} MiB/s ({100 * curl / tolvex:.0f}% of curl)")
print(f"peak RSS of the DownloadSet driver: {peak / 1024:.1f} MiB")
ok = peak < 32 * 1024 and min(tolvexes) <= min(curls) / 0.9
print("targets met" if ok else "TARGET MISSED")
sys.exit(0 if ok else 1)
PY
