"""examples/slurm/tarnwick.sbatch end to end on a one-node Slurm cluster that
the test starts in a temporary folder: munged, slurmctld and slurmd on
127.0.0.1 with non-default ports, every file of theirs in the folder. A job
array of three short runs, then the dependent report; every daemon is
stopped by its process id and nothing outside the folder is changed.

Usage: test_slurm.py TARNWICK SBATCH_SCRIPT"""
import glob
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

TARNWICK = SCRIPT = None
DAEMONS = ("munged", "mungekey", "slurmctld", "slurmd", "sbatch", "squeue", "sinfo", "srun")
MISSING = [name for name in DAEMONS if not shutil.which(name, path=os.environ["PATH"] +
                                                        ":/usr/sbin:/sbin")]
# Where the packages keep their state by default: none of it may change.
WATCHED = ("/var/spool/slurmd", "/var/spool/slurmctld", "/var/lib/slurm", "/var/log/slurm",
           "/run/munge", "/var/lib/munge", "/var/log/munge", "/run/slurm", "/etc/slurm")


def snapshot():
    state = {}
    for root in WATCHED:
        for folder, _, files in os.walk(root):
            for name in [None, *files]:
                path = folder if name is None else os.path.join(folder, name)
                try:
                    info = os.lstat(path)
                except OSError:
                    continue
                state[path] = (info.st_mtime_ns, info.st_size)
    return state


def free_ports(count):
    sockets = [socket.socket() for _ in range(count)]
    for probe in sockets:
        probe.bind(("127.0.0.1", 0))
    ports = [probe.getsockname()[1] for probe in sockets]
    for probe in sockets:
        probe.close()
    return ports


@unittest.skipIf(os.geteuid() != 0, "the daemons run as root here")
@unittest.skipIf(MISSING, "missing: %s (slurm-wlm, munge)" % ", ".join(MISSING))
class Slurm(unittest.TestCase):
    def setUp(self):
        self.before = snapshot()
        self.failed = True  # until the test says otherwise: then the logs are shown
        self.dir = tempfile.mkdtemp(prefix="tarnwick-slurm-")
        self.daemons = []
        self.env = dict(os.environ, SLURM_CONF=self.path("slurm.conf"),
                        TARNWICK=TARNWICK, TARNWICK_ARGS="--warmup 0.1 --measure 0.5")
        for name in ("state", "spool", "results"):
            os.mkdir(self.path(name))

    def tearDown(self):
        for daemon in reversed(self.daemons):
            daemon.terminate()
            try:
                daemon.wait(timeout=15)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait(timeout=15)
        for log in glob.glob(self.path("*.log")):
            if self.failed:
                with open(log, errors="replace") as text:
                    sys.stderr.write("== %s\n%s\n" % (log, text.read()[-3000:]))
        shutil.rmtree(self.dir)
        self.assertEqual(snapshot(), self.before, "the daemons changed files outside the test")

    def path(self, name):
        return os.path.join(self.dir, name)

    def start(self, *command):
        log = open(self.path(os.path.basename(command[0]) + ".out"), "w")
        self.daemons.append(subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT,
                                             env=self.env, cwd=self.dir))
        log.close()

    def wait_for(self, what, check, seconds=60):
        deadline = time.monotonic() + seconds
        while not check():
            for daemon in self.daemons:
                self.assertIsNone(daemon.poll(), "%s ended early" % daemon.args[0])
            self.assertLess(time.monotonic(), deadline, "timed out waiting for " + what)
            time.sleep(0.5)

    def slurm(self, *command):
        return subprocess.run(command, capture_output=True, text=True, env=self.env,
                              timeout=60, cwd=self.dir)

    def test_job_array_and_dependent_report(self):
        subprocess.run(["mungekey", "--create", "--keyfile", self.path("munge.key")],
                       check=True, timeout=30)
        self.start("munged", "--foreground", "--force", "--socket", self.path("munge.socket"),
                   "--key-file", self.path("munge.key"), "--pid-file", self.path("munged.pid"),
                   "--log-file", self.path("munged.log"), "--seed-file", self.path("munged.seed"))
        self.wait_for("munged", lambda: os.path.exists(self.path("munge.socket")))

        controller, node = free_ports(2)
        cpus = os.cpu_count()
        with open(self.path("slurm.conf"), "w") as conf:
            conf.write("\n".join([
                "ClusterName=tarnwicktest",
                "SlurmctldHost=localhost(127.0.0.1)",
                "SlurmctldPort=%d" % controller, "SlurmdPort=%d" % node,
                "SlurmUser=root", "SlurmdUser=root",
                "AuthType=auth/munge", "CredType=cred/munge",
                "AuthInfo=socket=" + self.path("munge.socket"),
                "StateSaveLocation=" + self.path("state"),
                "SlurmdSpoolDir=" + self.path("spool"),
                "SlurmctldPidFile=" + self.path("slurmctld.pid"),
                "SlurmdPidFile=" + self.path("slurmd.pid"),
                "SlurmctldLogFile=" + self.path("slurmctld.log"),
                "SlurmdLogFile=" + self.path("slurmd.log"),
                "ProctrackType=proctrack/linuxproc", "TaskPlugin=task/none",
                "SelectType=select/cons_tres", "SchedulerType=sched/backfill",
                "MpiDefault=none", "ReturnToService=2",
                "JobCompType=jobcomp/none", "AccountingStorageType=accounting_storage/none",
                "JobAcctGatherType=jobacct_gather/none",
                "NodeName=tarnwick0 NodeAddr=127.0.0.1 NodeHostname=127.0.0.1 CPUs=%d "
                "RealMemory=500 State=UNKNOWN" % cpus,
                "PartitionName=test Nodes=tarnwick0 Default=YES MaxTime=10 State=UP", ""]))
        self.start("slurmctld", "-D", "-i", "-f", self.path("slurm.conf"))
        self.start("slurmd", "-D", "-N", "tarnwick0", "-f", self.path("slurm.conf"))
        self.wait_for("the node", lambda: self.slurm(
            "sinfo", "-h", "-N", "-o", "%T").stdout.strip() == "idle")

        results = self.path("results")
        submitted = self.slurm("sbatch", "--parsable", "--array=1-3",
                               "--output=" + self.path("task-%A_%a.log"), SCRIPT, results)
        self.assertEqual(submitted.returncode, 0, submitted.stderr)
        job = submitted.stdout.strip().split(";")[0]
        # The array, then the report it submitted, until the queue is empty.
        self.wait_for("the jobs", lambda: os.path.exists(
            os.path.join(results, "report-%s.txt" % job)) and not self.slurm(
            "squeue", "-h").stdout.strip(), seconds=240)

        host = socket.gethostname().split(".")[0]
        names = sorted(os.path.basename(p) for p in glob.glob(os.path.join(results, "*.json")))
        self.assertEqual(names, ["%s-%s-%d.json" % (host, job, task) for task in (1, 2, 3)])
        for name in names:
            with open(os.path.join(results, name)) as document:
                result = json.load(document)
            self.assertEqual(result["status"], "completed")
            self.assertEqual(result["runs"][0]["label"], "all-cpus")
        with open(os.path.join(results, "report-%s.txt" % job)) as report:
            text = report.read()
        self.assertIn("tarnwick report: 1 host, 3 documents", text)
        with open(os.path.join(results, "report-%s.csv" % job)) as table:
            rows = table.read().splitlines()
        self.assertEqual(len(rows), 2)
        self.assertTrue(rows[1].startswith(host + ","))
        self.failed = False


if __name__ == "__main__":
    TARNWICK, SCRIPT = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main(verbosity=2)
