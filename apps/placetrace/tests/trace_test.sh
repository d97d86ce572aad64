#!/usr/bin/env bash
# Checks Placetrace on a real video (data/tree.avi): one line per decoded
# frame after the header; the first frame records location 0; a recognised
# frame records nothing; recorded indices count up from 0 without gaps; two
# runs print the same. Also checks its answers to bad command lines.
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

header=$'frame\tposition_ms\tdetections\truns\tlocation\tnew_location\tids'
[ "$(head -n 1 "$work/first")" = "$header" ] || fail "header: $(head -n 1 "$work/first")"
decoded=$("$video_tool" --count "$video")
lines=$(($(wc -l <"$work/first") - 1))
[ "$lines" = "$decoded" ] || fail "$lines lines for $decoded decoded frames"

# Column checks in awk: frame numbers, the first frame, recognised frames
# recording nothing, and recorded indices counting up without gaps.
awk -F'\t' 'NR == 1 { next }
  { f = NR - 2
    if ($1 != f) { print "frame column " $1 " on line " NR; bad = 1 }
    if ($5 == "-" && $6 == "-") { print "frame " f " neither recognised nor recorded"; bad = 1 }
    if ($5 != "-" && $6 != "-") { print "frame " f " recognised and recorded"; bad = 1 }
    if (f == 0 && ($6 != "0" || $5 != "-")) { print "the first frame does not record location 0"; bad = 1 }
    if ($6 != "-") { if ($6 != next_index) { print "frame " f " records " $6 ", expected " next_index; bad = 1 } next_index++ }
    if ($5 != "-" && $5 >= next_index) { print "frame " f " recognises unknown location " $5; bad = 1 }
    if ($3 == 0 && $4 != 0) { print "frame " f " has runs without detections"; bad = 1 }
  }
  BEGIN { next_index = 0 }
  END { exit bad }' "$work/first" || fail "column invariants"
grep -q "^Placetrace: $decoded frames, " "$work/first.err" || fail "summary: $(cat "$work/first.err")"
echo "ok   $decoded frames of $video: $(tail -n 1 "$work/first.err")"

timeout 60 "$bin" "$video" --frames 5 >"$work/five" 2>/dev/null || fail "--frames 5 status $?"
head -n 6 "$work/first" | cmp -s - "$work/five" || fail "--frames 5 differs from the first 5 lines of a full run"
echo "ok   --frames 5"

# check_bad NAME ARGS...: a clear message on standard error, status non-zero,
# nothing but the header (or nothing) on standard output.
check_bad() {
  local name=$1
  shift
  timeout 60 "$bin" "$@" >"$work/out" 2>"$work/err"
  local status=$?
  if [ "$status" = 0 ] || [ "$status" -ge 124 ] || ! grep -q '^Placetrace: ' "$work/err" \
    || [ "$(wc -l <"$work/out")" -gt 1 ]; then
    fail "$name (status $status): $(head -n 2 "$work/err")"
  else
    echo "ok   $name: $(head -n 1 "$work/err")"
  fi
}
: >"$work/empty.avi"
head -c 20000 /dev/urandom >"$work/noise.avi"
mkdir "$work/dir.avi"
check_bad "no argument"
check_bad "a missing file" "$work/missing.avi"
check_bad "an empty file" "$work/empty.avi"
check_bad "random bytes" "$work/noise.avi"
check_bad "a directory" "$work/dir.avi"
check_bad "--frames without a number" "$video" --frames
check_bad "--frames 0" "$video" --frames 0
check_bad "two videos" "$video" "$video"
timeout 10 "$bin" --help >"$work/out" 2>&1 && grep -q '^usage: Placetrace VIDEO' "$work/out" \
  || fail "--help"

echo "$failures failed"
[ "$failures" = 0 ]
