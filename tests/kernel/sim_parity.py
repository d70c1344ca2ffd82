#!/usr/bin/env python3
"""The simulator against the real driver: the MTD probe's steps that the kernel tier's
self-test checks on block2mtd run here under the flash simulator and must give the same
answers, except where the simulator knowingly differs (listed below).

  sim_parity.py --simlib BUILD/.../libflashsim.so [--cc cc] [--launcher "qemu-arm -L SYSROOT"]
"""
import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "blackbox"))
import harness  # noqa: E402
import selftest  # noqa: E402

# block2mtd accepts an erase that is not aligned to the erase size and erases the 4 KiB
# pages it touches; NOR chip drivers (and mtdram) refuse it with EINVAL, and so does the
# simulator, which stands for the device's NOR flash.
KNOWN = {b"erase:0x4100:0x2000 ret=0 errno=0": b"erase:0x4100:0x2000 ret=-1 errno=EINVAL"}
PROBE_CASES = ("MEMERASE and seek on mtd0", "read-only node refuses writes", "missing node")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--simlib", required=True)
    parser.add_argument("--cc", default="cc")
    parser.add_argument("--launcher", default="", help="qemu-user for a cross compiler's probe")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="sim-parity-")
    probe = os.path.join(work, "mtdprobe")
    subprocess.run([args.cc, "-O1", "-o", probe, os.path.join(HERE, "mtdprobe.c")], check=True)
    jobs, expects = selftest.cases(True)
    passed = failed = 0
    for job, expect in zip(jobs, expects):
        if job["name"] not in PROBE_CASES:
            continue
        scenario = harness.Scenario(job["name"], job["args"], flash=job["flash"],
                                    remove_nodes=job.get("remove_nodes", []),
                                    readonly_nodes=job.get("readonly_nodes", []))
        result = harness.run_sim(scenario, probe, os.path.abspath(args.simlib),
                                 launcher=args.launcher.split())
        lines = result["stdout"].splitlines()
        missing = [KNOWN.get(want, want) for want in expect["stdout_lines"]
                   if KNOWN.get(want, want) not in lines]
        if missing or result["status"] != 0:
            failed += 1
            print(f"FAIL {job['name']}: status {result['status']}, lacks {missing}\n    got {lines}")
        else:
            passed += 1
            print(f"ok   {job['name']}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
