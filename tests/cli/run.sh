#!/usr/bin/env bash
# Runs one whole-tool case: CASE/args holds the arguments, one a line; CASE/in/ the files the
# run starts with, in its working directory. The run must end with CASE/stdout, CASE/stderr
# (each empty when absent; "Debug: file(line) " heads compare as "Debug: "), the exit status
# in CASE/status (0 when absent), and the directory as in/ with out/ laid over it, byte for
# byte; the run log is left out.
# Usage: run.sh <anasig-binary> <case-directory>
set -u
bin=$(realpath "$1")
case=$(realpath "$2")
tmp=$(mktemp -d "${TMPDIR:-/tmp}/anasig-cli.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/work" "$tmp/want"
for d in in out; do
  [ -d "$case/$d" ] && cp -R "$case/$d/." "$tmp/want/"
done
[ -d "$case/in" ] && cp -R "$case/in/." "$tmp/work/"
args=()
[ -f "$case/args" ] && mapfile -t args <"$case/args"

(cd "$tmp/work" && exec -a anasig "$bin" "${args[@]}" >"$tmp/stdout" 2>"$tmp/stderr" </dev/null)
status=$?
rm -f "$tmp/work/logfile"
sed -E -i 's/Debug: ?[^ ]*\([0-9]+\) /Debug: /g' "$tmp/stderr"

fail=0
want_status=0
[ -f "$case/status" ] && want_status=$(cat "$case/status")
if [ "$status" != "$want_status" ]; then
  echo "exit status $status, expected $want_status"
  fail=1
fi
for s in stdout stderr; do
  want=/dev/null
  [ -f "$case/$s" ] && want=$case/$s
  diff -u --label "expected $s" --label "$s" "$want" "$tmp/$s" || fail=1
done
diff -r "$tmp/want" "$tmp/work" || fail=1
exit $fail
