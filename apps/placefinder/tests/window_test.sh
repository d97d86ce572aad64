#!/usr/bin/env bash
# Plays videos in Placefinder on a virtual display of its own, presses keys
# until the program ends, and checks what it printed and wrote:
#  1. with "/w": status 0, one position line per shown frame, and an output
#     video with exactly as many frames;
#  2. a video shorter than the run: playback restarts at 00:00:00.000.
# Everything runs under time limits, so a hang fails the test instead of
# stalling it.
#
#   window_test.sh PLACEFINDER MAKETESTVIDEO
set -u
bin=$1
video_tool=$2
. "$(dirname "$0")/window_session.sh"
cd "$work" || exit 1

# play VIDEO MIN_FRAMES ARGS...: runs Placefinder until it has shown at least
# MIN_FRAMES frames, then presses keys in its window until it ends. Sets
# $status and leaves its output in out and err.
play() {
  local video=$1 min_frames=$2
  shift 2
  timeout 120 "$bin" "$video" "$@" >"$work/out" 2>"$work/err" &
  app_pid=$!
  local deadline=$((SECONDS + 60))
  while [ "$(position_lines "$work/out")" -lt "$min_frames" ] && kill -0 "$app_pid" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || break
    sleep 0.1
  done
  press_keys_until_exit "$app_pid"
  app_pid=
}

start_display
"$video_tool" clip.avi 300 || exit 1
"$video_tool" short.avi 12 || exit 1

play clip.avi 40 /w
shown=$(position_lines out)
[ "$status" = 0 ] || fail "status $status after a key, expected 0"
[ "$shown" -ge 40 ] || fail "only $shown position lines"
if [ -f clip_out.avi ]; then
  written=$("$video_tool" --count clip_out.avi)
  [ "$written" = "$shown" ] || fail "$shown frames shown but $written written"
else
  fail "clip_out.avi was not written"
fi
grep -v '^Warning: codec cvid is not available, writing clip_out.avi with codec MJPG.$' err \
  | grep -q . && fail "unexpected standard error: $(head -n 3 err)"
[ "$(head -n 1 out)" = "Processing avi file..." ] || fail "first line: $(head -n 1 out)"
grep -v -e '^Processing avi file\.\.\.$' -e '^==> film current position: [0-9:.]*$' out \
  | grep -q . && fail "unexpected standard output: $(grep -v '^==> film' out | head -n 3)"
echo "ok   played $shown frames with writing, wrote ${written:-none}"

play short.avi 30
restarts=$(grep -c '^==> film current position: 00:00:00.000$' out)
[ "$status" = 0 ] || fail "status $status in the rewind run"
[ "$restarts" -ge 2 ] || fail "no rewind seen: $restarts lines at 00:00:00.000 in $(position_lines out)"
[ -e short_out.avi ] && fail "short_out.avi written without /w"
echo "ok   rewound: $restarts starts in $(position_lines out) frames"

echo "$failures failed"
[ "$failures" = 0 ]
