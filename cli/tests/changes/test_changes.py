#!/usr/bin/python3
"""history --changes end to end: planted histories through the real program
and a real SQLite file. Usage: test_changes.py PATH_TO_TARNWICK"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, ".."))
import planted_history  # noqa: E402
import validate_json  # noqa: E402

BINARY = ""


def history(path, *args):
    return subprocess.run([BINARY, "history", "--history", path, *args], capture_output=True,
                          text=True, timeout=120, stdin=subprocess.DEVNULL)


class PlantedStep(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        cls.path = os.path.join(cls.directory.name, "history.db")
        cls.ids = planted_history.planted(BINARY, cls.path)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def changes(self, *args):
        result = history(self.path, "--changes", "--json", *args)
        self.assertEqual(result.returncode, 0, result.stderr)
        document = json.loads(result.stdout)
        self.assertEqual(validate_json.check(document, "changes"), [])
        return document

    def test_finds_the_step_and_nothing_else(self):
        document = self.changes()
        self.assertEqual((document["series"], document["runs"]), (2, 160))
        self.assertEqual(len(document["changes"]), 1, document["changes"])
        change = document["changes"][0]
        self.assertEqual((change["host"], change["label"], change["threads"]),
                         ("host-a", "all-cpus", 2))
        self.assertIn(change["run_id"], self.ids[47:54])
        position = self.ids.index(change["run_id"])
        self.assertEqual(change["started"], planted_history.night(position).replace("Z", ".000Z"))
        self.assertLess(change["p_value"], 0.01)
        self.assertAlmostEqual(change["change_percent"], -6, delta=1.5)
        self.assertAlmostEqual(change["median_after"] / change["median_before"] - 1,
                               change["change_percent"] / 100, places=9)

    def test_filters_choose_the_series(self):
        self.assertEqual(self.changes("--host", "steady-b")["changes"], [])
        self.assertEqual(len(self.changes("--host", "host-a")["changes"]), 1)
        self.assertEqual(self.changes("--label", "other")["series"], 0)
        # Since run 55 the host is at one level: nothing to find.
        since = self.changes("--since", planted_history.night(55)[:10])
        self.assertEqual((since["runs"], since["changes"]), (50, []))
        # A size above the step's hides it; the statistics still ran.
        self.assertEqual(self.changes("--min-change", "9")["changes"], [])

    def test_the_text_names_the_change(self):
        result = history(self.path, "--changes")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("1 change of 2 % or more in 2 series (160 completed runs)\nof ", result.stdout)
        self.assertIn("host-a · all-cpus · 2 workers · 0.0.2", result.stdout)
        self.assertNotIn("steady-b", result.stdout)
        self.assertTrue(all(len(line) <= 80 for line in result.stdout.splitlines()
                            if self.path not in line))

    def test_fail_on_change_looks_at_the_latest_runs(self):
        # The step is 30 runs old: outside the default window of 10.
        quiet = history(self.path, "--changes", "--fail-on-change", "3")
        self.assertEqual(quiet.returncode, 0, quiet.stderr)
        failed = history(self.path, "--changes", "--fail-on-change", "3", "--last", "35")
        self.assertEqual(failed.returncode, 1, failed.stderr)
        self.assertIn("host-a", failed.stderr)
        # Larger than the step: no failure, and none for a rise without --either.
        self.assertEqual(history(self.path, "--changes", "--fail-on-change", "9", "--last",
                                 "80").returncode, 0)


class FailOnRise(unittest.TestCase):
    def test_a_rise_fails_only_with_either(self):
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "history.db")
            planted_history.store(BINARY, path, planted_history.series(
                "host-c", 40, step_at=32, step=0.08, seed=5))
            args = ["--changes", "--fail-on-change", "5"]
            self.assertEqual(history(path, *args).returncode, 0)
            either = history(path, *args, "--either")
            self.assertEqual(either.returncode, 1, either.stdout + either.stderr)


class Usage(unittest.TestCase):
    def test_bad_options_are_usage_errors_that_name_them(self):
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "history.db")
            for args, named in (
                    (["--since", "2026-01-01"], "--since needs --changes or --html"),
                    (["--min-change", "3"], "--min-change needs --changes or --html"),
                    (["--changes", "--either"], "--either needs --fail-on-change"),
                    (["--fail-on-change", "3"], "--fail-on-change requires --changes"),
                    (["--changes", "--min-change", "-1"], "--min-change"),
                    (["--changes", "--min-change", "nan"], "--min-change"),
                    (["--changes", "--since", "2026-02-30"], "--since"),
                    (["--changes", "--import", "x.json"], "--import"),
                    (["--html", ""], "--html")):
                result = history(path, *args)
                self.assertEqual(result.returncode, 64, (args, result.stderr))
                self.assertIn(named, result.stderr, args)
            self.assertFalse(os.path.exists(path))

    def test_a_page_that_cannot_be_written_changes_nothing(self):
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "history.db")
            planted_history.store(BINARY, path, planted_history.series("host-d", 12, seed=2))
            page = os.path.join(directory, "page.html")
            with open(page, "w") as old:
                old.write("before")
            result = history(path, "--html", os.path.join(directory, "missing", "page.html"))
            self.assertEqual(result.returncode, 2)
            self.assertIn("cannot write", result.stderr)
            self.assertEqual(history(path, "--html", path).returncode, 64)
            written = history(path, "--html", page)
            self.assertEqual(written.returncode, 0, written.stderr)
            with open(page) as new:
                self.assertTrue(new.read().startswith("<!DOCTYPE html>"))


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
