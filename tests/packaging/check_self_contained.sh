#!/usr/bin/env bash
# Checks that each executable given needs at run time only the C library's own
# files (libcurl is loaded with dlopen, so ldd does not list it), and that it
# exports none of the libraries linked into it: an exported libcrypto function
# would bind the libcrypto that libcurl brings along.
set -euo pipefail

c_library='^(linux-vdso\.so\.1|/.*/ld-linux[-a-z0-9_]*\.so\.[0-9]+|lib(c|m|dl|pthread)\.so\.[0-9]+)$'
# What every dynamic executable defines: glibc's copy-relocated data and the
# linker's section markers.
own_symbols='@GLIBC_|^(_IO_stdin_used|__bss_start|_edata|_end|_init|_fini|__data_start|data_start)$'

status=0
for binary in "$@"; do
  libraries=$(ldd "$binary")
  unexpected=$(awk '{ print $1 }' <<<"$libraries" | grep -v -E "$c_library" || true)
  if [ -n "$unexpected" ]; then
    echo "$binary needs more than the C library:"
    echo "$libraries"
    status=1
  fi
  exported=$(nm -D --defined-only "$binary" | awk '{ print $NF }' | grep -v -E "$own_symbols" || true)
  if [ -n "$exported" ]; then
    echo "$binary exports symbols of what it links statically:"
    head -n 20 <<<"$exported"
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "only the C library is needed, nothing is exported: $*"
exit "$status"
