"""Running a benchmark: the Pythonic face of the handle, the run and the queries."""

from __future__ import annotations

import ctypes
import enum
import math
import numbers
import signal
import threading
from dataclasses import dataclass
from decimal import Decimal
from fractions import Fraction
from types import FrameType
from typing import Any, Callable, List, NamedTuple, Optional, Tuple, Union

from . import _records as rec
from ._library import Library, PathLike, load_library


class Status(enum.IntEnum):
    """How a run attempt ended."""

    COMPLETED = rec.STATUS_COMPLETED
    CANCELLED = rec.STATUS_CANCELLED
    FAILED = rec.STATUS_FAILED


class Phase(enum.IntEnum):
    """The phase a progress report belongs to; the last three are final."""

    WARMUP = rec.PHASE_WARMUP
    MEASUREMENT = rec.PHASE_MEASUREMENT
    COMPLETED = rec.PHASE_COMPLETED
    CANCELLED = rec.PHASE_CANCELLED
    FAILED = rec.PHASE_FAILED


class Kind(enum.IntEnum):
    """Which benchmark ran: one worker, or one worker per available CPU."""

    SINGLE = rec.BENCHMARK_SINGLE
    ALL_CPUS = rec.BENCHMARK_ALL_CPUS


class Sample(NamedTuple):
    """One interval of the measured window.

    Attributes:
        time: end of the interval, seconds after the end of the warm-up.
        duration: length of the interval in seconds, always positive.
        operations: kernel steps completed by all workers in the interval.
        rate: operations / duration, steps per second.
    """

    time: float
    duration: float
    operations: int
    rate: float


@dataclass(frozen=True)
class Progress:
    """One progress report, as the progress callback receives it.

    Attributes:
        phase: the phase reported; COMPLETED, CANCELLED or FAILED in the final
            report.
        threads: number of workers.
        progress: fraction of warm-up plus measurement elapsed, 0.0 to 1.0.
        phase_elapsed: seconds elapsed in the phase; the measured length in
            the final report.
        phase_seconds: length of the phase; the measurement length in the
            final report.
        operations: steps so far in the phase, all workers; the run's steps in
            the final report.
    """

    phase: Phase
    threads: int
    progress: float
    phase_elapsed: float
    phase_seconds: float
    operations: int


@dataclass(frozen=True)
class Result:
    """The outcome of one run attempt.

    Attributes:
        status: COMPLETED, CANCELLED or FAILED.
        reason: why the attempt did not complete; empty after a completed run.
        kind: the benchmark that ran.
        threads: number of workers; 0 when the attempt ended before that was
            decided.
        mean_rate: steps per second over the measured window; None unless the
            run completed.
        cv_percent: duration-weighted coefficient of variation of the sample
            rates, in percent; None unless the run completed with at least
            two samples.
        unstable: True when cv_percent is above 10 %.
        warmup_seconds: the configured warm-up, as given.
        measure_seconds: the configured measurement window, as given.
        measured_seconds: actual length of the measured window.
        operations: kernel steps completed in the measured window.
        checksum: exclusive-or of the workers' last kernel values.
        samples: the per-second samples of the measured window, in order.
    """

    status: Status
    reason: str
    kind: Kind
    threads: int
    mean_rate: Optional[float]
    cv_percent: Optional[float]
    unstable: bool
    warmup_seconds: float
    measure_seconds: float
    measured_seconds: float
    operations: int
    checksum: int
    samples: Tuple[Sample, ...]

    @property
    def completed(self) -> bool:
        """True when the run completed and the figures are meaningful."""
        return self.status is Status.COMPLETED


Seconds = Union[float, Fraction, Decimal]
"""A duration in seconds: a float (an int passes for one), a Fraction or a Decimal.

Any other real number (``numbers.Real``) is accepted at run time too.
"""


def _seconds(name: str, value: object) -> float:
    """A duration as the library's double; its range is the library's to judge.

    Only real numbers are durations: ``float("5")`` would accept a string and
    ``True`` would pass for one second, hiding a caller's mistake.
    """
    if isinstance(value, bool) or not isinstance(value, (numbers.Real, Decimal)):
        raise TypeError(
            f"tarnwick: {name} must be a real number of seconds, not {type(value).__name__}"
        )
    # A signalling NaN is a NaN like any other: the library refuses it with
    # its reason, where float() would raise.
    if isinstance(value, Decimal) and value.is_snan():
        return math.nan
    try:
        return float(value)
    except OverflowError:
        # An integer beyond the double range: infinite, as the library sees it.
        return -math.inf if value < 0 else math.inf


ProgressCallback = Callable[[Progress], Any]
"""Receives each progress report on the thread that runs the benchmark."""

# Life of a Benchmark: ready -> running -> finished -> closed (or ready -> closed).
_READY, _RUNNING, _FINISHED, _CLOSED = "ready", "running", "finished", "closed"


class Benchmark:
    """One run attempt on its own handle.

    Create it, call :meth:`run` once (it blocks), and read :attr:`result`.
    :meth:`cancel` may be called from any thread or from the progress
    callback, before or during the run; a host with a GUI or a worker thread
    keeps the object and cancels through it. A Benchmark runs once: create
    another for the next run. Only one run may be in progress in a process;
    a second one ends at once with status FAILED and the reason
    "another benchmark is already running".
    """

    def __init__(
        self,
        all_cpus: bool = False,
        warmup: Optional[Seconds] = None,
        measure: Optional[Seconds] = None,
        progress: Optional[ProgressCallback] = None,
        library: Optional[PathLike] = None,
    ) -> None:
        """Prepares a run; nothing is measured until :meth:`run`.

        Args:
            all_cpus: one worker per CPU the process may use instead of one.
            warmup: warm-up length in seconds (finite, >= 0); None for the
                library's default.
            measure: measurement window in seconds (finite, > 0); None for
                the library's default.
            progress: called with a :class:`Progress` for each report. If it
                raises, the run is cancelled and the exception is re-raised by
                :meth:`run` once the run has returned.
            library: path of the shared library; see :func:`load_library`.

        The library validates the durations: out-of-range values give a
        result with status FAILED and the library's reason, not an exception.

        Raises:
            TypeError: a duration is not a real number (a string or a bool,
                say): it is refused before the library is loaded.
        """
        warmup_seconds = None if warmup is None else _seconds("warmup", warmup)
        measure_seconds = None if measure is None else _seconds("measure", measure)
        self._library: Library = load_library(library)
        self._c = self._library.c
        self._config = rec.ConfigRecord()
        if self._c.tarnwick_default_config(ctypes.byref(self._config)) != 1:
            raise RuntimeError("tarnwick: the library refused to fill a default configuration")
        self._config.benchmark = rec.BENCHMARK_ALL_CPUS if all_cpus else rec.BENCHMARK_SINGLE
        # The durations left out stay as the library's default record has them.
        if warmup_seconds is not None:
            self._config.warmup_seconds = warmup_seconds
        if measure_seconds is not None:
            self._config.measure_seconds = measure_seconds
        self._progress = progress
        # Reentrant: the Ctrl-C handler may call cancel() on the main thread
        # while that thread is already inside cancel() or close().
        self._lock = threading.RLock()
        self._state = _READY
        self._result: Optional[Result] = None
        self._callback_error: Optional[BaseException] = None
        self._interrupted = False
        handle = self._c.tarnwick_create()
        if not handle:
            raise MemoryError("tarnwick: cannot create a benchmark handle")
        self._handle: Optional[int] = handle

    @property
    def library(self) -> Library:
        """The shared library this benchmark runs on."""
        return self._library

    @property
    def result(self) -> Optional[Result]:
        """The result once :meth:`run` has returned (or raised); else None."""
        return self._result

    def cancel(self) -> None:
        """Requests cancellation; safe from any thread, at any time.

        Before the run, the run ends at once as cancelled ("cancelled before
        starting"); during it, the run stops early ("cancelled"); afterwards,
        it changes nothing.
        """
        with self._lock:
            if self._handle is not None:
                self._c.tarnwick_cancel(self._handle)

    def run(self) -> Result:
        """Runs the benchmark on the calling thread and blocks until it ends.

        On the main thread, Ctrl-C cancels the run and raises
        ``KeyboardInterrupt`` once the run has returned (only while Python's
        default SIGINT handler is in place; a handler of the host's own is
        left alone).

        Returns:
            The result; also kept in :attr:`result`.

        Raises:
            BaseException: whatever the progress callback raised, after the
                run has been cancelled and has returned.
            KeyboardInterrupt: Ctrl-C was pressed during the run.
            RuntimeError: the benchmark already ran or was closed.
        """
        with self._lock:
            if self._state != _READY:
                raise RuntimeError(f"tarnwick: this benchmark is {self._state}; it runs once")
            self._state = _RUNNING
            handle = self._handle
        try:
            trampoline = rec.PROGRESS_CALLBACK(self._on_progress)
            previous_handler = self._take_sigint()
            try:
                self._c.tarnwick_run(handle, ctypes.byref(self._config), trampoline, None)
            finally:
                self._give_back_sigint(previous_handler)
        finally:
            self._result = self._read_result()
            with self._lock:
                self._state = _FINISHED
        error, self._callback_error = self._callback_error, None
        if self._interrupted:
            raise KeyboardInterrupt() from error
        if error is not None:
            raise error
        if self._result is None:
            raise RuntimeError("tarnwick: the library stored no result for this run")
        return self._result

    def close(self) -> None:
        """Releases the handle; the result stays readable. Idempotent.

        Raises:
            RuntimeError: the benchmark is running.
        """
        with self._lock:
            if self._state == _RUNNING:
                raise RuntimeError("tarnwick: cannot close a running benchmark; cancel it first")
            if self._handle is not None:
                self._c.tarnwick_free(self._handle)
                self._handle = None
            self._state = _CLOSED

    def __enter__(self) -> "Benchmark":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        # A half-built object has no handle to release.
        if getattr(self, "_handle", None) is not None and self._state != _RUNNING:
            self._c.tarnwick_free(self._handle)
            self._handle = None

    def _on_progress(self, report: Any, _user_data: Optional[int]) -> None:
        # Called by the library through C: nothing may escape from here, so
        # the first exception is kept, the run cancelled, and later reports
        # are no longer forwarded.
        try:
            if self._progress is None or self._callback_error is not None:
                return
            r = report.contents
            self._progress(
                Progress(
                    Phase(r.phase),
                    r.threads,
                    r.progress,
                    r.phase_elapsed,
                    r.phase_seconds,
                    r.operations,
                )
            )
        except BaseException as error:  # noqa: B902 - re-raised by run()
            self._callback_error = error
            self.cancel()

    def _on_sigint(self, _signum: int, _frame: Optional[FrameType]) -> None:
        self._interrupted = True
        self.cancel()

    def _take_sigint(self) -> Any:
        # Python runs signal handlers on the main thread between bytecodes;
        # during the run that happens in the progress trampoline, which the
        # library calls at least every 100 ms.
        if threading.current_thread() is not threading.main_thread():
            return None
        if signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
            return None
        return signal.signal(signal.SIGINT, self._on_sigint)

    @staticmethod
    def _give_back_sigint(previous: Any) -> None:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)

    def _read_result(self) -> Optional[Result]:
        record = rec.ResultRecord()
        if self._c.tarnwick_result(self._handle, ctypes.byref(record)) != 1:
            return None
        samples: List[Sample] = []
        one = rec.SampleRecord()
        for index in range(record.sample_count):
            if self._c.tarnwick_sample(self._handle, index, ctypes.byref(one)) != 1:
                break
            samples.append(Sample(one.time, one.duration, one.operations, one.rate))
        reason = self._c.tarnwick_reason(self._handle)
        status = Status(record.status)
        return Result(
            status=status,
            reason=reason.decode("utf-8", "replace") if reason is not None else "",
            kind=Kind(record.benchmark),
            threads=record.threads,
            mean_rate=record.mean_rate if status is Status.COMPLETED else None,
            cv_percent=record.cv_percent if record.has_cv else None,
            unstable=bool(record.unstable),
            warmup_seconds=record.warmup_seconds,
            measure_seconds=record.measure_seconds,
            measured_seconds=record.measured_seconds,
            operations=record.operations,
            checksum=record.checksum,
            samples=tuple(samples),
        )


def run(
    all_cpus: bool = False,
    warmup: Optional[Seconds] = None,
    measure: Optional[Seconds] = None,
    progress: Optional[ProgressCallback] = None,
    library: Optional[PathLike] = None,
) -> Result:
    """Runs one benchmark and returns its result.

    A shorthand for ``Benchmark(...).run()`` that releases the handle
    afterwards; see :class:`Benchmark` for the arguments, cancellation and
    what is raised.
    """
    with Benchmark(all_cpus, warmup, measure, progress, library) as benchmark:
        return benchmark.run()
