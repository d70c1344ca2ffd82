// devices.cpp: the simulated devices, their backing files (a file per device, or slices of
// one whole-flash image), and the answers of the kernel's MTD character device.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "flashsim.h"

namespace flashsim {

namespace {

// The devices open in this process, by descriptor. A duplicate gets a copy of its
// original's entry: everything a device's open file holds that can change (the position,
// the access mode) lives in the kernel's open file description of the backing file, which
// duplicates share.
Device g_devices[kMaxFd];

// Each backing descriptor's open file description is tagged with a signal number
// (F_SETSIG, which only matters with O_ASYNC, never set on a device), so that a process
// started by exec, which inherits the descriptors but not this table, finds its devices
// again, and so that an entry whose descriptor was closed inside the C library (fclose,
// close_range) is noticed. kTagDir tags a device of FLASHSIM_DIR, kTagImage + i slice i.
constexpr int kTagDir = 44;
constexpr int kTagImage = 40;

int tag_of(int fd)
{
    return static_cast<int>(syscall(SYS_fcntl, fd, F_GETSIG, 0));
}

// The backing file's own pread and pwrite, at full width, past the interposed ones.
ssize_t backing_pread(int fd, void* buffer, std::size_t count, std::uint64_t at)
{
    static const auto call = real<ssize_t (*)(int, void*, std::size_t, off64_t)>("pread64");
    return call(fd, buffer, count, static_cast<off64_t>(at));
}

ssize_t backing_pwrite(int fd, const void* buffer, std::size_t count, std::uint64_t at)
{
    static const auto call = real<ssize_t (*)(int, const void*, std::size_t, off64_t)>("pwrite64");
    hold_wrote(at, count);
    return call(fd, buffer, count, static_cast<off64_t>(at));
}

// The backing file's status, past the interposed calls (which answer for devices).
int backing_fstat(int fd, struct stat64& st)
{
    static const auto call = real<int (*)(int, struct stat64*)>("fstat64");
    return call(fd, &st);
}

int backing_stat(const char* path, struct stat64& st)
{
    static const auto call = real<int (*)(const char*, struct stat64*)>("stat64");
    return call(path, &st);
}

// The device's position, counted from its own start in the backing file.
std::uint64_t position_of(const Device& dev, int fd)
{
    return static_cast<std::uint64_t>(syscall(SYS_lseek, fd, 0L, SEEK_CUR)) - dev.base;
}

// The device's layout in a whole-flash image (FLASHSIM_IMAGE).
struct Slice {
    const char* name;
    std::uint64_t start, size;
    std::uint32_t erase_size;
};
constexpr std::uint64_t kImageSize = 0x400000;
constexpr Slice kImageLayout[] = {
    {"mtd0", 0x000000, 0x020000, 0x2000},
    {"mtd1", 0x020000, 0x0E0000, 0x10000},
    {"mtd2", 0x100000, 0x290000, 0x10000},
    {"mtd3", 0x390000, 0x070000, 0x10000},
};

// Where a served device lives: its backing file, and for a slice of an image its place.
struct Backing {
    char path[4096];
    bool exists;
    const Slice* slice;   // nullptr: the whole file is the device (FLASHSIM_DIR)
};

// The device name for a /dev path that the simulator serves, or nullptr to pass through.
const char* served_name(const char* path, Backing& backing)
{
    const char* image = std::getenv("FLASHSIM_IMAGE");
    const char* dir = std::getenv("FLASHSIM_DIR");
    if ((image == nullptr && dir == nullptr) || path == nullptr || std::strncmp(path, "/dev/", 5) != 0) {
        return nullptr;
    }
    const char* name = path + 5;
    if (*name == '\0' || std::strchr(name, '/') != nullptr || std::strlen(name) >= kNameMax) {
        return nullptr;
    }
    backing.slice = nullptr;
    if (image != nullptr) {
        std::snprintf(backing.path, sizeof backing.path, "%s", image);
        for (const Slice& slice : kImageLayout) {
            if (std::strcmp(name, slice.name) == 0) {
                backing.slice = &slice;
                break;
            }
        }
        backing.exists = backing.slice != nullptr;
    } else {
        std::snprintf(backing.path, sizeof backing.path, "%s/%s", dir, name);
        // The 64-bit status call: on a 32-bit target the plain one fails with EOVERFLOW for
        // a file whose inode number does not fit 32 bits.
        struct stat64 st {};
        backing.exists = backing_stat(backing.path, st) == 0 && S_ISREG(st.st_mode);
    }
    if (!backing.exists && std::strncmp(name, "mtd", 3) != 0) {
        return nullptr;
    }
    return name;
}

std::uint32_t erase_size_of(const char* name)
{
    char path[4096];
    std::snprintf(path, sizeof path, "%s/%s.erasesize", std::getenv("FLASHSIM_DIR"), name);
    if (FILE* f = std::fopen(path, "r")) {
        unsigned long value = 0;
        const int n = std::fscanf(f, "%lu", &value);
        std::fclose(f);
        if (n == 1 && value > 0) {
            return static_cast<std::uint32_t>(value);
        }
    }
    return std::strcmp(name, "mtd0") == 0 ? 8192U : 65536U;
}

// Places an opened device in its backing file: the whole file, or its slice of an image
// of the right size. Returns false (with errno set) for an image of another size.
bool place_device(Device& dev, int fd, const Backing& backing)
{
    struct stat64 st {};
    backing_fstat(fd, st);
    const auto file_size = static_cast<std::uint64_t>(st.st_size);
    if (backing.slice == nullptr) {
        dev.base = 0;
        dev.slice = -1;
        dev.size = file_size;
        dev.erase_size = erase_size_of(dev.name);
        return true;
    }
    if (file_size != kImageSize) {
        std::fprintf(stderr, "flashsim: %s is %llu bytes, not a 4 MiB (%llu-byte) flash image\n",
                     backing.path, static_cast<unsigned long long>(file_size),
                     static_cast<unsigned long long>(kImageSize));
        errno = ENXIO;
        return false;
    }
    dev.base = backing.slice->start;
    dev.size = backing.slice->size;
    dev.erase_size = backing.slice->erase_size;
    dev.slice = static_cast<int>(backing.slice - kImageLayout);
    return syscall(SYS_lseek, fd, static_cast<long>(dev.base), SEEK_SET) >= 0;
}

void describe_flags(int flags, char* out, std::size_t size)
{
    const int access = flags & O_ACCMODE;
    const char* mode = access == O_RDONLY ? "rdonly" : access == O_WRONLY ? "wronly" : "rdwr";
    const bool sync = (flags & O_SYNC) == O_SYNC;
    const int rest = flags & ~(O_ACCMODE | O_SYNC | O_LARGEFILE);
    std::snprintf(out, size, "%s%s", mode, sync ? ",sync" : ((flags & O_DSYNC) ? ",dsync" : ""));
    if (rest != 0) {
        const std::size_t len = std::strlen(out);
        std::snprintf(out + len, size - len, ",0x%x", static_cast<unsigned>(rest));
    }
}

}  // namespace

// Returns -2 when the path is not served, else the result of the simulated open.
int open_device(const char* path, int flags)
{
    Backing backing{};
    const char* name = served_name(path, backing);
    if (name == nullptr) {
        return -2;
    }
    char mode[64];
    describe_flags(flags, mode, sizeof mode);
    const Operation op("open", name, 0);
    const bool wants_write = (flags & O_ACCMODE) != O_RDONLY;
    int error = 0;
    if (!backing.exists || find_fault(FaultKind::missing, name) != nullptr) {
        error = ENOENT;
    } else if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
        error = EEXIST;
    } else if ((flags & O_DIRECTORY) != 0) {
        error = ENOTDIR;
    } else if ((flags & O_ACCMODE) == O_ACCMODE || (flags & (O_PATH | O_TMPFILE)) != 0) {
        error = EINVAL;   // not served: an O_PATH descriptor would reach the backing file
    } else if (op.fails()) {
        error = EIO;
    } else if (wants_write && find_fault(FaultKind::readonly, name) != nullptr) {
        error = EACCES;
    }
    if (error != 0) {
        log_line("open %s %s -> %s", name, mode, std::strerror(error));
        errno = error;
        return -1;
    }
    // Always readable, so that a write can read the cells it programs; the device's own
    // access mode is kept in the entry. O_TRUNC and O_APPEND mean nothing to a character
    // device and never reach the backing file.
    const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, backing.path,
                                            (wants_write ? O_RDWR : O_RDONLY) | (flags & O_CLOEXEC)));
    if (fd < 0) {
        return -1;
    }
    Device scratch;
    Device& dev = fd < kMaxFd ? g_devices[fd] : scratch;
    std::snprintf(dev.name, sizeof dev.name, "%s", name);
    if (fd >= kMaxFd || !place_device(dev, fd, backing)) {
        const int saved = fd >= kMaxFd ? EMFILE : errno;
        syscall(SYS_close, fd);
        errno = saved;
        return -1;
    }
    dev.open = true;
    dev.writable = wants_write;
    dev.readable = (flags & O_ACCMODE) != O_WRONLY;
    syscall(SYS_fcntl, fd, F_SETSIG, dev.slice < 0 ? kTagDir : kTagImage + dev.slice);
    log_line("open %s %s", name, mode);
    return fd;
}

namespace {

// Where a transfer of count bytes at pos must stop because of an injected fault:
// returns -1 for an outright failure, or the count allowed.
long long faulted_count(const Device& dev, FaultKind fail, FaultKind shorten, std::uint64_t pos,
                        std::size_t count)
{
    if (const Fault* f = find_fault(fail, dev.name); f && f->arg >= pos && f->arg < pos + count) {
        return -1;
    }
    if (const Fault* f = find_fault(shorten, dev.name); f && f->arg >= pos && f->arg < pos + count) {
        return static_cast<long long>(f->arg - pos);
    }
    return static_cast<long long>(count);
}

}  // namespace

ssize_t device_read_at(Device& dev, int fd, void* buffer, std::size_t count, long long offset, bool advance)
{
    const std::uint64_t pos = advance ? position_of(dev, fd) : static_cast<std::uint64_t>(offset);
    const Operation op("read", dev.name, pos);
    if (!dev.readable) {
        errno = EBADF;
        return -1;
    }
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    if (op.fails()) {
        errno = EIO;
        return -1;
    }
    if (op.shortened()) {
        count /= 2;
    }
    std::size_t allowed = pos >= dev.size ? 0 : count;
    if (pos < dev.size && pos + allowed > dev.size) {
        allowed = static_cast<std::size_t>(dev.size - pos);
    }
    const long long n = faulted_count(dev, FaultKind::read_fail, FaultKind::read_short, pos, allowed);
    if (n < 0) {
        errno = EIO;
        return -1;
    }
    // At the position, the backing descriptor's own read moves it on as the device's would.
    return advance ? syscall(SYS_read, fd, buffer, static_cast<std::size_t>(n))
                   : backing_pread(fd, buffer, static_cast<std::size_t>(n), dev.base + pos);
}

namespace {

// Only FLASHSIM_RAM=1 selects the block2mtd behaviour.
bool ram_mode()
{
    const char* ram = std::getenv("FLASHSIM_RAM");
    return ram != nullptr && std::strcmp(ram, "1") == 0;
}

// FLASHSIM_NOR=and: a NOR write that needs a bit to go from 0 to 1 stores old AND new
// silently instead of failing as the chip driver does.
bool silent_and()
{
    const char* nor = std::getenv("FLASHSIM_NOR");
    return nor != nullptr && std::strcmp(nor, "and") == 0;
}

// What programming new over old leaves in a cell: NOR flash can only clear bits, so old
// AND new; block2mtd (FLASHSIM_RAM=1) overwrites.
unsigned char programmed(unsigned char old_byte, unsigned char new_byte)
{
    return ram_mode() ? new_byte : static_cast<unsigned char>(old_byte & new_byte);
}

// Programs count bytes at backing offset at. On NOR, as the AMD command set driver does
// (cfi_cmdset_0002, bank width 1: a word is a byte), each byte is verified after it is
// programmed: at the first byte that needed a bit to go from 0 to 1 the write stops with
// EIO, that byte and the ones before it stored as old AND new. Returns false with errno
// set (EIO) then, or when the backing file fails.
bool program(int fd, std::uint64_t at, const unsigned char* in, std::size_t count)
{
    const bool verify = !ram_mode() && !silent_and();
    static unsigned char cells[65536];
    for (std::size_t done = 0; done < count;) {
        std::size_t chunk = count - done < sizeof cells ? count - done : sizeof cells;
        if (backing_pread(fd, cells, chunk, at + done) != static_cast<ssize_t>(chunk)) {
            errno = EIO;
            return false;
        }
        bool refused = false;
        for (std::size_t i = 0; i < chunk; ++i) {
            cells[i] = programmed(cells[i], in[done + i]);
            if (verify && cells[i] != in[done + i]) {
                chunk = i + 1;
                refused = true;
                break;
            }
        }
        if (backing_pwrite(fd, cells, chunk, at + done) != static_cast<ssize_t>(chunk) || refused) {
            errno = EIO;
            return false;
        }
        done += chunk;
    }
    return true;
}

// Some of the bits in which from and to differ, chosen by random: at least one and not
// all of them when they differ in two or more.
unsigned char partly(unsigned char from, unsigned char to, std::uint64_t random)
{
    const auto differ = static_cast<unsigned char>(from ^ to);
    auto flip = static_cast<unsigned char>(differ & random);
    if ((differ & (differ - 1)) != 0) {
        if (flip == differ) {
            flip = static_cast<unsigned char>(flip & (flip - 1));   // not all: keep one as it was
        } else if (flip == 0) {
            flip = static_cast<unsigned char>(differ & -differ);     // at least the lowest
        }
    }
    return static_cast<unsigned char>(from ^ flip);
}

// A write that the power cut falls in (torn:N:SEED): the first DONE bytes are programmed,
// DONE = the seed's first number modulo the count, and the byte after them is left partly
// programmed (partly(), with the seed's second number).
void tear_write(const Device& dev, int fd, std::uint64_t pos, const unsigned char* in, std::size_t count,
                const Operation& op)
{
    std::uint64_t state = op.torn()->seed;
    const std::uint64_t at = dev.base + pos;
    // A NOR write stops at its first byte that needs a bit set: the cut falls before.
    for (std::size_t i = 0; i < count && !ram_mode() && !silent_and(); ++i) {
        unsigned char cell = 0xFF;
        backing_pread(fd, &cell, 1, at + i);
        if ((cell & in[i]) != in[i]) {
            count = i + 1;
        }
    }
    const std::size_t done = count == 0 ? 0 : static_cast<std::size_t>(torn_random(state) % count);
    if (count > 0 && program(fd, at, in, done)) {
        unsigned char cell = 0;
        if (backing_pread(fd, &cell, 1, at + done) == 1) {
            cell = partly(cell, programmed(cell, in[done]), torn_random(state));
            backing_pwrite(fd, &cell, 1, at + done);
        }
    }
    log_line("torn %lu write %s %zu %zu bytes", op.number(), dev.name, done, count);
}

// An erase that the power cut falls in: the first DONE blocks are erased, DONE = the
// seed's first number modulo the count of blocks, the block after them is left partly
// erased (each of its bits that erasing would set is set when the matching bit of the
// seed's next numbers is 1), and the later blocks are untouched.
void tear_erase(const Device& dev, int fd, std::uint64_t start, std::uint64_t length, const Operation& op)
{
    std::uint64_t state = op.torn()->seed;
    const std::uint64_t blocks = length / dev.erase_size;
    const std::uint64_t done = blocks == 0 ? 0 : torn_random(state) % blocks;
    static unsigned char cells[65536];
    if (blocks > 0) {
        std::memset(cells, 0xFF, sizeof cells);
        for (std::uint64_t b = 0; b < done; ++b) {
            for (std::uint64_t off = 0; off < dev.erase_size; off += sizeof cells) {
                const std::size_t chunk = dev.erase_size - off < sizeof cells ? static_cast<std::size_t>(dev.erase_size - off)
                                                                              : sizeof cells;
                backing_pwrite(fd, cells, chunk, dev.base + start + b * dev.erase_size + off);
            }
        }
        for (std::uint64_t off = 0; off < dev.erase_size; off += sizeof cells) {
            const std::size_t chunk = dev.erase_size - off < sizeof cells ? static_cast<std::size_t>(dev.erase_size - off)
                                                                          : sizeof cells;
            const std::uint64_t at = dev.base + start + done * dev.erase_size + off;
            if (backing_pread(fd, cells, chunk, at) != static_cast<ssize_t>(chunk)) {
                break;
            }
            std::uint64_t random = 0;
            for (std::size_t i = 0; i < chunk; ++i) {
                if (i % 8 == 0) {
                    random = torn_random(state);
                }
                cells[i] = static_cast<unsigned char>(cells[i] | (random >> (8 * (i % 8))));
            }
            backing_pwrite(fd, cells, chunk, at);
        }
    }
    log_line("torn %lu erase %s %llu %llu blocks", op.number(), dev.name, static_cast<unsigned long long>(done),
             static_cast<unsigned long long>(blocks));
}

// FLASHSIM_DELAY_US: every device write first takes this many microseconds, as a slow
// chip's programming does, so that a test can act while a write is under way.
void slow_write()
{
    static long delay = -1;
    if (delay < 0) {
        const char* text = std::getenv("FLASHSIM_DELAY_US");
        delay = text != nullptr ? std::strtol(text, nullptr, 0) : 0;
        delay = delay > 0 ? delay : 0;
    }
    if (delay > 0) {
        timespec left{delay / 1000000, (delay % 1000000) * 1000};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
}

}  // namespace

ssize_t device_write_at(Device& dev, int fd, const void* buffer, std::size_t count, long long offset,
                        bool advance)
{
    slow_write();
    const std::uint64_t pos = advance ? position_of(dev, fd) : static_cast<std::uint64_t>(offset);
    const Operation op("write", dev.name, pos);
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    if (op.fails()) {
        errno = EIO;
        return -1;
    }
    if (op.shortened()) {
        count /= 2;
    }
    if (!dev.writable) {
        errno = EBADF;
        return -1;
    }
    if (pos >= dev.size && count > 0) {
        errno = ENOSPC;
        return -1;
    }
    std::size_t allowed = count;
    if (pos + allowed > dev.size) {
        allowed = static_cast<std::size_t>(dev.size - pos);
    }
    const long long n = faulted_count(dev, FaultKind::write_fail, FaultKind::write_short, pos, allowed);
    if (n < 0) {
        errno = EIO;
        return -1;
    }
    const auto* in = static_cast<const unsigned char*>(buffer);
    if (op.torn() != nullptr) {
        tear_write(dev, fd, pos, in, static_cast<std::size_t>(n), op);
        errno = EIO;
        return -1;
    }
    if (!program(fd, dev.base + pos, in, static_cast<std::size_t>(n))) {
        return -1;
    }
    if (advance) {
        syscall(SYS_lseek, fd, static_cast<long>(dev.base + pos + static_cast<std::uint64_t>(n)), SEEK_SET);
    }
    return static_cast<ssize_t>(n);
}

// Takes the offset at full width, so that lseek64 on a 32-bit target is judged as given.
long long device_lseek(Device& dev, int fd, long long offset, int whence)
{
    const std::uint64_t pos = position_of(dev, fd);
    const Operation op("lseek", dev.name, whence == SEEK_SET ? static_cast<std::uint64_t>(offset) : pos);
    Counter& c = counter_for(dev.name);
    ++c.lseeks;
    const Fault* f = find_fault(FaultKind::lseek_fail, dev.name);
    if (op.fails() || (f != nullptr && f->arg == c.lseeks)) {
        errno = EINVAL;
        return -1;
    }
    long long target = offset;
    if (whence == SEEK_CUR) {
        target += static_cast<long long>(pos);
    } else if (whence == SEEK_END) {
        target += static_cast<long long>(dev.size);
    } else if (whence != SEEK_SET) {
        errno = EINVAL;
        return -1;
    }
    if (target < 0 || static_cast<std::uint64_t>(target) > dev.size) {
        errno = EINVAL;
        return -1;
    }
    if (syscall(SYS_lseek, fd, static_cast<long>(dev.base + static_cast<std::uint64_t>(target)), SEEK_SET) < 0) {
        return -1;
    }
    return target;
}

namespace {

int device_erase(Device& dev, int fd, std::uint64_t start, std::uint64_t length)
{
    const Operation op("erase", dev.name, start);
    Counter& c = counter_for(dev.name);
    ++c.erases;
    log_line("erase %s 0x%llx 0x%llx", dev.name, static_cast<unsigned long long>(start),
             static_cast<unsigned long long>(length));
    if (!dev.writable) {
        errno = EPERM;
        return -1;
    }
    const Fault* f = find_fault(FaultKind::erase_fail, dev.name);
    if (op.fails() || (f != nullptr && f->arg == c.erases)) {
        errno = EIO;
        return -1;
    }
    if (start >= dev.size || length > dev.size - start || start % dev.erase_size != 0 ||
        length % dev.erase_size != 0) {
        errno = EINVAL;
        return -1;
    }
    if (op.torn() != nullptr) {
        tear_erase(dev, fd, start, length, op);
        errno = EIO;
        return -1;
    }
    static unsigned char fill[65536];
    std::memset(fill, 0xFF, sizeof fill);
    for (std::uint64_t done = 0; done < length;) {
        const std::size_t chunk = static_cast<std::size_t>(
            length - done < sizeof fill ? length - done : sizeof fill);
        const auto at = static_cast<off_t>(dev.base + start + done);
        if (backing_pwrite(fd, fill, chunk, static_cast<std::uint64_t>(at)) != static_cast<ssize_t>(chunk)) {
            errno = EIO;
            return -1;
        }
        done += chunk;
    }
    return 0;
}

}  // namespace

int device_ioctl(Device& dev, int fd, unsigned long request, void* arg)
{
    if (request == MEMERASE) {
        const auto* erase = static_cast<const erase_info_user*>(arg);
        return device_erase(dev, fd, erase->start, erase->length);
    }
    if (request == MEMERASE64) {
        const auto* erase = static_cast<const erase_info_user64*>(arg);
        return device_erase(dev, fd, erase->start, erase->length);
    }
    if (request == MEMGETINFO) {
        const Operation op("getinfo", dev.name, 0);
        auto* info = static_cast<mtd_info_user*>(arg);
        std::memset(info, 0, sizeof *info);
        // What the CFI NOR driver answers on the real-NOR tier, or block2mtd in RAM mode.
        info->type = ram_mode() ? MTD_RAM : MTD_NORFLASH;
        info->flags = ram_mode() ? MTD_CAP_RAM : MTD_CAP_NORFLASH;
        info->size = static_cast<std::uint32_t>(dev.size);
        info->erasesize = dev.erase_size;
        info->writesize = 1;
        return 0;
    }
    if (request == MEMGETREGIONCOUNT) {
        *static_cast<int*>(arg) = 0;   // a partition has no erase regions of its own
        return 0;
    }
    if (request == MEMGETBADBLOCK) {
        // NOR has no bad blocks; the offset must lie in the device.
        const auto offset = *static_cast<const long long*>(arg);
        errno = EINVAL;
        return offset < 0 || static_cast<std::uint64_t>(offset) >= dev.size ? -1 : 0;
    }
    if (request == ECCGETSTATS) {
        std::memset(arg, 0, sizeof(mtd_ecc_stats));   // NOR: no ECC, nothing corrected
        return 0;
    }
    if (request == MTDFILEMODE) {
        errno = EOPNOTSUPP;   // only the normal mode: raw and OTP modes need OOB or OTP
        return reinterpret_cast<std::uintptr_t>(arg) == MTD_FILE_MODE_NORMAL ? 0 : -1;
    }
    // The chip's driver has no block locking, no out-of-band area and no OTP area here.
    if (request == MEMLOCK || request == MEMUNLOCK || request == MEMISLOCKED || request == ECCGETLAYOUT ||
        request == MEMGETOOBSEL || request == MEMREADOOB || request == MEMWRITEOOB || request == MEMREADOOB64 ||
        request == MEMWRITEOOB64 || request == MEMWRITE || request == OTPSELECT || request == OTPGETREGIONCOUNT ||
        request == OTPGETREGIONINFO || request == OTPLOCK) {
        errno = EOPNOTSUPP;
        return -1;
    }
    errno = ENOTTY;
    return -1;
}

int device_close(int fd)
{
    Device& dev = g_devices[fd];
    const Operation op("close", dev.name, 0);
    Counter& c = counter_for(dev.name);
    ++c.closes;
    const Fault* f = find_fault(FaultKind::close_fail, dev.name);
    const bool fail = op.fails() || (f != nullptr && f->arg == c.closes);
    log_line("close %s%s", dev.name, fail ? " -> fail" : "");
    dev.open = false;
    syscall(SYS_close, fd);
    if (fail) {
        errno = EIO;
        return -1;
    }
    return 0;
}

Device* device_of(int fd)
{
    if (fd < 0 || fd >= kMaxFd || !g_devices[fd].open) {
        return nullptr;
    }
    Device& dev = g_devices[fd];
    if (tag_of(fd) != (dev.slice < 0 ? kTagDir : kTagImage + dev.slice)) {
        dev.open = false;   // closed inside the C library, the number since reused
        return nullptr;
    }
    return &dev;
}

void copy_device(int from, int to)
{
    if (to >= 0 && to < kMaxFd) {
        if (const Device* dev = device_of(from)) {
            g_devices[to] = *dev;
        } else {
            g_devices[to].open = false;
        }
    }
}

void forget_device(int fd)
{
    if (fd >= 0 && fd < kMaxFd) {
        g_devices[fd].open = false;
    }
}

void adopt_devices()
{
    const char* image = std::getenv("FLASHSIM_IMAGE");
    const char* dir = std::getenv("FLASHSIM_DIR");
    if (image == nullptr && dir == nullptr) {
        return;
    }
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        const int tag = fd >= 0 && fd < kMaxFd && fd != dirfd(fds) && entry->d_name[0] != '.' ? tag_of(fd) : -1;
        if (tag != kTagDir && (tag < kTagImage || tag >= kTagImage + 4)) {
            continue;
        }
        char link[64];
        char target[4096];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t n = readlink(link, target, sizeof target - 1);
        if (n <= 0) {
            continue;
        }
        target[n] = '\0';
        const char* slash = std::strrchr(target, '/');
        char path[sizeof target + 8];
        std::snprintf(path, sizeof path, "/dev/%s", tag == kTagDir ? (slash != nullptr ? slash + 1 : target) : kImageLayout[tag - kTagImage].name);
        Backing backing{};
        const char* name = served_name(path, backing);
        struct stat64 mine {};
        struct stat64 theirs {};
        if (name == nullptr || !backing.exists || backing_fstat(fd, mine) != 0 ||
            backing_stat(backing.path, theirs) != 0 || mine.st_ino != theirs.st_ino || mine.st_dev != theirs.st_dev) {
            continue;
        }
        Device& dev = g_devices[fd];
        std::snprintf(dev.name, sizeof dev.name, "%s", name);
        const auto position = static_cast<std::uint64_t>(syscall(SYS_lseek, fd, 0L, SEEK_CUR));
        if (!place_device(dev, fd, backing)) {
            continue;
        }
        syscall(SYS_lseek, fd, static_cast<long>(position), SEEK_SET);
        const int access = static_cast<int>(syscall(SYS_fcntl, fd, F_GETFL)) & O_ACCMODE;
        dev.writable = access != O_RDONLY;
        dev.readable = true;
        dev.open = true;
    }
    closedir(fds);
}

namespace {

// The minor number of /dev/mtdN (2N; 2N+1 is its read-only node).
unsigned minor_of(const char* name)
{
    unsigned n = 0;
    return std::sscanf(name, "mtd%u", &n) == 1 ? 2 * n : 254;
}

void describe(const char* name, const struct stat64& backing, struct stat64& st)
{
    std::memset(&st, 0, sizeof st);
    // The cast: 32-bit MIPS's stat64 keeps its device numbers in an unsigned long.
    st.st_dev = static_cast<decltype(st.st_dev)>(makedev(0, 5));
    st.st_ino = 0x4d54440000ULL + minor_of(name);
    st.st_mode = S_IFCHR | (backing.st_mode & 0666);
    st.st_nlink = 1;
    st.st_uid = backing.st_uid;
    st.st_gid = backing.st_gid;
    st.st_rdev = static_cast<decltype(st.st_rdev)>(makedev(90, minor_of(name)));
    st.st_size = 0;
    st.st_blksize = 4096;
    st.st_blocks = 0;
    st.st_atim = backing.st_atim;
    st.st_mtim = backing.st_mtim;
    st.st_ctim = backing.st_ctim;
}

}  // namespace

int open_device_list(const char* path, int flags)
{
    const char* image = std::getenv("FLASHSIM_IMAGE");
    const char* dir = std::getenv("FLASHSIM_DIR");
    if ((image == nullptr && dir == nullptr) || std::strcmp(path, "/proc/mtd") != 0) {
        return -2;
    }
    static const char* const kNames[] = {"boot", "kernel", "rootfs", "jffs"};
    char list[2048];
    int length = std::snprintf(list, sizeof list, "dev:    size   erasesize  name\n");
    for (unsigned n = 0; n < 16; ++n) {
        char node[32];
        std::snprintf(node, sizeof node, "/dev/mtd%u", n);
        Backing backing{};
        struct stat64 file {};
        if (served_name(node, backing) == nullptr || !backing.exists ||
            (backing.slice == nullptr && backing_stat(backing.path, file) != 0)) {
            continue;
        }
        const std::uint64_t size = backing.slice != nullptr ? backing.slice->size : static_cast<std::uint64_t>(file.st_size);
        const std::uint32_t erase = backing.slice != nullptr ? backing.slice->erase_size : erase_size_of(node + 5);
        length += std::snprintf(list + length, sizeof list - static_cast<std::size_t>(length),
                                "mtd%u: %08llx %08x \"%s\"\n", n, static_cast<unsigned long long>(size), erase,
                                n < 4 ? kNames[n] : node + 5);
    }
    const int fd = static_cast<int>(syscall(SYS_memfd_create, "mtd", (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0U));
    if (fd < 0 || backing_pwrite(fd, list, static_cast<std::size_t>(length), 0) != length) {
        return -1;
    }
    return fd;
}

int path_status(const char* path, struct stat64& st)
{
    Backing backing{};
    const char* name = served_name(path, backing);
    if (name == nullptr) {
        return -2;
    }
    struct stat64 file {};
    if (!backing.exists || find_fault(FaultKind::missing, name) != nullptr ||
        backing_stat(backing.path, file) != 0) {
        errno = ENOENT;
        return -1;
    }
    describe(name, file, st);
    return 0;
}

int path_access(const char* path, int mode)
{
    if (std::strcmp(path, "/proc/mtd") == 0 && (std::getenv("FLASHSIM_IMAGE") != nullptr || std::getenv("FLASHSIM_DIR") != nullptr)) {
        errno = EACCES;
        return (mode & (W_OK | X_OK)) != 0 ? -1 : 0;
    }
    Backing backing{};
    const char* name = served_name(path, backing);
    if (name == nullptr) {
        return -2;
    }
    if (!backing.exists || find_fault(FaultKind::missing, name) != nullptr) {
        errno = ENOENT;
        return -1;
    }
    // A device node is never executable.
    if ((mode & X_OK) != 0) {
        errno = EACCES;
        return -1;
    }
    return static_cast<int>(syscall(SYS_faccessat, AT_FDCWD, backing.path, mode));
}

void device_status(const Device& dev, int fd, struct stat64& st)
{
    struct stat64 file {};
    backing_fstat(fd, file);
    describe(dev.name, file, st);
}

// Byte-range locks. A device of FLASHSIM_DIR is its own file: its locks are the backing
// file's. The slices of an image share one file, so each slice's lock ranges are moved
// to a space of its own, far past the image's end: a lock on one device never meets
// another's. flock() locks the whole backing file (see flashsim.cpp).
constexpr long long kLockSpan = 1LL << 40;

int device_lock(const Device& dev, int fd, int cmd, struct flock64& lock)
{
    static const auto fcntl64_real = real<int (*)(int, int, ...)>("fcntl64");
    if (dev.slice < 0) {
        return fcntl64_real(fd, cmd, &lock);
    }
    long long start = lock.l_start;
    if (lock.l_whence == SEEK_CUR) {
        start += static_cast<long long>(position_of(dev, fd));
    } else if (lock.l_whence != SEEK_SET && lock.l_whence != SEEK_END) {
        errno = EINVAL;
        return -1;
    }
    // A character device's size is 0 to the kernel: SEEK_END counts from 0.
    long long length = lock.l_len;
    if (length < 0) {
        start += length;
        length = -length;
    }
    if (start < 0 || start >= kLockSpan) {
        errno = EINVAL;
        return -1;
    }
    const long long origin = kLockSpan * (dev.slice + 1);
    struct flock64 moved = lock;
    moved.l_whence = SEEK_SET;
    moved.l_start = origin + start;
    moved.l_len = length == 0 || length > kLockSpan - start ? kLockSpan - start : length;
    const int result = fcntl64_real(fd, cmd, &moved);
    if (result == 0 && (cmd == F_GETLK64 || cmd == F_OFD_GETLK)) {
        lock = moved;
        if (moved.l_type != F_UNLCK) {
            lock.l_start = moved.l_start - origin;
            lock.l_len = moved.l_start + moved.l_len == origin + kLockSpan ? 0 : moved.l_len;
        }
    }
    return result;
}

}  // namespace flashsim
