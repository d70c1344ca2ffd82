"""What a campaign shows (Rows: a row per cut point, the windows) and keeps (Evidence: the
flash of a window's first cut with the command that makes it again, the JSON report)."""
import itertools
import json
import xml.etree.ElementTree as ET
import os
import shlex
import signal

from .errors import Stopped
from .flash import remove
from .trace import cut_fault

PASSING = ("ok",)
ORDER_CHANGED = "order changed"     # not judged: the run took another path; no window
OUTPUT_LINES = 10                   # of a failing check's output, in the reports


class Rows:
    """The rows printed on out; by_number (the counting run's operations) and torn (the torn
    cuts seen, {number: Torn}) say what each cut point is."""

    def __init__(self, out):
        self.out = out
        self.by_number, self.torn = {}, {}
        self.columns = (0, 0)

    def begin(self, ops, inside):
        """The operations of the counting run, and the width of the columns for them."""
        self.by_number = {op.number: op for op in ops}
        width = max([len(op.command) for op in ops] + [len("the whole script")])
        self.columns = (len(f"cut {'inside' if inside else 'after'} {len(ops)}"), width)

    def say(self, text=""):
        try:
            print(text, file=self.out, flush=True)
        except BrokenPipeError:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self.out.fileno())
            os.close(devnull)
            raise Stopped(signal.SIGPIPE, quiet=True) from None

    def describe(self, cut):
        """The command and "device kind offset" of the operation a cut point is at."""
        op = self.by_number.get(cut.number)
        if op is None:
            return "", ""
        return op.command, f"{op.device:<4} {op.kind:<7} 0x{op.offset:06x}"

    def row(self, point, command, where, verdict):
        label, width = self.columns
        self.say(f"{point:<{label}}  {command:<{width}}  {where:<21}  {verdict}")

    def show(self, cut, result):
        command, where = self.describe(cut)
        verdict = result.verdict
        torn = self.torn.get(cut.number) if cut.inside else None
        if torn:
            verdict += f"  ({torn.kind}, {torn.done} of {torn.total} {torn.unit})"
        self.row(cut.label(), command, where, verdict)

    def window(self, window, results):
        first, last = window[0], window[-1]

        def where(cut):
            command, place = self.describe(cut)
            return f"{cut.label(self.torn.get(cut.number))} ({command}, {' '.join(place.split())})"

        span = last.number - first.number + 1
        self.say(f"window: {where(first)} to {where(last)}: {span} operation"
                 f"{'s' if span != 1 else ''}")
        output = results[first].output.splitlines()
        if output:
            self.say(f"  the check at {first.label()} said:")
            for line in output[:5]:
                self.say(f"    {line}")


def windows(tried, results):
    """The runs of failing cut points among those tried, in order. A cut point whose run
    changed order was not judged: it is in no window, and ends one."""
    return [list(run) for failing, run in itertools.groupby(
        tried, lambda cut: results[cut].verdict not in PASSING + (ORDER_CHANGED,)) if failing]


class Evidence:
    """--keep DIR and --json FILE."""

    def __init__(self, flash, script, ram, keep=None, json_path=None, junit_path=None):
        self.flash, self.script, self.ram = flash, script, ram
        self.keep, self.json_path, self.junit_path = keep, json_path, junit_path
        self.kept = []      # the files and folders kept, in order

    def keep_window(self, cut, seed, put_back, remake, rows):
        """Saves the flash a cut (after or inside an operation, torn by seed) leaves, made
        again from the starting flash (put_back) with the fault a plain run takes
        (remake(fault)), and says how to make it again."""
        suffix = ".img" if self.flash.image else ""
        start = os.path.join(self.keep, "start" + suffix)
        if not os.path.exists(start):
            put_back()
            self.flash.copy_to(start)
            self.kept.append(start)
        kept = os.path.join(self.keep, f"cut-{'inside-' if cut.inside else ''}{cut.number}"
                                       f"{suffix}")
        remove(kept)
        remake(cut.fault(seed))
        self.flash.copy_to(kept)
        self.kept.append(kept)
        option = "--image" if self.flash.image else "--dir"
        copy = "COPY" + suffix
        layout = self.flash.layout.file
        torn = f" --torn --seed {seed}" if cut.inside else ""
        line = (f"cp {'-r ' if not suffix else ''}{shlex.quote(start)} {copy} && flashsim "
                f"{option} {copy}{' --ram' if self.ram else ''}"
                f"{' --layout ' + shlex.quote(layout) if layout else ''}{torn} --faults "
                f"{cut_fault(cut.number)} -- {' '.join(shlex.quote(a) for a in self.script)}")
        rows.say(f"  kept {kept}; made again by: {line}")

    def write(self, rows, results, tried, uncut, windows_, check, seed, outcome):
        """--json and --junit: what the campaign judged (outcome: the script's status, the
        result, whether it is complete, the kept files)."""
        data = report_data(rows, results, tried, uncut, windows_, check, seed, self.script)
        data.update(outcome)
        if self.json_path:
            write_json(self.json_path, data)
        if self.junit_path:
            write_junit(self.junit_path, data)


def report_data(rows, results, tried, uncut, windows_, check, seed, script):
    def point(cut):
        op = rows.by_number.get(cut.number)
        entry = {"cut": "inside" if cut.inside else "after", "operation": cut.number,
                 "command": rows.describe(cut)[0], "device": op.device if op else None,
                 "kind": op.kind if op else None, "offset": op.offset if op else None,
                 "verdict": results[cut].verdict}
        torn = rows.torn.get(cut.number) if cut.inside else None
        if torn:
            entry["torn"] = {"done": torn.done, "total": torn.total, "unit": torn.unit}
        if results[cut].verdict not in PASSING and results[cut].output:
            entry["output"] = results[cut].output.splitlines()[:OUTPUT_LINES]
        return entry

    return {"script": script, "check": check, "operations": len(rows.by_number),
            "uncut": uncut.verdict if uncut else None,
            "uncut_output": uncut.output.splitlines()[:OUTPUT_LINES]
            if uncut and uncut.verdict not in PASSING else [],
            "seed": seed, "cuts": [point(c) for c in tried],
            "windows": [{"first": point(w[0]), "last": point(w[-1]),
                         "operations": w[-1].number - w[0].number + 1} for w in windows_]}


def write_json(path, data):
    with open(path, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1)
        f.write("\n")


def cut_name(point):
    label = f"cut {point['cut']} {point['operation']}"
    where = " ".join(str(point[k]) for k in ("command", "device", "kind") if point.get(k))
    offset = point.get("offset")
    return f"{label} ({where}{f' 0x{offset:06x}' if offset is not None else ''})"


def printable(text):
    """Text as XML 1.0 takes it: no control characters but tab and newline."""
    return "".join(c if c in "\t\n" or ord(c) >= 32 else "?" for c in text)


def write_junit(path, data):
    """JUnit XML as CI test reporters read it: the uncut run, then one test case per exposed
    window (a failure naming its first and last cut point, with the check's output)."""
    suite_name = "flashsim campaign: " + " ".join(data["script"])
    cases = []
    uncut_failure = None
    if data.get("uncut") is None:
        uncut_failure = ("not judged: the campaign was stopped before", "")
    elif data.get("uncut") not in PASSING:
        uncut_failure = (f"the check failed after the whole script ({data.get('uncut')})",
                         "\n".join(data.get("uncut_output", [])))
    status = data.get("exit_status")
    if status is not None and status != data.get("expected_status", 0):
        uncut_failure = (f"the script ended with exit status {status}, not "
                         f"{data.get('expected_status', 0)}",
                         "\n".join(data.get("script_output", [])))
    cases.append(("no cut: the whole script", uncut_failure))
    for window in data["windows"]:
        first, last = window["first"], window["last"]
        name = f"window: {cut_name(first)} to {cut_name(last)}"
        message = (f"{first['verdict']} from {cut_name(first)} to {cut_name(last)}: "
                   f"{window['operations']} operation{'s' if window['operations'] != 1 else ''}")
        cases.append((name, (message, "\n".join(first.get("output", [])))))
    changed = [c for c in data["cuts"] if c["verdict"] == ORDER_CHANGED]
    if changed:
        cases.append((f"order changed from {cut_name(changed[0])}",
                      (f"{len(changed)} cut points not judged: the runs took another path",
                       "")))
    if data.get("unserved"):
        cases.append(("devices the simulator does not serve",
                      (f"{data['unserved']} opens of a device by a program the simulator "
                       f"does not serve", "")))
    if not data.get("complete", True):
        cases.append(("the campaign", ("interrupted: the campaign did not end", "")))
    suites = ET.Element("testsuites")
    suite = ET.SubElement(suites, "testsuite", name=printable(suite_name),
                          tests=str(len(cases)),
                          failures=str(sum(failure is not None for _, failure in cases)))
    for name, failure in cases:
        case = ET.SubElement(suite, "testcase", classname="flashsim.campaign",
                             name=printable(name))
        if failure is not None:
            element = ET.SubElement(case, "failure", message=printable(failure[0]))
            element.text = printable(failure[1])
    ET.ElementTree(suites).write(path, encoding="utf-8", xml_declaration=True)
