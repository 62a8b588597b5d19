"""The platform wheel carries the library and works offline in a bare venv."""

import os
import subprocess
import sys
import tempfile
import textwrap
import unittest
import zipfile
from pathlib import Path

WHEEL_DIR = os.environ.get("TARNWICK_WHEEL_DIR")

# Where the library came from, and a short run with it.
CHECK = textwrap.dedent(
    """
    import tarnwick
    library = tarnwick.load_library()
    result = tarnwick.run(warmup=0.0, measure=0.3)
    print(library.path)
    print(result.status.name, result.reason)
    """
)


@unittest.skipUnless(WHEEL_DIR, "TARNWICK_WHEEL_DIR is not set: no wheel was built")
class Wheel(unittest.TestCase):
    def setUp(self) -> None:
        wheels = sorted(Path(str(WHEEL_DIR)).glob("tarnwick-*.whl"))
        self.assertEqual(len(wheels), 1, f"expected one wheel in {WHEEL_DIR}: {wheels}")
        self.wheel = wheels[0]

    def test_tagged_for_the_platform_and_carries_the_library(self) -> None:
        platform = os.environ["TARNWICK_WHEEL_PLATFORM"]
        self.assertTrue(self.wheel.name.endswith(f"-py3-none-{platform}.whl"), self.wheel.name)
        with zipfile.ZipFile(self.wheel) as archive:
            names = archive.namelist()
            wheel_info = next(n for n in names if n.endswith(".dist-info/WHEEL"))
            self.assertIn("Root-Is-Purelib: false", archive.read(wheel_info).decode())
            library = archive.read("tarnwick/libtarnwick.so.0")
        self.assertEqual(library[:4], b"\x7fELF")
        self.assertTrue(any(n.endswith(".dist-info/LICENSE") for n in names), names)

    def test_installs_offline_into_a_bare_venv_and_runs(self) -> None:
        with tempfile.TemporaryDirectory() as tmp:
            venv = Path(tmp) / "venv"
            # Debian's interpreter, as a user would; no system site packages.
            subprocess.run(["/usr/bin/python3", "-m", "venv", str(venv)], check=True)
            python = str(venv / "bin" / "python")
            subprocess.run(
                [python, "-m", "pip", "install", "--no-index", "--quiet",
                 "--disable-pip-version-check", str(self.wheel)],
                check=True,
            )
            # Neither the clone's build nor the environment may supply the
            # library, nor the source tree the package.
            env = {k: v for k, v in os.environ.items()
                   if k not in ("TARNWICK_LIBRARY", "PYTHONPATH")}
            run = subprocess.run([python, "-c", CHECK], check=True, cwd=tmp, env=env,
                                 capture_output=True, text=True)
            path, outcome = run.stdout.strip().splitlines()
            self.assertTrue(path.startswith(str(venv)), path)
            self.assertTrue(path.endswith("/tarnwick/libtarnwick.so.0"), path)
            self.assertEqual(outcome.strip(), "COMPLETED")

            summary = subprocess.run(
                [python, "-m", "tarnwick", "--warmup", "0", "--measure", "0.3"],
                check=True, cwd=tmp, env=env, capture_output=True, text=True,
            ).stdout
            self.assertRegex(summary, r"(?m)^tarnwick \d+\.\d+\.\d+ .*1 worker$")
            self.assertRegex(summary, r"(?m)^  mean rate +[\d,]+ steps/s$")


if __name__ == "__main__":
    unittest.main()
