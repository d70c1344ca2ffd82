"""Black-box scenarios for flashtool: one definition runs on the flash simulator and on
the kernel's MTD driver.

A scenario names the command line, the input files, the starting flash, the expected
standard output, standard error and exit status, and the expected flash contents as edits
on the starting flash: every byte not edited must come back unchanged."""

import dataclasses
import difflib
import os
import random
import re
import shutil
import signal
import subprocess
import tempfile

DEVICE_SIZES = {"mtd0": 0x20000, "mtd1": 0xE0000, "mtd2": 0x290000, "mtd3": 0x70000}
ERASE_SIZES = {"mtd0": 0x2000, "mtd1": 0x10000, "mtd2": 0x10000, "mtd3": 0x10000}
LOST = "Lost connection while upgrading firmware!"

_patterns = {}


def pattern(name, size):
    """Deterministic noise: a byte that lands at a wrong offset never matches by chance."""
    key = (name, size)
    if key not in _patterns:
        _patterns[key] = random.Random(name).randbytes(size)
    return _patterns[key]


def erased(size):
    return b"\xff" * size


def noise(seed, size):
    return pattern("file:" + seed, size)


def default_flash():
    return {dev: pattern(dev, size) for dev, size in DEVICE_SIZES.items()}


def _b(text):
    return text.encode() if isinstance(text, str) else text


@dataclasses.dataclass(frozen=True)
class SparseFile:
    """An input file of size bytes that starts with head and is a hole after it: a file of
    gigabytes that costs no disk and no time to make. Not read back after the run; for the
    simulator tier only (the real-driver tier copies every input into its machine)."""
    size: int
    head: bytes = b""


@dataclasses.dataclass
class Scenario:
    name: str
    args: list
    stdout: object = ""            # str/bytes exact, or re.Pattern to fullmatch, or None
    stderr: object = ""
    status: int = 0                # None: not compared
    files: dict = dataclasses.field(default_factory=dict)      # working-dir inputs (bytes or SparseFile)
    flash: dict = dataclasses.field(default_factory=dict)      # starting contents by device
    changes: list = dataclasses.field(default_factory=list)    # (device, offset, bytes)
    faults: list = dataclasses.field(default_factory=list)     # simulator faults
    devices: dict = None           # device name -> (size, erase size); default: the map
    remove_nodes: list = dataclasses.field(default_factory=list)
    readonly_nodes: list = dataclasses.field(default_factory=list)
    argv0: str = "flashtool"
    broken_pipe: bool = False      # standard output is a pipe whose reader is gone
    closed_streams: tuple = ()     # descriptors (1, 2) closed when the command starts
    syslog: list = dataclasses.field(default_factory=list)     # "priority message" lines
    opens: list = None             # simulator: ["mtd0 rdwr,sync", ...] in order
    erases: list = None            # simulator: [("mtd0", start, length), ...] in order
    expect_files: dict = None      # working-dir files after the run (None: not checked)
    flash_checked: bool = True
    tiers: tuple = ("sim", "kernel")

    def device_table(self):
        if self.devices is not None:
            return self.devices
        return {d: (DEVICE_SIZES[d], ERASE_SIZES[d]) for d in DEVICE_SIZES}

    def start_flash(self):
        start = {}
        for dev, (size, _) in self.device_table().items():
            start[dev] = self.flash.get(dev, pattern(dev, size))
            assert len(start[dev]) == size, f"{self.name}: {dev} start is {len(start[dev])} bytes"
        return start

    def expected_flash(self):
        flash = {dev: bytearray(data) for dev, data in self.start_flash().items()}
        for dev, offset, data in self.changes:
            assert offset + len(data) <= len(flash[dev]), f"{self.name}: change past {dev} end"
            flash[dev][offset:offset + len(data)] = data
        return flash


def is_qemu(launcher):
    """True when the launcher is qemu-user, which runs a binary of another architecture."""
    return bool(launcher) and os.path.basename(launcher[0]).startswith("qemu-")


def launch(launcher, argv0, binary, args, env):
    """Command line, program and environment that run binary under a launcher. qemu-user
    takes the guest's argv[0] and its preload as options: left in the emulator's own
    environment, the preload would be offered to the emulator's loader instead."""
    if not is_qemu(launcher):
        return list(launcher) + [binary] + list(args), launcher[0], env
    env = dict(env)
    preload = env.pop("LD_PRELOAD")
    argv = list(launcher) + ["-E", "LD_PRELOAD=" + preload, "-0", argv0, binary] + list(args)
    return argv, launcher[0], env


def run_sim(scenario, binary, simlib, extra_env=None, launcher=()):
    """Runs a scenario's command under the simulator; returns the result record.
    launcher: words put before the binary (an emulator, valgrind)."""
    top = tempfile.mkdtemp(prefix="flashsim-")
    try:
        devdir, work = os.path.join(top, "dev"), os.path.join(top, "work")
        os.makedirs(devdir)
        os.makedirs(work)
        for dev, data in scenario.start_flash().items():
            if dev in scenario.remove_nodes:
                continue
            with open(os.path.join(devdir, dev), "wb") as f:
                f.write(data)
            with open(os.path.join(devdir, dev + ".erasesize"), "w") as f:
                f.write(str(scenario.device_table()[dev][1]))
        for name, data in scenario.files.items():
            path = os.path.join(work, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                if isinstance(data, SparseFile):
                    f.write(data.head)
                    f.truncate(data.size)
                else:
                    f.write(data)
        log = os.path.join(top, "log")
        faults = list(scenario.faults) + ["readonly:" + d for d in scenario.readonly_nodes]
        env = {k: v for k, v in os.environ.items() if not k.startswith("FLASHSIM")}
        env.update(LD_PRELOAD=simlib, FLASHSIM_DIR=devdir, FLASHSIM_LOG=log,
                   FLASHSIM_FAULTS=",".join(faults), **(extra_env or {}))
        argv = [scenario.argv0] + list(scenario.args)
        if launcher:
            argv, binary, env = launch(launcher, scenario.argv0, binary, scenario.args, env)
        if scenario.closed_streams:
            closing = " ".join(f"{fd}>&-" for fd in scenario.closed_streams)
            argv = ["sh", "-c", f'exec "$@" {closing}', "sh", binary] + argv[1:]
            binary = "/bin/sh"
        if scenario.broken_pipe:
            reader, writer = os.pipe()
            os.close(reader)
            proc = subprocess.run(argv, executable=binary, cwd=work, env=env, stdin=subprocess.DEVNULL,
                                  stdout=writer, stderr=subprocess.PIPE, timeout=120)
            os.close(writer)
            out = b""
        else:
            proc = subprocess.run(argv, executable=binary, cwd=work, env=env, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=120)
            out = proc.stdout
        flash = {}
        for dev in scenario.device_table():
            path = os.path.join(devdir, dev)
            if os.path.exists(path):
                with open(path, "rb") as f:
                    flash[dev] = f.read()
        files = {}
        sparse = {n for n, data in scenario.files.items() if isinstance(data, SparseFile)}
        for root, _, names in os.walk(work):
            for name in names:
                path = os.path.join(root, name)
                if os.path.relpath(path, work) in sparse:
                    continue
                with open(path, "rb") as f:
                    files[os.path.relpath(path, work)] = f.read()
        lines = open(log, encoding="utf-8", errors="replace").read().splitlines() \
            if os.path.exists(log) else []
        return {"stdout": out, "stderr": proc.stderr, "status": proc.returncode, "flash": flash,
                "files": files, "log": lines,
                "syslog": [l[len("syslog "):] for l in lines if l.startswith("syslog ")]}
    finally:
        shutil.rmtree(top, ignore_errors=True)


def _compare_text(label, expected, actual, problems):
    if expected is None:
        return
    if isinstance(expected, re.Pattern):
        if not expected.fullmatch(actual):
            problems.append(f"{label} does not match {expected.pattern!r}:\n{actual!r}")
        return
    expected = _b(expected)
    if expected != actual:
        diff = difflib.unified_diff(expected.decode("latin-1").splitlines(True),
                                    actual.decode("latin-1").splitlines(True),
                                    "expected", "actual", n=2)
        problems.append(f"{label} differs:\n" + "".join(diff)
                        + f"\n  expected {expected[-120:]!r}\n  actual   {actual[-120:]!r}")


def _compare_bytes(label, expected, actual, problems):
    if actual is None:
        problems.append(f"{label}: missing")
        return
    if expected == actual:
        return
    if len(expected) != len(actual):
        problems.append(f"{label}: {len(actual)} bytes, expected {len(expected)}")
        return
    first = next(i for i in range(len(expected)) if expected[i] != actual[i])
    last = next(i for i in range(len(expected) - 1, -1, -1) if expected[i] != actual[i])
    problems.append(f"{label}: differs from 0x{first:x} to 0x{last:x}: expected "
                    f"{bytes(expected[first:first + 8]).hex()} got {actual[first:first + 8].hex()}")


def check(scenario, result, tier="sim"):
    """Every way the result departs from the scenario, as readable lines."""
    problems = []
    if scenario.status is not None and result["status"] != scenario.status:
        problems.append(f"status {result['status']}, expected {scenario.status}")
    if not scenario.broken_pipe:
        _compare_text("stdout", scenario.stdout, result["stdout"], problems)
    _compare_text("stderr", scenario.stderr, result["stderr"], problems)
    expected = scenario.expected_flash() if scenario.flash_checked else {}
    for dev, data in expected.items():
        if dev in scenario.remove_nodes:
            continue
        _compare_bytes(f"flash {dev}", data, result["flash"].get(dev), problems)
    if list(result["syslog"]) != list(scenario.syslog):
        problems.append(f"syslog {result['syslog']}, expected {scenario.syslog}")
    if scenario.expect_files is not None:
        inputs = {k: v for k, v in result["files"].items() if k not in scenario.files}
        for name, data in scenario.expect_files.items():
            _compare_bytes(f"file {name}", data, result["files"].get(name), problems)
        extra = set(inputs) - set(scenario.expect_files)
        if extra:
            problems.append(f"unexpected files {sorted(extra)}")
    if tier == "sim":
        log = result.get("log", [])
        if scenario.opens is not None:
            opens = [l[len("open "):] for l in log if l.startswith("open ")]
            if opens != scenario.opens:
                problems.append(f"opens {opens}, expected {scenario.opens}")
        if scenario.erases is not None:
            erases = [tuple(int(x, 0) if i else x for i, x in enumerate(l.split()[1:]))
                      for l in log if l.startswith("erase ")]
            if erases != [tuple(e) for e in scenario.erases]:
                problems.append(f"erases {erases}, expected {scenario.erases}")
    return problems


def report(label, args, problems):
    """Prints one scenario's verdict; True when it held."""
    if not problems:
        print(f"ok   {label}")
        return True
    print(f"FAIL {label} ({' '.join(args)})")
    for problem in problems:
        print("    " + problem.replace("\n", "\n    "))
    return False


def erase_line(start, length):
    return f"Erased {length} bytes from address 0x{start:08x} in flash\n"


def usage(name="flashtool"):
    return (f"usage: {name} readenv\n       {name} writeenv <source-filename>\n"
            f"       {name} erase <device> <offset> <len>\n")


def strerror(code):
    return os.strerror(code)
