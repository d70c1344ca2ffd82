#!/usr/bin/env python3
"""Boot the kernel tier once and check that the harness itself is sound.

Stands in for flashtool with mtdprobe.c built statically by the host C
compiler (it runs busybox commands, prints its argv[0] and probes the MTD
ioctls), or with a /bin/sh wrapper when there is no compiler, in which case
the argv[0] and driver checks are skipped.
Checks: flash contents come back byte-exact, files in and out of the job
directory, removed and read-only nodes, syslog capture, a stdout pipe with
no reader, the program name, the per-job time limit, and the MTD answers
(MEMERASE, lseek, short writes) that flashtool relies on.

usage: selftest.py [--cache DIR] [--work DIR] [--no-prepare] [--arch armhf] [--cc CC]
With --arch armhf the machine is the 32-bit ARM one (prepare-arm.sh) and
mtdprobe is built by the ARM cross compiler (--cc, arm-linux-gnueabihf-gcc).
Exit status 0 when every check passes.
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vm  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))

# stands in for flashtool when mtdprobe cannot be built: runs its arguments
WRAPPER = b"""#!/bin/sh
exec "$@"
"""


# every node, with its major:minor in hex, as devtmpfs makes them
NODES_SH = "stat -c '%n %F %t:%T' /dev/mtd*"
NODES_OUT = b"".join(b"/dev/mtd%d%s character special file 5a:%x\n"
                     % (n, ro, 2 * n + (1 if ro else 0))
                     for n in range(4) for ro in (b"", b"ro"))


def images(seed):
    rnd = random.Random(seed)
    return {name: rnd.randbytes(size) for name, size, _ in vm.FLASH}


def patched(flash, name, offset, data):
    out = dict(flash)
    buf = bytearray(out[name])
    buf[offset:offset + len(data)] = data
    out[name] = bytes(buf)
    return out


def erased(flash, name, start, end):
    return patched(flash, name, start, b"\xff" * (end - start))


CROSS_CC = {"armhf": "arm-linux-gnueabihf-gcc"}


def build_probe(workdir, cc=None):
    """Path of a static mtdprobe, or None without a working C compiler."""
    cc = shutil.which(cc) if cc else shutil.which("cc") or shutil.which("gcc")
    if not cc:
        print("selftest: no C compiler; mtdprobe checks are skipped",
              file=sys.stderr)
        return None
    out = os.path.join(workdir, "mtdprobe")
    r = subprocess.run([cc, "-static", "-O2", "-o", out,
                        os.path.join(HERE, "mtdprobe.c")],
                       capture_output=True, text=True)
    if r.returncode != 0:
        print("selftest: mtdprobe not built (%s); its checks are skipped"
              % r.stderr.strip().splitlines()[-1:], file=sys.stderr)
        return None
    return out


def cases(probe):
    """(job, expectations) pairs; expectations are checked by check().

    probe: True when the binary is mtdprobe, which adds its own cases."""
    A, B = images(1), images(2)
    sh = lambda script, **kw: dict(args=["sh", "-c", script], **kw)  # noqa
    table = [
        ("roundtrip", sh(
            "printf 'HELLO' | dd of=/dev/mtd2 bs=1 seek=65537 conv=notrunc "
            "2>/dev/null && printf Z > /dev/mtd0 && cat in.bin > out.bin && "
            "mkdir -p d && echo made > d/new && echo out && echo err >&2; "
            "exit 7", flash=A, files={"in.bin": bytes(range(256)) * 3}),
         dict(status=7, stdout=b"out\n", stderr=b"err\n",
              flash=patched(patched(A, "mtd2", 65537, b"HELLO"), "mtd0", 0,
                            b"Z"),
              files={"in.bin": bytes(range(256)) * 3,
                     "out.bin": bytes(range(256)) * 3, "d/new": b"made\n"})),
        ("reset between jobs", sh("true", flash=B), dict(status=0, flash=B)),
        ("read flash", sh("dd if=/dev/mtd3 bs=16 count=1 2>/dev/null",
                          flash=B),
         dict(status=0, stdout=B["mtd3"][:16])),
        ("removed node", sh("test -e /dev/mtd3 || echo gone; "
                            "test -c /dev/mtd3ro && test -c /dev/mtd2 && "
                            "echo others", flash=A, remove_nodes=["mtd3"]),
         dict(status=0, stdout=b"gone\nothers\n", flash=A)),
        ("nodes back after removal", sh(NODES_SH, flash=A),
         dict(status=0, stdout=NODES_OUT)),
        ("readonly node", sh("printf X > /dev/mtd1", flash=A,
                             readonly_nodes=["mtd1"]),
         dict(status_nonzero=True, stderr_has=b"Permission denied", flash=A)),
        ("nodes back after read-only swap", sh(NODES_SH, flash=A),
         dict(status=0, stdout=NODES_OUT)),
        ("syslog", sh("logger -p user.err -t flashtool 'cannot open: x'; "
                      "logger -p daemon.info -t other two", flash=A),
         dict(status=0,
              syslog=b"user.err flashtool: cannot open: x\n"
                     b"daemon.info other: two\n",
              syslog_lines=["3 cannot open: x", "6 two"])),
        ("no syslog", sh("true", flash=A), dict(syslog=b"")),
        ("stdout reader gone", sh("logger -t flashtool before; echo hi; "
                                  "echo survived >&2", flash=A,
                                  stdout_closed_early=True),
         dict(status=141, stderr=b"", stdout=b"",
              syslog=b"user.notice flashtool: before\n")),
        ("stdin is /dev/null", sh("cat; echo end", flash=A),
         dict(stdout=b"end\n")),
        ("args kept verbatim", dict(args=["printf", "[%s]", "a b", "",
                                          "it's", "$HOME", "\\n"], flash=A),
         dict(stdout=b"[a b][][it's][$HOME][\\n]")),
        ("time limit", sh("sleep 30", flash=A, timeout=2),
         dict(status=137, timed_out=True)),
    ]
    if probe:
        pj = lambda dev, steps, **kw: dict(  # noqa
            args=[dev] + steps, flash=A, **kw)
        table += [
            # argv[0] is the job's string, not the binary's path
            ("argv0 default", dict(args=["argv0"], flash=A),
             dict(status=0, stdout=b"[flashtool]\n")),
            ("argv0 relative", dict(args=["argv0"], flash=A,
                                    argv0="./sub/flashtool"),
             dict(status=0, stdout=b"[./sub/flashtool]\n", files={})),
            ("argv0 ending in slash", dict(args=["argv0"], flash=A,
                                           argv0="./tools/"),
             dict(status=0, stdout=b"[./tools/]\n")),
            ("argv0 empty", dict(args=["argv0"], flash=A, argv0=""),
             dict(status=0, stdout=b"[]\n")),
            ("MEMERASE and seek on mtd0", pj("/dev/mtd0", [
                "info", "erase:0x2000:0x2000", "erase:0x1E000:0x4000",
                "erase:0x4100:0x2000", "erase:0x8000:0",
                "seek:0x20001", "seek:0x20000", "seek:1:end",
                "write:0x1FFF0:0x20:0xAB", "write:0x20000:1:0",
                "open:rwsync", "write:0x10000:4:0x5A"]),
             dict(status=0, stdout_lines=[
                 b"open-rw ret=0 errno=0",
                 b"info type=1 flags=0x1c00 size=0x20000 erasesize=0x2000 "
                 b"writesize=1",
                 b"erase:0x2000:0x2000 ret=0 errno=0",
                 b"erase:0x1E000:0x4000 ret=-1 errno=EINVAL",
                 b"erase:0x4100:0x2000 ret=0 errno=0",
                 b"erase:0x8000:0 ret=0 errno=0",
                 b"seek:0x20001 ret=-1 errno=EINVAL",
                 b"seek:0x20000 ret=131072 errno=0",
                 b"seek:1:end ret=-1 errno=EINVAL",
                 b"write:0x1FFF0:0x20:0xAB ret=16 errno=0",
                 b"write:0x20000:1:0 ret=-1 errno=ENOSPC",
                 b"open:rwsync ret=0 errno=0",
                 b"write:0x10000:4:0x5A ret=4 errno=0"],
                 flash=patched(patched(erased(erased(
                     A, "mtd0", 0x2000, 0x4000), "mtd0", 0x4000, 0x6000),
                     "mtd0", 0x1FFF0, b"\xab" * 16), "mtd0", 0x10000,
                     b"\x5a" * 4))),
            ("read-only node refuses writes", pj("/dev/mtd1", [
                "erase:0:0x10000", "write:0:4:0"], readonly_nodes=["mtd1"]),
             dict(status=0, flash=A, stdout_lines=[
                 b"open-rw ret=-1 errno=EACCES", b"open-ro ret=0 errno=0",
                 b"erase:0:0x10000 ret=-1 errno=EPERM",
                 b"write:0:4:0 ret=-1 errno=EBADF"])),
            ("missing node", pj("/dev/mtd3", ["info"], remove_nodes=["mtd3"]),
             dict(stdout_lines=[b"open-rw ret=-1 errno=ENOENT",
                                b"open-ro ret=-1 errno=ENOENT"])),
        ]
    jobs, expects = [], []
    for name, job, expect in table:
        job = dict(job, name=name)
        job.setdefault("files", {})
        jobs.append(job)
        expects.append(expect)
    return jobs, expects


def check(job, res, exp):
    """Return a list of mismatch descriptions (empty when all is well)."""
    bad = []
    for key in ("status", "stdout", "stderr", "syslog", "syslog_lines",
                "timed_out"):
        if key in exp and res[key] != exp[key]:
            bad.append("%s: got %r, want %r" % (key, res[key], exp[key]))
    if exp.get("status_nonzero") and res["status"] == 0:
        bad.append("status: got 0, want non-zero")
    if "stderr_has" in exp and exp["stderr_has"] not in res["stderr"]:
        bad.append("stderr %r lacks %r" % (res["stderr"], exp["stderr_has"]))
    if "stdout_lines" in exp:
        lines = res["stdout"].splitlines()
        for want in exp["stdout_lines"]:
            if want not in lines:
                bad.append("stdout lacks %r (got %r)" % (want, lines))
    if "files" in exp:
        got = res["files"]
        if got != exp["files"]:
            bad.append("files: got %r, want %r" % (sorted(got),
                                                   sorted(exp["files"])))
    if "flash" in exp:
        for name, _, _ in vm.FLASH:
            g, w = res["flash"][name], exp["flash"][name]
            if g != w:
                first = next((i for i in range(len(w)) if g[i:i + 1] !=
                              w[i:i + 1]), min(len(g), len(w)))
                bad.append("%s differs first at 0x%x (len %d vs %d)"
                           % (name, first, len(g), len(w)))
    return bad


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cache", default=vm.default_cache_dir())
    ap.add_argument("--work", default=None)
    ap.add_argument("--no-prepare", action="store_true")
    ap.add_argument("--arch", choices=sorted(vm.MACHINES), default="amd64")
    ap.add_argument("--cc", help="C compiler for mtdprobe (default: the "
                    "machine's own, or the cross compiler for --arch)")
    opts = ap.parse_args()

    t0 = time.monotonic()
    if not opts.no_prepare:
        vm.prepare(opts.cache, opts.arch)
    t_prep = time.monotonic() - t0
    work = opts.work or tempfile.mkdtemp(prefix="kernel-selftest-")
    os.makedirs(work, exist_ok=True)
    binary = build_probe(work, opts.cc or CROSS_CC.get(opts.arch))
    if binary is None:
        binary = os.path.join(work, "wrapper.sh")
        with open(binary, "wb") as f:
            f.write(WRAPPER)
        os.chmod(binary, 0o755)
    jobs, expects = cases(binary.endswith("mtdprobe"))

    stats = {}
    results = vm.run_jobs(binary, jobs, opts.cache, os.path.join(work, "vm"),
                          stats=stats)
    passed = failed = 0
    for job, res, exp in zip(jobs, results, expects):
        bad = check(job, res, exp)
        if bad:
            failed += 1
            print("FAIL %s (%.2f s)" % (job["name"], res["elapsed"]))
            for b in bad:
                print("    " + b)
        else:
            passed += 1
            print("ok   %s (%.2f s)" % (job["name"], res["elapsed"]))
    guest_jobs = stats["guest_done_seconds"] - stats["guest_ready_seconds"]
    print("timing: prepare %.1f s, initramfs %.1f s, qemu %.1f s "
          "(guest ready at %.1f s uptime), %d jobs in %.1f s guest time "
          "= %.2f s per job"
          % (t_prep, stats["build_seconds"], stats["qemu_seconds"],
             stats["guest_ready_seconds"], len(jobs), guest_jobs,
             guest_jobs / len(jobs)))
    print("%d passed, %d failed" % (passed, failed))
    if not opts.work and failed == 0:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
