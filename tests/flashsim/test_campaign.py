#!/usr/bin/env python3
"""flashsim as a release pipeline runs it: mistakes refused in one line, signals and time
limits that leave the starting flash and no process behind, exact windows, evidence to
keep, and the same verdicts as one run per cut point.

  test_campaign.py --build BUILD [unittest options]
"""
import argparse
import ctypes
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time
import unittest
import xml.etree.ElementTree as ET
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import test_flashsim  # noqa: E402
from test_flashsim import MIB4, L1, STAMP, noise  # noqa: E402

EXAMPLES = os.path.join(HERE, "..", "..", "examples")
# How long the lingering processes of the stopping tests sleep: a number of this test
# run's own, so that another run of these tests on the machine is never taken for ours.
LINGER = f"31.{os.getpid():07d}"


def alive(tag):
    """The processes whose command line holds tag: pid, parent and command line."""
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open(f"/proc/{name}/cmdline", "rb") as f:
                    line = f.read()
                with open(f"/proc/{name}/stat", "rb") as f:
                    parent = f.read().rsplit(b")", 1)[1].split()[1].decode()
            except (OSError, IndexError):
                continue
            if tag.encode() in line:
                words = line.replace(b"\0", b" ").decode()
                found.append(f"{name} (parent {parent}): {words}")
    return found


class Case(test_flashsim.Workdir):
    def setUp(self):
        super().setUp()
        self.tmp = self.path("tmp")
        os.mkdir(self.tmp)
        self.env["TMPDIR"] = self.tmp
        self.put("k.img", noise("kernel", 20 * 1024))
        self.put("k.crc", b"%08x\n" % zlib.crc32(self.get("k.img")))
        self.start = noise("flash", MIB4)
        self.put("flash.img", self.start)

    def tearDown(self):
        self.assertEqual(os.listdir(self.tmp), [], "a run folder was left behind")
        super().tearDown()

    def campaign(self, *args, check="flashtool checkkernel k.crc k.img", script=None):
        options = ["--check", check] if check is not None else []
        done = self.flashsim("campaign", "--image", "flash.img", *options, *args, "--",
                             *(script or ["flashtool", "writebootp", "k.img"]))
        self.assertNotIn("Traceback", done.stderr)
        self.assertTrue(self.get("flash.img") == self.start, "starting flash not put back")
        return done

    def build(self, name, source, *options):
        """A program of the test's own, compiled from source; skipped where cc cannot."""
        with open(self.path(name + ".c"), "wb") as f:
            f.write(source)
        done = subprocess.run(["cc", *options, "-o", self.path(name), self.path(name + ".c")],
                              capture_output=True, text=True)
        if done.returncode != 0:
            self.skipTest(f"cc {' '.join(options)}: {done.stderr.strip()[-200:]}")

    @staticmethod
    def verdicts(done):
        """{cut number: verdict} from a campaign's rows."""
        rows = {}
        for line in done.stdout.splitlines():
            words = line.split()
            if line.startswith("cut after "):
                rows[int(words[2])] = line.rsplit("  ", 1)[1].strip()
        return rows

    @staticmethod
    def torn_rows(done):
        """{cut number: its row} of the cuts inside operations (the row ends with the
        verdict and what the cut left: "FAIL  (write, 387 of 700 bytes)")."""
        return {int(line.split()[2]): line
                for line in done.stdout.splitlines() if line.startswith("cut inside ")}

    @staticmethod
    def windows(done):
        return [line for line in done.stdout.splitlines() if line.startswith("window: ")]


class Mistakes(Case):
    def test_each_mistake_is_one_line_status_2_and_nothing_runs(self):
        self.put("script.sh", b"#!/bin/sh\ntouch ran\n")
        os.chmod(self.path("script.sh"), 0o755)
        plain = ["--image", "flash.img"]
        run = ["--", "./script.sh"]
        camp = ["campaign", "--image", "flash.img", "--check", "true"]
        no_command = "no command: flashsim [OPTION...] -- COMMAND [ARG...] (or --init alone to " \
                     "erase the flash)"
        usage = "usage: flashsim report [--json FILE] [--junit FILE] SHARD.json..."
        shard = "give K/N, this shard K of N (1 <= K <= N)"
        for args, line in [
            (plain + ["--faults", "kill-after:abc"] + run, "bad fault 'kill-after:abc': not a number"),
            (plain + ["--faults", "kill-after:0"] + run, "bad fault 'kill-after:0': counts start at 1"),
            (plain + ["--faults", "erase-fail:mtd0:x"] + run,
             "bad fault 'erase-fail:mtd0:x': not a number"),
            (plain + ["--faults", "bogus:1"] + run, "bad fault 'bogus:1': unknown fault"),
            (plain + ["--", "./missing.sh"], "./missing.sh: no such file (the command)"),
            (plain + ["--", "no-such-command-here"],
             "no-such-command-here: command not found (the command)"),
            (["--image", "no/such/f.img"] + run, "{dir}/no/such/f.img: no such folder {dir}/no/such"),
            (["--dir", "no/such"] + run, "{dir}/no/such: no such folder {dir}/no"),
            (["--dir", "d", "--image", "flash.img"] + run, "give --dir or --image, not both"),
            (plain + ["campaign", "--check", "true"] + run,
             "campaign comes first: flashsim campaign [OPTION...] -- SCRIPT"),
            (plain + ["--timeout", "soon"] + run, "--timeout soon: not a number"),
            (plain + ["--log", "no/such/log"] + run, "no/such/log: no such folder {dir}/no/such (--log)"),
            (camp + ["--init"] + run,
             "campaign does not take --init: it would erase the starting flash"),
            (["campaign", "--image", "flash.img"] + run,
             "campaign needs --check CMD: a campaign that judges nothing passes nothing"),
            (["campaign", "--image", "flash.img", "--check", "./nocheck.sh"] + run,
             "./nocheck.sh: no such file (the check)"),
            (camp + ["-j", "0"] + run, "-j 0: must be at least 1"),
            (camp + ["--keep", "a/b"] + run, "a/b: no such folder {dir}/a (--keep)"),
            (camp + ["--json", "a/b.json"] + run, "a/b.json: no such folder {dir}/a (--json)"),
            (camp + ["--state", "nostate"] + run, "nostate: no such folder (--state)"),
            (camp + ["--", "./missing.sh"], "./missing.sh: no such file (the script)"),
            # A fault on a device the layout does not have would never fall.
            (plain + ["--faults", "write-fail:mtd9:0"] + run, "bad fault 'write-fail:mtd9:0': "
             "the flash has no mtd9 (its devices: mtd0 mtd1 mtd2 mtd3)"),
            (plain + ["--faults", "kill-after:3,erase-fail:mtd4:1"] + run, "bad fault "
             "'erase-fail:mtd4:1': the flash has no mtd4 (its devices: mtd0 mtd1 mtd2 mtd3)"),
            # Which of two would count? Neither.
            (camp + ["--all", "--all"] + run, "--all is given twice"),
            (plain + ["--image", "flash.img"] + run, "--image is given twice"),
            (camp + ["--check", "false"] + run, "--check is given twice"),
            # A time limit is a positive finite number of seconds a wait can take.
            (plain + ["--timeout", "inf"] + run, "--timeout inf: not a finite number"),
            (plain + ["--timeout", "nan"] + run, "--timeout nan: not a finite number"),
            (plain + ["--timeout", "1e10"] + run, "--timeout 1e10: must be at most 1e+06"),
            (plain + ["--timeout", "0"] + run, "--timeout 0: must be at least 0.001"),
            (camp + ["--timeout=-inf"] + run, "--timeout -inf: not a finite number"),
            (camp + ["--check-timeout", "0"] + run, "--check-timeout 0: must be at least 0.001"),
            (plain + ["--check-timeout", "1"] + run, "--check-timeout is for a campaign"),
            (camp + ["--expect-status", "256"] + run, "--expect-status 256: must be at most 255"),
            (plain + ["--expect-status", "1"] + run, "--expect-status is for a campaign"),
            # A plain run of nothing (but --init, which erases the flash) does nothing.
            (plain, no_command),
            (plain + ["--ram", "--"], no_command),
            # flashsim report's own.
            (["report"], "report needs the JSON reports of the shards: " + usage),
            (["report", "--json"], "--json needs a FILE"),
            (["report", "--bogus", "x.json"], f"unknown option --bogus ({usage})"),
            (["report", "missing.json"], "missing.json: No such file or directory"),
            (["report", "flash.img"], "flash.img: not a JSON report of flashsim campaign"),
            (["report", "--json", "a/b.json", "x.json"], "a/b.json: no such folder {dir}/a (--json)"),
            (["report", "--json", "o.json", "--json", "p.json", "x.json"], "--json is given twice"),
            # Shards.
            (camp + ["--shard", "0/2"] + run, "--shard 0/2: " + shard),
            (camp + ["--shard", "3/2"] + run, "--shard 3/2: " + shard),
            (camp + ["--shard", "x"] + run, "--shard x: " + shard),
            (camp + ["--torn", "--shard", "1/2"] + run,
             "--shard with --torn needs --seed N: every shard cuts alike"),
            (plain + ["--shard", "1/2"] + run, "--shard is for a campaign"),
            # The recovery.
            (plain + ["--recover", "true"] + run, "--recover is for a campaign"),
            (camp + ["--depth", "2"] + run, "--depth 2 cuts the recovery too: give --recover CMD"),
            (camp + ["--recover", "true", "--depth", "3"] + run, "--depth 3: must be at most 2"),
            (camp + ["--recover", "./norec.sh"] + run, "./norec.sh: no such file (the recovery)"),
        ]:
            with self.subTest(args=args):
                done = self.flashsim(*args)
                self.assertEqual((done.returncode, done.stdout, done.stderr),
                                 (2, "", "flashsim: " + line.format(dir=self.dir) + "\n"))
                self.assertFalse(os.path.exists(self.path("ran")), "the script ran")
                self.assertFalse(any(os.path.exists(self.path(name)) for name in
                                     ("no", "d", "a", "o.json")), "a file was created")
                self.assertTrue(self.get("flash.img") == self.start)

    def test_places_an_ordinary_user_cannot_write_are_refused(self):
        # Root writes everywhere: the scenario runs as nobody when the tests run as root.
        as_user = []
        if os.geteuid() == 0:
            as_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
            os.chmod(self.dir, 0o755)
        os.mkdir(self.path("ro"))
        os.chmod(self.path("ro"), 0o555)
        self.put("ro.img", self.start)
        os.chmod(self.path("ro.img"), 0o444)
        flashsim = os.path.join(BUILD(), "flashsim")
        for args, message in [
            (["--image", "ro/f.img", "--", "true"], "cannot create it in"),
            (["--image", "ro.img", "--", "true"], "cannot be read and written"),
            (["--dir", "ro", "--", "true"], "cannot be read and written"),
        ]:
            with self.subTest(args=args):
                done = subprocess.run(as_user + [flashsim] + args, cwd=self.dir, env=self.env,
                                      capture_output=True, text=True)
                self.assertEqual(done.returncode, 2, done.stderr)
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                self.assertIn(message, done.stderr)
        self.assertEqual(os.listdir(self.path("ro")), [])
        os.chmod(self.path("ro"), 0o755)

    def test_missing_flash_is_created_only_in_a_folder_that_exists_and_said(self):
        done = self.flashsim("--image", "new.img", "--", "true")
        self.assertEqual(done.returncode, 0)
        self.assertEqual(done.stderr.count("\n"), 1)
        self.assertIn("created", done.stderr)
        self.assertEqual(self.get("new.img"), b"\xff" * MIB4)


class Verdicts(Case):
    """What makes a campaign fail, and which cut points it tries."""

    def test_each_status_means_one_thing(self):
        # 0: no window; 1: a window, a flash that fails; 2: nothing could be judged.
        self.put("once.sh", b"[ -e marker ] || { touch marker; flashtool writebootp k.img; }\n")
        self.put("order.sh", b"if [ -e marker ]; then flashtool writecramfs k.img; "
                             b"else touch marker; flashtool writebootp k.img; fi\n")
        # The uncut run is quick; every held run after it is slow (a loaded machine would
        # not slow one run fivefold).
        self.put("slower.sh", b"[ -e marker ] && sleep 3; touch marker; flashtool erasel1\n")
        writebootp = ["flashtool", "writebootp", "k.img"]
        for script, check, args, status, result, verdicts in [
            (writebootp, "true", [], 0, "pass", {"ok"}),
            # The whole script's failing check counts, with no cut point at all.
            (["sh", "-c", "true"], "false", [], 1, "fail", set()),
            (writebootp, "flashtool checkkernel k.crc k.img", [], 1, "fail", {"ok", "FAIL"}),
            (["flashtool", "erasel1"], "sleep 5", ["--check-timeout", "0.3"], 1, "fail",
             {"TIMEOUT"}),
            # Operations that the cut runs never reach say nothing of the flash.
            (["sh", "once.sh"], "true", [], 2, "error", {"not reached"}),
            # Runs that take another path than the counting run: from the first operation
            # that differs (the second: mtd2 opened instead of mtd1) no cut is judged.
            (["sh", "order.sh"], "true", [], 2, "error", {"ok", "order changed"}),
            # A held run past the script's limit is no window either.
            (["sh", "slower.sh"], "true", ["--timeout", "0.5"], 2, "error", {"script TIMEOUT"}),
        ]:
            with self.subTest(script=script, check=check, args=args):
                if os.path.exists(self.path("marker")):
                    os.remove(self.path("marker"))
                done = self.campaign(*args, "--json", "r.json", check=check, script=script)
                self.assertEqual(done.returncode, status, done.stdout + done.stderr)
                self.assertEqual(set(self.verdicts(done).values()), verdicts)
                self.assertEqual(json.loads(self.get("r.json"))["result"], result)
                if status == 2:
                    self.assertEqual(self.windows(done), [])
                    self.assertNotIn("every cut point passed", done.stdout)
                if "order changed" in verdicts:
                    found = self.verdicts(done)
                    self.assertEqual(found[1], "ok")
                    self.assertEqual({found[n] for n in found if n > 1}, {"order changed"})
                    self.assertIn(f"order changed from cut after 2 on ({len(found) - 1} cut "
                                  f"points): the runs took another path", done.stdout)
        # The uncut run past the script's limit: nothing to judge against, one line.
        done = self.campaign("--timeout", "0.5", check="true",
                             script=["sh", "-c", "sleep 3; flashtool erasel1"])
        self.assertEqual((done.returncode, done.stdout), (2, ""))
        self.assertEqual(done.stderr, "flashsim: the script ran past its limit of 0.5 s "
                                      "(--timeout) in its uncut run: nothing is judged; give a "
                                      "longer --timeout\n")

    def test_all_tries_every_operation_and_the_default_a_sample(self):
        sampled = self.verdicts(self.campaign())
        every = self.verdicts(self.campaign("--all"))
        self.assertEqual(sorted(every), list(range(1, len(every) + 1)))
        self.assertLess(len(sampled), len(every))
        self.assertGreater(len(every), 20)
        self.assertEqual({n: every[n] for n in sampled}, sampled)

    def test_same_verdicts_as_one_run_per_cut_point(self):
        # The reference: the script run again for each cut point with the power cut by
        # kill-after, from the starting flash put back before each run.
        for release in ("old", "new"):
            os.mkdir(self.path(release))
            for name, size in (("kernel", 3000), ("rootfs", 5000)):
                data = noise(release + name, size)
                self.put(f"{release}/{name}.img", data)
                self.put(f"{release}/{name}.crc", b"%08x\n" % zlib.crc32(data))
        self.put("mtd3", self.start[0x390000:])
        self.put("conf", noise("conf", 700))
        self.put("three.sh", test_flashsim.PowerCut.SCRIPT.replace(
            "k.img", "old/kernel.img").replace("r.img", "old/rootfs.img").replace(
            "j.img", "new/kernel.img").encode())
        upgrade = os.path.join(EXAMPLES, "upgrade.sh")
        check_boot = os.path.join(EXAMPLES, "check-boot.sh")
        for script, check in [
            ([upgrade, "new"], f"{check_boot} old new"),
            (["sh", "-c", "flashtool writebootp k.img && flashtool checkkernel k.crc k.img"],
             "flashtool checkkernel k.crc k.img"),
            (["sh", "three.sh"], "flashtool checkkernel old/kernel.crc old/kernel.img"),
            # Commands of the project's own fault campaign.
            (["flashtool", "writetempconf", "conf"], "flashtool checktempconf"),
            # A check that damages the flash it judged, where the script never writes: the
            # next check must not see that.
            (["flashtool", "writebootp", "k.img"],
             "cmp -s /dev/mtd3 mtd3; s=$?; dd if=/dev/zero of=/dev/mtd3 bs=1024 count=1 "
             "conv=notrunc 2>/dev/null; flashtool checkkernel k.crc k.img && exit $s"),
        ]:
            with self.subTest(script=script):
                if script == [upgrade, "new"]:
                    done = self.flashsim("--image", "flash.img", "--", upgrade, "old")
                    self.assertEqual(done.returncode, 0, done.stderr)
                    self.start = self.get("flash.img")
                # With the cuts inside each write and erase too: the torn ones held on a
                # copy must leave what the torn fault leaves in a run of their own.
                torn = ["--torn", "--seed", "7"]
                held = self.campaign("--all", *torn, check=check, script=script)
                replayed = self.campaign("--all", "--replay", *torn, check=check, script=script)
                self.assertEqual(self.verdicts(held), self.verdicts(replayed))
                self.assertEqual(self.torn_rows(held), self.torn_rows(replayed))
                self.assertEqual(self.windows(held), self.windows(replayed))
                self.assertIn("FAIL", self.verdicts(held).values())
                self.assertIn("ok", self.verdicts(held).values())
                self.assertIn("FAIL", " ".join(self.torn_rows(held).values()))


    def test_each_torn_flash_judged_on_a_copy_is_the_one_of_a_run_of_its_own(self):
        # The check fails at every cut and says what the whole flash holds, which the JSON
        # keeps for each cut: the copies a held run tears and the flash a run of its own
        # with the torn fault leaves are compared byte for byte (the partly programmed
        # byte, the partly erased block), on an image, in RAM mode and in a folder.
        self.put("conf", noise("conf", 700))
        self.flashsim("--dir", "devices", "--", "true")
        check = "cat /dev/mtd0 /dev/mtd1 /dev/mtd2 /dev/mtd3 | cksum; exit 1"
        # Erases and writes, and a write that NOR stops part way (over cells not erased).
        script = ["sh", "-c", "flashtool writetempconf conf; flashtool writebootp k.img; "
                  "dd if=conf of=/dev/mtd3 bs=700 count=1 conv=notrunc 2>/dev/null; true"]
        for flash in (["--image", "flash.img"], ["--image", "flash.img", "--ram"],
                      ["--dir", "devices"]):
            with self.subTest(flash=flash):
                cuts = []
                for mode in ([], ["--replay"]):
                    done = self.flashsim("campaign", *flash, "--all", "--torn", "--seed", "5",
                                         "--json", "r.json", *mode, "--check", check, "--",
                                         *script)
                    self.assertEqual(done.returncode, 1, done.stderr)
                    cuts.append([{k: v for k, v in c.items() if k != "time"}
                                 for c in json.loads(self.get("r.json"))["cuts"]])
                self.assertEqual(cuts[0], cuts[1])
                inside = [c for c in cuts[0] if c["cut"] == "inside"]
                self.assertGreater(len(inside), 20)
                self.assertGreater(len({c["output"][0] for c in inside}), 20)

    def test_a_folder_of_devices_gives_the_same_verdicts_as_an_image(self):
        self.flashsim("--dir", "devices", "--", "true")
        found = {}
        for mode in ([], ["--replay"]):
            done = self.flashsim("campaign", "--dir", "devices", "--all", "--keep", "kept",
                                 *mode, "--check", "flashtool checkkernel k.crc k.img", "--",
                                 "flashtool", "writebootp", "k.img")
            self.assertEqual(done.returncode, 1, done.stderr)
            found[tuple(mode)] = self.verdicts(done)
        self.assertEqual(found[()], self.verdicts(self.campaign("--all")))
        self.assertEqual(found[()], found[("--replay",)])
        self.assertEqual(self.get("devices/mtd1"), b"\xff" * 0xE0000)

    def test_each_run_starts_from_the_starting_flash(self):
        # Were the flash left as the counting run left it, the block would be the stamp
        # already at the first cut points.
        self.put("stamp", STAMP)
        check = "dd if=/dev/mtd0 bs=8192 skip=4 count=1 2>/dev/null | cmp -s - stamp"
        done = self.campaign(check=check,
                             script=["sh", "-c", "flashtool erasel1 && flashtool writel1"])
        verdicts = self.verdicts(done)
        self.assertEqual([verdicts[n] for n in sorted(verdicts)[:5]], ["FAIL"] * 5)
        self.assertEqual(verdicts[max(verdicts)], "ok")
        self.assertEqual(len(self.windows(done)), 1)


class Windows(Case):
    def test_sampled_edges_are_exact_and_kept_evidence_reproduces(self):
        # The check looks at the kernel's first 11000 bytes: the window ends at its 11th
        # write of 1 KiB (the last that fails is the 10th), in the middle of a run of 20
        # alike writes that sampling skips.
        self.put("k.head", self.get("k.img")[:11000])
        check = "head -c 11000 /dev/mtd1 | cmp - k.head"
        every = self.campaign("--all", check=check)
        sampled = self.campaign("--keep", "kept", "--json", "report.json", check=check)
        self.assertEqual(every.returncode, 1)
        self.assertEqual(self.windows(sampled), self.windows(every))
        self.assertEqual(len(self.windows(every)), 1)
        self.assertIn("exact operation is found", sampled.stdout)
        self.assertLess(len(self.verdicts(sampled)), len(self.verdicts(every)))
        verdicts = self.verdicts(every)
        last = max(n for n, v in verdicts.items() if v == "FAIL")
        self.assertEqual(verdicts[last + 1], "ok")
        self.assertIn(f"to cut after {last} (flashtool writebootp k.img, mtd1 write 0x002400)",
                      self.windows(every)[0])
        self.assertIn("differ", sampled.stdout)     # the check's own words
        report = json.loads(self.get("report.json"))
        first = report["windows"][0]["first"]["operation"]
        self.assertEqual(report["windows"][0]["last"]["operation"], last)
        self.assertEqual(report["uncut"], "ok")
        self.assertEqual({c["operation"]: c["verdict"] for c in report["cuts"]},
                         self.verdicts(sampled))
        # The kept flash is made again by the command line the campaign gives.
        line = [l for l in sampled.stdout.splitlines() if "made again by: " in l][0]
        command = line.split("made again by: ", 1)[1].replace("COPY.img", "copy.img")
        self.assertIn(f"--faults kill-after:{first} ", command)
        done = subprocess.run(["sh", "-c", command], cwd=self.dir, env=self.env,
                              capture_output=True)
        self.assertEqual(done.returncode, 137, done.stderr)
        self.assertTrue(self.get("copy.img") == self.get(f"kept/cut-{first}.img"))
        self.assertTrue(self.get("kept/start.img") == self.start)

    def test_torn_cuts_are_named_and_repeat_with_their_seed(self):
        runs = [self.campaign("--torn", "--seed", "11", "--json", "report.json")
                for _ in range(2)]
        inside = [[l for l in done.stdout.splitlines() if l.startswith("cut inside ")]
                  for done in runs]
        self.assertEqual(inside[0], inside[1])
        self.assertIn("torn cuts with seed 11", runs[0].stdout)
        self.assertRegex("\n".join(inside[0]), r"cut inside \d+ .* mtd1 erase .* "
                                               r"FAIL  \(erase, \d+ of 14 blocks\)")
        self.assertRegex("\n".join(inside[0]), r"\(write, \d+ of 1024 bytes\)")
        # In the report a cut inside an operation comes before the cut after it: the flash
        # it leaves is the earlier one.
        cuts = [(c["operation"], c["cut"]) for c in json.loads(self.get("report.json"))["cuts"]]
        self.assertEqual(cuts, sorted(cuts, key=lambda c: (c[0], c[1] == "after")))
        self.assertTrue([n for n, cut in cuts if cut == "inside" and (n, "after") in cuts])

    def test_torn_windows_are_kept_and_made_again(self):
        # The block is either the old one or the stamp: a cut inside the erase or a write
        # opens the window, so its first cut is a torn one.
        self.put("stamp", STAMP)
        self.put("old", self.start[L1:L1 + 0x2000])
        check = ('h=$(dd if=/dev/mtd0 bs=8192 skip=4 count=1 2>/dev/null | cksum); '
                 '[ "$h" = "$(cksum < stamp)" ] || [ "$h" = "$(cksum < old)" ]')
        done = self.campaign("--torn", "--seed", "11", "--keep", "kept", "--json", "r.json",
                             check=check, script=["sh", "-c",
                                                  "flashtool erasel1 && flashtool writel1"])
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        self.assertRegex(self.windows(done)[0], r"^window: cut inside \d+ \(erase")
        lines = [l for l in done.stdout.splitlines() if "made again by: " in l]
        self.assertEqual(len(lines), len(self.windows(done)))
        first = int(self.windows(done)[0].split()[3])
        command = lines[0].split("made again by: ", 1)[1].replace("COPY.img", "copy.img")
        self.assertIn(f"--torn --seed 11 --faults kill-after:{first} ", command)
        made = subprocess.run(["sh", "-c", command], cwd=self.dir, env=self.env,
                              capture_output=True)
        self.assertEqual(made.returncode, 137, made.stderr)
        self.assertTrue(self.get("copy.img") == self.get(f"kept/cut-inside-{first}.img"))
        self.assertNotEqual(self.get("copy.img"), self.start)
        self.assertEqual(json.loads(self.get("r.json"))["kept"],
                         [self.path("kept/start.img"), self.path(f"kept/cut-inside-{first}.img")])

    def test_state_folder_is_put_back_before_each_run_and_seen_as_the_cut_left_it(self):
        os.mkdir(self.path("state"))
        self.put("state/config", b"old\n")
        script = ["sh", "-c", 'cp state/config state/backup && echo new > state/config && '
                  'flashtool writebootp k.img && rm state/backup']
        # Every cut during the write finds the backup, and no backup is left from an
        # earlier run: the uncut run's check does not.
        check = "test -f state/backup && test $(cat state/config) = new && ! test -f state/x"
        done = self.campaign("--state", "state", check=check, script=script)
        verdicts = self.verdicts(done)
        self.assertEqual(set(verdicts.values()), {"ok"}, done.stdout)
        self.assertRegex(done.stdout, r"no cut .* FAIL")
        self.assertEqual(sorted(os.listdir(self.path("state"))), ["config"])
        self.assertEqual(self.get("state/config"), b"old\n")


class ScriptStatus(Case):
    """The procedure's own result counts: a failing script fails the campaign unless its
    status is the one expected, and says why in its last lines."""

    SCRIPT = ["sh", "-c", "flashtool writebootp k.img; seq 1 30; echo 'release damaged' >&2; "
              "exit 3"]

    def test_the_script_status_against_the_expected_one(self):
        failing = "the script ended with exit status 3, not 0: the campaign fails; its last lines:"
        for args, status, expected, said, result in [
            ([], 1, 0, failing, "fail"),
            (["--expect-status", "3"], 0, 3, None, "pass"),
            (["--expect-status", "4"], 1, 4, "exit status 3, not 4 (--expect-status 4): the "
             "campaign fails", "fail"),
        ]:
            with self.subTest(args=args):
                done = self.campaign(*args, "--json", "report.json", script=self.SCRIPT,
                                     check="true")
                self.assertEqual(done.returncode, status, done.stdout + done.stderr)
                lines = done.stdout.splitlines()
                if said is None:
                    self.assertNotIn("the script ended", done.stdout)
                else:
                    at = [i for i, l in enumerate(lines) if said in l]
                    self.assertEqual(len(at), 1, done.stdout)
                    # The last ten lines, both streams, in order.
                    self.assertEqual(lines[at[0] + 1:at[0] + 11],
                                     [f"    {n}" for n in range(22, 31)] + ["    release damaged"])
                    self.assertRegex(lines[at[0] - 1], r"^no cut ")
                report = json.loads(self.get("report.json"))
                self.assertEqual((report["exit_status"], report["expected_status"],
                                  report["result"]), (3, expected, result))
        # A script that fails without a word still fails, and says it printed nothing.
        done = self.campaign(script=["sh", "-c", "exit 1"], check="true")
        self.assertEqual(done.returncode, 1)
        self.assertIn("exit status 1, not 0: the campaign fails (it printed nothing)", done.stdout)


def private_mounts(mounts):
    """A preexec function: the child gets a mount namespace of its own (as an ordinary
    user, inside a user namespace of its own) in which mounts(mount) makes its mounts,
    mount being libc's mount(2); exits 120 when no namespace can be had, 121 when a
    mount is refused."""
    def enter():
        libc = ctypes.CDLL(None, use_errno=True)
        libc.mount.argtypes = [ctypes.c_char_p] * 3 + [ctypes.c_ulong, ctypes.c_char_p]
        uid, gid = os.geteuid(), os.getegid()
        if libc.unshare(0x20000 if uid == 0 else 0x10020000) != 0:
            os._exit(120)
        if uid != 0:
            for name, text in (("uid_map", f"{uid} {uid} 1"), ("setgroups", "deny"),
                               ("gid_map", f"{gid} {gid} 1")):
                with open(f"/proc/self/{name}", "w") as f:
                    f.write(text)
        # MS_REC | MS_PRIVATE first, so that nothing reaches the machine's mounts.
        if libc.mount(None, b"/", None, 16384 | (1 << 18), None) != 0 or \
                not mounts(lambda *args: libc.mount(*args) == 0):
            os._exit(121)
    return enter


def private_tmpfs(folder, size):
    """A child whose folder is a tmpfs of size bytes: a temporary folder on another file
    system than the workspace, as in most CI containers."""
    return private_mounts(lambda mount: mount(b"tmpfs", folder.encode(), b"tmpfs", 0,
                                              f"size={size},mode=1777".encode()))


def as_nobody(case):
    """The command prefix that runs a program as an ordinary user when the tests run as
    root (root hides what permissions do), the folders it needs opened to it."""
    if os.geteuid() != 0:
        return []
    for path in (case.dir, case.tmp):
        os.chmod(path, 0o777)
    return ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


class CiConditions(Case):
    """What a CI pipeline does to a campaign, each once: a temporary folder on another file
    system, a hard kill, two jobs on one workspace, a read-only checkout."""

    def launcher(self, *args, user=(), **options):
        return subprocess.Popen(list(user) + [os.path.join(BUILD(), "flashsim")] + list(args),
                                cwd=self.dir, env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, **options)

    def wait_for(self, name, proc):
        end = time.monotonic() + 60
        while not os.path.exists(self.path(name)) and time.monotonic() < end and \
                proc.poll() is None:
            time.sleep(0.02)
        if not os.path.exists(self.path(name)):
            self.fail(f"{name} never came; the launcher ended with {proc.poll()}: "
                      f"{proc.communicate(timeout=60)[1] if proc.poll() is not None else ''}")

    def test_temporary_folder_on_a_tmpfs(self):
        if os.geteuid() != 0 and not os.path.exists("/proc/self/ns/user"):
            self.skipTest("no mount namespace")
        args = ["campaign", "--image", "flash.img", "--all", "--check",
                "flashtool checkkernel k.crc k.img", "--", "flashtool", "writebootp", "k.img"]
        here = self.launcher(*args)
        here_out = here.communicate(timeout=120)[0]
        # A check that fills TMPDIR and fails stands for another job filling it meanwhile.
        fill = f"head -c 100000000 /dev/zero > {self.tmp}/filler; false"
        for size, check, status, said in [
            (64 << 20, "flashtool checkkernel k.crc k.img", 1, None),
            (2 << 20, "true", 2, "no room in the temporary folder {} \\(TMPDIR\\): this "
             "campaign needs about [0-9]+ MiB there, [0-9]+ MiB are free; give TMPDIR another "
             "folder"),
            (64 << 20, fill, 2, "no room left in the temporary folder {} \\(TMPDIR\\) "
             "during the check of the whole script: this campaign needs about [0-9]+ MiB there; give "
             "TMPDIR another folder"),
        ]:
            with self.subTest(size=size, check=check):
                args[args.index("--check") + 1] = check
                proc = self.launcher(*args, preexec_fn=private_tmpfs(self.tmp, size))
                out, err = proc.communicate(timeout=120)
                self.assertNotIn("Traceback", err)
                self.assertEqual(proc.returncode, status, err)
                if status == 1:
                    self.assertEqual(self.rows(out), self.rows(here_out))
                else:
                    self.assertEqual(out, "")
                    self.assertRegex(err, "^flashsim: " + said.format(self.tmp) + "\n$")
                self.assertTrue(self.get("flash.img") == self.start)
        self.assertTrue(here_out)

    def rows(self, out):
        return self.verdicts(subprocess.CompletedProcess([], 0, out, ""))

    def test_sigkill_leaves_no_process_the_flash_as_it_was_and_the_next_sweeps(self):
        user = as_nobody(self)
        # The checks of the cuts (not the uncut run's) wait; meanwhile the held run waits
        # at its gate for them, with a process in a session of its own.
        self.put("check.sh", b"flashtool checkkernel k.crc k.img && exit\n"
                             b"touch check-waits; sleep %s\n" % LINGER.encode())
        script = f"setsid sleep {LINGER} & flashtool writebootp k.img"
        proc = self.launcher("campaign", "--image", "flash.img", "-j", "2", "--check",
                             "sh check.sh", "--", "sh", "-c", script, user=user)
        self.addCleanup(proc.kill)
        self.wait_for("check-waits", proc)
        end = time.monotonic() + 30
        while len(alive(LINGER)) < 4 and time.monotonic() < end:
            time.sleep(0.05)
        self.assertGreaterEqual(len(alive(LINGER)), 4, "the held run and two checks")
        proc.kill()
        proc.communicate(timeout=10)
        time.sleep(1.0)
        self.assertEqual(alive(LINGER), [])
        self.assertTrue(self.get("flash.img") == self.start, "the user's flash was written")
        left = os.listdir(self.tmp)
        self.assertTrue([n for n in left if n.startswith("flashsim-")], left)
        # The next campaign removes what the dead one left.
        done = subprocess.run(user + [os.path.join(BUILD(), "flashsim"), "campaign", "--image",
                                      "flash.img", "--check", "true", "--", "true"],
                              cwd=self.dir, env=self.env, capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)

    def test_sigkill_of_a_plain_run_takes_every_process_with_it(self):
        user = as_nobody(self)
        os.chmod(self.path("flash.img"), 0o666)
        script = (f"setsid sleep {LINGER} & (trap '' HUP TERM; sleep {LINGER}) & "
                  f"touch run-waits; wait")
        proc = self.launcher("--image", "flash.img", "--", "sh", "-c", script, user=user)
        self.addCleanup(proc.kill)
        self.wait_for("run-waits", proc)
        self.assertGreaterEqual(len(alive(LINGER)), 3)
        proc.kill()
        proc.communicate(timeout=10)
        time.sleep(1.0)
        self.assertEqual(alive(LINGER), [])
        # Its run folder is left to the next launcher, which removes it.
        self.assertEqual(len(os.listdir(self.tmp)), 1)
        done = subprocess.run(user + [os.path.join(BUILD(), "flashsim"), "--image", "flash.img",
                                      "--", "true"], cwd=self.dir, env=self.env)
        self.assertEqual(done.returncode, 0)

    def test_a_plain_run_has_its_flash_a_campaign_its_state_to_itself(self):
        self.put("check.sh", b"touch check-waits; sleep %s\n" % LINGER.encode())
        os.mkdir(self.path("devices"))
        os.mkdir(self.path("state"))
        busy = "^flashsim: .*: another flashsim run or campaign is using this flash\n$"
        for flash in (["--image", "flash.img"], ["--dir", "devices"]):
            with self.subTest(flash=flash):
                if os.path.exists(self.path("check-waits")):
                    os.remove(self.path("check-waits"))
                first = self.launcher("campaign", *flash, "--state", "state", "--check",
                                      "sh check.sh", "--", "flashtool", "writebootp", "k.img")
                self.addCleanup(first.kill)
                self.wait_for("check-waits", first)
                for second, status, said in [
                    # Campaigns only read the flash: they share it.
                    (["campaign", *flash, "--check", "true", "--", "true"], 0, "^$"),
                    ([*flash, "--", "touch", "ran"], 2, busy),
                    (["campaign", *flash, "--state", "state", "--check", "true", "--",
                      "true"], 2, "^flashsim: .*/state: another flashsim campaign is using "
                                  "this --state folder\n$"),
                ]:
                    done = self.flashsim(*second)
                    self.assertEqual(done.returncode, status, done.stderr)
                    self.assertRegex(done.stderr, said)
                first.send_signal(signal.SIGTERM)
                first.communicate(timeout=60)
                self.assertFalse(os.path.exists(self.path("ran")))
        # A plain run holds it too, from campaigns as well; its end lets it go.
        run = self.launcher("--image", "flash.img", "--", "sh", "-c",
                            "touch run-waits; sleep 1")
        self.wait_for("run-waits", run)
        self.assertEqual(self.flashsim("--image", "flash.img", "--", "true").returncode, 2)
        self.assertEqual(self.flashsim("campaign", "--image", "flash.img", "--check", "true",
                                       "--", "true").returncode, 2)
        run.communicate(timeout=60)
        self.assertEqual(self.flashsim("--image", "flash.img", "--", "true").returncode, 0)

    def test_a_read_only_flash_is_judged_never_written(self):
        user = as_nobody(self)
        os.chmod(self.path("flash.img"), 0o444)
        done = subprocess.run(user + [os.path.join(BUILD(), "flashsim"), "campaign", "--image",
                                      "flash.img", "--check", "flashtool checkkernel k.crc k.img",
                                      "--", "flashtool", "writebootp", "k.img"],
                              cwd=self.dir, env=self.env, capture_output=True, text=True)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("window: cut after 1 ", done.stdout)
        # Two campaigns side by side on the one read-only image.
        both = [self.launcher("campaign", "--image", "flash.img", "--check", "sleep 0.2",
                              "--", "flashtool", "erasel1", user=user) for _ in range(2)]
        self.assertEqual([p.communicate(timeout=120)[1] for p in both], ["", ""])
        self.assertEqual([p.returncode for p in both], [0, 0])
        os.chmod(self.path("flash.img"), 0o644)


class Reports(Case):
    """What a CI reads: the JSON and JUnit reports, complete or interrupted."""

    def test_json_and_junit_name_each_window_exactly(self):
        # The check fails from the first write of the kernel to the end: a window that
        # reaches the last cut point. And one that fails at the first few cuts only.
        self.put("k.head", self.get("k.img")[:11000])
        for check, spans, uncut in [
            ("head -c 11000 /dev/mtd1 | cmp - k.head", [(1, 14)], "ok"),
            ("! flashtool checkkernel k.crc k.img", [(24, 25)], "FAIL"),
        ]:
            with self.subTest(check=check):
                done = self.campaign("--all", "--json", "r.json", "--junit", "r.xml",
                                     check=check)
                self.assertEqual(done.returncode, 1, done.stdout)
                self.assertNotIn("no exposed window", done.stdout)
                report = json.loads(self.get("r.json"))
                self.assertEqual([(w["first"]["operation"], w["last"]["operation"],
                                   w["operations"]) for w in report["windows"]],
                                 [(a, b, b - a + 1) for a, b in spans])
                self.assertEqual((report["result"], report["complete"], report["exit_status"]),
                                 ("fail", True, 0))
                failing = [c for c in report["cuts"] if c["verdict"] == "FAIL"]
                self.assertTrue(failing)
                if "cmp" in check:
                    self.assertIn("differ", failing[0]["output"][0])
                suite = ET.parse(self.path("r.xml")).getroot().find("testsuite")
                cases = suite.findall("testcase")
                self.assertEqual((suite.get("tests"), suite.get("failures")),
                                 (str(1 + len(spans)), str(len(spans) + (uncut != "ok"))))
                self.assertEqual(cases[0].get("name"), "no cut: the whole script")
                self.assertEqual(cases[0].find("failure") is None, uncut == "ok")
                self.assertEqual(report["uncut"], uncut)
                for case, (a, b) in zip(cases[1:], spans):
                    self.assertRegex(case.get("name"), f"^window: cut after {a} \\(.*\\) to "
                                                       f"cut after {b} \\(")
                    self.assertIn(f": {b - a + 1} operations", case.find("failure").get("message"))

    def test_a_failing_script_and_an_interrupted_campaign_are_reported(self):
        done = self.campaign("--junit", "r.xml", "--json", "r.json", check="true",
                             script=["sh", "-c", "echo 'release damaged'; exit 1"])
        self.assertEqual(done.returncode, 1)
        failure = ET.parse(self.path("r.xml")).getroot().find("testsuite/testcase/failure")
        self.assertEqual(failure.get("message"), "the script ended with exit status 1, not 0")
        self.assertEqual(failure.text, "release damaged")
        self.assertEqual(json.loads(self.get("r.json"))["script_output"], ["release damaged"])
        self.put("check.sh", b"flashtool checkkernel k.crc k.img && exit\n"
                             b"touch check-waits; sleep %s\n" % LINGER.encode())
        proc = subprocess.Popen([os.path.join(BUILD(), "flashsim"), "campaign", "--image",
                                 "flash.img", "--json", "r.json", "--junit", "r.xml", "--check",
                                 "sh check.sh", "--", "flashtool", "writebootp", "k.img"],
                                cwd=self.dir, env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        end = time.monotonic() + 60
        while not os.path.exists(self.path("check-waits")) and time.monotonic() < end:
            time.sleep(0.05)
        proc.send_signal(signal.SIGTERM)
        proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 128 + signal.SIGTERM)
        report = json.loads(self.get("r.json"))
        self.assertEqual((report["result"], report["complete"]), ("interrupted", False))
        self.assertEqual(report["uncut"], "ok")
        names = [c.get("name") for c in ET.parse(self.path("r.xml")).iter("testcase")]
        self.assertEqual(names[-1], "the campaign")


def untimed(windows):
    """Windows without the time each check took."""
    return [{k: {f: v for f, v in e.items() if f != "time"} if isinstance(e, dict) else e
             for k, e in w.items()} for w in windows]


class Shards(Case):
    """--shard K/N over CI jobs, merged by flashsim report into one campaign's answer."""

    def test_merged_shards_are_one_campaign(self):
        self.put("k.head", self.get("k.img")[:11000])
        check = "head -c 11000 /dev/mtd1 | cmp - k.head"
        for options, count, exact in [
            (["--all"], 2, True),
            (["--all", "--torn", "--seed", "5"], 3, True),
            # Sampled: each shard searches the edges of its own gaps; the windows are the
            # same, the cut points tried are not.
            ([], 2, False),
        ]:
            with self.subTest(options=options, count=count):
                whole = self.campaign("--all", *options[1:], "--json", "whole.json",
                                      check=check)
                for k in range(1, count + 1):
                    done = self.campaign(*options, "--shard", f"{k}/{count}", "--json",
                                         f"s{k}.json", check=check)
                    self.assertIn(done.returncode, (0, 1), done.stderr)
                shards = [self.path(f"s{k}.json") for k in range(count, 0, -1)]
                merged = self.flashsim("report", *shards, "--json", "m.json", "--junit",
                                       "m.xml")
                self.assertEqual((merged.returncode, merged.stderr), (1, ""))
                a, m = json.loads(self.get("whole.json")), json.loads(self.get("m.json"))
                # Each check's time is its own.
                self.assertEqual(untimed(m["windows"]), untimed(a["windows"]))
                self.assertEqual(self.windows(merged), self.windows(whole))
                self.assertEqual((m["result"], m["uncut"], m["shards"]), ("fail", "ok", count))
                verdicts = {(c["operation"], c["cut"]): c["verdict"] for c in m["cuts"]}
                every = {(c["operation"], c["cut"]): c["verdict"] for c in a["cuts"]}
                if exact:
                    self.assertEqual(verdicts, every)
                else:
                    self.assertEqual({k: every[k] for k in verdicts}, verdicts)
                names = [c.get("name") for c in ET.parse(self.path("m.xml")).iter("testcase")]
                self.assertEqual(len(names), 1 + len(a["windows"]))
                for name, window in zip(names[1:], a["windows"]):
                    first, last = window["first"], window["last"]
                    self.assertRegex(name, f"^window: cut {first['cut']} {first['operation']} "
                                           f".* to cut {last['cut']} {last['operation']} ")

    def test_shard_mistakes_are_one_line(self):
        done = self.campaign("--all", "--shard", "1/2", "--json", "a.json", check="true")
        self.assertEqual(done.returncode, 0)
        self.campaign("--all", "--json", "b.json", check="false")
        # The mistakes that need no shard report are in Mistakes' table.
        for args, message in [
            (["report", "a.json"], "(2/2 missing)"),
            (["report", "a.json", "a.json"], "each of 1/2 to 2/2 once"),
            (["report", "a.json", "b.json"], "not shards of one campaign: their check differ"),
        ]:
            with self.subTest(args=args):
                done = self.flashsim(*args)
                self.assertEqual((done.returncode, done.stdout), (2, ""), done.stderr)
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                self.assertIn(message, done.stderr)


class Recovery(Case):
    """--recover and --depth 2: the device's next boot after each cut, and a second cut
    inside it. The upgrade saves the configuration in the boot area, then writes a new
    journalling file system (which holds none); the next boot puts it back."""
    # Safe after one cut, but it erases the record before its copy is in place: a second
    # cut between the two loses the configuration.
    UNSAFE = b"""set -e
flashtool checktempconf > /dev/null 2>&1 || exit 0
tmp=$(mktemp ram.XXXXXX)
flashtool readtempconf "$tmp" > /dev/null
flashtool erasetempconf
cp "$tmp" conf/device.conf
"""

    def setUp(self):
        super().setUp()
        os.mkdir(self.path("new"))
        for name, size in (("kernel", 1000), ("rootfs", 1500), ("jffs", 2500)):
            data = noise(name, size)
            self.put(f"new/{name}.img", data)
            self.put(f"new/{name}.crc", b"%08x\n" % zlib.crc32(data))
        os.mkdir(self.path("conf"))
        self.put("conf/device.conf", b"hostname=unit7\n")
        self.put("saved.conf", b"hostname=unit7\n")
        self.put("unsafe.sh", self.UNSAFE)
        self.env["UPGRADE_CONFIG"] = "conf/device.conf"

    def depth(self, recovery, *args):
        done = self.campaign("--state", "conf", "--recover", recovery, *args,
                             check=f"{EXAMPLES}/check-config.sh conf/device.conf saved.conf",
                             script=[os.path.join(EXAMPLES, "upgrade.sh"), "new"])
        self.assertEqual(self.get("conf/device.conf"), b"hostname=unit7\n")
        return done

    @staticmethod
    def losing(cuts):
        """The pairs that must lose the configuration: the first cut after the file system
        that held it was let go (inside the write of the new one), the second once the
        record's erase has begun."""
        erase = {}
        for cut in cuts:
            if cut.get("first") and cut["command"] == "flashtool erasetempconf" and \
                    cut["kind"] == "erase":
                erase[cut["first"]["operation"]] = cut["operation"]
        return {(c["first"]["operation"], c["operation"]) for c in cuts
                if c.get("first") and c["first"]["command"].startswith("flashtool writejffs")
                and c["command"] == "flashtool erasetempconf"
                and c["operation"] >= erase[c["first"]["operation"]]}

    def test_a_second_cut_during_the_recovery(self):
        safe = f"{EXAMPLES}/restore-config.sh conf/device.conf"
        for recovery, depth, status in [
            ("sh unsafe.sh", 1, 0),
            ("sh unsafe.sh", 2, 1),
            (safe, 2, 0),     # its rows of the script's cuts are depth one's
            # A recovery that fails is a failed cut, shown with why.
            ("flashtool checktempconf > /dev/null 2>&1 && exit 3; true", 1, 1),
        ]:
            with self.subTest(recovery=recovery, depth=depth):
                done = self.depth(recovery, "--depth", str(depth), "--json", "r.json")
                self.assertEqual(done.returncode, status, done.stdout[-2000:] + done.stderr)
                data = json.loads(self.get("r.json"))
                cuts = data["cuts"]
                pairs = [c for c in cuts if c.get("first")]
                failing = {(c["first"]["operation"], c["operation"]) for c in pairs
                           if c["verdict"] != "ok"}
                self.assertEqual(bool(pairs), depth == 2)
                self.assertEqual(failing, self.losing(cuts) if status and depth == 2 else set())
                if recovery.startswith("flashtool"):
                    self.assertIn("(the recovery ended with exit status 3: not checked)",
                                  done.stdout)
                    continue
                self.assertTrue(all(c["verdict"] == "ok" for c in cuts if not c.get("first")))
                if status:
                    first = min(failing)
                    self.assertIn(f"window: cut after {first[0]} in the script, then cut after "
                                  f"{first[1]} in the recovery (flashtool erasetempconf, mtd0 "
                                  f"erase ", done.stdout)
                    # The shards of the same campaign, merged, are that campaign.
                    for k in (1, 2):
                        self.depth(recovery, "--depth", "2", "--shard", f"{k}/2", "--json",
                                   f"s{k}.json")
                    merged = self.flashsim("report", "s2.json", "s1.json", "--json", "m.json")
                    self.assertEqual(merged.returncode, 1, merged.stderr)
                    # Each check's time is its own, and mktemp names its file anew.
                    same = [{k: v for k, v in c.items() if k not in ("time", "command",
                                                                      "repeat")}
                            for c in json.loads(self.get("m.json"))["cuts"]]
                    self.assertEqual(same, [{k: v for k, v in c.items()
                                             if k not in ("time", "command", "repeat")}
                                            for c in cuts])


class NothingSilent(Case):
    """What ends without a word in a pipeline is said: processes a script leaves behind,
    checks past their limit (which get to clean up)."""

    def test_processes_left_running_are_named_before_they_are_killed(self):
        # Both are named as what they run, so the script goes on once both have become sleep.
        daemon = (f"setsid sleep {LINGER} & a=$!; sleep {LINGER} & b=$!; "
                  "until grep -qx sleep /proc/$a/comm && grep -qx sleep /proc/$b/comm; "
                  "do sleep 0.01; done; ")
        for args, what, status in [
            (["--image", "flash.img", "--", "sh", "-c", daemon + "flashtool erasel1"],
             "the command", 0),
            (["campaign", "--image", "flash.img", "--check", "true", "--", "sh", "-c",
              daemon + "flashtool erasel1"], "the script", 0),
        ]:
            with self.subTest(what=what):
                done = self.flashsim(*args)
                self.assertEqual(done.returncode, status, done.stderr)
                named = re.findall(f"^flashsim: sleep {LINGER} \\(pid [0-9]+\\) was still "
                                   f"running when {what} ended: killed$", done.stderr, re.M)
                self.assertEqual(len(named), 2, done.stderr)
                self.assertEqual(alive(LINGER), [])
                self.put("flash.img", self.start)
        # Nothing is named when nothing is left, nor after a power cut, which kills them all.
        for args in (["--", "flashtool", "erasel1"],
                     ["--faults", "kill-after:2", "--", "sh", "-c", daemon + "flashtool erasel1"]):
            done = self.flashsim("--image", "flash.img", *args)
            self.assertEqual(done.stderr.count("still running"), 0, done.stderr)
            self.put("flash.img", self.start)

    def test_a_check_past_its_limit_gets_term_then_kill(self):
        # One check cleans up on TERM; one ignores TERM and is killed two seconds later;
        # one is a script given as a command, whose shell dies on TERM while the script's
        # own cleanup runs.
        self.put("hc.sh", b"#!/bin/sh\ntouch left-$$; trap 'sleep 0.3; rm -f left-$$; "
                          b"exit 1' TERM\nsleep %s & wait\n" % LINGER.encode())
        os.chmod(self.path("hc.sh"), 0o755)
        for check, left in [
            (f"touch left-$$; trap 'rm -f left-$$; exit 1' TERM; sleep {LINGER} & wait", []),
            (f"trap '' TERM; sleep {LINGER}", []),
            ("./hc.sh; true", []),
        ]:
            with self.subTest(check=check):
                began = time.monotonic()
                done = self.campaign("--check-timeout", "0.5", "-j", "8", check=check,
                                     script=["flashtool", "erasel1"])
                took = time.monotonic() - began
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertRegex(done.stdout, r"no cut .* TIMEOUT")
                self.assertEqual(set(self.verdicts(done).values()), {"TIMEOUT"})
                self.assertEqual([n for n in os.listdir(self.dir) if n.startswith("left-")],
                                 left)
                self.assertEqual(alive(LINGER), [])
                if "trap ''" in check:
                    self.assertGreater(took, 2.0, "killed before its grace")


class StateApart(Case):
    def test_state_checks_run_side_by_side_each_on_its_own_copy(self):
        # Each check sees the state as its own cut left it (a count the script raises
        # before each write) while others run: they overlap, and none sees another's.
        os.mkdir(self.path("state"))
        self.put("state/n", b"0\n")
        os.mkdir(self.path("running"))
        script = ["sh", "-c", "for i in 1 2 3 4 5 6; do echo $i > state/n; "
                              "flashtool writetempconf k.crc || exit 1; done"]
        check = ("echo $$ > state/owner; touch running/$$; sleep 0.3; "
                 "ls running | wc -l >> counts; rm running/$$; "
                 'test "$(cat state/owner)" = $$ && test "$(cat state/n)" -ge 1')
        # As an ordinary user: the check's mount namespace is then inside the launcher's
        # user namespace.
        user = as_nobody(self)
        for path in ("state", "running"):
            os.chmod(self.path(path), 0o777)
        os.chmod(self.path("state/n"), 0o666)
        done = subprocess.run(user + [os.path.join(BUILD(), "flashsim"), "campaign", "--image",
                                      "flash.img", "--state", "state", "-j", "4", "--all",
                                      "--check", check, "--"] + script,
                              cwd=self.dir, env=self.env, capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertGreater(max(int(n) for n in self.get("counts").split()), 1,
                           "the checks ran one at a time")
        self.assertEqual(sorted(os.listdir(self.path("state"))), ["n"])
        self.assertEqual(self.get("state/n"), b"0\n")


class StateUnderLoad(Case):
    def test_state_campaigns_judge_exactly_under_load(self):
        # A check that sees its own state copy is forked, and takes its own session a
        # moment later: the end of a held run must not take it for one of the run's.
        os.mkdir(self.path("state"))
        hog = subprocess.Popen(["sh", "-c", "while :; do :; done"])
        self.addCleanup(hog.kill)
        script = ["sh", "-c", "dd if=/dev/zero of=/dev/mtd3 bs=1024 count=4 2>/dev/null; "
                              "echo x >> state/a"]
        for _ in range(20):
            done = self.campaign("--all", "--state", "state", check="echo checked",
                                 script=script)
            self.assertEqual((done.returncode, done.stderr), (0, ""), done.stdout)


class Stopping(Case):
    """Signals, time limits and a closed output: the starting flash put back byte for
    byte, no run folder, no process of the run."""

    def test_signals_during_the_script_and_the_check(self):
        self.put("slow.sh", b"flashtool writebootp k.img; touch script-waits; "
                            b"setsid sleep %s & sleep %s\n" % (LINGER.encode(), LINGER.encode()))
        self.put("check.sh", b"touch check-waits; sleep %s\n" % LINGER.encode())
        for phase, script, check in [("script", ["sh", "slow.sh"], "true"),
                                     ("check", ["flashtool", "writebootp", "k.img"],
                                      "sh check.sh")]:
            for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                with self.subTest(phase=phase, signal=sig.name):
                    marker = self.path(f"{phase}-waits")
                    if os.path.exists(marker):
                        os.remove(marker)
                    proc = subprocess.Popen(
                        [os.path.join(BUILD(), "flashsim"), "campaign", "--image",
                         "flash.img", "--check", check, "--"] + script, cwd=self.dir,
                        env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                        text=True)
                    end = time.monotonic() + 60
                    while not os.path.exists(marker) and time.monotonic() < end:
                        time.sleep(0.05)
                    proc.send_signal(sig)
                    out, err = proc.communicate(timeout=60)
                    self.assertEqual(proc.returncode, 128 + sig, err)
                    self.assertEqual(err.count("\n"), 1, err)
                    self.assertIn(f"stopped by {sig.name}", err)
                    self.assertNotIn("Traceback", err + out)
                    self.assertTrue(self.get("flash.img") == self.start)
                    self.assertEqual(os.listdir(self.tmp), [])
                    self.assertEqual(alive(LINGER), [])

    def test_plain_run_leaves_no_process_of_any_group_at_its_end_or_a_signal(self):
        # Loops that start a program again and again, in the script's group, in a session
        # of their own and under timeout. (That a cut stops them all is the library's:
        # test_library.py.)
        loop = "while /bin/true; do :; done; echo late > end"
        script = f"({loop}) & setsid sh -c '{loop}' & timeout 20 sh -c '{loop}' & " \
                 "flashtool writebootp k.img"
        done = self.flashsim("--image", "flash.img", "--", "sh", "-c", script)
        self.assertEqual(done.returncode, 0, done.stderr)
        time.sleep(1.0)
        self.assertFalse(os.path.exists(self.path("end")), "a process went on")
        proc = subprocess.Popen([os.path.join(BUILD(), "flashsim"), "--image", "flash.img",
                                 "--", "sh", "-c", f"setsid sleep {LINGER} & touch up; sleep {LINGER}"],
                                cwd=self.dir, env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        end = time.monotonic() + 60
        while not os.path.exists(self.path("up")) and time.monotonic() < end:
            time.sleep(0.05)
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 128 + signal.SIGTERM)
        self.assertIn("stopped by SIGTERM", err)
        self.assertEqual(alive(LINGER), [])

    def test_plain_run_past_its_time_or_given_up_by_the_simulator_never_passes(self):
        for script, limit, status, message in [
            (f"setsid sleep {LINGER} & sleep {LINGER}", "1", 124, "flashsim: sh ran past 1 s; stopped\n"),
            # A fault list the library refuses, set inside the run, where the launcher
            # could not see it first.
            ("FLASHSIM_FAULTS=bogus:1 flashtool checktempconf; exit 0", "50", None,
             "flashsim: the simulator gave up inside the run\n"),
        ]:
            with self.subTest(script=script):
                done = self.flashsim("--image", "flash.img", "--timeout", limit, "--", "sh",
                                     "-c", script)
                self.assertNotEqual(done.returncode, 0)
                if status is not None:
                    self.assertEqual(done.returncode, status)
                self.assertTrue(done.stderr.endswith(message), done.stderr)
                self.assertEqual(alive(LINGER), [])

    def test_hung_check_times_out(self):
        began = time.monotonic()
        done = self.campaign("--check-timeout", "2", check=f"touch x; sleep {LINGER}",
                             script=["sh", "-c", "flashtool erasel1"])
        self.assertLess(time.monotonic() - began, 60)
        self.assertEqual(done.returncode, 1)
        self.assertRegex(done.stdout, r"no cut .* TIMEOUT")
        self.assertEqual(set(self.verdicts(done).values()), {"TIMEOUT"})
        self.assertEqual(alive(LINGER), [])
        # The script's limit counts the time it runs, not the time it is held while the
        # checks, one at a time here, catch up.
        done = self.campaign("--timeout", "1.5", "-j", "1", check="sleep 0.2")
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertGreater(len(self.verdicts(done)), 10)

    def test_closed_output_ends_quietly(self):
        done = subprocess.run(
            ["sh", "-c", f"{shlex.quote(os.path.join(BUILD(), 'flashsim'))} campaign --all "
             "--image flash.img --check true -- flashtool writebootp k.img | head -1"],
            cwd=self.dir, env=self.env, capture_output=True, text=True, timeout=120)
        self.assertEqual(done.stderr, "")
        self.assertEqual(len(done.stdout.splitlines()), 1)
        self.assertTrue(self.get("flash.img") == self.start)


class Library(Case):
    """The library preloaded directly (LD_PRELOAD, without the launcher), as the manual's
    ENVIRONMENT section describes."""

    def preloaded(self, env, command):
        env = dict(self.env, LD_PRELOAD=os.path.join(BUILD(), "tools", "flashsim",
                                                     "libflashsim.so"), **env)
        return subprocess.run(["sh", "-c", command], cwd=self.dir, env=env,
                              capture_output=True)

    def test_direct_preload(self):
        old = self.start
        anded = bytes(a & b for a, b in zip(old[L1:L1 + 0x2000], STAMP))
        for ram, block in (("0", anded), ("", anded), ("1", STAMP)):
            with self.subTest(ram=ram):
                self.put("flash.img", old)
                done = self.preloaded({"FLASHSIM_IMAGE": "flash.img", "FLASHSIM_RAM": ram,
                                       "FLASHSIM_NOR": "and"},
                                      f"{os.path.join(BUILD(), 'flashtool')} writel1")
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(self.get("flash.img")[L1:L1 + 0x2000], block)
        self.put("flash.img", old)
        # /dev/null and the other /dev names are the machine's own.
        done = self.preloaded({"FLASHSIM_IMAGE": "flash.img"},
                              "echo x > /dev/null && head -c 4 /dev/zero | od -An -tx1")
        self.assertEqual((done.returncode, done.stdout.split()), (0, [b"00"] * 4))
        self.assertTrue(self.get("flash.img") == old)
        # An image of the wrong size is refused, never grown.
        self.put("small.img", b"\0" * 100)
        done = self.preloaded({"FLASHSIM_IMAGE": "small.img"},
                              f"{os.path.join(BUILD(), 'flashtool')} erasel1")
        self.assertNotEqual(done.returncode, 0)
        self.assertEqual(self.get("small.img"), b"\0" * 100)
        self.start = old


# A program the simulator does not serve: statically linked, it opens /dev/mtd2 itself.
OPENER = rb"""#include <fcntl.h>
#include <unistd.h>
int main(void) {
    int fd = open("/dev/mtd2", O_WRONLY);
    return fd < 0 || write(fd, "static", 6) != 6 ? 1 : 0;
}
"""
# escaper PATH [umount|quick|caps]: writes "static" to PATH, a stand-in for the host's
# flash; first unmounts /dev when asked (what a file capability or a set-user-ID bit would
# let it do); quick: opens PATH without waiting and ends at once, writing nothing; caps:
# ends with 0 when it holds any capability, a privilege gained.
ESCAPER = rb"""#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>
int main(int argc, char** argv) {
    const char* how = argc > 2 ? argv[2] : "";
    if (argc < 2) return 2;
    if (strcmp(how, "caps") == 0) {
        char line[256];
        FILE* status = fopen("/proc/self/status", "r");
        while (status && fgets(line, sizeof line, status))
            if (strncmp(line, "CapEff:", 7) == 0) return strspn(line + 7, "\t0") == strlen(line + 7) - 1;
        return 1;
    }
    if (strcmp(how, "umount") == 0) umount2("/dev", MNT_DETACH);
    int fd = open(argv[1], O_WRONLY | (strcmp(how, "quick") == 0 ? O_NONBLOCK : 0));
    if (strcmp(how, "quick") == 0) return 0;
    return fd < 0 || write(fd, "static", 6) != 6 ? 1 : 0;
}
"""
# reopen freopen|freopen64: reopens its standard output onto /dev/mtd2 and writes there;
# ends with 1 when the reopen is refused.
REOPEN = rb"""#define _LARGEFILE64_SOURCE
#include <stdio.h>
#include <string.h>
int main(int argc, char** argv) {
    FILE* out = argc > 1 && strcmp(argv[1], "freopen64") == 0
        ? freopen64("/dev/mtd2", "w", stdout) : freopen("/dev/mtd2", "w", stdout);
    return out == NULL || fputs("static", out) < 0 || fflush(out) != 0 ? 1 : 0;
}
"""
# Runs a command where unshare(2) fails, as in a container whose seccomp profile refuses it.
NO_UNSHARE = rb"""#include <errno.h>
#include <stddef.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
int main(int argc, char** argv) {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_unshare, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (argc < 2 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        return 125;
    execvp(argv[1], argv + 1);
    return 127;
}
"""


def host_dev(folder):
    """A child whose /dev is folder, with the machine's null and zero bound in: the host
    as the launcher then sees it."""
    def mounts(mount):
        # MS_BIND for each node, then folder over /dev (MS_BIND | MS_REC).
        return all(mount(f"/dev/{name}".encode(), os.path.join(folder, name).encode(), None,
                         4096, None) for name in ("null", "zero")) and \
            mount(folder.encode(), b"/dev", None, 4096 | 16384, None)
    return private_mounts(mounts)


class Host(Case):
    """No run reaches the host's flash: not without its library, not through a program it
    does not serve, not where no /dev of its own can be had but by the user's word."""

    def test_no_run_reaches_the_host(self):
        if shutil.which("cc") is None:
            self.skipTest("no C compiler")
        self.build("opener", OPENER, "-static")
        self.build("no-unshare", NO_UNSHARE)
        # The host: a /dev of the test's own with a /dev/mtd2 that is a plain file.
        os.makedirs(self.path("dev"))
        for name in ("null", "zero"):
            self.put(f"dev/{name}", b"")
        os.symlink("/proc/self/fd", self.path("dev/fd"))
        host_flash = self.put("dev/mtd2", b"host flash")
        os.chmod(host_flash, 0o666)
        # The launcher as an ordinary user: root hides what permissions and namespaces do.
        as_user = []
        if os.geteuid() == 0:
            as_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
            for path in (self.dir, self.tmp):
                os.chmod(path, 0o777)
            os.chmod(self.path("flash.img"), 0o666)
        no_library = dict(self.env, FLASHSIM_LIB=self.path("missing/libflashsim.so"))
        killed = ("flashsim: ./opener \\(pid [0-9]+\\) opened /dev/mtd2, a device the simulator "
                  "does not serve: killed\n")
        counted = ("flashsim: 1 open of a device by a program the simulator does not serve: "
                   "the run fails\n")
        campaign = ["campaign", "--image", "flash.img", "--check", "true", "--"]
        for name, user, unshare, mtd2, env, args, status, message, out in [
            ("no library", as_user, [], True, no_library,
             ["--image", "new.img", "--", "touch", "ran"], 2,
             "flashsim: .*/missing/libflashsim.so: cannot load the simulator library\n", ""),
            ("no library, campaign", as_user, [], True, no_library,
             ["campaign", "--image", "new.img", "--check", "true", "--", "touch", "ran"], 2,
             "flashsim: .*/missing/libflashsim.so: cannot load the simulator library\n", ""),
            # A program the library serves writes the simulated /dev/mtd2, unseen.
            ("served", as_user, [], True, self.env,
             ["--image", "flash.img", "--ram", "--", "sh", "-c", "echo x > /dev/mtd2"], 0, "", ""),
            ("static", as_user, [], True, self.env,
             ["--image", "flash.img", "--", "./opener"], 137, killed + counted, ""),
            ("static as root", [], [], True, self.env,
             ["--image", "flash.img", "--", "./opener"], 137, killed + counted, ""),
            ("static, campaign", as_user, [], True, self.env, campaign + ["./opener"], 1,
             f"({killed})+", "(.*\n)*[0-9]+ opens? of a device by a program the simulator does "
             "not serve \\(see above\\): the campaign fails\n.*\n"),
            ("no namespace", as_user, ["./no-unshare"], True, self.env,
             ["--image", "flash.img", "--", "./opener"], 2,
             "flashsim: no /dev of its own can be had here \\(unshare: Operation not permitted\\) "
             "and this machine has /dev/mtd\\*: .*; --allow-host-mtd runs anyway\n", ""),
            ("no namespace, no host flash", as_user, ["./no-unshare"], False, self.env,
             ["--image", "flash.img", "--ram", "--", "sh", "-c", "echo x > /dev/mtd2"], 0, "", ""),
            # The user's word: the static program then writes the host's /dev/mtd2.
            ("no namespace, allowed", as_user, ["./no-unshare"], True, self.env,
             ["--image", "flash.img", "--allow-host-mtd", "--", "./opener"], 0, "", ""),
        ]:
            if user == [] and os.geteuid() != 0:
                continue
            with self.subTest(name=name):
                self.put("dev/mtd2", b"host flash")
                if mtd2 is False:
                    os.rename(host_flash, self.path("host-flash"))
                done = subprocess.run(
                    unshare + user + [os.path.join(BUILD(), "flashsim")] + args, cwd=self.dir,
                    env=env, capture_output=True, text=True, timeout=120,
                    preexec_fn=host_dev(self.path("dev")))
                if mtd2 is False:
                    os.rename(self.path("host-flash"), host_flash)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertRegex(done.stderr, f"^{message}$")
                self.assertRegex(done.stdout, f"^{out}$")
                self.assertEqual(self.get("dev/mtd2"),
                                 b"static" + b"host flash"[6:] if "allowed" in name
                                 else b"host flash")
                self.assertFalse(os.path.exists(self.path("ran")) or
                                 os.path.exists(self.path("new.img")), "the run went on")
                self.assertEqual(os.listdir(self.tmp), [])


class Seal(Case):
    """No program of a run reaches the host's flash by any route, as root or not: in a plain
    run, in a campaign's script and in its check. The host's flash is a stand-in, files named
    as flash devices in a /dev of the test's own; a route counts when one of them changed."""

    STAND_INS = ("mtd2", "mtdblock2", "ubi0_0")
    ROUTES = [
        ("a static program", "./esc /dev/mtd2"),
        ("an mtdblock device", "./esc /dev/mtdblock2"),
        ("a UBI volume", "./esc /dev/ubi0_0"),
        ("/dev unmounted", "umount -l /dev; ./esc /dev/mtd2"),
        ("/dev made writable, a node made", "mount -o remount,rw /dev; mknod /dev/node c 90 4; "
         "./esc /dev/node"),
        ("a node made in the work folder", "mknod node c 90 4; ./esc node"),
        ("/proc unmounted", "umount -l /proc; ./esc /proc/1/root/dev/mtd2"),
        ("a file capability", "./esc-cap /dev/mtd2 umount"),
        # One the seal does not drop: an ordinary user's program gains it without the
        # no-new-privileges step (root holds it anyway).
        ("a harmless file capability gained", "./esc-raw - caps"),
        ("a set-user-ID root program", "./esc-suid /dev/mtd2 umount"),
        ("a descriptor handed in", "echo static >&3 || exit 1"),
        ("an open that ends at once", "./esc /dev/mtd2 quick"),
    ]

    def test_every_route_fails_or_is_refused(self):
        if shutil.which("cc") is None or os.geteuid() != 0:
            self.skipTest("needs a C compiler and root (to make the stand-ins and helpers)")
        self.build("esc", ESCAPER, "-static")
        for name, how in (("esc-cap", ["setcap", "cap_sys_admin+ep"]),
                          ("esc-raw", ["setcap", "cap_net_raw+ep"]),
                          ("esc-suid", ["chmod", "4755"])):
            shutil.copy(self.path("esc"), self.path(name))
            subprocess.run(how + [self.path(name)], check=True)
        os.makedirs(self.path("dev"))
        for name in ("null", "zero"):
            self.put(f"dev/{name}", b"")
        os.symlink("/proc/self/fd", self.path("dev/fd"))
        for path in (self.dir, self.tmp, self.path("dev")):
            os.chmod(path, 0o777)
        os.chmod(self.path("flash.img"), 0o666)
        nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        # Each mode: the launcher's arguments for a route, and the statuses that say it
        # failed (a plain run: the route's own failure, or 137 when it was killed; 2 would
        # be the launcher refusing its arguments).
        modes = [
            ("plain run", lambda route: ["--image", "flash.img", "--", "sh", "-c", route],
             [status for status in range(1, 256) if status != 2]),
            ("campaign", lambda route: ["campaign", "--image", "flash.img", "--check", "true",
                                        "--", "sh", "-c", route], (1,)),
            ("check", lambda route: ["campaign", "--image", "flash.img", "--check", route, "--",
                                     "true"], (1,)),
        ]
        for route, command in self.ROUTES:
            for user, prefix in (("nobody", nobody), ("root", [])):
                if user == "root" and "harmless" in route:
                    continue
                for mode, args, failed in modes:
                    with self.subTest(route=route, user=user, mode=mode):
                        done = self.sealed(prefix, "3<>/dev/mtd2", args(command))
                        self.assertIn(done.returncode, failed, done.stdout + done.stderr)
        # A standard stream that is a flash device is refused before anything runs.
        for user, prefix in (("nobody", nobody), ("root", [])):
            for mode, args, _ in modes[:2]:
                with self.subTest(route="standard input", user=user, mode=mode):
                    done = self.sealed(prefix, "< /dev/mtd2", args("./esc /dev/mtd2"))
                    self.assertEqual((done.returncode, done.stdout, done.stderr), (
                        2, "", "flashsim: standard input is a flash device (/dev/mtd2): "
                               "refused\n"))

    def test_a_stream_reopened_onto_a_device_never_reaches_its_path(self):
        # The library alone (no launcher, no /dev of the run's own): freopen onto a device
        # it serves, or one the faults say is missing, is refused, never passed on to the
        # path, here the host's stand-in.
        if shutil.which("cc") is None or os.geteuid() != 0:
            self.skipTest("needs a C compiler and root (for a /dev of the test's own)")
        self.build("reopen", REOPEN)
        os.makedirs(self.path("dev"))
        for name, data in (("null", b""), ("zero", b""), ("mtd2", b"host flash")):
            self.put(f"dev/{name}", data)
        for call, faults in [("freopen", "missing:mtd2"), ("freopen64", "missing:mtd2"),
                             ("freopen", "")]:
            with self.subTest(call=call, faults=faults):
                done = subprocess.run(
                    ["./reopen", call], cwd=self.dir, capture_output=True, text=True,
                    preexec_fn=host_dev(self.path("dev")), timeout=60,
                    env=dict(self.env, LD_PRELOAD=os.path.join(BUILD(), "tools", "flashsim",
                                                               "libflashsim.so"),
                             FLASHSIM_IMAGE="flash.img",
                             FLASHSIM_FAULTS=faults))
                self.assertEqual((done.returncode, done.stdout), (1, ""), done.stderr)
                self.assertEqual(self.get("dev/mtd2"), b"host flash")

    def sealed(self, prefix, redirection, args):
        """The launcher started with redirection (made in the host's /dev) by the user of
        prefix; every stand-in must be as it was, and no node made."""
        for name in self.STAND_INS:
            self.put(f"dev/{name}", b"host flash")
            os.chmod(self.path(f"dev/{name}"), 0o666)
        done = subprocess.run(
            prefix + ["sh", "-c", f'exec "$@" {redirection}', "sh",
                      os.path.join(BUILD(), "flashsim")] + args,
            cwd=self.dir, env=self.env, capture_output=True, text=True, timeout=120,
            preexec_fn=host_dev(self.path("dev")))
        self.assertNotIn("Traceback", done.stderr)
        for name in self.STAND_INS:
            self.assertEqual(self.get(f"dev/{name}"), b"host flash", name)
        self.assertFalse(os.path.lexists(self.path("node")), "a device node was made")
        self.put("flash.img", self.start)
        return done


# Another board's NOR map: 8 MiB in five partitions, the environment in 4 KiB sectors.
BOARD = (b'mtd0: 00040000 00010000 "u-boot"\n'
         b'mtd1: 00010000 00001000 "env"\n'
         b'mtd2: 00300000 00010000 "kernel"\n'
         b'mtd3: 00400000 00010000 "rootfs"\n'
         b'mtd4: 000b0000 00010000 "data"\n')
BOARD_STARTS = (0, 0x40000, 0x50000, 0x350000, 0x750000)
# Writes 8 KiB at the start of every partition, in order: 2 writes of 4 KiB each.
BOARD_SCRIPT = ("for n in 0 1 2 3 4; do dd if=part$n of=/dev/mtd$n bs=4096 conv=notrunc "
                "status=none || exit 1; done")
BOARD_CHECK = "for n in 0 1 2 3 4; do cmp -s -n 8192 /dev/mtd$n part$n || exit 1; done"


class Layouts(Case):
    """--layout: a team's own NOR map, served as /proc/mtd, as devices and as the image."""

    def setUp(self):
        super().setUp()
        self.put("board.mtd", BOARD)
        for n in range(5):
            self.put(f"part{n}", noise(f"part{n}", 8192))

    def test_plain_run_serves_the_map_and_writes_every_partition(self):
        info = ("import fcntl, struct; d = open('/dev/mtd1', 'rb'); "
                "print(*struct.unpack('=B3xIIIIIQ', fcntl.ioctl(d, 0x80204d01, bytes(32)))[:4])")
        for flash in (["--image", "board.img"], ["--dir", "board"]):
            with self.subTest(flash=flash):
                done = self.flashsim(*flash, "--layout", "board.mtd", "--", "sh", "-c",
                                     f"cat /proc/mtd; python3 -c \"{info}\"; {BOARD_SCRIPT}")
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(done.stdout, "dev:    size   erasesize  name\n"
                                 + BOARD.decode() + "3 3072 65536 4096\n")
                if flash[0] == "--image":
                    self.assertIn("board.img, an 8 MiB flash image, every byte erased", done.stderr)
                    image = self.get("board.img")
                    self.assertEqual(len(image), 0x800000)
                    parts = [image[start:start + 8192] for start in BOARD_STARTS]
                else:
                    self.assertEqual(sorted(os.listdir(self.path("board"))),
                                     [f"mtd{n}" for n in range(5)])
                    parts = [self.get(f"board/mtd{n}")[:8192] for n in range(5)]
                self.assertEqual(parts, [self.get(f"part{n}") for n in range(5)])

    def test_campaign_over_the_map(self):
        self.put("board.img", b"\xff" * 0x800000)
        done = self.flashsim("campaign", "--image", "board.img", "--layout", "board.mtd",
                             "--all", "--keep", "kept", "--check", BOARD_CHECK, "--", "sh",
                             "-c", BOARD_SCRIPT)
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        self.assertEqual(self.get("board.img"), b"\xff" * 0x800000)
        verdicts = self.verdicts(done)
        # Five partitions of dd's open, close (of the descriptor it moves), write, write and
        # close: every cut fails until the last write of the last partition.
        self.assertEqual(verdicts, {n: "FAIL" if n < 24 else "ok" for n in range(1, 26)})
        self.assertEqual(self.windows(done), [
            "window: cut after 1 (dd if=part0 of=/dev/mtd0 bs=4096 conv=notrunc status=none, "
            "mtd0 open 0x000000) to cut after 23 (dd if=part4 of=/dev/mtd4 bs=4096 "
            "conv=notrunc status=none, mtd4 write 0x000000): 23 operations"])
        self.assertIn("--layout " + self.path("board.mtd"), done.stdout)

    def test_a_layout_the_simulator_refuses_is_one_line(self):
        for text in (b'mtd0: 00001000 00010000 "short"\n', b"nonsense\n"):
            with self.subTest(text=text):
                self.put("bad.mtd", text)
                done = self.flashsim("--image", "bad.img", "--layout", "bad.mtd", "--", "true")
                self.assertEqual((done.returncode, done.stdout), (2, ""))
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                self.assertRegex(done.stderr, "^flashsim: .*bad.mtd")
                self.assertFalse(os.path.exists(self.path("bad.img")))


def BUILD():
    return test_flashsim.BUILD


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args, rest = parser.parse_known_args()
    test_flashsim.BUILD = os.path.abspath(args.build)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
