"""What a campaign shows (Rows: a row per cut point, the windows) and keeps (Evidence: the
flash of a window's first cut with the command that makes it again, the JSON and JUnit
reports). What the results mean (windows, verdict, closing lines) is judge's."""
import json
import os
import shlex
import signal

from . import judge
from .errors import Stopped
from .flash import remove
from .judge import ORDER_CHANGED, PASSING  # noqa: F401 (the campaign's verdict words)

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

    def point(self, cut, result):
        """A cut point and its verdict as the JSON report has it."""
        op = self.by_number.get(cut.number)
        entry = {"cut": "inside" if cut.inside else "after", "operation": cut.number,
                 "command": self.describe(cut)[0], "device": op.device if op else None,
                 "kind": op.kind if op else None, "offset": op.offset if op else None,
                 "verdict": result.verdict, "time": getattr(result, "seconds", 0.0)}
        torn = self.torn.get(cut.number) if cut.inside else None
        if torn:
            entry["torn"] = {"done": torn.done, "total": torn.total, "unit": torn.unit}
            entry["kind"] = entry["kind"] or torn.kind
        if result.verdict not in PASSING and result.output:
            entry["output"] = result.output.splitlines()[:OUTPUT_LINES]
        return entry

    def window(self, window, results):
        first, last = window[0], window[-1]
        for line in judge.window_lines({}, {
                "first": self.point(first, results[first]), "last": self.point(last, results[last]),
                "operations": last.number - first.number + 1}):
            self.say(line)


def windows(tried, results):
    """The windows among the cut points tried ({Cut: Result}), in order: lists of Cuts."""
    return judge.runs(tried, lambda cut: results[cut].verdict)


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
        line = judge.repeat_command(self.flash_fields(seed, self.script),
                                    {"operation": cut.number,
                                     "cut": "inside" if cut.inside else "after"})
        rows.say(f"  kept {kept}; made again by: cp {'-r ' if not suffix else ''}"
                 f"{shlex.quote(start)} COPY{suffix} && {line}")

    def flash_fields(self, seed, script):
        """What the command line that makes a cut's flash again needs of the campaign."""
        return {"flash_option": "--image" if self.flash.image else "--dir",
                "layout": self.flash.layout.file, "ram": bool(self.ram), "seed": seed,
                "script": list(script)}

    def report(self, rows, results, tried, uncut, check, seed, outcome):
        """The campaign's report as --json writes it: the cut points tried ({Cut: Result}),
        the whole script's check (uncut), what outcome adds (the script's status, whether
        the campaign is complete, planned points, kept files...), each cut's command line
        that makes it again, and the windows, status and result that judge derives."""
        data = report_data(rows, results, tried, uncut, check, seed, self.script)
        data.update(self.flash_fields(seed, self.script))
        data.update(outcome)
        for cut in data["cuts"]:
            cut["repeat"] = judge.repeat_command(data, cut)
        return judge.derive(data)

    def save(self, data):
        """--json and --junit."""
        if self.json_path:
            write_json(self.json_path, data)
        if self.junit_path:
            write_junit(self.junit_path, data)

    def write(self, rows, results, tried, uncut, windows_, check, seed, outcome):
        """report() and save() in one, windows_ unused: judge finds them in the report."""
        self.save(self.report(rows, results, tried, uncut, check, seed, outcome))


def report_data(rows, results, tried, uncut, check, seed, script):
    """The JSON report of the cut points tried ({Cut: Result}) and the whole script's check
    (uncut: its Result, None when it did not run), before the fields judge derives."""
    failing = uncut is not None and uncut.verdict not in PASSING
    return {"script": list(script), "check": check, "operations": len(rows.by_number),
            "uncut": uncut.verdict if uncut else None,
            "uncut_output": uncut.output.splitlines()[:OUTPUT_LINES] if failing else [],
            "uncut_time": getattr(uncut, "seconds", 0.0), "seed": seed,
            "error": None, "left": [], "kept": [],
            "cuts": [rows.point(cut, results[cut]) for cut in tried]}


def write_json(path, data):
    with open(path, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1)
        f.write("\n")


def write_junit(path, data):
    with open(path, "wb") as f:
        f.write(judge.junit(data))
