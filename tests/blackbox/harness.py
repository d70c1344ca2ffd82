"""Black-box scenarios for flashtool: one definition runs on the flash simulator and on
the kernel's MTD driver.

A scenario names the command line, the input files, the starting flash, the expected
standard output, standard error and exit status, and the expected flash contents as edits
on the starting flash: every byte not edited must come back unchanged."""

import atexit
import dataclasses
import difflib
import errno
import fcntl
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

DEVICE_SIZES = {"mtd0": 0x20000, "mtd1": 0xE0000, "mtd2": 0x290000, "mtd3": 0x70000}
ERASE_SIZES = {"mtd0": 0x2000, "mtd1": 0x10000, "mtd2": 0x10000, "mtd3": 0x10000}
LOST = "Lost connection while upgrading firmware!"
WAITING = "flashtool: waiting for another flash write to finish\n"
NOBODY = 65534             # the ordinary user that scenarios with user set run as
FS_IOC_GETFLAGS, FS_IOC_SETFLAGS, FS_IMMUTABLE_FL = 0x80086601, 0x40086602, 0x10

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
class Other:
    """Another flashtool run, started before the scenario's command and caught mid-write:
    on the simulator right before its device operation `op`, on the real driver as soon as
    it holds the flash lock. With end "stop" it is held there until the command waits for
    it or ends, then let go; with "kill" it dies there (SIGKILL) before the command starts."""
    args: list
    op: int
    end: str = "stop"
    stdout: object = None          # as for Scenario; None: not compared
    stderr: object = None
    status: int = None             # 128+N when killed by signal N


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
    other: Other = None            # a run already mid-write when the command starts
    held_back: bool = None         # the command was still running when `other` was let go
    # Simulator: writes clear bits as on the device's NOR flash. Off, they overwrite, as
    # block2mtd does, so that one scenario holds on both tiers.
    nor: bool = False
    user: int = None               # run as this uid (and gid): NOBODY; None: as the caller
    prepare: list = dataclasses.field(default_factory=list)    # work-dir steps, see PREPARE
    expect_owners: dict = None     # name -> (permission bits, uid, gid) after the run
    durable: list = None           # simulator: destinations replaced by a synced rename
    sim_env: dict = dataclasses.field(default_factory=dict)    # more FLASHSIM_* variables
    # Simulator tier only, each also root only where it says so:
    stream_file: tuple = None      # (fd, name): that standard stream is the working-dir file
    #                                name, open read-write and appending; after the run the
    #                                harness appends "after\n" through that same descriptor
    interrupt: list = None         # steps taken while a stop-before fault holds the command:
    #                                ("signal", N), or PREPARE steps; then it goes on
    signal_waiting: int = None     # with `other`: this signal reaches the command while it waits
    holder: list = None            # a program run first as NOBODY with a read-only descriptor
    #                                of /dev/mtd0 ({fd} in its words); it exits or prints a
    #                                line once it holds what it holds; the descriptor is closed
    #                                once the command ends or says that it waits
    landlock_deny: int = None      # Landlock access rights the command's domain refuses
    tmpfs: tuple = None            # (folder, bytes): a fresh tmpfs of that size (root only)
    nobody_reads: dict = None      # name -> whether NOBODY may open it for reading after the run
    # (signal, op): the signal is sent to the command while it is held mid-run: on the
    # simulator right before its device operation op, on the real driver once it holds the
    # flash lock (a writer) or has opened its devices (a reader); then it goes on.
    signal: tuple = None

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


# Steps that shape the working directory before the command runs, as root, after the
# files are written (and, for a scenario with a user, handed to that user):
#   ("chmod", path, mode)   ("chown", path, uid, gid)   ("link", existing, new)
#   ("mkdir", path)         ("immutable", path): the immutable attribute, simulator only
#   ("fifo", path)          a named pipe that nobody writes: opening it to read blocks
PREPARE = {
    "chmod": lambda work, path, mode: os.chmod(os.path.join(work, path), mode),
    "chown": lambda work, path, uid, gid: os.chown(os.path.join(work, path), uid, gid,
                                                   follow_symlinks=False),
    "link": lambda work, old, new: os.link(os.path.join(work, old), os.path.join(work, new)),
    "mkdir": lambda work, path: os.mkdir(os.path.join(work, path)),
    "immutable": lambda work, path: set_immutable(os.path.join(work, path), True),
    "rename": lambda work, old, new: os.rename(os.path.join(work, old), os.path.join(work, new)),
    "setfacl": lambda work, path, entries: set_access_list(os.path.join(work, path), entries),
    "fifo": lambda work, path: os.mkfifo(os.path.join(work, path)),
}
# ("setfacl", path, entries): setfacl -m entries path (a failure where setfacl is missing,
# skipped where the file system refuses access lists);
# ("rename", old, new): os.rename.


def set_access_list(path, entries):
    """setfacl -m entries path; OSError when the file system refuses access lists."""
    done = subprocess.run(["setfacl", "-m", entries, path], capture_output=True, text=True,
                          check=False)
    if done.returncode != 0:
        raise OSError(errno.ENOTSUP, done.stderr.strip())


def set_immutable(path, on):
    """Sets or clears the immutable attribute; OSError when the file system has none."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    try:
        flags = bytearray(4)
        fcntl.ioctl(fd, FS_IOC_GETFLAGS, flags)
        value = int.from_bytes(flags, "little")
        value = value | FS_IMMUTABLE_FL if on else value & ~FS_IMMUTABLE_FL
        fcntl.ioctl(fd, FS_IOC_SETFLAGS, value.to_bytes(4, "little"))
    finally:
        os.close(fd)


def prepare_work(scenario, top, work, devdir, log):
    """Hands the run's folders to the scenario's user and applies its steps. Returns None;
    {"skipped": why} where the scenario cannot run here (a file system without the immutable
    attribute); or {"failed": why} where a tool it needs is missing (setfacl: the test
    command installs it, so a scenario that silently passed without it would hide a fault)."""
    if scenario.user is not None and os.geteuid() != 0:
        return {"skipped": "only root can run a command as another user"}
    if scenario.user is not None:
        os.chmod(top, 0o755)
        os.chmod(devdir, 0o755)
        for name in os.listdir(devdir):
            os.chmod(os.path.join(devdir, name), 0o666)
        open(log, "w").close()
        os.chmod(log, 0o666)
        for root, dirs, names in os.walk(work):
            for name in [root] + [os.path.join(root, n) for n in dirs + names]:
                os.chown(name, scenario.user, scenario.user)
    for step in scenario.prepare:
        if step[0] == "setfacl" and shutil.which("setfacl") is None:
            return {"failed": "setfacl is not installed (apt-get install acl)"}
        try:
            PREPARE[step[0]](work, *step[1:])
        except OSError as error:
            if step[0] == "setfacl":
                return {"skipped": f"the file system refuses access lists ({error.strerror})"}
            if step[0] != "immutable":
                raise
            return {"skipped": f"the file system refuses the immutable attribute ({error.strerror})"}
    return None


_staged = {}


def others_reach(path):
    """True when any user can reach path: every folder above it searchable by all, and
    the path itself readable (a folder: also searchable) by all."""
    path = os.path.realpath(path)
    folder = os.path.dirname(path)
    while True:
        if not os.stat(folder).st_mode & 0o001:
            return False
        if folder == "/":
            break
        folder = os.path.dirname(folder)
    need = 0o005 if os.path.isdir(path) else 0o004
    return os.stat(path).st_mode & need == need


def reachable(path):
    """path, or a copy that a scenario's ordinary user can reach: a build tree below a
    private home folder is out of that user's reach. One copy per process."""
    if others_reach(path):
        return path
    if path not in _staged:
        stage = tempfile.mkdtemp(prefix="flashsim-stage-")
        os.chmod(stage, 0o755)
        atexit.register(shutil.rmtree, stage, True)
        copy = os.path.join(stage, os.path.basename(path))
        if os.path.isdir(path):
            shutil.copytree(path, copy, symlinks=True)
        else:
            shutil.copy2(path, copy)
        _staged[path] = copy
    return _staged[path]


def reachable_launcher(launcher):
    """The launcher with qemu-user's library folder (-L) made reachable too."""
    words = list(launcher)
    for i in range(1, len(words)):
        if words[i - 1] == "-L":
            words[i] = reachable(words[i])
    return words


def undo_prepare(scenario, work):
    for step in scenario.prepare:
        if step[0] == "immutable":
            try:
                set_immutable(os.path.join(work, step[1]), False)
            except OSError:
                pass


def durable_renames(lines, work):
    """The renames the run made, in order, as (old, new, old synced before), relative to
    the working directory."""
    synced, renames = set(), []
    real = os.path.realpath(work)
    for line in lines:
        words = line.split(" ")
        if words[0] == "fsync" and len(words) == 2:
            synced.add(os.path.realpath(words[1]))
        elif words[0] == "rename" and len(words) >= 3:
            old, new = (os.path.realpath(os.path.join(work, w)) for w in words[1:3])
            renames.append((os.path.relpath(old, real), os.path.relpath(new, real), old in synced))
    return renames


def owners_of(work):
    owners = {}
    for root, _, names in os.walk(work):
        for name in names:
            st = os.lstat(os.path.join(root, name))
            owners[os.path.relpath(os.path.join(root, name), work)] = (
                st.st_mode & 0o7777, st.st_uid, st.st_gid)
    return owners


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
        if scenario.tmpfs is not None:
            skipped = mount_tmpfs(os.path.join(work, scenario.tmpfs[0]), scenario.tmpfs[1])
            if skipped:
                return {"skipped": skipped}
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
        unprepared = prepare_work(scenario, top, work, devdir, log)
        if unprepared:
            return unprepared
        faults = list(scenario.faults) + ["readonly:" + d for d in scenario.readonly_nodes]
        env = {k: v for k, v in os.environ.items() if not k.startswith("FLASHSIM")}
        env.update(LD_PRELOAD=simlib, FLASHSIM_DIR=devdir, FLASHSIM_LOG=log,
                   FLASHSIM_FAULTS=",".join(faults), **scenario.sim_env, **(extra_env or {}))
        if not scenario.nor:
            env["FLASHSIM_RAM"] = "1"
        who = {}
        if scenario.user is not None:
            who = {"user": scenario.user, "group": scenario.user, "extra_groups": []}
            binary, launcher = reachable(binary), reachable_launcher(launcher)
            env["LD_PRELOAD"] = reachable(simlib)

        def command(args, run_env):
            if launcher:
                return launch(launcher, scenario.argv0, binary, args, run_env)
            return [scenario.argv0] + list(args), binary, run_env

        overlap = {}
        if scenario.other is not None:
            fault = ("stop-before:%d" if scenario.other.end == "stop" else "kill-after:%d") \
                % scenario.other.op
            other_env = dict(env, FLASHSIM_FAULTS=fault, FLASHSIM_LOG=log + ".other")
            other = command(scenario.other.args, other_env)
        argv, binary, env = command(scenario.args, env)
        if scenario.closed_streams:
            closing = " ".join(f"{fd}>&-" for fd in scenario.closed_streams)
            argv = ["sh", "-c", f'exec "$@" {closing}', "sh", binary] + argv[1:]
            binary = "/bin/sh"
        if scenario.landlock_deny is not None:
            skipped = landlock_missing(scenario.landlock_deny)
            if skipped:
                return {"skipped": skipped}
            argv = [sys.executable, LANDLOCK_RUN, str(scenario.landlock_deny), binary] + argv
            binary = sys.executable
            # The simulator is preloaded into the command, not into the Python that sets it up.
            env = dict(env, LANDLOCK_RUN_PRELOAD=env.get("LD_PRELOAD", ""))
            env.pop("LD_PRELOAD", None)
        special = (scenario.stream_file, scenario.interrupt, scenario.holder)
        if scenario.signal is not None:
            signum, op = scenario.signal
            env["FLASHSIM_FAULTS"] = ",".join(filter(None, [env["FLASHSIM_FAULTS"],
                                                            f"stop-before:{op}"]))
            out, err, status = _run_signalled(signum, (argv, binary, env), work, who)
            proc = subprocess.CompletedProcess(argv, status, out, err)
        elif any(x is not None for x in special):
            out, err, status = _run_special(scenario, (argv, binary, env), work,
                                            os.path.join(devdir, "mtd0"), who)
            proc = subprocess.CompletedProcess(argv, status, out, err)
        elif scenario.other is not None:
            out, err, status, overlap = _run_beside_other(
                scenario.other, other, (argv, binary, env), work, os.path.join(devdir, "mtd0"),
                scenario.signal_waiting)
            proc = subprocess.CompletedProcess(argv, status, out, err)
        elif scenario.broken_pipe:
            reader, writer = os.pipe()
            os.close(reader)
            proc = subprocess.run(argv, executable=binary, cwd=work, env=env, stdin=subprocess.DEVNULL,
                                  stdout=writer, stderr=subprocess.PIPE, timeout=120,
                                  preexec_fn=_default_signals, **who)
            os.close(writer)
            out = b""
        else:
            proc = subprocess.run(argv, executable=binary, cwd=work, env=env, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=120, preexec_fn=_default_signals,
                                  **who)
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
                if os.path.relpath(path, work) in sparse or not os.path.isfile(path):
                    continue
                with open(path, "rb") as f:
                    files[os.path.relpath(path, work)] = f.read()
        lines = open(log, encoding="utf-8", errors="replace").read().splitlines() \
            if os.path.exists(log) else []
        readable = {name: nobody_can_read(work, name) for name in scenario.nobody_reads or {}}
        return {"stdout": out, "stderr": proc.stderr, "status": proc.returncode, "flash": flash,
                "files": files, "log": lines, "owners": owners_of(work), "nobody_reads": readable,
                "renames": durable_renames(lines, work),
                "syslog": [l[len("syslog "):] for l in lines if l.startswith("syslog ")],
                **overlap}
    finally:
        undo_prepare(scenario, work)
        if scenario.tmpfs is not None:
            subprocess.run(["umount", os.path.join(work, scenario.tmpfs[0])],
                           stderr=subprocess.DEVNULL, check=False)
        shutil.rmtree(top, ignore_errors=True)


LANDLOCK_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "landlock_run.py")


def landlock_missing(rights):
    """None when this kernel's Landlock can refuse every one of rights, else why not."""
    sys.path.insert(0, os.path.dirname(LANDLOCK_RUN))
    import landlock_run
    return landlock_run.missing(rights)


def mount_tmpfs(path, size):
    """Mounts a fresh tmpfs of size bytes at path; None, or why it cannot be done here."""
    if os.geteuid() != 0:
        return "only root can mount a small file system"
    os.makedirs(path)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0755", "tmpfs", path],
                          capture_output=True, text=True, check=False)
    if done.returncode != 0:
        return "cannot mount a tmpfs: " + done.stderr.strip()
    return None


def nobody_can_read(work, name):
    """True when NOBODY (its own group, no other) may open the working-dir file for reading.
    The folder is passed as a descriptor, so the folders above it do not decide."""
    folder = os.open(os.path.dirname(os.path.join(work, name)), os.O_RDONLY | os.O_DIRECTORY)
    try:
        # The descriptor's /proc link leads into the folder without a search of its parents.
        done = subprocess.run(["sh", "-c", 'exec 3<"/proc/self/fd/$0/$1"', str(folder),
                               os.path.basename(name)], pass_fds=(folder,), user=NOBODY,
                              group=NOBODY, extra_groups=[], stderr=subprocess.DEVNULL,
                              check=False)
        return done.returncode == 0
    finally:
        os.close(folder)


def _default_signals():
    """Run in each command's child before it executes: the signal dispositions and mask the
    scenarios rely on, whatever the test run was started with. An ignored signal survives
    exec (nohup ignores SIGHUP, a shell's background job SIGINT and SIGQUIT), and so does a
    blocked one: a command sent it would not end as the scenario says."""
    for signum in signal.valid_signals() - {signal.SIGKILL, signal.SIGSTOP}:
        if signal.getsignal(signum) == signal.SIG_IGN:
            signal.signal(signum, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_SETMASK, ())


def _status(code):
    return 128 - code if code < 0 else code


def _run_special(scenario, cmd, work, mtd0, who):
    """Runs the command with a standard stream on a working-dir file, or interrupted by the
    steps of scenario.interrupt, or beside scenario.holder. Returns stdout, stderr, status."""
    argv, exe, env = cmd
    streams = [subprocess.DEVNULL, subprocess.PIPE, subprocess.PIPE]
    shared = None
    if scenario.stream_file is not None:
        fd, name = scenario.stream_file
        shared = os.open(os.path.join(work, name), os.O_RDWR | os.O_APPEND)
        streams[fd] = shared
    holder = held = None
    try:
        if scenario.holder is not None:
            held = os.open(mtd0, os.O_RDONLY)
            words = [w.format(fd=held) for w in scenario.holder]
            holder = subprocess.Popen(words, cwd=work, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, pass_fds=(held,), user=NOBODY,
                                      group=NOBODY, extra_groups=[])
            holder.stdout.readline()
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            streams[1] = out if streams[1] == subprocess.PIPE else streams[1]
            streams[2] = err if streams[2] == subprocess.PIPE else streams[2]
            proc = subprocess.Popen(argv, executable=exe, cwd=work, env=env, stdin=streams[0],
                                    stdout=streams[1], stderr=streams[2],
                                    preexec_fn=_default_signals, **who)
            if scenario.interrupt is not None:
                _wait_until(lambda: os.waitid(os.P_PID, proc.pid, os.WSTOPPED | os.WEXITED
                                              | os.WNOHANG | os.WNOWAIT) is not None)
                for step in scenario.interrupt:
                    if step[0] == "signal":
                        proc.send_signal(step[1])
                    else:
                        PREPARE[step[0]](work, *step[1:])
                proc.send_signal(signal.SIGCONT)
            if holder is not None:
                # It ends, or says that it waits: either shows whether the holder held it.
                _wait_until(lambda: proc.poll() is not None or os.fstat(err.fileno()).st_size > 0)
                holder.kill()
                os.close(held)
                held = None
            status = proc.wait(timeout=120)
            if shared is not None:
                os.write(shared, b"after\n")
            out.seek(0)
            err.seek(0)
            return out.read(), err.read(), _status(status)
    finally:
        if holder is not None:
            holder.kill()
            holder.wait()
        if held is not None:
            os.close(held)
        if shared is not None:
            os.close(shared)


def _flash_locked(mtd0):
    """True when some process holds a write lock (the writers' open file description lock)
    on the backing file of /dev/mtd0. Asks without taking anything."""
    fd = os.open(mtd0, os.O_RDONLY)
    try:
        query = struct.pack("hhqqi4x", fcntl.F_RDLCK, os.SEEK_SET, 0, 0, 0)
        answer = fcntl.fcntl(fd, fcntl.F_OFD_GETLK, query)
        return struct.unpack("hhqqi4x", answer)[0] != fcntl.F_UNLCK
    finally:
        os.close(fd)


def _wait_until(ready, seconds=60):
    limit = time.monotonic() + seconds
    while not ready() and time.monotonic() < limit:
        time.sleep(0.002)


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def _run_signalled(signum, cmd, work, who):
    """Runs the command until its fault stops it mid-run, sends it the signal while it is
    stopped, and lets it go on. Returns stdout, stderr and the status (128+N when the
    command died of signal N)."""
    argv, exe, env = cmd
    proc = subprocess.Popen(argv, executable=exe, cwd=work, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=_default_signals, **who)
    try:
        # WNOWAIT leaves the state to Popen, which reaps the process at the end.
        _wait_until(lambda: os.waitid(os.P_PID, proc.pid, os.WSTOPPED | os.WEXITED
                                      | os.WNOHANG | os.WNOWAIT) is not None)
        proc.send_signal(signum)
        proc.send_signal(signal.SIGCONT)
        out, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    status = proc.returncode
    return out, err, 128 - status if status < 0 else status


def _run_beside_other(other, other_cmd, cmd, work, mtd0, signal_waiting=None):
    """Runs the other command until its fault catches it mid-write, then the scenario's
    command beside it. Returns the command's stdout, stderr and status, and what the
    overlap showed: the other run's result, whether the flash lock was held when the
    command started and whether the command was still waiting when the other was let go."""
    files = {name: os.path.join(work, "..", name) for name in
             ("other.out", "other.err", "out", "err")}
    streams = {name: open(path, "wb") for name, path in files.items()}
    try:
        argv, exe, env = other_cmd
        first = subprocess.Popen(argv, executable=exe, cwd=work, env=env, stdin=subprocess.DEVNULL,
                                 stdout=streams["other.out"], stderr=streams["other.err"],
                                 preexec_fn=_default_signals)
        if other.end == "stop":
            # WNOWAIT leaves the state to Popen, which reaps the process at the end.
            _wait_until(lambda: os.waitid(os.P_PID, first.pid, os.WSTOPPED | os.WEXITED
                                          | os.WNOHANG | os.WNOWAIT) is not None)
        else:
            first.wait(timeout=120)
        locked = _flash_locked(mtd0)
        argv, exe, env = cmd
        second = subprocess.Popen(argv, executable=exe, cwd=work, env=env,
                                  stdin=subprocess.DEVNULL, stdout=streams["out"],
                                  stderr=streams["err"], preexec_fn=_default_signals)
        # Either it ends, or it says it waits (and then blocks until the other lets go).
        _wait_until(lambda: second.poll() is not None or os.path.getsize(files["err"]) > 0)
        held_back = second.poll() is None
        if signal_waiting is not None and held_back:
            second.send_signal(signal_waiting)
        if other.end == "stop":
            first.send_signal(signal.SIGCONT)
        status = second.wait(timeout=120)
        other_status = first.wait(timeout=120)
    finally:
        for stream in streams.values():
            stream.close()
    result = {"other": {"stdout": _read(files["other.out"]), "stderr": _read(files["other.err"]),
                        "status": 128 - other_status if other_status < 0 else other_status},
              "locked": locked, "held_back": held_back}
    return _read(files["out"]), _read(files["err"]), _status(status), result


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
    if result.get("skipped"):
        return problems
    if result.get("failed"):
        return [result["failed"]]
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
    if scenario.other is not None:
        _check_overlap(scenario, result, problems)
    if scenario.expect_files is not None:
        inputs = {k: v for k, v in result["files"].items() if k not in scenario.files}
        for name, data in scenario.expect_files.items():
            _compare_bytes(f"file {name}", data, result["files"].get(name), problems)
        extra = set(inputs) - set(scenario.expect_files)
        if extra:
            problems.append(f"unexpected files {sorted(extra)}")
    for name, (mode, uid, gid) in (scenario.expect_owners or {}).items():
        got = result.get("owners", {}).get(name)
        if got != (mode, uid, gid):
            shown = "missing" if got is None else f"{got[0]:04o} {got[1]}:{got[2]}"
            problems.append(f"file {name}: {shown}, expected {mode:04o} {uid}:{gid}")
    for name, expected in (scenario.nobody_reads or {}).items():
        got = result.get("nobody_reads", {}).get(name)
        if got != expected:
            problems.append(f"file {name}: {'readable' if got else 'not readable'} by nobody,"
                            f" expected {'readable' if expected else 'not readable'}")
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
        if scenario.durable is not None:
            renames = result.get("renames", [])
            if [new for _, new, _ in renames] != list(scenario.durable):
                problems.append(f"renames {renames}, expected onto {scenario.durable}")
            for old, new, synced in renames:
                if not synced or os.path.dirname(old) != os.path.dirname(new) or old == new:
                    problems.append(f"{old} renamed onto {new} without a sync of its own first")
    return problems


def _check_overlap(scenario, result, problems):
    other, seen = scenario.other, result.get("other", {})
    if other.status is not None and seen.get("status") != other.status:
        problems.append(f"other run: status {seen.get('status')}, expected {other.status}")
    _compare_text("other run: stdout", other.stdout, seen.get("stdout", b""), problems)
    _compare_text("other run: stderr", other.stderr, seen.get("stderr", b""), problems)
    # A stopped writer holds the lock; a killed one has left none behind.
    if result.get("locked") != (other.end == "stop"):
        problems.append(f"flash lock held when the command started: {result.get('locked')}")
    if scenario.held_back is not None and result.get("held_back") != scenario.held_back:
        problems.append(f"still running when the other run was let go: {result.get('held_back')},"
                        f" expected {scenario.held_back}")


def report(label, args, problems, skipped=None):
    """Prints one scenario's verdict; True when it held (or could not run here)."""
    if skipped:
        print(f"skip {label}: {skipped}")
        return True
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
