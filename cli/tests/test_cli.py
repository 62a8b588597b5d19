"""End-to-end tests of the tarnwick program: real runs with short windows.

Usage: test_cli.py PATH_TO_TARNWICK [TestCaseName ...]
Nothing here asserts a speed: only the shape and the consistency of what the
program reports.
"""

import fcntl
import json
import math
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import tty
import unittest
import xml.etree.ElementTree as ElementTree

import validate_json

BINARY = ""
VALIDATOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "validate_json.py")
SHORT = ["--warmup", "0.05", "--measure", "1.3"]
BRIEF = ["--warmup", "0.05", "--measure", "0.3", "--quiet"]
DURATIONS_REASON = "durations must be finite: warmup >= 0, measurement > 0"
PROGRESS_LINE = r"(warm-up|measuring) +[\u2588\u2591]+ +\d+%"


def load_document(text):
    """The program's JSON document, checked against docs/result.schema.json."""
    document = json.loads(text)
    errors = validate_json.check(document)
    if errors:
        raise AssertionError("the document breaks its schema:\n" + "\n".join(errors))
    return document


def run(args, timeout=60):
    return subprocess.run([BINARY] + args, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=timeout)


def set_columns(fd, columns):
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))


def run_on_terminal(args, signal_when=None, signal_number=signal.SIGINT, timeout=60,
                    columns=80, env=None, resize_to=None):
    """Runs with standard error on a pseudo-terminal of `columns` columns and
    collects both outputs. When signal_when(terminal_text) first holds, sends
    the signal (or, with resize_to, resizes the terminal and sends SIGWINCH).
    Returns (exit status, stdout, terminal text, seconds from signal to exit)."""
    master, slave = pty.openpty()
    tty.setraw(slave)  # no \n to \r\n translation: every \r seen is the program's
    set_columns(slave, columns)
    process = subprocess.Popen([BINARY] + args, stdout=subprocess.PIPE,
                               stderr=slave, stdin=subprocess.DEVNULL, env=env)
    os.close(slave)
    terminal = b""
    signalled_at = None
    open_terminal = True
    deadline = time.monotonic() + timeout
    try:
        # Read until the program has exited and its side of the terminal is
        # closed (reading then fails or returns nothing).
        while open_terminal or process.poll() is None:
            if time.monotonic() > deadline:
                raise AssertionError("no exit in time; terminal so far:\n"
                                     + terminal.decode(errors="replace"))
            if open_terminal:
                ready, _, _ = select.select([master], [], [], 0.05)
                if ready:
                    try:
                        chunk = os.read(master, 4096)
                    except OSError:
                        chunk = b""
                    terminal += chunk
                    open_terminal = bool(chunk)
            else:
                time.sleep(0.01)
            if (signal_when is not None and signalled_at is None
                    and signal_when(terminal.decode(errors="replace"))):
                if resize_to is not None:
                    set_columns(master, resize_to)
                    process.send_signal(signal.SIGWINCH)
                else:
                    process.send_signal(signal_number)
                signalled_at = time.monotonic()
        stdout = process.stdout.read().decode()
    finally:
        os.close(master)
        if process.poll() is None:
            process.kill()
        process.wait()
        process.stdout.close()
    waited = None if signalled_at is None else time.monotonic() - signalled_at
    return process.returncode, stdout, terminal.decode(errors="replace"), waited


class FullFifo:
    """A FIFO with a reader that never reads and a pipe buffer already full:
    a writer blocks in write() until it is stopped."""

    def __init__(self, path):
        os.mkfifo(path)
        self.reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        self.filler = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
        try:
            while True:
                os.write(self.filler, b"x" * 65536)
        except BlockingIOError:
            pass

    def close(self):
        os.close(self.filler)
        os.close(self.reader)


def wait_for(condition, seconds, what):
    """Polls `condition` until it holds; generous, for a loaded machine."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


def blocked_in_pipe_write(process):
    try:
        with open("/proc/%d/wchan" % process.pid) as wchan:
            return "pipe_write" in wchan.read()  # pipe_write, anon_pipe_write
    except OSError:
        return False


def frames(terminal_text):
    """The progress lines drawn, each as the terminal shows it."""
    return [re.sub(r"\x1b\[(K|2K|A)", "", frame).rstrip(" ")
            for frame in terminal_text.split("\r") if re.search(r"steps/s", frame)]


def without_frames(terminal_text):
    """What stays on the terminal once the progress line is erased."""
    return re.sub(r"\r(\x1b\[2K|\x1b\[A)*[^\r\n\x1b]*\x1b\[K", "", terminal_text)


def measured_elapsed(terminal_text):
    """Whole-run seconds shown by the last progress line of the measurement."""
    matches = re.findall(r"measuring .*? (\d+):(\d\d) / ", terminal_text)
    matches += re.findall(r"measuring .*? (\d+)\.(\d) s / ", terminal_text)
    if not matches:
        return -1
    minutes, seconds = matches[-1]
    return int(minutes) * 60 + int(seconds)


class Checks(unittest.TestCase):
    def assert_consistent_run(self, run, completed=True):
        samples = run["samples"]
        self.assertEqual(run["sample_count"], len(samples))
        self.assertEqual(sum(s["operations"] for s in samples), run["operations"])
        # Samples are contiguous from 0 to the end of the measured window.
        begin = 0.0
        for sample in samples:
            self.assertGreater(sample["duration"], 0.0)
            self.assertAlmostEqual(sample["time"] - sample["duration"], begin, delta=1e-9)
            self.assertAlmostEqual(sample["rate"], sample["operations"] / sample["duration"],
                                   delta=1e-9 * max(1.0, sample["rate"]))
            begin = sample["time"]
        if samples:
            self.assertAlmostEqual(samples[-1]["time"], run["measured_seconds"], delta=1e-9)
        if completed:
            self.assertEqual(run["status"], 0)
            self.assertEqual(run["status_name"], "completed")
            self.assertEqual(run["reason"], "")
            expected = run["operations"] / run["measured_seconds"]
            self.assertAlmostEqual(run["mean_rate"], expected, delta=1e-12 * expected)
            self.assertGreater(run["operations"], 0)
            self.assertEqual(run["has_cv"], len(samples) >= 2)
            if run["has_cv"]:
                self.assertEqual(run["unstable"], run["cv_percent"] > 10.0)
        else:
            self.assertIsNone(run["mean_rate"])
            self.assertIsNone(run["cv_percent"])
        self.assertEqual(run["checksum_hex"], format(run["checksum"], "016x"))

    def assert_no_progress(self, text):
        self.assertNotIn("\r", text)
        self.assertNotIn("\x1b[K", text)
        self.assertNotRegex(text, PROGRESS_LINE)


SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def library_version():
    return re.search(r"\(library ([^,]+),", run(["--version"]).stdout).group(1)


def statuses_in_help(text):
    """The exit statuses --help lists under "Exit status:"."""
    block = text[text.index("Exit status:"):]
    return [int(n) for n in re.findall(r"(?m)^  (\d+) ", block)]


class Usage(Checks):
    def test_version_names_the_program_the_library_and_its_interface(self):
        result = run(["--version"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"^tarnwick \d+\.\d+\.\d+ \(library \d+\.\d+\.\d+, "
                                        r"ABI 1; built for ABI 1\)\n$")

    def test_every_help_line_fits_80_columns(self):
        for args in (["--help"], ["compare", "--help"], ["history", "--help"],
                     ["report", "--help"]):
            with self.subTest(args=args):
                result = run(args)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertGreater(len(result.stdout.splitlines()), 5)
                for line in result.stdout.splitlines():
                    self.assertLessEqual(len(line), 80, line)
        # Folding keeps every word: the options' descriptions read as before.
        self.assertIn("--plot", run(["--help"]).stdout)

    def test_exit_statuses_agree_in_help_readme_and_manual(self):
        in_help = statuses_in_help(run(["--help"]).stdout)
        self.assertEqual(in_help, sorted(in_help))
        with open(os.path.join(SOURCE_ROOT, "README.md"), encoding="utf-8") as handle:
            readme = handle.read()
        table = readme[readme.index("**Exit status**"):]
        table = table[:table.index("\n\n", table.index("| status |"))]
        in_readme = [int(n) for n in re.findall(r"(?m)^\| (\d+) \|", table)]
        with open(os.path.join(SOURCE_ROOT, "packaging", "man", "tarnwick.1.in"),
                  encoding="utf-8") as handle:
            manual = handle.read()
        section = manual[manual.index(".SH EXIT STATUS"):]
        section = section[:section.index(".SH ", 1)]
        in_manual = [int(n) for n in re.findall(r"(?m)^\.TP\n\.B (\d+)$", section)]
        self.assertEqual(in_readme, in_help)
        self.assertEqual(in_manual, in_help)
        for status in (0, 1, 2, 3, 64, 128 + signal.SIGHUP, 128 + signal.SIGINT,
                       128 + signal.SIGTERM):
            self.assertIn(status, in_help)

    def test_an_unknown_option_of_a_command_points_to_its_help(self):
        for command, more in (("report", []), ("history", []), ("compare", []),
                              ("report", ["."]), ("compare", ["a.json", "b.json"])):
            with self.subTest(command=command, more=more):
                result = run([command, "--frobnicate"] + more)
                self.assertEqual(result.returncode, 64, result.stderr)
                self.assertEqual(result.stderr.splitlines(), [
                    "tarnwick: unknown option '--frobnicate'",
                    f"Run 'tarnwick {command} --help' for the options."])
        result = run(["--frobnicate"])
        self.assertEqual(result.stderr.splitlines()[1], "Run 'tarnwick --help' for the options.")

    def test_help_lists_options_and_exit_statuses(self):
        result = run(["--help"])
        self.assertEqual(result.returncode, 0)
        for option in ("--warmup", "--measure", "--all-cpus", "--both", "--json", "--csv",
                       "--plot", "--quiet", "--version", "Exit status"):
            self.assertIn(option, result.stdout)

    def test_bad_command_lines_exit_64_with_a_hint(self):
        cases = [
            (["--warmup", "5s"], "--warmup: expected a number of seconds, got '5s'"),
            (["--frobnicate"], "unknown option '--frobnicate'"),
            (["--both", "--all-cpus"], "--all-cpus and --both cannot be used together"),
            (["--measure"], "--measure: needs a value"),
            (["--warmup", "--quiet"], "--warmup: needs a value"),
            (["--quiet", "--quiet"], "--quiet given twice"),
            (["--csv", ""], "--csv: expected a file name, got ''"),
            (["--csv", "x", "--plot", "./x"], "--csv and --plot name the same file"),
            (["--output", "-", "--json"], "--output - and --json both write to standard output"),
            (["--csv", "-", "--plot", "-"], "--csv - and --plot - both write to standard output"),
            # An option where a file name belongs is the file name's absence.
            (["--output", "--json"], "--output: expected a file name, got '--json'"),
            (["--csv", "--quiet"], "--csv: expected a file name, got '--quiet'"),
            (["--plot=-x"], "--plot: expected a file name, got '-x' (a file of that name: ./-x)"),
            (["history", "--import", "--history", "h.db"],
             "--import: expected a file name, got '--history'"),
            (["report", "--csv", "--json", "."], "--csv: expected a file name, got '--json'"),
            # Standard output by any name is one output.
            (["--json", "--output", "/dev/stdout"],
             "--output /dev/stdout and --json both write to standard output"),
            (["--output", "-", "--plot", "/dev/stdout"],
             "--output - and --plot /dev/stdout both write to standard output"),
            (["--json", "--csv", "/proc/self/fd/1"],
             "--csv /proc/self/fd/1 and --json both write to standard output"),
            (["--csv", "/dev/fd/1", "--prom", "-"],
             "--csv /dev/fd/1 and --prom - both write to standard output"),
            (["report", "--json", "--plot", "/dev/stdout", "."],
             "--plot /dev/stdout and --json both write to standard output"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                result = run(args)
                self.assertEqual(result.returncode, 64, result.stderr)
                lines = result.stderr.splitlines()
                self.assertEqual(len(lines), 2, result.stderr)
                self.assertTrue(lines[0].startswith("tarnwick: "), lines[0])
                self.assertIn(message, lines[0])
                self.assertIn("--help", lines[1])
                self.assertEqual(result.stdout, "")

    def test_every_write_to_standard_output_is_checked(self):
        with tempfile.TemporaryDirectory() as directory:
            document = os.path.join(directory, "run.json")
            history = os.path.join(directory, "h.db")
            self.assertEqual(run(BRIEF + ["--output", document]).returncode, 0)
            with open(document) as handle:
                run_id = json.load(handle)["runs"][0]["id"]
            cases = [["--help"], ["--version"], ["history", "--help"], ["report", "--help"],
                     ["history", "--import", document, "--history", history],
                     ["history", "--delete", run_id, "--history", history]]
            for args in cases:
                with self.subTest(args=args), open("/dev/full", "w") as full:
                    result = subprocess.run([BINARY] + args, stdout=full, stderr=subprocess.PIPE,
                                            text=True, timeout=60)
                    self.assertEqual(result.returncode, 2, result.stderr)
                    self.assertEqual(result.stderr, "tarnwick: cannot write standard output: "
                                                    "No space left on device\n")

    def test_no_build_tree_binary_searches_a_relative_library_path(self):
        # An empty RUNPATH entry is the working directory: a library planted
        # there would be loaded.
        readelf = shutil.which("readelf")
        if readelf is None:
            self.skipTest("no readelf")
        root = os.path.dirname(BINARY)
        while not os.path.exists(os.path.join(root, "CMakeCache.txt")):
            self.assertNotEqual(root, "/", "no build tree above the program")
            root = os.path.dirname(root)
        checked = []
        for folder, _, names in os.walk(root):
            for name in names:
                path = os.path.join(folder, name)
                if os.path.islink(path) or not os.access(path, os.X_OK) or "CMakeFiles" in path:
                    continue
                with open(path, "rb") as handle:
                    if handle.read(4) != b"\x7fELF":
                        continue
                dynamic = subprocess.run([readelf, "-d", path], capture_output=True,
                                         text=True).stdout
                for found in re.findall(r"\((?:RUNPATH|RPATH)\).*\[(.*)\]", dynamic):
                    checked.append(path)
                    for entry in found.split(":"):
                        with self.subTest(binary=path, runpath=found):
                            self.assertTrue(entry.startswith(("/", "$ORIGIN")), entry)
        self.assertIn(BINARY, checked)
        self.assertTrue(any("_test" in os.path.basename(p) for p in checked), checked)

    def test_needs_nothing_at_run_time_but_the_library_and_the_runtime(self):
        ldd = shutil.which("ldd")
        if ldd is None:
            self.skipTest("no ldd")
        listing = subprocess.run([ldd, BINARY], capture_output=True, text=True).stdout
        self.assertIn("libtarnwick.so", listing)
        self.assertNotIn("not found", listing)
        for unwanted in ("libfmt", "CLI11", "json"):
            self.assertNotIn(unwanted, listing)


class Rejections(Checks):
    def test_the_library_rejects_bad_values_with_its_own_reason(self):
        # The reason is the library's; the program names the options that were set.
        cases = [
            (["--warmup", "-1", "--measure", "1"], "--warmup -1 and --measure 1: " + DURATIONS_REASON),
            (["--measure", "nan"], "--measure nan: " + DURATIONS_REASON),
            (["--measure", "0", "--all-cpus"], "--measure 0: " + DURATIONS_REASON),
            (["--warmup", "1e400"], "--warmup 1e400: " + DURATIONS_REASON),
            (["--warmup", "0", "--measure", "1e-10"],
             "--warmup 0 and --measure 1e-10: measurement duration must be positive"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                result = run(args)
                self.assertEqual(result.returncode, 2, result.stderr)
                # Nothing about the host before a rejection: the reason alone.
                self.assertEqual(result.stderr, "tarnwick: " + message + "\n")
                self.assertEqual(result.stdout, "")

    def test_a_rejection_still_gives_a_json_document(self):
        result = run(["--warmup", "-0.5", "--measure", "1", "--json"])
        self.assertEqual(result.returncode, 2)
        self.assertIn(DURATIONS_REASON, result.stderr)
        doc = load_document(result.stdout)
        self.assertEqual(doc["status"], "failed")
        [rejected] = doc["runs"]
        self.assertEqual(rejected["status"], 2)
        self.assertEqual(rejected["reason"], DURATIONS_REASON)
        self.assertEqual(rejected["warmup_seconds"], -0.5)
        self.assertEqual(rejected["samples"], [])
        # A duration JSON cannot hold is null, and the document stays valid.
        result = run(["--warmup", "1e400", "--measure", "1", "--json"])
        self.assertEqual(result.returncode, 2)
        self.assertIsNone(load_document(result.stdout)["runs"][0]["warmup_seconds"])

    def test_an_unwritable_output_fails_before_the_run(self):
        for option in ("--csv", "--plot"):
            with self.subTest(option=option):
                started = time.monotonic()
                result = run([option, "/nonexistent-dir/out"])
                self.assertEqual(result.returncode, 2)
                self.assertIn("tarnwick: cannot write '/nonexistent-dir/out'", result.stderr)
                # With the default two-minute warm-up, only an early check is this quick.
                self.assertLess(time.monotonic() - started, 30)


class Outputs(Checks):
    def test_json_csv_and_plot_agree_with_each_other(self):
        with tempfile.TemporaryDirectory() as directory:
            csv_path = os.path.join(directory, "samples.csv")
            svg_path = os.path.join(directory, "rates.svg")
            result = run(SHORT + ["--json", "--csv", csv_path, "--plot", svg_path])
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assert_no_progress(result.stderr)
            doc = load_document(result.stdout)
            version = library_version()
            self.assertEqual(doc["library"], {"version": version, "abi_version": 1})
            self.assertEqual(doc["status"], "completed")
            self.assertIsNone(doc["scaling"])
            host = doc["host"]
            self.assertGreaterEqual(host["cpus_available"], 1)
            self.assertEqual(host["cpus_source"], "affinity")
            for key in ("cpu_model", "governor", "load_average_1m"):
                self.assertIn(key, host)
            [single] = doc["runs"]
            self.assertEqual((single["label"], single["benchmark"], single["threads"]),
                             ("single", 1, 1))
            self.assertEqual((single["warmup_seconds"], single["measure_seconds"]), (0.05, 1.3))
            self.assert_consistent_run(single)

            with open(csv_path, newline="") as handle:
                lines = handle.read().splitlines()
            self.assertEqual(lines[0].split(",")[:8], ["run", "threads", "index", "time",
                                                        "duration", "operations", "rate",
                                                        "repetition"])
            self.assertEqual(len(lines) - 1, len(single["samples"]))
            for line, sample in zip(lines[1:], single["samples"]):
                label, threads, index, at, duration, operations, rate, repetition = \
                    line.split(",")[:8]
                self.assertEqual(repetition, "1")
                self.assertEqual((label, int(threads)), ("single", 1))
                self.assertEqual(float(at), sample["time"])
                self.assertEqual(float(duration), sample["duration"])
                self.assertEqual(int(operations), sample["operations"])
                self.assertEqual(float(rate), sample["rate"])

            svg = ElementTree.parse(svg_path).getroot()
            self.assertEqual(svg.tag, "{http://www.w3.org/2000/svg}svg")
            texts = " ".join(t.text or "" for t in svg.iter("{http://www.w3.org/2000/svg}text"))
            self.assertIn("tarnwick " + version, texts)
            self.assertIn("1 worker", texts)
            self.assertIn("time in the measured window (s)", texts)
            self.assertIn("rate (steps/s", texts)
            self.assertEqual(len(list(svg.iter("{http://www.w3.org/2000/svg}path"))), 1)

    def test_summary_shows_the_figures(self):
        result = run(SHORT)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_no_progress(result.stderr)
        for label in ("mean rate", "variation", "window", "steps", "samples", "checksum",
                      "per second", "host"):
            self.assertIn(label, result.stdout)
        self.assertRegex(result.stdout, r"mean rate +[\d,]+ steps/s")
        self.assertRegex(result.stdout, r"% CV, (stable|UNSTABLE)")

    def test_both_runs_single_then_all_cpus_and_scales(self):
        result = run(SHORT + ["--both", "--json"], timeout=90)
        self.assertEqual(result.returncode, 0, result.stderr)
        doc = load_document(result.stdout)
        single, multi = doc["runs"]
        self.assertEqual((single["label"], single["threads"]), ("single", 1))
        self.assertEqual((multi["label"], multi["benchmark"]), ("all-cpus", 2))
        self.assert_consistent_run(single)
        self.assert_consistent_run(multi)
        self.assertEqual(doc["host"]["cpus_available"], multi["threads"])
        self.assertEqual(doc["host"]["cpus_source"], "library")
        expected = multi["mean_rate"] / (multi["threads"] * single["mean_rate"])
        self.assertTrue(math.isclose(doc["scaling"], expected, rel_tol=1e-12))

    def test_a_document_on_a_stream_is_one_line_and_in_a_file_indented(self):
        with tempfile.TemporaryDirectory() as directory:
            saved = os.path.join(directory, "run.json")
            cases = [(["--json", "--output", saved], True), (["--output", "-"], False),
                     (["--output", "/dev/stdout"], False), (["--output", "/dev/fd/1"], False)]
            for args, to_file in cases:
                with self.subTest(args=args):
                    result = run(BRIEF + args)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertEqual(result.stdout.count("\n"), 1, result.stdout[:200])
                    self.assertTrue(result.stdout.endswith("}\n"))
                    document = load_document(result.stdout)
                    # Standard output carries the document: the summary moves aside.
                    self.assertEqual("mean rate" in result.stderr, not args[0] == "--json")
                    if to_file:
                        with open(saved) as handle:
                            text = handle.read()
                        self.assertGreater(text.count("\n"), 20)
                        self.assertEqual(json.loads(text), document)
            # A FIFO is a stream too.
            fifo = os.path.join(directory, "fifo")
            os.mkfifo(fifo)
            reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
            try:
                result = run(BRIEF + ["--output", fifo])
                self.assertEqual(result.returncode, 0, result.stderr)
                text = os.read(reader, 1 << 20).decode()
            finally:
                os.close(reader)
            self.assertEqual(text.count("\n"), 1)
            load_document(text)

    def test_a_log_of_appended_runs_reads_back_in_every_reader(self):
        with tempfile.TemporaryDirectory() as directory:
            log = os.path.join(directory, "runs.jsonl")
            for args in (["--json"], ["--json"], ["--output", "/dev/stdout"]):
                with open(log, "a") as handle:
                    result = subprocess.run([BINARY] + BRIEF + args, stdout=handle,
                                            stderr=subprocess.PIPE, text=True, timeout=60)
                self.assertEqual(result.returncode, 0, result.stderr)
            history = os.path.join(directory, "h.db")
            exported = os.path.join(directory, "export.jsonl")
            imported = run(["history", "--history", history, "--import", log])
            self.assertEqual(imported.returncode, 0, imported.stderr)
            self.assertIn("Imported 3 runs", imported.stdout)
            self.assertEqual(
                run(["history", "--history", history, "--export", exported]).returncode, 0)
            # The log and the history's export, each read by compare and report.
            for path in (log, exported):
                with self.subTest(path=os.path.basename(path)):
                    compared = run(["compare", "--json", path, path])
                    self.assertIn(compared.returncode, (0, 3), compared.stderr)
                    (sides,) = json.loads(compared.stdout)["comparisons"]
                    self.assertEqual(sides["base"]["completed_runs"], 3)
                    self.assertEqual(sides["new"]["completed_runs"], 3)
                    reported = run(["report", "--json", "--all-runs", path])
                    self.assertEqual(reported.returncode, 0, reported.stderr)
                    hosts = json.loads(reported.stdout)["hosts"]
                    self.assertEqual(sum(host["runs"] for host in hosts), 3)

    def test_progress_only_on_a_terminal_and_never_with_quiet(self):
        status, stdout, terminal, _ = run_on_terminal(SHORT)
        self.assertEqual(status, 0, terminal)
        self.assertIn("\r", terminal)
        self.assertRegex(terminal, PROGRESS_LINE)
        self.assertIn("measuring", terminal)
        self.assertIn("mean rate", stdout)
        status, stdout, terminal, _ = run_on_terminal(SHORT + ["--quiet"])
        self.assertEqual(status, 0, terminal)
        self.assert_no_progress(terminal)
        self.assertIn("mean rate", stdout)


class Interrupts(Checks):
    def test_a_cancel_in_the_warmup_changes_no_file_and_stores_nothing(self):
        for extra in ([], ["--repeat", "3", "--both"]):
            with self.subTest(extra=extra), tempfile.TemporaryDirectory() as directory:
                for name, text in PRECIOUS.items():
                    with open(os.path.join(directory, name), "w") as handle:
                        handle.write(text)
                process = subprocess.Popen(
                    [BINARY, "--warmup", "60", "--measure", "1", "--json", "--save", "--history",
                     "h.db", "--prom", "keep.prom"] + FILE_ARGS + extra,
                    cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                # Once the temporary files of the four outputs exist, the run is in its warm-up.
                wait_for(lambda: len(os.listdir(directory)) >= 7, 60, "the outputs to open")
                process.send_signal(signal.SIGTERM)
                stdout, stderr = process.communicate(timeout=60)
                self.assertEqual(process.returncode, 1, stderr)
                self.assertIn("tarnwick: cancelled before the first sample: no file written, "
                              "nothing stored", stderr)
                self.assertEqual(sorted(os.listdir(directory)), sorted(PRECIOUS))
                for name, text in PRECIOUS.items():
                    with open(os.path.join(directory, name)) as handle:
                        self.assertEqual(handle.read(), text, name)
                document = load_document(stdout)
                self.assertEqual(document["status"], "cancelled")
                self.assertEqual([r["sample_count"] for r in document["runs"]], [0])


    def test_a_signal_in_the_measurement_keeps_the_samples(self):
        for signal_number in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=signal_number.name):
                status, stdout, terminal, waited = run_on_terminal(
                    ["--warmup", "0.05", "--measure", "60", "--json"],
                    signal_when=lambda text: measured_elapsed(text) >= 3,
                    signal_number=signal_number)
                self.assertEqual(status, 1, terminal)
                self.assertLess(waited, 5.0)
                doc = load_document(stdout)
                self.assertEqual(doc["status"], "cancelled")
                [run_report] = doc["runs"]
                self.assertEqual(run_report["status"], 1)
                self.assertEqual(run_report["reason"], "cancelled")
                self.assertGreaterEqual(len(run_report["samples"]), 2)
                self.assertLess(run_report["measured_seconds"], 30)
                self.assert_consistent_run(run_report, completed=False)
                # The fleet report names the cancellation once.
                with tempfile.TemporaryDirectory() as directory:
                    with open(os.path.join(directory, "cancelled.json"), "w") as handle:
                        handle.write(stdout)
                    reported = run(["report", directory])
                self.assertIn("the single run cancelled", reported.stderr + reported.stdout)
                self.assertNotIn("cancelled: cancelled", reported.stderr + reported.stdout)

    def test_a_signal_in_the_warmup_prints_a_cancelled_summary(self):
        status, stdout, terminal, waited = run_on_terminal(
            ["--warmup", "60", "--measure", "5", "--both"],
            signal_when=lambda text: "warm-up" in text)
        self.assertEqual(status, 1, terminal)
        self.assertLess(waited, 5.0)
        self.assertIn("CANCELLED", stdout)
        # The second run of --both is not started after a cancellation.
        self.assertEqual(stdout.count("tarnwick 0."), 1, stdout)
        self.assertIn("samples      0", stdout)


PRECIOUS = {"keep.csv": "precious csv\n", "keep.svg": "precious svg\n", "keep.json": "{}\n"}
FILE_ARGS = ["--csv", "keep.csv", "--plot", "keep.svg", "--output", "keep.json"]


class Files(Checks):
    """What the outputs leave behind when a run goes wrong."""

    def setUp(self):
        self.directory = tempfile.mkdtemp()
        for name, text in PRECIOUS.items():
            with open(os.path.join(self.directory, name), "w") as handle:
                handle.write(text)

    def tearDown(self):
        shutil.rmtree(self.directory)

    def assert_untouched(self):
        self.assertEqual(sorted(os.listdir(self.directory)), sorted(PRECIOUS))
        for name, text in PRECIOUS.items():
            with open(os.path.join(self.directory, name)) as handle:
                self.assertEqual(handle.read(), text, name)

    def test_a_failed_or_abandoned_run_leaves_every_file_as_it_was(self):
        def rejected():
            return subprocess.run([BINARY, "--warmup", "-1"] + FILE_ARGS, cwd=self.directory,
                                  capture_output=True, timeout=60).returncode

        def signalled(*signals):
            # The document goes to a FIFO whose reader never reads, so the
            # program, once cancelled, waits there with its other outputs pending.
            fifo = FullFifo(os.path.join(self.directory, "reader"))
            process = subprocess.Popen([BINARY, "--warmup", "0.05", "--measure", "30", "--quiet",
                                        "--csv", "keep.csv", "--plot", "keep.svg",
                                        "--output", "reader"], cwd=self.directory,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            # The temporary files exist once the outputs are open.
            deadline = time.monotonic() + 20
            while len(os.listdir(self.directory)) < 6 and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(0.5)
            for number in signals:
                process.send_signal(number)
                time.sleep(1.0)
            _, errors = process.communicate(timeout=30)
            fifo.close()
            os.unlink(os.path.join(self.directory, "reader"))
            self.unwritten = [line for line in errors.decode().splitlines()
                              if "not written" in line]
            return process.returncode

        cases = [("rejected", rejected, 2),
                 ("SIGHUP", lambda: signalled(signal.SIGHUP), 128 + signal.SIGHUP),
                 ("second Ctrl-C", lambda: signalled(signal.SIGINT, signal.SIGINT),
                  128 + signal.SIGINT)]
        for name, action, status in cases:
            with self.subTest(name):
                if name == "second Ctrl-C" and "thread" in os.environ.get("TARNWICK_SANITIZE", ""):
                    # ThreadSanitizer holds a signal back until the thread
                    # leaves its system call, and write() on the FIFO never does.
                    self.skipTest("signals wait out a blocked write() under ThreadSanitizer")
                self.unwritten = []
                self.assertEqual(action(), status)
                self.assert_untouched()
                # Ended after measuring, while writing the document: the
                # outputs it did not write are named, in the order of writing.
                if name == "second Ctrl-C":
                    self.assertEqual(self.unwritten, [
                        "tarnwick: ended by a signal; not written: --output reader, "
                        "--csv keep.csv, --plot keep.svg"])
                else:
                    self.assertEqual(self.unwritten, [])

    def test_a_fifo_fails_at_once_without_a_reader_and_one_signal_ends_a_wait(self):
        fifo_path = os.path.join(self.directory, "fifo")
        os.mkfifo(fifo_path)
        started = time.monotonic()
        result = subprocess.run([BINARY, "--csv", "keep.csv", "--output", "fifo"],
                                cwd=self.directory, capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 2)
        self.assertIn("cannot write 'fifo': no process is reading the FIFO", result.stderr)
        self.assertLess(time.monotonic() - started, 30)  # before the default 2-minute warm-up
        os.unlink(fifo_path)
        self.assert_untouched()
        # A reader that stops reading: the first SIGTERM (what timeout and
        # systemd send) ends the wait at once.
        if "thread" in os.environ.get("TARNWICK_SANITIZE", ""):
            self.skipTest("signals wait out a blocked write() under ThreadSanitizer")
        fifo = FullFifo(fifo_path)
        try:
            process = subprocess.Popen([BINARY] + BRIEF + ["--csv", "keep.csv", "--output", "fifo"],
                                       cwd=self.directory,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            wait_for(lambda: blocked_in_pipe_write(process), 60, "the write to block")
            process.send_signal(signal.SIGTERM)
            _, errors = process.communicate(timeout=10)
        finally:
            fifo.close()
        self.assertEqual(process.returncode, 128 + signal.SIGTERM)
        self.assertIn(b"tarnwick: ended by a signal; not written: --output fifo, --csv keep.csv\n",
                      errors)
        os.unlink(fifo_path)
        self.assert_untouched()

    def test_a_path_to_the_file_standard_output_is_on_is_standard_output(self):
        log_path = os.path.join(self.directory, "log")
        with open(log_path, "w") as log:
            result = subprocess.run([BINARY, "--json", "--output", log_path], stdout=log,
                                    stderr=subprocess.PIPE, text=True, timeout=60)
        self.assertEqual(result.returncode, 64, result.stderr)
        self.assertIn("--output %s and --json both write to standard output" % log_path,
                      result.stderr)
        with open(log_path) as log:
            self.assertEqual(log.read(), "")
        # A name that starts with '-' is written through an explicit path.
        result = subprocess.run([BINARY] + BRIEF + ["--output=./-x"], cwd=self.directory,
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(self.directory, "-x")) as handle:
            self.assertEqual(json.load(handle)["status"], "completed")

    def test_standard_output_is_an_output_like_the_others(self):
        result = run(SHORT + ["--csv", "-", "--quiet"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.startswith("run,threads,index,"), result.stdout)
        self.assertIn("mean rate", result.stderr)  # the summary moves aside
        self.assertFalse(os.path.exists("-"))
        with open("/dev/full", "w") as full:
            result = subprocess.run([BINARY] + SHORT + ["--json"], stdout=full,
                                    stderr=subprocess.PIPE, text=True, timeout=60)
        self.assertEqual(result.returncode, 2)
        self.assertIn("tarnwick: cannot write standard output: No space left on device",
                      result.stderr)
        process = subprocess.Popen([BINARY] + SHORT + ["--json"], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        process.stdout.close()
        _, errors = process.communicate(timeout=60)
        self.assertEqual(process.returncode, 2)
        self.assertIn("tarnwick: cannot write standard output: Broken pipe", errors)
        # /dev/stdout and /dev/fd/1 name the open file behind them: appended
        # to through the redirection, never replaced.
        log_path = os.path.join(self.directory, "log.jsonl")
        for path in ("/dev/stdout", "/dev/fd/1"):
            with open(log_path, "w") as log:
                log.write("earlier line\n")
            with open(log_path, "a") as log:
                result = subprocess.run([BINARY] + SHORT + ["--quiet", "--output", path],
                                        stdout=log, stderr=subprocess.PIPE, timeout=60)
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(log_path) as log:
                text = log.read()
            self.assertTrue(text.startswith("earlier line\n"), text)
            # A stream gets the document as one line.
            self.assertTrue(text.endswith("}\n") and text.count("\n") == 2, text)
            self.assertIn('"schema_version":1', text)
        # A closed standard output is not where a file goes, and a full
        # standard error costs no result.
        document = os.path.join(self.directory, "closed.json")
        result = subprocess.run([BINARY] + SHORT + ["--quiet", "--output", document],
                                preexec_fn=lambda: os.close(1), stderr=subprocess.PIPE,
                                timeout=60)
        self.assertEqual(result.returncode, 2, result.stderr)
        with open(document) as handle:
            self.assertEqual(json.load(handle)["schema_version"], 1)
        with open("/dev/full", "w") as full:
            result = subprocess.run([BINARY] + SHORT + ["--json"], stderr=full,
                                    stdout=subprocess.PIPE, timeout=60)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(json.loads(result.stdout)["schema_version"], 1)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv") and shutil.which("unshare"),
                         "needs root, setpriv and unshare")
    def test_unwritable_places_fail_at_once_or_keep_the_old_file(self):
        os.chmod(self.directory, 0o755)
        as_nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", BINARY]
        started = time.monotonic()
        result = subprocess.run(as_nobody + ["--csv", os.path.join(self.directory, "new.csv")],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 2)
        self.assertIn("new.csv': Permission denied", result.stderr)
        self.assertLess(time.monotonic() - started, 30)  # before the default 2-minute warm-up
        # A disk that fills up: the old file stays, whole, and nothing is left behind.
        script = ('mount -t tmpfs -o size=64k tmpfs "$1" && printf "precious csv\\n" > "$1/keep.csv"'
                  ' && (dd if=/dev/zero of="$1/fill" bs=4k 2>/dev/null; true)'
                  ' && "$2" --warmup 0.05 --measure 1.2 --quiet --csv "$1/keep.csv"; echo "status $?";'
                  ' cat "$1/keep.csv"; ls -A "$1"')
        result = subprocess.run(["unshare", "-m", "sh", "-c", script, "sh", self.directory, BINARY],
                                capture_output=True, text=True, timeout=60)
        self.assertIn("status 2\nprecious csv\nfill\nkeep.csv\n", result.stdout, result.stderr)
        self.assertIn("keep.csv': No space left on device", result.stderr)


class Terminal(Checks):
    """The display, as a terminal of a given width shows it."""

    def test_the_progress_line_never_wraps(self):
        for columns in (200, 80, 40):
            with self.subTest(columns=columns):
                status, _, terminal, _ = run_on_terminal(
                    ["--warmup", "0.05", "--measure", "1.2", "--both"], columns=columns)
                self.assertEqual(status, 0, terminal)
                drawn = frames(terminal)
                self.assertTrue(drawn, terminal)
                for frame in drawn:
                    self.assertLess(len(frame), columns, frame)
                    self.assertIn("steps/s", frame)
                if columns >= 80:
                    self.assertTrue(any("1/2" in f for f in drawn) and any("2/2" in f for f in drawn))
        status, _, terminal, _ = run_on_terminal(
            ["--warmup", "0.05", "--measure", "4"], columns=120, resize_to=45,
            signal_when=lambda text: len(frames(text)) >= 2)
        self.assertEqual(status, 0, terminal)
        after = frames(terminal.split("\x1b[K", 3)[-1])
        self.assertTrue(after and all(len(f) < 45 for f in after[-3:]), after[-3:])

    def test_ascii_outside_utf8_and_colour_only_when_wanted(self):
        env = dict(os.environ, LANG="C", LC_ALL="C")
        status, stdout, terminal, _ = run_on_terminal(SHORT, env=env)
        self.assertEqual(status, 0, terminal)
        self.assertTrue((stdout + terminal).isascii(), stdout + terminal)
        self.assertRegex(terminal, r"#+-*")
        cases = [(["--color", "always"], {}, True), (["--color", "never"], {}, False),
                 ([], {}, False), (["--color", "always"], {"NO_COLOR": "1"}, True)]
        for args, extra, coloured in cases:
            with self.subTest(args=args, env=extra):
                result = subprocess.run([BINARY] + SHORT + args, capture_output=True, text=True,
                                        env=dict(os.environ, **extra), timeout=60)
                self.assertEqual("\x1b[" in result.stdout, coloured, result.stdout)
        status, stdout, terminal, _ = run_on_terminal(SHORT, env=dict(os.environ, NO_COLOR="1"))
        self.assertNotIn("\x1b[3", stdout + terminal)

    def test_a_dumb_terminal_gets_no_escape_sequence(self):
        env = dict(os.environ, TERM="dumb")
        env.pop("NO_COLOR", None)
        status, stdout, terminal, _ = run_on_terminal(SHORT + ["--csv", "-"], env=env)
        self.assertEqual(status, 0, terminal)
        self.assertTrue(frames(terminal), terminal)
        self.assertIn("mean rate", terminal)
        self.assertNotIn("\x1b", terminal + stdout)

    def test_the_rate_shown_comes_from_a_whole_interval(self):
        status, _, terminal, _ = run_on_terminal(["--warmup", "0.5", "--measure", "1.5"])
        self.assertEqual(status, 0, terminal)
        drawn = frames(terminal)
        # A phase's first report measures nothing yet: no "0 steps/s" while
        # workers start, no spike from a millisecond's steps. Only the first
        # frame is asserted; a loaded machine may well stall a worker later.
        for phase in ("warm-up", "measuring"):
            shown = [f for f in drawn if phase in f]
            self.assertTrue(shown, drawn)
            self.assertRegex(shown[0], r" - steps/s$", drawn)
        self.assertRegex(drawn[-1], r"\d steps/s$", drawn)

    def test_the_summary_and_warnings_wrap_at_words(self):
        # With the samples on standard output, the summary shares the terminal.
        status, stdout, terminal, _ = run_on_terminal(SHORT + ["--csv", "-"], columns=40)
        self.assertEqual(status, 0, terminal)
        self.assertTrue(stdout.startswith("run,"), stdout)
        shown = without_frames(terminal)
        self.assertIn("mean rate", shown)
        for line in re.sub(r"\x1b\[[\d;]*m", "", shown).splitlines():
            self.assertLess(len(line), 40, shown)
        flowing = " ".join(shown.split())
        self.assertRegex(flowing, r"window [\d.]+ s measured of 1\.3 s, after a 0\.05 s warm-up")
        self.assertIn("(\u2584 is the mean, a step 5 %)", flowing)
        for warning in re.findall(r"tarnwick: warning: (.*?)(?=tarnwick|$)", flowing):
            self.assertRegex(warning, r"(unstable|load average)", flowing)

    def test_narrowing_the_terminal_leaves_no_debris(self):
        """In tmux, which reflows what it shows when it narrows, as most
        terminals now do: a long progress line becomes several rows, and
        all of them must go."""
        tmux = shutil.which("tmux")
        self.assertIsNotNone(tmux, "tmux is missing: scripts/bootstrap test installs it")
        socket = "tarnwick-test-%d" % os.getpid()
        base = [tmux, "-L", socket, "-f", "/dev/null"]
        command = ("LC_ALL=C %s --warmup 0.3 --measure 3 --both; echo tarnwick-ended; sleep 60"
                   % BINARY)
        # Tall enough to show everything after the resize, so that nothing
        # the program wrote scrolls out of what is checked.
        subprocess.run(base + ["new-session", "-d", "-x", "120", "-y", "100", command],
                       check=True, timeout=30)
        server = int(subprocess.run(base + ["display-message", "-p", "#{pid}"], check=True,
                                    capture_output=True, text=True, timeout=30).stdout)

        def pane():
            return subprocess.run(base + ["capture-pane", "-p"], check=True,
                                  capture_output=True, text=True, timeout=30).stdout

        def progress_rows(text):
            return [line for line in text.splitlines()
                    if re.search(r"measuring|warm-up |left \d|\d%  |s / \d|^\S*\s*[\d,]+ steps/s$",
                                 line)]

        try:
            deadline = time.monotonic() + 60
            while "measuring" not in pane():
                self.assertLess(time.monotonic(), deadline, pane())
                time.sleep(0.05)
            wide = [line for line in pane().splitlines() if "measuring" in line]
            self.assertGreater(max(len(line) for line in wide), 80, wide)
            subprocess.run(base + ["resize-window", "-x", "40"], check=True, timeout=30)
            # The first frame drawn for 40 columns ("1/2  left 3.1 s  ...").
            during = pane()
            while not re.search(r"^\d/2  left \d", during, re.M) and "mean rate" not in during:
                self.assertLess(time.monotonic(), deadline, during)
                time.sleep(0.05)
                during = pane()
            while "tarnwick-ended" not in pane():
                self.assertLess(time.monotonic(), deadline, pane())
                time.sleep(0.1)
            after = pane()
        finally:
            os.kill(server, signal.SIGTERM)
        # While it runs, one row of progress; once done, none.
        if "mean rate" not in during:
            self.assertEqual(len(progress_rows(during)), 1, during)
        self.assertIn("mean rate", after)
        self.assertEqual(progress_rows(after), [], after)

    def test_ctrl_c_at_80_columns_erases_the_last_frame(self):
        """The terminal echoes Ctrl-C as "^C" after the progress line: a line
        that left less room than that wrapped, and its frame stayed."""
        tmux = shutil.which("tmux")
        self.assertIsNotNone(tmux, "tmux is missing: scripts/bootstrap test installs it")
        socket = "tarnwick-test-c-%d" % os.getpid()
        base = [tmux, "-L", socket, "-f", "/dev/null"]
        # The shell ignores the Ctrl-C meant for the program (which installs
        # its own handler), so that it goes on to say the program ended.
        command = ("trap '' INT; LC_ALL=C %s --warmup 0.05 --measure 60 --both; "
                   "echo tarnwick-ended; sleep 60" % BINARY)
        subprocess.run(base + ["new-session", "-d", "-x", "80", "-y", "60", command],
                       check=True, timeout=30)
        server = int(subprocess.run(base + ["display-message", "-p", "#{pid}"], check=True,
                                    capture_output=True, text=True, timeout=30).stdout)

        def pane():
            return subprocess.run(base + ["capture-pane", "-p"], check=True,
                                  capture_output=True, text=True, timeout=30).stdout

        try:
            deadline = time.monotonic() + 60
            # A frame of the measurement that fills its row.
            while not any("measuring" in line and len(line) >= 75
                          for line in pane().splitlines()):
                self.assertLess(time.monotonic(), deadline, pane())
                time.sleep(0.05)
            subprocess.run(base + ["send-keys", "C-c"], check=True, timeout=30)
            while "tarnwick-ended" not in pane():
                self.assertLess(time.monotonic(), deadline, pane())
                time.sleep(0.1)
            after = pane()
        finally:
            os.kill(server, signal.SIGTERM)
        self.assertIn("CANCELLED", after)
        self.assertEqual([line for line in after.splitlines() if "measuring" in line], [], after)

    def test_a_cancel_in_the_warmup_says_how_long_it_ran(self):
        status, stdout, terminal, _ = run_on_terminal(
            ["--warmup", "60", "--measure", "5"],
            signal_when=lambda text: re.search(r"warm-up .* [1-9]\.\d+ s|0:0[2-9] /", text))
        self.assertEqual(status, 1, terminal)
        match = re.search(r"cancelled during the warm-up, after (\d+\.\d) s of 60 s", stdout)
        self.assertIsNotNone(match, stdout)
        self.assertGreater(float(match.group(1)), 0.5)
        self.assertLess(float(match.group(1)), 30)


class Repetitions(Checks):
    def test_repeated_pairs_keep_every_run(self):
        with tempfile.TemporaryDirectory() as directory:
            csv_path = os.path.join(directory, "runs.csv")
            svg_path = os.path.join(directory, "runs.svg")
            result = run(["--warmup", "0.05", "--measure", "1.1", "--both", "--repeat", "3",
                          "--json", "--csv", csv_path, "--plot", svg_path], timeout=120)
            self.assertEqual(result.returncode, 0, result.stderr)
            doc = json.loads(result.stdout)
            with open(csv_path) as handle:
                rows = [line.split(",") for line in handle.read().splitlines()[1:]]
            self.assert_chart_of_six(svg_path, directory)
        labels = [(r["label"], r["repetition"]) for r in doc["runs"]]
        self.assertEqual(labels, [("single", 1), ("all-cpus", 1), ("single", 2), ("all-cpus", 2),
                                  ("single", 3), ("all-cpus", 3)])
        self.assertEqual(len({r["id"] for r in doc["runs"]}), 6)
        for run_report in doc["runs"]:
            self.assert_consistent_run(run_report)
        self.assertEqual({(row[0], row[7]) for row in rows}, set((l, str(i)) for l, i in labels))
        self.assertEqual([s["label"] for s in doc["repetitions"]], ["single", "all-cpus"])
        single = doc["repetitions"][0]
        rates = sorted(r["mean_rate"] for r in doc["runs"] if r["label"] == "single")
        self.assertEqual((single["runs"], single["min_mean_rate"], single["median_mean_rate"],
                          single["max_mean_rate"]), (3, rates[0], rates[1], rates[2]))
        self.assertEqual(len(doc["scalings"]), 3)
        self.assertAlmostEqual(doc["scaling"], sorted(doc["scalings"])[1], delta=1e-12)
        validated = subprocess.run(["/usr/bin/python3", VALIDATOR, "result", "-"], input=result.stdout,
                                   capture_output=True, text=True)
        self.assertEqual(validated.returncode, 0, validated.stdout + validated.stderr)

    def assert_chart_of_six(self, svg_path, directory):
        """Six panels, each naming its run, all on one rate axis."""
        svg = ElementTree.parse(svg_path).getroot()
        ns = "{http://www.w3.org/2000/svg}"
        self.assertEqual(svg.get("height"), str(6 * 360))
        panels = [g for g in svg.findall(ns + "g")]
        self.assertEqual(len(panels), 6)
        axes, titles = [], []
        for panel in panels:
            texts = list(panel.iter(ns + "text"))
            titles.append(texts[0].text)
            axes.append([t.text for t in texts if t.get("text-anchor") == "end"])
        self.assertEqual(titles, ["tarnwick %s \u00b7 %s \u00b7 run %d of 3" % (
            titles[0].split()[1], label, round) for round in (1, 2, 3)
            for label in ("single", "all-cpus")])
        self.assertTrue(all(axis == axes[0] for axis in axes), axes)
        png = os.path.join(directory, "runs.png")
        subprocess.run(["rsvg-convert", "-o", png, svg_path], check=True, timeout=60)
        with open(png, "rb") as handle:
            self.assertEqual(struct.unpack(">II", handle.read(24)[16:24]), (800, 6 * 360))

    def test_a_cancel_keeps_the_finished_runs(self):
        status, stdout, terminal, _ = run_on_terminal(
            ["--warmup", "0.05", "--measure", "1.1", "--repeat", "5", "--json"],
            signal_when=lambda text: "3/5" in text)
        self.assertEqual(status, 1, terminal)
        doc = json.loads(stdout)
        self.assertEqual([r["status_name"] for r in doc["runs"]][:2], ["completed", "completed"])
        self.assertEqual(doc["runs"][-1]["status_name"], "cancelled")
        self.assertEqual(doc["repetitions"][0]["runs"], len(doc["runs"]) - 1)


T_4 = 2.7764451051977987  # Student's t, 4 degrees of freedom, 97.5 %


class Precision(Checks):
    """--precision: runs on the real engine until the interval is narrow
    enough or the limit comes. The machine may be loaded, so every test
    accepts either ending and checks that what the document says holds."""

    def assert_precision_document(self, doc, target, max_seconds, warmup):
        precision = doc["precision"]
        self.assertEqual((precision["target_percent"], precision["max_seconds"]),
                         (target, max_seconds))
        self.assertEqual(precision["first_stage_runs"], 5)
        by_label = {}
        for run_report in doc["runs"]:
            by_label.setdefault(run_report["label"], []).append(run_report)
        self.assertEqual([o["label"] for o in precision["labels"]], list(by_label))
        for outcome in precision["labels"]:
            runs = by_label[outcome["label"]]
            self.assertEqual([r["repetition"] for r in runs], list(range(1, len(runs) + 1)))
            # One warm-up per label; the later runs start warm.
            self.assertEqual([r["warmup_seconds"] for r in runs],
                             [warmup] + [0] * (len(runs) - 1))
            for run_report in runs:
                self.assert_consistent_run(run_report)
            counted = [math.log(r["mean_rate"]) for r in runs
                       if r["repetition"] not in outcome["excluded"]]
            self.assertEqual(outcome["runs"], len(counted))
            self.assertIn(outcome["stopped"], ("reached", "time limit"))
            if counted:
                mean = sum(counted) / len(counted)
                self.assertAlmostEqual(outcome["geometric_mean_rate"], math.exp(mean),
                                       delta=1e-9 * math.exp(mean))
            if len(counted) >= 5:
                # Stein's interval: the first five counted runs' spread.
                first = counted[:5]
                first_mean = sum(first) / 5
                s0 = math.sqrt(sum((x - first_mean) ** 2 for x in first) / 4)
                half = T_4 * s0 / math.sqrt(len(counted))
                self.assertAlmostEqual(outcome["half_width_percent"], math.expm1(half) * 100,
                                       delta=1e-6)
                self.assertEqual(outcome["runs_needed"],
                                 max(5, math.ceil((T_4 * s0 / math.log1p(target / 100)) ** 2)))
            if outcome["stopped"] == "reached":
                self.assertLessEqual(outcome["half_width_percent"], target + 1e-9)
                self.assertEqual(outcome["runs"], outcome["runs_needed"])
        return precision

    def test_runs_until_the_interval_is_narrow_enough_or_says_what_it_reached(self):
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "doc.json")
            result = run(["--precision", "2", "--warmup", "2", "--measure", "2", "--max-time",
                          "120", "--output", path], timeout=200)
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(path) as handle:
                doc = load_document(handle.read())
        precision = self.assert_precision_document(doc, 2, 120, 2)
        outcome = precision["labels"][0]
        self.assertIn("geometric mean", result.stdout)
        self.assertIn("\u00b12 % asked", result.stdout)
        if outcome["stopped"] == "time limit":
            self.assertRegex(result.stderr, r"warning: (\u00b1[0-9.]+ % after|no interval after)"
                             r" .* in \d+ s; \u00b12 % asked")
        else:
            self.assertNotIn("asked", result.stderr)
            self.assertIn("reached", result.stdout)
        # No run was started that could not end before the limit.
        self.assertLessEqual(precision["seconds"], 120 + 10)
        if outcome["excluded"]:
            self.assertIn("left out of the precision", result.stderr)

    def test_both_alternate_and_each_label_stops_on_its_own(self):
        result = run(["--both", "--precision", "5", "--warmup", "0.5", "--measure", "1",
                      "--max-time", "40", "--json", "--quiet"], timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        doc = load_document(result.stdout)
        precision = self.assert_precision_document(doc, 5, 40, 0.5)
        self.assertEqual([o["label"] for o in precision["labels"]], ["single", "all-cpus"])
        self.assertEqual([r["label"] for r in doc["runs"][:4]],
                         ["single", "all-cpus", "single", "all-cpus"])

    def test_the_limit_stops_the_command_with_a_warning_and_status_0(self):
        began = time.monotonic()
        result = run(["--precision", "0.01", "--warmup", "0.2", "--measure", "0.5",
                      "--max-time", "5", "--json"], timeout=60)
        took = time.monotonic() - began
        self.assertEqual(result.returncode, 0, result.stderr)
        doc = load_document(result.stdout)
        outcome = self.assert_precision_document(doc, 0.01, 5, 0.2)["labels"][0]
        self.assertEqual(outcome["stopped"], "time limit")
        self.assertGreaterEqual(len(doc["runs"]), 3)
        self.assertIn("0.01 % asked", result.stderr)
        self.assertIn("precision", [w["kind"] for w in doc["warnings"]])
        self.assertLess(took, 5 + 10)

    def test_bad_values_and_combinations_are_usage_errors(self):
        for args, says in [
                (["--precision", "2", "--repeat", "3"], "--repeat"),
                (["--precision", "0"], "above 0 and at most 50"),
                (["--precision", "50.5"], "above 0 and at most 50"),
                (["--precision", "nan"], "above 0 and at most 50"),
                (["--precision", "2%"], "above 0 and at most 50"),
                (["--precision", "2", "--max-time", "0"], "above 0"),
                (["--precision", "2", "--max-time", "-1"], "--max-time"),
                (["--max-time", "30"], "--precision"),
                (["--precision", "2", "--warmup", "30", "--measure", "40", "--max-time", "60"],
                 "--max-time 60: the first run alone takes 70 s"),
                (["--both", "--precision", "2", "--warmup", "20", "--measure", "20",
                  "--max-time", "60"], "80 s")]:
            result = run(args + ["--quiet"], timeout=30)
            self.assertEqual(result.returncode, 64, (args, result.stderr))
            self.assertIn(says, result.stderr, args)
            self.assertEqual(result.stdout, "", args)

    def test_progress_shows_the_run_and_the_half_width(self):
        status, _, terminal, _ = run_on_terminal(
            ["--precision", "5", "--warmup", "0.2", "--measure", "0.6", "--max-time", "6"],
            timeout=60)
        self.assertEqual(status, 0, terminal)
        shown = frames(terminal)
        self.assertTrue(any(re.search(r"^run 1 single .* \u00b1- %", f) for f in shown), shown)
        self.assertTrue(any(re.search(r"^run [3-9] single .*left \u2264 .*"
                                      r"\u00b1(\d+\.\d\d|-) %", f) for f in shown), shown)


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
