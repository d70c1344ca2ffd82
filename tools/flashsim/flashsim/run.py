"""One run of a command under the simulator, and the held run of a campaign: the gate that
holds it after an operation and the check that its operations are the counting run's. The
launcher is a child subreaper: every process of a run stays below it, whatever group or
session it moves to, so that it can kill every one of them before the flash is judged or
put back."""
import collections
import contextlib
import ctypes
import fcntl
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from . import isolation, library
from .errors import Stopped, UsageError
from .trace import parse_trace, torn_lines

PR_SET_CHILD_SUBREAPER = 36
_folders = set()    # run folders not removed yet: the launcher removes what is left at its end
_base_env = None
# The launcher's folders in TMPDIR, and the file in each that it holds locked while it
# lives: the kernel lets go of the lock when it dies, however it dies.
FOLDERS = ("flashsim-run-", "flashsim-campaign-")
OWNER = "owner"
_owned = {}         # folder -> the descriptor of its locked owner file


def own_folder(prefix):
    """A new folder in TMPDIR (prefix one of FOLDERS), locked as this launcher's."""
    folder = tempfile.mkdtemp(prefix=prefix)
    try:
        fd = os.open(os.path.join(folder, OWNER), os.O_CREAT | os.O_RDWR | os.O_CLOEXEC, 0o600)
    except OSError:
        shutil.rmtree(folder, ignore_errors=True)
        raise
    fcntl.flock(fd, fcntl.LOCK_EX)
    _owned[folder] = fd
    return folder


def release_folder(folder):
    """Removes a folder of own_folder's, then lets go of it."""
    shutil.rmtree(folder, ignore_errors=True)
    fd = _owned.pop(folder, None)
    if fd is not None:
        os.close(fd)


def sweep(grace=60.0):
    """Removes what launchers that died (SIGKILL, the OOM killer, a CI's hard limit) left
    in TMPDIR: their folders, whose owner file no process holds locked any more. A folder
    with no owner file yet is another launcher's being made, unless it is older than grace
    seconds."""
    tmp = tempfile.gettempdir()
    try:
        names = [n for n in os.listdir(tmp) if n.startswith(FOLDERS)]
    except OSError:
        return
    for name in names:
        folder = os.path.join(tmp, name)
        try:
            fd = os.open(os.path.join(folder, OWNER), os.O_RDONLY | os.O_CLOEXEC)
        except FileNotFoundError:
            try:
                if time.time() - os.lstat(folder).st_mtime > grace:
                    shutil.rmtree(folder, ignore_errors=True)
            except OSError:
                pass
            continue
        except OSError:
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            continue            # its launcher lives
        finally:
            os.close(fd)
        shutil.rmtree(folder, ignore_errors=True)


def become_subreaper():
    ctypes.CDLL(None).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def processes():
    """Every process of the machine: {pid: (state, parent, session)}."""
    found = {}
    for name in isolation.proc_list():
        if not name.isdigit():
            continue
        try:
            with isolation.proc_open(f"{name}/stat") as f:
                fields = f.read().rsplit(b")", 1)[1].split()
        except (OSError, IndexError):
            continue
        found[int(name)] = (fields[0], int(fields[1]), int(fields[3]))
    return found


def descendants(skip_sessions=()):
    """The processes below the launcher, with their state, except those of the sessions
    given (a check's, named by its first process: that process is spared by its pid too,
    since a check that is forked takes its session only a moment after the fork)."""
    table = processes()
    below, todo = [], [os.getpid()]
    children = collections.defaultdict(list)
    for pid, (_, ppid, _) in table.items():
        children[ppid].append(pid)
    while todo:
        for child in children.get(todo.pop(), ()):
            if child == isolation.keeper:
                todo.append(child)      # its orphans are the runs', not itself
            elif child not in skip_sessions and table[child][2] not in skip_sessions:
                below.append((child, table[child][0]))
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


STOPPING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def stop_on_signals():
    """INT, TERM and HUP stop the launcher's work with Stopped, once (see block_signals)."""
    def stop(signum, _frame):
        block_signals()
        raise Stopped(signum)
    for signum in STOPPING:
        signal.signal(signum, stop)


def block_signals():
    """While the launcher cleans up, a second signal cannot interrupt putting the flash back."""
    signal.pthread_sigmask(signal.SIG_BLOCK, STOPPING)


def simulator_env(flash, ram, extra=None):
    """A program's environment: the run's settings replace any from the launcher's, but for
    the NOR write rule, which the launcher has no option for."""
    global _base_env
    if _base_env is None:
        _base_env = {k: v for k, v in os.environ.items()
                     if not k.startswith("FLASHSIM_") or k == "FLASHSIM_NOR"}
        _base_env["LD_PRELOAD"] = library.path() + (":" + _base_env["LD_PRELOAD"]
                                                    if _base_env.get("LD_PRELOAD") else "")
    env = dict(_base_env)
    env.update(flash.env())
    if ram:
        env["FLASHSIM_RAM"] = "1"
    env.update(extra or {})
    return env


class Run:
    """One run: its processes share one operation count, one power switch and (gate: held
    after that operation by a campaign, told through the FIFO hold) one gate: the run page."""

    def __init__(self, flash, ram=False, faults="", log=None, gate=None, spared=set):
        self.flash, self.ram, self.faults = flash, ram, faults     # the fault list's text
        try:
            self.folder = own_folder("flashsim-run-")
        except OSError as error:
            raise UsageError(f"cannot make a run folder in {tempfile.gettempdir()}: "
                             f"{error.strerror}") from None
        _folders.add(self.folder)
        self.trace = log or os.path.join(self.folder, library.LOG)
        self.page = library.Page(os.path.join(self.folder, library.COUNTER), flash.layout.size)
        self.fifo = None
        if gate is not None:
            self.page.set_gate(gate)
            os.mkfifo(os.path.join(self.folder, library.HOLD))
            self.fifo = os.open(os.path.join(self.folder, library.HOLD), os.O_RDWR | os.O_NONBLOCK)
        self.proc = None
        self.spared = spared     # the sessions (a campaign's checks) that are not the run's

    def start(self, argv, quiet=False, output=None):
        """Starts argv in a new process group (quiet: with no input and no output, or its
        output, both streams, into the file output): a power cut kills that group, and the
        launcher kills whatever of the run is left."""
        env = simulator_env(self.flash, self.ram, {
            "FLASHSIM_RUN": self.folder, "FLASHSIM_LOG": self.trace, "FLASHSIM_TRACE": "1",
            "FLASHSIM_FAULTS": self.faults})
        streams = dict.fromkeys(("stdin", "stdout", "stderr"), subprocess.DEVNULL) if quiet else {}
        if output is not None:
            with open(output, "wb") as f:
                self.proc = subprocess.Popen(argv, env=env, process_group=0, stdout=f,
                                             stdin=subprocess.DEVNULL, stderr=subprocess.STDOUT)
            return self.proc
        self.proc = subprocess.Popen(argv, env=env, process_group=0, **streams)
        return self.proc

    def torn_copy(self, copy, number, seed):
        """Names copy (a flash image or folder) to the run: the process that does operation
        number leaves in it what torn:NUMBER:SEED would leave on the flash, then does the
        operation whole. The run is held before that operation meanwhile."""
        link = os.path.join(self.folder, library.TORN)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(copy, link)
        self.page.set_torn_copy(number, seed)

    def wait(self, timeout=None):
        """Waits for the run's command; returns its status, or None past the timeout."""
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        return 128 - status if status < 0 else status

    def left(self):
        """The processes of the run still alive (not zombies), with their command lines."""
        found = []
        for pid, state in descendants(skip_sessions=self.spared()):
            if state == b"Z":
                continue
            try:
                with isolation.proc_open(f"{pid}/cmdline") as f:
                    line = f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()
            except OSError:
                continue
            found.append((pid, line[:80]))
        return found

    def name_left(self, what):
        """Says on standard error which processes are still running now that what (the
        command, the script) has ended: they are killed next, which is no silent end.
        Returns them, as (pid, command line)."""
        found = self.left()
        for pid, line in found:
            print(f"flashsim: {line} (pid {pid}) was still running when {what} ended: killed",
                  file=sys.stderr, flush=True)
        return found

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
        kill_descendants(skip_sessions=self.spared())

    def log_lines(self):
        if not os.path.exists(self.trace):
            return []
        with open(self.trace, "rb") as f:
            return f.read().decode("utf-8", "replace").splitlines()

    def close(self):
        if self.fifo is not None:
            os.close(self.fifo)
            self.fifo = None
        self.page.close()
        shutil.rmtree(self.folder, ignore_errors=True)
        if not os.path.exists(self.folder):
            _folders.discard(self.folder)
            release_folder(self.folder)


class Gate:
    """A held run's gate: the process that completes the operation the run is held after
    writes its number to the run's FIFO; release lets the run go on. The run's time limit
    counts only the time it runs, not the time it is held."""

    def __init__(self, run, limit, wait):
        self.run, self.wait = run, wait
        self.limit = limit
        self.deadline = None if limit is None else time.monotonic() + limit
        self.buffer = b""       # the start of a message not whole yet
        self.numbers = collections.deque()      # the numbers the FIFO gave, not looked at yet
        self.held_since = None
        self.exited = os.pidfd_open(run.proc.pid)

    def reach(self, point):
        """Waits until the run is held after point (True), or its script ends or runs past
        its time first (False); wait (the checks' own) lets them go on meanwhile."""
        while True:
            while self.numbers:
                if self.numbers.popleft() == point:
                    self.held_since = time.monotonic()
                    return True
            if self.run.proc.poll() is not None:
                if not self.read():
                    return False
                continue
            left = None if self.deadline is None else self.deadline - time.monotonic()
            if left is not None and left <= 0:
                return False
            if self.run.fifo in self.wait([self.run.fifo, self.exited], left):
                self.read()

    def release(self, point):
        """Lets the run go on to point; the time it was held stops counting."""
        if self.deadline is not None and self.held_since is not None:
            self.deadline += time.monotonic() - self.held_since
        self.held_since = None
        self.run.page.set_gate(point)

    def read(self):
        try:
            data = os.read(self.run.fifo, 4096)
        except BlockingIOError:
            return False
        numbers, self.buffer = library.frames(self.buffer + data)
        self.numbers.extend(numbers)
        return bool(data)

    def close(self):
        os.close(self.exited)


class Order:
    """Whether a held run's operations up to a cut are the counting run's (counted: its
    shape): the same kind, device and offset, by the same process (counted in order of
    first appearance). A number missing from the trace while later ones are there is a
    trace line lost, not another path: lost() says so."""

    def __init__(self, trace, counted):
        self.path, self.counted = trace, counted
        self.file, self.at = None, 0
        self.seen, self.ranks = {}, {}
        self.torn = {}      # the torn cuts the run's log records so far: {number: Torn}
        self.checked, self.diverged = 0, None

    def changed(self, point):
        self.read()
        if self.diverged is None:
            for number in range(self.checked + 1, point + 1):
                op = self.seen.get(number)
                if op is None or number > len(self.counted) or \
                        (self.ranks.setdefault(op.pid, len(self.ranks)), op.kind, op.device,
                         op.offset) != self.counted[number - 1]:
                    self.diverged = number
                    break
                self.checked = number
        return self.diverged is not None and self.diverged <= point

    def lost(self):
        """Whether the trace lacks the line of an operation it has later ones of."""
        return self.diverged is not None and self.diverged not in self.seen and \
            any(number > self.diverged for number in self.seen)

    def read(self):
        """The trace's new whole lines."""
        if self.file is None:
            self.file = open(self.path, "rb")
        self.file.seek(self.at)
        chunk = self.file.read()
        end = chunk.rfind(b"\n") + 1
        self.at += end
        lines = chunk[:end].decode("utf-8", "replace").splitlines()
        for op in parse_trace(lines):
            self.seen[op.number] = op
        self.torn.update(torn_lines(lines))

    def close(self):
        if self.file is not None:
            self.file.close()
            self.file = None


class HeldRun:
    """A campaign's run of the script, held after one operation at a time: reach(N)
    returns once every operation up to N has ended and none past it has started, the flash
    a cut right after N leaves. history holds the pieces the run wrote up to each point it
    was held at, for the copies of the flash taken there. A cut inside operation N is held
    like the others: held after N - 1 (or before the run starts), the launcher names a copy
    of the flash (torn_copy); the process that does N leaves in that copy what the torn
    fault would leave, then does N whole."""

    def __init__(self, flash, ram, counted, first, limit, spared, wait):
        self.run = Run(flash, ram, gate=first, spared=spared)
        self.order = Order(self.run.trace, counted)
        self.limit, self.wait = limit, wait
        self.gate = None
        self.held = 0       # the operation the run is held after (0: not started)
        self.history = []

    def start(self, script):
        self.run.start(script, quiet=True)
        self.gate = Gate(self.run, self.limit, self.wait)

    def reach(self, number):
        """Holds the run after operation number (True), unless its script ends or runs past
        its time first (False)."""
        if self.held == number:
            return True
        if self.held:
            self.gate.release(number)
        if not self.gate.reach(number):
            return False
        self.held = number
        self.history.append(self.run.page.take_written())
        return True

    def ran_out(self):
        """Whether the script is still running: it did not end, its time did."""
        return self.run.proc is not None and self.run.proc.poll() is None

    def torn_copy(self, path, number, seed):
        self.run.torn_copy(path, number, seed)

    def torn_made(self):
        """The operation whose torn result the named copy holds (0: none); forgets it."""
        made = self.run.page.torn_copy_made()
        self.run.page.set_torn_copy(0, 0)
        return made

    def close(self):
        if self.gate is not None:
            self.gate.close()
        self.order.close()
        self.run.stop()
        self.run.close()


def remove_left():
    """Removes the run folders left at the launcher's end (a run stopped while set up, a
    folder written into while removed), once no process is left to write into them."""
    if _folders:
        kill_descendants()
        for folder in _folders:
            release_folder(folder)
        _folders.clear()


@contextlib.contextmanager
def foreground(group):
    """Hands the terminal to the command's process group while it runs, so that it can
    read from it and Ctrl-C reaches it, as if the shell had started it."""
    try:
        tty = os.isatty(0) and os.tcgetpgrp(0) == os.getpgrp()
    except OSError:
        tty = False
    if tty:
        os.tcsetpgrp(0, group)
    try:
        yield
    finally:
        if tty:
            old = signal.signal(signal.SIGTTOU, signal.SIG_IGN)
            try:
                os.tcsetpgrp(0, os.getpgrp())
            except OSError:
                pass
            signal.signal(signal.SIGTTOU, old)


def run_command(flash, argv, ram, faults, log, timeout=None, torn_seed=None):
    """flashsim -- COMMAND: runs it with the terminal, returns its exit status."""
    if torn_seed is not None:
        faults = library.torn_faults(faults, torn_seed)
        print(f"flashsim: torn cuts with seed {torn_seed}", file=sys.stderr)
    run = Run(flash, ram, faults, log)
    try:
        try:
            with foreground(run.start(argv).pid):
                status = run.wait(timeout)
        except Stopped as stop:
            block_signals()
            run.stop()
            print(f"flashsim: stopped by {signal.Signals(stop.signum).name}; the flash is as "
                  f"the stopped run left it", file=sys.stderr)
            return 128 + stop.signum
        block_signals()
        if status is None:
            print(f"flashsim: {argv[0]} ran past {timeout:g} s; stopped", file=sys.stderr)
            status = 124
        elif not run.page.state()[1]:
            run.name_left("the command")
        run.stop()
        operations, power_off, broken = run.page.state()
        if power_off:
            torn = torn_lines(run.log_lines())
            if torn:
                number, cut = next(iter(torn.items()))
                print(f"flashsim: power cut inside operation {number} ({cut.kind} "
                      f"{cut.device}, {cut.done} of {cut.total} {cut.unit})", file=sys.stderr)
            else:
                print(f"flashsim: power cut after operation {operations}", file=sys.stderr)
        if broken:
            print("flashsim: the simulator gave up inside the run", file=sys.stderr)
            status = status or 1
        return status
    finally:
        run.close()
