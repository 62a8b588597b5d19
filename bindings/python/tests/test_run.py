"""Real runs through the binding, with short windows and loose bounds."""

import dataclasses
import math
from decimal import Decimal
from fractions import Fraction
import threading
import time
import unittest
from typing import List, Optional

import tarnwick
from tarnwick import Phase, Status

# Long enough that a run only ends early because it was told to.
LONG = 30.0
# Waits on conditions give up after this many seconds.
PATIENCE = 20.0


class FirstReport:
    """A progress callback that records reports and flags the first one."""

    def __init__(self) -> None:
        self.reports: List[tarnwick.Progress] = []
        self.seen = threading.Event()

    def __call__(self, report: tarnwick.Progress) -> None:
        self.reports.append(report)
        self.seen.set()


class Run(unittest.TestCase):
    def test_a_short_run_completes_with_consistent_figures(self) -> None:
        progress = FirstReport()
        result = tarnwick.run(warmup=0.05, measure=1.2, progress=progress)

        self.assertIs(result.status, Status.COMPLETED)
        self.assertTrue(result.completed)
        self.assertEqual(result.reason, "")
        self.assertIs(result.kind, tarnwick.Kind.SINGLE)
        self.assertEqual(result.threads, 1)
        self.assertEqual((result.warmup_seconds, result.measure_seconds), (0.05, 1.2))
        self.assertGreater(result.operations, 0)
        assert result.mean_rate is not None
        expected_mean = result.operations / result.measured_seconds
        self.assertAlmostEqual(result.mean_rate, expected_mean, delta=1e-6 * expected_mean)

        # The samples tile the measured window and add up to its work.
        self.assertIsInstance(result.samples, tuple)
        self.assertGreaterEqual(len(result.samples), 1)
        start = 0.0
        for sample in result.samples:
            self.assertIsInstance(sample, tarnwick.Sample)
            self.assertAlmostEqual(sample.time - sample.duration, start, places=9)
            self.assertGreater(sample.duration, 0.0)
            start = sample.time
        self.assertAlmostEqual(start, result.measured_seconds, places=9)
        self.assertEqual(sum(s.operations for s in result.samples), result.operations)
        self.assertEqual(result.cv_percent is None, len(result.samples) < 2)
        above_limit = result.cv_percent is not None and result.cv_percent > 10.0
        self.assertEqual(result.unstable, above_limit)

        # Reports come in phase order and end with the final one.
        phases = [r.phase for r in progress.reports]
        self.assertEqual(phases, sorted(phases))
        self.assertIs(phases[-1], Phase.COMPLETED)
        self.assertIn(Phase.MEASUREMENT, phases)
        self.assertTrue(all(0.0 <= r.progress <= 1.0 for r in progress.reports))
        self.assertEqual(progress.reports[-1].operations, result.operations)

        with self.assertRaises(dataclasses.FrozenInstanceError):
            result.mean_rate = 0.0  # type: ignore[misc]

    def test_all_cpus_runs_one_worker_per_cpu(self) -> None:
        result = tarnwick.run(all_cpus=True, warmup=0.0, measure=0.3)
        self.assertIs(result.status, Status.COMPLETED, result.reason)
        self.assertIs(result.kind, tarnwick.Kind.ALL_CPUS)
        self.assertGreaterEqual(result.threads, 1)

    def test_rejected_configurations_carry_the_library_reason(self) -> None:
        durations = "durations must be finite: warmup >= 0, measurement > 0"
        cases = [
            (-1.0, 1.0, durations),
            (math.nan, 1.0, durations),
            (2.0**64, 1.0, durations),
            (0.0, 0.0, durations),
            (0.0, -0.0, durations),
            (0.0, math.inf, durations),
            (0.0, 1e-10, "measurement duration must be positive"),
        ]
        for warmup, measure, reason in cases:
            with self.subTest(warmup=warmup, measure=measure):
                result = tarnwick.run(warmup=warmup, measure=measure)
                self.assertIs(result.status, Status.FAILED)
                self.assertEqual(result.reason, reason)
                self.assertIsNone(result.mean_rate)
                self.assertIsNone(result.cv_percent)
                self.assertEqual(result.samples, ())
                # The configured values come back as given, not as converted.
                self.assertEqual(exact(result.warmup_seconds), exact(warmup))
                self.assertEqual(exact(result.measure_seconds), exact(measure))


    def test_durations_must_be_real_numbers(self) -> None:
        # None is not among them: it stands for the library's default.
        for bad in ("5", b"5", True, 1j, [1.0]):
            for name in ("warmup", "measure"):
                with self.subTest(name=name, value=bad):
                    with self.assertRaisesRegex(TypeError, f"{name} must be a real number"):
                        tarnwick.run(**{name: bad})  # type: ignore[arg-type]
                    with self.assertRaises(TypeError):
                        tarnwick.Benchmark(**{name: bad})  # type: ignore[arg-type]
        # Any real number reaches the library, which judges its range; an
        # integer beyond the double range arrives as infinity.
        cases = [
            (0, Fraction(1, 10**10), "measurement duration must be positive"),
            (Decimal(0), 10**400, "durations must be finite: warmup >= 0, measurement > 0"),
            # A signalling NaN is refused as a quiet one is, not by float().
            (Decimal("NaN"), 1.0, "durations must be finite: warmup >= 0, measurement > 0"),
            (Decimal("sNaN"), 1.0, "durations must be finite: warmup >= 0, measurement > 0"),
            (0, Decimal("-sNaN"), "durations must be finite: warmup >= 0, measurement > 0"),
        ]
        for warmup, measure, reason in cases:
            with self.subTest(warmup=warmup, measure=measure):
                result = tarnwick.run(warmup=warmup, measure=measure)
                self.assertIs(result.status, Status.FAILED)
                self.assertEqual(result.reason, reason)


def exact(value: float) -> bytes:
    return value.hex().encode() if not math.isnan(value) else b"nan"


class Cancellation(unittest.TestCase):
    def test_cancel_before_the_run(self) -> None:
        with tarnwick.Benchmark(warmup=LONG, measure=LONG) as benchmark:
            benchmark.cancel()
            result = benchmark.run()
        self.assertIs(result.status, Status.CANCELLED)
        self.assertEqual(result.reason, "cancelled before starting")

    def test_cancel_from_another_thread_stops_the_run(self) -> None:
        progress = FirstReport()
        benchmark = tarnwick.Benchmark(warmup=LONG, measure=LONG, progress=progress)

        def cancel_once_running() -> None:
            if progress.seen.wait(PATIENCE):
                benchmark.cancel()

        canceller = threading.Thread(target=cancel_once_running)
        canceller.start()
        started = time.monotonic()
        result = benchmark.run()
        canceller.join()
        benchmark.close()

        self.assertLess(time.monotonic() - started, LONG / 2)
        self.assertIs(result.status, Status.CANCELLED)
        self.assertEqual(result.reason, "cancelled")
        self.assertIsNone(result.mean_rate)
        self.assertIs(progress.reports[-1].phase, Phase.CANCELLED)
        self.assertIs(benchmark.result, result)

    def test_an_exception_in_the_callback_cancels_and_is_raised_after_the_run(self) -> None:
        for error in (ValueError("bad report"), KeyboardInterrupt(), SystemExit(3)):
            with self.subTest(error=type(error).__name__):
                calls: List[tarnwick.Progress] = []

                def fail(report: tarnwick.Progress, error: BaseException = error) -> None:
                    calls.append(report)
                    raise error

                benchmark = tarnwick.Benchmark(warmup=LONG, measure=LONG, progress=fail)
                started = time.monotonic()
                with self.assertRaises(type(error)) as caught:
                    benchmark.run()
                self.assertIs(caught.exception, error)
                self.assertLess(time.monotonic() - started, LONG / 2)
                self.assertEqual(len(calls), 1, "reports after the failure were still delivered")
                result: Optional[tarnwick.Result] = benchmark.result
                assert result is not None
                self.assertIs(result.status, Status.CANCELLED)
                benchmark.close()


class Lifecycle(unittest.TestCase):
    def test_a_benchmark_runs_once(self) -> None:
        with tarnwick.Benchmark(warmup=0.0, measure=1e-10) as benchmark:
            benchmark.run()
            with self.assertRaisesRegex(RuntimeError, "runs once"):
                benchmark.run()
        with self.assertRaisesRegex(RuntimeError, "closed"):
            benchmark.run()
        self.assertIsNotNone(benchmark.result)

    def test_closing_a_running_benchmark_is_refused(self) -> None:
        holder: List[tarnwick.Benchmark] = []

        def close_from_inside(_: tarnwick.Progress) -> None:
            holder[0].close()

        benchmark = tarnwick.Benchmark(warmup=LONG, measure=LONG, progress=close_from_inside)
        holder.append(benchmark)
        with self.assertRaisesRegex(RuntimeError, "cannot close a running benchmark"):
            benchmark.run()
        benchmark.close()

    def test_one_run_per_process(self) -> None:
        progress = FirstReport()
        first = tarnwick.Benchmark(warmup=LONG, measure=LONG, progress=progress)
        runner = threading.Thread(target=first.run)
        runner.start()
        try:
            self.assertTrue(progress.seen.wait(PATIENCE), "the first run never reported")
            second = tarnwick.run(warmup=0.0, measure=0.1)
        finally:
            first.cancel()
            runner.join(PATIENCE)
        self.assertFalse(runner.is_alive())
        self.assertIs(second.status, Status.FAILED)
        self.assertEqual(second.reason, "another benchmark is already running")
        assert first.result is not None
        self.assertIs(first.result.status, Status.CANCELLED)
        first.close()


if __name__ == "__main__":
    unittest.main()
