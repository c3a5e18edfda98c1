"""What the scripts under tools/ share as command-line tools: the project's
version, --help from their docstrings, a quiet end on a closed pipe, progress
on standard error, a build's sizes, whether tracing is possible here, the
form of a trace's lines, a child stopped at its exec (ptrace) and a run's files.

Run as a script, `python3 tools/toolsupport.py version` prints the version
(tools/fuzz, a bash script, asks it so)."""

import argparse
import ast
import collections
import ctypes
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_PROGRAM = os.path.join(ROOT, "build", "translaters")
TRACE_TOOL = os.path.join(HERE, "trace")

# The CMake options that size a build, in the order the tools name them.
SIZES = ("NUM_TRANSLATERS", "NUM_CLIENTS", "MAX_CHARS", "MAX_DELAY")

# The driver writes "All clients finished" and at once signals every
# translater; one still finishing a job misses the signal and leaves when its
# next one-second wait runs out, its output silent meanwhile. A silence this
# long or more after that line is that wait; anything shorter is the program's
# ordinary pace. (Before the stop, a long wave's output can fall silent that
# long too, while the driver joins the clients.)
WAIT_GAP_SECONDS = 0.5

EXIT_USAGE = 2
# What a shell reports for a process that SIGPIPE ended, or Ctrl-C.
EXIT_CLOSED_PIPE = 128 + signal.SIGPIPE
EXIT_INTERRUPTED = 128 + signal.SIGINT

CAP_SYS_ADMIN = 21
CAP_PERFMON = 38
CAP_BPF = 39

PTRACE_TRACEME = 0
LIBC = ctypes.CDLL(None, use_errno=True)
LIBC.ptrace.argtypes = [ctypes.c_long, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p]
LIBC.ptrace.restype = ctypes.c_long


def version():
    """The project's version: that of the project() line of CMakeLists.txt
    (unknown for a script copied out of its checkout)."""
    try:
        found = re.search(r"^project\(translaters\s+VERSION\s+([0-9.]+)",
                          pathlib.Path(ROOT, "CMakeLists.txt").read_text(encoding="utf-8"), re.M)
    except OSError:
        found = None
    return found.group(1) if found else "unknown"


# The header that defines the form of a line of trace.tsv for its C++ reader
# and writer; the recorder prints by the same definition.
TRACE_HEADER = os.path.join(HERE, "runtrace", "run_trace.h")

TraceLineForm = collections.namedtuple("TraceLineForm", "separator end head argument")
# A C character or string literal, whose escapes Python's literals share.
C_LITERAL = re.compile(r"'(?:[^'\\]|\\.)+'|\"(?:[^\"\\]|\\.)*\"")


class FormUnknown(Exception):
    """The form of a trace's lines cannot be read; the message says why."""


def trace_line_form():
    """The form of a line of trace.tsv as TRACE_HEADER defines it: the field
    separator and the line's end (characters), and bpftrace's printf forms of
    the head's fields (a list: the time, the thread id, the probe's name as %s)
    and of one argument."""
    try:
        text = pathlib.Path(TRACE_HEADER).read_text(encoding="utf-8")
    except OSError as error:
        raise FormUnknown(f"cannot read {TRACE_HEADER}: {error.strerror}; "
                          "tools/trace needs the checkout's tools/runtrace beside it") from error

    def constant(name):
        """The value of the constant name: its literal, or its literals' list for an array."""
        found = re.search(rf"^constexpr [^=\n]*\b{name}(\[\])? = "
                          rf"((?:{C_LITERAL.pattern}|[^;'\"\n])*);", text, re.M)
        values = ([ast.literal_eval(literal) for literal in C_LITERAL.findall(found.group(2))]
                  if found else [])
        if not values or (len(values) > 1 and not found.group(1)):
            raise FormUnknown(f"{TRACE_HEADER} defines no {name} of literals; "
                              "a header of another version of the project?")
        return values if found.group(1) else values[0]

    return TraceLineForm(constant("TRACE_SEPARATOR"), constant("TRACE_END"),
                         constant("TRACE_HEAD_FORMS"), constant("TRACE_ARGUMENT_FORM"))


def parser_from_doc(prog, doc):
    """An argument parser whose --help is the script's docstring (title, usage
    paragraph, then the rest as written) and which takes --version."""
    title, usage, details = doc.split("\n\n", 2)
    parser = argparse.ArgumentParser(prog=prog, usage=usage[len("usage: "):],
                                     description=f"{title}\n\n{details}",
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"{prog} (translaters) {version()}")
    return parser


def run_main(main):
    """Runs a script's main and exits with its status. A closed standard
    output ends it quietly, as SIGPIPE ends a C tool (Python's advice for
    command-line tools: point standard output at /dev/null so that the flush
    at exit raises no second error); Ctrl-C likewise, without a traceback."""
    try:
        try:
            status = main()
        except SystemExit as end:  # argparse's, after --help, --version or a usage error
            status = end.code
        sys.stdout.flush()
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = EXIT_CLOSED_PIPE
    except KeyboardInterrupt:
        status = EXIT_INTERRUPTED
    sys.exit(status)


class SizesUnknown(Exception):
    """A build's sizes cannot be read; the message says why."""


def build_sizes(build):
    """The four sizes a build directory was configured with, from its CMake cache."""
    path = os.path.join(build, "CMakeCache.txt")
    try:
        text = pathlib.Path(path).read_text(encoding="utf-8")
    except OSError as error:
        raise SizesUnknown(f"cannot read {path}: {error.strerror}; "
                           f"is {build} a configured build?") from error
    values = {}
    for name in SIZES:
        found = re.search(rf"^{name}:[A-Z]+=(\d+)$", text, re.M)
        if not found:
            raise SizesUnknown(f"{path} has no {name}: a build of another project?")
        values[name] = int(found.group(1))
    return values


def proc_status(pid="self"):
    """The fields of /proc/PID/status: name -> the first word of its value."""
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        return {name: (value.split() or [""])[0]
                for name, _, value in (line.partition(":") for line in status)}


def may_trace():
    if os.geteuid() == 0:
        return True
    caps = int(proc_status().get("CapEff", "0"), 16)
    has = lambda cap: caps >> cap & 1
    return has(CAP_SYS_ADMIN) or (has(CAP_BPF) and has(CAP_PERFMON))


def tracing_refusal():
    """(bpftrace's path, None) if bpftrace can trace here, else (None, why
    not and what to do)."""
    bpftrace = shutil.which("bpftrace")
    if bpftrace is None:
        return None, ("bpftrace is not installed; tools/install-deps installs it "
                      "(Debian package bpftrace)")
    if not may_trace():
        return None, ("tracing needs root, or the capabilities CAP_BPF and CAP_PERFMON; "
                      "run it as root, for instance with sudo")
    probe = subprocess.run([bpftrace, "-e", "BEGIN { exit(); }"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60,
                           check=False)
    if probe.returncode != 0:
        last = probe.stderr.decode(errors="replace").strip().splitlines()[-1:]
        return None, ("bpftrace cannot load programs here (" +
                      (last[0] if last else f"status {probe.returncode}") + ")")
    return bpftrace, None


def trace_me():
    """Runs in a child before its exec: stop at the exec until the tracer lets go."""
    if LIBC.ptrace(PTRACE_TRACEME, 0, None, None) != 0:
        os._exit(127)


def write_files(directory, files):
    """Writes each file of a dict of name -> text or bytes into directory,
    which is made if missing; returns directory."""
    os.makedirs(directory, exist_ok=True)
    for name, data in files.items():
        data = data if isinstance(data, bytes) else data.encode()
        pathlib.Path(directory, name).write_bytes(data)
    return directory


def duration(seconds):
    seconds = round(seconds)
    if seconds < 100:
        return f"{seconds} s"
    minutes, seconds = divmod(seconds, 60)
    if minutes < 100:
        return f"{minutes} min {seconds:02d} s"
    return f"{minutes // 60} h {minutes % 60:02d} min"


class Progress:
    """Counts the steps of a long job and says on standard error how many are
    done and left, and about how long is left: after each step, or at most
    every interval seconds (and after the first and the last)."""

    def __init__(self, prog, total, unit, interval=0.0):
        self._prog = prog
        self._total = total
        self._unit = unit
        self._interval = interval
        self._done = 0
        self._start = time.monotonic()
        self._said = self._start
        self._lock = threading.Lock()

    def step(self, what=""):
        with self._lock:
            self._done += 1
            now = time.monotonic()
            if 1 < self._done < self._total and now - self._said < self._interval:
                return
            self._said = now
            left = self._total - self._done
            estimate = (f", about {duration((now - self._start) / self._done * left)} left"
                        if left else f", in {duration(now - self._start)}")
            print(f"{self._prog}: {self._done} of {self._total} {self._unit} done, {left} left"
                  f"{estimate}{': ' + what if what else ''}", file=sys.stderr, flush=True)


if __name__ == "__main__":
    if sys.argv[1:] != ["version"]:
        sys.exit("usage: tools/toolsupport.py version")
    print(version())
