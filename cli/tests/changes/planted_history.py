"""Histories with planted truth for the change-point tests and the history
page: documents one run each, as --import reads them (JSON lines)."""
import datetime
import json
import os
import random
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fleet"))
import fleet_documents  # noqa: E402

START = datetime.datetime(2026, 1, 1, 2, 0, 0)
RATE = 1.0e9


def night(index, hours=24):
    return (START + datetime.timedelta(hours=hours * index)).strftime("%Y-%m-%dT%H:%M:%SZ")


def disturb(run, seconds):
    """The run's first `seconds` samples taken by the hypervisor, counted in
    its noise record as the program counts them."""
    run["noise"]["disturbed_seconds"] = seconds
    for at, sample in enumerate(run["samples"]):
        sample["noise"] = {"steal_percent": 14.0 if at < seconds else 0.1, "other_cpus": 0.02,
                           "other_cpus_run": 0.01, "cpu_pressure_percent": None,
                           "throttled_percent": None, "throttled_periods": None,
                           "thermal_events": None, "frequency_mhz": None,
                           "disturbed": at < seconds}


def series(host, count, *, step_at=None, step=0.0, spread=0.02, seed=1, label="all-cpus",
           threads=2, unstable=(), hours=24, level=None, disturbed=None):
    """`count` nightly documents of one host: the rate moves by `step` (a
    fraction) from run `step_at` on, or follows `level(index)` (a factor),
    with a normal spread; runs whose index is in `unstable` have a high CV
    and are flagged; `disturbed` maps a run's index to its disturbed
    seconds."""
    rng = random.Random(seed)
    documents = []
    for index in range(count):
        if level is not None:
            true_level = RATE * level(index)
        else:
            true_level = RATE * (1 + step if step_at is not None and index >= step_at else 1)
        rate = true_level * (1 + rng.gauss(0, spread))
        shaky = index in unstable
        documents.append(fleet_documents.document(
            host, night(index, hours), rate, label=label, threads=threads,
            cv=14.0 if shaky else 0.9, unstable=shaky, samples=3, rng=rng))
        if index in (disturbed or {}):
            disturb(documents[-1]["runs"][0], disturbed[index])
    return documents


def run_ids(documents):
    return [document["runs"][0]["id"] for document in documents]


def store(binary, history, documents):
    """Imports the documents into the history file through the program."""
    text = "".join(json.dumps(document) + "\n" for document in documents)
    result = subprocess.run([binary, "history", "--history", history, "--import", "-"],
                            input=text, capture_output=True, text=True, timeout=300)
    if result.returncode != 0:
        raise RuntimeError("import failed: " + result.stderr)


def planted(binary, history):
    """The history of the issue: host-a loses 6 % at run 50 of 80, steady-b
    keeps its rate; run 20 of host-a is unstable, its runs 20 and 35 had
    disturbed seconds (2 and 3). Returns host-a's run ids."""
    stepped = series("host-a", 80, step_at=50, step=-0.06, seed=22, unstable={20},
                     disturbed={20: 2, 35: 3})
    steady = series("steady-b", 80, seed=23)
    store(binary, history, stepped + steady)
    return run_ids(stepped)


def drift(index, flat=40, runs=100, size=-0.10):
    """A slide of `size` over `runs` runs after `flat` flat ones, then flat."""
    return 1 + size * min(max(index - flat + 1, 0), runs) / runs


def dip(index, at=40, runs=5, size=-0.08):
    """A stretch of `runs` runs `size` away from the level, that comes back."""
    return 1 + size if at <= index < at + runs else 1.0


def plant_stories(binary, history):
    """A slow slide (10 % over its latest 60 runs, still sliding), a short
    dip that came back and a series too short to judge, at 1 % spread."""
    sliding = series("sliding", 100, spread=0.01, seed=41,
                     level=lambda i: drift(i, flat=40, runs=60))
    dipped = series("dipped", 80, spread=0.01, seed=42, level=dip)
    short = series("node01", 9, spread=0.01, seed=43, label="single", threads=1, step_at=5,
                   step=-0.15)
    store(binary, history, sliding + dipped + short)
