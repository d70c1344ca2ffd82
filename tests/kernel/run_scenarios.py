#!/usr/bin/env python3
"""Runs the black-box scenarios meant for the real driver on the kernel's MTD devices, in
one boot of the virtual machine, and checks them exactly as the simulator tier does.

  run_scenarios.py --binary BUILD/flashtool --cache CACHE [--work DIR] [-k TEXT]

With --arch armhf the machine is 32-bit ARM (the cache made by prepare-arm.sh) and the
binary the ARM build, its shared libraries taken from --sysroot.

With --arch nor the machine is the NOR one (prepare-nor.sh): the scenarios of the "nor"
tier, and every command of the kernel tier once (its first scenario, in NOR mode; --all:
every scenario, which takes a quarter of an hour and more). Each also
runs under the simulator in NOR mode (--simlib, --launcher as for blackbox/run.py), and the
two must give the same output, status, syslog and bytes of every device; a kernel-tier
scenario's own expectations (written for block2mtd, which overwrites) are checked too, and
where the NOR driver departs from them the departure must be the simulator's as well.
"""
import argparse
import dataclasses
import os
import re
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
                                         "end": scenario.other.end,
                                         "signal_waiting": scenario.signal_waiting},
            "user": scenario.user, "prepare": list(scenario.prepare),
            "signal": scenario.signal and {"number": int(scenario.signal[0]),
                                           "when": "lock" if writes(scenario.args) else "open"}}


def writes(args):
    """True for a command that erases or writes the flash (it takes the flash lock)."""
    return bool(args) and args[0].startswith(("write", "erase")) and args[0] != "writeenv"


def from_job(result):
    """The job result in the simulator's form (the log holds no operations here)."""
    return dict(result, syslog=result["syslog_lines"], log=[])


def nor_selection(groups, only, everything=False):
    """The NOR machine's scenarios: the "nor" tier's, then the first kernel-tier scenario
    of every command word (or every one), run in NOR mode."""
    chosen, words = [], set()
    for group, items in groups.items():
        for s in items:
            if only and only not in s.name:
                continue
            if "nor" in s.tiers:
                chosen.append((group, s))
            elif "kernel" in s.tiers and s.other is None and s.args and \
                    (everything or s.args[0] not in words):
                words.add(s.args[0])
                chosen.append((group, dataclasses.replace(s, nor=True)))
    # A job that rewrites a whole device costs the next job's restore seconds of
    # programming: those go last (the sort keeps the order otherwise).
    return sorted(chosen, key=lambda item: item[1].args[:1] in (["writecramfs"], ["writeall"]))


def same_on_both(scenario, real, sim):
    """How the NOR driver's result departs from the simulator's, as readable lines. Output
    that the scenario matches with a pattern or leaves unchecked (addresses of the process)
    is left to it, and so is a device whose node the scenario removes."""
    problems = []
    if real["status"] != sim["status"]:
        problems.append(f"status: NOR driver {real['status']}, simulator {sim['status']}")
    for key in ("stdout", "stderr"):
        if getattr(scenario, key) is None or isinstance(getattr(scenario, key), re.Pattern):
            continue
        if real[key] != sim[key]:
            problems.append(f"{key}: NOR driver {real[key][-200:]!r}, "
                            f"simulator {sim[key][-200:]!r}")
    if list(real["syslog_lines"]) != list(sim["syslog"]):
        problems.append(f"syslog: NOR driver {real['syslog_lines']}, simulator {sim['syslog']}")
    for dev, data in real["flash"].items():
        if dev in scenario.remove_nodes:
            continue
        harness._compare_bytes(f"flash {dev} (simulator against the NOR driver)", data,
                               sim["flash"].get(dev), problems)
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--cache", default=vm.default_cache_dir())
    parser.add_argument("--work")
    parser.add_argument("-k", dest="filter")
    parser.add_argument("--arch", choices=sorted(vm.MACHINES), default="amd64")
    parser.add_argument("--sysroot", action="append", default=[],
                        help="root tree with the ARM binary's shared libraries")
    parser.add_argument("--simlib", help="the simulator, for the NOR machine's comparison")
    parser.add_argument("--launcher", default="", help="qemu-user for the simulator's runs")
    parser.add_argument("--all", action="store_true",
                        help="NOR machine: every kernel-tier scenario (about 15 minutes or more)")
    args = parser.parse_args()
    nor = args.arch == "nor"
    if nor and not args.simlib:
        parser.error("--arch nor needs --simlib")
    vm.prepare(args.cache, args.arch)
    if nor:
        scenarios = nor_selection(run.load_groups(), args.filter, args.all)
    else:
        scenarios = [(group, s) for group, items in run.load_groups().items() for s in items
                     if "kernel" in s.tiers and (not args.filter or args.filter in s.name)]
    work = args.work or tempfile.mkdtemp(prefix="flashvm-")
    started = time.monotonic()
    try:
        results = vm.run_jobs(os.path.abspath(args.binary), [to_job(s) for _, s in scenarios],
                              args.cache, work, sysroots=args.sysroot,
                              machine="nor" if nor else None)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    passed = failed = 0
    for (group, scenario), result in zip(scenarios, results):
        problems = harness.check(scenario, from_job(result), tier="kernel")
        if nor:
            sim = harness.run_sim(scenario, os.path.abspath(args.binary),
                                 os.path.abspath(args.simlib), launcher=args.launcher.split())
            both = same_on_both(scenario, result, sim)
            if "nor" not in scenario.tiers and problems and not both:
                # block2mtd's expectations; the NOR driver and the simulator agree otherwise
                print(f"note {group}/{scenario.name}: on NOR, as the simulator says: "
                      + "; ".join(p.splitlines()[0] for p in problems))
                problems = []
            problems += both
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
