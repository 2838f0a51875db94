#!/usr/bin/env bash
# Installs the build into a throw-away prefix and checks the layout that users and
# packagers rely on.
# usage: install_test.sh BUILD_DIR
set -euo pipefail
prefix=$(mktemp -d "${TMPDIR:-/tmp}/tolvex-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

cmake --install "$1" --prefix "$prefix" >/dev/null
status=0
for file in bin/tolvex share/man/man1/tolvex.1 share/doc/tolvex/README.md; do
  [ -s "$prefix/$file" ] || { echo "missing: $file"; status=1; }
done
[ -x "$prefix/bin/tolvex" ] || { echo "bin/tolvex is not executable"; status=1; }
# Help exits with status 1 by design.
help_status=0
help=$("$prefix/bin/tolvex" --help) || help_status=$?
[ "$help_status" -eq 1 ] && [[ "$help" == "tolvex v"* ]] ||
  { echo "bin/tolvex --help: status $help_status, output: $help"; status=1; }
[ "$status" -eq 0 ] && (cd "$prefix" && find . -type f | sort)
exit "$status"
