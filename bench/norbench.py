#!/usr/bin/env python3
"""The physical limit on the NOR machine: flashtool against the raw driver work.

Boots the kernel tier's NOR machine (qemu's zynq board, its CFI flash under the kernel's
cfi_cmdset_0002) once with the driver's stock timing, which waits as long as the chip's
advertised program and erase times before polling, and runs, alternately, flashtool and
norraw.c doing the same erase and write:

  writecramfs IMAGE   (a small image: every block of mtd2 erased, the image written)
  writel1             (the level-one stamp written into its erased block of mtd0)

Prints guest seconds per run and the ratio tool / raw (the median of per-round ratios).
Numbers only: nothing is asserted.

  norbench.py --binary BUILD-ARM/flashtool --sysroot BUILD-ARM/sysroot --cache CACHE
              [--rounds 3] [--writel1-rounds 9] [--image-bytes 16384] [--work DIR]
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "kernel"))
import vm  # noqa: E402

STAMP = "5656440a00000110"   # what writel1 leaves at 0x8000 of mtd0 (the rest stays 0xFF)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True, help="the ARM flashtool")
    parser.add_argument("--sysroot", action="append", default=[])
    parser.add_argument("--cache", default=vm.default_cache_dir())
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--writel1-rounds", type=int, default=9,
                        help="writel1 takes well under a second: more rounds")
    parser.add_argument("--image-bytes", type=lambda v: int(v, 0), default=16384)
    parser.add_argument("--work")
    args = parser.parse_args()
    vm.prepare(args.cache, "nor")
    work = args.work or tempfile.mkdtemp(prefix="norbench-")
    os.makedirs(work, exist_ok=True)
    raw = os.path.join(work, "norraw")
    subprocess.run(["arm-linux-gnueabihf-gcc", "-static", "-O2", "-o", raw,
                    os.path.join(HERE, "norraw.c")], check=True)
    image = random.Random(1).randbytes(args.image_bytes)
    # Erased flash: the runs themselves erase, and the machine's restore between them
    # erases only the blocks a run wrote.
    flash = {name: b"\xff" * size for name, size, _ in vm.FLASH}
    cases = {
        "writecramfs": (["writecramfs", "img"], ["norraw", "erase-write", "/dev/mtd2", "img"]),
        "writel1": (["writel1"], ["norraw", "write", "/dev/mtd0", "0x8000", STAMP]),
    }
    # Both run through the same one-line wrapper: /usr/local/bin/flashtool is the tool
    # under its own name, norraw beside it.
    wrapper = os.path.join(work, "wrapper.sh")
    with open(wrapper, "w") as f:
        f.write('#!/bin/sh\nexec "$@"\n')
    os.chmod(wrapper, 0o755)
    jobs = []
    for r in range(max(args.rounds, args.writel1_rounds)):
        for case, (tool, base) in cases.items():
            if r >= (args.rounds if case == "writecramfs" else args.writel1_rounds):
                continue
            order = (("tool", tool), ("raw", base))
            if r % 2:
                order = order[::-1]
            for who, argv in order:
                jobs.append({"name": (case, who), "files": {"img": image}, "flash": flash,
                             "args": ["flashtool-arm"] + argv if who == "tool" else argv})
    stats = {}
    results = vm.run_jobs(wrapper, jobs, args.cache, os.path.join(work, "vm"),
                          sysroots=args.sysroot, machine="nor", stock_timing=True,
                          programs={"norraw": raw, "flashtool-arm": os.path.abspath(args.binary)},
                          stats=stats, job_timeout=900)
    times, flash_after = {}, {}
    for job, res in zip(jobs, results):
        case, who = job["name"]
        if res["status"] != 0:
            print(f"{case} {who}: status {res['status']}: {res['stderr'][-200:]!r}")
        # the yardstick must leave the flash as the tool does
        if flash_after.setdefault(case, res["flash"]) != res["flash"]:
            print(f"{case} {who}: the flash differs from the first run's")
        times.setdefault(case, {}).setdefault(who, []).append(res["elapsed"])
    print(f"NOR machine, stock timing, {args.rounds} rounds ({args.writel1_rounds} of writel1), "
          f"image {args.image_bytes} bytes "
          f"(qemu {stats['qemu_seconds']:.0f} s)")
    for case, t in times.items():
        ratios = [a / b for a, b in zip(t["tool"], t["raw"]) if b > 0]
        print(f"{case:12} tool {' '.join('%.2f' % x for x in t['tool'])} s, raw "
              f"{' '.join('%.2f' % x for x in t['raw'])} s, ratio "
              f"{statistics.median(ratios):.3f}" if ratios else f"{case}: no ratio")
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
