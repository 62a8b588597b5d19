"""Finding, loading and checking the shared library.

The search order is: an explicit path, the ``TARNWICK_LIBRARY`` environment
variable, the copy a platform wheel carries inside the package, a build of
the source tree this package sits in, then the system's own search (the
linker cache, ``LD_LIBRARY_PATH`` and the default directories). An explicit path or the environment variable, when given, is the
only place tried: silently loading some other copy would hide the mistake.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from . import _records as rec

SONAME = "libtarnwick.so.0"
"""File name of the shared library with its interface version."""

ENVIRONMENT_VARIABLE = "TARNWICK_LIBRARY"
"""Environment variable that names the shared library to load."""

# A real object, not a string: typing.get_type_hints resolves the hints that
# use it in any module, without that module importing os.
if sys.version_info >= (3, 9):
    PathLike = Union[str, os.PathLike[str]]
else:  # os.PathLike cannot be subscripted before 3.9
    PathLike = Union[str, os.PathLike]


class LibraryNotFoundError(OSError):
    """No usable shared library was found; the message lists where it looked."""


class AbiMismatchError(ImportError):
    """The loaded library speaks another interface version than this binding."""


# (name, argument types, result type) of every export the binding calls.
_SIGNATURES: Tuple[Tuple[str, Sequence[Any], Any], ...] = (
    ("tarnwick_abi_version", (), ctypes.c_int32),
    ("tarnwick_version", (), ctypes.c_char_p),
    ("tarnwick_default_config", (ctypes.POINTER(rec.ConfigRecord),), ctypes.c_int32),
    ("tarnwick_create", (), ctypes.c_void_p),
    ("tarnwick_cancel", (ctypes.c_void_p,), None),
    ("tarnwick_free", (ctypes.c_void_p,), None),
    (
        "tarnwick_run",
        (
            ctypes.c_void_p,
            ctypes.POINTER(rec.ConfigRecord),
            rec.PROGRESS_CALLBACK,
            ctypes.c_void_p,
        ),
        ctypes.c_int32,
    ),
    ("tarnwick_result", (ctypes.c_void_p, ctypes.POINTER(rec.ResultRecord)), ctypes.c_int32),
    (
        "tarnwick_sample",
        (ctypes.c_void_p, ctypes.c_uint64, ctypes.POINTER(rec.SampleRecord)),
        ctypes.c_int32,
    ),
    ("tarnwick_reason", (ctypes.c_void_p,), ctypes.c_char_p),
)


class Library:
    """A loaded, checked copy of the shared library.

    Attributes:
        path: what was loaded (a file path, or a name the system resolved).
        abi_version: the interface version the library reports.
        version: the library's version text, for example ``"0.0.2"``.
        c: the underlying ``ctypes.CDLL`` with every export's signature set.
    """

    def __init__(self, cdll: Any, path: str) -> None:
        """Binds the exports of ``cdll`` and checks its interface version.

        Raises:
            AbiMismatchError: an export is missing or the interface version
                differs from the one this binding was written against.
        """
        for name, argtypes, restype in _SIGNATURES:
            try:
                function = getattr(cdll, name)
            except AttributeError:
                raise AbiMismatchError(
                    f"tarnwick: {path} does not export {name}; it is not the tarnwick library"
                ) from None
            function.argtypes = list(argtypes)
            function.restype = restype
        self.c = cdll
        self.path = path
        self.abi_version = int(cdll.tarnwick_abi_version())
        if self.abi_version != rec.ABI_VERSION:
            raise AbiMismatchError(
                f"tarnwick: {path} has interface version {self.abi_version}, "
                f"this binding needs {rec.ABI_VERSION}; install a matching binding or library"
            )
        raw_version = cdll.tarnwick_version()
        self.version = raw_version.decode("utf-8", "replace") if raw_version else ""

    def __repr__(self) -> str:
        return f"Library(path={self.path!r}, version={self.version!r})"


def packaged_library() -> Optional[Path]:
    """The library a platform wheel installed beside this module, if any."""
    path = Path(__file__).resolve().parent / SONAME
    return path if path.is_file() else None


def source_tree_root() -> Optional[Path]:
    """The repository this package sits in, or None when it was installed."""
    root = Path(__file__).resolve().parents[3]
    return root if (root / "native" / "include" / "tarnwick.h").is_file() else None


def build_tree_candidates(root: Optional[Path]) -> List[Path]:
    """Libraries built in ``root/build/*``, the most recently built first."""
    if root is None:
        return []
    found = [p for p in root.glob(f"build/*/native/src/ffi/{SONAME}") if p.exists()]
    return sorted(found, key=lambda p: p.stat().st_mtime, reverse=True)


def search_plan(
    explicit: Optional[PathLike],
    environ: Mapping[str, str],
    root: Optional[Path],
    packaged: Optional[Path] = None,
) -> List[Tuple[str, List[str]]]:
    """Where to look, in order, as (description, names to load) pairs.

    An explicit path or the environment variable ends the plan: when either is
    given, nothing else is tried.
    """
    if explicit is not None:
        return [("the library argument", [os.fspath(explicit)])]
    from_env = environ.get(ENVIRONMENT_VARIABLE)
    if from_env:
        return [(f"${ENVIRONMENT_VARIABLE}", [from_env])]
    plan: List[Tuple[str, List[str]]] = []
    if packaged is not None:
        plan.append(("the copy inside the package", [str(packaged)]))
    if root is not None:
        plan.append(
            (
                f"the build tree {root / 'build' / '*' / 'native/src/ffi'}",
                [str(p) for p in build_tree_candidates(root)],
            )
        )
    system = [SONAME]
    by_cache = ctypes.util.find_library("tarnwick")
    if by_cache and by_cache != SONAME:
        system.insert(0, by_cache)
    plan.append(("the system's library search path", system))
    return plan


_loaded: Dict[str, Library] = {}
_loaded_lock = threading.Lock()
_searched: Dict[Tuple[Optional[str], Optional[str]], Library] = {}


def _load_one(name: str) -> Library:
    with _loaded_lock:
        library = _loaded.get(name)
        if library is None:
            library = Library(ctypes.CDLL(name), name)
            _loaded[name] = library
        return library


def load_library(path: Optional[PathLike] = None) -> Library:
    """Loads the shared library and checks that this binding can talk to it.

    Args:
        path: the library file to load. When None, ``$TARNWICK_LIBRARY`` is
            used if set, otherwise the copy inside the package (a platform
            wheel's), a build in this package's source tree, then the system's
            search path.

    Returns:
        The loaded library; loading the same name again returns the same object.

    Raises:
        LibraryNotFoundError: nothing loadable was found; the message says
            where the search looked and why each place failed.
        AbiMismatchError: a library was found but speaks another interface.
    """
    # The search spawns the linker-cache lookup: do it once per request.
    request = (os.fspath(path) if path is not None else None, os.environ.get(ENVIRONMENT_VARIABLE))
    found = _searched.get(request)
    if found is not None:
        return found
    tried: List[str] = []
    for where, names in search_plan(path, os.environ, source_tree_root(), packaged_library()):
        if not names:
            tried.append(f"  {where}: nothing built there")
        for name in names:
            try:
                found = _searched[request] = _load_one(name)
                return found
            except OSError as error:
                tried.append(f"  {where}: {error}")
    raise LibraryNotFoundError(
        f"tarnwick: cannot load the shared library {SONAME}; looked in:\n"
        + "\n".join(tried)
        + f"\nPass library=PATH, set ${ENVIRONMENT_VARIABLE}, or install the library."
    )
