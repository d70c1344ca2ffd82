// devices.cpp: the simulated devices, their backing files (a file per device, or slices of
// one whole-flash image), and the answers of the kernel's MTD character device.
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

namespace flashsim {

namespace {

Device g_devices[kMaxFd];

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
        backing.exists = stat64(backing.path, &st) == 0 && S_ISREG(st.st_mode);
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
    fstat64(fd, &st);
    const auto file_size = static_cast<std::uint64_t>(st.st_size);
    if (backing.slice == nullptr) {
        dev.base = 0;
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
    const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, backing.path,
                                            (wants_write ? O_RDWR : O_RDONLY) | O_CLOEXEC));
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

ssize_t device_read(Device& dev, int fd, void* buffer, std::size_t count)
{
    const std::uint64_t pos = position_of(dev, fd);
    const Operation op("read", dev.name, pos);
    if (op.fails()) {
        errno = EIO;
        return -1;
    }
    if (op.shortened()) {
        count /= 2;
    }
    std::size_t allowed = pos >= dev.size ? 0 : count;
    if (pos + allowed > dev.size) {
        allowed = static_cast<std::size_t>(dev.size - pos);
    }
    const long long n = faulted_count(dev, FaultKind::read_fail, FaultKind::read_short, pos, allowed);
    if (n < 0) {
        errno = EIO;
        return -1;
    }
    return syscall(SYS_read, fd, buffer, static_cast<std::size_t>(n));
}

namespace {

bool ram_mode()
{
    const char* ram = std::getenv("FLASHSIM_RAM");
    return ram != nullptr && *ram != '\0' && std::strcmp(ram, "0") != 0;
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

// What programming new over old leaves in a cell: NOR flash can only clear bits, so old
// AND new; block2mtd (FLASHSIM_RAM=1) overwrites.
unsigned char programmed(unsigned char old_byte, unsigned char new_byte)
{
    return ram_mode() ? new_byte : static_cast<unsigned char>(old_byte & new_byte);
}

// Programs count bytes at backing offset at. Returns false (errno EIO) when the backing
// file fails.
bool program(int fd, std::uint64_t at, const unsigned char* in, std::size_t count)
{
    static unsigned char cells[65536];
    for (std::size_t done = 0; done < count;) {
        const std::size_t chunk = count - done < sizeof cells ? count - done : sizeof cells;
        if (backing_pread(fd, cells, chunk, at + done) != static_cast<ssize_t>(chunk)) {
            errno = EIO;
            return false;
        }
        for (std::size_t i = 0; i < chunk; ++i) {
            cells[i] = programmed(cells[i], in[done + i]);
        }
        if (backing_pwrite(fd, cells, chunk, at + done) != static_cast<ssize_t>(chunk)) {
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
    const std::size_t done = count == 0 ? 0 : static_cast<std::size_t>(torn_random(state) % count);
    const std::uint64_t at = dev.base + pos;
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

}  // namespace

ssize_t device_write(Device& dev, int fd, const void* buffer, std::size_t count)
{
    const std::uint64_t pos = position_of(dev, fd);
    const Operation op("write", dev.name, pos);
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
    syscall(SYS_lseek, fd, static_cast<long>(dev.base + pos + static_cast<std::uint64_t>(n)), SEEK_SET);
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

int device_erase(Device& dev, int fd, const erase_info_user* request)
{
    const Operation op("erase", dev.name, request->start);
    Counter& c = counter_for(dev.name);
    ++c.erases;
    log_line("erase %s 0x%x 0x%x", dev.name, request->start, request->length);
    if (!dev.writable) {
        errno = EPERM;
        return -1;
    }
    const Fault* f = find_fault(FaultKind::erase_fail, dev.name);
    if (op.fails() || (f != nullptr && f->arg == c.erases)) {
        errno = EIO;
        return -1;
    }
    const std::uint64_t start = request->start;
    const std::uint64_t length = request->length;
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
        return device_erase(dev, fd, static_cast<const erase_info_user*>(arg));
    }
    if (request == MEMGETINFO) {
        const Operation op("getinfo", dev.name, 0);
        auto* info = static_cast<mtd_info_user*>(arg);
        std::memset(info, 0, sizeof *info);
        // What block2mtd answers on the real driver tier.
        info->type = MTD_RAM;
        info->flags = MTD_CAP_RAM;
        info->size = static_cast<std::uint32_t>(dev.size);
        info->erasesize = dev.erase_size;
        info->writesize = 1;
        return 0;
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
    if (fd >= 0 && fd < kMaxFd && g_devices[fd].open) {
        return &g_devices[fd];
    }
    return nullptr;
}

}  // namespace flashsim
