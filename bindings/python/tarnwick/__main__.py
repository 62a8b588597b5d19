"""``python -m tarnwick``: one run, and a short summary of it.

    python -m tarnwick [--warmup SECONDS] [--measure SECONDS] [--all-cpus]

Exit status: 0 completed, 1 cancelled (Ctrl-C or SIGTERM), 2 failed or
rejected by the library or standard output could not be written, 64 bad
command line, as the tarnwick program.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import time
from types import FrameType
from typing import IO, Any, List, NoReturn, Optional

from . import Benchmark, Phase, Progress, Result, Status, __version__
from ._library import LibraryNotFoundError, load_library

EXIT_FAILED = 2
EXIT_USAGE = 64
EXIT_STATUS = {Status.COMPLETED: 0, Status.CANCELLED: 1, Status.FAILED: 2}


class _Parser(argparse.ArgumentParser):
    def print_help(self, file: Optional[IO[str]] = None) -> None:
        # argparse drops a write error here; the program reports it.
        (file or sys.stdout).write(self.format_help())

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"tarnwick: {message}\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="python -m tarnwick",
        description="Measures the sustained CPU throughput of this machine in kernel steps "
        "per second, through the Python binding.",
    )
    # Any number: the library judges the range and says why it refuses one.
    # No default of its own: a duration left out is the library's default.
    parser.add_argument("--warmup", type=float, metavar="SECONDS",
                        help="warm-up length in seconds (default: the library's)")
    parser.add_argument("--measure", type=float, metavar="SECONDS",
                        help="measurement window in seconds (default: the library's)")
    parser.add_argument("--all-cpus", action="store_true",
                        help="one worker per CPU this process may use")
    parser.add_argument("--library", metavar="PATH", help="the shared library to load")
    return parser


def _window(result: Result, last_phase: Optional[Phase], run_seconds: float) -> str:
    # Cancelled before the measurement, the window is empty: say how far the
    # warm-up got, as the program does.
    if (result.status is Status.CANCELLED and not result.samples
            and last_phase is not Phase.MEASUREMENT):
        return (f"cancelled during the warm-up, after {run_seconds:.1f} s of "
                f"{result.warmup_seconds:g} s")
    return (f"{result.measured_seconds:.3f} s measured of {result.measure_seconds:g} s, "
            f"after a {result.warmup_seconds:g} s warm-up")


def summary(result: Result, library_version: str, stopped_by: str = "Ctrl-C",
            last_phase: Optional[Phase] = None, run_seconds: float = 0.0) -> str:
    """The run in a few lines, as the program's summary starts.

    last_phase is the phase of the last report before the final one, and
    run_seconds the run's wall time: with them a run cancelled during the
    warm-up says how far it got.
    """
    workers = f"{result.threads} worker{'s' if result.threads != 1 else ''}"
    lines = [f"tarnwick {__version__} (library {library_version}), {workers}"]
    if result.mean_rate is not None:
        lines.append(f"  mean rate    {result.mean_rate:,.0f} steps/s")
    if result.cv_percent is not None:
        verdict = "UNSTABLE (above 10 %)" if result.unstable else "stable"
        lines.append(f"  variation    {result.cv_percent:.2f} % CV, {verdict}")
    if result.status is Status.CANCELLED:
        lines.append(f"  cancelled    what was measured before {stopped_by}")
    lines.append(f"  window       {_window(result, last_phase, run_seconds)}")
    count = len(result.samples)
    lines.append(f"  steps        {result.operations:,} in {count} sample{'s' if count != 1 else ''}")
    lines.append(f"  checksum     0x{result.checksum:016x}")
    return "\n".join(lines)


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        library = load_library(args.library)
    except (LibraryNotFoundError, ImportError) as error:
        print(error, file=sys.stderr)
        return 2
    last_phase: Optional[Phase] = None

    def on_progress(report: Progress) -> None:
        nonlocal last_phase
        if report.phase in (Phase.WARMUP, Phase.MEASUREMENT):
            last_phase = report.phase

    started = time.monotonic()
    with Benchmark(args.all_cpus, args.warmup, args.measure, progress=on_progress,
                   library=args.library) as bench:
        stopped_by = "Ctrl-C"

        # SIGTERM (a service manager, a batch system, kill) ends the run as
        # Ctrl-C does: cancelled, reported, status 1. The handler runs on the
        # main thread while the binding's progress trampoline is in Python,
        # at least every 100 ms.
        def on_sigterm(_signum: int, _frame: Optional[FrameType]) -> None:
            nonlocal stopped_by
            stopped_by = "SIGTERM"
            bench.cancel()

        previous: Any = signal.signal(signal.SIGTERM, on_sigterm)
        try:
            result = bench.run()
        except KeyboardInterrupt:
            # The binding cancelled the run; what it measured is kept.
            if bench.result is None:
                return EXIT_STATUS[Status.CANCELLED]
            result = bench.result
        finally:
            signal.signal(signal.SIGTERM, previous)
    if result.status is Status.FAILED:
        print(f"tarnwick: {result.reason}", file=sys.stderr)
    else:
        print(summary(result, library.version, stopped_by, last_phase,
                      time.monotonic() - started))
    return EXIT_STATUS[result.status]


def _quiet_standard_output() -> None:
    # The interpreter flushes standard output again on the way out; what it
    # could not write is dropped rather than reported a second time.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def entry(argv: Optional[List[str]] = None) -> int:
    """main() with the program's answer to an output that cannot be written:
    one line on standard error and status 2, never a traceback."""
    try:
        try:
            status = main(argv)
        except SystemExit as leaving:  # --help and usage errors, from argparse
            status = leaving.code if isinstance(leaving.code, int) else EXIT_FAILED
            if leaving.code is None:
                status = 0
        sys.stdout.flush()
    except OSError as error:
        _quiet_standard_output()
        reason = error.strerror or str(error)
        print(f"tarnwick: cannot write standard output: {reason}", file=sys.stderr)
        return EXIT_FAILED
    return status


if __name__ == "__main__":
    sys.exit(entry())
