"""The partition-table system upgrade: writesystem lays three images into their windows
through whichever partitions a table file names, checksystem reads them back as one CRC-32
per image across partition boundaries."""
import errno
import re
import zlib

from harness import DEVICE_SIZES, Scenario, SparseFile, erase_line, erased, noise, pattern, strerror

ENOENT, EACCES, EIO, EINVAL = (strerror(e) for e in (errno.ENOENT, errno.EACCES, errno.EIO,
                                                     errno.EINVAL))
RW = "rdwr,sync"
FAIL = "Write system fail\n"
HEADING = "dev:    size   erasesize  name\n"
WINDOWS = ((0x20000, 0xE0000), (0x100000, 0x290000), (0x390000, 0x70000))
CHUNK = 1024

SCENARIOS = []


def table(*rows, heading=HEADING):
    """A table file as the kernel lists partitions: device, size, erase size, label."""
    return (heading + "".join(f'{dev}: {size:08x} 00010000 "{label}"\n'
                              for dev, size, label in rows)).encode()


DEFAULT_TABLE = table(("mtd0", 0x20000, "boot"), ("mtd1", 0xE0000, "kernel"),
                      ("mtd2", 0x290000, "rootfs"), ("mtd3", 0x70000, "jffs"))


def devices(*sizes_and_names):
    """Simulated devices named in the table, each with the erase size the driver would use."""
    return {name: (size, 0x2000 if name == "mtd0" else 0x10000) for name, size in sizes_and_names}


def erasing(*ranges):
    """The erase lines: (absolute partition start, offset, length) each."""
    return "".join(f"Erasing flash start 0x{start:x} + 0x{offset:x}, size 0x{length:x}\n"
                   + erase_line(offset, length) for start, offset, length in ranges)


def progress(sections, total, http=False):
    """The display for sections of the given byte counts, each with a fresh state, the count
    running on from section to section."""
    out, done = [], 0
    for length in sections:
        last = printed = 0
        while length:
            chunk = min(length, CHUNK)
            done, length = done + chunk, length - chunk
            percent = done * 100 // total
            if percent != last and (last != 0 or percent == 1):
                out.append(f"{percent:3d} %   " if http else f"written {percent} % ...\n")
                printed += 1
                if http and printed % 10 == 0:
                    out.append("\n")
            last = percent
    return "".join(out)


def crc_file(data):
    return f"{zlib.crc32(data):08x}\n".encode()


def flash_of(name, size):
    return pattern(name, size)


def images(*sizes):
    return {n: noise(n, s) for n, s in zip("abc", sizes)}


def write(name, files, stdout, **kw):
    return Scenario(name, ["writesystem", "t", "a", "b", "c"] + kw.pop("extra", []), files=files,
                    stdout=stdout, **kw)


# ---- Writes through the kernel's own table ---------------------------------------------

A, B, C = images(3000, 5000, 100).values()
ERASE_DEFAULT = erasing((0x20000, 0, 0xE0000), (0x100000, 0, 0x290000), (0x390000, 0, 0x70000))
WRITTEN_DEFAULT = [("mtd1", 0, erased(0xE0000)), ("mtd2", 0, erased(0x290000)),
                   ("mtd3", 0, erased(0x70000)), ("mtd1", 0, A), ("mtd2", 0, B), ("mtd3", 0, C)]
FILES_DEFAULT = {"t": DEFAULT_TABLE, "a": A, "b": B, "c": C}

SCENARIOS += [
    # The boot area is left alone; each image goes whole to offset 0 of its device. A
    # section's first step prints only at exactly 1 %, so 12 %, 49 % and 100 % never show.
    write("write_default_table", FILES_DEFAULT,
          "Erasing flash...\n" + ERASE_DEFAULT
          + "written 25 % ...\nwritten 37 % ...\nwritten 62 % ...\nwritten 74 % ...\n"
            "written 87 % ...\nwritten 98 % ...\n",
          changes=WRITTEN_DEFAULT,
          erases=[("mtd1", 0, 0xE0000), ("mtd2", 0, 0x290000), ("mtd3", 0, 0x70000)],
          opens=["mtd0 " + RW] + ["mtd1 " + RW, "mtd2 " + RW, "mtd3 " + RW] * 2),
    # Compact style: no line end after the last entry.
    write("write_default_table_compact", FILES_DEFAULT,
          "Erasing flash...\n" + ERASE_DEFAULT
          + " 25 %    37 %    62 %    74 %    87 %    98 %   ", changes=WRITTEN_DEFAULT,
          extra=["HTTP"]),
    # The tenth entry of a section ends a line; the count starts again in every section.
    write("write_compact_lines_per_section",
          dict(FILES_DEFAULT, **images(20 * CHUNK, 30 * CHUNK, 30 * CHUNK)),
          "Erasing flash...\n" + ERASE_DEFAULT
          + progress([20 * CHUNK, 30 * CHUNK, 30 * CHUNK], 80 * CHUNK, http=True),
          changes=WRITTEN_DEFAULT[:3] + [("mtd1", 0, noise("a", 20 * CHUNK)),
                                         ("mtd2", 0, noise("b", 30 * CHUNK)),
                                         ("mtd3", 0, noise("c", 30 * CHUNK))],
          extra=["HTTP", "ignored"]),
    write("write_three_empty_images", dict(FILES_DEFAULT, a=b"", b=b"", c=b""),
          "Erasing flash...\n" + ERASE_DEFAULT, changes=WRITTEN_DEFAULT[:3]),
    # A table that ends at 0x100000: only the first window has a partition.
    write("write_table_ending_early",
          dict(FILES_DEFAULT, t=table(("mtd0", 0x20000, "boot"), ("mtd1", 0xE0000, "kernel"))),
          "Erasing flash...\n" + erasing((0x20000, 0, 0xE0000))
          + progress([3000], 8100), changes=[("mtd1", 0, erased(0xE0000)), ("mtd1", 0, A)],
          opens=["mtd0 " + RW, "mtd1 " + RW, "mtd1 " + RW]),
    # Exactly the window size passes.
    write("write_image_of_window_size", dict(FILES_DEFAULT, a=b"", b=b"", c=noise("c7", 0x70000)),
          "Erasing flash...\n" + ERASE_DEFAULT + progress([0x70000], 0x70000),
          changes=WRITTEN_DEFAULT[:3] + [("mtd3", 0, noise("c7", 0x70000))]),
]

# ---- Windows that start inside a partition and run across several --------------------

TWO = devices(("mtd0", 0x40000), ("mtd1", 0x3C0000))
TWO_TABLE = table(("mtd0", 0x40000, "boot"), ("mtd1", 0x3C0000, "system"))
A2, B2, C2 = images(0x20000 + 0x800, 0x1000, 0x800).values()
TOTAL2 = len(A2) + len(B2) + len(C2)
SHIFTED = devices(("mtd0", 0x20000), ("mtd1", 0x120000), ("mtd2", 0x250000), ("mtd3", 0x70000))
SHIFTED_TABLE = table(("mtd0", 0x20000, "boot"), ("mtd1", 0x120000, "kernel"),
                      ("mtd2", 0x250000, "rootfs"), ("mtd3", 0x70000, "jffs"))
A3, B3, C3 = images(0x800, 0x40000 + 0x400, 0x400).values()
TOTAL3 = len(A3) + len(B3) + len(C3)
ZERO = devices(("mtd0", 0x20000), ("mtd1", 0x70000), ("mtdz", 0x10000), ("mtd5", 0x70000),
               ("mtd2", 0x290000), ("mtd3", 0x70000))
ZERO_TABLE = table(("mtd0", 0x20000, "boot"), ("mtd1", 0x70000, "k1"), ("mtdz", 0, "empty"),
                   ("mtd5", 0x70000, "k2"), ("mtd2", 0x290000, "rootfs"), ("mtd3", 0x70000, "jffs"))
A4 = noise("a4", 0x70400)

SCENARIOS += [
    # The first image's first 0x20000 bytes go to 0x20000 of mtd0, the rest to mtd1; the
    # second image lands at 0xc0000 of mtd1, the third at 0x350000.
    write("write_window_inside_partition", {"t": TWO_TABLE, "a": A2, "b": B2, "c": C2},
          "Erasing flash...\n" + erasing((0x0, 0x20000, 0x20000), (0x40000, 0x0, 0x3C0000))
          + progress([0x20000, 0x800, 0x1000, 0x800], TOTAL2),
          devices=TWO, changes=[("mtd0", 0x20000, erased(0x20000)), ("mtd1", 0, erased(0x3C0000)),
                                ("mtd0", 0x20000, A2[:0x20000]), ("mtd1", 0, A2[0x20000:]),
                                ("mtd1", 0xC0000, B2), ("mtd1", 0x350000, C2)],
          erases=[("mtd0", 0x20000, 0x20000), ("mtd1", 0, 0x3C0000)], tiers=("sim",)),
    # A short image: the later section of its window is opened and positioned, nothing more.
    write("write_short_image_leaves_later_section", {"t": TWO_TABLE, "a": B2, "b": b"", "c": b""},
          "Erasing flash...\n" + erasing((0x0, 0x20000, 0x20000), (0x40000, 0x0, 0x3C0000))
          + progress([0x1000], 0x1000),
          devices=TWO, changes=[("mtd0", 0x20000, erased(0x20000)), ("mtd1", 0, erased(0x3C0000)),
                                ("mtd0", 0x20000, B2)],
          opens=["mtd0 " + RW] + ["mtd0 " + RW, "mtd1 " + RW] * 2 + ["mtd1 " + RW] * 2,
          tiers=("sim",)),
    # The second window begins 0xe0000 into mtd1 and runs on into mtd2.
    write("write_window_across_partitions", {"t": SHIFTED_TABLE, "a": A3, "b": B3, "c": C3},
          "Erasing flash...\n"
          + erasing((0x20000, 0, 0x120000), (0x140000, 0, 0x250000), (0x390000, 0, 0x70000))
          + progress([0x800, 0x40000, 0x400, 0x400], TOTAL3),
          devices=SHIFTED,
          changes=[("mtd1", 0, erased(0x120000)), ("mtd2", 0, erased(0x250000)),
                   ("mtd3", 0, erased(0x70000)), ("mtd1", 0, A3), ("mtd1", 0xE0000, B3[:0x40000]),
                   ("mtd2", 0, B3[0x40000:]), ("mtd3", 0, C3)],
          tiers=("sim",)),
    # An empty partition inside a window: erased with length 0, then positioned and left.
    write("write_empty_partition_inside_window", {"t": ZERO_TABLE, "a": A4, "b": b"", "c": b""},
          "Erasing flash...\n"
          + erasing((0x20000, 0, 0x70000), (0x90000, 0, 0), (0x90000, 0, 0x70000),
                    (0x100000, 0, 0x290000), (0x390000, 0, 0x70000))
          + progress([0x70000, 0x400], len(A4)),
          devices=ZERO,
          changes=[("mtd1", 0, erased(0x70000)), ("mtd5", 0, erased(0x70000)),
                   ("mtd2", 0, erased(0x290000)), ("mtd3", 0, erased(0x70000)),
                   ("mtd1", 0, A4[:0x70000]), ("mtd5", 0, A4[0x70000:])],
          opens=["mtd0 " + RW] + [d + " " + RW for d in ("mtd1", "mtdz", "mtd5", "mtd2", "mtd3",
                                                         "mtd1", "mtdz", "mtd5", "mtd2", "mtd3")],
          tiers=("sim",)),
]

# ---- Tables refused before anything is touched ----------------------------------------

LONG = "x" * 64
for name, text, out, err in [
    ("missing", None, "t", f"fopen(): {ENOENT}\n"),
    ("heading_only", HEADING.encode(), "t : no partitions\n", ""),
    ("empty", b"", "t : no partitions\n", ""),
    ("token_too_long", HEADING.encode() + f'mtd1: e0000 {LONG} "kernel"\n'.encode(),
     "t : token too long\n", ""),
    ("device_name_too_long", table(("m" * 59, 0x20000, "boot")), "t : device name too long\n", ""),
    ("sizes_overflow", table(("mtd0", 0x20000, "boot"), ("mtd1", 0xFFFE0000, "all")),
     "t : partition sizes overflow\n", ""),
    ("truncated_row", DEFAULT_TABLE + b"mtd4:\n", "t : truncated row\n", ""),
    # One size that is negative or wider than 32 bits is refused as an overflow too.
    ("size_negative", HEADING.encode() + b'mtd0: 20000 2000 "boot"\nmtd1: -1 10000 "all"\n',
     "t : partition sizes overflow\n", ""),
    ("size_past_32_bits", HEADING.encode() + b'mtd0: 100000000 2000 "boot"\n',
     "t : partition sizes overflow\n", ""),
]:
    # Without a table the images need not exist: they are never opened.
    files = dict(FILES_DEFAULT, t=text) if text is not None else {}
    SCENARIOS.append(write(f"write_refuses_table_{name}", files, out + FAIL, stderr=err, status=1,
                           erases=[], opens=["mtd0 " + RW]))
    SCENARIOS.append(Scenario(f"check_refuses_table_{name}",
                              ["checksystem", "t", "a", "b", "c", "ca", "cb", "cc"], files=files,
                              stdout=out, stderr=err, status=1, opens=["mtd0 " + RW]))
# A table that cannot be read is refused, not taken for an empty one.
EISDIR = strerror(errno.EISDIR)
SCENARIOS += [
    write("write_refuses_unreadable_table", {"t/x": b""}, FAIL,
          stderr=f"count_partitions: fread\nfread(): {EISDIR}\n", status=1, erases=[]),
    Scenario("check_refuses_unreadable_table", ["checksystem", "t", "a", "b", "c", "ca", "cb", "cc"],
             files={"t/x": b""}, stderr=f"count_partitions: fread\nfread(): {EISDIR}\n", status=1),
]
# At the limits: a 58-character device name and 63-character tokens are taken.
LONG_DEVICE = "mtd" + "x" * 55
SCENARIOS.append(write("write_table_at_limits",
                       {"t": ("h e a " + "d" * 63 + "\nmtd0: 20000 " + "y" * 63 + ' "boot"\n'
                              + LONG_DEVICE + ": e0000 1 \"" + "l" * 61 + '"\n').encode(),
                        "a": b"", "b": b"", "c": b""},
                       "Erasing flash...\n" + erasing((0x20000, 0, 0xE0000)),
                       devices=devices(("mtd0", 0x20000), (LONG_DEVICE, 0xE0000)),
                       changes=[(LONG_DEVICE, 0, erased(0xE0000))], tiers=("sim",)))

# ---- Size checks ----------------------------------------------------------------------

SCENARIOS += [
    write("write_first_image_too_large", {"t": DEFAULT_TABLE, "a": noise("big", 0xE0001)},
          "a : file size too large\n" + FAIL, status=1, erases=[], opens=["mtd0 " + RW]),
    write("write_third_image_too_large", dict(FILES_DEFAULT, c=noise("big", 0x70001)),
          "c : file size too large\n" + FAIL, status=1, erases=[]),
    # The path as a whole line, then the front end's line.
    write("write_second_image_missing", {"t": DEFAULT_TABLE, "a": A},
          "b\n" + FAIL, stderr=f"fopen(): {ENOENT}\n", status=1, erases=[]),
]

# ---- Failures while erasing and writing -----------------------------------------------

ERASED_MTD1 = [("mtd1", 0, erased(0xE0000))]
ERASE_MTD1 = erasing((0x20000, 0, 0xE0000))
ERASE_MTD12 = erasing((0x20000, 0, 0xE0000), (0x100000, 0, 0x290000))
for name, faults, out, err, changes in [
    ("erase_open", ["missing:mtd2"], ERASE_MTD1 + "/dev/mtd2", f"open(): {ENOENT}\n", ERASED_MTD1),
    ("erase_refused", ["erase-fail:mtd2:1"],
     ERASE_MTD1 + "Erasing flash start 0x100000 + 0x0, size 0x290000\n", f"MEMERASE: {EIO}\n",
     ERASED_MTD1),
    ("erase_close", ["close-fail:mtd1:1"], ERASE_MTD1, f"close(): {EIO}\n", ERASED_MTD1),
    ("write_lseek", ["lseek-fail:mtd2:1"], ERASE_DEFAULT + "written 25 % ...\nwritten 37 % ...\n",
     f"lseek(): {EINVAL}\n", WRITTEN_DEFAULT[:4]),
    ("write_device", ["write-fail:mtd2:0x800"],
     ERASE_DEFAULT + "written 25 % ...\nwritten 37 % ...\nwritten 62 % ...\n",
     f"write_partsection: write, size 0x13b8\nwrite(): {EIO}\n",
     WRITTEN_DEFAULT[:4] + [("mtd2", 0, B[:0x800])]),
    ("write_close", ["close-fail:mtd1:2"], ERASE_DEFAULT + "written 25 % ...\nwritten 37 % ...\n",
     f"close(): {EIO}\n", WRITTEN_DEFAULT[:4]),
]:
    SCENARIOS.append(write(f"write_fails_{name}", FILES_DEFAULT, "Erasing flash...\n" + out + FAIL,
                           stderr=err, status=1, faults=faults, changes=changes, tiers=("sim",)))
# A short device write: the count before the failing chunk, named an I/O error.
SCENARIOS.append(write("write_fails_short_write", FILES_DEFAULT,
                       "Erasing flash...\n" + ERASE_DEFAULT + FAIL,
                       stderr="write_partsection: write, size 0x400\nwrite(): Input/output error\n",
                       status=1, faults=["write-short:mtd1:0x500"],
                       changes=WRITTEN_DEFAULT[:3] + [("mtd1", 0, A[:0x500])],
                       tiers=("sim",)))
# An image that cannot be read is a failure, not an empty image.
SCENARIOS.append(write("write_fails_unreadable_image", {"t": DEFAULT_TABLE, "a/x": b"", "b": B, "c": C},
                       "Erasing flash...\n" + ERASE_DEFAULT + FAIL,
                       stderr=f"write_partsection: fread\nfread(): {EISDIR}\n",
                       status=1, changes=WRITTEN_DEFAULT[:3], tiers=("sim",)))

# ---- The check ------------------------------------------------------------------------

FLASH = {dev: pattern(dev, size) for dev, size in DEVICE_SIZES.items()}


def check(name, sizes, crcs, stdout="", status=0, **kw):
    files = {n: noise(n, s) for n, s in zip("abc", sizes) if s is not None}
    files.update({"c" + n: data for n, data in zip("abc", crcs) if data is not None})
    files["t"] = kw.pop("table", DEFAULT_TABLE)
    return Scenario(name, ["checksystem", "t", "a", "b", "c", "ca", "cb", "cc"], files=files,
                    stdout=stdout, status=status, **kw)


GOOD = [crc_file(FLASH["mtd1"][:3000]), crc_file(FLASH["mtd2"][:5000]),
        crc_file(FLASH["mtd3"][:100])]
SHIFTED_FLASH = {dev: pattern(dev, size) for dev, (size, _) in SHIFTED.items()}

SCENARIOS += [
    check("check_default_table", (3000, 5000, 100), GOOD,
          opens=["mtd0 " + RW, "mtd1 " + RW, "mtd2 " + RW, "mtd3 " + RW]),
    # 0x40000 bytes from 0xe0000 of mtd1, then 0x10000 from 0 of mtd2, as one CRC.
    check("check_across_partitions", (0, 0x50000, 0),
          [crc_file(b""), crc_file(SHIFTED_FLASH["mtd1"][0xE0000:] + SHIFTED_FLASH["mtd2"][:0x10000]),
           crc_file(b"")], table=SHIFTED_TABLE, devices=SHIFTED, tiers=("sim",)),
    check("check_across_partitions_mismatch", (0, 0x50000, 0),
          [crc_file(b""), crc_file(SHIFTED_FLASH["mtd1"][0xE0000:]), crc_file(b"")],
          stdout="CRC check error 0x%x / 0x%x \n" % (
              zlib.crc32(SHIFTED_FLASH["mtd1"][0xE0000:] + SHIFTED_FLASH["mtd2"][:0x10000]),
              zlib.crc32(SHIFTED_FLASH["mtd1"][0xE0000:])),
          status=1, table=SHIFTED_TABLE, devices=SHIFTED, tiers=("sim",)),
    # A first image longer than its window reads on into the next; a third one stops at the
    # table's end without a word.
    check("check_image_longer_than_window", (0xE0100, 0, 0x70100),
          [crc_file(FLASH["mtd1"] + FLASH["mtd2"][:0x100]), crc_file(b""), crc_file(FLASH["mtd3"])]),
    # An empty image still opens its first partition and compares 0.
    check("check_empty_images", (0, 0, 0), [b"0\n", b"0x0\n", b"00000000 c\n"],
          opens=["mtd0 " + RW, "mtd1 " + RW, "mtd2 " + RW, "mtd3 " + RW]),
    check("check_empty_image_mismatch", (0, None, None), [b"1\n", None, None],
          stdout="CRC check error 0x0 / 0x1 \n", status=1),
    # The first mismatch ends the check: the second image is never opened.
    check("check_first_mismatch_stops", (3000, None, None), [GOOD[1], None, None],
          stdout="CRC check error 0x%x / 0x%x \n" % (zlib.crc32(FLASH["mtd1"][:3000]),
                                                     int(GOOD[1], 16)), status=1,
          opens=["mtd0 " + RW, "mtd1 " + RW]),
    check("check_table_ending_early", (3000, 5000, 100),
          [GOOD[0], crc_file(b""), crc_file(b"")],
          table=table(("mtd0", 0x20000, "boot"), ("mtd1", 0xE0000, "kernel")),
          opens=["mtd0 " + RW, "mtd1 " + RW]),
    check("check_image_missing", (3000, None, None), GOOD, stdout="b", stderr=f"fopen(): {ENOENT}\n",
          status=1),
    check("check_crc_file_missing", (3000, 5000, 100), [GOOD[0], None, GOOD[2]], stdout="cb",
          stderr=f"fopen(): {ENOENT}\n", status=1),
]
# An image past 4 GiB is checked over 0xffffffff bytes, which the table's end cuts short,
# never over its size cut to 32 bits (256 bytes here, whose CRC the second case's file holds).
PAST_4GIB = SparseFile(0x100000100)
WHOLE_WALK = zlib.crc32(FLASH["mtd1"] + FLASH["mtd2"] + FLASH["mtd3"])
FIRST_256 = zlib.crc32(FLASH["mtd1"][:0x100])
ALL_OPENED = ["mtd0 " + RW, "mtd1 " + RW, "mtd2 " + RW, "mtd3 " + RW]
SCENARIOS += [
    Scenario("check_image_past_4gib_runs_to_table_end",
             ["checksystem", "t", "a", "b", "c", "ca", "cb", "cc"],
             files={"t": DEFAULT_TABLE, "a": PAST_4GIB, "b": b"", "c": b"",
                    "ca": b"%x\n" % WHOLE_WALK, "cb": b"0\n", "cc": b"0\n"},
             opens=ALL_OPENED + ["mtd2 " + RW, "mtd3 " + RW], tiers=("sim",)),
    Scenario("check_image_past_4gib_not_cut_to_32_bits",
             ["checksystem", "t", "a", "b", "c", "ca", "cb", "cc"],
             files={"t": DEFAULT_TABLE, "a": PAST_4GIB, "ca": b"%x\n" % FIRST_256},
             stdout=f"CRC check error 0x{WHOLE_WALK:x} / 0x{FIRST_256:x} \n", status=1,
             opens=ALL_OPENED, tiers=("sim",)),
]
for name, faults, out, err in [
    ("open_missing", ["missing:mtd2"], "/dev/mtd2", f"open(): {ENOENT}\n"),
    # The check only reads, yet asks for read-write access as the write does.
    ("open_readonly", ["readonly:mtd2"], "/dev/mtd2", f"open(): {EACCES}\n"),
    ("lseek", ["lseek-fail:mtd2:1"], "", f"lseek(): {EINVAL}\n"),
    ("read", ["read-fail:mtd2:0x10"], "", f"read(): {EIO}\n"),
    ("close", ["close-fail:mtd2:1"], "", f"close(): {EIO}\n"),
]:
    SCENARIOS.append(check(f"check_fails_{name}", (3000, 5000, 100), GOOD, stdout=out, stderr=err,
                           status=1, faults=faults, tiers=("sim",)))

# ---- Faults the driver raises by itself ------------------------------------------------

# A table that claims more than the last device holds: the driver refuses the erase that
# runs past the device's end, after the earlier partitions were erased.
OVERSIZED_TABLE = table(("mtd0", 0x20000, "boot"), ("mtd1", 0xE0000, "kernel"),
                        ("mtd2", 0x290000, "rootfs"), ("mtd3", 0x80000, "jffs"))
SCENARIOS.append(write(
    "driver_refuses_erase_past_device_end", {"t": OVERSIZED_TABLE, "a": A, "b": B, "c": C},
    "Erasing flash...\n" + erasing((0x20000, 0, 0xE0000), (0x100000, 0, 0x290000))
    + "Erasing flash start 0x390000 + 0x0, size 0x80000\n" + FAIL,
    stderr=f"MEMERASE: {EINVAL}\n", status=1,
    changes=[("mtd1", 0, erased(0xE0000)), ("mtd2", 0, erased(0x290000))]))
# Reads stop at the device's end: an image longer than the last device is checked over
# the bytes the device holds.
JFFS = pattern("mtd3", 0x70000)
SCENARIOS.append(Scenario(
    "driver_ends_check_at_device_end", ["checksystem", "t", "a", "b", "c", "ca", "cb", "cc"],
    files={"t": OVERSIZED_TABLE, "a": b"", "b": b"", "c": noise("long", 0x70400),
           "ca": b"0\n", "cb": b"0\n", "cc": crc_file(JFFS)}))
