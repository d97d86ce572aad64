"""placefinder.cluster: Placetrace's run over a Dask cluster.

    python3 -m placefinder.cluster [--scheduler ADDRESS] [--workers N] [--places FILE]
                                   [--threshold T] [--frames N] [--chunk FRAMES] VIDEO...

Prints what Placetrace prints for the same videos, map and options, byte for
byte, and leaves the same place map. The analysis of the frames (decoding,
detection, identifier strings: nearly all the work) runs on the cluster's
workers in chunks of consecutive frames (chunks.py); the recognition, which
must see the frames in order against one map, runs here, consuming the
chunks in order as they arrive. At most a window of chunks (three per worker
thread, at least four) is asked for ahead of the one being consumed.

A chunk after the first of its video is reached by seeking, which is checked
at each boundary: the chunk before it decodes the chunk's first frames in
order (its tail) and they must be the frames (pixels and positions) the
chunk found by seeking (its head). When they differ, the video's remaining
chunks are dropped and its frames from that boundary on are read in order
as one task. A video whose frame count is not known is one task from the
start; the last chunk of a video reads on to its end (or to --frames), so
that a count that is too low loses no frame.

Without --scheduler a local cluster of N worker processes (one thread each;
default: the cores this process may use) is started on 127.0.0.1 and closed
at the end; with it, the run joins the scheduler at ADDRESS, whose workers
must be able to import placefinder and read the videos under the names given.
A worker that dies has its chunks recomputed by Dask. The rules for videos and
maps are Placetrace's; a scheduler that cannot be reached or a cluster that
fails during the run stops it with one line and status 1, the map left as it
was (removed again when the run created it).
"""

import argparse
import collections
import logging
import math
import os
import signal
import sys
import time
import uuid

import placefinder
from placefinder import chunks

PROGRAM = "placefinder.cluster"

HEADER = "video\tframe\tposition_ms\tdetections\truns\tlocation\tnew_location\tsimilarity\tids\n"

USAGE = (
    "usage: python3 -m placefinder.cluster [--scheduler ADDRESS] [--workers N] [--places FILE]\n"
    "                                      [--threshold T] [--frames N] [--chunk FRAMES] VIDEO...\n"
)


class UsageError(Exception):
    pass


class ClusterError(Exception):
    """The cluster cannot be reached or failed; the run stops without saving."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def _whole(text, low, high, what):
    try:
        value = int(text, 10)
    except ValueError:
        value = None
    if value is None or not low <= value <= high or text.strip() != text:
        raise UsageError(what)
    return value


def parse_options(argv):
    parser = _Parser(prog=PROGRAM, usage=USAGE[len("usage: "):], add_help=False,
                     description=__doc__.split("\n\n")[2])
    parser.add_argument("-h", "--help", action="store_true", help="print this help and exit")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="join the Dask scheduler at ADDRESS (e.g. tcp://host:8786) instead "
                             "of starting a local cluster")
    parser.add_argument("--workers", metavar="N",
                        help="worker processes of the local cluster (default: the cores this "
                             "process may use)")
    parser.add_argument("--places", metavar="FILE",
                        help="load the places from FILE first (created when missing) and save "
                             "them back to it at the end")
    parser.add_argument("--threshold", metavar="T",
                        help="the similarity a stored string needs to be recognised, in [0, 1]; "
                             "default 0.67, or the threshold FILE was made with")
    parser.add_argument("--frames", metavar="N", help="read at most N frames of each video")
    parser.add_argument("--chunk", metavar="FRAMES",
                        help="frames a task analyzes (default 100)")
    parser.add_argument("videos", nargs="*", metavar="VIDEO",
                        help="the videos, read one after the other")
    options = parser.parse_args(argv)
    if options.help:
        return options, parser.format_help()
    if options.frames is not None:
        options.frames = _whole(options.frames, 1, sys.maxsize,
                                "--frames needs a positive whole number")
    if options.workers is not None:
        if options.scheduler is not None:
            raise UsageError("--workers is for the local cluster; the scheduler's workers are "
                             "started with it")
        options.workers = _whole(options.workers, 1, 256,
                                 "--workers needs a whole number from 1 to 256")
    else:
        options.workers = max(1, len(os.sched_getaffinity(0)))
    options.chunk = 100 if options.chunk is None else _whole(
        options.chunk, 1, 1 << 30, "--chunk needs a positive whole number")
    options.threshold_given = options.threshold is not None
    if options.threshold_given:
        try:
            value = float(options.threshold)
        except ValueError:
            value = math.nan
        if not 0.0 <= value <= 1.0:
            raise UsageError("--threshold needs a number from 0 to 1")
        options.threshold = value
    else:
        options.threshold = placefinder.PlaceMap().threshold
    for name in ("places", "scheduler"):
        if getattr(options, name) == "":
            raise UsageError(f"--{name} needs a {'file name' if name == 'places' else 'value'}")
    if not options.videos:
        raise UsageError("no video given")
    return options, None


def say(text):
    sys.stderr.write(f"{PROGRAM}: {text}\n")
    sys.stderr.flush()


def format_line(video, frame, position, analyzed, found):
    def optional(value):
        return "-" if value is None else str(value)

    ids = analyzed.identifier_line
    return "\t".join((
        video,
        str(frame),
        str(placefinder.position_ms(position)),
        str(analyzed.detections),
        str(analyzed.runs),
        optional(found.location),
        optional(found.new_location),
        "-" if found.similarity is None else "%.6f" % found.similarity,
        ids[:-1] if ids else "",
    )) + "\n"


class Tally:
    def __init__(self):
        self.frames = 0
        self.recognised = 0
        self.recorded = 0

    def add(self, other):
        self.frames += other.frames
        self.recognised += other.recognised
        self.recorded += other.recorded


def print_tally(what, tally, seconds):
    rate = tally.frames / seconds if seconds > 0 else 0.0
    say(f"{what}: {tally.frames} frames, {tally.recorded} locations recorded, "
        f"{tally.recognised} frames recognised, {rate:.1f} frames per second")


class Task:
    """One submitted chunk: frames [start, stop) of a video."""

    __slots__ = ("video", "start", "stop", "future", "seek")

    def __init__(self, video, start, stop, future, seek=True):
        self.video = video
        self.start = start
        self.stop = stop
        self.future = future
        self.seek = seek and start > 0  # reached by seeking, so checked at its boundary


class Video:
    """A video of the run and the chunks still to be submitted for it."""

    def __init__(self, index, name, probe):
        self.index = index
        self.name = name
        self.probe = probe  # future of chunks.probe()
        self.opened = None
        self.reported = 0.0
        self.plan = None  # (start, stop) of each chunk, made once the probe is in
        self.next = 0     # the next chunk of the plan to submit


class Run:
    def __init__(self, client, options, places, out):
        self.client = client
        self.options = options
        self.places = places
        self.out = out
        self.token = uuid.uuid4().hex[:8]
        self.sequence = 0
        threads = sum(w.get("nthreads", 1) for w in client.scheduler_info()["workers"].values())
        self.window = max(4, 3 * threads)
        self.pending = collections.deque()
        self.videos = [
            Video(i, name, self.submit(chunks.probe, name, key=f"probe-{i}", priority=1))
            for i, name in enumerate(options.videos)
        ]
        self.submitting = 0  # the video whose chunks are being submitted
        self.progress = sys.stderr.isatty()
        self.full = False

    def submit(self, function, *args, key, priority=None):
        # Earlier chunks first; keys name the run so that runs sharing a
        # scheduler never share results.
        self.sequence += 1
        return self.client.submit(function, *args, key=f"{key}-{self.token}", pure=False,
                                  priority=-self.sequence if priority is None else priority)

    def result(self, future):
        """The future's result, failing when the cluster cannot give it."""
        idle_since = None
        limit = _connect_timeout()
        while True:
            try:
                return future.result(timeout=2)
            except TimeoutError:
                if future.done():
                    continue
            except Exception as error:
                raise ClusterError(
                    f"a task failed on the cluster: {type(error).__name__}: {error}")
            if self.client.status != "running":
                raise ClusterError("lost the connection to the scheduler")
            if self.client.scheduler_info()["workers"]:
                idle_since = None
            elif idle_since is None:
                idle_since = time.monotonic()
            elif time.monotonic() - idle_since > limit:
                raise ClusterError(f"no worker has been left on the scheduler for {limit:g} s")

    def make_plan(self, video):
        video.opened, video.reported = self.result(video.probe)
        video.probe = None
        video.plan = []
        if not video.opened:
            return
        limit = self.options.frames
        reported = video.reported
        count = int(reported) if 1 <= reported < 1e12 else 0
        if count == 0:
            video.plan = [(0, limit)]  # no count to split by: read in order
            return
        end = count if limit is None else min(count, limit)
        size = self.options.chunk
        starts = list(range(0, end, size))
        video.plan = [(s, s + size) for s in starts[:-1]] + [(starts[-1], limit)]

    def tail_of(self, video, index):
        if index + 1 >= len(video.plan):
            return 0
        start, stop = video.plan[index + 1]
        return chunks.BOUNDARY if stop is None else min(chunks.BOUNDARY, stop - start)

    def refill(self):
        while len(self.pending) < self.window and self.submitting < len(self.videos):
            video = self.videos[self.submitting]
            if video.plan is None:
                if self.pending and not video.probe.done():
                    return  # not worth waiting for while chunks are under way
                self.make_plan(video)
            if video.next >= len(video.plan):
                self.submitting += 1
                continue
            start, stop = video.plan[video.next]
            tail = self.tail_of(video, video.next)
            future = self.submit(chunks.analyze_chunk, video.name, start, stop, tail,
                                 key=f"chunk-{video.index}-{start}")
            self.pending.append(Task(video, start, stop, future))
            video.next += 1

    def drop_rest(self, video):
        """Drops the chunks of `video` still to come."""
        if video.plan is not None:
            video.next = len(video.plan)
        while self.pending and self.pending[0].video is video:
            self.pending.popleft().future.cancel()

    def trace(self, video, tally):
        """Consumes the chunks of `video`, printing its lines. Returns (read, stop)."""
        result = self.trace_chunks(video, tally)
        self.drop_rest(video)  # whatever ended the video, its chunks are not wanted
        return result

    def trace_chunks(self, video, tally):
        if video.plan is None:
            self.make_plan(video)
        if not video.opened:
            say(f"cannot open {video.name} as a video; going on without it")
            return False, False
        total = int(video.reported) if 1 <= video.reported < 1e12 else 0
        limit = self.options.frames
        if limit is not None and (total == 0 or limit < total):
            total = limit
        start_time = time.monotonic()
        expected = None  # the tail of the chunk before: what the next must begin with
        frame = 0
        name = video.name
        while True:
            self.refill()
            if not self.pending or self.pending[0].video is not video:
                break
            task = self.pending.popleft()
            chunk = self.result(task.future)
            task.future.release()
            if not chunk.opened and task.start == 0:
                say(f"cannot open {name} as a video; going on without it")
                return False, False
            if task.seek and (not chunk.opened or expected is not None and chunk.head != expected):
                # Seeking did not give the frames reading in order gives.
                self.drop_rest(video)
                say(f"{name} cannot be read exactly from frame {task.start} on by seeking; "
                    "its frames from there on are read in order as one task")
                future = self.submit(chunks.analyze_chunk, name, task.start, self.options.frames,
                                     0, False, key=f"in-order-{video.index}-{task.start}")
                self.pending.appendleft(Task(video, task.start, self.options.frames, future,
                                             seek=False))
                continue
            lines = []
            for position, analyzed in chunk.frames:
                found = self.places.recognise(analyzed.frame_string, name, frame)
                lines.append(format_line(name, frame, position, analyzed, found))
                if found.location is not None:
                    tally.recognised += 1
                if found.new_location is not None:
                    tally.recorded += 1
                if found.full and not self.full:
                    self.full = True
                    self.write(lines)
                    lines = []
                    say("every location index is in use; frames of new places are no longer "
                        f"recorded (from frame {frame} of {name} on)")
                frame += 1
            self.write(lines)
            tally.frames = frame
            if self.progress:
                seconds = time.monotonic() - start_time
                sys.stderr.write(f"\r{name}: frame {frame} of {total}, "
                                 f"{frame / seconds if seconds > 0 else 0.0:.1f} frames per second ")
                sys.stderr.flush()
            if chunk.error is not None:
                self.clear_progress()
                number, message = chunk.error
                say(f"cannot process frame {number} of {name}: {message}")
                return False, True
            if chunk.ended or not chunk.opened:
                self.drop_rest(video)
                break
            expected = chunk.tail
        self.clear_progress()
        if frame == 0:
            say(f"no frame could be read from {name}; going on without it")
            return False, False
        # As Placetrace: a file cut short or damaged ends early without an
        # error; its header still tells how many frames it was meant to hold.
        reported = video.reported
        claimed = int(reported) if 1 <= reported < 1e12 else 0
        limit = self.options.frames
        if frame < claimed and (limit is None or frame < limit):
            say(f"{name}: {frame} frames could be decoded of the {claimed} its header claims")
        return True, False

    def write(self, lines):
        if lines:
            self.out.write("".join(lines).encode("utf-8", "surrogateescape"))

    def clear_progress(self):
        if self.progress:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()

    def run(self):
        """Traces every video; returns the exit status before the map is saved."""
        self.out.write(HEADER.encode())
        start = time.monotonic()
        total = Tally()
        failed = False
        for video in self.videos:
            video_start = time.monotonic()
            tally = Tally()
            read, stop = self.trace(video, tally)
            failed = failed or not read
            self.out.flush()
            if tally.frames > 0:
                print_tally(video.name, tally, time.monotonic() - video_start)
            total.add(tally)
            if stop:
                for task in self.pending:
                    task.future.cancel()
                self.pending.clear()
                break
        self.out.flush()
        print_tally("total", total, time.monotonic() - start)
        return 1 if failed or self.full else 0


def _connect_timeout():
    import dask
    from dask.utils import parse_timedelta

    return parse_timedelta(dask.config.get("distributed.comm.timeouts.connect"), default="s")


class Cluster:
    """The client of the scheduler at `address`, or of a local cluster."""

    def __init__(self, address, workers):
        self.address = address
        self.workers = workers
        self.local = None
        self.client = None

    def __enter__(self):
        from distributed import Client, LocalCluster

        timeout = _connect_timeout()
        try:
            if self.address is None:
                self.local = LocalCluster(n_workers=self.workers, threads_per_worker=1,
                                          processes=True, host="127.0.0.1",
                                          dashboard_address=None, silence_logs=logging.ERROR)
                self.client = Client(self.local, set_as_default=False)
            else:
                self.client = Client(self.address, timeout=timeout, set_as_default=False)
        except Exception as error:
            self.__exit__(None, None, None)
            where = "a local cluster" if self.address is None else f"the scheduler {self.address}"
            raise ClusterError(f"cannot reach {where}: {error}")
        try:
            self.client.wait_for_workers(1, timeout=timeout)
        except Exception:
            self.__exit__(None, None, None)
            raise ClusterError(f"the scheduler {self.address} has no worker (waited {timeout:g} s)")
        return self.client

    def __exit__(self, *exc):
        if self.client is not None:
            self.client.close()
            self.client = None
        if self.local is not None:
            self.local.close()
            self.local = None
        return False


class Terminated(BaseException):
    """SIGTERM, raised so that the cluster is closed on the way out."""


def _terminate(signum, frame):
    raise Terminated()


def main(argv=None):
    try:
        options, help_text = parse_options(sys.argv[1:] if argv is None else argv)
    except UsageError as error:
        sys.stderr.write(f"{PROGRAM}: {error}\n{USAGE}(--help lists every option)\n")
        return 2
    if help_text is not None:
        sys.stdout.write(help_text)
        return 0
    # Dask logs to standard error; only this program's own lines belong there.
    logging.getLogger("distributed").setLevel(logging.CRITICAL)
    chunks.quiet()
    signal.signal(signal.SIGTERM, _terminate)

    # The map is opened, locked and read before anything else, so that a map
    # that cannot be used costs nothing and stays as it was.
    places = placefinder.PlaceMap(options.threshold)
    if options.places is not None:
        try:
            places.open(options.places, require_threshold=options.threshold_given,
                        may_create=True)
        except placefinder.PlaceMapThresholdError as error:
            say(f"{error} (leave out --threshold to use the map's)")
            return 1
        except placefinder.PlaceMapError as error:
            say(str(error))
            return 1

    def abandon():
        # The run ends without saving: the map stays as it was, and a map this
        # run created goes again.
        if options.places is not None:
            created = places.created
            places.release()
            if created:
                try:
                    os.unlink(options.places)
                except OSError:
                    pass

    try:
        with Cluster(options.scheduler, options.workers) as client:
            status = Run(client, options, places, sys.stdout.buffer).run()
    except ClusterError as error:
        sys.stdout.flush()
        say(str(error))
        abandon()
        return 1
    except KeyboardInterrupt:
        abandon()
        return 128 + signal.SIGINT
    except Terminated:
        abandon()
        return 128 + signal.SIGTERM
    except BrokenPipeError:
        abandon()
        return 1

    if options.places is not None:
        try:
            places.save()
        except placefinder.PlaceMapError as error:
            say(f"{error}; it is left as it was")
            return 1
        say(f"the place map {options.places} holds {len(places)} places "
            f"({places.loaded_places} loaded), location counter {places.location_counter}")
    return status


if __name__ == "__main__":
    sys.exit(main())
