#!/usr/bin/env bash
# Checks Placetrace's report (--report FILE.html) on the three sample videos:
# the page is one self-contained file (nothing fetched, nothing run), it
# changes nothing the run prints, its evaluation is the run's, and in a real
# browser (Chromium, headless) its screenshot shows what a person would see:
# the place pictures (not blank) and the run's colours in the timelines. The
# screenshot checks are also run on the page with its pictures and its
# timelines taken out, which they must refuse. An output that is an input,
# or two outputs that are one file, are refused.
#
#   report_test.sh PLACETRACE DATA_DIR
set -u
bin=$1
data=$2
work=$(mktemp -d)
trap '[ -n "${KEEP_WORK:-}" ] && echo "kept $work" || rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}
here=$(cd "$(dirname "$0")" && pwd)
videos=("$data/Megamind.avi" "$data/tree.avi" "$data/vtest.avi")
for v in "${videos[@]}"; do
  [ -s "$v" ] || { echo "FAIL $v is missing: run scripts/setup.sh"; exit 1; }
done
# The browser is what the test is about: without it the test fails, never
# skips (scripts/setup.sh installs it).
browser=$(command -v chromium || true)
[ -n "$browser" ] || { echo "FAIL chromium is not installed: run scripts/setup.sh"; exit 1; }

# Every frame of a video shows the place named after the video, but for
# Megamind.avi, whose halves are taken for two places here so that the
# matches across its middle are false positives.
for v in "${videos[@]}"; do
  "$bin" "$v" 2>/dev/null | awk -F'\t' -v v="$v" 'NR > 1 {
    place = v; if (v ~ /Megamind/) place = v ($2 < 135 ? " first half" : " second half")
    print v "\t" $2 "\t" place }'
done >"$work/truth"

timeout 600 "$bin" --threads 2 "${videos[@]}" --truth "$work/truth" >"$work/plain" \
  2>"$work/plain.err" || fail "the run without a report: status $?"
timeout 600 "$bin" --threads 2 "${videos[@]}" --truth "$work/truth" --report "$work/r.html" \
  >"$work/reported" 2>"$work/reported.err" || fail "the run with --report: status $?"
cmp -s "$work/plain" "$work/reported" || fail "--report changed the frame lines"
# Standard error is the same but for the rates, which the machine decides.
rates='s/[0-9.]* frames per second/R frames per second/'
[ "$(sed "$rates" "$work/plain.err")" = "$(sed "$rates" "$work/reported.err")" ] \
  || fail "--report changed standard error: $(diff <(sed "$rates" "$work/plain.err") <(sed "$rates" "$work/reported.err"))"

page="$work/r.html"
[ -s "$page" ] || { echo "FAIL no report was written"; exit 1; }
size=$(stat -c %s "$page")
grep -qi '<script' "$page" && fail "the page has a script"
grep -qiE '(src|href)="(https?:|//|file:)' "$page" && fail "the page fetches something"
grep -qiE 'url\((https?:|//|file:)' "$page" && fail "the page's style fetches something"
others=$(grep -oE '(src|href)="[^"]*' "$page" | grep -v '^src="data:image/' | head -n 3)
[ -z "$others" ] || fail "the page refers to more than itself: $others"
line=$(grep '^evaluation: ' "$work/reported.err")
grep -qF "<code>$line</code>" "$page" || fail "the page does not show the run's $line"
grep -q 'alt="precision-recall curve" width="640"' "$page" || fail "no precision-recall curve"
for v in "${videos[@]}"; do
  grep -qF "alt=\"timeline of $v\"" "$page" || fail "no timeline of $v"
done
fp=$(sed 's/.* fp=\([0-9]*\) .*/\1/' <<<"$line")
shown=$(grep -c 'wrong place</span>' "$page")
[ "$fp" -gt 0 ] && grep -qF "<h2>False positives ($fp)</h2>" "$page" \
  && [ "$shown" = "$((fp < 48 ? fp : 48))" ] \
  || fail "the false positives: $fp in the evaluation, $shown shown"
echo "ok   the page: $size bytes; $line"

shoot() {  # shoot PAGE PNG
  rm -f "$2"
  # Chromium may hang on a machine without what it expects: it gets a minute.
  timeout -k 5 60 "$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars \
    --force-device-scale-factor=1 --window-size=1200,1600 --screenshot="$2" "file://$1" \
    >"$work/browser.log" 2>&1
  local status=$?
  [ "$status" = 0 ] && [ -s "$2" ] || { echo "chromium: status $status"; tail -n 5 "$work/browser.log"; return 1; }
}
check() { /usr/bin/python3 "$here/check_screenshot.py" "$@"; }

# The places come right after the timelines: all of them are in the
# screenshot (the blank first frame of Megamind.avi is one, which does not
# count).
if shoot "$page" "$work/shot.png"; then
  if check "$work/shot.png" "$work/reported" 8 >"$work/check.log"; then
    echo "ok   the screenshot: $(head -n 1 "$work/check.log"), $(($(wc -l <"$work/check.log") - 1)) place colours"
  else
    fail "the screenshot: $(cat "$work/check.log")"
  fi
else
  fail "chromium made no screenshot of the page"
fi

# The checks see faults: a page without its pictures, and one whose timelines
# are gone, are refused.
sed -e 's|data:image/jpeg;base64,[A-Za-z0-9+/=]*|data:,|g' "$page" >"$work/nopictures.html"
if shoot "$work/nopictures.html" "$work/nopictures.png"; then
  check "$work/nopictures.png" "$work/reported" 8 >/dev/null && fail "a page without pictures passed"
else
  fail "chromium made no screenshot of the page without pictures"
fi
sed -e '/class="timeline"/d' "$page" >"$work/notimelines.html"
if shoot "$work/notimelines.html" "$work/notimelines.png"; then
  check "$work/notimelines.png" "$work/reported" 0 >/dev/null && fail "a page without timelines passed"
else
  fail "chromium made no screenshot of the page without timelines"
fi

# An output that is an input, or two outputs that are one file, is refused
# before anything runs, and nothing is written.
cp "$work/truth" "$work/truth.copy"
"$bin" --truth "$work/truth" --report "$work/truth" "${videos[1]}" >/dev/null 2>"$work/err"
status=$?
[ "$status" = 2 ] && grep -q -- "--report $work/truth is --truth" "$work/err" \
  && cmp -s "$work/truth" "$work/truth.copy" || fail "a report over the truth file: status $status, $(cat "$work/err")"
"$bin" --truth "$work/truth" --sweep "$work/same" --report "$work/same" "${videos[1]}" >/dev/null 2>"$work/err"
status=$?
[ "$status" = 2 ] && grep -q -- "--sweep and --report name the same file" "$work/err" \
  && [ ! -e "$work/same" ] || fail "a report that is the sweep: status $status, $(cat "$work/err")"
"$bin" --report "" "${videos[1]}" >/dev/null 2>"$work/err"
[ $? = 2 ] && grep -q -- "--report needs a file name" "$work/err" || fail "an empty report name: $(cat "$work/err")"

# A report that cannot be written is said, with status 1; the run's lines
# are all there.
"$bin" --frames 5 --report "$work/no/such/folder/r.html" "${videos[1]}" >"$work/out" 2>"$work/err"
status=$?
[ "$status" = 1 ] && [ "$(wc -l <"$work/out")" = 6 ] \
  && grep -q "^Placetrace: the report $work/no/such/folder/r.html cannot be written: " "$work/err" \
  || fail "a report that cannot be written: status $status, $(cat "$work/err")"

[ "$failures" = 0 ] && echo "all report checks passed" || echo "$failures report checks failed"
exit $((failures > 0))
