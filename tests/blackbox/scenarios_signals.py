"""Signals sent mid-run. A writer holds every signal it can catch whose default action
would end it, finishes its flash work and its output, and only then dies of the signal: the
region holds the whole image and the status is the signal's (128+N). A reader (a check)
still dies at once, as before. Each run is held mid-run while the signal is sent (see
harness.Scenario.signal): on the simulator before a device operation in the middle of the
copy or of the CRC reads, on the real driver once the writer holds the flash lock or the
reader has opened its devices."""
import signal

from harness import Scenario, noise
from scenarios_image import (CRAMFS, EVERY, EVERY_COMPACT, FLASH_SIZE, landed,
                             whole_flash_changes, writeall_out, written)

# Big enough that the real driver's tier catches the writer while it writes; on the
# simulator the run stops before its 100th device operation, some 95 blocks into the image.
IMAGE = noise("signals", 0x200000)
STOP_AT = 100
BOTH = ("sim", "kernel")

SCENARIOS = []

# The signals web servers and schedulers send (lighttpd's SIGTERM on a dropped client,
# mini_httpd's alarm(), a timeout's SIGTERM or SIGINT) and the rest of the kind: all held
# in the writer. The first three run on the real driver too.
for sig, tiers in [(signal.SIGTERM, BOTH), (signal.SIGALRM, BOTH), (signal.SIGUSR1, BOTH),
                   (signal.SIGINT, ("sim",)), (signal.SIGUSR2, ("sim",)),
                   (signal.SIGVTALRM, ("sim",)), (signal.SIGPROF, ("sim",)),
                   (signal.SIGPWR, ("sim",)), (signal.SIGRTMIN + 4, ("sim",))]:
    name = sig.name.lower() if isinstance(sig, signal.Signals) else f"rt{sig}"
    SCENARIOS.append(Scenario(
        f"signal_{name}_writer_finishes", ["writecramfs", "img", "HTTP"], files={"img": IMAGE},
        signal=(sig, STOP_AT), stdout=written(len(IMAGE), CRAMFS, EVERY_COMPACT),
        status=128 + sig, changes=landed(CRAMFS, IMAGE), tiers=tiers))
    if tiers == BOTH:
        # The check dies where it is; the "file size" line it had buffered dies with it.
        # Its CRC file is a pipe nobody writes: on the real driver the check waits there
        # for the signal, whatever the moment it comes.
        SCENARIOS.append(Scenario(
            f"signal_{name}_check_ends", ["checkcramfs", "img.crc", "img"],
            files={"img": IMAGE}, prepare=[("fifo", "img.crc")], signal=(sig, STOP_AT),
            stdout="", status=128 + sig, tiers=tiers))

WHOLE = noise("signals-whole", FLASH_SIZE)
SCENARIOS += [
    # The whole-flash writer, over all four devices.
    Scenario("signal_sigterm_writeall_finishes", ["writeall", "img"], files={"img": WHOLE},
             signal=(signal.SIGTERM, STOP_AT), stdout=writeall_out(EVERY),
             status=128 + signal.SIGTERM, changes=whole_flash_changes(WHOLE), tiers=("sim",)),
    # A writer that no signal reaches ends as it always did.
    Scenario("signal_none_writer_status_0", ["writecramfs", "img", "HTTP"], files={"img": IMAGE},
             stdout=written(len(IMAGE), CRAMFS, EVERY_COMPACT), changes=landed(CRAMFS, IMAGE),
             tiers=("sim",)),
]
