"""What both tiers record: one measured run, one row of the table, strace summaries."""

import re
import sys


def log(text):
    print("bench: " + text, file=sys.stderr, flush=True)


class Sample:
    """One run as `measure` reports it: "wall_ns user_us sys_us maxrss_kib status"."""

    def __init__(self, line):
        wall, user, system, rss, status = line.split()
        self.wall = int(wall) / 1e9
        self.cpu = (int(user) + int(system)) / 1e6
        self.rss = int(rss)
        self.status = int(status)


class Row:
    """Everything measured for one case on one tier."""

    def __init__(self, case, tier):
        self.case = case
        self.tier = tier
        self.tool_ok = False
        self.note = ""
        self.tool = []          # Samples
        self.base = []
        self.peers = {}         # name -> Samples
        self.sys_tool = None    # {syscall: calls}
        self.sys_base = None
        self.sys_min = None
        self.rss_gnu = None


def parse_strace(text):
    """{syscall: calls} from the summary table of strace -c."""
    counts = {}
    for line in text.splitlines():
        words = line.split()
        if len(words) >= 5 and re.match(r"^[0-9.]+$", words[0]) and words[-1] != "total":
            counts[words[-1]] = int(words[3])
    return counts
