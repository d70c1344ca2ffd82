"""The check commands: checkl2boot, checkkernel, checkcramfs and checkenv compare the CRC-32
of a region, as long as the image file given, with the value in a CRC text file."""
import errno
import zlib

from harness import DEVICE_SIZES, Scenario, noise, pattern, strerror

EIO, ENOENT, EINVAL = strerror(errno.EIO), strerror(errno.ENOENT), strerror(errno.EINVAL)

# command word -> (device, region start)
REGIONS = {
    "checkl2boot": ("mtd0", 0x10000),
    "checkkernel": ("mtd1", 0),
    "checkcramfs": ("mtd2", 0),
    "checkenv": ("mtd0", 0x4000),
}


def region_crc(dev, start, length):
    """The CRC-32 of length bytes of the default flash from start, cut at the device end."""
    return zlib.crc32(pattern(dev, DEVICE_SIZES[dev])[start:start + length])


def preamble(word, size):
    """checkcramfs alone prints the size it checks."""
    return f"file size = {size}\n" if word == "checkcramfs" else ""


def check(name, word, size, crc_text, stdout="", **extra):
    files = {"img": noise(name, size)}
    if crc_text is not None:
        files["img.crc"] = crc_text.encode()
    return Scenario(f"{word}_{name}", [word, "img.crc", "img"], files=files,
                    stdout=preamble(word, size) + stdout, **extra)


SCENARIOS = []

# A matching CRC file, in every command, over a range that does not end on a read block.
for word, (dev, start) in REGIONS.items():
    SCENARIOS.append(check("matches", word, 0x1234, f"{region_crc(dev, start, 0x1234):x}\n"))

# The forms of the value: prefix, case, leading blanks and text after it all match alike.
L2_CRC = region_crc("mtd0", 0x10000, 0x3000)
for name, text in [("prefixed", f"0x{L2_CRC:x}"), ("upper_case", f"0X{L2_CRC:08X}\n"),
                   ("trailing_text", f"{L2_CRC:x}  l2boot.bin\n"), ("leading_blanks", f"\n\t {L2_CRC:x}")]:
    SCENARIOS.append(check(f"crc_form_{name}", "checkl2boot", 0x3000, text))

# A value that does not fit in 32 bits reads as 0xffffffff on every target, as on the
# device: never its low 32 bits, which here would be the region's own CRC and match.
for name, text in [("33_bits", f"1{L2_CRC:08x}\n"), ("past_64_bits", f"0x{'f' * 16}{L2_CRC:08x}"),
                   ("negative", f"-1{L2_CRC:08x}")]:
    SCENARIOS.append(check(f"crc_wide_{name}", "checkl2boot", 0x3000, text,
                           stdout=f"CRC check error 0x{L2_CRC:x} / 0xffffffff \n", status=1))
# A negative value within 32 bits wraps, as "%x" reads it.
SCENARIOS.append(check("crc_negative_wraps", "checkl2boot", 0x3000, f"-{(-L2_CRC) % (1 << 32):x}\n"))

# A mismatch prints the computed value first, the file's second.
KERNEL_CRC = region_crc("mtd1", 0, 0x5000)
SCENARIOS.append(check("mismatch", "checkkernel", 0x5000, "abcd\n",
                       stdout=f"CRC check error 0x{KERNEL_CRC:x} / 0xabcd \n", status=1))

# A CRC file without a hexadecimal value never matches, also not the CRC-32 0 of no bytes.
for name, text in [("empty", ""), ("blank", " \n"), ("not_hex", "value: 1234\n")]:
    SCENARIOS.append(check(f"no_value_{name}", "checkcramfs", 0, text,
                           stdout="img.crc : no CRC value\n", status=1))

SCENARIOS += [
    # A CRC file that opens but cannot be read (a directory) holds no value either.
    Scenario("checkcramfs_crc_file_unreadable", ["checkcramfs", "img.crc", "img"],
             files={"img": noise("unreadable", 0x100), "img.crc/x": b""},
             stdout="file size = 256\nimg.crc : no CRC value\n", status=1),
    # A CRC file that cannot be opened: the path without a line end, after the range was read.
    check("crc_file_missing", "checkcramfs", 0x100, None, stdout="img.crc", status=1,
          stderr=f"fopen(): {ENOENT}\n"),
    # No bytes: the CRC-32 of nothing is 0.
    check("empty_image", "checkenv", 0, "0\n"),
    check("empty_image_mismatch", "checkenv", 0, "0x1234\n", stdout="CRC check error 0x0 / 0x1234 \n",
          status=1),
    # A missing image reads as size 0, so the check runs over no bytes.
    Scenario("checkcramfs_image_missing", ["checkcramfs", "img.crc", "none"], files={"img.crc": b"0"},
             stdout="nonefile size = 0\n", stderr=f"fopen(): {ENOENT}\n"),
    Scenario("checkkernel_image_missing", ["checkkernel", "img.crc", "none"], files={"img.crc": b"5"},
             stdout="noneCRC check error 0x0 / 0x5 \n", stderr=f"fopen(): {ENOENT}\n", status=1),
]

# A range past the device end covers the bytes up to the end, silently: a CRC over the
# whole image's length then mismatches, one over the device's tail matches.
TAIL = region_crc("mtd0", 0x4000, 0x1C000)
OVER = noise("over-end", 0x20000)
FULL_LENGTH_CRC = zlib.crc32(pattern("mtd0", 0x20000)[0x4000:] + OVER[:0x4000])
SCENARIOS += [
    check("past_device_end", "checkenv", 0x20000, f"{TAIL:x}\n"),
    Scenario("checkenv_past_device_end_mismatch", ["checkenv", "img.crc", "img"],
             files={"img": OVER, "img.crc": f"{FULL_LENGTH_CRC:x}".encode()},
             stdout=f"CRC check error 0x{TAIL:x} / 0x{FULL_LENGTH_CRC:x} \n", status=1),
]

# Device failures end the check before the CRC file is opened (it is missing here).
SCENARIOS += [
    check("read_error", "checkkernel", 0x3000, None, faults=["read-fail:mtd1:0x2000"],
          stderr=f"read(): {EIO}\n", status=1, tiers=("sim",)),
    check("seek_fails", "checkl2boot", 0x3000, None, faults=["lseek-fail:mtd0:1"],
          stderr=f"lseek(): {EINVAL}\n", status=1, tiers=("sim",)),
    # A read cut short ends the range silently: only the comparison can tell.
    check("read_cut_short", "checkcramfs", 0x3000, f"{region_crc('mtd2', 0, 0x3000):x}",
          faults=["read-short:mtd2:0x1800"],
          stdout=f"CRC check error 0x{region_crc('mtd2', 0, 0x1800):x} / "
                 f"0x{region_crc('mtd2', 0, 0x3000):x} \n", status=1, tiers=("sim",)),
]
