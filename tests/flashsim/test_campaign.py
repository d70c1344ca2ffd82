#!/usr/bin/env python3
"""flashsim as a release pipeline runs it: mistakes refused in one line, signals and time
limits that leave the starting flash and no process behind, exact windows, evidence to
keep, and the same verdicts as one run per cut point.

  test_campaign.py --build BUILD [unittest options]
"""
import argparse
import json
import os
import shlex
import signal
import subprocess
import sys
import time
import unittest
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
    def windows(done):
        return [line for line in done.stdout.splitlines() if line.startswith("window: ")]


class Mistakes(Case):
    def test_each_mistake_is_one_line_status_2_and_nothing_runs(self):
        self.put("script.sh", b"#!/bin/sh\ntouch ran\n")
        os.chmod(self.path("script.sh"), 0o755)
        plain = ["--image", "flash.img"]
        run = ["--", "./script.sh"]
        for args, message in [
            (plain + ["--faults", "kill-after:abc"] + run, "bad fault 'kill-after:abc'"),
            (plain + ["--faults", "kill-after:0"] + run, "bad fault 'kill-after:0'"),
            (plain + ["--faults", "erase-fail:mtd0:x"] + run, "bad fault 'erase-fail:mtd0:x'"),
            (plain + ["--faults", "bogus:1"] + run, "bad fault 'bogus:1'"),
            (plain + ["--", "./missing.sh"], "./missing.sh"),
            (plain + ["--", "no-such-command-here"], "no-such-command-here"),
            (["--image", "no/such/f.img"] + run, "no such folder"),
            (["--dir", "no/such"] + run, "no such folder"),
            (["--dir", "d", "--image", "flash.img"] + run, "not both"),
            (plain + ["campaign", "--check", "true"] + run, "campaign comes first"),
            (plain + ["--timeout", "soon"] + run, "--timeout soon"),
            (plain + ["--log", "no/such/log"] + run, "no such folder"),
            (["campaign", "--image", "flash.img", "--check", "true", "--init"] + run, "--init"),
            (["campaign", "--image", "flash.img"] + run, "--check"),
            (["campaign", "--image", "flash.img", "--check", "./nocheck.sh"] + run,
             "./nocheck.sh"),
            (["campaign", "--image", "flash.img", "--check", "true", "-j", "0"] + run, "-j 0"),
            (["campaign", "--image", "flash.img", "--check", "true", "--keep", "a/b"] + run,
             "no such folder"),
            (["campaign", "--image", "flash.img", "--check", "true", "--json", "a/b.json"]
             + run, "no such folder"),
            (["campaign", "--image", "flash.img", "--check", "true", "--state", "nostate"]
             + run, "nostate"),
            (["campaign", "--image", "flash.img", "--check", "true", "--", "./missing.sh"],
             "./missing.sh"),
        ]:
            with self.subTest(args=args):
                done = self.flashsim(*args)
                self.assertEqual(done.returncode, 2, done.stderr)
                self.assertEqual(done.stdout, "")
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                self.assertTrue(done.stderr.startswith("flashsim: "), done.stderr)
                self.assertIn(message, done.stderr)
                self.assertFalse(os.path.exists(self.path("ran")), "the script ran")
                self.assertFalse(os.path.exists(self.path("no")) or
                                 os.path.exists(self.path("d")) or
                                 os.path.exists(self.path("a")), "a folder was created")
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
            (["campaign", "--image", "ro.img", "--check", "true", "--", "true"],
             "cannot be read and written"),
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

    def test_what_fails_a_campaign(self):
        self.put("once.sh", b"[ -e marker ] || { touch marker; flashtool writebootp k.img; }\n")
        self.put("order.sh", b"if [ -e marker ]; then flashtool writecramfs k.img; "
                             b"else touch marker; flashtool writebootp k.img; fi\n")
        for script, check, status, verdicts in [
            # The whole script's failing check counts, with no cut point at all.
            (["sh", "-c", "true"], "false", 1, set()),
            (["flashtool", "writebootp", "k.img"], "true", 0, {"ok"}),
            # Operations that the cut runs never reach are a failure, not a pass.
            (["sh", "once.sh"], "true", 1, {"not reached"}),
            # Runs that take another path than the counting run: from the first operation
            # that differs (the second: mtd2 opened instead of mtd1) no cut is judged.
            (["sh", "order.sh"], "true", 1, {"ok", "order changed"}),
        ]:
            with self.subTest(script=script, check=check):
                if os.path.exists(self.path("marker")):
                    os.remove(self.path("marker"))
                done = self.campaign(check=check, script=script)
                self.assertEqual(done.returncode, status, done.stdout + done.stderr)
                self.assertEqual(set(self.verdicts(done).values()), verdicts)
                if "order changed" in verdicts:
                    found = self.verdicts(done)
                    self.assertEqual(found[1], "ok")
                    self.assertEqual({found[n] for n in found if n > 1}, {"order changed"})

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
                held = self.campaign("--all", check=check, script=script)
                replayed = self.campaign("--all", "--replay", check=check, script=script)
                self.assertEqual(self.verdicts(held), self.verdicts(replayed))
                self.assertEqual(self.windows(held), self.windows(replayed))
                self.assertIn("FAIL", self.verdicts(held).values())
                self.assertIn("ok", self.verdicts(held).values())


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
        runs = [self.campaign("--torn", "--seed", "11") for _ in range(2)]
        inside = [[l for l in done.stdout.splitlines() if l.startswith("cut inside ")]
                  for done in runs]
        self.assertEqual(inside[0], inside[1])
        self.assertIn("torn cuts with seed 11", runs[0].stdout)
        self.assertRegex("\n".join(inside[0]), r"cut inside \d+ .* mtd1 erase .* "
                                               r"FAIL  \(erase, \d+ of 14 blocks\)")
        self.assertRegex("\n".join(inside[0]), r"\(write, \d+ of 1024 bytes\)")

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

    def test_plain_run_leaves_no_process_of_any_group_after_a_cut_or_a_signal(self):
        # Loops that start a program again and again, in the script's group, in a session
        # of their own and under timeout: after a cut, the next program they start finds the
        # power off, and its shell must not see it die and go on.
        loop = "while /bin/true; do :; done; echo late > {0}"
        late = f"({loop}) & setsid sh -c '{loop}' & timeout 20 sh -c '{loop}' &"
        for name, args, status in [
            ("cut", ["--faults", "kill-after:3"], 137),
            ("end", [], 0),
        ]:
            with self.subTest(name=name):
                script = late.format(name) + " flashtool writebootp k.img"
                done = self.flashsim("--image", "flash.img", *args, "--", "sh", "-c", script)
                self.assertEqual(done.returncode, status, done.stderr)
                time.sleep(1.0)
                self.assertFalse(os.path.exists(self.path(name)), "a process went on")
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
        done = self.campaign("--timeout", "2", check=f"touch x; sleep {LINGER}",
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
    """The library preloaded directly, as the README's own check does."""

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
