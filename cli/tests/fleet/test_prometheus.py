"""tarnwick --prom end to end: the text is read back by Debian's Prometheus
client parser and checked by promtool, and a real node_exporter (textfile
collector only, on 127.0.0.1, as an unprivileged user where the test runs as
root) serves the run's figures, even for a CPU model whose bytes are not
UTF-8. The exporter is stopped by its process id.

Usage: test_prometheus.py TARNWICK [Parser|Exporter]"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

TARNWICK = None
EXPORTER = shutil.which("prometheus-node-exporter") or shutil.which("node_exporter")
PROMTOOL = shutil.which("promtool")
# A CPU model the kernel passes on as the firmware spells it, bytes and all.
BAD_MODEL = b"Planted \xff\xfe CPU \xc3"

SHORT = ["--warmup", "0.1", "--measure", "0.6", "--quiet"]

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:  # the test is then skipped, not passed
    text_string_to_metric_families = None


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def run_tarnwick(*args, cpuinfo=None):
    command = [TARNWICK, *SHORT, *args]
    if cpuinfo is not None:
        # /proc/cpuinfo replaced in a private mount namespace of this run only.
        command = ["unshare", "-m", "sh", "-c", 'mount --bind "$0" /proc/cpuinfo && exec "$@"',
                   cpuinfo, *command]
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done


def planted_cpuinfo(folder):
    path = os.path.join(folder, "cpuinfo")
    with open("/proc/cpuinfo", "rb") as real:
        lines = real.read().splitlines(keepends=True)
    with open(path, "wb") as fake:
        for line in lines:
            if line.startswith(b"model name"):
                line = b"model name\t: " + BAD_MODEL + b"\n"
            fake.write(line)
    return path


def check_metrics(test, path):
    if PROMTOOL is None:
        test.fail("promtool missing (Debian's prometheus package)")
    with open(path, "rb") as metrics:
        checked = subprocess.run([PROMTOOL, "check", "metrics"], stdin=metrics,
                                 capture_output=True, text=True, timeout=60)
    test.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)


class Parser(unittest.TestCase):
    @unittest.skipIf(text_string_to_metric_families is None, "python3-prometheus-client missing")
    def test_every_metric_is_documented_and_parses(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "tarnwick.prom")
            run_tarnwick("--both", "--repeat", "2", "--prom", path)
            with open(path) as metrics:
                text = metrics.read()
            self.assertEqual(os.listdir(folder), ["tarnwick.prom"])  # no temporary left
            check_metrics(self, path)
        families = {f.name: f for f in text_string_to_metric_families(text)}
        for family in families.values():
            self.assertTrue(family.documentation, family.name)
            self.assertEqual(family.type, "gauge", family.name)
            for sample in family.samples:
                self.assertIsNone(sample.timestamp, family.name)
        info = families["tarnwick_info"].samples[0]
        self.assertEqual(set(info.labels), {"version", "cpu_model", "arch"})
        self.assertEqual(info.value, 1)
        stamp = families["tarnwick_run_timestamp_seconds"].samples[0].value
        self.assertLess(abs(stamp - time.time()), 600)
        rates = {(s.labels["label"], s.labels["workers"]): s.value
                 for s in families["tarnwick_steps_per_second"].samples}
        self.assertEqual(set(k[0] for k in rates), {"single", "all-cpus"})
        self.assertTrue(all(v > 0 for v in rates.values()))
        runs = [s.value for s in families["tarnwick_runs"].samples]
        self.assertEqual(runs, [2, 2])
        windows = [s.value for s in families["tarnwick_measured_seconds"].samples]
        self.assertTrue(all(0.3 < w < 5 for w in windows), windows)
        self.assertTrue(all(s.value == 0 for s in families["tarnwick_status"].samples))


class Exporter(unittest.TestCase):
    @unittest.skipIf(EXPORTER is None, "prometheus-node-exporter missing")
    def test_node_exporter_serves_the_run(self):
        folder = tempfile.mkdtemp(prefix="tarnwick-prom-")
        os.chmod(folder, 0o755)
        port = free_port()
        command = [EXPORTER, "--web.listen-address=127.0.0.1:%d" % port,
                   "--collector.disable-defaults", "--collector.textfile",
                   "--collector.textfile.directory=" + folder]
        if os.geteuid() == 0 and shutil.which("setpriv"):
            # As the exporter's own kind of user: the file must be readable by it.
            command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                       *command]
        log = open(os.path.join(folder, "exporter.log"), "w")
        exporter = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT)
        try:
            url = "http://127.0.0.1:%d/metrics" % port
            self.scrape(url, deadline=time.monotonic() + 20)
            run_tarnwick("--prom", os.path.join(folder, "tarnwick.prom"))
            body = self.scrape(url, deadline=time.monotonic() + 20)
            lines = body.splitlines()
            rate = [l for l in lines if l.startswith('tarnwick_steps_per_second{label="single"')]
            self.assertEqual(len(rate), 1, body[-2000:])
            self.assertGreater(float(rate[0].split()[-1]), 0)
            self.assertIn("node_textfile_scrape_error 0", lines)
            self.assertTrue(any(l.startswith("tarnwick_info{") for l in lines))
            self.assertTrue(any(l.startswith("tarnwick_run_timestamp_seconds ") for l in lines))
            check_metrics(self, os.path.join(folder, "tarnwick.prom"))
            if os.geteuid() == 0 and shutil.which("unshare"):
                # Bytes that are not UTF-8 become U+FFFD, as in the JSON
                # document, and the exporter keeps every series.
                done = run_tarnwick("--json", "--prom", os.path.join(folder, "tarnwick.prom"),
                                    cpuinfo=planted_cpuinfo(folder))
                model = json.loads(done.stdout)["host"]["cpu_model"]
                self.assertEqual(model, BAD_MODEL.decode(errors="replace"))
                check_metrics(self, os.path.join(folder, "tarnwick.prom"))
                body = self.scrape(url, deadline=time.monotonic() + 20)
                self.assertIn('cpu_model="%s"' % model, body)
                self.assertIn("node_textfile_scrape_error 0", body.splitlines())
                self.assertEqual(len([l for l in body.splitlines()
                                      if l.startswith("tarnwick_steps_per_second{")]), 1)
        finally:
            exporter.terminate()
            try:
                exporter.wait(timeout=10)
            except subprocess.TimeoutExpired:
                exporter.kill()
                exporter.wait(timeout=10)
            log.close()
            shutil.rmtree(folder)

    def scrape(self, url, deadline):
        while True:
            try:
                with urllib.request.urlopen(url, timeout=5) as answer:
                    return answer.read().decode()
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)


if __name__ == "__main__":
    TARNWICK = sys.argv.pop(1)
    unittest.main(verbosity=2)
