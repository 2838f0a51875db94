#!/usr/bin/env bash
# Updating a large file that changed a little, against zsync, side by side in one
# run, with a PASS/FAIL table at the end.  Cases (the data is made from fixed
# seeds, so every run sees the same bytes):
#   256m  a 256 MiB file of random bytes; the new one has 40 blocks of 64 KiB
#         rewritten at random offsets and 5 insertions of 10-200 bytes that
#         shift what follows them.
#   1g    a 1 GiB file with about 1% changed: 105 rewrites of 100 KiB and 5
#         insertions.
# Each case at each round trip of RTTS (0 = straight to nginx, otherwise through
# the delay proxy), contenders in rotating order, old file reset before each run:
#   zsync   `zsync -i OLD -o OUT URL.zsync` in a fresh dir holding the old file,
#           the control file made by zsyncmake beside the new file.
#   tolvex  `tolvex update -v` in a client dir holding the old file under the
#           published name; the result is compared with the new file, and no
#           staged file may be left.
# Bytes moved = what nginx sent for the run's requests ($bytes_sent, headers
# included, summed from its access log), measured the same way for both.
# Targets, per case and round trip: tolvex bytes <= zsync bytes, and tolvex wall
# time (best of RUNS) <= zsync's.  Shown for information: zsyncmake and the
# first update-catalog (which writes the block indexes), the size of the .zsync
# file against .tolvex-index/, a second update-catalog of the unchanged tree and
# a no-op update.  With --baseline BIN, the second update-catalog is also timed
# with BIN on a copy of the tree, target <= 1.10x of it.
# The page cache is warm for every contender: nothing is dropped; the old file is
# copied (and synced, so no writeback overlaps a timed run) before each run.
#
# Usage: bench/delta_bench.sh [--source DIR] [--build DIR] [--baseline BIN]
#        bench/delta_bench.sh --client BIN --keypair KEYFILE [--baseline BIN]
#   --source/--build     tree to build the client from and where (default: this
#                        work tree, build-bench-delta); the client is built
#                        (Release) trusting a key made for the run
#   --client/--keypair   a prebuilt client and the key file it trusts instead
#   --baseline BIN       a build of an earlier commit, for the update-catalog
#                        regression check (it only signs, so any key does)
# Environment: RUNS=3 repetitions per contender;  CASES="256m 1g";  RTTS="0 50"
#   (milliseconds);  TOLVEX_DELAY_PROXY: the round-trip proxy command, run as
#   "CMD LISTEN_PORT UPSTREAM_PORT --rtt-ms MS" (default: bench/delay_proxy.cpp,
#   built in build-bench-proxy).
# Needs about 4x the largest case free in /tmp.  Exit status 1 when a target
# is missed.
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."
repo=$(pwd)
. bench/lib.sh

source_dir=$repo
build_dir=$repo/build-bench-delta
baseline=""
bench_extra_option() {
  case $1 in
    --baseline) baseline=$(realpath "$2") ;;
    *) return 1 ;;
  esac
}
bench_parse_args "$0" "$@"
runs=${RUNS:-3}
cases=${CASES:-"256m 1g"}
rtts=${RTTS:-"0 50"}
proxy_cmd=""

if [ -x scripts/install-deps ]; then scripts/install-deps nginx time zsync; fi
for tool in nginx curl zsync zsyncmake openssl python3 cmp; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "missing: $tool" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "missing: /usr/bin/time (apt-get install time)" >&2; exit 1; }

bench_start_work deltabench
fail() { echo "$*" >&2; exit 1; }

# ---------------------------------------------------------------- the client
bench_client_tool
echo "client: $tool"
[ -z "$baseline" ] || echo "baseline: $baseline"

# ---------------------------------------------------------------- servers
mkdir -p "$work/www"
access_log=$work/access.log
bench_start_nginx "$work/nginx" "$work/www" "$access_log"
pids="$pids $bench_nginx_pid"
port=$bench_nginx_port
echo "nginx on 127.0.0.1:$port"
declare -A base_port  # round trip in ms -> the port that adds it
for rtt in $rtts; do
  if [ "$rtt" = 0 ]; then
    base_port[$rtt]=$port
  else
    [ -n "$proxy_cmd" ] || proxy_cmd=$(bench_proxy_command)
    bench_start_proxy "$proxy_cmd" "$port" "$rtt" "$work/proxy-$rtt.log"
    pids="$pids $bench_proxy_pid"
    base_port[$rtt]=$bench_proxy_port
    echo "proxy on 127.0.0.1:$bench_proxy_port, ${rtt} ms round trip: $proxy_cmd"
  fi
done

# ---------------------------------------------------------------- measuring
results=$work/results.tsv  # KEY  microseconds  bytes  requests  peak KiB
info=$work/info.tsv        # KEY  value
: >"$results"
: >"$info"
marks=0

# once KEY COMMAND...: wall time of one run, for information.
once() {
  local key=$1 start end
  shift
  start=$(date +%s%N)
  "$@" >"$work/last.log" 2>&1 || { echo "$key failed:" >&2; tail -n 15 "$work/last.log" >&2; exit 1; }
  end=$(date +%s%N)
  printf '%s\t%d\n' "$key" $(((end - start) / 1000)) >>"$info"
  awk -v k="$key" -v us=$(((end - start) / 1000)) 'BEGIN { printf "  %-28s %9.3f s\n", k, us / 1e6 }'
}

# ---------------------------------------------------------------- the data
# make_case NAME SIZE REWRITES REWRITE_BYTES INSERTIONS SEED: writes old/NAME.bin
# (a keystream of AES-CTR keyed by SEED: random-looking, the same every time) and
# www/NAME/data.bin, the new file: REWRITES runs of REWRITE_BYTES overwritten
# with fresh bytes at random offsets, then INSERTIONS of 10-200 bytes.
make_case() {
  local name=$1 size=$2
  mkdir -p "$work/old" "$work/www/$name"
  # openssl dies of SIGPIPE once head has enough; the size check catches a real failure.
  { openssl enc -aes-128-ctr -K "$(printf '%032x' "$6")" -iv 0 </dev/zero 2>/dev/null || true; } |
    head -c "$size" >"$work/old/$name.bin"
  [ "$(stat -c %s "$work/old/$name.bin")" -eq "$size" ] || fail "could not generate $name"
  python3 - "$work/old/$name.bin" "$work/www/$name/data.bin" "${@:3}" <<'EOF'
import random, sys
old, new = sys.argv[1], sys.argv[2]
rewrites, rewrite_bytes, insertions, seed = map(int, sys.argv[3:])
rng = random.Random(seed)
data = bytearray(open(old, "rb").read())
size = len(data)
for _ in range(rewrites):
    at = rng.randrange(1, size - rewrite_bytes)  # offsets are almost never block-aligned
    data[at:at + rewrite_bytes] = rng.randbytes(rewrite_bytes)
inserts = sorted((rng.randrange(1, size), rng.randbytes(rng.randint(10, 200)))
                 for _ in range(insertions))
view, pos = memoryview(data), 0
with open(new, "wb") as out:
    for at, text in inserts:
        out.write(view[pos:at])
        out.write(text)
        pos = at
    out.write(view[pos:])
print("  %d rewrites of %d bytes (%.2f%%), insertions of %s bytes"
      % (rewrites, rewrite_bytes, 100.0 * rewrites * rewrite_bytes / size,
         ", ".join(str(len(t)) for _, t in inserts)))
EOF
  chmod -R a+rX "$work/www/$name" "$work/old"
}

# ---------------------------------------------------------------- contenders
# They read run_case's locals (bash scopes dynamically): name, rtt, url, new,
# old, client (the tolvex client dir) and zdir (zsync's dir).
# Commands are run by /usr/bin/time, so `env -C DIR` rather than a cd in a function.

# Each prep also removes the other contender's copies, so that the disk holds at
# most 4x the case.  A client keeps only its updater-source.json between runs.
clear_dirs() { rm -rf "$zdir"; find "$client" -mindepth 1 ! -name updater-source.json -delete; }
prep_tolvex() { clear_dirs; copy "$old" "$client/data.bin"; }
run_tolvex() { timed "$name $rtt tolvex" env -C "$client" HOME="$work/client-home" "$tool" update -v; }
check_tolvex() {
  cmp -s "$new" "$client/data.bin" || fail "tolvex: $client/data.bin differs from the new file"
  [ -z "$(find "$client" -name '*.tolvex-pending')" ] || fail "tolvex left a staged file in $client"
}

prep_zsync() { clear_dirs; mkdir -p "$zdir"; copy "$old" "$zdir/old.bin"; }
run_zsync() {
  timed "$name $rtt zsync" env -C "$zdir" zsync -q -i old.bin -o data.bin "$url/$name-zsync/data.bin.zsync"
}
check_zsync() { cmp -s "$new" "$zdir/data.bin" || fail "zsync: $zdir/data.bin differs from the new file"; }

# The client holds the new file already: the update has nothing to fetch.
prep_noop() { clear_dirs; copy "$new" "$client/data.bin"; }
run_noop() { timed "$name $rtt no-op update" env -C "$client" HOME="$work/client-home" "$tool" update -v; }
check_noop() { cmp -s "$new" "$client/data.bin" || fail "the no-op update changed $client/data.bin"; }

run_recatalog() { timed "$name recatalog" env -C "$work/www/$name" HOME="$work/home" "$tool" update-catalog; }
run_recatalog_base() {
  timed "$name recatalog baseline" env -C "$work/baseline-$name" HOME="$work/home" "$baseline" update-catalog
}

# ---------------------------------------------------------------- one case
run_case() {
  local name=$1 size=$2
  shift 2
  echo "== $name: generating"
  make_case "$name" "$size" "$@"
  local new=$work/www/$name/data.bin old=$work/old/$name.bin

  # zsync's files live beside a hard link to the new file, outside the tolvex
  # tree, so that update-catalog does not list them.
  mkdir -p "$work/www/$name-zsync"
  ln "$new" "$work/www/$name-zsync/data.bin"
  echo "== $name: publishing (once each, for information)"
  once "$name zsyncmake" env -C "$work/www/$name-zsync" zsyncmake -o data.bin.zsync data.bin
  chmod a+r "$work/www/$name-zsync/data.bin.zsync"
  once "$name update-catalog" env -C "$work/www/$name" HOME="$work/home" "$tool" update-catalog
  chmod -R a+rX "$work/www/$name"
  printf '%s\t%d\n' "$name control" "$(stat -c %s "$work/www/$name-zsync/data.bin.zsync")" >>"$info"
  printf '%s\t%d\n' "$name index" "$(find "$work/www/$name/.tolvex-index" -type f -printf '%s\n' 2>/dev/null |
    awk '{ s += $1 } END { print s + 0 }')" >>"$info"

  local rtt
  for rtt in $rtts; do
    [ -n "${base_port[$rtt]:-}" ] || continue
    local url="http://127.0.0.1:${base_port[$rtt]}"
    local client=$work/client-$name-$rtt zdir=$work/zsync-$name-$rtt
    mkdir -p "$client"
    (cd "$client" && HOME="$work/home" "$tool" make-source-json "$url/$name/" >/dev/null 2>&1)
    echo "== $name at ${rtt} ms round trip (best of $runs)"

    rotate tolvex zsync
    rotate noop
    rm -rf "$client"
  done

  # A second update-catalog on the same tree: nothing changed, the indexes exist.
  echo "== $name: update-catalog of the unchanged tree (best of $runs)"
  local names=(recatalog)
  if [ -n "$baseline" ]; then
    # The baseline gets its own tree (same bytes, hard-linked): it may not know
    # .tolvex-index and would list it, or rewrite what the client is served.
    mkdir -p "$work/baseline-$name"
    ln "$new" "$work/baseline-$name/data.bin"
    (cd "$work/baseline-$name" && HOME="$work/home" "$baseline" update-catalog >/dev/null 2>&1)
    names+=(recatalog_base)
  fi
  rotate "${names[@]}"
  rm -rf "$work/www/$name" "$work/www/$name-zsync" "$work/baseline-$name" "$old"
}

for c in $cases; do
  case $c in
    256m) run_case 256m $((256 << 20)) 40 $((64 << 10)) 5 256 ;;
    1g) run_case 1g $((1 << 30)) 105 $((100 << 10)) 5 1024 ;;
    *) echo "unknown case: $c (256m, 1g)" >&2; exit 2 ;;
  esac
done

# ---------------------------------------------------------------- the table
python3 - "$results" "$info" "$cases" "$rtts" "$runs" <<'EOF'
import collections, statistics, sys
results, info_path, cases, rtts, runs = sys.argv[1:]
rows = collections.defaultdict(list)
for line in open(results):
    key, us, b, n, kib = line.rstrip("\n").split("\t")
    rows[key].append((int(us) / 1e6, int(b), int(n), int(kib)))
info = {}
for line in open(info_path):
    key, value = line.rstrip("\n").split("\t")
    info[key] = int(value)
best = lambda k: min(r[0] for r in rows[k])
median = lambda k: statistics.median(r[0] for r in rows[k])
bytes_ = lambda k: statistics.median(r[1] for r in rows[k])
mib = lambda b: b / 2**20

print()
print(f"page cache warm for every contender (nothing dropped); best and median of {runs} run(s)")
print(f"{'case':<5} {'RTT':>5}  {'contender':<36} {'best s':>8} {'median s':>9}"
      f" {'moved MiB':>10} {'bytes':>12} {'reqs':>5} {'peak MiB':>9}")
for c in cases.split():
    keys = [k for k in rows if k.split()[0] == c]
    for rtt in rtts.split():
        for who in ("tolvex", "zsync", "no-op update"):
            k = f"{c} {rtt} {who}"
            if k in rows:
                r = rows[k]
                print(f"{c:<5} {rtt + ' ms':>5}  {who:<36} {best(k):>8.3f} {median(k):>9.3f}"
                      f" {mib(bytes_(k)):>10.2f} {int(bytes_(k)):>12} {int(statistics.median(x[2] for x in r)):>5}"
                      f" {max(x[3] for x in r) / 1024:>9.1f}")
    for who in ("recatalog", "recatalog baseline"):
        k = f"{c} {who}"
        if k in rows:
            label = "update-catalog, unchanged" + (" (baseline)" if "baseline" in who else "")
            print(f"{c:<5} {'':>5}  {label:<36} {best(k):>8.3f} {median(k):>9.3f}"
                  f" {'':>10} {'':>12} {'':>5} {max(x[3] for x in rows[k]) / 1024:>9.1f}")

print()
print(f"{'case':<5} {'zsyncmake s':>12} {'update-catalog s':>17} {'.zsync bytes':>13} {'.tolvex-index bytes':>20}")
for c in cases.split():
    if f"{c} control" in info:
        print(f"{c:<5} {info[c + ' zsyncmake'] / 1e6:>12.3f} {info[c + ' update-catalog'] / 1e6:>17.3f}"
              f" {info[c + ' control']:>13} {info[c + ' index']:>20}")

print()
print(f"{'target':<44} {'tolvex':>12} {'other':>12} {'ratio':>7} {'bound':>6}  result")
ok = True
def target(label, a, b, bound, unit):
    global ok
    good = a <= bound * b
    ok &= good
    fmt = (lambda v: f"{v:.3f} s") if unit == "s" else (lambda v: f"{mib(v):.2f} MiB")
    print(f"{label:<44} {fmt(a):>12} {fmt(b):>12} {a / b if b else float('inf'):>6.2f}x"
          f" {'<=' + format(bound, 'g'):>5}x  {'PASS' if good else 'FAIL'}")
for c in cases.split():
    for rtt in rtts.split():
        t, z = f"{c} {rtt} tolvex", f"{c} {rtt} zsync"
        if t in rows and z in rows:
            target(f"{c} {rtt} ms: bytes moved, tolvex vs zsync", bytes_(t), bytes_(z), 1, "b")
            target(f"{c} {rtt} ms: wall time (best), tolvex vs zsync", best(t), best(z), 1, "s")
    r, rb = f"{c} recatalog", f"{c} recatalog baseline"
    if r in rows and rb in rows:
        target(f"{c}: unchanged update-catalog vs baseline", best(r), best(rb), 1.10, "s")
sys.exit(0 if ok else 1)
EOF
