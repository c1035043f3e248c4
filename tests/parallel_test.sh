#!/usr/bin/env bash
# Runs the README's one-machine GNU parallel recipe on 50 generated files and checks every job
# and every result; then the --resume-failed recipe on a set with one broken file, and the
# Slurm array script as its tasks would run.
# Usage: parallel_test.sh <anasig-binary> <source-dir> <build-dir>
set -u
bin=$(realpath "$1")
command -v parallel >/dev/null || {
  echo "FAIL: GNU parallel not installed" >&2
  exit 1
}
work=$(mktemp -d "${TMPDIR:-/tmp}/anasig-parallel.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

# 50 files of many shapes; shapes.txt gets "name samples signals" and NAME.m the values as
# signal columns, the layout every result file has.
mkdir -p "$work/par/data" "$work/expect"
awk -v dir="$work" 'BEGIN {
  seed = 12345
  for (f = 0; f < 50; f++) {
    name = sprintf("f%02d.txt", f)
    kind = f % 5
    if (kind == 0) { lines = 16 + 7 * f; cols = 1 + f % 4 }       # plain columns
    else if (kind == 1) { lines = 1; cols = 5 + 3 * f }           # one line: one signal
    else if (kind == 2) { lines = 2 + f; cols = 3 }               # comments inside, junk after
    else if (kind == 3) { lines = 33 + 2 * f; cols = 1 }          # odd and even lengths, exponents
    else { lines = 64 + f; cols = 6 }                             # tabs, CRLF, many signals
    out = dir "/par/data/" name
    if (kind != 1) print "# file " f ": " lines " samples of " cols " signals" > out
    for (k = 0; k < lines; k++) {
      line = ""
      for (j = 0; j < cols; j++) {
        seed = (seed * 1103515245 + 12345) % 2147483648
        v = cos(2 * 3.141592653589793 * (j + 1) * k / (lines + 3)) + (seed / 2147483648 - 0.5) / 10
        if (kind == 3) v = v * 1e-3
        s = (kind == 3) ? sprintf("%.9e", v) : sprintf("%.9g", v)
        sep = (kind == 4) ? "\t" : " "
        line = (j == 0) ? s : line sep s
        val[k, j] = s
      }
      if (kind == 4) line = line "\r"
      print line > out
      if (kind == 2 && k == 0) print "; a comment between data lines" > out
    }
    if (kind == 2) { print "" > out; print "1 2 3 4 after the blank line, ignored" > out }
    close(out)
    # The matrix as signals in columns: a one-line file is one signal of cols samples.
    m = dir "/expect/" name ".m"
    if (lines == 1) {
      for (j = 0; j < cols; j++) print val[0, j] > m
      print name, cols, 1 > (dir "/shapes.txt")
    } else {
      for (k = 0; k < lines; k++) {
        line = ""
        for (j = 0; j < cols; j++) line = (j == 0) ? val[k, j] : line " " val[k, j]
        print line > m
      }
      print name, lines, cols > (dir "/shapes.txt")
    }
    close(m)
  }
}' || exit 1
[ "$(find "$work/par/data" -name '*.txt' | wc -l)" -eq 50 ] || fail "generator did not write 50 files"
cp -r "$work/par/data" "$work/seq-data"
mkdir -p "$work/seq" && mv "$work/seq-data" "$work/seq/data"

# The recipe, as the README gives it.
(cd "$work/par" && parallel -j 4 --joblog jobs.log "$bin" --quiet -i 0.001 ::: data/*.txt \
  >stdout.txt 2>stderr.txt) || fail "parallel exited $?: $(head -c 2000 "$work/par/stderr.txt")"
# With --quiet only the warnings about the junk after the block of the kind-2 files remain.
others=$(grep -vE '^Warning: data/f[0-9]*[27]\.txt: the matrix ends at line [0-9]+ \(\); 1 later lines with numbers are ignored$' "$work/par/stderr.txt")
[ -n "$others" ] && fail "stderr holds more than the warnings with --quiet: $(echo "$others" | head -c 2000)"
[ "$(wc -l <"$work/par/stderr.txt")" -eq 10 ] || fail "not one warning for each of the ten files with junk"

# Joblog: a header and one line per job, Exitval (7th) and Signal (8th) 0, each file once.
log="$work/par/jobs.log"
[ "$(head -n 1 "$log" | cut -f 7,8)" = "$(printf 'Exitval\tSignal')" ] || fail "joblog header: $(head -n 1 "$log")"
[ "$(tail -n +2 "$log" | wc -l)" -eq 50 ] || fail "joblog has $(tail -n +2 "$log" | wc -l) jobs, not 50"
tail -n +2 "$log" | awk -F '\t' '$7 != 0 || $8 != 0 { print "FAIL: job failed: " $0; bad = 1 } END { exit bad }' >&2 ||
  status=1
[ "$(tail -n +2 "$log" | awk '{ print $NF }' | sort -u | wc -l)" -eq 50 ] || fail "joblog does not name 50 different files"

# The same files one at a time, in another directory.
for f in "$work"/seq/data/*.txt; do
  (cd "$work/seq" && "$bin" --quiet -i 0.001 "data/${f##*/}" >/dev/null 2>&1) || fail "single run on ${f##*/} failed"
done

while read -r name samples signals; do
  base=${name%.txt}
  for e in hre him hab hth hfq; do
    r="$work/par/data/$base.$e"
    if [ ! -f "$r" ]; then
      fail "$base.$e missing"
      continue
    fi
    awk -v n="$samples" -v c="$signals" 'NF != c { bad = 1 } END { exit bad || NR != n }' "$r" ||
      fail "$base.$e: $(wc -l <"$r") lines, wanted $samples lines of $signals values"
    cmp -s "$r" "$work/seq/data/$base.$e" || fail "$base.$e differs from the one-at-a-time run"
  done
  # The real part gives back the input values, so no job wrote another file's results.
  paste -d ' ' "$work/par/data/$base.hre" "$work/expect/$name.m" | awk -v c="$signals" '
    function abs(v) { return v < 0 ? -v : v }
    { for (j = 1; j <= c; j++) if (abs($j - $(j + c)) > 1e-9 * (1 + abs($(j + c)))) bad = 1 }
    END { exit bad }' || fail "$base.hre does not reproduce the input"
done <"$work/shapes.txt"
[ "$(wc -l <"$work/shapes.txt")" -eq 50 ] || fail "shape list incomplete"

# logfile: 50 whole lines, one per job, each naming its own file once.
lf="$work/par/logfile"
[ "$(wc -l <"$lf")" -eq 50 ] || fail "logfile has $(wc -l <"$lf") lines, not 50"
broken=$(grep -vxE "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} $bin --quiet -i 0\.001 data/f[0-9]{2}\.txt" "$lf")
[ -z "$broken" ] || fail "logfile lines not whole: $(printf '%s\n' "$broken" | head -n 3)"
[ "$(grep -oE 'data/f[0-9]{2}\.txt$' "$lf" | sort -u | wc -l)" -eq 50 ] || fail "logfile does not name 50 different files"
[ "$(grep -c '^Using timestep=0.001$' "$work/par/stdout.txt")" -eq 50 ] || fail "stdout lacks 50 interval reports"

# --resume-failed reruns only the failed job, here with shared wisdom in the same directory.
mkdir -p "$work/resume/data"
for i in 1 2 3 4 5; do printf '%s\n' 1 2 3 "$i" >"$work/resume/data/r$i.txt"; done
: >"$work/resume/data/r3.txt"
(cd "$work/resume" && parallel -j 4 --joblog jobs.log "$bin" --quiet --wisdom -i 0.001 ::: data/*.txt \
  >/dev/null 2>&1)
[ $? -eq 1 ] || fail "parallel with one failed job did not exit 1"
awk -F '\t' 'NR > 1 { print $NF, $7 }' "$work/resume/jobs.log" | sort >"$work/resume/first.txt"
grep -q 'r3.txt 1$' "$work/resume/first.txt" || fail "the empty file did not fail in the joblog"
[ "$(grep -c ' 0$' "$work/resume/first.txt")" -eq 4 ] || fail "the four good files did not all pass"
printf '%s\n' 4 3 2 1 >"$work/resume/data/r3.txt"
(cd "$work/resume" && parallel -j 4 --joblog jobs.log --resume-failed "$bin" --quiet --wisdom -i 0.001 \
  ::: data/*.txt >/dev/null 2>&1) || fail "--resume-failed run did not exit 0"
[ "$(tail -n +2 "$work/resume/jobs.log" | wc -l)" -eq 6 ] || fail "--resume-failed did not run just one job again"
[ "$(tail -n 1 "$work/resume/jobs.log" | awk -F '\t' '{ print $7 }')" = 0 ] || fail "rerun job did not pass"
[ "$(tr '\n' ' ' <"$work/resume/data/r3.hre")" = "4 3 2 1 " ] || fail "r3.hre is not the fixed input"
# Five first runs (the failed one too, which got past option parsing) and the one rerun.
[ "$(wc -l <"$work/resume/logfile")" -eq 6 ] || fail "resume logfile: $(wc -l <"$work/resume/logfile") lines, not 6"
head -c 6 "$work/resume/anasig.fftw3" | grep -q '^(fftw-' || fail "shared wisdom file is not FFTW wisdom"
compgen -G "$work/resume/anasig.fftw3.*" >/dev/null && fail "temporary wisdom files left behind"

# The Slurm array script, run as three array tasks would run it: a working directory per task.
script=$(realpath "$2")/examples/slurm-array.sh
if [ -f "$script" ]; then
  mkdir -p "$work/slurm/data" "$work/path"
  ln -s "$bin" "$work/path/anasig"
  for f in f00 f01 f02; do cp "$work/seq/data/$f.txt" "$work/slurm/data/"; done
  (cd "$work/slurm" && ls data/*.txt >files.txt)
  for t in 0 1 2; do
    (cd "$work/slurm" && PATH="$work/path:$PATH" SLURM_ARRAY_TASK_ID=$t bash "$script" files.txt 0.001 \
      >/dev/null 2>&1) || fail "slurm task $t failed"
    [ "$(wc -l <"$work/slurm/runs/task-$t/logfile")" -eq 1 ] || fail "slurm task $t: logfile not one line"
  done
  for f in f00 f01 f02; do
    for e in hre him hab hth hfq; do
      cmp -s "$work/slurm/data/$f.$e" "$work/seq/data/$f.$e" || fail "slurm task result $f.$e differs"
    done
  done
  (cd "$work/slurm" && SLURM_ARRAY_TASK_ID=3 bash "$script" files.txt 0.001 >/dev/null 2>&1) &&
    fail "slurm task past the end of the list did not fail"
fi

[ $status -eq 0 ] && echo "parallel test passed"
exit $status
