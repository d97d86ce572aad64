#!/usr/bin/env bash
# Checks Placetrace's place maps on the sample videos:
#   - one run over three videos prints, below its header, exactly what three
#     runs through one map print below theirs;
#   - a map keeps the threshold it was made with, and refuses another one;
#   - videos that cannot be read are skipped and lose nothing of the map;
#   - every kind of bad map file gets one line on standard error naming the
#     file, status 1, no frame, and is left byte for byte as it was;
#   - a program reading the map through a run costs nothing of the run's
#     work: the save goes through, or (a map of the first format, which the
#     reader keeps from getting a write-ahead log) goes to a new map that the
#     message names and that loads;
#   - runs killed at random moments leave the old map or the new one;
#   - a map of the first format loads, runs and is saved as format 3, with
#     pictures of the places the run recorded.
#
#   map_test.sh PLACETRACE DATA_DIR
set -u
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")  # the runs below change folder
data=$2
first_format=$(cd "$(dirname "$0")/../../.." && pwd)/placemap/testdata/format1.map
work=$(mktemp -d)
chmod 755 "$work"  # the runs as another user below must reach their folders
holder=
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; chmod -R u+rwx "$work"; rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}
# ok MESSAGE: reports a passed section, when it failed nothing since the last.
reported=0
ok() {
  [ "$failures" = "$reported" ] && echo "ok   $*"
  reported=$failures
}
for v in tree Megamind vtest; do
  [ -s "$data/$v.avi" ] || { echo "FAIL $data/$v.avi is missing: run scripts/setup.sh"; exit 1; }
done
command -v sqlite3 >/dev/null || { echo "FAIL the sqlite3 tool is missing: run scripts/setup.sh"; exit 1; }
trace() { timeout 300 "$bin" "$@"; }
# The map's contents as SQL text, for comparing maps.
dump() { sqlite3 "$1" .dump; }

# --- One run over three videos, three runs through one map.
(cd "$data" && trace --frames 80 tree.avi Megamind.avi vtest.avi) >"$work/joined" 2>"$work/joined.err" \
  || fail "joined run: status $? $(cat "$work/joined.err")"
for v in tree.avi Megamind.avi vtest.avi; do
  (cd "$data" && trace --places "$work/split.map" --frames 80 "$v") >"$work/part" 2>"$work/part.err" \
    || fail "split run over $v: status $? $(cat "$work/part.err")"
  tail -n +2 "$work/part" >>"$work/split"
done
tail -n +2 "$work/joined" | cmp -s - "$work/split" || fail "the split runs print other lines than the joined run"
[ "$(cut -f 1 "$work/split" | uniq | tr '\n' ' ')" = "tree.avi Megamind.avi vtest.avi " ] \
  || fail "video column: $(cut -f 1 "$work/split" | uniq | tr '\n' ' ')"
grep -q '^Placetrace: total: 228 frames, ' "$work/joined.err" && grep -q '^Placetrace: vtest.avi: 80 frames, ' "$work/joined.err" \
  || fail "joined summary: $(cat "$work/joined.err")"
# The map records where its places came from.
[ "$(sqlite3 "$work/split.map" "SELECT count(*) FROM places WHERE video IS NULL OR frame IS NULL")" = 0 ] \
  || fail "places without an origin"
ok "one run over three videos prints what three runs through one map print"

# --- The threshold a map was made with.
trace --threshold 0.8 --frames 40 "$data/tree.avi" "$data/Megamind.avi" >"$work/t08" 2>/dev/null
trace --places "$work/t08.map" --threshold 0.8 --frames 40 "$data/tree.avi" >/dev/null 2>&1
trace --places "$work/t08.map" --frames 40 "$data/Megamind.avi" >"$work/t08.part" 2>/dev/null \
  || fail "a run without --threshold on a map made with 0.8"
tail -n "$(($(wc -l <"$work/t08.part") - 1))" "$work/t08" | cmp -s - <(tail -n +2 "$work/t08.part") \
  || fail "a run without --threshold does not go on with the map's threshold"
cp "$work/t08.map" "$work/t08.copy"
trace --places "$work/t08.map" --threshold 0.67 "$data/tree.avi" >"$work/out" 2>"$work/err"
status=$?
[ "$status" = 1 ] && [ ! -s "$work/out" ] && grep -q 'made with the threshold 0.8' "$work/err" \
  && cmp -s "$work/t08.map" "$work/t08.copy" || fail "another threshold on a map: status $status $(cat "$work/err")"
ok "a map keeps its threshold: $(cat "$work/err")"

# --- Videos that cannot be read are skipped; nothing of the map is lost.
trace --places "$work/a.map" --frames 30 "$data/tree.avi" >/dev/null 2>&1
cp "$work/a.map" "$work/b.map"
: >"$work/empty.avi"
trace --places "$work/a.map" "$work/missing.avi" >"$work/out" 2>"$work/err"
status=$?
[ "$status" = 1 ] && grep -q "cannot open $work/missing.avi" "$work/err" && [ "$(dump "$work/a.map")" = "$(dump "$work/b.map")" ] \
  || fail "a missing video alone: status $status, $(cat "$work/err")"
trace --places "$work/a.map" --frames 20 "$work/missing.avi" "$data/Megamind.avi" "$work/empty.avi" \
  >"$work/out" 2>"$work/err"
status=$?
trace --places "$work/b.map" --frames 20 "$data/Megamind.avi" >"$work/good" 2>/dev/null
[ "$status" = 1 ] && grep -q "empty.avi" "$work/err" && cmp -s "$work/out" "$work/good" \
  && [ "$(dump "$work/a.map")" = "$(dump "$work/b.map")" ] \
  || fail "unreadable videos among good ones: status $status, $(cat "$work/err")"
ok "unreadable videos are skipped and the map keeps what the good ones give"

# --- Bad map files. check_map NAME FILE [RUNNER...]: one line on standard
# error naming FILE, status 1, nothing on standard output, and FILE and its
# folder unchanged.
snapshot() {
  local file=$1
  { ls -lA --time-style=+ "$(dirname "$file")"; [ -f "$file" ] && od -An -tx1 "$file" | md5sum; } 2>&1
}
check_map() {
  local name=$1 file=$2
  shift 2
  local before
  before=$(snapshot "$file")
  local program=$bin video=$data/tree.avi
  if [ $# -gt 0 ]; then program=$work/Placetrace video=$work/tree.avi; fi
  "$@" timeout 120 "$program" --places "$file" "$video" >"$work/out" 2>"$work/err"
  local status=$?
  if [ "$status" != 1 ] || [ -s "$work/out" ] || [ "$(wc -l <"$work/err")" != 1 ] \
    || ! grep -qF "$file" "$work/err" || [ "$(snapshot "$file")" != "$before" ]; then
    fail "$name (status $status): $(head -n 3 "$work/err")"
  else
    echo "ok   $name: $(cat "$work/err")"
  fi
}
# Permissions do not hold root back, so those cases run as another user. That
# user may not reach the build or the sample videos (a checkout in a private
# folder), so it runs copies of the program, the video and any leak
# suppressions, kept in the work folder.
as_other=()
if [ "$(id -u)" = 0 ]; then
  cp "$bin" "$work/Placetrace" && chmod 755 "$work/Placetrace"
  cp "$data/tree.avi" "$work/tree.avi" && chmod 644 "$work/tree.avi"
  lsan=${LSAN_OPTIONS:-}
  supp=$(printf '%s' "$lsan" | sed -n 's/.*suppressions=\([^:]*\).*/\1/p')
  if [ -n "$supp" ] && [ -f "$supp" ]; then
    cp "$supp" "$work/leaks.supp" && chmod 644 "$work/leaks.supp"
    lsan=$(printf '%s' "$lsan" | sed "s|suppressions=[^:]*|suppressions=$work/leaks.supp|")
  fi
  as_other=(setpriv --reuid=65534 --regid=65534 --clear-groups env "LSAN_OPTIONS=$lsan")
fi
good=$work/split.map
[ -s "$good" ] || { echo "FAIL no map was made"; exit 1; }
case_dir() {
  mkdir -p "$work/case/$1"
  chmod 777 "$work/case/$1"
  echo "$work/case/$1"
}

d=$(case_dir empty) && : >"$d/m" && check_map "an empty file" "$d/m"
d=$(case_dir noise) && head -c 6000 /dev/urandom >"$d/m" && check_map "random bytes" "$d/m"
d=$(case_dir truncated) && head -c 10000 "$good" >"$d/m" && check_map "a truncated map" "$d/m"
d=$(case_dir other) && sqlite3 "$d/m" "CREATE TABLE t(x); INSERT INTO t VALUES(1);" \
  && check_map "an SQLite database that is not a place map" "$d/m"
d=$(case_dir newer) && cp "$good" "$d/m" && sqlite3 "$d/m" "PRAGMA user_version=4" \
  && check_map "a map of a newer format" "$d/m"
d=$(case_dir picture) && cp "$good" "$d/m" \
  && sqlite3 "$d/m" "UPDATE places SET thumbnail = x'89504E470D0A1A0A' WHERE position = 1" \
  && check_map "a place picture that is not a JPEG" "$d/m"
d=$(case_dir huge-picture) && cp "$good" "$d/m" \
  && sqlite3 "$d/m" "UPDATE places SET thumbnail = CAST(x'FFD8FF' || zeroblob(100000) AS BLOB) WHERE position = 1" \
  && check_map "a place picture too large" "$d/m"
d=$(case_dir counter) && cp "$good" "$d/m" && sqlite3 "$d/m" "UPDATE map SET location_counter = 1" \
  && check_map "a counter not above every stored index" "$d/m"
d=$(case_dir index) && cp "$good" "$d/m" && sqlite3 "$d/m" "UPDATE place_index SET place = 99" \
  && check_map "an index entry pointing nowhere" "$d/m"
d=$(case_dir directory) && mkdir "$d/m" && check_map "a directory" "$d/m"
d=$(case_dir unreadable) && cp "$good" "$d/m" && chmod 000 "$d/m" \
  && check_map "an unreadable file" "$d/m" "${as_other[@]}"
d=$(case_dir readonly) && cp "$good" "$d/m" && chmod 444 "$d/m" \
  && check_map "a read-only file" "$d/m" "${as_other[@]}"
d=$(case_dir closed) && cp "$good" "$d/m" && chmod 666 "$d/m" && chmod 555 "$d" \
  && check_map "a map in a folder that takes no new files" "$d/m" "${as_other[@]}"
d=$(case_dir closed-new) && chmod 555 "$d" \
  && check_map "a new map in a folder that takes no new files" "$d/m" "${as_other[@]}"
d=$(case_dir closed-link) && mkdir "$d/real" && cp "$good" "$d/real/m" && chmod 666 "$d/real/m" \
  && chmod 555 "$d/real" && ln -s real/m "$d/m" \
  && check_map "a link to a map in a folder that takes no new files" "$d/m" "${as_other[@]}"
# Schemas that are not a place map's, which a save would trip over or hang in.
d=$(case_dir trigger) && cp "$good" "$d/m" \
  && sqlite3 "$d/m" "CREATE TRIGGER t AFTER INSERT ON places BEGIN DELETE FROM places; END" \
  && check_map "a map with a trigger" "$d/m"
d=$(case_dir view) && cp "$good" "$d/m" \
  && sqlite3 "$d/m" "ALTER TABLE places RENAME TO p; CREATE VIEW places AS SELECT * FROM p" \
  && check_map "a map whose places are a view" "$d/m"
d=$(case_dir column) && cp "$good" "$d/m" && sqlite3 "$d/m" "ALTER TABLE map ADD COLUMN note TEXT" \
  && check_map "a map with another column" "$d/m"
d=$(case_dir full) && cp "$good" "$d/m" && sqlite3 "$d/m" "UPDATE map SET location_counter = 4294967295" \
  && check_map "a map whose location counter is full" "$d/m"

# Held by the sqlite3 tool: the run waits a bounded time for the lock.
d=$(case_dir held) && cp "$good" "$d/m"
(echo "BEGIN IMMEDIATE;"; sleep 20; echo "COMMIT;") 2>/dev/null | sqlite3 "$d/m" >/dev/null 2>&1 &
holder=$!
for _ in $(seq 100); do sqlite3 "$d/m" "BEGIN IMMEDIATE; COMMIT;" 2>/dev/null || break; sleep 0.1; done
check_map "a map another program holds" "$d/m"
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
holder=

# Held by another Placetrace, which keeps it to the end of its run: forty
# times vtest.avi (about 32,000 frames) lasts far beyond the 3 s wait on any
# machine, and the run is killed as soon as the check is done.
d=$(case_dir busy) && cp "$good" "$d/m"
long=()
for _ in $(seq 40); do long+=("$data/vtest.avi"); done
"$bin" --places "$d/m" "${long[@]}" >"$work/first.out" 2>/dev/null &
holder=$!
for _ in $(seq 300); do [ -s "$work/first.out" ] && break; sleep 0.1; done
before=$(dump "$d/m")
timeout 120 "$bin" --places "$d/m" "$data/tree.avi" >"$work/out" 2>"$work/err"
status=$?
if [ "$status" = 1 ] && [ ! -s "$work/out" ] && grep -q "in use by another program" "$work/err" \
  && kill -0 "$holder" 2>/dev/null; then
  echo "ok   a map another Placetrace holds: $(cat "$work/err")"
else
  fail "a map another Placetrace holds (status $status): $(cat "$work/err")"
fi
# Killed before its end, the holding run leaves the map as it was.
kill -KILL "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
holder=
[ "$before" = "$(dump "$d/m")" ] || fail "the killed holding run changed the map"

# --- A program that reads the map through the whole run (a viewer, the
# sqlite3 tool in a transaction). read_map FILE starts it; it is stopped with
# stop_reader.
read_map() {
  (echo "BEGIN; SELECT count(*) FROM places;"; sleep 120; echo "COMMIT;") 2>/dev/null \
    | sqlite3 "$1" >/dev/null 2>&1 &
  holder=$!
  sleep 1
}
stop_reader() {
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
  holder=
}
d=$(case_dir read) && trace --places "$d/m" --frames 20 "$data/tree.avi" >/dev/null 2>&1
before=$(dump "$d/m")
read_map "$d/m"
trace --places "$d/m" --frames 40 "$data/Megamind.avi" >/dev/null 2>"$work/err"
status=$?
stop_reader
if [ "$status" = 0 ] && [ "$(dump "$d/m")" != "$before" ] \
  && trace --places "$d/m" --frames 1 "$data/tree.avi" >/dev/null 2>&1; then
  echo "ok   a reader through the run: $(tail -n 1 "$work/err")"
else
  fail "a reader through the run (status $status): $(cat "$work/err")"
fi
# A map of the first format that a reader holds from before the run keeps its
# rollback journal, and the commit would wait for the reader for ever: the run
# saves its places to a new map instead and leaves the map as it was.
d=$(case_dir read-first) && cp "$first_format" "$d/m"
before=$(od -An -tx1 "$d/m" | md5sum)
read_map "$d/m"
trace --places "$d/m" --frames 40 "$data/vtest.avi" >/dev/null 2>"$work/err"
status=$?
stop_reader
side=$(sed -n 's/.* saved to the new map \(.*\) instead.*/\1/p' "$work/err")
# The new map holds what the run would have saved without the reader.
cp "$first_format" "$work/reference.map"
trace --places "$work/reference.map" --frames 40 "$data/vtest.avi" >/dev/null 2>&1
if [ "$status" = 1 ] && [ -n "$side" ] && [ "$(od -An -tx1 "$d/m" | md5sum)" = "$before" ] \
  && [ -s "$side" ] && [ "$(dump "$side")" = "$(dump "$work/reference.map")" ] \
  && [ "$(dump "$side")" != "$(dump "$d/m")" ]; then
  echo "ok   a reader on a map of the first format: $(grep 'place map' "$work/err")"
else
  fail "a reader on a map of the first format (status $status): $(cat "$work/err")"
fi

# --- Killed runs: the map is the old one or the new one, never a mix.
old=$work/kill.old
trace --places "$old" --frames 20 "$data/tree.avi" >/dev/null 2>&1
cp "$old" "$work/kill.new"
start=$(date +%s%N)
trace --places "$work/kill.new" "$data/tree.avi" "$data/Megamind.avi" --frames 40 >/dev/null 2>&1
run_ns=$(($(date +%s%N) - start))
old_dump=$(dump "$old")
new_dump=$(dump "$work/kill.new")
[ "$old_dump" != "$new_dump" ] || fail "the run over the old map changes nothing"
olds=0
news=0
for round in $(seq 12); do
  rm -f "$work/kill.map" "$work/kill.map-journal" "$work/kill.map-wal" "$work/kill.map-shm"
  cp "$old" "$work/kill.map"
  "$bin" --places "$work/kill.map" "$data/tree.avi" "$data/Megamind.avi" --frames 40 >/dev/null 2>&1 &
  pid=$!
  # Spread over 1.3 times a whole run, with the last rounds close to its end.
  delay_ns=$((run_ns * (round * 100 + RANDOM % 100) / 1200 * 13 / 10))
  sleep "$(printf '%d.%09d' $((delay_ns / 1000000000)) $((delay_ns % 1000000000)))"
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  now=$(dump "$work/kill.map")
  if [ "$now" = "$old_dump" ]; then
    olds=$((olds + 1))
  elif [ "$now" = "$new_dump" ]; then
    news=$((news + 1))
  else
    fail "round $round: the killed run left neither the old map nor the new one"
  fi
done
# The map must also still load in Placetrace itself.
trace --places "$work/kill.map" --frames 1 "$data/tree.avi" >/dev/null 2>&1 || fail "the map after the kills does not load"
ok "12 killed runs: $olds left the old map, $news the new one"

# --- A map of the first format, from before pictures (the fixture of the
# place map's own tests), loads, runs and is saved as format 3: its own
# places have no picture, the places this run records have one each, and the
# saved map loads again.
fixture=$(cd "$(dirname "$0")/../../.." && pwd)/placemap/testdata/format1.map
cp "$fixture" "$work/format1.map"
trace --places "$work/format1.map" --frames 600 "$data/vtest.avi" >/dev/null 2>"$work/err" \
  || fail "a map of the first format: $(cat "$work/err")"
counts=$(sqlite3 "$work/format1.map" "SELECT (SELECT user_version FROM pragma_user_version),
  (SELECT count(*) FROM places WHERE video NOT LIKE '%/vtest.avi' AND thumbnail IS NULL),
  (SELECT count(*) FROM places WHERE video LIKE '%/vtest.avi' AND thumbnail IS NOT NULL),
  (SELECT count(*) FROM places WHERE video LIKE '%/vtest.avi')")
kept=$(sqlite3 "$fixture" "SELECT count(*) FROM places")
recorded=${counts##*|}
[ "$counts" = "3|$kept|$recorded|$recorded" ] && [ "$recorded" -gt 0 ] \
  || fail "a map of the first format saved as: version|old places without pictures|new with|new: $counts"
trace --places "$work/format1.map" --frames 1 "$data/vtest.avi" >/dev/null 2>&1 \
  || fail "the map of the first format, saved, does not load"
ok "a map of the first format loads, runs and is saved as format 3 ($counts)"

echo "$failures failed"
[ "$failures" = 0 ]
