"""Headless Chromium for the page tests: Debian's chromium and chromedriver
through Debian's python3-selenium, a fresh profile each time, the page opened
as a file:// URL (no server), the console's errors collected.

Without Chromium the tests skip with a message, except under CI (CI set),
where a missing browser is a failure: the pages must be tested there.
"""

import os
import re
import shutil
import sys
import tempfile
import time
import unittest

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
WIDTH, HEIGHT = 1280, 800


def missing():
    """Why the browser cannot run here, or None."""
    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.access(path, os.X_OK):
            return f"{path} is missing (scripts/bootstrap test installs it)"
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "python3-selenium is missing (scripts/bootstrap test installs it)"
    return None


def skip_or_fail_without_browser():
    """Exits with a clear SKIPPED message when the browser is missing outside
    CI; under CI, a missing browser fails the test."""
    reason = missing()
    if reason is None:
        return
    if os.environ.get("CI"):
        print(f"FAILED: {reason}, and CI must test the pages", file=sys.stderr)
        sys.exit(1)
    print(f"SKIPPED: {reason}")
    sys.exit(0)


# An address on the network in a src or href: a scheme with a host, or a
# protocol-relative //host. A page names none.
NETWORK_LINK = re.compile(
    r"""\b(?:src|href)\s*=\s*["']?\s*(?:[a-z][a-z0-9+.-]*:)?//""", re.IGNORECASE)


def network_links(html):
    return NETWORK_LINK.findall(html)


class Browser:
    """One headless Chromium with an empty profile; use as a context manager."""

    def __init__(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        self.profile = tempfile.mkdtemp(prefix="tarnwick-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                         "--disable-dev-shm-usage", "--disable-background-networking",
                         "--disable-component-update", "--disable-sync", "--no-first-run",
                         "--disable-extensions", "--disable-default-apps",
                         f"--user-data-dir={self.profile}",
                         f"--window-size={WIDTH},{HEIGHT}"):
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        # chromedriver listens on the loopback only; quit() stops it by its
        # process id.
        service = Service(CHROMEDRIVER)
        try:
            self.driver = webdriver.Chrome(service=service, options=options)
        except Exception:
            shutil.rmtree(self.profile, ignore_errors=True)
            raise
        self.driver.set_page_load_timeout(60)
        self.driver.set_script_timeout(30)
        # The window's size includes its frame: fix the viewport itself, so
        # pages are laid out, and pictured, at exactly WIDTH x HEIGHT.
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": WIDTH, "height": HEIGHT, "deviceScaleFactor": 1, "mobile": False})

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)

    def load(self, path):
        """Opens the file; returns the seconds until the page and its scripts
        were done (the load event), as the browser measured them."""
        started = time.monotonic()
        self.driver.get("file://" + os.path.abspath(path))
        self.driver.execute_script("return document.readyState")
        elapsed = time.monotonic() - started
        timing = self.driver.execute_script(
            "const t = performance.getEntriesByType('navigation')[0];"
            "return t ? t.loadEventEnd - t.startTime : null;")
        return timing / 1000.0 if timing else elapsed

    def console_errors(self):
        """The console's errors since the last call (a page's uncaught error,
        a refused load, a failed script)."""
        return [entry["message"] for entry in self.driver.get_log("browser")
                if entry["level"] == "SEVERE"]

    def run(self, script, *args):
        return self.driver.execute_script(script, *args)

    def visible_text(self, selector):
        """The text of each element matching the CSS selector that is shown
        (laid out, not hidden)."""
        from selenium.webdriver.common.by import By
        return [node.text for node in self.driver.find_elements(By.CSS_SELECTOR, selector)
                if node.is_displayed()]

    def loaded_links(self):
        """Every src and href in the live document that is not inside the
        page (a data: URL or a #fragment), and every resource the browser
        fetched."""
        return self.run("""
          const links = [];
          for (const node of document.querySelectorAll('[src], [href]')) {
            for (const name of ['src', 'href']) {
              const value = node.getAttribute(name);
              if (value !== null && !/^(#|data:|blob:|javascript:void)/.test(value.trim()))
                links.push(name + '=' + value);
            }
          }
          for (const entry of performance.getEntriesByType('resource')) links.push(entry.name);
          return links;""")

    def screenshot(self, path):
        """A picture of the viewport as shown (1280x800 unless resized)."""
        self.driver.save_screenshot(path)

    def set_viewport(self, width, height, mobile=False):
        """Lays the page out at width x height CSS pixels; `mobile` as
        Chromium's device emulation does it (a phone's viewport meta tag
        honoured, touch); reload the page afterwards."""
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})
        self.driver.execute_cdp_cmd("Emulation.setTouchEmulationEnabled", {"enabled": mobile})

    def overflow(self):
        """How far the page is wider than its viewport, in CSS pixels (0: it
        never scrolls sideways)."""
        return self.run("return document.documentElement.scrollWidth - window.innerWidth")

    def print_pages(self, folder, dpi=50):
        """The page printed as the browser prints it (a PDF), rendered with
        pdftoppm: one (width, height, rows of RGB bytes) per sheet."""
        import base64
        import glob
        import subprocess
        from selenium.webdriver.common.print_page_options import PrintOptions
        options = PrintOptions()
        options.background = True
        pdf = os.path.join(folder, "printed.pdf")
        with open(pdf, "wb") as out:
            out.write(base64.b64decode(self.driver.print_page(options)))
        for old in glob.glob(os.path.join(folder, "sheet-*.ppm")):
            os.remove(old)
        subprocess.run(["pdftoppm", "-r", str(dpi), pdf, os.path.join(folder, "sheet")],
                       check=True, timeout=120)
        return [read_ppm(path) for path in sorted(glob.glob(os.path.join(folder, "sheet-*.ppm")))]


def read_ppm(path):
    """A binary PPM (P6, 8 bits) as (width, height, list of rows of bytes)."""
    with open(path, "rb") as ppm:
        data = ppm.read()
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at) + 1
            continue
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    assert fields[0] == b"P6" and fields[3] == b"255", fields
    width, height = int(fields[1]), int(fields[2])
    pixels = data[at + 1:]
    return width, height, [pixels[row * width * 3:(row + 1) * width * 3] for row in range(height)]


def coloured_bands(sheets, colour, tolerance=40, min_rows=4, gap=6):
    """Where `colour` (r, g, b) is drawn on the printed sheets: one entry per
    vertical band of rows holding it (bands closer than `gap` rows merge,
    bands under `min_rows` rows are dropped), as (sheet, top, bottom, right
    end in pixels). One chart drawn in the colour is one band."""
    r0, g0, b0 = colour
    bands = []
    for number, (width, height, rows) in enumerate(sheets):
        current = None
        for y, row in enumerate(rows):
            right = -1
            for x in range(0, width * 3, 3):
                if (abs(row[x] - r0) <= tolerance and abs(row[x + 1] - g0) <= tolerance
                        and abs(row[x + 2] - b0) <= tolerance):
                    right = x // 3
            if right < 0:
                continue
            if current and y - current[2] <= gap:
                current[2] = y
                current[3] = max(current[3], right)
            else:
                current = [number, y, y, right]
                bands.append(current)
    return [tuple(band) for band in bands if band[2] - band[1] + 1 >= min_rows]


class PageTestCase(unittest.TestCase):
    """One browser for all the cases of a class."""

    @classmethod
    def setUpClass(cls):
        cls.browser = Browser()

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()

    def open_page(self, path):
        """Loads the page, checks that nothing on it names a network address,
        returns the load time; the console's errors are left for the case."""
        with open(path, encoding="utf-8") as html:
            self.assertEqual(network_links(html.read()), [])
        self.browser.console_errors()  # drop anything from a previous page
        seconds = self.browser.load(path)
        self.assertEqual(self.browser.loaded_links(), [])
        return seconds

    def assertNoConsoleError(self):
        self.assertEqual(self.browser.console_errors(), [])
