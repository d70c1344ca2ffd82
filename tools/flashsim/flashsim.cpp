// libflashsim: a flash simulator preloaded into an unmodified flashtool.
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
//   FLASHSIM_DELAY_US every device write takes this many microseconds more (a slow chip)
//   FLASHSIM_RUN     folder of a run of several processes, set by the flashsim launcher,
//                    which starts the run in a process group of its own: operations are
//                    numbered across every process of the run, and a power cut
//                    (kill-after) kills the whole group and leaves the power off, so that
//                    any later device operation of any process kills that process too
//   FLASHSIM_LOG     file that receives one line per open, erase, close and syslog call
//   FLASHSIM_FAULTS  comma-separated faults:
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
//   rename with EBUSY, as the kernel refuses one over a mount point.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dlfcn.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int kMaxFd = 1024;
constexpr int kMaxFaults = 32;
constexpr std::size_t kNameMax = 64;

struct Device {
    bool open = false;
    char name[kNameMax] = {};
    std::uint64_t size = 0;
    std::uint32_t erase_size = 0;
    bool writable = false;
    std::uint64_t base = 0;   // where the device starts in its backing file
};

enum class FaultKind { erase_fail, write_fail, write_short, read_fail, read_short, lseek_fail,
                       close_fail, missing, readonly, kill_after, hup_after,
                       fail_op, short_op, stop_before };

struct Fault {
    FaultKind kind;
    char device[kNameMax];
    std::uint64_t arg;
};

Device g_devices[kMaxFd];
Fault g_faults[kMaxFaults];
int g_fault_count = 0;
bool g_loaded = false;
unsigned long g_operations = 0;

// Per-device counters for the Nth-call faults, keyed by name.
struct Counter {
    char device[kNameMax];
    unsigned long erases, lseeks, closes;
};
Counter g_counters[kMaxFaults];
int g_counter_count = 0;

Counter& counter_for(const char* name)
{
    for (int i = 0; i < g_counter_count; ++i) {
        if (std::strcmp(g_counters[i].device, name) == 0) {
            return g_counters[i];
        }
    }
    Counter& c = g_counters[g_counter_count < kMaxFaults - 1 ? g_counter_count++ : kMaxFaults - 1];
    std::snprintf(c.device, sizeof c.device, "%s", name);
    return c;
}

template <typename F>
F real(const char* symbol)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, symbol));
}

void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_line(const char* format, ...)
{
    const char* path = std::getenv("FLASHSIM_LOG");
    if (path == nullptr) {
        return;
    }
    char line[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    if (static_cast<std::size_t>(n) > sizeof line - 2) {
        n = static_cast<int>(sizeof line - 2);
    }
    line[n] = '\n';
    const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (fd >= 0) {
        const int saved = errno;
        [[maybe_unused]] const long w = syscall(SYS_write, fd, line, static_cast<std::size_t>(n) + 1);
        syscall(SYS_close, fd);
        errno = saved;
    }
}

bool parse_fault(const char* text, Fault& fault)
{
    static const struct {
        const char* word;
        FaultKind kind;
        bool has_device;
        bool has_arg;
    } kinds[] = {
        {"erase-fail", FaultKind::erase_fail, true, true},
        {"write-fail", FaultKind::write_fail, true, true},
        {"write-short", FaultKind::write_short, true, true},
        {"read-fail", FaultKind::read_fail, true, true},
        {"read-short", FaultKind::read_short, true, true},
        {"lseek-fail", FaultKind::lseek_fail, true, true},
        {"close-fail", FaultKind::close_fail, true, true},
        {"missing", FaultKind::missing, true, false},
        {"readonly", FaultKind::readonly, true, false},
        {"kill-after", FaultKind::kill_after, false, true},
        {"hup-after", FaultKind::hup_after, false, true},
        {"fail-op", FaultKind::fail_op, false, true},
        {"short-op", FaultKind::short_op, false, true},
        {"stop-before", FaultKind::stop_before, false, true},
    };
    char copy[128];
    std::snprintf(copy, sizeof copy, "%s", text);
    char* save = nullptr;
    const char* word = strtok_r(copy, ":", &save);
    if (word == nullptr) {
        return false;
    }
    for (const auto& k : kinds) {
        if (std::strcmp(word, k.word) != 0) {
            continue;
        }
        fault.kind = k.kind;
        fault.device[0] = '\0';
        fault.arg = 0;
        if (k.has_device) {
            const char* dev = strtok_r(nullptr, ":", &save);
            if (dev == nullptr) {
                return false;
            }
            std::snprintf(fault.device, sizeof fault.device, "%s", dev);
        }
        if (k.has_arg) {
            const char* arg = strtok_r(nullptr, ":", &save);
            if (arg == nullptr) {
                return false;
            }
            fault.arg = std::strtoull(arg, nullptr, 0);
        }
        return true;
    }
    return false;
}

void load_faults()
{
    if (g_loaded) {
        return;
    }
    g_loaded = true;
    const char* list = std::getenv("FLASHSIM_FAULTS");
    if (list == nullptr) {
        return;
    }
    char copy[1024];
    std::snprintf(copy, sizeof copy, "%s", list);
    char* save = nullptr;
    for (char* item = strtok_r(copy, ", ", &save); item != nullptr && g_fault_count < kMaxFaults;
         item = strtok_r(nullptr, ", ", &save)) {
        if (parse_fault(item, g_faults[g_fault_count])) {
            ++g_fault_count;
        } else {
            std::fprintf(stderr, "flashsim: bad fault '%s'\n", item);
            std::abort();
        }
    }
}

const Fault* find_fault(FaultKind kind, const char* device)
{
    load_faults();
    for (int i = 0; i < g_fault_count; ++i) {
        if (g_faults[i].kind == kind && std::strcmp(g_faults[i].device, device) == 0) {
            return &g_faults[i];
        }
    }
    return nullptr;
}

bool has_fault_at(FaultKind kind, unsigned long number)
{
    for (int i = 0; i < g_fault_count; ++i) {
        if (g_faults[i].kind == kind && g_faults[i].arg == number) {
            return true;
        }
    }
    return false;
}

// The page that the processes of one run (FLASHSIM_RUN) share: the last operation number
// given out and the power-off flag. It is a small file mapped into every process, updated
// with atomic operations, so no process waits for another. nullptr outside a run.
struct RunPage {
    std::uint32_t operations;
    std::uint32_t power_off;
};

RunPage* run_page()
{
    static RunPage* page = nullptr;
    static bool mapped = false;
    if (mapped) {
        return page;
    }
    mapped = true;
    const char* dir = std::getenv("FLASHSIM_RUN");
    if (dir == nullptr || *dir == '\0') {
        return nullptr;
    }
    char path[4096];
    std::snprintf(path, sizeof path, "%s/counter", dir);
    const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (fd < 0) {
        return nullptr;
    }
    struct stat64 st {};
    if (fstat64(fd, &st) == 0 && st.st_size < static_cast<off64_t>(sizeof(RunPage))) {
        // Growing the file fills it with zeros, so a second process doing the same at the
        // same moment changes nothing.
        [[maybe_unused]] const int t = ftruncate(fd, sizeof(RunPage));
    }
    void* map = mmap(nullptr, sizeof(RunPage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    syscall(SYS_close, fd);
    page = map == MAP_FAILED ? nullptr : static_cast<RunPage*>(map);
    return page;
}

// This process's command line, its arguments joined by spaces, for the trace.
const char* command_line()
{
    static char line[256];
    static bool read_once = false;
    if (read_once) {
        return line;
    }
    read_once = true;
    const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/proc/self/cmdline", O_RDONLY | O_CLOEXEC));
    long n = fd < 0 ? 0 : syscall(SYS_read, fd, line, sizeof line - 1);
    if (fd >= 0) {
        syscall(SYS_close, fd);
    }
    n = n < 0 ? 0 : n;
    while (n > 0 && line[n - 1] == '\0') {
        --n;
    }
    for (long i = 0; i < n; ++i) {
        line[i] = line[i] == '\0' || line[i] == '\n' ? ' ' : line[i];
    }
    line[n] = '\0';
    return line;
}

// Power is lost: every process of the run dies at once. Outside a run only this process
// does (the fault campaign of a single command counts on that).
[[noreturn]] void cut_power()
{
    if (RunPage* page = run_page()) {
        __atomic_store_n(&page->power_off, 1U, __ATOMIC_SEQ_CST);
        kill(0, SIGKILL);
    }
    kill(getpid(), SIGKILL);
    std::abort();
}

// One device operation (open, read, write, lseek, ioctl, close): numbered from 1 in the
// order the process (or, in a run, every process) performs them, traced when
// FLASHSIM_TRACE is set, and the target of the per-operation faults. Power cuts and
// hang-ups strike once the operation is done; after a cut no operation starts.
class Operation {
public:
    Operation(const char* kind, const char* device, std::uint64_t offset)
    {
        load_faults();
        RunPage* page = run_page();
        if (page != nullptr && __atomic_load_n(&page->power_off, __ATOMIC_SEQ_CST) != 0) {
            cut_power();
        }
        number_ = page != nullptr ? __atomic_add_fetch(&page->operations, 1U, __ATOMIC_SEQ_CST)
                                  : ++g_operations;
        if (has_fault_at(FaultKind::stop_before, number_)) {
            log_line("stop before %lu", number_);
            kill(getpid(), SIGSTOP);
        }
        if (std::getenv("FLASHSIM_TRACE") != nullptr) {
            log_line("op %lu %ld %s %s 0x%llx %s", number_, static_cast<long>(getpid()), kind, device,
                     static_cast<unsigned long long>(offset), command_line());
        }
    }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    ~Operation()
    {
        if (has_fault_at(FaultKind::hup_after, number_)) {
            log_line("hangup after %lu", number_);
            kill(getpid(), SIGHUP);
        }
        if (has_fault_at(FaultKind::kill_after, number_)) {
            log_line("kill after %lu", number_);
            cut_power();
        }
    }
    [[nodiscard]] bool fails() const { return has_fault_at(FaultKind::fail_op, number_); }
    [[nodiscard]] bool shortened() const { return has_fault_at(FaultKind::short_op, number_); }

private:
    unsigned long number_;
};

Device* device_of(int fd)
{
    if (fd >= 0 && fd < kMaxFd && g_devices[fd].open) {
        return &g_devices[fd];
    }
    return nullptr;
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

bool ram_mode()
{
    const char* ram = std::getenv("FLASHSIM_RAM");
    return ram != nullptr && *ram != '\0' && std::strcmp(ram, "0") != 0;
}

// Stores count bytes at the descriptor's position as NOR flash does: each stored byte
// becomes old AND new, since programming can only clear bits. Moves the position on as a
// write would. Returns the count, or -1 with errno set.
ssize_t program_nor(int fd, const void* buffer, std::size_t count)
{
    const auto start = static_cast<off_t>(syscall(SYS_lseek, fd, 0L, SEEK_CUR));
    const auto* in = static_cast<const unsigned char*>(buffer);
    static unsigned char cells[65536];
    for (std::size_t done = 0; done < count;) {
        const std::size_t chunk = count - done < sizeof cells ? count - done : sizeof cells;
        const off_t at = start + static_cast<off_t>(done);
        if (pread(fd, cells, chunk, at) != static_cast<ssize_t>(chunk)) {
            errno = EIO;
            return -1;
        }
        for (std::size_t i = 0; i < chunk; ++i) {
            cells[i] = static_cast<unsigned char>(cells[i] & in[done + i]);
        }
        if (pwrite(fd, cells, chunk, at) != static_cast<ssize_t>(chunk)) {
            errno = EIO;
            return -1;
        }
        done += chunk;
    }
    syscall(SYS_lseek, fd, static_cast<long>(start + static_cast<off_t>(count)), SEEK_SET);
    return static_cast<ssize_t>(count);
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

ssize_t device_write(Device& dev, int fd, const void* buffer, std::size_t count)
{
    slow_write();
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
    if (!ram_mode()) {
        return program_nor(fd, buffer, static_cast<std::size_t>(n));
    }
    return syscall(SYS_write, fd, buffer, static_cast<std::size_t>(n));
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
    static unsigned char fill[65536];
    std::memset(fill, 0xFF, sizeof fill);
    for (std::uint64_t done = 0; done < length;) {
        const std::size_t chunk = static_cast<std::size_t>(
            length - done < sizeof fill ? length - done : sizeof fill);
        const auto at = static_cast<off_t>(dev.base + start + done);
        if (pwrite(fd, fill, chunk, at) != static_cast<ssize_t>(chunk)) {
            errno = EIO;
            return -1;
        }
        done += chunk;
    }
    return 0;
}

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
