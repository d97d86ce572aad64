#!/usr/bin/env bash
# Builds the revisit benchmark from the sample videos and evaluates Placetrace
# and the bag-of-words baseline (revisit/BowBaseline) on it. The map
# recordings are data/tree.avi, data/Megamind.avi and data/vtest.avi as they
# are; the query recordings are each of them re-rendered once per change a
# camera meets on a second visit (brighter by 30 %, darker by 30 %, blurred,
# noisy, recompressed, shifted by a few pixels; see revisit/Rerender.cpp),
# written to data/revisit/. A place is one shot of one recording: the frames
# between two cuts, found by `Rerender --shots` (a cut is a jump of the mean
# gray difference between consecutive frames; a steady camera's recording is
# one shot). Frame i of a video and frame i of each of its re-renderings show
# place "VIDEO#s", s the shot of frame i. The ground truth
# (data/revisit/truth.tsv) lists every frame of every recording: the shot
# list has a line per frame of the original, and each re-rendering is checked
# to hold exactly as many frames (the run stops when one does not).
# Placetrace (with its default options and with --precise), then the
# baseline, run over the maps followed by the queries in one collection, with
# the same truth. Both also run their query mode: Placetrace searches a map
# its run over the map recordings made (--query --top 10), the baseline a
# database of every frame of the map recordings; neither stores a query frame.
#
#   scripts/revisit_benchmark.sh [OUT_DIR]     default: docs/
#
# Writes OUT_DIR/revisit_sweep.tsv and OUT_DIR/revisit_pr.png (Placetrace's
# threshold table and precision-recall curve), OUT_DIR/revisit_precise_sweep.tsv
# (the same with --precise) and OUT_DIR/revisit_bow_sweep.tsv (the baseline's
# table); the baseline's vocabulary is cached in
# data/revisit/bow_vocabulary.yml. Prints both systems' evaluation lines and
# their best F1, recall at 100 % precision and time a frame.
set -euo pipefail
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;; esac
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs}
build=$root/build
changes=(brighter darker blur noise recompress shift)
maps=(tree Megamind vtest)
me=revisit_benchmark.sh

cd "$root"
for video in "${maps[@]}"; do
  [ -s "data/$video.avi" ] || { echo "$me: data/$video.avi is missing (scripts/setup.sh fetches it)" >&2; exit 1; }
done
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target Placetrace Rerender BowBaseline >/dev/null
rerender=$build/revisit/Rerender
mkdir -p data/revisit "$out"

truth=data/revisit/truth.tsv
: >"$truth"
queries=()
map_files=()
# Frame i of FILE, a recording of VIDEO, shows place VIDEO#s, s the shot of
# frame i of VIDEO in SHOTS (one shot number a line, one line a frame).
add_truth() {  # FILE VIDEO SHOTS
  awk -v file="$1" -v video="$2" '{ printf "%s\t%d\t%s#%d\n", file, NR - 1, video, $1 }' "$3" >>"$truth"
}
for video in "${maps[@]}"; do
  shots=data/revisit/$video.shots
  "$rerender" --shots "data/$video.avi" >"$shots"
  frames=$(wc -l <"$shots")
  add_truth "data/$video.avi" "$video" "$shots"
  map_files+=("data/$video.avi")
  for change in "${changes[@]}"; do
    query=data/revisit/${video}_$change.avi
    [ -s "$query" ] || "$rerender" "data/$video.avi" "$query" "$change" >/dev/null
    # A re-rendering made by an earlier run, or by an older Rerender, may be
    # short; its truth would then name frames it does not have.
    got=$("$rerender" --frames "$query")
    if [ "$got" != "$frames" ]; then
      echo "$me: $query has $got frames where data/$video.avi has $frames;" \
        "remove it and run again to re-render it" >&2
      exit 1
    fi
    add_truth "$query" "$video" "$shots"
    queries+=("$query")
  done
done
total=$(wc -l <"$truth")

# Each program's summary names every video with its frame count; a count
# that differs from the truth's means the program read other frames.
check_frames() {  # PROGRAM LOG
  local bad
  bad=$(awk -F'\t' 'NR == FNR { n[$1]++; next }
    match($0, /^[A-Za-z]+: ([^:]+): ([0-9]+) frames/) {
      line = substr($0, RSTART, RLENGTH); sub(/^[A-Za-z]+: /, "", line)
      split(line, part, ": "); sub(/ frames$/, "", part[2])
      if (part[1] in n) { seen[part[1]] = 1; if (part[2] != n[part[1]]) print part[1] " " part[2] " " n[part[1]] }
    }
    END { for (v in n) if (!(v in seen)) print v " none " n[v] }' "$truth" "$2")
  if [ -n "$bad" ]; then
    echo "$me: $1 read other frames than the truth lists (video, frames read, frames in the truth):" >&2
    echo "$bad" >&2
    exit 1
  fi
}

trace_log=data/revisit/placetrace.log
"$build/apps/placetrace/Placetrace" --truth "$truth" --sweep "$out/revisit_sweep.tsv" \
  --plot "$out/revisit_pr.png" "${map_files[@]}" "${queries[@]}" 2>"$trace_log" >/dev/null
check_frames Placetrace "$trace_log"
echo "Placetrace:"
grep -E '^(evaluation|recall at)' "$trace_log" | sed 's/^/  /'
precise_log=data/revisit/placetrace_precise.log
"$build/apps/placetrace/Placetrace" --precise --truth "$truth" --sweep "$out/revisit_precise_sweep.tsv" \
  "${map_files[@]}" "${queries[@]}" 2>"$precise_log" >/dev/null
check_frames Placetrace "$precise_log"
echo "Placetrace --precise:"
grep -E '^(evaluation|recall at)' "$precise_log" | sed 's/^/  /'
# Query mode: a map of the map recordings, searched by the queries.
query_recall() {  # LOG OPTION...
  local log=$1 map=data/revisit/query.map
  shift
  rm -f "$map"
  "$build/apps/placetrace/Placetrace" "$@" --places "$map" "${map_files[@]}" >/dev/null 2>"$log"
  "$build/apps/placetrace/Placetrace" "$@" --places "$map" --query --top 10 --truth "$truth" \
    "${queries[@]}" >/dev/null 2>>"$log"
  sed -n 's/^recall@1: \([^ ]*\) recall@5: \([^ ]*\) .*/\1 \/ \2/p' "$log"
}
trace_query=$(query_recall data/revisit/placetrace_query.log)
precise_query=$(query_recall data/revisit/placetrace_precise_query.log --precise)

bow_args=(--truth "$truth" --vocabulary data/revisit/bow_vocabulary.yml)
for map in "${map_files[@]}"; do bow_args+=(--map "$map"); done
bow_log=data/revisit/bow.log
bow_out=data/revisit/bow.out
"$build/revisit/BowBaseline" "${bow_args[@]}" --sweep "$out/revisit_bow_sweep.tsv" \
  "${queries[@]}" >"$bow_out" 2>"$bow_log" || { cat "$bow_log" >&2; exit 1; }
check_frames BowBaseline "$bow_log"
"$build/revisit/BowBaseline" "${bow_args[@]}" --query "${queries[@]}" >>"$bow_out" 2>>"$bow_log" ||
  { cat "$bow_log" >&2; exit 1; }
echo "BowBaseline:"
sed 's/^/  /' "$bow_out"

# Best F1 of a sweep table: the first highest, with its threshold.
best_f1() { awk -F'\t' 'NR > 1 && $8 != "nan" && $8 > best { best = $8; at = $1 } END { if (at == "") print "none"; else print best " (threshold " at ")" }' "$1"; }
full_precision() { sed -n 's/^recall at 100% precision: //p' "$1" | head -n 1; }
trace_fps=$(sed -n 's/^Placetrace: total: .*, \([0-9.]*\) frames per second$/\1/p' "$trace_log")
trace_ms=$(awk -v f="$trace_fps" 'BEGIN { printf "%.3f", (f > 0 ? 1000 / f : 0) }')
bow_ms=$(sed -n 's/^time a frame: \([0-9.]*\) ms.*/\1/p' "$bow_out" | head -n 1)
precise_fps=$(sed -n 's/^Placetrace: total: .*, \([0-9.]*\) frames per second$/\1/p' "$precise_log")
precise_ms=$(awk -v f="$precise_fps" 'BEGIN { printf "%.3f", (f > 0 ? 1000 / f : 0) }')
bow_query=$(sed -n 's/^recall@1: \([^ ]*\) recall@5: \([^ ]*\) .*/\1 \/ \2/p' "$bow_out")
echo
echo "$total frames, maps then queries in one collection:"
printf '%-22s %-28s %-44s %-18s %s\n' system "best F1" "recall at 100% precision" \
  "query recall@1/5" "time a frame"
printf '%-22s %-28s %-44s %-18s %s\n' Placetrace "$(best_f1 "$out/revisit_sweep.tsv")" \
  "$(full_precision "$trace_log")" "$trace_query" "$trace_ms ms (1 / its frames per second: decoding, detection on its default threads, the run and its 70-threshold sweep)"
printf '%-22s %-28s %-44s %-18s %s\n' "Placetrace --precise" "$(best_f1 "$out/revisit_precise_sweep.tsv")" \
  "$(full_precision "$precise_log")" "$precise_query" "$precise_ms ms (the same, with --precise)"
printf '%-22s %-28s %-44s %-18s %s\n' BowBaseline "$(best_f1 "$out/revisit_bow_sweep.tsv")" \
  "$(full_precision "$bow_out")" "$bow_query" "$bow_ms ms (ORB + quantisation + search at one threshold)"
echo "tables: $out/revisit_sweep.tsv, $out/revisit_precise_sweep.tsv, $out/revisit_bow_sweep.tsv; curve: $out/revisit_pr.png"
