#!/usr/bin/python3
"""history --html in headless Chromium: the planted history's page loads
without a console error, names every host in text, leads with the list of
what changed, shows the change with its size and the unstable run, filters,
fits a phone's width, prints every chart, and opens a history of a thousand
series with a few dozen panels. Usage:
  test_history_page.py PATH_TO_TARNWICK             the tests
  test_history_page.py PATH_TO_TARNWICK --measure N  size and load time of a
                                                     page of N runs
With TARNWICK_SCREENSHOTS=DIR the screenshots are kept there (README's are
history-page.png and history-page-phone.png)."""

import json
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


class PlantedPage(browser.PageTestCase):
    """The page of a history that the class's `plant` fills, each class's in
    a folder of its own."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.directory = tempfile.TemporaryDirectory()
        cls.history = os.path.join(cls.directory.name, "history.db")
        cls.plant(cls.history)
        cls.page = os.path.join(cls.directory.name, "history.html")
        write_page(cls.history, cls.page)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()
        super().tearDownClass()


class HistoryPage(PlantedPage):
    @classmethod
    def plant(cls, history):
        planted_history.planted(BINARY, history)
        # A second label on the steady host: one panel per host and label;
        # and a host named as markup, which must stay text.
        planted_history.store(BINARY, history, planted_history.series(
            "steady-b", 30, label="single", threads=1, seed=31) + planted_history.series(
            HOSTILE, 12, seed=32))

    def setUp(self):
        self.open_page(self.page)

    def test_loads_and_shows_hosts_the_change_and_the_unstable_run(self):
        self.assertNoConsoleError()
        self.assertEqual(self.browser.visible_text("#page-error"), [])
        # The changed panel first, then the others as the history lists them.
        self.assertEqual(self.browser.visible_text("h2 .host"),
                         ["host-a", HOSTILE, "steady-b", "steady-b"])
        self.assertEqual(self.browser.run("return document.querySelectorAll('img').length"), 0)
        changes = self.browser.visible_text(".change")
        self.assertEqual(len(changes), 1, changes)
        self.assertRegex(changes[0], r"^−[4-8]\.\d %")
        facts = self.browser.visible_text(".group .facts")
        self.assertIn("1 unstable", facts[0])
        self.assertNotIn("unstable", facts[1])
        # host-a's chart is drawn, with the change marked on it.
        marks = self.browser.run(
            "const chart = Chart.getChart(document.querySelectorAll('.group canvas')[0]);"
            "return chart ? chart.options.plugins.changeMarks.marks.length : -1;")
        self.assertEqual(marks, 1)
        # Its size is written above the plot, never over the data, sign and all.
        labels = self.browser.run(
            "const chart = Chart.getChart(document.querySelectorAll('.group canvas')[0]);"
            "return [chart.changeLabels, chart.chartArea.top, chart.width];")
        self.assertEqual(len(labels[0]), 1, labels)
        label = labels[0][0]
        self.assertEqual(label["text"], changes[0].split(" ")[0] + " %")
        self.assertLessEqual(label["bottom"], labels[1])
        self.assertGreaterEqual(label["left"], 0)
        self.assertLessEqual(label["right"], labels[2])
        styles = self.browser.run(
            "const chart = Chart.getChart(document.querySelectorAll('.group canvas')[0]);"
            "const set = chart.data.datasets.find(d => d.label === 'mean rate');"
            "return set.pointStyle.filter(s => s === 'triangle').length;")
        self.assertEqual(styles, 1)
        keep = os.environ.get("TARNWICK_SCREENSHOTS")
        picture = os.path.join(keep or self.directory.name, "history-page-step.png")
        self.browser.screenshot(picture)
        self.assertGreater(os.path.getsize(picture), 10000)

    def test_runs_with_disturbed_seconds_are_marked(self):
        # host-a's runs 20 (unstable too) and 35 had disturbed seconds; the
        # other panels' runs have none, or were not counted.
        facts = self.browser.visible_text(".group .facts")
        self.assertIn("2 with disturbed seconds", facts[0])
        self.assertTrue(all("disturbed" not in line for line in facts[1:]), facts)
        marks = self.browser.run(
            "const chart = Chart.getChart(document.querySelectorAll('.group canvas')[0]);"
            "const set = chart.data.datasets.find(d => d.label === 'mean rate');"
            "const tip = chart.options.plugins.tooltip.callbacks.label;"
            "return set.data.map((p, i) => [set.pointStyle[i], set.pointBorderColor[i],"
            "  tip({raw: p})]).filter(m => m[0] !== 'circle');")
        self.assertEqual(len(marks), 2, marks)
        unstable, noisy = marks
        self.assertEqual(unstable[0], "triangle")
        self.assertEqual(unstable[1], noisy[1])  # the amber edge of a disturbed run
        self.assertIn("UNSTABLE · 2 disturbed seconds", unstable[2])
        self.assertEqual(noisy[0], "rectRot")
        self.assertIn("· 3 disturbed seconds · run", noisy[2])
        self.assertIn("run with disturbed seconds", self.browser.visible_text(".legend")[0])
        field = self.browser.driver.find_element("id", "filter")
        field.send_keys("disturbed")
        self.assertEqual(self.browser.visible_text("h2 .host"), ["host-a"])
        self.assertNoConsoleError()

    def test_filtering_hides_other_panels(self):
        field = self.browser.driver.find_element("id", "filter")
        field.send_keys("single")
        self.assertEqual(self.browser.visible_text("h2 .host"), ["steady-b"])
        self.assertEqual(self.browser.visible_text("#shown"), ["1 of 4 panels shown"])
        field.clear()
        field.send_keys("host-")
        self.assertEqual(self.browser.visible_text("h2 .host"), ["host-a"])
        # The worker count, the library's version and what happened match too.
        for words, hosts in (("steady unstable", []), ("changed", ["host-a"]),
                             ("unstable all-cpus", ["host-a"]), ("0.0.2 single", ["steady-b"])):
            field.clear()
            field.send_keys(words)
            self.assertEqual(self.browser.visible_text("h2 .host"), hosts, words)
        self.assertNoConsoleError()

    def test_what_changed_names_the_planted_change_and_links_to_its_panel(self):
        items = self.browser.visible_text("#changed-list li")
        self.assertEqual(len(items), 1, items)
        self.assertRegex(items[0], r"^−[4-8]\.\d % shift from 2026-02-\d\d · "
                                   r"host-a · all-cpus · 2 workers · ")
        self.browser.run("document.querySelector('#changed-list a').click()")
        target = self.browser.run("return location.hash")
        self.assertEqual(self.browser.run(
            "return document.querySelector(location.hash + ' h2 .host').textContent"), "host-a")
        top = self.browser.run(
            "return document.querySelector(location.hash).getBoundingClientRect().top")
        self.assertLess(abs(top), 5, target)
        self.assertNoConsoleError()

    def check_layout_and_print(self, width, height, mobile, name):
        """At width x height: nothing wider than the screen, every chart
        drawn before printing and on the printed sheets, none cut."""
        self.browser.set_viewport(width, height, mobile)
        try:
            self.open_page(self.page)
            self.assertLessEqual(self.browser.overflow(), 0)
            keep = os.environ.get("TARNWICK_SCREENSHOTS")
            if keep:
                self.browser.screenshot(os.path.join(keep, f"history-page-step{name}.png"))
            panels = self.browser.run("return document.querySelectorAll('section.group').length")
            self.assertEqual(panels, 4)
            # Before printing, the page draws the panels not yet scrolled to.
            self.browser.run("window.dispatchEvent(new Event('beforeprint'))")
            inked = self.browser.run("""
              return [...document.querySelectorAll('section.group canvas')].map((canvas) => {
                if (!Chart.getChart(canvas)) return 0;
                const pixels = canvas.getContext('2d')
                  .getImageData(0, 0, canvas.width, canvas.height).data;
                let inked = 0;
                for (let i = 3; i < pixels.length; i += 4) inked += pixels[i] > 0;
                return inked;
              });""")
            self.assertEqual(len(inked), 4)
            for count in inked:
                self.assertGreater(count, 2000, inked)
            with tempfile.TemporaryDirectory() as folder:
                sheets = self.browser.print_pages(folder)
            # Each panel's first series is drawn in the first colour: one band
            # of it per chart, every one inside the sheet's width.
            bands = browser.coloured_bands(sheets, (0x2b, 0x6c, 0xb0))
            self.assertEqual(len(bands), 4, bands)
            for sheet, _, _, right in bands:
                self.assertLess(right, sheets[sheet][0] * 0.96, bands)
            self.assertNoConsoleError()
        finally:
            self.browser.set_viewport(browser.WIDTH, browser.HEIGHT)

    def test_a_desktop_screen_and_its_print(self):
        self.check_layout_and_print(1280, 800, False, "")

    def test_a_phone_screen_and_its_print(self):
        self.check_layout_and_print(390, 844, True, "-phone")
        self.assertEqual(self.browser.run("return document.querySelectorAll('img').length"), 0)


class WhatChanged(PlantedPage):
    """The list at the top tells each planted story as `history --changes
    --json` does: a drift as one shift of several steps, a dip that came
    back as an episode with its end, a series too short to judge with what
    it needs."""

    @classmethod
    def plant(cls, history):
        planted_history.plant_stories(BINARY, history)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        result = subprocess.run([BINARY, "history", "--history", cls.history, "--changes",
                                 "--json"], capture_output=True, text=True, timeout=120)
        cls.record = {one["host"]: one for one in json.loads(result.stdout)["series"]}

    def page_series(self):
        return {group["host"]: group["series"][0] for group in self.browser.run(
            "return JSON.parse(document.getElementById('data').textContent).groups")}

    def test_the_list_tells_the_shift_the_episode_and_the_short_series(self):
        self.open_page(self.page)
        self.assertNoConsoleError()
        shift = self.record["sliding"]["shifts"][0]
        episode = self.record["dipped"]["episodes"][0]
        items = self.browser.visible_text("#changed-list li")
        # Newest first: the drift started after the dip.
        self.assertEqual(len(items), 2, items)
        self.assertEqual(
            items[0], f"−{abs(shift['change_percent']):.1f} % shift from {shift['start'][:10]} "
            f"to {shift['end'][:10]} in {len(shift['steps'])} steps"
            f"{', still moving' if shift['ongoing'] else ''} · sliding · all-cpus · "
            "2 workers · 0.0.2")
        self.assertEqual(
            items[1], f"−{abs(episode['change_percent']):.1f} % episode from 2026-02-10 to "
            "2026-02-14 (5 runs) · dipped · all-cpus · 2 workers · 0.0.2")
        self.assertEqual(self.browser.visible_text("#unjudged"), [
            "Not judged (too few runs): node01 · single · 1 worker · 0.0.2: 9 runs; "
            "changes need 10"])
        summary = self.browser.visible_text("#summary")[0]
        self.assertIn("1 shift and 1 episode of 2 % or more; 1 series not judged.", summary)

    def test_the_page_carries_what_the_json_says(self):
        self.open_page(self.page)
        page = self.page_series()
        for host, kind, field in (("sliding", "shift", "shifts"),
                                  ("dipped", "episode", "episodes")):
            (change,) = page[host]["changes"]
            (listed,) = self.record[host][field]
            self.assertEqual(change["kind"], kind)
            self.assertEqual((change["run"], change["started"], change["ended"]),
                             (listed["start_run_id"], listed["start"], listed["end"]))
            self.assertAlmostEqual(change["percent"], listed["change_percent"], places=2)
            runs = [run[4] for run in page[host]["runs"]]
            self.assertEqual(runs[change["index"]], listed["start_run_id"][:12])
            self.assertEqual(runs[change["end"]], listed["end_run_id"][:12])
        self.assertEqual((page["node01"]["judged"], page["node01"]["needs"],
                          page["node01"]["changes"]), (False, 10, []))
        self.assertTrue(page["sliding"]["judged"])
        self.assertEqual(page["sliding"]["changes"][0]["ongoing"],
                         self.record["sliding"]["shifts"][0]["ongoing"])

    def test_the_panels_mark_the_stretches_and_the_short_series(self):
        self.open_page(self.page)
        self.browser.run("window.dispatchEvent(new Event('beforeprint'))")
        marks = self.browser.run("""
          return [...document.querySelectorAll('section.group')].map((section) => {
            const chart = Chart.getChart(section.querySelector('canvas'));
            return [section.querySelector('h2 .host').textContent,
                    chart ? chart.options.plugins.changeMarks.marks.map(
                      (mark) => ({x: mark.x, end: mark.end === undefined ? null : mark.end}))
                      : null];
          });""")
        marks = dict(marks)
        # The episode and the drift are drawn as stretches, from start to end.
        for host in ("sliding", "dipped"):
            (mark,) = marks[host]
            self.assertLess(mark["x"], mark["end"], host)
        self.assertEqual(marks["node01"], [])
        facts = dict(zip(self.browser.visible_text("h2 .host"),
                         self.browser.visible_text(".group .facts")))
        self.assertIn("not judged: changes need 10 runs", facts["node01"])
        self.assertRegex(facts["dipped"], r"−[6-9]\.\d % episode from 2026-02-10 to 2026-02-14 "
                                          r"\(5 runs\) at 9\d\d\.\d M/s, [\d.]+ [MG]/s around")
        self.assertNoConsoleError()

    def test_screens_of_a_desktop_and_a_phone(self):
        keep = os.environ.get("TARNWICK_SCREENSHOTS")
        try:
            # README's pictures of the page (TARNWICK_SCREENSHOTS=docs).
            for width, height, mobile, name in ((1280, 800, False, "history-page"),
                                                (390, 844, True, "history-page-phone")):
                self.browser.set_viewport(width, height, mobile)
                self.open_page(self.page)
                self.assertLessEqual(self.browser.overflow(), 0, name)
                self.assertEqual(len(self.browser.visible_text("#changed-list li")), 2, name)
                picture = os.path.join(keep or self.directory.name, name + ".png")
                self.browser.screenshot(picture)
                self.assertGreater(os.path.getsize(picture), 10000)
                self.assertNoConsoleError()
        finally:
            self.browser.set_viewport(browser.WIDTH, browser.HEIGHT)


class ThousandSeries(PlantedPage):
    """A history of 1,000 series, three with a planted drop: the page opens
    with only the changed ones, lists the three, and shows the others a page
    at a time when asked."""

    dropped = {"node0100", "node0500", "node0900"}

    @classmethod
    def plant(cls, history):
        documents = []
        for number in range(1000):
            host = "node%04d" % number
            dropped = host in cls.dropped
            documents += planted_history.series(host, 16, seed=number, spread=0.01,
                                                step_at=8 if dropped else None, step=-0.15)
        planted_history.store(BINARY, history, documents)

    def panels(self):
        return self.browser.run("return document.querySelectorAll('section.group').length")

    def test_opens_with_what_changed_and_a_bounded_number_of_panels(self):
        self.open_page(self.page)
        self.assertNoConsoleError()
        listed = " ".join(self.browser.visible_text("#changed-list li"))
        for host in self.dropped:
            self.assertRegex(listed, r"−1[0-9]\.\d % shift from 2026-01-\d\d · " + host)
        self.assertEqual(len(self.browser.visible_text("#changed-list li")), 3)
        # Past 50 series, only the changed ones at first.
        self.assertTrue(self.browser.run("return document.getElementById('changed-only').checked"))
        self.assertEqual(sorted(self.browser.visible_text("h2 .host")), sorted(self.dropped))
        # Every series: a page of 30, then 30 more, then all, when asked.
        self.browser.run("document.getElementById('changed-only').click()")
        self.assertEqual(self.panels(), 30)
        self.assertLess(self.browser.run("return document.documentElement.scrollHeight"), 15000)
        self.assertEqual(self.browser.visible_text("#shown"),
                         ["30 of 1000 panels shown (1000 match)"])
        self.browser.run("document.getElementById('more').click()")
        self.assertEqual(self.panels(), 60)
        self.browser.driver.find_element("id", "filter").send_keys("node09")
        self.assertEqual(self.panels(), 30)
        self.browser.run("document.getElementById('all').click()")
        self.assertEqual(self.panels(), 100)
        # A listed change reached from the list, whatever the filter hides.
        self.browser.run("[...document.querySelectorAll('#changed-list a')]"
                         ".find((a) => a.textContent.startsWith('node0100')).click()")
        self.assertEqual(self.browser.run(
            "return document.querySelector(location.hash + ' h2 .host').textContent"), "node0100")
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
