"""flashsim report SHARD.json...: the campaign that N shards (--shard K/N, one CI job each)
ran between them, made whole again from their JSON reports: the same windows, verdicts,
JSON and JUnit as one campaign over every cut point."""
import itertools
import json
import os
import sys

from .errors import UsageError
from .report import ORDER_CHANGED, PASSING, write_json, write_junit

USAGE = "usage: flashsim report [--json FILE] [--junit FILE] SHARD.json...\n"
# What every shard of one campaign has alike.
SAME = ("script", "check", "operations", "seed", "every", "expected_status")


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
    return 0 if merged["result"] == "pass" else 1


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
    if not isinstance(data, dict) or not all(k in data for k in SAME + ("cuts", "uncut")):
        raise UsageError(f"{path}: not a JSON report of flashsim campaign --json")
    data["path"] = path
    return data


def merge(reports):
    """One report from the shards': refused (UsageError) unless they are every shard of one
    campaign, each once."""
    first = reports[0]
    for report in reports[1:]:
        for key in SAME:
            if report[key] != first[key]:
                raise UsageError(f"{report['path']} and {first['path']} are not shards of one "
                                 f"campaign: their {key} differ")
    shards = [tuple(r.get("shard") or (1, 1)) for r in reports]
    count = shards[0][1]
    missing = sorted(set(range(1, count + 1)) - {k for k, _ in shards})
    if any(n != count for _, n in shards) or len(set(shards)) != len(shards) or missing:
        raise UsageError(f"shards {', '.join(f'{k}/{n}' for k, n in shards)}: each of 1/{count} "
                         f"to {count}/{count} once is needed"
                         + (f" ({', '.join(f'{k}/{count}' for k in missing)} missing)"
                            if missing else ""))
    cuts = {}
    for report in reports:
        for cut in report["cuts"]:
            key = (cut["operation"], cut["cut"] == "after")
            # A cut point two shards tried (the search for edges) has one verdict: the
            # flash it leaves does not depend on the shard.
            cuts.setdefault(key, cut)
    ordered = [cuts[key] for key in sorted(cuts)]
    uncut = next((r for r in reports if r["uncut"] not in PASSING), first)
    merged = {key: first[key] for key in SAME}
    merged.update(
        uncut=uncut["uncut"], uncut_output=uncut.get("uncut_output", []), cuts=ordered,
        windows=windows(ordered), exit_status=first.get("exit_status"),
        script_output=first.get("script_output", []),
        unserved=sum(r.get("unserved", 0) for r in reports),
        kept=[path for r in reports for path in r.get("kept", [])],
        complete=all(r.get("complete", True) for r in reports), shard=None, shards=count)
    failing = [c for c in ordered if c["verdict"] not in PASSING]
    wrong = merged["exit_status"] is not None and merged["exit_status"] != merged[
        "expected_status"]
    if not merged["complete"]:
        merged["result"] = "interrupted"
    elif failing or merged["uncut"] not in PASSING or wrong or merged["unserved"]:
        merged["result"] = "fail"
    else:
        merged["result"] = "pass"
    return merged


def windows(cuts):
    """The runs of failing cut points, as a campaign finds them (order changed: none)."""
    found = []
    for failing, run in itertools.groupby(
            cuts, lambda c: c["verdict"] not in PASSING + (ORDER_CHANGED,)):
        run = list(run)
        if failing:
            found.append({"first": run[0], "last": run[-1],
                          "operations": run[-1]["operation"] - run[0]["operation"] + 1})
    return found


def where(cut):
    """As a campaign names a cut point: "cut after 5 (flashtool writebootp k.img, mtd1
    write 0x000000)"."""
    label = f"cut {cut['cut']} {cut['operation']}"
    torn = cut.get("torn")
    if torn:
        kind = cut.get("kind")
        label += f" ({kind}, {torn['done']} of {torn['total']} {torn['unit']})"
    if cut.get("device") is None:
        return f"{label} (, )"
    return (f"{label} ({cut['command']}, {cut['device']} {cut['kind']} "
            f"0x{cut['offset']:06x})")


def show(merged):
    """The lines a campaign ends with: the windows, the check's first words at each, the
    counts."""
    say = print
    say(f"flashsim report: {' '.join(merged['script'])}: {merged['shards']} shard"
        f"{'s' if merged['shards'] > 1 else ''}, {len(merged['cuts'])} cut points")
    status = merged["exit_status"]
    if status is not None and status != merged["expected_status"]:
        say(f"the script ended with exit status {status}, not {merged['expected_status']}: "
            f"the campaign fails")
    for window in merged["windows"]:
        span = window["operations"]
        say(f"window: {where(window['first'])} to {where(window['last'])}: {span} operation"
            f"{'s' if span != 1 else ''}")
        output = window["first"].get("output", [])
        if output:
            say(f"  the check at cut {window['first']['cut']} "
                f"{window['first']['operation']} said:")
            for line in output[:5]:
                say(f"    {line}")
    changed = [c for c in merged["cuts"] if c["verdict"] == ORDER_CHANGED]
    if changed:
        say(f"order changed from cut {changed[0]['cut']} {changed[0]['operation']} on "
            f"({len(changed)} cut point{'s' if len(changed) > 1 else ''}): the runs took "
            f"another path than the counting run, so these cuts were not judged")
    elif not merged["windows"]:
        say("no exposed window: every cut point passed")
    if not merged["complete"]:
        say("a shard was interrupted: the campaign is not complete")
    failed = sum(c["verdict"] not in PASSING for c in merged["cuts"]) + (
        merged["uncut"] not in PASSING)
    total = len(merged["cuts"]) + 1
    say(f"{total} runs checked: {total - failed} passed, {failed} failed")
