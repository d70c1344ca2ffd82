"""flashsim: run a command, or a whole upgrade script, against a simulated flash, and cut
its power at every device operation to find where a power loss leaves a flash that fails.

The simulator itself is libflashsim.so, preloaded into every process the command starts
(see the comment at the top of flashsim.cpp). This module starts those processes, counts
their device operations across the whole run, and runs the power-cut campaign. The
project's own fault campaign (tests/faults) imports parse_trace, sample and cut_fault from
here, so both campaigns count, sample and cut the same way.

The launcher makes itself a child subreaper: every process of a run stays below it,
whatever process group or session it moves to, so that after a cut, at the end of a run
and on a signal it can kill every one of them before the flash is judged or put back.
"""
import argparse
import collections
import ctypes
import json
import mmap
import os
import random
import select
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

USAGE = """\
usage: flashsim [--dir DIR | --image FILE] [--init] [--ram] [--faults LIST] [--log FILE]
                [--timeout SECONDS] [--torn] [--seed N] -- COMMAND [ARG...]
       flashsim campaign [--dir DIR | --image FILE] [--ram] --check CMD [--all]
                [-j N] [--timeout SECONDS] [--state DIR] [--keep DIR] [--json FILE]
                [--torn] [--seed N] -- SCRIPT [ARG...]

Runs COMMAND with /dev/mtd0../dev/mtd3 served from a simulated NOR flash: every process it
starts, however deep, sees the same flash.

  --dir DIR      one file per device in DIR (mtd0, mtd1, ...); a missing DIR is created
                 with the device's layout, every byte erased, when its parent folder exists
  --image FILE   the devices as slices of one 4 MiB whole-flash image, in the layout that
                 writeall reads; a missing FILE is created erased (0xFF) when its folder
                 exists
  --init         erase the whole flash first (not for a campaign)
  --ram          writes overwrite, as the kernel's block2mtd does, instead of clearing
                 bits as NOR flash does
  --faults LIST  faults to inject, comma-separated (kill-after:N cuts the power after
                 operation N of the run, counted across every process)
  --log FILE     append one line per device open, erase, close and operation to FILE
  --timeout S    stop the command (in a campaign: each run of the script) after S seconds;
                 in a campaign also each check's limit (default 60 s)
  --torn         a cut (kill-after:N) falls inside operation N instead of after it; a
                 campaign adds such cut points inside its erases and writes
  --seed N       what a torn cut leaves is decided by N (default: a random seed, printed)

campaign runs SCRIPT once to count its device operations, then looks at the flash as a
power cut right after each chosen operation leaves it, and runs CMD (a shell command,
under the simulator, on a copy of that flash) to judge it. One line per cut point, then
one line per exposed window (its first and last failing cut); exit status 1 when CMD fails
at any cut point or after the whole script. Long runs of alike operations are sampled and
the edges of each window found exactly; --all tries every operation.
  --check CMD    the shell command that judges the flash left by a cut (required)
  -j N           checks run side by side (default: the number of processors)
  --state DIR    a folder that stands for the device's own files: put back with the flash
                 before every run; the check sees it as the cut left it
  --keep DIR     save the flash left by the first failing cut of each window, and the
                 starting flash with a command line that reproduces it
  --json FILE    write every cut point, its verdict and the windows to FILE
The starting flash (and --state) is put back at the end and on INT, TERM and HUP.

Without --dir or --image, FLASHSIM_DIR or FLASHSIM_IMAGE from the environment is used.
Exit status: COMMAND's (128 + the signal when it was killed, 137 after a power cut, 124
past --timeout); 2 for a usage error, before anything runs.
"""

IMAGE_SIZE = 0x400000
# Device, start in the whole flash, size, erase size.
LAYOUT = (("mtd0", 0x000000, 0x020000, 0x2000), ("mtd1", 0x020000, 0x0E0000, 0x10000),
          ("mtd2", 0x100000, 0x290000, 0x10000), ("mtd3", 0x390000, 0x070000, 0x10000))
CHECK_TIMEOUT = 60.0
SHELL = shutil.which("sh") or "/bin/sh"
# What a check starts with, whatever the launcher ignores or holds.
DEFAULT_SIGNALS = (signal.SIGPIPE, signal.SIGINT, signal.SIGTERM, signal.SIGHUP,
                   signal.SIGQUIT, signal.SIGXFSZ)
# The run page (FLASHSIM_RUN/counter): u32 operations at 0, power off at 4, broken at 8,
# the campaign's hold gate at 12 and completed operations at 16 (see hold.cpp), the process
# that stops the run after a cut at 32.
PAGE_SIZE = 4096
GATE, BROKEN = 12, 8
PR_SET_CHILD_SUBREAPER = 36
SHELL_WORDS = {"!", "{", "(", "[", "[[", ".", ":", "cd", "command", "eval", "exec", "exit",
               "export", "false", "for", "if", "read", "return", "set", "test", "true",
               "unset", "until", "while", "case", "echo", "printf", "trap", "wait"}

# One device operation as the simulator traces it.
Op = collections.namedtuple("Op", "number pid kind device offset command")


class UsageError(Exception):
    pass


class Stopped(Exception):
    """A signal (or a closed output) ends the launcher's work."""

    def __init__(self, signum, quiet=False):
        super().__init__(signum)
        self.signum, self.quiet = signum, quiet


def parse_trace(lines):
    """The device operations in a simulator log, in the order of their numbers (processes
    that run side by side may append their lines out of order)."""
    ops = []
    for line in lines:
        if line.startswith("op "):
            fields = line.split(" ", 6) + [""]
            try:
                ops.append(Op(int(fields[1]), int(fields[2]), fields[3], fields[4],
                              int(fields[5], 16), fields[6]))
            except (ValueError, IndexError):
                continue    # a line cut short by a power cut
    return sorted(ops)


def torn_lines(lines):
    """The torn cuts a log records: {number: (kind, device, done, total, unit)}."""
    torn = {}
    for line in lines:
        fields = line.split()
        if len(fields) == 7 and fields[0] == "torn":
            try:
                torn[int(fields[1])] = (fields[2], fields[3], int(fields[4]), int(fields[5]),
                                        fields[6])
            except ValueError:
                continue
    return torn


def sample(ops, edge=3, middle=4):
    """The operations to try. A long run of alike operations (the same call on the same
    device by the same process, such as the writes of one image) is tried at its first and
    last few and at a few evenly spaced places between: they all take the same path
    through the code. The campaign then finds the exact edges between them."""
    chosen, run = [], []
    for op in list(ops) + [None]:
        if run and (op is None or alike(op) != alike(run[-1])):
            if len(run) <= 2 * edge + middle:
                chosen += run
            else:
                step = (len(run) - 2 * edge) // (middle + 1)
                inner = [run[edge + step * (i + 1)] for i in range(middle)]
                chosen += run[:edge] + inner + run[-edge:]
            run = []
        if op is not None:
            run.append(op)
    return chosen


def alike(op):
    return op.pid, op.kind, op.device


def cut_fault(number):
    """The fault that cuts the power right after operation number."""
    return f"kill-after:{number}"


def shape(ops):
    """What a run's operations must repeat for its cuts to be the counting run's: each
    one's kind, device and offset, and which process (in order of first appearance)."""
    ranks, out = {}, []
    for op in ops:
        out.append((ranks.setdefault(op.pid, len(ranks)), op.kind, op.device, op.offset))
    return out


# ---- The flash, its copies, and the starting state ----------------------------------------

class Flash:
    """Where the simulated flash lives: a folder of device files or one image file."""

    def __init__(self, folder=None, image=None):
        self.folder = os.path.abspath(folder) if folder else None
        self.image = os.path.abspath(image) if image else None

    @property
    def path(self):
        return self.image or self.folder

    def env(self):
        return {"FLASHSIM_IMAGE": self.image} if self.image else {"FLASHSIM_DIR": self.folder}

    def files(self):
        if self.image:
            return [self.image]
        return [os.path.join(self.folder, name) for name in sorted(os.listdir(self.folder))
                if os.path.isfile(os.path.join(self.folder, name))]

    def erase(self):
        if self.image:
            write_file(self.image, b"\xff" * IMAGE_SIZE)
            return
        os.makedirs(self.folder, exist_ok=True)
        for name, _start, size, _erase in LAYOUT:
            write_file(os.path.join(self.folder, name), b"\xff" * size)

    def prepare(self, init=False):
        """Checks the flash can be used; creates a missing one erased when its parent folder
        exists, and says so; refuses an image of the wrong size."""
        path = self.path
        if not os.path.exists(path):
            parent = os.path.dirname(path)
            if not os.path.isdir(parent):
                raise UsageError(f"{path}: no such folder {parent}")
            if not os.access(parent, os.W_OK | os.X_OK):
                raise UsageError(f"{path}: cannot create it in {parent}")
            self.erase()
            what = "a 4 MiB flash image" if self.image else "a flash folder"
            print(f"flashsim: created {path}, {what}, every byte erased", file=sys.stderr)
            return
        if self.image:
            if not os.path.isfile(path):
                raise UsageError(f"{path}: not a file")
            if os.path.getsize(path) != IMAGE_SIZE:
                raise UsageError(f"{path} is {os.path.getsize(path)} bytes; a flash "
                                 f"image is {IMAGE_SIZE} bytes (4 MiB)")
        elif not os.path.isdir(path):
            raise UsageError(f"{path}: not a folder")
        for name in [path] + self.files():
            if not os.access(name, os.R_OK | os.W_OK):
                raise UsageError(f"{name}: cannot be read and written")
        if init:
            self.erase()

    def save(self):
        return {path: read_file(path) for path in self.files()}

    def restore(self, saved):
        for path, data in saved.items():
            write_file(path, data)

    def copy_to(self, target):
        """A copy of the flash as it is now, at target (a file or a folder); its Flash."""
        if self.image:
            shutil.copyfile(self.image, target)
            return Flash(image=target)
        os.mkdir(target)
        for name in os.listdir(self.folder):
            source = os.path.join(self.folder, name)
            if os.path.isfile(source):
                shutil.copyfile(source, os.path.join(target, name))
        return Flash(folder=target)


class State:
    """--state DIR: a folder of the device's own files, saved and put back with the flash."""

    def __init__(self, folder):
        self.folder = folder
        self.saved = None

    def save(self, target):
        shutil.copytree(self.folder, target, symlinks=True)

    def put(self, source):
        for name in os.listdir(self.folder):
            path = os.path.join(self.folder, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.remove(path)
        for name in os.listdir(source):
            path = os.path.join(source, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.copytree(path, os.path.join(self.folder, name), symlinks=True)
            else:
                shutil.copy2(path, os.path.join(self.folder, name), follow_symlinks=False)


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


# ---- The preload library, and the launcher's hold on the processes it starts ---------------

def library():
    """The preload library: beside this module, in the build tree and when installed."""
    return os.environ.get("FLASHSIM_LIB") or \
        os.path.join(os.path.dirname(os.path.realpath(__file__)), "libflashsim.so")


_lib = None


def lib():
    """The library loaded into the launcher (its own symbols only: loaded locally, it
    serves none of the launcher's calls), or None when it cannot be loaded."""
    global _lib
    if _lib is None:
        try:
            _lib = ctypes.CDLL(library(), mode=os.RTLD_LOCAL)
        except OSError:
            _lib = False
    return _lib or None


FAULT_WORDS = {"erase-fail": "dn", "write-fail": "do", "write-short": "do", "read-fail": "do",
               "read-short": "do", "lseek-fail": "dn", "close-fail": "dn", "missing": "d",
               "readonly": "d", "kill-after": "n", "hup-after": "n", "fail-op": "n",
               "short-op": "n", "stop-before": "n", "torn": "no"}


def check_faults(text):
    """Raises UsageError for a fault list that the library would refuse: the library's
    own rules when it has them, else the same rules here."""
    library_ = lib()
    check = getattr(library_, "flashsim_check_faults", None) if library_ else None
    if check is not None:
        message = ctypes.create_string_buffer(512)
        check.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
        if check(text.encode(), message, len(message)) != 0:
            raise UsageError(message.value.decode("utf-8", "replace"))
        return
    for item in text.split(","):
        fields = item.split(":")
        shape_ = FAULT_WORDS.get(fields[0])
        if shape_ is None:
            raise UsageError(f"bad fault '{item}': no such fault")
        if len(fields) - 1 != len(shape_):
            raise UsageError(f"bad fault '{item}': {fields[0]} takes {len(shape_)} "
                             f"value{'s' if len(shape_) != 1 else ''}")
        for kind, value in zip(shape_, fields[1:]):
            if kind == "d":
                if not value:
                    raise UsageError(f"bad fault '{item}': no device")
                continue
            try:
                number = int(value, 0)
            except ValueError:
                raise UsageError(f"bad fault '{item}': not a number") from None
            if number < (1 if kind == "n" else 0):
                raise UsageError(f"bad fault '{item}': counts start at 1")


def become_subreaper():
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def descendants(skip_sessions=()):
    """The processes below the launcher, with their state, except those of the sessions
    given (a check's)."""
    me = os.getpid()
    parent, session, state = {}, {}, {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat", "rb") as f:
                fields = f.read().rsplit(b")", 1)[1].split()
        except (OSError, IndexError):
            continue
        pid = int(name)
        state[pid], parent[pid], session[pid] = fields[0], int(fields[1]), int(fields[3])
    below, todo = [], [me]
    children = collections.defaultdict(list)
    for pid, ppid in parent.items():
        children[ppid].append(pid)
    while todo:
        for child in children.get(todo.pop(), ()):
            if session.get(child) not in skip_sessions:
                below.append((child, state[child]))
                todo.append(child)
    return below


def kill_descendants(skip_sessions=(), limit=10.0):
    """Kills every process below the launcher (but the sessions given) and reaps those that
    have become its children, until none is left."""
    end = time.monotonic() + limit
    while True:
        alive = descendants(skip_sessions)
        if not alive or time.monotonic() > end:
            return
        for pid, state in alive:
            try:
                if state != b"Z":
                    os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, os.WNOHANG)
            except (ProcessLookupError, ChildProcessError, PermissionError):
                pass
        time.sleep(0.002)


class Signals:
    """INT, TERM and HUP stop the launcher's work with Stopped, once: while it cleans up
    they are held, so that a second one cannot interrupt putting the flash back."""
    SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __enter__(self):
        self.old = {s: signal.signal(s, self.handler) for s in self.SIGNALS}
        return self

    @staticmethod
    def handler(signum, _frame):
        signal.pthread_sigmask(signal.SIG_BLOCK, Signals.SIGNALS)
        raise Stopped(signum)

    @staticmethod
    def hold():
        signal.pthread_sigmask(signal.SIG_BLOCK, Signals.SIGNALS)

    def __exit__(self, *_):
        for s, old in self.old.items():
            signal.signal(s, old)


# ---- One run of a command under the simulator ----------------------------------------------

class Run:
    """One run of a command under the simulator: its processes share one operation count,
    one power switch and the campaign's hold gate (a page the library maps), in a process
    group of its own."""

    made = set()    # run folders not removed yet: the launcher removes what is left at its end

    def __init__(self, flash, ram=False, faults=(), log=None, hold=None):
        self.flash, self.ram, self.faults, self.log = flash, ram, list(faults), log
        try:
            self.folder = tempfile.mkdtemp(prefix="flashsim-run-")
        except OSError as error:
            raise UsageError(f"cannot make a run folder in {tempfile.gettempdir()}: "
                             f"{error.strerror}") from None
        Run.made.add(self.folder)
        self.trace = log or os.path.join(self.folder, "log")
        self.page_path = os.path.join(self.folder, "counter")
        write_file(self.page_path, b"\0" * PAGE_SIZE)
        self.page = self.fifo = None
        if hold is not None:
            with open(self.page_path, "r+b") as f:
                self.page = mmap.mmap(f.fileno(), PAGE_SIZE)
            struct.pack_into("=I", self.page, GATE, hold)
            os.mkfifo(os.path.join(self.folder, "hold"))
            self.fifo = os.open(os.path.join(self.folder, "hold"), os.O_RDWR | os.O_NONBLOCK)
        self.proc = None
        self.keep = set      # the sessions (a campaign's checks) that are not the run's

    def env(self, counted=True):
        return simulator_env(self.flash, self.ram, counted and {
            "FLASHSIM_RUN": self.folder, "FLASHSIM_LOG": self.trace, "FLASHSIM_TRACE": "1",
            "FLASHSIM_FAULTS": ",".join(self.faults)})

    def start(self, argv, **streams):
        """Starts argv in a new process group: a power cut kills that group, and the
        launcher kills whatever of the run is left."""
        if sys.version_info >= (3, 11):
            self.proc = subprocess.Popen(argv, env=self.env(), process_group=0, **streams)
        else:
            self.proc = subprocess.Popen(argv, env=self.env(), preexec_fn=os.setpgrp,
                                         **streams)
        return self.proc

    def wait(self, timeout=None):
        """Waits for the run's command; returns its status, or None past the timeout."""
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        return 128 - status if status < 0 else status

    def stop(self):
        """Kills every process of the run that is left (whatever group or session it moved
        to) and waits until none is."""
        if self.proc is not None and self.proc.returncode is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
            self.proc.kill()
            self.proc.wait()
        kill_descendants(skip_sessions=self.keep())

    def words(self):
        try:
            return struct.unpack("=III", read_file(self.page_path)[:12])
        except (OSError, struct.error):
            return 0, 0, 0

    def power_cut(self):
        return self.words()[1] != 0

    def broken(self):
        return self.words()[2] != 0

    def ops(self):
        return parse_trace(self.log_lines())

    def log_lines(self):
        return read_file(self.trace).decode("utf-8", "replace").splitlines() \
            if os.path.exists(self.trace) else []

    def take_written(self):
        library_ = lib()
        library_.flashsim_take_written.restype = ctypes.c_uint64
        address = ctypes.addressof(ctypes.c_char.from_buffer(self.page))
        return library_.flashsim_take_written(ctypes.c_void_p(address))

    def set_gate(self, value):
        library_ = lib()
        address = ctypes.addressof(ctypes.c_char.from_buffer(self.page))
        library_.flashsim_set_gate(ctypes.c_void_p(address), ctypes.c_uint(value))

    def close(self):
        if self.fifo is not None:
            os.close(self.fifo)
            self.fifo = None
        if self.page is not None:
            self.page.close()
            self.page = None
        shutil.rmtree(self.folder, ignore_errors=True)
        if not os.path.exists(self.folder):
            Run.made.discard(self.folder)

    @staticmethod
    def remove_left():
        """Removes the run folders still there at the launcher's end (a run stopped while
        it was being set up, or a folder written into while it was removed), once no
        process is left to write into them."""
        if Run.made:
            kill_descendants()
            for folder in Run.made:
                shutil.rmtree(folder, ignore_errors=True)
            Run.made.clear()


_base_env = None


def simulator_env(flash, ram, extra=None):
    global _base_env
    if _base_env is None:
        # The run's own settings replace any from the environment, but for the NOR write
        # rule, which the launcher has no option for.
        _base_env = {k: v for k, v in os.environ.items()
                     if not k.startswith("FLASHSIM_") or k == "FLASHSIM_NOR"}
        _base_env["LD_PRELOAD"] = library() + (":" + _base_env["LD_PRELOAD"]
                                               if _base_env.get("LD_PRELOAD") else "")
    env = dict(_base_env)
    env.update(flash.env())
    if ram:
        env["FLASHSIM_RAM"] = "1"
    if extra:
        env.update(extra)
    return env


class Foreground:
    """Hands the terminal to the command's process group while it runs, so that it can
    read from it and Ctrl-C reaches it, as if the shell had started it."""

    def __init__(self, group):
        self.group, self.tty = group, None
        try:
            if os.isatty(0) and os.tcgetpgrp(0) == os.getpgrp():
                self.tty = 0
        except OSError:
            self.tty = None

    def __enter__(self):
        if self.tty is not None:
            os.tcsetpgrp(self.tty, self.group)

    def __exit__(self, *_):
        if self.tty is not None:
            old = signal.signal(signal.SIGTTOU, signal.SIG_IGN)
            try:
                os.tcsetpgrp(self.tty, os.getpgrp())
            except OSError:
                pass
            signal.signal(signal.SIGTTOU, old)


def run_command(flash, argv, ram, faults, log, timeout=None, torn_seed=None):
    """flashsim -- COMMAND: runs it with the terminal, returns its exit status."""
    if torn_seed is not None:
        faults = [f"torn:{f.split(':')[1]}:{torn_seed}" if f.startswith("kill-after:") else f
                  for f in faults]
        print(f"flashsim: torn cuts with seed {torn_seed}", file=sys.stderr)
    run = Run(flash, ram, faults, log)
    try:
        try:
            run.start(argv)
            with Foreground(run.proc.pid):
                status = run.wait(timeout)
        except Stopped as stop:
            Signals.hold()
            run.stop()
            print(f"flashsim: stopped by {signal.Signals(stop.signum).name}; the flash is as "
                  f"the stopped run left it", file=sys.stderr)
            return 128 + stop.signum
        Signals.hold()
        if status is None:
            print(f"flashsim: {argv[0]} ran past {timeout:g} s; stopped", file=sys.stderr)
            status = 124
        run.stop()
        if run.power_cut():
            torn = torn_lines(run.log_lines())
            if torn:
                number, (kind, device, done, total, unit) = next(iter(torn.items()))
                print(f"flashsim: power cut inside operation {number} ({kind} {device}, "
                      f"{done} of {total} {unit})", file=sys.stderr)
            else:
                print(f"flashsim: power cut after operation {run.words()[0]}", file=sys.stderr)
        if run.broken():
            print("flashsim: the simulator gave up inside the run", file=sys.stderr)
            status = status or 1
        return status
    finally:
        run.close()


# ---- The checks: side by side, each on its own copy of the flash ---------------------------

Job = collections.namedtuple("Job", "key slot run hold state pid exited deadline")


class Checker:
    """The checks of a campaign, run side by side by the launcher's one thread: each
    started with posix_spawn (far cheaper than a fork of the launcher, thousands of times
    over) in a session of its own, on its own copy of the flash, and reaped when its
    pidfd says it ended or its time is up."""

    def __init__(self, campaign):
        self.campaign = campaign
        # With --state every check sees the one state folder: one at a time, and none
        # while a run of the script uses it.
        self.jobs = 1 if campaign.state else campaign.jobs
        self.paused = False
        self.waiting = collections.deque()
        self.running = {}          # pidfd -> Job

    def sessions(self):
        return {job.pid for job in self.running.values()}

    def busy(self):
        return len(self.waiting) + len(self.running)

    def submit(self, key, slot, run=None, hold=None, state=None):
        self.waiting.append(Job(key, slot, run, hold, state, None, None, None))
        self.start()

    def start(self):
        while self.waiting and len(self.running) < self.jobs and not self.paused:
            self.spawn(self.waiting.popleft())

    def spawn(self, job):
        campaign = self.campaign
        if job.state is not None:
            campaign.state.put(job.state)
        folder = job.slot.folder
        os.pwrite(job.slot.written, b"\0" * 8, 24)
        env = simulator_env(job.slot.flash, campaign.ram,
                            {"FLASHSIM_WRITTEN": os.path.join(folder, "written")})
        actions = [(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                   (os.POSIX_SPAWN_OPEN, 1, os.path.join(folder, "output"),
                    os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600),
                   (os.POSIX_SPAWN_DUP2, 1, 2)]
        pid = os.posix_spawn(SHELL, ["sh", "-c", campaign.check], env, file_actions=actions,
                             setsid=True, setsigmask=(), setsigdef=DEFAULT_SIGNALS)
        exited = os.pidfd_open(pid)
        deadline = time.monotonic() + campaign.check_timeout
        self.running[exited] = job._replace(pid=pid, exited=exited, deadline=deadline)

    def wait(self, fds=(), timeout=None):
        """Waits until one of fds can be read, or timeout passes, or (without fds) a check
        ends, reaping every check that ends meanwhile. Returns the fds ready."""
        end = None if timeout is None else time.monotonic() + timeout
        while True:
            limits = [job.deadline for job in self.running.values()]
            if end is not None:
                limits.append(end)
            left = max(0.0, min(limits) - time.monotonic()) if limits else None
            if not fds and not self.running:
                return []
            ready = select.select(list(fds) + list(self.running), [], [], left)[0]
            ended = False
            now = time.monotonic()
            for fd, job in list(self.running.items()):
                if fd in ready or job.deadline <= now:
                    self.reap(fd, timed_out=fd not in ready)
                    ended = True
            self.start()
            got = [fd for fd in ready if fd in fds]
            if got or (end is not None and time.monotonic() >= end) or (ended and not fds):
                return got

    def reap(self, fd, timed_out):
        job = self.running.pop(fd)
        try:
            os.killpg(job.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            status = os.waitstatus_to_exitcode(os.waitpid(job.pid, 0)[1])
        except ChildProcessError:
            status = -signal.SIGKILL
        os.close(fd)
        verdict = "TIMEOUT" if timed_out else "ok" if status == 0 else "FAIL"
        text = ""
        if verdict != "ok":     # what a failing check said is shown, a passing one's not
            with open(os.path.join(job.slot.folder, "output"), "rb") as f:
                text = f.read(4096).decode("utf-8", "replace")
        if timed_out:
            text += f"(killed after {self.campaign.check_timeout:g} s)\n"
        self.campaign.copies.give_back(job.slot, job.run, job.hold)
        if job.state is not None:
            remove(job.state)
        self.campaign.record(job.key, Result(verdict, text))

    def drain(self):
        self.paused = False
        self.start()
        while self.busy():
            self.wait()


# ---- The campaign -------------------------------------------------------------------------

class Copies:
    """The copies of the flash that checks run on. A whole-flash image's copy is used
    again once its check is done: it is brought up to date with only the 64 KiB pieces
    that the run wrote since it was made (the library marks them, see hold.cpp), and
    those its check wrote (the library marks them in the file FLASHSIM_WRITTEN names).
    A folder of devices is copied whole each time."""

    # fd: the image copy, open; written: the FLASHSIM_WRITTEN file, open.
    Slot = collections.namedtuple("Slot", "flash folder fd written")

    def __init__(self, flash, scratch):
        self.flash, self.scratch = flash, scratch
        self.free = []       # [slot, run, hold index]
        self.slots = []
        self.made = 0
        self.source = None

    def take(self, run=None, history=None):
        """A copy of the flash as it is now; run and history (the pieces written at each
        hold of that run so far) let an image's copy be brought up to date."""
        if not self.flash.image or not self.free:
            return self.make()
        best = max(range(len(self.free)),
                   key=lambda i: (self.free[i][1] == run, self.free[i][2] or 0))
        slot, old_run, old_hold = self.free.pop(best)
        if run is None or old_run != run or old_hold is None:
            pieces = (1 << 64) - 1
        else:
            pieces = os.pread(slot.written, 8, 24)
            pieces = struct.unpack("=Q", pieces)[0] if len(pieces) == 8 else (1 << 64) - 1
            for mask in history[old_hold + 1:]:
                pieces |= mask
        if self.source is None:
            self.source = os.open(self.flash.image, os.O_RDONLY | os.O_CLOEXEC)
        copy_pieces(self.source, slot.fd, pieces)
        return slot

    def make(self):
        self.made += 1
        folder = os.path.join(self.scratch, f"copy-{self.made}")
        os.mkdir(folder)
        target = os.path.join(folder, "flash" + (".img" if self.flash.image else ""))
        flash = self.flash.copy_to(target)
        fd = os.open(target, os.O_RDWR | os.O_CLOEXEC) if self.flash.image else None
        written = os.open(os.path.join(folder, "written"),
                          os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        os.pwrite(written, b"\0" * 32, 0)
        slot = self.Slot(flash, folder, fd, written)
        self.slots.append(slot)
        return slot

    def give_back(self, slot, run=None, hold=None):
        """A slot whose check is done; its copy is the flash at that run's hold index."""
        if self.flash.image:
            self.free.append([slot, run, hold])
            return
        self.close_slot(slot)
        remove(slot.folder)

    def close_slot(self, slot):
        if slot in self.slots:
            self.slots.remove(slot)
            for fd in (slot.fd, slot.written):
                if fd is not None:
                    os.close(fd)

    def close(self):
        for slot in list(self.slots):
            self.close_slot(slot)
        if self.source is not None:
            os.close(self.source)
            self.source = None


def copy_pieces(source, target, pieces):
    """Copies the 64 KiB pieces marked in pieces from the descriptor source to target."""
    piece = 0
    while piece < 64:
        if not pieces >> piece & 1:
            piece += 1
            continue
        first = piece
        while piece < 64 and pieces >> piece & 1:
            piece += 1
        start = first << 16
        length = (IMAGE_SIZE if piece == 64 else piece << 16) - start
        done = 0
        while done < length:
            n = os.copy_file_range(source, target, length - done, start + done, start + done)
            if n <= 0:
                break
            done += n



class Holds:
    """The notes of a held run: the process that completes the operation the run is held
    after writes its number to the FIFO run/hold (see hold.cpp)."""

    def __init__(self, run, timeout, checker):
        self.run, self.checker = run, checker
        self.deadline = None if timeout is None else time.monotonic() + timeout
        self.buffer = b""
        self.held = None
        try:
            self.exited = os.pidfd_open(run.proc.pid)
        except (AttributeError, OSError):
            self.exited = None

    def reach(self, point):
        """Waits until the run is held after point (True), or its script ends or runs past
        its time first (False); the checks go on meanwhile."""
        while True:
            while len(self.buffer) >= 4:
                number = struct.unpack("=I", self.buffer[:4])[0]
                self.buffer = self.buffer[4:]
                if number == point:
                    self.held = time.monotonic()
                    return True
            if self.run.proc.poll() is not None:
                if not self.read():
                    return False
                continue
            left = None if self.deadline is None else self.deadline - time.monotonic()
            if left is not None and left <= 0:
                return False
            wait = [self.run.fifo] + ([self.exited] if self.exited is not None else [])
            limit = None if self.exited is not None and left is None else min(left or 0.05,
                                                                              0.05)
            if self.run.fifo in self.checker.wait(wait, limit):
                self.read()

    def release(self, point):
        """Lets the run go on to point. The time it was held (waiting for checks to free a
        place) does not count against the script's time limit."""
        if self.deadline is not None and self.held is not None:
            self.deadline += time.monotonic() - self.held
        self.held = None
        self.run.set_gate(point)

    def read(self):
        try:
            data = os.read(self.run.fifo, 4096)
        except BlockingIOError:
            return False
        self.buffer += data
        return bool(data)

    def close(self):
        if self.exited is not None:
            os.close(self.exited)
            self.exited = None


class Order:
    """Whether a held run's operations up to a cut are the counting run's: the same kind,
    device and offset, by the same process (counted in order of first appearance)."""

    def __init__(self, trace, shape_):
        self.path, self.shape = trace, shape_
        self.file, self.at = None, 0
        self.seen, self.ranks = {}, {}
        self.checked, self.diverged = 0, None

    def changed(self, point):
        if self.diverged is None:
            self.read()
            for number in range(self.checked + 1, point + 1):
                op = self.seen.get(number)
                if op is None or number > len(self.shape) or \
                        (self.ranks.setdefault(op.pid, len(self.ranks)), op.kind, op.device,
                         op.offset) != self.shape[number - 1]:
                    self.diverged = number
                    break
                self.checked = number
        return self.diverged is not None and self.diverged <= point

    def read(self):
        """The trace's new whole lines."""
        if self.file is None:
            self.file = open(self.path, "rb")
        self.file.seek(self.at)
        chunk = self.file.read()
        end = chunk.rfind(b"\n") + 1
        self.at += end
        for op in parse_trace(chunk[:end].decode("utf-8", "replace").splitlines()):
            self.seen[op.number] = op

    def close(self):
        if self.file is not None:
            self.file.close()
            self.file = None


Result = collections.namedtuple("Result", "verdict output")
PASSING = ("ok",)


class Campaign:
    """flashsim campaign: the counting run, the held runs that stop at each cut point, the
    checks on copies of the flash, and the exact edges of each window."""

    def __init__(self, flash, script, check, ram=False, every=False, jobs=None, timeout=None,
                 state=None, keep=None, json_path=None, torn_seed=None, replay=False,
                 out=sys.stdout):
        self.flash, self.script, self.check, self.ram = flash, script, check, ram
        self.every, self.timeout, self.keep, self.json_path = every, timeout, keep, json_path
        self.check_timeout = timeout or CHECK_TIMEOUT
        self.jobs = jobs or os.cpu_count() or 1
        self.state = State(state) if state else None
        self.torn_seed, self.replay, self.out = torn_seed, replay, out
        self.results = {}          # cut number (or ("torn", N)) -> Result
        self.where = "the counting run"
        self.ops, self.by_number = [], {}
        self.runs = 0
        self.order = collections.deque()
        self.searched = False

    # The flash (and state) as the campaign found it.
    def put_back(self):
        if self.start is None:      # stopped before the flash was read
            return
        self.flash.restore(self.start)
        if self.state and self.start_state is not None:
            self.state.put(self.start_state)

    def say(self, text=""):
        try:
            print(text, file=self.out, flush=True)
        except BrokenPipeError:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self.out.fileno())
            os.close(devnull)
            raise Stopped(signal.SIGPIPE, quiet=True) from None

    def main(self):
        began = time.monotonic()
        self.start = self.scratch = self.start_state = None
        self.copies, self.checker = None, Checker(self)
        try:
            try:
                self.scratch = tempfile.mkdtemp(prefix="flashsim-campaign-")
                self.copies = Copies(self.flash, self.scratch)
                self.start = self.flash.save()
                if self.state:
                    # Named once whole: a signal during the copy puts nothing back.
                    self.state.save(os.path.join(self.scratch, "state"))
                    self.start_state = os.path.join(self.scratch, "state")
                return self.campaign(began)
            except Stopped as stop:
                Signals.hold()
                self.end_everything()
                self.put_back()
                if not stop.quiet:
                    print(f"flashsim campaign: stopped by {signal.Signals(stop.signum).name} "
                          f"during {self.where}; the starting flash is put back",
                          file=sys.stderr)
                return 128 + stop.signum
        finally:
            Signals.hold()
            self.end_everything()
            if self.copies is not None:
                self.copies.close()
            self.put_back()
            if self.scratch is not None:
                shutil.rmtree(self.scratch, ignore_errors=True)

    def end_everything(self):
        """Kills every process below the launcher: the runs' and the checks'."""
        kill_descendants()
        for fd in list(self.checker.running):
            os.close(fd)
        self.checker.running.clear()
        self.checker.waiting.clear()

    def campaign(self, began):
        # The counting run, and the check after the whole script.
        run = Run(self.flash, self.ram)
        try:
            run.start(self.script, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL)
            status = run.wait(self.timeout)
            run.stop()
            self.ops = run.ops()
            broken = run.broken()
        finally:
            run.close()
        self.by_number = {op.number: op for op in self.ops}
        self.shape = shape(self.ops)
        self.check_now("end")
        self.checker.drain()
        points = [op.number for op in (self.ops if self.every else sample(self.ops))]
        width = max([len(op.command) for op in self.ops] + [len("the whole script")])
        self.columns = (len(f"cut {'inside' if self.torn_seed is not None else 'after'} "
                            f"{len(self.ops)}"), width)
        state = "ran past the time limit" if status is None else f"exit status {status}"
        if broken:
            state += ", the simulator gave up inside it"
        self.say(f"flashsim campaign: {' '.join(self.script)}: {len(self.ops)} device "
                 f"operations in {len({op.pid for op in self.ops})} processes ({state}); "
                 f"{len(points)} cut points")
        uncut_result = self.results.pop("end")
        if status is None or broken:
            uncut_result = Result("TIMEOUT" if status is None else "FAIL", uncut_result.output)
        self.row("no cut", "the whole script", "", uncut_result.verdict)
        self.where = "the cut points"
        if self.replay:
            self.replayed(points)
        else:
            self.held(points, show=True)
            self.bisect()
        if self.torn_seed is not None:
            self.torn()
        tried = sorted(self.results, key=sort_key)
        failed = sum(self.results[k].verdict not in PASSING for k in tried)
        failed += uncut_result.verdict not in PASSING
        windows = self.windows(tried)
        self.where = "the summary"
        if windows:
            for window in windows:
                self.show_window(window)
        else:
            self.say("no exposed window: every cut point passed")
        total = len(tried) + 1
        self.say(f"{total} runs checked: {total - failed} passed, {failed} failed "
                 f"({time.monotonic() - began:.1f} s)")
        if self.json_path:
            self.write_json(tried, uncut_result, windows)
        return 1 if failed else 0

    # -- the rows
    def describe(self, key):
        number = key if isinstance(key, int) else key[1]
        op = self.by_number.get(number)
        if op is None:
            return "", ""
        return op.command, f"{op.device:<4} {op.kind:<7} 0x{op.offset:06x}"

    def label(self, key, detail=False):
        if isinstance(key, int):
            return f"cut after {key}"
        kind, _device, done, total, unit = self.torn_at.get(key[1], ("", "", 0, 0, ""))
        if detail and kind:
            return f"cut inside {key[1]} ({kind}, {done} of {total} {unit})"
        return f"cut inside {key[1]}"

    def row(self, point, command, where, verdict):
        label, width = self.columns
        self.say(f"{point:<{label}}  {command:<{width}}  {where:<21}  {verdict}")

    def show(self, key):
        command, where = self.describe(key)
        verdict = self.results[key].verdict
        if not isinstance(key, int):
            kind, device, done, total, unit = self.torn_at.get(key[1], ("", "", 0, 0, ""))
            if kind:
                verdict += f"  ({kind}, {done} of {total} {unit})"
        self.row(self.label(key), command, where, verdict)

    # -- checks
    def check_now(self, key, run=None, history=None):
        """Starts the check of the flash as it is now, on a copy of it (and of the state
        folder); its Result is recorded when it ends."""
        slot = self.copies.take(run, history)
        state = None
        if self.state:
            state = os.path.join(slot.folder, "state")
            remove(state)
            self.state.save(state)
        hold = len(history) - 1 if history else None
        self.checker.submit(key, slot, run, hold, state)

    def record(self, key, result):
        """A verdict; the rows shown in the order of the cut points."""
        self.results[key] = result
        while self.order and self.order[0] in self.results:
            self.show(self.order.popleft())

    def held(self, points, show=False):
        """One run of the script held at each of points in turn; the check of each cut
        runs on a copy of the flash while the run goes on to the next."""
        self.order = collections.deque(points if show else ())
        while points:
            self.checker.paused = bool(self.state)
            points = points[self.hold_at(points):]
            self.checker.drain()

    def hold_at(self, points):
        """Runs the script held at each point in turn, and starts the check of each cut
        point (no more than a few waiting at a time). Returns how many points it took:
        with --state the checks wait for the run to end, so a run ends after a few."""
        self.put_back()
        if not points:
            return 0
        self.runs += 1
        run_id, history = self.runs, []
        run = Run(self.flash, self.ram, hold=points[0])
        run.keep = self.checker.sessions
        window = 2 * self.jobs + 2
        order, holds = Order(run.trace, self.shape), None
        try:
            run.start(self.script, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL)
            holds = Holds(run, self.timeout, self.checker)
            for index, point in enumerate(points):
                self.where = f"the cut after {point}"
                if not holds.reach(point):
                    verdict = "TIMEOUT" if run.proc.poll() is None else "not reached"
                    for rest in points[index:]:
                        self.record(rest, Result(verdict, ""))
                    break
                if self.checker.paused and self.checker.busy() >= window:
                    return index
                history.append(run.take_written())
                if order.changed(point):
                    self.record(point, Result("order changed", ""))
                else:
                    self.check_now(point, run_id, history)
                    while not self.checker.paused and self.checker.busy() > window:
                        self.checker.wait()
                if index + 1 < len(points):
                    holds.release(points[index + 1])
            return len(points)
        finally:
            if holds is not None:
                holds.close()
            order.close()
            run.stop()
            run.close()

    def bisect(self):
        """Between two tried cut points with different verdicts, finds the exact operation
        where the verdict changes: each round one held run at evenly spaced points inside
        every gap."""
        while True:
            tried = sorted(k for k in self.results if isinstance(k, int))
            gaps = [(a, b) for a, b in zip(tried, tried[1:])
                    if b - a > 1 and self.results[a].verdict != self.results[b].verdict]
            if not gaps:
                return
            # Each round is one run of the script: many points per gap make few rounds
            # (a gap of 500 operations takes two), and their checks run side by side.
            share = 16 * self.jobs
            middles = sorted({a + (b - a) * i // share for a, b in gaps
                              for i in range(1, share)} - {a for a, _ in gaps})
            if not self.searched:
                self.say(f"the verdict changes in {len(gaps)} gap{'s' if len(gaps) > 1 else ''} "
                         f"between the cut points tried: more cut points inside, until the "
                         f"exact operation is found")
                self.searched = True
            self.where = f"the search for exact edges (cut after {middles[0]})"
            self.held(middles, show=True)

    def faulted_run(self, fault):
        """One run of the script from the starting flash with one fault: its status (None
        past the time limit), whether the power was cut, and its log lines."""
        self.put_back()
        run = Run(self.flash, self.ram, [fault])
        try:
            run.start(self.script, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL)
            status = run.wait(self.timeout)
            run.stop()
            return status, run.power_cut(), run.log_lines()
        finally:
            run.close()

    def replayed(self, points):
        """The reference: one run of the script per cut point, with the power cut by the
        kill-after fault, and the check on the flash it leaves."""
        for point in points:
            self.where = f"the cut after {point}"
            status, cut, lines = self.faulted_run(cut_fault(point))
            ops = parse_trace(lines)
            if status is None:
                self.results[point] = Result("TIMEOUT", "")
            elif not cut:
                self.results[point] = Result("not reached", "")
            elif shape(ops[:point]) != self.shape[:point]:
                self.results[point] = Result("order changed", "")
            else:
                self.check_now(point)
                self.checker.drain()
            self.show(point)

    def torn(self):
        """Cut points inside each erase and write of the counting run (every one with
        --all, else the sampled ones), one run each: what a torn cut leaves is decided by
        the seed."""
        self.torn_at = {}
        self.say(f"torn cuts with seed {self.torn_seed}")
        chosen = self.ops if self.every else sample(self.ops)
        for op in chosen:
            if op.kind not in ("erase", "write"):
                continue
            key = ("torn", op.number)
            self.where = f"the cut inside {op.number}"
            status, cut, lines = self.faulted_run(f"torn:{op.number}:{self.torn_seed}")
            self.torn_at.update(torn_lines(lines))
            if status is None:
                self.results[key] = Result("TIMEOUT", "")
            elif not cut:
                self.results[key] = Result("not reached", "")
            else:
                self.check_now(key)
                self.checker.drain()
            self.show(key)

    torn_at = {}

    # -- the windows
    def windows(self, tried):
        windows, current = [], []
        for key in tried:
            if self.results[key].verdict not in PASSING:
                current.append(key)
            elif current:
                windows.append(current)
                current = []
        if current:
            windows.append(current)
        return windows

    def show_window(self, window):
        first, last = window[0], window[-1]

        def where(key):
            command, place = self.describe(key)
            return f"{self.label(key, True)} ({command}, {' '.join(place.split())})"

        span = number_of(last) - number_of(first) + 1
        self.say(f"window: {where(first)} to {where(last)}: {span} operation"
                 f"{'s' if span != 1 else ''}")
        output = self.results[first].output.splitlines()
        if output:
            self.say(f"  the check at {self.label(first)} said:")
            for line in output[:5]:
                self.say(f"    {line}")
        if self.keep and isinstance(first, int):
            self.keep_window(first)

    def keep_window(self, number):
        """Saves the flash a cut leaves, made again from the starting flash with the fault
        a plain run takes, and says how to make it again."""
        suffix = ".img" if self.flash.image else ""
        start = os.path.join(self.keep, "start" + suffix)
        if not os.path.exists(start):
            self.put_back()
            self.flash.copy_to(start)
        kept = os.path.join(self.keep, f"cut-{number}{suffix}")
        if os.path.isdir(kept):
            shutil.rmtree(kept)
        elif os.path.exists(kept):
            os.remove(kept)
        self.put_back()
        run = Run(self.flash, self.ram, [cut_fault(number)])
        try:
            run.start(self.script, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL)
            run.wait(self.timeout)
            run.stop()
        finally:
            run.close()
        self.flash.copy_to(kept)
        option = "--image" if self.flash.image else "--dir"
        copy = "COPY" + suffix
        line = (f"cp {'-r ' if not suffix else ''}{shlex.quote(start)} {copy} && flashsim "
                f"{option} {copy}{' --ram' if self.ram else ''} --faults {cut_fault(number)} "
                f"-- {' '.join(shlex.quote(a) for a in self.script)}")
        self.say(f"  kept {kept}; made again by: {line}")

    def write_json(self, tried, uncut, windows):
        def point(key):
            command, _ = self.describe(key)
            op = self.by_number.get(number_of(key))
            entry = {"cut": "after" if isinstance(key, int) else "inside",
                     "operation": number_of(key), "command": command,
                     "device": op.device if op else None, "kind": op.kind if op else None,
                     "offset": op.offset if op else None,
                     "verdict": self.results[key].verdict}
            if not isinstance(key, int) and number_of(key) in self.torn_at:
                kind, device, done, total, unit = self.torn_at[number_of(key)]
                entry["torn"] = {"done": done, "total": total, "unit": unit}
            return entry

        data = {"script": self.script, "check": self.check, "operations": len(self.ops),
                "uncut": uncut.verdict, "seed": self.torn_seed,
                "cuts": [point(k) for k in tried],
                "windows": [{"first": point(w[0]), "last": point(w[-1]),
                             "operations": number_of(w[-1]) - number_of(w[0]) + 1}
                            for w in windows]}
        with open(self.json_path, "w", encoding="utf-8") as f:
            json.dump(data, f, indent=1)
            f.write("\n")


def number_of(key):
    return key if isinstance(key, int) else key[1]


def sort_key(key):
    return (key, 1) if isinstance(key, int) else (key[1], 0)


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.exists(path):
        os.remove(path)


# ---- The command line ---------------------------------------------------------------------

class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def parse(argv):
    parser = Parser(prog="flashsim", usage=USAGE, add_help=False, allow_abbrev=False)
    parser.add_argument("--dir")
    parser.add_argument("--image")
    parser.add_argument("--init", action="store_true")
    parser.add_argument("--ram", action="store_true")
    parser.add_argument("--faults", default="")
    parser.add_argument("--log")
    parser.add_argument("--check")
    parser.add_argument("--all", action="store_true")
    parser.add_argument("-j", dest="jobs")
    parser.add_argument("--timeout")
    parser.add_argument("--state")
    parser.add_argument("--keep")
    parser.add_argument("--json")
    parser.add_argument("--torn", action="store_true")
    parser.add_argument("--seed")
    parser.add_argument("--replay", action="store_true")     # the reference, for tests
    parser.add_argument("-h", "--help", action="store_true")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    campaign_mode = bool(argv) and argv[0] == "campaign"
    args = parser.parse_args(argv[1:] if campaign_mode else argv)
    args.campaign = campaign_mode
    explicit = args.command[:1] == ["--"]
    if explicit:
        args.command = args.command[1:]
    if not explicit and args.command[:1] == ["campaign"]:
        raise UsageError("campaign comes first: flashsim campaign [OPTION...] -- SCRIPT")
    if not explicit and args.command[:1] and args.command[0].startswith("-"):
        raise UsageError(f"unknown option {args.command[0]}")
    if args.dir is not None and args.image is not None:
        raise UsageError("give --dir or --image, not both")
    if args.campaign:
        if args.faults or args.log:
            raise UsageError("campaign cuts the power itself: --faults and --log are for a "
                             "plain run")
        if args.init:
            raise UsageError("campaign does not take --init: it would erase the starting flash")
        if args.check is None and not args.help:
            raise UsageError("campaign needs --check CMD: a campaign that judges nothing "
                             "passes nothing")
    else:
        for name in ("check", "all", "jobs", "state", "keep", "json", "replay"):
            if getattr(args, name):
                raise UsageError("--check, --all, -j, --state, --keep and --json are for a "
                                 "campaign")
    args.jobs = number(args.jobs, "-j", int, 1) if args.jobs is not None else None
    args.timeout = number(args.timeout, "--timeout", float, 0.001) \
        if args.timeout is not None else None
    args.seed = number(args.seed, "--seed", int, 0) if args.seed is not None else None
    if args.seed is not None and not args.torn:
        raise UsageError("--seed is for --torn")
    if args.torn and not args.campaign and "kill-after:" not in args.faults:
        raise UsageError("--torn cuts inside the operation of kill-after:N: give that fault")
    return args


def number(text, option, kind, least):
    try:
        value = kind(text)
    except ValueError:
        raise UsageError(f"{option} {text}: not a number") from None
    if value < least or value != value:
        raise UsageError(f"{option} {text}: must be at least {least:g}")
    return value


def flash_of(args):
    folder = args.dir or (None if args.image else os.environ.get("FLASHSIM_DIR"))
    image = args.image or (None if args.dir else os.environ.get("FLASHSIM_IMAGE"))
    if not folder and not image:
        raise UsageError("no flash: give --dir DIR or --image FILE")
    return Flash(folder, image)


def check_program(word, what):
    """Refuses a command that cannot be started: a path that is not an executable file,
    or a name not found on PATH."""
    if "/" in word:
        if not os.path.exists(word):
            raise UsageError(f"{word}: no such file ({what})")
        if os.path.isdir(word) or not os.access(word, os.X_OK):
            raise UsageError(f"{word}: not an executable file ({what})")
    elif shutil.which(word) is None:
        raise UsageError(f"{word}: command not found ({what})")


def check_shell_command(text):
    try:
        words = shlex.split(text)
    except ValueError as error:
        raise UsageError(f"--check {text!r}: {error}") from None
    if not words:
        raise UsageError("--check: an empty command")
    first = words[0]
    if first in SHELL_WORDS or "=" in first or any(c in first for c in "$`;&|<>(){}*?"):
        return
    if first in ("sh", "bash", "dash") and len(words) > 1 and not words[1].startswith("-"):
        check_program_file(words[1])
        return
    check_program(first, "the check")


def check_program_file(path):
    if not os.path.isfile(path):
        raise UsageError(f"{path}: no such file (the check)")


def writable_place(path, what, create=False):
    """A folder (or the folder of a file) the launcher writes to must exist and be
    writable; create=True makes a missing folder when its parent exists, and says so."""
    if create:
        if not os.path.exists(path):
            parent = os.path.dirname(os.path.abspath(path))
            if not os.path.isdir(parent):
                raise UsageError(f"{path}: no such folder {parent} ({what})")
            os.mkdir(path)
            print(f"flashsim: created {path} ({what})", file=sys.stderr)
        elif not os.path.isdir(path):
            raise UsageError(f"{path}: not a folder ({what})")
        if not os.access(path, os.W_OK | os.X_OK):
            raise UsageError(f"{path}: cannot be written ({what})")
        return
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        raise UsageError(f"{path}: no such folder {parent} ({what})")
    if not os.access(parent, os.W_OK | os.X_OK):
        raise UsageError(f"{path}: cannot be written ({what})")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    try:
        with Signals():
            return launch(argv)
    except Stopped as stop:
        return 128 + stop.signum


def launch(argv):
    try:
        args = parse(argv)
        if args.help:
            sys.stdout.write(USAGE)
            return 0
        flash = flash_of(args)
        if args.campaign and not args.command:
            raise UsageError("campaign needs a SCRIPT to run")
        if args.faults:
            check_faults(args.faults)
        if args.command:
            check_program(args.command[0], "the command" if not args.campaign else "the script")
        if args.campaign:
            check_shell_command(args.check)
            if lib() is None or not hasattr(lib(), "flashsim_set_gate"):
                raise UsageError(f"{library()}: cannot load the simulator library")
        if args.log:
            writable_place(args.log, "--log")
        if args.json:
            writable_place(args.json, "--json")
        if args.state:
            if not os.path.isdir(args.state):
                raise UsageError(f"{args.state}: no such folder (--state)")
            writable_place(args.state, "--state", create=True)
            args.state = os.path.abspath(args.state)
        if args.keep:
            writable_place(args.keep, "--keep", create=True)
            args.keep = os.path.abspath(args.keep)
        tmp = tempfile.gettempdir()
        if not os.access(tmp, os.W_OK | os.X_OK):
            raise UsageError(f"{tmp}: the temporary folder cannot be written")
        flash.prepare(args.init)
    except UsageError as error:
        print(f"flashsim: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        print(f"flashsim: {error.filename or ''}{': ' if error.filename else ''}"
              f"{error.strerror or error}", file=sys.stderr)
        return 2
    seed = None
    if args.torn:
        seed = args.seed if args.seed is not None else random.randrange(1, 1 << 31)
    become_subreaper()
    try:
        if args.campaign:
            return Campaign(flash, args.command, args.check, args.ram, args.all, args.jobs,
                            args.timeout, args.state, args.keep,
                            os.path.abspath(args.json) if args.json else None, seed,
                            args.replay).main()
        if not args.command:
            return 0
        return run_command(flash, args.command, args.ram,
                           args.faults.split(",") if args.faults else [],
                           os.path.abspath(args.log) if args.log else None, args.timeout, seed)
    except UsageError as error:
        print(f"flashsim: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        Signals.hold()
        kill_descendants()
        print(f"flashsim: {error.filename or ''}{': ' if error.filename else ''}"
              f"{error.strerror or error}", file=sys.stderr)
        return 2
    finally:
        Run.remove_left()
