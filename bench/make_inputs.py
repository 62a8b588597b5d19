"""Inputs of the program-level benchmarks (bench/commands): a fleet folder of
COUNT documents for `report`, and one JSON-lines file of RUNS runs (ten a
document, 60 samples each) for `history --import`; and the history of
`history --changes`: RUNS runs in series of 100 nights, one JSON-lines
document a run, two labels a host, one series in twenty losing 6 % at night 60.

  python3 bench/make_inputs.py fleet COUNT FOLDER
  python3 bench/make_inputs.py import RUNS FILE
  python3 bench/make_inputs.py changes RUNS FILE
"""
import json
import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "cli", "tests", "fleet"))
import fleet_documents  # noqa: E402


def main():
    kind, count, target = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    if kind == "fleet":
        sys.argv = [sys.argv[0], str(count), "60", target]
        fleet_documents.main()
        return
    if kind == "changes":
        changes_history(count, target)
        return
    rng = random.Random(2)
    with open(target, "w") as out:
        for serial in range(count // 10):
            host = "node%02d" % (serial % 4)
            stamp = "2026-%02d-%02dT%02d:%02d:00Z" % (1 + serial // 2800 % 12, 1 + serial // 100 % 28,
                                                     serial // 60 % 24, serial % 60)
            doc = fleet_documents.document(host, stamp, 95000.0, rng=rng)
            run = doc["runs"][0]
            runs = []
            for index in range(10):
                copy = dict(run)
                copy["id"] = "%032x" % rng.getrandbits(128)
                copy["repetition"] = index + 1
                runs.append(copy)
            doc["runs"] = runs
            out.write(json.dumps(doc, separators=(",", ":")) + "\n")


def changes_history(count, target):
    rng = random.Random(3)
    nights, hosts = 100, max(1, count // 200)
    with open(target, "w") as out:
        for night in range(nights):
            stamp = "2026-%02d-%02dT02:00:00Z" % (1 + night // 28, 1 + night % 28)
            for host in range(hosts):
                for label, threads in (("single", 1), ("all-cpus", 2)):
                    stepped = host % 10 == 0 and threads == 2 and night >= 60
                    rate = 1e9 * (0.94 if stepped else 1.0) * (1 + rng.gauss(0, 0.02))
                    doc = fleet_documents.document("node%04d" % host, stamp, rate, label=label,
                                                   threads=threads, samples=10, rng=rng)
                    out.write(json.dumps(doc, separators=(",", ":")) + "\n")


if __name__ == "__main__":
    main()
