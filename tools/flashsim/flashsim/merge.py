"""flashsim report SHARD.json...: the campaign that N shards (--shard K/N, one CI job each)
ran between them, made whole again from their JSON reports and judged as one campaign over
every cut point (judge): the same windows, verdict, JSON and JUnit. Only shards that
together cover every planned cut point once, each complete, are merged."""
import json
import os
import sys

from . import judge
from .errors import UsageError
from .report import write_json, write_junit

USAGE = "usage: flashsim report [--json FILE] [--junit FILE] SHARD.json...\n"
# What every shard of one campaign has alike.
SAME = ("script", "check", "operations", "seed", "every", "expected_status", "planned_total")
# The same too, but absent from reports of older campaigns (where the shards agree).
ALIKE = ("flash_option", "layout", "ram")


def main(argv):
    try:
        outputs, files = options(argv)
        merged = merge([load(path) for path in files])
    except UsageError as error:
        print(f"flashsim: {error}", file=sys.stderr)
        return 2
    show(merged)
    if outputs.get("json"):
        write_json(outputs["json"], merged)
    if outputs.get("junit"):
        write_junit(outputs["junit"], merged)
    return merged["status"]


def options(argv):
    outputs, files = {}, []
    words = iter(argv)
    for word in words:
        if word in ("--json", "--junit"):
            name = word[2:]
            if name in outputs:
                raise UsageError(f"{word} is given twice")
            outputs[name] = next(words, None)
            if outputs[name] is None:
                raise UsageError(f"{word} needs a FILE")
            folder = os.path.dirname(os.path.abspath(outputs[name]))
            if not os.path.isdir(folder):
                raise UsageError(f"{outputs[name]}: no such folder {folder} ({word})")
        elif word in ("-h", "--help"):
            sys.stdout.write(USAGE)
            raise SystemExit(0)
        elif word.startswith("-"):
            raise UsageError(f"unknown option {word} ({USAGE.strip()})")
        else:
            files.append(word)
    if not files:
        raise UsageError("report needs the JSON reports of the shards: " + USAGE.strip())
    return outputs, files


def load(path):
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except OSError as error:
        raise UsageError(f"{path}: {error.strerror}") from None
    except ValueError:
        raise UsageError(f"{path}: not a JSON report of flashsim campaign") from None
    if not well_formed_report(data):
        raise UsageError(f"{path}: not a JSON report of flashsim campaign --json")
    if not isinstance(data.get("planned_total"), int) or not isinstance(data.get("planned"),
                                                                        list):
        raise UsageError(f"{path}: a report without its planned cut points (an older "
                         f"flashsim campaign --json)")
    if not all(isinstance(p, list) and len(p) == 2 and isinstance(p[0], int) and
               p[1] in ("after", "inside") for p in data["planned"]):
        raise UsageError(f"{path}: not a JSON report of flashsim campaign --json")
    data["path"] = path
    data["shard"] = tuple(data.get("shard") or (1, 1))
    return data


# The fields of a cut point and of a process left running that the merge and judge read:
# a report that lacks them, or has them of another type, is refused whole.
NUMBER = (int, float, type(None))
CUT = {"operation": int, "cut": str, "verdict": str, "offset": (int, type(None)), "time": NUMBER}
LEFT = {"pid": int, "command": str, "when": str}


def well_formed_report(data):
    return isinstance(data, dict) and all(k in data for k in SAME[:-1] + ("cuts", "uncut")) \
        and all(well_formed(c, CUT) for c in listed(data, "cuts")) \
        and all(well_formed(p, LEFT) for p in listed(data, "left")) \
        and well_formed_shard(data.get("shard") or [1, 1])


def listed(data, field):
    value = data.get(field, [])
    return value if isinstance(value, list) else [None]


def well_formed_shard(shard):
    return isinstance(shard, list) and len(shard) == 2 and \
        all(isinstance(n, int) for n in shard) and 1 <= shard[0] <= shard[1]


def well_formed(entry, fields):
    return isinstance(entry, dict) and all(isinstance(entry.get(k), t) for k, t in fields.items())


def name(report):
    """A shard as the refusals name it: "shard-2.json (shard 2/4)"."""
    k, n = report["shard"]
    return f"{report['path']} (shard {k}/{n})"


def key(cut):
    return cut[0], cut[1] == "after"


def check_shards(reports):
    """Refuses (UsageError, one line naming a shard) unless reports are every shard of one
    campaign, each once and complete, that together plan every cut point once."""
    first = reports[0]
    count = first["shard"][1]
    seen = {}
    for report in reports:
        for field in SAME + ALIKE:
            if report.get(field) != first.get(field):
                raise UsageError(f"{report['path']} and {first['path']} are not shards of one "
                                 f"campaign: their {field} differ")
        if report["shard"][1] != count:
            raise UsageError(f"{name(report)}: a shard of {report['shard'][1]}, "
                             f"{first['path']} of {count}")
        if report["shard"] in seen:
            raise UsageError(f"{name(report)}: given twice, with {seen[report['shard']]} "
                             f"(each of 1/{count} to {count}/{count} once is needed)")
        seen[report["shard"]] = report["path"]
    missing = [f"{k}/{count}" for k in range(1, count + 1) if (k, count) not in seen]
    if missing:
        raise UsageError(f"{name(first)}: each of 1/{count} to {count}/{count} once is needed "
                         f"({', '.join(missing)} missing)")
    for report in reports:
        check_complete(report)
    check_planned(reports)


def check_complete(report):
    if not report.get("complete", True) or report.get("result") == "interrupted":
        raise UsageError(f"{name(report)}: interrupted, its campaign did not end")
    tried = {key((c["operation"], c["cut"])) for c in report["cuts"]}
    planned = {key(p) for p in report["planned"]}
    lacking = len(planned - tried)
    if lacking:
        raise UsageError(f"{name(report)}: {lacking} of its {len(planned)} cut point"
                         f"{'s' if len(planned) != 1 else ''} "
                         f"{'have' if lacking != 1 else 'has'} no verdict")


def check_planned(reports):
    owner = {}
    for report in reports:
        for point in report["planned"]:
            other = owner.setdefault(key(point), report)
            if other is not report:
                raise UsageError(f"{name(report)}: its cut {point[1]} {point[0]} is planned by "
                                 f"{name(other)} too")
    total = reports[0]["planned_total"]
    if len(owner) != total:
        raise UsageError(f"{name(reports[0])}: the shards plan {len(owner)} cut points "
                         f"between them, the campaign {total}")


def merge(reports):
    """One report from the shards', judged as one campaign's: refused (UsageError) unless
    they are every shard of one campaign, each once and complete."""
    check_shards(reports)
    first = reports[0]
    cuts = {}
    for report in reports:
        for cut in report["cuts"]:
            # A cut point two shards tried (the search for edges) has one verdict: the
            # flash it leaves does not depend on the shard.
            cuts.setdefault(key((cut["operation"], cut["cut"])), cut)
    # The whole script ran in every shard: the one that went wrong, if one did, speaks.
    worst = next((r for r in reports if judge.why_unjudged(r) or judge.wrong_status(r)
                  or r["uncut"] not in judge.PASSING), first)
    merged = {field: first.get(field) for field in SAME + ALIKE}
    merged.update(
        {field: worst.get(field) for field in ("uncut", "uncut_output", "uncut_time",
                                               "exit_status", "script_output")},
        cuts=[cuts[k] for k in sorted(cuts)], timeouts=first.get("timeouts"),
        error=next((f"{r['path']}: {r['error']}" for r in reports if r.get("error")), None),
        unserved=sum(r.get("unserved", 0) for r in reports),
        left=list({(p["command"], p["when"]): p
                   for r in reports for p in r.get("left", [])}.values()),
        kept=[path for r in reports for path in r.get("kept", [])],
        planned=sorted((p for r in reports for p in r["planned"]), key=key),
        complete=True, shard=None, shards=first["shard"][1])
    return judge.derive(merged)


def show(merged):
    """The lines a campaign ends with: the windows, the check's first words at each, the
    counts."""
    say = print
    say(f"flashsim report: {' '.join(merged['script'])}: {merged['shards']} shard"
        f"{'s' if merged['shards'] > 1 else ''}, {len(merged['cuts'])} cut points")
    if judge.wrong_status(merged):
        say(f"the script ended with exit status {merged['exit_status']}, not "
            f"{merged['expected_status']}: the campaign fails")
    for window in merged["windows"]:
        for line in judge.window_lines(merged, window):
            say(line)
    for line in judge.tail_lines(merged):
        say(line)
