#!/usr/bin/env bash
# Times Placetrace over a whole video side by side with a pass that decodes the
# same video, flips and grays each frame and extracts 500 ORB features, both
# as whole processes, unpinned (each may use every core it is given), several
# times in alternation. Prints the median wall time of each and their ratio.
# PLACETRACE_ARGS adds options to Placetrace's command line (--threads 1, say).
#
#   scripts/compare_orb.sh [VIDEO [RUNS]]     defaults: data/Megamind.avi, 5
set -euo pipefail
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;; esac
root=$(cd "$(dirname "$0")/.." && pwd)
video=${1:-$root/data/Megamind.avi}
runs=${2:-5}
build=$root/build
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target Placetrace orb_pass >/dev/null

seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", e - s }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", v[int((NR + 1) / 2)] }'; }

: >"$build/trace.times"
: >"$build/orb.times"
for _ in $(seq "$runs"); do
  # shellcheck disable=SC2086  # the options are meant to split into words
  seconds "$build/apps/placetrace/Placetrace" ${PLACETRACE_ARGS:-} "$video" >>"$build/trace.times"
  seconds "$build/bench/orb_pass" "$video" >>"$build/orb.times"
done
frames=$("$build/apps/placetrace/Placetrace" "$video" 2>/dev/null | tail -n +2 | wc -l)
trace=$(median <"$build/trace.times")
orb=$(median <"$build/orb.times")
echo "video: $video ($frames frames), $runs runs each, median wall time:"
echo "  Placetrace (decode, flip, gray, detect, recognise):   $trace s"
echo "  decode + flip + gray + ORB(500):                       $orb s"
awk -v t="$trace" -v o="$orb" 'BEGIN { printf "  Placetrace takes %.2f times the time of the ORB pass\n", t / o }'
