"""The commands the fault campaign sweeps, each with the flash it may change."""
from campaign import Case

L1 = (0x8000, 0x2000)
TEMPCONF = (0xC000, 0x2000)

CASES = [
    Case(["erasel1"], {"mtd0": [L1]}),
    Case(["erasetempconf"], {"mtd0": [TEMPCONF]}),
]
