"""printable() and csv_cell() end to end: hosts planted to look like others
("\\u202e10edon" reads as "node01"), to reach an 8-bit terminal's controls
(U+201B is E2 80 9B in UTF-8, and 0x9B is CSI), or to run as a formula in a
spreadsheet, through the real program's terminal text, CSV files, page and
messages naming files.

Usage: test_escaping.py TARNWICK"""
import csv
import io
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fleet"))
import fleet_documents  # noqa: E402

TARNWICK = None
SPOOF = "\u202e10edon"  # shown by a bidi-aware terminal or browser as "node01"
INVISIBLE = ["\u202a", "\u202b", "\u202c", "\u202d", "\u202e", "\u2066", "\u2067", "\u2068",
             "\u2069", "\u200e", "\u200f", "\u061c", "\u200b", "\u200c", "\u200d", "\u2060",
             "\ufeff", "\u2028", "\u2029"]


def run(args, locale="C.UTF-8"):
    env = dict(os.environ, LC_ALL=locale, LANG=locale)
    return subprocess.run([TARNWICK] + args, capture_output=True, env=env, timeout=120,
                          stdin=subprocess.DEVNULL)


def plant(folder, hosts):
    """One document per host, four ordinary ones beside them; the first
    planted host is 50 % slow."""
    names = ["node%02d" % index for index in range(2, 6)] + hosts
    for index, host in enumerate(names):
        rate = 50000.0 if host == hosts[0] else 100000.0 * (1 + index * 0.001)
        doc = fleet_documents.document(host, "2026-12-01T02:00:00Z", rate, samples=3,
                                       rng=random.Random(index))
        fleet_documents.write(os.path.join(folder, "doc%02d.json" % index), doc)


def page_data(html):
    found = re.search(r'<script type="application/json" id="data">(.*?)</script>', html, re.S)
    return json.loads(found.group(1))


class Invisible(unittest.TestCase):
    def test_a_spoofed_host_is_shown_visibly_everywhere(self):
        with tempfile.TemporaryDirectory() as folder:
            plant(folder, [SPOOF] + ["h%d%sx" % (i, c) for i, c in enumerate(INVISIBLE)])
            out = os.path.join(folder, "out")
            os.mkdir(out)
            csv_path, page_path = os.path.join(out, "r.csv"), os.path.join(out, "r.html")
            result = run(["report", "--csv", csv_path, "--html", page_path, folder])
            self.assertEqual(result.returncode, 0, result.stderr)
            terminal = result.stdout.decode("utf-8")
            with open(csv_path, encoding="utf-8") as handle:
                table = handle.read()
            with open(page_path, encoding="utf-8") as handle:
                page = handle.read()
            data = json.dumps(page_data(page), ensure_ascii=False)
            for name, text in (("terminal", terminal), ("csv", table), ("page", data)):
                with self.subTest(output=name):
                    self.assertIn("<U+202E>10edon", text)
                    for index, character in enumerate(INVISIBLE):
                        self.assertNotIn(character, text)
                        self.assertIn("h%d<U+%04X>x" % (index, ord(character)), text)
            # The spoof is the slow host, and it is named as what it is.
            self.assertRegex(terminal, r"(?m)^.*<U\+202E>10edon.*slow")
            self.assertNotIn("\u202e", page)

    def test_a_file_name_is_shown_visibly(self):
        with tempfile.TemporaryDirectory() as folder:
            plant(folder, ["node01"])
            with open(os.path.join(folder, "\u202enosj.json"), "w") as handle:
                handle.write("{ not a document")
            result = run(["report", folder])
            errors = (result.stdout + result.stderr).decode("utf-8")
            self.assertIn("<U+202E>nosj.json", errors)
            self.assertNotIn("\u202e", errors)


class Locale(unittest.TestCase):
    def test_outside_utf8_every_other_character_is_escaped(self):
        with tempfile.TemporaryDirectory() as folder:
            plant(folder, ["n\u201bode", "h\u00f4te"])
            out = os.path.join(folder, "out")
            os.mkdir(out)
            csv_path = os.path.join(out, "r.csv")
            plain = run(["report", "--csv", csv_path, folder], locale="C")
            self.assertEqual(plain.returncode, 0, plain.stderr)
            with open(csv_path, "rb") as handle:
                table = handle.read()
            for name, text in (("terminal", plain.stdout + plain.stderr), ("csv", table)):
                with self.subTest(output=name):
                    # The program's own text may hold UTF-8 (a "±"); the
                    # documents' never reaches the terminal as it was.
                    self.assertNotIn(b"\x9b", text)
                    self.assertNotIn("\u201b".encode(), text)
                    self.assertNotIn("\u00f4".encode(), text)
                    self.assertIn(b"n<U+201B>ode", text)
                    self.assertIn(b"h<U+00F4>te", text)
            # Under UTF-8 the same characters are shown as they are.
            utf8 = run(["report", folder], locale="C.UTF-8")
            self.assertIn("n\u201bode", utf8.stdout.decode("utf-8"))
            self.assertIn("h\u00f4te", utf8.stdout.decode("utf-8"))


class Formulas(unittest.TestCase):
    def test_cells_a_spreadsheet_would_evaluate_are_neutralised(self):
        planted = ["=1+1", "@SUM(1+1)", "+cmd", "-2+3", "=HYPERLINK(\"http://x\",\"y\")"]
        with tempfile.TemporaryDirectory() as folder:
            plant(folder, planted)
            # A CPU model and a library version planted too.
            path = os.path.join(folder, "doc99.json")
            doc = fleet_documents.document("node99", "2026-12-01T02:00:00Z", 100000.0,
                                           model="=cmd|' /C calc'!A0", samples=3,
                                           rng=random.Random(99))
            fleet_documents.write(path, doc)
            csv_path = os.path.join(folder, "r.csv")
            result = run(["report", "--csv", csv_path, folder])
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(csv_path, newline="", encoding="utf-8") as handle:
                rows = list(csv.DictReader(handle))
            cells = [cell for row in rows for cell in row.values()]
            for cell in cells:
                if cell and cell[0] in "=+@\t\r":
                    self.fail("a cell a spreadsheet evaluates: %r" % cell)
                if cell.startswith("-"):
                    float(cell)  # a number: left as it is
            hosts = {row["host"] for row in rows}
            for host in planted:
                self.assertIn("'" + host, hosts)
            self.assertIn("'=cmd|' /C calc'!A0", {row["cpu_model"] for row in rows})
            # Negative figures stay numbers.
            self.assertTrue(any(cell.startswith("-") for cell in cells), rows[:3])


if __name__ == "__main__":
    TARNWICK = sys.argv.pop(1)
    unittest.main()
