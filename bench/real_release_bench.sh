#!/usr/bin/env bash
# Updating real releases that nobody here made: two successive versions of
# Debian packages, unpacked, against zsync, rsync and a plain download, at each
# round trip of RTTS. Cases, one per package of PACKAGES (the two newest
# versions that `apt-cache madison` lists, fetched once with `apt-get download`
# into the cache and unpacked with `dpkg-deb -x`), plus:
#   insert  a tar archive of the first package's older tree, and the same archive
#           with 5 insertions of 10-200 bytes and 3 rewrites of 4 KiB at fixed
#           offsets: data whose changes shift what follows them.
#   library the largest file of LIBRARY_PACKAGE's two versions alone: a shared
#           library of which little is reusable (firefox-esr's libxul.so, 175
#           MiB across two ESR releases), where the delta must not cost much
#           more time than a plain download.
#   kernel  KERNEL_PACKAGES, two packages of one version each (the newest listed)
#           whose every path names the version: a kernel and its modules
#           (lib/modules/6.1.0-47-cloud-amd64/... -> .../6.1.0-50-cloud-amd64/...),
#           so that no file of the newer tree is at a path the older one had.
# The publisher dir has a history, as a real one does: it first holds the older
# tree and `update-catalog` runs, then the newer tree replaces it (files that are
# gone removed) and `update-catalog` runs again, so it may keep what it needs of
# the older release; once more with nothing changed. Those three runs are timed
# and the size of `.tolvex-index/` is shown against the tree's. PUBLISH=once
# publishes the newer tree alone, as a publisher with no history does.
# Each contender starts from a fresh copy of the older tree (synced, page cache
# warm for everyone):
#   tolvex  `tolvex update -v` (deltas where it takes them).
#   zsync   `zsync -i OLD` for each changed or new file, 8 at a time, the control
#           files made by `zsyncmake -Z` beside hard links to the new files (no
#           catalog: zsync is told which files changed). -Z: without it, zsync
#           rebuilds .gz files from their decompressed content, not always
#           byte for byte. A new file is fetched with no seed (kernel: every
#           file): zsync could start from the older file of another name
#           (`-i`) only if told which one that is.
#   rsync   `rsync -rlt --no-whole-file` from a daemon on 127.0.0.1.
#   rsync-z the same with -z (the compression both ends prefer: zstd on rsync 3.2+).
#   plain   `curl -Z --parallel-max 8` of each changed or new file.
# Bytes moved: what nginx sent for the run's requests (headers included), and
# for rsync the bytes its client received (--stats). Requests: nginx's count
# (rsync: one connection). Only regular files are compared: this tool does not
# carry links. Shown: best wall time of RUNS, and the ratios of bytes and time
# against zsync, rsync, rsync -z and the plain download, for each case and round
# trip; for a package and kernel, the newer .deb's size as a reference line.
#
# Usage: bench/real_release_bench.sh [--source DIR] [--build DIR] [--publisher BIN]
#        bench/real_release_bench.sh --client BIN --keypair KEYFILE [--publisher BIN]
#   --source/--build/--client/--keypair  as for delta_bench.sh
#   --publisher BIN   run update-catalog with BIN instead of the client (another
#                     block layout, or an earlier build, say); the client's own
#                     update-catalog then goes through the same steps on a copy
#                     beside it, and both are timed
# Environment: RUNS=2;  RTTS="0 50";  PACKAGES="postgresql-15 libssl3";
#   CASES (default: the packages, then insert, library and kernel);
#   LIBRARY_PACKAGE=firefox-esr;
#   KERNEL_PACKAGES="linux-image-6.1.0-47-cloud-amd64-unsigned
#     linux-image-6.1.0-50-cloud-amd64-unsigned" (older, newer);
#   CONTENDERS="tolvex zsync rsync rsync-z plain";
#   PUBLISH=history (or once);
#   TOLVEX_BENCH_CACHE: where the .deb files are kept (default
#   ${XDG_CACHE_HOME:-$HOME/.cache}/tolvex-bench/debian);  TOLVEX_DELAY_PROXY as
#   for delta_bench.sh.
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."
repo=$(pwd)
. bench/lib.sh

source_dir=$repo
build_dir=$repo/build-bench-real
publisher=""
bench_extra_option() {
  case $1 in
    --publisher) publisher=$(realpath "$2") ;;
    *) return 1 ;;
  esac
}
bench_parse_args "$0" "$@"
runs=${RUNS:-2}
rtts=${RTTS:-"0 50"}
packages=${PACKAGES:-"postgresql-15 libssl3"}
cases=${CASES:-"$packages insert library kernel"}
library_package=${LIBRARY_PACKAGE:-firefox-esr}
kernel_packages=${KERNEL_PACKAGES:-"linux-image-6.1.0-47-cloud-amd64-unsigned linux-image-6.1.0-50-cloud-amd64-unsigned"}
entrants=${CONTENDERS:-"tolvex zsync rsync rsync-z plain"}
publish=${PUBLISH:-history}
cache=${TOLVEX_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tolvex-bench/debian}
proxy_cmd=""
case $publish in history | once) ;; *) echo "PUBLISH is history or once, not $publish" >&2; exit 2 ;; esac
# shellcheck disable=SC2086  # two words
[ "$(set -- $kernel_packages && echo $#)" = 2 ] ||
  { echo "KERNEL_PACKAGES is two package names, not '$kernel_packages'" >&2; exit 2; }

if [ -x scripts/install-deps ]; then scripts/install-deps nginx time zsync rsync; fi
for tool in nginx curl zsync zsyncmake rsync apt-get apt-cache dpkg-deb python3 tar; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "missing: $tool" >&2; exit 1; }
done

bench_start_work realbench
fail() { echo "$*" >&2; exit 1; }

bench_client_tool
publisher=${publisher:-$tool}
echo "client: $tool; publisher: $publisher"

# ---------------------------------------------------------------- the releases
# newest_versions PACKAGE COUNT: the COUNT newest versions that apt-cache
# madison lists, oldest first.
newest_versions() {
  apt-cache madison "$1" | awk -F'|' '{ gsub(/ /, "", $2); print $2 }' | sort -uV | tail -n "$2"
}

# fetch_deb PACKAGE VERSION: sets deb, the file of that version, fetched into the
# cache unless there already.
fetch_deb() {
  mkdir -p "$cache"
  deb=$(find "$cache" -maxdepth 1 -name "${1}_${2/*:/}_*.deb" | head -n 1)
  if [ -z "$deb" ]; then
    (cd "$cache" && apt-get download -q "$1=$2" >/dev/null 2>&1) || fail "cannot download $1=$2"
    deb=$(find "$cache" -maxdepth 1 -name "${1}_${2/*:/}_*.deb" | head -n 1)
  fi
}

# fetch_pair PACKAGE: sets old_deb and new_deb, the two newest versions.
fetch_pair() {
  local versions version
  old_deb="" new_deb=""
  versions=$(newest_versions "$1" 2)
  [ "$(echo "$versions" | wc -l)" -eq 2 ] || fail "$1: fewer than two versions reachable (apt-cache madison)"
  for version in $versions; do
    fetch_deb "$1" "$version"
    old_deb=${new_deb:-}
    new_deb=$deb
  done
  echo "  $(basename "$old_deb") -> $(basename "$new_deb")"
}

# fetch_renamed OLD NEW: sets old_deb and new_deb, the newest version of each
# package.
fetch_renamed() {
  local version
  version=$(newest_versions "$1" 1)
  [ -n "$version" ] || fail "$1: no version reachable (apt-cache madison)"
  fetch_deb "$1" "$version"
  old_deb=$deb
  version=$(newest_versions "$2" 1)
  [ -n "$version" ] || fail "$2: no version reachable (apt-cache madison)"
  fetch_deb "$2" "$version"
  new_deb=$deb
  echo "  $(basename "$old_deb") -> $(basename "$new_deb")"
}

# insert_changes OLD NEW: NEW is OLD with 5 insertions and 3 rewrites at fixed offsets.
insert_changes() {
  python3 - "$1" "$2" <<'EOF'
import random, sys
data = bytearray(open(sys.argv[1], "rb").read())
rng = random.Random(7)
for _ in range(3):
    at = rng.randrange(1, len(data) - 4096)
    data[at:at + 4096] = rng.randbytes(4096)
for at in sorted((rng.randrange(1, len(data)) for _ in range(5)), reverse=True):
    data[at:at] = rng.randbytes(rng.randint(10, 200))
open(sys.argv[2], "wb").write(data)
EOF
}

# changed_files OLD NEW: the relative paths of NEW's regular files that OLD
# lacks or holds with other bytes.
changed_files() {
  python3 - "$1" "$2" <<'EOF'
import filecmp, os, sys
old, new = sys.argv[1:]
for root, dirs, files in os.walk(new):
    for f in files:
        path = os.path.join(root, f)
        rel = os.path.relpath(path, new)
        if os.path.islink(path) or rel.startswith((".tolvex", "updater-")):
            continue
        other = os.path.join(old, rel)
        if os.path.islink(other) or not os.path.isfile(other) or not filecmp.cmp(path, other, shallow=False):
            print(rel)
EOF
}

# ---------------------------------------------------------------- servers
mkdir -p "$work/www" "$work/rsync"
access_log=$work/access.log
bench_start_nginx "$work/nginx" "$work/www" "$access_log"
pids="$pids $bench_nginx_pid"
port=$bench_nginx_port
rsync_port=$(bench_free_port)
cat >"$work/rsync/rsyncd.conf" <<EOF
pid file = $work/rsync/rsyncd.pid
use chroot = no
[www]
path = $work/www
read only = yes
uid = $(id -un)
gid = $(id -gn)
EOF
rsync --daemon --no-detach --address=127.0.0.1 --port="$rsync_port" --config="$work/rsync/rsyncd.conf" &
pids="$pids $!"
declare -A base_port rsync_base_port
for rtt in $rtts; do
  if [ "$rtt" = 0 ]; then
    base_port[$rtt]=$port
    rsync_base_port[$rtt]=$rsync_port
  else
    [ -n "$proxy_cmd" ] || proxy_cmd=$(bench_proxy_command)
    bench_start_proxy "$proxy_cmd" "$port" "$rtt" "$work/proxy-$rtt.log"
    pids="$pids $bench_proxy_pid"
    base_port[$rtt]=$bench_proxy_port
    rsync_base_port[$rtt]=$(bench_free_port)
    $proxy_cmd "${rsync_base_port[$rtt]}" "$rsync_port" --rtt-ms "$rtt" >"$work/proxy-rsync-$rtt.log" 2>&1 &
    pids="$pids $!"
  fi
done
sleep 0.5

# ---------------------------------------------------------------- contenders
# They read run_case's locals: name, rtt, new (published tree), old (older
# tree), dest (the contender's copy), list (changed files), url, rsync_url.
results=$work/results.tsv debs=$work/debs.tsv
: >"$results"
: >"$debs"
marks=0

prep_tree() { rm -rf "$dest"; cp -a "$old" "$dest" && sync; }
# check_tree: every regular file of the published tree is in dest, the same.
check_tree() {
  local rel
  while read -r rel; do
    cmp -s "$new/$rel" "$dest/$rel" || fail "$1: $rel differs after the update"
  done <"$list"
}

prep_tolvex() {
  prep_tree
  (cd "$dest" && HOME="$work/home" "$tool" make-source-json "$url/$name/" >/dev/null 2>&1)
}
run_tolvex() {
  timed "$name $rtt tolvex" env -C "$dest" HOME="$work/client-home" "$tool" update -v
  # How its files came, and why the first that came whole did.
  awk '/^Patch: / { p++ } /^Copy: / { c++ } /^Delta: / { d++ } /^Whole download: / { w++; if (!r) r = $0 }
    END { printf "    %d by patch, %d compressed, %d by delta, %d whole%s\n", p, c, d, w, r ? "; " r : "" }' \
    "$work/last.log"
}
check_tolvex() { check_tree tolvex; }

prep_zsync() { prep_tree; }
run_zsync() {
  # shellcheck disable=SC2016  # expanded by the shell that xargs starts
  timed "$name $rtt zsync" env -C "$dest" xargs -a "$list" -d '\n' -P 8 -I{} \
    sh -c 'seed=""; if [ -f "$1" ]; then seed="-i $1"; else mkdir -p "$(dirname "$1")"; fi
      zsync -q $seed -o "$1.new" "$0/$1.zsync" && mv "$1.new" "$1"' "$url/$name-zsync" {}
}
check_zsync() { check_tree zsync; }

prep_rsync() { prep_tree; }
rsync_moved() { awk '/^Total bytes received:/ { gsub(/,/, "", $4); print $4, 1 }' "$work/last.log"; }
# rsync_from KEY [OPTION...]: the daemon's copy of the case into dest, timed as KEY.
rsync_from() {
  local key=$1
  shift
  moved_by=rsync_moved timed "$key" rsync -rlt --no-whole-file --stats "$@" \
    --exclude='/.tolvex-*' --exclude='/updater-*' "$rsync_url/$name/" "$dest/"
}
run_rsync() { rsync_from "$name $rtt rsync"; }
check_rsync() { check_tree rsync; }

prep_rsync-z() { prep_tree; }
run_rsync-z() { rsync_from "$name $rtt rsync-z" -z; }
check_rsync-z() { check_tree rsync-z; }

prep_plain() {
  prep_tree
  sed "s|.*|url = \"$url/$name/&\"\noutput = \"$dest/&\"|" "$list" >"$work/plain.curl"
}
run_plain() { timed "$name $rtt plain" curl -s -f -Z --parallel-max 8 --create-dirs -K "$work/plain.curl"; }
check_plain() { check_tree plain; }

# ---------------------------------------------------------------- publishing
# sum_sizes DIR [FIND_TEST...]: the bytes of DIR's regular files that pass the tests.
sum_sizes() {
  local dir=$1
  shift
  find "$dir" -type f "$@" -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'
}

# publish_seconds BIN DIR: the wall time of `BIN update-catalog` in DIR.
publish_seconds() {
  local start end
  sync
  start=$(date +%s%N)
  (cd "$2" && HOME="$work/home" "$1" update-catalog >"$work/publish.log" 2>&1) ||
    { tail -n 15 "$work/publish.log" >&2; fail "update-catalog of $1 failed in $2"; }
  end=$(date +%s%N)
  awk -v ns=$((end - start)) 'BEGIN { printf "%.3f s", ns / 1e9 }'
}

# publish BIN DIR: DIR, empty, becomes the publisher dir of the case by BIN, with
# the older tree first unless PUBLISH=once; prints what each update-catalog took
# and how large .tolvex-index/ grew. Reads run_case's old and next.
publish() {
  local bin=$1 dir=$2 first="-" second unchanged index tree
  if [ "$publish" = history ]; then
    cp -a "$old/." "$dir/"
    first=$(publish_seconds "$bin" "$dir")
    # As an install does: every file of the newer tree written anew and renamed
    # into place, those it lacks removed, the publisher's own files kept.
    rsync -a -I --delete --exclude='/.tolvex-*' --exclude='/updater-*' "$next/" "$dir/"
  else
    cp -a "$next/." "$dir/"
  fi
  second=$(publish_seconds "$bin" "$dir")
  unchanged=$(publish_seconds "$bin" "$dir")
  index=0
  [ ! -d "$dir/.tolvex-index" ] || index=$(sum_sizes "$dir/.tolvex-index")
  tree=$(sum_sizes "$dir" -not -path "$dir/.tolvex-*" -not -path "$dir/updater-*")
  printf '  update-catalog %s: older tree %s, newer %s, unchanged %s\n' \
    "$bin" "$first" "$second" "$unchanged"
  awk -v i="$index" -v t="$tree" \
    'BEGIN { printf "    .tolvex-index/ %d bytes, %.1f%% of the tree'\''s %d\n", i, t ? 100 * i / t : 0, t }'
}

# ---------------------------------------------------------------- one case
run_case() {
  local name=$1
  local old=$work/old/$name next=$work/next/$name new=$work/www/$name
  mkdir -p "$old" "$next" "$new" "$work/www/$name-zsync"
  echo "== $name"
  if [ "$name" = insert ]; then
    local first
    first=$(echo "$packages" | awk '{ print $1 }')
    fetch_pair "$first"
    local tree=$work/tree-$first
    mkdir -p "$tree" && dpkg-deb -x "$old_deb" "$tree"
    tar -C "$tree" -cf "$old/data.tar" .
    rm -rf "$tree"
    insert_changes "$old/data.tar" "$next/data.tar"
  elif [ "$name" = library ]; then
    fetch_pair "$library_package"
    local tree=$work/tree-$library_package largest
    mkdir -p "$tree/old" "$tree/new"
    dpkg-deb -x "$old_deb" "$tree/old"
    dpkg-deb -x "$new_deb" "$tree/new"
    largest=$(cd "$tree/new" && find . -type f -printf '%s %p\n' | sort -n | tail -n 1 | cut -d' ' -f2-)
    [ -f "$tree/old/$largest" ] || fail "$library_package: $largest is new, nothing to reuse"
    mv "$tree/old/$largest" "$old/$(basename "$largest")"
    mv "$tree/new/$largest" "$next/$(basename "$largest")"
    rm -rf "$tree"
  else
    # shellcheck disable=SC2086  # two words, checked above
    if [ "$name" = kernel ]; then fetch_renamed $kernel_packages; else fetch_pair "$name"; fi
    dpkg-deb -x "$old_deb" "$old"
    dpkg-deb -x "$new_deb" "$next"
    printf '%s\t%d\n' "$name" "$(stat -c %s "$new_deb")" >>"$debs"
  fi
  local list=$work/changed-$name
  changed_files "$old" "$next" >"$list"
  python3 - "$next" "$list" <<'EOF'
import os, sys
new, listed = sys.argv[1:]
changed = [l.rstrip("\n") for l in open(listed)]
sizes = [os.path.getsize(os.path.join(new, c)) for c in changed]
count = sum(len([f for f in fs if not os.path.islink(os.path.join(r, f))]) for r, _, fs in os.walk(new))
print(f"  {count} files, {len(changed)} changed or new ({sum(sizes) / 1e6:.1f} MB),"
      f" {sum(s >= 1 << 20 for s in sizes)} of them at 1 MiB or more")
EOF
  publish "$publisher" "$new"
  if [ "$publisher" != "$tool" ]; then
    mkdir -p "$work/beside"
    publish "$tool" "$work/beside"
    rm -rf "$work/beside"
  fi
  rm -rf "$next"
  local rel
  if [[ " $entrants " == *" zsync "* ]]; then
    while read -r rel; do
      mkdir -p "$(dirname "$work/www/$name-zsync/$rel")"
      ln "$new/$rel" "$work/www/$name-zsync/$rel"
      (cd "$(dirname "$work/www/$name-zsync/$rel")" &&
        zsyncmake -Z -o "$(basename "$rel").zsync" "$(basename "$rel")" >/dev/null 2>&1)
    done <"$list"
    printf '  zsync control files %d bytes\n' "$(sum_sizes "$work/www/$name-zsync" -name '*.zsync')"
  fi
  chmod -R a+rX "$work/www"

  local rtt
  for rtt in $rtts; do
    local url="http://127.0.0.1:${base_port[$rtt]}" rsync_url="rsync://127.0.0.1:${rsync_base_port[$rtt]}/www"
    local dest=$work/dest
    echo "== $name at ${rtt} ms round trip"
    # shellcheck disable=SC2086  # the contenders are words
    rotate $entrants
  done
  rm -rf "$old" "$new" "$work/www/$name-zsync" "$work/dest"
}

for c in $cases; do run_case "$c"; done

# ---------------------------------------------------------------- the table
python3 - "$results" "$debs" "$cases" "$rtts" "$runs" <<'EOF'
import collections, statistics, sys
results, debs, cases, rtts, runs = sys.argv[1:]
rows = collections.defaultdict(list)
for line in open(results):
    key, us, b, n, kib = line.rstrip("\n").split("\t")
    rows[key].append((int(us) / 1e6, int(b), int(n)))
deb = dict(line.rstrip("\n").split("\t") for line in open(debs))
best = lambda k: min(r[0] for r in rows[k])
moved = lambda k: statistics.median(r[1] for r in rows[k])
ratio = lambda a, b: f"{a / b:.3g}x" if b else "-"
others = ("zsync", "rsync", "rsync-z", "plain")
print()
print(f"page cache warm; best wall time of {runs} run(s); bytes and requests: median;"
      " .deb: the newer package file")
print(f"{'':<54} {'bytes against':<31} time against")
print(f"{'case':<14} {'RTT':>5} {'who':<7} {'best s':>7} {'bytes':>11} {'reqs':>5}"
      + "".join(f" {o:>7}" for o in others) + "".join(f" {o:>7}" for o in others))
for c in cases.split():
    if c in deb:
        print(f"{c:<14} {'':>5} {'.deb':<7} {'':>7} {int(deb[c]):>11}")
    for rtt in rtts.split():
        for who in ("tolvex",) + others:
            k = f"{c} {rtt} {who}"
            if k not in rows:
                continue
            against = [f"{c} {rtt} {o}" for o in others]
            cells = [ratio(moved(k), moved(o)) if o in rows else "-" for o in against]
            cells += [ratio(best(k), best(o)) if o in rows else "-" for o in against]
            print(f"{c:<14} {rtt + ' ms':>5} {who:<7} {best(k):>7.3f} {int(moved(k)):>11}"
                  f" {int(statistics.median(x[2] for x in rows[k])):>5}"
                  + "".join(f" {x:>7}" for x in cells))
EOF
