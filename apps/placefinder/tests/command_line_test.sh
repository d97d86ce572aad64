#!/usr/bin/env bash
# Runs Placefinder with each command line of a table, without a display, and
# checks its standard output and standard error byte for byte and its exit
# status (a status of -1 shows as 255).
#
#   command_line_test.sh PLACEFINDER MAKETESTVIDEO [REAL_AVI]
set -u
bin=$1
make_video=$2
real_avi=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
"$make_video" real.avi 5 || exit 1

help=$'\n\n=== Place finding help ===\n\nPlacefinder.exe [file.avi | 0..9] [/w ]\n 0..9 - capture device number\n /w   - write result in file_out.avi\n'
avi_only=$'AVI files are processing only!\n\n'
opening=$'Processing avi file...\n'
capture=$'Processing capture...\n'
long_name=$(printf 'x%.0s' $(seq 10000))

failures=0
# check NAME STATUS STDOUT STDERR ARGS...
check() {
  local name=$1 status=$2 out=$3 err=$4
  shift 4
  env -u DISPLAY timeout 60 "$bin" "$@" >"$work/out" 2>"$work/err"
  local got=$?
  printf '%s' "$out" >"$work/want_out"
  printf '%s' "$err" >"$work/want_err"
  local ok=1
  [ "$got" = "$status" ] || { echo "  status $got, expected $status"; ok=0; }
  cmp -s "$work/out" "$work/want_out" || { echo "  stdout differs:"; diff "$work/want_out" "$work/out" | head -5; ok=0; }
  cmp -s "$work/err" "$work/want_err" || { echo "  stderr differs:"; diff "$work/want_err" "$work/err" | head -5; ok=0; }
  if [ $ok = 1 ]; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}

check "no argument prints the help" 0 "$help" ""
check "a sole /? prints the help" 0 "$help" "" "/?"
check "a sole argument containing /? prints the help" 0 "$help" "" "x/?y"
check "/? with a second argument is a file name" 255 "$avi_only" "" "/?" "/w"
check "a name without .avi is refused" 255 "$avi_only" "" "movie.mp4" "/w"
check "a missing file names its lower-cased base" 255 "${opening}Can't find file c:\\video\\clip.avi"$'\n' "" "C:\\Video\\Clip.AVI" "/w"
check "the base name ends at the first .avi" 255 "${opening}Can't find file a.avi"$'\n' "" "a.avi.avi"
check "text after .avi stays part of the file name" 255 "${opening}Can't find file clip.avi"$'\n' "" "clip.avix"
check "a first argument of 10,000 characters" 255 "${opening}Can't find file ${long_name}.avi"$'\n' "" "${long_name}.avi"
if [ ! -e /dev/video9 ] && [ ! -e /dev/video3 ]; then
  check "a missing capture device" 255 "$capture" $'Could not initialize capturing...\n' "9"
  check "a leading digit opens a device even with .avi" 255 "$capture" $'Could not initialize capturing...\n' "3.avi"
fi
check "no display is refused before anything is written" 255 "$opening" \
  $'No display: the window "Result" needs an X display (set DISPLAY, or run under xvfb-run).\n' \
  "REAL.AVI" "/" "w"
if [ -e real_out.avi ]; then
  echo "FAIL no output file may be written without a display"
  failures=$((failures + 1))
fi

no_display=$'No display: the window "Result" needs an X display (set DISPLAY, or run under xvfb-run).\n'
: >x.avi
check "an empty file" 255 "${opening}Can't find file x.avi"$'\n' "" "x.avi" "/w"
# Seeded, so that the bytes are the same every run (some random bytes do
# open as a video).
/usr/bin/python3 -c 'import random, sys; r = random.Random(11); sys.stdout.buffer.write(bytes(r.randrange(256) for _ in range(50000)))' >x.avi
check "random bytes" 255 "${opening}Can't find file x.avi"$'\n' "" "x.avi" "/w"
if [ -s "$real_avi" ]; then
  head -c 100000 "$real_avi" >cut.avi
  check "the first 100 KB of a real video opens" 255 "$opening" "$no_display" "cut.avi" "/w"
fi
mkdir -p "Dir With Spaces"
cp real.avi "Dir With Spaces/Vidéo Été.AVI"
check "a path with capitals, spaces and non-ASCII characters opens" 255 "$opening" "$no_display" \
  "Dir With Spaces/Vidéo Été.AVI" "/w"
many=()
for i in $(seq 1000); do many+=("arg$i"); done
check "1,000 further arguments" 255 "${opening}Can't find file clip.avi"$'\n' "" "clip.avi" "${many[@]}"
check "1,000 further arguments with the switch split over two" 255 "$opening" "$no_display" \
  "real.avi" "${many[@]}" "/" "w"
if ls ./*_out.avi "Dir With Spaces"/*_out.avi >/dev/null 2>&1; then
  echo "FAIL an output file was written although nothing was played"
  failures=$((failures + 1))
fi

mkdir d.avi
check "a directory named like a video is no video" 255 "${opening}Can't find file d.avi"$'\n' "" "d.avi"

echo "$failures failed"
[ "$failures" = 0 ]
