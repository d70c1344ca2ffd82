#!/usr/bin/env python3
"""Fault campaign: every device operation of every flash command, failed, shortened and
cut off by a power loss, one run each, under the flash simulator.

For each command a clean run lists its device operations. Then, for each operation N:
  - fail-op:N (and short-op:N for a read or write): the run ends with status 1 and the
    failing call's message, or the fault had no effect (output, status and flash as in the
    clean run), or the command is one whose failure the front end documents as silent;
  - kill-after:N: the process dies right after operation N.
In every run no byte outside the command's own region may change. A configuration file
restored through a temporary file is either the old one or the complete new one; one
restored in place (a file with a second link, say) holds a beginning of the new one.

  campaign.py --binary BUILD/flashtool --simlib BUILD/.../libflashsim.so [-k TEXT]
"""
import argparse
import dataclasses
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "blackbox"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "flashsim"))
import harness  # noqa: E402
from flashsim import parse_trace, sample  # noqa: E402

# The message a failed operation of each kind leads to on standard error.
MESSAGES = {"open": "open(): ", "read": "read(): ", "write": "write(): ", "lseek": "lseek(): ",
            "erase": "MEMERASE: ", "close": "close(): "}


@dataclasses.dataclass
class Case:
    args: list
    owned: dict                     # device -> [(offset, length)] the command may change
    files: dict = dataclasses.field(default_factory=dict)
    flash: dict = dataclasses.field(default_factory=dict)
    restores: str = None            # readtempconf's destination file
    in_place: bool = False          # ...which the restore writes in place, not replaces
    prepare: list = dataclasses.field(default_factory=list)  # harness.Scenario.prepare steps
    silent: set = dataclasses.field(default_factory=set)  # op kinds whose failure may pass
    name: str = ""

    def scenario(self, faults=()):
        return harness.Scenario(label(self), self.args, files=self.files,
                                flash=self.flash, faults=list(faults), stdout=None, stderr=None,
                                status=None, prepare=list(self.prepare))


def label(case):
    return case.name or " ".join(case.args)


def outside_changes(case, start, flash):
    """Devices whose bytes changed outside the case's own regions."""
    bad = []
    for dev, before in start.items():
        after = flash.get(dev)
        if after is None or len(after) != len(before):
            bad.append(dev)
            continue
        masked_before, masked_after = bytearray(before), bytearray(after)
        for offset, length in case.owned.get(dev, []):
            masked_before[offset:offset + length] = bytes(length)
            masked_after[offset:offset + length] = bytes(length)
        if masked_before != masked_after:
            bad.append(dev)
    return bad


def stable(stdout):
    """Standard output without the lines that show buffer addresses, which vary by run."""
    return re.sub(rb"(?m)^env(->data)? = [0-9a-f]+\n", b"", stdout)


class Campaign:
    def __init__(self, binary, simlib, launcher=()):
        self.binary, self.simlib, self.launcher = binary, simlib, launcher
        self.failures_tried = self.cuts_tried = 0
        self.problems = []

    def run(self, case, faults=(), trace=False):
        scenario = case.scenario(faults)
        result = harness.run_sim(scenario, self.binary, self.simlib,
                                 extra_env={"FLASHSIM_TRACE": "1"} if trace else None,
                                 launcher=self.launcher)
        return scenario.start_flash(), result

    def complain(self, case, fault, text):
        self.problems.append(f"{label(case)} [{fault}]: {text}")

    def check_common(self, case, fault, start, result, clean):
        bad = outside_changes(case, start, result["flash"])
        if bad:
            self.complain(case, fault, f"bytes outside the command's region changed on {bad}")
        if case.restores:
            self.check_restored(case, fault, result, clean)

    def check_restored(self, case, fault, result, clean):
        old = case.files.get(case.restores)
        new = clean["files"].get(case.restores)
        got = result["files"].get(case.restores)
        if case.in_place:
            # The destination is opened once the length word has been read: before that a
            # failure leaves the old file, after it the file holds a beginning of the new.
            reads = [op.number for op in parse_trace(clean["log"]) if op.kind == "read"]
            if int(fault.split(":")[1]) < reads[1]:
                if got != old:
                    self.complain(case, fault, "file changed before the record was read")
            elif got is None or got != new[:len(got)]:
                self.complain(case, fault, "file written in place is not a beginning of the new one")
        elif got not in (old, new):
            self.complain(case, fault, "restored file is neither the old nor the new one")
        # A power cut may leave the temporary file of a replacement beside the destination.
        leftovers = {name for name in set(result["files"]) - set(clean["files"])
                     if not (fault.startswith("kill") and not case.in_place
                             and name.startswith(case.restores + "."))}
        if leftovers:
            self.complain(case, fault, f"files left behind: {sorted(leftovers)}")

    def check_failure(self, case, fault, kind, start, result, clean):
        self.check_common(case, fault, start, result, clean)
        same = (result["status"] == clean["status"] and result["flash"] == clean["flash"]
                and stable(result["stdout"]) == stable(clean["stdout"]))
        if same or kind in case.silent:
            return
        if result["status"] != 1:
            self.complain(case, fault, f"status {result['status']} with a changed outcome")
        elif MESSAGES[kind].encode() not in result["stderr"]:
            self.complain(case, fault, f"no {MESSAGES[kind]!r} message: {result['stderr'][-200:]!r}")

    def sweep(self, case):
        start, clean = self.run(case, trace=True)
        if clean["status"] != 0:
            self.complain(case, "none", f"clean run failed: {clean['stdout'][-200:]!r} "
                                        f"{clean['stderr'][-200:]!r}")
            return
        for number, kind in ((op.number, op.kind) for op in sample(parse_trace(clean["log"]))):
            variants = ["fail-op"] + (["short-op"] if kind in ("read", "write") else [])
            for variant in variants:
                fault = f"{variant}:{number}"
                _, result = self.run(case, [fault])
                self.failures_tried += 1
                self.check_failure(case, fault, kind, start, result, clean)
            # The fault as a user gives it: its text is the one the manual documents.
            fault = f"kill-after:{number}"
            _, result = self.run(case, [fault])
            self.cuts_tried += 1
            if result["status"] != -9:
                self.complain(case, fault, f"process not killed: status {result['status']}")
            self.check_common(case, fault, start, result, clean)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--simlib", required=True)
    parser.add_argument("-k", dest="filter")
    parser.add_argument("--launcher", default="", help="words run before the binary (qemu-user)")
    args = parser.parse_args()
    import cases
    campaign = Campaign(os.path.abspath(args.binary), os.path.abspath(args.simlib),
                        args.launcher.split())
    for case in cases.CASES:
        if args.filter and args.filter not in label(case):
            continue
        before = len(campaign.problems)
        campaign.sweep(case)
        print(f"{'ok  ' if len(campaign.problems) == before else 'FAIL'} {label(case)}")
    for problem in campaign.problems:
        print("    " + problem)
    print(f"fault campaign: {campaign.failures_tried} failure points, {campaign.cuts_tried} "
          f"power cuts, {len(campaign.problems)} violations")
    held = campaign.failures_tried + campaign.cuts_tried - len(campaign.problems)
    print(f"{held} passed, {len(campaign.problems)} failed")
    return 1 if campaign.problems else 0


if __name__ == "__main__":
    sys.exit(main())
