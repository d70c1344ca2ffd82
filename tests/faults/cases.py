"""The commands the fault campaign sweeps, each with the flash it may change. Images are
small so that every device operation can be tried one by one; the check and read commands
start from flash that matches, so their clean runs succeed."""
import struct
import zlib

from campaign import Case
from harness import DEVICE_SIZES, noise, pattern

L1_AREA, ENV, L1, TEMPCONF, L2BOOT = (0, 0x2000), (0x4000, 0x2000), (0x8000, 0x2000), \
    (0xC000, 0x2000), (0x10000, 0x10000)
WHOLE = {dev: [(0, size)] for dev, size in DEVICE_SIZES.items()}
ALL_BUT_WINDOW = dict(WHOLE, mtd0=[(0, 0x6000), (0x8000, 0x18000)])
TABLE = b"dev: size erasesize name\nmtd0: 20000 2000 \"boot\"\nmtd1: e0000 10000 \"kernel\"\n" \
        b"mtd2: 290000 10000 \"rootfs\"\nmtd3: 70000 10000 \"jffs\"\n"


def crc_text(data):
    return b"%x\n" % zlib.crc32(data)


def with_bytes(dev, offset, data):
    flash = bytearray(pattern(dev, DEVICE_SIZES[dev]))
    flash[offset:offset + len(data)] = data
    return bytes(flash)


def env_block():
    data = b"bootdelay=3\0baudrate=115200\0\0".ljust(0x2000 - 4, b"\0")
    return struct.pack("<I", zlib.crc32(data)) + data


def tempconf_record(data):
    return struct.pack("<I", len(data)) + data + struct.pack("<I", zlib.crc32(data))


IMG = noise("campaign", 3000)
CONF = noise("conf", 700)
MTD0_FULL = bytearray(pattern("mtd0", 0x20000))
MTD0_FULL[0x4000:0x6000] = env_block()
MTD0_FULL[0xC000:0xC000 + len(CONF) + 8] = tempconf_record(CONF)
MTD0_FULL[0x10000:0x10000 + len(IMG)] = IMG
MTD0_FULL = bytes(MTD0_FULL)
# A record of several device reads, so that a cut can fall between two of them.
LONG_CONF = noise("long conf", 6000)
MTD0_LONG = with_bytes("mtd0", 0xC000, tempconf_record(LONG_CONF))
SYSTEM = [noise("sys1", 2000), noise("sys2", 1500), noise("sys3", 1000)]
SYSTEM_FLASH = {f"mtd{i + 1}": with_bytes(f"mtd{i + 1}", 0, SYSTEM[i]) for i in range(3)}

CASES = [
    Case(["erasel1"], {"mtd0": [L1]}),
    Case(["writel1"], {"mtd0": [L1]}),
    Case(["erasetempconf"], {"mtd0": [TEMPCONF]}),
    Case(["writetempconf", "conf"], {"mtd0": [TEMPCONF]}, files={"conf": CONF}),
    Case(["writel2boot", "img"], {"mtd0": [L2BOOT]}, files={"img": IMG}),
    # The level-one write's failure is discarded by design; the boot-loader write decides.
    Case(["writel1all", "img"], {"mtd0": [L1_AREA, L2BOOT]}, files={"img": IMG},
         silent={"lseek", "erase", "write"}),
    Case(["writebootp", "img"], {"mtd1": WHOLE["mtd1"]}, files={"img": IMG}),
    Case(["writecramfs", "img", "HTTP"], {"mtd2": WHOLE["mtd2"]}, files={"img": IMG}),
    Case(["writejffs", "img"], {"mtd3": WHOLE["mtd3"]}, files={"img": IMG}),
    Case(["writeall", "img"], ALL_BUT_WINDOW, files={"img": noise("all", 0x9400)}),
    Case(["writesystem", "table", "a", "b", "c"], {d: WHOLE[d] for d in ("mtd1", "mtd2", "mtd3")},
         files={"table": TABLE, "a": SYSTEM[0], "b": SYSTEM[1], "c": SYSTEM[2]}),
    Case(["checkl2boot", "crc", "img"], {}, files={"crc": crc_text(IMG), "img": IMG},
         flash={"mtd0": MTD0_FULL}),
    Case(["checkkernel", "crc", "img"], {}, files={"crc": crc_text(IMG), "img": IMG},
         flash={"mtd1": with_bytes("mtd1", 0, IMG)}),
    Case(["checkcramfs", "crc", "img"], {}, files={"crc": crc_text(IMG), "img": IMG},
         flash={"mtd2": with_bytes("mtd2", 0, IMG)}),
    Case(["checkenv", "crc", "env"], {}, files={"crc": crc_text(env_block()), "env": env_block()},
         flash={"mtd0": MTD0_FULL}),
    Case(["checksystem", "table", "a", "b", "c", "ca", "cb", "cc"], {},
         files={"table": TABLE, "a": SYSTEM[0], "b": SYSTEM[1], "c": SYSTEM[2],
                "ca": crc_text(SYSTEM[0]), "cb": crc_text(SYSTEM[1]), "cc": crc_text(SYSTEM[2])},
         flash=SYSTEM_FLASH),
    Case(["readenv"], {}, flash={"mtd0": MTD0_FULL}),
    Case(["checktempconf"], {}, flash={"mtd0": MTD0_FULL}),
    Case(["readtempconf", "saved"], {}, files={"saved": b"the previous configuration\n"},
         flash={"mtd0": MTD0_FULL}, restores="saved"),
    # The same restore through a synced temporary file, and in place over a file with a
    # second link, with a record that takes more than one device read.
    Case(["readtempconf", "saved"], {}, files={"saved": b"the previous configuration\n"},
         flash={"mtd0": MTD0_LONG}, restores="saved", name="readtempconf long record"),
    Case(["readtempconf", "saved"], {}, files={"saved": b"the previous configuration\n"},
         flash={"mtd0": MTD0_LONG}, restores="saved", in_place=True,
         prepare=[("link", "saved", "saved.link")], name="readtempconf in place"),
]
