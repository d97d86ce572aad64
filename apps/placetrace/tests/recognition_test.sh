#!/usr/bin/env bash
# Checks Placetrace's recognition options end to end on tree.avi:
#   - --query searches a map and leaves it byte for byte as it was; --top adds
#     the ranked places, and --truth the recall@N line;
#   - a map keeps the width and the grid (--cells) it was made with and
#     refuses others;
#   - --min-detections leaves frames of too few boxes unrecognised and
#     unrecorded;
#   - options given wrongly are usage errors (status 2).
#
#   recognition_test.sh PLACETRACE TREE_AVI
set -u
bin=$1
video=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}
trace() { timeout 300 "$bin" "$@"; }

# --- Query mode over a map made at width 320.
map=$work/tree.map
trace --places "$map" --width 320 --frames 30 "$video" >/dev/null 2>"$work/err" || fail "making the map: $(cat "$work/err")"
cp "$map" "$work/before.map"
awk 'BEGIN { for (i = 0; i < 68; ++i) printf "'"$video"'\t%d\ttree\n", i }' >"$work/truth.tsv"
trace --places "$map" --query --top 5 --truth "$work/truth.tsv" "$video" >"$work/query" 2>"$work/err" \
  || fail "query run: status $? $(cat "$work/err")"
cmp -s "$map" "$work/before.map" || fail "--query changed the map"
head -n 1 "$work/query" | grep -q $'\tids\ttop$' || fail "--top: no column top in $(head -n 1 "$work/query")"
awk -F'\t' 'NR > 1 && ($7 != "-" || $10 !~ /^[0-9]+:[01]\.[0-9][0-9][0-9][0-9][0-9][0-9](,[0-9]+:[01]\.[0-9]+)*$/) { bad = 1 }
  END { exit bad }' "$work/query" || fail "--query recorded a frame or printed a bad top column"
grep -q '^recall@1: [01]\.[0-9]\{4\} recall@5: [01]\.[0-9]\{4\}$' "$work/err" \
  || fail "no recall line: $(cat "$work/err")"
trace --places "$work/missing.map" --query "$video" >/dev/null 2>"$work/err"
[ $? = 1 ] && [ ! -e "$work/missing.map" ] || fail "--query on a missing map: $(cat "$work/err")"
[ "$failures" = 0 ] && echo "ok   query mode leaves the map as it was"

# --- A map keeps its width.
before=$failures
trace --places "$map" --width 640 --frames 1 "$video" >/dev/null 2>"$work/err"
[ $? = 1 ] && grep -q 'made with frames 320 pixels wide, not 640' "$work/err" || fail "another width: $(cat "$work/err")"
cmp -s "$map" "$work/before.map" || fail "a refused width changed the map"
trace --width 320 --frames 5 "$video" 2>/dev/null | cut -f 4,5 >"$work/fresh"
cp "$map" "$work/again.map"
trace --places "$work/again.map" --frames 5 "$video" 2>/dev/null | cut -f 4,5 >"$work/kept"
cmp -s "$work/fresh" "$work/kept" || fail "a run without --width does not detect at the map's width"
[ "$failures" = "$before" ] && echo "ok   a map keeps its width"

# --- A map keeps its grid.
before=$failures
grid=$work/grid.map
trace --places "$grid" --cells 6 --frames 10 "$video" >/dev/null 2>"$work/err" || fail "making the grid map: $(cat "$work/err")"
cp "$grid" "$work/grid.before"
trace --places "$grid" --cells 2 --frames 1 "$video" >/dev/null 2>"$work/err"
[ $? = 1 ] && grep -q 'made with boxes counted over a 6 x 6 grid, not over a 2 x 2 grid' "$work/err" \
  || fail "another grid: $(cat "$work/err")"
cmp -s "$grid" "$work/grid.before" || fail "a refused grid changed the map"
trace --places "$map" --cells 6 --frames 1 "$video" >/dev/null 2>"$work/err"
[ $? = 1 ] && grep -q 'made with boxes counted over the whole frame, not over a 6 x 6 grid' "$work/err" \
  || fail "a grid asked of a map without one: $(cat "$work/err")"
trace --cells 6 --frames 5 "$video" 2>/dev/null | cut -f 4,5 >"$work/fresh"
trace --frames 5 "$video" 2>/dev/null | cut -f 4,5 >"$work/whole"
trace --places "$grid" --frames 5 "$video" 2>/dev/null | cut -f 4,5 >"$work/kept"
cmp -s "$work/fresh" "$work/kept" || fail "a run without --cells does not count over the map's grid"
cmp -s "$work/fresh" "$work/whole" && fail "a grid of 6 x 6 gives the runs of the whole frame"
[ "$failures" = "$before" ] && echo "ok   a map keeps its grid"

# --- Frames of too few boxes carry no place.
before=$failures
trace --min-detections 1000000 --frames 5 "$video" 2>"$work/err" | tail -n +2 |
  awk -F'\t' '$6 != "-" || $7 != "-" { bad = 1 } END { exit bad }' || fail "--min-detections stored a frame"
grep -q '^Placetrace: 5 frames with too few detections' "$work/err" || fail "no count of blank frames: $(cat "$work/err")"
[ "$failures" = "$before" ] && echo "ok   frames of too few boxes carry no place"

# --- Usage errors.
before=$failures
for args in "--top 3" "--query" "--width 0" "--width x" "--consistent 0" "--min-detections -1" \
  "--places $map --query --top 0" "--cells 0" "--cells 7" "--cells x" "--follow 1.5" "--follow x"; do
  # shellcheck disable=SC2086
  trace $args "$video" >/dev/null 2>&1
  [ $? = 2 ] || fail "$args is not a usage error"
done
[ "$failures" = "$before" ] && echo "ok   usage errors"
echo "$failures failed"
[ "$failures" = 0 ]
