#!/usr/bin/env bash
# Builds the revisit benchmark from the sample videos and evaluates Placetrace
# on it. The map recordings are data/tree.avi, data/Megamind.avi and
# data/vtest.avi as they are; the query recordings are each of them
# re-rendered once per change a camera meets on a second visit (brighter by
# 30 %, darker by 30 %, blurred, noisy, recompressed, shifted by a few pixels;
# see eval/Rerender.cpp), written to data/revisit/. A place is a stretch of
# SECONDS_PER_PLACE seconds (default 1) of one recording: frame i of a video,
# and frame i of each of its re-renderings, show place "VIDEO#k" with
# k = floor(i / frames per place). The ground truth (data/revisit/truth.tsv)
# lists every frame of every recording. Placetrace then runs over the maps
# followed by the queries in one collection, with --truth, --sweep and --plot.
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
seconds_per_place=${SECONDS_PER_PLACE:-1}
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
# Frame i of a recording of VIDEO at FPS frames per second shows place VIDEO#k.
add_truth() {  # FILE VIDEO FPS
  local frames
  frames=$("$build/apps/placetrace/Placetrace" "$1" 2>/dev/null | tail -n +2 | wc -l)
  awk -v file="$1" -v video="$2" -v n="$frames" -v per="$3" \
    'BEGIN { for (i = 0; i < n; ++i) printf "%s\t%d\t%s#%d\n", file, i, video, int(i / per) }' >>"$truth"
}
for video in "${maps[@]}"; do
  fps=$("$build/eval/Rerender" --fps "data/$video.avi")
  per=$(awk -v f="$fps" -v s="$seconds_per_place" 'BEGIN { p = int(f * s + 0.5); print p < 1 ? 1 : p }')
  add_truth "data/$video.avi" "$video" "$per"
  for change in "${changes[@]}"; do
    query=data/revisit/${video}_$change.avi
    [ -s "$query" ] || "$build/eval/Rerender" "data/$video.avi" "$query" "$change" >/dev/null
    add_truth "$query" "$video" "$per"
    queries+=("$query")
  done
done

"$build/apps/placetrace/Placetrace" --truth "$truth" --sweep "$out/revisit_sweep.tsv" \
  --plot "$out/revisit_pr.png" data/tree.avi data/Megamind.avi data/vtest.avi "${queries[@]}" \
  2>&1 >/dev/null | grep -E '^(evaluation|recall at)'
echo "table: $out/revisit_sweep.tsv, curve: $out/revisit_pr.png"
