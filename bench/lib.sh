# shellcheck shell=bash disable=SC2034  # the bench_* variables are for the caller
# Set-up shared by the benchmark scripts, sourced (not run): free ports, nginx
# serving a directory on 127.0.0.1 only, and the proxy that adds a round trip.
# The functions report through bench_* variables rather than $(...) so that the
# servers they start stay children of the calling shell, which stops them.

# bench_free_port: prints a TCP port of 127.0.0.1 that nothing listens on.
bench_free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# bench_wait_for URL: waits up to 5 s for URL to answer, exits the script otherwise.
bench_wait_for() {
  for _ in $(seq 50); do curl -s -f -o /dev/null "$1" && return 0; sleep 0.1; done
  echo "no answer from $1" >&2
  exit 1
}

# bench_proxy_command: the round-trip proxy to use, run as "CMD LISTEN UPSTREAM
# --rtt-ms MS": $TOLVEX_DELAY_PROXY, else the shared delayproxy.py when it
# exists, else nothing (callers skip what needs a round trip).
bench_proxy_command() {
  if [ -n "${TOLVEX_DELAY_PROXY:-}" ]; then
    echo "$TOLVEX_DELAY_PROXY"
  elif [ -f /work/shared/tools/delayproxy.py ]; then
    echo "python3 /work/shared/tools/delayproxy.py"
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
