"""The benchmark's workload: input files, starting flash contents and the command lines.

Shared by the simulator run (run.py) and the real-driver guest (vmbench.py), so both tiers
run the same commands on the same bytes.
"""

import random
import zlib

MTD_SIZES = {"mtd0": 0x20000, "mtd1": 0xE0000, "mtd2": 0x290000, "mtd3": 0x70000}
DEVICES = tuple(MTD_SIZES)
ENV_OFFSET = 0x4000
ENV_SIZE = 0x2000
WINDOW = (0x6000, 0x8000)          # the protected window of mtd0, passed over by writeall
SYSTEM_SIZES = (0xE0000, 0x290000, 0x70000)
TEMPCONF_SIZE = 8184               # the largest record the region holds
PARTITION_TABLE = (
    "dev: size erasesize name\n"
    'mtd0: 00020000 00002000 "boot"\n'
    'mtd1: 000e0000 00010000 "kernel"\n'
    'mtd2: 00290000 00010000 "rootfs"\n'
    'mtd3: 00070000 00010000 "jffs"\n'
)


def noise(seed, size):
    return random.Random(seed).randbytes(size)


def crc_text(data):
    return ("%08x  image\n" % zlib.crc32(data)).encode()


def env_block():
    strings = [b"bootdelay=3", b"baudrate=115200", b"ipaddr=192.168.1.1",
               b"bootcmd=bootm 0x20000", b"ethaddr=00:11:22:33:44:55"]
    data = b"".join(s + b"\0" for s in strings) + b"\0"
    data += b"\xff" * (ENV_SIZE - 4 - len(data))
    return zlib.crc32(data).to_bytes(4, "little") + data


def erased(size):
    return b"\xff" * size


def padded(data, size):
    return data + erased(size - len(data))


def files():
    """{name: bytes} of every input file the cases name."""
    cramfs = noise(1, 0x290000)
    whole = noise(2, 0x400000)
    system = [noise(10 + i, n) for i, n in enumerate(SYSTEM_SIZES)]
    out = {
        "cramfs.img": cramfs,
        "cramfs.crc": crc_text(cramfs),
        "whole.img": whole,
        "whole-small.img": noise(3, 0x1000),
        "table.txt": PARTITION_TABLE.encode(),
        "tempconf.bin": noise(4, TEMPCONF_SIZE),
    }
    for i, data in enumerate(system):
        out["sys%d.img" % (i + 1)] = data
        out["sys%d.crc" % (i + 1)] = crc_text(data)
    return out


def base_flash():
    """Erased flash with a sound boot-loader environment."""
    mtd0 = bytearray(erased(MTD_SIZES["mtd0"]))
    mtd0[ENV_OFFSET:ENV_OFFSET + ENV_SIZE] = env_block()
    flash = {name: erased(size) for name, size in MTD_SIZES.items()}
    flash["mtd0"] = bytes(mtd0)
    return flash


class Case:
    """One benchmarked command.

    name: row label; args: argv[1:] (paths relative to the folder of files()); kind:
    "write", "check" or "read"; flash: starting contents (all four devices); size: the
    image bytes the command moves (for the row label); memory_only: a row that only
    contributes its peak memory.
    """

    def __init__(self, name, args, kind, flash, size, memory_only=False):
        self.name = name
        self.args = args
        self.kind = kind
        self.flash = flash
        self.size = size
        self.memory_only = memory_only


def cases():
    f = files()
    base = base_flash()
    with_cramfs = dict(base, mtd2=f["cramfs.img"])
    with_system = dict(base, mtd1=f["sys1.img"], mtd2=f["sys2.img"], mtd3=f["sys3.img"])
    sys_args = ["table.txt", "sys1.img", "sys2.img", "sys3.img"]
    return [
        Case("writecramfs", ["writecramfs", "cramfs.img"], "write", base, 0x290000),
        Case("writeall", ["writeall", "whole.img"], "write", base, 0x400000),
        Case("writeall-4k", ["writeall", "whole-small.img"], "write", base, 0x1000,
             memory_only=True),
        Case("checkcramfs", ["checkcramfs", "cramfs.crc", "cramfs.img"], "check", with_cramfs,
             0x290000),
        Case("writesystem", ["writesystem"] + sys_args, "write", base, sum(SYSTEM_SIZES)),
        Case("checksystem", ["checksystem"] + sys_args + ["sys1.crc", "sys2.crc", "sys3.crc"],
             "check", with_system, sum(SYSTEM_SIZES)),
        Case("writetempconf", ["writetempconf", "tempconf.bin"], "write", base, TEMPCONF_SIZE),
        Case("readenv", ["readenv"], "read", base, ENV_SIZE),
    ]


def peer_commands(case, bindir):
    """Shell command lines that do the same device work with mtd-utils and coreutils.

    Returns {"dd": cmd, "flashcp": cmd} (a key is missing where that tool cannot do the
    work). The tools are named by their path in bindir, so that a shell with built-in
    applets of the same names (busybox) cannot stand in for them. Some peers need the image
    cut per device first, which split_files() provides untimed.
    """
    dd = bindir + "dd bs=1024 oflag=sync conv=notrunc status=none"
    if case.name == "writecramfs":
        return {"dd": bindir + "flash_erase -q /dev/mtd2 0 0 && %s if=cramfs.img of=/dev/mtd2" % dd,
                "flashcp": bindir + "flashcp -A cramfs.img /dev/mtd2"}
    if case.name == "writeall":
        parts = [
            bindir + "flash_erase -q /dev/mtd0 0 3", bindir + "flash_erase -q /dev/mtd0 0x8000 12",
            bindir + "flash_erase -q /dev/mtd1 0 0", bindir + "flash_erase -q /dev/mtd2 0 0",
            bindir + "flash_erase -q /dev/mtd3 0 0",
            "%s if=whole.img of=/dev/mtd0 count=24" % dd,
            "%s if=whole.img of=/dev/mtd0 skip=32 seek=32 count=96" % dd,
            "%s if=whole.img of=/dev/mtd1 skip=128 count=896" % dd,
            "%s if=whole.img of=/dev/mtd2 skip=1024 count=2624" % dd,
            "%s if=whole.img of=/dev/mtd3 skip=3648 count=448" % dd,
        ]
        flashcp = [bindir + "flashcp -A whole-mtd%d.img /dev/mtd%d" % (n, n) for n in range(4)]
        return {"dd": " && ".join(parts), "flashcp": " && ".join(flashcp)}
    if case.name == "writesystem":
        parts = [bindir + "flash_erase -q /dev/mtd%d 0 0" % n for n in (1, 2, 3)]
        parts += ["%s if=sys%d.img of=/dev/mtd%d" % (dd, n, n) for n in (1, 2, 3)]
        flashcp = [bindir + "flashcp -A sys%d.img /dev/mtd%d" % (n, n) for n in (1, 2, 3)]
        return {"dd": " && ".join(parts), "flashcp": " && ".join(flashcp)}
    if case.name == "writetempconf":
        return {"dd": bindir + "flash_erase -q /dev/mtd0 0xc000 1 && %s if=tempconf.rec of=/dev/mtd0 seek=48"
                      % dd}
    return {}


def split_files(image_files, flash_before):
    """Extra files the peer commands read: the whole image cut per device (with mtd0's
    window holding what the flash holds there, since flashcp cannot pass over it) and the
    framed temporary-configuration record."""
    whole = image_files["whole.img"]
    out = {}
    starts = [0, 0x20000, 0x100000, 0x390000, 0x400000]
    for n in range(4):
        out["whole-mtd%d.img" % n] = whole[starts[n]:starts[n + 1]]
    mtd0 = bytearray(out["whole-mtd0.img"])
    mtd0[WINDOW[0]:WINDOW[1]] = flash_before["mtd0"][WINDOW[0]:WINDOW[1]]
    out["whole-mtd0.img"] = bytes(mtd0)
    data = image_files["tempconf.bin"]
    out["tempconf.rec"] = (len(data).to_bytes(4, "little") + data
                           + zlib.crc32(data).to_bytes(4, "little"))
    return out
