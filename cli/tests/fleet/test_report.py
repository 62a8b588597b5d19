"""tarnwick report end to end, on a planted fleet: 40 hosts of two CPU models
(on two architectures), two nights each; on the latest night one host is
15 % slow and another ran unstable. The report must find exactly those, keep
each host's latest run, and list the documents it could not use.

Usage: test_report.py TARNWICK"""
import csv
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import fleet_documents  # noqa: E402
import validate_json  # noqa: E402

TARNWICK = None
SLOW, UNSTABLE = "node07", "node31"


def plant(folder):
    rng = random.Random(12)
    for index in range(40):
        host = "node%02d" % index
        model, arch = ("Model A", "x86_64") if index < 20 else ("Model B \"v2\"", "aarch64")
        base = 95000.0 if index < 20 else 61000.0
        for night, day in enumerate(("2026-12-01T02:00:00Z", "2026-12-02T02:00:00Z")):
            rate = base * (1 + rng.gauss(0, 0.008))
            latest = night == 1
            if latest and host == SLOW:
                rate = base * 0.85
            doc = fleet_documents.document(
                host, day, rate, model=model, arch=arch, rng=rng,
                cv=14.0 if latest and host == UNSTABLE else 0.8,
                unstable=latest and host == UNSTABLE, samples=5)
            os.makedirs(os.path.join(folder, day[:10]), exist_ok=True)
            fleet_documents.write(os.path.join(folder, day[:10], host + ".json"), doc)


class Report(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarnwick-report-")
        self.fleet = os.path.join(self.dir, "fleet")
        plant(self.fleet)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def report(self, *args, status=0):
        done = subprocess.run([TARNWICK, "report", *args], capture_output=True, text=True,
                              timeout=60)
        self.assertEqual(done.returncode, status, done.stderr)
        return done

    def judged(self, *args):
        result = json.loads(self.report("--json", *args).stdout)
        self.assertEqual(validate_json.check(result, "report"), [])
        outliers = [(o["host"], o["flag"]) for o in result["outliers"]]
        unstable = sorted(h["host"] for h in result["hosts"] if h["unstable"])
        return result, outliers, unstable

    def test_finds_exactly_the_planted_hosts(self):
        result, outliers, unstable = self.judged(self.fleet)
        self.assertEqual(outliers, [(SLOW, "slow")])
        self.assertEqual(unstable, [UNSTABLE])
        self.assertEqual(len(result["hosts"]), 40)
        self.assertEqual(result["documents"], 80)
        # One group per CPU model and architecture, every host on its latest night.
        self.assertEqual(sorted((g["cpu_model"], g["arch"], g["hosts"]) for g in result["groups"]),
                         [("Model A", "x86_64", 20), ("Model B \"v2\"", "aarch64", 20)])
        for group in result["groups"]:
            self.assertIsNone(group["no_flags_reason"])
            for member in group["members"]:
                self.assertEqual((member["runs"], member["latest"][:10]), (1, "2026-12-02"))
        slow = next(m for g in result["groups"] for m in g["members"] if m["host"] == SLOW)
        self.assertAlmostEqual(slow["deviation_percent"], -15.0, delta=1.5)
        self.assertLess(slow["robust_z"], -3.5)

        text = self.report(self.fleet).stdout
        outliers_section = text.split("Outliers")[1].split("\n\n")[0]
        self.assertIn(SLOW, outliers_section)
        self.assertIn("slow", outliers_section)
        self.assertIn(UNSTABLE, text.split("unstable runs")[1].split("\n\n")[0])

    def test_all_runs_and_since_choose_the_runs(self):
        result, _, _ = self.judged("--all-runs", self.fleet)
        self.assertTrue(all(m["runs"] == 2 for g in result["groups"] for m in g["members"]))
        result, _, _ = self.judged("--all-runs", "--since", "2026-12-01T12:00", self.fleet)
        self.assertTrue(all(m["runs"] == 1 for g in result["groups"] for m in g["members"]))
        self.report("--since", "last week", self.fleet, status=64)

    def test_overlapping_paths_count_once_and_since_names_the_hosts_it_leaves_out(self):
        latest = os.path.join(self.fleet, "2026-12-02")
        result, outliers, _ = self.judged(self.fleet, latest, latest + "/")
        self.assertEqual((result["documents"], result["repeated_runs"]), (80, 80))
        self.assertEqual(outliers, [(SLOW, "slow")])
        self.assertTrue(all(m["runs"] == 1 for g in result["groups"] for m in g["members"]))
        self.assertIn("40 runs read more than once", self.report(self.fleet, latest).stdout)
        # node03 and node04 stopped reporting after the first night.
        for host in ("node03", "node04"):
            os.remove(os.path.join(latest, host + ".json"))
        result, _, _ = self.judged("--since", "2026-12-01T12:00", self.fleet)
        self.assertEqual(result["hosts_before_since"], ["node03", "node04"])
        self.assertEqual(len(result["hosts"]), 38)
        text = self.report("--since", "2026-12-01T12:00", self.fleet).stdout
        self.assertIn("2 hosts left out by --since 2026-12-01T12:00:00Z (every run older): "
                      "node03, node04", text)

    def test_plot_of_two_thousand_hosts_stays_readable(self):
        """The planted fleet of many machine types: every planted host is
        flagged and named with its label, no other host is named, the picture
        stays under 4,000 px and each band's dots are sized by workers."""
        big = os.path.join(self.dir, "big")
        planted = fleet_documents.plant_fleet(big, 2000)
        picture = os.path.join(self.dir, "big.svg")
        result = json.loads(self.report("--json", "--plot", picture, big).stdout)
        flagged = {o["host"]: o["flag"] for o in result["outliers"]}
        self.assertEqual({h: flagged.get(h) for h in planted}, planted)
        # Chance outliers of a 2,000-host fleet sit just past the threshold.
        for outlier in result["outliers"]:
            if outlier["host"] not in planted:
                self.assertLess(abs(outlier["deviation_percent"]), 5.0, outlier)
        svg = ElementTree.parse(picture).getroot()
        self.assertLessEqual(float(svg.get("height")), 4000)
        texts = [t.text or "" for t in svg.iter("{http://www.w3.org/2000/svg}text")]
        named = {t.split(" ")[0] for t in texts if t.startswith("node")}
        self.assertEqual(named, set(flagged))
        labels = {m["host"]: g["label"] for g in result["groups"] for m in g["members"]}
        for host, flag in flagged.items():
            line = next(t for t in texts if t.startswith(host + " "))
            self.assertIn(" %s z " % flag, line)
            self.assertIn(labels[host], line)
        radii = {float(c.get("r")) for c in svg.iter("{http://www.w3.org/2000/svg}circle")}
        self.assertGreaterEqual(len(radii), 6)  # 1, 2, 4, 8, 64 and 192 workers
        self.assertIn("workers:", texts)
        if shutil.which("rsvg-convert"):
            png = os.path.join(self.dir, "big.png")
            subprocess.run(["rsvg-convert", "-o", png, picture], check=True, timeout=60)
            self.assertGreater(os.path.getsize(png), 10000)

    def test_bad_documents_are_listed_and_left_out(self):
        bad = os.path.join(self.fleet, "bad")
        os.makedirs(bad)
        with open(os.path.join(self.fleet, "2026-12-02", "node05.json")) as good:
            text = good.read()
        samples = {"notjson.json": "hello\n", "truncated.json": text[: len(text) // 2],
                   "future.json": text.replace('"schema_version": 1', '"schema_version": 7')}
        for name, contents in samples.items():
            with open(os.path.join(bad, name), "w") as out:
                out.write(contents)
        failed = fleet_documents.document("node99", "2026-12-02T02:00:00Z", 1.0, status=2,
                                          reason="the machine ran out of memory")
        fleet_documents.write(os.path.join(bad, "failed.json"), failed)
        # A 0.0.2 document: no schema_version and no host name.
        old = {"program": "tarnwick", "status": "completed",
               "library": {"version": "0.0.2", "abi_version": 1},
               "host": {"cpu_model": "Model A", "cpus_available": 2},
               "runs": [{"label": "all-cpus", "status": 0, "threads": 2, "mean_rate": 95000.0,
                         "cv_percent": 1.0, "unstable": False, "measured_seconds": 60.0,
                         "operations": 5700000, "checksum": 1}]}
        fleet_documents.write(os.path.join(self.dir, "legacy-host.json"), old)

        paths = [self.fleet, os.path.join(self.dir, "legacy-host.json"), "/nonexistent/x"]
        result, outliers, _ = self.judged(*paths)
        self.assertEqual(outliers, [(SLOW, "slow")])
        reasons = {os.path.basename(p["path"]): p["reason"] for p in result["left_out"]}
        expected = {
            "notjson.json": "not JSON at line 1, column 1",
            "truncated.json": "truncated",
            "future.json": "unknown schema_version 7",
            "failed.json": "the all-cpus run failed: the machine ran out of memory",
            "x": "no such file or directory"}
        self.assertEqual(sorted(reasons), sorted(expected))
        for name, start in expected.items():
            self.assertTrue(reasons[name].startswith(start), reasons[name])
        legacy = next(h for h in result["hosts"] if h["host"] == "legacy-host")
        self.assertTrue(legacy["host_from_file"])
        text = self.report(*paths).stdout
        self.assertIn("legacy-host *", text)
        self.assertIn("truncated.json: truncated", text)
        strict = self.report("--strict", *paths, status=2)
        self.assertIn("left out", strict.stderr)
        self.report(os.path.join(bad, "notjson.json"), status=2)

    def test_csv_and_plot_files(self):
        table, picture = os.path.join(self.dir, "fleet.csv"), os.path.join(self.dir, "fleet.svg")
        self.report("--csv", table, "--plot", picture, self.fleet)
        with open(table, newline="") as rows:
            records = list(csv.DictReader(rows))
        self.assertEqual(len(records), 40)
        self.assertEqual([r["host"] for r in records if r["flag"]], [SLOW])
        self.assertIn('Model B "v2"', {r["cpu_model"] for r in records})
        svg = ElementTree.parse(picture).getroot()
        texts = [t.text or "" for t in svg.iter("{http://www.w3.org/2000/svg}text")]
        self.assertTrue(any(t.startswith(SLOW + " slow z") and "all-cpus" in t for t in texts))
        if shutil.which("rsvg-convert"):
            png = os.path.join(self.dir, "fleet.png")
            subprocess.run(["rsvg-convert", "-o", png, picture], check=True, timeout=60)
            self.assertGreater(os.path.getsize(png), 1000)
        # A report that finds nothing, or whose outputs clash, leaves the
        # files as they were.
        with open(table, "rb") as before:
            kept = before.read()
        self.report("--since", "2030-01-01", "--csv", table, self.fleet, status=2)
        self.report("--csv", table, "--plot", table, self.fleet, status=64)
        self.report("--json", "--csv", "-", self.fleet, status=64)
        with open(table, "rb") as after:
            self.assertEqual(after.read(), kept)
        # A host name is data: control characters reach neither the terminal nor the XML.
        fleet_documents.write(os.path.join(self.fleet, "2026-12-02", "evil.json"),
                              fleet_documents.document("ev\x1b[2Jil", "2026-12-02T02:00:00Z",
                                                       95000.0, model="Model A", arch="x86_64"))
        text = self.report("--plot", picture, self.fleet).stdout
        self.assertNotIn("\x1b", text)
        self.assertIn("ev\\x1B[2Jil", text)
        ElementTree.parse(picture)


    @unittest.skipUnless(os.geteuid() == 0, "needs root: setpriv to a user who cannot read")
    def test_an_unreadable_subfolder_is_said_and_fails_under_strict(self):
        # Root reads every folder: the report runs as nobody.
        hidden = os.path.join(self.fleet, "2026-12-01")
        os.chmod(self.dir, 0o755)
        for root, folders, files in os.walk(self.fleet):
            os.chmod(root, 0o755)
            for name in files:
                os.chmod(os.path.join(root, name), 0o644)
        os.chmod(hidden, 0o000)
        nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]

        def report(*args):
            return subprocess.run(nobody + [TARNWICK, "report", *args], capture_output=True,
                                  text=True, timeout=60)
        try:
            loose = report("--json", self.fleet)
            strict = report("--strict", self.fleet)
        finally:
            os.chmod(hidden, 0o755)
        self.assertEqual(loose.returncode, 0, loose.stderr)
        left_out = {p["path"]: p["reason"] for p in json.loads(loose.stdout)["left_out"]}
        self.assertIn(hidden, left_out)
        self.assertIn("cannot list the folder", left_out[hidden])
        self.assertEqual(strict.returncode, 2, strict.stderr)
        self.assertIn("left out (--strict)", strict.stderr)
        self.assertIn("2026-12-01", strict.stdout + strict.stderr)


if __name__ == "__main__":
    TARNWICK = sys.argv.pop(1)
    unittest.main(verbosity=2)
