"""The image writers: writel2boot, writebootp, writecramfs, writejffs and writel1all copy
one image into one region; writeall spreads a whole-flash image over the four devices and
passes over the protected window of /dev/mtd0."""
import errno
import re

from harness import LOST, Scenario, erase_line, erased, noise, strerror

EIO, ENOENT, EINVAL = strerror(errno.EIO), strerror(errno.ENOENT), strerror(errno.EINVAL)
EISDIR = strerror(errno.EISDIR)
FLASH_SIZE = 0x400000
WINDOW = (0x6000, 0x8000)
# Where each device starts in the whole-flash image.
DEVICE_STARTS = {"mtd0": 0, "mtd1": 0x20000, "mtd2": 0x100000, "mtd3": 0x390000}
DEVICE_SIZES = {"mtd0": 0x20000, "mtd1": 0xE0000, "mtd2": 0x290000, "mtd3": 0x70000}
WHOLE_FLASH_ERASES = [("mtd0", 0, 0x6000), ("mtd0", 0x8000, 0x18000), ("mtd1", 0, 0xE0000),
                      ("mtd2", 0, 0x290000), ("mtd3", 0, 0x70000)]

# command word -> (device, region start, region length, progress reported)
REGIONS = {
    "writel2boot": ("mtd0", 0x10000, 0x10000, False),
    "writebootp": ("mtd1", 0, 0xE0000, True),
    "writecramfs": ("mtd2", 0, 0x290000, True),
    "writejffs": ("mtd3", 0, 0x70000, True),
}
L1AREA = ("mtd0", 0, 0x2000, False)


def shown(*percents):
    """The progress lines the tool prints for these percentages, in the plain style."""
    return "".join(f"written {percent} % ...\n" for percent in percents)


# An image of 100 blocks or more shows every percentage from 1 to 100, once each; in the
# compact style ten to a line.
EVERY = shown(*range(1, 101))
EVERY_COMPACT = "".join(f"{p:3d} %   " + ("\n" if p % 10 == 0 else "") for p in range(1, 101))
# 3000 bytes: three blocks, the last one partial.
SMALL = shown(34, 68, 100)


def framed(size, region, shown):
    """What a successful write_flash prints around its progress output."""
    _, start, length, _ = region
    return (f"File size = {size}\nErasing flash...\n" + erase_line(start, length)
            + "Writing new image...\n" + shown + "\nWrite new image complete\n")


def written(size, region, progress=""):
    """Everything a successful write_flash prints for an image of size bytes, progress
    where the region reports it."""
    return framed(size, region, progress if region[3] else "")


def landed(region, image):
    """The region after a write: the image from its start, the rest erased."""
    dev, start, length, _ = region
    return [(dev, start, image + erased(length - len(image)))]


SCENARIOS = []

# A small image in every single-region writer: the output shape, the image at the region's
# start and the rest of the region erased. 3000 bytes end in a partial block.
for word, region in REGIONS.items():
    image = noise(word, 3000)
    SCENARIOS.append(Scenario(f"{word}_small_image", [word, "img"], files={"img": image},
                              stdout=written(3000, region, SMALL), changes=landed(region, image),
                              erases=[(region[0], region[1], region[2])]))

# The region's size is the limit: exactly that many bytes are written whole, one byte more
# is refused before anything is erased.
for word, region in REGIONS.items():
    image = noise(word + "-full", region[2])
    SCENARIOS.append(Scenario(f"{word}_exactly_limit", [word, "img"], files={"img": image},
                              stdout=written(region[2], region, EVERY),
                              changes=landed(region, image)))
    SCENARIOS.append(Scenario(f"{word}_limit_plus_one", [word, "img"],
                              files={"img": noise(word + "-over", region[2] + 1)},
                              stdout="write_flash : size too large\n", status=1, erases=[]))

CRAMFS = REGIONS["writecramfs"]
BOOTP = REGIONS["writebootp"]
JFFS = REGIONS["writejffs"]
L2BOOT = REGIONS["writel2boot"]

# Progress in both styles, byte for byte.
for name, word, size, extra, text in [
    # One block: a single step at 100.
    ("one_block_plain", "writebootp", 1024, [], "written 100 % ...\n"),
    # Two blocks: 50 and 100; nothing in between is ever computed.
    ("two_blocks_plain", "writecramfs", 2048, [], "written 50 % ...\nwritten 100 % ...\n"),
    # Five entries, right-aligned in three columns, and no line end of the reporter's own.
    ("five_blocks_compact", "writecramfs", 5000, ["HTTP"],
     " 20 %    40 %    61 %    81 %   100 %   "),
    # The tenth entry ends the line, so the closing newline leaves an empty one.
    ("ten_entries_compact", "writecramfs", 10240, ["HTTP"],
     " 10 %    20 %    30 %    40 %    50 %    60 %    70 %    80 %    90 %   100 %   \n"),
    ("twelve_entries_compact", "writebootp", 0x3000, ["HTTP", "ignored"],
     "  8 %    16 %    25 %    33 %    41 %    50 %    58 %    66 %    75 %    83 %   \n"
     " 91 %   100 %   "),
    # The word in another case is ignored: the plain style.
    ("lower_case_http_plain", "writebootp", 2048, ["http"], "written 50 % ...\nwritten 100 % ...\n"),
]:
    region = REGIONS[word]
    image = noise(name, size)
    SCENARIOS.append(Scenario(f"progress_{name}", [word, "img"] + extra, files={"img": image},
                              stdout=framed(size, region, text),
                              changes=landed(region, image)))

# 1 MiB in the compact style: every percentage from 1 to 100, ten to a line, then the
# closing newline as an empty line.
MIB = noise("mib", 0x100000)
SCENARIOS.append(Scenario("progress_one_mib_compact", ["writecramfs", "img", "HTTP"],
                          files={"img": MIB}, changes=landed(CRAMFS, MIB),
                          stdout="File size = 1048576\nErasing flash...\n" + erase_line(0, 0x290000)
                          + "Writing new image...\n"
                          + EVERY_COMPACT
                          + "\nWrite new image complete\n"))

# An empty image: the whole region is erased, nothing written, no progress, and the closing
# newline still stands before the completion line.
SCENARIOS += [
    Scenario("writecramfs_empty_image", ["writecramfs", "img", "HTTP"], files={"img": b""},
             stdout="File size = 0\nErasing flash...\n" + erase_line(0, 0x290000)
             + "Writing new image...\n\nWrite new image complete\n",
             changes=landed(CRAMFS, b"")),
    # With reporting off the output still holds the empty line.
    Scenario("writel2boot_reporting_off", ["writel2boot", "img"], files={"img": noise("l2", 0x3000)},
             stdout="File size = 12288\nErasing flash...\n" + erase_line(0x10000, 0x10000)
             + "Writing new image...\n\nWrite new image complete\n",
             changes=landed(L2BOOT, noise("l2", 0x3000))),
]

# writel1all: the same file into the level-one area and the boot-loader region.
L1_SMALL = noise("l1", 0x1800)
L1_FULL = noise("l1-full", 0x2000)
L1_BIG = noise("l1-big", 0x3000)
SCENARIOS += [
    Scenario("writel1all_both_regions", ["writel1all", "img"], files={"img": L1_SMALL},
             stdout=written(0x1800, L1AREA) + written(0x1800, L2BOOT),
             changes=landed(L1AREA, L1_SMALL) + landed(L2BOOT, L1_SMALL),
             erases=[("mtd0", 0, 0x2000), ("mtd0", 0x10000, 0x10000)]),
    Scenario("writel1all_exactly_level_one_area", ["writel1all", "img"], files={"img": L1_FULL},
             stdout=written(0x2000, L1AREA) + written(0x2000, L2BOOT),
             changes=landed(L1AREA, L1_FULL) + landed(L2BOOT, L1_FULL)),
    # 12 KiB do not fit the level-one area, which stays as it was; the second write decides.
    Scenario("writel1all_too_large_for_level_one", ["writel1all", "img"], files={"img": L1_BIG},
             stdout="write_flash : size too large\n" + written(0x3000, L2BOOT),
             changes=landed(L2BOOT, L1_BIG), erases=[("mtd0", 0x10000, 0x10000)]),
    Scenario("writel1all_too_large_for_both", ["writel1all", "img"],
             files={"img": noise("l1-huge", 0x10001)},
             stdout="write_flash : size too large\nwrite_flash : size too large\n", status=1,
             erases=[]),
    # A refused first erase does not stop the second write, and the status is the second's.
    Scenario("writel1all_first_erase_refused", ["writel1all", "img"], files={"img": L1_SMALL},
             faults=["erase-fail:mtd0:1"],
             stdout="File size = 6144\nErasing flash...\nErase flash fail\n" + written(0x1800, L2BOOT),
             stderr=f"MEMERASE: {EIO}\n", changes=landed(L2BOOT, L1_SMALL), tiers=("sim",)),
]

# The failures of the single-region writer, and what each leaves on the flash.
IMG4K = noise("4k", 0x1000)
COPY_START = "File size = 4096\nErasing flash...\n" + erase_line(0, 0x290000) + "Writing new image...\n"
SCENARIOS += [
    # The device is positioned before the image is opened: a missing image goes unreported.
    Scenario("write_flash_seek_fails", ["writebootp", "none"], faults=["lseek-fail:mtd1:1"],
             stderr=f"lseek(): {EINVAL}\n", status=1, erases=[], tiers=("sim",)),
    Scenario("write_flash_image_missing", ["writejffs", "none"], stdout="none",
             stderr=f"fopen(): {ENOENT}\n", status=1, erases=[]),
    Scenario("write_flash_erase_refused", ["writecramfs", "img"], files={"img": IMG4K},
             faults=["erase-fail:mtd2:1"],
             stdout="File size = 4096\nErasing flash...\nErase flash fail\n",
             stderr=f"MEMERASE: {EIO}\n", status=1, tiers=("sim",)),
    # A failed first block reports size 0; a failed third block 0x800, with the first two
    # written and the rest of the region erased.
    Scenario("write_flash_first_block_fails", ["writecramfs", "img"], files={"img": IMG4K},
             faults=["write-fail:mtd2:0x10"], stdout=COPY_START,
             stderr=f"write_flash: write, size 0\nwrite(): {EIO}\n", status=1,
             changes=landed(CRAMFS, b""), tiers=("sim",)),
    Scenario("write_flash_third_block_fails", ["writecramfs", "img", "HTTP"], files={"img": IMG4K},
             faults=["write-fail:mtd2:0x800"], stdout=COPY_START + " 25 %    50 %   ",
             stderr=f"write_flash: write, size 0x800\nwrite(): {EIO}\n", status=1,
             changes=landed(CRAMFS, IMG4K[:0x800]), tiers=("sim",)),
    # A short write is a failure too; the part of the block the device took stays.
    Scenario("write_flash_short_write", ["writecramfs", "img"], files={"img": IMG4K},
             faults=["write-short:mtd2:0x900"], stdout=COPY_START + shown(25, 50),
             stderr="write_flash: write, size 0x800\nwrite(): Input/output error\n", status=1,
             changes=landed(CRAMFS, IMG4K[:0x900]), tiers=("sim",)),
    # A read error is not the end of the image: the region is left erased and the run fails.
    Scenario("write_flash_read_error", ["writejffs", "imgdir"], files={"imgdir/placeholder": b""},
             stdout=re.compile(rb"File size = \d+\nErasing flash\.\.\.\n"
                               + re.escape(erase_line(0, 0x70000).encode())
                               + rb"Writing new image\.\.\.\n"),
             stderr=f"write_flash: fread\nfread(): {EISDIR}\n", status=1,
             changes=landed(JFFS, b"")),
    # A file whose size said 0 but that keeps delivering bytes (as a file that grew after
    # the size check would): the copy fills the region and stops at its end, no further;
    # the percentage of a zero total is 100, never a division by zero.
    Scenario("write_flash_stops_at_region_end", ["writejffs", "/dev/zero"],
             stdout="File size = 0\nErasing flash...\n" + erase_line(0, 0x70000)
             + "Writing new image...\nwritten 100 % ...\nwrite_flash : size too large\n",
             status=1, changes=[("mtd3", 0, bytes(0x70000))]),
    Scenario("write_flash_stops_at_region_end_mtd0", ["writel2boot", "/dev/zero"],
             stdout="File size = 0\nErasing flash...\n" + erase_line(0x10000, 0x10000)
             + "Writing new image...\nwrite_flash : size too large\n",
             status=1, changes=[("mtd0", 0x10000, bytes(0x10000))]),
]

# A reader of standard output that has gone away: the progress output is lost, every
# failed flush is logged, and the image is still written whole with the writer's status.
# Twenty blocks give twenty entries, each flushed at once, and the exit flushes once more.
PIPED = noise("piped", 0x5000)
SCENARIOS.append(Scenario("writecramfs_broken_pipe", ["writecramfs", "img", "HTTP"],
                          files={"img": PIPED}, broken_pipe=True, changes=landed(CRAMFS, PIPED),
                          syslog=["3 " + LOST] * 21))
# A hang-up in the middle of the copy changes nothing.
SCENARIOS.append(Scenario("writecramfs_hangup_mid_copy", ["writecramfs", "img"],
                          files={"img": IMG4K}, faults=["hup-after:6"],
                          stdout=written(0x1000, CRAMFS, shown(25, 50, 75, 100)), changes=landed(CRAMFS, IMG4K),
                          tiers=("sim",)))


# ---- writeall ---------------------------------------------------------------------------

def whole_flash_changes(image):
    """The flash after writeall of image: each device holds its part of the image and is
    erased after it; the protected window keeps its bytes."""
    changes = []
    for dev, start in DEVICE_STARTS.items():
        part = image[start:start + DEVICE_SIZES[dev]]
        data = part + erased(DEVICE_SIZES[dev] - len(part))
        if dev == "mtd0":
            changes += [(dev, 0, data[:WINDOW[0]]), (dev, WINDOW[1], data[WINDOW[1]:])]
        else:
            changes.append((dev, 0, data))
    return changes


def erase_lines(count=5):
    return "".join(erase_line(start, length) for _, start, length in WHOLE_FLASH_ERASES[:count])


WRITEALL_START = "Erasing flash...\n" + erase_lines() + "Writing new image...\n"


def writeall_out(progress):
    return WRITEALL_START + progress + "\nWrite new image complete\n"


# 0x9000 bytes: 36 blocks; 0x6000 of them reach the window.
TO_WINDOW = shown(2, 5, 8, 11, 13, 16, 19, 22, 25, 27, 30, 33, 36, 38, 41, 44, 47, 50, 52, 55,
                  58, 61, 63, 66)


FULL = noise("whole", FLASH_SIZE)
SHORT = noise("whole-short", 0x7000)
PAST_WINDOW = noise("whole-past", 0x9000)
SCENARIOS += [
    # 4 MiB: every device filled to its end; whatever the image holds at the window, the
    # window keeps its bytes, and what follows it lands at 0x8000.
    Scenario("writeall_whole_flash", ["writeall", "img"], files={"img": FULL},
             stdout=writeall_out(EVERY), changes=whole_flash_changes(FULL),
             erases=WHOLE_FLASH_ERASES),
    Scenario("writeall_too_large", ["writeall", "img"], files={"img": noise("whole-over", FLASH_SIZE + 1)},
             stdout="write_flashall : size too large\n", status=1, erases=[]),
    # 0x7000 bytes: 0x6000 written, four blocks passed over, all five ranges erased anyway,
    # and progress still reaches 100.
    Scenario("writeall_ends_in_window", ["writeall", "img"], files={"img": SHORT},
             stdout=writeall_out(shown(3, 7, 10, 14, 17, 21, 25, 28, 32, 35, 39, 42, 46, 50, 53, 57,
                                                60, 64, 67, 71, 75, 78, 82, 85, 89, 92, 96, 100)), changes=whole_flash_changes(SHORT),
             erases=WHOLE_FLASH_ERASES),
    Scenario("writeall_resumes_after_window", ["writeall", "img"], files={"img": PAST_WINDOW},
             stdout=writeall_out(TO_WINDOW + shown(69, 72, 75, 77, 80, 83, 86, 88, 91, 94, 97,
                                                            100)), changes=whole_flash_changes(PAST_WINDOW)),
    Scenario("writeall_empty_image", ["writeall", "img"], files={"img": b""},
             stdout=writeall_out(""), changes=whole_flash_changes(b"")),
    Scenario("writeall_image_missing", ["writeall", "none"], stdout="none",
             stderr=f"fopen(): {ENOENT}\n", status=1, erases=[]),
]

# A refused erase stops the later erases: the ranges before it are erased, the rest as
# they were.
for number, dev, nth in [(1, "mtd0", 1), (2, "mtd0", 2), (4, "mtd2", 1), (5, "mtd3", 1)]:
    done = WHOLE_FLASH_ERASES[:number - 1]
    SCENARIOS.append(Scenario(
        f"writeall_erase_{number}_refused", ["writeall", "img"], files={"img": SHORT},
        faults=[f"erase-fail:{dev}:{nth}"],
        stdout="Erasing flash...\n" + erase_lines(number - 1) + "Erase flash fail\n",
        stderr=f"MEMERASE: {EIO}\n", status=1, erases=WHOLE_FLASH_ERASES[:number],
        changes=[(d, s, erased(n)) for d, s, n in done], tiers=("sim",)))


def failed_copy(image, failing, dev, last):
    """A writeall that fails at the block at image offset failing, on device dev, having
    shown every percentage up to last."""
    return dict(stdout=WRITEALL_START + shown(*range(1, last + 1)), status=1,
                changes=whole_flash_changes(image[:failing]), tiers=("sim",),
                stderr=f"write_flashall: write, size {failing:#x}\nwrite(): {EIO}\n",
                faults=[f"write-fail:{dev}:0"])


TO_MTD1 = noise("to-mtd1", 0x21000)
TO_MTD3 = noise("to-mtd3", 0x390400)
SCENARIOS += [
    # The failing block's size is its image offset: the first block of /dev/mtd1 is 0x20000,
    # the first of /dev/mtd3 0x390000.
    Scenario("writeall_mtd1_write_fails", ["writeall", "img"], files={"img": TO_MTD1},
             **failed_copy(TO_MTD1, 0x20000, "mtd1", 96)),
    Scenario("writeall_mtd3_write_fails", ["writeall", "img"], files={"img": TO_MTD3},
             **failed_copy(TO_MTD3, 0x390000, "mtd3", 99)),
    Scenario("writeall_read_error", ["writeall", "imgdir"], files={"imgdir/placeholder": b""},
             stdout=WRITEALL_START, stderr=f"write_flashall: fread\nfread(): {EISDIR}\n",
             status=1, changes=whole_flash_changes(b"")),
    # A move over the window that goes astray must not shift the next blocks into the
    # window: the run stops with the window intact.
    Scenario("writeall_window_seek_fails", ["writeall", "img"], files={"img": PAST_WINDOW},
             faults=["lseek-fail:mtd0:1"],
             stdout=WRITEALL_START + TO_WINDOW,
             stderr=f"lseek(): {EINVAL}\n", status=1,
             changes=whole_flash_changes(PAST_WINDOW[:0x6000]), tiers=("sim",)),
    # An image whose size said 0 but that keeps delivering bytes fills the flash to its
    # end and stops there.
    Scenario("writeall_stops_at_flash_end", ["writeall", "/dev/zero"],
             stdout=WRITEALL_START + "written 100 % ...\nwrite_flashall : size too large\n",
             status=1, changes=whole_flash_changes(bytes(FLASH_SIZE))),
]
