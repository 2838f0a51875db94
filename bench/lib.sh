# shellcheck shell=bash disable=SC2034  # the bench_* variables are for the caller
# Set-up shared by the benchmark scripts, sourced (not run): free ports, nginx
# serving a directory on 127.0.0.1 only, and the proxy that adds a round trip.
# The functions report through bench_* variables rather than $(...) so that the
# servers they start stay children of the calling shell, which stops them.

# bench_free_port: prints a TCP port of 127.0.0.1 that nothing listens on.
bench_free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# bench_start_work NAME: a fresh readable temp dir in $work, removed on exit
# after every pid in $pids (the servers the caller started) is stopped.
bench_start_work() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/tolvex-$1.XXXXXX")
  chmod 755 "$work"
  pids=""
  trap bench_stop_work EXIT
  trap 'exit 130' INT TERM
}

bench_stop_work() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}

# bench_wait_for URL: waits up to 5 s for URL to answer, exits the script otherwise.
bench_wait_for() {
  for _ in $(seq 50); do curl -s -f -o /dev/null "$1" && return 0; sleep 0.1; done
  echo "no answer from $1" >&2
  exit 1
}

# bench_proxy_command: the round-trip proxy to use, run as "CMD LISTEN UPSTREAM
# --rtt-ms MS": $TOLVEX_DELAY_PROXY when set, else this tree's proxy
# (bench/delay_proxy.cpp), built (Release) in build-bench-proxy at the top of
# the tree, apart from any client build, which may come from another source.
# When that build fails it shows the log's end and returns 1.
bench_proxy_command() {
  if [ -n "${TOLVEX_DELAY_PROXY:-}" ]; then
    echo "$TOLVEX_DELAY_PROXY"
    return 0
  fi
  local repo build log
  repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  build=$repo/build-bench-proxy
  log=$(mktemp)
  echo "== building the round-trip proxy in $build" >&2
  if cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOLVEX_BUILD_TESTS=OFF >"$log" 2>&1 &&
    cmake --build "$build" --target tolvex_delay_proxy -j"$(nproc)" >>"$log" 2>&1; then
    rm -f "$log"
    echo "$build/bench/tolvex_delay_proxy"
  else
    tail -n 40 "$log" >&2
    rm -f "$log"
    return 1
  fi
}

# bench_start_nginx DIR ROOT [ACCESS_LOG]: nginx in the foreground of a child
# process, its files under DIR, serving ROOT on a free port of 127.0.0.1
# (keep-alive, HTTP/1.1, sendfile).  Without ACCESS_LOG nothing is logged;
# with it, one line per request: "URI STATUS BYTES_SENT" (headers included).
# Sets bench_nginx_port and bench_nginx_pid; the caller kills the pid on exit.
bench_start_nginx() {
  local dir=$1 root=$2 log=${3:-} user_line="" log_lines="access_log off;"
  [ "$(id -u)" -eq 0 ] && user_line="user $(id -un) $(id -gn);"
  if [ -n "$log" ]; then
    log_lines="log_format bench '\$request_uri \$status \$bytes_sent'; access_log $log bench;"
  fi
  bench_nginx_port=$(bench_free_port)
  mkdir -p "$dir/tmp"
  cat >"$dir/nginx.conf" <<EOF
$user_line
daemon off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 512; }
http {
  $log_lines
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 75s;
  keepalive_requests 100000;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$bench_nginx_port; root $root; }
}
EOF
  "$(command -v nginx || echo /usr/sbin/nginx)" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" &
  bench_nginx_pid=$!
  echo ok >"$root/ping"
  bench_wait_for "http://127.0.0.1:$bench_nginx_port/ping"
}

# bench_start_proxy COMMAND UPSTREAM_PORT RTT_MS LOG: the round-trip proxy in
# front of 127.0.0.1:UPSTREAM_PORT on a free port.  Sets bench_proxy_port and
# bench_proxy_pid; the caller kills the pid on exit.
bench_start_proxy() {
  bench_proxy_port=$(bench_free_port)
  $1 "$bench_proxy_port" "$2" --rtt-ms "$3" >"$4" 2>&1 &
  bench_proxy_pid=$!
  bench_wait_for "http://127.0.0.1:$bench_proxy_port/ping"
}
