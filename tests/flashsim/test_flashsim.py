#!/usr/bin/env python3
"""The flashsim command as its users run it: installed, on one whole-flash image, across
the processes of a script, and in a power-cut campaign.

  test_flashsim.py --build BUILD [--cmake cmake] [unittest options]
"""
import argparse
import faulthandler
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "flashsim"))
import flashsim  # noqa: E402

BUILD = CMAKE = None  # set by main() from the command line
MIB4 = 0x400000
CRAMFS, L1 = 0x100000, 0x8000
STAMP = bytes.fromhex("56 56 44 0A 00 00 01 10") + b"\xff" * (0x2000 - 8)


# The longest a test case may take (seconds): one that hangs fails with the traceback of
# where it hangs, instead of holding the whole run until ctest's own limit ends it unsaid.
CASE_LIMIT = 180


def noise(seed, size):
    return random.Random(seed).randbytes(size)


class Folder(unittest.TestCase):
    """Each test in a folder of its own, with files put in and read back by name."""

    def setUp(self):
        faulthandler.dump_traceback_later(CASE_LIMIT, exit=True)
        self.dir = tempfile.mkdtemp(prefix="flashsim-test-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)
        faulthandler.cancel_dump_traceback_later()

    def path(self, name):
        return os.path.join(self.dir, name)

    def put(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def get(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()


class Workdir(Folder):
    """A folder of its own, with flashtool on the search path as on a device."""

    def setUp(self):
        super().setUp()
        self.env = dict(os.environ, PATH=BUILD + os.pathsep + os.environ["PATH"])
        self.env = {k: v for k, v in self.env.items() if not k.startswith("FLASHSIM_")}

    def flashsim(self, *args, launcher=None):
        return subprocess.run([launcher or os.path.join(BUILD, "flashsim")] + list(args),
                              cwd=self.dir, env=self.env, capture_output=True, text=True)


class Sampling(unittest.TestCase):
    def test_runs_of_alike_operations(self):
        def ops(*runs):
            out = []
            for pid, kind, count in runs:
                out += [flashsim.Op(len(out) + 1 + i, pid, kind, "mtd1", 0, "cmd")
                        for i in range(count)]
            return out

        for runs, chosen in [
            ([(1, "write", 10)], list(range(1, 11))),          # short: every one
            # First and last three, four evenly spaced between.
            ([(1, "write", 30)], [1, 2, 3, 8, 12, 16, 20, 28, 29, 30]),
            ([(1, "open", 1), (1, "write", 11), (1, "close", 1)],
             [1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12, 13]),
            # The same call in two processes is two runs.
            ([(1, "write", 10), (2, "write", 10)], list(range(1, 21))),
        ]:
            with self.subTest(runs=runs):
                self.assertEqual([op.number for op in flashsim.sample(ops(*runs))], chosen)

    def test_trace_in_number_order_with_whole_command_lines(self):
        lines = ["open mtd0 rdwr,sync", "op 2 7 write mtd1 0x400 flashtool writebootp a b",
                 "op 1 7 open mtd1 0x0 flashtool writebootp a b", "erase mtd1 0x0 0x10000"]
        self.assertEqual(flashsim.parse_trace(lines), [
            flashsim.Op(1, 7, "open", "mtd1", 0, "flashtool writebootp a b"),
            flashsim.Op(2, 7, "write", "mtd1", 0x400, "flashtool writebootp a b")])


class Image(Workdir):
    def test_installed_tree_moved_writes_into_the_image(self):
        stage = self.path("stage")
        env = dict(self.env, DESTDIR=stage)
        subprocess.run([CMAKE, "--install", BUILD, "--prefix", "/usr"], env=env, check=True,
                       capture_output=True)
        moved = self.path("moved")
        os.rename(os.path.join(stage, "usr"), moved)
        start = noise("start", MIB4)
        image = self.put("flash.img", start)
        img = self.put("img", noise("img", 5000))
        done = self.flashsim("--image", image, "--", os.path.join(moved, "sbin", "flashtool"),
                             "writecramfs", img, launcher=os.path.join(moved, "bin", "flashsim"))
        self.assertEqual(done.returncode, 0, done.stderr)
        expected = bytearray(start)
        expected[CRAMFS:CRAMFS + 0x290000] = self.get("img") + b"\xff" * (0x290000 - 5000)
        self.assertTrue(self.get("flash.img") == expected, "flash image differs")

    def test_devices_are_slices_in_the_whole_flash_layout(self):
        # A whole-flash image written with writeall lands at its own offsets in the file,
        # all but the protected window, which keeps what it had.
        start, whole = noise("before", MIB4), noise("whole", MIB4)
        self.put("flash.img", start)
        self.put("whole", whole)
        done = self.flashsim("--image", "flash.img", "--", "flashtool", "writeall", "whole")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(self.get("flash.img") == whole[:0x6000] + start[0x6000:0x8000] + whole[0x8000:])

    def test_missing_created_erased_and_wrong_size_refused(self):
        done = self.flashsim("--image", "new.img", "--", "flashtool", "checktempconf")
        self.assertEqual(done.returncode, 1)           # the command's own status
        self.assertEqual(self.get("new.img"), b"\xff" * MIB4)
        for size in (0, 100, MIB4 + 1):
            with self.subTest(size=size):
                self.put("bad.img", b"\0" * size)
                done = self.flashsim("--image", "bad.img", "--", "flashtool", "erasel1")
                self.assertEqual((done.returncode, done.stdout), (2, ""))
                self.assertIn(f"bad.img is {size} bytes; a flash image is 4194304 bytes",
                              done.stderr)
                self.assertEqual(self.get("bad.img"), b"\0" * size)

    def test_nor_and_ram_writes(self):
        old = noise("old", MIB4)
        block = old[L1:L1 + 0x2000]
        # NOR refuses the write (EIO) at the first byte that needs a bit set, storing old
        # AND new up to and including it, as the CFI driver does.
        refused = next(i for i, (a, b) in enumerate(zip(block, STAMP)) if a & b != b)
        torn = bytes(a & b for a, b in zip(block[:refused + 1], STAMP)) + block[refused + 1:]
        for options, command, status, block in [
            ([], "flashtool writel1", 1, torn),
            (["--ram"], "flashtool writel1", 0, STAMP),
            ([], "flashtool erasel1 && flashtool writel1", 0, STAMP),
        ]:
            with self.subTest(options=options, command=command):
                self.put("flash.img", old)
                done = self.flashsim("--image", "flash.img", *options, "--", "sh", "-c", command)
                self.assertEqual(done.returncode, status, done.stderr)
                flash = self.get("flash.img")
                self.assertEqual(flash[L1:L1 + 0x2000], block)
                self.assertTrue(flash[:L1] + flash[L1 + 0x2000:] == old[:L1] + old[L1 + 0x2000:])


class PowerCut(Workdir):
    SCRIPT = ("flashtool writebootp k.img\nflashtool writecramfs r.img\n"
              "echo third > started\nflashtool writejffs j.img\n")

    def test_cut_in_second_process_stops_the_script(self):
        self.put("script", self.SCRIPT.encode())
        for name in ("k", "r", "j"):
            self.put(name + ".img", noise(name, 3000))
        self.flashsim("--dir", "flash", "--init")
        start = {dev: self.get("flash/" + dev) for dev in ("mtd1", "mtd2", "mtd3")}
        done = self.flashsim("--dir", "flash", "--log", "count", "--", "sh", "script")
        self.assertEqual(done.returncode, 0, done.stderr)
        ops = flashsim.parse_trace(self.get("count").decode().splitlines())
        self.assertEqual(len({op.pid for op in ops}), 3)
        second = [op for op in ops if "writecramfs" in op.command]
        cut = second[len(second) // 2].number
        for dev, data in start.items():
            self.put("flash/" + dev, data)
        os.remove(self.path("started"))
        done = self.flashsim("--dir", "flash", "--log", "cut", "--faults", f"kill-after:{cut}",
                             "--", "sh", "script")
        self.assertEqual(done.returncode, 137)
        self.assertEqual(done.stderr, f"flashsim: power cut after operation {cut}\n")
        traced = flashsim.parse_trace(self.get("cut").decode().splitlines())
        self.assertEqual(traced[-1].number, cut)
        self.assertFalse(os.path.exists(self.path("started")), "the script went on")
        self.assertEqual(self.get("flash/mtd3"), start["mtd3"])


class Campaign(Workdir):
    def campaign(self, check):
        self.put("k.img", noise("kernel", 3000))
        self.put("k.crc", b"%08x\n" % zlib.crc32(self.get("k.img")))
        self.put("script", b"flashtool writebootp k.img\nflashtool checkkernel k.crc k.img\n")
        self.put("flash.img", noise("flash", MIB4))
        done = self.flashsim("campaign", "--image", "flash.img", "--check", check, "--",
                             "sh", "script")
        self.assertEqual(self.get("flash.img"), noise("flash", MIB4), "starting flash not restored")
        lines = done.stdout.splitlines()
        cuts = [line.split() for line in lines if line.startswith("cut after ")]
        return done.returncode, lines, cuts

    def test_cut_points_inside_the_write_fail_a_check_for_the_new_image(self):
        status, lines, cuts = self.campaign("flashtool checkkernel k.crc k.img")
        self.assertEqual(status, 1)
        self.assertRegex(lines[1], r"^no cut .* ok$")
        self.assertGreater(len(cuts), 10)
        # cut after N flashtool WORD ARGS... DEVICE KIND OFFSET VERDICT
        last_write = max(int(words[-2], 16) for words in cuts if words[-3] == "write")
        for words in cuts:
            kind, offset, verdict = words[-3], int(words[-2], 16), words[-1]
            with self.subTest(cut=" ".join(words)):
                # From the erase until the last block is written the kernel is incomplete.
                if kind == "erase" or (kind == "write" and offset < last_write):
                    self.assertEqual(verdict, "FAIL")
                if kind == "write" and offset == last_write:
                    self.assertEqual(verdict, "ok")
                if words[4] == "checkkernel":
                    self.assertEqual(verdict, "ok")
        failed = sum(words[-1] == "FAIL" for words in cuts)
        self.assertRegex(lines[-1], rf"^{len(cuts) + 1} runs checked: {len(cuts) + 1 - failed} "
                                    rf"passed, {failed} failed \(\d+\.\d s\)$")

    def test_every_cut_point_passes_a_check_that_always_holds(self):
        status, lines, cuts = self.campaign("true")
        self.assertEqual(status, 0)
        self.assertEqual({words[-1] for words in cuts}, {"ok"})
        self.assertIn(f"{len(cuts) + 1} passed, 0 failed", lines[-1])


class Usage(Workdir):
    def test_usage_errors_exit_2_before_running(self):
        for args, message in [
            (["--", "touch", "ran"], "flashsim: no flash: give --dir DIR or --image FILE\n"),
            (["--image", "f", "--check", "true", "--", "touch", "ran"],
             "flashsim: --check, --all, -j, --state, --keep and --json are for a campaign\n"),
            (["campaign", "--image", "f", "--faults", "kill-after:1", "--", "touch", "ran"],
             "flashsim: campaign cuts the power itself: --faults and --log are for a plain run\n"),
            (["campaign", "--image", "f", "--check", "true"],
             "flashsim: campaign needs a SCRIPT to run\n"),
        ]:
            with self.subTest(args=args):
                done = self.flashsim(*args)
                self.assertEqual((done.returncode, done.stderr), (2, message))
                self.assertFalse(os.path.exists(self.path("ran")))

    def test_manual_page_has_every_option_of_the_help(self):
        options = set(re.findall(r"--[a-z]+", self.flashsim("--help").stdout))
        with open(os.path.join(HERE, "..", "..", "doc", "flashsim.1"), encoding="utf-8") as f:
            page = f.read().replace("\\-", "-")
        self.assertGreater(len(options), 6)
        self.assertEqual({o for o in options if o not in page}, set())

    def test_manual_page_lists_every_fault_of_the_simulator(self):
        source = os.path.join(HERE, "..", "..", "tools", "flashsim", "faults.cpp")
        with open(source, encoding="utf-8") as f:
            faults = set(re.findall(r'\{"([a-z-]+)", FaultKind::', f.read()))
        with open(os.path.join(HERE, "..", "..", "doc", "flashsim.1"), encoding="utf-8") as f:
            listed = set(re.findall(r"^\.BI ([a-z\\-]+):", f.read(), re.M))
        self.assertGreater(len(faults), 10)
        self.assertEqual(faults, {word.replace("\\-", "-") for word in listed})


def main():
    global BUILD, CMAKE
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--cmake", default="cmake")
    args, rest = parser.parse_known_args()
    BUILD, CMAKE = os.path.abspath(args.build), args.cmake
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
