#!/usr/bin/env python3
"""Peak memory and time of the program on the inputs that used to cost the
most, each measured from outside by /usr/bin/time -v, as a user runs it:

  export    `history --export FILE` of a history holding one run of SAMPLES
            samples (10^6 by default: a 70 MB document), and the same to
            standard output
  flood     `report` of one file of 30 MB of `{}` lines (10 million
            documents, every one refused)
  fleet     `report --json` of a folder of 10,000 documents of 60 samples

Usage: peak_memory.py TARNWICK [--cases export,flood,fleet] [--samples N]
                      [--repeat 3] [--work FOLDER]
Each case is run --repeat times and its best (least wall time) printed,
with the peak resident size of that run and the load average before it.
Inputs are made once in --work (a temporary folder by default). Not a
test: figures to read.
"""
import argparse
import json
import os
import random
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "cli", "tests", "fleet"))
import fleet_documents  # noqa: E402


def load():
    with open("/proc/loadavg") as handle:
        return float(handle.read().split()[0])


def timed(args, stdout=subprocess.DEVNULL):
    """(wall s, user + system s, peak KiB, exit status) of one run."""
    result = subprocess.run(["/usr/bin/time", "-v"] + args, stdout=stdout,
                            stderr=subprocess.PIPE, text=True, check=False)
    figures = {}
    for line in result.stderr.splitlines():
        key, _, value = line.strip().rpartition(": ")
        figures[key] = value
    wall = 0.0
    for part in figures["Elapsed (wall clock) time (h:mm:ss or m:ss)"].split(":"):
        wall = wall * 60 + float(part)
    cpu = float(figures["User time (seconds)"]) + float(figures["System time (seconds)"])
    status = int(figures.get("Exit status", result.returncode))
    return wall, cpu, int(figures["Maximum resident set size (kbytes)"]), status


def big_run_history(binary, work, samples):
    """A history holding one document of one run of `samples` samples."""
    history = os.path.join(work, "export-%d.db" % samples)
    if os.path.exists(history):
        return history
    rng = random.Random(3)
    document = fleet_documents.document("node01", "2026-12-01T02:00:00Z", 95000.0,
                                        samples=samples, rng=rng)
    source = os.path.join(work, "big-run.json")
    with open(source, "w") as out:
        json.dump(document, out, separators=(",", ":"))
    subprocess.run([binary, "history", "--history", history, "--import", source], check=True,
                   stdout=subprocess.DEVNULL)
    return history


def flood_file(work):
    path = os.path.join(work, "flood.jsonl")
    if not os.path.exists(path):
        with open(path, "w") as out:
            out.write("{}\n" * 10_000_000)
    return path


def fleet_folder(work):
    folder = os.path.join(work, "fleet")
    if not os.path.exists(os.path.join(folder, ".complete")):
        subprocess.run([sys.executable, os.path.join(HERE, "make_inputs.py"), "fleet", "10000",
                        folder], check=True)
        open(os.path.join(folder, ".complete"), "w").close()
    return folder


def cases(binary, work, chosen, samples):
    if "export" in chosen:
        history = big_run_history(binary, work, samples)
        target = os.path.join(work, "export.jsonl")
        yield ("history --export FILE, one run of %d samples" % samples,
               [binary, "history", "--history", history, "--export", target])
        yield ("history --export (standard output), one run of %d samples" % samples,
               [binary, "history", "--history", history, "--export"])
    if "flood" in chosen:
        yield ("report of 30 MB of '{}' lines", [binary, "report", flood_file(work)])
    if "fleet" in chosen:
        yield ("report --json of 10,000 documents of 60 samples",
               [binary, "report", "--json", fleet_folder(work)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary")
    parser.add_argument("--cases", default="export,flood,fleet")
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--work")
    options = parser.parse_args()
    binary = os.path.abspath(options.binary)
    chosen = set(re.split(r"[, ]+", options.cases))
    work = options.work or tempfile.mkdtemp(prefix="tarnwick-peak-memory-")
    os.makedirs(work, exist_ok=True)
    print("| case | wall | CPU | peak RSS | exit | load before |")
    print("|---|---|---|---|---|---|")
    for name, args in cases(binary, work, chosen, options.samples):
        best = None
        for _ in range(options.repeat):
            before = load()
            figures = timed(args) + (before,)
            if best is None or figures[0] < best[0]:
                best = figures
        wall, cpu, peak_kib, status, before = best
        print("| %s | %.2f s | %.2f s | %.1f MB | %d | %.1f |"
              % (name, wall, cpu, peak_kib * 1024 / 1e6, status, before), flush=True)


if __name__ == "__main__":
    main()
