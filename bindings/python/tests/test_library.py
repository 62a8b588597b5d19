"""Finding and checking the shared library."""

import ctypes.util
import os
import tempfile
import unittest
from pathlib import Path
from typing import Any
from unittest import mock

import tarnwick
from tarnwick import _library


class FakeFunction:
    """Stands in for a ctypes export: accepts a signature, returns a value."""

    def __init__(self, value: Any) -> None:
        self.value = value
        self.argtypes: Any = None
        self.restype: Any = None

    def __call__(self, *args: Any) -> Any:
        return self.value


class FakeLibrary:
    def __init__(self, abi_version: int) -> None:
        for name, _, _ in _library._SIGNATURES:
            setattr(self, name, FakeFunction(0))
        self.tarnwick_abi_version = FakeFunction(abi_version)
        self.tarnwick_version = FakeFunction(b"9.9.9")


def fake_tree(root: Path, builds: dict) -> None:
    """Lays out build/<name>/native/src/ffi/libtarnwick.so.0 with given mtimes."""
    for name, mtime in builds.items():
        path = root / "build" / name / "native" / "src" / "ffi" / _library.SONAME
        path.parent.mkdir(parents=True)
        path.touch()
        os.utime(path, (mtime, mtime))


class SearchPlan(unittest.TestCase):
    def test_explicit_path_then_environment_then_package_tree_and_system(self) -> None:
        with tempfile.TemporaryDirectory() as tmp:
            root = Path(tmp)
            fake_tree(root, {"old": 1_000_000, "new": 2_000_000})
            built = [
                str(root / "build" / b / "native/src/ffi" / _library.SONAME) for b in ("new", "old")
            ]
            packaged = root / "site" / "tarnwick" / _library.SONAME
            env = {_library.ENVIRONMENT_VARIABLE: "/from/env.so"}
            # (case, explicit path, environment, packaged copy, the steps' first names)
            cases = [
                ("explicit path alone", "/explicit.so", env, packaged, ["/explicit.so"]),
                ("environment alone", None, env, packaged, ["/from/env.so"]),
                ("packaged copy, builds, system", None, {}, packaged,
                 [str(packaged), built[0], _library.SONAME]),
                ("newest build first, then the system", None, {}, None,
                 [built[0], _library.SONAME]),
            ]
            for name, explicit, environ, copy, firsts in cases:
                with self.subTest(name):
                    plan = _library.search_plan(explicit, environ, root, copy)
                    self.assertEqual([names[0] for _, names in plan[:-1]], firsts[:-1])
                    self.assertEqual(len(plan), len(firsts))
                    self.assertIn(firsts[-1], plan[-1][1])
                    if len(plan) > 1 and copy is None:
                        self.assertEqual(plan[0][1], built)

    def test_an_installed_package_skips_the_build_tree(self) -> None:
        plan = _library.search_plan(None, {}, None)
        self.assertEqual([where for where, _ in plan], ["the system's library search path"])


class LoadLibrary(unittest.TestCase):
    def test_uses_the_environment_variable(self) -> None:
        path = os.environ.get(_library.ENVIRONMENT_VARIABLE)
        if not path:
            self.skipTest(f"${_library.ENVIRONMENT_VARIABLE} is not set")
        library = tarnwick.load_library()
        self.assertEqual(library.path, path)
        self.assertEqual(library.abi_version, tarnwick.ABI_VERSION)
        # The package's committed version is the one the library was built with.
        self.assertEqual(library.version, tarnwick.__version__)
        self.assertIs(tarnwick.load_library(path), library)

    def test_a_missing_explicit_path_is_the_only_place_tried(self) -> None:
        with self.assertRaises(tarnwick.LibraryNotFoundError) as caught:
            tarnwick.load_library("/nonexistent/libtarnwick.so.0")
        message = str(caught.exception)
        self.assertIn("the library argument: /nonexistent/libtarnwick.so.0", message)
        self.assertNotIn("system", message)

    def test_nothing_found_lists_every_place(self) -> None:
        with tempfile.TemporaryDirectory() as tmp, mock.patch.dict(os.environ), mock.patch.object(
            _library, "source_tree_root", return_value=Path(tmp)
        ), mock.patch.object(_library, "SONAME", "libtarnwick-absent.so.0"), mock.patch.object(
            ctypes.util, "find_library", return_value=None
        ):
            os.environ.pop(_library.ENVIRONMENT_VARIABLE, None)
            with self.assertRaises(tarnwick.LibraryNotFoundError) as caught:
                tarnwick.load_library()
        message = str(caught.exception)
        self.assertIn(f"the build tree {tmp}", message)
        self.assertIn("nothing built there", message)
        self.assertIn("the system's library search path: libtarnwick-absent.so.0", message)
        self.assertIn("TARNWICK_LIBRARY", message)

    def test_another_library_is_refused(self) -> None:
        libm = ctypes.util.find_library("m")
        if libm is None:
            self.skipTest("no C math library to load")
        with self.assertRaisesRegex(tarnwick.AbiMismatchError, "not export tarnwick_abi_version"):
            tarnwick.load_library(libm)

    def test_another_interface_version_is_refused(self) -> None:
        with self.assertRaisesRegex(tarnwick.AbiMismatchError, "version 2, this binding needs 1"):
            _library.Library(FakeLibrary(abi_version=2), "fake.so")
        accepted = _library.Library(FakeLibrary(abi_version=1), "fake.so")
        self.assertEqual(accepted.version, "9.9.9")
        self.assertIs(accepted.c.tarnwick_run.restype, ctypes.c_int32)


if __name__ == "__main__":
    unittest.main()
