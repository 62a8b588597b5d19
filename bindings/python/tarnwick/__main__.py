"""``python -m tarnwick``: one run, and a short summary of it.

    python -m tarnwick [--warmup SECONDS] [--measure SECONDS] [--all-cpus]

Exit status: 0 completed, 1 cancelled (Ctrl-C or SIGTERM), 2 failed or
rejected by the library, 64 bad command line, as the tarnwick program.
"""

from __future__ import annotations

import argparse
import signal
import sys
from types import FrameType
from typing import Any, List, NoReturn, Optional

from . import Benchmark, Result, Status, __version__
from ._library import LibraryNotFoundError, load_library

EXIT_USAGE = 64
EXIT_STATUS = {Status.COMPLETED: 0, Status.CANCELLED: 1, Status.FAILED: 2}


class _Parser(argparse.ArgumentParser):
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


def summary(result: Result, library_version: str, stopped_by: str = "Ctrl-C") -> str:
    """The run in a few lines, as the program's summary starts."""
    workers = f"{result.threads} worker{'s' if result.threads != 1 else ''}"
    lines = [f"tarnwick {__version__} (library {library_version}), {workers}"]
    if result.mean_rate is not None:
        lines.append(f"  mean rate    {result.mean_rate:,.0f} steps/s")
    if result.cv_percent is not None:
        verdict = "UNSTABLE (above 10 %)" if result.unstable else "stable"
        lines.append(f"  variation    {result.cv_percent:.2f} % CV, {verdict}")
    if result.status is Status.CANCELLED:
        lines.append(f"  cancelled    what was measured before {stopped_by}")
    lines.append(
        f"  window       {result.measured_seconds:.3f} s measured of "
        f"{result.measure_seconds:g} s, after a {result.warmup_seconds:g} s warm-up"
    )
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
    with Benchmark(args.all_cpus, args.warmup, args.measure, library=args.library) as bench:
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
        print(summary(result, library.version, stopped_by))
    return EXIT_STATUS[result.status]


if __name__ == "__main__":
    sys.exit(main())
