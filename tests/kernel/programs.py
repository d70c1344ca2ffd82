#!/usr/bin/env python3
"""The program table: real programs (coreutils, diffutils, mtd-utils, and fileio.c doing
Python's calls) against each flash device, on the kernel's MTD driver and under the flash
simulator, which must give the same bytes, output and status.

  programs.py --machine amd64|nor --cache CACHE --flashsim BUILD/flashsim [--work DIR]

One boot of the kernel tier's machine runs every row: amd64 is block2mtd (the simulator's
--ram mode answers for it), nor the CFI NOR driver on qemu's zynq board (the simulator's
default NOR mode). The guest runs the same upstream programs the build machine runs
under the simulator: the build machine's own binaries in the amd64 guest, Debian's armhf
builds of the same versions (prepare-nor.sh) in the NOR guest, instead of busybox's applets,
whose messages and calls differ. Every row then runs under the simulator in --dir and
--image modes; in --image mode the image keeps its size and every byte of it must be the
real driver's. The rows of fileio also run in Python itself under the simulator (the
guests have no Python), held against fileio's result on the real driver.
"""
import argparse
import os
import pickle
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import vm  # noqa: E402

SIZES = {name: size for name, size, _ in vm.FLASH}
OFFSETS = {"mtd0": 0, "mtd1": 0x20000, "mtd2": 0x100000, "mtd3": 0x390000}
IMAGE_SIZE = 0x400000
COREUTILS = ("dd", "cat", "head", "tail", "sha256sum", "cp", "od", "wc")
MTD_UTILS = ("flash_erase", "flashcp", "mtd_debug")


def noise(seed, size):
    return random.Random(seed).randbytes(size)


def ff(size):
    return b"\xff" * size


# Old data where writes must meet it, erased space where they may land.
FLASH = {
    "mtd0": noise("mtd0", SIZES["mtd0"]),
    "mtd1": noise("mtd1", 0x20000) + ff(SIZES["mtd1"] - 0x20000),
    "mtd2": noise("mtd2", 0x10000) + ff(SIZES["mtd2"] - 0x10000),
    "mtd3": ff(0x10000) + noise("mtd3", 0x10000) + ff(SIZES["mtd3"] - 0x20000),
}
FILES = {"n1k": noise("n1k", 1024), "n4k": noise("n4k", 4096), "n64k": noise("n64k", 0x10000)}

# 32 bytes for 0x100 of mtd0: the first 16 only clear bits of the old ones, the 17th needs
# bits set (unless the old byte is 0xFF), the rest too. A NOR write stores the first 17 as
# old AND new and stops there.
OLD = FLASH["mtd0"][0x100:0x120]
PARTWAY = bytes(b & 0x0F for b in OLD[:16]) + b"\xff" * 16

PY_READ = ("python3 -c 'import sys; sys.stdout.buffer.write(open(\"/dev/mtd1\", \"rb\").read())'"
           " | sha256sum")
PY_CALLS = r"""python3 - <<'PY'
import os, sys
def call(f):
    try:
        out = f()
        sys.stdout.buffer.write(out if isinstance(out, bytes) else b"%d\n" % out)
    except OSError as e:
        print("OSError: [Errno %d] %s" % (e.errno, e.strerror))
        sys.exit(1)
r = os.open("/dev/mtd2", os.O_RDONLY)
call(lambda: os.pread(r, 16, 0xFFF8))
w = os.open("/dev/mtd3", os.O_RDWR)
call(lambda: os.pwrite(w, bytes.fromhex("00112233"), 0x200))
w0 = os.open("/dev/mtd0", os.O_RDWR)
call(lambda: os.pwrite(w0, bytes.fromhex("ffffffff"), 0x10))
PY"""

# name -> (shell script, the same through Python's own calls or None)
ROWS = [
    ("dd read bs=1k skip", "dd if=/dev/mtd1 bs=1k skip=3 count=5 status=none | sha256sum", None),
    ("dd read bs=64k whole", "dd if=/dev/mtd1 bs=64k status=none | wc -c", None),
    ("dd read bs=64k skip to the last block", "dd if=/dev/mtd3 bs=64k skip=6 status=none | wc -c",
     None),
    ("dd write bs=1k seek conv=notrunc", "dd if=n1k of=/dev/mtd3 bs=1k seek=1 conv=notrunc "
     "status=none; echo status $?", None),
    ("dd write bs=1k seek (truncates)", "dd if=n1k of=/dev/mtd2 bs=1k seek=65 status=none; "
     "echo status $?", None),
    ("dd write bs=64k seek conv=notrunc", "dd if=n64k of=/dev/mtd2 bs=64k seek=2 conv=notrunc "
     "status=none; echo status $?", None),
    ("dd write over old data", "dd if=n1k of=/dev/mtd0 bs=1k seek=2 conv=notrunc status=none; "
     "echo status $?", None),
    ("dd write past the end", "dd if=n64k of=/dev/mtd3 bs=64k seek=7 conv=notrunc status=none; "
     "echo status $?", None),
    ("cat whole devices", "cat /dev/mtd2 | wc -c; cat /dev/mtd0 | sha256sum", None),
    ("cat into a device", "cat n1k > /dev/mtd3; echo status $?", None),
    ("head -c", "head -c 100 /dev/mtd0 | od -An -tx1", None),
    ("tail -c", "tail -c 100 /dev/mtd0 | od -An -tx1; tail -c 5 /dev/mtd2 | od -An -tx1", None),
    ("cmp", "cmp n1k /dev/mtd0; echo status $?; head -c 1024 /dev/mtd0 > a; cmp a /dev/mtd0; "
     "echo status $?", None),
    ("sha256sum", "sha256sum /dev/mtd1 /dev/mtd3", None),
    ("cp from and to a device", "cp /dev/mtd3 copy && sha256sum copy; cp n1k /dev/mtd3; "
     "echo status $?", None),
    ("od -j -N", "od -An -tx1 -j 4096 -N 32 /dev/mtd0", None),
    ("read the whole device", "fileio read /dev/mtd1 | sha256sum", PY_READ),
    ("pread and pwrite", "fileio pread /dev/mtd2 16 0xFFF8; "
     "fileio pwrite /dev/mtd3 0x200 00112233; fileio pwrite /dev/mtd0 0x10 ffffffff", PY_CALLS),
    ("pwrite that stops part-way", f"fileio pwrite /dev/mtd0 0x100 {PARTWAY.hex()}", None),
    ("flash_erase", "flash_erase -q /dev/mtd3 0x10000 1; echo status $?", None),
    ("flash_erase unaligned", "flash_erase -q /dev/mtd0 0x100 1; echo status $?", None),
    ("flashcp", "flashcp n4k /dev/mtd3; echo status $?", None),
    ("mtd_debug info", "mtd_debug info /dev/mtd0; mtd_debug info /dev/mtd2", None),
    ("mtd_debug read", "mtd_debug read /dev/mtd1 0x100 0x200 out; sha256sum out", None),
    ("mtd_debug write", "mtd_debug write /dev/mtd3 0x100 4096 n4k; echo status $?", None),
    ("mtd_debug write over old data", "mtd_debug write /dev/mtd0 0 1024 n1k; echo status $?", None),
    ("mtd_debug erase", "mtd_debug erase /dev/mtd3 0x10000 0x10000; echo status $?", None),
    ("mtd_debug erase unaligned", "mtd_debug erase /dev/mtd0 0x4100 0x2000; echo status $?", None),
    ("erase, then write", "mtd_debug erase /dev/mtd0 0x2000 0x2000 && "
     "mtd_debug write /dev/mtd0 0x2000 1024 n1k; echo status $?", None),
]

# Where the simulator knowingly answers otherwise: (row, machine) -> why.
KNOWN = {
    ("mtd_debug erase unaligned", "amd64"):
        "block2mtd erases the 4 KiB pages an unaligned range touches; the simulator refuses "
        "the range with EINVAL in --ram mode too, as the device's NOR driver does",
}

WRAPPER = b'#!/bin/sh\nexec "$@"\n'


def guest_programs(machine, cache, work):
    """{name: host path} of the programs for the guest, and the sysroots of their libraries."""
    fileio = os.path.join(work, "fileio-guest")
    cc = "cc" if machine == "amd64" else "arm-linux-gnueabihf-gcc"
    subprocess.run([cc, "-static", "-O2", "-o", fileio, os.path.join(HERE, "fileio.c")],
                   check=True)
    programs = {"fileio": fileio}
    if machine == "amd64":
        for name in COREUTILS + ("cmp",) + MTD_UTILS:
            programs[name] = os.path.realpath(shutil.which(name) or "/usr/sbin/" + name)
        return programs, []
    tree = os.path.join(cache, "nor", "mtd-utils")
    for name in COREUTILS + ("cmp",) + MTD_UTILS:
        programs[name] = next(p for p in (os.path.join(tree, d, name) for d in
                                          ("bin", "usr/bin", "usr/sbin")) if os.path.exists(p))
    return programs, [tree, "/usr/arm-linux-gnueabihf"]


def run_real(machine, cache, work):
    programs, sysroots = guest_programs(machine, cache, work)
    wrapper = os.path.join(work, "wrapper.sh")
    with open(wrapper, "wb") as f:
        f.write(WRAPPER)
    os.chmod(wrapper, 0o755)
    # busybox's shell runs its own applet of a name before any program on PATH: functions
    # come first and name the programs by their paths
    prelude = "".join(f'{name}() {{ (exec -a {name} /usr/local/bin/{name} "$@"); }}\n'
                      for name in programs)
    jobs = [{"name": name, "args": ["sh", "-c", prelude + script], "files": FILES, "flash": FLASH}
            for name, script, _ in ROWS]
    return vm.run_jobs(wrapper, jobs, cache, os.path.join(work, "vm"), sysroots=sysroots,
                       machine="nor" if machine == "nor" else None, programs=programs)


def run_sim(flashsim, script, mode, ram, bindir, work):
    """One row under the simulator; its result in the real driver's form."""
    top = tempfile.mkdtemp(dir=work)
    cwd = os.path.join(top, "w")
    os.makedirs(cwd)
    for name, data in FILES.items():
        with open(os.path.join(cwd, name), "wb") as f:
            f.write(data)
    if mode == "dir":
        where = ["--dir", os.path.join(top, "dev")]
        os.makedirs(where[1])
        for name, data in FLASH.items():
            with open(os.path.join(where[1], name), "wb") as f:
                f.write(data)
    else:
        where = ["--image", os.path.join(top, "flash.img")]
        with open(where[1], "wb") as f:
            f.write(b"".join(FLASH[name] for name, _, _ in vm.FLASH))
    env = {k: v for k, v in os.environ.items() if not k.startswith("FLASHSIM")}
    # the guest's environment: no locale (GNU cmp says "char" there, not "byte")
    env = {k: v for k, v in env.items()
           if k not in ("LANG", "LANGUAGE") and not k.startswith("LC_")}
    env["PATH"] = bindir + ":/usr/sbin:/sbin:" + env.get("PATH", "/usr/bin:/bin")
    proc = subprocess.run([sys.executable, flashsim] + where + (["--ram"] if ram else [])
                          + ["--", "sh", "-c", script], cwd=cwd, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    flash, problems = {}, []
    if mode == "dir":
        for name, _, _ in vm.FLASH:
            with open(os.path.join(where[1], name), "rb") as f:
                flash[name] = f.read()
    else:
        with open(where[1], "rb") as f:
            image = f.read()
        if len(image) != IMAGE_SIZE:
            problems.append(f"the image is {len(image)} bytes, not {IMAGE_SIZE}")
        for name, _, _ in vm.FLASH:
            flash[name] = image[OFFSETS[name]:OFFSETS[name] + SIZES[name]]
    files = {}
    for name in sorted(os.listdir(cwd)):
        with open(os.path.join(cwd, name), "rb") as f:
            files[name] = f.read()
    shutil.rmtree(top, ignore_errors=True)
    return {"status": proc.returncode, "stdout": proc.stdout, "stderr": proc.stderr,
            "flash": flash, "files": files}, problems


def differences(real, sim):
    out = []
    for key in ("status", "stdout", "stderr"):
        if real[key] != sim[key]:
            out.append(f"{key}: driver {real[key]!r:.300}, simulator {sim[key]!r:.300}")
    for name, _, _ in vm.FLASH:
        a, b = real["flash"][name], sim["flash"][name]
        if a != b:
            first = next(i for i in range(min(len(a), len(b))) if a[i] != b[i]) \
                if len(a) == len(b) else 0
            out.append(f"{name}: differs from 0x{first:x} (driver {a[first:first + 4].hex()}, "
                       f"simulator {b[first:first + 4].hex()})")
    if real["files"] != sim["files"]:
        out.append(f"working files differ: {sorted(real['files'])} / {sorted(sim['files'])}")
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--machine", choices=("amd64", "nor"), default="amd64")
    parser.add_argument("--cache", default=vm.default_cache_dir())
    parser.add_argument("--flashsim", required=True, help="the simulator's launcher command (BUILD/flashsim)")
    parser.add_argument("--work")
    parser.add_argument("--no-prepare", action="store_true")
    parser.add_argument("--reuse", action="store_true",
                        help="take the real driver's results saved in --work by an earlier run")
    args = parser.parse_args()
    args.flashsim = os.path.abspath(args.flashsim)
    if not args.no_prepare:
        # the simulator's side (and the amd64 guest) runs the build machine's mtd-utils
        subprocess.run(["sh", os.path.join(HERE, "..", "..", "tools", "install-deps"),
                        "mtd-utils"], check=True)
        vm.prepare(args.cache, args.machine)
    work = args.work or tempfile.mkdtemp(prefix="programs-")
    os.makedirs(work, exist_ok=True)
    started = time.monotonic()
    saved = os.path.join(work, "real.pickle")
    if args.reuse and os.path.exists(saved):
        with open(saved, "rb") as f:
            real = pickle.load(f)
    else:
        real = run_real(args.machine, args.cache, work)
        with open(saved, "wb") as f:
            pickle.dump(real, f)
    booted = time.monotonic() - started
    bindir = os.path.join(work, "bin")
    os.makedirs(bindir, exist_ok=True)
    subprocess.run(["cc", "-O2", "-o", os.path.join(bindir, "fileio"),
                    os.path.join(HERE, "fileio.c")], check=True)
    ram = args.machine == "amd64"
    driver = "block2mtd" if ram else "CFI NOR"
    passed = failed = 0
    for (name, script, python), result in zip(ROWS, real):
        shown = result["stdout"].decode("latin-1").strip().replace("\n", " | ")
        print(f"---- {name}: {driver}: status {result['status']}: {shown[:160]}")
        if result["stderr"]:
            print(f"     stderr: {result['stderr'].decode('latin-1').strip()[:200]}")
        for label, sim_script in (("", script), (" (Python)", python)):
            if sim_script is None:
                continue
            for mode in ("dir", "image"):
                sim, problems = run_sim(args.flashsim, sim_script, mode, ram, bindir, work)
                problems += differences(result, sim)
                what = f"{name}{label}, simulator --{mode}{' --ram' if ram else ''}"
                if problems and (name, args.machine) in KNOWN:
                    passed += 1
                    print(f"known {what}: {KNOWN[name, args.machine]}")
                elif problems:
                    failed += 1
                    print(f"FAIL {what}")
                    for p in problems:
                        print("     " + p)
                else:
                    passed += 1
                    print(f"ok   {what}")
    print(f"program table on {driver} ({args.machine} machine): {len(ROWS)} rows in one boot "
          f"({booted:.0f} s), {time.monotonic() - started:.0f} s in all")
    print(f"{passed} passed, {failed} failed")
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
