#!/usr/bin/env bash
# Builds the revisit benchmark from the sample videos and evaluates Placetrace
# on it. The map recordings are data/tree.avi, data/Megamind.avi and
# data/vtest.avi as they are; the query recordings are each of them
# re-rendered once per change a camera meets on a second visit (brighter by
# 30 %, darker by 30 %, blurred, noisy, recompressed, shifted by a few pixels;
# see eval/Rerender.cpp), written to data/revisit/. A place is one shot of one
# recording: the frames between two cuts, found by `Rerender --shots` (a cut
# is a jump of the mean gray difference between consecutive frames; a steady
# camera's recording is one shot). Frame i of a video and frame i of each of
# its re-renderings show place "VIDEO#s", s the shot of frame i. The ground
# truth (data/revisit/truth.tsv) lists every frame of every recording.
# Placetrace then runs over the maps followed by the queries in one
# collection, with --truth, --sweep and --plot.
#
#   scripts/revisit_benchmark.sh [OUT_DIR]     default: docs/
#
# Writes OUT_DIR/revisit_sweep.tsv (the threshold table) and
# OUT_DIR/revisit_pr.png (the precision-recall curve), and prints Placetrace's
# evaluation lines.
set -euo pipefail
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;; esac
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs}
build=$root/build
changes=(brighter darker blur noise recompress shift)
maps=(tree Megamind vtest)

cd "$root"
for video in "${maps[@]}"; do
  [ -s "data/$video.avi" ] || { echo "revisit_benchmark.sh: data/$video.avi is missing (scripts/setup.sh fetches it)" >&2; exit 1; }
done
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target Placetrace Rerender >/dev/null
mkdir -p data/revisit "$out"

truth=data/revisit/truth.tsv
: >"$truth"
queries=()
# Frame i of FILE, a recording of VIDEO, shows place VIDEO#s, s the shot of
# frame i of VIDEO in SHOTS (one shot number a line).
add_truth() {  # FILE VIDEO SHOTS
  local frames
  frames=$("$build/apps/placetrace/Placetrace" "$1" 2>/dev/null | tail -n +2 | wc -l)
  awk -v file="$1" -v video="$2" -v n="$frames" \
    '{ shot[NR - 1] = $1 } END { for (i = 0; i < n; ++i) printf "%s\t%d\t%s#%d\n", file, i, video, shot[i] }' \
    "$3" >>"$truth"
}
for video in "${maps[@]}"; do
  shots=data/revisit/$video.shots
  "$build/eval/Rerender" --shots "data/$video.avi" >"$shots"
  add_truth "data/$video.avi" "$video" "$shots"
  for change in "${changes[@]}"; do
    query=data/revisit/${video}_$change.avi
    [ -s "$query" ] || "$build/eval/Rerender" "data/$video.avi" "$query" "$change" >/dev/null
    add_truth "$query" "$video" "$shots"
    queries+=("$query")
  done
done

"$build/apps/placetrace/Placetrace" --truth "$truth" --sweep "$out/revisit_sweep.tsv" \
  --plot "$out/revisit_pr.png" data/tree.avi data/Megamind.avi data/vtest.avi "${queries[@]}" \
  2>&1 >/dev/null | grep -E '^(evaluation|recall at)'
echo "table: $out/revisit_sweep.tsv, curve: $out/revisit_pr.png"
