"""Histories as an attacker would hand them over, made with Python's sqlite3
from a good one the real program wrote: shared by the end-to-end tests of
the history and by the history fuzzer (cli/fuzz/history_fuzz.py).

Every maker takes the folder of a good history ("h.db") and changes it in
place; what it plants and what the program must say are in PLANTS.
"""
import hashlib
import json
import os
import shutil
import sqlite3
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fleet"))
import fleet_documents  # noqa: E402

MODIFIED = "not a tarnwick history or modified"


def document(host, serial, runs=2, rate=95000.0):
    """A valid result document of `runs` runs with ids of its own."""
    doc = fleet_documents.document(host, "2026-12-0%dT02:00:00Z" % (1 + serial % 9), rate,
                                   samples=3)
    base = doc["runs"][0]
    doc["runs"] = [dict(base, id="%016x%016x" % (serial, index), repetition=index + 1)
                   for index in range(runs)]
    return doc


def write_documents(path, documents):
    with open(path, "w") as out:
        for doc in documents:
            out.write(json.dumps(doc, separators=(",", ":")) + "\n")
    return path


def write_inputs(scratch):
    """The documents the commands of `commands` read, written into `scratch`."""
    write_documents(os.path.join(scratch, "more.jsonl"), [document("node09", 9)])
    write_documents(os.path.join(scratch, "new.json"), [document("node00", 20)])
    with open(os.path.join(scratch, "bad.json"), "w") as handle:
        handle.write('{"schema_version": 1, "runs": [')


def commands(history, scratch):
    """The history's commands on `history`, as {name: arguments}: those
    whose job is not to write (a refused import among them), and those
    that write. Their inputs are in `scratch` (write_inputs)."""
    reads = {
        "listing": ["history", "--history", history, "--json", "--last", "1000"],
        "--changes": ["history", "--history", history, "--changes", "--json"],
        "--export": ["history", "--history", history, "--export",
                     os.path.join(scratch, "export.jsonl")],
        "--html": ["history", "--history", history, "--html", os.path.join(scratch, "p.html")],
        "--baseline": ["compare", "--baseline", os.path.join(scratch, "new.json"), "--history",
                       history],
        "refused import": ["history", "--history", history, "--import",
                           os.path.join(scratch, "bad.json")],
    }
    writes = {
        "--import": ["history", "--history", history, "--import",
                     os.path.join(scratch, "more.jsonl")],
        "--delete": ["history", "--history", history, "--delete", "0" * 15 + "1" + "0" * 16],
    }
    return reads, writes


def make_good(binary, folder, documents_path):
    """A history of 7 runs the real program wrote, alone in `folder`."""
    os.makedirs(folder, exist_ok=True)
    history = os.path.join(folder, "h.db")
    made = subprocess.run([binary, "history", "--history", history, "--import", documents_path],
                          capture_output=True, text=True, timeout=120,
                          stdin=subprocess.DEVNULL)
    assert made.returncode == 0, made.stderr
    return history


def state(folder):
    """What "unchanged" means: every file of the folder by name and sha256."""
    files = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isfile(path) and not os.path.islink(path):
            with open(path, "rb") as handle:
                files[name] = hashlib.sha256(handle.read()).hexdigest()
        else:
            files[name] = "not a file"
    return files


def execute(history, statements):
    db = sqlite3.connect(history, isolation_level=None)
    try:
        db.executescript(statements)
    finally:
        db.close()



# The schema of history version 2, as that program made it (its statements'
# text is what SQLite records, and what the program compares).
SCHEMA_2 = """
CREATE TABLE documents (
  doc INTEGER PRIMARY KEY,
  schema_version INTEGER NOT NULL,
  host TEXT NOT NULL,              -- '' when the document does not say
  timestamp TEXT,
  library_version TEXT NOT NULL,
  cpu_model TEXT,
  arch TEXT,
  stored TEXT NOT NULL,            -- when this history received it, UTC
  json TEXT NOT NULL               -- the document with an empty "runs" array
);
CREATE TABLE runs (
  key INTEGER PRIMARY KEY,
  id TEXT NOT NULL UNIQUE,
  doc INTEGER NOT NULL REFERENCES documents(doc) ON DELETE CASCADE,
  host TEXT NOT NULL,
  label TEXT NOT NULL,
  repetition INTEGER NOT NULL,
  threads INTEGER NOT NULL,
  library_version TEXT NOT NULL,
  cpu_model TEXT,
  arch TEXT,
  started TEXT NOT NULL,
  status INTEGER NOT NULL,
  mean REAL,
  cv REAL,
  unstable INTEGER NOT NULL,
  json TEXT NOT NULL               -- the run, its "samples" emptied when kept below
);
-- Untyped columns keep each number as written: an integer stays an integer.
CREATE TABLE samples (
  run INTEGER NOT NULL REFERENCES runs(key) ON DELETE CASCADE,
  idx INTEGER NOT NULL,
  time, duration, operations, rate,
  PRIMARY KEY (run, idx)
) WITHOUT ROWID;
CREATE INDEX runs_by_document ON runs(doc);
CREATE INDEX runs_by_time ON runs(started);
CREATE INDEX runs_by_host ON runs(host, started);
CREATE INDEX runs_by_label ON runs(label, started);
CREATE INDEX runs_by_series ON runs(host, label, started);
CREATE INDEX runs_by_baseline ON runs(host, label, threads, library_version, started);

-- Runs removed with --delete: an import of their document leaves them out.
CREATE TABLE deleted (
  id TEXT PRIMARY KEY,
  deleted TEXT NOT NULL            -- when, UTC
) WITHOUT ROWID;
"""

APPLICATION_ID = 0x54524e57


def stored_copy(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def make_version_2(history, documents):
    """A history of version 2 holding `documents` as that program stored
    them: each document without its runs, each run without its samples,
    the samples' four numbers in their table and nothing of their noise."""
    db = sqlite3.connect(history, isolation_level=None)
    try:
        db.execute("PRAGMA application_id = %d" % APPLICATION_ID)
        db.executescript("BEGIN;" + SCHEMA_2 + "PRAGMA user_version = 2; COMMIT;")
        db.execute("PRAGMA journal_mode = WAL").fetchall()
        for doc in documents:
            env = doc["environment"]
            cursor = db.execute(
                "INSERT INTO documents (schema_version, host, timestamp, library_version, "
                "cpu_model, arch, stored, json) VALUES (1, ?, ?, ?, ?, ?, ?, ?)",
                (env["hostname"], env["timestamp"], doc["library"]["version"],
                 env["cpu"]["model"], env["cpu"]["arch"], "2026-12-08T00:00:00.000Z",
                 stored_copy(dict(doc, runs=[]))))
            for run in doc["runs"]:
                key = db.execute(
                    "INSERT INTO runs (id, doc, host, label, repetition, threads, "
                    "library_version, cpu_model, arch, started, status, mean, cv, unstable, json) "
                    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    (run["id"], cursor.lastrowid, env["hostname"], run["label"],
                     run["repetition"], run["threads"], doc["library"]["version"],
                     env["cpu"]["model"], env["cpu"]["arch"], run["started"], run["status"],
                     run["mean_rate"], run["cv_percent"], int(run["unstable"]),
                     stored_copy(dict(run, samples=[])))).lastrowid
                for index, sample in enumerate(run["samples"]):
                    db.execute("INSERT INTO samples VALUES (?, ?, ?, ?, ?, ?)",
                               (key, index, float(sample["time"]), float(sample["duration"]),
                                sample["operations"], float(sample["rate"])))
    finally:
        db.close()
    return history


def as_version_1(history):
    """The history of the current program as version 1 left it: no noise
    columns, no table of deleted runs."""
    execute(history, "".join("ALTER TABLE samples DROP COLUMN %s;" % column for column in (
        "steal_percent", "other_cpus", "other_cpus_run", "cpu_pressure_percent",
        "throttled_percent", "throttled_periods", "thermal_events", "frequency_mhz",
        "disturbed")) + "ALTER TABLE runs DROP COLUMN disturbed_seconds;"
        "DROP TABLE deleted; PRAGMA user_version = 1;")


def trigger_negative_version(history):
    # The trigger deletes every other document on the next insert; version
    # -1 once skipped the schema check.
    execute(history, "CREATE TRIGGER w AFTER INSERT ON runs BEGIN "
                     "DELETE FROM documents WHERE doc<>NEW.doc; END; PRAGMA user_version=-1;")


def delete_trigger_negative_version(history):
    execute(history, "CREATE TRIGGER d BEFORE DELETE ON runs BEGIN DELETE FROM samples; "
                     "DELETE FROM documents; END; PRAGMA user_version=-1;")


def version(number):
    def plant(history):
        execute(history, "PRAGMA user_version=%d;" % number)
    return plant


def rollback_mode(history):
    execute(history, "PRAGMA journal_mode=DELETE;")


def statistics(history):
    execute(history, "ANALYZE;")


def _scratch_copy(history, name):
    """A copy of `history` in a scratch folder beside its own, opened in
    autocommit mode: the scratch folder, the copy and the connection."""
    folder = os.path.dirname(history)
    scratch = os.path.join(folder, "..", "scratch-" + os.path.basename(folder))
    os.makedirs(scratch, exist_ok=True)
    copy = os.path.join(scratch, name)
    shutil.copy(history, copy)
    return scratch, copy, sqlite3.connect(copy, isolation_level=None)


def hot_journal(history):
    """A rollback journal beside the history that SQLite would play back:
    taken from a copy in rollback mode while a transaction turning `runs`
    into another table was open, so its pages are the copy's own."""
    scratch, copy, db = _scratch_copy(history, "c.db")
    db.execute("PRAGMA journal_mode=DELETE")
    db.execute("PRAGMA cache_size=1")
    db.execute("BEGIN")
    db.execute("DELETE FROM samples")
    db.execute("UPDATE runs SET mean = -1")
    with open(copy + "-journal", "rb") as journal:
        data = journal.read()
    db.execute("ROLLBACK")
    db.close()
    shutil.rmtree(scratch)
    with open(history + "-journal", "wb") as journal:
        journal.write(data)


def _wal_holding(history, statements):
    """The history and a WAL holding `statements`, as a writer that never
    checkpointed would leave them; returns the WAL's bytes (and the index's)."""
    scratch, copy, db = _scratch_copy(history, "h.db")
    db.execute("PRAGMA wal_autocheckpoint=0")
    db.executescript(statements)
    with open(copy + "-wal", "rb") as wal:
        data = wal.read()
    with open(copy + "-shm", "rb") as shm:
        index = shm.read()
    # The bytes are taken before the close checkpoints the scratch copy.
    db.close()
    shutil.rmtree(scratch, ignore_errors=True)
    return data, index


def planted_wal(history):
    """A WAL (no index) that adds a trigger: what the check must see."""
    data, _ = _wal_holding(history, "CREATE TRIGGER p AFTER INSERT ON runs BEGIN "
                                    "DELETE FROM runs WHERE key<>NEW.key; END;")
    with open(history + "-wal", "wb") as wal:
        wal.write(data)


def crashed_writer(with_index):
    """A WAL holding one more good run, as a writer killed before it
    checkpointed leaves it (with its index, or copied without it)."""
    def plant(history):
        data, index = _wal_holding(
            history, "UPDATE runs SET mean = 123456.0 WHERE key = (SELECT max(key) FROM runs);")
        with open(history + "-wal", "wb") as wal:
            wal.write(data)
        if with_index:
            with open(history + "-shm", "wb") as shm:
                shm.write(index)
    return plant


# name: (plant, what the refusal says, or None when the history is good)
PLANTS = {
    "trigger at version -1": (trigger_negative_version, MODIFIED),
    "delete trigger at version -1": (delete_trigger_negative_version, MODIFIED),
    "version 0": (version(0), MODIFIED),
    "version -7": (version(-7), MODIFIED),
    "version 99": (version(99), "written by a newer tarnwick"),
    "rollback journal mode": (rollback_mode, MODIFIED),
    "statistics": (statistics, MODIFIED),
    "hot journal": (hot_journal, "rollback journal"),
    "planted WAL": (planted_wal, MODIFIED),
    "crashed writer": (crashed_writer(True), None),
    "WAL without its index": (crashed_writer(False), None),
}
