#!/usr/bin/env bash
# Plays a real video three times round in Placefinder (two rewinds) with
# writing on, on a virtual display of its own, then presses a key. Checks the
# exit status, that the output video holds every shown frame, and reports the
# peak resident memory after the first round and at the end.
#
#   long_run_test.sh PLACEFINDER VIDEOTOOL VIDEO
set -u
bin=$1
video_tool=$2
video=$3
. "$(dirname "$0")/window_session.sh"
[ -s "$video" ] || { echo "FAIL $video is missing: run scripts/setup.sh"; exit 1; }
cp "$video" "$work/round.avi"
cd "$work" || exit 1
start_display

per_round=$("$video_tool" --count round.avi)
starts() { grep -c '^==> film current position: 00:00:00.000$' out 2>/dev/null || true; }
lines() { grep -c '^==> film current position: ' out 2>/dev/null || true; }
# The program runs as the child of `timeout`.
peak_kb() {
  local child
  child=$(cat "/proc/$app_pid/task/$app_pid/children" 2>/dev/null | awk '{ print $1 }')
  [ -n "$child" ] && awk '/^VmHWM:/ { print $2 }' "/proc/$child/status" 2>/dev/null
}

timeout 600 "$bin" round.avi /w >out 2>err &
app_pid=$!
deadline=$((SECONDS + 300))
peak_one=
# Round n has begun when the n-th line at 00:00:00.000 is printed.
while kill -0 "$app_pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
  [ -z "$peak_one" ] && [ "$(starts)" -ge 2 ] && peak_one=$(peak_kb)
  [ "$(lines)" -ge $((3 * per_round)) ] && break
  sleep 0.05
done
peak_three=$(peak_kb)
press_keys_until_exit "$app_pid"
app_pid=

shown=$(lines)
[ "$status" = 0 ] || fail "status $status"
[ "$(starts)" -ge 3 ] || fail "only $(starts) rounds started in $shown frames"
written=$("$video_tool" --count round_out.avi 2>/dev/null)
[ "$written" = "$shown" ] || fail "$shown frames shown, ${written:-no} frames written"
grep -v '^Warning: codec cvid is not available, writing round_out.avi with codec MJPG.$' err \
  | grep -q . && fail "unexpected standard error: $(head -n 3 err)"
echo "ok   $shown frames in $(starts) rounds of $per_round, all written;" \
  "peak resident memory ${peak_one:-?} kB after one round, ${peak_three:-?} kB after three"

# A video that opens but has no frame that decodes (its first 12,000 bytes):
# the program gives up with a message instead of retrying for ever, and
# leaves no empty output video behind.
head -c 12000 round.avi >cut.avi
timeout 60 "$bin" cut.avi /w >out 2>err &
app_pid=$!
wait "$app_pid"
status=$?
app_pid=
[ "$status" = 255 ] || fail "status $status for a video without frames, expected 255"
grep -q '^No frame could be read from cut.avi; giving up.$' err || fail "no message: $(cat err)"
[ -e cut_out.avi ] && fail "an empty cut_out.avi was left behind"
echo "ok   a video without decodable frames: $(tail -n 1 err)"

echo "$failures failed"
[ "$failures" = 0 ]
