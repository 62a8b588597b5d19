"""End-to-end tests of `tarnwick compare` on planted result documents.

Usage: test_compare.py PATH_TO_TARNWICK DOCS_DIRECTORY [TestCaseName ...]
The documents are written here with known rates, so each verdict is known
before the program gives it; they are checked against the result document's
schema, and every --json output against compare's, with python3-jsonschema.
"""

import json
import math
import os
import random
import subprocess
import sys
import tempfile
import unittest

import jsonschema

BINARY = ""
SCHEMA = None
RESULT_SCHEMA = None
RUN_ID = 0


def planted_run(label, mean, seconds, rng, spread=0.03, threads=1, status=0, rates=None,
                cv=1.0, unstable=False):
    """A run whose per-second rates scatter around `mean` by `spread`, or are `rates`."""
    global RUN_ID
    RUN_ID += 1
    if rates is None:
        rates = [mean * (1 + rng.uniform(-spread, spread)) for _ in range(seconds)]
    seconds = len(rates)
    completed = status == 0
    return {
        "id": f"{RUN_ID:032x}", "label": label, "repetition": 1,
        "started": "2026-12-07T23:50:01.123Z", "ended": "2026-12-07T23:50:11.123Z",
        "status": status, "status_name": ["completed", "cancelled", "failed"][status],
        "reason": "" if completed else "stopped", "abi_version": 1,
        "benchmark": 1 if label == "single" else 2, "threads": threads,
        "mean_rate": sum(rates) / len(rates) if completed else None,
        "warmup_seconds": 1, "measure_seconds": seconds,
        "measured_seconds": float(seconds), "cv_percent": cv, "has_cv": True,
        "unstable": unstable, "operations": sum(int(rate) for rate in rates), "checksum": 12345,
        "checksum_hex": "0000000000003039", "sample_count": seconds,
        "samples": [{"time": i + 1.0, "duration": 1.0, "operations": int(rate),
                     "rate": rate} for i, rate in enumerate(rates)],
        "noise": None,
    }


def planted_document(runs, host="node01", library="0.0.2", arch="x86_64",
                     cpu="Test CPU"):
    """A schema 1 document; each run's repetition follows its label's order."""
    seen = {}
    for run in runs:
        seen[run["label"]] = seen.get(run["label"], 0) + 1
        run["repetition"] = seen[run["label"]]
    return {
        "schema_version": 1, "program": "tarnwick", "status": "completed",
        "library": {"version": library, "abi_version": 1},
        "environment": {
            "timestamp": "2026-12-07T23:50:01Z", "hostname": host, "os": "6.1.0",
            "command_line": ["tarnwick"],
            "program": {"version": library, "compiler": "GCC 12.2.0", "build_flags": "-O2"},
            "cpu": {"arch": arch, "model": cpu, "logical_cpus": 2, "physical_cores": 1,
                    "threads_per_core": 2, "nominal_mhz": None, "l2_cache_bytes": None,
                    "l3_cache_bytes": None, "hypervisor": None},
            "cgroup_cpu_quota": None},
        "host": {"cpu_model": cpu, "cpus_available": 2, "cpus_source": "affinity",
                 "governor": None, "load_average_1m": 0.1},
        "runs": runs, "repetitions": [], "scaling": None, "scalings": [], "warnings": [],
    }


def series(label, mean, runs, seed, seconds=10, run_spread=0.02, **kwargs):
    """`runs` runs whose means scatter around `mean` by `run_spread`."""
    rng = random.Random(seed)
    return [planted_run(label, mean * (1 + rng.uniform(-run_spread, run_spread)), seconds,
                        rng, **kwargs) for _ in range(runs)]


class CompareCase(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.directory.cleanup()

    def write(self, name, document):
        if isinstance(document, dict) and document.get("schema_version") == 1:
            jsonschema.validate(document, RESULT_SCHEMA)
        path = os.path.join(self.directory.name, name)
        with open(path, "w") as file:
            file.write(document if isinstance(document, str) else json.dumps(document))
        return path

    def compare(self, *args, stdin=None):
        return subprocess.run([BINARY, "compare", *args], capture_output=True, text=True,
                              input=stdin, timeout=30)

    def compare_json(self, base, new, *args, status=0):
        """Runs compare --json, checks the status and the schema, returns the document."""
        result = self.compare(base, new, "--json", *args)
        self.assertEqual(result.returncode, status, result.stderr)
        document = json.loads(result.stdout)
        jsonschema.validate(document, SCHEMA)
        return document, result.stderr



class Verdicts(CompareCase):
    def test_identical_data_shows_no_significant_difference(self):
        document = planted_document(series("single", 50000, 5, seed=1) +
                                    series("all-cpus", 90000, 5, seed=2, threads=2))
        base = self.write("base.json", document)
        new = self.write("new.json", document)
        report, _ = self.compare_json(base, new, "--fail-slower", "5")
        self.assertEqual([label["label"] for label in report["labels"]], ["single", "all-cpus"])
        for label in report["labels"]:
            self.assertEqual(label["verdict"], "no significant difference")
            self.assertAlmostEqual(label["ratio"], 1, places=12)
            self.assertAlmostEqual(label["p_value"], 1, places=12)
            self.assertEqual(label["observations"], "runs")
            self.assertEqual(label["test"], "Welch's t-test on log rates")
        self.assertFalse(report["gate"]["tripped"])
        self.assertEqual(report["warnings"], [])

    def test_twenty_percent_slower_trips_the_gate(self):
        base = self.write("base.json", planted_document(series("single", 50000, 5, seed=3)))
        new = self.write("new.json", planted_document(series("single", 40000, 5, seed=4)))
        report, stderr = self.compare_json(base, new, "--fail-slower", "5", status=1)
        (label,) = report["labels"]
        self.assertEqual(label["verdict"], "slower")
        self.assertEqual((label["base"]["observations"], label["new"]["observations"]), (5, 5))
        self.assertLess(label["ratio_low"], label["ratio"])
        self.assertLess(label["ratio"], label["ratio_high"])
        self.assertLess(label["ratio_high"], 0.95)
        self.assertAlmostEqual(label["ratio"], 0.8, delta=0.03)
        self.assertLess(label["p_value"], 0.001)
        self.assertEqual(report["gate"]["labels"], ["single"])
        self.assertIn("tarnwick: gate: single slower by more than 5 %", stderr)
        # A looser gate passes; without --json the text says the same.
        self.assertEqual(self.compare(base, new, "--fail-slower", "30").returncode, 0)
        text = self.compare(base, new)
        self.assertEqual(text.returncode, 0)
        self.assertIn("SLOWER by 2", text.stdout)
        self.assertLessEqual(max(map(len, text.stdout.splitlines())), 80, text.stdout)
        # Swapped, NEW is faster.
        report, _ = self.compare_json(new, base)
        self.assertEqual(report["labels"][0]["verdict"], "faster")

    def test_too_few_runs_on_both_sides_is_not_judged_and_exits_3(self):
        # 20 % apart, each run's seconds tight: once enough for a verdict.
        for base_runs, new_runs in ((1, 1), (2, 1), (2, 2)):
            with self.subTest(runs=(base_runs, new_runs)):
                base = self.write("base.json", planted_document(
                    series("single", 50000, base_runs, seed=5)))
                new = self.write("new.json", planted_document(
                    series("single", 40000, new_runs, seed=6)))
                report, stderr = self.compare_json(base, new, "--fail-slower", "5", status=3)
                (label,) = report["labels"]
                self.assertEqual(label["verdict"], "not judged")
                self.assertAlmostEqual(label["ratio"], 0.8, delta=0.03)
                for key in ("test", "ratio_low", "ratio_high", "p_value", "t",
                            "degrees_of_freedom"):
                    self.assertIsNone(label[key], key)
                self.assertFalse(report["gate"]["tripped"])
                self.assertEqual([w["kind"] for w in report["warnings"]], ["not_judged"])
                self.assertIn(f"not judged: {base_runs} and {new_runs} run", stderr)
                text = self.compare(base, new)
                self.assertEqual(text.returncode, 3, text.stderr)
                self.assertIn("repeat with --repeat 3", text.stdout)
                self.assertNotIn("SLOWER", text.stdout)

    def test_a_judged_label_beside_an_unjudged_one(self):
        # The gate trips on the judged label: 1 wins over 3; without a trip, 3.
        base = self.write("base.json", planted_document(
            series("single", 50000, 3, seed=30) + series("all-cpus", 90000, 1, seed=31,
                                                         threads=2)))
        new = self.write("new.json", planted_document(
            series("single", 40000, 3, seed=32) + series("all-cpus", 90000, 1, seed=33,
                                                         threads=2)))
        report, _ = self.compare_json(base, new, "--fail-slower", "5", status=1)
        self.assertEqual([label["verdict"] for label in report["labels"]],
                         ["slower", "not judged"])
        self.assertEqual(report["gate"]["labels"], ["single"])
        self.compare_json(base, new, "--fail-slower", "50", status=3)

    def test_one_run_against_many_uses_their_spread(self):
        # BASE's log rates are 0, +-0.02, +-0.04 (5 runs): mean 0, s^2 =
        # 0.004 / 4 = 0.001. NEW is one run at log -0.05: standard error
        # sqrt(0.001 x (1/5 + 1)) = 0.034641, t = -1.443376 on 4 df;
        # t(0.975, 4) = 2.776445 (tables): -0.05 +- 0.096179.
        logs = [0, 0.02, -0.02, 0.04, -0.04]
        rng = random.Random(40)
        base_runs = [planted_run("single", 0, 0, rng, rates=[50000 * math.exp(x)] * 4)
                     for x in logs]
        new_runs = [planted_run("single", 0, 0, rng, rates=[50000 * math.exp(-0.05)] * 4)]
        base = self.write("base.json", planted_document(base_runs))
        new = self.write("new.json", planted_document(new_runs))
        report, _ = self.compare_json(base, new, "--fail-slower", "1")
        (label,) = report["labels"]
        self.assertEqual(label["test"], "prediction interval on log rates")
        self.assertEqual((label["base"]["observations"], label["new"]["observations"]), (5, 1))
        self.assertAlmostEqual(label["ratio"], math.exp(-0.05), places=9)
        self.assertAlmostEqual(label["ratio_low"], math.exp(-0.05 - 0.096179), places=5)
        self.assertAlmostEqual(label["ratio_high"], math.exp(-0.05 + 0.096179), places=5)
        self.assertAlmostEqual(label["t"], -1.443376, places=5)
        self.assertEqual(label["degrees_of_freedom"], 4)
        self.assertEqual(label["verdict"], "no significant difference")
        # The other way round: the same interval, inverted.
        report, _ = self.compare_json(new, base)
        (swapped,) = report["labels"]
        self.assertAlmostEqual(swapped["ratio_high"], 1 / label["ratio_low"], places=9)
        text = self.compare(base, new).stdout
        self.assertIn("prediction interval on log rates, p = 0.222, 4.0 df", text)
        self.assertIn("5 + 1 runs' mean rates", text)
        # Many runs without any spread: the difference is exact, and judged.
        flat = self.write("flat.json", planted_document(
            [planted_run("single", 0, 0, rng, rates=[50000.0] * 4) for _ in range(3)]))
        report, _ = self.compare_json(flat, new, "--fail-slower", "3", status=1)
        (label,) = report["labels"]
        self.assertEqual((label["verdict"], label["p_value"], label["t"]), ("slower", 0, None))
        self.assertEqual(label["ratio_low"], label["ratio_high"])
        report, _ = self.compare_json(flat, flat)
        self.assertEqual((report["labels"][0]["verdict"], report["labels"][0]["p_value"]),
                         ("no significant difference", 1))

    def test_baseline_of_stored_runs_judges_one_new_run(self):
        history = os.path.join(self.directory.name, "history.db")
        stored = self.write("stored.json", planted_document(series("single", 50000, 10, seed=41)))
        imported = subprocess.run([BINARY, "history", "--history", history, "--import", stored],
                                  capture_output=True, text=True, timeout=30)
        self.assertEqual(imported.returncode, 0, imported.stderr)
        slower = self.write("new.json", planted_document(series("single", 42000, 1, seed=42)))
        result = self.compare("--baseline", slower, "--history", history, "--json",
                              "--fail-slower", "5")
        self.assertEqual(result.returncode, 1, result.stderr)
        report = json.loads(result.stdout)
        jsonschema.validate(report, SCHEMA)
        (label,) = report["labels"]
        self.assertEqual((label["test"], label["verdict"]),
                         ("prediction interval on log rates", "slower"))
        self.assertEqual((label["base"]["runs"], label["new"]["runs"]), (10, 1))

    def test_unstable_runs_are_shown_and_warned_about(self):
        rng = random.Random(43)
        base = self.write("base.json", planted_document(
            [planted_run("single", 50000, 5, rng, cv=cv, unstable=cv > 10)
             for cv in (31.0, 2.0, 35.0)]))
        new = self.write("new.json", planted_document(
            [planted_run("single", 50000, 5, rng, cv=cv) for cv in (1.0, 3.0, 2.0, 4.0)]))
        report, stderr = self.compare_json(base, new)
        self.assertEqual((report["base"]["median_cv_percent"], report["base"]["unstable_runs"]),
                         (31.0, 2))
        self.assertEqual((report["new"]["median_cv_percent"], report["new"]["unstable_runs"]),
                         (2.5, 0))
        self.assertEqual([w["kind"] for w in report["warnings"]], ["unstable"])
        self.assertIn("tarnwick: warning: BASE has 2 unstable runs of 3 (median CV 31.0 %)",
                      stderr)
        text = self.compare(base, new).stdout
        self.assertRegex(text, r"median CV +31\.0 % +2\.5 %")
        self.assertRegex(text, r"unstable runs +2 +0")

    def test_differences_that_need_a_warning(self):
        base = self.write("base.json", planted_document(
            series("all-cpus", 90000, 3, seed=7, threads=2), host="alpha"))
        new = self.write("new.json", planted_document(
            series("all-cpus", 90000, 3, seed=8, threads=4) + series("single", 1, 1, seed=9),
            host="beta", library="0.0.3", arch="aarch64", cpu="Other CPU"))
        report, stderr = self.compare_json(base, new)
        kinds = sorted(warning["kind"] for warning in report["warnings"])
        self.assertEqual(kinds, ["library_version", "one_side_only", "workers"])
        self.assertIn("tarnwick: warning: library versions differ", stderr)
        self.assertEqual((report["base"]["architectures"], report["new"]["architectures"]),
                         (["x86_64"], ["aarch64"]))
        text = self.compare(base, new).stdout
        for expected in ("alpha", "beta", "aarch64", "Other CPU", "0.0.3",
                         "all-cpus (BASE 2 workers, NEW 4)"):
            self.assertIn(expected, text)

    def test_reads_a_document_of_0_0_2_and_standard_input(self):
        old = planted_document(series("single", 50000, 1, seed=10))
        for key in ("schema_version", "environment", "repetitions", "scalings"):
            del old[key]
        for run in old["runs"]:
            for key in ("id", "repetition", "started", "ended", "noise"):
                del run[key]
        base = self.write("old.json", old)
        new = self.write("new.json", planted_document(series("single", 50000, 1, seed=11)))
        with open(new) as file:
            result = self.compare(base, "-", "--json", stdin=file.read())
        self.assertEqual(result.returncode, 3, result.stderr)
        report = json.loads(result.stdout)
        jsonschema.validate(report, SCHEMA)
        self.assertEqual((report["base"]["hosts"], report["new"]["hosts"]), ([], ["node01"]))
        self.assertEqual(report["new"]["source"], "-")


def machine_run(label, mean, rng, seconds=10, run_spread=0.02, second_spread=0.03,
                correlation=0.6):
    """A run as this machine makes them: its level off `mean` by `run_spread`
    (log-normal), its seconds off that level by `second_spread`, each second
    leaning on the one before (AR(1) with `correlation`)."""
    level = mean * math.exp(rng.gauss(0, run_spread))
    innovation = second_spread * math.sqrt(1 - correlation ** 2)
    drift = rng.gauss(0, second_spread)
    rates = []
    for _ in range(seconds):
        rates.append(level * math.exp(drift))
        drift = correlation * drift + rng.gauss(0, innovation)
    average = sum(rates) / len(rates)
    spread = math.sqrt(sum((r - average) ** 2 for r in rates) / (len(rates) - 1))
    return planted_run(label, 0, 0, rng, rates=rates, cv=100 * spread / average)


class Simulation(CompareCase):
    """Seeded planted truth, judged end to end: how often compare cries wolf
    and how often it finds a real change. The figures are printed for the
    README's statistics section."""

    def judge(self, rng, base_runs, new_runs, factor, count):
        verdicts = {"faster": 0, "slower": 0, "no significant difference": 0, "not judged": 0}
        trips = 0
        paths = [os.path.join(self.directory.name, name) for name in ("base.json", "new.json")]
        for case in range(count):
            # Written without the schema check of write(): it would take most of the time.
            for path, runs, mean in ((paths[0], base_runs, 50000),
                                     (paths[1], new_runs, 50000 * factor)):
                with open(path, "w") as file:
                    json.dump(planted_document([machine_run("single", mean, rng)
                                                for _ in range(runs)]), file)
            result = self.compare(*paths, "--json", "--fail-slower", "3")
            self.assertIn(result.returncode, (0, 1, 3), result.stderr)
            (label,) = json.loads(result.stdout)["labels"]
            verdicts[label["verdict"]] += 1
            trips += result.returncode == 1
            self.assertEqual(result.returncode == 3, label["verdict"] == "not judged")
        return verdicts, trips

    def report(self, name, count, verdicts, trips):
        print(f"\n  {name}: {count} cases, faster {verdicts['faster']}, slower "
              f"{verdicts['slower']}, not judged {verdicts['not judged']}, "
              f"--fail-slower 3 tripped {trips}", file=sys.stderr)

    def test_one_new_run_against_ten_stored_runs_unchanged(self):
        # Enough cases that the rate's own noise (0.7 % for a true 5 %) stays
        # well inside the bound.
        count = 1000
        verdicts, trips = self.judge(random.Random(1801), 10, 1, 1.0, count)
        self.report("1 new vs 10 stored, unchanged", count, verdicts, trips)
        self.assertLessEqual(verdicts["faster"] + verdicts["slower"], 0.065 * count)
        self.assertLessEqual(trips, 0.05 * count)
        self.assertEqual(verdicts["not judged"], 0)

    def test_one_new_run_ten_percent_slower_is_found(self):
        count = 100
        verdicts, trips = self.judge(random.Random(1802), 10, 1, 0.9, count)
        self.report("1 new vs 10 stored, 10 % slower", count, verdicts, trips)
        self.assertGreaterEqual(verdicts["slower"], 0.8 * count)
        self.assertEqual(verdicts["faster"], 0)

    def test_one_run_a_side_is_never_judged(self):
        count = 50
        for factor in (1.0, 0.8):
            verdicts, trips = self.judge(random.Random(1803), 1, 1, factor, count)
            self.report(f"1 vs 1, ratio {factor}", count, verdicts, trips)
            self.assertEqual((verdicts["not judged"], trips), (count, 0))

    def test_three_runs_a_side_unchanged(self):
        count = 100
        verdicts, trips = self.judge(random.Random(1804), 3, 3, 1.0, count)
        self.report("3 vs 3, unchanged", count, verdicts, trips)
        self.assertLessEqual(verdicts["faster"] + verdicts["slower"], 0.08 * count)
        self.assertLessEqual(trips, 0.05 * count)


class Rejections(CompareCase):
    def test_bad_inputs_exit_2_with_a_reason(self):
        good = self.write("good.json", planted_document(series("single", 50000, 3, seed=12)))
        other = self.write("other.json", planted_document(series("all-cpus", 9e4, 3, seed=13)))
        failed = self.write("failed.json", planted_document(
            series("single", 50000, 2, seed=14, status=2)))
        cases = [
            ([os.path.join(self.directory.name, "missing.json"), good], "missing.json"),
            ([self.write("text.json", "not json"), good], "not JSON at line 1"),
            ([self.write("notdoc.json", "{\"a\": 1}"), good], "not a result document"),
            ([good, other], "no run label in both BASE (single) and NEW (all-cpus)"),
            ([good, failed], "NEW (%s) has no completed run: its 2 runs failed" % failed),
        ]
        for args, message in cases:
            with self.subTest(message=message):
                result = self.compare(*args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertTrue(result.stderr.startswith("tarnwick: "), result.stderr)
                self.assertEqual(result.stdout, "")

    def test_usage_errors_exit_64_naming_the_option(self):
        good = self.write("good.json", planted_document(series("single", 50000, 3, seed=15)))
        cases = [
            ([good, good, "--fail-slower", "5%"], "--fail-slower"),
            ([good, good, "--fail-slower", "100"], "--fail-slower"),
            ([good, good, "--fail-slower", "-1"], "--fail-slower"),
            ([good], "expected two documents, BASE and NEW"),
            (["-", "-"], "cannot both be standard input"),
            ([good, good, "--bogus"], "--bogus"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                result = self.compare(*args)
                self.assertEqual(result.returncode, 64, result.stderr)
                self.assertIn(message, result.stderr)


if __name__ == "__main__":
    BINARY = sys.argv[1]
    with open(os.path.join(sys.argv[2], "compare.schema.json")) as schema_file:
        SCHEMA = json.load(schema_file)
    with open(os.path.join(sys.argv[2], "result.schema.json")) as schema_file:
        RESULT_SCHEMA = json.load(schema_file)
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
