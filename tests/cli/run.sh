#!/usr/bin/env bash
# Runs one whole-tool case: CASE/args holds the arguments, one a line, CASE/argv0 the program
# name (anasig when absent); CASE/in/ the files the run starts with, in its working directory.
# The run must end with CASE/stdout, CASE/stderr (each empty when absent; "Debug: file(line) "
# heads compare as "Debug: "), the exit status in CASE/status (0 when absent), and the
# directory as in/ with out/ laid over it, byte for byte; the run log is left out. Instead of
# stdout or stderr, CASE/stdout.glob or CASE/stderr.glob holds one shell pattern a line, for
# the same number of lines. CASE/logfile.glob is the same for the run log; CASE/no-logfile
# means the run writes none.
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
argv0=anasig
[ -f "$case/argv0" ] && argv0=$(cat "$case/argv0")

(cd "$tmp/work" && exec -a "$argv0" "$bin" "${args[@]}" >"$tmp/stdout" 2>"$tmp/stderr" </dev/null)
status=$?
[ -f "$tmp/work/logfile" ] && mv "$tmp/work/logfile" "$tmp/logfile"
sed -E -i 's/Debug: ?[^ ]*\([0-9]+\) /Debug: /g' "$tmp/stderr"

# Every line of a file against the pattern on the same line of another; the same line count.
glob_match() {  # patterns output label
  local -a want got
  local i fail=0
  mapfile -t want <"$1"
  mapfile -t got <"$2"
  if [ -s "$2" ] && [ "$(tail -c 1 "$2")" != "" ]; then
    echo "$3: no newline at the end"
    fail=1
  fi
  if [ ${#got[@]} -ne ${#want[@]} ]; then
    echo "$3: ${#got[@]} lines, expected ${#want[@]}"
    fail=1
  fi
  for ((i = 0; i < ${#want[@]} && i < ${#got[@]}; ++i)); do
    # Unquoted, the right side is a pattern.
    if [[ ${got[i]} != ${want[i]} ]]; then
      echo "$3 line $((i + 1)): '${got[i]}' does not match '${want[i]}'"
      fail=1
    fi
  done
  return $fail
}

fail=0
want_status=0
[ -f "$case/status" ] && want_status=$(cat "$case/status")
if [ "$status" != "$want_status" ]; then
  echo "exit status $status, expected $want_status"
  fail=1
fi
for s in stdout stderr; do
  if [ -f "$case/$s.glob" ]; then
    glob_match "$case/$s.glob" "$tmp/$s" "$s" || fail=1
    continue
  fi
  want=/dev/null
  [ -f "$case/$s" ] && want=$case/$s
  diff -u --label "expected $s" --label "$s" "$want" "$tmp/$s" || fail=1
done
if [ -f "$case/no-logfile" ] && [ -e "$tmp/logfile" ]; then
  echo "a logfile was written"
  fail=1
fi
if [ -f "$case/logfile.glob" ]; then
  if [ -f "$tmp/logfile" ]; then
    glob_match "$case/logfile.glob" "$tmp/logfile" logfile || fail=1
  else
    echo "no logfile was written"
    fail=1
  fi
fi
diff -r "$tmp/want" "$tmp/work" || fail=1
exit $fail
