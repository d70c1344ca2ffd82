"""Keeps every program of a run from the host's flash, static ones included: the launcher
moves into a mount namespace of its own (an ordinary user in a user namespace where it
stays itself) whose /dev holds the host's entries but mtd*, and for the layout's devices
FIFOs that lead nowhere. The library serves /dev/mtdN by name without touching them: who
opens one is a program it does not serve, named on standard error and killed.

Every process the launcher starts then lives in a process namespace of its own whose first
process, the keeper, the kernel kills when the launcher dies, however it dies: with the
keeper go all of the namespace's processes, whatever their group or session. The
namespace's /proc is its own (the library finds a run's processes there by their numbers
in it); the launcher reads the machine's through a descriptor it opened before."""
import ctypes
import os
import select
import signal
import stat
import struct
import sys
import threading

CLONE_NEWNS, CLONE_NEWUSER, CLONE_NEWPID = 0x00020000, 0x10000000, 0x20000000
MS_RDONLY, MS_NOSUID, MS_REMOUNT, MS_BIND, MS_REC, MS_PRIVATE = 1, 2, 32, 4096, 16384, 1 << 18
MS_NODEV, MS_NOEXEC = 4, 8
IN_OPEN, IN_CLOEXEC, IN_NONBLOCK = 0x20, 0o2000000, 0o4000
PR_SET_PDEATHSIG = 1
_host_proc = None   # the machine's /proc, once the runs' namespace has its own
keeper = None       # the pid of the keeper, who is no process of a run
_alive = None       # held by the launcher until it dies: the keeper sees it closed
private = False     # whether the launcher has a mount namespace of its own


def bind_over(source, target):
    """In a child between its fork and its exec: a mount namespace of its own in which
    target is source (a check's copy of the --state folder at the folder's own path).
    The launcher's capabilities in its namespace are the child's until it execs."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mount.argtypes = [ctypes.c_char_p] * 3 + [ctypes.c_ulong, ctypes.c_char_p]
    return libc.unshare(CLONE_NEWNS) == 0 and libc.mount(
        os.fsencode(source), os.fsencode(target), None, MS_BIND | MS_REC, None) == 0


def proc_open(path):
    """A file of the machine's /proc (path relative to it), for reading."""
    if _host_proc is None:
        return open("/proc/" + path, "rb")
    return open(path, "rb", opener=lambda name, flags: os.open(name, flags, dir_fd=_host_proc))


def proc_list(path=""):
    """The names in a folder of the machine's /proc."""
    if _host_proc is None:
        return os.listdir("/proc/" + path)
    fd = os.open(path or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC, dir_fd=_host_proc)
    try:
        return os.listdir(fd)
    finally:
        os.close(fd)


def proc_stat(path):
    """os.stat of a file of the machine's /proc, following its link."""
    if _host_proc is None:
        return os.stat("/proc/" + path)
    return os.stat(path, dir_fd=_host_proc)


# What the kernel names the flash devices in /proc/devices (character: mtd, ubi0, ubi1...;
# block: mtdblock, ubiblock), and their usual majors should /proc/devices not say.
FLASH_NAMES = ("mtd", "ubi")
FLASH_MAJORS = {"c": {90}, "b": {31}}
# What lets root leave the run's /dev, or reach a device around it: mount and umount,
# mknod, raw I/O, open by handle, ptrace, module loading.
CAP_DAC_READ_SEARCH, CAP_SYS_MODULE, CAP_SYS_RAWIO, CAP_SYS_PTRACE, CAP_SYS_ADMIN, \
    CAP_MKNOD = 2, 16, 17, 19, 21, 27
SEALED = (CAP_DAC_READ_SEARCH, CAP_SYS_MODULE, CAP_SYS_RAWIO, CAP_SYS_PTRACE, CAP_SYS_ADMIN,
          CAP_MKNOD)
PR_SET_DUMPABLE, PR_CAPBSET_DROP, PR_SET_NO_NEW_PRIVS, PR_CAP_AMBIENT = 4, 24, 38, 47
PR_CAP_AMBIENT_CLEAR_ALL = 4


def flash_majors():
    """{"c": majors, "b": majors} of the flash kinds of device, from /proc/devices."""
    majors = {kind: set(numbers) for kind, numbers in FLASH_MAJORS.items()}
    kind = None
    try:
        with open("/proc/devices", encoding="ascii", errors="replace") as f:
            for line in f:
                if line.startswith(("Character", "Block")):
                    kind = "c" if line.startswith("C") else "b"
                    continue
                words = line.split()
                if kind and len(words) == 2 and words[0].isdigit() and \
                        words[1].startswith(FLASH_NAMES):
                    majors[kind].add(int(words[0]))
    except OSError:
        pass
    return majors


def is_flash(name, info, majors):
    """Whether a /dev entry is a flash device: named like one, or one by its number."""
    if name.startswith(FLASH_NAMES):
        return True
    kind = "c" if stat.S_ISCHR(info.st_mode) else "b" if stat.S_ISBLK(info.st_mode) else None
    return kind is not None and os.major(info.st_rdev) in majors[kind]


def host_devices():
    """The flash devices of the machine's /dev (its top level)."""
    majors = flash_majors()
    found = []
    for name in os.listdir("/dev"):
        try:
            if is_flash(name, os.stat(os.path.join("/dev", name), follow_symlinks=False), majors):
                found.append(name)
        except OSError:
            continue
    return found


def _call(result, what):
    """Raises OSError("what: reason") for a failed libc call."""
    if result != 0:
        error = ctypes.get_errno()
        raise OSError(error, f"{what}: {os.strerror(error)}")


def _enter():
    """A mount namespace: as root alone, else in a user namespace mapping the user to itself."""
    libc = ctypes.CDLL(None, use_errno=True)
    uid, gid = os.geteuid(), os.getegid()
    if uid == 0 and libc.unshare(CLONE_NEWNS) == 0:
        return libc
    _call(libc.unshare(CLONE_NEWUSER | CLONE_NEWNS), "unshare")
    for name, text in (("uid_map", f"{uid} {uid} 1"), ("setgroups", "deny"),
                       ("gid_map", f"{gid} {gid} 1")):
        with open(f"/proc/self/{name}", "w", encoding="ascii") as f:
            f.write(text)
    return libc


def private_dev(devices):
    """Gives the launcher, and so every process it starts, its own /dev, with placeholders
    for devices; returns their Watcher, or raises OSError where no namespace can be had."""
    libc = _enter()
    mount = libc.mount
    mount.argtypes = [ctypes.c_char_p] * 3 + [ctypes.c_ulong, ctypes.c_char_p]
    _call(mount(None, b"/", None, MS_REC | MS_PRIVATE, None), "mount")
    host = os.open("/dev", os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        names = os.listdir(f"/proc/self/fd/{host}")
        _call(mount(b"tmpfs", b"/dev", b"tmpfs", MS_NOSUID, b"mode=755"), "mount /dev")
        _fill(mount, host, names, "/dev", flash_majors(), os.fstat(host).st_dev)
    finally:
        os.close(host)
    for name in devices:
        for path in (f"/dev/{name}", f"/dev/{name}ro"):
            os.mkfifo(path, 0o600)
    _call(mount(None, b"/dev", None, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID, None),
          "mount /dev")
    watcher = Watcher([f"/dev/{n}{ro}" for n in devices for ro in ("", "ro")])
    # Its thread first: none can be started once the launcher's children have another
    # process namespace than its own.
    if _proc_of_its_own(libc):
        _start_keeper(libc)
    global private
    private = True
    return watcher


def _fill(mount, folder, names, target, majors, device):
    """Puts into target (a folder of the run's /dev) the entries names of the host's folder
    (a descriptor): each node bound, each link copied, each folder of the same file system
    filled the same way, each other file system (devpts, a shm) bound whole; no flash
    device, by name or by number, at any depth."""
    for name in names:
        path, source = os.path.join(target, name), f"/proc/self/fd/{folder}/{name}"
        try:
            info = os.stat(name, dir_fd=folder, follow_symlinks=False)
        except OSError:
            continue
        if is_flash(name, info, majors):
            continue
        if stat.S_ISLNK(info.st_mode):
            os.symlink(os.readlink(name, dir_fd=folder), path)
            continue
        if stat.S_ISDIR(info.st_mode):
            os.mkdir(path)
            if info.st_dev == device:
                inner = os.open(name, os.O_PATH | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC,
                                dir_fd=folder)
                try:
                    _fill(mount, inner, os.listdir(f"/proc/self/fd/{inner}"), path, majors,
                          device)
                finally:
                    os.close(inner)
                continue
        else:
            os.close(os.open(path, os.O_CREAT | os.O_WRONLY | os.O_CLOEXEC, 0o600))
        if mount(source.encode(), path.encode(), None, MS_BIND | MS_REC, None) != 0:
            os.remove(path) if not os.path.isdir(path) else os.rmdir(path)


def seal():
    """What no program of a run may gain: no new privileges on exec (set-user-ID programs
    and file capabilities give nothing), none of the capabilities that would let root leave
    the run's /dev or reach a device around it (dropped from the bounding and inheritable
    sets: the launcher keeps its own for the checks' namespaces), and no ptrace of the
    launcher (not dumpable). Raises OSError where the kernel refuses."""
    libc = ctypes.CDLL(None, use_errno=True)
    _call(libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), "PR_SET_NO_NEW_PRIVS")
    _call(libc.prctl(PR_SET_DUMPABLE, 0, 0, 0, 0), "PR_SET_DUMPABLE")
    libc.prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0)
    # Root gets its bounding set back on every exec; another user gets nothing, with no
    # new privileges, and may not drop from it.
    for cap in SEALED:
        if libc.prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 and os.geteuid() == 0:
            _call(-1, "PR_CAPBSET_DROP")
    header = (ctypes.c_uint32 * 2)(0x20080522, 0)      # _LINUX_CAPABILITY_VERSION_3
    data = (ctypes.c_uint32 * 6)()      # effective, permitted, inheritable; twice
    _call(libc.capget(header, data), "capget")
    for cap in SEALED:
        data[3 * (cap // 32) + 2] &= ~(1 << cap % 32)
    _call(libc.capset(header, data), "capset")


def _proc_of_its_own(libc):
    """Whether a process namespace can be had here with a /proc of its own (a container may
    refuse either): tried in a child, in a mount namespace of its own, that leaves nothing."""
    pid = os.fork()
    if pid == 0:
        ok = False
        try:
            if libc.unshare(CLONE_NEWNS | CLONE_NEWPID) == 0:
                child = os.fork()
                if child == 0:
                    os._exit(0 if libc.mount(b"proc", b"/proc", b"proc",
                                             MS_NOSUID | MS_NODEV | MS_NOEXEC, None) == 0 else 1)
                ok = os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]) == 0
        finally:
            os._exit(0 if ok else 1)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0


def _start_keeper(libc):
    """Moves every process the launcher starts from now on into a process namespace whose
    first process, the keeper, dies when the launcher does (PR_SET_PDEATHSIG) and takes
    them all with it. The keeper mounts the namespace's /proc, then waits, ignoring every
    signal it can (its orphans, with SIGCHLD ignored, are reaped by the kernel)."""
    global _host_proc, keeper
    host = os.open("/proc", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    _call(libc.unshare(CLONE_NEWPID), "unshare")
    global _alive
    # The keeper's parent is outside its namespace (getppid() says 0): whether the launcher
    # died before PR_SET_PDEATHSIG was set is told by the end of a pipe it holds.
    alive, _alive = os.pipe()
    ready, told = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
            os.close(_alive)
            if select.select([alive], [], [], 0)[0]:
                os._exit(1)
            for signum in signal.valid_signals() - {signal.SIGKILL, signal.SIGSTOP}:
                try:
                    signal.signal(signum, signal.SIG_IGN)
                except (OSError, ValueError):
                    pass
            if libc.mount(b"proc", b"/proc", b"proc", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                          None) == 0:
                os.write(told, b"1")
            os.closerange(0, told)
            os.closerange(told + 1, 1 << 16)
            os.close(told)
            while True:
                signal.pause()
        finally:
            os._exit(1)
    os.close(told)
    os.close(alive)
    answer = os.read(ready, 8)
    os.close(ready)
    if answer != b"1":
        raise OSError(0, "mount /proc: refused")
    _host_proc, keeper = host, pid


class Watcher:
    """Watches the placeholders from a thread of its own. Each one's pipe is kept full, so
    that a writer waits at its first write until it is killed, never taking it for done."""

    def __init__(self, paths):
        libc = ctypes.CDLL(None, use_errno=True)
        self.held = {p: os.open(p, os.O_RDWR | os.O_NONBLOCK | os.O_CLOEXEC) for p in paths}
        self.flags = _flags(f"{os.getpid()}/fdinfo/{self.held[paths[0]]}")
        self.inodes = {(os.stat(p).st_dev, os.stat(p).st_ino): p for p in paths}
        self.notify = libc.inotify_init1(IN_CLOEXEC | IN_NONBLOCK)
        _call(0 if self.notify >= 0 else -1, "inotify_init1")
        self.watches = {libc.inotify_add_watch(self.notify, p.encode(), IN_OPEN): p
                        for p in paths}
        self.seen = []      # (program, device) of each open of a placeholder
        self.lock = threading.Lock()
        for path in paths:
            self.fill(path)
        threading.Thread(target=self.watch, daemon=True).start()

    def watch(self):
        while True:
            select.select([self.notify], [], [])
            self.settle()

    def settle(self):
        """Handles the opens noticed so far; returns every one seen."""
        with self.lock:
            try:
                data = os.read(self.notify, 65536)
            except BlockingIOError:
                data = b""
            devices = set()
            while len(data) >= 16:
                wd, _mask, _cookie, length = struct.unpack_from("=iIII", data)
                devices.add(self.watches.get(wd))
                data = data[16 + length:]
            for device in sorted(d for d in devices if d):
                self.found(device)
            return list(self.seen)

    def found(self, device):
        openers = self.openers(device) or [(None, None)]
        for pid, program in openers:
            self.seen.append((program, device))
            who = f"{program} (pid {pid})" if pid else "a program that has ended since"
            print(f"flashsim: {who} opened {device}, a device the simulator does not serve"
                  f"{': killed' if pid else ''}", file=sys.stderr, flush=True)
            if pid:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        self.fill(device)

    def fill(self, device):
        try:
            while os.write(self.held[device], bytes(65536)):
                pass
        except BlockingIOError:
            pass

    def openers(self, device):
        """The processes that hold device open, and their command lines."""
        me, found = str(os.getpid()), []
        for pid in (p for p in proc_list() if p.isdigit() and p != me):
            try:
                for fd in proc_list(f"{pid}/fd"):
                    info = proc_stat(f"{pid}/fd/{fd}")
                    # A child between its fork and its exec has the watcher's own.
                    if self.inodes.get((info.st_dev, info.st_ino)) == device and \
                            _flags(f"{pid}/fdinfo/{fd}") != self.flags:
                        with proc_open(f"{pid}/cmdline") as f:
                            line = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
                        found.append((int(pid), line.strip()[:80]))
                        break
            except OSError:
                continue
        return found


def _flags(fdinfo):
    with proc_open(fdinfo) as f:
        return [line for line in f if line.startswith(b"flags:")]
