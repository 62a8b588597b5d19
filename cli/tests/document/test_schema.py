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
