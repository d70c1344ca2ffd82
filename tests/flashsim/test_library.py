#!/usr/bin/env python3
"""The simulator library (libflashsim.so) as any dynamically linked program meets it: the
MTD character device's interface on every device of both layouts, power cuts that stop
every process of a run, torn cuts, NOR writes, and the fault list's rules.

  test_library.py --simlib libflashsim.so [unittest options]
"""
import argparse
import ctypes
import errno
import json
import select
import os
import signal
import struct
import subprocess
import sys
import textwrap
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_flashsim import Folder  # noqa: E402

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
out["fstatat_empty"] = os.stat(fd).st_rdev == st.st_rdev
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
                        "regions": 0, "fstatat_empty": True,
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


class Run(Workdir):
    """A run as the launcher makes one: a folder with the shared page."""

    def start(self, script, faults, image=None):
        os.makedirs(self.path("run"), exist_ok=True)
        env = clean_env(FLASHSIM_IMAGE=image or self.put("flash.img", b"\xff" * MIB4),
                        FLASHSIM_RUN=self.path("run"), FLASHSIM_LOG=self.path("log"),
                        FLASHSIM_TRACE="1", FLASHSIM_FAULTS=faults)
        return subprocess.run(["sh", "-c", script], cwd=self.dir, env=env, capture_output=True,
                              text=True, start_new_session=True)

    def page(self):
        data = self.get("run/counter")
        members = [p for p in struct.unpack("=1008i", data[64:4096]) if p]
        return struct.unpack("=III", data[:12]), members

    def log(self):
        return self.get("log").decode().splitlines() if os.path.exists(self.path("log")) else []

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

    def test_concurrent_writers_never_land_an_operation_after_the_cut(self):
        # Two writers side by side, one byte per write; the cut falls at a different
        # operation each time. Every byte on the flash must come from an operation
        # numbered at or before the cut, and no later number is given out to a write.
        script = ("dd if=/dev/zero of=/dev/mtd1 bs=1 count=60 conv=notrunc 2>/dev/null & "
                  "dd if=/dev/zero of=/dev/mtd2 bs=1 count=60 conv=notrunc 2>/dev/null; wait")
        for trial in range(300):
            cut = 3 + trial % 100
            for name in ("log", "run/counter"):
                if os.path.exists(self.path(name)):
                    os.remove(self.path(name))
            self.start(script, f"kill-after:{cut}")
            (operations, power_off, _), members = self.page()
            ops = [line.split() for line in self.log() if line.startswith("op ")]
            numbers = [int(op[1]) for op in ops]
            flash = self.get("flash.img")
            for name, start, size, _erase in LAYOUT[1:3]:
                written = {i for i in range(64) if flash[start + i] == 0}
                traced = {int(op[5], 16) for op in ops if op[3] == "write" and op[4] == name}
                self.assertLessEqual(written, traced, f"trial {trial}: {name}")
            self.assertEqual(power_off, 1)
            self.assertEqual(max(numbers), cut, f"trial {trial}")
            self.assert_all_gone(members)

    def test_a_cut_kills_processes_in_other_groups_and_sessions(self):
        # Each background job waits for the file 'go', which appears only after the run is
        # over: only a process that survived the cut could write its marker.
        wait = "while [ ! -e go ]; do sleep 0.05; done; echo late >"
        script = (f"setsid sh -c '{wait} m1' & timeout 60 sh -c '{wait} m2' & "
                  f"(set -m; sh -c '{wait} m3' &) ; nohup sh -c '{wait} m4' >/dev/null 2>&1 & "
                  f"sh -c '{wait} m5' & sleep 0.2; "
                  "printf x | dd of=/dev/mtd3 conv=notrunc 2>/dev/null; echo late > m0")
        done = self.start(script, "kill-after:2")
        self.assertEqual(done.returncode, -signal.SIGKILL)
        (_, power_off, _), members = self.page()
        self.assertEqual(power_off, 1)
        self.assertGreaterEqual(len(members), 6)
        self.assert_all_gone(members)
        self.put("go", b"")
        self.assertEqual([m for m in os.listdir(self.dir) if m.startswith("m")], [])

    def test_a_cut_spares_a_process_that_took_over_a_stale_pid(self):
        # A member that ended by _exit left its pid in the table; the system gave that pid
        # to a program outside the run.
        outsider = subprocess.Popen(["sleep", "60"], env=clean_env(LD_PRELOAD=""))
        try:
            os.makedirs(self.path("run"))
            self.put("run/counter", bytes(64) + struct.pack("=i", outsider.pid) + bytes(4096 - 68))
            done = self.start("printf x | dd of=/dev/mtd3 conv=notrunc 2>/dev/null", "kill-after:2")
            self.assertEqual(done.returncode, -signal.SIGKILL)
            self.assertIsNone(outsider.poll())
        finally:
            outsider.kill()
            outsider.wait()

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
                for name in ("log", "run/counter"):
                    if os.path.exists(self.path(name)):
                        os.remove(self.path(name))
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


class Faults(Workdir):
    def test_the_launcher_and_the_library_read_a_list_by_the_same_rules(self):
        check = ctypes.CDLL(SIMLIB).flashsim_check_faults
        check.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
        for faults, message in [
            ("", ""), ("kill-after:3,torn:4:0x99", ""), ("erase-fail:mtd0:2 missing:mtd1", ""),
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
        self.assertEqual(struct.unpack("=I", self.get("run/counter")[8:12]), (1,))
        self.assertFalse(os.path.exists(self.path("marker")))


def main():
    global SIMLIB
    parser = argparse.ArgumentParser()
    parser.add_argument("--simlib", required=True)
    args, rest = parser.parse_known_args()
    SIMLIB = os.path.abspath(args.simlib)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
