"""Tests of placefinder.cluster against the Placetrace program of the same build.

Run from CTest, which sets PYTHONPATH to the built package, PF_PLACETRACE to
the built Placetrace and PF_DATA_DIR to the sample videos.

Every process a test starts gets a session of its own; whatever is still in
that session when the test ends is killed by its id, and the tests that run
the program check that nothing of it (scheduler, workers) outlives it.
"""

import io
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import map_dump
import placefinder
from placefinder import chunks, cluster

DATA_DIR = os.environ.get("PF_DATA_DIR", os.path.join(os.path.dirname(__file__), "..", "data"))
PLACETRACE = os.environ.get("PF_PLACETRACE")
VIDEOS = ["Megamind.avi", "tree.avi", "vtest.avi"]
TIMEOUT = 300


def video_path(name):
    path = os.path.abspath(os.path.join(DATA_DIR, name))
    assert os.path.isfile(path), f"{path} is missing: run scripts/setup.sh"
    return path


def session_members(session):
    """The ids of the processes in `session`."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rpartition(")")[2].split()
        except OSError:
            continue
        if int(fields[3]) == session and fields[0] != "Z":
            members.append(int(entry))
    return members


class Processes:
    """Processes started in sessions of their own, all gone after `with`."""

    def __init__(self):
        self.started = []

    def start(self, command, **kwargs):
        process = subprocess.Popen(command, start_new_session=True, **kwargs)
        self.started.append(process)
        return process

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for process in self.started:
            for pid in session_members(process.pid):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            process.wait(timeout=60)
        return False


def tool_environment(tmp_path, **extra):
    env = dict(os.environ)
    # The package this test imported, wherever the processes start.
    package = os.path.dirname(os.path.dirname(os.path.abspath(placefinder.__file__)))
    env["PYTHONPATH"] = os.pathsep.join([package] + env.get("PYTHONPATH", "").split(os.pathsep))
    env["DASK_TEMPORARY_DIRECTORY"] = str(tmp_path / "dask")
    env.update(extra)
    return env


def assert_session_ends(process):
    # The program closes its cluster before it exits; give stragglers a moment.
    deadline = time.monotonic() + 15
    while session_members(process.pid) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert not session_members(process.pid), "processes of the run outlived it"


def run_tool(args, tmp_path, env=None, cwd=None):
    """(status, stdout bytes, stderr text) of python3 -m placefinder.cluster."""
    with Processes() as processes:
        process = processes.start([sys.executable, "-m", "placefinder.cluster"] + args,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  env=env or tool_environment(tmp_path), cwd=cwd or tmp_path)
        out, err = process.communicate(timeout=TIMEOUT)
        assert_session_ends(process)
    return process.returncode, out, err.decode()


def run_placetrace(args, cwd):
    assert PLACETRACE, "PF_PLACETRACE is not set: run the tests through ctest"
    done = subprocess.run([PLACETRACE] + args, capture_output=True, timeout=TIMEOUT, cwd=cwd)
    return done.returncode, done.stdout, done.stderr.decode()


def summary(stderr, program):
    """The summary lines with the program's name and the timings left out."""
    text = re.sub(r"[0-9.]+ frames per second", "N frames per second", stderr)
    return [line[len(program) + 2:] for line in text.splitlines()
            if line.startswith(program + ": ")]


def dump(path):
    """The map as SQL without its pictures (the cluster tool makes none)."""
    return map_dump.without_pictures(path)


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """Placetrace over the three videos into a new map: status, stdout, summary, dump."""
    folder = tmp_path_factory.mktemp("placetrace")
    videos = [video_path(v) for v in VIDEOS]
    status, out, err = run_placetrace(["--threads", "2", "--places", "run.map"] + videos, folder)
    assert status == 0, err
    return status, out, summary(err, "Placetrace"), dump(folder / "run.map")


def assert_same_run(got, reference, map_path):
    status, out, err = got
    assert (status, summary(err, cluster.PROGRAM)) == (reference[0], reference[2]), err
    assert out == reference[1], "the lines differ from Placetrace's"
    assert dump(map_path) == reference[3]


def test_a_local_cluster_prints_placetraces_lines_and_leaves_its_map(reference, tmp_path):
    videos = [video_path(v) for v in VIDEOS]
    got = run_tool(["--workers", "2", "--chunk", "25", "--places", "run.map"] + videos, tmp_path)
    assert_same_run(got, reference, tmp_path / "run.map")
    assert sorted(os.listdir(tmp_path)) == ["dask", "run.map"], "files left in the folder"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_scheduler(processes, tmp_path, env):
    """Starts a scheduler and returns its address."""
    address_file = tmp_path / "scheduler.json"
    processes.start(["dask-scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                     "--scheduler-file", str(address_file)],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, cwd=tmp_path)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        try:
            return json.loads(address_file.read_text())["address"]
        except (OSError, ValueError, KeyError):
            time.sleep(0.2)
    raise AssertionError("the scheduler did not start")


def start_worker(processes, tmp_path, env, address):
    return processes.start(["dask-worker", "--no-nanny", "--nthreads", "1", "--host", "127.0.0.1",
                            "--no-dashboard", address],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
                           cwd=tmp_path)


@pytest.mark.parametrize("kill", [False, True], ids=["both workers", "one worker killed"])
def test_a_scheduler_with_workers_of_their_own_gives_placetraces_run(kill, reference, tmp_path):
    env = tool_environment(tmp_path)
    videos = [video_path(v) for v in VIDEOS]
    with Processes() as processes:
        address = start_scheduler(processes, tmp_path, env)
        workers = [start_worker(processes, tmp_path, env, address) for _ in range(2)]
        tool = processes.start([sys.executable, "-m", "placefinder.cluster", "--scheduler",
                                address, "--chunk", "25", "--places", "run.map"] + videos,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                               cwd=tmp_path)
        out, err, lines_at_kill = bytearray(), [], []

        def read_errors():
            err.append(tool.stderr.read())

        reader = threading.Thread(target=read_errors)
        reader.start()
        total = reference[1].count(b"\n")
        for line in tool.stdout:
            out += line
            # Killed while the run is under way: its lines are half written.
            if kill and not lines_at_kill and out.count(b"\n") >= total // 3:
                workers[0].send_signal(signal.SIGKILL)
                lines_at_kill.append(out.count(b"\n"))
        tool.wait(timeout=TIMEOUT)
        reader.join(timeout=TIMEOUT)
        assert_session_ends(tool)
        got = (tool.returncode, bytes(out), err[0].decode())
        if kill:
            assert workers[0].wait(timeout=60) == -signal.SIGKILL
            assert lines_at_kill and lines_at_kill[0] < total
            assert workers[1].poll() is None, "the other worker is gone too"
    assert_same_run(got, reference, tmp_path / "run.map")


def placetrace_map(folder, name, *args):
    status, _, err = run_placetrace(["--places", name, *args], folder)
    assert status == 0, err
    return folder / name


# What a run that cannot go on as asked does. Each case: its arguments (MAP: a
# copy of a map Placetrace made from tree.avi's first 10 frames; GARBAGE: a
# file that is no video and no map); the line the program must say, or None
# where it must do exactly what Placetrace does with the same arguments
# (status, lines, summary, map); and whether the map file must stay byte for
# byte as it was.
BAD_CASES = {
    "scheduler unreachable": (
        ["--scheduler", "tcp://127.0.0.1:PORT", "--places", "MAP", "tree.avi"],
        "cannot reach the scheduler tcp://127.0.0.1:PORT", True),
    "scheduler unreachable, new map": (
        ["--scheduler", "tcp://127.0.0.1:PORT", "--places", "new.map", "tree.avi"],
        "cannot reach the scheduler", True),
    "not a place map": (["--places", "GARBAGE", "tree.avi"], None, True),
    "a map of another threshold": (["--places", "MAP", "--threshold", "0.5", "tree.avi"], None,
                                   True),
    "a folder as the map": (["--places", ".", "tree.avi"], None, True),
    "unreadable video": (["--places", "MAP", "GARBAGE"], None, False),
    "unreadable videos among others": (
        ["--places", "MAP", "--frames", "12", "GARBAGE", "tree.avi", "missing.avi"], None, False),
}


@pytest.mark.parametrize("case", BAD_CASES)
def test_runs_that_cannot_go_on_say_so_and_leave_the_map(case, tmp_path):
    args, words, untouched = BAD_CASES[case]
    made = placetrace_map(tmp_path, "made.map", "--frames", "10", video_path("tree.avi"))
    port = str(free_port())
    runs = {}
    for program in ("cluster", "Placetrace") if words is None else ("cluster",):
        folder = tmp_path / program
        folder.mkdir()
        shutil.copy(made, folder / "map")
        (folder / "garbage").write_bytes(b"neither a video nor a place map\n" * 40)
        shutil.copy(video_path("tree.avi"), folder / "tree.avi")
        given = [{"MAP": "map", "GARBAGE": "garbage"}.get(a, a).replace("PORT", port)
                 for a in args]
        if program == "cluster":
            env = tool_environment(tmp_path, DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="3s")
            local = [] if "--scheduler" in given else ["--workers", "1"]
            runs[program] = run_tool(local + given, tmp_path, env=env, cwd=folder)
        else:
            runs[program] = run_placetrace(given, folder)

    status, out, err = runs["cluster"]
    folder = tmp_path / "cluster"
    if words is not None:
        lines = err.splitlines()
        assert (status, out) == (1, b"")
        assert len(lines) == 1 and lines[0].startswith(cluster.PROGRAM + ": "), err
        assert words.replace("PORT", port) in lines[0], err
    else:
        expected = runs["Placetrace"]
        assert status == expected[0] == 1, err
        assert out == expected[1]
        assert summary(err, cluster.PROGRAM) == summary(expected[2], "Placetrace")
        assert dump(folder / "map") == dump(tmp_path / "Placetrace" / "map")
    if untouched:
        assert (folder / "map").read_bytes() == made.read_bytes()
    assert (folder / "garbage").read_bytes() == b"neither a video nor a place map\n" * 40
    assert not (folder / "new.map").exists()


# The chunks of a video and the checks at their boundaries, with a cluster of
# threads in this process, so that the way a worker reads can be changed.

@pytest.fixture(scope="module")
def threads_client():
    from distributed import Client

    client = Client(processes=False, n_workers=1, threads_per_worker=2, dashboard_address=None)
    yield client
    client.close()


@pytest.fixture(scope="module")
def short_reference(tmp_path_factory):
    folder = tmp_path_factory.mktemp("short")
    videos = [video_path("Megamind.avi"), video_path("tree.avi")]
    status, out, err = run_placetrace(["--frames", "60"] + videos, folder)
    assert status == 0, err
    return out, summary(err, "Placetrace")


def seek_late(reader, number):
    reader.capture.set(__import__("cv2").CAP_PROP_POS_FRAMES, float(number + 1))


def seek_nowhere(reader, number):
    reader.capture.set(__import__("cv2").CAP_PROP_POS_FRAMES, 1e9)


# How a worker may find a video other than the sample videos are: patched
# function and its stand-in, and whether the run must say it reads in order.
READERS = {
    "seeks exact": (None, None, False),
    "seeks land a frame late": ("seek_frame", seek_late, True),
    "seeks deliver nothing": ("seek_frame", seek_nowhere, True),
    "no frame count": ("probe", lambda path: (True, 0.0), False),
    "a frame count that is too low": ("probe", lambda path: (True, 20.0), False),
    "a frame count that is far too high": ("probe", lambda path: (True, 5000.0), False),
}


@pytest.mark.parametrize("case", READERS)
def test_chunks_give_the_frames_of_a_run_in_order(case, threads_client, short_reference,
                                                  monkeypatch, capsys):
    name, stand_in, in_order = READERS[case]
    if name == "seek_frame":
        monkeypatch.setattr(chunks.Reader, "seek_frame", stand_in)
    elif name == "probe":
        monkeypatch.setattr(chunks, "probe", stand_in)
    videos = [video_path("Megamind.avi"), video_path("tree.avi")]
    options, _ = cluster.parse_options(["--chunk", "7", "--frames", "60"] + videos)
    out = io.BytesIO()
    status = cluster.Run(threads_client, options, placefinder.PlaceMap(), out).run()
    err = capsys.readouterr().err
    assert status == 0, err
    assert out.getvalue() == short_reference[0]
    notes = [line for line in summary(err, cluster.PROGRAM) if "by seeking" in line]
    assert [line for line in summary(err, cluster.PROGRAM) if line not in notes] == \
        short_reference[1]
    # Each video once, at its first boundary.
    found = [re.search(r"([^/]+) cannot be read exactly from frame (\d+)", n).groups()
             for n in notes]
    assert found == ([("Megamind.avi", "7"), ("tree.avi", "7")] if in_order else [])


def test_a_video_that_no_longer_opens_after_its_probe_is_skipped(threads_client, tmp_path,
                                                                 monkeypatch, capsys):
    videos = [str(tmp_path / "gone.avi"), video_path("tree.avi")]
    expected = run_placetrace(["--frames", "20"] + videos, tmp_path)
    monkeypatch.setattr(chunks, "probe", lambda path: (True, 100.0))
    options, _ = cluster.parse_options(["--chunk", "7", "--frames", "20"] + videos)
    out = io.BytesIO()
    status = cluster.Run(threads_client, options, placefinder.PlaceMap(), out).run()
    err = capsys.readouterr().err
    assert (status, out.getvalue()) == (expected[0], expected[1]) and status == 1
    assert summary(err, cluster.PROGRAM) == summary(expected[2], "Placetrace")


@pytest.mark.parametrize("args, words", [
    (["--frames", "0", "a.avi"], "--frames needs a positive whole number"),
    (["--threshold", "1.5", "a.avi"], "--threshold needs a number from 0 to 1"),
    (["--threshold", "nan", "a.avi"], "--threshold needs a number from 0 to 1"),
    (["--chunk", "x", "a.avi"], "--chunk needs a positive whole number"),
    (["--workers", "0", "a.avi"], "--workers needs a whole number from 1 to 256"),
    (["--scheduler", "tcp://127.0.0.1:1", "--workers", "2", "a.avi"], "--workers is for"),
    (["--places", "", "a.avi"], "--places needs a file name"),
    (["--frames", "5"], "no video given"),
    (["--fast", "a.avi"], "unrecognized arguments: --fast"),
])
def test_usage_errors_end_with_status_2(args, words, capsys):
    assert cluster.main(args) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"{cluster.PROGRAM}: {words}") and "usage:" in err, err


def test_help_lists_the_options(capsys):
    assert cluster.main(["--help"]) == 0
    out = capsys.readouterr().out
    for option in ("--scheduler", "--workers", "--places", "--threshold", "--frames", "--chunk"):
        assert option in out
