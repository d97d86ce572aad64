#!/usr/bin/env bash
# Plays videos in Placefinder on a virtual display of its own, presses keys
# until the program ends, and checks what it printed and wrote:
#  1. with "/w": status 0, one position line per shown frame, and an output
#     video with exactly as many frames;
#  2. a video shorter than the run: playback restarts at 00:00:00.000, also
#     for clips of 1, 2 and 3 frames;
#  3. with "/w", whatever already stands at the output name (a directory, a
#     dangling symlink, a read-only file) is left exactly as it was;
#  4. a capitalised file in a capitalised folder, found under its own
#     spelling, writes to the folder as found and the lower-cased file name;
#  5. with "/w" on a disk that fills up (a file size limit stands in for it),
#     it says on standard error that the output is incomplete, naming it.
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
  # The previous run's output goes first: the shell that starts the program
  # truncates it only once it runs, and until then its position lines would
  # count for this run and the keys would come too early.
  rm -f "$work/out" "$work/err"
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

for frames in 1 2 3; do
  "$video_tool" "tiny$frames.avi" "$frames" || exit 1
  before_case=$failures
  play "tiny$frames.avi" 12
  restarts=$(grep -c '^==> film current position: 00:00:00.000$' out)
  [ "$status" = 0 ] || fail "status $status for a $frames-frame clip"
  [ "$restarts" -ge 4 ] || fail "$frames-frame clip: $restarts starts in $(position_lines out) frames"
  [ -s err ] && fail "$frames-frame clip: standard error: $(head -n 3 err)"
  [ "$failures" = "$before_case" ] && echo "ok   $frames-frame clip: $restarts starts in $(position_lines out) frames"
done

# Each occupant of the output name is described by `ls -ld` and its content
# before and after the run.
describe() { ls -ld --time-style=+%s.%N "$1" 2>&1 | sed 's/ \{1,\}/ /g'; [ -f "$1" ] && md5sum <"$1"; }
cp short.avi dir.avi && mkdir dir_out.avi
cp short.avi link.avi && ln -s gone.avi link_out.avi
cp short.avi ro.avi && echo "earlier output" >ro_out.avi && chmod 444 ro_out.avi
for name in dir link ro; do
  before=$(describe "${name}_out.avi")
  before_case=$failures
  play "$name.avi" 5 /w
  [ "$status" = 0 ] || fail "status $status with ${name}_out.avi in the way"
  [ "$(describe "${name}_out.avi")" = "$before" ] || fail "${name}_out.avi changed: $(describe "${name}_out.avi")"
  grep -q "^Warning: cannot write ${name}_out.avi; frames are shown but not written.$" err \
    || fail "no warning for ${name}_out.avi: $(head -n 3 err)"
  [ "$failures" = "$before_case" ] && echo "ok   ${name}_out.avi left as it was"
done
[ -e gone.avi ] && fail "the dangling symlink's target was created"

mkdir -p Dir
cp short.avi Dir/Clip.AVI
play Dir/Clip.AVI 5 /w
[ "$status" = 0 ] || fail "status $status for Dir/Clip.AVI"
if [ -f Dir/clip_out.avi ]; then
  echo "ok   Dir/Clip.AVI /w wrote Dir/clip_out.avi"
else
  fail "Dir/Clip.AVI /w did not write Dir/clip_out.avi: $(ls Dir)"
fi

# A file size limit stands in for a full disk: past it every write fails (its
# signal is ignored, as the shell passes that on), as on a disk with no room.
(
  trap '' XFSZ
  ulimit -f 40  # 40 KiB
  play clip.avi 60 /w
  echo "$status" >"$work/full.status"
)
if [ "$(cat "$work/full.status" 2>/dev/null)" = 0 ] \
  && grep -q '^Warning: clip_out.avi could not be written completely: it holds [0-9]* of the [0-9]* frames written (is the disk full?).$' err; then
  echo "ok   a full disk: $(grep 'could not be written' err)"
else
  fail "a full disk: status $(cat "$work/full.status" 2>/dev/null), $(cat err)"
fi

echo "$failures failed"
[ "$failures" = 0 ]
