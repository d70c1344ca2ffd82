"""Keeps every program of a run from the host's flash, static ones included: the launcher
moves into a mount namespace of its own (an ordinary user in a user namespace where it
stays itself) whose /dev holds the host's entries but mtd*, and for the layout's devices
FIFOs that lead nowhere. The library serves /dev/mtdN by name without touching them: who
opens one is a program it does not serve, named on standard error and killed."""
import ctypes
import os
import select
import signal
import struct
import sys
import threading

CLONE_NEWNS, CLONE_NEWUSER = 0x00020000, 0x10000000
MS_RDONLY, MS_NOSUID, MS_REMOUNT, MS_BIND, MS_REC, MS_PRIVATE = 1, 2, 32, 4096, 16384, 1 << 18
IN_OPEN, IN_CLOEXEC, IN_NONBLOCK = 0x20, 0o2000000, 0o4000


def host_devices():
    return [name for name in os.listdir("/dev") if name.startswith("mtd")]


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
    names = [n for n in os.listdir("/dev") if not n.startswith("mtd")]
    host = os.open("/dev", os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        _call(mount(b"tmpfs", b"/dev", b"tmpfs", MS_NOSUID, b"mode=755"), "mount /dev")
        for name in names:
            target = os.path.join("/dev", name)
            info = os.stat(name, dir_fd=host, follow_symlinks=False)
            if os.path.stat.S_ISLNK(info.st_mode):
                os.symlink(os.readlink(name, dir_fd=host), target)
                continue
            if os.path.stat.S_ISDIR(info.st_mode):
                os.mkdir(target)
            else:
                os.close(os.open(target, os.O_CREAT | os.O_WRONLY | os.O_CLOEXEC, 0o600))
            source = f"/proc/self/fd/{host}/{name}".encode()
            if mount(source, target.encode(), None, MS_BIND | MS_REC, None) != 0:
                os.remove(target) if not os.path.isdir(target) else os.rmdir(target)
    finally:
        os.close(host)
    for name in devices:
        for path in (f"/dev/{name}", f"/dev/{name}ro"):
            os.mkfifo(path, 0o600)
    _call(mount(None, b"/dev", None, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID, None),
          "mount /dev")
    return Watcher([f"/dev/{n}{ro}" for n in devices for ro in ("", "ro")])


class Watcher:
    """Watches the placeholders from a thread of its own. Each one's pipe is kept full, so
    that a writer waits at its first write until it is killed, never taking it for done."""

    def __init__(self, paths):
        libc = ctypes.CDLL(None, use_errno=True)
        self.held = {p: os.open(p, os.O_RDWR | os.O_NONBLOCK | os.O_CLOEXEC) for p in paths}
        self.flags = _flags(f"/proc/self/fdinfo/{self.held[paths[0]]}")
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
        for pid in (p for p in os.listdir("/proc") if p.isdigit() and p != me):
            try:
                for fd in os.listdir(f"/proc/{pid}/fd"):
                    info = os.stat(f"/proc/{pid}/fd/{fd}")
                    # A child between its fork and its exec has the watcher's own.
                    if self.inodes.get((info.st_dev, info.st_ino)) == device and \
                            _flags(f"/proc/{pid}/fdinfo/{fd}") != self.flags:
                        with open(f"/proc/{pid}/cmdline", "rb") as f:
                            line = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
                        found.append((int(pid), line.strip()[:80]))
                        break
            except OSError:
                continue
        return found


def _flags(fdinfo):
    with open(fdinfo, encoding="ascii") as f:
        return [line for line in f if line.startswith("flags:")]
