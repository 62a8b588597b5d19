"""The binding's version: the library's, as its version header states it.

A build (the wheel, ``pip install``) writes ``_generated_version.py`` beside
this module from ``native/include/tarnwick_version.h``; a package used from
the source tree reads the header itself. Either way the number is written in
one place only.
"""

from __future__ import annotations

import importlib
import re
from pathlib import Path

HEADER = Path("native") / "include" / "tarnwick_version.h"
"""Where the version header sits, relative to the source tree's root."""

_VERSION_LINE = re.compile(r'^#define TARNWICK_VERSION_STRING "([0-9]+\.[0-9]+\.[0-9]+)"$', re.M)


def version_from_header(text: str) -> str:
    """The TARNWICK_VERSION_STRING that a version header defines.

    Raises:
        ValueError: the text defines none.
    """
    found = _VERSION_LINE.search(text)
    if found is None:
        raise ValueError("tarnwick: the version header defines no TARNWICK_VERSION_STRING")
    return found.group(1)


def _find_version() -> str:
    try:
        generated = importlib.import_module(f"{__package__}._generated_version")
    except ImportError:
        root = Path(__file__).resolve().parents[3]
        return version_from_header((root / HEADER).read_text(encoding="utf-8"))
    return str(generated.VERSION)


__version__ = _find_version()
