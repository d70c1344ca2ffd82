"""The system calls that each benchmarked command cannot do without, by kind.

Counted for the real MTD driver, where every device request is one system call, and for
glibc's stdio, which the commands use for every file on the file system:
  - fopen() is one openat; the first read through a stream (fread, fscanf) costs one
    newfstatat (glibc sizes the stream buffer from st_blksize) and then one read of 4096
    bytes per buffer refill, plus one read that returns 0 when the reader runs into the end
    of the file; fclose() is one close;
  - standard output is a regular file: its first use costs one newfstatat, and it is
    written once per fflush() (every progress entry) and once at exit if anything is left;
  - the commands' own calls: open/close of devices, lseek, MEMERASE (ioctl), 1024-byte
    device writes, 4096-byte device reads, fstat of files, signal() (one rt_sigaction),
    and for a command that writes the flash one fcntl write lock of /dev/mtd0 (one writer
    at a time) and two rt_sigprocmask: one blocks, before the flash is touched, the signals
    that would end the run half-way, one lets them go once the flash is written and the
    output out.
Process start-up and exit (execve, the dynamic loader's openat/read/mmap of libc and libz,
brk for the first malloc...) are not derived here: they are measured on `baseline startup`
and added, and every kind this module does not list is held to the baseline's count.
"""

from workload import MTD_SIZES, SYSTEM_SIZES, TEMPCONF_SIZE, WINDOW

IO_KINDS = ("openat", "close", "newfstatat", "read", "write", "lseek", "ioctl",
            "rt_sigaction", "rt_sigprocmask", "fcntl")
WRITERS = ("writecramfs", "writesystem", "writetempconf")


def _ceil(a, b):
    return -(-a // b)


def progress_prints(steps, section_rule=False):
    """How many progress entries a reporter prints for the given percentages (fresh state)."""
    last = 0
    prints = 0
    for percent in steps:
        show = percent != last
        if section_rule:
            show = show and (last != 0 or percent == 1)
        prints += 1 if show else 0
        last = percent
    return prints


def _blocks(size):
    return [min(1024, size - at) for at in range(0, size, 1024)]


def _percent_steps(size):
    done = 0
    steps = []
    for block in _blocks(size):
        done += block
        steps.append(done * 100 // size)
    return steps


def _stream_reads(size, to_end=True):
    """read() calls stdio makes to hand out `size` bytes in 1024-byte freads."""
    return _ceil(size, 4096) + (1 if to_end else 0)


def minimum(name, size):
    """{kind: count} for the I/O of one case, start-up excluded."""
    m = dict.fromkeys(IO_KINDS, 0)
    m["rt_sigaction"] = 1
    if name == "writecramfs":
        m.update(openat=3, close=2, newfstatat=3, lseek=1, ioctl=1,
                 read=_stream_reads(size),
                 write=len(_blocks(size)) + progress_prints(_percent_steps(size)) + 1)
    elif name.startswith("writeall"):
        skipped = sum(1 for at in range(0, size, 1024) if WINDOW[0] <= at < WINDOW[1])
        m.update(openat=5, close=2, newfstatat=3, lseek=skipped, ioctl=5,
                 read=_stream_reads(size),
                 write=len(_blocks(size)) - skipped + progress_prints(_percent_steps(size)) + 1)
    elif name == "checkcramfs":
        m.update(openat=4, close=3, newfstatat=3, lseek=1, read=_ceil(size, 4096) + 1, write=1)
    elif name == "writesystem":
        total = sum(SYSTEM_SIZES)
        prints = 0
        written = 0
        for part in SYSTEM_SIZES:
            steps = []
            for block in _blocks(part):
                written += block
                steps.append(written * 100 // total)
            prints += progress_prints(steps, section_rule=True)
        # Table read twice: counted to its end (a data read and an end read), then filled
        # up to the count (one data read); three size
        # checks, three partitions erased, three images streamed into three partitions,
        # each exactly its window, so the last fread never meets the end of the file.
        m.update(openat=1 + 2 + 3 + 3 + 3 + 3, close=1 + 2 + 3 + 3 + 3 + 3,
                 newfstatat=2 + 3 + 3 + 1, lseek=3, ioctl=3,
                 read=3 + sum(_ceil(s, 4096) for s in SYSTEM_SIZES),
                 write=sum(len(_blocks(s)) for s in SYSTEM_SIZES) + prints)
    elif name == "checksystem":
        # Table twice (3 reads, as for writesystem); per image: the image (open, fstat, close), its partition (open,
        # lseek, 4096-byte reads, close) and its CRC file (open, stdio fstat, one read,
        # close). Nothing is printed when all three match.
        m.update(openat=1 + 2 + 9, close=1 + 2 + 9, newfstatat=2 + 6, lseek=3,
                 read=3 + sum(_ceil(s, 4096) for s in SYSTEM_SIZES) + 3, write=0)
    elif name == "writetempconf":
        m.update(openat=2, close=2, newfstatat=3, lseek=1, ioctl=1,
                 read=_stream_reads(TEMPCONF_SIZE),
                 write=1 + len(_blocks(TEMPCONF_SIZE)) + 1 + 1)
    elif name == "readenv":
        m.update(openat=1, close=1, newfstatat=1, lseek=1, read=1, write=1)
    else:
        return None
    if name in WRITERS or name.startswith("writeall"):
        m["fcntl"] = 1
        m["rt_sigprocmask"] = 2
    return m


def with_startup(io, startup):
    """The whole minimum: start-up counts (all kinds) plus the I/O counts."""
    total = dict(startup)
    for kind, count in io.items():
        total[kind] = total.get(kind, 0) + count
    return total


assert sum(MTD_SIZES.values()) == 0x400000
