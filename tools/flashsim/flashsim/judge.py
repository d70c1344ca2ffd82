"""How a campaign is judged, from its report alone (the JSON document, as a dict): its
windows, its verdict, the lines it ends with, its JUnit XML and the command line that makes
a cut's flash again. A campaign and flashsim report (the shards' reports merged) derive all
of these here, the same way; nothing here reads a file or starts a process."""
import collections
import itertools
import os
import shlex
import xml.etree.ElementTree as ET

from .trace import cut_fault

# The verdicts of a cut point. The check ran: it passed, failed or ran past its own limit
# (the last two are windows). The check did not run, so the cut is not judged: the run took
# another path than the counting run, ended before the point, or the script itself ran past
# its limit before it.
OK = "ok"
FAIL, TIMEOUT = "FAIL", "TIMEOUT"
ORDER_CHANGED, NOT_REACHED, SCRIPT_TIMEOUT = "order changed", "not reached", "script TIMEOUT"
PASSING = (OK,)
WINDOW = (FAIL, TIMEOUT)
NOT_JUDGED = (ORDER_CHANGED, NOT_REACHED, SCRIPT_TIMEOUT)
# Why cut points were not judged, as the closing lines and JUnit say it.
NOT_JUDGED_WHY = {
    ORDER_CHANGED: "the runs took another path than the counting run",
    NOT_REACHED: "the script ended before them",
    SCRIPT_TIMEOUT: "the script ran past its time limit before them",
}


def in_window(verdict):
    """WINDOW's verdicts, and any word this version does not know: never taken for a pass."""
    return verdict not in PASSING + NOT_JUDGED


def runs(items, verdict):
    """The runs of items (in order) whose verdict(item) is a window's: a cut point that
    passed or was not judged is in no window, and ends one."""
    return [list(run) for failing, run in itertools.groupby(items, lambda i: in_window(
        verdict(i))) if failing]


def windows(cuts):
    """The windows among a report's cut points (in the order of the flash they leave):
    first, last and how many operations they span."""
    return [{"first": run[0], "last": run[-1],
             "operations": run[-1]["operation"] - run[0]["operation"] + 1}
            for run in runs(cuts, lambda cut: cut["verdict"])]


INTERRUPTED = "interrupted before its end"


def why_unjudged(data):
    """Why the campaign could not be judged, or None: (where, one line), where "script"
    for the whole script (past its time limit, or its check not run) and "campaign" for an
    interrupted campaign or an error it recorded."""
    script = "exit_status" in data and data["exit_status"] is None or \
        data.get("uncut") == SCRIPT_TIMEOUT
    if data.get("error"):       # the campaign's own word on why it stopped comes first
        return "script" if script else "campaign", data["error"]
    if not data.get("complete", True) or data.get("result") == "interrupted":
        return "campaign", INTERRUPTED
    if script:
        return "script", "the whole script ran past its time limit"
    if data.get("uncut") is None or data["uncut"] in NOT_JUDGED:
        return "script", "the check after the whole script did not run"
    return None


def not_judged(cuts):
    """{verdict: [cut points]} of the cut points not judged, in order."""
    found = collections.OrderedDict()
    for cut in cuts:
        if cut["verdict"] in NOT_JUDGED:
            found.setdefault(cut["verdict"], []).append(cut)
    return found


def wrong_status(data):
    status = data.get("exit_status")
    return status is not None and status != data.get("expected_status", 0)


def status(data):
    """The campaign's verdict: (0, "pass", why), (1, "fail", why) or (2, "error" or
    "interrupted", why). Not judged wins over failed: an unjudged campaign is never
    reported as a window."""
    stopped = why_unjudged(data)
    if stopped is not None:
        return 2, "interrupted" if stopped[1] == INTERRUPTED else "error", stopped[1]
    skipped = not_judged(data["cuts"])
    if skipped:
        return 2, "error", plural(sum(map(len, skipped.values())), "cut point") + \
            " not judged: " + ", ".join(f"{len(c)} {v}" for v, c in skipped.items())
    reasons = []
    found = windows(data["cuts"])
    if found:
        reasons.append(plural(len(found), "exposed window"))
    if data["uncut"] not in PASSING:
        reasons.append(f"the check failed after the whole script ({data['uncut']})")
    if wrong_status(data):
        reasons.append(f"the script ended with exit status {data['exit_status']}, not "
                       f"{data.get('expected_status', 0)}")
    if data.get("unserved"):
        reasons.append(unserved_text(data["unserved"]))
    if reasons:
        return 1, "fail", "; ".join(reasons)
    return 0, "pass", "every cut point passed"


def derive(data):
    """Puts the derived fields into a report: its windows, status and result."""
    data["windows"] = windows(data["cuts"])
    data["status"], data["result"], _ = status(data)
    return data


def plural(count, noun):
    return f"{count} {noun}{'s' if count != 1 else ''}"


def unserved_text(count):
    return f"{plural(count, 'open')} of a device by a program the simulator does not serve"


def label(cut, torn=True):
    """"cut after 5", "cut inside 5", with torn: "cut inside 5 (erase, 3 of 14 blocks)"."""
    text = f"cut {cut['cut']} {cut['operation']}"
    left = cut.get("torn")
    if torn and left and cut["cut"] == "inside":
        text += f" ({cut.get('kind')}, {left['done']} of {left['total']} {left['unit']})"
    return text


def where(cut):
    """A cut point as the window line names it: "cut after 5 (flashtool writebootp k.img,
    mtd1 write 0x000000)"."""
    if cut.get("device") is None:
        return f"{label(cut)} (, )"
    return (f"{label(cut)} ({cut['command']}, {cut['device']} {cut['kind']} "
            f"0x{cut['offset']:06x})")


def window_lines(data, window):
    """The lines that show a window: its edges and the first lines its check said."""
    first, span = window["first"], window["operations"]
    lines = [f"window: {where(first)} to {where(window['last'])}: {plural(span, 'operation')}"]
    output = first.get("output", [])
    if output:
        lines.append(f"  the check at {label(first, torn=False)} said:")
        lines += [f"    {line}" for line in output[:5]]
    return lines


def tail_lines(data, seconds=None):
    """The lines a campaign (and flashsim report) ends with, after its windows: the cut
    points not judged, "no exposed window", unserved devices, why nothing could be judged,
    and the count of runs (with how long they took when seconds is given)."""
    lines = []
    skipped = not_judged(data["cuts"])
    for verdict, cuts in skipped.items():
        lines.append(f"{verdict} from {label(cuts[0], torn=False)} on "
                     f"({plural(len(cuts), 'cut point')}): {NOT_JUDGED_WHY[verdict]}, so these "
                     f"cuts were not judged")
    why = why_unjudged(data)
    if not skipped and why is None and not windows(data["cuts"]):
        lines.append("no exposed window: every cut point passed")
    if data.get("unserved"):
        lines.append(f"{unserved_text(data['unserved'])} (see above): the campaign fails")
    if why is not None:
        lines.append(f"the campaign is not judged: {why[1]}")
    lines.append(count_line(data, seconds))
    return lines


def count_line(data, seconds=None):
    verdicts = [cut["verdict"] for cut in data["cuts"]]
    uncut = data.get("uncut")
    if uncut is None or "exit_status" in data and data["exit_status"] is None:
        uncut = SCRIPT_TIMEOUT      # the whole script's check: not judged
    verdicts.append(uncut)
    passed = sum(v in PASSING for v in verdicts)
    skipped = sum(v in NOT_JUDGED for v in verdicts)
    failed = len(verdicts) - passed - skipped
    return (f"{len(verdicts)} runs checked: {passed} passed, {failed} failed"
            f"{f', {skipped} not judged' if skipped else ''}"
            f"{f' ({seconds:.1f} s)' if seconds is not None else ''}")


def repeat_command(data, cut=None):
    """The command line that makes again, on a copy (COPY.img, or the folder COPY) of the
    starting flash, the flash cut leaves (None: the whole script, uncut)."""
    image = data.get("flash_option", "--image") == "--image"
    words = ["flashsim", "--image" if image else "--dir", "COPY.img" if image else "COPY"]
    if data.get("ram"):
        words.append("--ram")
    if data.get("layout"):
        words += ["--layout", shlex.quote(data["layout"])]
    if cut is not None:
        if cut["cut"] == "inside":
            words += ["--torn", "--seed", str(data.get("seed"))]
        words += ["--faults", cut_fault(cut["operation"])]
    return " ".join(words + ["--"] + [shlex.quote(word) for word in data["script"]])


def cut_name(cut):
    """A cut point as a JUnit case names it: "cut after 5 (flashtool writebootp k.img mtd1
    write 0x000000)"."""
    place = " ".join(str(cut[k]) for k in ("command", "device", "kind") if cut.get(k))
    offset = cut.get("offset")
    return f"{label(cut, torn=False)} ({place}{f' 0x{offset:06x}' if offset is not None else ''})"


def printable(text):
    """Text as XML 1.0 takes it: no control characters but tab and newline."""
    return "".join(c if c in "\t\n" or ord(c) >= 32 else "?" for c in text)


# One JUnit test case: its name, (kind, message, text) of its failure or error (None: it
# passed), seconds, what it prints (the command line that repeats it) and its errors.
Case = collections.namedtuple("Case", "name outcome seconds out err")


def uncut_case(data, kept):
    """The whole script: an error when it could not be judged, a failure when its check
    failed or it ended with another status than expected."""
    outcome = None
    why = why_unjudged(data)
    if why is not None and why[0] == "script":
        outcome = ("error", f"not judged: {why[1]}", "\n".join(data.get("script_output", [])))
    elif data.get("uncut") is None:
        outcome = ("error", "not judged: the campaign was stopped before", "")
    elif wrong_status(data):
        outcome = ("failure", f"the script ended with exit status {data['exit_status']}, not "
                              f"{data.get('expected_status', 0)}",
                   "\n".join(data.get("script_output", [])))
    elif data["uncut"] not in PASSING:
        outcome = ("failure", f"the check failed after the whole script ({data['uncut']})",
                   "\n".join(data.get("uncut_output", [])))
    left = [f"{p.get('command')} (pid {p.get('pid')}) was still running when {p.get('when')} "
            f"ended: killed" for p in data.get("left", [])]
    return Case("no cut: the whole script", outcome, data.get("uncut_time") or 0.0,
                repeat_command(data), left + [f"kept {path}" for path in kept])


def window_case(data, window, kept):
    first, last = window["first"], window["last"]
    inside = [cut for cut in data["cuts"] if order(first) <= order(cut) <= order(last)]
    message = (f"{first['verdict']} from {cut_name(first)} to {cut_name(last)}: "
               f"{plural(window['operations'], 'operation')}")
    return Case(f"window: {cut_name(first)} to {cut_name(last)}",
                ("failure", message, "\n".join(first.get("output", []))),
                sum(cut.get("time") or 0.0 for cut in inside), repeat_command(data, first),
                [f"kept {path}" for path in kept])


def order(cut):
    """Cut points in the order of the flash they leave: inside N before after N."""
    return cut["operation"], cut["cut"] == "after"


def kept_for(data):
    """{(operation, "after"|"inside") or None: the paths kept}: a window's flash goes to the
    case of the window it opens, the starting flash to the whole script's."""
    owners = collections.defaultdict(list)
    for path in data.get("kept", []):
        name = os.path.basename(path).removesuffix(".img")
        parts = name.split("-")
        key = None
        if parts[0] == "cut" and parts[-1].isdigit():
            key = (int(parts[-1]), "inside" if parts[1:2] == ["inside"] else "after")
        owners[key].append(path)
    return owners


def cases(data):
    kept = kept_for(data)
    found = [uncut_case(data, kept.pop(None, []))]
    for window in data["windows"]:
        first = window["first"]
        found.append(window_case(data, window, kept.pop((first["operation"], first["cut"]),
                                                        [])))
    for verdict, cuts in not_judged(data["cuts"]).items():
        found.append(Case(f"{verdict} from {cut_name(cuts[0])}",
                          ("error", f"{plural(len(cuts), 'cut point')} not judged: "
                                    f"{NOT_JUDGED_WHY[verdict]}", ""),
                          0.0, repeat_command(data, cuts[0]), []))
    if data.get("unserved"):
        found.append(Case("devices the simulator does not serve",
                          ("failure", unserved_text(data["unserved"]), ""), 0.0, "", []))
    why = why_unjudged(data)
    if why is not None and why[0] == "campaign":
        found.append(Case("the campaign", ("error", f"not judged: {why[1]}", ""), 0.0, "",
                          [f"kept {p}" for paths in kept.values() for p in paths]))
    return found


def junit(data):
    """JUnit XML as CI test reporters read it: the whole script, then one test case per
    exposed window (a failure naming its first and last cut point, with the check's
    output), then what was not judged (errors) and devices the simulator does not serve."""
    found = cases(data)
    suites = ET.Element("testsuites")
    suite = ET.SubElement(
        suites, "testsuite", name=printable("flashsim campaign: " + " ".join(data["script"])),
        tests=str(len(found)), time=f"{sum(c.seconds for c in found):.3f}",
        failures=str(sum(c.outcome is not None and c.outcome[0] == "failure" for c in found)),
        errors=str(sum(c.outcome is not None and c.outcome[0] == "error" for c in found)))
    for case in found:
        element = ET.SubElement(suite, "testcase", classname="flashsim.campaign",
                                name=printable(case.name), time=f"{case.seconds:.3f}")
        if case.outcome is not None:
            kind, message, text = case.outcome
            ET.SubElement(element, kind, message=printable(message)).text = printable(text)
        if case.out:
            ET.SubElement(element, "system-out").text = printable(f"made again by: {case.out}")
        if case.err:
            ET.SubElement(element, "system-err").text = printable("\n".join(case.err))
    return ET.tostring(suites, encoding="utf-8", xml_declaration=True)
