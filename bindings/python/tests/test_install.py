"""The package installs with pip, offline, and works from where it landed."""

import importlib.metadata
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

from tarnwick import _version

SOURCE = Path(__file__).resolve().parents[1]

# Run in isolated mode so neither PYTHONPATH nor the working directory can
# supply the source tree's copy instead of the installed one.
CHECK = textwrap.dedent(
    """
    import sys
    sys.path.insert(0, sys.argv[1])
    import tarnwick
    assert tarnwick.__file__.startswith(sys.argv[1]), tarnwick.__file__
    result = tarnwick.run(warmup=0.0, measure=1e-10)
    print(tarnwick.__version__, result.status.name, result.reason)
    """
)


def can_build_offline() -> bool:
    """pip, setuptools and a wheel builder (older setuptools lack their own)."""
    if not (importlib.util.find_spec("pip") and importlib.util.find_spec("setuptools")):
        return False
    if importlib.util.find_spec("wheel"):
        return True
    # From 70.1 on, setuptools builds wheels by itself.
    major, minor = importlib.metadata.version("setuptools").split(".")[:2]
    return (int(major), int(minor)) >= (70, 1)


def copy_of_the_clone(tmp: str) -> Path:
    """The package laid out as the clone is (the build reads the version
    header two levels up): an in-tree build would leave files behind."""
    source = Path(tmp) / "clone" / "bindings" / "python"
    skip = shutil.ignore_patterns("__pycache__", "build", "*.egg-info", "_generated_version.py")
    shutil.copytree(SOURCE, source, ignore=skip)
    header = Path(tmp) / "clone" / _version.HEADER
    header.parent.mkdir(parents=True)
    shutil.copy2(SOURCE.parents[1] / _version.HEADER, header)
    return source


def expected_check_output() -> str:
    version = _version.version_from_header(
        (SOURCE.parents[1] / _version.HEADER).read_text(encoding="utf-8")
    )
    return f"{version} FAILED measurement duration must be positive"


# Debian's wheels (python3-wheel-whl, which scripts/bootstrap installs).
DEBIAN_WHEELS = Path("/usr/share/python-wheels")
# README's offline install into a plain venv, word for word.
README_STEPS = [
    "pip install --no-index --find-links /usr/share/python-wheels wheel",
    "pip install --no-index --no-build-isolation ./bindings/python",
]


class PlainVenv(unittest.TestCase):
    def test_readme_offline_install_into_a_plain_venv(self) -> None:
        readme = (SOURCE.parents[1] / "README.md").read_text(encoding="utf-8")
        for step in README_STEPS:
            self.assertIn(step, readme)
        if not Path("/usr/bin/python3").exists():
            self.skipTest("no /usr/bin/python3")
        self.assertTrue(list(DEBIAN_WHEELS.glob("wheel-*.whl")),
                        "no wheel in /usr/share/python-wheels: scripts/bootstrap installs "
                        "python3-wheel-whl")
        with tempfile.TemporaryDirectory() as tmp:
            source = copy_of_the_clone(tmp)
            venv = Path(tmp) / "venv"
            subprocess.run(["/usr/bin/python3", "-m", "venv", str(venv)], check=True)
            pip = [str(venv / "bin" / "python"), "-m", "pip", "--disable-pip-version-check",
                   "--quiet"]
            for step in README_STEPS:
                words = step.split()[1:]  # after "pip"
                subprocess.run([*pip, *words], check=True, cwd=source.parents[1])
            out = subprocess.run(
                [str(venv / "bin" / "python"), "-I", "-c", "import tarnwick; "
                 "r = tarnwick.run(warmup=0.0, measure=1e-10); print(tarnwick.__file__); "
                 "print(tarnwick.__version__, r.status.name, r.reason)"],
                check=True, cwd=tmp, capture_output=True, text=True, env=os.environ,
            ).stdout.splitlines()
            self.assertTrue(out[0].startswith(str(venv)), out[0])
            self.assertEqual(out[1], expected_check_output())


@unittest.skipUnless(can_build_offline(), "pip, setuptools and wheel are needed to install")
class Install(unittest.TestCase):
    def test_pip_install_then_import_and_run(self) -> None:
        with tempfile.TemporaryDirectory() as tmp:
            source = copy_of_the_clone(tmp)
            target = Path(tmp) / "site"
            subprocess.run(
                [sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation",
                 "--no-index", "--no-deps", "--disable-pip-version-check",
                 "--target", str(target), str(source)],
                check=True,
                cwd=tmp,
            )
            files = (target / "tarnwick").iterdir()
            installed = sorted(p.name for p in files if p.name != "__pycache__")
            self.assertEqual(
                installed,
                ["__init__.py", "__main__.py", "_benchmark.py", "_generated_version.py",
                 "_library.py", "_records.py", "_version.py", "py.typed"],
            )
            license_file = next(target.glob("tarnwick-*.dist-info")) / "LICENSE"
            self.assertIn("MIT License", license_file.read_text(encoding="utf-8"))
            out = subprocess.run(
                [sys.executable, "-I", "-c", CHECK, str(target)],
                check=True,
                cwd=tmp,
                capture_output=True,
                text=True,
                env=os.environ,
            ).stdout
            # The installed copy carries the header's version, stamped by the build.
            self.assertEqual(out.strip(), expected_check_output())


if __name__ == "__main__":
    unittest.main()
