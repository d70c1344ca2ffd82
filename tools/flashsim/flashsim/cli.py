"""The flashsim command line: its options, every check made before anything runs (a
mistake is one line and status 2), and the choice between a plain run and a campaign."""
import argparse
import os
import random
import shlex
import shutil
import sys
import tempfile

from . import isolation, library, merge
from .campaign import Campaign, Options
from .errors import Stopped, UsageError
from .flash import Flash, Layout, claim_folder
from .run import (become_subreaper, block_signals, kill_descendants, remove_left, run_command,
                  stop_on_signals, sweep)

USAGE = """\
usage: flashsim [--dir DIR | --image FILE] [--layout FILE] [--init] [--ram] [--faults LIST]
                [--log FILE] [--timeout SECONDS] [--torn] [--seed N] [--allow-host-mtd]
                -- COMMAND [ARG...]
       flashsim campaign [--dir DIR | --image FILE] [--layout FILE] [--ram] --check CMD [--all]
                [-j N] [--timeout SECONDS] [--check-timeout SECONDS] [--state DIR]
                [--keep DIR] [--json FILE]
                [--junit FILE] [--torn] [--seed N] [--expect-status N] [--shard K/N]
                [--allow-host-mtd] -- SCRIPT [ARG...]
       flashsim report [--json FILE] [--junit FILE] SHARD.json...

Runs COMMAND with /dev/mtd0../dev/mtd3 served from a simulated NOR flash: every process it
starts, however deep, sees the same flash.

  --dir DIR      one file per device in DIR (mtd0, mtd1, ...); a missing DIR is created
                 with the device's layout, every byte erased, when its parent folder exists
  --image FILE   the devices as slices of one 4 MiB whole-flash image, in the layout that
                 writeall reads; a missing FILE is created erased (0xFF) when its folder
                 exists
  --layout FILE  another flash: the devices listed in FILE in the /proc/mtd form
                 (mtdN: SIZE ERASESIZE "NAME", hexadecimal, in flash order); the image is
                 the whole of them, in order
  --init         erase the whole flash first (not for a campaign)
  --ram          writes overwrite, as the kernel's block2mtd does, instead of clearing
                 bits as NOR flash does
  --faults LIST  faults to inject, comma-separated (kill-after:N cuts the power after
                 operation N of the run, counted across every process)
  --log FILE     append one line per device open, erase, close and operation to FILE
  --timeout S    stop the command after S seconds; in a campaign, the script's limit in
                 its uncut run (a held run may take up to 4 times what that run took)
  --torn         a cut (kill-after:N) falls inside operation N instead of after it; a
                 campaign adds such cut points inside its erases and writes
  --seed N       what a torn cut leaves is decided by N (default: a random seed, printed)
  --allow-host-mtd  run where no /dev of the run's own can be had and this machine has
                 /dev/mtd*, which a program the simulator does not serve then reaches

campaign runs SCRIPT once to count its device operations, then looks at the flash as a
power cut right after each chosen operation leaves it, and runs CMD (a shell command,
under the simulator, on a copy of that flash) to judge it. One line per cut point, then
one line per exposed window (its first and last failing cut); exit status 1 when CMD fails
at any cut point or after the whole script, or when the whole script itself fails; 2 when
it cannot judge (a mistake, no room in TMPDIR, the script past its limit, a cut point not
judged, an interrupted campaign). Long runs of alike operations are sampled and the edges
of each window found exactly; --all tries every operation.
  --check CMD    the shell command that judges the flash left by a cut (required)
  --check-timeout S  each check's limit (default 60 s): TERM to all its processes, then
                 KILL 2 s later; the cut point is then judged TIMEOUT
  -j N           checks run side by side (default: the number of processors)
  --state DIR    a folder that stands for the device's own files: put back with the flash
                 before every run; the check sees it as the cut left it
  --keep DIR     save the flash left by the first failing cut of each window, and the
                 starting flash with a command line that reproduces it
  --json FILE    write every cut point, its verdict and the windows to FILE
  --junit FILE   write a JUnit XML report to FILE: the uncut run and each exposed window
                 as a test case, as CI test views show them
  --shard K/N    try only the K-th of N shares of the cut points (every N-th), for N CI
                 jobs side by side; each writes its --json, and flashsim report merges them
                 into the windows, verdicts and reports of one campaign
  --expect-status N  the exit status the whole script must end with (default 0): any
                 other fails the campaign, with the script's last lines
The flash is only read: every run works on a copy in TMPDIR, whose room is checked first.
--state is put back at the end and on INT, TERM and HUP. A plain run has the flash to
itself, a campaign its --state folder: another run or campaign on them refuses. Campaigns,
which only read the flash, may share it.

Without --dir or --image, FLASHSIM_DIR or FLASHSIM_IMAGE from the environment is used
(and FLASHSIM_LAYOUT without --layout).
Exit status: COMMAND's (128 + the signal when it was killed, 137 after a power cut, 124
past --timeout); 2 for a usage error, before anything runs. A campaign: 0, 1 or 2 above. Without a COMMAND, --init
alone erases the flash.
"""
SHELL_WORDS = {"!", "{", "(", "[", "[[", ".", ":", "cd", "command", "eval", "exec", "exit",
               "export", "false", "for", "if", "read", "return", "set", "test", "true",
               "unset", "until", "while", "case", "echo", "printf", "trap", "wait"}


# The longest time limit taken: eleven days and a half, far beyond any CI job's, and well
# inside what the waits below accept.
LONGEST = 1e6


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


class Once(argparse.Action):
    """An option given once: a second one is a mistake (which would count?), not the last
    one winning."""

    def __call__(self, parser, namespace, values, option_string=None):
        if option_string in getattr(namespace, "given_", set()):
            raise UsageError(f"{option_string} is given twice")
        namespace.given_ = getattr(namespace, "given_", set()) | {option_string}
        setattr(namespace, self.dest, True if self.nargs == 0 else values)


def parse(argv):
    parser = Parser(prog="flashsim", usage=USAGE, add_help=False, allow_abbrev=False)
    for option in ("--dir", "--image", "--layout", "--faults", "--log", "--check", "--timeout",
                   "--state", "--keep", "--json", "--seed", "--expect-status", "--junit",
                   "--shard", "--check-timeout"):
        parser.add_argument(option, action=Once)
    for option in ("--init", "--ram", "--all", "--torn", "--allow-host-mtd", "-h", "--help",
                   "--replay"):     # --replay: one run per cut point, the reference for tests
        parser.add_argument(option, action=Once, nargs=0, default=False)
    parser.add_argument("-j", dest="jobs", action=Once)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    campaign_mode = bool(argv) and argv[0] == "campaign"
    args = parser.parse_args(argv[1:] if campaign_mode else argv)
    args.campaign, args.help = campaign_mode, args.help or args.h
    args.faults = args.faults or ""
    explicit = args.command[:1] == ["--"]
    if explicit:
        args.command = args.command[1:]
    if not explicit and args.command[:1] == ["campaign"]:
        raise UsageError("campaign comes first: flashsim campaign [OPTION...] -- SCRIPT")
    if not explicit and args.command[:1] and args.command[0].startswith("-"):
        raise UsageError(f"unknown option {args.command[0]}")
    if args.dir is not None and args.image is not None:
        raise UsageError("give --dir or --image, not both")
    if args.campaign:
        if args.faults or args.log:
            raise UsageError("campaign cuts the power itself: --faults and --log are for a "
                             "plain run")
        if args.init:
            raise UsageError("campaign does not take --init: it would erase the starting flash")
        if args.check is None and not args.help:
            raise UsageError("campaign needs --check CMD: a campaign that judges nothing "
                             "passes nothing")
    elif any(getattr(args, name) for name in ("check", "all", "jobs", "state", "keep", "json",
                                              "replay")):
        raise UsageError("--check, --all, -j, --state, --keep and --json are for a campaign")
    else:
        for name in ("expect_status", "junit", "shard", "check_timeout"):
            if getattr(args, name) is not None:
                raise UsageError(f"--{name.replace('_', '-')} is for a campaign")
    args.jobs = number(args.jobs, "-j", int, 1) if args.jobs is not None else None
    for name in ("timeout", "check_timeout"):
        value = getattr(args, name)
        option = "--" + name.replace("_", "-")
        setattr(args, name, None if value is None else number(value, option, float, 0.001,
                                                               LONGEST))
    args.expect_status = number(args.expect_status, "--expect-status", int, 0, 255) \
        if args.expect_status is not None else 0
    args.seed = number(args.seed, "--seed", int, 0) if args.seed is not None else None
    if args.shard is not None:
        k, _, n = args.shard.partition("/")
        if not (k.isdigit() and n.isdigit() and 1 <= int(k) <= int(n) <= 1000):
            raise UsageError(f"--shard {args.shard}: give K/N, this shard K of N (1 <= K <= N)")
        if args.torn and args.seed is None:
            raise UsageError("--shard with --torn needs --seed N: every shard cuts alike")
        args.shard = (int(k), int(n))
    if args.seed is not None and not args.torn:
        raise UsageError("--seed is for --torn")
    if args.torn and not args.campaign and "kill-after:" not in args.faults:
        raise UsageError("--torn cuts inside the operation of kill-after:N: give that fault")
    return args


def number(text, option, kind, least, most=None):
    """text as a number of kind from least to most; "inf", "nan" and the like are none."""
    try:
        value = kind(text)
    except ValueError:
        raise UsageError(f"{option} {text}: not a number") from None
    if value != value or value in (float("inf"), float("-inf")):
        raise UsageError(f"{option} {text}: not a finite number")
    if value < least:
        raise UsageError(f"{option} {text}: must be at least {least:g}")
    if most is not None and value > most:
        raise UsageError(f"{option} {text}: must be at most {most:g}")
    return value


def flash_of(args):
    folder = args.dir or (None if args.image else os.environ.get("FLASHSIM_DIR"))
    image = args.image or (None if args.dir else os.environ.get("FLASHSIM_IMAGE"))
    if not folder and not image:
        raise UsageError("no flash: give --dir DIR or --image FILE")
    return Flash(Layout(args.layout or os.environ.get("FLASHSIM_LAYOUT")), folder, image)


def check_program(word, what):
    """Refuses a command that cannot be started: a path that is not an executable file,
    or a name not found on PATH."""
    if "/" not in word:
        if shutil.which(word) is None:
            raise UsageError(f"{word}: command not found ({what})")
    elif not os.path.exists(word):
        raise UsageError(f"{word}: no such file ({what})")
    elif os.path.isdir(word) or not os.access(word, os.X_OK):
        raise UsageError(f"{word}: not an executable file ({what})")


def check_shell_command(text):
    try:
        words = shlex.split(text)
    except ValueError as error:
        raise UsageError(f"--check {text!r}: {error}") from None
    if not words:
        raise UsageError("--check: an empty command")
    if words[0] in SHELL_WORDS or "=" in words[0] or any(c in words[0] for c in "$`;&|<>(){}*?"):
        return
    if words[0] in ("sh", "bash", "dash") and len(words) > 1 and not words[1].startswith("-"):
        if not os.path.isfile(words[1]):
            raise UsageError(f"{words[1]}: no such file (the check)")
    else:
        check_program(words[0], "the check")


def writable_place(path, what, create=False):
    """The folder of a file the launcher writes to, or (create) a folder it writes in, made
    when missing and its parent exists, and said: it must exist and be writable."""
    folder = path if create else os.path.dirname(os.path.abspath(path))
    if create and not os.path.exists(path):
        parent = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(parent):
            raise UsageError(f"{path}: no such folder {parent} ({what})")
        os.mkdir(path)
        print(f"flashsim: created {path} ({what})", file=sys.stderr)
    if not os.path.isdir(folder):
        raise UsageError(f"{path}: not a folder ({what})" if create else
                         f"{path}: no such folder {folder} ({what})")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise UsageError(f"{path}: cannot be written ({what})")


def private_dev(flash, allowed):
    """The run's own /dev (see isolation.py), sealed; where none can be had, the run goes
    on only where the host has no flash device or the user said --allow-host-mtd."""
    try:
        watcher = isolation.private_dev([device.name for device in flash.layout.devices])
    except OSError as error:
        if isolation.host_devices() and not allowed:
            raise UsageError(f"no /dev of its own can be had here ({error.strerror}) and this "
                             f"machine has /dev/mtd*: a program the simulator does not serve "
                             f"would reach them; --allow-host-mtd runs anyway") from None
        watcher = None
    try:
        isolation.seal()
    except OSError as error:
        raise UsageError(f"the run cannot be sealed here ({error.strerror}): a program of it "
                         f"could gain what leaves its /dev") from None
    return watcher


def check_streams():
    """Refuses a standard stream that is a flash device: a run's programs would reach it
    through the descriptor, around the run's /dev."""
    majors = isolation.flash_majors()
    for fd, name in ((0, "input"), (1, "output"), (2, "error")):
        try:
            info = os.fstat(fd)
            path = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if isolation.is_flash(os.path.basename(path) if path.startswith("/dev/") else "",
                              info, majors):
            raise UsageError(f"standard {name} is a flash device ({path}): refused")


def keep_descriptors():
    """Descriptors the launcher was given past the standard three go to none of its
    programs: a script's and a check's start with standard input, output and error only."""
    for name in os.listdir("/proc/self/fd"):
        if int(name) > 2:
            try:
                os.set_inheritable(int(name), False)
            except OSError:
                pass


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["report"]:
        return merge.main(argv[1:])
    try:
        stop_on_signals()
        return launch(argv)
    except Stopped as stop:
        return 128 + stop.signum


def failed(error):
    """The one line of an error before or outside the runs; status 2."""
    if isinstance(error, OSError):
        error = f"{error.filename or ''}{': ' if error.filename else ''}{error.strerror or error}"
    print(f"flashsim: {error}", file=sys.stderr)
    return 2


def launch(argv):
    try:
        args = parse(argv)
        if args.help:
            sys.stdout.write(USAGE)
            return 0
        library.load()
        flash = flash_of(args)
        if args.campaign and not args.command:
            raise UsageError("campaign needs a SCRIPT to run")
        if args.faults:
            library.check_faults(args.faults, flash.layout.file)
        if not args.campaign and not args.command and not args.init:
            raise UsageError("no command: flashsim [OPTION...] -- COMMAND [ARG...] (or --init "
                             "alone to erase the flash)")
        if args.command:
            check_program(args.command[0], "the command" if not args.campaign else "the script")
        if args.campaign:
            check_shell_command(args.check)
        for name in ("log", "json", "junit"):
            if getattr(args, name):
                writable_place(getattr(args, name), "--" + name)
        if args.state and not os.path.isdir(args.state):
            raise UsageError(f"{args.state}: no such folder (--state)")
        for name in ("state", "keep"):
            if getattr(args, name):
                writable_place(getattr(args, name), "--" + name, create=True)
                setattr(args, name, os.path.abspath(getattr(args, name)))
        tmp = tempfile.gettempdir()
        if not os.access(tmp, os.W_OK | os.X_OK):
            raise UsageError(f"{tmp}: the temporary folder cannot be written")
        if args.command:
            check_streams()
            keep_descriptors()
        watcher = private_dev(flash, args.allow_host_mtd) if args.command else None
        flash.prepare(args.init, writable=not args.campaign)
        flash.claim(args.campaign)
        if args.state:
            claim_folder(args.state, "another flashsim campaign is using this --state folder")
        sweep()
    except (UsageError, OSError) as error:
        return failed(error)
    seed = None
    if args.torn:
        seed = args.seed if args.seed is not None else random.randrange(1, 1 << 31)
    become_subreaper()
    try:
        if args.campaign:
            return Campaign(flash, Options(
                args.command, args.check, ram=args.ram, every=args.all, jobs=args.jobs,
                timeout=args.timeout, check_timeout=args.check_timeout, state=args.state,
                keep=args.keep, json_path=os.path.abspath(args.json) if args.json else None,
                junit_path=os.path.abspath(args.junit) if args.junit else None, seed=seed,
                replay=args.replay, watcher=watcher, expect_status=args.expect_status,
                shard=args.shard)).main()
        if not args.command:
            return 0
        status = run_command(flash, args.command, args.ram,
                             args.faults,
                             os.path.abspath(args.log) if args.log else None, args.timeout, seed)
        unserved = watcher.settle() if watcher else []
        if unserved:
            print(f"flashsim: {len(unserved)} open{'s' if len(unserved) > 1 else ''} of a "
                  f"device by a program the simulator does not serve: the run fails",
                  file=sys.stderr)
            status = status or 1
        return status
    except UsageError as error:
        return failed(error)
    except OSError as error:
        block_signals()
        kill_descendants()
        return failed(error)
    finally:
        remove_left()
