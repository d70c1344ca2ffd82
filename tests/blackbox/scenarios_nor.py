"""The simulator as the device's NOR flash: a write can only clear bits, and one that needs
a bit set fails with EIO at that byte (stored as old AND new, with the bytes before it), as
the CFI driver does; only an erase sets bits, and an erase must cover whole erase blocks.
The real-driver tier's block2mtd overwrites instead, so these scenarios run on the simulator
and on the kernel tier's NOR machine."""
import errno
import os

from harness import DEVICE_SIZES, Scenario, erase_line, erased, noise, pattern

L1, BLOCK = 0x8000, 0x2000
STAMP = bytes.fromhex("56 56 44 0A 00 00 01 10") + erased(BLOCK - 8)
OLD_L1 = pattern("mtd0", DEVICE_SIZES["mtd0"])[L1:L1 + BLOCK]
IMG = noise("nor", 5000)


def anded(old, new):
    return bytes(a & b for a, b in zip(old, new))


# The first byte of the stamp that needs a bit the old block does not hold.
REFUSED = next(i for i, (a, b) in enumerate(zip(OLD_L1, STAMP)) if a & b != b)


SCENARIOS = [
    # A stamp over a block that was not erased: the write fails at the first byte that
    # needs a bit set, which is stored as old AND new, with the bytes before it.
    Scenario("nor_writel1_over_old_contents", ["writel1"], nor=True,
             stdout="Write L1-0 magic number fail\n",
             stderr=f"write_l1_magic: write, size 0\nwrite(): {os.strerror(errno.EIO)}\n", status=1,
             changes=[("mtd0", L1, anded(OLD_L1[:REFUSED + 1], STAMP))], erases=[]),
    # Over a block that already holds the stamp and its 0xFF fill every byte is the one
    # already there: the write succeeds and nothing changes.
    Scenario("nor_writel1_over_its_own_stamp", ["writel1"], nor=True,
             flash={"mtd0": pattern("mtd0", L1) + STAMP +
                    pattern("mtd0", DEVICE_SIZES["mtd0"])[L1 + BLOCK:]},
             changes=[("mtd0", L1, STAMP)], erases=[]),
    # Over an erased block the stamp arrives exactly.
    Scenario("nor_writel1_after_erase", ["writel1"], nor=True,
             flash={"mtd0": pattern("mtd0", L1) + erased(BLOCK) +
                    pattern("mtd0", DEVICE_SIZES["mtd0"])[L1 + BLOCK:]},
             changes=[("mtd0", L1, STAMP)], erases=[]),
    # An erase sets every bit again, so a writer that erases first leaves its image exactly.
    Scenario("nor_writecramfs_erases_then_writes", ["writecramfs", "img", "HTTP"], nor=True,
             files={"img": IMG}, stdout=None,
             changes=[("mtd2", 0, IMG + erased(DEVICE_SIZES["mtd2"] - len(IMG)))]),
    Scenario("nor_erasel1", ["erasel1"], nor=True, stdout="Erasing L1-0...\n" + erase_line(L1, BLOCK),
             changes=[("mtd0", L1, erased(BLOCK))]),
    # With 16 KiB erase blocks the level-one block's 8 KiB erase is not whole blocks.
    Scenario("nor_unaligned_erase_refused", ["erasel1"], nor=True,
             devices={"mtd0": (DEVICE_SIZES["mtd0"], 0x4000)},
             stdout="Erasing L1-0...\nErase L1-0 fail\n",
             stderr=f"MEMERASE: {os.strerror(errno.EINVAL)}\n", status=1),
]
# The real-NOR tier runs them too (its erase sizes are the device's, so not the last one).
for scenario in SCENARIOS:
    scenario.tiers = ("sim",) if scenario.devices else ("sim", "nor")
