#!/usr/bin/python3
"""End-to-end tests of the run history: the real program, real SQLite files,
real processes. Usage: test_history.py PATH_TO_TARNWICK [TestCaseName ...]

The cases that need root (an unprivileged user through setpriv, a full
tmpfs in a private mount namespace) skip themselves without it.
"""

import json
import re
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import stat
import threading
import time
import unittest
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import planted_histories as planted  # noqa: E402
import validate_json  # noqa: E402

BINARY = ""
SHORT = ["--warmup", "0.05", "--measure", "1.2", "--quiet"]
_DOCUMENT = None


def run(args, env=None, timeout=120, prefix=()):
    return subprocess.run(list(prefix) + [BINARY] + args, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=timeout, env=env)


def real_document():
    """One document of a real two-run session (single, then all CPUs)."""
    global _DOCUMENT
    if _DOCUMENT is None:
        result = run(SHORT + ["--both", "--json"])
        assert result.returncode == 0, result.stderr
        _DOCUMENT = json.loads(result.stdout)
    return json.loads(json.dumps(_DOCUMENT))


def fresh_copy(document):
    """The document with new run ids, as another session would have."""
    for stored in document["runs"]:
        stored["id"] = uuid.uuid4().hex
    document["warnings"] = []
    return document


def as_0_0_2(document):
    """The document as version 0.0.2 wrote it: no schema_version, no
    environment, no run ids or times."""
    old = {key: value for key, value in document.items()
           if key not in ("schema_version", "environment", "repetitions", "scalings")}
    old["runs"] = [{key: value for key, value in stored.items()
                    if key not in ("id", "repetition", "started", "ended", "noise")}
                   for stored in document["runs"]]
    old["warnings"] = []
    return old


def listing(history, *args):
    result = run(["history", "--history", history, "--json"] + list(args))
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    errors = validate_json.check(document, "history")
    assert not errors, errors
    return document


def snapshot(directory):
    files = {}
    for name in sorted(os.listdir(directory)):
        with open(os.path.join(directory, name), "rb") as handle:
            files[name] = handle.read()
    return files


class TempDirTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarnwick-history-")
        os.chmod(self.dir, 0o755)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def write_json(self, name, document):
        with open(self.path(name), "w") as handle:
            json.dump(document, handle, indent=2)
        return self.path(name)

    def holding_a_document(self, history):
        """Imports a fresh document into `history`, its folder made as needed;
        returns the document's file."""
        os.makedirs(os.path.dirname(history), exist_ok=True)
        document = self.write_json("doc.json", fresh_copy(real_document()))
        imported = run(["history", "--history", history, "--import", document])
        self.assertEqual(imported.returncode, 0, imported.stderr)
        return document


class Store(TempDirTest):
    def test_save_import_export_delete(self):
        history = self.path("data", "history.db")
        env = dict(os.environ, TARNWICK_HISTORY=history)
        saved = run(SHORT + ["--save", "--json"], env=env)
        self.assertEqual(saved.returncode, 0, saved.stderr)
        saved_id = json.loads(saved.stdout)["runs"][0]["id"]

        first = self.write_json("first.json", fresh_copy(real_document()))
        old = self.write_json("old.json", as_0_0_2(real_document()))
        imported = run(["history", "--history", history, "--import", first, old])
        self.assertEqual(imported.returncode, 0, imported.stderr)
        self.assertIn("Imported 4 runs", imported.stdout)
        # The same files again: every run is known by its id, the 0.0.2 ones
        # by their content.
        again = run(["history", "--history", history, "--import", first, old])
        self.assertIn("Imported 0 runs", again.stdout)
        self.assertIn("4 already stored", again.stdout)
        # The same 0.0.2 runs with their numbers written another way are
        # the same runs.
        with open(old) as text:
            restyled = re.sub(r'"measured_seconds": ([0-9.]+)',
                              lambda m: '"measured_seconds": %re0' % float(m.group(1)), text.read())
        with open(self.path("restyled.json"), "w") as text:
            text.write(restyled)
        again = run(["history", "--history", history, "--import", self.path("restyled.json")])
        self.assertIn("Imported 0 runs", again.stdout, again.stderr)

        everything = listing(history)
        self.assertEqual(everything["total_runs"], 5)
        starts = [stored["started"] for stored in everything["runs"]]
        self.assertEqual(starts, sorted(starts))  # oldest first
        self.assertIn(saved_id, [stored["id"] for stored in everything["runs"]])
        self.assertEqual(listing(history, "--label", "all-cpus", "--last", "1")["total_runs"], 2)
        self.assertEqual(len(listing(history, "--label", "all-cpus", "--last", "1")["runs"]), 1)
        text = run(["history", "--history", history])
        self.assertEqual(text.returncode, 0, text.stderr)
        self.assertTrue(all(len(line) <= 80 for line in text.stdout.splitlines()[1:]),
                        text.stdout)

        # Export, import elsewhere, export again: the same lines; the
        # schema-1 lines are valid result documents.
        exported = run(["history", "--history", history, "--export"])
        self.assertEqual(exported.returncode, 0, exported.stderr)
        lines = exported.stdout.splitlines()
        self.assertEqual(len(lines), 3)
        current = [json.loads(line) for line in lines if '"schema_version"' in line]
        self.assertEqual(validate_json.check(current, "result"), [])
        export_file = self.path("export.jsonl")
        self.assertEqual(run(["history", "--history", history, "--export", export_file])
                         .returncode, 0)
        copy = self.path("copy.db")
        self.assertEqual(run(["history", "--history", copy, "--import", export_file])
                         .returncode, 0)
        self.assertEqual(run(["history", "--history", copy, "--export"]).stdout,
                         exported.stdout)
        # A standard output that cannot take the export fails in one line.
        with open("/dev/full", "w") as full:
            unwritten = subprocess.run([BINARY, "history", "--history", history, "--export"],
                                       stdout=full, stderr=subprocess.PIPE, text=True,
                                       stdin=subprocess.DEVNULL, timeout=120)
        self.assertEqual(unwritten.returncode, 2)
        self.assertEqual(unwritten.stderr,
                         "tarnwick: cannot write standard output: No space left on device\n")

        # No output may land on the history itself.
        with open(history, "rb") as before:
            stored = before.read()
        clash = run(SHORT + ["--save", "--csv", history], env=env)
        self.assertEqual(clash.returncode, 64, clash.stderr)
        self.assertEqual(run(["history", "--history", history, "--export", history]).returncode, 64)
        with open(history, "rb") as after:
            self.assertEqual(after.read(), stored)

        removed = run(["history", "--history", history, "--delete", saved_id[:8]])
        self.assertEqual(removed.returncode, 0, removed.stderr)
        self.assertEqual(listing(history)["total_runs"], 4)
        unknown = run(["history", "--history", history, "--delete", "0123456789abcdef"])
        self.assertEqual(unknown.returncode, 2)
        self.assertIn("no stored run", unknown.stderr)

    def test_an_import_that_gives_stored_runs_other_figures_is_refused(self):
        # One run, one set of figures: a document giving a stored run id
        # other figures refuses the whole import, the history's files left
        # byte for byte; the same runs in any layout, or exported, are no-ops.
        folder = self.path("store")
        os.makedirs(folder)
        history = os.path.join(folder, "history.db")
        stored = fresh_copy(real_document())
        first = self.write_json("first.json", stored)
        imported = run(["history", "--history", history, "--import", first])
        self.assertEqual(imported.returncode, 0, imported.stderr)
        export = self.path("export.jsonl")
        self.assertEqual(run(["history", "--history", history, "--export", export]).returncode, 0)
        before = snapshot(folder)

        def sample_changed(document):
            document["runs"][1]["samples"][0]["rate"] *= 1.01

        def rate_changed(document):
            document["runs"][1]["mean_rate"] *= 1.5

        def host_changed(document):
            document["environment"]["hostname"] = "elsewhere"

        for change, field, run_index in ((rate_changed, "mean_rate", 1),
                                         (sample_changed, "the samples", 1),
                                         (host_changed, "hostname", 0)):
            other = json.loads(json.dumps(stored))
            change(other)
            changed = self.write_json("changed.json", other)
            fresh = self.write_json("fresh.json", fresh_copy(real_document()))
            refused = run(["history", "--history", history, "--import", fresh, changed])
            self.assertEqual(refused.returncode, 2, (field, refused.stderr))
            run_id = stored["runs"][run_index]["id"]
            self.assertIn("left out: run %s: '%s' gives it other figures than the history holds (%s"
                          % (run_id, changed, field), refused.stderr)
            self.assertIn("nothing was stored", refused.stderr)
            self.assertEqual(snapshot(folder), before, field)

        # The same runs compact, pretty-printed, or as the history exported them.
        with open(self.path("compact.jsonl"), "w") as handle:
            handle.write(json.dumps(stored) + "\n")
        again = run(["history", "--history", history, "--import", self.path("compact.jsonl"),
                     first, export])
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertIn("Imported 0 runs", again.stdout)
        self.assertIn("6 already stored", again.stdout)
        self.assertEqual(listing(history)["total_runs"], 2)

    def test_old_runs_are_stored_once_whatever_the_round_trip(self):
        """A 0.0.2 document imported, exported and imported again, written
        another way, or as the previous release exported it: each run once."""
        history = self.path("history.db")
        document = as_0_0_2(real_document())
        document["runs"][0]["cv_percent"] = -0.0
        document["runs"][0]["unknown"] = {"nested": [1, 2.5, None, "x"]}
        old = self.write_json("old.json", document)

        def ids():
            return sorted(stored["id"] for stored in listing(history, "--last", "100")["runs"])

        def imported(path):
            result = run(["history", "--history", history, "--import", path])
            self.assertEqual(result.returncode, 0, result.stderr)
            return result.stdout

        self.assertIn("Imported 2 runs", imported(old))
        first = ids()
        self.assertTrue(all(len(i) == 33 and i.startswith("h") for i in first), first)
        export = self.path("export.jsonl")
        self.assertEqual(run(["history", "--history", history, "--export", export]).returncode, 0)
        self.assertIn("Imported 0 runs", imported(export))

        # Every fraction in another text of the same double, in its export too.
        def restyled(value):
            if isinstance(value, float):
                return "FRACTION(%.17e)" % value
            if isinstance(value, dict):
                return {key: restyled(item) for key, item in value.items()}
            if isinstance(value, list):
                return [restyled(item) for item in value]
            return value
        text = re.sub(r'"FRACTION\(([^)]*)\)"', r"\1", json.dumps(restyled(document)))
        self.assertNotEqual(json.loads(text), None)
        self.assertIn("e+", text)
        with open(self.path("restyled.json"), "w") as handle:
            handle.write(text)
        self.assertIn("Imported 0 runs", imported(self.path("restyled.json")))
        other = self.path("other.db")
        self.assertEqual(run(["history", "--history", other, "--import",
                              self.path("restyled.json")]).returncode, 0)
        self.assertEqual(run(["history", "--history", other, "--export", export]).returncode, 0)
        self.assertIn("Imported 0 runs", imported(export))
        self.assertEqual(ids(), first)

        # A value changed is another run.
        document["runs"][0]["cv_percent"] = 0.0
        self.assertIn("Imported 1 run ", imported(self.write_json("zero.json", document)))

    def test_deleted_runs_stay_deleted_until_undeleted(self):
        history = self.path("history.db")
        document = fresh_copy(real_document())
        ids = [stored["id"] for stored in document["runs"]]
        path = self.write_json("doc.json", document)
        self.assertEqual(run(["history", "--history", history, "--import", path]).returncode, 0)
        removed = run(["history", "--history", history, "--delete", ids[0][:8]])
        self.assertEqual(removed.returncode, 0, removed.stderr)
        # The same document again, and its export: the deleted run stays out.
        again = run(["history", "--history", history, "--import", path])
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertIn("Imported 0 runs", again.stdout)
        self.assertIn("Left out 1 run deleted from this history before", again.stdout)
        self.assertEqual([r["id"] for r in listing(history)["runs"]], ids[1:])
        for bad, message in (([ids[1]], "no deleted run has the id"),
                             (["zz"], "no deleted run"), (["a*"], "is not a run id")):
            refused = run(["history", "--history", history, "--undelete"] + bad)
            self.assertEqual(refused.returncode, 2, bad)
            self.assertIn(message, refused.stderr)
        restored = run(["history", "--history", history, "--undelete", ids[0]])
        self.assertEqual(restored.returncode, 0, restored.stderr)
        self.assertIn("1 deleted run", restored.stdout)
        again = run(["history", "--history", history, "--import", path])
        self.assertIn("Imported 1 run", again.stdout)
        self.assertEqual(listing(history)["total_runs"], 2)

    def test_a_version_1_history_is_migrated_and_keeps_its_runs(self):
        history = self.path("history.db")
        path = self.holding_a_document(history)
        # The file as version 1 left it: no table of deleted runs.
        planted.as_version_1(history)
        self.assertEqual(listing(history)["total_runs"], 2)  # read as it is
        connection = sqlite3.connect(history)
        self.assertEqual(connection.execute("PRAGMA user_version").fetchone()[0], 1)
        connection.close()
        first = listing(history)["runs"][0]["id"]
        self.assertEqual(run(["history", "--history", history, "--delete", first]).returncode, 0)
        connection = sqlite3.connect(history)
        self.assertEqual(connection.execute("PRAGMA user_version").fetchone()[0], 3)
        self.assertEqual(connection.execute("SELECT count(*) FROM deleted").fetchone()[0], 1)
        connection.close()
        self.assertIn("Left out 1 run", run(["history", "--history", history, "--import",
                                             path]).stdout)

    def test_a_save_that_meets_a_locked_history_waits_pending(self):
        history = self.path("data", "history.db")
        path = self.holding_a_document(history)
        env = dict(os.environ, TARNWICK_HISTORY_WAIT_MS="300",
                   XDG_STATE_HOME=self.path("state"))
        holder = sqlite3.connect(history, isolation_level=None)
        holder.execute("BEGIN EXCLUSIVE")
        try:
            saved = run(SHORT + ["--save", "--json", "--history", history], env=env)
        finally:
            holder.execute("ROLLBACK")
            holder.close()
        self.assertEqual(saved.returncode, 0, saved.stderr)
        self.assertIn("stayed locked by another process for 300 ms", saved.stderr)
        pending = history + ".pending"
        self.assertIn(f"the run is kept in '{pending}'", saved.stderr)
        saved_id = json.loads(saved.stdout)["runs"][0]["id"]
        with open(pending) as handle:
            self.assertEqual(json.loads(handle.read())["runs"][0]["id"], saved_id)
        self.assertEqual(listing(history)["total_runs"], 2)  # reading stores nothing
        listed = run(["history", "--history", history], env=env)
        self.assertIn(f"1 document of runs that --save could not store wait in '{pending}'",
                      listed.stderr)
        # The next command that writes the history stores it.
        again = run(["history", "--history", history, "--import", path], env=env)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertIn(f"stored 1 pending run from '{pending}'", again.stderr)
        self.assertFalse(os.path.exists(pending))
        self.assertIn(saved_id, [stored["id"] for stored in listing(history)["runs"]])

    def test_a_large_export_streams_and_reads_back(self):
        # Over a mebibyte of lines: written in several chunks.
        history = self.path("history.db")
        base = real_document()
        documents = self.path("many.jsonl")
        with open(documents, "w") as handle:
            for _ in range(400):
                handle.write(json.dumps(fresh_copy(json.loads(json.dumps(base)))) + "\n")
        imported = run(["history", "--history", history, "--import", documents])
        self.assertEqual(imported.returncode, 0, imported.stderr)
        exported = run(["history", "--history", history, "--export"])
        self.assertEqual(exported.returncode, 0, exported.stderr)
        self.assertGreater(len(exported.stdout), 1 << 20)
        target = self.path("export.jsonl")
        with open(target, "w") as handle:
            handle.write("old contents\n")
        self.assertEqual(run(["history", "--history", history, "--export", target]).returncode, 0)
        with open(target) as handle:
            self.assertEqual(handle.read(), exported.stdout)
        self.assertEqual([name for name in os.listdir(self.dir) if name.startswith(".")], [])

    def test_processes_saving_at_once_lose_nothing(self):
        # Two streams of separate processes import into one new file at the
        # same time, each process creating or opening it on its own.
        history = self.path("new", "history.db")
        documents = [self.write_json(f"d{index}.json", fresh_copy(real_document()))
                     for index in range(16)]
        failures = []

        def import_each(paths):
            for path in paths:
                result = run(["history", "--history", history, "--import", path])
                if result.returncode != 0:
                    failures.append(result.stderr)

        threads = [threading.Thread(target=import_each, args=(documents[start::2],))
                   for start in (0, 1)]
        for thread in threads:
            thread.start()
        # Two real runs save while the imports go on.
        runs = [subprocess.Popen([BINARY] + SHORT + ["--save", "--history", history],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                for _ in range(2)]
        for process in runs:
            _, err = process.communicate(timeout=120)
            self.assertEqual(process.returncode, 0, err)
        for thread in threads:
            thread.join(timeout=120)
        self.assertEqual(failures, [])
        self.assertEqual(listing(history)["total_runs"], 2 * len(documents) + 2)

    def test_baseline_compares_with_the_stored_runs_of_the_same_kind(self):
        history = self.path("history.db")
        stored = [self.write_json(f"s{index}.json", fresh_copy(real_document()))
                  for index in range(3)]
        other = fresh_copy(real_document())
        other["library"]["version"] = "9.9.9"
        stored.append(self.write_json("other.json", other))
        self.assertEqual(run(["history", "--history", history, "--import"] + stored)
                         .returncode, 0)
        new = self.write_json("new.json", fresh_copy(real_document()))
        # Real runs on a shared machine may be disturbed: this is about
        # choosing runs by what they measured, so they are all kept.
        compared = run(["compare", "--baseline", new, "--history", history, "--json",
                        "--keep-disturbed"])
        # The stored runs are copies of one: counted once, so not judged.
        self.assertEqual(compared.returncode, 3, compared.stderr)
        document = json.loads(compared.stdout)
        self.assertEqual(validate_json.check(document, "compare"), [])
        # Three stored runs per label of the same library: the runs' means
        # are the observations; the 9.9.9 document is not among them.
        (comparison,) = document["comparisons"]
        self.assertEqual(comparison["base"]["completed_runs"], 6)
        self.assertEqual(comparison["base"]["library_versions"], ["0.0.2"])
        self.assertEqual({label["label"] for label in comparison["labels"]},
                         {"single", "all-cpus"})
        self.assertEqual({label["base"]["observations"] for label in comparison["labels"]}, {1})
        empty = run(["compare", "--baseline", new, "--history", self.path("none.db")])
        self.assertEqual(empty.returncode, 2)
        self.assertIn("none.db': no such file", empty.stderr)


class Damage(TempDirTest):
    """Files that are not good histories: exit 2, a message, the file and its
    directory byte for byte as they were, and a run's other outputs kept."""

    def damaged(self):
        good = self.path("good", "history.db")
        document = self.holding_a_document(good)
        cases = []

        def place(name):
            os.makedirs(self.path(name))
            return self.path(name, "history.db")

        with open(place("text"), "w") as handle:
            handle.write("not a database\n" * 10)
        cases.append((self.path("text", "history.db"), "not an SQLite database"))
        foreign = place("foreign")
        connection = sqlite3.connect(foreign)
        connection.execute("PRAGMA journal_mode=WAL")
        connection.execute("CREATE TABLE notes (text)")
        connection.commit()
        connection.close()
        cases.append((foreign, "another program"))
        newer = place("newer")
        shutil.copy(good, newer)
        connection = sqlite3.connect(newer)
        connection.execute("PRAGMA user_version = 7")
        connection.commit()
        connection.close()
        cases.append((newer, "newer tarnwick"))
        truncated = place("truncated")
        shutil.copy(good, truncated)
        os.truncate(truncated, os.path.getsize(good) // 2 // 4096 * 4096)
        cases.append((truncated, "damaged"))
        return document, cases

    def test_refused_and_left_unchanged(self):
        document, cases = self.damaged()
        for path, reason in cases:
            directory = os.path.dirname(path)
            before = snapshot(directory)
            csv = self.path(os.path.basename(directory) + ".csv")
            for args in (["history", "--history", path],
                         ["history", "--history", path, "--import", document],
                         ["compare", "--baseline", document, "--history", path],
                         SHORT + ["--save", "--history", path, "--csv", csv]):
                result = run(args)
                self.assertEqual(result.returncode, 2, (args, result.stderr))
                self.assertIn(reason, result.stderr)
                self.assertIn("left unchanged", result.stderr)
                self.assertEqual(snapshot(directory), before, args)
            # The run's own output was written all the same.
            self.assertGreater(os.path.getsize(csv), 0)

    def test_an_empty_file_is_a_new_history(self):
        history = self.path("empty.db")
        open(history, "w").close()
        saved = run(SHORT + ["--save", "--history", history])
        self.assertEqual(saved.returncode, 0, saved.stderr)
        self.assertEqual(listing(history)["total_runs"], 1)


@unittest.skipUnless(os.geteuid() == 0, "needs root: setpriv and private mounts")
class Limits(TempDirTest):
    def test_read_only_location_loses_no_output(self):
        # A history in a directory the user may read but not write.
        history = self.path("locked", "history.db")
        document = self.holding_a_document(history)
        os.chmod(self.dir, 0o777)
        nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        before = snapshot(os.path.dirname(history))
        listed = run(["history", "--history", history, "--json"], prefix=nobody)
        self.assertEqual(listed.returncode, 0, listed.stderr)
        self.assertEqual(json.loads(listed.stdout)["total_runs"], 2)
        csv = self.path("run.csv")
        # With nowhere to keep it pending either (HOME is root's), the save fails.
        saved = run(SHORT + ["--save", "--history", history, "--csv", csv], prefix=nobody,
                    env=dict(os.environ, XDG_STATE_HOME=""))
        self.assertEqual(saved.returncode, 2, saved.stderr)
        self.assertIn("could not be kept pending either", saved.stderr)
        self.assertGreater(os.path.getsize(csv), 0)
        self.assertEqual(snapshot(os.path.dirname(history)), before)
        # With a state folder of its own, the run waits there, and a write by
        # someone who may write the history stores it.
        state = self.path("state")
        os.makedirs(state)
        os.chmod(state, 0o777)
        env = dict(os.environ, XDG_STATE_HOME=state)
        saved = run(SHORT + ["--save", "--history", history], prefix=nobody, env=env)
        self.assertEqual(saved.returncode, 0, saved.stderr)
        self.assertIn("cannot write it", saved.stderr)
        (kept,) = os.listdir(os.path.join(state, "tarnwick"))
        self.assertIn(f"the run is kept in '{os.path.join(state, 'tarnwick', kept)}'",
                      saved.stderr)
        self.assertEqual(snapshot(os.path.dirname(history)), before)
        stored = run(["history", "--history", history, "--import", document], env=env)
        self.assertIn("stored 1 pending run", stored.stderr)
        self.assertEqual(os.listdir(os.path.join(state, "tarnwick")), [])
        self.assertEqual(listing(history)["total_runs"], 3)
        # A new history where nothing may be created.
        fresh = run(SHORT + ["--save", "--history", self.path("locked", "sub", "h.db")],
                    prefix=nobody)
        self.assertEqual(fresh.returncode, 2)
        self.assertIn("Permission denied", fresh.stderr)

    def test_full_disk_loses_no_output(self):
        # A 256 KiB tmpfs in a private mount namespace: the history fills it.
        mount = self.path("small")
        os.makedirs(mount)
        document = self.write_json("doc.json", fresh_copy(real_document()))
        csv = self.path("run.csv")
        state = self.path("state")
        script = f"""
set -e
export XDG_STATE_HOME={state}
mount -t tmpfs -o size=256k tmpfs {mount}
{BINARY} history --history {mount}/h.db --import {document}
dd if=/dev/zero of={mount}/filler bs=4k 2>/dev/null || true
set +e
{BINARY} {' '.join(SHORT)} --save --history {mount}/h.db --csv {csv}
echo "save=$?"
rm {mount}/filler
{BINARY} history --history {mount}/h.db --import {document}
{BINARY} history --history {mount}/h.db --json
"""
        result = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                                 script], capture_output=True, text=True, timeout=120)
        if "mount:" in result.stderr and "permission denied" in result.stderr.lower():
            self.skipTest("no mount namespace here: " + result.stderr)
        # The disk is full: the run waits in the state folder, and the
        # next write, with room again, stores it.
        self.assertIn("save=0", result.stdout, result.stderr)
        self.assertIn("disk is full", result.stderr)
        self.assertIn("the run is kept in '%s/tarnwick/pending-" % state, result.stderr)
        self.assertIn("stored 1 pending run", result.stderr)
        self.assertGreater(os.path.getsize(csv), 0)
        listed = json.loads(result.stdout[result.stdout.index("{"):])
        self.assertEqual(listed["total_runs"], 3)


def history_commands(history, scratch):
    planted.write_inputs(scratch)
    return planted.commands(history, scratch)


def read_statuses(command):
    """What a reading command may end with on a good history: the baseline
    of two runs a label is "not judged" (3)."""
    return {"refused import": (2,), "--baseline": (0, 3)}.get(command, (0,))


class Planted(TempDirTest):
    """Histories planted with Python's sqlite3: each refused by every
    command, reading or writing, the folder's files byte for byte as they
    were and nothing new beside them; the good ones read as they are."""

    def setUp(self):
        super().setUp()
        self.documents = planted.write_documents(
            self.path("docs.jsonl"), [planted.document("node%02d" % n, n, runs=2 + n % 2)
                                      for n in range(3)])

    def fresh(self, name, plant):
        folder = self.path(name.replace(" ", "-"))
        history = planted.make_good(BINARY, folder, self.documents)
        plant(history)
        return folder, history

    def check_refused(self, name, plant, reason):
        folder, history = self.fresh(name, plant)
        reads, writes = history_commands(history, self.dir)
        before = planted.state(folder)
        commands = dict(reads, **writes)
        commands["--save"] = SHORT + ["--save", "--history", history]
        for command, args in commands.items():
            started = time.monotonic()
            result = run(args, timeout=60)
            self.assertLess(time.monotonic() - started, 30, (name, command))
            self.assertEqual(result.returncode, 2, (name, command, result.stderr))
            if command != "refused import":
                self.assertIn(reason, result.stderr, (name, command))
                self.assertIn("left unchanged", result.stderr, (name, command))
            self.assertEqual(planted.state(folder), before, (name, command))

    def test_planted_histories_are_refused_and_left_unchanged(self):
        for name, (plant, reason) in planted.PLANTS.items():
            if reason is not None:
                with self.subTest(name):
                    self.check_refused(name, plant, reason)

    def test_the_issue_reproduction_stores_nothing_and_deletes_nothing(self):
        folder, history = self.fresh("negative", planted.trigger_negative_version)
        saved = run(SHORT + ["--save", "--history", history])
        self.assertEqual(saved.returncode, 2, saved.stderr)
        self.assertIn("history version -1", saved.stderr)
        db = sqlite3.connect("file:%s?mode=ro" % history, uri=True)
        self.assertEqual(db.execute("SELECT count(*) FROM runs").fetchone()[0], 7)
        db.close()

    def test_a_crashed_writers_wal_is_read_and_left_as_it_was(self):
        for name, (plant, reason) in planted.PLANTS.items():
            if reason is not None:
                continue
            with self.subTest(name):
                folder, history = self.fresh(name, plant)
                before = planted.state(folder)
                reads, _ = history_commands(history, self.dir)
                for command, args in reads.items():
                    result = run(args)
                    self.assertIn(result.returncode, read_statuses(command),
                                  (name, command, result.stderr))
                    self.assertEqual(planted.state(folder), before, (name, command))
                # The WAL's content is what is read: the run it changed.
                listed = json.loads(run(reads["listing"]).stdout)
                self.assertIn(123456.0, [r["mean_rate"] for r in listed["runs"]])
                # A writing command takes the WAL in and, last out, removes it.
                written = run(history_commands(history, self.dir)[1]["--import"])
                self.assertEqual(written.returncode, 0, written.stderr)
                self.assertEqual(sorted(os.listdir(folder)), ["h.db"])
                self.assertEqual(listing(history, "--last", "100")["total_runs"], 9)


class Reading(TempDirTest):
    """A command whose job is not to write leaves the file byte for byte as
    it was and nothing new beside it; only a writing command migrates."""

    def test_reading_commands_change_nothing(self):
        documents = planted.write_documents(self.path("docs.jsonl"),
                                            [planted.document("node%02d" % n, n) for n in range(4)])
        folder = self.path("store")
        history = planted.make_good(BINARY, folder, documents)
        reads, writes = history_commands(history, self.dir)
        before = planted.state(folder)
        self.assertEqual(sorted(before), ["h.db"])
        for command, args in reads.items():
            result = run(args)
            self.assertIn(result.returncode, read_statuses(command), (command, result.stderr))
            self.assertEqual(planted.state(folder), before, command)
        # A version-1 history is read as it is, and migrated by a write.
        planted.as_version_1(history)
        old = planted.state(folder)
        for command, args in reads.items():
            run(args)
            self.assertEqual(planted.state(folder), old, command)
        self.assertEqual(listing(history)["total_runs"], 8)
        written = run(writes["--import"])
        self.assertEqual(written.returncode, 0, written.stderr)
        self.assertEqual(sorted(os.listdir(folder)), ["h.db"])
        db = sqlite3.connect(history)
        self.assertEqual(db.execute("PRAGMA user_version").fetchone()[0], 3)
        db.close()

    def test_a_version_2_history_gains_the_noise_of_its_new_runs_by_a_write(self):
        old = fresh_copy(real_document())
        old["runs"][0]["noise"] = dict(old["runs"][0]["noise"] or {}, disturbed_seconds=4)
        old["runs"][1]["noise"] = None  # stored by a program that did not measure it
        folder = self.path("store")
        os.makedirs(folder)
        history = planted.make_version_2(os.path.join(folder, "h.db"), [old])
        reads, _ = history_commands(history, self.dir)
        before = planted.state(folder)
        for command, args in reads.items():
            result = run(args)
            # --baseline finds no run of its host here: read, not refused.
            statuses = read_statuses(command) + ((2,) if command == "--baseline" else ())
            self.assertIn(result.returncode, statuses, (command, result.stderr))
            self.assertNotIn("modified", result.stderr, command)
            self.assertEqual(planted.state(folder), before, command)
        listed = listing(history)
        self.assertEqual([r["disturbed_seconds"] for r in listed["runs"]], [None, None])
        with open(self.path("export.jsonl")) as handle:
            exported = [json.loads(line) for line in handle]
        self.assertEqual([len(document["runs"]) for document in exported], [2])
        self.assertTrue(all("noise" not in s for r in exported[0]["runs"] for s in r["samples"]))

        # New runs with planted seconds: one disturbed (every source but
        # cpufreq), one quiet, one that no two readings bracketed.
        new = fresh_copy(real_document())
        quiet = {"steal_percent": 0.0, "other_cpus": 0.01, "other_cpus_run": 0.0,
                 "cpu_pressure_percent": 0.5, "throttled_percent": None,
                 "throttled_periods": None, "thermal_events": None, "frequency_mhz": None,
                 "disturbed": False}
        loud = dict(quiet, steal_percent=14.25, other_cpus=0.75, other_cpus_run=0.5,
                    throttled_percent=12.5, throttled_periods=3, thermal_events=2,
                    disturbed=True)
        planted_noise = [loud, quiet, None]
        for stored in new["runs"]:
            stored["samples"] = [dict(stored["samples"][0], time=float(t + 1),
                                      operations=0 if t else stored["operations"],
                                      noise=planted_noise[t]) for t in range(3)]
            stored["sample_count"] = 3
            stored["noise"]["disturbed_seconds"] = 1
        path = self.write_json("new-noise.json", new)
        written = run(["history", "--history", history, "--import", path])
        self.assertEqual(written.returncode, 0, written.stderr)
        db = sqlite3.connect(history)
        self.assertEqual(db.execute("PRAGMA user_version").fetchone()[0], 3)
        by_id = dict(db.execute("SELECT id, disturbed_seconds FROM runs"))
        noise_rows = db.execute(
            "SELECT r.id, s.idx, s.steal_percent, s.throttled_periods, s.disturbed "
            "FROM samples s JOIN runs r ON r.key = s.run ORDER BY r.id, s.idx").fetchall()
        db.close()
        # The old runs: the count their JSON held, their seconds' noise unknown.
        self.assertEqual(by_id[old["runs"][0]["id"]], 4)
        self.assertIsNone(by_id[old["runs"][1]["id"]])
        old_ids = {r["id"] for r in old["runs"]}
        self.assertTrue(all(row[2:] == (None, None, None) for row in noise_rows
                            if row[0] in old_ids))
        for stored in new["runs"]:
            self.assertEqual(by_id[stored["id"]], 1)
            self.assertEqual([row[1:] for row in noise_rows if row[0] == stored["id"]],
                             [(0, 14.25, 3, 1), (1, 0.0, None, 0), (2, None, None, None)])
        listed = {r["id"]: r["disturbed_seconds"] for r in listing(history)["runs"]}
        self.assertEqual(listed[new["runs"][0]["id"]], 1)
        self.assertEqual(listed[old["runs"][0]["id"]], 4)
        # Exported, the new runs' seconds are as their document gave them.
        exported = run(["history", "--history", history, "--export", "-"])
        self.assertEqual(exported.returncode, 0, exported.stderr)
        runs = {r["id"]: r for line in exported.stdout.splitlines()
                for r in json.loads(line)["runs"]}
        for stored in new["runs"]:
            self.assertEqual([s.get("noise", "absent") for s in runs[stored["id"]]["samples"]],
                             [loud, quiet, "absent"])
        for stored in old["runs"]:
            self.assertTrue(all("noise" not in s for s in runs[stored["id"]]["samples"]))

    @unittest.skipUnless(os.geteuid() == 0, "needs root: setpriv to a user who cannot write")
    def test_a_read_only_history_with_a_wal_is_listed(self):
        documents = planted.write_documents(self.path("docs.jsonl"),
                                            [planted.document("node01", 1)])
        folder = self.path("store")
        history = planted.make_good(BINARY, folder, documents)
        for with_index in (True, False):
            for name in os.listdir(folder):
                if name != "h.db":
                    os.remove(os.path.join(folder, name))
            os.chmod(folder, 0o755)
            planted.crashed_writer(with_index)(history)
            for name in os.listdir(folder):
                os.chmod(os.path.join(folder, name), 0o444)
            os.chmod(folder, 0o555)
            before = planted.state(folder)
            nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
            listed = run(["history", "--history", history, "--json"], prefix=nobody)
            self.assertEqual(listed.returncode, 0, (with_index, listed.stderr))
            self.assertIn(123456.0, [r["mean_rate"] for r in json.loads(listed.stdout)["runs"]])
            self.assertEqual(planted.state(folder), before, with_index)
            os.chmod(folder, 0o755)


class NotFiles(TempDirTest):
    """A FIFO, device or socket named as the history or its pending file is
    refused at once: nothing blocks, nothing is read from it."""

    def test_fifos_devices_and_sockets_are_refused_without_blocking(self):
        import socket
        fifo = self.path("fifo.db")
        os.mkfifo(fifo)
        device = self.path("device.db")
        os.symlink("/dev/zero", device)
        sock_path = self.path("socket.db")
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(sock_path)
        try:
            for history, kind in ((fifo, "a FIFO"), (device, "device"),
                                  (sock_path, "a socket")):
                reads, writes = history_commands(history, self.dir)
                for command, args in dict(reads, **writes).items():
                    if command == "refused import":
                        continue
                    result = run(args, timeout=30)
                    self.assertEqual(result.returncode, 2, (kind, command, result.stderr))
                    self.assertIn(kind, result.stderr, (kind, command))
        finally:
            listener.close()

    def test_a_pending_file_that_is_not_a_file_is_refused_without_blocking(self):
        documents = planted.write_documents(self.path("docs.jsonl"),
                                            [planted.document("node01", 1)])
        folder = self.path("store")
        history = planted.make_good(BINARY, folder, documents)
        pending = history + ".pending"
        env = dict(os.environ, XDG_STATE_HOME=self.path("state"))
        for make, kind in ((os.mkfifo, "a FIFO"),
                           (lambda p: os.symlink("/dev/zero", p), "a symbolic link")):
            make(pending)
            listed = run(["history", "--history", history], env=env, timeout=30)
            self.assertEqual(listed.returncode, 0, listed.stderr)
            self.assertIn(kind, listed.stderr)
            more = planted.write_documents(self.path("more.jsonl"),
                                           [planted.document("node02", 2)])
            imported = run(["history", "--history", history, "--import", more], env=env,
                           timeout=30)
            self.assertEqual(imported.returncode, 0, imported.stderr)
            self.assertIn("pending runs not stored", imported.stderr)
            self.assertIn(kind, imported.stderr)
            self.assertFalse(stat.S_ISREG(os.lstat(pending).st_mode))
            os.remove(pending)
            # A run --save cannot store is kept elsewhere, never written into it.
            make(pending)
            holder = sqlite3.connect(history, isolation_level=None)
            holder.execute("BEGIN EXCLUSIVE")
            try:
                saved = run(SHORT + ["--save", "--history", history],
                            env=dict(env, TARNWICK_HISTORY_WAIT_MS="200"), timeout=60)
            finally:
                holder.execute("ROLLBACK")
                holder.close()
            self.assertEqual(saved.returncode, 0, saved.stderr)
            self.assertIn("the run is kept in '%s" % self.path("state"), saved.stderr)
            os.remove(pending)
            shutil.rmtree(self.path("state"))


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
