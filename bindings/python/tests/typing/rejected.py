"""Checked by mypy --strict, never run: each call must be refused (the binding
raises TypeError for these at run time too)."""

import tarnwick

tarnwick.run(warmup="5")
tarnwick.Benchmark(measure=[1.0])
