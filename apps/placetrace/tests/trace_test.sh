#!/usr/bin/env bash
# Checks Placetrace on a real video (data/tree.avi): one line per decoded
# frame after the header; the first frame records location 0; a recognised
# frame records nothing and has a similarity of at least the threshold;
# recorded indices count up from 0 without gaps; two runs print the same; a
# one-frame file is read; 1, 2 and 3 threads print the same bytes, on this
# video and on the first 100 frames of vtest.avi beside it. Also checks its
# answers to bad command lines. With a ground truth: the evaluation line, the
# sweep's table and plot, and bad truth files refused with one line and status 2.
#
#   trace_test.sh PLACETRACE VIDEOTOOL VIDEO
set -u
bin=$1
video_tool=$2
video=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}
[ -s "$video" ] || { echo "FAIL $video is missing: run scripts/setup.sh"; exit 1; }

timeout 300 "$bin" "$video" >"$work/first" 2>"$work/first.err" || fail "status $? on $video"
timeout 300 "$bin" "$video" >"$work/second" 2>/dev/null
cmp -s "$work/first" "$work/second" || fail "two runs differ"

header=$'video\tframe\tposition_ms\tdetections\truns\tlocation\tnew_location\tsimilarity\tids'
[ "$(head -n 1 "$work/first")" = "$header" ] || fail "header: $(head -n 1 "$work/first")"
decoded=$("$video_tool" --count "$video")
lines=$(($(wc -l <"$work/first") - 1))
[ "$lines" = "$decoded" ] || fail "$lines lines for $decoded decoded frames"

# Column checks in awk: the video name, frame numbers, the first frame,
# recognised frames recording nothing and having a similarity in
# [threshold, 1] with six decimals, and recorded indices counting up without
# gaps.
awk -F'\t' -v video="$video" 'NR == 1 { next }
  { f = NR - 2
    if ($1 != video) { print "video column " $1 " on line " NR; bad = 1 }
    if ($2 != f) { print "frame column " $2 " on line " NR; bad = 1 }
    if ($6 == "-" && $7 == "-") { print "frame " f " neither recognised nor recorded"; bad = 1 }
    if ($6 != "-" && $7 != "-") { print "frame " f " recognised and recorded"; bad = 1 }
    if (($6 == "-") != ($8 == "-")) { print "frame " f " similarity " $8 " with location " $6; bad = 1 }
    if ($8 != "-" && ($8 !~ /^[01]\.[0-9][0-9][0-9][0-9][0-9][0-9]$/ || $8 < 0.67 || $8 > 1)) {
      print "frame " f " similarity " $8; bad = 1 }
    if (f == 0 && ($7 != "0" || $6 != "-")) { print "the first frame does not record location 0"; bad = 1 }
    if ($7 != "-") { if ($7 != next_index) { print "frame " f " records " $7 ", expected " next_index; bad = 1 } next_index++ }
    if ($6 != "-" && $6 >= next_index) { print "frame " f " recognises unknown location " $6; bad = 1 }
    if ($4 == 0 && $5 != 0) { print "frame " f " has runs without detections"; bad = 1 }
  }
  BEGIN { next_index = 0 }
  END { exit bad }' "$work/first" || fail "column invariants"
grep -q "^Placetrace: $video: $decoded frames, " "$work/first.err" \
  && grep -q "^Placetrace: total: $decoded frames, " "$work/first.err" \
  || fail "summary: $(cat "$work/first.err")"
echo "ok   $decoded frames of $video: $(tail -n 1 "$work/first.err")"

timeout 60 "$bin" "$video" --frames 5 >"$work/five" 2>/dev/null || fail "--frames 5 status $?"
head -n 6 "$work/first" | cmp -s - "$work/five" || fail "--frames 5 differs from the first 5 lines of a full run"
echo "ok   --frames 5"

# A lower threshold recognises at least as much as the default, and a
# threshold of 1 accepts only strings of similarity 1.
timeout 300 "$bin" --threshold 1 "$video" >"$work/strict" 2>/dev/null || fail "--threshold 1 status $?"
awk -F'\t' 'NR > 1 && $8 != "-" && $8 != "1.000000" { bad = 1 } END { exit bad }' "$work/strict" \
  || fail "--threshold 1 accepted a similarity below 1"
timeout 300 "$bin" --threshold 0.3 "$video" >"$work/loose" 2>/dev/null || fail "--threshold 0.3 status $?"
recognised() { awk -F'\t' 'NR > 1 && $6 != "-"' "$1" | wc -l; }
[ "$(recognised "$work/strict")" -le "$(recognised "$work/first")" ] \
  && [ "$(recognised "$work/first")" -le "$(recognised "$work/loose")" ] \
  || fail "recognised frames at thresholds 1, 0.67, 0.3: $(recognised "$work/strict") $(recognised "$work/first") $(recognised "$work/loose")"
timeout 300 "$bin" --threshold 0.67 "$video" | cmp -s - "$work/first" || fail "--threshold 0.67 is not the default"
echo "ok   --threshold"

# Any number of threads gives the same bytes as the single loop.
vtest=$(dirname "$video")/vtest.avi
[ -s "$vtest" ] || fail "$vtest is missing: run scripts/setup.sh"
timeout 300 "$bin" --threads 1 "$video" >"$work/t1" 2>/dev/null || fail "--threads 1 status $?"
cmp -s "$work/t1" "$work/first" || fail "--threads 1 differs from the default"
timeout 300 "$bin" --threads 1 --frames 100 "$vtest" >"$work/v1" 2>/dev/null || fail "vtest --threads 1 status $?"
[ "$(wc -l <"$work/v1")" = 101 ] || fail "vtest --frames 100: $(wc -l <"$work/v1") lines"
for n in 2 3; do
  timeout 300 "$bin" --threads "$n" "$video" | cmp -s - "$work/t1" || fail "--threads $n differs on $video"
  timeout 300 "$bin" --threads "$n" --frames 100 "$vtest" | cmp -s - "$work/v1" \
    || fail "--threads $n differs on the first 100 frames of $vtest"
done

# Evaluation: frames 0-39 are one place, 40 on another, and frame 5 has none.
awk -v v="$video" 'BEGIN { for (i = 0; i < 68; ++i) if (i != 5) printf "%s\t%d\t%s\n", v, i, i < 40 ? "near" : "far" }' \
  >"$work/truth"
timeout 300 "$bin" --truth "$work/truth" --sweep "$work/sweep" --plot "$work/pr.png" "$video" \
  >"$work/evaluated" 2>"$work/evaluated.err" || fail "--truth status $?"
cmp -s "$work/evaluated" "$work/first" || fail "--truth changed the frame lines"
grep -Eq '^evaluation: tp=[0-9]+ fp=[0-9]+ fn=[0-9]+ tn=[0-9]+ precision=([01]\.[0-9]{4}|nan) recall=([01]\.[0-9]{4}|nan) f1=([01]\.[0-9]{4}|nan)$' \
  "$work/evaluated.err" || fail "evaluation line: $(grep evaluation "$work/evaluated.err")"
counted=$(sed -n 's/^evaluation: tp=\([0-9]*\) fp=\([0-9]*\) fn=\([0-9]*\) tn=\([0-9]*\).*/\1 \2 \3 \4/p' "$work/evaluated.err" \
  | awk '{ print $1 + $2 + $3 + $4 }')
[ "$counted" -le 67 ] && [ "$counted" -ge 60 ] || fail "$counted frames counted of 67 with a place"
grep -q '^recall at 100% precision: ' "$work/evaluated.err" || fail "no recall at 100% precision line"
[ "$(head -n 1 "$work/sweep")" = "$(printf 'threshold\ttp\tfp\tfn\ttn\tprecision\trecall\tf1')" ] || fail "sweep header"
[ "$(wc -l <"$work/sweep")" = 71 ] || fail "sweep: $(wc -l <"$work/sweep") lines"
# The sweep's row at the default threshold counts what the run itself counted.
row=$(awk -F'\t' '$1 == "0.67" { printf "tp=%s fp=%s fn=%s tn=%s", $2, $3, $4, $5 }' "$work/sweep")
grep -q "^evaluation: $row " "$work/evaluated.err" || fail "sweep row 0.67 ($row) differs from the run's counts"
[ "$(head -c 8 "$work/pr.png" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] || fail "the plot is not a PNG"

# A file of one frame is read (its first grab after the start-up seek fails).
"$video_tool" "$work/one.avi" 1 || fail "cannot make a one-frame video"
timeout 60 "$bin" "$work/one.avi" >"$work/one" 2>"$work/one.err" || fail "one-frame file: status $? $(cat "$work/one.err")"
[ "$(wc -l <"$work/one")" = 2 ] || fail "one-frame file: $(wc -l <"$work/one") lines"
echo "ok   a one-frame file"

# check_bad NAME ARGS...: a clear message on standard error, status non-zero,
# nothing but the header (or nothing) on standard output.
# check_bad 2 NAME ARGS... also wants the status 2 of a usage error.
check_bad() {
  local want=
  if [ "$1" = 2 ]; then want=2; shift; fi
  local name=$1
  shift
  timeout 60 "$bin" "$@" >"$work/out" 2>"$work/err"
  local status=$?
  local bad=
  if [ "$status" = 0 ] || [ "$status" -ge 124 ]; then bad=1; fi
  if [ -n "$want" ] && [ "$status" != "$want" ]; then bad=1; fi
  if ! grep -q '^Placetrace: ' "$work/err" || [ "$(wc -l <"$work/out")" -gt 1 ]; then bad=1; fi
  if [ -n "$bad" ]; then
    fail "$name (status $status): $(head -n 2 "$work/err")"
  else
    echo "ok   $name: $(head -n 1 "$work/err")"
  fi
}
: >"$work/empty.avi"
# Seeded, so that the bytes are the same every run (some random bytes do
# decode as a frame).
/usr/bin/python3 -c 'import random, sys; r = random.Random(7); sys.stdout.buffer.write(bytes(r.randrange(256) for _ in range(20000)))' >"$work/noise.avi"
mkdir "$work/dir.avi"
# What is no video is refused by the program itself: nothing but its own
# lines reaches the console (no video back end's messages).
cp "$0" "$work/script.avi"
for f in "$work/noise.avi" "$work/empty.avi" "$work/dir.avi" "$work/script.avi"; do
  timeout 60 "$bin" "$f" >/dev/null 2>"$work/err"
  if grep -qv '^Placetrace: ' "$work/err"; then
    fail "not a video, $f: other lines on the console: $(grep -v '^Placetrace: ' "$work/err" | head -n 2)"
  fi
done
check_bad 2 "no argument"
check_bad "a missing file" "$work/missing.avi"
check_bad "an empty file" "$work/empty.avi"
check_bad "random bytes" "$work/noise.avi"
check_bad "a directory" "$work/dir.avi"
check_bad 2 "--frames without a number" "$video" --frames
check_bad 2 "--frames 0" "$video" --frames 0
for t in 1.5 -0.1 abc nan inf 0.5x ""; do
  check_bad 2 "--threshold '$t'" --threshold "$t" "$video"
done
check_bad 2 "--threshold without a number" "$video" --threshold
check_bad 2 "--places without a file" "$video" --places
for n in 0 -1 x 257 ""; do
  check_bad 2 "--threads '$n'" --threads "$n" "$video"
done
check_bad 2 "--threads without a number" "$video" --threads
printf '%s\t0\thall\n' "$video" >"$work/good_truth"
printf '%s 0 hall\n' "$video" >"$work/spaces_truth"
printf '%s\tzero\thall\n' "$video" >"$work/word_truth"
printf '%s\t0\thall\n%s\t0\thall\n' "$video" "$video" >"$work/twice_truth"
check_bad 2 "a missing truth file" --truth "$work/missing_truth" "$video"
check_bad 2 "a truth file that is not tab-separated" --truth "$work/spaces_truth" "$video"
check_bad 2 "a truth frame that is not a number" --truth "$work/word_truth" "$video"
check_bad 2 "a truth line given twice" --truth "$work/twice_truth" "$video"
check_bad 2 "a truth file that is a directory" --truth "$work" "$video"
check_bad 2 "--sweep without --truth" --sweep "$work/s" "$video"
check_bad 2 "--plot without --truth" --plot "$work/p.png" "$video"
check_bad 2 "--truth without a file" "$video" --truth
check_bad 2 "an unknown option" --frame 5 "$video"
check_bad 2 "a video name with a tab" "$work/a"$'\t'"b.avi"
check_bad 2 "a video name with a line break" "$work/a"$'\n'"b.avi"
timeout 10 "$bin" --help >"$work/out" 2>&1 && grep -q '^usage: Placetrace \[--places FILE\]' "$work/out" \
  || fail "--help"

# An output option that names an input (by name, symbolic or hard link) is a
# usage error before anything runs, and every input keeps its bytes.
cp "$video" "$work/v.avi"
printf '%s\t0\thall\n' "$work/v.avi" >"$work/t.tsv"
timeout 60 "$bin" --places "$work/m.map" --frames 3 "$work/v.avi" >/dev/null 2>&1 || fail "making a map"
ln -s "$work/m.map" "$work/m.link"
ln "$work/t.tsv" "$work/t.hard"
sums() { md5sum "$work/v.avi" "$work/t.tsv" "$work/m.map"; }
before=$(sums)
for args in "--sweep $work/m.map" "--plot $work/m.link" "--sweep $work/t.hard" "--plot $work/v.avi" \
  "--sweep $work/s.tsv --plot $work/s.tsv"; do
  # shellcheck disable=SC2086
  check_bad 2 "an output that is an input: $args" --places "$work/m.map" --truth "$work/t.tsv" \
    $args "$work/v.avi"
  [ "$(sums)" = "$before" ] || fail "$args changed an input"
done

# A file cut short decodes fewer frames than its header claims: the trace
# goes as far as the file does, and says so.
"$video_tool" "$work/whole.avi" 40 || fail "cannot make a 40-frame video"
head -c $(($(stat -c %s "$work/whole.avi") / 2)) "$work/whole.avi" >"$work/cut.avi"
timeout 60 "$bin" "$work/cut.avi" >"$work/cut" 2>"$work/cut.err"
cut_lines=$(($(wc -l <"$work/cut") - 1))
if [ "$cut_lines" -gt 0 ] && [ "$cut_lines" -lt 40 ] \
  && grep -q "^Placetrace: $work/cut.avi: $cut_lines frames could be decoded of the 40 its header claims$" "$work/cut.err"; then
  echo "ok   a file cut short: $(head -n 1 "$work/cut.err")"
else
  fail "a file cut short: $cut_lines lines, $(cat "$work/cut.err")"
fi
timeout 60 "$bin" --frames 5 "$work/whole.avi" 2>&1 >/dev/null | grep -q "could be decoded" \
  && fail "--frames 5 of a whole file was taken for a file cut short"

echo "$failures failed"
[ "$failures" = 0 ]
