"""Ctrl-C during a run: cancelled, then KeyboardInterrupt once it returned.

Signals go to child processes so the test runner itself is never hit.
"""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import unittest
from pathlib import Path
from typing import List

import tarnwick

PATIENCE = 20.0

# The child runs a long benchmark and prints what it saw as key=value lines.
CHILD = textwrap.dedent(
    """
    import os, signal, sys, threading, time
    import tarnwick

    mode = sys.argv[1]
    started = time.monotonic()
    if mode == "self":
        # No progress callback: a thread sends Ctrl-C once the run has taken
        # over SIGINT, i.e. once it is under way.
        def interrupt() -> None:
            while signal.getsignal(signal.SIGINT) is signal.default_int_handler:
                time.sleep(0.01)
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=interrupt, daemon=True).start()
        progress = None
    else:
        seen = []
        def progress(report):
            if not seen:
                seen.append(report)
                print("running", flush=True)
    benchmark = tarnwick.Benchmark(warmup=30.0, measure=30.0, progress=progress)
    try:
        benchmark.run()
        print("raised=nothing")
    except KeyboardInterrupt:
        print("raised=KeyboardInterrupt")
    print(f"status={benchmark.result.status.name}")
    print(f"reason={benchmark.result.reason}")
    print(f"restored={signal.getsignal(signal.SIGINT) is signal.default_int_handler}")
    print(f"quick={time.monotonic() - started < 15.0}")
    """
)


def start_child(mode: str) -> subprocess.Popen:
    return subprocess.Popen(
        [sys.executable, "-c", CHILD, mode],
        stdout=subprocess.PIPE,
        text=True,
        # A runner that ignores SIGINT would pass that on to the child.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )


class CtrlC(unittest.TestCase):
    expected = [
        "raised=KeyboardInterrupt",
        "status=CANCELLED",
        "reason=cancelled",
        "restored=True",
        "quick=True",
    ]

    def test_ctrl_c_from_outside_during_the_run(self) -> None:
        child = start_child("outside")
        try:
            assert child.stdout is not None
            self.assertEqual(child.stdout.readline().strip(), "running")
            child.send_signal(signal.SIGINT)
            out, _ = child.communicate(timeout=PATIENCE)
        finally:
            child.kill()
            child.wait()
        self.assertEqual(child.returncode, 0)
        self.assertEqual(out.split(), self.expected)

    def test_ctrl_c_without_a_progress_callback(self) -> None:
        child = start_child("self")
        try:
            out, _ = child.communicate(timeout=PATIENCE)
        finally:
            child.kill()
            child.wait()
        self.assertEqual(child.returncode, 0)
        self.assertEqual(out.split(), self.expected)


class SignalHandlerScope(unittest.TestCase):
    def handler_during_run(self) -> List[object]:
        seen: List[object] = []
        tarnwick.run(
            warmup=0.0,
            measure=0.05,
            progress=lambda _: seen.append(signal.getsignal(signal.SIGINT)),
        )
        return seen

    def test_taken_on_the_main_thread_and_given_back(self) -> None:
        seen = self.handler_during_run()
        self.assertTrue(seen)
        self.assertTrue(all(h is not signal.default_int_handler for h in seen))
        self.assertIs(signal.getsignal(signal.SIGINT), signal.default_int_handler)

    def test_left_alone_on_other_threads_and_when_the_host_has_its_own(self) -> None:
        seen: List[object] = []
        worker = threading.Thread(target=lambda: seen.extend(self.handler_during_run()))
        worker.start()
        worker.join(PATIENCE)
        self.assertTrue(seen)
        self.assertTrue(all(h is signal.default_int_handler for h in seen))

        def own(signum: int, frame: object) -> None:
            pass

        previous = signal.signal(signal.SIGINT, own)
        try:
            self.assertTrue(all(h is own for h in self.handler_during_run()))
        finally:
            signal.signal(signal.SIGINT, previous)


def catches(pid: int, signum: int) -> bool:
    """Whether process `pid` has a handler installed for `signum` (SigCgt)."""
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("SigCgt:"):
                return bool(int(line.split()[1], 16) >> (signum - 1) & 1)
    return False


class Sigterm(unittest.TestCase):
    def test_python_m_tarnwick_cancels_reports_and_exits_1(self) -> None:
        child = subprocess.Popen(
            [sys.executable, "-m", "tarnwick", "--warmup", "60", "--measure", "60"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            cwd=Path(tarnwick.__file__).resolve().parents[1],
        )
        try:
            # Sent once the handler is in place: before that, SIGTERM would
            # end the interpreter without a word, which is what is tested.
            deadline = time.monotonic() + PATIENCE
            while not catches(child.pid, signal.SIGTERM) and time.monotonic() < deadline:
                time.sleep(0.01)
            self.assertTrue(catches(child.pid, signal.SIGTERM), "no SIGTERM handler was installed")
            sent = time.monotonic()
            child.send_signal(signal.SIGTERM)
            out, err = child.communicate(timeout=PATIENCE)
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
        self.assertEqual(child.returncode, 1, err)
        self.assertLess(time.monotonic() - sent, 5.0, "the run was not cancelled")
        self.assertIn("cancelled    what was measured before SIGTERM", out)
        self.assertRegex(out, r"(?m)^tarnwick \d+\.\d+\.\d+ \(library ")


if __name__ == "__main__":
    unittest.main()
