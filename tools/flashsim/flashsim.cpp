// libflashsim: a flash simulator preloaded into every dynamically linked program of a run
// (flashtool, the shell, dd, cat, Python, mtd-utils...). This file holds the C library
// entry points it interposes; flashsim.h lists the other parts. A statically linked
// program does not load it and sees the machine's real /dev/mtdN, if any.
//
// Serves /dev/<name> from the backing file FLASHSIM_DIR/<name>, or /dev/mtd0../dev/mtd3 as
// slices of one 4 MiB whole-flash image FLASHSIM_IMAGE, as the kernel's MTD character
// device serves them: reads stop at the device end, writes that reach the end come back
// short (ENOSPC at the end itself), lseek past the end fails with EINVAL, MEMERASE and
// MEMERASE64 fill 0xFF and refuse ranges past the end or unaligned to the erase size
// (EINVAL) and read-only descriptors (EPERM). Served: open, openat, creat and their 64-bit
// and fortified forms; read, write, pread, pwrite, readv, writev, preadv, pwritev and their
// 64-bit and v2 forms; lseek; dup, dup2, dup3, F_DUPFD (a duplicate shares the position,
// also in a process started by exec: see devices.cpp); stat, lstat, fstat, fstatat, statx
// and the __xstat forms (a character device, major 90, minor 2N, size 0, block size
// 4096); access; byte-range and OFD locks (an image's slices never meet); MEMGETINFO,
// MEMGETREGIONCOUNT, MEMGETBADBLOCK, ECCGETSTATS; stdio streams (fopen, fdopen); and
// /proc/mtd. Refused as the kernel refuses them on an MTD device: mmap (ENODEV),
// ftruncate and truncate (EINVAL), fallocate (ENODEV), copy_file_range, sendfile, splice,
// tee (EINVAL), fsync and fdatasync (EINVAL), sync_file_range (ESPIPE). Fails closed:
// fchmod, fchown, fsetxattr (EPERM; a node has no extended attributes), any other fcntl
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
//   FLASHSIM_IMAGE   one 4194304-byte file in the device's layout, used instead of
//                    FLASHSIM_DIR: mtd0 at 0x0 (0x20000 bytes), mtd1 at 0x20000 (0xE0000),
//                    mtd2 at 0x100000 (0x290000), mtd3 at 0x390000 (0x70000)
//   FLASHSIM_RAM=1   writes overwrite (block2mtd) instead of clearing bits (NOR); any other
//                    value is NOR
//   FLASHSIM_NOR=and a NOR write that needs a bit set stores old AND new silently instead
//                    of failing with EIO (the simulator's behaviour before it followed the
//                    CFI driver)
//   FLASHSIM_RUN     folder of a run of several processes, set by the flashsim launcher:
//                    operations are numbered across every process of the run, and every
//                    process enters its pid in the run's member table (power.cpp) when it
//                    starts and when it forks. A power cut (kill-after, torn) kills every
//                    member, whatever its process group or session, and leaves the power
//                    off: a process that starts or takes an operation number afterwards
//                    dies at once, and one whose number follows the cut waits for it, so
//                    no operation numbered after the cut lands
//   FLASHSIM_LOG     file that receives one line per open, erase, close and syslog call
//   FLASHSIM_FAULTS  comma-separated faults, read strictly when a process starts: a bad
//                    list prints "flashsim: bad fault 'ITEM': REASON", marks the run
//                    broken, kills its other processes and exits with status 2. The
//                    launcher checks a list with the same rules through the exported
//                    flashsim_check_faults(list, message, size).
//     erase-fail:DEV:N      the Nth MEMERASE on DEV fails with EIO
//     write-fail:DEV:OFF    a write covering device offset OFF fails with EIO
//     write-short:DEV:OFF   a write covering OFF stops just before it
//     read-fail:DEV:OFF     a read covering OFF fails with EIO
//     read-short:DEV:OFF    a read covering OFF stops just before it
//     lseek-fail:DEV:N      the Nth lseek on DEV fails with EINVAL
//     close-fail:DEV:N      the Nth close of DEV fails with EIO (the descriptor is closed)
//     missing:DEV           opening DEV fails with ENOENT
//     readonly:DEV          opening DEV for writing fails with EACCES
//     kill-after:N          power cut: SIGKILL right after the Nth device operation
//     torn:N:SEED           power cut inside operation N: an erase leaves its first blocks
//                           erased, the next one partly erased and the rest untouched; a
//                           write leaves a prefix programmed and the next byte partly
//                           programmed; other operations are cut before they start. SEED
//                           decides how much and which bits (devices.cpp: tear_write,
//                           tear_erase); FLASHSIM_LOG gets
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
//   "rename OLD NEW" (rename, renameat, renameat2); FLASHSIM_RENAME_FAIL=1 refuses every
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <climits>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <linux/fs.h>

#include "flashsim.h"

// The C library's report of a fortified call given a buffer too small.
extern "C" [[noreturn]] void __chk_fail();

using namespace flashsim;

namespace {

int open_common(const char* symbol, int dirfd, const char* path, int flags, mode_t mode, bool at)
{
    if (const int list = open_device_list(path, flags); list != -2) {
        return list;
    }
    const int served = open_device(path, flags);
    if (served != -2) {
        return served;
    }
    if (at) {
        return real<int (*)(int, const char*, int, ...)>(symbol)(dirfd, path, flags, mode);
    }
    return real<int (*)(const char*, int, ...)>(symbol)(path, flags, mode);
}

mode_t mode_arg(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, unsigned)) : 0;
}

__attribute__((format(printf, 2, 0))) void format_syslog(int priority, const char* format, va_list args)
{
    char message[512];
    std::vsnprintf(message, sizeof message, format, args);
    log_line("syslog %d %s", priority, message);
}


int refuse(int error)
{
    errno = error;
    return -1;
}

// A vectored transfer is one device operation: gathered into or scattered from one
// buffer. offset -1: at the position, which moves on; -2: a negative offset (EINVAL).
struct Gathered {
    unsigned char* bytes = nullptr;
    std::size_t count = 0;
    Gathered(const Gathered&) = delete;
    Gathered& operator=(const Gathered&) = delete;
    Gathered() = default;
    ~Gathered() { std::free(bytes); }
};

bool gather_size(const Device& dev, const iovec* iov, int count, long long offset, int flags, Gathered& out)
{
    if (count < 0 || count > IOV_MAX || offset == -2) {
        errno = EINVAL;
        return false;
    }
    if ((flags & ~RWF_HIPRI) != 0) {
        errno = EOPNOTSUPP;
        return false;
    }
    for (int i = 0; i < count; ++i) {
        out.count += iov[i].iov_len;
    }
    // No transfer moves more than the device holds.
    out.count = out.count < dev.size + 1 ? out.count : static_cast<std::size_t>(dev.size + 1);
    out.bytes = static_cast<unsigned char*>(std::malloc(out.count + 1));
    if (out.bytes == nullptr) {
        errno = ENOMEM;
        return false;
    }
    return true;
}

ssize_t vector_read(Device& dev, int fd, const iovec* iov, int count, long long offset, int flags)
{
    Gathered buffer;
    if (!gather_size(dev, iov, count, offset, flags, buffer)) {
        return -1;
    }
    const ssize_t n = device_read_at(dev, fd, buffer.bytes, buffer.count, offset < 0 ? 0 : offset, offset == -1);
    std::size_t left = n > 0 ? static_cast<std::size_t>(n) : 0;
    for (int i = 0; i < count && left > 0; ++i) {
        const std::size_t part = iov[i].iov_len < left ? iov[i].iov_len : left;
        std::memcpy(iov[i].iov_base, buffer.bytes + (static_cast<std::size_t>(n) - left), part);
        left -= part;
    }
    return n;
}

ssize_t vector_write(Device& dev, int fd, const iovec* iov, int count, long long offset, int flags)
{
    Gathered buffer;
    if (!gather_size(dev, iov, count, offset, flags, buffer)) {
        return -1;
    }
    std::size_t done = 0;
    for (int i = 0; i < count && done < buffer.count; ++i) {
        const std::size_t part = iov[i].iov_len < buffer.count - done ? iov[i].iov_len : buffer.count - done;
        std::memcpy(buffer.bytes + done, iov[i].iov_base, part);
        done += part;
    }
    return device_write_at(dev, fd, buffer.bytes, buffer.count, offset < 0 ? 0 : offset, offset == -1);
}

// fcntl on a device: duplicates share the entry, locks are translated (device_lock),
// the status flags keep the device's own; any other command fails with EINVAL.
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

int control(const char* symbol, int fd, int cmd, void* arg, bool wide)
{
    const auto pass = real<int (*)(int, int, ...)>(symbol);
    Device* dev = device_of(fd);
    if (dev == nullptr) {
        return pass(fd, cmd, arg);
    }
    const auto value = static_cast<int>(reinterpret_cast<std::intptr_t>(arg));
    if (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) {
        const int copy = pass(fd, cmd, arg);
        if (copy >= 0) {
            copy_device(fd, copy);
        }
        return copy;
    }
    if (cmd == F_GETFD || cmd == F_SETFD) {
        return pass(fd, cmd, arg);
    }
    if (cmd == F_GETFL) {
        const int flags = pass(fd, cmd, arg);
        return flags < 0 || dev->readable ? flags : (flags & ~O_ACCMODE) | O_WRONLY;
    }
    if (cmd == F_SETFL) {
        // O_APPEND, O_ASYNC and O_DIRECT mean nothing here and never reach the backing file.
        const int flags = pass(fd, F_GETFL, nullptr);
        return pass(fd, F_SETFL, reinterpret_cast<void*>(static_cast<std::intptr_t>((flags & ~O_NONBLOCK) |
                                                                                      (value & O_NONBLOCK))));
    }
    if (cmd == F_GETSIG) {
        return 0;
    }
    if (cmd == F_OFD_GETLK || cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW || cmd == F_GETLK64 ||
        cmd == F_SETLK64 || cmd == F_SETLKW64) {
        return lock_request(*dev, fd, cmd, static_cast<struct flock64*>(arg));
    }
    if (cmd == F_GETLK || cmd == F_SETLK || cmd == F_SETLKW) {
        const int cmd64 = cmd == F_GETLK ? F_GETLK64 : cmd == F_SETLK ? F_SETLK64 : F_SETLKW64;
        return wide ? lock_request(*dev, fd, cmd64, static_cast<struct flock64*>(arg))
                    : lock_request(*dev, fd, cmd64, static_cast<struct flock*>(arg));
    }
    return refuse(EINVAL);
}

}  // namespace

// The interposed entry points are the library's only exported symbols.
#pragma GCC visibility push(default)
extern "C" {

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

// ---- Transfers ------------------------------------------------------------------------

ssize_t read(int fd, void* buffer, size_t count)
{
    if (Device* dev = device_of(fd)) {
        return device_read_at(*dev, fd, buffer, count, 0, true);
    }
    return real<ssize_t (*)(int, void*, size_t)>("read")(fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count)
{
    if (Device* dev = device_of(fd)) {
        return device_write_at(*dev, fd, buffer, count, 0, true);
    }
    return real<ssize_t (*)(int, const void*, size_t)>("write")(fd, buffer, count);
}

// The fortified forms (_FORTIFY_SOURCE) that programs call when the buffer's size is
// known: the C library's own would reach the backing file through its internal read.
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

ssize_t pread(int fd, void* buffer, size_t count, off_t offset)
{
    if (Device* dev = device_of(fd)) {
        return device_read_at(*dev, fd, buffer, count, offset, false);
    }
    return real<ssize_t (*)(int, void*, size_t, off_t)>("pread")(fd, buffer, count, offset);
}

ssize_t pread64(int fd, void* buffer, size_t count, off64_t offset)
{
    if (Device* dev = device_of(fd)) {
        return device_read_at(*dev, fd, buffer, count, offset, false);
    }
    return real<ssize_t (*)(int, void*, size_t, off64_t)>("pread64")(fd, buffer, count, offset);
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset)
{
    if (Device* dev = device_of(fd)) {
        return device_write_at(*dev, fd, buffer, count, offset, false);
    }
    return real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, buffer, count, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t count, off64_t offset)
{
    if (Device* dev = device_of(fd)) {
        return device_write_at(*dev, fd, buffer, count, offset, false);
    }
    return real<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64")(fd, buffer, count, offset);
}

ssize_t readv(int fd, const iovec* iov, int count)
{
    if (Device* dev = device_of(fd)) {
        return vector_read(*dev, fd, iov, count, -1, 0);
    }
    return real<ssize_t (*)(int, const iovec*, int)>("readv")(fd, iov, count);
}

ssize_t writev(int fd, const iovec* iov, int count)
{
    if (Device* dev = device_of(fd)) {
        return vector_write(*dev, fd, iov, count, -1, 0);
    }
    return real<ssize_t (*)(int, const iovec*, int)>("writev")(fd, iov, count);
}

ssize_t preadv(int fd, const iovec* iov, int count, off_t offset)
{
    if (Device* dev = device_of(fd)) {
        return vector_read(*dev, fd, iov, count, offset < 0 ? -2 : offset, 0);
    }
    return real<ssize_t (*)(int, const iovec*, int, off_t)>("preadv")(fd, iov, count, offset);
}

ssize_t preadv64(int fd, const iovec* iov, int count, off64_t offset)
{
    if (Device* dev = device_of(fd)) {
        return vector_read(*dev, fd, iov, count, offset < 0 ? -2 : offset, 0);
    }
    return real<ssize_t (*)(int, const iovec*, int, off64_t)>("preadv64")(fd, iov, count, offset);
}

ssize_t pwritev(int fd, const iovec* iov, int count, off_t offset)
{
    if (Device* dev = device_of(fd)) {
        return vector_write(*dev, fd, iov, count, offset < 0 ? -2 : offset, 0);
    }
    return real<ssize_t (*)(int, const iovec*, int, off_t)>("pwritev")(fd, iov, count, offset);
}

ssize_t pwritev64(int fd, const iovec* iov, int count, off64_t offset)
{
    if (Device* dev = device_of(fd)) {
        return vector_write(*dev, fd, iov, count, offset < 0 ? -2 : offset, 0);
    }
    return real<ssize_t (*)(int, const iovec*, int, off64_t)>("pwritev64")(fd, iov, count, offset);
}

// The v2 forms: an offset of -1 means the position.
ssize_t preadv2(int fd, const iovec* iov, int count, off_t offset, int flags)
{
    if (Device* dev = device_of(fd)) {
        return vector_read(*dev, fd, iov, count, offset == -1 ? -1 : offset < 0 ? -2 : offset, flags);
    }
    return real<ssize_t (*)(int, const iovec*, int, off_t, int)>("preadv2")(fd, iov, count, offset, flags);
}

ssize_t preadv64v2(int fd, const iovec* iov, int count, off64_t offset, int flags)
{
    if (Device* dev = device_of(fd)) {
        return vector_read(*dev, fd, iov, count, offset == -1 ? -1 : offset < 0 ? -2 : offset, flags);
    }
    return real<ssize_t (*)(int, const iovec*, int, off64_t, int)>("preadv64v2")(fd, iov, count, offset, flags);
}

ssize_t pwritev2(int fd, const iovec* iov, int count, off_t offset, int flags)
{
    if (Device* dev = device_of(fd)) {
        return vector_write(*dev, fd, iov, count, offset == -1 ? -1 : offset < 0 ? -2 : offset, flags);
    }
    return real<ssize_t (*)(int, const iovec*, int, off_t, int)>("pwritev2")(fd, iov, count, offset, flags);
}

ssize_t pwritev64v2(int fd, const iovec* iov, int count, off64_t offset, int flags)
{
    if (Device* dev = device_of(fd)) {
        return vector_write(*dev, fd, iov, count, offset == -1 ? -1 : offset < 0 ? -2 : offset, flags);
    }
    return real<ssize_t (*)(int, const iovec*, int, off64_t, int)>("pwritev64v2")(fd, iov, count, offset, flags);
}

// The kernel moves bytes between descriptors only through a driver's splice support,
// which the MTD character device lacks: EINVAL, and programs fall back to read and write.
ssize_t copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset, size_t count, unsigned flags)
{
    if (device_of(in) != nullptr || device_of(out) != nullptr) {
        return refuse(EINVAL);
    }
    return real<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned)>("copy_file_range")(
        in, in_offset, out, out_offset, count, flags);
}

ssize_t sendfile(int out, int in, off_t* offset, size_t count)
{
    if (device_of(in) != nullptr || device_of(out) != nullptr) {
        return refuse(EINVAL);
    }
    return real<ssize_t (*)(int, int, off_t*, size_t)>("sendfile")(out, in, offset, count);
}

ssize_t sendfile64(int out, int in, off64_t* offset, size_t count)
{
    if (device_of(in) != nullptr || device_of(out) != nullptr) {
        return refuse(EINVAL);
    }
    return real<ssize_t (*)(int, int, off64_t*, size_t)>("sendfile64")(out, in, offset, count);
}

ssize_t splice(int in, off64_t* in_offset, int out, off64_t* out_offset, size_t count, unsigned flags)
{
    if (device_of(in) != nullptr || device_of(out) != nullptr) {
        return refuse(EINVAL);
    }
    return real<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned)>("splice")(in, in_offset, out,
                                                                                       out_offset, count, flags);
}

ssize_t tee(int in, int out, size_t count, unsigned flags)
{
    if (device_of(in) != nullptr || device_of(out) != nullptr) {
        return refuse(EINVAL);
    }
    return real<ssize_t (*)(int, int, size_t, unsigned)>("tee")(in, out, count, flags);
}

// ---- Position, descriptors, requests ----------------------------------------------------

off_t lseek(int fd, off_t offset, int whence)
{
    if (Device* dev = device_of(fd)) {
        return static_cast<off_t>(device_lseek(*dev, fd, offset, whence));
    }
    return real<off_t (*)(int, off_t, int)>("lseek")(fd, offset, whence);
}

off64_t lseek64(int fd, off64_t offset, int whence)
{
    if (Device* dev = device_of(fd)) {
        return static_cast<off64_t>(device_lseek(*dev, fd, offset, whence));
    }
    return real<off64_t (*)(int, off64_t, int)>("lseek64")(fd, offset, whence);
}

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
    if (copy >= 0) {
        copy_device(fd, copy);
    }
    return copy;
}

int dup2(int fd, int to)
{
    const int copy = real<int (*)(int, int)>("dup2")(fd, to);
    if (copy >= 0 && copy != fd) {
        copy_device(fd, copy);
    }
    return copy;
}

int dup3(int fd, int to, int flags)
{
    const int copy = real<int (*)(int, int, int)>("dup3")(fd, to, flags);
    if (copy >= 0) {
        copy_device(fd, copy);
    }
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

int lockf(int fd, int cmd, off_t length)
{
    return lockf64(fd, cmd, length);
}

int lockf64(int fd, int cmd, off64_t length)
{
    Device* dev = device_of(fd);
    if (dev == nullptr) {
        return real<int (*)(int, int, off64_t)>("lockf64")(fd, cmd, length);
    }
    struct flock64 lock {};
    lock.l_whence = SEEK_CUR;
    lock.l_len = length;
    lock.l_type = cmd == F_ULOCK ? F_UNLCK : F_WRLCK;
    if (cmd == F_TEST) {
        lock.l_type = F_RDLCK;
        if (device_lock(*dev, fd, F_GETLK64, lock) != 0) {
            return -1;
        }
        return lock.l_type == F_UNLCK || lock.l_pid == getpid() ? 0 : refuse(EACCES);
    }
    if (cmd != F_LOCK && cmd != F_TLOCK && cmd != F_ULOCK) {
        return refuse(EINVAL);
    }
    return device_lock(*dev, fd, cmd == F_LOCK ? F_SETLKW64 : F_SETLK64, lock);
}

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

// ---- What the kernel refuses on an MTD character device ----------------------------------

// Mapping: the MTD character device maps only RAM and ROM devices that a map driver
// backs directly; NOR through the CFI driver gives ENODEV.
void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset)
{
    if ((flags & MAP_ANONYMOUS) == 0 && device_of(fd) != nullptr) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    return real<void* (*)(void*, size_t, int, int, int, off_t)>("mmap")(address, length, protection, flags, fd,
                                                                      offset);
}

void* mmap64(void* address, size_t length, int protection, int flags, int fd, off64_t offset)
{
    if ((flags & MAP_ANONYMOUS) == 0 && device_of(fd) != nullptr) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    return real<void* (*)(void*, size_t, int, int, int, off64_t)>("mmap64")(address, length, protection, flags,
                                                                          fd, offset);
}

// Only a regular file is truncated: EINVAL.
int ftruncate(int fd, off_t length)
{
    return device_of(fd) != nullptr ? refuse(EINVAL) : real<int (*)(int, off_t)>("ftruncate")(fd, length);
}

int ftruncate64(int fd, off64_t length)
{
    return device_of(fd) != nullptr ? refuse(EINVAL) : real<int (*)(int, off64_t)>("ftruncate64")(fd, length);
}

int truncate(const char* path, off_t length)
{
    struct stat64 st {};
    return path_status(path, st) != -2 ? refuse(path_status(path, st) == 0 ? EINVAL : ENOENT)
                                       : real<int (*)(const char*, off_t)>("truncate")(path, length);
}

int truncate64(const char* path, off64_t length)
{
    struct stat64 st {};
    return path_status(path, st) != -2 ? refuse(path_status(path, st) == 0 ? EINVAL : ENOENT)
                                       : real<int (*)(const char*, off64_t)>("truncate64")(path, length);
}

// Space is allocated only in regular files and block devices: EBADF on a descriptor
// not open for writing, else ENODEV.
int fallocate(int fd, int mode, off_t offset, off_t length)
{
    if (const Device* dev = device_of(fd)) {
        return refuse(dev->writable ? ENODEV : EBADF);
    }
    return real<int (*)(int, int, off_t, off_t)>("fallocate")(fd, mode, offset, length);
}

int fallocate64(int fd, int mode, off64_t offset, off64_t length)
{
    if (const Device* dev = device_of(fd)) {
        return refuse(dev->writable ? ENODEV : EBADF);
    }
    return real<int (*)(int, int, off64_t, off64_t)>("fallocate64")(fd, mode, offset, length);
}

int posix_fallocate(int fd, off_t offset, off_t length)
{
    if (const Device* dev = device_of(fd)) {
        return dev->writable ? ENODEV : EBADF;
    }
    return real<int (*)(int, off_t, off_t)>("posix_fallocate")(fd, offset, length);
}

int posix_fallocate64(int fd, off64_t offset, off64_t length)
{
    if (const Device* dev = device_of(fd)) {
        return dev->writable ? ENODEV : EBADF;
    }
    return real<int (*)(int, off64_t, off64_t)>("posix_fallocate64")(fd, offset, length);
}

// Advice changes nothing a program can see: accepted, and kept from the backing file.
int posix_fadvise(int fd, off_t offset, off_t length, int advice)
{
    return device_of(fd) != nullptr ? 0
                                    : real<int (*)(int, off_t, off_t, int)>("posix_fadvise")(fd, offset, length, advice);
}

int posix_fadvise64(int fd, off64_t offset, off64_t length, int advice)
{
    return device_of(fd) != nullptr
               ? 0
               : real<int (*)(int, off64_t, off64_t, int)>("posix_fadvise64")(fd, offset, length, advice);
}

// The node's owner and mode are not the simulator's to change.
int fchmod(int fd, mode_t mode)
{
    return device_of(fd) != nullptr ? refuse(EPERM) : real<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

int fchown(int fd, uid_t owner, gid_t group)
{
    return device_of(fd) != nullptr ? refuse(EPERM) : real<int (*)(int, uid_t, gid_t)>("fchown")(fd, owner, group);
}

// Writes reach the chip before they return; the driver has no fsync (EINVAL), and
// sync_file_range is for regular files, block devices and directories (ESPIPE).
int sync_file_range(int fd, off64_t offset, off64_t length, unsigned flags)
{
    return device_of(fd) != nullptr
               ? refuse(ESPIPE)
               : real<int (*)(int, off64_t, off64_t, unsigned)>("sync_file_range")(fd, offset, length, flags);
}

void syslog(int priority, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    format_syslog(priority, format, args);
    va_end(args);
}

void __syslog_chk(int priority, int, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    format_syslog(priority, format, args);
    va_end(args);
}

void vsyslog(int priority, const char* format, va_list args)
{
    format_syslog(priority, format, args);
}

// ---- Durability: the file system calls that make a restored file safe, logged ----------

static void log_sync(const char* call, int fd)
{
    char link[64];
    char target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    target[n < 0 ? 0 : n] = '\0';
    log_line("%s %s", call, n < 0 ? "?" : target);
}

static int log_rename(const char* from, const char* to)
{
    if (std::getenv("FLASHSIM_RENAME_FAIL") != nullptr) {
        log_line("rename %s %s -> %s", from, to, std::strerror(EBUSY));
        errno = EBUSY;
        return -1;
    }
    log_line("rename %s %s", from, to);
    return 0;
}

int fsync(int fd)
{
    if (device_of(fd) != nullptr) {
        return refuse(EINVAL);
    }
    log_sync("fsync", fd);
    return real<int (*)(int)>("fsync")(fd);
}

int fdatasync(int fd)
{
    if (device_of(fd) != nullptr) {
        return refuse(EINVAL);
    }
    log_sync("fsync", fd);
    return real<int (*)(int)>("fdatasync")(fd);
}

int rename(const char* from, const char* to)
{
    if (log_rename(from, to) != 0) {
        return -1;
    }
    return real<int (*)(const char*, const char*)>("rename")(from, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to)
{
    if (log_rename(from, to) != 0) {
        return -1;
    }
    return real<int (*)(int, const char*, int, const char*)>("renameat")(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags)
{
    if (log_rename(from, to) != 0) {
        return -1;
    }
    return real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(
        from_dir, from, to_dir, to, flags);
}

}  // extern "C"
#pragma GCC visibility pop
