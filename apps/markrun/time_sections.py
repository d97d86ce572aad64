#!/usr/bin/env python3
"""Measures Markrun's wall time per section.

    python3 apps/markrun/time_sections.py BUILD_DIR/apps/markrun/Markrun [RUNS]

Markrun flushes its output at the end of each container check, so the time at
which each closing line arrives through the pipe marks the end of a section;
the identifier-string section ends when the program exits. Prints the best
and the median of RUNS runs (default 5) for each section.
"""
import os
import statistics
import subprocess
import sys
import time

MARKS = [b">> iList test is finished successfully.", b">> iAssociatedList test is finished successfully."]
NAMES = ["iList check", "iAssociatedList check", "iMarkrun demo", "total"]


def run_once(program):
    start = time.perf_counter()
    process = subprocess.Popen([program], stdout=subprocess.PIPE)
    seen = b""
    ends = []
    while True:
        chunk = os.read(process.stdout.fileno(), 65536)
        if not chunk:
            break
        seen += chunk
        now = time.perf_counter()
        while len(ends) < len(MARKS) and MARKS[len(ends)] in seen:
            ends.append(now)
    process.wait()
    end = time.perf_counter()
    if process.returncode != 0 or len(ends) != len(MARKS):
        sys.exit("Markrun did not finish both container checks (status %d)" % process.returncode)
    points = [start] + ends + [end]
    return [b - a for a, b in zip(points, points[1:])] + [end - start]


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    samples = [run_once(sys.argv[1]) for _ in range(runs)]
    print("%-22s %9s %9s  (%d runs)" % ("section", "best s", "median s", runs))
    for k, name in enumerate(NAMES):
        column = [s[k] for s in samples]
        print("%-22s %9.3f %9.3f" % (name, min(column), statistics.median(column)))


if __name__ == "__main__":
    main()
