// libflashsim: a flash simulator preloaded into every dynamically linked program of a run
// (flashtool, the shell, dd, cat, Python, mtd-utils...). This file holds the C library
// entry points it interposes, each a thin call into the device layer, and the table of the
// calls a device descriptor answers; flashsim.h lists the other parts. A statically linked
// program does not load it and sees the machine's real /dev/mtdN, if any.
//
// Serves /dev/<name> from the backing file FLASHSIM_DIR/<name>, or /dev/mtd0../dev/mtdN as
// slices of one whole-flash image FLASHSIM_IMAGE (the layout's, 4 MiB by default), as the
// kernel's MTD character
// device serves them: reads stop at the device end, writes that reach the end come back
// short (ENOSPC at the end itself), lseek past the end fails with EINVAL, MEMERASE and
// MEMERASE64 fill 0xFF and refuse ranges past the end or unaligned to the erase size
// (EINVAL) and read-only descriptors (EPERM). Served: open, openat, creat and their 64-bit
// and fortified forms; read, write, pread, pwrite, readv, writev, preadv, pwritev and their
// 64-bit and v2 forms; lseek; dup, dup2, dup3, F_DUPFD (a duplicate shares the position,
// also in a process started by exec: see device.cpp); stat, lstat, fstat, fstatat, statx
// and the __xstat forms (a character device, major 90, minor 2N, size 0, block size
// 4096); access; byte-range and OFD locks (an image's slices never meet); MEMGETINFO,
// MEMGETREGIONCOUNT, MEMGETBADBLOCK, ECCGETSTATS; stdio streams (fopen, fdopen); and
// /proc/mtd. Refused as the kernel refuses them on an MTD device: mmap (ENODEV),
// ftruncate and truncate (EINVAL), fallocate (ENODEV), copy_file_range, sendfile, splice,
// tee (EINVAL), fsync and fdatasync (EINVAL), sync_file_range (ESPIPE). Fails closed:
// fchmod, fchown, fsetxattr (EPERM; a node has no extended attributes: fremovexattr
// ENODATA), fchdir (ENOTDIR), readahead (EINVAL), any other fcntl
// command (EINVAL) or ioctl request (ENOTTY, or EOPNOTSUPP for OOB, OTP and lock
// requests), freopen onto a device (EOPNOTSUPP); the backing files never change size and
// change only through a simulated write or erase.
// Names under /dev starting with "mtd" that have no backing file do not exist; other /dev
// names pass through.
//
// A write behaves as on NOR flash under the kernel's CFI driver (cfi_cmdset_0002, bank
// width 1): it can only clear bits; at the first byte that needs a bit to go from 0 to 1 it
// stops and fails with EIO, that byte and the ones before it stored as old AND new. Only an
// erase sets bits again. MEMGETINFO answers MTD_NORFLASH, MTD_CAP_NORFLASH, write size 1.
// FLASHSIM_RAM=1 makes a write overwrite and MEMGETINFO answer MTD_RAM and MTD_CAP_RAM, as
// the kernel's block2mtd driver does.
//
// Environment:
//   FLASHSIM_DIR     folder of backing files; FLASHSIM_DIR/<name>.erasesize overrides the
//                    erase size (default 8192 for mtd0, 65536 for every other device)
//   FLASHSIM_IMAGE   one whole-flash file, the layout's devices in order, used instead of
//                    FLASHSIM_DIR; in the device's layout 4194304 bytes: mtd0 at 0x0
//                    (0x20000 bytes), mtd1 at 0x20000 (0xE0000), mtd2 at 0x100000
//                    (0x290000), mtd3 at 0x390000 (0x70000)
//   FLASHSIM_LAYOUT  a layout file in the /proc/mtd form instead of the device's layout:
//                    an optional "dev:    size   erasesize  name" header, then one
//                    'mtdN: SIZE ERASESIZE "NAME"' row per device in flash order from mtd0
//                    (hexadecimal; erase sizes powers of two of at least 0x1000, sizes
//                    nonzero multiples of them). It gives the image's slices, the erase
//                    sizes of a FLASHSIM_DIR's devices and the names in /proc/mtd; a bad
//                    file ends the run as a bad FLASHSIM_FAULTS does. The launcher reads a
//                    layout through the exported flashsim_layout(path, out, size)
//   FLASHSIM_RAM=1   writes overwrite (block2mtd) instead of clearing bits (NOR); any other
//                    value is NOR
//   FLASHSIM_NOR=and a NOR write that needs a bit set stores old AND new silently instead
//                    of failing with EIO (the simulator's behaviour before it followed the
//                    CFI driver)
//   FLASHSIM_DELAY_US every device write takes this many microseconds more (a slow chip)
//   FLASHSIM_RUN     folder of a run of several processes, set by the flashsim launcher:
//                    operations are numbered across every process of the run and done one
//                    at a time in the order of their numbers (one chip), and every
//                    process enters its pid in the run's member table (run.cpp) when it
//                    starts and when it forks. A power cut (kill-after, torn) kills every
//                    member (and its own process group), whatever its group or session,
//                    having stopped them all first, and leaves the power
//                    off: a process that starts or takes an operation number afterwards
//                    dies at once, so every operation up to the cut has landed and none
//                    after it. A campaign holds the run after a chosen operation through
//                    the same page (run.cpp): a process
//                    whose operation number is past the hold waits before the operation
//   FLASHSIM_WRITTEN outside a run, a page like the run's that gets a bit set for each
//                    64 KiB piece of a backing file written (run.cpp; the map has as many
//                    bits as the flash has pieces): a campaign's check says so what it
//                    changed on its copy of the flash
//   FLASHSIM_BASE    with FLASHSIM_IMAGE, the image's base: FLASHSIM_IMAGE is an overlay
//                    that holds only the pieces its map IMAGE.pieces marks, every other
//                    piece is read from the base and copied in before it is written (a
//                    campaign's check copies). In a run, IMAGE.pieces (when the launcher
//                    made one) gets the pieces the run writes, so that the launcher puts
//                    back only those
//   FLASHSIM_LOG     file that receives one line per open, erase, close and syslog call
//   FLASHSIM_FAULTS  faults separated by commas (blanks around each allowed, blanks alone
//                    refused), read strictly when a process starts: a bad
//                    list prints "flashsim: bad fault 'ITEM': REASON", marks the run
//                    broken, kills its other processes and exits with status 2. The
//                    launcher checks a list with the same rules through the exported
//                    flashsim_check_faults_on(list, layout, message, size), and asks the
//                    library for a cut point's fault (flashsim_cut_fault) and a plain
//                    run's --torn list (flashsim_torn_faults): it never writes one itself.
//     erase-fail:DEV:N      the Nth MEMERASE on DEV fails with EIO
//     write-fail:DEV:OFF    a write covering device offset OFF fails with EIO
//     write-short:DEV:OFF   a write covering OFF stops just before it
//     read-fail:DEV:OFF     a read covering OFF fails with EIO
//     read-short:DEV:OFF    a read covering OFF stops just before it
//     lseek-fail:DEV:N      the Nth lseek on DEV fails with EINVAL
//     close-fail:DEV:N      the Nth close of DEV fails with EIO (the descriptor is closed)
//     missing:DEV           opening DEV fails with ENOENT
//     readonly:DEV          opening DEV for writing fails with EACCES
//     kill-after:N          power cut: SIGKILL right after the Nth device operation (of
//                           several cuts, kill-after or torn, the first one falls)
//     torn:N:SEED           power cut inside operation N: an erase leaves its first blocks
//                           erased, the next one partly erased and the rest untouched; a
//                           write leaves a prefix programmed and the next byte partly
//                           programmed; other operations are cut before they start. SEED
//                           and N decide how much and which bits (model.h: torn_seed,
//                           tear_write, torn_erase_blocks); FLASHSIM_LOG gets
//                           "torn N KIND DEVICE DONE TOTAL UNIT"
//     hup-after:N           SIGHUP right after the Nth device operation
//     fail-op:N             the Nth device operation fails (EINVAL for lseek, else EIO)
//     short-op:N            the Nth device operation, a read or write, moves half its bytes
//     stop-before:N         SIGSTOP right before the Nth device operation: a test holds a
//                           run mid-write and lets it go on with SIGCONT
//   FLASHSIM_TRACE=1 also logs every device operation as
//     "op N PID KIND DEVICE OFFSET COMMAND-LINE"
//   with OFFSET the device offset the operation starts at (0 for open, close and getinfo).
//   Offsets and counts are decimal or 0x-prefixed hexadecimal. Operations are numbered per
//   process, or across the run when FLASHSIM_RUN is set.
//   The calls that make a file durable are logged as "fsync PATH" (fsync, fdatasync) and
//   "rename OLD NEW" (rename, renameat, renameat2; a name relative to a folder descriptor
//   shown as a path under that folder); FLASHSIM_RENAME_FAIL=1 refuses every
//   rename with EBUSY, as the kernel refuses one over a mount point.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "flashsim.h"

// The C library's report of a fortified call given a buffer too small.
extern "C" [[noreturn]] void __chk_fail();

using namespace flashsim;

namespace {

// The first of the descriptors that is a device, or nullptr.
template <typename... Fds>
Device* device_among(Fds... fds)
{
    Device* found = nullptr;
    ((found = found != nullptr ? found : device_of(fds)), ...);
    return found;
}

// A vectored transfer is one device operation: gathered into or scattered from one
// buffer. offset -1: at the position, which moves on; -2: a negative offset (EINVAL).
long long vector_offset(long long offset, bool v2)
{
    return v2 && offset == -1 ? -1 : offset < 0 ? -2 : offset;
}

std::size_t vector_size(const Device& dev, const iovec* iov, int count, long long offset, int flags)
{
    if (count < 0 || count > IOV_MAX || offset == -2 || (flags & ~RWF_HIPRI) != 0) {
        errno = count < 0 || count > IOV_MAX || offset == -2 ? EINVAL : EOPNOTSUPP;
        return SIZE_MAX;
    }
    std::size_t total = 0;
    for (int i = 0; i < count; ++i) {
        total += iov[i].iov_len;
    }
    // No transfer moves more than the device holds.
    return total < dev.size + 1 ? total : static_cast<std::size_t>(dev.size + 1);
}

ssize_t vector_read(Device& dev, int fd, const iovec* iov, int count, long long offset, int flags)
{
    const std::size_t size = vector_size(dev, iov, count, offset, flags);
    Buffer buffer(size == SIZE_MAX ? 0 : size);
    if (size == SIZE_MAX || buffer.bytes == nullptr) {
        return size == SIZE_MAX ? -1 : refuse(ENOMEM);
    }
    const ssize_t n = device_read(dev, fd, buffer.bytes, size, offset < 0 ? 0 : offset, offset == -1);
    std::size_t done = 0;
    for (int i = 0; i < count && n > 0 && done < static_cast<std::size_t>(n); ++i) {
        const std::size_t part = iov[i].iov_len < static_cast<std::size_t>(n) - done ? iov[i].iov_len : static_cast<std::size_t>(n) - done;
        std::memcpy(iov[i].iov_base, buffer.bytes + done, part);
        done += part;
    }
    return n;
}

ssize_t vector_write(Device& dev, int fd, const iovec* iov, int count, long long offset, int flags)
{
    const std::size_t size = vector_size(dev, iov, count, offset, flags);
    Buffer buffer(size == SIZE_MAX ? 0 : size);
    if (size == SIZE_MAX || buffer.bytes == nullptr) {
        return size == SIZE_MAX ? -1 : refuse(ENOMEM);
    }
    std::size_t done = 0;
    for (int i = 0; i < count && done < size; ++i) {
        const std::size_t part = iov[i].iov_len < size - done ? iov[i].iov_len : size - done;
        std::memcpy(buffer.bytes + done, iov[i].iov_base, part);
        done += part;
    }
    return device_write(dev, fd, buffer.bytes, size, offset < 0 ? 0 : offset, offset == -1);
}

// Copies a device's status into the caller's structure, whichever its width.
template <typename Status>
int put_status(const struct stat64& from, Status* to)
{
    std::memset(to, 0, sizeof *to);
    to->st_dev = from.st_dev;
    to->st_ino = static_cast<decltype(to->st_ino)>(from.st_ino);
    to->st_mode = from.st_mode;
    to->st_nlink = from.st_nlink;
    to->st_uid = from.st_uid;
    to->st_gid = from.st_gid;
    to->st_rdev = from.st_rdev;
    to->st_blksize = from.st_blksize;
    to->st_atim = from.st_atim;
    to->st_mtim = from.st_mtim;
    to->st_ctim = from.st_ctim;
    return 0;
}

template <typename Status>
int fd_status(const Device& dev, int fd, Status* st)
{
    struct stat64 device {};
    device_status(dev, fd, device);
    return put_status(device, st);
}

template <typename Status, typename Pass>
int path_status_or(const char* path, Status* st, Pass pass)
{
    struct stat64 device {};
    const int served = path_status(path, device);
    return served == -2 ? pass() : served == 0 ? put_status(device, st) : served;
}

// The forms with a folder descriptor: an empty path with AT_EMPTY_PATH (or none at all)
// means the descriptor itself, which answers as fstat does; an absolute path as stat does.
bool names_itself(const char* path, int flags)
{
    return (path == nullptr || *path == '\0') && (flags & AT_EMPTY_PATH) != 0;
}

template <typename Status, typename Pass>
int at_status(int dirfd, const char* path, int flags, Status* st, Pass pass)
{
    if (names_itself(path, flags)) {
        const Device* dev = device_of(dirfd);
        return dev != nullptr ? fd_status(*dev, dirfd, st) : pass();
    }
    return path != nullptr && *path == '/' ? path_status_or(path, st, pass) : pass();
}

void fill_statx(const struct stat64& st, struct statx& out)
{
    std::memset(&out, 0, sizeof out);
    out.stx_mask = STATX_BASIC_STATS;
    out.stx_blksize = static_cast<std::uint32_t>(st.st_blksize);
    out.stx_nlink = static_cast<std::uint32_t>(st.st_nlink);
    out.stx_uid = st.st_uid;
    out.stx_gid = st.st_gid;
    out.stx_mode = static_cast<std::uint16_t>(st.st_mode);
    out.stx_ino = st.st_ino;
    out.stx_atime = {st.st_atim.tv_sec, static_cast<std::uint32_t>(st.st_atim.tv_nsec), 0};
    out.stx_mtime = {st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec), 0};
    out.stx_ctime = {st.st_ctim.tv_sec, static_cast<std::uint32_t>(st.st_ctim.tv_nsec), 0};
    out.stx_rdev_major = major(st.st_rdev);
    out.stx_rdev_minor = minor(st.st_rdev);
    out.stx_dev_major = major(st.st_dev);
    out.stx_dev_minor = minor(st.st_dev);
}

// stdio on a device: the C library's stdio reaches descriptors through its own internal
// calls, which the simulator cannot see, so a stream on a device is made of the
// simulator's calls (fopencookie); fileno() gives the descriptor.
FILE* device_stream(int fd, const char* mode)
{
    static const cookie_io_functions_t calls{
        [](void* c, char* b, size_t n) { return read(static_cast<int>(reinterpret_cast<std::intptr_t>(c)), b, n); },
        [](void* c, const char* b, size_t n) {
            return write(static_cast<int>(reinterpret_cast<std::intptr_t>(c)), b, n);
        },
        [](void* c, off64_t* position, int whence) {
            const off64_t at = lseek64(static_cast<int>(reinterpret_cast<std::intptr_t>(c)), *position, whence);
            *position = at < 0 ? *position : at;
            return at < 0 ? -1 : 0;
        },
        [](void* c) { return close(static_cast<int>(reinterpret_cast<std::intptr_t>(c))); }};
    FILE* stream = fopencookie(reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)), mode, calls);
    if (stream != nullptr) {
        stream->_fileno = fd;
    }
    return stream;
}

int stream_flags(const char* mode)
{
    int flags = std::strchr(mode, '+') != nullptr ? O_RDWR : *mode == 'r' ? O_RDONLY : O_WRONLY;
    flags |= *mode == 'w' ? O_CREAT | O_TRUNC : *mode == 'a' ? O_CREAT | O_APPEND : 0;
    flags |= std::strchr(mode, 'x') != nullptr ? O_EXCL : 0;
    flags |= std::strchr(mode, 'e') != nullptr ? O_CLOEXEC : 0;
    return flags;
}

template <typename Pass>
FILE* open_stream(const char* path, const char* mode, Pass pass)
{
    if (const int list = open_device_list(path, O_CLOEXEC); list >= 0) {
        return real<FILE* (*)(int, const char*)>("fdopen")(list, "r");
    }
    const int fd = mode != nullptr ? open_device(path, stream_flags(mode)) : -2;
    if (fd < 0) {
        return fd == -2 ? pass() : nullptr;
    }
    FILE* stream = device_stream(fd, mode);
    if (stream == nullptr) {
        const int saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

int open_common(const char* symbol, int dirfd, const char* path, int flags, mode_t mode, bool at)
{
    if (const int list = open_device_list(path, flags); list != -2) {
        return list;
    }
    if (const int served = open_device(path, flags); served != -2) {
        return served;
    }
    return at ? real<int (*)(int, const char*, int, ...)>(symbol)(dirfd, path, flags, mode)
              : real<int (*)(const char*, int, ...)>(symbol)(path, flags, mode);
}

mode_t mode_arg(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, unsigned)) : 0;
}

// lockf as the byte-range lock it is (device_lock).
int device_lockf(const Device& dev, int fd, int cmd, off64_t length)
{
    struct flock64 lock {};
    lock.l_whence = SEEK_CUR;
    lock.l_len = length;
    lock.l_type = cmd == F_ULOCK ? F_UNLCK : cmd == F_TEST ? F_RDLCK : F_WRLCK;
    if (cmd == F_TEST) {
        if (device_lock(dev, fd, F_GETLK64, lock) != 0) {
            return -1;
        }
        return lock.l_type == F_UNLCK || lock.l_pid == getpid() ? 0 : refuse(EACCES);
    }
    if (cmd != F_LOCK && cmd != F_TLOCK && cmd != F_ULOCK) {
        return refuse(EINVAL);
    }
    return device_lock(dev, fd, cmd == F_LOCK ? F_SETLKW64 : F_SETLK64, lock);
}

// A lock request of fcntl in either width, translated (device_lock).
template <typename Lock>
int lock_request(const Device& dev, int fd, int cmd64, Lock* lock)
{
    struct flock64 wide {};
    wide.l_type = lock->l_type;
    wide.l_whence = lock->l_whence;
    wide.l_start = lock->l_start;
    wide.l_len = lock->l_len;
    wide.l_pid = lock->l_pid;
    const int result = device_lock(dev, fd, cmd64, wide);
    if (result == 0 && (cmd64 == F_GETLK64 || cmd64 == F_OFD_GETLK)) {
        lock->l_type = wide.l_type;
        lock->l_whence = wide.l_whence;
        lock->l_start = static_cast<decltype(lock->l_start)>(wide.l_start);
        lock->l_len = static_cast<decltype(lock->l_len)>(wide.l_len);
        lock->l_pid = wide.l_pid;
    }
    return result;
}

// fcntl on a device: duplicates share the entry, locks are translated, the status flags
// keep the device's own; any other command fails with EINVAL.
int control(const char* symbol, int fd, int cmd, void* arg, bool wide)
{
    const auto pass = real<int (*)(int, int, ...)>(symbol);
    Device* dev = device_of(fd);
    if (dev == nullptr || cmd == F_GETFD || cmd == F_SETFD) {
        return pass(fd, cmd, arg);
    }
    if (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) {
        const int copy = pass(fd, cmd, arg);
        copy_device(fd, copy);
        return copy;
    }
    if (cmd == F_GETFL) {
        const int flags = pass(fd, cmd, arg);
        return flags < 0 || dev->readable ? flags : (flags & ~O_ACCMODE) | O_WRONLY;
    }
    if (cmd == F_SETFL) {
        // O_APPEND, O_ASYNC and O_DIRECT mean nothing here and never reach the backing file.
        const int value = static_cast<int>(reinterpret_cast<std::intptr_t>(arg));
        const int flags = pass(fd, F_GETFL, nullptr);
        return pass(fd, F_SETFL, reinterpret_cast<void*>(static_cast<std::intptr_t>((flags & ~O_NONBLOCK) | (value & O_NONBLOCK))));
    }
    if (cmd == F_GETSIG) {
        return 0;
    }
    if (cmd == F_OFD_GETLK || cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW || cmd == F_GETLK64 || cmd == F_SETLK64 ||
        cmd == F_SETLKW64) {
        return lock_request(*dev, fd, cmd, static_cast<struct flock64*>(arg));
    }
    if (cmd == F_GETLK || cmd == F_SETLK || cmd == F_SETLKW) {
        const int cmd64 = cmd == F_GETLK ? F_GETLK64 : cmd == F_SETLK ? F_SETLK64 : F_SETLKW64;
        return wide ? lock_request(*dev, fd, cmd64, static_cast<struct flock64*>(arg))
                    : lock_request(*dev, fd, cmd64, static_cast<struct flock*>(arg));
    }
    return refuse(EINVAL);
}

// Reopening a stream onto a device is not served; any other path goes to the C library's
// own symbol.
FILE* reopen_stream(const char* symbol, const char* path, const char* mode, FILE* stream)
{
    struct stat64 st {};
    if (path != nullptr && path_status(path, st) != -2) {
        errno = EOPNOTSUPP;
        return nullptr;
    }
    return real<FILE* (*)(const char*, const char*, FILE*)>(symbol)(path, mode, stream);
}

}  // namespace

// Every call on descriptors that a device answers itself, with its answer (an expression
// over dev, the device found among the descriptors); off a device each goes to the C
// library. Besides these, only close, dup, fcntl, ioctl (below) and fsync, fdatasync
// (spies.cpp: EINVAL) are answered on a device. The kernel moves bytes between descriptors
// only through a driver's splice support, which the MTD character device lacks: EINVAL,
// and programs fall back to read and write. Mapping: the MTD character device maps only
// RAM and ROM devices that a map driver backs directly; NOR through the CFI driver gives
// ENODEV. Only a regular file is truncated; space is allocated only in regular files and
// block devices; advice changes nothing a program can see; the node's owner, mode and
// attributes are not the simulator's to change; writes reach the chip before they return,
// so sync_file_range (for files, block devices and folders) says ESPIPE.
//   name, type, parameters, arguments, descriptors, answer on a device
#define FLASHSIM_DEVICE_CALLS(X)                                                                                     \
    X(read, ssize_t, (int fd, void* b, size_t n), (fd, b, n), (fd), device_read(*dev, fd, b, n, 0, true))            \
    X(write, ssize_t, (int fd, const void* b, size_t n), (fd, b, n), (fd), device_write(*dev, fd, b, n, 0, true))    \
    X(pread, ssize_t, (int fd, void* b, size_t n, off_t o), (fd, b, n, o), (fd), device_read(*dev, fd, b, n, o, false)) \
    X(pread64, ssize_t, (int fd, void* b, size_t n, off64_t o), (fd, b, n, o), (fd),                                \
      device_read(*dev, fd, b, n, o, false))                                                                          \
    X(pwrite, ssize_t, (int fd, const void* b, size_t n, off_t o), (fd, b, n, o), (fd),                              \
      device_write(*dev, fd, b, n, o, false))                                                                         \
    X(pwrite64, ssize_t, (int fd, const void* b, size_t n, off64_t o), (fd, b, n, o), (fd),                          \
      device_write(*dev, fd, b, n, o, false))                                                                         \
    X(readv, ssize_t, (int fd, const iovec* v, int c), (fd, v, c), (fd), vector_read(*dev, fd, v, c, -1, 0))         \
    X(writev, ssize_t, (int fd, const iovec* v, int c), (fd, v, c), (fd), vector_write(*dev, fd, v, c, -1, 0))       \
    X(preadv, ssize_t, (int fd, const iovec* v, int c, off_t o), (fd, v, c, o), (fd),                                \
      vector_read(*dev, fd, v, c, vector_offset(o, false), 0))                                                        \
    X(preadv64, ssize_t, (int fd, const iovec* v, int c, off64_t o), (fd, v, c, o), (fd),                            \
      vector_read(*dev, fd, v, c, vector_offset(o, false), 0))                                                        \
    X(pwritev, ssize_t, (int fd, const iovec* v, int c, off_t o), (fd, v, c, o), (fd),                               \
      vector_write(*dev, fd, v, c, vector_offset(o, false), 0))                                                       \
    X(pwritev64, ssize_t, (int fd, const iovec* v, int c, off64_t o), (fd, v, c, o), (fd),                           \
      vector_write(*dev, fd, v, c, vector_offset(o, false), 0))                                                       \
    X(preadv2, ssize_t, (int fd, const iovec* v, int c, off_t o, int f), (fd, v, c, o, f), (fd),                     \
      vector_read(*dev, fd, v, c, vector_offset(o, true), f))                                                         \
    X(preadv64v2, ssize_t, (int fd, const iovec* v, int c, off64_t o, int f), (fd, v, c, o, f), (fd),                \
      vector_read(*dev, fd, v, c, vector_offset(o, true), f))                                                         \
    X(pwritev2, ssize_t, (int fd, const iovec* v, int c, off_t o, int f), (fd, v, c, o, f), (fd),                    \
      vector_write(*dev, fd, v, c, vector_offset(o, true), f))                                                        \
    X(pwritev64v2, ssize_t, (int fd, const iovec* v, int c, off64_t o, int f), (fd, v, c, o, f), (fd),               \
      vector_write(*dev, fd, v, c, vector_offset(o, true), f))                                                        \
    X(lseek, off_t, (int fd, off_t o, int w), (fd, o, w), (fd), static_cast<off_t>(device_lseek(*dev, fd, o, w)))    \
    X(lseek64, off64_t, (int fd, off64_t o, int w), (fd, o, w), (fd), device_lseek(*dev, fd, o, w))                  \
    X(fstat, int, (int fd, struct stat* st), (fd, st), (fd), fd_status(*dev, fd, st))                                \
    X(fstat64, int, (int fd, struct stat64* st), (fd, st), (fd), fd_status(*dev, fd, st))                            \
    X(__fxstat, int, (int v, int fd, struct stat* st), (v, fd, st), (fd), fd_status(*dev, fd, st))                   \
    X(__fxstat64, int, (int v, int fd, struct stat64* st), (v, fd, st), (fd), fd_status(*dev, fd, st))               \
    X(fdopen, FILE*, (int fd, const char* m), (fd, m), (fd), device_stream(fd, m))                                   \
    X(lockf, int, (int fd, int c, off_t n), (fd, c, n), (fd), device_lockf(*dev, fd, c, n))                          \
    X(lockf64, int, (int fd, int c, off64_t n), (fd, c, n), (fd), device_lockf(*dev, fd, c, n))                      \
    X(mmap, void*, (void* a, size_t n, int p, int f, int fd, off_t o), (a, n, p, f, fd, o),                          \
      ((f & MAP_ANONYMOUS) != 0 ? -1 : fd), (errno = ENODEV, MAP_FAILED))                                           \
    X(mmap64, void*, (void* a, size_t n, int p, int f, int fd, off64_t o), (a, n, p, f, fd, o),                      \
      ((f & MAP_ANONYMOUS) != 0 ? -1 : fd), (errno = ENODEV, MAP_FAILED))                                           \
    X(ftruncate, int, (int fd, off_t n), (fd, n), (fd), refuse(EINVAL))                                              \
    X(ftruncate64, int, (int fd, off64_t n), (fd, n), (fd), refuse(EINVAL))                                          \
    X(fallocate, int, (int fd, int m, off_t o, off_t n), (fd, m, o, n), (fd), refuse(dev->writable ? ENODEV : EBADF)) \
    X(fallocate64, int, (int fd, int m, off64_t o, off64_t n), (fd, m, o, n), (fd),                                  \
      refuse(dev->writable ? ENODEV : EBADF))                                                                         \
    X(posix_fallocate, int, (int fd, off_t o, off_t n), (fd, o, n), (fd), dev->writable ? ENODEV : EBADF)            \
    X(posix_fallocate64, int, (int fd, off64_t o, off64_t n), (fd, o, n), (fd), dev->writable ? ENODEV : EBADF)      \
    X(posix_fadvise, int, (int fd, off_t o, off_t n, int a), (fd, o, n, a), (fd), 0)                                 \
    X(posix_fadvise64, int, (int fd, off64_t o, off64_t n, int a), (fd, o, n, a), (fd), 0)                           \
    X(readahead, ssize_t, (int fd, off64_t o, size_t n), (fd, o, n), (fd), refuse(EINVAL))                           \
    X(copy_file_range, ssize_t, (int i, off64_t* a, int o, off64_t* b, size_t n, unsigned f), (i, a, o, b, n, f),    \
      (i, o), refuse(EINVAL))                                                                                         \
    X(sendfile, ssize_t, (int o, int i, off_t* a, size_t n), (o, i, a, n), (i, o), refuse(EINVAL))                   \
    X(sendfile64, ssize_t, (int o, int i, off64_t* a, size_t n), (o, i, a, n), (i, o), refuse(EINVAL))               \
    X(splice, ssize_t, (int i, off64_t* a, int o, off64_t* b, size_t n, unsigned f), (i, a, o, b, n, f), (i, o),     \
      refuse(EINVAL))                                                                                                 \
    X(tee, ssize_t, (int i, int o, size_t n, unsigned f), (i, o, n, f), (i, o), refuse(EINVAL))                      \
    X(sync_file_range, int, (int fd, off64_t o, off64_t n, unsigned f), (fd, o, n, f), (fd), refuse(ESPIPE))         \
    X(fchmod, int, (int fd, mode_t m), (fd, m), (fd), refuse(EPERM))                                                 \
    X(fchown, int, (int fd, uid_t u, gid_t g), (fd, u, g), (fd), refuse(EPERM))                                      \
    X(fchdir, int, (int fd), (fd), (fd), refuse(ENOTDIR))                                                            \
    X(fgetxattr, ssize_t, (int fd, const char* k, void* v, size_t n), (fd, k, v, n), (fd), refuse(ENODATA))          \
    X(flistxattr, ssize_t, (int fd, char* l, size_t n), (fd, l, n), (fd), 0)                                         \
    X(fsetxattr, int, (int fd, const char* k, const void* v, size_t n, int f), (fd, k, v, n, f), (fd), refuse(EPERM)) \
    X(fremovexattr, int, (int fd, const char* k), (fd, k), (fd), refuse(ENODATA))

#define FLASHSIM_ANSWER(name, type, parameters, arguments, fds, answer)                                              \
    type name parameters                                                                                             \
    {                                                                                                                \
        if ([[maybe_unused]] Device* dev = device_among fds) {                                                                        \
            return answer;                                                                                           \
        }                                                                                                            \
        return real<type(*) parameters>(#name) arguments;                                                            \
    }

// The status and access calls by path (the forms of C libraries older than 2.33 too):
//   name, parameters, arguments (the path is p, the status st)
#define FLASHSIM_PATH_STATUS(X)                                                                                      \
    X(stat, (const char* p, struct stat* st), (p, st))                                                               \
    X(stat64, (const char* p, struct stat64* st), (p, st))                                                           \
    X(lstat, (const char* p, struct stat* st), (p, st))                                                              \
    X(lstat64, (const char* p, struct stat64* st), (p, st))                                                          \
    X(__xstat, (int v, const char* p, struct stat* st), (v, p, st))                                                  \
    X(__xstat64, (int v, const char* p, struct stat64* st), (v, p, st))                                              \
    X(__lxstat, (int v, const char* p, struct stat* st), (v, p, st))                                                 \
    X(__lxstat64, (int v, const char* p, struct stat64* st), (v, p, st))

#define FLASHSIM_PATH_ANSWER(name, parameters, arguments)                                                            \
    int name parameters                                                                                              \
    {                                                                                                                \
        return path_status_or(p, st, [&] { return real<int(*) parameters>(#name) arguments; });                     \
    }

//   name, parameters, arguments (the folder d, the path p, the status st, the flags f)
#define FLASHSIM_AT_STATUS(X)                                                                                        \
    X(fstatat, (int d, const char* p, struct stat* st, int f), (d, p, st, f))                                        \
    X(fstatat64, (int d, const char* p, struct stat64* st, int f), (d, p, st, f))                                    \
    X(__fxstatat, (int v, int d, const char* p, struct stat* st, int f), (v, d, p, st, f))                           \
    X(__fxstatat64, (int v, int d, const char* p, struct stat64* st, int f), (v, d, p, st, f))

#define FLASHSIM_AT_ANSWER(name, parameters, arguments)                                                              \
    int name parameters                                                                                              \
    {                                                                                                                \
        return at_status(d, p, f, st, [&] { return real<int(*) parameters>(#name) arguments; });                    \
    }

// The interposed entry points are the library's only exported symbols.
#pragma GCC visibility push(default)
extern "C" {

FLASHSIM_DEVICE_CALLS(FLASHSIM_ANSWER)
FLASHSIM_PATH_STATUS(FLASHSIM_PATH_ANSWER)
FLASHSIM_AT_STATUS(FLASHSIM_AT_ANSWER)

// ---- Opens -----------------------------------------------------------------------------

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_arg(flags, args);
    va_end(args);
    return open_common("open", AT_FDCWD, path, flags, mode, false);
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_arg(flags, args);
    va_end(args);
    return open_common("open64", AT_FDCWD, path, flags, mode, false);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_arg(flags, args);
    va_end(args);
    return open_common("openat", dirfd, path, flags, mode, true);
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_arg(flags, args);
    va_end(args);
    return open_common("openat64", dirfd, path, flags, mode, true);
}

int __open_2(const char* path, int flags)
{
    return open_common("__open_2", AT_FDCWD, path, flags, 0, false);
}

int __open64_2(const char* path, int flags)
{
    return open_common("__open64_2", AT_FDCWD, path, flags, 0, false);
}

int __openat_2(int dirfd, const char* path, int flags)
{
    return open_common("__openat_2", dirfd, path, flags, 0, true);
}

int __openat64_2(int dirfd, const char* path, int flags)
{
    return open_common("__openat64_2", dirfd, path, flags, 0, true);
}

int creat(const char* path, mode_t mode)
{
    return open_common("open", AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode, false);
}

int creat64(const char* path, mode_t mode)
{
    return open_common("open64", AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode, false);
}

FILE* fopen(const char* path, const char* mode)
{
    return open_stream(path, mode, [&] { return real<FILE* (*)(const char*, const char*)>("fopen")(path, mode); });
}

FILE* fopen64(const char* path, const char* mode)
{
    return open_stream(path, mode, [&] { return real<FILE* (*)(const char*, const char*)>("fopen64")(path, mode); });
}

FILE* freopen(const char* path, const char* mode, FILE* stream)
{
    return reopen_stream("freopen", path, mode, stream);
}

FILE* freopen64(const char* path, const char* mode, FILE* stream)
{
    return reopen_stream("freopen64", path, mode, stream);
}

// ---- Transfers: the fortified forms (_FORTIFY_SOURCE) that programs call when the
// buffer's size is known; the C library's own would reach the backing file. ------------

ssize_t __read_chk(int fd, void* buffer, size_t count, size_t size)
{
    if (count > size) {
        __chk_fail();
    }
    return read(fd, buffer, count);
}

ssize_t __pread_chk(int fd, void* buffer, size_t count, off_t offset, size_t size)
{
    if (count > size) {
        __chk_fail();
    }
    return pread(fd, buffer, count, offset);
}

ssize_t __pread64_chk(int fd, void* buffer, size_t count, off64_t offset, size_t size)
{
    if (count > size) {
        __chk_fail();
    }
    return pread64(fd, buffer, count, offset);
}

// ---- Descriptors and requests ------------------------------------------------------------

int close(int fd)
{
    if (device_of(fd) != nullptr) {
        return device_close(fd);
    }
    forget_device(fd);
    return real<int (*)(int)>("close")(fd);
}

int dup(int fd)
{
    const int copy = real<int (*)(int)>("dup")(fd);
    copy_device(fd, copy);
    return copy;
}

int dup2(int fd, int to)
{
    const int copy = real<int (*)(int, int)>("dup2")(fd, to);
    if (copy != fd) {
        copy_device(fd, copy);
    }
    return copy;
}

int dup3(int fd, int to, int flags)
{
    const int copy = real<int (*)(int, int, int)>("dup3")(fd, to, flags);
    copy_device(fd, copy);
    return copy;
}

int fcntl(int fd, int cmd, ...)
{
    va_list args;
    va_start(args, cmd);
    void* arg = va_arg(args, void*);
    va_end(args);
    return control("fcntl", fd, cmd, arg, false);
}

int fcntl64(int fd, int cmd, ...)
{
    va_list args;
    va_start(args, cmd);
    void* arg = va_arg(args, void*);
    va_end(args);
    return control("fcntl64", fd, cmd, arg, true);
}

// flock() is not interposed: on a device it locks the backing file, a device of
// FLASHSIM_DIR alone, every device of an image together (they share the lock, so two
// holders of any of them never overlap).

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (Device* dev = device_of(fd)) {
        return device_ioctl(*dev, fd, request, arg);
    }
    return real<int (*)(int, unsigned long, ...)>("ioctl")(fd, request, arg);
}

// ---- Status, access, attributes by path ------------------------------------------------

int statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* out)
{
    struct stat64 st {};
    int served = -2;
    if (names_itself(path, flags)) {
        if (const Device* dev = device_of(dirfd)) {
            device_status(*dev, dirfd, st);
            served = 0;
        }
    } else if (*path == '/') {
        served = path_status(path, st);
    }
    if (served == 0) {
        fill_statx(st, *out);
    }
    return served != -2 ? served
                        : real<int (*)(int, const char*, int, unsigned, struct statx*)>("statx")(dirfd, path, flags, mask, out);
}

int access(const char* path, int mode)
{
    const int served = path_access(path, mode);
    return served != -2 ? served : real<int (*)(const char*, int)>("access")(path, mode);
}

int faccessat(int dirfd, const char* path, int mode, int flags)
{
    const int served = *path == '/' ? path_access(path, mode) : -2;
    return served != -2 ? served : real<int (*)(int, const char*, int, int)>("faccessat")(dirfd, path, mode, flags);
}

int euidaccess(const char* path, int mode)
{
    const int served = path_access(path, mode);
    return served != -2 ? served : real<int (*)(const char*, int)>("euidaccess")(path, mode);
}

int eaccess(const char* path, int mode)
{
    return euidaccess(path, mode);
}

// Only a regular file is truncated: EINVAL (ENOENT for a device that does not exist).
int truncate(const char* path, off_t length)
{
    struct stat64 st {};
    const int served = path_status(path, st);
    return served != -2 ? refuse(served == 0 ? EINVAL : ENOENT)
                        : real<int (*)(const char*, off_t)>("truncate")(path, length);
}

int truncate64(const char* path, off64_t length)
{
    struct stat64 st {};
    const int served = path_status(path, st);
    return served != -2 ? refuse(served == 0 ? EINVAL : ENOENT)
                        : real<int (*)(const char*, off64_t)>("truncate64")(path, length);
}

// Extended attributes: a device node has none here.
ssize_t getxattr(const char* path, const char* name, void* value, size_t size)
{
    struct stat64 st {};
    const int served = path_status(path, st);
    return served != -2 ? refuse(served == 0 ? ENODATA : ENOENT)
                        : real<ssize_t (*)(const char*, const char*, void*, size_t)>("getxattr")(path, name, value, size);
}

ssize_t lgetxattr(const char* path, const char* name, void* value, size_t size)
{
    struct stat64 st {};
    const int served = path_status(path, st);
    return served != -2 ? refuse(served == 0 ? ENODATA : ENOENT)
                        : real<ssize_t (*)(const char*, const char*, void*, size_t)>("lgetxattr")(path, name, value, size);
}

ssize_t listxattr(const char* path, char* list, size_t size)
{
    struct stat64 st {};
    const int served = path_status(path, st);
    return served != -2 ? served : real<ssize_t (*)(const char*, char*, size_t)>("listxattr")(path, list, size);
}

ssize_t llistxattr(const char* path, char* list, size_t size)
{
    struct stat64 st {};
    const int served = path_status(path, st);
    return served != -2 ? served : real<ssize_t (*)(const char*, char*, size_t)>("llistxattr")(path, list, size);
}

}  // extern "C"
#pragma GCC visibility pop
