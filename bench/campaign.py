#!/usr/bin/env python3
"""What a power-cut campaign costs, against its targets and against its floor: running
its check once per cut point on the same cores.

    python3 bench/campaign.py [--build DIR] [-j N] [--only NAME,...]

Cases (each on a 4 MiB image in a folder of its own, the check verifying the new root
file system through the simulator, so that a window opens and closes):
  writeall    flashtool writeall of a 4 MiB image, --all          target < 30 s
  writecramfs flashtool writecramfs of 2.5 MiB, --all             target < 15 s
  sampled     writeall, sampled with the exact edges searched     target < 5 s
              (its check covers the first 2,300,000 bytes of the root file system)
and, for both --all cases, the floor: the same check run as many times, on a copy of the
flash, N at a time (xargs -P), and the campaign's cost over it (target <= 1.25), in wall
time and in processor time (which a machine shared with other work disturbs less).
  torn        --all --torn against --all over writecramfs of 128 KiB, 512 KiB and 1 MiB
              (twice the cut points)                              target <= 2.5 x at each
  big         --all over a write of --big-size bytes (1 MiB; dd, 4 KiB a write) on a 64 MiB
              NOR layout against the device's 4 MiB layout: the cost per cut point
              (target <= 1.3 x) and the most TMPDIR holds (target <= 2.5 x the flash)
Figures are printed, never judged by a test.
"""
import argparse
import os
import platform
import resource
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
ROOTFS, ROOTFS_SIZE = 0x100000, 0x290000
CHECK = "flashtool checkcramfs rootfs.crc rootfs.img"


def noise(seed, size):
    import random
    return random.Random(seed).randbytes(size)


def cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(argv, cwd, env):
    """Wall seconds, processor seconds (every process waited for) and the result."""
    began, used = time.monotonic(), cpu()
    done = subprocess.run(argv, cwd=cwd, env=env, capture_output=True, text=True)
    return time.monotonic() - began, cpu() - used, done


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("-j", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--only", default="writeall,writecramfs,sampled,torn,big")
    parser.add_argument("--big-size", type=int, default=1 << 20)
    parser.add_argument("--rounds", type=int, default=2,
                        help="campaign and floor each run this many times; the least is "
                             "kept, so that a burst of other work counts less")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    flashsim = os.path.join(build, "flashsim")
    library = os.path.join(build, "tools", "flashsim", "libflashsim.so")
    if not os.path.exists(flashsim) or not os.path.exists(library):
        sys.exit(f"bench/campaign.py: no flashsim in {build}: build it first")
    only = set(args.only.split(","))
    work = tempfile.mkdtemp(prefix="flashsim-bench-")
    env = {k: v for k, v in os.environ.items() if not k.startswith("FLASHSIM_")}
    env["PATH"] = build + os.pathsep + env["PATH"]
    try:
        whole = noise("whole", 0x400000)
        rootfs = noise("rootfs", 2500 * 1024)
        files = {"whole.img": whole, "cramfs.img": rootfs,
                 "start.img": noise("start", 0x400000)}
        cases = {"writeall": (["flashtool", "writeall", "whole.img"],
                              whole[ROOTFS:ROOTFS + ROOTFS_SIZE]),
                 "writecramfs": (["flashtool", "writecramfs", "cramfs.img"], rootfs)}
        for name, data in files.items():
            with open(os.path.join(work, name), "wb") as f:
                f.write(data)
        with open("/proc/loadavg") as f:
            load = f.read().split()[0]
        print(f"# {platform.node()} {platform.machine()}, {os.cpu_count()} CPUs, load "
              f"{load} at the start, -j {args.j}, {time.strftime('%Y-%m-%d %H:%M')}")
        print(f"{'case':<12} {'cut points':>10} {'campaign':>9} {'floor':>8} {'ratio':>6} "
              f"{'cpu ratio':>9}  target")
        for name in ("writeall", "writecramfs", "sampled"):
            if name not in only:
                continue
            script, image = cases["writeall" if name == "sampled" else name]
            if name == "sampled":
                # The check covers a prefix of the root file system: its window ends in
                # the middle of the run of writes that sampling thins out, and the
                # campaign searches for the exact operation.
                image = image[:2300000]
            with open(os.path.join(work, "rootfs.img"), "wb") as f:
                f.write(image)
            with open(os.path.join(work, "rootfs.crc"), "w") as f:
                f.write(f"{zlib.crc32(image):08x}\n")
            shutil.copyfile(os.path.join(work, "start.img"), os.path.join(work, "flash.img"))
            every = [] if name == "sampled" else ["--all"]
            argv = ([flashsim, "campaign", "--image", "flash.img", "--check", CHECK, "-j",
                     str(args.j)] + every + ["--"] + script)
            rounds = [timed(argv, work, env) for _ in range(1 if name == "sampled" else
                                                              args.rounds)]
            seconds = min(r[0] for r in rounds)
            used = min(r[1] for r in rounds)
            done = rounds[0][2]
            rows = [l for l in done.stdout.splitlines() if l.startswith("cut ")]
            windows = [l for l in done.stdout.splitlines() if l.startswith("window: ")]
            if done.returncode not in (0, 1) or not rows:
                print(f"{name}: the campaign failed: {done.stderr.strip()}")
                continue
            target = {"writeall": 30, "writecramfs": 15, "sampled": 5}[name]
            floor_text = ratio_text = cpu_text = "-"
            ratio = None
            if name != "sampled":
                floors = [measure_floor(work, env, library, len(rows) + 1, args.j)
                          for _ in range(args.rounds)]
                floor = min(f[0] for f in floors)
                floor_used = min(f[1] for f in floors)
                ratio = seconds / floor
                floor_text, ratio_text = f"{floor:.1f} s", f"{ratio:.2f}"
                cpu_text = f"{used / floor_used:.2f}"
            verdict = "met" if seconds < target and (ratio is None or ratio <= 1.25) else "MISSED"
            print(f"{name:<12} {len(rows):>10} {seconds:>7.1f} s {floor_text:>8} "
                  f"{ratio_text:>6} {cpu_text:>9}  < {target} s{', <= 1.25' if ratio else ''}: "
                  f"{verdict}")
            for line in windows:
                print(f"    {line[:150]}")
        if "torn" in only:
            measure_torn(work, env, flashsim, args.j, args.rounds)
        if "big" in only:
            measure_big(work, env, flashsim, args.j, args.big_size)
        with open("/proc/loadavg") as f:
            print(f"# load {f.read().split()[0]} at the end")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def measure_torn(work, env, flashsim, jobs, rounds):
    """--all --torn against --all over writecramfs of a few sizes: what the cuts inside
    operations cost over the cuts after them, in wall and processor time."""
    print(f"{'torn':<12} {'size':>10} {'points':>13} {'--all':>9} {'--torn':>9} {'ratio':>6} "
          f"{'cpu ratio':>9}  target")
    for size in (128 << 10, 512 << 10, 1 << 20):
        image = noise("torn", size)
        for name, data in (("cramfs.img", image), ("rootfs.img", image)):
            with open(os.path.join(work, name), "wb") as f:
                f.write(data)
        with open(os.path.join(work, "rootfs.crc"), "w") as f:
            f.write(f"{zlib.crc32(image):08x}\n")
        figures = []
        for torn in ([], ["--torn", "--seed", "1"]):
            argv = ([flashsim, "campaign", "--image", "flash.img", "--check", CHECK, "-j",
                     str(jobs), "--all"] + torn + ["--", "flashtool", "writecramfs",
                                                  "cramfs.img"])
            runs = []
            for _ in range(rounds):
                shutil.copyfile(os.path.join(work, "start.img"), os.path.join(work, "flash.img"))
                runs.append(timed(argv, work, env))
            done = runs[0][2]
            points = sum(l.startswith("cut ") for l in done.stdout.splitlines())
            if done.returncode not in (0, 1) or not points:
                print(f"torn {size}: the campaign failed: {done.stderr.strip()}")
                return
            figures.append((min(r[0] for r in runs), min(r[1] for r in runs), points))
        (plain, plain_cpu, count), (torn, torn_cpu, torn_count) = figures
        ratio, cpu_ratio = torn / plain, torn_cpu / plain_cpu
        print(f"{'':<12} {size >> 10:>6} KiB {count:>6}/{torn_count:<6} {plain:>7.1f} s "
              f"{torn:>7.1f} s {ratio:>6.2f} {cpu_ratio:>9.2f}  <= 2.5: "
              f"{'met' if max(ratio, cpu_ratio) <= 2.5 else 'MISSED'}")


BIG_LAYOUT = ('mtd0: 00100000 00010000 "boot"\nmtd1: 00300000 00010000 "kernel"\n'
              'mtd2: 03c00000 00010000 "rootfs"\n')


def measure_big(work, env, flashsim, jobs, size):
    """--all over one dd write of size bytes on /dev/mtd2 of a 64 MiB layout and of the
    device's 4 MiB one: wall time per cut point, and the peak room TMPDIR takes (sampled
    every 10 ms), which must grow with what is written, not with the flash."""
    print(f"{'big':<12} {'flash':>10} {'points':>7} {'campaign':>9} {'per point':>10} "
          f"{'TMPDIR peak':>12}  target")
    data = noise("big", size)
    with open(os.path.join(work, "data.img"), "wb") as f:
        f.write(data)
    with open(os.path.join(work, "big.mtd"), "w") as f:
        f.write(BIG_LAYOUT)
    check = f"head -c {size} /dev/mtd2 | cmp -s - data.img"
    script = ["sh", "-c", "dd if=data.img of=/dev/mtd2 bs=4096 conv=notrunc 2>/dev/null"]
    figures = []
    for flash, layout in ((4 << 20, []), (64 << 20, ["--layout", "big.mtd"])):
        image = os.path.join(work, "big.img")
        with open(image, "wb") as f:
            f.write(b"\xff" * flash)
        tmp = tempfile.mkdtemp(prefix="tmpdir-", dir=work)
        argv = ([flashsim, "campaign", "--image", "big.img"] + layout + ["--check", check, "-j",
                str(jobs), "--all", "--"] + script)
        peak, stop = [0], threading.Event()

        def watch():
            while not stop.wait(0.01):
                peak[0] = max(peak[0], used_room(tmp))
        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            seconds, _, done = timed(argv, work, dict(env, TMPDIR=tmp))
        finally:
            stop.set()
            watcher.join()
        points = sum(l.startswith("cut ") for l in done.stdout.splitlines())
        if done.returncode not in (0, 1) or not points:
            print(f"big {flash >> 20} MiB: the campaign failed: {done.stderr.strip()}")
            return
        figures.append(seconds / points)
        ratio = "" if len(figures) == 1 else f"{figures[1] / figures[0]:.2f} x per point, "
        verdict = "" if len(figures) == 1 else (
            "met" if figures[1] / figures[0] <= 1.3 and peak[0] <= 2.5 * flash else "MISSED")
        print(f"{'':<12} {flash >> 20:>6} MiB {points:>7} {seconds:>7.1f} s "
              f"{1000 * seconds / points:>7.1f} ms {peak[0] / flash:>10.2f} x  {ratio}"
              f"<= 1.3 x, <= 2.5 x: {verdict}" if verdict else
              f"{'':<12} {flash >> 20:>6} MiB {points:>7} {seconds:>7.1f} s "
              f"{1000 * seconds / points:>7.1f} ms {peak[0] / flash:>10.2f} x")
        os.remove(image)


def used_room(folder):
    """The bytes the files below folder take on disk (sparse files count what they hold)."""
    total = 0
    for top, _, names in os.walk(folder):
        for name in names:
            try:
                total += os.lstat(os.path.join(top, name)).st_blocks * 512
            except OSError:
                pass
    return total


def measure_floor(work, env, library, count, jobs):
    """The check run count times, jobs at a time, on a copy of the flash under the
    simulator: what the campaign cannot do without."""
    shutil.copyfile(os.path.join(work, "start.img"), os.path.join(work, "floor.img"))
    floor_env = dict(env, LD_PRELOAD=library, FLASHSIM_IMAGE=os.path.join(work, "floor.img"))
    command = (f"seq {count} | xargs -P {jobs} -n 1 sh -c "
               f"{shlex.quote(CHECK + ' > /dev/null 2>&1; true')} _")
    began, used = time.monotonic(), cpu()
    subprocess.run(["sh", "-c", command], cwd=work, env=floor_env, check=True,
                   stdout=subprocess.DEVNULL)
    return time.monotonic() - began, cpu() - used


if __name__ == "__main__":
    main()
