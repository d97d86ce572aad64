#!/usr/bin/env bash
# Takes a screenshot of Placefinder's window playing a video on a virtual
# display of its own, after a number of frames, and saves it as a PNG.
# Needs Xvfb and xdotool (scripts/setup.sh installs them) and ImageMagick's
# `import` and `convert` (apt-get install imagemagick).
#
#   scripts/screenshot.sh [OUT.png [VIDEO [FRAMES]]]
#   defaults: docs/placefinder.png, data/Megamind.avi, 120
set -euo pipefail
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;; esac
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/placefinder.png}
video=${2:-$root/data/Megamind.avi}
frames=${3:-120}
bin=$root/build/apps/placefinder/Placefinder
for tool in Xvfb xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "screenshot.sh: $tool is missing" >&2; exit 1; }
done
[ -x "$bin" ] || cmake --build "$root/build" --target Placefinder -j2 >/dev/null

work=$(mktemp -d)
xvfb_pid=
app_pid=
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 5 -screen 0 1920x1200x24 -nolisten tcp 5>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$work/display")"

"$bin" "$video" >"$work/out" 2>&1 &
app_pid=$!
deadline=$((SECONDS + 120))
while [ "$(grep -c '^==> film' "$work/out" || true)" -lt "$frames" ]; do
  kill -0 "$app_pid" 2>/dev/null || { echo "screenshot.sh: Placefinder ended:"; cat "$work/out"; exit 1; }
  [ $SECONDS -lt $deadline ] || { echo "screenshot.sh: timed out" >&2; exit 1; }
  sleep 0.05
done
# Stop the picture on the frame reached: the program waits while stopped.
kill -STOP "$app_pid"
window=$(xdotool search --name '^Result$' | head -n 1)
import -window "$window" "$work/shot.png"
kill -CONT "$app_pid"
xdotool windowfocus --sync "$window" key --window "$window" space || true
# A 64-colour palette keeps the file small; labels and text stay sharp.
mkdir -p "$(dirname "$out")"
convert "$work/shot.png" -dither None -colors 64 -strip "PNG8:$out"
wait "$app_pid" || true
app_pid=
echo "screenshot.sh: $out ($(stat -c %s "$out") bytes) after $frames frames"
