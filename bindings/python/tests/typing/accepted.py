"""Checked by mypy --strict, never run: what the README shows must type-check."""

from decimal import Decimal
from fractions import Fraction

import tarnwick


def durations() -> None:
    tarnwick.run(warmup=5, measure=10.0)  # an int passes for a float
    tarnwick.run(warmup=Fraction(1, 2), measure=Decimal("0.5"))
    tarnwick.run()  # the library's defaults
    bench = tarnwick.Benchmark(all_cpus=True, warmup=None, measure=Decimal("1.5"))
    result: tarnwick.Result = bench.run()
    rate: float | None = result.mean_rate
    print(rate, tarnwick.__version__)
    seconds: tarnwick.Seconds = Fraction(3, 2)
    tarnwick.run(measure=seconds, progress=lambda p: print(p.phase.name, f"{p.progress:.0%}"))
