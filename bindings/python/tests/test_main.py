"""``python -m tarnwick`` as its users run it: outputs that cannot be written,
and a run cancelled during its warm-up.

Signals go to child processes so the test runner itself is never hit.
"""

import os
import re
import signal
import subprocess
import sys
import time
import unittest
from pathlib import Path
from typing import List, Optional, Tuple

import tarnwick

PATIENCE = 30.0
PACKAGE_ROOT = Path(tarnwick.__file__).resolve().parents[1]


def run_module(args: List[str], stdout: Optional[int] = None) -> Tuple[int, str, str]:
    child = subprocess.run(
        [sys.executable, "-m", "tarnwick", *args],
        stdout=subprocess.PIPE if stdout is None else stdout,
        stderr=subprocess.PIPE,
        text=True,
        cwd=PACKAGE_ROOT,
        timeout=PATIENCE,
        check=False,
    )
    return child.returncode, child.stdout or "", child.stderr


def catches(pid: int, signum: int) -> bool:
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("SigCgt:"):
                return bool(int(line.split()[1], 16) >> (signum - 1) & 1)
    return False


@unittest.skipUnless(os.path.exists("/dev/full"), "no /dev/full")
class UnwritableOutput(unittest.TestCase):
    def assert_one_line(self, status: int, err: str) -> None:
        self.assertEqual(status, 2, err)
        self.assertNotIn("Traceback", err)
        self.assertEqual(err.splitlines(),
                         ["tarnwick: cannot write standard output: No space left on device"])

    def test_help_to_a_full_device(self) -> None:
        with open("/dev/full", "w", encoding="ascii") as full:
            status, _, err = run_module(["--help"], stdout=full.fileno())
        self.assert_one_line(status, err)

    def test_a_run_to_a_full_device(self) -> None:
        with open("/dev/full", "w", encoding="ascii") as full:
            status, _, err = run_module(["--warmup", "0", "--measure", "0.2"],
                                        stdout=full.fileno())
        self.assert_one_line(status, err)

    def test_a_readable_help_still_exits_0(self) -> None:
        status, out, err = run_module(["--help"])
        self.assertEqual(status, 0, err)
        self.assertIn("--warmup", out)
        self.assertEqual(err, "")


class CancelledDuringWarmup(unittest.TestCase):
    def test_the_summary_says_how_far_the_warmup_got(self) -> None:
        child = subprocess.Popen(
            [sys.executable, "-m", "tarnwick", "--warmup", "3", "--measure", "1"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            cwd=PACKAGE_ROOT,
        )
        try:
            deadline = time.monotonic() + PATIENCE
            while not catches(child.pid, signal.SIGTERM) and time.monotonic() < deadline:
                time.sleep(0.01)
            self.assertTrue(catches(child.pid, signal.SIGTERM), "no SIGTERM handler was installed")
            time.sleep(1.0)
            child.send_signal(signal.SIGTERM)
            out, err = child.communicate(timeout=PATIENCE)
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
        self.assertEqual(child.returncode, 1, err)
        self.assertNotIn("measured of", out)
        found = re.search(r"(?m)^  window       cancelled during the warm-up, after (\d+\.\d) s "
                          r"of 3 s$", out)
        self.assertIsNotNone(found, out)
        assert found is not None
        # At least the second waited; less than the whole warm-up (a loaded
        # machine may start the interpreter slowly, never the run early).
        self.assertGreaterEqual(float(found.group(1)), 0.9)
        self.assertLess(float(found.group(1)), 3.0)


if __name__ == "__main__":
    unittest.main()
