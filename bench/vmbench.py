"""The benchmark's real-driver tier: one boot of the kernel tier's guest, every case timed.

Reuses tests/kernel/vm.py for the kernel, busybox, modules and the initramfs writer, and
runs its own guest script: the tier's job runner restores and archives all four devices
around every run, which is right for tests and far too heavy for timing. Here the guest
restores a case's starting flash once, then runs the tool, the baseline and the peer tools
alternately under `measure`, once more under strace -c, and prints every figure on the
console, which the host reads back.
"""

import hashlib
import os
import re
import shlex
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "kernel"))

import vm  # noqa: E402
import minimum  # noqa: E402
import workload  # noqa: E402
from results import Row, Sample, log, parse_strace  # noqa: E402

MTD_UTILS = ("flash_erase", "flashcp")

INIT = r"""#!/bin/sh
export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp
fail() { echo "@@FAIL $*"; poweroff -f; sleep 30; }
for m in virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_blk mtd; do
    insmod /lib/modules/$m.ko || fail "insmod $m"
done
k=0
for d in vda vdb vdc vdd; do
    while [ ! -b /dev/$d ]; do
        k=$((k+1)); [ $k -gt 1000 ] && fail "no /dev/$d"
        usleep 10000
    done
done
insmod /lib/modules/block2mtd.ko @@B2M@@ || fail "insmod block2mtd"
k=0
while [ ! -c /dev/mtd3 ]; do
    k=$((k+1)); [ $k -gt 500 ] && fail "no /dev/mtd3"
    usleep 10000
done
echo "@@T ready $(cut -d' ' -f1 /proc/uptime)"
cd /b
. /bench.sh
echo "@@DONE $(cut -d' ' -f1 /proc/uptime)"
sync
poweroff -f
sleep 30
"""

# Shell functions the generated script uses.
PRELUDE = r"""
mask() { sed -E 's/^(env|env->data) = [0-9a-f]+$/\1 = ADDR/' "$1" | md5sum | cut -d' ' -f1; }
flashsum() { cat /dev/mtd0 /dev/mtd1 /dev/mtd2 /dev/mtd3 | md5sum | cut -d' ' -f1; }
setflash() {
    cat /st/$1 > /dev/mtd0 && cat /st/$2 > /dev/mtd1 && cat /st/$3 > /dev/mtd2 \
        && cat /st/$4 > /dev/mtd3 || fail "cannot restore the flash"
}
timed() { # case program argv...
    c=$1; p=$2; shift 2
    sync
    r=$(measure /tmp/out /tmp/err "$@")
    echo "@@M $c $p $r"
    [ "${r##* }" = 0 ] || { echo "@@ERR $c $p"; head -c 600 /tmp/err; echo; }
}
validate() { # case program argv...
    c=$1; p=$2; shift 2
    "$@" > /tmp/out 2>/tmp/err </dev/null
    echo "@@V $c $p $? $(mask /tmp/out) $(flashsum)"
}
traced() { # case program argv...
    c=$1; p=$2; shift 2
    strace -c -o /tmp/strace "$@" > /tmp/out 2>/tmp/err </dev/null
    echo "@@S $c $p"
    cat /tmp/strace
    echo "@@E"
}
"""


def ensure_mtd_utils(cache_dir):
    """flash_erase and flashcp from Debian's mtd-utils, unpacked into the cache."""
    root = os.path.join(cache_dir, "bench-mtd-utils")
    sbin = os.path.join(root, "usr", "sbin")
    if all(os.path.exists(os.path.join(sbin, t)) for t in MTD_UTILS):
        return sbin
    debs = os.path.join(cache_dir, "debs")
    os.makedirs(debs, exist_ok=True)
    found = [d for d in os.listdir(debs) if d.startswith("mtd-utils_")]
    if not found:
        subprocess.run(["apt-get", "download", "mtd-utils"], cwd=debs, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        found = [d for d in os.listdir(debs) if d.startswith("mtd-utils_")]
    subprocess.run(["dpkg-deb", "-x", os.path.join(debs, found[0]), root], check=True)
    return sbin


def q(words):
    return " ".join(shlex.quote(w) for w in words)


def guest_script(cases, states, rounds, has_strace):
    """The generated /bench.sh, and the names of the programs each case runs."""
    lines = [PRELUDE]
    lines.append("traced startup base baseline startup" if has_strace else "")
    for case in cases:
        c = case.name
        lines.append("echo '@@C %s'" % c)
        state = " ".join(states[c])
        progs = [("base", ["baseline"] + case.args), ("tool", ["flashtool"] + case.args)]
        for peer, cmd in sorted(workload.peer_commands(case, "/usr/local/bin/").items()):
            progs.append((peer, ["sh", "-c", cmd]))
        for p, argv in progs:
            lines.append("setflash %s; validate %s %s %s" % (state, c, p, q(argv)))
        lines.append("setflash %s" % state)
        for r in range(rounds):
            order = progs if r % 2 == 0 else progs[::-1]
            for p, argv in order:
                lines.append("timed %s %s %s" % (c, p, q(argv)))
        if has_strace and not case.memory_only:
            for p, argv in progs[:2]:
                lines.append("traced %s %s %s" % (c, p, q(argv)))
    return "\n".join(lines) + "\n"


def add_program(cpio, path, name, seen):
    with open(path, "rb") as f:
        cpio.file("usr/local/bin/" + name, f.read(), 0o755)
    for lib in vm._shared_libs(path):
        if lib not in seen:
            seen.add(lib)
            with open(lib, "rb") as f:
                cpio.file(lib, f.read(), 0o755)


def build_initramfs(path, cache_dir, programs, files, cases, rounds, has_strace):
    vmlinuz, moddir, busybox = vm._kernel_paths(cache_dir)
    states = {}
    images = {}
    for case in cases:
        hashes = []
        for name in workload.DEVICES:
            data = case.flash[name]
            h = hashlib.sha256(data).hexdigest()[:24]
            images[h] = data
            hashes.append(h)
        states[case.name] = hashes
    b2m = " ".join("block2mtd=/dev/vd%s,%d" % ("abcd"[n], erase)
                   for n, (_, _, erase) in enumerate(vm.FLASH))
    with open(path, "wb") as f:
        c = vm.Cpio(f)
        for d in ("dev", "proc", "sys", "tmp", "bin", "sbin", "usr/bin", "usr/sbin",
                  "usr/local/bin", "lib/modules", "b", "st"):
            c.mkdir(d)
        c.chardev("dev/console", 5, 1)
        c.chardev("dev/null", 1, 3, 0o666)
        with open(busybox, "rb") as bf:
            c.file("bin/busybox", bf.read(), 0o755)
        applets = subprocess.run([busybox, "--list-full"], capture_output=True, text=True,
                                 check=True).stdout.split()
        for a in applets:
            if a != "bin/busybox":
                c.symlink(a, "/bin/busybox")
        for mod in vm.MODULES:
            with open(os.path.join(moddir, mod), "rb") as mf:
                c.file("lib/modules/" + os.path.basename(mod), mf.read())
        seen = set()
        for name, prog in programs.items():
            add_program(c, prog, name, seen)
        c.file("init", INIT.replace("@@B2M@@", b2m).encode(), 0o755)
        c.file("bench.sh", guest_script(cases, states, rounds, has_strace).encode(), 0o755)
        for name, data in files.items():
            c.file("b/" + name, data)
        for h, data in images.items():
            c.file("st/" + h, data)
        c.trailer()
    return vmlinuz


def boot(vmlinuz, initrd, workdir, timeout, icount):
    disks = []
    for name, size, _ in vm.FLASH:
        p = os.path.join(workdir, "flash-%s.img" % name)
        with open(p, "wb") as f:
            f.truncate(size)
        disks.append(p)
    console = os.path.join(workdir, "console.log")
    mem_mb = 512 + 3 * (os.path.getsize(initrd) >> 20)
    cmd = ["qemu-system-x86_64", "-accel", "tcg", "-m", str(mem_mb), "-nodefaults",
           "-no-user-config", "-display", "none", "-no-reboot", "-serial", "file:" + console,
           "-kernel", vmlinuz, "-initrd", initrd,
           "-append", "console=ttyS0 panic=-1 quiet rdinit=/init"]
    for p in disks:
        cmd += ["-drive", "file=%s,format=raw,if=virtio,cache=unsafe" % p]
    if icount:
        # While the guest runs, its clock counts executed instructions (1 ns each) instead
        # of host time, so a busy host no longer shows up as noise in the guest's timings;
        # while it idles (waiting for the disk), the clock follows the host.
        cmd += ["-icount", "shift=0,sleep=on"]
    subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.STDOUT, timeout=timeout, check=True)
    with open(console, "rb") as f:
        text = f.read().decode("utf-8", "replace").replace("\r", "")
    fail = re.search(r"@@FAIL (.*)", text)
    if fail or "@@DONE" not in text:
        raise vm.VMError("guest failed (%s); console tail:\n%s"
                         % (fail.group(1) if fail else "no @@DONE", vm._tail(console)))
    return text


def parse_console(console):
    samples = {}     # (case, prog) -> [Sample]
    checks = {}      # (case, prog) -> (status, stdout md5, flash md5)
    straces = {}     # (case, prog) -> {syscall: calls}
    lines = console.splitlines()
    i = 0
    while i < len(lines):
        w = lines[i].split()
        if w and w[0] == "@@M" and len(w) == 8:
            samples.setdefault((w[1], w[2]), []).append(Sample(" ".join(w[3:])))
        elif w and w[0] == "@@V" and len(w) == 6:
            checks[(w[1], w[2])] = (int(w[3]), w[4], w[5])
        elif w and w[0] == "@@S" and len(w) == 3:
            j = i + 1
            while j < len(lines) and lines[j].strip() != "@@E":
                j += 1
            straces[(w[1], w[2])] = parse_strace("\n".join(lines[i + 1:j]))
            i = j
        i += 1
    return samples, checks, straces


def run(tool, baseline, measure, cases, files, rounds, workdir, notes, icount=True):
    """Run every case in the guest; returns run.Row objects with tier "vm"."""
    os.makedirs(workdir, exist_ok=True)
    cache = vm.default_cache_dir()
    log("vm: preparing the kernel cache in " + cache)
    vm.prepare(cache)
    sbin = ensure_mtd_utils(cache)
    programs = {"flashtool": tool, "baseline": baseline, "measure": measure,
                "dd": shutil.which("dd") or "/bin/dd"}
    for t in MTD_UTILS:
        programs[t] = os.path.join(sbin, t)
    strace = shutil.which("strace")
    if strace:
        programs["strace"] = strace
    all_files = dict(files)
    all_files.update(workload.split_files(files, workload.base_flash()))
    initrd = os.path.join(workdir, "initrd.cpio")
    vmlinuz = build_initramfs(initrd, cache, programs, all_files, cases, rounds, bool(strace))
    log("vm: booting (initramfs %d MiB)" % (os.path.getsize(initrd) >> 20))
    console = boot(vmlinuz, initrd, workdir, timeout=900, icount=icount)
    samples, checks, straces = parse_console(console)
    ready = re.search(r"@@T ready ([0-9.]+)", console)
    done = re.search(r"@@DONE ([0-9.]+)", console)
    if ready and done:
        notes.append("vm tier: Debian kernel %s under qemu TCG, block2mtd (erase 8 KiB mtd0, "
                     "64 KiB others), guest clock %s; the guest ran the cases in %.0f s of its time"
                     % (open(os.path.join(cache, "ready")).read().strip(),
                        "= executed instructions (-icount shift=0)" if icount else "= host time",
                        float(done.group(1)) - float(ready.group(1))))
    startup = straces.get(("startup", "base"))
    rows = []
    for case in cases:
        row = Row(case, "vm")
        tool_check = checks.get((case.name, "tool"))
        base_check = checks.get((case.name, "base"))
        if tool_check and base_check:
            if base_check[0] != 0:
                row.note = "baseline failed"
            elif tool_check[0] != 0:
                row.note = "tool exits %d" % tool_check[0]
            else:
                row.tool_ok = True
                if tool_check[1] != base_check[1]:
                    row.note = "output differs from baseline"
                if tool_check[2] != base_check[2]:
                    row.note = "flash differs from baseline"
        if row.tool_ok:
            row.tool = samples.get((case.name, "tool"), [])
        row.base = samples.get((case.name, "base"), [])
        for peer in ("dd", "flashcp"):
            got = [s for s in samples.get((case.name, peer), []) if s.status == 0]
            peer_check = checks.get((case.name, peer))
            if peer_check and base_check and peer_check[2] != base_check[2]:
                row.note = (row.note + "; " if row.note else "") + peer + " leaves other flash"
            if got:
                row.peers[peer] = got
        row.sys_base = straces.get((case.name, "base"))
        if row.tool_ok:
            row.sys_tool = straces.get((case.name, "tool"))
        io = minimum.minimum(case.name, case.size)
        if io is not None and startup is not None and row.sys_base is not None:
            total = minimum.with_startup(io, startup)
            for kind, count in row.sys_base.items():
                if kind not in minimum.IO_KINDS:
                    total[kind] = count
            row.sys_min = total
            if {k: v for k, v in total.items() if v} != {k: v for k, v in row.sys_base.items() if v}:
                diff = ["%s%+d" % (k, row.sys_base.get(k, 0) - total.get(k, 0))
                        for k in sorted(set(total) | set(row.sys_base))
                        if row.sys_base.get(k, 0) != total.get(k, 0)]
                row.note = (row.note + "; " if row.note else "") + "baseline vs min: " + " ".join(diff)
        rows.append(row)
    return rows
