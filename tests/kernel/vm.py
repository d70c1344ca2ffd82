"""Run a command against real kernel MTD devices inside a QEMU guest.

One boot runs many jobs.  The guest is Debian's stock amd64 kernel under
TCG (or its 32-bit ARM armmp kernel on qemu's "virt" board, when the cache
was made by prepare-arm.sh); four virtio disks of the flash partition sizes
become /dev/mtd0..3 through block2mtd.  See README.md in this directory for
the whole picture.  A third machine, "nor", boots the same ARM kernel on
qemu's zynq board, whose CFI NOR flash has the device's sectors and runs
under the kernel's own CFI driver.

Entry point: run_jobs(binary, jobs, cache_dir, workdir) -> list of results.
"""

import hashlib
import io
import os
import re
import shutil
import stat
import subprocess
import sys
import tarfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# name -> (size in bytes, erase size in bytes); order is mtd0..mtd3.
FLASH = (
    ("mtd0", 0x20000, 0x2000),
    ("mtd1", 0xE0000, 0x10000),
    ("mtd2", 0x290000, 0x10000),
    ("mtd3", 0x70000, 0x10000),
)
FLASH_SIZES = {name: size for name, size, _ in FLASH}

# Modules in load order; block2mtd goes last, once the disks exist.
MODULES = (
    "kernel/drivers/virtio/virtio_ring.ko",
    "kernel/drivers/virtio/virtio.ko",
    "kernel/drivers/virtio/virtio_pci_legacy_dev.ko",
    "kernel/drivers/virtio/virtio_pci_modern_dev.ko",
    "kernel/drivers/virtio/virtio_pci.ko",
    "kernel/drivers/block/virtio_blk.ko",
    "kernel/drivers/mtd/mtd.ko",
    "kernel/drivers/mtd/devices/block2mtd.ko",
)


# The NOR machine: qemu's xilinx-zynq-a9 board, whose AMD-style CFI flash (cfi.pflash02)
# gets the device's bottom-boot layout, under the kernel's own CFI driver. Its regions must
# add up to the board's fixed 64 MiB; only the first 4 MiB is partitioned (mtdparts=).
NOR_FLASH_TOTAL = 64 << 20
NOR_REGIONS = ((16, 0x2000), (NOR_FLASH_TOTAL // 0x10000 - 2, 0x10000))
NOR_MTDPARTS = "nor:128k(boot),896k(kernel),2624k(rootfs),448k(jffs)"
NOR_MODULES = ("xilinx_uartps", "cfi_util", "gen_probe", "cfi_probe", "cfi_cmdset_0002",
               "cmdlinepart", "physmap_of")
# The results channel: the board's USB controller with Debian's own modules; one usb-bot
# device whose two logical units are /dev/sda and /dev/sdb.
NOR_USB_MODULES = tuple("kernel/%s.ko" % m for m in (
    "drivers/usb/core/usbcore", "drivers/usb/host/ehci-hcd", "drivers/usb/host/ehci-platform",
    "drivers/scsi/scsi_common", "drivers/scsi/scsi_mod", "drivers/usb/storage/usb-storage",
    "crypto/crct10dif_common", "crypto/crct10dif_generic", "lib/crc-t10dif", "lib/crc64",
    "lib/crc64-rocksoft", "block/t10-pi", "drivers/scsi/sd_mod"))


def _nor_qemu(cache_dir):
    """qemu options of the NOR machine beyond the board name."""
    # qemu's cortex-a9 says r0p0, and Linux's global timer refuses A9s before r2p0: no
    # tick, and the first erase would wait forever. Say r3p0.
    args = ["-dtb", os.path.join(cache_dir, "nor", "zynq-nor.dtb"),
            "-global", "driver=cortex-a9-arm-cpu,property=midr,value=0x413fc090"]
    for i, (count, size) in enumerate(NOR_REGIONS):
        args += ["-global", "driver=cfi.pflash02,property=num-blocks%d,value=%d" % (i, count),
                 "-global", "driver=cfi.pflash02,property=sector-length%d,value=%d" % (i, size)]
    return args


class Machine:
    """What differs between the guest architectures."""

    def __init__(self, arch, qemu, console, modules, block2mtd, triplet,
                 timeout_factor, setup=None, append="", helpers=()):
        self.arch = arch            # Debian architecture name
        self.qemu = qemu            # qemu command up to the memory size
        self.console = console      # serial console device
        self.modules = modules      # loaded in order, relative to lib/modules/KVER
        self.block2mtd = block2mtd  # relative to lib/modules/KVER or the cache
        self.triplet = triplet      # multiarch library folder name
        self.timeout_factor = timeout_factor  # on the whole-boot limit
        self.setup = setup          # /init's text that brings up the flash; None: block2mtd
        self.append = append        # more kernel command line
        self.helpers = helpers      # C programs of this folder built for the guest's /bin


MACHINES = {
    "amd64": Machine(
        "amd64", ["qemu-system-x86_64", "-accel", "tcg"], "ttyS0",
        MODULES[:-1], ("modules", MODULES[-1]), "x86_64-linux-gnu", 1),
    # The armmp kernel has the MTD core and virtio built in; its package has no
    # block2mtd module, so prepare-arm.sh builds one into the cache.  Without
    # LPAE the kernel cannot reach qemu's PCI windows above 4 GiB: highmem=off.
    "armhf": Machine(
        "armhf", ["qemu-system-arm", "-M", "virt,highmem=off", "-cpu",
                  "cortex-a15", "-accel", "tcg"], "ttyAMA0",
        ("kernel/drivers/virtio/virtio_pci_legacy_dev.ko",
         "kernel/drivers/virtio/virtio_pci_modern_dev.ko",
         "kernel/drivers/virtio/virtio_pci.ko",
         "kernel/drivers/block/virtio_blk.ko"),
        ("cache", "block2mtd/block2mtd.ko"), "arm-linux-gnueabihf", 2),
    # No flash disks: the flash is the board's, kept in qemu's RAM (no -drive if=pflash);
    # prepare-nor.sh adds the modules and the device tree to an ARM cache.
    "nor": Machine(
        "nor", ["qemu-system-arm", "-M", "xilinx-zynq-a9", "-accel", "tcg"], "ttyPS0",
        tuple(("cache", "nor/%s.ko" % m) for m in NOR_MODULES) + NOR_USB_MODULES,
        None, "arm-linux-gnueabihf", 4, setup="nor",
        append=" mtdparts=" + NOR_MTDPARTS, helpers=("flashfill",)),
}

INDEX_DISK_SIZE = 1 << 20
SYNC_TAG = "flashvm-sync"
HOSTNAME = "flashvm"
DEFAULT_JOB_TIMEOUT = 60
NODE_RE = re.compile(r"^mtd([0-3])(ro)?$")
SYSLOG_PREFIX_RE = re.compile(
    rb"^[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
    + HOSTNAME.encode() + rb" ")


class VMError(RuntimeError):
    """The guest did not boot, crashed, or returned incomplete results."""


# --------------------------------------------------------------------------
# guest side

INIT_SCRIPT = r"""#!/bin/sh
export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin
export HOME=/
umask 022
if [ ! -e /bin/mount ]; then
    # a busybox that cannot run on the build machine makes its applet links here
    # (it finds itself through /proc/self/exe)
    /bin/busybox mount -t proc proc /proc && /bin/busybox --install -s &&
        /bin/busybox umount /proc || { echo "@@FAIL busybox --install"; exit 1; }
fi
power_off() { poweroff -f; }
fail() {
    echo "@@FAIL $*"
    sync
    power_off
    sleep 30
}
uptime_s() { read -r up _ < /proc/uptime; echo $up; }

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev || fail "cannot mount devtmpfs"
mkdir -p /tmp /var/log
# a job's "sysctl" step is undone before the next job
protected_regular=$(cat /proc/sys/fs/protected_regular)
echo "@@T init $(uptime_s)"

@@SETUP@@
got=$(sed -n '2,$p' /proc/mtd | cut -d' ' -f1-3)
want="@@PROC_MTD@@"
[ "$got" = "$want" ] || fail "unexpected /proc/mtd: $(cat /proc/mtd | tr '\n' '|')"
mkdir -p /flashdev
for n in 0 1 2 3; do
    mknod -m 600 /flashdev/mtd$n c 90 $((2*n)) || fail "mknod"
done
[ -c /dev/mtd0 ] && [ -c /dev/mtd3ro ] || fail "devtmpfs made no /dev/mtdN nodes"

hostname @@HOSTNAME@@
syslogd -n -O /var/log/messages &
k=0
while [ ! -S /dev/log ]; do
    k=$((k+1)); [ $k -gt 500 ] && fail "syslogd did not start"
    usleep 10000
done
echo "@@T ready $(uptime_s)"

wait_log() {
    k=0
    until grep -q "@@SYNC_TAG@@: $1\$" /var/log/messages 2>/dev/null; do
        k=$((k+1)); [ $k -gt 1000 ] && fail "syslog marker '$1' never arrived"
        usleep 5000
    done
}

# true when an open file description holds a write lock (the other run's lock on /dev/mtd0:
# nothing else in the guest takes one); /proc/locks shows such a lock with the pid -1, so
# $1, the other run, is not looked for there
holds_lock() {
    while read -r l; do
        case "$l" in *" OFDLCK "*" WRITE "*) return 0 ;; esac
    done < /proc/locks
    return 1
}

# The job's other run (the job.sh function "other" adds its arguments) starts first and is
# caught as soon as it holds the flash lock: stopped there until the command has said that
# it waits or has ended (J_OTHER_END=STOP), or killed there before the command starts
# (KILL). A command that says it waits gets the signal J_SIGNAL_WAITING first, when the job
# sets one. Sets st; leaves other.*, locked and held_back in /o.
run_beside_other() {
    rm -f /tmp/other.pid /tmp/other.status /tmp/status /tmp/cmd.pid
    ( other timeout -s KILL $J_TIMEOUT sh -c 'echo $$ > /tmp/other.pid; '"$RUN" "$J_ARGV0" \
          </dev/null >/o/other.stdout 2>/o/other.stderr
      echo $? > /tmp/other.status ) 5>&- &
    first=$!
    op=""; k=0
    while [ ! -e /tmp/other.status ]; do
        [ -z "$op" ] && [ -s /tmp/other.pid ] && read -r op < /tmp/other.pid
        [ -n "$op" ] && holds_lock $op && break
        k=$((k+1)); [ $k -gt 1000000 ] && break
    done
    [ -n "$op" ] && kill -$J_OTHER_END $op 2>/dev/null
    if [ "$J_OTHER_END" = KILL ]; then
        k=0
        until [ -s /tmp/other.status ]; do
            k=$((k+1)); [ $k -gt 1000 ] && break
            usleep 10000
        done
    fi
    locked=0; [ -n "$op" ] && holds_lock $op && locked=1
    echo $locked > /o/locked
    ( timeout -s KILL $J_TIMEOUT sh -c 'echo $$ > /tmp/cmd.pid; '"$RUN" "$J_ARGV0" "$@" \
          </dev/null >/o/stdout 2>/o/stderr &
      # waited for in the background, so that the shell prints no line for a signal death
      wait $!
      echo $? > /tmp/status ) 5>&- &
    second=$!
    k=0
    until [ -e /tmp/status ] || [ -s /o/stderr ]; do
        k=$((k+1)); [ $k -gt 3000 ] && break
        usleep 10000
    done
    held=1; [ -e /tmp/status ] && held=0
    echo $held > /o/held_back
    if [ $held = 1 ] && [ -n "$J_SIGNAL_WAITING" ] && [ -s /tmp/cmd.pid ]; then
        kill -$J_SIGNAL_WAITING $(cat /tmp/cmd.pid) 2>/dev/null
        # Let it end of the signal, if it does, before the other run goes on.
        k=0
        until [ -e /tmp/status ]; do
            k=$((k+1)); [ $k -gt 300 ] && break
            usleep 10000
        done
    fi
    [ "$J_OTHER_END" = STOP ] && [ -n "$op" ] && kill -CONT $op 2>/dev/null
    wait $first $second
    st=$(cat /tmp/status)
    cat /tmp/other.status > /o/other.status
}

# The job's signal J_SIGNAL (a number) goes to the command once it holds the flash lock
# (J_SIGNAL_AT=lock, a writer) or has a flash device open (open, a reader). Sets st.
run_signalled() {
    rm -f /tmp/cmd.pid /tmp/status
    ( timeout -s KILL $J_TIMEOUT sh -c 'echo $$ > /tmp/cmd.pid; '"$RUN" "$J_ARGV0" "$@" \
          </dev/null >/o/stdout 2>/o/stderr &
      # waited for in the background, so that the shell prints no line for a signal death
      wait $!
      echo $? > /tmp/status ) 5>&- &
    pid=""; k=0
    while [ ! -e /tmp/status ]; do
        [ -z "$pid" ] && [ -s /tmp/cmd.pid ] && read -r pid < /tmp/cmd.pid
        if [ -n "$pid" ]; then
            if [ "$J_SIGNAL_AT" = lock ]; then
                holds_lock $pid && break
            else
                ls -l /proc/$pid/fd 2>/dev/null | grep -q /dev/mtd && break
            fi
        fi
        k=$((k+1)); [ $k -gt 1000000 ] && break
    done
    [ -n "$pid" ] && kill -$J_SIGNAL $pid 2>/dev/null
    wait $!
    st=$(cat /tmp/status)
}

run_job() {
    i=$1
    d=/in/jobs/$i
    J_REMOVE=""; J_RO=""; J_CLOSED=0; J_ARGV0=flashtool; J_TIMEOUT=@@TIMEOUT@@; J_OTHER_END=""
    J_SIGNAL=""; J_SIGNAL_AT=""; J_SIGNAL_WAITING=""
    J_USER=""
    echo $protected_regular > /proc/sys/fs/protected_regular
    prepare_job() { :; }
    . $d/job.sh
    echo "@@J $i"
    for n in 0 1 2 3; do
        eval img=\$J_IMG$n
        restore_flash /in/img/$img /flashdev/mtd$n || fail "job $i: cannot restore mtd$n"
    done
    # put back the nodes that the previous job removed or replaced
    for n in 0 1 2 3; do
        case " $nodes_changed " in
            *" mtd$n "*|*" mtd${n}ro "*) ;;
            *) [ -c /dev/mtd$n ] && [ -c /dev/mtd${n}ro ] && continue ;;
        esac
        rm -f /dev/mtd$n /dev/mtd${n}ro
        mknod -m 600 /dev/mtd$n c 90 $((2*n))
        mknod -m 600 /dev/mtd${n}ro c 90 $((2*n+1))
    done
    nodes_changed="$J_REMOVE $J_RO"
    for x in $J_REMOVE; do rm -f /dev/$x; done
    for x in $J_RO; do
        n=${x#mtd}; n=${n%ro}
        rm -f /dev/$x
        mknod -m 600 /dev/$x c 90 $((2*n+1))
    done
    rm -rf /w /o /tmp/r.tar
    mkdir -p /o
    if [ -d $d/files ]; then cp -a $d/files /w; else mkdir /w; fi
    if [ -n "$J_USER" ]; then
        # an ordinary user's run: its files, and flash nodes it may open (made afresh after)
        chown -R "$J_USER:$J_USER" /w || fail "job $i: chown"
        chmod 666 /dev/mtd0 /dev/mtd1 /dev/mtd2 /dev/mtd3 2>/dev/null
        nodes_changed="$nodes_changed mtd0 mtd1 mtd2 mtd3"
    fi
    cd /w
    prepare_job || fail "job $i: preparing the working directory"
    logger -t @@SYNC_TAG@@ "begin $i"
    wait_log "begin $i"
    pos=$(stat -c %s /var/log/messages)
    t0=$(uptime_s)
    if [ "$J_CLOSED" = 1 ]; then
        # stdout is a pipe whose only reader has already gone. A read-write open of a
        # FIFO never blocks, so the reader is a descriptor of this shell, closed once the
        # write end is open: no child whose exit signal could interrupt the open.
        rm -f /tmp/pipe
        mkfifo /tmp/pipe
        exec 6<>/tmp/pipe
        exec 4>/tmp/pipe
        exec 6<&-
        : > /o/stdout
        timeout -s KILL $J_TIMEOUT sh -c "$RUN" "$J_ARGV0" "$@" </dev/null >&4 2>/o/stderr 4>&- 5>&-
        st=$?
        exec 4>&-
        rm -f /tmp/pipe
    elif [ -n "$J_OTHER_END" ]; then
        run_beside_other "$@"
    elif [ -n "$J_SIGNAL" ]; then
        run_signalled "$@"
    elif [ -n "$J_USER" ]; then
        user=$(awk -F: -v id="$J_USER" '$3 == id { print $1 }' /etc/passwd)
        timeout -s KILL $J_TIMEOUT su -p -s /bin/sh -c "$RUN" "$user" -- "$J_ARGV0" "$@" \
            </dev/null >/o/stdout 2>/o/stderr 5>&-
        st=$?
    else
        timeout -s KILL $J_TIMEOUT sh -c "$RUN" "$J_ARGV0" "$@" </dev/null >/o/stdout 2>/o/stderr 5>&-
        st=$?
    fi
    t1=$(uptime_s)
    cd /
    logger -t @@SYNC_TAG@@ "end $i"
    wait_log "end $i"
    # su logs the change of user itself; only the program's lines belong to the job
    tail -c +$((pos+1)) /var/log/messages | grep -v " su: " > /o/syslog
    echo $st > /o/status
    for n in 0 1 2 3; do
        cat /flashdev/mtd$n > /o/mtd$n || fail "job $i: cannot read back mtd$n"
    done
    mv /w /o/files
    tar -cf /tmp/r.tar -C /o . || fail "job $i: tar"
    sz=$(stat -c %s /tmp/r.tar)
    cat /tmp/r.tar >&5 || fail "job $i: results disk full"
    echo "R $i $sz $t0 $t1" >> /tmp/index
    rm -rf /o /tmp/r.tar
}

# the program starts with argv[0] = the job's argv0, whatever its binary's path
RUN='exec -a "$0" /usr/local/bin/flashtool "$@"'
exec 5>/dev/$RESULTS
: > /tmp/index
nodes_changed=""
i=0
while [ -f /in/jobs/$i/job.sh ]; do
    run_job $i
    i=$((i+1))
done
exec 5>&-
echo "END $(uptime_s)" >> /tmp/index
cat /tmp/index > /dev/$INDEX || fail "cannot write index"
sync
echo "@@T done $(uptime_s)"
echo "@@DONE"
power_off
sleep 30
"""


# Brings up /dev/mtd0..3 and the results disks on the NOR machine. Nothing is seen on the
# console until the board's UART driver is loaded, so that comes first and takes /init's
# output. The flash keeps what a job left: flashfill erases and writes only what differs.
NOR_SETUP = r"""set -- @@MODULES@@
insmod /lib/modules/$1.ko || fail "insmod $1"
shift
k=0
while [ ! -c /dev/@@CONSOLE@@ ]; do
    k=$((k+1)); [ $k -gt 500 ] && fail "no /dev/@@CONSOLE@@"
    usleep 10000
done
exec </dev/null >/dev/@@CONSOLE@@ 2>&1
power_off() {
    # poweroff -f leaves qemu running: unlock the board's control registers and reset it,
    # which ends qemu (-no-reboot)
    devmem 0xf8000008 32 0xdf0d
    devmem 0xf8000200 32 1
    poweroff -f
}
mtdparts=$(tr ' ' '\n' < /proc/cmdline | sed -n 's/^mtdparts=//p')
for m in "$@"; do
    case $m in
        cfi_cmdset_0002) arg="@@CFI_ARGS@@" ;;
        cmdlinepart) arg="mtdparts=$mtdparts" ;;
        *) arg="" ;;
    esac
    insmod /lib/modules/$m.ko $arg || fail "insmod $m"
done
# the two usb-storage disks, told apart by their sizes
RESULTS=""
INDEX=""
k=0
while [ -z "$RESULTS" ] || [ -z "$INDEX" ]; do
    for d in sda sdb; do
        s=$(cat /sys/block/$d/size 2>/dev/null)
        [ -b /dev/$d ] || continue
        case "$s" in
            @@INDEX_SECTORS@@) INDEX=$d ;;
            ""|0) ;;
            *) RESULTS=$d ;;
        esac
    done
    k=$((k+1)); [ $k -gt 1000 ] && fail "no usb-storage disks (sda, sdb)"
    usleep 10000
done
restore_flash() { flashfill "$2" "$1"; }
"""

# Brings up /dev/mtd0..3 and the results disks on the block2mtd machines: four virtio disks
# of the partition sizes become the flash; vde takes the results, vdf the index.
BLOCK2MTD_SETUP = r"""for m in @@MODULES@@; do
    insmod /lib/modules/$m.ko || fail "insmod $m"
done
k=0
for d in vda vdb vdc vdd vde vdf; do
    while [ ! -b /dev/$d ]; do
        k=$((k+1)); [ $k -gt 1000 ] && fail "no /dev/$d"
        usleep 10000
    done
done
check_size() {
    s=$(cat /sys/block/$1/size)
    [ "$s" = "$2" ] || fail "/dev/$1 has $s sectors, expected $2"
}
@@CHECK_SIZES@@
insmod /lib/modules/block2mtd.ko @@B2M_ARGS@@ || fail "insmod block2mtd"
RESULTS=vde
INDEX=vdf
restore_flash() { cat "$1" > "$2"; }
"""


def _render_init(job_timeout, machine, stock_timing=False):
    checks = []
    b2m = []
    proc = []
    for n, (name, size, erase) in enumerate(FLASH):
        disk = "vd" + "abcd"[n]
        checks.append("check_size %s %d" % (disk, size // 512))
        b2m.append("block2mtd=/dev/%s,%d" % (disk, erase))
        proc.append("%s: %08x %08x" % (name, size, erase))
    checks.append("check_size vdf %d" % (INDEX_DISK_SIZE // 512))
    text = INIT_SCRIPT.replace(
        "@@SETUP@@", NOR_SETUP if machine.setup == "nor" else BLOCK2MTD_SETUP)
    for key, val in (
        ("@@CHECK_SIZES@@", "\n".join(checks)),
        ("@@B2M_ARGS@@", " ".join(b2m)),
        ("@@PROC_MTD@@", "\n".join(proc)),
        ("@@HOSTNAME@@", HOSTNAME),
        ("@@SYNC_TAG@@", SYNC_TAG),
        ("@@TIMEOUT@@", str(int(job_timeout))),
        ("@@MODULES@@", " ".join(os.path.basename(m if isinstance(m, str) else m[1])[:-3]
                                 for m in machine.modules)),
        ("@@CONSOLE@@", machine.console),
        ("@@CFI_ARGS@@", "" if stock_timing else "fast_timing=1"),
        ("@@INDEX_SECTORS@@", str(INDEX_DISK_SIZE // 512)),
    ):
        text = text.replace(key, val)
    return text.encode()


# --------------------------------------------------------------------------
# initramfs (newc cpio, written directly)

class Cpio:
    def __init__(self, fileobj):
        self.f = fileobj
        self.ino = 1000
        self.dirs = set()

    def _entry(self, name, mode, data=b"", rdev=(0, 0)):
        name_b = name.encode("utf-8", "surrogateescape") + b"\0"
        self.ino += 1
        fields = (self.ino, mode, 0, 0, 1, 0, len(data), 0, 0,
                  rdev[0], rdev[1], len(name_b), 0)
        hdr = b"070701" + b"".join(b"%08X" % v for v in fields)
        self.f.write(hdr + name_b)
        self.f.write(b"\0" * (-(len(hdr) + len(name_b)) % 4))
        self.f.write(data)
        self.f.write(b"\0" * (-len(data) % 4))

    def mkdir(self, path):
        path = path.strip("/")
        if not path or path in self.dirs:
            return
        self.mkdir(os.path.dirname(path))
        self.dirs.add(path)
        self._entry(path, stat.S_IFDIR | 0o755)

    def file(self, path, data, mode=0o644):
        path = path.strip("/")
        self.mkdir(os.path.dirname(path))
        self._entry(path, stat.S_IFREG | mode, data)

    def symlink(self, path, target):
        path = path.strip("/")
        self.mkdir(os.path.dirname(path))
        self._entry(path, stat.S_IFLNK | 0o777, target.encode())

    def chardev(self, path, major, minor, mode=0o600):
        path = path.strip("/")
        self.mkdir(os.path.dirname(path))
        self._entry(path, stat.S_IFCHR | mode, rdev=(major, minor))

    def trailer(self):
        self._entry("TRAILER!!!", 0)


def _shared_libs(binary):
    """Paths of the shared objects `binary` loads (empty for static/scripts)."""
    try:
        out = subprocess.run(["ldd", binary], capture_output=True, text=True,
                             check=False).stdout
    except OSError:
        return []
    libs = []
    for line in out.splitlines():
        m = re.search(r"=>\s*(/\S+)", line) or re.match(r"\s*(/\S+)", line)
        if m and os.path.exists(m.group(1)):
            libs.append(m.group(1))
    return libs


def _elf_machine(path):
    """The e_machine field of an ELF file, or None for anything else."""
    try:
        with open(path, "rb") as f:
            head = f.read(20)
    except OSError:
        return None
    if len(head) < 20 or head[:4] != b"\x7fELF":
        return None
    return int.from_bytes(head[18:20], "big" if head[5] == 2 else "little")


def _elf_needs(path):
    """(program interpreter or None, [NEEDED names]) as readelf reports them."""
    out = subprocess.run(["readelf", "-W", "-l", "-d", path],
                         capture_output=True, text=True, check=True).stdout
    interp = re.search(r"Requesting program interpreter: ([^\]]+)\]", out)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)
    return (interp.group(1) if interp else None), needed


def _sysroot_libs(binary, sysroots, triplet):
    """[(guest path, host path)] of the shared objects a foreign binary loads,
    found in the sysroots the way the target's loader searches its own tree:
    the interpreter at its own path, the libraries in /lib."""
    machine = _elf_machine(binary)
    dirs = [os.path.join(root, d) for root in sysroots
            for d in ("lib/" + triplet, "usr/lib/" + triplet, "lib", "usr/lib")]

    def find(name):
        for d in dirs:
            p = os.path.join(d, name)
            if os.path.isfile(p) and _elf_machine(p) == machine:
                return os.path.realpath(p)
        raise VMError("%s needs %s, which is in none of the sysroots (%s)"
                      % (binary, name, ", ".join(sysroots) or "none given"))

    out = []
    interp, todo = _elf_needs(binary)
    if interp:
        out.append((interp, find(os.path.basename(interp))))
    seen = set()
    while todo:
        name = todo.pop(0)
        if name in seen:
            continue
        seen.add(name)
        host = find(name)
        out.append(("/lib/" + name, host))
        todo += _elf_needs(host)[1]
    return out


def _cache_machine(cache_dir):
    """The guest machine a prepared cache is for (prepare-arm.sh writes
    "armhf" into its arch file; prepare.sh's caches have none)."""
    try:
        with open(os.path.join(cache_dir, "arch")) as f:
            arch = f.read().strip()
    except OSError:
        arch = "amd64"
    if arch not in MACHINES:
        raise VMError("%s: unknown guest architecture %r" % (cache_dir, arch))
    return MACHINES[arch]


def _module_path(cache_dir, moddir, where):
    root, rel = where
    return os.path.join(cache_dir if root == "cache" else moddir, rel)


def _kernel_paths(cache_dir):
    try:
        with open(os.path.join(cache_dir, "ready")) as f:
            kver = f.read().strip()
    except OSError:
        raise VMError("%s is not prepared: run tests/kernel/prepare.sh %s"
                      % (cache_dir, cache_dir))
    vmlinuz = os.path.join(cache_dir, "kernel", "boot", "vmlinuz-" + kver)
    moddir = os.path.join(cache_dir, "kernel", "lib", "modules", kver)
    busybox = os.path.join(cache_dir, "busybox", "bin", "busybox")
    for p in (vmlinuz, moddir, busybox):
        if not os.path.exists(p):
            raise VMError("missing %s: rerun tests/kernel/prepare.sh" % p)
    return vmlinuz, moddir, busybox


def _sh_quote(value):
    if isinstance(value, str):
        value = value.encode("utf-8", "surrogateescape")
    if b"\0" in value:
        raise ValueError("NUL byte in a shell word: %r" % value)
    return b"'" + value.replace(b"'", b"'\\''") + b"'"


def _check_rel(name):
    norm = os.path.normpath(name)
    if os.path.isabs(name) or norm.startswith("..") or norm in (".", ""):
        raise ValueError("job file name must be relative and inside the "
                         "working directory: %r" % name)
    return norm


def _prepare_command(step):
    """One step of a job's "prepare" list as a busybox command run in /w."""
    kind, args = step[0], step[1:]
    paths = [_sh_quote(_check_rel(a)) for a in args if isinstance(a, str)]
    if kind == "chmod":
        return b"chmod %o %s" % (args[1], paths[0])
    if kind == "chown":
        return b"chown %d:%d %s" % (args[1], args[2], paths[0])
    if kind == "link":
        return b"ln " + b" ".join(paths)
    if kind == "mkdir":
        return b"mkdir " + paths[0]
    if kind == "sysctl" and args[0] == "fs.protected_regular":
        return b"echo %d > /proc/sys/fs/protected_regular" % args[1]
    if kind == "fifo":
        return b"mkfifo " + paths[0]
    raise ValueError("prepare step %r cannot run in the guest" % (step,))


def _job_script(job, hashes):
    lines = []
    for n, h in enumerate(hashes):
        lines.append(b"J_IMG%d=%s" % (n, h.encode()))
    for key, var in (("remove_nodes", b"J_REMOVE"),
                     ("readonly_nodes", b"J_RO")):
        names = list(job.get(key) or [])
        for x in names:
            if not NODE_RE.match(x):
                raise ValueError("%s: bad node name %r (want mtd0..mtd3, "
                                 "optionally with 'ro')" % (key, x))
        lines.append(var + b"=" + _sh_quote(" ".join(names)))
    lines.append(b"J_CLOSED=%d" % (1 if job.get("stdout_closed_early") else 0))
    if job.get("argv0") is not None:
        lines.append(b"J_ARGV0=" + _sh_quote(job["argv0"]))
    if job.get("timeout"):
        lines.append(b"J_TIMEOUT=%d" % int(job["timeout"]))
    other = job.get("other")
    if other:
        if other.get("end") not in ("stop", "kill"):
            raise ValueError("other: end must be 'stop' or 'kill'")
        lines.append(b"J_OTHER_END=" + other["end"].upper().encode())
        words = b" ".join(_sh_quote(a) for a in other.get("args", []))
        lines.append(b'other() { "$@" ' + words + b"; }")
        if other.get("signal_waiting"):
            lines.append(b"J_SIGNAL_WAITING=%d" % int(other["signal_waiting"]))
    sent = job.get("signal")
    if sent:
        if sent.get("when") not in ("lock", "open"):
            raise ValueError("signal: when must be 'lock' or 'open'")
        lines.append(b"J_SIGNAL=%d" % int(sent["number"]))
        lines.append(b"J_SIGNAL_AT=" + sent["when"].encode())
    if job.get("user") is not None:
        lines.append(b"J_USER=%d" % int(job["user"]))
    if job.get("prepare"):
        lines.append(b"prepare_job() {")
        lines += [b"    " + _prepare_command(step) + b" || return 1" for step in job["prepare"]]
        lines.append(b"}")
    args = [_sh_quote(a) for a in job.get("args", [])]
    lines.append(b"set -- " + b" ".join(args) if args else b"set --")
    return b"\n".join(lines) + b"\n"


def _program_libs(binary, busybox, sysroots, machine):
    """[(guest path, host path)] of the libraries the program needs.  A binary
    of the build machine's own architecture takes what ldd names; a foreign
    one (the ARM build) takes them from the sysroots."""
    kind = _elf_machine(binary)
    if kind is None:
        return []
    if kind != _elf_machine(busybox):
        raise VMError("%s is not built for the %s guest" % (binary, machine.arch))
    if kind == _elf_machine(sys.executable):
        return [(lib, lib) for lib in _shared_libs(binary)]
    return _sysroot_libs(binary, sysroots or [], machine.triplet)


def _build_helper(name, machine, workdir):
    """Builds one of this folder's C helpers statically for the guest; its path."""
    out = os.path.join(workdir, name)
    cc = machine.triplet + "-gcc"
    subprocess.run([cc, "-static", "-O2", "-o", out, os.path.join(HERE, name + ".c")],
                   check=True)
    return out


def _build_initramfs(path, binary, jobs, cache_dir, job_timeout, sysroots=None,
                     machine=None, stock_timing=False, programs=None):
    vmlinuz, moddir, busybox = _kernel_paths(cache_dir)
    machine = MACHINES[machine] if machine else _cache_machine(cache_dir)
    libs = _program_libs(binary, busybox, sysroots, machine)
    programs = dict(programs or {})
    for name in machine.helpers:
        programs[name] = _build_helper(name, machine, os.path.dirname(path))
    for host in programs.values():
        libs += [lib for lib in _program_libs(host, busybox, sysroots, machine)
                 if lib not in libs]
    images = {}
    job_hashes = []
    for job in jobs:
        flash = job.get("flash") or {}
        unknown = set(flash) - set(FLASH_SIZES)
        if unknown:
            raise ValueError("job %r: unknown flash names %s"
                             % (job.get("name"), sorted(unknown)))
        hs = []
        for name, size, _ in FLASH:
            data = bytes(flash.get(name, b"\xff" * size))
            if len(data) != size:
                raise ValueError("job %r: %s image is %d bytes, expected %d"
                                 % (job.get("name"), name, len(data), size))
            h = hashlib.sha256(data).hexdigest()[:32]
            images[h] = data
            hs.append(h)
        job_hashes.append(hs)

    with open(path, "wb") as f:
        c = Cpio(f)
        for d in ("dev", "proc", "sys", "tmp", "var/log", "bin", "sbin",
                  "usr/bin", "usr/sbin", "usr/local/bin", "lib/modules"):
            c.mkdir(d)
        c.chardev("dev/console", 5, 1)
        # the ordinary user that jobs with a "user" run as (busybox su wants a name)
        c.file("etc/passwd", b"root:x:0:0:root:/:/bin/sh\n"
               b"nobody:x:65534:65534:nobody:/:/bin/sh\n")
        c.file("etc/group", b"root:x:0:\nnogroup:x:65534:\n")
        c.chardev("dev/null", 1, 3, 0o666)
        with open(busybox, "rb") as bf:
            c.file("bin/busybox", bf.read(), 0o755)
        if _elf_machine(busybox) == _elf_machine(sys.executable):
            applets = subprocess.run([busybox, "--list-full"],
                                     capture_output=True, text=True,
                                     check=True).stdout.split()
        else:
            applets = ["bin/sh"]  # /init makes the others
        for a in applets:
            if a != "bin/busybox":
                c.symlink(a, "/bin/busybox")
        for mod in machine.modules + ((machine.block2mtd,) if machine.block2mtd else ()):
            if isinstance(mod, str):
                mod = ("modules", mod)
            with open(_module_path(cache_dir, moddir, mod), "rb") as mf:
                c.file("lib/modules/" + os.path.basename(mod[1]), mf.read())
        with open(binary, "rb") as bf:
            c.file("usr/local/bin/flashtool", bf.read(), 0o755)
        for name, host in programs.items():
            with open(host, "rb") as pf:
                c.file("usr/local/bin/" + name, pf.read(), 0o755)
        for guest, host in libs:
            with open(host, "rb") as lf:
                c.file(guest, lf.read(), 0o755)
        c.file("init", _render_init(job_timeout, machine, stock_timing), 0o755)
        for h, data in images.items():
            c.file("in/img/" + h, data)
        for i, job in enumerate(jobs):
            base = "in/jobs/%d/" % i
            c.file(base + "job.sh", _job_script(job, job_hashes[i]))
            files = job.get("files") or {}
            c.mkdir(base + "files")
            for name, data in files.items():
                c.file(base + "files/" + _check_rel(name), bytes(data))
        c.trailer()
    return vmlinuz, sum(len(d) for d in images.values()), machine


# --------------------------------------------------------------------------
# host side

def _make_disk(path, size):
    with open(path, "wb") as f:
        f.truncate(size)


def _tail(path, lines=40):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return "(no console log)"
    text = data.decode("utf-8", "replace").replace("\r", "")
    return "\n".join(text.splitlines()[-lines:]) or "(console log empty)"


def _clean_syslog(raw):
    out = []
    tag = (" %s: " % SYNC_TAG).encode()
    for line in raw.split(b"\n"):
        if not line:
            continue
        if tag in line:
            if (" %s: end " % SYNC_TAG).encode() in line:
                break
            continue
        m = SYSLOG_PREFIX_RE.match(line)
        out.append(line[m.end():] if m else line)
    return b"".join(l + b"\n" for l in out)


SEVERITIES = {"emerg": 0, "panic": 0, "alert": 1, "crit": 2, "err": 3,
              "error": 3, "warn": 4, "warning": 4, "notice": 5, "info": 6,
              "debug": 7}
SYSLOG_LINE_RE = re.compile(
    r"^(?P<fac>[a-z0-9]+)\.(?P<sev>[a-z]+) (?:(?P<ident>[^ :\[]*)(?:\[\d+\])?: )?"
    r"(?P<msg>.*)$", re.S)


def syslog_lines(cleaned):
    """"facility.severity ident[pid]: message" lines -> ["<severity> <message>"].

    The severity is a number (3 for LOG_ERR); the facility, ident and pid
    are dropped.  This is the form the simulator tier records."""
    out = []
    for line in cleaned.decode("utf-8", "replace").splitlines():
        m = SYSLOG_LINE_RE.match(line)
        if m and m.group("sev") in SEVERITIES:
            out.append("%d %s" % (SEVERITIES[m.group("sev")], m.group("msg")))
        else:
            out.append(line)
    return out


def _parse_result(chunk):
    res = {"stdout": b"", "stderr": b"", "status": None, "flash": {},
           "syslog": b"", "syslog_raw": b"", "syslog_lines": [], "files": {},
           "owners": {}}
    with tarfile.open(fileobj=io.BytesIO(chunk), mode="r:") as tf:
        for m in tf.getmembers():
            name = m.name
            while name.startswith("./"):
                name = name[2:]
            if not m.isfile() and not m.islnk():
                continue
            data = tf.extractfile(m).read()
            if name in ("stdout", "stderr"):
                res[name] = data
            elif name == "status":
                res["status"] = int(data.strip())
            elif name == "syslog":
                res["syslog_raw"] = data
                res["syslog"] = _clean_syslog(data)
                res["syslog_lines"] = syslog_lines(res["syslog"])
            elif name.startswith("other."):
                other = res.setdefault("other", {"stdout": b"", "stderr": b""})
                key = name[len("other."):]
                other[key] = int(data.strip()) if key == "status" else data
            elif name in ("locked", "held_back"):
                res[name] = data.strip() == b"1"
            elif name in FLASH_SIZES:
                res["flash"][name] = data
            elif name.startswith("files/"):
                res["files"][name[len("files/"):]] = data
                res["owners"][name[len("files/"):]] = (m.mode & 0o7777, m.uid, m.gid)
    return res


def run_jobs(flashtool_binary, jobs, cache_dir, workdir, timeout=None,
             job_timeout=DEFAULT_JOB_TIMEOUT, stats=None, verbose=False,
             sysroots=None, machine=None, stock_timing=False, programs=None):
    """Boot once and run every job; return one result dict per job, in order.

    flashtool_binary: any host executable (ELF with its ldd libraries, or a
        script whose interpreter exists in busybox, e.g. #!/bin/sh); for the
        ARM guest an ARM executable, its libraries found in `sysroots`.
    jobs: list of dicts, see README.md.
    cache_dir: folder prepared by prepare.sh (amd64 guest) or
        prepare-arm.sh (32-bit ARM guest).
    workdir: scratch folder for the initramfs, disks and console log.
    timeout: whole-boot limit in seconds (default 300 + 5 s per job, twice
        that for the ARM guest).
    job_timeout: per-job limit in seconds (a job's "timeout" key overrides);
        a job that runs over is killed with SIGKILL (status 137).
    stats: optional dict, filled with timings (seconds).
    sysroots: root trees holding a foreign binary's interpreter and shared
        libraries (lib/, usr/lib/ and their multiarch folders).
    machine: "nor" boots the NOR machine (an ARM cache with prepare-nor.sh's
        additions); default: the machine the cache was made for.
    stock_timing: on the NOR machine, the CFI driver waits as long as the
        chip's advertised program and erase times (default: fast_timing=1).
    programs: {name: host executable} more programs for /usr/local/bin,
        their libraries found as for the binary.
    """
    if not jobs:
        return []
    t_start = time.monotonic()
    os.makedirs(workdir, exist_ok=True)
    binary = os.path.abspath(flashtool_binary)
    if not os.access(binary, os.X_OK):
        raise VMError("%s is not an executable file" % binary)
    initrd = os.path.join(workdir, "initrd.cpio")
    vmlinuz, image_bytes, machine = _build_initramfs(
        initrd, binary, jobs, cache_dir, job_timeout, sysroots, machine,
        stock_timing, programs)
    disks = []
    for n, (name, size, _) in enumerate(FLASH if machine.block2mtd else ()):
        p = os.path.join(workdir, "flash-%s.img" % name)
        _make_disk(p, size)
        disks.append(p)
    input_bytes = sum(len(bytes(d)) for j in jobs
                      for d in (j.get("files") or {}).values())
    results_path = os.path.join(workdir, "results.img")
    results_size = (64 << 20) + len(jobs) * (5 << 20) + 2 * input_bytes
    results_size = (results_size + 511) // 512 * 512
    _make_disk(results_path, results_size)
    index_path = os.path.join(workdir, "index.img")
    _make_disk(index_path, INDEX_DISK_SIZE)
    disks += [results_path, index_path]

    mem_mb = 512 + 3 * (os.path.getsize(initrd) >> 20)
    console = os.path.join(workdir, "console.log")
    cmd = machine.qemu + ["-m", str(mem_mb),
           "-nodefaults", "-no-user-config", "-display", "none",
           "-no-reboot", "-serial", "file:" + console,
           "-kernel", vmlinuz, "-initrd", initrd,
           "-append", "console=%s panic=-1 quiet rdinit=/init%s"
           % (machine.console, machine.append)]
    if machine.setup == "nor":
        # the board's USB controller has one high-speed port: one usb-storage device
        # with a logical unit per disk
        cmd += _nor_qemu(cache_dir) + ["-device", "usb-bot,id=bot,bus=usb-bus.0"]
        for n, p in enumerate(disks):
            cmd += ["-drive", "if=none,id=usb%d,format=raw,cache=unsafe,file=%s" % (n, p),
                    "-device", "scsi-hd,bus=bot.0,scsi-id=0,lun=%d,drive=usb%d" % (n, n)]
    else:
        for p in disks:
            cmd += ["-drive", "file=%s,format=raw,if=virtio,cache=unsafe" % p]
    if timeout is None:
        timeout = (300 + 5 * len(jobs)) * machine.timeout_factor
    t_built = time.monotonic()
    if verbose:
        print("vm: initramfs %d MiB, starting qemu" %
              (os.path.getsize(initrd) >> 20), file=sys.stderr)
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        qemu_out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise VMError("guest did not finish within %d s; console tail:\n%s"
                      % (timeout, _tail(console)))
    t_done = time.monotonic()
    if proc.returncode != 0:
        raise VMError("qemu exited with %d: %s\nconsole tail:\n%s"
                      % (proc.returncode, qemu_out.decode(errors="replace"),
                         _tail(console)))

    with open(console, "rb") as f:
        log = f.read().decode("utf-8", "replace")
    fail = re.search(r"@@FAIL (.*)", log)
    if fail:
        raise VMError("guest failed: %s\nconsole tail:\n%s"
                      % (fail.group(1).strip(), _tail(console)))
    with open(index_path, "rb") as f:
        index = f.read().split(b"\0", 1)[0].decode()
    entries = []
    ended = None
    for line in index.splitlines():
        parts = line.split()
        if parts and parts[0] == "R":
            entries.append((int(parts[1]), int(parts[2]),
                            float(parts[3]), float(parts[4])))
        elif parts and parts[0] == "END":
            ended = float(parts[1])
    if ended is None or len(entries) != len(jobs):
        raise VMError("guest returned %d of %d results; console tail:\n%s"
                      % (len(entries), len(jobs), _tail(console)))

    results = []
    with open(results_path, "rb") as f:
        for expect, (i, size, t0, t1) in enumerate(entries):
            if i != expect:
                raise VMError("results out of order: %d where %d expected"
                              % (i, expect))
            chunk = f.read(size)
            if len(chunk) != size:
                raise VMError("results disk truncated at job %d" % i)
            res = _parse_result(chunk)
            if res["status"] is None or len(res["flash"]) != len(FLASH):
                raise VMError("incomplete result for job %d (%s)"
                              % (i, jobs[i].get("name")))
            res["name"] = jobs[i].get("name")
            res["elapsed"] = round(t1 - t0, 3)
            limit = jobs[i].get("timeout") or job_timeout
            res["timed_out"] = res["status"] == 137 and t1 - t0 >= limit - 1
            results.append(res)

    if stats is not None:
        marks = dict(re.findall(r"@@T (\w+) ([0-9.]+)", log))
        stats.update({
            "build_seconds": round(t_built - t_start, 3),
            "qemu_seconds": round(t_done - t_built, 3),
            "guest_ready_seconds": float(marks.get("ready", 0)),
            "guest_done_seconds": float(marks.get("done", ended)),
            "jobs": len(jobs),
            "image_bytes": image_bytes,
            "total_seconds": round(time.monotonic() - t_start, 3),
        })
    return results


def default_cache_dir():
    return os.environ.get("FLASHTOOL_KERNEL_CACHE",
                          os.path.join(HERE, "..", "..", "build", "kernel-cache"))


PREPARE_SCRIPTS = {"amd64": "prepare.sh", "armhf": "prepare-arm.sh", "nor": "prepare-nor.sh"}


def prepare(cache_dir, arch="amd64"):
    """Run prepare.sh, or prepare-arm.sh for the armhf guest, prepare-nor.sh
    for the NOR machine (idempotent, fast when the cache is warm)."""
    subprocess.run(["sh", os.path.join(HERE, PREPARE_SCRIPTS[arch]),
                    cache_dir], check=True)


def main(argv):
    """vm.py [--cache DIR] [--arch armhf --sysroot DIR] BINARY [ARG...]: one
    job on erased flash, shown."""
    import argparse
    import tempfile
    ap = argparse.ArgumentParser(description=main.__doc__)
    ap.add_argument("--cache", default=default_cache_dir())
    ap.add_argument("--arch", choices=sorted(MACHINES), default="amd64")
    ap.add_argument("--sysroot", action="append", default=[],
                    help="root tree with a foreign binary's libraries")
    ap.add_argument("binary")
    ap.add_argument("args", nargs=argparse.REMAINDER)
    opts = ap.parse_args(argv)
    prepare(opts.cache, opts.arch)
    work = tempfile.mkdtemp(prefix="flashvm-")
    stats = {}
    res = run_jobs(opts.binary, [{"name": "cli", "args": opts.args}],
                   opts.cache, work, stats=stats, sysroots=opts.sysroot,
                   machine="nor" if opts.arch == "nor" else None)[0]
    shutil.rmtree(work, ignore_errors=True)
    sys.stdout.buffer.write(res["stdout"])
    sys.stdout.flush()
    sys.stderr.buffer.write(res["stderr"])
    for line in res["syslog_lines"]:
        print("syslog: " + line, file=sys.stderr)
    for name, size, _ in FLASH:
        data = res["flash"][name]
        if data != b"\xff" * size:
            used = len(data.rstrip(b"\xff"))
            print("%s: changed, last non-0xff byte at 0x%x" % (name, used - 1),
                  file=sys.stderr)
    print("status %d, %.1f s in qemu" % (res["status"], stats["qemu_seconds"]),
          file=sys.stderr)
    return res["status"]


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
