#!/usr/bin/env python3
"""Runs black-box scenario groups against the flash simulator.

  run.py --binary BUILD/flashtool --simlib BUILD/tools/flashsim/libflashsim.so [--group G] [-k TEXT]
         [--launcher "qemu-arm -L SYSROOT"]

--launcher puts words before the binary: valgrind, or qemu-user for a binary (and its
simulator) built for another architecture.
"""
import argparse
import concurrent.futures
import glob
import importlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import harness  # noqa: E402


def load_groups(only=None):
    groups = {}
    for path in sorted(glob.glob(os.path.join(HERE, "scenarios_*.py"))):
        name = os.path.basename(path)[len("scenarios_"):-3]
        if only and name != only:
            continue
        groups[name] = importlib.import_module("scenarios_" + name).SCENARIOS
    return groups


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--simlib", required=True)
    parser.add_argument("--group")
    parser.add_argument("-k", dest="filter")
    parser.add_argument("-j", dest="jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--launcher", default="",
                        help="words run before the binary, e.g. an emulator or valgrind")
    args = parser.parse_args()
    args.binary, args.simlib = os.path.abspath(args.binary), os.path.abspath(args.simlib)
    launcher = args.launcher.split()
    passed = failed = 0
    names = set()
    chosen = []
    for group, scenarios in load_groups(args.group).items():
        for scenario in scenarios:
            assert scenario.name not in names, f"duplicate scenario {scenario.name}"
            names.add(scenario.name)
            if "sim" not in scenario.tiers or (args.filter and args.filter not in scenario.name):
                continue
            if launcher and scenario.argv0 != "flashtool" and not harness.is_qemu(launcher):
                continue  # a launcher names the binary itself (qemu-user takes -0 argv0)
            if launcher and scenario.closed_streams and not harness.is_qemu(launcher):
                continue  # valgrind needs its standard error for its own report
            chosen.append((group, scenario))

    def run_one(item):
        result = harness.run_sim(item[1], args.binary, args.simlib, launcher=launcher)
        return harness.check(item[1], result), result.get("skipped")

    # The runs wait on child processes, so threads overlap them well.
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        for (group, scenario), (problems, skipped) in zip(chosen, pool.map(run_one, chosen)):
            if harness.report(f"{group}/{scenario.name}", scenario.args, problems, skipped):
                passed += 1
            else:
                failed += 1
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
