#!/usr/bin/env bash
# Installs into a scratch prefix and checks that the binary runs and the manual is the shipped one.
# Usage: install_test.sh <anasig-binary> <source-dir> <build-dir>
set -u
src=$2
build=$3
prefix=$(mktemp -d "${TMPDIR:-/tmp}/anasig-install.XXXXXX") || exit 1
trap 'rm -rf "$prefix"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >"$prefix/install.log" 2>&1 || {
  cat "$prefix/install.log" >&2
  fail "cmake --install failed"
}

bin="$prefix/bin/anasig"
man="$prefix/share/man/man1/anasig.1"
[ -x "$bin" ] || fail "$bin missing or not executable"
out=$(cd "$prefix" && "$bin" --version) || fail "installed binary: --version exited $?"
case $out in
  "anasig Version "*) ;;
  *) fail "installed binary: unexpected --version output: $out" ;;
esac
[ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] || fail "--version printed more than one line"
[ ! -e "$prefix/logfile" ] || fail "--version wrote a logfile entry"
[ -f "$man" ] || fail "$man missing"
cmp -s "$man" "$src/doc/anasig.1" || fail "installed manual page differs from doc/anasig.1"

# The installed binary does real work, away from the build tree.
printf '1\n0\n-1\n0\n' >"$prefix/c.txt"
(cd "$prefix" && "$bin" --quiet --none --im c.txt >/dev/null) || fail "installed binary failed on c.txt"
# The Hilbert transform of a cosine is the sine.
awk 'function abs(v) { return v < 0 ? -v : v }
     { if (abs($1 - sin(2 * atan2(0, -1) * (NR - 1) / 4)) > 1e-12) bad = 1 }
     END { exit bad || NR != 4 }' "$prefix/c.him" || fail "installed binary: c.him is $(cat "$prefix/c.him")"
echo "install test passed"
