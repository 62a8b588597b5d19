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


GENERATED = HERE / "tarnwick" / "_generated_version.py"


def header_version() -> str:
    # Outside a clone (an unpacked source distribution) the stamp made by an
    # earlier build is all there is.
    source = HEADER if HEADER.is_file() or not GENERATED.is_file() else GENERATED
    prefix = "#define TARNWICK_VERSION_STRING " if source == HEADER else "VERSION = "
    for line in source.read_text(encoding="utf-8").splitlines():
        if line.startswith(prefix):
            return line.split('"')[1]
    raise SystemExit(f"setup.py: {source} gives no version")


VERSION = header_version()


class StampVersion(build_py):
    def run(self) -> None:
        super().run()
        target = Path(self.build_lib) / "tarnwick" / "_generated_version.py"
        target.write_text(f'VERSION = "{VERSION}"\n', encoding="utf-8")


setup(version=VERSION, cmdclass={"build_py": StampVersion})
