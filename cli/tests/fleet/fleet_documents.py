"""Result documents of a made-up fleet, as the program writes them: for the
report's end-to-end test and its benchmark. Run as a script it writes COUNT
documents of SAMPLES samples each into a folder."""
import json
import os
import random
import sys


def document(host, timestamp, rate, *, model="Model A", arch="x86_64", label="all-cpus",
             threads=2, cv=0.8, unstable=False, samples=60, status=0, reason="", rng=None):
    rng = rng or random.Random(0)
    run_samples = []
    for index in range(samples):
        sample_rate = rate * (1.0 + rng.gauss(0.0, cv / 100.0))
        run_samples.append({"time": float(index + 1), "duration": 1.0,
                            "operations": int(sample_rate), "rate": sample_rate})
    completed = status == 0
    run = {
        "id": "%032x" % rng.getrandbits(128), "label": label, "repetition": 1,
        "started": timestamp.replace("Z", ".000Z"), "ended": timestamp.replace("Z", ".500Z"),
        "status": status, "status_name": ["completed", "cancelled", "failed"][status],
        "reason": reason, "abi_version": 1, "benchmark": 1 if label == "all-cpus" else 0,
        "threads": threads, "mean_rate": rate if completed else None, "warmup_seconds": 120,
        "measure_seconds": samples, "measured_seconds": float(samples),
        "cv_percent": cv if completed else None, "has_cv": completed, "unstable": unstable,
        "operations": sum(s["operations"] for s in run_samples), "checksum": 15527385062390863577,
        "checksum_hex": "d7d071cfd6ab16d9", "sample_count": samples, "samples": run_samples,
        "noise": {"steal_percent": 0.1, "other_cpus": 0.02,
                  "involuntary_context_switches": 3, "in_container": False},
    }
    return {
        "schema_version": 1, "program": "tarnwick", "status": run["status_name"],
        "library": {"version": "0.0.2", "abi_version": 1},
        "environment": {
            "timestamp": timestamp, "hostname": host, "os": "6.1.0-28-amd64",
            "command_line": ["tarnwick", "--all-cpus", "--output", host + ".json"],
            "program": {"version": "0.0.2", "compiler": "GCC 12.2.0", "build_flags": "-O2"},
            "cpu": {"arch": arch, "model": model, "logical_cpus": threads,
                    "physical_cores": threads, "threads_per_core": 1, "nominal_mhz": None,
                    "l2_cache_bytes": 1048576, "l3_cache_bytes": None, "hypervisor": None},
            "cgroup_cpu_quota": None},
        "host": {"cpu_model": model, "cpus_available": threads, "cpus_source": "library",
                 "governor": None, "load_average_1m": 0.1},
        "runs": [run],
        "repetitions": [{"label": label, "threads": threads, "runs": 1,
                         "median_mean_rate": rate, "min_mean_rate": rate,
                         "max_mean_rate": rate, "spread_percent": 0.0, "outliers": []}],
        "scaling": None, "scalings": [],
        "warnings": ([{"run": run["id"], "kind": "unstable", "text": "unstable"}]
                     if unstable else []),
    }


def write(path, doc):
    with open(path, "w") as out:
        json.dump(doc, out, indent=2)


def main():
    count, samples, folder = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    os.makedirs(folder, exist_ok=True)
    rng = random.Random(1)
    for index in range(count):
        host = "node%05d" % (index % 5000)
        night = "2026-12-%02dT02:00:00Z" % (1 + index // 5000)
        doc = document(host, night, 95000.0 * (1 + rng.gauss(0, 0.01)),
                       model="Model %s" % "AB"[index % 2], samples=samples, rng=rng)
        write(os.path.join(folder, "%s-%d.json" % (host, index)), doc)


if __name__ == "__main__":
    main()
