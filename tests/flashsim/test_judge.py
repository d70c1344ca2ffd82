#!/usr/bin/env python3
"""What a campaign's report means, JSON in and verdicts out: the verdict of a report, its
JUnit XML, and flashsim report's refusal of shards that are not one whole campaign.

  test_judge.py [unittest options]
"""
import contextlib
import copy
import io
import json
import os
import sys
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_flashsim import Folder  # noqa: E402
from flashsim import judge, merge  # noqa: E402

SCRIPT = ["sh", "up.sh"]


def cut(number, verdict="ok", seconds=0.25, inside=False):
    return {"cut": "inside" if inside else "after", "operation": number,
            "command": "flashtool writebootp k.img", "device": "mtd1", "kind": "write",
            "offset": 0x400 * number, "verdict": verdict, "time": seconds}


def report(verdicts="oooo", shard=None, planned=None, **fields):
    """A campaign's report: cut after N has the verdict of verdicts[N - 1] (o: ok, F: FAIL,
    T: TIMEOUT, c: order changed, n: not reached, s: script TIMEOUT)."""
    words = {"o": "ok", "F": "FAIL", "T": "TIMEOUT", "c": "order changed", "n": "not reached",
             "s": "script TIMEOUT"}
    numbers = planned or range(1, len(verdicts) + 1)
    data = {"script": SCRIPT, "check": "true", "operations": len(verdicts), "seed": None,
            "every": True, "expected_status": 0, "planned_total": len(verdicts),
            "exit_status": 0, "uncut": "ok", "uncut_time": 0.5, "complete": True,
            "shard": shard, "planned": [[n, "after"] for n in numbers],
            "cuts": [cut(n, words[verdicts[n - 1]]) for n in numbers], "flash_option": "--image",
            "layout": None, "ram": False, "unserved": 0, "error": None, "left": [], "kept": []}
    data.update(fields)
    return judge.derive(data)


class Verdicts(unittest.TestCase):
    def test_status_result_and_reason(self):
        for data, expected in [
            (report(), (0, "pass", "every cut point passed")),
            (report("oFFo"), (1, "fail", "1 exposed window")),
            (report("oToo"), (1, "fail", "1 exposed window")),      # the check's own limit
            (report(uncut="FAIL"), (1, "fail", "the check failed after the whole script (FAIL)")),
            (report(exit_status=3), (1, "fail", "the script ended with exit status 3, not 0")),
            (report(unserved=2), (1, "fail", "2 opens of a device by a program the simulator "
                                             "does not serve")),
            (report("occo"), (2, "error", "2 cut points not judged: 2 order changed")),
            (report("Fons"), (2, "error", "2 cut points not judged: 1 not reached, "
                                          "1 script TIMEOUT")),
            (report("oFFc"), (2, "error", "1 cut point not judged: 1 order changed")),
            (report(exit_status=None), (2, "error", "the whole script ran past its time limit")),
            (report("FFFF", error="no room left"), (2, "error", "no room left")),
            (report("FFFF", complete=False), (2, "interrupted", "interrupted before its end")),
        ]:
            with self.subTest(cuts=[c["verdict"] for c in data["cuts"]], expected=expected):
                self.assertEqual(judge.status(data), expected)
                self.assertEqual((data["status"], data["result"]), expected[:2])


class JUnit(unittest.TestCase):
    def test_cases_as_a_ci_reads_them(self):
        left = [{"pid": 7, "command": "sleep 9", "when": "the script"}]
        kept = ["k/start.img", "k/cut-2.img"]
        # Each row: the report; per case its name's start, failure/error/None, its time,
        # what its system-out and system-err hold.
        for data, expected in [
            (report(left=left), [("no cut", None, "0.500", "-- sh up.sh",
                                  "sleep 9 (pid 7) was still running when the script ended")]),
            (report("oFFo", kept=kept), [
                ("no cut", None, "0.500", "made again by: flashsim --image COPY.img -- sh up.sh",
                 "kept k/start.img"),
                ("window: cut after 2", "failure", "0.500", "--faults kill-after:2 -- sh up.sh",
                 "kept k/cut-2.img")]),
            (report(exit_status=None, uncut="ok"), [("no cut", "error", "0.500", "", "")]),
            (report("ooc", ram=True), [("no cut", None, "0.500", "", ""),
                                       ("order changed from cut after 3", "error", "0.000",
                                        "--image COPY.img --ram --faults kill-after:3", "")]),
            (report(complete=False), [("no cut", None, "0.500", "", ""),
                                      ("the campaign", "error", "0.000", "", "")]),
        ]:
            with self.subTest(cases=[e[0] for e in expected], result=data["result"]):
                cases = ET.fromstring(judge.junit(data)).findall("testsuite/testcase")
                self.assertEqual(len(cases), len(expected))
                for case, (name, kind, seconds, out, err) in zip(cases, expected):
                    self.assertTrue(case.get("name").startswith(name), case.get("name"))
                    outcome = [e.tag for e in case if e.tag in ("failure", "error")]
                    self.assertEqual(outcome, [kind] if kind else [])
                    self.assertEqual(case.get("time"), seconds)
                    self.assertIn(out, case.findtext("system-out", ""))
                    self.assertIn(err, case.findtext("system-err", ""))


class Merge(Folder):
    def setUp(self):
        super().setUp()
        self.cwd = os.getcwd()
        os.chdir(self.dir)

    def tearDown(self):
        os.chdir(self.cwd)
        super().tearDown()

    def test_only_every_shard_of_one_campaign_each_complete_is_judged(self):
        def shard(k, planned, verdicts="oooo", **fields):
            return report(verdicts, shard=[k, 2], planned=planned, **fields)

        one, two = shard(1, [1, 3]), shard(2, [2, 4])
        lacking = shard(2, [2, 4])
        lacking["cuts"].pop()
        for shards, status, message in [
            ([one], 2, "s1.json (shard 1/2): each of 1/2 to 2/2 once is needed (2/2 missing)"),
            ([one, one], 2, "s2.json (shard 1/2): given twice, with s1.json (each of 1/2 to "
                            "2/2 once is needed)"),
            ([one, shard(2, [2, 3, 4])], 2, "s2.json (shard 2/2): its cut after 3 is planned by "
                                            "s1.json (shard 1/2) too"),
            ([shard(1, [1]), shard(2, [2])], 2, "s1.json (shard 1/2): the shards plan 2 cut "
                                                "points between them, the campaign 4"),
            ([one, lacking], 2, "s2.json (shard 2/2): 1 of its 2 cut points has no verdict"),
            ([one, shard(2, [2, 4], complete=False)], 2,
             "s2.json (shard 2/2): interrupted, its campaign did not end"),
            ([one, two], 0, ""),
            ([one, shard(2, [2, 4], "oFoo")], 1, ""),
            ([one, shard(2, [2, 4], error="no room left")], 2, ""),
        ]:
            with self.subTest(message=message, status=status):
                names = []
                for number, data in enumerate(shards, 1):
                    names.append(f"s{number}.json")
                    with open(names[-1], "w", encoding="utf-8") as f:
                        json.dump(data, f)
                err = io.StringIO()
                with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
                    done = merge.main(["--json", "m.json", *names])
                self.assertEqual((done, err.getvalue()),
                                 (status, f"flashsim: {message}\n" if message else ""))
                self.assertEqual(os.path.exists("m.json"), not message)
                if not message:
                    with open("m.json", encoding="utf-8") as f:
                        merged = json.load(f)
                    # Judged as a campaign's own report is: the same derived fields.
                    self.assertEqual(judge.derive(copy.deepcopy(merged)), merged)
                    os.remove("m.json")


if __name__ == "__main__":
    unittest.main(verbosity=2)
