"""Builds the platform wheel: the binding with the shared library inside it.

    build_wheel.py --library PATH --platform TAG --out DIR [--work DIR] [--strip PROGRAM]

The package's sources, metadata and the project's licence are staged in a
work directory together with the library (as ``tarnwick/libtarnwick.so.0``,
where the binding looks first after ``library=`` and ``TARNWICK_LIBRARY``),
and setuptools' own build backend makes the wheel, offline: setuptools and
wheel are all it needs. The wheel is tagged ``py3-none-<platform>``: the
binding is pure Python on ctypes, so any Python 3 of that platform can use it,
but the library inside ties it to the platform.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
PROJECT = HERE.parents[1]
SONAME = "libtarnwick.so.0"
PACKAGE_DATA = 'tarnwick = ["py.typed"]'

# Makes the wheel platform-specific without compiling anything.
SETUP_PY = """\
from setuptools import setup
from setuptools.dist import Distribution

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70.1
    from wheel.bdist_wheel import bdist_wheel


class WithLibrary(Distribution):
    def has_ext_modules(self):
        return True


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        return "py3", "none", {platform!r}


setup(version={version!r}, distclass=WithLibrary, cmdclass={{"bdist_wheel": PlatformWheel}})
"""


def header_version() -> str:
    """TARNWICK_VERSION_STRING of the library's version header."""
    header = PROJECT / "native" / "include" / "tarnwick_version.h"
    for line in header.read_text(encoding="utf-8").splitlines():
        if line.startswith("#define TARNWICK_VERSION_STRING "):
            return line.split('"')[1]
    sys.exit(f"build_wheel: {header} defines no TARNWICK_VERSION_STRING")


def stage(work: Path, library: Path, platform: str, strip: str) -> None:
    if work.exists():
        shutil.rmtree(work)
    ignore = shutil.ignore_patterns("__pycache__", "*.pyc", SONAME, "_generated_version.py")
    shutil.copytree(HERE / "tarnwick", work / "tarnwick", ignore=ignore)
    shutil.copy2(HERE / "README.md", work / "README.md")
    shutil.copy2(PROJECT / "LICENSE", work / "LICENSE")
    pyproject = (HERE / "pyproject.toml").read_text(encoding="utf-8")
    if PACKAGE_DATA not in pyproject:
        sys.exit(f"build_wheel: pyproject.toml no longer declares {PACKAGE_DATA}")
    pyproject = pyproject.replace(PACKAGE_DATA, f'tarnwick = ["py.typed", "{SONAME}"]')
    (work / "pyproject.toml").write_text(pyproject, encoding="utf-8")
    version = header_version()
    (work / "setup.py").write_text(
        SETUP_PY.format(platform=platform, version=version), encoding="utf-8"
    )
    # The staged package is outside the source tree: the version goes with it.
    (work / "tarnwick" / "_generated_version.py").write_text(
        f'VERSION = "{version}"\n', encoding="utf-8"
    )
    target = work / "tarnwick" / SONAME
    shutil.copyfile(library, target)
    os.chmod(target, 0o755)
    if strip:
        subprocess.run([strip, "--strip-unneeded", str(target)], check=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", type=Path, required=True)
    parser.add_argument("--platform", required=True, help="for example linux_x86_64")
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--work", type=Path)
    parser.add_argument("--strip", default="", help="strip program for the library copy")
    args = parser.parse_args()

    out = args.out.resolve()
    work = (args.work or out.parent / "wheel-stage").resolve()
    stage(work, args.library.resolve(), args.platform, args.strip)
    out.mkdir(parents=True, exist_ok=True)
    for old in out.glob("tarnwick-*.whl"):
        old.unlink()
    # The backend builds the project in the current directory, in a process
    # of its own so nothing of this one leaks into the build.
    build = "import setuptools.build_meta as b, sys; print(b.build_wheel(sys.argv[1]))"
    build_run = subprocess.run(
        [sys.executable, "-c", build, str(out)],
        cwd=work,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    if build_run.returncode != 0:
        sys.exit(f"{build_run.stdout}build_wheel: setuptools could not build the wheel")
    name = build_run.stdout.strip().splitlines()[-1]
    print(f"build_wheel: {out / name}")


if __name__ == "__main__":
    main()
