"""The binding's type hints: they resolve at run time, mypy --strict accepts
what the README shows and refuses what the binding refuses, and the defaults
and the version come from the library rather than from numbers written here."""

import ctypes
import inspect
import shutil
import subprocess
import typing
import unittest
from pathlib import Path

import tarnwick
from tarnwick import _records as rec
from tarnwick import _version
from tarnwick.__main__ import main, summary

HERE = Path(__file__).resolve().parent
PACKAGE = HERE.parent / "tarnwick"


class RuntimeHints(unittest.TestCase):
    def test_every_public_callable_resolves(self) -> None:
        callables = [tarnwick.run, tarnwick.load_library, tarnwick.Benchmark.__init__,
                     tarnwick.Benchmark.run, tarnwick.Benchmark.cancel, summary, main]
        for function in callables:
            with self.subTest(function=function.__qualname__):
                hints = typing.get_type_hints(function)
                self.assertIn("return", hints)
        hints = typing.get_type_hints(tarnwick.run)
        self.assertEqual(hints["warmup"], typing.Optional[tarnwick.Seconds])
        self.assertIn("os.PathLike", str(hints["library"]))


@unittest.skipUnless(shutil.which("mypy"), "mypy is not installed")
class StrictMypy(unittest.TestCase):
    def mypy(self, *files: Path) -> "subprocess.CompletedProcess[str]":
        return subprocess.run(
            ["mypy", "--strict", "--no-incremental", "--cache-dir=/dev/null", *map(str, files)],
            cwd=HERE.parent, capture_output=True, text=True, check=False,
        )

    def test_the_package_and_the_readme_usage_pass(self) -> None:
        checked = self.mypy(PACKAGE, HERE / "typing" / "accepted.py")
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def test_strings_and_lists_are_not_durations(self) -> None:
        checked = self.mypy(HERE / "typing" / "rejected.py")
        self.assertEqual(checked.returncode, 1, checked.stdout + checked.stderr)
        errors = [line for line in checked.stdout.splitlines() if ": error:" in line]
        self.assertEqual(len(errors), 2, checked.stdout)
        self.assertTrue(all('"warmup"' in e or '"measure"' in e for e in errors), checked.stdout)


class LibraryDefaults(unittest.TestCase):
    def test_left_out_durations_are_the_librarys(self) -> None:
        for function in (tarnwick.run, tarnwick.Benchmark.__init__):
            parameters = inspect.signature(function).parameters
            self.assertIsNone(parameters["warmup"].default)
            self.assertIsNone(parameters["measure"].default)
        library = tarnwick.load_library()
        defaults = rec.ConfigRecord()
        self.assertEqual(library.c.tarnwick_default_config(ctypes.byref(defaults)), 1)
        with tarnwick.Benchmark(measure=2) as bench:
            config = bench._config  # the record the run would be given
            self.assertEqual(config.warmup_seconds, defaults.warmup_seconds)
            self.assertEqual(config.measure_seconds, 2.0)
        with tarnwick.Benchmark(warmup=0) as bench:
            self.assertEqual(bench._config.measure_seconds, defaults.measure_seconds)

    def test_the_version_is_the_headers(self) -> None:
        header = (PACKAGE.parents[2] / _version.HEADER).read_text(encoding="utf-8")
        self.assertEqual(tarnwick.__version__, _version.version_from_header(header))
        with self.assertRaises(ValueError):
            _version.version_from_header('#define TARNWICK_VERSION "1.2.3"\n')


if __name__ == "__main__":
    unittest.main()
