#!/usr/bin/env python3
"""Frames per second of placefinder.cluster against Placetrace --threads, side by side.

    PYTHONPATH=build/python /usr/bin/python3 bench/cluster_bench.py [--build build]
        [--rounds 5] [--workers 2] [--chunks 25,100] [--map-size 10000] [VIDEO...]

Runs, alternated round after round on the same videos (default: the three
sample videos):

  - Placetrace --threads W
  - python3 -m placefinder.cluster --workers W --chunk C, for each C

and prints the medians: the whole process's wall time (the cluster tool's
includes starting and closing its local cluster), and the frames per second
of the run itself (its "total" line: from the header to the last line). From
two chunk sizes it derives the cost of a chunk (the difference in run time
over the difference in chunk count). Then, in this process, it times the part
that no number of hosts can spread: recognising the analyzed frames in order
(PlaceMap.recognise and the line), with an empty map and with --map-size
places of random ids stored first, and one analysis (decode + analyze) on
one core, which give the scaling on paper.

Every variant is timed in the same rounds, so that a load that comes and goes
on the machine falls on all of them alike; the figures are medians.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import time


def run(command, env):
    start = time.monotonic()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env,
                          timeout=1800)
    wall = time.monotonic() - start
    if done.returncode != 0:
        sys.exit(f"cluster_bench: {command[0]} failed:\n{done.stderr.decode()}")
    text = done.stderr.decode()
    total = re.search(r"total: (\d+) frames, .* ([0-9.]+) frames per second", text)
    each = [int(n) for n in re.findall(r": (?!total)\S+: (\d+) frames, ", text)]
    return wall, each, float(total.group(2))


def synthetic_places(analyzed, size, seed=1):
    """`size` strings with the run counts and counts of real frames and random ids,
    so that recognition has a map of that many places to search."""
    import random

    import placefinder

    rng = random.Random(seed)
    strings = []
    for k in range(size):
        real = analyzed[k % len(analyzed)][2].frame_string
        runs = real.runs
        counts = [int.from_bytes(runs[i + 2:i + 6], "little") for i in range(0, len(runs), 6)]
        ids = sorted(rng.sample(range(-32768, 32768), len(counts)))
        blob = b"".join(i.to_bytes(2, "little", signed=True) + c.to_bytes(4, "little")
                        for i, c in zip(ids, counts))
        strings.append(placefinder.FrameString(real.length, blob))
    return strings


def consumer_rate(videos, rounds, map_size):
    """Frames per second of the ordered half alone (with an empty map and with
    `map_size` places stored), and of one core's decoding and analysis."""
    import placefinder
    from placefinder import chunks, cluster

    chunks.quiet()
    analyzed = []
    start = time.monotonic()
    for video in videos:
        reader = chunks.Reader(video)
        assert reader.open(), video
        reader.startup_seek()
        while (frame := reader.read()) is not None:
            analyzed.append((video, reader.position(), placefinder.analyze(frame)))
        reader.release()
    analysis = len(analyzed) / (time.monotonic() - start)
    filler = synthetic_places(analyzed, map_size)
    rates = {0: [], map_size: []}
    for _ in range(rounds):
        for size in rates:
            places = placefinder.PlaceMap()
            for number, s in enumerate(filler[:size]):
                places.recognise(s, "synthetic", number)
            start = time.monotonic()
            for number, (video, position, a) in enumerate(analyzed):
                found = places.recognise(a.frame_string, video, number)
                cluster.format_line(video, number, position, a, found)
            rates[size].append(len(analyzed) / (time.monotonic() - start))
    return {size: statistics.median(r) for size, r in rates.items()}, analysis, len(analyzed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--chunks", default="25,100")
    parser.add_argument("--map-size", type=int, default=10000,
                        help="places stored before the ordered half is timed on its own")
    parser.add_argument("videos", nargs="*")
    options = parser.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    videos = options.videos or [os.path.join(root, "data", v)
                                for v in ("Megamind.avi", "tree.avi", "vtest.avi")]
    placetrace = os.path.join(options.build, "apps", "placetrace", "Placetrace")
    env = dict(os.environ)
    env.setdefault("PYTHONPATH", os.path.join(options.build, "python"))
    sizes = [int(c) for c in options.chunks.split(",")]

    variants = {f"Placetrace --threads {options.workers}":
                [placetrace, "--threads", str(options.workers)] + videos}
    for size in sizes:
        variants[f"cluster --workers {options.workers} --chunk {size}"] = [
            sys.executable, "-m", "placefinder.cluster", "--workers", str(options.workers),
            "--chunk", str(size)] + videos
    results = {name: [] for name in variants}
    each = []
    for _ in range(options.rounds):
        for name, command in variants.items():
            wall, each, rate = run(command, env)
            results[name].append((wall, rate))
    frames = sum(each)

    base = f"Placetrace --threads {options.workers}"
    base_rate = statistics.median(r for _, r in results[base])
    print(f"{frames} frames, {options.rounds} rounds alternated, medians")
    print(f"{'variant':34} {'wall s':>7} {'run fps':>8} {'run vs Placetrace':>18}")
    for name, values in results.items():
        wall = statistics.median(w for w, _ in values)
        rate = statistics.median(r for _, r in values)
        print(f"{name:34} {wall:7.2f} {rate:8.1f} {rate / base_rate:17.2f}x")
    if len(sizes) >= 2:
        small, large = sizes[0], sizes[-1]

        def seconds(size):
            return statistics.median(frames / r for _, r in results[
                f"cluster --workers {options.workers} --chunk {size}"])

        count = {s: sum(-(-n // s) for n in each) for s in (small, large)}
        per_chunk = (seconds(small) - seconds(large)) / (count[small] - count[large])
        print(f"cost of a chunk (from --chunk {small} and {large}, about {count[small]} and "
              f"{count[large]} chunks): {per_chunk * 1000:.1f} ms of run time with "
              f"{options.workers} workers")
    ordered, analysis, n = consumer_rate(videos, options.rounds, options.map_size)
    print(f"decode and analyze on one core: {analysis:.0f} frames per second")
    for size, rate in ordered.items():
        print(f"recognition in order alone (PlaceMap.recognise and the line, {n} frames, "
              f"{size} places stored first): {rate:.0f} frames per second, as much as "
              f"{rate / analysis:.0f} such cores analyze")


if __name__ == "__main__":
    main()
