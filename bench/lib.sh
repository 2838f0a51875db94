# shellcheck shell=bash disable=SC2034,SC2154  # bench_* are for the caller; the helpers read its globals
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

# bench_parse_args SCRIPT ARGS...: the options every benchmark takes, into
# source_dir, build_dir, client_bin and keypair (set the first two to their
# defaults before).  A script with options of its own defines
# bench_extra_option NAME VALUE, which returns 1 for a name it does not know.
bench_parse_args() {
  local script=$1
  shift
  client_bin=""
  keypair=""
  while [ $# -gt 0 ]; do
    case $1 in
      --source) source_dir=$(realpath "$2"); shift 2 ;;
      --build) build_dir=$(realpath -m "$2"); shift 2 ;;
      --client) client_bin=$(realpath "$2"); shift 2 ;;
      --keypair) keypair=$(realpath "$2"); shift 2 ;;
      -h | --help) sed -n '2,/^set -euo/p' "$script" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
      *)
        if [ $# -ge 2 ] && declare -F bench_extra_option >/dev/null && bench_extra_option "$1" "$2"; then
          shift 2
        else
          echo "unknown argument: $1 (see --help)" >&2
          exit 2
        fi
        ;;
    esac
  done
  if { [ -n "$client_bin" ] && [ -z "$keypair" ]; } || { [ -z "$client_bin" ] && [ -n "$keypair" ]; }; then
    echo "--client and --keypair go together" >&2
    exit 2
  fi
}

# bench_client_tool: sets tool, the client given with --client (its keypair
# put where the publisher finds it), or one built from source_dir in build_dir.
bench_client_tool() {
  mkdir -p "$work/home" "$work/client-home"
  if [ -n "$client_bin" ]; then
    tool=$client_bin
    cp "$keypair" "$work/home/.tolvex-signer-keypair"
  else
    bench_build_client "$source_dir" "$build_dir"
    tool=$bench_client
  fi
}

# bench_build_client SOURCE BUILD: builds a Release client from SOURCE in BUILD
# trusting a key made for the run in $work/home (where the publisher finds it).
# Sets bench_client.
bench_build_client() {
  local source_dir=$1 build_dir=$2 key
  echo "== building the client (Release) from $source_dir in $build_dir"
  bench_configure_client() {
    cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DTOLVEX_BUILD_TESTS=OFF "$@" \
      >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
    cmake --build "$build_dir" --target tolvex -j"$(nproc)" >"$work/build.log" 2>&1 ||
      { tail -n 40 "$work/build.log" >&2; exit 1; }
  }
  bench_configure_client
  HOME="$work/home" "$build_dir/tolvex" keygen >/dev/null 2>&1
  key=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["public_key"])' \
    "$work/home/.tolvex-signer-keypair")
  bench_configure_client -DTOLVEX_TRUSTED_KEYS="$key"
  bench_client=$build_dir/tolvex
}

# The measuring helpers below read the caller's globals: work, port (nginx's),
# access_log, results (a file they append to), runs, marks (0 at the start) and
# a function fail MESSAGE.

# server_bytes_since OFFSET: "BYTES REQUESTS" of the access log from byte OFFSET
# on.  A marker request is sent first, straight to nginx, after the client has
# exited; nginx logs a request once it has written the response, so when the
# marker's line is there every line of the run is too (the proxy only delays
# what nginx already wrote).
server_bytes_since() {
  marks=$((marks + 1))
  curl -s -f -o /dev/null "http://127.0.0.1:$port/ping?mark=$marks"
  local tries=0
  until grep -q "^/ping?mark=$marks " "$access_log"; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || fail "nginx did not log the marker request $marks"
    sleep 0.05
  done
  tail -c +"$(($1 + 1))" "$access_log" |
    awk -v m="/ping?mark=$marks" '$1 == m { exit } { b += $3; n++ } END { printf "%d %d\n", b, n }'
}

# timed KEY COMMAND...: runs COMMAND once (output to last.log), appending its wall
# time, the server's bytes and requests and its peak memory to the results. When
# moved_by names a command, what it prints ("BYTES REQUESTS") stands for what
# nginx logged: for a contender served by another server.
timed() {
  local key=$1 start end offset bytes requests
  shift
  offset=$(stat -c %s "$access_log")
  rm -f "$work/rss"
  start=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/rss" "$@" >"$work/last.log" 2>&1 ||
    { echo "$key failed:" >&2; tail -n 15 "$work/last.log" >&2; exit 1; }
  end=$(date +%s%N)
  if [ -n "${moved_by:-}" ]; then
    "$moved_by" >"$work/moved"
  else
    server_bytes_since "$offset" >"$work/moved"
  fi
  read -r bytes requests <"$work/moved"
  printf '%s\t%d\t%d\t%d\t%d\n' "$key" $(((end - start) / 1000)) "$bytes" "$requests" \
    "$(tail -n 1 "$work/rss")" >>"$results"
  awk -v k="$key" -v us=$(((end - start) / 1000)) -v b="$bytes" -v n="$requests" \
    'BEGIN { printf "  %-28s %9.3f s %14d bytes %4d requests\n", k, us / 1e6, b, n }'
}

# rotate NAME...: RUNS repetitions of run_NAME for every NAME, the order rotating
# so that none always runs first; prep_NAME (untimed, if defined) runs before
# each and check_NAME (untimed, if defined) after each.
rotate() {
  local contenders=("$@") n=$# rep i who  # not "name": the contenders read run_case's
  for ((rep = 0; rep < runs; rep++)); do
    for ((i = 0; i < n; i++)); do
      who=${contenders[$(((i + rep) % n))]}
      if declare -F "prep_$who" >/dev/null; then "prep_$who"; fi
      "run_$who"
      if declare -F "check_$who" >/dev/null; then "check_$who"; fi
    done
  done
}

# copy FROM TO, then sync: otherwise the writeback of a just-written GiB would
# compete with the next timed run.
copy() { cp --reflink=auto "$1" "$2" && sync; }

