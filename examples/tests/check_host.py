#!/usr/bin/env python3
"""Runs an example host the way a user would and checks what it prints.

    check_host.py run|interrupt|usage -- COMMAND...

run: a short run completes, and the printed figures agree with each other.
interrupt: Ctrl-C during the warm-up cancels the run; the host reports it.
usage: a bad number is refused before anything runs.
"""

import re
import signal
import subprocess
import sys
import time
from typing import List

PATIENCE = 30.0

SAMPLE = re.compile(r"^\s+([\d.]+) s\s+([\d.]+) s\s+(\d+) steps\s+([\d.]+) steps/s$")


def fail(message: str, output: str = "") -> None:
    sys.exit(f"FAIL: {message}\n{output}")


def field(output: str, name: str) -> str:
    match = re.search(rf"^{name}: (.*)$", output, re.MULTILINE)
    if match is None:
        fail(f"no '{name}:' line", output)
    return match.group(1)


def check_figures(output: str) -> None:
    """The samples add up to the steps and their rates to the mean."""
    line = field(output, "measured")
    measured = re.match(r"([\d.]+) s, (\d+) steps, checksum [0-9a-f]{16}$", line)
    if measured is None:
        fail("malformed 'measured:' line", output)
    seconds, steps = float(measured.group(1)), int(measured.group(2))
    samples = [SAMPLE.match(line) for line in output.splitlines() if SAMPLE.match(line)]
    if len(samples) != int(field(output, "samples")):
        fail("sample count differs from the sample lines", output)
    if sum(int(s.group(3)) for s in samples) != steps:
        fail("sample steps do not add up to the run's steps", output)
    if samples and abs(float(samples[-1].group(1)) - seconds) > 0.002:
        fail("the last sample does not end the measured window", output)
    if field(output, "status") == "completed":
        mean = float(field(output, "mean rate").split()[0])
        if steps == 0 or abs(mean - steps / seconds) > 0.01 * mean:
            fail("mean rate is not steps over the measured window", output)


def run(command: List[str]) -> None:
    done = subprocess.run(command + ["--warmup", "0.05", "--measure", "1.2"],
                          capture_output=True, text=True, timeout=PATIENCE)
    if done.returncode != 0:
        fail(f"exit status {done.returncode}", done.stdout + done.stderr)
    if field(done.stdout, "status") != "completed" or "reason:" in done.stdout:
        fail("the run did not complete cleanly", done.stdout)
    if not re.match(r"\d+\.\d+ steps/s$", field(done.stdout, "mean rate")):
        fail("malformed mean rate", done.stdout)
    for phase in ("warm-up", "measurement", "completed"):
        if f"{phase}: 1 worker(s)" not in done.stderr:
            fail(f"no progress line for the {phase}", done.stderr)
    check_figures(done.stdout)


def interrupt(command: List[str]) -> None:
    started = time.monotonic()
    host = subprocess.Popen(command + ["--warmup", "60", "--measure", "60"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            # A runner that ignores SIGINT would pass that on.
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        assert host.stderr is not None
        first = host.stderr.readline()
        if not first.startswith("warm-up:"):
            fail("the host did not report the warm-up", first)
        host.send_signal(signal.SIGINT)
        out, err = host.communicate(timeout=PATIENCE)
    finally:
        host.kill()
        host.wait()
    if host.returncode != 1:
        fail(f"exit status {host.returncode}, not 1 (cancelled)", out + err)
    if field(out, "status") != "cancelled" or field(out, "reason") != "cancelled":
        fail("the run was not reported as cancelled", out)
    if "mean rate:" in out:
        fail("a cancelled run printed a mean rate", out)
    if time.monotonic() - started > PATIENCE / 2:
        fail("the host took too long to stop")
    check_figures(out)


def usage(command: List[str]) -> None:
    done = subprocess.run(
        command + ["--warmup", "soon"], capture_output=True, text=True, timeout=PATIENCE
    )
    if done.returncode in (0, 1) or "status:" in done.stdout or "usage" not in done.stderr:
        fail(f"a bad number was not refused (exit {done.returncode})", done.stdout + done.stderr)


if __name__ == "__main__":
    if len(sys.argv) < 4 or sys.argv[2] != "--":
        sys.exit(__doc__)
    {"run": run, "interrupt": interrupt, "usage": usage}[sys.argv[1]](sys.argv[3:])
    print(f"{sys.argv[1]}: ok")
