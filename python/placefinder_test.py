"""Tests of the placefinder module against the Placetrace program.

Run from CTest, which sets PYTHONPATH to the built module, PF_PLACETRACE to the
built Placetrace and PF_DATA_DIR to the sample videos.
"""

import math
import pickle
import os
import sqlite3
import struct
import subprocess
import sys
import threading

import cv2
import numpy as np
import pytest

import map_dump
import placefinder

DATA_DIR = os.environ.get("PF_DATA_DIR", os.path.join(os.path.dirname(__file__), "..", "data"))
PLACETRACE = os.environ.get("PF_PLACETRACE")


def video_path(name):
    path = os.path.join(DATA_DIR, name)
    assert os.path.isfile(path), f"{path} is missing: run scripts/setup.sh"
    return path


def read_frames(name, limit=None):
    """The frames of a sample video as cv2 reads them (BGR, uint8)."""
    capture = cv2.VideoCapture(video_path(name), cv2.CAP_FFMPEG)
    assert capture.isOpened(), f"cv2 cannot open {name}"
    frames = []
    while limit is None or len(frames) < limit:
        ok, frame = capture.read()
        if not ok:
            break
        frames.append(frame)
    assert frames, f"no frame read from {name}"
    return frames


def placetrace(name, limit=None):
    """Placetrace's lines for a video, each a dict keyed by the header's names."""
    assert PLACETRACE, "PF_PLACETRACE is not set: run the tests through ctest"
    command = [PLACETRACE, video_path(name)] + ([] if limit is None else ["--frames", str(limit)])
    output = subprocess.run(command, capture_output=True, text=True, check=True, timeout=600).stdout
    lines = output.splitlines()
    header = lines[0].split("\t")
    rows = []
    for line in lines[1:]:
        fields = line.split("\t")
        assert len(fields) == len(header), f"{line!r} does not match the header {header}"
        rows.append(dict(zip(header, fields)))
    return rows


def optional_int(text):
    return None if text == "-" else int(text)


def flipped_gray(frame):
    # The programs flip every frame before detecting; a reversed-rows view is
    # also a strided one.
    return cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY)[::-1]


@pytest.fixture(scope="module")
def tree_frames():
    return read_frames("tree.avi")


@pytest.fixture(scope="module")
def tree_trace():
    return placetrace("tree.avi")


@pytest.mark.parametrize("video", ["tree.avi", "Megamind.avi", "vtest.avi"])
def test_detect_on_sample_frames_gives_placetraces_list(video):
    frames = read_frames(video, limit=61)
    trace = placetrace(video, limit=61)
    assert len(trace) == len(frames)
    found = 0
    for number in (0, 30, 60):
        frame, row = frames[number], trace[number]
        boxes = placefinder.detect(flipped_gray(frame))
        assert boxes.dtype.names == ("id", "x", "y", "width", "height")
        assert len(boxes) == int(row["detections"]), f"frame {number}"
        found += len(boxes)
        # The identifier string has one run per distinct id of the whole list.
        assert len(np.unique(boxes["id"])) == int(row["runs"])
        assert " ".join(f"{i & 0xFFFF:04X}" for i in boxes["id"][:20]) == row["ids"]
        assert np.all(np.diff(boxes["id"]) >= 0), "ids never decrease along the list"
        rows, cols = frame.shape[:2]
        assert np.all((boxes["x"] >= 0) & (boxes["x"] + boxes["width"] <= cols))
        assert np.all((boxes["y"] >= 0) & (boxes["y"] + boxes["height"] <= rows))
    assert found > 0, f"no boxes in the sample frames of {video}"


def test_recogniser_over_tree_gives_placetraces_columns(tree_frames, tree_trace):
    assert len(tree_trace) == len(tree_frames)
    recogniser = placefinder.Recogniser()
    for number, (frame, row) in enumerate(zip(tree_frames, tree_trace)):
        result = recogniser.process(frame)
        got = (result.detections, result.runs, result.location, result.new_location,
               result.identifier_line[:-1])
        expected = (int(row["detections"]), int(row["runs"]), optional_int(row["location"]),
                    optional_int(row["new_location"]), row["ids"])
        assert got == expected, f"frame {number}"
        assert (result.similarity is None) == (result.location is None), f"frame {number}"
        if "similarity" in row:
            if row["similarity"] == "-":
                assert result.similarity is None, f"frame {number}"
            else:
                decimals = len(row["similarity"].partition(".")[2])
                assert result.similarity == pytest.approx(
                    float(row["similarity"]), abs=0.5 * 10**-decimals + 1e-12), f"frame {number}"
        if result.similarity is not None:
            assert recogniser.threshold <= result.similarity <= 1.0


def test_a_frame_seen_before_is_recognised_with_similarity_one(tree_frames):
    recogniser = placefinder.Recogniser(threshold=1.0)
    first = recogniser.process(tree_frames[0])
    again = recogniser.process(tree_frames[0])
    assert (first.location, first.new_location, first.similarity) == (None, 0, None)
    assert (again.location, again.new_location, again.similarity) == (0, None, 1.0)
    assert repr(again).startswith("FrameResult(detections=")


@pytest.mark.parametrize("threshold", [-0.1, 1.5, math.nan, math.inf])
def test_a_threshold_outside_0_to_1_is_refused(threshold):
    with pytest.raises(ValueError, match="threshold must be between 0 and 1"):
        placefinder.Recogniser(threshold=threshold)


# value, what detect() raises, what Recogniser.process() raises (None: accepted)
BAD_INPUTS = {
    "float32": (np.zeros((32, 32), np.float32), (TypeError, "dtype uint8"), (TypeError, "dtype uint8")),
    "int16": (np.zeros((32, 32), np.int16), (TypeError, "dtype uint8"), (TypeError, "dtype uint8")),
    "bool": (np.zeros((32, 32), bool), (TypeError, "dtype uint8"), (TypeError, "dtype uint8")),
    "int8 colour": (np.zeros((32, 32, 3), np.int8), (TypeError, "dtype uint8"), (TypeError, "dtype uint8")),
    "list": ([[0] * 32] * 32, (TypeError, "numpy.ndarray"), (TypeError, "numpy.ndarray")),
    "None": (None, (TypeError, "numpy.ndarray"), (TypeError, "numpy.ndarray")),
    "bytes": (bytes(1024), (TypeError, "numpy.ndarray"), (TypeError, "numpy.ndarray")),
    "0-D": (np.array(7, np.uint8), (ValueError, "2-D"), (ValueError, "2-D")),
    "1-D": (np.zeros(32, np.uint8), (ValueError, "2-D"), (ValueError, "2-D")),
    "4-D": (np.zeros((2, 32, 32, 3), np.uint8), (ValueError, "2-D"), (ValueError, "3-D")),
    "colour to detect": (np.zeros((32, 32, 3), np.uint8), (ValueError, "2-D"), None),
    "2 channels": (np.zeros((32, 32, 2), np.uint8), (ValueError, "2-D"), (ValueError, "1, 3 or 4 channels")),
    "no rows": (np.zeros((0, 32), np.uint8), (ValueError, "empty"), (ValueError, "empty")),
    "no columns": (np.zeros((32, 0), np.uint8), (ValueError, "empty"), (ValueError, "empty")),
    "no pixels in colour": (np.zeros((0, 32, 3), np.uint8), (ValueError, "2-D"), (ValueError, "empty")),
    "no channels": (np.zeros((32, 32, 0), np.uint8), (ValueError, "2-D"), (ValueError, "channels")),
    "one channel": (np.zeros((32, 32, 1), np.uint8), (ValueError, "2-D"), None),
    "BGRA": (np.zeros((32, 32, 4), np.uint8), (ValueError, "2-D"), None),
    "one pixel": (np.zeros((1, 1), np.uint8), None, None),
}


@pytest.mark.parametrize("case", BAD_INPUTS)
def test_bad_inputs_raise_clear_exceptions(case):
    value, detect_error, process_error = BAD_INPUTS[case]
    for call, error in ((placefinder.detect, detect_error),
                        (placefinder.Recogniser().process, process_error)):
        if error is None:
            call(value)  # accepted: must simply work
        else:
            with pytest.raises(error[0], match=error[1]):
                call(value)


# Views of a frame that are not plain C-ordered arrays.
VIEWS = {
    "reversed rows": lambda a: a[::-1],
    "every other row": lambda a: a[::2],
    "every other column": lambda a: a[:, ::2],
    "crop": lambda a: a[7:201, 5:301],
    "transposed": lambda a: a.swapaxes(0, 1),
    "Fortran order": lambda a: np.asfortranarray(a),
    "broadcast row": lambda a: np.broadcast_to(a[100], a.shape),
    "one row": lambda a: a[60:61],
    "one column": lambda a: a[:, 60:61],
    "read-only": lambda a: np.frombuffer(a.tobytes(), np.uint8).reshape(a.shape),
    "reversed channels": lambda a: a[..., ::-1] if a.ndim == 3 else a[:, ::-1],
}


@pytest.mark.parametrize("view", VIEWS)
def test_strided_views_give_the_results_of_their_contiguous_copies(view, tree_frames):
    frame = tree_frames[40]
    gray = VIEWS[view](cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY))
    expected = placefinder.detect(np.ascontiguousarray(gray))
    np.testing.assert_array_equal(placefinder.detect(gray), expected)

    colour = VIEWS[view](frame)
    a, b = placefinder.Recogniser(), placefinder.Recogniser()
    for _ in range(2):  # recorded, then recognised
        got, want = a.process(colour), b.process(np.ascontiguousarray(colour))
        assert repr(got) == repr(want)


@pytest.mark.parametrize("call", ["detect", "process"])
def test_another_thread_runs_while_a_frame_is_worked_on(call, tree_frames):
    # With the switch interval far beyond the test's length, a thread that holds
    # the GIL keeps it until it lets go of it itself. The worker works on up to
    # `rounds` frames and stops as soon as the main thread has set `stop`; the
    # main thread can only do that while a call of the worker has released the
    # GIL. Were the GIL held, the worker would do every round first.
    # Nothing but the call under test may release the GIL in the worker (cv2's
    # functions do), so the frames are made beforehand.
    big = cv2.resize(tree_frames[40], (1920, 1080))
    gray = cv2.cvtColor(big, cv2.COLOR_BGR2GRAY)
    recogniser = placefinder.Recogniser()
    work = {"detect": lambda: placefinder.detect(gray),
            "process": lambda: recogniser.process(big)}[call]
    rounds = 50
    stop = threading.Event()
    done = []

    def worker():
        for _ in range(rounds):
            if stop.is_set():
                break
            work()
            done.append(1)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        thread = threading.Thread(target=worker)
        thread.start()
        stop.set()
        thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert len(done) < rounds, f"the main thread did not run during any of {rounds} calls"


def test_detection_in_parallel_threads_gives_the_sequential_results(tree_frames):
    frames = tree_frames[:40]
    grays = [flipped_gray(f) for f in frames]
    expected_boxes = [placefinder.detect(g) for g in grays]
    sequential = placefinder.Recogniser()
    expected_results = [repr(sequential.process(f)) for f in frames]
    assert sum(len(b) for b in expected_boxes) > 0

    failures = []

    def work():
        try:
            recogniser = placefinder.Recogniser()
            for gray, frame, boxes, result in zip(grays, frames, expected_boxes, expected_results):
                np.testing.assert_array_equal(placefinder.detect(gray), boxes)
                assert repr(recogniser.process(frame)) == result
        except Exception as error:  # reported by the main thread
            failures.append(error)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures, failures


def test_a_shared_recogniser_takes_one_frame_at_a_time(tree_frames):
    # Threads that share a recogniser see each of its frames processed whole:
    # every frame is recorded exactly once or recognised, and the places
    # recorded are numbered 0, 1, 2, ... without gaps or repeats.
    recogniser = placefinder.Recogniser()
    results = []

    def work(frames):
        for frame in frames:
            results.append(recogniser.process(frame))

    frames = tree_frames[:150]
    threads = [threading.Thread(target=work, args=(frames[i::3],)) for i in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == len(frames)
    recorded = sorted(r.new_location for r in results if r.new_location is not None)
    assert recorded == list(range(len(recorded)))
    assert all((r.location is None) != (r.new_location is None) for r in results)


def columns(result):
    return (result.detections, result.runs, result.location, result.new_location,
            result.similarity, result.identifier_line)


def test_a_saved_and_loaded_map_goes_on_as_one_run(tree_frames, tree_trace, tmp_path):
    whole = placefinder.Recogniser()
    expected = [columns(whole.process(frame)) for frame in tree_frames]
    first = placefinder.Recogniser()
    for frame in tree_frames[:30]:
        first.process(frame, video="tree.avi")
    path = str(tmp_path / "tree.places")
    first.save(path)
    second = placefinder.Recogniser()
    second.load(path)
    assert [columns(second.process(f)) for f in tree_frames[30:]] == expected[30:]

    # A map Placetrace made from the same frames is the same map.
    made = str(tmp_path / "made.places")
    subprocess.run([PLACETRACE, "--places", made, "--frames", "30", video_path("tree.avi")],
                   capture_output=True, check=True, timeout=600)
    third = placefinder.Recogniser()
    third.load(made)
    assert [columns(third.process(f)) for f in tree_frames[30:]] == expected[30:]


def test_maps_that_cannot_be_used_raise_and_change_nothing(tree_frames, tmp_path):
    garbage = tmp_path / "garbage.places"
    garbage.write_bytes(b"not a place map at all, just some bytes" * 10)
    strict = tmp_path / "strict.places"
    made = placefinder.Recogniser(threshold=0.9)
    made.process(tree_frames[0])
    made.save(str(strict))
    cases = [
        (str(tmp_path / "missing.places"), "does not exist"),
        (str(garbage), "not a place map"),
        (str(strict), "threshold"),
        (str(tmp_path), ""),
    ]
    for path, words in cases:
        recogniser = placefinder.Recogniser()
        recogniser.process(tree_frames[0])
        with pytest.raises(ValueError, match=words):
            recogniser.load(path)
        assert recogniser.process(tree_frames[0]).location == 0, path
    assert garbage.read_bytes() == b"not a place map at all, just some bytes" * 10
    with pytest.raises(ValueError):
        placefinder.Recogniser().save(str(tmp_path / "no" / "such" / "folder.places"))


def placetrace_rows(args):
    """Placetrace's lines for a command line, each a dict keyed by the header's names."""
    output = subprocess.run([PLACETRACE] + args, capture_output=True, text=True, check=True,
                            timeout=600).stdout.splitlines()
    header = output[0].split("\t")
    return [dict(zip(header, line.split("\t"))) for line in output[1:]]


def expected_columns(row):
    similarity = None if row["similarity"] == "-" else float(row["similarity"])
    return (int(row["detections"]), int(row["runs"]), optional_int(row["location"]),
            optional_int(row["new_location"]), similarity, row["ids"])


def got_columns(result):
    similarity = None if result.similarity is None else round(result.similarity, 6)
    return (result.detections, result.runs, result.location, result.new_location, similarity,
            result.identifier_line[:-1])


@pytest.mark.parametrize("args, kwargs", [
    (["--best", "--threshold", "0.8"], dict(best=True, threshold=0.8)),
    (["--min-detections", "40000"], dict(min_detections=40000)),
    (["--width", "320", "--consistent", "2"], dict(width=320, consistent=2)),
    (["--precise"], dict(precise=True)),
    (["--cells", "6"], dict(cells=6)),
    (["--follow", "0.2", "--threshold", "0.95"], dict(follow=0.2, threshold=0.95)),
    (["--precise", "--cells", "1"], dict(precise=True, cells=1)),
])
def test_recognition_options_give_placetraces_columns(tree_frames, args, kwargs):
    video = video_path("tree.avi")
    rows = placetrace_rows(args + [video])
    recogniser = placefinder.Recogniser(**kwargs)
    got = [got_columns(recogniser.process(frame, video=video)) for frame in tree_frames]
    assert got == [expected_columns(row) for row in rows]
    # The options change something on these frames, or the test shows nothing.
    assert got != [got_columns(r) for r in map(placefinder.Recogniser().process, tree_frames)]


def test_query_mode_ranks_as_placetrace_and_keeps_the_map(tree_frames, tmp_path):
    video = video_path("tree.avi")
    made = str(tmp_path / "made.places")
    subprocess.run([PLACETRACE, "--places", made, "--width", "320", "--frames", "20", video],
                   capture_output=True, check=True, timeout=600)
    before = open(made, "rb").read()
    rows = placetrace_rows(["--places", made, "--query", "--top", "3", video])
    assert open(made, "rb").read() == before
    recogniser = placefinder.Recogniser(width=320, query=True, top=3)
    recogniser.load(made)
    for number, (frame, row) in enumerate(zip(tree_frames, rows)):
        result = recogniser.process(frame, video=video)
        assert got_columns(result) == expected_columns(row), f"frame {number}"
        top = ",".join(f"{location}:{similarity:.6f}" for location, similarity in result.top)
        assert top == row["top"], f"frame {number}"
        assert result.new_location is None
    with pytest.raises(ValueError, match="width=320"):
        placefinder.Recogniser().load(made)


# The per-frame work in two halves: analyze() anywhere, PlaceMap.recognise()
# in order.

def test_analysis_and_recognition_apart_give_the_recognisers_results(tree_frames, tmp_path):
    whole = placefinder.Recogniser()
    places = placefinder.PlaceMap()
    for number, frame in enumerate(tree_frames):
        expected = whole.process(frame, video="tree.avi")
        # Through a pickle, as the analysis of a frame travels between processes.
        analyzed = pickle.loads(pickle.dumps(placefinder.analyze(frame)))
        found = places.recognise(analyzed.frame_string, "tree.avi", number)
        got = (analyzed.detections, analyzed.runs, found.location, found.new_location,
               found.similarity, analyzed.identifier_line)
        assert got == columns(expected), f"frame {number}"
        assert (found.origin is None) == (found.location is None), f"frame {number}"
    # A recognised place names the frame that recorded it (or last replaced it).
    assert places.recognise(placefinder.analyze(tree_frames[5]).frame_string).origin[0] == "tree.avi"
    assert len(places) > 0 and places.location_counter >= len(places)


def test_frame_strings_carry_the_runs_a_place_map_stores(tree_frames, tmp_path):
    places = placefinder.PlaceMap()
    strings = [placefinder.analyze(frame).frame_string for frame in tree_frames[:3]]
    for number, s in enumerate(strings):
        places.recognise(s, "tree.avi", number)
    path = tmp_path / "tree.places"
    places.save_as(str(path))
    with sqlite3.connect(path) as db:
        stored = {frame: (length, runs) for length, runs, frame in
                  db.execute("SELECT length, runs, frame FROM places")}
    assert stored, "no place stored"
    for frame, (length, runs) in stored.items():
        s = strings[frame]
        assert (s.length, s.runs, s.run_count) == (length, runs, len(runs) // 6)
        assert placefinder.FrameString(length, runs) == s


def run(identifier, count):
    return struct.pack("<hI", identifier, count)


@pytest.mark.parametrize("length, runs, words", [
    (-1, b"", "length of -1"),
    (2**31, b"", "length of"),
    (5, run(1, 2)[:5], "not whole"),
    (5, run(1, 0), "count 0"),
    (5, run(1, 2**31), "count"),
    (5, run(3, 1) + run(3, 1), "ascending"),
    (5, run(3, 1) + run(2, 1), "ascending"),
    (5, run(-2, 3) + run(4, 3), "more than its length 5"),
])
def test_malformed_frame_strings_are_refused(length, runs, words):
    with pytest.raises(ValueError, match=words):
        placefinder.FrameString(length, runs)
    # Unpickling a string from another process makes it the same way.
    make, args = placefinder.FrameString().__reduce_ex__(2)[:2]
    with pytest.raises(ValueError, match=words):
        make(*args).__setstate__((length, runs))


def test_well_formed_frame_strings_are_taken_as_given():
    s = placefinder.FrameString(9, run(-5, 2) + run(0, 3) + run(7000, 4))
    assert (s.length, s.run_count) == (9, 3)
    assert pickle.loads(pickle.dumps(s)) == s
    assert placefinder.FrameString() == placefinder.FrameString(0, b"")
    places = placefinder.PlaceMap(threshold=1.0)
    assert places.recognise(s).new_location == 0
    assert places.recognise(placefinder.FrameString(9, run(-5, 2) + run(0, 3) + run(7000, 4)))\
        .similarity == 1.0


def test_a_place_map_opened_keeps_placetraces_rules(tree_frames, tmp_path):
    path = str(tmp_path / "tree.places")
    subprocess.run([PLACETRACE, "--places", path, "--frames", "30", video_path("tree.avi")],
                   capture_output=True, check=True, timeout=600)
    before = (tmp_path / "tree.places").read_bytes()

    strict = placefinder.PlaceMap(threshold=0.9)
    with pytest.raises(placefinder.PlaceMapThresholdError, match="threshold 0.67, not 0.9"):
        strict.open(path, require_threshold=True)
    with pytest.raises(placefinder.PlaceMapError, match="does not exist"):
        strict.open(str(tmp_path / "missing.places"), may_create=False)
    with pytest.raises(placefinder.PlaceMapError, match="no file"):
        strict.save()
    assert len(strict) == 0 and strict.threshold == 0.9

    taken = placefinder.PlaceMap(threshold=0.9)
    taken.open(path)  # without require_threshold the file's threshold is taken
    assert (taken.threshold, taken.loaded_places, taken.created) == (0.67, len(taken), False)
    taken.release()
    assert (tmp_path / "tree.places").read_bytes() == before

    places = placefinder.PlaceMap()
    places.open(path)
    for number, frame in enumerate(tree_frames[30:], start=30):
        places.recognise(placefinder.analyze(frame).frame_string, video_path("tree.avi"), number)
    places.save()
    whole = str(tmp_path / "whole.places")
    subprocess.run([PLACETRACE, "--places", whole, video_path("tree.avi")],
                   capture_output=True, check=True, timeout=600)
    assert dump(path, pictures=False) == dump(whole, pictures=False)

    fresh = placefinder.PlaceMap()
    fresh.open(str(tmp_path / "new.places"))
    assert fresh.created
    fresh.release()


def dump(path, pictures=True):
    """The map as SQL; without its pictures, which only Placetrace makes."""
    if pictures:
        return subprocess.run(["sqlite3", path, ".dump"], capture_output=True, text=True,
                              check=True, timeout=60).stdout
    return map_dump.without_pictures(path)


def test_a_place_map_gives_each_places_picture_as_placetrace_kept_it(tmp_path):
    path = str(tmp_path / "tree.places")
    subprocess.run([PLACETRACE, "--places", path, video_path("tree.avi")],
                   capture_output=True, check=True, timeout=600)
    with sqlite3.connect(path) as db:
        stored = db.execute("SELECT location, thumbnail FROM places").fetchall()
    assert stored and all(picture is not None for _, picture in stored)
    places = placefinder.PlaceMap()
    places.open(path)
    for location, jpeg in stored:
        picture = places.thumbnail(location)
        # tree.avi's frames are 320 x 240: the picture is half their size.
        assert picture.shape == (120, 160, 3) and picture.dtype == np.uint8
        assert np.array_equal(picture, cv2.imdecode(np.frombuffer(jpeg, np.uint8), cv2.IMREAD_COLOR))
        assert picture.std() > 10, "a picture of the video, not a blank one"
    assert places.thumbnail(max(location for location, _ in stored) + 1000) is None
    # A place recorded through Python has no picture.
    recorded = places.recognise(placefinder.FrameString(3, struct.pack("<hihi", 7, 1, 9, 2)),
                                "python", 0).new_location
    assert recorded is not None and places.thumbnail(recorded) is None
    places.release()


def test_positions_are_printed_as_the_programs_print_them():
    cases = [(0.0, 0), (41.7, 41), (-0.9, 0), (-1.5, 2**32 - 1), (2147483647.9, 2147483647),
             (2147483648.0, 0), (-2147483648.5, 2**31), (math.nan, 0), (math.inf, 0)]
    assert [placefinder.position_ms(p) for p, _ in cases] == [ms for _, ms in cases]
