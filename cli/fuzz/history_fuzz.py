#!/usr/bin/python3
"""The history fuzzer: histories mutated at random, given to the real
program. Seeded with a good history and every planted one of
cli/tests/store/planted_histories.py; each case copies a seed, changes its
files (bytes flipped, header fields rewritten, pages copied over others,
files cut short) and runs one history command on it.

A finding is a crash (a signal, or a sanitizer's report), a hang over 10 s,
an exit status the program does not give, or a command that changed the
files: one that only reads, or one that was refused, must leave the folder
byte for byte as it was and nothing new beside the history.

Usage: history_fuzz.py TARNWICK SECONDS [FOLDER]
FOLDER keeps the findings (a copy of the case before the command, and what
was run); the seed is $HISTORY_FUZZ_SEED, else the time, printed either way.
"""
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "store"))
import planted_histories as planted  # noqa: E402

HANG_SECONDS = 10
# done, a gate (a change or a slower run), failed or refused, not judged
STATUSES = {0, 1, 2, 3}
SANITIZERS = ("AddressSanitizer", "LeakSanitizer", "runtime error:", "UndefinedBehaviorSanitizer")


def read_files(folder):
    files = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as handle:
            files[name] = handle.read()
    return files


def write_files(folder, files):
    os.makedirs(folder)
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as handle:
            handle.write(data)


def mutate(rng, files):
    """One to three changes to the files of a case."""
    files = dict(files)
    for _ in range(rng.randint(1, 3)):
        name = rng.choice(sorted(files))
        data = bytearray(files[name])
        choice = rng.randrange(6)
        if not data:
            data = bytearray(rng.randbytes(rng.choice((1, 32, 512))))
        elif choice == 0:  # a few bytes anywhere
            for _ in range(rng.randint(1, 8)):
                data[rng.randrange(len(data))] = rng.randrange(256)
        elif choice == 1 and name == "h.db" and len(data) >= 100:  # a header field
            offset = rng.choice((16, 18, 19, 20, 24, 28, 32, 36, 40, 44, 48, 52, 56, 60, 64, 68,
                                 92, 96))
            data[offset:offset + 4] = rng.choice((b"\x00\x00\x00\x00", b"\xff\xff\xff\xff",
                                                  b"\x7f\xff\xff\xff", rng.randbytes(4)))
        elif choice == 2:  # a 32-bit number in a page
            offset = rng.randrange(0, max(len(data) - 4, 1)) & ~3
            data[offset:offset + 4] = rng.randbytes(4)
        elif choice == 3 and len(data) >= 8192:  # one page over another
            page = 4096
            pages = len(data) // page
            source, target = rng.randrange(pages), rng.randrange(pages)
            data[target * page:(target + 1) * page] = data[source * page:(source + 1) * page]
        elif choice == 4:  # cut short
            data = data[:rng.randrange(len(data) + 1)]
        else:  # a run of one byte
            start = rng.randrange(len(data))
            data[start:start + rng.randint(1, 64)] = bytes([rng.randrange(256)]) * 64
        files[name] = bytes(data)
    return files


def commands(history, scratch):
    """(name, arguments, writes) for each command a case may run."""
    reads, writes = planted.commands(history, scratch)
    return [(name, args, False) for name, args in reads.items()] + \
           [(name, args, True) for name, args in writes.items()]


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 64
    binary = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2])
    keep = os.path.abspath(sys.argv[3]) if len(sys.argv) > 3 else None
    seed = int(os.environ.get("HISTORY_FUZZ_SEED", int(time.time())))
    print("history fuzzer: seed %d, %g s" % (seed, seconds))
    rng = random.Random(seed)
    work = tempfile.mkdtemp(prefix="tarnwick-history-fuzz-")
    try:
        scratch = os.path.join(work, "inputs")
        os.makedirs(scratch)
        documents = planted.write_documents(
            os.path.join(scratch, "docs.jsonl"),
            [planted.document("node%02d" % n, n, runs=2 + n % 2) for n in range(3)])
        planted.write_inputs(scratch)
        seeds = {}
        for name, (plant, _) in [("good", (lambda history: None, None))] + \
                sorted(planted.PLANTS.items()):
            folder = os.path.join(work, "seeds", name.replace(" ", "-"))
            plant(planted.make_good(binary, folder, documents))
            seeds[name] = read_files(folder)
        findings = 0
        cases = 0
        outcomes = {}
        until = time.monotonic() + seconds
        while time.monotonic() < until:
            cases += 1
            seed_name = rng.choice(sorted(seeds))
            files = mutate(rng, seeds[seed_name])
            folder = os.path.join(work, "case")
            shutil.rmtree(folder, ignore_errors=True)
            write_files(folder, files)
            history = os.path.join(folder, "h.db")
            name, args, writes = rng.choice(commands(history, scratch))
            before = planted.state(folder)
            problem = None
            try:
                result = subprocess.run([binary] + args, capture_output=True, text=True,
                                        errors="replace", timeout=HANG_SECONDS,
                                        stdin=subprocess.DEVNULL)
            except subprocess.TimeoutExpired:
                problem = "a hang over %d s" % HANG_SECONDS
                result = None
            if result is not None:
                outcomes[result.returncode] = outcomes.get(result.returncode, 0) + 1
                refused = result.returncode == 2 and "left unchanged" in result.stderr
                if result.returncode not in STATUSES:
                    problem = "exit status %d" % result.returncode
                elif any(word in result.stderr for word in SANITIZERS):
                    problem = "a sanitizer's report"
                elif (not writes or refused) and planted.state(folder) != before:
                    problem = "the files changed: %s" % json.dumps(
                        [before, planted.state(folder)])
            if problem is None:
                continue
            findings += 1
            print("finding %d (%s, seed %s, %s): %s" % (findings, name, seed_name, args, problem))
            if result is not None:
                print(result.stderr[-2000:])
            if keep is not None:
                target = os.path.join(keep, "history-finding-%d-%d" % (seed, findings))
                shutil.rmtree(target, ignore_errors=True)
                write_files(target, files)
                with open(target + ".txt", "w") as note:
                    note.write("%s\n%s\n%s\n" % (name, " ".join(args), problem))
        print("history fuzzer: %d cases, exit statuses %s, %d findings"
              % (cases, json.dumps(outcomes, sort_keys=True), findings))
        return 1 if findings else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
