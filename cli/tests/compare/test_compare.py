"""End-to-end tests of `tarnwick compare` on planted result documents.

Usage: test_compare.py PATH_TO_TARNWICK DOCS_DIRECTORY [TestCaseName ...]
The documents are written here with known rates, so each verdict is known
before the program gives it; they are checked against the result document's
schema, and every --json output against compare's, with python3-jsonschema.
"""

import json
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


def planted_run(label, mean, seconds, rng, spread=0.03, threads=1, status=0):
    """A run whose per-second rates scatter around `mean` by `spread`."""
    global RUN_ID
    RUN_ID += 1
    rates = [mean * (1 + rng.uniform(-spread, spread)) for _ in range(seconds)]
    completed = status == 0
    return {
        "id": f"{RUN_ID:032x}", "label": label, "repetition": 1,
        "started": "2026-12-07T23:50:01.123Z", "ended": "2026-12-07T23:50:11.123Z",
        "status": status, "status_name": ["completed", "cancelled", "failed"][status],
        "reason": "" if completed else "stopped", "abi_version": 1,
        "benchmark": 1 if label == "single" else 2, "threads": threads,
        "mean_rate": sum(rates) / len(rates) if completed else None,
        "warmup_seconds": 1, "measure_seconds": seconds,
        "measured_seconds": float(seconds), "cv_percent": 1.0, "has_cv": True,
        "unstable": False, "operations": sum(int(rate) for rate in rates), "checksum": 12345,
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
            self.assertFalse(label["low_confidence"])
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

    def test_one_run_each_is_low_confidence_and_still_gates(self):
        base = self.write("base.json", planted_document(series("single", 50000, 1, seed=5)))
        new = self.write("new.json", planted_document(series("single", 40000, 1, seed=6)))
        report, stderr = self.compare_json(base, new, "--fail-slower", "5", status=1)
        (label,) = report["labels"]
        self.assertEqual((label["observations"], label["low_confidence"]), ("seconds", True))
        self.assertEqual((label["base"]["observations"], label["new"]["observations"]), (10, 10))
        self.assertEqual(label["verdict"], "slower")
        self.assertIn("low confidence", stderr)
        text = self.compare(base, new).stdout
        self.assertIn("(low confidence)", text)
        self.assertIn("10 + 10 per-second rates", text)

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
        self.assertEqual(result.returncode, 0, result.stderr)
        report = json.loads(result.stdout)
        jsonschema.validate(report, SCHEMA)
        self.assertEqual((report["base"]["hosts"], report["new"]["hosts"]), ([], ["node01"]))
        self.assertEqual(report["new"]["source"], "-")


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
