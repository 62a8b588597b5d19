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


def hot_journal(history):
    """A rollback journal beside the history that SQLite would play back:
    taken from a copy in rollback mode while a transaction turning `runs`
    into another table was open, so its pages are the copy's own."""
    folder = os.path.dirname(history)
    scratch = os.path.join(folder, "..", "scratch-" + os.path.basename(folder))
    os.makedirs(scratch, exist_ok=True)
    copy = os.path.join(scratch, "c.db")
    shutil.copy(history, copy)
    db = sqlite3.connect(copy, isolation_level=None)
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
    folder = os.path.dirname(history)
    scratch = os.path.join(folder, "..", "scratch-" + os.path.basename(folder))
    os.makedirs(scratch, exist_ok=True)
    copy = os.path.join(scratch, "h.db")
    shutil.copy(history, copy)
    db = sqlite3.connect(copy, isolation_level=None)
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
