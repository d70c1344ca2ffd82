"""The front end: command words and counts, device opens, open failures, the program
name, the erase commands, broken pipes and hang-ups."""
import errno
import re

from harness import LOST, Scenario, erase_line, erased, noise, usage, strerror

ENOENT, EACCES, EIO = strerror(errno.ENOENT), strerror(errno.EACCES), strerror(errno.EIO)
RW, RO = "rdwr,sync", "rdonly,sync"
L1 = 0x8000
TEMPCONF = 0xC000

SCENARIOS = []

# Command lines that no word accepts: the usage text, status 1, no device opened.
for name, args in [
    ("no_word", []),
    ("word_in_other_case", ["Readenv"]),
    ("word_cut_short", ["read"]),
    ("word_with_letter_added", ["readenvx"]),
    ("usage_form_erase", ["erase", "mtd0", "0", "0x2000"]),
    ("readenv_extra_argument", ["readenv", "x"]),
    ("checkenv_one_argument", ["checkenv", "crc"]),
    ("checksystem_six_arguments", ["checksystem", "t", "a", "b", "c", "x", "y"]),
    ("checksystem_eight_arguments", ["checksystem", "t", "a", "b", "c", "x", "y", "z", "w"]),
    ("writebootp_without_image", ["writebootp"]),
    ("writejffs_with_http", ["writejffs", "img", "HTTP"]),
    ("writel2boot_with_http", ["writel2boot", "img", "HTTP"]),
    ("writel1all_with_http", ["writel1all", "img", "HTTP"]),
    ("writeall_with_http", ["writeall", "img", "HTTP"]),
    ("writeenv_with_http", ["writeenv", "src", "HTTP"]),
    ("writesystem_two_images", ["writesystem", "table", "a", "b"]),
    ("erasel1_extra_argument", ["erasel1", "x"]),
    ("writetempconf_no_file", ["writetempconf"]),
]:
    SCENARIOS.append(Scenario(f"usage_{name}", args, stdout="", stderr=usage(), status=1, opens=[]))

# The program name in the usage text is argv[0] after its last '/'.
for name, argv0, shown in [("plain", "ft", "ft"), ("with_directories", "/usr/sbin/flashtool", "flashtool"),
                           ("ending_in_slash", "./tools/", "")]:
    SCENARIOS.append(Scenario(f"program_name_{name}", ["help"], argv0=argv0, stderr=usage(shown),
                              status=1, tiers=("sim",)))

# Which devices each command opens, in which order and mode. The operations are given
# files that do not exist, so they stop before touching the flash.
for args, opens in [
    (["readenv"], ["mtd0 " + RO]),
    (["writeenv", "src"], ["mtd0 " + RW]),
    (["checkenv", "none.crc", "none"], ["mtd0 " + RW]),
    (["writebootp", "none"], ["mtd0 " + RW, "mtd1 " + RW]),
    (["writecramfs", "none", "HTTP", "more"], ["mtd0 " + RW, "mtd2 " + RW]),
    (["writeall", "none"], ["mtd0 " + RW, "mtd1 " + RW, "mtd2 " + RW, "mtd3 " + RW]),
    (["writejffs", "none"], ["mtd0 " + RW, "mtd3 " + RW]),
    (["writel1all", "none"], ["mtd0 " + RW]),
    (["writel2boot", "none"], ["mtd0 " + RW]),
    (["checkl2boot", "none.crc", "none"], ["mtd0 " + RW]),
    (["checkkernel", "none.crc", "none"], ["mtd0 " + RW, "mtd1 " + RW]),
    (["checkcramfs", "none.crc", "none"], ["mtd0 " + RW, "mtd2 " + RW]),
    (["writesystem", "none", "a", "b", "c"], ["mtd0 " + RW]),
    (["checksystem", "none", "a", "b", "c", "x", "y", "z"], ["mtd0 " + RW]),
    (["writetempconf", "none"], ["mtd0 " + RW]),
    (["checktempconf"], ["mtd0 " + RW]),
]:
    SCENARIOS.append(Scenario(f"opens_{args[0]}", args, stdout=None, stderr=None, status=None,
                              opens=opens, tiers=("sim",)))

# A device that cannot be opened ends the run with status 1 before anything else happens;
# the path follows on standard output, except for /dev/mtd3.
for name, args, missing, out in [
    ("writeenv", ["writeenv", "src"], "mtd0", "/dev/mtd0"),
    ("writebootp", ["writebootp", "img"], "mtd0", "/dev/mtd0"),
    ("checksystem", ["checksystem", "t", "a", "b", "c", "x", "y", "z"], "mtd0", "/dev/mtd0"),
    ("writeall_mtd1", ["writeall", "img"], "mtd1", "/dev/mtd1"),
    ("checkcramfs_mtd2", ["checkcramfs", "c", "i"], "mtd2", "/dev/mtd2"),
    ("writejffs_mtd3", ["writejffs", "img"], "mtd3", ""),
    ("writeall_mtd3", ["writeall", "img"], "mtd3", ""),
]:
    SCENARIOS.append(Scenario(f"missing_node_{name}", args, stdout=out,
                              stderr=f"open(): {ENOENT}\n", status=1, remove_nodes=[missing]))
SCENARIOS.append(Scenario("missing_mtd1_stops_before_mtd2", ["writeall", "img"], stdout="/dev/mtd1",
                          stderr=f"open(): {ENOENT}\n", status=1, faults=["missing:mtd1"],
                          opens=["mtd0 " + RW, "mtd1 " + RW + " -> " + ENOENT], tiers=("sim",)))
SCENARIOS.append(Scenario("missing_mtd3_leaves_writel1_alone", ["erasel1"], remove_nodes=["mtd3"],
                          stdout="Erasing L1-0...\n" + erase_line(L1, 0x2000),
                          changes=[("mtd0", L1, erased(0x2000))]))

# A node that grants read access only: every command but readenv fails at the open.
for args in (["writeenv", "src"], ["checktempconf"], ["checkenv", "c", "i"]):
    SCENARIOS.append(Scenario(f"readonly_node_{args[0]}", args, stdout="/dev/mtd0",
                              stderr=f"open(): {EACCES}\n", status=1, readonly_nodes=["mtd0"]))
SCENARIOS.append(Scenario("readonly_node_readenv_opens", ["readenv"], stdout=None, stderr=None,
                          status=None, readonly_nodes=["mtd0"], opens=["mtd0 " + RO]))

SCENARIOS += [
    Scenario("writeenv_touches_nothing", ["writeenv", "does-not-exist"], opens=["mtd0 " + RW],
             erases=[]),
    Scenario("erasel1", ["erasel1"], stdout="Erasing L1-0...\n" + erase_line(L1, 0x2000),
             changes=[("mtd0", L1, erased(0x2000))], erases=[("mtd0", L1, 0x2000)]),
    Scenario("erasel1_refused", ["erasel1"], faults=["erase-fail:mtd0:1"],
             stdout="Erasing L1-0...\nErase L1-0 fail\n", stderr=f"MEMERASE: {EIO}\n", status=1,
             tiers=("sim",)),
    Scenario("erasetempconf", ["erasetempconf"], stdout=erase_line(TEMPCONF, 0x2000),
             changes=[("mtd0", TEMPCONF, erased(0x2000))], erases=[("mtd0", TEMPCONF, 0x2000)]),
    Scenario("erasetempconf_refused", ["erasetempconf"], faults=["erase-fail:mtd0:1"],
             stderr=f"MEMERASE: {EIO}\n", status=1, tiers=("sim",)),
    # The driver decides what it erases: a device smaller than the block refuses it.
    Scenario("erasetempconf_past_device_end", ["erasetempconf"],
             devices={"mtd0": (0xC000, 0x2000)}, flash={"mtd0": b"\x5a" * 0xC000},
             stderr="MEMERASE: Invalid argument\n", status=1, tiers=("sim",)),
    Scenario("close_failure_keeps_status", ["erasel1"], faults=["close-fail:mtd0:1"],
             stdout="Erasing L1-0...\n" + erase_line(L1, 0x2000),
             stderr=f"close(): {EIO}\n", changes=[("mtd0", L1, erased(0x2000))], tiers=("sim",)),
    # A reader that has gone away: the output is lost, the line goes to the system log and
    # the erase is still done.
    Scenario("broken_pipe_is_logged", ["erasel1"], broken_pipe=True, syslog=["3 " + LOST],
             changes=[("mtd0", L1, erased(0x2000))]),
    # Started with standard output or error closed, the tool must not take that descriptor
    # for a device: its messages and progress would be written into the flash.
    Scenario("stdout_closed_keeps_progress_off_the_flash", ["writecramfs", "img"],
             closed_streams=(1,), files={"img": noise("closed", 4096)}, stdout="",
             changes=[("mtd2", 0, noise("closed", 4096) + erased(0x290000 - 4096))],
             tiers=("sim",)),
    Scenario("stderr_closed_keeps_messages_off_the_flash", ["erasetempconf"],
             closed_streams=(2,), faults=["erase-fail:mtd0:1"], stderr="", status=1,
             tiers=("sim",)),
    Scenario("both_closed_keep_messages_off_the_flash", ["writebootp", "none"],
             closed_streams=(1, 2), stdout="", stderr="", status=1, tiers=("sim",)),
    # A hang-up right after the erase request does not end the run.
    Scenario("hangup_is_ignored", ["erasel1"], faults=["hup-after:2"],
             stdout="Erasing L1-0...\n" + erase_line(L1, 0x2000),
             changes=[("mtd0", L1, erased(0x2000))], tiers=("sim",)),
]
