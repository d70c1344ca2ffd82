// libflashsim: a flash simulator preloaded into an unmodified flashtool. This file holds the
// C library entry points it interposes; flashsim.h lists the other parts.
//
// Serves /dev/<name> from the backing file FLASHSIM_DIR/<name>, or /dev/mtd0../dev/mtd3 as
// slices of one 4 MiB whole-flash image FLASHSIM_IMAGE, and behaves like the kernel's MTD
// character device where the tool can tell: reads stop at the device end, writes that reach
// the end come back short (ENOSPC at the end itself), lseek past the end fails with EINVAL,
// MEMERASE fills 0xFF and refuses ranges past the end or unaligned to the erase size,
// MEMGETINFO answers size and erase size. Names under /dev starting with "mtd" that have no
// backing file do not exist; other /dev names pass through.
//
// A write behaves as on NOR flash: it can only clear bits, so the stored byte becomes the
// old byte AND the new one, and only an erase sets bits again. FLASHSIM_RAM=1 makes a write
// overwrite instead, as the kernel's block2mtd driver does.
//
// Environment:
//   FLASHSIM_DIR     folder of backing files; FLASHSIM_DIR/<name>.erasesize overrides the
//                    erase size (default 8192 for mtd0, 65536 for every other device)
//   FLASHSIM_IMAGE   one 4194304-byte file in the device's layout, used instead of
//                    FLASHSIM_DIR: mtd0 at 0x0 (0x20000 bytes), mtd1 at 0x20000 (0xE0000),
//                    mtd2 at 0x100000 (0x290000), mtd3 at 0x390000 (0x70000)
//   FLASHSIM_RAM=1   writes overwrite (block2mtd) instead of clearing bits (NOR)
//   FLASHSIM_RUN     folder of a run of several processes, set by the flashsim launcher:
//                    operations are numbered across every process of the run, and every
//                    process enters its pid in the run's member table (power.cpp) when it
//                    starts and when it forks. A power cut (kill-after, torn) kills every
//                    member, whatever its process group or session, and leaves the power
//                    off: a process that starts or takes an operation number afterwards
//                    dies at once, and one whose number follows the cut waits for it, so
//                    no operation numbered after the cut lands. A campaign holds the run
//                    after a chosen operation through the same page (hold.cpp): a process
//                    whose operation number is past the hold waits before the operation
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

#include "flashsim.h"

using namespace flashsim;

namespace {

int open_common(const char* symbol, int dirfd, const char* path, int flags, mode_t mode, bool at)
{
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

ssize_t read(int fd, void* buffer, size_t count)
{
    if (Device* dev = device_of(fd)) {
        return device_read(*dev, fd, buffer, count);
    }
    return real<ssize_t (*)(int, void*, size_t)>("read")(fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count)
{
    if (Device* dev = device_of(fd)) {
        return device_write(*dev, fd, buffer, count);
    }
    return real<ssize_t (*)(int, const void*, size_t)>("write")(fd, buffer, count);
}

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
    return real<int (*)(int)>("close")(fd);
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
    log_sync("fsync", fd);
    return real<int (*)(int)>("fsync")(fd);
}

int fdatasync(int fd)
{
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
