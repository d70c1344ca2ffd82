"""One writer at a time: a command that erases or writes the flash waits while another
holds the flash lock, then does its own work whole; readers and writeenv never wait; a
writer killed mid-write leaves no lock behind; a writer sent an ending signal while it
waits ends there and writes nothing. Each scenario starts another flashtool run
first and catches it mid-write (see harness.Other)."""
import signal
import zlib

from harness import LOST, WAITING, Other, Scenario, erase_line, erased, noise, pattern
from scenarios_image import CRAMFS, EVERY, EVERY_COMPACT, landed, written

# Big enough that the real driver's tier catches the first writer while it writes; on the
# simulator it stops before its 100th device operation, some 95 blocks into the image.
FIRST = noise("lock-first", 0x200000)
SECOND = noise("lock-second", 0x50000)
STOP_AT = 100


def first_writer(end="stop"):
    """writecramfs of FIRST, caught mid-write; when only held, it finishes whole."""
    if end == "kill":
        return Other(["writecramfs", "first.img"], STOP_AT, end, status=137)
    return Other(["writecramfs", "first.img"], STOP_AT, end, stdout=written(len(FIRST), CRAMFS, EVERY),
                 stderr="", status=0)


def beside(name, args, end="stop", files=None, **expected):
    return Scenario(f"lock_{name}", args, files={"first.img": FIRST, **(files or {})},
                    other=first_writer(end), **expected)


KERNEL = pattern("mtd1", 0xE0000)[:0x3000]

SCENARIOS = [
    # The second upgrade says that it waits, then writes its image whole after the first:
    # its output is what it prints alone, and the region holds its image, not a mix.
    beside("second_writer_waits", ["writecramfs", "second.img", "HTTP"],
           files={"second.img": SECOND}, stdout=written(len(SECOND), CRAMFS, EVERY_COMPACT),
           stderr=WAITING, held_back=True, changes=landed(CRAMFS, SECOND)),
    # One lock for the whole flash: a writer of another region waits as well.
    beside("other_region_waits", ["erasetempconf"], stdout=erase_line(0xC000, 0x2000),
           stderr=WAITING, held_back=True,
           changes=landed(CRAMFS, FIRST) + [("mtd0", 0xC000, erased(0x2000))]),
    # A writer killed mid-write: the kernel drops its lock, the next one goes ahead at once.
    beside("killed_writer_leaves_no_lock", ["writecramfs", "second.img"], end="kill",
           files={"second.img": SECOND}, stdout=written(len(SECOND), CRAMFS, EVERY), stderr="",
           held_back=False, changes=landed(CRAMFS, SECOND)),
]

# Readers, and writeenv, which writes nothing: they run to their end while the writer is
# held, and the write then completes as if they had not run.
for name, args, files, stdout in [
    ("checkkernel_does_not_wait", ["checkkernel", "k.crc", "k.img"],
     {"k.crc": f"{zlib.crc32(KERNEL):x}\n".encode(), "k.img": noise("k", len(KERNEL))}, ""),
    ("writeenv_does_not_wait", ["writeenv", "src"], {}, ""),
]:
    SCENARIOS.append(beside(name, args, files=files, stdout=stdout, stderr="", held_back=False,
                            changes=landed(CRAMFS, FIRST)))

# A writer that waits is not ended by its caller going away: the hang-up is ignored and the
# broken-pipe handler logs the loss, both set before the wait starts.
for name, signal_number, syslog in [("hangup", signal.SIGHUP, []),
                                    ("broken_pipe", signal.SIGPIPE, ["3 " + LOST])]:
    SCENARIOS.append(beside(f"waiting_writer_survives_{name}", ["writecramfs", "second.img"],
                            files={"second.img": SECOND}, signal_waiting=signal_number,
                            stdout=written(len(SECOND), CRAMFS, EVERY), stderr=WAITING, held_back=True,
                            syslog=syslog, changes=landed(CRAMFS, SECOND), tiers=("sim",)))

# A writer that its caller gives up on while it waits (a server's time limit, timeout,
# Ctrl-C) has written nothing yet: it ends there with the signal's status, and the flash
# holds the first writer's image alone, not the cancelled one written after it. The real
# NOR driver shows it too.
for signal_number, tiers in [(signal.SIGTERM, ("sim", "kernel", "nor")),
                             (signal.SIGINT, ("sim",)), (signal.SIGALRM, ("sim",))]:
    SCENARIOS.append(beside(f"waiting_writer_cancelled_by_{signal_number.name.lower()}",
                            ["writecramfs", "second.img", "HTTP"], files={"second.img": SECOND},
                            signal_waiting=signal_number, stdout="", stderr=WAITING,
                            status=128 + signal_number, held_back=True,
                            changes=landed(CRAMFS, FIRST), tiers=tiers))

# A process that may only read /dev/mtd0 cannot take the writers' lock: its flock on a
# read-only descriptor holds no writer back.
SCENARIOS.append(Scenario("lock_reader_flock_holds_no_writer", ["erasetempconf"],
                          holder=["flock", "-x", "{fd}"], stdout=erase_line(0xC000, 0x2000),
                          changes=[("mtd0", 0xC000, erased(0x2000))], tiers=("sim",)))
