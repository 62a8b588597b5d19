"""examples/systemd: systemd-analyze verify on a copy of the units whose
ExecStart runs the built program; any message about our units (an unknown
key, a bad value, a missing program) fails, not only its errors.

Usage: test_systemd.py TARNWICK EXAMPLES_DIR"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

TARNWICK = EXAMPLES = None


@unittest.skipIf(shutil.which("systemd-analyze") is None, "systemd-analyze missing")
class Units(unittest.TestCase):
    def test_units_verify(self):
        with tempfile.TemporaryDirectory() as folder:
            for name in ("tarnwick.service", "tarnwick.timer"):
                with open(os.path.join(EXAMPLES, name)) as source:
                    text = source.read()
                if name.endswith(".service"):
                    self.assertIn("ExecStart=/usr/bin/tarnwick ", text)
                    text = text.replace("ExecStart=/usr/bin/tarnwick ", "ExecStart=%s " % TARNWICK)
                with open(os.path.join(folder, name), "w") as copy:
                    copy.write(text)
            # --man=no: the manual page need not be installed where this runs.
            done = subprocess.run(
                ["systemd-analyze", "verify", "--man=no", "./tarnwick.service",
                 "./tarnwick.timer"], cwd=folder, capture_output=True, text=True, timeout=120)
            ours = [line for line in (done.stdout + done.stderr).splitlines()
                    if "tarnwick." in line]
            self.assertEqual((done.returncode, ours), (0, []), done.stderr)


if __name__ == "__main__":
    TARNWICK, EXAMPLES = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main(verbosity=2)
