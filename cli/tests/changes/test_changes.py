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
        self.assertEqual(document["runs"], 160)
        self.assertEqual([(one["host"], one["runs"], one["judged"]) for one in document["series"]],
                         [("host-a", 80, True), ("steady-b", 80, True)])
        stepped, steady = document["series"]
        self.assertEqual((steady["shifts"], steady["episodes"]), ([], []))
        self.assertEqual(stepped["episodes"], [])
        self.assertEqual(len(stepped["shifts"]), 1, stepped["shifts"])
        shift = stepped["shifts"][0]
        self.assertEqual(len(shift["steps"]), 1)
        change = shift["steps"][0]
        self.assertEqual((stepped["label"], stepped["threads"]), ("all-cpus", 2))
        self.assertIn(change["run_id"], self.ids[47:54])
        self.assertEqual((shift["start_run_id"], shift["end_run_id"]),
                         (change["run_id"], change["run_id"]))
        position = self.ids.index(change["run_id"])
        self.assertEqual(change["started"], planted_history.night(position).replace("Z", ".000Z"))
        self.assertEqual(shift["runs_since_end"], 80 - position)
        self.assertLess(change["p_value"], 0.01)
        self.assertAlmostEqual(shift["change_percent"], -6, delta=1.5)
        self.assertAlmostEqual(shift["level_after"] / shift["level_before"] - 1,
                               shift["change_percent"] / 100, places=9)

    def listed(self, document):
        return [(one["host"], len(one["shifts"]), len(one["episodes"]))
                for one in document["series"] if one["shifts"] or one["episodes"]]

    def test_filters_choose_the_series(self):
        self.assertEqual(self.listed(self.changes("--host", "steady-b")), [])
        self.assertEqual(self.listed(self.changes("--host", "host-a")), [("host-a", 1, 0)])
        self.assertEqual(self.changes("--label", "other")["series"], [])
        # Since run 55 the host is at one level: nothing to find.
        since = self.changes("--since", planted_history.night(55)[:10])
        self.assertEqual((since["runs"], self.listed(since)), (50, []))
        # A size above the step's hides it; the statistics still ran.
        self.assertEqual(self.listed(self.changes("--min-change", "9")), [])

    def test_the_text_names_the_change(self):
        result = history(self.path, "--changes")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("1 shift and 0 episodes of 2 % or more in 2 series (160 completed runs)\n"
                      "of ", result.stdout)
        self.assertIn("host-a · all-cpus · 2 workers · 0.0.2 (80 runs)\n  shift    ", result.stdout)
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


class DriftsEpisodesAndShortSeries(unittest.TestCase):
    """A slow slide, a short dip that came back and a series too short to
    judge, planted at 1 % spread."""

    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        cls.path = os.path.join(cls.directory.name, "history.db")
        planted_history.plant_stories(BINARY, cls.path)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def test_the_json_tells_each_story(self):
        result = history(self.path, "--changes", "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        document = json.loads(result.stdout)
        self.assertEqual(validate_json.check(document, "changes"), [])
        by_host = {one["host"]: one for one in document["series"]}
        self.assertEqual(document["runs_needed"], 10)

        sliding = by_host["sliding"]
        self.assertEqual((len(sliding["shifts"]), sliding["episodes"]), (1, []), sliding)
        shift = sliding["shifts"][0]
        self.assertTrue(-12 <= shift["change_percent"] <= -8, shift)
        self.assertGreaterEqual(len(shift["steps"]), 2)
        self.assertTrue(all(step["change_percent"] < 0 for step in shift["steps"]))
        self.assertEqual((shift["start_run_id"], shift["end_run_id"]),
                         (shift["steps"][0]["run_id"], shift["steps"][-1]["run_id"]))

        dipped = by_host["dipped"]
        self.assertEqual((dipped["shifts"], len(dipped["episodes"])), ([], 1), dipped)
        episode = dipped["episodes"][0]
        self.assertEqual(episode["runs"], 5)
        self.assertEqual(episode["start"][:10], planted_history.night(40)[:10])
        self.assertAlmostEqual(episode["change_percent"], -8, delta=1.5)

        short = by_host["node01"]
        self.assertEqual((short["judged"], short["runs"], short["shifts"]), (False, 9, []))

    def test_the_text_tells_it_too(self):
        result = history(self.path, "--changes")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("1 shift and 1 episode of 2 % or more in 3 series (189 completed runs)",
                      result.stdout)
        self.assertIn("1 series too short to judge: changes need 10 runs", result.stdout)
        self.assertIn("node01 · single · 1 worker · 0.0.2: 9 runs; changes need 10\n",
                      result.stdout)
        self.assertIn("dipped · all-cpus · 2 workers · 0.0.2 (80 runs)\n  episode  ",
                      result.stdout)
        self.assertIn(" for 5 runs, ", result.stdout)

    def test_a_drift_fails_the_gate_and_an_episode_never_does(self):
        # Its last step lags the slide: by up to 25 runs at this spread.
        failed = history(self.path, "--changes", "--host", "sliding", "--fail-on-change", "5",
                         "--last", "25")
        self.assertEqual(failed.returncode, 1, failed.stdout + failed.stderr)
        self.assertIn("sliding · all-cpus · 2 workers · 0.0.2: a shift of -", failed.stderr)
        # Each of its steps is smaller than 5 %: only their total fails.
        document = json.loads(history(self.path, "--changes", "--json", "--host", "sliding").stdout)
        steps = document["series"][0]["shifts"][0]["steps"]
        self.assertTrue(all(step["change_percent"] > -5 for step in steps), steps)
        # The dip is larger than 5 % and within the window: still a pass.
        dipped = history(self.path, "--changes", "--host", "dipped", "--fail-on-change", "5",
                         "--last", "80")
        self.assertEqual(dipped.returncode, 0, dipped.stdout + dipped.stderr)

    def test_a_series_too_short_is_not_a_pass(self):
        short = history(self.path, "--changes", "--host", "node01", "--fail-on-change", "5")
        self.assertEqual(short.returncode, 3, short.stdout + short.stderr)
        self.assertIn("node01 · single · 1 worker · 0.0.2: not judged, 9 runs; changes need 10",
                      short.stderr)
        # A failing shift says more than a series nobody could judge.
        both = history(self.path, "--changes", "--fail-on-change", "5", "--last", "25")
        self.assertEqual(both.returncode, 1, both.stderr)
        # Without the gate it is information.
        self.assertEqual(history(self.path, "--changes", "--host", "node01").returncode, 0)


HOSTILE_HOST = "ci|host*_<b>`x`[y](z)"


class CiReports(unittest.TestCase):
    """--junit and --markdown of --changes, read back by a JUnit parser and
    a Markdown renderer: a shift that trips the gate, an episode that never
    does, a series too short to judge and a quiet one of a hostile host name."""

    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        cls.path = os.path.join(cls.directory.name, "history.db")
        stepped = planted_history.series("host-a", 80, step_at=50, step=-0.06, seed=22)
        dipped = planted_history.series("dipped", 80, spread=0.01, seed=42,
                                        level=planted_history.dip)
        short = planted_history.series("node01", 9, spread=0.01, seed=43, label="single",
                                       threads=1, step_at=5, step=-0.15)
        quiet = planted_history.series(HOSTILE_HOST, 40, seed=44)
        planted_history.store(BINARY, cls.path, stepped + dipped + short + quiet)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def file(self, name):
        return os.path.join(self.directory.name, name)

    def junit(self, path):
        import junitparser
        (suite,) = list(junitparser.JUnitXml.fromfile(path))
        return suite, {case.name: case for case in suite}

    def test_the_gate_fails_the_shifted_series_and_skips_the_short_one(self):
        import junitparser
        junit, summary = self.file("gate.xml"), self.file("summary.md")
        with open(summary, "w") as file:
            file.write("# Earlier step\n\nkept as it was")
        result = history(self.path, "--changes", "--fail-on-change", "5", "--last", "35",
                         "--junit", junit, "--markdown", summary)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("1 shift and 1 episode of 2 % or more in 4 series", result.stdout)
        suite, cases = self.junit(junit)
        self.assertEqual((suite.tests, suite.failures, suite.skipped, suite.errors), (4, 1, 1, 0))
        self.assertEqual(sorted(cases), sorted([
            "host-a · all-cpus · 2 workers · 0.0.2", "dipped · all-cpus · 2 workers · 0.0.2",
            "node01 · single · 1 worker · 0.0.2", f"{HOSTILE_HOST} · all-cpus · 2 workers · 0.0.2"]))
        (failure,) = cases["host-a · all-cpus · 2 workers · 0.0.2"].result
        self.assertIsInstance(failure, junitparser.Failure)
        self.assertRegex(failure.message, r"^--fail-on-change 5: shift of -[4-8]\.\d % \(")
        self.assertRegex(failure.message, r"the latest [23]\d runs$")
        # The episode is information: its case passes and tells it.
        dipped = cases["dipped · all-cpus · 2 workers · 0.0.2"]
        self.assertEqual(dipped.result, [])
        self.assertRegex(dipped.system_out, r"80 runs:\nepisode of -[6-9]\.\d % .* for 5 runs")
        (skipped,) = cases["node01 · single · 1 worker · 0.0.2"].result
        self.assertIsInstance(skipped, junitparser.Skipped)
        self.assertEqual(skipped.message, "not judged: 9 runs; changes need 10")
        quiet = cases[f"{HOSTILE_HOST} · all-cpus · 2 workers · 0.0.2"]
        self.assertEqual(quiet.result, [])
        self.assertEqual(quiet.system_out, "40 runs; no shift or episode of 2 % or more")
        # The standard library's parser reads it too, the label intact.
        import xml.etree.ElementTree as ElementTree
        names = [case.get("name") for case in ElementTree.parse(junit).iter("testcase")]
        self.assertIn(f"{HOSTILE_HOST} · all-cpus · 2 workers · 0.0.2", names)
        self.check_markdown(summary)

    def check_markdown(self, summary):
        import markdown
        with open(summary) as file:
            text = file.read()
        self.assertTrue(text.startswith("# Earlier step\n\nkept as it was\n\n### "), text)
        html = markdown.markdown(text, extensions=["tables"])
        self.assertEqual(html.count("<table>"), 1, html)
        rows = html.split("<tr>")[1:]
        # The header, the shift, the episode and the series not judged.
        self.assertEqual(len(rows), 4, html)
        for row in rows:
            self.assertEqual(row.count("<td>") + row.count("<th>"), 7, row)
        self.assertIn("<th>Gate (5 %)</th>", rows[0])
        # In series order (as the history lists them), the short one last.
        episode, shift, short = rows[1:]
        self.assertIn("<td>dipped · ", episode)
        self.assertIn("<td>host-a · ", shift)
        self.assertIn("<td>shift</td>", shift)
        self.assertIn("<td>FAILED</td>", shift)
        self.assertIn("<td>episode, 5 runs</td>", episode)
        self.assertIn("<td>never gates</td>", episode)
        self.assertIn("<td>not judged</td>", short)
        self.assertIn("<td>9 runs; changes need 10</td>", short)

    def test_without_a_gate_nothing_fails_and_the_hostile_name_stays_text(self):
        import markdown
        junit, summary = self.file("plain.xml"), self.file("plain.md")
        result = history(self.path, "--changes", "--json", "--junit", junit,
                         "--markdown", summary, "--min-change", "0")
        self.assertEqual(result.returncode, 0, result.stderr)
        json.loads(result.stdout)
        suite, _ = self.junit(junit)
        self.assertEqual((suite.tests, suite.failures, suite.skipped), (4, 0, 1))
        # The quiet series is named in a row only if something was found in
        # it: the name is checked where it surely is, as a series too short.
        quiet = history(self.path, "--changes", "--host", HOSTILE_HOST, "--since",
                        planted_history.night(35)[:10], "--markdown", summary)
        self.assertEqual(quiet.returncode, 0, quiet.stderr)
        with open(summary) as file:
            text = file.read()
        self.assertEqual(text.count("### tarnwick history --changes: "), 2)
        html = markdown.markdown(text, extensions=["tables"])
        self.assertEqual(html.count("<table>"), 2)
        last = html.split("<table>")[-1]
        rows = last.split("<tr>")[1:]
        self.assertEqual(len(rows), 2, last)
        for row in rows:
            self.assertEqual(row.count("<td>") + row.count("<th>"), 6, row)
        self.assertIn("<td>5 runs; changes need 10</td>", rows[1])
        # Escaped: no markup, no link, no code span, no cell split.
        self.assertNotIn("<b>", html)
        self.assertNotIn("<a ", html)
        self.assertNotIn("<code>", html)
        self.assertNotIn("<em>", html)
        self.assertIn("<td>ci|host*_&lt;b&gt;`x`[y](z) · all-cpus · 2 workers · 0.0.2</td>",
                      html)

    def test_a_short_series_alone_under_the_gate_is_not_judged(self):
        import junitparser
        junit = self.file("short.xml")
        result = history(self.path, "--changes", "--host", "node01", "--fail-on-change", "5",
                         "--junit", junit)
        self.assertEqual(result.returncode, 3, result.stderr)
        suite, cases = self.junit(junit)
        self.assertEqual((suite.tests, suite.failures, suite.skipped), (1, 0, 1))
        (skipped,) = cases["node01 · single · 1 worker · 0.0.2"].result
        self.assertIsInstance(skipped, junitparser.Skipped)

    def test_bad_report_files_are_refused_before_any_work(self):
        summary = self.file("kept.md")
        with open(summary, "w") as file:
            file.write("kept")
        for args, status, named in (
                (["--junit", self.file("x.xml")], 64, "--junit requires --changes"),
                (["--html", self.file("x.html"), "--markdown", summary], 64,
                 "--markdown requires --changes"),
                (["--changes", "--junit", "-"], 64, "--junit"),
                (["--changes", "--junit", self.path], 64, "--junit"),
                (["--changes", "--markdown", summary, "--junit",
                  self.file("missing/x.xml")], 2, "cannot write")):
            result = history(self.path, *args)
            self.assertEqual(result.returncode, status, (args, result.stderr))
            self.assertIn(named, result.stderr, args)
        with open(summary) as file:
            self.assertEqual(file.read(), "kept")


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
