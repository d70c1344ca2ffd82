#!/usr/bin/env python3
"""The simulator library (libflashsim.so) as any dynamically linked program meets it: the
MTD character device's interface on every device of both layouts, another NOR layout,
one chip for every process of a run, power cuts that stop every process of a run, torn
cuts, NOR writes, and the fault list's rules. The run page is read only through the
library's exported functions, as the launcher reads it.

  test_library.py --simlib libflashsim.so [unittest options]
"""
import argparse
import ctypes
import errno
import json
import mmap
import os
import select
import signal
import struct
import subprocess
import sys
import textwrap
import unittest

import functools
import hashlib
import operator

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
PACKAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "flashsim")
sys.path.insert(0, PACKAGE)
from test_flashsim import Folder  # noqa: E402
from flashsim import library as launcher_library  # noqa: E402
from flashsim.copies import Copies  # noqa: E402
from flashsim.flash import Flash, Layout  # noqa: E402
from flashsim.trace import Cut  # noqa: E402

SIMLIB = None  # set by main()
MIB4 = 0x400000
# Device, start in the image, size, erase size.
LAYOUT = (("mtd0", 0x000000, 0x020000, 0x2000), ("mtd1", 0x020000, 0x0E0000, 0x10000),
          ("mtd2", 0x100000, 0x290000, 0x10000), ("mtd3", 0x390000, 0x070000, 0x10000))

NAMES = {"mtd0": "boot", "mtd1": "kernel", "mtd2": "rootfs", "mtd3": "jffs"}

# Run inside the simulator for one device: every call of the interface, with what it
# answered. Offsets are the device's own; the outer test judges the answers.
PROBE = r'''
import ctypes, errno, fcntl, json, mmap, os, stat, struct, subprocess, sys
name, size, erase = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
path = "/dev/" + name
out = {}

def err(call):
    try:
        call()
        return "ok"
    except OSError as e:
        return errno.errorcode[e.errno]

st = os.stat(path)
out["stat"] = [stat.S_ISCHR(st.st_mode), os.major(st.st_rdev), os.minor(st.st_rdev), st.st_size, st.st_blksize]
fd = os.open(path, os.O_RDWR)
fst = os.fstat(fd)
out["fstat_same"] = (fst.st_rdev, fst.st_ino, fst.st_mode) == (st.st_rdev, st.st_ino, st.st_mode)
info = fcntl.ioctl(fd, 0x80204d01, bytes(32))  # MEMGETINFO
out["info"] = list(struct.unpack("=BxxxIIIII", info[:24]))
out["end"] = os.lseek(fd, 0, os.SEEK_END)
out["past_end"] = err(lambda: os.lseek(fd, size + 1, os.SEEK_SET))
os.lseek(fd, 0, os.SEEK_SET)
whole = b""
while chunk := os.read(fd, 65536):
    whole += chunk
out["read_all"] = len(whole)
# A write running past the end comes back short; at the end itself: ENOSPC.
out["short_write"] = os.pwrite(fd, b"\x00" * 8, size - 4)
os.lseek(fd, 0, os.SEEK_END)
out["write_at_end"] = err(lambda: os.write(fd, b"\x00"))
out["pread_past"] = len(os.pread(fd, 16, size + 100))
# A duplicate shares the position, whichever way it was made.
os.lseek(fd, 100, os.SEEK_SET)
copies = [os.dup(fd), fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 20), os.dup2(fd, 30)]
for copy in copies:
    os.read(copy, 10)
out["dup_position"] = os.lseek(fd, 0, os.SEEK_CUR)
# Vectored forms are one transfer each.
os.lseek(fd, 0x40, os.SEEK_SET)
out["writev"] = os.writev(fd, [b"\x11\x22", b"\x33"])
out["preadv"] = os.preadv(fd, [bytearray(2), bytearray(2)], 0x40)
out["pwritev"] = os.pwritev(fd, [b"\x01", b"\x02"], 0x50)
buffers = [bytearray(1), bytearray(1)]
os.preadv(fd, buffers, 0x50)
out["pwritev_bytes"] = [b.hex() for b in buffers]
# What the kernel refuses on an MTD device.
out["mmap"] = err(lambda: mmap.mmap(fd, 4096))
out["ftruncate"] = err(lambda: os.ftruncate(fd, 0))
out["truncate"] = err(lambda: os.truncate(path, 0))
out["fallocate"] = err(lambda: os.posix_fallocate(fd, 0, 4096))
out["fsync"] = err(lambda: os.fsync(fd))
sink = os.open(os.devnull, os.O_WRONLY)
out["sendfile"] = err(lambda: os.sendfile(sink, fd, 0, 16))
out["copy_file_range"] = err(lambda: os.copy_file_range(fd, sink, 16))
out["splice"] = err(lambda: os.splice(fd, sink, 16))
out["ioctl_other"] = err(lambda: fcntl.ioctl(fd, 0x1234, 0))
out["fcntl_other"] = err(lambda: fcntl.fcntl(fd, fcntl.F_SETSIG, 5))
out["fchmod"] = err(lambda: os.fchmod(fd, 0o777))
out["xattr"] = [err(lambda: os.getxattr(path, "user.x")), os.listxattr(path)]
out["readonly_erase"] = err(lambda: fcntl.ioctl(os.open(path, os.O_RDONLY), 0x40084d02,
                                               struct.pack("=II", 0, 0)))
out["unaligned_erase"] = err(lambda: fcntl.ioctl(fd, 0x40084d02, struct.pack("=II", 1, 0)))
# A NOR write that needs a bit set fails at that byte, the bytes before it stored.
os.pwrite(fd, b"\x0f", 0x60)
out["nor_eio"] = err(lambda: os.pwrite(fd, b"\x00\x00\x33\x00", 0x5e))
out["nor_bytes"] = os.pread(fd, 5, 0x5e).hex()
# Streams: the C library's stdio on top of the device.
libc = ctypes.CDLL(None, use_errno=True)
libc.fopen.restype = ctypes.c_void_p
for f in ("fseek", "fread", "fwrite", "fclose", "ftell", "fileno"):
    getattr(libc, f).argtypes = [ctypes.c_void_p] if f in ("fclose", "ftell", "fileno") else None
libc.fseek.argtypes = [ctypes.c_void_p, ctypes.c_long, ctypes.c_int]
libc.fread.argtypes = libc.fwrite.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_void_p]
stream = libc.fopen(path.encode(), b"r+")
libc.fseek(stream, 0x70, 0)
libc.fwrite(b"\x5a\xa5", 1, 2, stream)
libc.fseek(stream, -2, 1)
got = ctypes.create_string_buffer(2)
libc.fread(got, 1, 2, stream)
libc.fseek(stream, 0, 2)
out["stdio"] = [got.raw.hex(), libc.ftell(stream), libc.fileno(stream) >= 0, libc.fclose(stream)]
# A descriptor inherited across exec is still the device, at its position.
os.lseek(fd, size - 300, os.SEEK_SET)
child = subprocess.run([sys.executable, "-c", "import os; print(len(os.read(3, 1 << 22)))"],
                       pass_fds=(fd,), stdin=subprocess.DEVNULL, capture_output=True, text=True,
                       preexec_fn=lambda: os.dup2(fd, 3))
out["inherited"] = child.stdout.strip()
# Opens and calls that a character device refuses, and the lesser requests.
out["open"] = [err(lambda: os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL)),
               err(lambda: os.open(path, os.O_RDONLY | os.O_DIRECTORY)),
               err(lambda: os.write(os.open(path, os.O_RDONLY), b"x")),
               err(lambda: os.read(os.open(path, os.O_WRONLY), 1)),
               err(lambda: os.stat("/dev/" + name + "x"))]
out["access"] = [os.access(path, os.R_OK | os.W_OK), os.access(path, os.X_OK)]
out["seek_data"] = err(lambda: os.lseek(fd, 0, os.SEEK_DATA))
out["preadv2_flags"] = err(lambda: os.preadv(fd, [bytearray(1)], 0, os.RWF_NOWAIT))
out["erase64"] = err(lambda: fcntl.ioctl(fd, 0x40104d14, struct.pack("=QQ", 0, size + erase)))
out["regions"] = struct.unpack("=i", fcntl.ioctl(fd, 0x80044d07, bytes(4)))[0]
# The forms with a folder descriptor and an empty path (or none) answer as fstat does.
def raw(call, *args):
    buf = ctypes.create_string_buffer(256)
    return (call(*args[:2], buf, *args[2:]) if call != libc.statx else call(*args, buf), buf.raw)
fstat_raw = raw(libc.fstat, fd)
out["fstatat_empty"] = [raw(libc.fstatat, fd, b"", 0x1000) == fstat_raw,
                        raw(libc.fstatat64, fd, b"", 0x1000) == fstat_raw,
                        raw(libc.fstatat, fd, None, 0x1000) == fstat_raw,
                        stat.S_ISCHR(struct.unpack_from("=H", raw(libc.statx, fd, b"", 0x1000, 0x7ff)[1], 28)[0])]
with open("/proc/mtd") as f:
    out["proc_mtd"] = [line for line in f.read().splitlines() if line.startswith(name + ":")]
os.close(fd)
print(json.dumps(out))
'''


def run_probe(env, name, size, erase):
    done = subprocess.run([sys.executable, "-c", PROBE, name, str(size), str(erase)], env=env,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("FLASHSIM_")}
    env.update({"LD_PRELOAD": SIMLIB, **extra})
    return env


class Workdir(Folder):
    def layouts(self):
        """Both layouts, erased: (label, environment, read the device's bytes, the whole)."""
        image = self.put("flash.img", b"\xff" * MIB4)
        folder = self.path("dir")
        os.mkdir(folder)
        for name, _start, size, _erase in LAYOUT:
            self.put(os.path.join("dir", name), b"\xff" * size)
        yield ("image", clean_env(FLASHSIM_IMAGE=image),
               lambda name, start, size: self.get("flash.img")[start:start + size],
               lambda: self.get("flash.img"))
        yield ("dir", clean_env(FLASHSIM_DIR=folder),
               lambda name, start, size: self.get(os.path.join("dir", name)),
               lambda: b"".join(self.get(os.path.join("dir", n)) for n, *_ in LAYOUT))


class Interface(Workdir):
    def test_every_call_on_every_device_in_both_layouts(self):
        for label, env, device_bytes, whole in self.layouts():
            for name, start, size, erase in LAYOUT:
                with self.subTest(layout=label, device=name):
                    before = whole()
                    out = run_probe(env, name, size, erase)
                    n = int(name[3:])
                    expected = {
                        "stat": [True, 90, 2 * n, 0, 4096], "fstat_same": True,
                        "info": [3, 0xc00, size, erase, 1, 0],
                        "end": size, "past_end": "EINVAL", "read_all": size,
                        "short_write": 4, "write_at_end": "ENOSPC", "pread_past": 0,
                        "dup_position": 130, "writev": 3, "preadv": 4, "pwritev": 2,
                        "pwritev_bytes": ["01", "02"],
                        "mmap": "ENODEV", "ftruncate": "EINVAL", "truncate": "EINVAL",
                        "fallocate": "ENODEV", "fsync": "EINVAL", "sendfile": "EINVAL",
                        "copy_file_range": "EINVAL", "splice": "EINVAL",
                        "ioctl_other": "ENOTTY", "fcntl_other": "EINVAL", "fchmod": "EPERM", "xattr": ["ENODATA", []],
                        "readonly_erase": "EPERM", "unaligned_erase": "EINVAL",
                        "nor_eio": "EIO", "nor_bytes": "000003ffff",
                        "stdio": ["5aa5", size, True, 0], "inherited": str(300),
                        "open": ["EEXIST", "ENOTDIR", "EBADF", "EBADF", "ENOENT"], "access": [True, False],
                        "seek_data": "EINVAL", "preadv2_flags": errno.errorcode[errno.EOPNOTSUPP], "erase64": "EINVAL",
                        "regions": 0, "fstatat_empty": [True, True, True, True],
                        "proc_mtd": [f'{name}: {size:08x} {erase:08x} "{NAMES[name]}"'],
                    }
                    self.assertEqual(out, expected)
                    # Only the device's own bytes changed, and only where it was written.
                    after = whole()
                    self.assertEqual(len(after), len(before))
                    mine = device_bytes(name, start, size)
                    changed = {i for i in range(size) if mine[i] != 0xff}
                    self.assertEqual(changed, {size - 4, size - 3, size - 2, size - 1, 0x40, 0x41, 0x42,
                                               0x50, 0x51, 0x5e, 0x5f, 0x60, 0x70, 0x71})
                    offset = start if label == "image" else sum(s for _n, _b, s, _e in LAYOUT
                                                                if int(_n[3:]) < n)
                    self.assertEqual(after[:offset] + after[offset + size:],
                                     before[:offset] + before[offset + size:])
                    # Put the device back to erased for the next one.
                    if label == "image":
                        self.put("flash.img", b"\xff" * MIB4)
                    else:
                        self.put(os.path.join("dir", name), b"\xff" * size)

    def test_ram_mode_answers_as_block2mtd_and_overwrites(self):
        code = ("import fcntl, os, struct; fd = os.open('/dev/mtd1', os.O_RDWR); "
                "print(struct.unpack('=BxxxI', fcntl.ioctl(fd, 0x80204d01, bytes(32))[:8]), "
                "os.pwrite(fd, b'\\xff', 0))")
        for ram, answer in (("1", "(1, 7168) 1"), ("0", None), ("", None)):
            with self.subTest(FLASHSIM_RAM=ram):
                image = self.put("flash.img", b"\x00" * MIB4)
                done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                      env=clean_env(FLASHSIM_IMAGE=image, FLASHSIM_RAM=ram))
                if answer:
                    self.assertEqual(done.stdout.strip(), answer)
                else:
                    self.assertIn("Input/output error", done.stderr)

    def test_locks_on_one_device_never_meet_another_devices(self):
        image = self.put("flash.img", b"\xff" * MIB4)
        code = textwrap.dedent("""
            import fcntl, os, struct, sys
            lock = struct.pack("hhqqi", fcntl.F_WRLCK, 0, 0, 0, 0)
            def take(name):
                fd = os.open("/dev/" + name, os.O_RDWR)
                try:
                    fcntl.fcntl(fd, fcntl.F_OFD_SETLK, lock)
                    return "locked"
                except OSError as e:
                    return e.strerror
            if sys.argv[1] == "hold":
                take("mtd0")
                print("held", flush=True)
                sys.stdin.read()
            else:
                print(take("mtd0"), take("mtd1"), take("mtd3"))
            """)
        env = clean_env(FLASHSIM_IMAGE=image)
        holder = subprocess.Popen([sys.executable, "-c", code, "hold"], env=env, text=True,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.assertEqual(holder.stdout.readline(), "held\n")
            done = subprocess.run([sys.executable, "-c", code, "try"], env=env, capture_output=True,
                                  text=True)
            self.assertEqual(done.stdout.split(), ["Resource", "temporarily", "unavailable",
                                                   "locked", "locked"], done.stderr)
        finally:
            holder.stdin.close()
            holder.wait()
            holder.stdout.close()


def library():
    lib = ctypes.CDLL(SIMLIB)
    lib.flashsim_page_size.restype = ctypes.c_size_t
    lib.flashsim_page_size.argtypes = [ctypes.c_uint64]
    lib.flashsim_page_state.argtypes = [ctypes.c_void_p] + [ctypes.POINTER(ctypes.c_uint32)] * 3
    lib.flashsim_layout.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
    return lib


def page_state(path):
    """(operations, power off, broken) of a run page, as the library reads it."""
    lib = library()
    with open(path, "r+b") as f, mmap.mmap(f.fileno(), lib.flashsim_page_size(MIB4)) as page:
        words = [ctypes.c_uint32() for _ in range(3)]
        address = ctypes.addressof(ctypes.c_char.from_buffer(page))
        lib.flashsim_page_state(ctypes.c_void_p(address), *map(ctypes.byref, words))
        del address
        return tuple(w.value for w in words)


def run_members(folder):
    """The processes whose environment names the run folder."""
    members = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if f"FLASHSIM_RUN={folder}".encode() in f.read().split(b"\0"):
                    members.append(int(pid))
        except OSError:
            pass
    return members


class Run(Workdir):
    """A run as the launcher makes one: a folder with the shared page."""

    def start(self, script, faults, image=None, timeout=120, **extra):
        os.makedirs(self.path("run"), exist_ok=True)
        if not os.path.exists(self.path("run/counter")):
            self.put("run/counter", bytes(library().flashsim_page_size(MIB4)))
        try:
            return subprocess.run(["sh", "-c", script], cwd=self.dir, env=self.env(faults, image, **extra),
                                  capture_output=True, text=True, start_new_session=True, timeout=timeout)
        finally:
            self.members = run_members(self.path("run"))
            self.addCleanup(lambda pids=self.members: [os.kill(p, signal.SIGKILL) for p in pids
                                                       if os.path.exists(f"/proc/{p}")])

    def env(self, faults, image=None, **extra):
        return clean_env(FLASHSIM_IMAGE=image or self.put("flash.img", b"\xff" * MIB4),
                         FLASHSIM_RUN=self.path("run"), FLASHSIM_LOG=self.path("log"),
                         FLASHSIM_TRACE="1", FLASHSIM_FAULTS=faults, **extra)

    def page(self):
        return page_state(self.path("run/counter"))

    def log(self):
        return self.get("log").decode().splitlines() if os.path.exists(self.path("log")) else []

    def fresh(self):
        for name in ("log", "run/counter"):
            if os.path.exists(self.path(name)):
                os.remove(self.path(name))

    def assert_all_gone(self, members):
        """Every process of the run dies: a killed process may take a moment to finish
        exiting, so each is waited for (an exit is an event; the bound only stops a
        survivor from hanging the test)."""
        for pid in members:
            try:
                pidfd = os.pidfd_open(pid)
            except ProcessLookupError:
                continue
            try:
                poller = select.poll()
                poller.register(pidfd, select.POLLIN)
                self.assertTrue(poller.poll(20000), f"process {pid} of the run is still alive")
            finally:
                os.close(pidfd)

    def test_one_chip_every_operation_up_to_the_cut_landed_and_none_after(self):
        # Two writers in other sessions and groups, one byte per write: whatever the
        # order the processes run in, the flash holds exactly the writes numbered up to
        # the cut, and the first of two cuts is the one that falls.
        script = ("setsid dd if=/dev/zero of=/dev/mtd1 bs=1 count=60 conv=notrunc 2>/dev/null & "
                  "(set -m; dd if=/dev/zero of=/dev/mtd2 bs=1 count=60 conv=notrunc 2>/dev/null & wait); wait")
        for cut in range(3, 124, 4):
            with self.subTest(cut=cut):
                self.fresh()
                self.start(script, f"kill-after:{cut + 3},kill-after:{cut}" if cut % 8 == 3 else f"kill-after:{cut}")
                operations, power_off, _ = self.page()
                ops = [line.split() for line in self.log() if line.startswith("op ")]
                self.assertEqual((power_off, operations, max(int(op[1]) for op in ops)), (1, cut, cut))
                # Each operation is traced while it holds the chip: the numbers come in the
                # order the chip did the operations.
                self.assertEqual([int(op[1]) for op in ops], list(range(1, cut + 1)))
                flash = self.get("flash.img")
                for name, start, _size, _erase in LAYOUT[1:3]:
                    written = {i for i in range(64) if flash[start + i] == 0}
                    traced = {int(op[5], 16) for op in ops if op[3] == "write" and op[4] == name}
                    self.assertEqual(written, traced, name)
                self.assert_all_gone(self.members)

    def test_a_cut_kills_processes_in_other_groups_and_sessions(self):
        # Each background job waits for the file 'go', which appears only after the run is
        # over: only a process that survived the cut could write its marker. m6 is not a
        # process of the run (neither preloaded nor in its environment) but of the
        # cutter's own process group, which the cut kills too.
        wait = "while [ ! -e go ]; do sleep 0.05; done; echo late >"
        script = (f"setsid sh -c '{wait} m1' & timeout 60 sh -c '{wait} m2' & "
                  f"(set -m; sh -c '{wait} m3' &) ; nohup sh -c '{wait} m4' >/dev/null 2>&1 & "
                  f"sh -c '{wait} m5' & env -u LD_PRELOAD -u FLASHSIM_RUN sh -c '{wait} m6' >/dev/null 2>&1 & "
                  "sleep 0.2; printf x | dd of=/dev/mtd3 conv=notrunc 2>/dev/null; echo late > m0")
        done = self.start(script, "kill-after:2")
        self.assertEqual(done.returncode, -signal.SIGKILL)
        self.assertEqual(self.page()[1], 1)
        self.put("go", b"")
        subprocess.run(["sleep", "0.5"])
        self.assertEqual(sorted(m for m in os.listdir(self.dir) if m.startswith("m")), [])

    def test_a_cut_stops_every_process_before_it_kills_any(self):
        # Parents in the cutter's group watch, without sleeping, for the death of a child
        # in a session of its own, which the cut kills first: a parent that saw its child
        # die before it was stopped would leave its marker.
        watch = textwrap.dedent("""
            import os, subprocess, sys
            child = subprocess.Popen(["sleep", "30"], start_new_session=True)
            while open(f"/proc/{child.pid}/comm").read() != "sleep\\n":
                pass
            open(sys.argv[1] + ".ready", "w").close()
            while os.waitpid(child.pid, os.WNOHANG) == (0, 0):
                pass
            open(sys.argv[1], "w").close()
            """)
        watchers = " ".join(f"{sys.executable} -c '{watch}' m{i} &" for i in range(4))
        ready = " ".join(f"m{i}.ready" for i in range(4))
        for trial in range(5):
            with self.subTest(trial=trial):
                self.fresh()
                for name in os.listdir(self.dir):
                    if name.startswith("m"):
                        os.remove(self.path(name))
                done = self.start(f"{watchers} until ls {ready} >/dev/null 2>&1; do sleep 0.05; done; "
                                  "printf x | dd of=/dev/mtd3 conv=notrunc 2>/dev/null", "kill-after:2")
                self.assertEqual(done.returncode, -signal.SIGKILL)
                self.assertEqual(sorted(m for m in os.listdir(self.dir) if m.startswith("m") and "." not in m), [])

    def test_processes_that_start_after_a_cut_die_and_one_process_stops_the_run(self):
        # Thirty-two processes join the run at once after the cut, each in a session of
        # its own, started by a shell outside the run: each dies at its start, and only the
        # one that claimed the cut stops the others (two that stopped each other would stay
        # stopped, and the shell would wait for them).
        image = self.put("flash.img", b"\xff" * MIB4)
        done = self.start("printf x | dd of=/dev/mtd3 conv=notrunc 2>/dev/null", "kill-after:2", image)
        self.assertEqual(done.returncode, -signal.SIGKILL)
        env = self.env("", image)
        spawn = (f"for i in $(seq 32); do setsid env LD_PRELOAD={env.pop('LD_PRELOAD')} sleep 5 & done; "
                 "wait; echo done")
        try:
            late = subprocess.run(["sh", "-c", spawn], env=env, capture_output=True, text=True, timeout=4,
                                  start_new_session=True)
        finally:
            self.addCleanup(lambda: [os.kill(p, signal.SIGKILL) for p in run_members(self.path("run"))])
        self.assertEqual(late.stdout, "done\n")
        self.assert_all_gone(run_members(self.path("run")))

    def hidden_member(self, script, image):
        """Starts a Python member of a fresh run in a session of its own and returns it once
        it has made the file "hidden" (the scripts hide their run from the cut there)."""
        os.makedirs(self.path("run"))
        self.put("run/counter", bytes(library().flashsim_page_size(MIB4)))
        member = subprocess.Popen([sys.executable, "-c", script], cwd=self.dir, env=self.env("", image),
                                  start_new_session=True)
        self.addCleanup(member.wait)
        self.addCleanup(member.kill)
        self.await_file("hidden", member)
        return member

    def await_file(self, name, member):
        while not os.path.exists(self.path(name)) and member.poll() is None:
            subprocess.run(["sleep", "0.05"])

    def test_after_a_cut_a_new_process_dies_at_its_start_and_no_operation_starts(self):
        # A process of the run that the cut did not reach (it hid its environment, as a
        # program that took over a member's pid would have another) starts no operation
        # once the power is off; a process started after the cut dies before it runs.
        hide = textwrap.dedent("""
            import ctypes, os, sys, time
            environ = ctypes.POINTER(ctypes.c_void_p).in_dll(ctypes.CDLL(None), "environ")
            i = 0
            while environ[i]:
                if ctypes.string_at(environ[i]).startswith(b"FLASHSIM_RUN="):
                    ctypes.memmove(environ[i], b"X", 1)
                i += 1
            open("hidden", "w").close()
            while not os.path.exists("go"):
                time.sleep(0.05)
            fd = os.open("/dev/mtd2", os.O_WRONLY)
            os.write(fd, bytes(16))
            open("m1", "w").close()
            """)
        image = self.put("flash.img", b"\xff" * MIB4)
        hidden = self.hidden_member(hide, image)
        done = self.start("printf x | dd of=/dev/mtd3 conv=notrunc 2>/dev/null", "kill-after:2", image)
        self.assertEqual(done.returncode, -signal.SIGKILL)
        self.assertIsNone(hidden.poll())
        self.put("go", b"")
        self.assertEqual(hidden.wait(20), -signal.SIGKILL)
        late = subprocess.run(["sh", "-c", "echo late > m2"], cwd=self.dir, env=self.env("", image),
                              start_new_session=True)
        self.assertEqual(late.returncode, -signal.SIGKILL)
        self.assertEqual(sorted(m for m in os.listdir(self.dir) if m.startswith("m")), [])
        self.assertEqual(self.get("flash.img")[0x100000:0x100010], b"\xff" * 16)

    def test_a_process_that_starts_after_a_cut_leaves_the_stopping_to_the_cutter(self):
        # The cut is the cutter's alone to carry out: a process started after it only dies.
        # One that stopped and killed the run's processes itself would, beside another such
        # latecomer, stop it and be stopped by it, and both would stay stopped for ever.
        # Here a member the cut spared (it hid its environment) shows its run again: a
        # latecomer that takes the stopping on itself would kill it.
        member = textwrap.dedent("""
            import ctypes, os, time
            environ = ctypes.POINTER(ctypes.c_void_p).in_dll(ctypes.CDLL(None), "environ")
            def mark(first):
                i = 0
                while environ[i]:
                    if ctypes.string_at(environ[i])[1:].startswith(b"LASHSIM_RUN="):
                        ctypes.memmove(environ[i], first, 1)
                    i += 1
            def await_file(name):
                while not os.path.exists(name):
                    time.sleep(0.05)
            mark(b"X")
            open("hidden", "w").close()
            await_file("go")
            mark(b"F")
            open("shown", "w").close()
            await_file("end")
            """)
        image = self.put("flash.img", b"\xff" * MIB4)
        spared = self.hidden_member(member, image)
        done = self.start("printf x | dd of=/dev/mtd3 conv=notrunc 2>/dev/null", "kill-after:2", image)
        self.assertEqual(done.returncode, -signal.SIGKILL)
        self.put("go", b"")
        self.await_file("shown", spared)
        self.assertIsNone(spared.poll())
        late = subprocess.run(["sh", "-c", "echo late > m2"], cwd=self.dir, env=self.env("", image),
                              start_new_session=True)
        self.assertEqual(late.returncode, -signal.SIGKILL)
        with self.assertRaises(subprocess.TimeoutExpired, msg="the latecomer stopped the run itself"):
            spared.wait(1)
        self.put("end", b"")
        self.assertEqual(spared.wait(20), 0)

    def test_a_cut_spares_a_process_that_took_over_a_stale_pid(self):
        # A member's pid left in the table now belongs to a program outside the run (here
        # the member itself became one by exec, with another environment), in another
        # session: the cut leaves it alone.
        done = self.start("setsid sh -c 'echo $$ > outsider; exec env -i sleep 60' >/dev/null 2>&1 & "
                          "until [ \"$(cat /proc/$!/comm)\" = sleep ]; do sleep 0.05; done; "
                          "printf x | dd of=/dev/mtd3 conv=notrunc 2>/dev/null", "kill-after:3")
        self.assertEqual(done.returncode, -signal.SIGKILL)
        outsider = int(self.get("outsider"))
        self.addCleanup(os.kill, outsider, signal.SIGKILL)
        with open(f"/proc/{outsider}/cmdline", "rb") as f:
            self.assertEqual(f.read(), b"sleep\x0060\x00")

    def test_torn_cuts_leave_a_prefix_and_one_partial_unit_decided_by_the_seed(self):
        write = "printf '\\0%.0s' $(seq 1000) | dd of=/dev/mtd2 bs=1000 conv=notrunc 2>/dev/null"
        zeros = b"\x00" * 0x50000
        erase = f"{sys.executable} -c \"import fcntl, os, struct; " + \
            "fcntl.ioctl(os.open('/dev/mtd2', os.O_RDWR), 0x40084d02, struct.pack('=II', 0, 0x50000))\""
        results = {}
        for kind, script, before, seed in (("write", write, b"\xff" * MIB4, 7),
                                           ("write", write, b"\xff" * MIB4, 7),
                                           ("write", write, b"\xff" * MIB4, 8),
                                           ("erase", erase, None, 3), ("erase", erase, None, 3)):
            with self.subTest(kind=kind, seed=seed):
                if before is None:
                    before = b"\xff" * 0x100000 + zeros + b"\xff" * (MIB4 - 0x150000)
                self.fresh()
                ops = self.count_ops(script, before)
                number = next(n for n, k in ops if k == kind)
                done = self.start(script, f"torn:{number}:{seed}", self.put("flash.img", before))
                self.assertEqual(done.returncode, -signal.SIGKILL)
                torn = [line for line in self.log() if line.startswith("torn ")]
                self.assertEqual(len(torn), 1)
                _, n, logged_kind, device, finished, total, unit = torn[0].split()
                self.assertEqual((int(n), logged_kind, device), (number, kind, "mtd2"))
                finished, total = int(finished), int(total)
                flash = self.get("flash.img")[0x100000:]
                if kind == "write":
                    self.assertEqual((total, unit), (1000, "bytes"))
                    self.assertEqual(flash[:finished], b"\x00" * finished)
                    self.assertNotIn(flash[finished], (0x00, 0xff))
                    self.assertEqual(flash[finished + 1:], b"\xff" * (len(flash) - finished - 1))
                else:
                    self.assertEqual((total, unit), (5, "blocks"))
                    block = 0x10000
                    self.assertEqual(flash[:finished * block], b"\xff" * finished * block)
                    partial = flash[finished * block:(finished + 1) * block]
                    self.assertTrue(0 < partial.count(0xff) < block)
                    self.assertEqual(flash[(finished + 1) * block:0x50000],
                                     b"\x00" * (0x50000 - (finished + 1) * block))
                results.setdefault((kind, seed), set()).add(self.get("flash.img"))
        for key, outcomes in results.items():
            self.assertEqual(len(outcomes), 1, f"{key}: the same seed left different bytes")

    def test_torn_cuts_of_alike_writes_with_one_seed_tear_each_at_its_own_place(self):
        script = "dd if=/dev/zero of=/dev/mtd2 bs=1024 count=6 conv=notrunc 2>/dev/null"
        writes = [n for n, kind in self.count_ops(script, b"\xff" * MIB4) if kind == "write"]
        offsets = set()
        for number in writes:
            self.fresh()
            self.start(script, f"torn:{number}:11")
            offsets |= {line.split()[4] for line in self.log() if line.startswith(f"torn {number} write")}
        self.assertEqual(len(writes), 6)
        self.assertGreater(len(offsets), 1, "one tear offset for every cut point")

    def test_a_held_runs_torn_cut_goes_to_its_copy_and_the_operation_runs_whole(self):
        # The process that does the operation named in the page leaves in FLASHSIM_RUN/torn
        # what torn:N:SEED leaves on the flash, byte for byte, then does the operation whole;
        # the page says the copy is made. Without a copy it says none is, and the run goes on.
        write = "printf '\\0%.0s' $(seq 1000) | dd of=/dev/mtd2 bs=1000 conv=notrunc 2>/dev/null"
        erase = f"{sys.executable} -c \"import fcntl, os, struct; " + \
            "fcntl.ioctl(os.open('/dev/mtd2', os.O_RDWR), 0x40084d02, struct.pack('=II', 0, 0x50000))\""
        erased = b"\xff" * MIB4
        programmed = b"\xff" * 0x100000 + b"\x00" * 0x50000 + b"\xff" * (MIB4 - 0x150000)
        lib = library()
        lib.flashsim_set_torn_copy.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_uint64]
        lib.flashsim_torn_copy_made.argtypes = [ctypes.c_void_p]
        for kind, script, before, seed, copy in (("write", write, erased, 7, True),
                                                 ("erase", erase, programmed, 3, True),
                                                 ("write", write, erased, 7, False)):
            with self.subTest(kind=kind, copy=copy):
                self.fresh()
                ops = self.count_ops(script, before)
                whole = self.get("flash.img")
                number = next(n for n, k in ops if k == kind)
                self.start(script, f"torn:{number}:{seed}", self.put("flash.img", before))
                torn = self.get("flash.img")
                self.fresh()
                self.put("run/counter", bytes(lib.flashsim_page_size(MIB4)))
                if os.path.lexists(self.path("run/torn")):
                    os.remove(self.path("run/torn"))
                if copy:
                    os.symlink(self.put("copy.img", before), self.path("run/torn"))
                with open(self.path("run/counter"), "r+b") as f, \
                        mmap.mmap(f.fileno(), lib.flashsim_page_size(MIB4)) as page:
                    address = ctypes.c_void_p(ctypes.addressof(ctypes.c_char.from_buffer(page)))
                    lib.flashsim_set_torn_copy(address, number, seed)
                    done = self.start(script, "", self.put("flash.img", before))
                    made = lib.flashsim_torn_copy_made(address)
                    del address
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertTrue(self.get("flash.img") == whole)
                self.assertEqual(made, number if copy else 0)
                if copy:
                    self.assertTrue(self.get("copy.img") == torn)
                    self.assertTrue(torn not in (whole, before))

    def count_ops(self, script, before):
        os.makedirs(self.path("run"), exist_ok=True)
        self.start(script, "", self.put("flash.img", before))
        ops = [(int(line.split()[1]), line.split()[3]) for line in self.log() if line.startswith("op ")]
        os.remove(self.path("log"))
        os.remove(self.path("run/counter"))
        return ops

    def test_a_cut_inside_another_operation_is_a_cut_before_it(self):
        done = self.start("printf x | dd of=/dev/mtd2 conv=notrunc 2>/dev/null; echo late > m0",
                          "torn:1:5")
        self.assertEqual(done.returncode, -signal.SIGKILL)
        self.assertIn("torn 1 open mtd2 0 1 operations", self.log())
        self.assertEqual(self.get("flash.img"), b"\xff" * MIB4)
        self.assertFalse(os.path.exists(self.path("m0")))


HEADER = "dev:    size   erasesize  name\n"
# Another board's NOR map: 8 MiB in five partitions, the environment in 4 KiB sectors.
BOARD = (HEADER + 'mtd0: 00040000 00010000 "u-boot"\nmtd1: 00010000 00001000 "env"\n'
         'mtd2: 00300000 00010000 "kernel"\nmtd3: 00480000 00010000 "rootfs"\n'
         'mtd4: 00030000 00010000 "data"\n')
BOARD_PARTS = (("mtd0", 0x0, 0x40000, 0x10000), ("mtd1", 0x40000, 0x10000, 0x1000),
               ("mtd2", 0x50000, 0x300000, 0x10000), ("mtd3", 0x350000, 0x480000, 0x10000),
               ("mtd4", 0x7D0000, 0x30000, 0x10000))

# Run in the simulator: /proc/mtd, then for each device its MEMGETINFO, an erase of its
# second block after a write over it, an unaligned erase, and a write of its name.
LAYOUT_PROBE = r'''
import errno, fcntl, json, os, struct, sys
out = {"proc_mtd": open("/proc/mtd").read()}
for n in range(int(sys.argv[1])):
    fd = os.open(f"/dev/mtd{n}", os.O_RDWR)
    _, _, size, erase, _, _ = struct.unpack("=BxxxIIIII", fcntl.ioctl(fd, 0x80204d01, bytes(32))[:24])
    os.pwrite(fd, b"\0" * 8, erase)
    fcntl.ioctl(fd, 0x40084d02, struct.pack("=II", erase, erase))
    try:
        fcntl.ioctl(fd, 0x40084d02, struct.pack("=II", erase // 2, erase))
        unaligned = "ok"
    except OSError as e:
        unaligned = errno.errorcode[e.errno]
    out[f"mtd{n}"] = [size, erase, unaligned, os.pwrite(fd, f"mtd{n}".encode(), 0)]
print(json.dumps(out))
'''


class Layouts(Workdir):
    def layout(self, path):
        out = ctypes.create_string_buffer(2048)
        status = library().flashsim_layout(None if path is None else path.encode(), out, len(out))
        return status, out.value.decode()

    def test_another_nor_map_is_served_as_proc_mtd_devices_and_slices(self):
        board = self.put("board.mtd", BOARD.encode())
        self.assertEqual(self.layout(board), (0, BOARD))
        image = self.put("flash.img", b"\xff" * 0x800000)
        folder = self.path("dir")
        os.mkdir(folder)
        for name, _start, size, _erase in BOARD_PARTS:
            self.put(os.path.join("dir", name), b"\xff" * size)
        for label, env, read in (
                ("image", clean_env(FLASHSIM_IMAGE=image, FLASHSIM_LAYOUT=board),
                 lambda name, start, size: self.get("flash.img")[start:start + size]),
                ("dir", clean_env(FLASHSIM_DIR=folder, FLASHSIM_LAYOUT=board),
                 lambda name, start, size: self.get(os.path.join("dir", name)))):
            with self.subTest(layout=label):
                done = subprocess.run([sys.executable, "-c", LAYOUT_PROBE, "5"], env=env,
                                      capture_output=True, text=True)
                self.assertEqual(done.returncode, 0, done.stderr)
                out = json.loads(done.stdout)
                self.assertEqual(out.pop("proc_mtd"), BOARD)
                self.assertEqual(out, {name: [size, erase, "EINVAL", 4]
                                       for name, _start, size, erase in BOARD_PARTS})
                for name, start, size, erase in BOARD_PARTS:
                    self.assertEqual(read(name, start, size), name.encode() + b"\xff" * (size - 4))
                if label == "image":
                    self.assertEqual(len(self.get("flash.img")), 0x800000)

    def test_the_devices_layout_is_the_default_and_bad_layouts_are_refused(self):
        default = (HEADER + 'mtd0: 00020000 00002000 "boot"\nmtd1: 000e0000 00010000 "kernel"\n'
                   'mtd2: 00290000 00010000 "rootfs"\nmtd3: 00070000 00010000 "jffs"\n')
        self.assertEqual(self.layout(None), (0, default))
        self.assertEqual(self.layout(""), (0, default))
        bad = self.put("bad.mtd", b'mtd0: 00040000 00010000 "u-boot"\nmtd1: 00018000 00010000 "env"\n')
        message = (f"bad layout '{bad}' line 2: the size is not a nonzero multiple of the erase size "
                   "below 4 GiB")
        self.assertEqual(self.layout(bad), (1, message))
        self.assertEqual(self.layout(self.path("none")), (1, f"bad layout '{self.path('none')}': cannot be read"))
        # A file past 8 KiB is refused whole, never read as its first 8 KiB (a good layout).
        long = self.put("long.mtd", BOARD.encode() + b"\n" * 8192 + b'mtd5: 00010000 00010000 "tail"\n')
        self.assertEqual(self.layout(long), (1, f"bad layout '{long}': longer than 8 KiB"))
        # A process of a run with a bad layout ends it, as a bad fault list does; an image
        # of the wrong size for a good layout is refused at open.
        os.mkdir(self.path("run"))
        self.put("run/counter", bytes(library().flashsim_page_size(MIB4)))
        image = self.put("flash.img", b"\xff" * MIB4)
        done = subprocess.run(["sh", "-c", "echo ran > marker"], cwd=self.dir, capture_output=True, text=True,
                              env=clean_env(FLASHSIM_IMAGE=image, FLASHSIM_LAYOUT=bad,
                                            FLASHSIM_RUN=self.path("run")), start_new_session=True)
        self.assertEqual((done.returncode, done.stderr), (2, f"flashsim: {message}\n"))
        self.assertEqual(page_state(self.path("run/counter"))[2], 1)
        self.assertFalse(os.path.exists(self.path("marker")))
        done = subprocess.run(["sh", "-c", "printf x > /dev/mtd1"], capture_output=True, text=True,
                              env=clean_env(FLASHSIM_IMAGE=image, FLASHSIM_LAYOUT=self.put("b.mtd", BOARD.encode())))
        self.assertEqual(done.stderr.splitlines()[0],
                         f"flashsim: {image} is 4194304 bytes, not a 8 MiB (8388608-byte) flash image")


class Faults(Workdir):
    def test_the_launcher_and_the_library_read_a_list_by_the_same_rules(self):
        check = ctypes.CDLL(SIMLIB).flashsim_check_faults
        check.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
        for faults, message in [
            ("", ""), ("kill-after:3,torn:4:0x99", ""), ("erase-fail:mtd0:2, missing:mtd1 ,", ""),
            ("erase-fail:mtd0:2 missing:mtd1",
             "bad fault 'erase-fail:mtd0:2 missing:mtd1': faults are separated by commas"),
            ("kill-after:abc", "bad fault 'kill-after:abc': not a number"),
            ("kill-after:0", "bad fault 'kill-after:0': counts start at 1"),
            ("kill-after", "bad fault 'kill-after': missing number"),
            ("erase-fail:mtd0:x", "bad fault 'erase-fail:mtd0:x': not a number"),
            ("missing:mtd0:3", "bad fault 'missing:mtd0:3': too many fields"),
            ("torn:3", "bad fault 'torn:3': missing number"),
            ("torn:3:z", "bad fault 'torn:3:z': seed is not a number"),
            ("write-fail::4", "bad fault 'write-fail::4': bad device name"),
            ("power-cut:3", "bad fault 'power-cut:3': unknown fault"),
            ("kill-after:-1", "bad fault 'kill-after:-1': not a number"),
        ]:
            with self.subTest(faults=faults):
                out = ctypes.create_string_buffer(200)
                self.assertEqual(check(faults.encode(), out, len(out)), 1 if message else 0)
                self.assertEqual(out.value.decode(), message)

    def test_a_bad_list_inside_a_run_ends_it_with_status_2_and_marks_it_broken(self):
        run = self.path("run")
        os.mkdir(run)
        env = clean_env(FLASHSIM_IMAGE=self.put("flash.img", b"\xff" * MIB4), FLASHSIM_RUN=run,
                        FLASHSIM_FAULTS="kill-after:2,fail-op:zz")
        done = subprocess.run(["sh", "-c", "echo ran > marker"], cwd=self.dir, env=env,
                              capture_output=True, text=True, start_new_session=True)
        self.assertEqual((done.returncode, done.stderr), (2, "flashsim: bad fault 'fail-op:zz': not a number\n"))
        self.assertEqual(page_state(self.path("run/counter"))[2], 1)
        self.assertFalse(os.path.exists(self.path("marker")))


class LauncherFaults(Workdir):
    def test_a_fault_list_means_the_same_to_every_path_of_the_launcher(self):
        # One separator rule, the library's, for a plain run, --torn and a campaign's cuts.
        script = "printf abcd | dd of=/dev/mtd2 bs=1 conv=notrunc 2>/dev/null"
        inside = "power cut inside operation 3 (write mtd2, "
        for faults, torn, status, said in [
                ("kill-after:3 erase-fail:mtd2:1", False, 2, "faults are separated by commas"),
                ("kill-after:3, write-fail:mtd9:0", False, 2, "the flash has no mtd9 (its devices: mtd0 mtd1"),
                ("kill-after:3, erase-fail:mtd2:1", False, 137, "power cut after operation 3"),
                ("erase-fail:mtd2:1, kill-after:3", True, 137, inside),
                ("kill-after:3,erase-fail:mtd2:1", True, 137, inside)]:
            with self.subTest(faults=faults, torn=torn):
                image = self.put("flash.img", b"\xff" * MIB4)
                done = subprocess.run(
                    [sys.executable, "-c", f"import sys; sys.path.insert(0, {PACKAGE!r}); import flashsim; "
                     "sys.exit(flashsim.main())", "--image", image, "--faults", faults]
                    + (["--torn", "--seed", "11"] if torn else []) + ["--", "sh", "-c", script],
                    env=clean_env(FLASHSIM_LIB=SIMLIB), capture_output=True, text=True)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(said, done.stderr)
        # A campaign's cut inside 3 is the plain run's --torn of kill-after:3, seed for seed.
        self.assertEqual(Cut(3, inside=True).fault(11), launcher_library.torn_faults("kill-after:3", 11))


# A 64 MiB NOR: a copy must cost what was written, not the flash's size.
BIG = HEADER + 'mtd0: 00100000 00010000 "boot"\nmtd1: 03f00000 00010000 "data"\n'


class CheckCopies(Workdir):
    def read(self, flash):
        """The whole flash as a program of the run or a check reads it through the library."""
        return subprocess.run(["sh", "-c", "cat /dev/mtd0 /dev/mtd1"], env=clean_env(**flash.env()),
                              capture_output=True).stdout

    def view(self, flash):
        return hashlib.sha256(self.read(flash)).hexdigest()

    def write(self, flash, device, offset, size, run=None):
        env = clean_env(**flash.env(), **({"FLASHSIM_RUN": run} if run else {}))
        done = subprocess.run(["sh", "-c", f"head -c {size} /dev/zero | dd of=/dev/{device} bs=4096 seek={offset} "
                               "oflag=seek_bytes conv=notrunc 2>/dev/null"], env=env)
        self.assertEqual(done.returncode, 0)

    def test_copies_of_a_big_flash_hold_each_cut_and_only_what_was_written(self):
        layout = Layout(self.put("big.mtd", BIG.encode()))
        working = Flash(layout, image=self.path("flash.img"))
        working.erase()
        os.mkdir(self.path("scratch"))
        os.mkdir(self.path("run"))
        copies = Copies(working, self.path("scratch"))
        copies.snapshot()
        self.addCleanup(copies.close)
        page = launcher_library.Page(self.path("run/" + launcher_library.COUNTER), layout.size)
        self.addCleanup(page.close)
        start = self.view(working)
        history, slots = [], {}     # name -> (copy, the step of history it was taken at)
        # Who writes (the run, or a check on its copy), where, how much; a copy given back,
        # and the copy then taken (a new one, or the one given back): it must read as the
        # working flash and hold only the pieces written, and no check's write reaches
        # another copy or the snapshot.
        for writer, device, offset, size, give_back, takes in [
                ("run", "mtd1", 0x123456, 100000, None, "A"), ("A", "mtd0", 0x10, 1, None, "B"),
                ("run", "mtd1", 0x3000000, 70000, None, "C"), ("B", "mtd1", 0x3ef0000, 0x10000, "A", "D"),
                ("run", "mtd0", 0xff000, 0x1000, "B", "E")]:
            with self.subTest(writer=writer, takes=takes):
                if writer == "run":
                    self.write(working, device, offset, size, self.path("run"))
                    history.append(page.take_written())
                else:
                    others = {name: self.view(slot.flash) for name, (slot, _) in slots.items() if name != writer}
                    seen = bytearray(self.read(slots[writer][0].flash))
                    at = next(d.start for d in layout.devices if d.name == device) + offset
                    seen[at:at + size] = bytes(size)
                    self.write(slots[writer][0].flash, device, offset, size)
                    self.assertEqual(self.view(slots[writer][0].flash), hashlib.sha256(seen).hexdigest())
                    self.assertEqual({name: self.view(slots[name][0].flash) for name in others}, others)
                    self.assertEqual(self.view(Flash(layout, image=copies.base)), start)
                if give_back:
                    slot, step = slots.pop(give_back)
                    copies.give_back(slot, 1, step)
                slots[takes] = (copies.take(1, history), len(history) - 1)
                self.assertEqual(self.view(slots[takes][0].flash), self.view(working))
                written = bin(functools.reduce(operator.or_, history)).count("1")
                self.assertLessEqual(os.stat(slots[takes][0].flash.image).st_blocks * 512,
                                     (written + 1) * launcher_library.PIECE)
        copies.put_back()
        self.assertEqual(self.view(working), start)


def main():
    global SIMLIB
    parser = argparse.ArgumentParser()
    parser.add_argument("--simlib", required=True)
    args, rest = parser.parse_known_args()
    SIMLIB = os.path.abspath(args.simlib)
    os.environ["FLASHSIM_LIB"] = SIMLIB     # the launcher's package loads the library under test
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
