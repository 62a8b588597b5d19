"""Untrusted input, end to end: documents, files and histories made as an
attacker would, given to the real program (compare, report, history). Each
case must get a clear message, lose nothing, and neither crash nor block.

Usage: test_untrusted.py TARNWICK [unittest arguments]
"""
import json
import os
import resource
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BINARY = sys.argv.pop(1)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fleet"))
import fleet_documents  # noqa: E402

ESC = "\x1b"
SHORT = ["--warmup", "0.05", "--measure", "1.2", "--quiet"]


def good(host, serial, runs=1, samples=3):
    """A valid document of `runs` runs with fresh ids."""
    doc = fleet_documents.document(host, "2026-12-0%dT02:00:00Z" % (1 + serial % 9), 95000.0,
                                   samples=samples)
    base = doc["runs"][0]
    doc["runs"] = []
    for index in range(runs):
        run = dict(base, id="%016x%016x" % (serial, index), repetition=index + 1)
        doc["runs"].append(run)
    return doc


def line(doc):
    return json.dumps(doc, separators=(",", ":"))


def poisoned(mutate, serial=90):
    doc = good("node%02d" % serial, serial)
    mutate(doc)
    return doc


def run(args, timeout=60, **kwargs):
    if "input" not in kwargs:
        kwargs["stdin"] = subprocess.DEVNULL
    return subprocess.run([BINARY] + args, capture_output=True, timeout=timeout, **kwargs)


def files_of(directory):
    return {name: open(os.path.join(directory, name), "rb").read()
            for name in sorted(os.listdir(directory))}


def stored_ids(history):
    db = sqlite3.connect(history)
    try:
        return sorted(row[0] for row in db.execute("SELECT id FROM runs"))
    finally:
        db.close()


class Documents(unittest.TestCase):
    """Each bad document, planted in a log between good ones: import stores
    nothing and says why; report and compare read the good ones and list the
    bad one as left out."""

    CASES = [
        # name, the bad document's text, what the message must say
        ("deep nesting", '{"program":"tarnwick","x":' + "[" * 100000 + "]" * 100000 + "}",
         "nested deeper than 64 levels"),
        ("poisoned sample",
         line(poisoned(lambda d: d["runs"][0]["samples"][1].update(rate="fast"))),
         "runs[0].samples[1].rate: expected a number, got a string"),
        ("samples out of order",
         line(poisoned(lambda d: d["runs"][0]["samples"][1].update(time=0.5))),
         "runs[0].samples[1].time"),
        ("operations that do not add up",
         line(poisoned(lambda d: d["runs"][0].update(operations=1))),
         "but its samples' operations add up to"),
        ("an id of dashes", line(poisoned(lambda d: d["runs"][0].update(id="-" * 32))),
         "runs[0].id: '--------------------------------' is not a run id"),
        ("an id with escapes", line(poisoned(lambda d: d["runs"][0].update(id=ESC + "[2J"))),
         "runs[0].id: '\\x1B[2J' is not a run id"),
        ("a bogus timestamp",
         line(poisoned(lambda d: d["runs"][0].update(started="garbage"))),
         "runs[0].started: 'garbage' is not a UTC time"),
        ("a NUL line", "\0\0\0", "a NUL byte at line 2, column 1"),
        ("a negative rate", line(poisoned(lambda d: d["runs"][0].update(mean_rate=-5))),
         "runs[0].mean_rate: expected a number >= 0, got -5"),
        ("a label of escapes",
         line(poisoned(lambda d: d["runs"][0].update(label=ESC + "]0;owned" + "\a"))),
         "runs[0].label: expected single or all-cpus, got '\\x1B]0;owned\\x07'"),
        ("an unfinished line", line(good("node91", 91)).split('"runs"')[0],
         "unfinished: it ends at line 3, where the next document begins"),
    ]

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def log(self, bad):
        """A log: one good document, the bad one, one good one of 4 runs."""
        path = os.path.join(self.dir, "runs.jsonl")
        with open(path, "w", newline="") as out:
            out.write(line(good("node01", 1)) + "\n" + bad + "\n" + line(good("node02", 2, 4)) +
                      "\n")
        return path

    def test_a_bad_document_is_refused_whole_and_the_rest_is_read(self):
        for name, bad, message in self.CASES:
            with self.subTest(name):
                log = self.log(bad)
                history = os.path.join(self.dir, "new", "h.db")
                imported = run(["history", "--history", history, "--import", log])
                err = imported.stderr.decode()
                self.assertEqual(imported.returncode, 2, err)
                self.assertIn(message, err)
                self.assertIn("nothing was stored", err)
                self.assertNotIn(ESC, err)
                self.assertFalse(os.path.exists(os.path.dirname(history)),
                                 "a refused import created the history's folder")

                report = run(["report", "--json", log])
                self.assertEqual(report.returncode, 0, report.stderr.decode())
                result = json.loads(report.stdout)
                self.assertEqual(result["documents"], 2)
                reasons = [p["reason"] for p in result["left_out"]]
                self.assertTrue(any(message in r for r in reasons), reasons)

                compared = run(["compare", "--json", log, log])
                err = compared.stderr.decode()
                self.assertIn(message, err)
                self.assertNotIn(ESC, err)
                # compare A A: A with itself, each run once per side.
                if compared.returncode in (0, 3):
                    (side,) = json.loads(compared.stdout)["comparisons"]
                    self.assertEqual(side["base"]["completed_runs"], 5, side["base"])
                    self.assertEqual(side["new"]["completed_runs"], 5, side["new"])

    def test_a_log_imported_twice_stores_each_run_once(self):
        log = self.log(line(good("node03", 3, 2)))
        history = os.path.join(self.dir, "h.db")
        first = run(["history", "--history", history, "--import", log, log])
        self.assertEqual(first.returncode, 0, first.stderr.decode())
        self.assertIn(b"Imported 7 runs", first.stdout)
        self.assertIn(b"(7 already stored, skipped)", first.stdout)
        exported = run(["history", "--history", history, "--export"])
        again = os.path.join(self.dir, "again.db")
        second = run(["history", "--history", again, "--import", "-"], input=exported.stdout)
        self.assertEqual(second.returncode, 0, second.stderr.decode())
        self.assertEqual(stored_ids(again), stored_ids(history))


class Files(unittest.TestCase):
    """Inputs that are not files of documents: refused at once with a reason,
    the good inputs beside them still read, in bounded memory and time."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.good = os.path.join(self.dir, "good.json")
        fleet_documents.write(self.good, good("node01", 1))

    def tearDown(self):
        self.tmp.cleanup()

    def test_devices_fifos_and_huge_files(self):
        sparse = os.path.join(self.dir, "sparse.json")
        subprocess.run(["truncate", "-s", "100G", sparse], check=True)
        fifo = os.path.join(self.dir, "fifo.json")
        os.mkfifo(fifo)
        cases = [
            # name, input, message
            ("a sparse 100 GB file", sparse, "no further document within 256 MiB"),
            ("/dev/zero", "/dev/zero", "a character device, not a file of documents"),
            ("/dev/urandom", "/dev/urandom", "a character device, not a file of documents"),
            ("a FIFO without a writer", fifo, "a FIFO with no writer"),
        ]
        for name, path, message in cases:
            with self.subTest(name):
                usage = resource.getrusage(resource.RUSAGE_CHILDREN)
                before = usage.ru_maxrss
                # The work is bounded in CPU time, which a loaded machine does
                # not stretch as it stretches the wall clock: reading the
                # whole sparse file would take minutes of CPU, the 256 MiB
                # limit a few seconds. The timeout only catches a hang.
                cpu = usage.ru_utime + usage.ru_stime
                report = run(["report", "--json", self.good, path], timeout=300)
                usage = resource.getrusage(resource.RUSAGE_CHILDREN)
                self.assertLess(usage.ru_utime + usage.ru_stime - cpu, 30)
                self.assertEqual(report.returncode, 0, report.stderr.decode())
                result = json.loads(report.stdout)
                self.assertEqual(result["documents"], 1)
                reasons = " ".join(p["reason"] for p in result["left_out"])
                self.assertIn(message, reasons)
                after = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
                # The limit is 256 MiB a document; the process stays well under.
                self.assertLess(max(before, after), 400 * 1024)

                history = os.path.join(self.dir, "h.db")
                imported = run(["history", "--history", history, "--import", self.good, path])
                self.assertEqual(imported.returncode, 2)
                self.assertIn(message, imported.stderr.decode())
                self.assertFalse(os.path.exists(history))

                compared = run(["compare", self.good, path])
                self.assertEqual(compared.returncode, 2)
                self.assertIn(message, compared.stderr.decode())

    def test_a_fifo_with_a_writer_is_read(self):
        fifo = os.path.join(self.dir, "fifo.jsonl")
        os.mkfifo(fifo)
        text = (line(good("node05", 5, 2)) + "\n").encode()

        # A reader end held by the test lets the writer open without
        # blocking; the writer is then there before the program opens.
        holder = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        writer = os.open(fifo, os.O_WRONLY)
        history = os.path.join(self.dir, "h.db")
        importer = subprocess.Popen([BINARY, "history", "--history", history, "--import", fifo],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    stdin=subprocess.DEVNULL)
        time.sleep(0.3)  # a writer that is there but has not written yet
        os.close(holder)
        os.write(writer, text)
        os.close(writer)
        out, err = importer.communicate(timeout=30)
        self.assertEqual(importer.returncode, 0, err.decode())
        self.assertIn(b"Imported 2 runs", out)


class Histories(unittest.TestCase):
    """A history someone else made or changed: refused before any write,
    byte for byte unchanged."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = os.path.join(self.tmp.name, "store")
        os.makedirs(self.dir)
        self.history = os.path.join(self.dir, "h.db")
        self.docs = os.path.join(self.tmp.name, "docs.jsonl")
        with open(self.docs, "w") as out:
            for serial in range(3):
                out.write(line(good("node%02d" % serial, serial, 2)) + "\n")
        made = run(["history", "--history", self.history, "--import", self.docs])
        self.assertEqual(made.returncode, 0, made.stderr.decode())

    def tearDown(self):
        self.tmp.cleanup()

    def plant(self, statements):
        db = sqlite3.connect(self.history)
        db.executescript(statements)
        db.close()

    def test_planted_objects_are_refused(self):
        plants = [
            ("a trigger that doubles means",
             "CREATE TRIGGER t AFTER INSERT ON runs BEGIN "
             "UPDATE runs SET mean = mean * 2 WHERE key = new.key; END;", "trigger 't'"),
            ("a trigger that deletes everything",
             "CREATE TRIGGER d BEFORE DELETE ON runs BEGIN DELETE FROM samples; END;",
             "trigger 'd'"),
            ("a view", "CREATE VIEW v AS SELECT * FROM runs;", "view 'v'"),
            ("an index", "CREATE INDEX i ON runs(mean);", "index 'i'"),
            ("a table", "CREATE TABLE extra (x);", "table 'extra'"),
        ]
        other = os.path.join(self.tmp.name, "more.jsonl")
        with open(other, "w") as out:
            out.write(line(good("node09", 9, 2)) + "\n")
        pristine = files_of(self.dir)
        ids = stored_ids(self.history)
        for name, sql, what in plants:
            with self.subTest(name):
                self.plant(sql)
                planted = files_of(self.dir)
                for args in (["--import", other], ["--delete", ids[0]], []):
                    result = run(["history", "--history", self.history] + args)
                    err = result.stderr.decode()
                    self.assertEqual(result.returncode, 2, (args, err))
                    self.assertIn("not a tarnwick history or modified", err)
                    self.assertIn(what, err)
                    now = files_of(self.dir)
                    self.assertEqual(sorted(now), sorted(planted), args)
                    for file_name in now:
                        self.assertTrue(now[file_name] == planted[file_name], (args, file_name))
                # Back to the program's own schema for the next plant.
                for path in list(os.listdir(self.dir)):
                    os.remove(os.path.join(self.dir, path))
                for path, data in pristine.items():
                    with open(os.path.join(self.dir, path), "wb") as out:
                        out.write(data)

    def test_every_stored_run_can_be_deleted_and_a_symlink_is_followed_once(self):
        # A run stored by an older program under an id of dashes.
        self.plant("UPDATE runs SET id = '--------------------------------' "
                   "WHERE key = (SELECT min(key) FROM runs);")
        link = os.path.join(self.tmp.name, "link.db")
        os.symlink(self.history, link)
        removed = run(["history", "--history", link, "--delete", "-" * 32])
        self.assertEqual(removed.returncode, 0, removed.stderr.decode())
        self.assertEqual(len(stored_ids(self.history)), 5)
        self.assertFalse(os.path.exists(link + "-wal"))
        listing = run(["history", "--history", link, "--last", "100"])
        self.assertEqual(listing.returncode, 0)
        self.assertIn("5 of 5 stored runs", listing.stdout.decode())


class Import(unittest.TestCase):
    """A large import commits in short batches: a run saved meanwhile is
    stored, and the import's memory stays bounded."""

    def test_a_save_during_a_large_import_stores_its_run(self):
        with tempfile.TemporaryDirectory() as tmp:
            docs = os.path.join(tmp, "big.jsonl")
            with open(docs, "w") as out:
                for serial in range(6000):
                    out.write(line(good("node%02d" % (serial % 8), serial, 10, samples=2)) + "\n")
            history = os.path.join(tmp, "h.db")
            # The history exists first, so the save meets the import's lock.
            seed = os.path.join(tmp, "seed.json")
            fleet_documents.write(seed, good("seed", 999999))
            self.assertEqual(run(["history", "--history", history, "--import", seed]).returncode, 0)
            importer = subprocess.Popen([BINARY, "history", "--history", history, "--import",
                                         docs], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                # Wait until the import has stored some runs, then save one.
                deadline = time.monotonic() + 120
                while time.monotonic() < deadline and len(stored_ids(history)) < 1000:
                    time.sleep(0.1)
                saved = run(SHORT + ["--save", "--history", history], timeout=120)
                self.assertEqual(saved.returncode, 0, saved.stderr.decode())
                self.assertIsNone(importer.poll(), "the import ended before the save")
            finally:
                out, err = importer.communicate(timeout=300)
            self.assertEqual(importer.returncode, 0, err.decode())
            self.assertIn(b"Imported 60,000 runs", out)
            # The import's, the seed's and at least the saved run.
            self.assertGreaterEqual(len(stored_ids(history)), 60000 + 1 + 1)


def sanitized():
    return bool(os.environ.get("TARNWICK_SANITIZE"))


def limit_memory(megabytes):
    """A preexec_fn: the child gets at most `megabytes` of address space."""
    def apply():
        size = megabytes << 20
        resource.setrlimit(resource.RLIMIT_AS, (size, size))
    return apply


class Rules(unittest.TestCase):
    """The reading rules, through the real program: one reading of every
    document, Unicode text, judgeable runs, bounded memory, one set of
    figures a run, standard input from where it stands."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w", newline="") as out:
            out.write(text)
        return path

    def report(self, *paths):
        result = run(["report", "--json"] + list(paths))
        self.assertIn(result.returncode, (0, 2), result.stderr.decode())
        if result.returncode == 2 and not result.stdout:
            return {"documents": 0, "hosts": [], "left_out": []}
        return json.loads(result.stdout)

    def test_every_document_is_read_once_as_the_parser_sees_it(self):
        nested = good("node01", 1)
        nested["extra"] = {"inner": {"host": "ghost"}}
        # The unknown key's object starts a line with '{', as a document would.
        text = json.dumps(nested, indent=2).replace('"extra": {\n', '"extra":\n{')
        self.assertIn("\n{", text)
        first = self.write("nested.json", text + "\n" + line(good("node02", 2)) + "\n")
        # Python's indent=0: every inner object starts a line with '{'.
        second = self.write("indent0.json", json.dumps(good("node03", 3), indent=0) + "\n" +
                            json.dumps(good("node04", 4), indent=0) + "\n")
        result = self.report(first, second)
        self.assertEqual(result["left_out"], [])
        self.assertEqual(sorted(h["host"] for h in result["hosts"]),
                         ["node01", "node02", "node03", "node04"])
        history = os.path.join(self.dir, "h.db")
        imported = run(["history", "--history", history, "--import", first, second])
        self.assertEqual(imported.returncode, 0, imported.stderr.decode())
        self.assertEqual(len(stored_ids(history)), 4)

        # Cut short where a value was due: the parser takes the next line's
        # document for that value; reading goes back to that line.
        cut = line(good("node05", 5))
        cut = cut[:cut.index('"samples":[') + len('"samples":[')]
        log = self.write("cut.jsonl", cut + "\n" + line(good("node06", 6)) + "\n" +
                         line(good("node07", 7)) + "\n")
        result = self.report(log)
        self.assertEqual(sorted(h["host"] for h in result["hosts"]), ["node06", "node07"])
        self.assertEqual(len(result["left_out"]), 1, result["left_out"])
        self.assertIn("unfinished: line 2 begins with '{'", result["left_out"][0]["reason"])

    def test_text_is_unicode_on_every_path(self):
        cases = {"hostname": lambda d: d["environment"].update(hostname="\udc00node"),
                 "unknown key": lambda d: d.update(note="a\udfffb"),
                 "key": lambda d: d["environment"].update({"\udc80": 1})}
        for name, mutate in cases.items():
            with self.subTest(name):
                bad = self.write("bad.json", line(poisoned(mutate)))
                result = self.report(bad)
                self.assertEqual(result["documents"], 0)
                self.assertIn("a lone surrogate", result["left_out"][0]["reason"])
                history = os.path.join(self.dir, "h.db")
                imported = run(["history", "--history", history, "--import", bad])
                self.assertEqual(imported.returncode, 2)
                self.assertIn("a lone surrogate", imported.stderr.decode())
                self.assertFalse(os.path.exists(history))
        # A pair is one character, and reads.
        fine = self.write("fine.json", line(poisoned(
            lambda d: d["environment"].update(hostname="node\U0001F600"))))
        with open(fine) as text:
            self.assertIn("\\ud83d\\ude00", text.read())
        self.assertEqual(self.report(fine)["documents"], 1)
        # The pending file is read by the same rules: left as it is, said why.
        history = os.path.join(self.dir, "p.db")
        saved = run(["history", "--history", history, "--import", fine])
        self.assertEqual(saved.returncode, 0, saved.stderr.decode())
        pending = self.write("p.db.pending", line(poisoned(cases["hostname"], 77)) + "\n")
        again = run(["history", "--history", history, "--import",
                     self.write("more.json", line(good("node08", 8)))])
        self.assertEqual(again.returncode, 0, again.stderr.decode())
        self.assertIn("a lone surrogate", again.stderr.decode())
        self.assertTrue(os.path.exists(pending))
        self.assertEqual(len(stored_ids(history)), 2)

    def test_a_run_that_cannot_be_judged_is_not_read(self):
        cases = [
            ("zero", lambda r: r.update(mean_rate=0), "outside the plausible range"),
            ("negative zero", lambda r: r.update(mean_rate=-0.0), "outside the plausible range"),
            ("subnormal", lambda r: r.update(mean_rate=5e-324), "outside the plausible range"),
            ("tiny", lambda r: r.update(mean_rate=1e-300), "outside the plausible range"),
            ("huge", lambda r: r.update(mean_rate=1e308), "outside the plausible range"),
            ("null", lambda r: r.update(mean_rate=None), "a completed run has a mean rate"),
            ("far future", lambda r: r.update(started="2099-01-01T00:00:00Z"),
             "more than a day after"),
        ]
        for name, mutate, message in cases:
            with self.subTest(name):
                bad = self.write("bad.json", line(poisoned(lambda d: mutate(d["runs"][0]))))
                history = os.path.join(self.dir, "h.db")
                imported = run(["history", "--history", history, "--import", bad])
                self.assertEqual(imported.returncode, 2)
                self.assertIn("runs[0]." + ("started" if name == "far future" else "mean_rate"),
                              imported.stderr.decode())
                self.assertIn(message, imported.stderr.decode())
                self.assertFalse(os.path.exists(history))
                result = self.report(bad)
                self.assertEqual(result["documents"], 0)
                self.assertIn(message, result["left_out"][0]["reason"])
        # The bounds themselves and a day ahead are fine.
        for rate in (1e-3, 1e15):
            ok = self.write("ok.json", line(poisoned(
                lambda d: d["runs"][0].update(mean_rate=rate))))
            self.assertEqual(self.report(ok)["documents"], 1, rate)

    def test_one_run_has_one_set_of_figures(self):
        slow = good("node12", 12)
        slow["runs"][0]["mean_rate"] = 54765.0
        fast = json.loads(json.dumps(slow))
        fast["runs"][0]["mean_rate"] = 164295.0
        a = self.write("a.json", line(slow))
        b = self.write("b.json", line(fast))
        c = self.write("c.json", line(good("node13", 13)))
        run_id = slow["runs"][0]["id"]
        for order in ([a, b, c], [b, a, c], [c, a, b, a]):
            with self.subTest(order=[os.path.basename(p) for p in order]):
                result = self.report(*order)
                self.assertEqual([h["host"] for h in result["hosts"]], ["node13"])
                reasons = " ".join(p["reason"] for p in result["left_out"])
                self.assertIn("run " + run_id, reasons)
                self.assertIn("mean_rate", reasons)
        # The same document twice is one run, not a conflict.
        self.assertEqual([h["host"] for h in self.report(a, a)["hosts"]], ["node12"])
        # compare: on one side or across both, the run is left out and named.
        both = self.write("both.jsonl", line(slow) + "\n" + line(good("node14", 14)) + "\n")
        compared = run(["compare", "--json", both, b])
        self.assertIn("run " + run_id, compared.stderr.decode())
        # import: refused whole, naming the id.
        history = os.path.join(self.dir, "h.db")
        imported = run(["history", "--history", history, "--import", c, a, b])
        self.assertEqual(imported.returncode, 2)
        self.assertIn(run_id, imported.stderr.decode())
        self.assertIn("nothing was stored", imported.stderr.decode())
        self.assertFalse(os.path.exists(history))

    def test_standard_input_is_read_from_where_it_stands(self):
        log = self.write("two.jsonl", line(good("node15", 15)) + "\n" +
                         line(good("node16", 16)) + "\n")
        history = os.path.join(self.dir, "h.db")
        script = '{ read -r _; "$0" history --history "$1" --import -; } < "$2"'
        imported = subprocess.run(["sh", "-c", script, BINARY, history, log],
                                  capture_output=True, timeout=60)
        self.assertEqual(imported.returncode, 0, imported.stderr.decode())
        self.assertIn(b"Imported 1 run ", imported.stdout)
        self.assertEqual(stored_ids(history), ["%016x%016x" % (16, 0)])

    def test_memory_is_bounded_whatever_the_shape_of_the_input(self):
        # Many tiny documents: a few lines of messages, bounded memory.
        tiny = self.write("tiny.jsonl", "{}\n" * 1_000_000)
        good_one = self.write("good.json", line(good("node20", 20)))
        kwargs = {} if sanitized() else {"preexec_fn": limit_memory(1024)}
        for command in (["report", "--json", good_one, tiny], ["compare", good_one, tiny]):
            with self.subTest(command[0]):
                result = subprocess.run([BINARY] + command, capture_output=True, timeout=300,
                                        stdin=subprocess.DEVNULL, **kwargs)
                self.assertLess(len(result.stderr), 64 * 1024)
                if command[0] == "report":
                    self.assertEqual(result.returncode, 0, result.stderr.decode())
                    report = json.loads(result.stdout)
                    self.assertEqual(report["documents"], 1)
                    self.assertEqual(len(report["left_out"]), 100)
                    self.assertEqual(report["left_out_unlisted"], 999900)
                else:
                    self.assertIn("999900 more left out (only the first 100",
                                  result.stderr.decode())
        # Free text beyond a kilobyte is no host name.
        long_host = self.write("long.json", line(poisoned(
            lambda d: d["environment"].update(hostname="n" * 1025))))
        self.assertIn("more than the 1024 a text may have",
                      self.report(long_host)["left_out"][0]["reason"])
        # A string too long for any document stops at its limit, and the
        # next document is still read.
        huge = self.write("huge.jsonl", '{"program": "tarnwick", "x": "' + "y" * (3 << 20) +
                          '"}\n' + line(good("node21", 21)) + "\n")
        result = self.report(huge)
        self.assertEqual([h["host"] for h in result["hosts"]], ["node21"])
        self.assertIn("longer than 1 MiB", result["left_out"][0]["reason"])
        # A pending file that is a device is refused, not read until memory runs out.
        history = os.path.join(self.dir, "h.db")
        self.assertEqual(run(["history", "--history", history, "--import", good_one]).returncode, 0)
        os.symlink("/dev/zero", history + ".pending")
        more = self.write("more.json", line(good("node22", 22)))
        again = subprocess.run([BINARY, "history", "--history", history, "--import", more],
                               capture_output=True, timeout=60, stdin=subprocess.DEVNULL, **kwargs)
        err = again.stderr.decode()
        self.assertTrue(any(why in err for why in ("a symbolic link", "a device",
                                                   "not a regular file")), err)


if __name__ == "__main__":
    unittest.main()
