"""Inputs of the program-level benchmarks (bench/commands): a fleet folder of
COUNT documents for `report`, and one JSON-lines file of RUNS runs (ten a
document, 60 samples each) for `history --import`.

  python3 bench/make_inputs.py fleet COUNT FOLDER
  python3 bench/make_inputs.py import RUNS FILE
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


if __name__ == "__main__":
    main()
