"""End-to-end tests of the per-second noise: the real program, its readings
taken from a planted tree of /proc and /sys files (TARNWICK_SYSROOT) whose
counters a thread advances at known rates, and from the machine itself with
a real co-tenant pinned to the run's CPU.

Usage: test_noise.py PATH_TO_TARNWICK [TestCaseName ...]
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import validate_json  # noqa: E402

BINARY = ""


def load_document(text):
    document = json.loads(text)
    errors = validate_json.check(document)
    if errors:
        raise AssertionError("the document breaks its schema:\n" + "\n".join(errors))
    return document


def first_cpu():
    return min(os.sched_getaffinity(0))


def write(root, path, text):
    """Writes whole files by renaming, so a reader never sees half of one."""
    full = os.path.join(root, path.lstrip("/"))
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full + ".new", "w") as handle:
        handle.write(text)
    os.replace(full + ".new", full)


class PlantedMachine:
    """A tree whose counters move with the clock: two CPUs idle but for
    `steal` ticks a second the hypervisor takes from the second one; cgroup v1 that never throttles, two thermal
    counters that never move and a fixed frequency."""

    def __init__(self, root, cpu, steal):
        self.root, self.cpu, self.steal = root, cpu, steal
        self.other = cpu + 1
        self.start = time.monotonic()
        self.stopped = threading.Event()
        write(root, "/proc/self/cgroup", "4:cpu,cpuacct:/bench\n0::/\n")
        write(root, "/proc/self/mountinfo",
              "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n")
        write(root, "/sys/fs/cgroup/cpu,cpuacct/bench/cpu.stat",
              "nr_periods 40\nnr_throttled 3\nthrottled_time 1500000\n")
        for number in (self.cpu, self.other):
            base = "/sys/devices/system/cpu/cpu%d" % number
            write(root, base + "/thermal_throttle/core_throttle_count", "7\n")
            write(root, base + "/cpufreq/scaling_cur_freq", "2100000\n")
        write(root, "/proc/self/stat", "77 (tarnwick) R 1 77 77 0 -1 0 0 0 0 0 900 0 0 0 20 0\n")
        write(root, "/proc/pressure/cpu", "some avg10=0.00 avg60=0.00 avg300=0.00 total=4242\n")
        self.advance()
        self.thread = threading.Thread(target=self.keep_advancing, daemon=True)
        self.thread.start()

    def advance(self):
        ticks = int((time.monotonic() - self.start) * 100)
        idle = 100 * ticks // 100 - self.steal * ticks // 100
        stolen = self.steal * ticks // 100
        # Only the hypervisor takes time: the figures then hold whatever the
        # moment the program reads them between two writes.
        lines = ["cpu  1000 0 0 %d 0 0 0 %d 0 0" % (9000 + ticks + idle, stolen),
                 "cpu%d 1000 0 0 %d 0 0 0 0 0 0" % (self.cpu, 4000 + ticks),
                 "cpu%d 0 0 0 %d 0 0 0 %d 0 0" % (self.other, 5000 + idle, stolen)]
        write(self.root, "/proc/stat", "\n".join(lines) + "\nintr 0\n")

    def keep_advancing(self):
        while not self.stopped.wait(0.02):
            self.advance()

    def stop(self):
        self.stopped.set()
        self.thread.join()


class Planted(unittest.TestCase):
    def run_planted(self, steal):
        root = tempfile.mkdtemp(prefix="tarnwick-sysroot-")
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        cpu = first_cpu()
        machine = PlantedMachine(root, cpu, steal)
        self.addCleanup(machine.stop)
        csv_path = os.path.join(root, "samples.csv")
        env = dict(os.environ, TARNWICK_SYSROOT=root)
        result = subprocess.run(
            ["taskset", "-c", str(cpu), BINARY, "--warmup", "0.05", "--measure", "4.5",
             "--quiet", "--json", "--csv", csv_path],
            capture_output=True, text=True, env=env, timeout=60, stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 0, result.stderr)
        document = load_document(result.stdout)
        with open(csv_path) as handle:
            rows = [line.split(",") for line in handle.read().splitlines()]
        return document, rows, result.stderr

    def test_quiet_seconds_name_nothing(self):
        document, rows, stderr = self.run_planted(steal=0)
        [run] = document["runs"]
        self.assertGreaterEqual(len(run["samples"]), 3)
        for sample in run["samples"]:
            noise = sample["noise"]
            self.assertEqual(noise["steal_percent"], 0, sample)
            self.assertEqual(noise["other_cpus"], 0, sample)
            self.assertEqual(noise["other_cpus_run"], 0, sample)
            self.assertEqual(noise["cpu_pressure_percent"], 0)
            self.assertEqual((noise["throttled_percent"], noise["throttled_periods"]), (0, 0))
            self.assertEqual(noise["thermal_events"], 0)
            self.assertEqual(noise["frequency_mhz"], 2100)
            self.assertFalse(noise["disturbed"])
        self.assertEqual(run["noise"]["disturbed_seconds"], 0)
        self.assertEqual(run["noise"]["steal_percent"], 0)
        self.assertNotIn("noisy_seconds", [w["kind"] for w in document["warnings"]])
        self.assertNotIn("seconds", stderr)
        header = rows[0]
        self.assertEqual(header[8:], ["steal_percent", "other_cpus", "other_cpus_run",
                                      "cpu_pressure_percent", "throttled_percent",
                                      "throttled_periods", "thermal_events", "frequency_mhz",
                                      "disturbed"])
        self.assertEqual(len(rows) - 1, len(run["samples"]))
        for row, sample in zip(rows[1:], run["samples"]):
            named = dict(zip(header, row))
            self.assertEqual(float(named["other_cpus_run"]), sample["noise"]["other_cpus_run"])
            self.assertEqual((named["frequency_mhz"], named["disturbed"]), ("2100", "0"))

    def test_steal_in_every_second_is_named_with_its_seconds(self):
        document, rows, stderr = self.run_planted(steal=20)
        [run] = document["runs"]
        count = len(run["samples"])
        for sample in run["samples"]:
            # 20 of every 200 ticks.
            self.assertAlmostEqual(sample["noise"]["steal_percent"], 10.0, delta=1.0)
            self.assertTrue(sample["noise"]["disturbed"])
        self.assertEqual(run["noise"]["disturbed_seconds"], count)
        self.assertAlmostEqual(run["noise"]["steal_percent"], 10.0, delta=1.0)
        [warning] = [w for w in document["warnings"] if w["kind"] == "noisy_seconds"]
        self.assertEqual(warning["run"], run["id"])
        self.assertRegex(warning["text"], r"^the single run, seconds 1 to %d: the hypervisor "
                                          r"took (9|10|11) %% \(steal\)$" % count)
        self.assertIn("seconds 1 to %d" % count, stderr)
        self.assertTrue(all(row[-1] == "1" for row in rows[1:]), rows)


class Competition(unittest.TestCase):
    def test_a_pinned_co_tenant_is_named_for_its_seconds(self):
        cpu = first_cpu()
        warmup, measure = 0.5, 11.0
        began = time.monotonic()
        program = subprocess.Popen(
            ["taskset", "-c", str(cpu), BINARY, "--warmup", str(warmup), "--measure",
             str(measure), "--quiet", "--json"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            stdin=subprocess.DEVNULL)
        busy = []
        try:
            time.sleep(warmup + 2.5)
            busy_from = time.monotonic() - began
            # Three spinning processes: with the run's worker, each gets a
            # quarter of the CPU, so other work holds three quarters of it.
            for _ in range(3):
                busy.append(subprocess.Popen(
                    ["taskset", "-c", str(cpu), sys.executable, "-c", "while True: pass"],
                    stdin=subprocess.DEVNULL))
            time.sleep(5.0)
        finally:
            for process in busy:
                process.kill()
                process.wait()
        busy_to = time.monotonic() - began
        stdout, stderr = program.communicate(timeout=60)
        self.assertEqual(program.returncode, 0, stderr)
        document = load_document(stdout)
        [run] = document["runs"]
        # The window began after the warm-up and the program's start; its
        # second n ends n seconds in. Loose: a second either way.
        first_busy = int(busy_from - warmup) - 1
        last_busy = int(busy_to - warmup) + 2
        named = []
        for warning in document["warnings"]:
            if warning["kind"] != "noisy_seconds":
                continue
            found = re.match(r"the single run, seconds (\d+) to (\d+): (.*)", warning["text"])
            self.assertIsNotNone(found, warning["text"])
            named.append((int(found.group(1)), int(found.group(2)), found.group(3)))
        overlapping = [(a, b, cause) for a, b, cause in named
                       if min(b, last_busy) - max(a, first_busy) + 1 >= 3]
        self.assertTrue(overlapping, (named, busy_from, busy_to, stderr))
        self.assertTrue(any("other processes used" in cause for _, _, cause in overlapping),
                        overlapping)
        # The busy seconds' readings show the co-tenants on the run's CPU.
        middle = [s["noise"]["other_cpus_run"] for s in run["samples"]
                  if first_busy + 2 <= s["time"] <= last_busy - 2 and s["noise"]]
        self.assertTrue(middle)
        self.assertGreater(sorted(middle)[len(middle) // 2], 0.5, middle)
        # The window's figure and its seconds' agree on the same measure.
        weighted = [(s["noise"]["other_cpus"], s["duration"]) for s in run["samples"]
                    if s["noise"] and s["noise"]["other_cpus"] is not None]
        mean = sum(v * d for v, d in weighted) / sum(d for _, d in weighted)
        self.assertAlmostEqual(run["noise"]["other_cpus"], mean, delta=0.25)


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
