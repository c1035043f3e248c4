#!/usr/bin/env bash
# Checks the manual page: it renders without warnings, documents every long option of the usage
# text, and every option it documents is one the binary accepts.
# Usage: manpage_test.sh <anasig-binary> <source-dir> <build-dir>
set -u
bin=$(realpath "$1")
page=$2/doc/anasig.1
tmp=$(mktemp -d "${TMPDIR:-/tmp}/anasig-man.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT
status=0

fail() {
  echo "FAIL: $*" >&2
  status=1
}

[ -f "$page" ] || {
  echo "FAIL: $page missing" >&2
  exit 1
}

for dev in utf8 ascii; do
  if ! groff -man -T"$dev" -ww "$page" >/dev/null 2>"$tmp/warnings" || [ -s "$tmp/warnings" ]; then
    fail "groff -T$dev -ww:"
    cat "$tmp/warnings" >&2
  fi
done
man -l "$page" >/dev/null 2>"$tmp/warnings" || fail "man -l failed"
[ -s "$tmp/warnings" ] && fail "man -l: $(cat "$tmp/warnings")"

# Plain text without hyphenation, so that no option is split at a line end.
groff -man -Tascii -rHY=0 -P-cbu "$page" 2>/dev/null >"$tmp/page.txt"
for s in NAME SYNOPSIS DESCRIPTION OPTIONS "INPUT FORMAT" "RESULT FILES" FILES "EXIT STATUS" \
  DIAGNOSTICS EXAMPLES; do
  grep -qx "$s" "$tmp/page.txt" || fail "section $s missing"
done

# Long options of the usage text; --[no-]re stands for --re and --no-re.
(cd "$tmp" && "$bin" -h) >"$tmp/usage.txt" 2>/dev/null
grep -q 'Usage:' "$tmp/usage.txt" || fail "no usage text from $bin -h"
opts=$(grep -oE -- '--(\[no-\])?[a-z][a-z-]*' "$tmp/usage.txt" |
  sed -E 's/^--\[no-\](.*)/--\1 --no-\1/' | tr ' ' '\n' | sort -u)
[ "$(printf '%s\n' "$opts" | wc -l)" -ge 12 ] || fail "too few long options found in the usage text"
for o in $opts; do
  grep -qE -- "(^|[^a-z-])$o([^a-z-]|$)" "$tmp/page.txt" || fail "usage text option $o not in the manual"
done

# Every option named in a tag of the OPTIONS section must be accepted as written: a value for
# the ones that take one, then --version ends the run before any file is read.
documented=$(awk '/^\.SH/ { in_opts = ($2 == "OPTIONS") } in_opts && prev == ".TP" { print } { prev = $0 }' \
  "$page" | sed -e 's/\\f[BIRP]//g' -e 's/\\-/-/g' | grep -oE -- '(^|[ ",])--?[a-zA-Z#?][a-z0-9-]*' | sed -E 's/^[ ",]//' | sort -u)
[ "$(printf '%s\n' "$documented" | wc -l)" -ge 30 ] || fail "too few options in the OPTIONS tags"
for o in $documented; do
  case $o in
    -h | -\? | --help)
      out=$(cd "$tmp" && "$bin" "$o" 2>&1)
      rc=$?
      if [ $rc -ne 1 ] || [[ $out != *Usage:* ]]; then fail "$o does not print the usage text with status 1"; fi
      ;;
    *)
      # A value that the option accepts; the options without one take it as a file name.
      case $o in
        --pad) val=zero ;;
        --output-dir) val=. ;;
        --band) val=0:0.1 ;;
        --freq-method) val=derivative ;;
        --format) val=npy ;;
        *) val=1 ;;
      esac
      out=$(cd "$tmp" && "$bin" "$o" "$val" --version 2>&1)
      rc=$?
      if [ $rc -ne 0 ] || [[ $out != "anasig Version"* ]]; then fail "documented option $o rejected: ${out%%$'\n'*}"; fi
      ;;
  esac
done
[ -e "$tmp/logfile" ] && fail "option checks wrote a logfile"
# The manual's list must also cover each no-form spelling the binary accepts.
for o in nore noim noabs notheta nofreq; do
  grep -qE -- "(^|[^a-z-])--$o([^a-z-]|$)" "$tmp/page.txt" || fail "--$o not in the manual"
done

[ $status -eq 0 ] && echo "manual page test passed"
exit $status
