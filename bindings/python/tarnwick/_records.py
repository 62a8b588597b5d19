"""The four records that cross the C boundary, laid out as the public header
declares them, and the constants that go with them.

Every field is a fixed-width integer or a 64-bit float and no record has
padding, so ``ctypes.Structure`` reproduces the C layout exactly. The sizes are
checked once, at import, so a mistake here fails loudly instead of handing the
library a record it would misread.
"""

from __future__ import annotations

import ctypes
from typing import Dict, Type

ABI_VERSION = 1
"""Interface version this binding was written against."""

BENCHMARK_SINGLE = 1
BENCHMARK_ALL_CPUS = 2

STATUS_COMPLETED = 0
STATUS_CANCELLED = 1
STATUS_FAILED = 2

PHASE_WARMUP = 1
PHASE_MEASUREMENT = 2
PHASE_COMPLETED = 3
PHASE_CANCELLED = 4
PHASE_FAILED = 5


class ConfigRecord(ctypes.Structure):
    """``tarnwick_config_t``: the configuration of one run (32 bytes)."""

    _fields_ = [
        ("abi_version", ctypes.c_uint32),
        ("size", ctypes.c_uint32),
        ("benchmark", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32),
        ("warmup_seconds", ctypes.c_double),
        ("measure_seconds", ctypes.c_double),
    ]


class ResultRecord(ctypes.Structure):
    """``tarnwick_result_t``: the result of a finished run attempt (88 bytes)."""

    _fields_ = [
        ("abi_version", ctypes.c_uint32),
        ("status", ctypes.c_uint32),
        ("benchmark", ctypes.c_uint32),
        ("threads", ctypes.c_uint32),
        ("mean_rate", ctypes.c_double),
        ("warmup_seconds", ctypes.c_double),
        ("measure_seconds", ctypes.c_double),
        ("measured_seconds", ctypes.c_double),
        ("cv_percent", ctypes.c_double),
        ("operations", ctypes.c_uint64),
        ("checksum", ctypes.c_uint64),
        ("sample_count", ctypes.c_uint64),
        ("unstable", ctypes.c_uint32),
        ("has_cv", ctypes.c_uint32),
    ]


class SampleRecord(ctypes.Structure):
    """``tarnwick_sample_t``: one interval of the measured window (32 bytes)."""

    _fields_ = [
        ("time", ctypes.c_double),
        ("duration", ctypes.c_double),
        ("operations", ctypes.c_uint64),
        ("rate", ctypes.c_double),
    ]


class ProgressRecord(ctypes.Structure):
    """``tarnwick_progress_t``: one progress report (40 bytes)."""

    _fields_ = [
        ("phase", ctypes.c_uint32),
        ("threads", ctypes.c_uint32),
        ("progress", ctypes.c_double),
        ("phase_elapsed", ctypes.c_double),
        ("phase_seconds", ctypes.c_double),
        ("operations", ctypes.c_uint64),
    ]


PROGRESS_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.POINTER(ProgressRecord), ctypes.c_void_p)
"""``tarnwick_progress_fn``: the C type of the progress callback."""

RECORD_SIZES: Dict[Type[ctypes.Structure], int] = {
    ConfigRecord: 32,
    ResultRecord: 88,
    SampleRecord: 32,
    ProgressRecord: 40,
}
"""The size in bytes that the library expects of each record."""


def check_record_sizes() -> None:
    """Raises ``ImportError`` when a record's size differs from the library's.

    A wrong size means a field was declared with the wrong type or the
    platform lays records out differently; either way every exchange with the
    library would be corrupt.
    """
    for record, expected in RECORD_SIZES.items():
        actual = ctypes.sizeof(record)
        if actual != expected:
            raise ImportError(
                f"tarnwick: {record.__name__} is {actual} bytes but the library "
                f"expects {expected}; this platform's C layout is not supported"
            )


check_record_sizes()
