"""flashsim: run a command, or a whole upgrade script, against a simulated flash, and cut
its power at every device operation to find where a power loss leaves a flash that fails.

The simulator itself is libflashsim.so, preloaded into every process the command starts
(see the comment at the top of flashsim.cpp). This module starts those processes, counts
their device operations across the whole run, and runs the power-cut campaign. The
project's own fault campaign (tests/faults) imports parse_trace, sample and cut_fault from
here, so both campaigns count, sample and cut the same way.
"""
import argparse
import collections
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time

USAGE = """\
usage: flashsim [--dir DIR | --image FILE] [--init] [--ram] [--faults LIST] [--log FILE]
                -- COMMAND [ARG...]
       flashsim campaign [--dir DIR | --image FILE] [--ram] [--check CMD] [--all]
                -- SCRIPT [ARG...]

Runs COMMAND with /dev/mtd0../dev/mtd3 served from a simulated NOR flash: every process it
starts, however deep, sees the same flash.

  --dir DIR      one file per device in DIR (mtd0, mtd1, ...); a missing DIR is created
                 with the device's layout, every byte erased
  --image FILE   the devices as slices of one 4 MiB whole-flash image, in the layout that
                 writeall reads; a missing FILE is created erased (0xFF)
  --init         erase the whole flash first
  --ram          writes overwrite, as the kernel's block2mtd does, instead of clearing
                 bits as NOR flash does
  --faults LIST  faults to inject, comma-separated (kill-after:N cuts the power after
                 operation N of the run, counted across every process)
  --log FILE     append one line per device open, erase, close and operation to FILE

campaign runs SCRIPT once to count its device operations, then again for each cut point
from the same starting flash, with the power cut right after that operation, and runs CMD
(a shell command, under the simulator) on the flash left behind. One line per cut point;
exit status 1 when CMD fails at any of them. Long runs of alike operations are sampled;
--all tries every operation. The starting flash is put back at the end.

Without --dir or --image, FLASHSIM_DIR or FLASHSIM_IMAGE from the environment is used.
Exit status: COMMAND's (128 + the signal when it was killed, 137 after a power cut);
2 for a usage error or an image file of the wrong size.
"""

IMAGE_SIZE = 0x400000
# Device, start in the whole flash, size, erase size.
LAYOUT = (("mtd0", 0x000000, 0x020000, 0x2000), ("mtd1", 0x020000, 0x0E0000, 0x10000),
          ("mtd2", 0x100000, 0x290000, 0x10000), ("mtd3", 0x390000, 0x070000, 0x10000))

# One device operation as the simulator traces it.
Op = collections.namedtuple("Op", "number pid kind device offset command")


class UsageError(Exception):
    pass


def parse_trace(lines):
    """The device operations in a simulator log, in the order of their numbers (processes
    that run side by side may append their lines out of order)."""
    ops = []
    for line in lines:
        if line.startswith("op "):
            fields = line.split(" ", 6) + [""]
            ops.append(Op(int(fields[1]), int(fields[2]), fields[3], fields[4],
                          int(fields[5], 16), fields[6]))
    return sorted(ops)


def sample(ops, edge=3, middle=4):
    """The operations to try. A long run of alike operations (the same call on the same
    device by the same process, such as the writes of one image) is tried at its first and
    last few and at a few evenly spaced places between: they all take the same path
    through the code."""
    chosen, run = [], []
    for op in list(ops) + [None]:
        if run and (op is None or alike(op) != alike(run[-1])):
            if len(run) <= 2 * edge + middle:
                chosen += run
            else:
                step = (len(run) - 2 * edge) // (middle + 1)
                inner = [run[edge + step * (i + 1)] for i in range(middle)]
                chosen += run[:edge] + inner + run[-edge:]
            run = []
        if op is not None:
            run.append(op)
    return chosen


def alike(op):
    return op.pid, op.kind, op.device


def cut_fault(number):
    """The fault that cuts the power right after operation number."""
    return f"kill-after:{number}"


class Flash:
    """Where the simulated flash lives: a folder of device files or one image file."""

    def __init__(self, folder=None, image=None):
        self.folder = os.path.abspath(folder) if folder else None
        self.image = os.path.abspath(image) if image else None

    def env(self):
        return {"FLASHSIM_IMAGE": self.image} if self.image else {"FLASHSIM_DIR": self.folder}

    def files(self):
        if self.image:
            return [self.image]
        return [os.path.join(self.folder, name) for name in sorted(os.listdir(self.folder))
                if os.path.isfile(os.path.join(self.folder, name))]

    def erase(self):
        if self.image:
            write_file(self.image, b"\xff" * IMAGE_SIZE)
            return
        os.makedirs(self.folder, exist_ok=True)
        for name, _start, size, _erase in LAYOUT:
            write_file(os.path.join(self.folder, name), b"\xff" * size)

    def prepare(self, init=False):
        """Creates a missing flash erased; refuses an image of the wrong size."""
        path = self.image or self.folder
        if init or not os.path.exists(path):
            self.erase()
        elif self.image and os.path.getsize(self.image) != IMAGE_SIZE:
            raise UsageError(f"{self.image} is {os.path.getsize(self.image)} bytes; a flash "
                             f"image is {IMAGE_SIZE} bytes (4 MiB)")

    def save(self):
        return {path: read_file(path) for path in self.files()}

    def restore(self, saved):
        for path, data in saved.items():
            write_file(path, data)


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


def library():
    """The preload library: beside this module, in the build tree and when installed."""
    return os.environ.get("FLASHSIM_LIB") or \
        os.path.join(os.path.dirname(os.path.realpath(__file__)), "libflashsim.so")


class Run:
    """One run of a command under the simulator: its processes share one operation count
    and one power switch (a folder the library maps), in a process group of its own."""

    def __init__(self, flash, ram=False, faults=(), log=None):
        self.flash, self.ram, self.faults, self.log = flash, ram, list(faults), log
        self.folder = tempfile.mkdtemp(prefix="flashsim-run-")
        self.trace = log or os.path.join(self.folder, "log")

    def env(self, counted=True):
        env = {k: v for k, v in os.environ.items() if not k.startswith("FLASHSIM_")}
        env.update(self.flash.env())
        env["LD_PRELOAD"] = library() + (":" + env["LD_PRELOAD"] if env.get("LD_PRELOAD") else "")
        if self.ram:
            env["FLASHSIM_RAM"] = "1"
        if counted:
            env.update(FLASHSIM_RUN=self.folder, FLASHSIM_LOG=self.trace, FLASHSIM_TRACE="1",
                       FLASHSIM_FAULTS=",".join(self.faults))
        return env

    def start(self, argv, **streams):
        """Starts argv in a new process group: a power cut kills that group and nothing else."""
        return subprocess.Popen(argv, env=self.env(), preexec_fn=os.setpgrp, **streams)

    def finish(self, proc):
        """Waits for the run; after a power cut, makes sure nothing of it goes on."""
        status = proc.wait()
        if self.power_cut():
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        return 128 - status if status < 0 else status

    def counter(self):
        try:
            return struct.unpack("=II", read_file(os.path.join(self.folder, "counter"))[:8])
        except (OSError, struct.error):
            return 0, 0

    def power_cut(self):
        return self.counter()[1] != 0

    def ops(self):
        return parse_trace(read_file(self.trace).decode("utf-8", "replace").splitlines()) \
            if os.path.exists(self.trace) else []

    def close(self):
        for name in ("counter", "log"):
            if os.path.exists(os.path.join(self.folder, name)):
                os.remove(os.path.join(self.folder, name))
        os.rmdir(self.folder)


def run_command(flash, argv, ram, faults, log):
    """flashsim -- COMMAND: runs it with the terminal, returns its exit status."""
    run = Run(flash, ram, faults, log)
    try:
        proc = run.start(argv)
        with Foreground(proc.pid):
            status = run.finish(proc)
        if run.power_cut():
            print(f"flashsim: power cut after operation {run.counter()[0]}", file=sys.stderr)
        return status
    finally:
        run.close()


class Foreground:
    """Hands the terminal to the command's process group while it runs, so that it can
    read from it and Ctrl-C reaches it, as if the shell had started it."""

    def __init__(self, group):
        self.group, self.tty = group, None
        if os.isatty(0) and os.tcgetpgrp(0) == os.getpgrp():
            self.tty = 0

    def __enter__(self):
        if self.tty is not None:
            os.tcsetpgrp(self.tty, self.group)

    def __exit__(self, *_):
        if self.tty is not None:
            old = signal.signal(signal.SIGTTOU, signal.SIG_IGN)
            os.tcsetpgrp(self.tty, os.getpgrp())
            signal.signal(signal.SIGTTOU, old)


def run_quietly(flash, argv, ram, faults=(), counted=True):
    """Runs argv under the simulator with no input and its output thrown away; returns
    the exit status, the device operations and whether the power was cut."""
    run = Run(flash, ram, faults)
    try:
        if counted:
            proc = run.start(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
            return run.finish(proc), run.ops(), run.power_cut()
        status = subprocess.run(argv, env=run.env(counted=False), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        return status, [], False
    finally:
        run.close()


def campaign(flash, script, check, ram=False, every=False, out=sys.stdout):
    """flashsim campaign: returns 1 when the check fails at any cut point, else 0."""
    began = time.monotonic()
    start = flash.save()
    try:
        status, ops, _ = run_quietly(flash, script, ram)
        verdict = judge(flash, check, ram)
        points = ops if every else sample(ops)
        width = max([len(op.command) for op in ops] + [len("the whole script")])
        label = len(f"cut after {len(ops)}")

        def row(point, command, where, verdict):
            print(f"{point:<{label}}  {command:<{width}}  {where:<21}  {verdict}", file=out,
                  flush=True)

        print(f"flashsim campaign: {' '.join(script)}: {len(ops)} device operations in "
              f"{len({op.pid for op in ops})} processes (exit status {status}); "
              f"{len(points)} cut points", file=out)
        row("no cut", "the whole script", "", verdict)
        failed = int(verdict == "FAIL")
        for op in points:
            flash.restore(start)
            _, _, cut = run_quietly(flash, script, ram, [cut_fault(op.number)])
            verdict = judge(flash, check, ram) if cut else "not reached"
            failed += verdict not in ("ok", "-")
            row(f"cut after {op.number}", op.command, f"{op.device:<4} {op.kind:<7} 0x{op.offset:06x}",
                verdict)
        total = len(points) + 1
        print(f"{total} runs checked: {total - failed} passed, {failed} failed "
              f"({time.monotonic() - began:.1f} s)", file=out)
        return 1 if failed else 0
    finally:
        flash.restore(start)


def judge(flash, check, ram):
    """The check's verdict on the flash as it is: ok, FAIL, or - without a check."""
    if check is None:
        return "-"
    status, _, _ = run_quietly(flash, ["sh", "-c", check], ram, counted=False)
    return "ok" if status == 0 else "FAIL"


def parse(argv):
    parser = argparse.ArgumentParser(prog="flashsim", usage=USAGE, add_help=False)
    place = parser.add_mutually_exclusive_group()
    place.add_argument("--dir")
    place.add_argument("--image")
    parser.add_argument("--init", action="store_true")
    parser.add_argument("--ram", action="store_true")
    parser.add_argument("--faults", default="")
    parser.add_argument("--log")
    parser.add_argument("--check")
    parser.add_argument("--all", action="store_true")
    parser.add_argument("-h", "--help", action="store_true")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    campaign_mode = bool(argv) and argv[0] == "campaign"
    args = parser.parse_args(argv[1:] if campaign_mode else argv)
    args.campaign = campaign_mode
    if args.command[:1] == ["--"]:
        args.command = args.command[1:]
    if args.campaign and (args.faults or args.log):
        raise UsageError("campaign cuts the power itself: --faults and --log are for a plain run")
    if not args.campaign and (args.check or args.all):
        raise UsageError("--check and --all are for a campaign")
    return args


def flash_of(args):
    folder = args.dir or (None if args.image else os.environ.get("FLASHSIM_DIR"))
    image = args.image or (None if args.dir else os.environ.get("FLASHSIM_IMAGE"))
    if not folder and not image:
        raise UsageError("no flash: give --dir DIR or --image FILE")
    return Flash(folder, image)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    try:
        args = parse(argv)
        if args.help:
            sys.stdout.write(USAGE)
            return 0
        flash = flash_of(args)
        if args.campaign and not args.command:
            raise UsageError("campaign needs a SCRIPT to run")
        flash.prepare(args.init)
    except UsageError as error:
        print(f"flashsim: {error}", file=sys.stderr)
        return 2
    except SystemExit as exit_:  # argparse's own usage error
        return 2 if exit_.code else 0
    if args.campaign:
        return campaign(flash, args.command, args.check, args.ram, args.all)
    if not args.command:
        return 0
    return run_command(flash, args.command, args.ram, args.faults.split(",") if args.faults else [],
                       os.path.abspath(args.log) if args.log else None)
