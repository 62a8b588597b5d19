#!/usr/bin/env python3
"""A minimal Python host of the tarnwick library: runs one benchmark with a
progress display, cancels it on Ctrl-C, and prints the result and its samples.

    host.py [--warmup SECONDS] [--measure SECONDS] [--all-cpus]

Exit status: the run's status (0 completed, 1 cancelled, 2 failed), or 2 for
a bad command line (argparse's convention).
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import List, Optional

try:
    import tarnwick
except ImportError:
    # Run from a clone without installing the binding.
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bindings" / "python"))
    import tarnwick


class PhaseLines:
    """Progress callback: one line on standard error per phase."""

    def __init__(self) -> None:
        self.last: Optional[tarnwick.Phase] = None

    def __call__(self, report: tarnwick.Progress) -> None:
        if report.phase is self.last:
            return
        self.last = report.phase
        name = report.phase.name.lower().replace("warmup", "warm-up")
        done = report.progress * 100
        print(f"{name}: {report.threads} worker(s), {done:.0f} % done", file=sys.stderr, flush=True)


def print_result(result: tarnwick.Result) -> None:
    print(f"status: {result.status.name.lower()}")
    if result.reason:
        print(f"reason: {result.reason}")
    print(f"workers: {result.threads}")
    # None when absent: no mean unless completed, no variation below two samples.
    if result.mean_rate is not None:
        print(f"mean rate: {result.mean_rate:.1f} steps/s")
    if result.cv_percent is not None:
        verdict = "unstable" if result.unstable else "stable"
        print(f"variation: {result.cv_percent:.2f} % ({verdict})")
    print(
        f"measured: {result.measured_seconds:.3f} s, {result.operations} steps,"
        f" checksum {result.checksum:016x}"
    )
    print(f"samples: {len(result.samples)}")
    for s in result.samples:
        print(
            f"  {s.time:8.3f} s  {s.duration:8.3f} s  {s.operations:12d} steps"
            f"  {s.rate:14.1f} steps/s"
        )


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--warmup", type=float, default=120.0, help="warm-up length, s")
    parser.add_argument("--measure", type=float, default=60.0, help="measurement window, s")
    parser.add_argument("--all-cpus", action="store_true", help="one worker per available CPU")
    args = parser.parse_args(argv)

    benchmark = tarnwick.Benchmark(
        all_cpus=args.all_cpus, warmup=args.warmup, measure=args.measure, progress=PhaseLines()
    )
    print(f"tarnwick {benchmark.library.version}", flush=True)
    try:
        benchmark.run()
    except KeyboardInterrupt:
        # The run was cancelled and has returned: report what it measured.
        print("interrupted", file=sys.stderr)
    finally:
        benchmark.close()
    result = benchmark.result
    assert result is not None
    print_result(result)
    return int(result.status)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
