#!/usr/bin/env bash
# Runs the client in a root that holds only the C library's own files and libcurl
# with the libraries it needs, as on a machine that never installed libsodium,
# PCRE2 or a C++ runtime: keygen, update-catalog (with a .tolvexignore) and
# make-source-json with the shipped tolvex, then an update with the test client,
# which is linked the same way but trusts the fixed test keys, from a server on
# 127.0.0.1. chroot needs root: otherwise this exits 77, which ctest reports as
# skipped.
#
# usage: minimal_root_test.sh TOLVEX TEST_CLIENT
set -euo pipefail
exec </dev/null
tolvex=$1
test_client=$2
python=$(command -v python3)
skip=77

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: the minimal-root test needs root for chroot (run ctest as root to try it)"
  exit "$skip"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvex-minimal-root.XXXXXX")
root="$work/root"
server_pid=""
urandom_mounted=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  # Never remove the tree while a bind mount is still inside it.
  if [ -n "$urandom_mounted" ] && ! umount "$root/dev/urandom"; then
    echo "left $work in place: $root/dev/urandom is still mounted" >&2
    return
  fi
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

fail() {
  echo "FAIL: $*"
  exit 1
}

# copy_into_root FILE: FILE at the same path inside the root, links resolved.
copy_into_root() {
  mkdir -p "$root$(dirname "$1")"
  cp -L "$1" "$root$1"
}

# The paths that ldd resolves for FILE, one a line; the loader included.
resolved_libraries() {
  ldd "$1" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'
}

# The C library's own files, wherever the clients find them. Anything else they
# needed would be missing in the root, and the loader would refuse to start them.
for binary in "$tolvex" "$test_client"; do
  resolved_libraries "$binary" | grep -E '/(ld-linux[-a-z0-9_]*|lib(c|m|dl|pthread))\.so\.[0-9]+$' |
    while read -r library; do copy_into_root "$library"; done
done

# libcurl and everything it needs, found where the C library lives.
libc_dir=$(dirname "$(resolved_libraries "$tolvex" | grep -E '/libc\.so\.[0-9]+$')")
libcurl=""
for candidate in "$libc_dir/libcurl.so.4" "/usr$libc_dir/libcurl.so.4"; do
  [ -e "$candidate" ] && libcurl=$candidate && break
done
[ -n "$libcurl" ] || fail "libcurl.so.4 not found beside $libc_dir/libc.so.*"
copy_into_root "$libcurl"
resolved_libraries "$libcurl" | while read -r library; do copy_into_root "$library"; done

mkdir -p "$root/bin" "$root/dev" "$root/home/keygen" "$root/home/publisher" "$root/home/user" \
  "$root/srv/site/docs" "$root/srv/client"
cp "$tolvex" "$root/bin/tolvex"
cp "$test_client" "$root/bin/tolvex-test-client"

# keygen reads the kernel's random source.
if ! mknod -m 444 "$root/dev/urandom" c 1 9 2>/dev/null; then
  touch "$root/dev/urandom"
  mount --bind /dev/urandom "$root/dev/urandom" 2>/dev/null ||
    { echo "skipped: neither mknod nor a bind mount can make /dev/urandom in the root"; exit "$skip"; }
  urandom_mounted=1
fi

# A container may hold root without the right to chroot.
if ! "$python" -c 'import os, sys; os.chroot(sys.argv[1])' "$root" 2>/dev/null; then
  echo "skipped: chroot is not permitted here"
  exit "$skip"
fi

echo "the root holds:"
(cd "$root" && find . -type f -o -type c | sort | sed 's/^\./  /')

# in_root DIR HOME PROGRAM ARGS...: PROGRAM run inside the root, in DIR, with only
# HOME and PATH in its environment.
in_root() {
  "$python" -c '
import os, sys
root, directory, home = sys.argv[1:4]
os.chroot(root)
os.chdir(directory)
os.execve(sys.argv[4], sys.argv[4:], {"HOME": home, "PATH": "/bin"})
' "$root" "$@"
}

echo "== keygen"
in_root /home/keygen /home/keygen /bin/tolvex keygen
key_file="$root/home/keygen/.tolvex-signer-keypair"
[ "$(stat -c %a "$key_file")" = 600 ] || fail "the key file is not mode 0600"
grep -q '"public_key":"[A-Za-z0-9+/]\{43\}="' "$key_file" || fail "the key file holds no public key"

# The publisher signs with RFC 8032 test vector 1, a key the test client trusts.
# The key file holds the expanded private key: SHA-512 of the seed, clamped.
"$python" - "$root/home/publisher/.tolvex-signer-keypair" <<'PYTHON'
import base64, hashlib, sys
seed = bytes.fromhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")
expanded = bytearray(hashlib.sha512(seed).digest())
expanded[0] &= 248
expanded[31] = (expanded[31] & 63) | 64
with open(sys.argv[1], "w") as key_file:
    key_file.write('{"public_key":"11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=","private_key":"%s"}'
                   % base64.b64encode(bytes(expanded)).decode())
PYTHON
chmod 600 "$root/home/publisher/.tolvex-signer-keypair"

site="$root/srv/site"
printf 'first file\n' >"$site/index.txt"
head -c 200000 /dev/urandom >"$site/docs/data.bin"
printf 'not published\n' >"$site/docs/build.log"
printf '**/*.log\n' >"$site/.tolvexignore"

echo "== update-catalog"
in_root /srv/site /home/publisher /bin/tolvex update-catalog
grep -q ' \*docs/data.bin$' "$site/updater-catalog.sha3" || fail "docs/data.bin is not in the catalog"
! grep -q 'build.log' "$site/updater-catalog.sha3" || fail ".tolvexignore did not keep docs/build.log out"

: >"$work/server.log"  # made before the server, so the wait below can always read it
"$python" -u -m http.server 0 --bind 127.0.0.1 --directory "$site" >"$work/server.log" 2>&1 &
server_pid=$!
port=""
for _ in $(seq 300); do
  port=$(sed -n 's/^Serving HTTP on 127\.0\.0\.1 port \([0-9]*\).*/\1/p' "$work/server.log")
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || fail "the test server did not start: $(cat "$work/server.log")"

echo "== make-source-json"
in_root /srv/site /home/publisher /bin/tolvex make-source-json "http://127.0.0.1:$port/"

echo "== update"
cp "$site/updater-source.json" "$root/srv/client/"
output=$(in_root /srv/client /home/user /bin/tolvex-test-client update 2>&1) ||
  fail "update failed: $output"
echo "$output"
grep -q '^All files are up to date\.$' <<<"$output" || fail "update did not finish"
cmp "$site/index.txt" "$root/srv/client/index.txt" || fail "index.txt differs"
cmp "$site/docs/data.bin" "$root/srv/client/docs/data.bin" || fail "docs/data.bin differs"
[ ! -e "$root/srv/client/docs/build.log" ] || fail "an ignored file was delivered"
echo "PASS: the client runs in a root with only the C library and libcurl"
