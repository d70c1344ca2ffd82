"""Where readtempconf puts the record, under what the plain fopen(path, "w") meets on the
device: a nearly full file system, access control lists, rules that refuse only creating or
truncating, a signal or a moved folder during the restore, a standard stream named as the
file. The promise: written where, and only where, the plain open would write; atomic where
that is safe; never readable by more than before."""
import errno
import signal

import landlock_run
from harness import NOBODY, Scenario, noise, strerror
from scenarios_bootarea import TEMPCONF, mtd0_with, record

EACCES = strerror(errno.EACCES)
OLD = b"password=old secret\n"
STORED = noise("restore-stored", 1000)
FLASH = mtd0_with(TEMPCONF, record(STORED))
FULL = noise("restore-full", 8184)
# The data read, the length word and the CRC word of the record are operations 2 to 4 of
# the run: stopped before operation 4, the restore has its destination open and no data.
BEFORE_DATA = "stop-before:4"

SCENARIOS = [
    # A 12 KiB file system holding an 8184-byte file has no room for a second copy: the
    # temporary file is given up and the file written in place, as the plain open frees the
    # old data first.
    Scenario("readtempconf_nearly_full_file_system", ["readtempconf", "small/conf"],
             flash=mtd0_with(TEMPCONF, record(FULL)), tmpfs=("small", 12 * 1024),
             files={"small/conf": noise("restore-old", 8184)}, expect_files={"small/conf": FULL},
             durable=[], tiers=("sim",)),
]

# Never readable by more than before: a file whose access control list the temporary file
# would not carry, or a folder whose default list the temporary file would take, is written
# in place, and nobody (its group nogroup) still cannot read it.
for name, prepare, path, owner in [
    ("access_list_kept", [("chown", "conf", 0, NOBODY), ("chmod", "conf", 0o600),
                          ("setfacl", "conf", "u:daemon:r")], "conf", (0o640, 0, NOBODY)),
    ("folder_default_access_list_not_taken", [("chmod", "d/conf", 0o640),
                                              ("setfacl", "d", "d:u:nobody:rw")],
     "d/conf", (0o640, 0, 0)),
    # Both lists have five entries, so the same size: only their values tell that the
    # temporary file would give nobody daemon's place.
    ("other_access_list_of_same_size", [("chmod", "d/conf", 0o640),
                                        ("setfacl", "d/conf", "u:daemon:r"),
                                        ("setfacl", "d", "d:u:nobody:rw")],
     "d/conf", (0o640, 0, 0)),
]:
    SCENARIOS.append(Scenario(f"readtempconf_{name}", ["readtempconf", path], flash=FLASH,
                              files={path: OLD}, prepare=prepare, expect_files={path: STORED},
                              expect_owners={path: owner}, nobody_reads={path: False},
                              durable=[], tiers=("sim",)))

# The set-user-ID, set-group-ID and sticky bits go with the replacement, run by the file's
# owner, an ordinary user (whose write would clear the first two, as the kernel clears them
# on a write without the privilege to keep them). In a set-group-ID folder of a group the
# user is not in, a new file takes that group but cannot take the set-group-ID bit: the file
# is written in place and loses the bit, as the plain open's write loses it.
OTHER_GROUP = [("chown", "d", NOBODY, 0), ("chmod", "d", 0o2755)]
for name, mode, group, prepare, after, durable in [
    ("setuid", 0o4750, NOBODY, [], 0o4750, ["d/conf"]),
    ("setgid", 0o2750, NOBODY, [], 0o2750, ["d/conf"]),
    ("sticky", 0o1640, NOBODY, [], 0o1640, ["d/conf"]),
    ("all_three", 0o7750, NOBODY, [], 0o7750, ["d/conf"]),
    ("setgid_in_other_group", 0o2750, 0, OTHER_GROUP, 0o0750, []),
]:
    SCENARIOS.append(Scenario(f"readtempconf_{name}_mode", ["readtempconf", "d/conf"],
                              flash=FLASH, files={"d/conf": OLD}, user=NOBODY,
                              prepare=prepare + [("chown", "d/conf", NOBODY, group),
                                                 ("chmod", "d/conf", mode)],
                              expect_files={"d/conf": STORED},
                              expect_owners={"d/conf": (after, NOBODY, group)},
                              durable=durable, tiers=("sim",)))

# Landlock with only truncation refused: the plain open is refused, and so is the restore,
# with its message.
SCENARIOS += [
    Scenario("readtempconf_truncation_refused", ["readtempconf", "conf"], flash=FLASH,
             files={"conf": OLD}, landlock_deny=landlock_run.TRUNCATE,
             stdout="confRead temporal file fail\n", stderr=f"fopen(): {EACCES}\n", status=1,
             expect_files={"conf": OLD}, durable=[], tiers=("sim",)),
    # fs.protected_regular=1 refuses root's O_CREAT open of another user's file in a
    # world-writable sticky folder; the sysctl is global, so only the virtual machine sets it.
    Scenario("readtempconf_protected_regular", ["readtempconf", "t/conf"], flash=FLASH,
             files={"t/conf": OLD},
             prepare=[("chown", "t/conf", NOBODY, NOBODY), ("chmod", "t", 0o1777),
                      ("sysctl", "fs.protected_regular", 1)],
             stdout="t/confRead temporal file fail\n", stderr=f"fopen(): {EACCES}\n", status=1,
             expect_files={"t/conf": OLD}, expect_owners={"t/conf": (0o644, NOBODY, NOBODY)},
             tiers=("kernel",)),
]

# A signal that ends the restore removes the temporary file; the file stays as it was.
for signal_number in (signal.SIGTERM, signal.SIGINT):
    SCENARIOS.append(Scenario(f"readtempconf_{signal_number.name.lower()}_removes_temporary",
                              ["readtempconf", "conf"], flash=FLASH, files={"conf": OLD},
                              faults=[BEFORE_DATA], interrupt=[("signal", signal_number)],
                              status=128 + signal_number, expect_files={"conf": OLD},
                              tiers=("sim",)))

SCENARIOS += [
    # The folder is moved away and another made in its place: the restore stays in the
    # folder it checked, as the plain open's descriptor would.
    Scenario("readtempconf_folder_moved_during_restore", ["readtempconf", "d/conf"],
             flash=FLASH, files={"d/conf": OLD}, faults=[BEFORE_DATA],
             interrupt=[("rename", "d", "moved"), ("mkdir", "d")],
             expect_files={"moved/conf": STORED}, durable=["moved/conf"], tiers=("sim",)),
]

# A standard stream named as the file is written in place, so that whoever shares the
# stream goes on writing into the file: the line appended through it after the run lands
# after the restored data.
for fd, stream in enumerate(("stdin", "stdout", "stderr")):
    SCENARIOS.append(Scenario(f"readtempconf_to_{stream}_file", ["readtempconf", f"/dev/{stream}"],
                              flash=FLASH, files={"log": OLD}, stream_file=(fd, "log"),
                              expect_files={"log": STORED + b"after\n"}, durable=[],
                              tiers=("sim",)))
