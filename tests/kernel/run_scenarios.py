#!/usr/bin/env python3
"""Runs the black-box scenarios meant for the real driver on the kernel's MTD devices, in
one boot of the virtual machine, and checks them exactly as the simulator tier does.

  run_scenarios.py --binary BUILD/flashtool --cache CACHE [--work DIR] [-k TEXT]

With --arch armhf the machine is 32-bit ARM (the cache made by prepare-arm.sh) and the
binary the ARM build, its shared libraries taken from --sysroot.
"""
import argparse
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "blackbox"))
import harness  # noqa: E402
import run  # noqa: E402
import vm  # noqa: E402


def to_job(scenario):
    return {"name": scenario.name, "args": list(scenario.args), "files": dict(scenario.files),
            "flash": scenario.start_flash(), "remove_nodes": list(scenario.remove_nodes),
            "readonly_nodes": list(scenario.readonly_nodes),
            "stdout_closed_early": scenario.broken_pipe, "argv0": scenario.argv0,
            "other": scenario.other and {"args": list(scenario.other.args),
                                         "end": scenario.other.end},
            "user": scenario.user, "prepare": list(scenario.prepare)}


def from_job(result):
    """The job result in the simulator's form (the log holds no operations here)."""
    return dict(result, syslog=result["syslog_lines"], log=[])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--cache", default=vm.default_cache_dir())
    parser.add_argument("--work")
    parser.add_argument("-k", dest="filter")
    parser.add_argument("--arch", choices=sorted(vm.MACHINES), default="amd64")
    parser.add_argument("--sysroot", action="append", default=[],
                        help="root tree with the ARM binary's shared libraries")
    args = parser.parse_args()
    vm.prepare(args.cache, args.arch)
    scenarios = [(group, s) for group, items in run.load_groups().items() for s in items
                 if "kernel" in s.tiers and (not args.filter or args.filter in s.name)]
    work = args.work or tempfile.mkdtemp(prefix="flashvm-")
    started = time.monotonic()
    try:
        results = vm.run_jobs(os.path.abspath(args.binary), [to_job(s) for _, s in scenarios],
                              args.cache, work, sysroots=args.sysroot,
                              machine="nor" if args.arch == "nor" else None)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    passed = failed = 0
    for (group, scenario), result in zip(scenarios, results):
        problems = harness.check(scenario, from_job(result), tier="kernel")
        if harness.report(f"{group}/{scenario.name}", scenario.args, problems):
            passed += 1
        else:
            failed += 1
    print(f"kernel tier ({args.arch}): {len(scenarios)} scenarios in one boot, "
          f"{time.monotonic() - started:.0f} s")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
