#!/usr/bin/python3
"""history --html in headless Chromium: the planted history's page loads
without a console error, names every host in text, shows the change with
its size and the unstable run, and filters. Usage:
  test_history_page.py PATH_TO_TARNWICK             the tests
  test_history_page.py PATH_TO_TARNWICK --measure N  size and load time of a
                                                     page of N runs
With TARNWICK_SCREENSHOTS=DIR the screenshot is kept there."""

import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "changes"))
import browser  # noqa: E402
import planted_history  # noqa: E402

BINARY = ""
HOSTILE = "<img src=x onerror=alert(1)></script>"


def write_page(history, page, *args):
    result = subprocess.run([BINARY, "history", "--history", history, "--html", page, *args],
                            capture_output=True, text=True, timeout=300)
    if result.returncode != 0:
        raise RuntimeError(result.stderr)


class HistoryPage(browser.PageTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.directory = tempfile.TemporaryDirectory()
        cls.history = os.path.join(cls.directory.name, "history.db")
        planted_history.planted(BINARY, cls.history)
        # A second label on the steady host: one panel per host and label;
        # and a host named as markup, which must stay text.
        planted_history.store(BINARY, cls.history, planted_history.series(
            "steady-b", 30, label="single", threads=1, seed=31) + planted_history.series(
            HOSTILE, 12, seed=32))
        cls.page = os.path.join(cls.directory.name, "history.html")
        write_page(cls.history, cls.page)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()
        super().tearDownClass()

    def setUp(self):
        self.open_page(self.page)

    def test_loads_and_shows_hosts_the_change_and_the_unstable_run(self):
        self.assertNoConsoleError()
        self.assertEqual(self.browser.visible_text("#page-error"), [])
        self.assertEqual(self.browser.visible_text("h2 .host"),
                         [HOSTILE, "host-a", "steady-b", "steady-b"])
        self.assertEqual(self.browser.run("return document.querySelectorAll('img').length"), 0)
        changes = self.browser.visible_text(".change")
        self.assertEqual(len(changes), 1, changes)
        self.assertRegex(changes[0], r"^−[4-8]\.\d %")
        facts = self.browser.visible_text(".group .facts")
        self.assertIn("1 unstable", facts[1])
        self.assertNotIn("unstable", facts[2])
        # host-a's chart is drawn, with the change marked on it.
        marks = self.browser.run(
            "const chart = Chart.getChart(document.querySelectorAll('.group canvas')[1]);"
            "return chart ? chart.options.plugins.changeMarks.marks.length : -1;")
        self.assertEqual(marks, 1)
        styles = self.browser.run(
            "const chart = Chart.getChart(document.querySelectorAll('.group canvas')[1]);"
            "const set = chart.data.datasets.find(d => d.label === 'mean rate');"
            "return set.pointStyle.filter(s => s === 'triangle').length;")
        self.assertEqual(styles, 1)
        keep = os.environ.get("TARNWICK_SCREENSHOTS")
        picture = os.path.join(keep or self.directory.name, "history-page.png")
        self.browser.screenshot(picture)
        self.assertGreater(os.path.getsize(picture), 10000)

    def test_filtering_hides_other_panels(self):
        field = self.browser.driver.find_element("id", "filter")
        field.send_keys("single")
        self.assertEqual(self.browser.visible_text("h2 .host"), ["steady-b"])
        self.assertEqual(self.browser.visible_text("#shown"), ["1 of 4 shown"])
        field.clear()
        field.send_keys("host-")
        self.assertEqual(self.browser.visible_text("h2 .host"), ["host-a"])
        self.assertNoConsoleError()


def measure(count):
    """Size and load time of the page of a history of `count` runs: 20
    hosts with two labels each, one run a night per series."""
    with tempfile.TemporaryDirectory() as directory:
        history = os.path.join(directory, "history.db")
        per_series = count // 40
        documents = []
        for host in range(20):
            for label, threads in (("all-cpus", 2), ("single", 1)):
                documents += planted_history.series(
                    "node%02d" % host, per_series, label=label, threads=threads, seed=host,
                    step_at=per_series // 2 if host % 5 == 0 else None, step=-0.05,
                    unstable={7, 70}, hours=6)
        planted_history.store(BINARY, history, documents)
        page = os.path.join(directory, "history.html")
        started = time.monotonic()
        write_page(history, page)
        written = time.monotonic() - started
        seconds, drawn = [], []
        with browser.Browser() as chromium:
            for _ in range(3):
                seconds.append(chromium.load(page))
                # The panels in view draw their charts just after the load.
                deadline = time.monotonic() + 30
                while time.monotonic() < deadline:
                    at = chromium.run("return Chart.getChart(document.querySelector('canvas'))"
                                      " ? performance.now() / 1000 : null")
                    if at is not None:
                        drawn.append(at)
                        break
                    time.sleep(0.01)
            errors = chromium.console_errors()
        print(f"{len(documents)} runs in 40 series: page {os.path.getsize(page) / 1e6:.2f} MB, "
              f"written in {written:.2f} s, loaded in {min(seconds):.2f} s "
              f"(best of 3; {', '.join('%.2f' % s for s in seconds)}), first charts drawn by "
              f"{min(drawn):.2f} s, console errors: {errors}")


if __name__ == "__main__":
    browser.skip_or_fail_without_browser()
    BINARY = sys.argv.pop(1)
    if len(sys.argv) > 2 and sys.argv[1] == "--measure":
        measure(int(sys.argv[2]))
        sys.exit(0)
    unittest.main(verbosity=2)
