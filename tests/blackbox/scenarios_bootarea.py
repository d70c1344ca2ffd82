"""The boot-area records of /dev/mtd0: the environment listing (readenv), the temporary
configuration record (writetempconf, checktempconf, readtempconf) and the level-one magic
block (writel1). Records are framed here from their format, independently of the tool, and
serve both as the expected flash after a write and as the starting flash of a read."""
import errno
import re
import struct
import zlib

from harness import NOBODY, Scenario, erase_line, erased, noise, pattern, strerror

EIO, ENOENT = strerror(errno.EIO), strerror(errno.ENOENT)
EACCES, EISDIR = strerror(errno.EACCES), strerror(errno.EISDIR)
EFBIG, EINVAL = strerror(errno.EFBIG), strerror(errno.EINVAL)
EISDIR = strerror(errno.EISDIR)
MTD0 = 0x20000
ENV, L1, TEMPCONF, BLOCK = 0x4000, 0x8000, 0xC000, 0x2000
ENV_DATA = BLOCK - 4
SIZES = (0, 1, 3, 1021, 1024, 1025, 8183, 8184)

SCENARIOS = []


def c_hex(value):
    """printf's %#x: no prefix for 0."""
    return f"{value:#x}" if value else "0"


def le32(word):
    return struct.pack("<I", word)


def mtd0_with(offset, data):
    """The default starting /dev/mtd0 with data laid over it at offset."""
    start = bytearray(pattern("mtd0", MTD0))
    start[offset:offset + len(data)] = data
    return {"mtd0": bytes(start)}


def record(data):
    """A temporary configuration record as a freshly erased region holds it."""
    framed = le32(len(data)) + data + le32(zlib.crc32(data))
    return framed + erased(BLOCK - len(framed))


def env_block(data, crc=None):
    assert len(data) == ENV_DATA
    return le32(zlib.crc32(data) if crc is None else crc) + data


def env_output(crc, tail):
    return re.compile(rb"env = [0-9a-f]+\nsize = 8188\nenv->data = [0-9a-f]+\ncrc = "
                      + b"%x\n" % crc + re.escape(tail), re.S)


# ---- readenv ---------------------------------------------------------------------------

NO_NUL = bytes(b or 0x5A for b in noise("no_nul", ENV_DATA - 255)) + bytes(range(1, 256))
# Each case: the data area (what follows its empty string is noise, covered by the CRC but
# never shown), the lines listed and the used size.
STRINGS = [b"bootcmd=run flash_self", b"a", b"ctl=\x01\x07\x1b[0m\x7f", b"hi=\x80\xa9\xfe\xff"]
ENV_CASES = [
    ("strings", b"\0".join(STRINGS) + b"\0\0", STRINGS),
    ("three_and_five", b"abc\0defgh\0\0", [b"abc", b"defgh"]),
    ("empty", b"\0", []),
    ("terminator_is_last_byte", b"x=" + b"y" * (ENV_DATA - 3) + b"\0", [b"x=" + b"y" * (ENV_DATA - 3)]),
    ("last_string_unterminated", b"a=1\0" + b"z" * (ENV_DATA - 4), [b"a=1", b"z" * (ENV_DATA - 4)]),
    # No NUL anywhere: one line of the whole area, every byte value from 1 to 255 in it.
    ("no_terminator_at_all", NO_NUL, [NO_NUL]),
]
for name, head, lines in ENV_CASES:
    data = head + noise(name, ENV_DATA - len(head))
    used = sum(len(line) + 1 for line in lines)
    listing = b"".join(line + b"\n" for line in lines) + b"\nEnvironment size: %d/8188 bytes\n" % used
    SCENARIOS.append(Scenario(f"readenv_{name}", ["readenv"], flash=mtd0_with(ENV, env_block(data)),
                              stdout=env_output(zlib.crc32(data), listing)))

SCENARIOS += [
    Scenario("readenv_erased_block", ["readenv"], flash=mtd0_with(ENV, erased(BLOCK)),
             stdout=env_output(0xFFFFFFFF, b"CRC Check fail\n"), status=1),
    Scenario("readenv_damaged_block", ["readenv"],
             flash=mtd0_with(ENV, env_block(b"a=1\0\0" + erased(ENV_DATA - 5), crc=0x1234)),
             stdout=env_output(0x1234, b"CRC Check fail\n"), status=1),
    Scenario("readenv_short_read", ["readenv"], faults=[f"read-short:mtd0:{ENV + 0x1000}"],
             stdout="Bootldr env: read, size 0x2000, n 0x1000\n", stderr=f"read(): {EIO}\n",
             status=1, tiers=("sim",)),
    Scenario("readenv_failed_read", ["readenv"], faults=[f"read-fail:mtd0:{ENV}"],
             stdout="Bootldr env: read, size 0x2000, n 0xffffffff\n", stderr=f"read(): {EIO}\n",
             status=1, tiers=("sim",)),
    Scenario("readenv_seek_refused", ["readenv"], faults=["lseek-fail:mtd0:1"],
             stderr=f"lseek(): {EINVAL}\n", status=1, tiers=("sim",)),
]

# ---- writetempconf ---------------------------------------------------------------------

STORED = b"previous=record\n"
WRITTEN = ("Erasing flash...\n" + erase_line(TEMPCONF, BLOCK) + "Writing new image...\n\n"
           "Write tempory config complete\n")
for size in SIZES:
    data = noise(f"conf{size}", size)
    SCENARIOS.append(Scenario(f"writetempconf_{size}_bytes", ["writetempconf", "conf"],
                              files={"conf": data}, flash=mtd0_with(TEMPCONF, record(STORED)),
                              stdout=WRITTEN, changes=[("mtd0", TEMPCONF, record(data))],
                              erases=[("mtd0", TEMPCONF, BLOCK)]))

# Refusals before the erase leave the previous record in place.
SCENARIOS += [
    Scenario("writetempconf_8185_bytes_refused", ["writetempconf", "conf"],
             files={"conf": noise("conf8185", 8185)}, flash=mtd0_with(TEMPCONF, record(STORED)),
             stdout="write_flash : size too large\nWrite temporal file fail\n", status=1, erases=[]),
    Scenario("writetempconf_missing_source", ["writetempconf", "none"],
             flash=mtd0_with(TEMPCONF, record(STORED)), stdout="noneWrite temporal file fail\n",
             stderr=f"fopen(): {ENOENT}\n", status=1, erases=[]),
    Scenario("writetempconf_seek_refused", ["writetempconf", "conf"], files={"conf": b"x"},
             faults=["lseek-fail:mtd0:1"], stdout="Write temporal file fail\n",
             stderr=f"lseek(): {EINVAL}\n", status=1, tiers=("sim",)),
    Scenario("writetempconf_erase_refused", ["writetempconf", "conf"], files={"conf": b"x"},
             faults=["erase-fail:mtd0:1"], stdout="Erasing flash...\nErase flash fail\n"
             "Write temporal file fail\n", stderr=f"MEMERASE: {EIO}\n", status=1, tiers=("sim",)),
    # A source whose size (0) says less than it holds: the record takes the promised 0
    # bytes, gets no CRC word and is refused, instead of running on past the region.
    Scenario("writetempconf_source_longer_than_its_size", ["writetempconf", "/dev/zero"],
             stdout="Erasing flash...\n" + erase_line(TEMPCONF, BLOCK) + "Writing new image...\n"
             "write_tempconf : file size changed during copy\nWrite temporal file fail\n",
             status=1, changes=[("mtd0", TEMPCONF, le32(0) + erased(BLOCK - 4))]),
    # A source that opens but cannot be read (a directory) fails as every reader does, after
    # the erase; the length word left behind is the directory's size, which the file system
    # decides, so the flash is not compared.
    Scenario("writetempconf_unreadable_source", ["writetempconf", "conf"], files={"conf/x": b""},
             stdout="Erasing flash...\n" + erase_line(TEMPCONF, BLOCK) + "Writing new image...\n"
             "Write temporal file fail\n", stderr=f"write_tempconf: fread\nfread(): {EISDIR}\n",
             status=1, erases=[("mtd0", TEMPCONF, BLOCK)], flash_checked=False, tiers=("sim",)),
]

# A device write that fails or stops short names the data bytes written before it.
CONF = noise("conf2000", 2000)
for name, fault, done, kept in [
    ("length_word", f"write-fail:mtd0:{TEMPCONF}", 0, b""),
    ("data", f"write-short:mtd0:{TEMPCONF + 4 + 1500}", 1024, le32(2000) + CONF[:1500]),
    ("crc_word", f"write-fail:mtd0:{TEMPCONF + 4 + 2000}", 2000, le32(2000) + CONF),
]:
    SCENARIOS.append(Scenario(f"writetempconf_{name}_write_fails", ["writetempconf", "conf"],
                              files={"conf": CONF}, faults=[fault], status=1,
                              stdout="Erasing flash...\n" + erase_line(TEMPCONF, BLOCK)
                              + ("Writing new image...\n" if done else "")
                              + "Write temporal file fail\n",
                              stderr=f"write_tempconf: write, size {c_hex(done)}\nwrite(): {EIO}\n",
                              changes=[("mtd0", TEMPCONF, kept + erased(BLOCK - len(kept)))],
                              tiers=("sim",)))

# ---- checktempconf and readtempconf ----------------------------------------------------

for size in SIZES:
    data = noise(f"conf{size}", size)
    flash = mtd0_with(TEMPCONF, record(data))
    SCENARIOS += [
        Scenario(f"checktempconf_{size}_bytes", ["checktempconf"], flash=flash),
        # An existing file is replaced whole through a synced temporary file, and nothing
        # is left beside it.
        Scenario(f"readtempconf_{size}_bytes", ["readtempconf", "out"], flash=flash,
                 files={"out": b"older contents"}, expect_files={"out": data}, durable=["out"]),
    ]

DAMAGED = bytearray(record(noise("conf1021", 1021)))
DAMAGED[4 + 500] ^= 0x01
DAMAGED = bytes(DAMAGED)
DAMAGED_LINE = "CRC check error 0x%x / 0x%x \n" % (zlib.crc32(DAMAGED[4:4 + 1021]),
                                                 zlib.crc32(noise("conf1021", 1021)))
TOO_LONG = le32(8185) + noise("conf8185", 8185)[:BLOCK - 4]
KEEP = {"out": b"good config\n"}
SCENARIOS += [
    Scenario("readtempconf_new_file", ["readtempconf", "new"], flash=mtd0_with(TEMPCONF, record(STORED)),
             expect_files={"new": STORED}, durable=[]),
    Scenario("readtempconf_to_stdout", ["readtempconf", "/dev/stdout"],
             flash=mtd0_with(TEMPCONF, record(STORED)), stdout=STORED, tiers=("sim",)),
    Scenario("readtempconf_missing_directory", ["readtempconf", "nodir/out"],
             flash=mtd0_with(TEMPCONF, record(STORED)), stdout="nodir/outRead temporal file fail\n",
             stderr=f"fopen(): {ENOENT}\n", status=1, expect_files={}),
    Scenario("checktempconf_damaged", ["checktempconf"], flash=mtd0_with(TEMPCONF, DAMAGED),
             stdout=DAMAGED_LINE, status=1),
    # A damaged record is still restored whole.
    Scenario("readtempconf_damaged", ["readtempconf", "out"], flash=mtd0_with(TEMPCONF, DAMAGED),
             files=KEEP, stdout=DAMAGED_LINE + "Read temporal file fail\n", status=1,
             expect_files={"out": DAMAGED[4:4 + 1021]}),
    Scenario("checktempconf_length_8185", ["checktempconf"], flash=mtd0_with(TEMPCONF, TOO_LONG),
             stderr=f"size: {EFBIG}\n", status=1),
    Scenario("readtempconf_length_8185", ["readtempconf", "out"], flash=mtd0_with(TEMPCONF, TOO_LONG),
             files=KEEP, stdout="Read temporal file fail\n", stderr=f"size: {EFBIG}\n", status=1,
             expect_files=KEEP),
    Scenario("checktempconf_erased", ["checktempconf"], flash=mtd0_with(TEMPCONF, erased(BLOCK)),
             stderr=f"size: {EFBIG}\n", status=1),
    Scenario("readtempconf_erased_creates_nothing", ["readtempconf", "out"],
             flash=mtd0_with(TEMPCONF, erased(BLOCK)), stdout="Read temporal file fail\n",
             stderr=f"size: {EFBIG}\n", status=1, expect_files={}),
    Scenario("readtempconf_erased_keeps_file", ["readtempconf", "out"],
             flash=mtd0_with(TEMPCONF, erased(BLOCK)), files=KEEP, stdout="Read temporal file fail\n",
             stderr=f"size: {EFBIG}\n", status=1, expect_files=KEEP),
]

# A restore that fails part-way leaves the file it would replace as it was, and no
# temporary file behind.
LONG = noise("conf5000", 5000)
for name, fault in [
    ("length_word", f"read-fail:mtd0:{TEMPCONF + 2}"),
    ("data", f"read-fail:mtd0:{TEMPCONF + 4 + 4200}"),
    ("data_short", f"read-short:mtd0:{TEMPCONF + 4 + 4200}"),
    ("crc_word", f"read-fail:mtd0:{TEMPCONF + 4 + 5000}"),
]:
    for command, tail in [("checktempconf", []), ("readtempconf", ["out"])]:
        SCENARIOS.append(Scenario(f"{command}_{name}_read_fails", [command] + tail,
                                  flash=mtd0_with(TEMPCONF, record(LONG)), faults=[fault],
                                  files=KEEP if tail else {}, expect_files=KEEP if tail else None,
                                  stdout="Read temporal file fail\n" if tail else "",
                                  stderr=f"read(): {EIO}\n", status=1, tiers=("sim",)))

# ---- writel1 ---------------------------------------------------------------------------

STAMP = bytes.fromhex("56 56 44 0A 00 00 01 10") + erased(BLOCK - 8)
SCENARIOS += [
    # The block as erasel1 leaves it, then stamped.
    Scenario("writel1_after_erase", ["writel1"], flash=mtd0_with(L1, erased(BLOCK)),
             changes=[("mtd0", L1, STAMP)], erases=[]),
    # Without an erase the stamp is written over the old contents.
    Scenario("writel1_over_old_contents", ["writel1"], changes=[("mtd0", L1, STAMP)], erases=[]),
    Scenario("writel1_seek_refused", ["writel1"], faults=["lseek-fail:mtd0:1"],
             stdout="Write L1-0 magic number fail\n", stderr=f"lseek(): {EINVAL}\n", status=1,
             tiers=("sim",)),
]
for name, fault, done in [
    ("magic_word", f"write-fail:mtd0:{L1 + 1}", 0),
    ("value_word", f"write-short:mtd0:{L1 + 6}", 4),
    ("fill", f"write-fail:mtd0:{L1 + 0x1000}", 0x1000),
]:
    kept = STAMP[:max(done, 6 if name == "value_word" else 0)]
    SCENARIOS.append(Scenario(f"writel1_{name}_write_fails", ["writel1"],
                              flash=mtd0_with(L1, erased(BLOCK)), faults=[fault],
                              stdout="Write L1-0 magic number fail\n",
                              stderr=f"write_l1_magic: write, size {c_hex(done)}\nwrite(): {EIO}\n",
                              status=1, changes=[("mtd0", L1, kept)], tiers=("sim",)))

# ---- readtempconf: the destinations a plain fopen(path, "w") accepts and refuses ----------

# Restored wherever the plain open would write: atomically (a synced rename onto the file)
# where the file and its directory allow a replacement that keeps owner, group and mode,
# else in place. Each case: name, user, files, preparation, destination, the files after,
# their owners, and the renames.
OLD = b"old configuration\n"
LONG_NAME = "n" * 250
ROOT_RW, USER_RW = (0o666, 0, 0), (0o666, NOBODY, NOBODY)
for name, user, files, prepare, path, after, owners, renames in [
    # The temporary name would pass the file system's limit on a name.
    ("name_of_250_characters", None, {LONG_NAME: OLD}, [], LONG_NAME, {LONG_NAME: STORED}, {},
     []),
    # A directory that takes no new entry, around a file the user may write.
    ("readonly_directory_as_user", NOBODY, {"d/out": OLD},
     [("chown", "d/out", 0, 0), ("chmod", "d/out", 0o666), ("chown", "d", 0, 0),
      ("chmod", "d", 0o555)], "d/out", {"d/out": STORED}, {"d/out": ROOT_RW}, []),
    # /tmp's rule: another owner's file in a sticky directory cannot be renamed over.
    ("sticky_directory_as_user", NOBODY, {"t/out": OLD},
     [("chown", "t/out", 0, 0), ("chmod", "t/out", 0o666), ("chown", "t", 0, 0),
      ("chmod", "t", 0o1777)], "t/out", {"t/out": STORED}, {"t/out": ROOT_RW}, []),
    # Both names of the file see the restored data.
    ("second_hard_link", None, {"out": OLD}, [("link", "out", "other")], "out",
     {"out": STORED, "other": STORED}, {}, []),
    # An owner the user cannot give away: the file is written in place and stays root's.
    ("other_users_file_as_user", NOBODY, {"out": OLD},
     [("chown", "out", 0, 0), ("chmod", "out", 0o666)], "out", {"out": STORED},
     {"out": ROOT_RW}, []),
    # Owner, group and mode that can be kept are kept by the replacement.
    ("other_users_file_as_root", None, {"out": OLD},
     [("chown", "out", NOBODY, NOBODY), ("chmod", "out", 0o640)], "out", {"out": STORED},
     {"out": (0o640, NOBODY, NOBODY)}, ["out"]),
    ("own_file_as_user", NOBODY, {"out": OLD}, [("chmod", "out", 0o604)], "out",
     {"out": STORED}, {"out": (0o604, NOBODY, NOBODY)}, ["out"]),
    ("new_file_as_user", NOBODY, {}, [], "new", {"new": STORED}, {"new": (0o644, NOBODY, NOBODY)},
     []),
]:
    SCENARIOS.append(Scenario(f"readtempconf_{name}", ["readtempconf", path], user=user,
                              flash=mtd0_with(TEMPCONF, record(STORED)), files=files,
                              prepare=prepare, expect_files=after, expect_owners=owners,
                              durable=renames))

SCENARIOS += [
    # An immutable directory: only root can meet one, and only where the file system has
    # the attribute (the scenario reports itself skipped elsewhere).
    Scenario("readtempconf_immutable_directory", ["readtempconf", "d/out"],
             flash=mtd0_with(TEMPCONF, record(STORED)), files={"d/out": OLD},
             prepare=[("immutable", "d")], expect_files={"d/out": STORED}, durable=[],
             tiers=("sim",)),
    # A rename refused after the data is complete (as over a mount point): written in
    # place instead, silently, and no temporary file is left.
    Scenario("readtempconf_rename_refused", ["readtempconf", "out"],
             flash=mtd0_with(TEMPCONF, record(STORED)), files={"out": OLD},
             sim_env={"FLASHSIM_RENAME_FAIL": "1"}, expect_files={"out": STORED},
             durable=["out"], tiers=("sim",)),
    Scenario("readtempconf_damaged_rename_refused", ["readtempconf", "out"],
             flash=mtd0_with(TEMPCONF, DAMAGED), files={"out": OLD},
             sim_env={"FLASHSIM_RENAME_FAIL": "1"}, stdout=DAMAGED_LINE + "Read temporal file fail\n",
             status=1, expect_files={"out": DAMAGED[4:4 + 1021]}, durable=["out"], tiers=("sim",)),
]

# Refused exactly where and as the plain open refuses: after the length passed its bound,
# before any data is read, with the open's own error and the path.
for name, user, files, prepare, path, error in [
    ("empty_name", None, {}, [], "", ENOENT),
    ("missing_directory_with_slash", None, {}, [], "nodir/", EISDIR),
    ("directory", None, {}, [("mkdir", "d")], "d", EISDIR),
    ("file_with_slash", None, {"out": OLD}, [], "out/", EISDIR),
    # A user may not replace a file it may not write, though its directory would allow it.
    ("readonly_file_as_user", NOBODY, {"out": OLD}, [("chmod", "out", 0o444)], "out", EACCES),
    ("file_in_readonly_directory_as_user", NOBODY, {"d/out": OLD}, [("chmod", "d/out", 0o444),
     ("chown", "d", 0, 0), ("chmod", "d", 0o555)], "d/out", EACCES),
]:
    SCENARIOS.append(Scenario(f"readtempconf_refused_{name}", ["readtempconf", path], user=user,
                              flash=mtd0_with(TEMPCONF, record(STORED)), files=files,
                              prepare=prepare, stdout=path + "Read temporal file fail\n",
                              stderr=f"fopen(): {error}\n", status=1, expect_files=files,
                              durable=[]))
