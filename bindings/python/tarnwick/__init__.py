"""Python binding of the tarnwick library: sustained CPU throughput.

Runs the library's fixed kernel on one worker, or one per available CPU,
through a warm-up and a measurement window, and returns the mean rate in
kernel steps per second, its variation and the per-second samples::

    import tarnwick

    result = tarnwick.run(warmup=5.0, measure=10.0)
    if result.completed:
        print(f"{result.mean_rate:,.0f} steps/s, variation {result.cv_percent} %")

The binding is pure Python on ``ctypes``; it needs the shared library
(``libtarnwick.so.0``), found as :func:`load_library` describes.
"""

from ._benchmark import (
    Benchmark,
    Kind,
    Phase,
    Progress,
    ProgressCallback,
    Result,
    Sample,
    Seconds,
    Status,
    run,
)
from ._library import (
    ENVIRONMENT_VARIABLE,
    AbiMismatchError,
    Library,
    LibraryNotFoundError,
    load_library,
)
from ._records import ABI_VERSION
from ._version import __version__

__all__ = [
    "ABI_VERSION",
    "AbiMismatchError",
    "Benchmark",
    "ENVIRONMENT_VARIABLE",
    "Kind",
    "Library",
    "LibraryNotFoundError",
    "Phase",
    "Progress",
    "ProgressCallback",
    "Result",
    "Sample",
    "Seconds",
    "Status",
    "load_library",
    "run",
    "__version__",
]
