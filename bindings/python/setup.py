"""Stamps the version of the library's header into the installed package.

``pip install ./bindings/python`` builds from the source tree, where the
version header is; the package it installs is not, so the build writes the
version beside the code (tarnwick/_generated_version.py).
"""

from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent
HEADER = HERE.parents[1] / "native" / "include" / "tarnwick_version.h"


def header_version() -> str:
    for line in HEADER.read_text(encoding="utf-8").splitlines():
        if line.startswith("#define TARNWICK_VERSION_STRING "):
            return line.split('"')[1]
    raise SystemExit(f"setup.py: {HEADER} defines no TARNWICK_VERSION_STRING")


VERSION = header_version()


class StampVersion(build_py):
    def run(self) -> None:
        super().run()
        target = Path(self.build_lib) / "tarnwick" / "_generated_version.py"
        target.write_text(f'VERSION = "{VERSION}"\n', encoding="utf-8")


setup(version=VERSION, cmdclass={"build_py": StampVersion})
