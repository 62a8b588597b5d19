#!/usr/bin/env python3
"""How long --precision takes to reach ±1 % and ±0.5 % on this machine.

Usage: precision_time.py TARNWICK [--windows 1,2,3,5] [--series 150]
                         [--warmup 10] [--direct PCT:WINDOW ...]

For each window length, one series: `tarnwick --warmup 10 --measure W
--precision 0.01 --max-time SERIES`, a target no series reaches, so it
records runs until the limit. The program's stopping rule (Stein's two-stage
rule, first stage of five counted runs) is then replayed on the series: the
time to ±1 % is the end of the run at which the rule would have stopped,
from the command's start, warm-up included. Disturbed runs do not count, as
in the program; the figure counting them too is printed beside it, for a
machine shared with other work. `--direct PCT:WINDOW` also runs the real
command to that target and times it from outside. The load average is
printed before and after each measurement. Not a test: figures to read.
"""

import argparse
import datetime
import json
import math
import os
import subprocess
import sys
import time

T_4 = 2.7764451051977987  # Student's t, 4 degrees of freedom, 97.5 %
FIRST_STAGE = 5


def load():
    with open("/proc/loadavg") as handle:
        return float(handle.read().split()[0])


def when(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").timestamp()


def stop_time(runs, target_percent, start):
    """Seconds from `start` to the end of the run at which the rule stops,
    with the number of counted runs; None when the series is too short."""
    logs = []
    wanted = math.log1p(target_percent / 100)
    for run in runs:
        logs.append(math.log(run["mean_rate"]))
        if len(logs) < FIRST_STAGE:
            continue
        first = logs[:FIRST_STAGE]
        mean = sum(first) / FIRST_STAGE
        s0 = math.sqrt(sum((x - mean) ** 2 for x in first) / (FIRST_STAGE - 1))
        needed = max(FIRST_STAGE, math.ceil((T_4 * s0 / wanted) ** 2))
        if len(logs) >= needed:
            return when(run["ended"]) - start, len(logs)
    return None


def series(binary, window, seconds, warmup):
    before = load()
    began = time.monotonic()
    result = subprocess.run(
        [binary, "--warmup", str(warmup), "--measure", str(window), "--precision", "0.01",
         "--max-time", str(seconds), "--json", "--quiet"],
        capture_output=True, text=True, check=True)
    wall = time.monotonic() - began
    doc = json.loads(result.stdout)
    runs = [r for r in doc["runs"] if r["status_name"] == "completed"]
    excluded = set(doc["precision"]["labels"][0]["excluded"])
    counted = [r for r in runs if r["repetition"] not in excluded]
    start = when(runs[0]["started"])
    logs = [math.log(r["mean_rate"]) for r in runs[1:]]
    mean = sum(logs) / len(logs)
    spread = math.sqrt(sum((x - mean) ** 2 for x in logs) / (len(logs) - 1)) * 100
    line = "window %4.1f s: %3d runs in %5.1f s (%2d disturbed), run-to-run spread %.2f %%" % (
        window, len(runs), wall, len(excluded), spread)
    for target in (1, 0.5):
        for name, chosen in (("", counted), (" all", runs)):
            stopped = stop_time(chosen, target, start)
            line += "; ±%g %%%s: %s" % (target, name, "not within %g s" % seconds
                                        if stopped is None else "%.0f s (%d runs)" % stopped)
    print(line + "; load %.1f -> %.1f" % (before, load()), flush=True)


def direct(binary, target, window, warmup):
    before = load()
    began = time.monotonic()
    result = subprocess.run(
        [binary, "--warmup", str(warmup), "--measure", str(window), "--precision", str(target),
         "--max-time", "600", "--json", "--quiet"], capture_output=True, text=True, check=True)
    wall = time.monotonic() - began
    outcome = json.loads(result.stdout)["precision"]["labels"][0]
    print("direct ±%g %% with --measure %g: %s after %.1f s wall, ±%.2f %% of %d runs "
          "(%d disturbed); load %.1f -> %.1f" % (
              target, window, outcome["stopped"], wall, outcome["half_width_percent"] or 0,
              outcome["runs"], len(outcome["excluded"]), before, load()), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary")
    parser.add_argument("--windows", default="1,2,3,5")
    parser.add_argument("--series", type=float, default=150)
    parser.add_argument("--warmup", type=float, default=10)
    parser.add_argument("--direct", action="append", default=[])
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    print("%s, %d CPUs; uptime: %s" % (os.uname().release, os.cpu_count(),
                                        subprocess.run(["uptime"], capture_output=True,
                                                       text=True).stdout.strip()))
    for window in (float(w) for w in args.windows.split(",") if w):
        series(binary, window, args.series, args.warmup)
    for pair in args.direct:
        target, window = pair.split(":")
        direct(binary, float(target), float(window), args.warmup)
    return 0


if __name__ == "__main__":
    sys.exit(main())
