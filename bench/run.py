#!/usr/bin/env python3
"""Benchmark flashtool against the least its I/O pattern allows, and against peer tools.

    python3 bench/run.py [--rounds N] [--vm-rounds N] [--no-vm] [--build DIR]

Builds what it needs (a release build of flashtool and the flash simulator when missing,
the baseline with flashtool's own compiler and flags, the static `measure` runner), then
runs every case on the simulated flash and, unless --no-vm, on the kernel's MTD driver in
the real-driver tier's virtual machine, and prints one table under a header that names the
machine. Timings are printed, never judged by a test.
"""

import argparse
import os
import platform
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import workload  # noqa: E402
from results import Row, Sample, log, parse_strace  # noqa: E402

MASKED_LINES = re.compile(rb"^(env|env->data) = [0-9a-f]+$", re.M)


# ---- building ------------------------------------------------------------------------

def cache_value(build, key):
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return None


def build_tool(build):
    if cache_value(build, "CMAKE_BUILD_TYPE") not in ("MinSizeRel", "Release"):
        if os.path.exists(os.path.join(build, "CMakeCache.txt")):
            build = os.path.join(ROOT, "build-bench")
        log("configuring a release build in " + build)
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=MinSizeRel"],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "flashtool", "flashsim"],
                   check=True, stdout=subprocess.DEVNULL)
    return build


# Used when the build tree holds no Makefile-generator flag files (another generator).
DEFAULT_FLAGS = ["-D_FILE_OFFSET_BITS=64", "-Os", "-DNDEBUG", "-std=c++20", "-fno-exceptions",
                 "-fno-rtti"]
DEFAULT_LINK = ["-Wl,--as-needed", "-static-libstdc++", "-static-libgcc"]


def flashtool_flags(build):
    """Compiler, compile flags and link flags of the flashtool target, as CMake made them."""
    target = os.path.join(build, "CMakeFiles", "flashtool.dir")
    try:
        with open(os.path.join(target, "flags.make")) as f:
            text = f.read()
        with open(os.path.join(target, "link.txt")) as f:
            link = shlex.split(f.read())
    except OSError:
        return cache_value(build, "CMAKE_CXX_COMPILER") or "c++", DEFAULT_FLAGS, DEFAULT_LINK
    flags = []
    for key in ("CXX_DEFINES", "CXX_FLAGS"):
        m = re.search(r"^%s = (.*)$" % key, text, re.M)
        if m:
            flags += shlex.split(m.group(1))
    # Every option of the link line but the output name (objects and libraries are not
    # options), so sanitizer and static-runtime options carry over.
    link_flags = []
    words = iter(link[1:])
    for w in words:
        if w == "-o":
            next(words, None)
        elif w.startswith("-"):
            link_flags.append(w)
    return link[0], flags, link_flags


def build_helpers(build, out):
    compiler, flags, link_flags = flashtool_flags(build)
    baseline = os.path.join(out, "baseline")
    subprocess.run([compiler] + flags + ["-o", baseline, os.path.join(HERE, "baseline.cpp")]
                   + link_flags + ["-lz"], check=True)
    measure = os.path.join(out, "measure")
    subprocess.run(["cc", "-O2", "-static", "-o", measure, os.path.join(HERE, "measure.c")],
                   check=True)
    return baseline, measure, " ".join([compiler] + flags + link_flags)


# ---- the machine ---------------------------------------------------------------------

def compiler_version(compiler):
    out = subprocess.run([compiler, "--version"], capture_output=True, text=True).stdout
    return out.splitlines()[0] if out else compiler


def machine_header():
    model = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return ["machine: " + " ".join(platform.uname()),
            "cpus:    %d x %s" % (os.cpu_count() or 0, model),
            "date:    " + time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime())]


# ---- one measured run ----------------------------------------------------------------

def measured(measure, argv, env, cwd, out_dir):
    out = os.path.join(out_dir, "stdout")
    err = os.path.join(out_dir, "stderr")
    line = subprocess.run([measure, out, err] + argv, env=env, cwd=cwd, check=True,
                          capture_output=True, text=True).stdout
    return Sample(line)


def strace_counts(argv, env_extra, cwd, out_dir):
    """{syscall: calls} of one run under strace -c (the tracee alone gets env_extra), or
    None without strace."""
    if shutil.which("strace") is None:
        return None
    summary = os.path.join(out_dir, "strace.txt")
    cmd = ["strace", "-c", "-o", summary]
    for key, value in env_extra.items():
        cmd += ["-E", "%s=%s" % (key, value)]
    with open(os.path.join(out_dir, "strace.out"), "wb") as out:
        subprocess.run(cmd + argv, cwd=cwd, stdout=out, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL, check=False)
    return parse_strace(open(summary).read())


def gnu_time_rss(argv, env, cwd):
    """Peak resident set in KiB as /usr/bin/time -v reports it, or None."""
    if not os.path.exists("/usr/bin/time"):
        return None
    r = subprocess.run(["/usr/bin/time", "-v"] + argv, env=env, cwd=cwd, capture_output=True,
                       text=True, check=False)
    m = re.search(r"Maximum resident set size \(kbytes\): (\d+)", r.stderr)
    return int(m.group(1)) if m else None


# ---- the simulator tier --------------------------------------------------------------

def write_flash(flash_dir, flash):
    for name, data in flash.items():
        with open(os.path.join(flash_dir, name), "wb") as f:
            f.write(data)


def read_flash(flash_dir):
    out = {}
    for name in workload.DEVICES:
        with open(os.path.join(flash_dir, name), "rb") as f:
            out[name] = f.read()
    return out


def masked(stdout):
    return MASKED_LINES.sub(rb"\1 = ADDR", stdout)


def same_work(row, tool_out, base_out, tool_flash, base_flash, tool_status, base_status):
    if base_status != 0:
        row.note = "baseline failed"
        return False
    if tool_status != 0:
        row.note = "tool exits %d" % tool_status
        return False
    if masked(tool_out) != masked(base_out):
        row.note = "output differs from baseline"
    if tool_flash != base_flash:
        row.note = "flash differs from baseline"
    return True


def sim_case(case, tool, baseline, measure, simlib, work, files_dir, rounds):
    row = Row(case, "sim")
    flash_dir = os.path.join(work, "flash")
    os.makedirs(flash_dir, exist_ok=True)
    # Writes overwrite, as on the real driver's block2mtd, so both tiers do the same work.
    env = dict(os.environ, LD_PRELOAD=simlib, FLASHSIM_DIR=flash_dir, FLASHSIM_RAM="1")
    env.pop("FLASHSIM_LOG", None)
    env.pop("FLASHSIM_FAULTS", None)
    outs = {}
    for name, program in (("tool", tool), ("base", baseline)):
        write_flash(flash_dir, case.flash)
        s = measured(measure, [program] + case.args, env, files_dir, work)
        with open(os.path.join(work, "stdout"), "rb") as f:
            outs[name] = (f.read(), read_flash(flash_dir), s.status)
    row.tool_ok = same_work(row, outs["tool"][0], outs["base"][0], outs["tool"][1],
                            outs["base"][1], outs["tool"][2], outs["base"][2])
    write_flash(flash_dir, case.flash)
    programs = [("base", baseline)] + ([("tool", tool)] if row.tool_ok else [])
    for r in range(rounds):
        for name, program in (programs if r % 2 == 0 else programs[::-1]):
            s = measured(measure, [program] + case.args, env, files_dir, work)
            (row.tool if name == "tool" else row.base).append(s)
    sim_env = {"LD_PRELOAD": simlib, "FLASHSIM_DIR": flash_dir, "FLASHSIM_RAM": "1"}
    row.sys_base = strace_counts([baseline] + case.args, sim_env, files_dir, work)
    if row.tool_ok:
        row.sys_tool = strace_counts([tool] + case.args, sim_env, files_dir, work)
        row.rss_gnu = gnu_time_rss([tool] + case.args, env, files_dir)
    return row


def run_sim(tool, baseline, measure, simlib, rounds, cases, files, work):
    files_dir = os.path.join(work, "files")
    os.makedirs(files_dir, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(files_dir, name), "wb") as f:
            f.write(data)
    rows = []
    for case in cases:
        log("simulator: " + case.name)
        rows.append(sim_case(case, tool, baseline, measure, simlib, work, files_dir, rounds))
    return rows


# ---- the table -----------------------------------------------------------------------

def median(values):
    return statistics.median(values) if values else None


def ratio(tool, base, key):
    """Median over rounds of tool/base for one measure, with runs paired by round."""
    if not tool or not base:
        return None
    pairs = [getattr(t, key) / getattr(b, key) for t, b in zip(tool, base) if getattr(b, key) > 0]
    return median(pairs)


def spread(tool, base, key):
    """Half the interquartile range of the per-round ratios: how far noise moves them."""
    pairs = [getattr(t, key) / getattr(b, key) for t, b in zip(tool, base) if getattr(b, key) > 0]
    if len(pairs) < 4:
        return None
    q = statistics.quantiles(pairs, n=4)
    return (q[2] - q[0]) / 2


def fmt_ratio(value):
    return "n/a" if value is None else "%.3f" % value


def fmt_ms(samples, key):
    m = median([getattr(s, key) for s in samples])
    return "n/a" if m is None else "%.1f" % (m * 1000)


def syscall_cells(row):
    """(total cell, by-kind cell) for a row: tool against the minimum (or the baseline)."""
    if row.sys_tool is None:
        return "n/a", ("baseline: " + kinds_text(row.sys_base)) if row.sys_base else "no strace"
    ref = row.sys_min if row.sys_min is not None else row.sys_base
    tool_total = sum(row.sys_tool.values())
    ref_total = sum(ref.values())
    extra = []
    for kind in sorted(set(row.sys_tool) | set(ref)):
        d = row.sys_tool.get(kind, 0) - ref.get(kind, 0)
        if d:
            extra.append("%s%+d" % (kind, d))
    return ("%d/%d (%+.1f%%)" % (tool_total, ref_total, 100.0 * (tool_total - ref_total) / ref_total),
            kinds_text(row.sys_tool) + ("; vs ref: " + " ".join(extra) if extra else "; = ref"))


SHORT = {"newfstatat": "fstat", "rt_sigaction": "sigact"}


def kinds_text(counts):
    main = ("read", "write", "openat", "close", "lseek", "ioctl", "newfstatat")
    parts = ["%s %d" % (SHORT.get(k, k), counts.get(k, 0)) for k in main if counts.get(k)]
    other = sum(v for k, v in counts.items() if k not in main)
    parts.append("other %d" % other)
    return " ".join(parts)


def table(rows, static_lines):
    head = ["command", "tier", "bytes", "tool ms", "base ms", "wall x", "+-", "cpu x",
            "vs dd", "vs flashcp", "syscalls tool/ref", "peak KiB", "note / syscalls by kind"]
    body = []
    for row in rows:
        c = row.case
        if c.memory_only:
            rss = median([s.rss for s in row.tool]) if row.tool else None
            body.append([c.name, row.tier, str(c.size), "", "", "", "", "", "", "",
                         "", "n/a" if rss is None else str(rss),
                         "peak memory only" + ("" if row.tool_ok else "; " + row.note)])
            continue
        peers = []
        for peer in ("dd", "flashcp"):
            samples = row.peers.get(peer)
            if row.tier != "vm" or c.kind != "write":
                peers.append("-")
            elif not samples or not row.tool:
                peers.append("n/a")
            else:
                peers.append(fmt_ratio(median([s.wall for s in row.tool]) /
                                       median([s.wall for s in samples])))
        total, kinds = syscall_cells(row)
        rss = median([s.rss for s in row.tool]) if row.tool else None
        body.append([c.name, row.tier, str(c.size), fmt_ms(row.tool, "wall"),
                     fmt_ms(row.base, "wall"), fmt_ratio(ratio(row.tool, row.base, "wall")),
                     fmt_ratio(spread(row.tool, row.base, "wall")),
                     fmt_ratio(ratio(row.tool, row.base, "cpu"))] + peers
                    + [total, "n/a" if rss is None else str(rss),
                       (row.note + "; " if row.note else "") + kinds])
    widths = [max(len(r[i]) for r in [head] + body) for i in range(len(head))]
    lines = []
    fmt = lambda r: "  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip()
    lines.append(fmt(head))
    lines.append(fmt(["-" * w for w in widths]))
    lines += [fmt(r) for r in body]
    lines.append(fmt(["-" * w for w in widths]))
    lines += static_lines
    return "\n".join(lines)


# ---- binary --------------------------------------------------------------------------

def binary_facts(tool, work):
    stripped = os.path.join(work, "flashtool.stripped")
    subprocess.run(["strip", "-o", stripped, tool], check=True)
    size = os.path.getsize(stripped)
    dyn = subprocess.run(["readelf", "-d", tool], capture_output=True, text=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dyn)
    return size, needed


# ---- verdicts ------------------------------------------------------------------------

def time_verdict(tier, tier_rows):
    """One line for the 1.05 time target: met, within noise, or missed, with the worst row."""
    worst = None
    missing = []
    for r in tier_rows:
        if r.case.kind == "read":
            continue
        for key in ("wall", "cpu"):
            v = ratio(r.tool, r.base, key)
            if v is None:
                missing.append(r.case.name)
            elif worst is None or v > worst[0]:
                worst = (v, r.case.name, key, spread(r.tool, r.base, key) or 0.0)
    if worst is None:
        return "n/a    %s: time ratio <= 1.05: no command measured" % tier
    v, name, key, noise = worst
    state = "met    " if v <= 1.05 else ("noise  " if v - noise <= 1.05 else "MISSED ")
    return ("%s%s: time ratio <= 1.05 for every write and check command (worst %.3f +- %.3f, %s %s)%s"
            % (state, tier, v, noise, name, key,
               "; n/a: " + " ".join(sorted(set(missing))) if missing else ""))


def memory_verdict(tier, rows):
    by_name = {r.case.name: r for r in rows if r.tier == tier}
    small, large = by_name.get("writeall-4k"), by_name.get("writeall")
    if not (small and large and small.tool and large.tool):
        return "n/a    %s: peak memory: writeall did not run" % tier
    # Resident pages of shared libraries vary from run to run with the page cache (fault-
    # around maps neighbours that are already cached), so medians are compared.
    peak = lambda samples: int(median([s.rss for s in samples]))
    tool_growth = peak(large.tool) - peak(small.tool)
    base_growth = peak(large.base) - peak(small.base)
    gnu = ""
    if small.rss_gnu and large.rss_gnu:
        gnu = "; /usr/bin/time -v: %d and %d KiB" % (small.rss_gnu, large.rss_gnu)
    # Pages of code and libc touched differ between a 4-block and a 4096-block run (more
    # progress numbers formatted, the window's skip path); growth with the image would be
    # megabytes. A few pages either way, as for the baseline, is flat.
    state = "met    " if tool_growth <= max(base_growth, 0) + 64 else "MISSED "
    return ("%s%s: peak memory flat: writeall 4 KiB image %d KiB, 4 MiB image %d KiB, medians "
            "(baseline %d, %d)%s" % (state, tier, peak(small.tool), peak(large.tool),
                                     peak(small.base), peak(large.base), gnu))


def verdicts(rows, size, needed):
    out = []

    def judge(ok, text):
        out.append(("met    " if ok else ("MISSED " if ok is False else "n/a    ")) + text)

    for tier in ("sim", "vm"):
        tier_rows = [r for r in rows if r.tier == tier and not r.case.memory_only]
        if not tier_rows:
            continue
        out.append(time_verdict(tier, tier_rows))
        worst = None
        for r in tier_rows:
            if r.sys_tool is None:
                continue
            ref = r.sys_min if r.sys_min is not None else r.sys_base
            excess = (sum(r.sys_tool.values()) - sum(ref.values())) / sum(ref.values())
            if worst is None or excess > worst[0]:
                worst = (excess, r.case.name)
        if worst:
            judge(worst[0] <= 0.05, "%s: system calls within 5%% of the %s (worst %+.1f%%, %s)"
                  % (tier, "minimum" if tier == "vm" else "baseline under the simulator",
                     100 * worst[0], worst[1]))
        out.append(memory_verdict(tier, rows))
        peers = []
        for r in tier_rows:
            for peer in ("dd", "flashcp"):
                if r.peers.get(peer) and r.tool:
                    peers.append("%s/%s %.2f" % (r.case.name, peer, median([s.wall for s in r.tool])
                                                 / median([s.wall for s in r.peers[peer]])))
        if peers:
            out.append("info   %s: flashtool / peer wall time: %s" % (tier, ", ".join(peers)))
    judge(set(needed) <= {"libc.so.6", "libz.so.1"}, "NEEDED only libc and libz: " + ", ".join(needed))
    judge(size <= 48 * 1024, "stripped x86-64 binary <= 48 KiB: %d bytes" % size)
    return out


NOTES = """notes:
  wall x / cpu x: flashtool / baseline, the median of per-round ratios; tool and baseline run
    alternately (ABBA...) in the same loop, so machine noise hits both. cpu = user + system.
    +-: half the interquartile range of the per-round wall ratios (the noise of this run).
  baseline: bench/baseline.cpp, same compiler and flags as flashtool; it issues only the calls
    the I/O pattern needs and prints the same output with the same flushes (checked: same
    stdout and same flash afterwards, else the note says so).
  syscalls: strace -c of one run, tool/ref, then the tool's counts by kind and its difference
    from ref. vm rows: ref = the minimum of bench/minimum.py: process start-up as measured on
    `baseline startup`, plus the I/O pattern: glibc stdio reads image files in st_blksize =
    4096-byte refills even for 1024-byte freads, plus one read that meets the end; one fstat
    per stream for its buffer; one stdout write per progress flush and one at exit. sim rows:
    ref = the baseline under the same simulator, which adds calls of its own per device
    request (an lseek per read or write, pwrite64 for the erase fill).
    rt_sigprocmask: 2 in a writer, in the minimum and the baseline: the signals that would
      end it half-way are blocked before the flash is touched and let go at the end.
    rt_sigaction+1: flashtool also ignores SIGHUP (a hang-up must not cut a flash write short).
    poll+1: flashtool checks that standard input, output and error are open before it opens a
      device (a device that took a closed one would receive the messages).
    A note "baseline vs min" would mean that the baseline and the analytic minimum disagree.
  vs dd: flashtool / (flash_erase + dd bs=1024 oflag=sync), vs flashcp: flashtool /
    (flashcp -A), wall time, real driver only, same bytes written. flashcp also reads
    everything back to verify; writeall's flashcp writes mtd0's window too (cannot skip it).
    writetempconf's dd writes a record framed ahead of time (no CRC work).
  peak KiB: maximum resident set (wait4 rusage, as /usr/bin/time -v reports; sim rows
    include the preloaded simulator)."""


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    ap.add_argument("--rounds", type=int, default=41, help="tool/baseline pairs per case (simulator)")
    ap.add_argument("--vm-rounds", type=int, default=9, help="pairs per case in the VM")
    ap.add_argument("--no-vm", action="store_true", help="skip the real-driver tier")
    ap.add_argument("--vm-clock", choices=("icount", "host"), default="icount",
                    help="guest clock: executed instructions (steady) or host time (noisy)")
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--only", help="comma-separated case names")
    ap.add_argument("--keep", metavar="DIR", help="work in DIR and keep it (guest console log...)")
    ap.add_argument("--no-build", action="store_true", help="use the build as it is")
    ap.add_argument("--smoke", action="store_true",
                    help="one simulator round, no VM; exit 1 when the baseline fails or does "
                         "other work than flashtool (never judges a timing)")
    args = ap.parse_args()
    if args.smoke:
        args.no_vm = True
        args.rounds = 1

    build = os.path.abspath(args.build)
    build = build if args.no_build else build_tool(build)
    tool = os.path.join(build, "flashtool")
    simlib = os.path.join(build, "tools", "flashsim", "libflashsim.so")
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="flashbench-", dir=shm) as scratch:
        work = args.keep or scratch
        baseline, measure, flags = build_helpers(build, work)
        cases = workload.cases()
        if args.only:
            wanted = set(args.only.split(","))
            cases = [c for c in cases if c.name in wanted]
        files = workload.files()
        rows = run_sim(tool, baseline, measure, simlib, args.rounds, cases, files, work)
        vm_lines = []
        if not args.no_vm:
            try:
                import vmbench
                rows += vmbench.run(tool, baseline, measure, cases, files, args.vm_rounds,
                                    os.path.join(work, "vm"), vm_lines,
                                    icount=args.vm_clock == "icount")
            except Exception as e:  # the simulator part stands on its own
                vm_lines.append("vm tier: not run (%s: %s)" % (type(e).__name__, e))
        size, needed = binary_facts(tool, work)
        header = machine_header()
        header.append("flashtool: %s (%s build)" % (tool, cache_value(build, "CMAKE_BUILD_TYPE")))
        header.append("compiler:  " + compiler_version(flags.split()[0]))
        header.append("baseline:  " + flags)
        static = ["binary: stripped %d bytes (%.1f KiB), NEEDED %s"
                  % (size, size / 1024, ", ".join(needed))]
        static += vm_lines
        static.append("targets:")
        static += ["  " + v for v in verdicts(rows, size, needed)]
        static += NOTES.splitlines()
        print("\n".join(header))
        print()
        print(table(rows, static))
    if args.smoke:
        bad = [r.case.name + ": " + r.note for r in rows
               if r.note.startswith(("baseline", "output differs", "flash differs"))]
        for line in bad:
            print("smoke: " + line, file=sys.stderr)
        sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
