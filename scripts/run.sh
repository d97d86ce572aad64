#!/usr/bin/env bash
# The main job: builds the programs and plays the sample video
# data/Megamind.avi in Placefinder's window (any key ends it). Where no
# display can be reached it runs Placetrace over the same video instead,
# prints its summary, and says how to see the window.
#
#   scripts/run.sh [VIDEO]
set -euo pipefail
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;; esac
root=$(cd "$(dirname "$0")/.." && pwd)
video=${1:-$root/data/Megamind.avi}
build=$root/build
jobs=${JOBS:-2}

[ -s "$video" ] || { echo "run.sh: $video is missing (scripts/setup.sh fetches the samples)" >&2; exit 1; }
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$jobs" --target Placefinder Placetrace >/dev/null

display_ok=
if [ -n "${DISPLAY:-}" ] && command -v xdpyinfo >/dev/null 2>&1; then
  xdpyinfo >/dev/null 2>&1 && display_ok=1
elif [ -n "${DISPLAY:-}" ]; then
  display_ok=1  # no way to ask; Placefinder checks it itself
fi

if [ -n "$display_ok" ]; then
  echo "run.sh: playing $video in the window \"Result\"; press any key in it to stop."
  exec "$build/apps/placefinder/Placefinder" "$video"
fi

echo "run.sh: no display here, so the window cannot be shown."
echo "run.sh: running Placetrace over $video instead (one line per frame in $build/placetrace.tsv):"
"$build/apps/placetrace/Placetrace" "$video" >"$build/placetrace.tsv"
echo
head -n 4 "$build/placetrace.tsv" | cut -c 1-120
echo "..."
echo
echo "To see the window, run on a machine with a display:"
echo "  $build/apps/placefinder/Placefinder $video"
echo "or on a virtual display, with a screenshot to look at:"
echo "  bash scripts/screenshot.sh docs/placefinder.png"
