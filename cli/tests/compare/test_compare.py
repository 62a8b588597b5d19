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
                cv=1.0, unstable=False, noise=None):
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
        "noise": noise,
    }


def noise(other_cpus=0.0, steal=0.0, in_container=False):
    """A run's noise record."""
    return {"steal_percent": steal, "other_cpus": other_cpus,
            "involuntary_context_switches": 3, "in_container": in_container}


def planted_document(runs, host="node01", library="0.0.2", arch="x86_64",
                     cpu="Test CPU", cpus=2):
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
        "host": {"cpu_model": cpu, "cpus_available": cpus, "cpus_source": "affinity",
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
        """Runs compare --json, checks the status and the schema; returns the
        one comparison (with the gate beside it) and standard error."""
        result = self.compare(base, new, "--json", *args)
        self.assertEqual(result.returncode, status, result.stderr)
        document = json.loads(result.stdout)
        jsonschema.validate(document, SCHEMA)
        (comparison,) = document["comparisons"]
        comparison["gate"] = document["gate"]
        return comparison, result.stderr

    def history(self, *args):
        return subprocess.run([BINARY, "history", "--history", self.history_path, *args],
                              capture_output=True, text=True, timeout=30)

    @property
    def history_path(self):
        return os.path.join(self.directory.name, "history.db")

    def store(self, *documents):
        """Imports the documents into this test's history."""
        paths = [self.write(f"stored{index}.json", document)
                 for index, document in enumerate(documents)]
        imported = self.history("--import", *paths)
        self.assertEqual(imported.returncode, 0, imported.stderr)

    def baseline(self, new, *args, stdin=None):
        return self.compare("--baseline", new, "--history", self.history_path, *args,
                            stdin=stdin)

    def baseline_json(self, new, *args, status=0, stdin=None):
        result = self.baseline(new, "--json", *args, stdin=stdin)
        self.assertEqual(result.returncode, status, result.stderr)
        document = json.loads(result.stdout)
        jsonschema.validate(document, SCHEMA)
        return document, result.stderr



def with_new_ids(document):
    """The document's runs again under ids of their own: copies, not the same runs."""
    global RUN_ID
    copy = json.loads(json.dumps(document))
    for run in copy["runs"]:
        RUN_ID += 1
        run["id"] = f"{RUN_ID:032x}"
    return copy


class Verdicts(CompareCase):
    def test_identical_data_shows_no_significant_difference(self):
        document = planted_document(series("single", 50000, 5, seed=1) +
                                    series("all-cpus", 90000, 5, seed=2, threads=2))
        base = self.write("base.json", document)
        new = self.write("new.json", with_new_ids(document))
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
        self.assertEqual(report["left_out"], [])
        # The same document on both sides: the same runs, nothing to judge.
        report, stderr = self.compare_json(base, base, "--fail-slower", "5", status=3)
        for label in report["labels"]:
            self.assertEqual(label["not_judged"]["kind"], "same_runs")
            self.assertEqual(label["new"]["observations"], 0)
        self.assertIn("not judged: the sides hold the same runs", stderr)
        self.assertEqual({out["kind"] for out in report["left_out"]}, {"on_both_sides"})

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
        self.assertIn("tarnwick: gate: 'single' is slower by more than 5 %: ratio 0.", stderr)
        self.assertRegex(stderr, r"the upper end of its 95 % CI is 0\.\d+")
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
        # Many runs without any spread are copies: counted as one, no evidence.
        flat = self.write("flat.json", planted_document(
            [planted_run("single", 0, 0, rng, rates=[50000.0] * 4) for _ in range(3)]))
        report, stderr = self.compare_json(flat, new, "--fail-slower", "3", status=3)
        (label,) = report["labels"]
        self.assertEqual((label["verdict"], label["base"]["observations"]), ("not judged", 1))
        self.assertIn("BASE's 3 runs of 'single' have identical rates: counted as one", stderr)

    def test_baseline_of_stored_runs_judges_one_new_run(self):
        self.store(planted_document(series("single", 50000, 10, seed=41)))
        slower = self.write("new.json", planted_document(series("single", 42000, 1, seed=42)))
        report, _ = self.baseline_json(slower, "--fail-slower", "5", status=1)
        (label,) = report["comparisons"][0]["labels"]
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
        report, stderr = self.compare_json(base, new, status=3)
        kinds = sorted(warning["kind"] for warning in report["warnings"])
        self.assertEqual(kinds, ["differs", "not_judged", "one_side_only"])
        (label,) = report["labels"]
        self.assertEqual(label["differences"], ["workers", "library", "arch", "cpu"])
        self.assertEqual(label["not_judged"]["kind"], "library")
        self.assertIn("NEW ran library 0.0.3, BASE 0.0.2", stderr)
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
        (report,) = report["comparisons"]
        self.assertEqual((report["base"]["hosts"], report["new"]["hosts"]), ([], ["node01"]))
        self.assertEqual(report["new"]["source"], "-")


def lines_file(*documents):
    """Documents appended one per line, as a log collects them."""
    return "".join(json.dumps(document) + "\n" for document in documents)


class PlantedFaults(CompareCase):
    """Each way compare used to judge unlike, repeated or disturbed runs,
    planted end to end: the new behaviour, by exit status and message."""

    def test_each_fault_gives_the_new_behaviour(self):
        rng = random.Random(2701)

        def runs(label, mean, count, threads=1, **kwargs):
            return [planted_run(label, mean * (1 + rng.uniform(-0.01, 0.01)), 5, rng,
                                spread=0.01, threads=threads, **kwargs) for _ in range(count)]

        base_five = planted_document(runs("single", 50000, 5))
        identical = [planted_run("single", 0, 0, rng, rates=[50000.0] * 3) for _ in range(5)]
        identical_new = [planted_run("single", 0, 0, rng, rates=[49750.0] * 3) for _ in range(5)]
        disturbed_new = runs("single", 50000, 3, noise=noise(0.1))
        disturbed_new[1]["noise"] = noise(other_cpus=1.7)
        disturbed_new[2]["noise"] = noise(steal=9.0)
        contained_new = runs("single", 50000, 3, noise=noise(1.7, 9.0, in_container=True))
        cases = [
            # name, BASE, NEW, arguments, status, in stderr, not_judged kind
            ("workers 2 against 1 with a gate",
             planted_document(runs("all-cpus", 90000, 5, threads=2)),
             planted_document(runs("all-cpus", 50000, 5, threads=1)),
             ["--fail-slower", "3"], 3,
             "NEW ran 1 worker, BASE 2: the difference includes the CPUs available", "differs"),
            ("the same, the difference accepted",
             planted_document(runs("all-cpus", 90000, 5, threads=2)),
             planted_document(runs("all-cpus", 50000, 5, threads=1)),
             ["--fail-slower", "3", "--across", "workers"], 1,
             "judged across what differs, as --across asks", None),
            ("two library versions",
             planted_document(runs("single", 50000, 5)),
             planted_document(runs("single", 40000, 5), library="0.0.3"),
             ["--fail-slower", "3", "--across", "cpu,workers,arch"], 3,
             "NEW ran library 0.0.3, BASE 0.0.2", "library"),
            ("another CPU model", planted_document(runs("single", 50000, 5)),
             planted_document(runs("single", 60000, 5), cpu="Other CPU"), [], 3,
             "NEW ran on the CPU model Other CPU, BASE on Test CPU", "differs"),
            ("the same CPU model spelt otherwise", planted_document(runs("single", 50000, 5)),
             planted_document(runs("single", 60000, 5), cpu="  test   cpu "), [], 0,
             "", None),
            ("identical rates", planted_document(identical), planted_document(identical_new),
             ["--fail-slower", "0.4"], 3,
             "BASE's 5 runs of 'single' have identical rates: counted as one", "too_few"),
            ("disturbed NEW runs", planted_document(runs("single", 50000, 2)),
             planted_document(disturbed_new), [], 3,
             "NEW's runs 2 and 3 of 'single' ran while other work competed for the CPUs "
             "(run 2: other processes used 1.7 CPUs, steal 0.0 %; run 3: other processes used "
             "0.0 CPUs, steal 9.0 %)", "too_few"),
            ("disturbed NEW runs kept", planted_document(runs("single", 50000, 2)),
             planted_document(disturbed_new), ["--keep-disturbed"], 0, "", None),
            ("a container's host figures", planted_document(runs("single", 50000, 2)),
             planted_document(contained_new), [], 0,
             "ran in a container whose host's figures show competition", None),
        ]
        for name, base_document, new_document, args, status, message, kind in cases:
            with self.subTest(name):
                base = self.write("base.json", base_document)
                new = self.write("new.json", new_document)
                report, stderr = self.compare_json(base, new, *args, status=status)
                (label,) = report["labels"]
                self.assertIn(message, stderr)
                if kind is None:
                    self.assertIsNone(label["not_judged"])
                    self.assertNotEqual(label["verdict"], "not judged")
                else:
                    self.assertEqual(label["not_judged"]["kind"], kind)
                    self.assertEqual(label["verdict"], "not judged")
                    self.assertFalse(report["gate"] and report["gate"]["tripped"])
                if kind in ("differs", "library"):
                    # Shown as information: the ratio and its interval.
                    self.assertIsNotNone(label["ratio_low"])
                    self.assertIn("(information)", self.compare(base, new).stdout)

    def test_each_run_counts_once_on_one_side(self):
        rng = random.Random(2702)
        base_document = planted_document(series("single", 50000, 5, seed=2703))
        new_runs = [planted_run("single", 40000, 5, rng, spread=0.01) for _ in range(3)]
        base = self.write("base.json", base_document)
        # NEW holds BASE's runs again (a log with its own copy appended) and
        # its own three runs, one of them three times.
        new_document = planted_document(new_runs)
        new = self.write("new.json", lines_file(base_document, new_document, new_document,
                                                new_document))
        report, stderr = self.compare_json(base, new, "--fail-slower", "5", status=1)
        (label,) = report["labels"]
        self.assertEqual((label["base"]["observations"], label["new"]["observations"]), (5, 3))
        self.assertEqual(label["test"], "Welch's t-test on log rates")
        self.assertIn("NEW's runs 1, 2, 3, 4 and 5 of 'single' are also in BASE: counted in "
                      "BASE only", stderr)
        (shared,) = [out for out in report["left_out"] if out["kind"] == "on_both_sides"]
        self.assertEqual(shared["run_ids"], [run["id"] for run in base_document["runs"]])

    def test_baseline_chooses_like_with_like(self):
        rng = random.Random(2704)

        def runs(mean, count, **kwargs):
            return [planted_run("single", mean * (1 + rng.uniform(-0.01, 0.01)), 5, rng,
                                spread=0.01, **kwargs) for _ in range(count)]

        # Ten runs of model A, then five of model B under the same host name
        # (newer), twice as fast; two workers' runs; an old library's.
        self.store(planted_document(runs(50000, 10), host="vm", cpu="Model A"),
                   planted_document(runs(100000, 5), host="vm", cpu="Model B"),
                   planted_document(runs(90000, 2, threads=2), host="vm", cpu="Model A"),
                   planted_document(runs(30000, 2), host="vm", cpu="Model A", library="0.0.1"))
        new = self.write("new.json", planted_document(runs(50000, 1), host="vm",
                                                      cpu=" model  a"))
        report, stderr = self.baseline_json(new, "--fail-slower", "3")
        (comparison,) = report["comparisons"]
        (label,) = comparison["labels"]
        self.assertEqual(label["verdict"], "no significant difference")
        self.assertEqual(label["base"]["runs"], 10)
        self.assertEqual(label["differences"], [])
        self.assertIn("5 stored runs of host vm, 'single', on another CPU model (Model B) left "
                      "out", stderr)
        kinds = sorted((out["kind"], out["count"]) for out in comparison["left_out"])
        self.assertEqual(kinds, [("cpu", 5), ("library", 2), ("workers", 2)])
        # The last N among the runs that qualify.
        report, _ = self.baseline_json(new, "--last", "3")
        self.assertEqual(report["comparisons"][0]["labels"][0]["base"]["runs"], 3)
        # A model never stored: nothing to compare with, and why.
        other = self.write("other.json", planted_document(runs(50000, 1), host="vm",
                                                          cpu="Model C"))
        result = self.baseline(other)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("no stored runs to compare with", result.stderr)
        # Every stored run of the host and label: another model comes first.
        self.assertIn("19 stored runs of host vm, 'single', on another CPU model (Model A, "
                      "Model B) left out", result.stderr)

    def test_baseline_reads_a_log_one_run_once_and_groups_by_host(self):
        self.store(planted_document(series("single", 50000, 6, seed=2705), host="a"),
                   planted_document(series("single", 80000, 6, seed=2706), host="b"))
        one = planted_document(series("single", 50000, 1, seed=2707), host="a")
        log = self.write("log.json", lines_file(
            one, planted_document(series("single", 50000, 1, seed=2708), host="a"),
            planted_document(series("single", 50000, 1, seed=2709), host="a"), one, one))
        report, _ = self.baseline_json(log)
        (comparison,) = report["comparisons"]
        self.assertEqual(comparison["labels"][0]["new"]["runs"], 3)
        # Standard input, and NEW of two hosts: one comparison each.
        both = lines_file(one, planted_document(series("single", 80000, 2, seed=2710), host="b"))
        report, _ = self.baseline_json("-", stdin=both)
        self.assertEqual([c["new"]["hosts"] for c in report["comparisons"]], [["a"], ["b"]])
        self.assertEqual([c["labels"][0]["base"]["runs"] for c in report["comparisons"]], [6, 6])
        text = self.baseline("-", stdin=both)
        self.assertEqual(text.returncode, 0, text.stderr)
        self.assertIn("== NEW of host a, CPU Test CPU", text.stdout)
        self.assertIn("== NEW of host b, CPU Test CPU", text.stdout)

    def test_baseline_leaves_out_stored_runs_it_cannot_judge(self):
        import sqlite3
        documents = [planted_document(series("single", 50000, 4, seed=2711 + i))
                     for i in range(3)]
        documents[1]["runs"][0]["noise"] = noise(other_cpus=1.9)
        self.store(*documents)
        ids = [documents[0]["runs"][0]["id"], documents[0]["runs"][1]["id"]]
        with sqlite3.connect(self.history_path) as db:
            db.execute("UPDATE runs SET mean = 5e-324 WHERE id = ?", (ids[0],))
            db.execute("UPDATE runs SET mean = 1e308 WHERE id = ?", (ids[1],))
        db.close()
        new = self.write("new.json", planted_document(series("single", 40000, 1, seed=2720)))
        report, stderr = self.baseline_json(new, "--fail-slower", "5", status=1)
        (comparison,) = report["comparisons"]
        self.assertEqual(comparison["labels"][0]["base"]["runs"], 9)
        kinds = sorted((out["kind"], out["count"]) for out in comparison["left_out"])
        self.assertEqual(kinds, [("disturbed", 1), ("rate", 2)])
        self.assertIn("2 stored runs of host node01, 'single', with a mean rate that cannot be "
                      "judged (1e+308, 4.94066e-324) left out", stderr)
        report, _ = self.baseline_json(new, "--keep-disturbed", "--fail-slower", "5", status=1)
        self.assertEqual(report["comparisons"][0]["labels"][0]["base"]["runs"], 10)


def has_control(text):
    """A C0 control other than newline and tab, DEL, or a C1 control."""
    return any((ord(c) < 0x20 and c not in "\n\t") or 0x7f <= ord(c) <= 0x9f for c in text)


class Messages(CompareCase):
    HOSTILE_HOST = "vm\x1b]0;owned\x07\x1b[2J\u009b31m"
    HOSTILE_CPU = "CPU\x1b[H\r\u0085\u009d8;;x\x07"

    def test_no_control_from_a_document_reaches_the_terminal(self):
        hostile = planted_document(series("single", 50000, 3, seed=2730),
                                   host=self.HOSTILE_HOST, cpu=self.HOSTILE_CPU)
        other = planted_document(series("single", 50000, 3, seed=2731, threads=2),
                                 host=self.HOSTILE_HOST, cpu=self.HOSTILE_CPU + "2")
        disturbed = planted_document(series("single", 50000, 1, seed=2732,
                                            noise=noise(other_cpus=1.9)),
                                     host=self.HOSTILE_HOST, cpu=self.HOSTILE_CPU)
        bad_label = json.loads(json.dumps(hostile))
        bad_label["runs"][0]["label"] = "single\x1b[2J\u009b"
        a = self.write("a.json", hostile)
        b = self.write("b.json", other)
        c = self.write("c.json", disturbed)
        d = self.write("d.json", json.dumps(bad_label))
        hostile_name = self.write("name\x1b[2J.json", hostile)
        self.store(hostile, other)
        runs = [
            ["compare", a, b], ["compare", a, b, "--json"], ["compare", a, c],
            ["compare", b, c, "--json"], ["compare", a, d], ["compare", d, hostile_name],
            ["compare", "--baseline", c, "--history", self.history_path],
            ["compare", "--baseline", d, "--history", self.history_path],
            ["compare", "--baseline", hostile_name, "--history", self.history_path, "--json"],
            ["compare", "--baseline", a, "--history", self.history_path, "--fail-slower", "1"],
            ["compare", "--baseline", self.write("new_host.json", planted_document(
                series("single", 1, 1, seed=2733), host=self.HOSTILE_HOST + "x",
                cpu=self.HOSTILE_CPU)), "--history", self.history_path],
            ["report", a, b, c, d], ["report", a, "--json"],
            ["history", "--history", self.history_path],
            ["history", "--history", self.history_path, "--changes"],
        ]
        for args in runs:
            with self.subTest(args=args[:2]):
                result = subprocess.run([BINARY, *args], capture_output=True, timeout=30)
                for stream in (result.stdout, result.stderr):
                    text = stream.decode("utf-8", "replace")
                    self.assertFalse(has_control(text), repr(text[:2000]))

    def test_reading_and_usage_messages(self):
        document = planted_document(series("single", 50000, 1, seed=2760))
        with open(self.write("doc.json", document)) as file:
            text = file.read()
        reported = subprocess.run([BINARY, "report", "-", "--json"], input=text,
                                  capture_output=True, text=True, timeout=30)
        self.assertEqual(reported.returncode, 0, reported.stderr)
        self.assertEqual(json.loads(reported.stdout)["documents"], 1)
        missing = self.history("--import", os.path.join(self.directory.name, "nofile.json"))
        self.assertEqual(missing.returncode, 2)
        self.assertIn("nofile.json': no such file", missing.stderr)
        self.assertNotIn("document was refused", missing.stderr)
        for args in (["compare", "a", "b", "--fail-slower", "x"], ["compare", "a", "--last", "3"],
                     ["compare", "--baseline", "a", "--history", ""]):
            with self.subTest(args=args):
                usage = subprocess.run([BINARY, *args], capture_output=True, text=True,
                                       timeout=30)
                self.assertEqual(usage.returncode, 64, usage.stderr)
                self.assertIn("Run 'tarnwick compare --help' for the options.", usage.stderr)
        help_text = self.compare("--help").stdout
        for option in ("--fail-slower", "--last", "--history", "--across", "--keep-disturbed",
                       "--junit", "--markdown"):
            self.assertIn(option, help_text)

    def test_a_mistyped_history_is_no_such_file(self):
        new = self.write("new.json", planted_document(series("single", 1, 1, seed=2734)))
        result = self.compare("--baseline", new, "--history",
                              os.path.join(self.directory.name, "histroy.db"))
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("histroy.db': no such file", result.stderr)

    def test_wraps_to_a_terminal_and_never_off_one(self):
        import fcntl
        import pty
        import struct
        import termios
        base = self.write("base.json", planted_document(series("all-cpus", 90000, 3, seed=2735,
                                                               threads=2)))
        new = self.write("new.json", planted_document(series("all-cpus", 50000, 3, seed=2736)))
        piped = self.compare(base, new)
        self.assertEqual(piped.returncode, 3, piped.stderr)
        long_lines = [line for line in (piped.stdout + piped.stderr).splitlines()
                      if len(line) > 80]
        self.assertTrue(long_lines, "off a terminal a long message stays one line")
        main, child = pty.openpty()
        fcntl.ioctl(child, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 40, 0, 0))
        # Short names: a path is a word, and a word is never split.
        process = subprocess.Popen([BINARY, "compare", "base.json", "new.json"], stdout=child,
                                   stderr=child, cwd=self.directory.name)
        os.close(child)
        output = b""
        while True:
            try:
                chunk = os.read(main, 65536)
            except OSError:
                break
            if not chunk:
                break
            output += chunk
        os.close(main)
        self.assertEqual(process.wait(timeout=30), 3)
        lines = output.decode().replace("\r\n", "\n").splitlines()
        self.assertIn("tarnwick: warning:", output.decode())
        for line in lines:
            self.assertLessEqual(len(line), 40, line)


class CiFormats(CompareCase):
    def test_junit_and_markdown(self):
        import junitparser
        import markdown
        base = self.write("base.json", planted_document(
            series("single", 50000, 5, seed=2740) + series("all-cpus", 90000, 1, seed=2741,
                                                           threads=2),
            host="ci|host*"))
        new = self.write("new.json", planted_document(
            series("single", 40000, 5, seed=2742) + series("all-cpus", 90000, 1, seed=2743,
                                                           threads=2),
            host="ci|host*"))
        junit = os.path.join(self.directory.name, "report.xml")
        summary = self.write("summary.md", "# Earlier step\n\nkept as it was\n")
        result = self.compare(base, new, "--fail-slower", "5", "--junit", junit,
                              "--markdown", summary)
        self.assertEqual(result.returncode, 1, result.stderr)
        xml = junitparser.JUnitXml.fromfile(junit)
        (suite,) = list(xml)
        cases = {case.name: case for case in suite}
        self.assertEqual(sorted(cases), ["all-cpus (2 workers)", "single (1 worker)"])
        (failure,) = cases["single (1 worker)"].result
        self.assertIsInstance(failure, junitparser.Failure)
        self.assertIn("slower by more than 5 %", failure.message)
        (skipped,) = cases["all-cpus (2 workers)"].result
        self.assertIsInstance(skipped, junitparser.Skipped)
        self.assertIn("not judged: 1 and 1 runs", skipped.message)
        self.assertEqual((suite.tests, suite.failures, suite.skipped), (2, 1, 1))
        with open(summary) as file:
            text = file.read()
        self.assertTrue(text.startswith("# Earlier step\n\nkept as it was\n"), text)
        html = markdown.markdown(text, extensions=["tables"])
        self.assertEqual(html.count("<table>"), 1, html)
        self.assertEqual(html.count("<tr>"), 3, html)  # the header and two labels
        self.assertIn("<td>FAILED</td>", html)
        self.assertIn("ci|host*", html)  # escaped, it neither splits a cell nor marks up
        for row in html.split("<tr>")[1:]:
            self.assertEqual(row.count("<td>") + row.count("<th>"), 7, row)
        # A second step's table is added after the first.
        second = self.compare(base, new, "--markdown", summary)
        self.assertEqual(second.returncode, 3, second.stderr)
        with open(summary) as file:
            self.assertEqual(file.read().count("| Label |"), 2)
        # A passing gate: no failure; the JUnit file replaced whole.
        passing = self.compare(base, new, "--fail-slower", "50", "--junit", junit)
        self.assertEqual(passing.returncode, 3, passing.stderr)
        (suite,) = list(junitparser.JUnitXml.fromfile(junit))
        self.assertEqual((suite.failures, suite.skipped), (0, 1))
        # Into a pipe it is written directly.
        piped = self.compare(base, new, "--markdown", "/dev/stderr")
        self.assertIn("| Label |", piped.stderr)


def graded_disturbance(rng):
    """Other work on a 2-CPU machine while a 1-worker run measures (1 CPU
    left free, so the rule's limit is 1.5 CPUs of other processes, or 5 %
    steal): the noise record and what it cost the run's rate. Most runs are
    quiet; three in ten are busy just below the rule (a cost of up to 2 %);
    one in ten well above it (a cost of 6 to 50 %)."""
    draw = rng.random()
    if draw < 0.6:
        return noise(rng.uniform(0, 0.3), rng.uniform(0, 0.5)), 1.0
    if draw < 0.9:
        other = rng.uniform(1.2, 1.49)
        return noise(other, rng.uniform(0, 4.9)), 1 - 0.04 * (other - 1)
    if draw < 0.95:
        other = rng.uniform(1.6, 2.0)
        return noise(other, 0.0), 1 - 0.5 * (other - 1)
    steal = rng.uniform(6, 30)
    return noise(0.1, steal), 1 - steal / 100


def machine_run(label, mean, rng, seconds=10, run_spread=0.02, second_spread=0.03,
                correlation=0.6, disturbed=False):
    """A run as this machine makes them: its level off `mean` by `run_spread`
    (log-normal), its seconds off that level by `second_spread`, each second
    leaning on the one before (AR(1) with `correlation`); with `disturbed`,
    other work as graded_disturbance draws it."""
    record, cost = graded_disturbance(rng) if disturbed else (None, 1.0)
    mean *= cost
    level = mean * math.exp(rng.gauss(0, run_spread))
    innovation = second_spread * math.sqrt(1 - correlation ** 2)
    drift = rng.gauss(0, second_spread)
    rates = []
    for _ in range(seconds):
        rates.append(level * math.exp(drift))
        drift = correlation * drift + rng.gauss(0, innovation)
    average = sum(rates) / len(rates)
    spread = math.sqrt(sum((r - average) ** 2 for r in rates) / (len(rates) - 1))
    return planted_run(label, 0, 0, rng, rates=rates, cv=100 * spread / average, noise=record)


class Simulation(CompareCase):
    """Seeded planted truth, judged end to end: how often compare cries wolf
    and how often it finds a real change. The figures are printed for the
    README's statistics section."""

    def judge(self, rng, base_runs, new_runs, factor, count, disturbed=False, args=()):
        verdicts = {"faster": 0, "slower": 0, "no significant difference": 0, "not judged": 0}
        trips = 0
        paths = [os.path.join(self.directory.name, name) for name in ("base.json", "new.json")]
        for case in range(count):
            # Written without the schema check of write(): it would take most of the time.
            for path, runs, mean in ((paths[0], base_runs, 50000),
                                     (paths[1], new_runs, 50000 * factor)):
                with open(path, "w") as file:
                    json.dump(planted_document([machine_run("single", mean, rng,
                                                            disturbed=disturbed)
                                                for _ in range(runs)]), file)
            result = self.compare(*paths, "--json", "--fail-slower", "3", *args)
            self.assertIn(result.returncode, (0, 1, 3), result.stderr)
            (label,) = json.loads(result.stdout)["comparisons"][0]["labels"]
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

    def test_disturbances_on_both_sides_left_out_without_bias(self):
        # Graded disturbances on both sides, some just below the rule: with
        # the disturbed runs left out, few false verdicts and gate trips;
        # kept, the same seeds cry wolf far more often.
        count = 200
        verdicts, trips = self.judge(random.Random(2790), 10, 1, 1.0, count, disturbed=True)
        self.report("1 new vs 10 stored, unchanged, disturbed", count, verdicts, trips)
        self.assertLessEqual(verdicts["faster"] + verdicts["slower"], 0.08 * count)
        self.assertLessEqual(trips, 0.05 * count)
        # A disturbed NEW run (one in ten) is not judged; nothing else is.
        self.assertLessEqual(verdicts["not judged"], 0.16 * count)
        kept, kept_trips = self.judge(random.Random(2790), 10, 1, 1.0, count, disturbed=True,
                                      args=("--keep-disturbed",))
        self.report("the same, disturbed runs kept", count, kept, kept_trips)
        self.assertGreater(kept_trips, trips)
        found, _ = self.judge(random.Random(2791), 10, 1, 0.9, 50, disturbed=True)
        self.report("1 new vs 10 stored, 10 % slower, disturbed", 50, found, 0)
        self.assertGreaterEqual(found["slower"], 40)
        self.assertEqual(found["faster"], 0)

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
    BINARY = os.path.abspath(sys.argv[1])
    with open(os.path.join(sys.argv[2], "compare.schema.json")) as schema_file:
        SCHEMA = json.load(schema_file)
    with open(os.path.join(sys.argv[2], "result.schema.json")) as schema_file:
        RESULT_SCHEMA = json.load(schema_file)
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
