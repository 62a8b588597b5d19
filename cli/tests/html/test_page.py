#!/usr/bin/python3
"""What every page shares, in headless Chromium: hostile data shows as text
and cannot end the page's scripts, the inlined chart library draws, nothing
loads from elsewhere, and a failing page script shows its error on the page.
Usage: test_page.py PATH_TO_SAMPLE_PAGE_WRITER"""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser  # noqa: E402

WRITER = ""
HOSTS = [
    "</script><script>document.title='taken'</script>",
    "<!-- a <b>bold</b> & \"quoted\"",
    # Separators and bytes that are not UTF-8 are shown, as in the terminal.
    "line<U+2028>separated<U+2029>host",
    "broken \\xFF byte",
]


class SharedPage(browser.PageTestCase):
    def write(self, *args):
        path = os.path.join(self.directory.name, "page.html")
        subprocess.run([WRITER, path, *args], check=True, timeout=60)
        return path

    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.directory.cleanup()

    def test_hostile_data_is_text_and_the_charts_draw(self):
        self.open_page(self.write())
        self.assertNoConsoleError()
        self.assertEqual(self.browser.run("return document.title"), "Sample </title> & page")
        names = self.browser.run(
            "return [...document.querySelectorAll('h2.host')].map(h => h.textContent)")
        self.assertEqual(names, HOSTS)
        self.assertEqual(self.browser.run("return document.querySelectorAll('b').length"), 0)
        self.assertEqual(self.browser.run("return Chart.version"), "3.9.1")
        drawn = self.browser.run(
            "return [...document.querySelectorAll('canvas')]"
            ".map(c => Chart.getChart(c) ? Chart.getChart(c).data.datasets[0].data.length : 0)")
        self.assertEqual(drawn, [3] * len(HOSTS))
        self.assertEqual(self.browser.visible_text("#page-error"), [])
        picture = os.path.join(self.directory.name, "page.png")
        self.browser.screenshot(picture)
        with open(picture, "rb") as png:
            header = png.read(24)
        # The PNG's IHDR: width and height, big-endian, at bytes 16 to 24.
        self.assertEqual((int.from_bytes(header[16:20], "big"),
                          int.from_bytes(header[20:24], "big")), (browser.WIDTH, browser.HEIGHT))

    def test_a_failing_script_shows_its_error_on_the_page(self):
        self.open_page(self.write("broken"))
        shown = self.browser.visible_text("#page-error")
        self.assertEqual(len(shown), 1)
        self.assertIn("noSuchFunction", shown[0])
        self.assertTrue(any("noSuchFunction" in error
                            for error in self.browser.console_errors()))

    def test_a_network_address_in_the_markup_is_caught(self):
        # The check the pages rely on must see what it is there to see.
        for html in ('<img src="https://example.org/x.png">', "<a href=//host/x>",
                     "<script src='http://h/s.js'>", '<link HREF = "ftp://h/x">'):
            self.assertNotEqual(browser.network_links(html), [], html)
        for html in ('<a href="#hosts">', '<img src="data:image/png;base64,AA==">'):
            self.assertEqual(browser.network_links(html), [], html)


if __name__ == "__main__":
    browser.skip_or_fail_without_browser()
    WRITER = sys.argv.pop(1)
    unittest.main(verbosity=2)
