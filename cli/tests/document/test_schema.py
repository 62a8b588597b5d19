#!/usr/bin/python3
"""The result schema against the program's real documents, and against
planted faults it must catch.

Usage: test_schema.py PATH_TO_TARNWICK
"""

import copy
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import validate_json  # noqa: E402

BINARY = ""


def run_document(*args):
    process = subprocess.run([BINARY, "--json", *args],
                             capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=60)
    return process.returncode, json.loads(process.stdout)


class ResultSchema(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        status, cls.both = run_document("--warmup", "0.05", "--measure", "0.3", "--both")
        assert status == 0, status
        status, cls.failed = run_document("--warmup", "0.05", "--measure", "0")
        assert status == 2, status

    def test_real_documents_are_valid(self):
        self.assertEqual(validate_json.check([self.both, self.failed]), [])
        self.assertEqual(self.failed["status"], "failed")
        environment = self.both["environment"]
        self.assertEqual(environment["command_line"][1:],
                         ["--json", "--warmup", "0.05", "--measure", "0.3", "--both"])
        self.assertEqual(environment["cpu"]["model"], self.both["host"]["cpu_model"])
        self.assertEqual(environment["cpu"]["arch"], os.uname().machine)
        # Every run that measured has its noise; the refused one never measured.
        for run in self.both["runs"]:
            self.assertIsNotNone(run["noise"]["steal_percent"], run["label"])
            self.assertIsNotNone(run["noise"]["other_cpus"], run["label"])
        self.assertIsNone(self.failed["runs"][0]["noise"])

    def test_a_cgroup_quota_is_reported_in_cpus(self):
        """A run inside a control group granted 150 ms of every 100 ms reports
        1.5 CPUs (root only: the group is made for the test and removed)."""
        group = None
        for parent, limit in (("/sys/fs/cgroup/cpu", ("cpu.cfs_quota_us", "150000")),
                              ("/sys/fs/cgroup", ("cpu.max", "150000 100000"))):
            try:
                if os.path.isdir(parent) and (parent != "/sys/fs/cgroup" or "cpu" in open(
                        os.path.join(parent, "cgroup.subtree_control")).read().split()):
                    group = os.path.join(parent, f"tarnwick_test_{os.getpid()}")
                    os.mkdir(group)
                    with open(os.path.join(group, limit[0]), "w") as file:
                        file.write(limit[1])
                    break
            except OSError:
                if group and os.path.isdir(group):
                    os.rmdir(group)
                group = None
        if group is None:
            self.skipTest("no control group with a CPU quota can be made here")
        try:
            def enter():
                with open(os.path.join(group, "cgroup.procs"), "w") as file:
                    file.write(str(os.getpid()))

            process = subprocess.run([BINARY, "--json", "--warmup", "0.05", "--measure", "0.3"],
                                     capture_output=True, text=True, stdin=subprocess.DEVNULL,
                                     timeout=60, preexec_fn=enter)
        finally:
            os.rmdir(group)
        document = json.loads(process.stdout)
        self.assertEqual(document["environment"]["cgroup_cpu_quota"], 1.5)
        self.assertEqual(validate_json.check(document), [])

    def test_planted_faults_are_caught(self):
        def broken(change):
            document = copy.deepcopy(self.both)
            change(document)
            return document

        faults = {
            "id": lambda d: d["runs"][0].update(id="not-hex"),
            "unknown key": lambda d: d["runs"][0].update(extra=1),
            "missing noise": lambda d: d["runs"][0].pop("noise"),
            "mean of a failed run": lambda d: d["runs"][0].update(status=2, status_name="failed"),
            "schema_version": lambda d: d.update(schema_version=2),
            "warning as text": lambda d: d.update(warnings=["text"]),
            "timestamp": lambda d: d["environment"].update(timestamp="yesterday"),
            "cache size": lambda d: d["environment"]["cpu"].update(l2_cache_bytes="4M"),
        }
        documents = [broken(change) for change in faults.values()]
        errors = validate_json.check(documents)
        for number, name in enumerate(faults, 1):
            self.assertTrue(any(f"-:{number}:" in error for error in errors), name)


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main()
