// device.cpp: the simulated devices as the kernel's MTD character device serves them: the
// descriptor table, the backing store (a file per device, or the slices of one whole-flash
// image in the layout's order), and the driver's answers. What the cells become is the
// model's (model.h); when an operation may start and whether the power is cut, the run's.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
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
// close_range) is noticed. kTagImage + i tags part i of an image, kTagDir a device of
// FLASHSIM_DIR.
constexpr int kTagImage = 40;
constexpr int kTagDir = kTagImage + kMaxParts;

int tag_of(int fd)
{
    return static_cast<int>(syscall(SYS_fcntl, fd, F_GETSIG, 0));
}

int tag_for(const Device& dev)
{
    return dev.slice < 0 ? kTagDir : kTagImage + dev.slice;
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
    return call(fd, buffer, count, static_cast<off64_t>(at));
}

// The piece map of an image (IMAGE.pieces, model.h), when the launcher made one beside it:
// bit i set when piece i may differ from the image's base. In a campaign the working
// flash's map says which pieces a run wrote (the launcher puts back only those), and a
// check's copy is an overlay: a sparse file that holds only the pieces its map marks,
// every other piece read from the base, FLASHSIM_BASE (the campaign's starting flash).
struct PieceMap {
    std::uint32_t* words = nullptr;
    std::size_t size = 0;
    char path[4096 + 16] = {};
};

void open_pieces(PieceMap& map, const char* image)
{
    if (std::snprintf(map.path, sizeof map.path, "%s%s", image, kPiecesSuffix) >= static_cast<int>(sizeof map.path)) {
        return;
    }
    map.size = piece_words(config().layout.total());
    map.words = static_cast<std::uint32_t*>(map_shared(map.path, map.size * sizeof(std::uint32_t), false));
}

// The served image's own map: used in a run (the working flash) and in an overlay only,
// so that a file that happens to sit beside a user's image is never written.
const PieceMap& image_pieces()
{
    static PieceMap map;
    static bool looked = false;
    if (!looked && config().image != nullptr && (config().run != nullptr || config().base != nullptr)) {
        open_pieces(map, config().image);
    }
    looked = true;
    return map;
}

// The base of an overlay, open, or -1.
int base_descriptor()
{
    static int fd = -1;
    static bool opened = false;
    if (!opened && config().base != nullptr && image_pieces().words != nullptr) {
        fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, config().base, O_RDONLY | O_CLOEXEC));
    }
    opened = true;
    return fd;
}

// Makes the pieces that [at, at + count) touches the image's own before they are written:
// marks them in map, first copying each one the map does not mark in from source (the
// base, or the flash a torn copy was taken from; -1: none, only marked). A copy-in holds
// the map file's lock and looks at the mark again under it, so that two processes writing
// one piece never copy over each other's write. False when a piece cannot be copied in.
bool own_pieces(const PieceMap& map, int target, int source, std::uint64_t at, std::uint64_t count)
{
    if (map.words == nullptr || count == 0) {
        return true;
    }
    const std::uint64_t total = config().layout.total();
    for (std::uint64_t piece = at >> kPieceShift; source >= 0 && piece <= (at + count - 1) >> kPieceShift; ++piece) {
        if (piece_marked(map.words, map.size, piece) || piece * kPiece >= total) {
            continue;
        }
        const int lock = static_cast<int>(syscall(SYS_openat, AT_FDCWD, map.path, O_RDONLY | O_CLOEXEC));
        if (lock < 0 || syscall(SYS_flock, lock, LOCK_EX) != 0) {
            if (lock >= 0) {
                syscall(SYS_close, lock);
            }
            return false;
        }
        bool copied = true;
        if (!piece_marked(map.words, map.size, piece)) {
            static std::uint8_t bytes[kPiece];
            const std::uint64_t start = piece * kPiece;
            const auto length = static_cast<std::size_t>(total - start < kPiece ? total - start : kPiece);
            copied = backing_pread(source, bytes, length, start) == static_cast<ssize_t>(length) &&
                     backing_pwrite(target, bytes, length, start) == static_cast<ssize_t>(length);
            if (copied) {
                mark_pieces(map.words, map.size, start, length);
            }
        }
        syscall(SYS_close, lock);
        if (!copied) {
            return false;
        }
    }
    mark_pieces(map.words, map.size, at, count);
    return true;
}

// Reads the device's bytes at `at` of its backing file: in an overlay each piece from the
// copy when its map marks it, else from the base.
ssize_t device_pread(const Device& dev, int fd, void* buffer, std::size_t count, std::uint64_t at)
{
    const int base = dev.slice >= 0 ? base_descriptor() : -1;
    if (base < 0) {
        return backing_pread(fd, buffer, count, at);
    }
    const PieceMap& map = image_pieces();
    std::size_t done = 0;
    while (done < count) {
        const std::uint64_t pos = at + done;
        const std::size_t left = static_cast<std::size_t>(kPiece - (pos & (kPiece - 1)));
        const std::size_t chunk = count - done < left ? count - done : left;
        const int from = piece_marked(map.words, map.size, pos >> kPieceShift) ? fd : base;
        const ssize_t n = backing_pread(from, static_cast<std::uint8_t*>(buffer) + done, chunk, pos);
        if (n <= 0) {
            return done > 0 ? static_cast<ssize_t>(done) : n;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Where a simulated write or erase stores its bytes: the device's backing file (marked
// for the campaign's copies, and owned in its piece map), or the copy that holds a held
// run's torn result (owned in the copy's map, copied in from the device's file).
struct Store {
    int fd;
    const PieceMap* copy = nullptr;   // the torn copy's map, nullptr for the device's own file
};

ssize_t store_bytes(const Device& dev, int fd, const Store& out, const void* buffer, std::size_t count, std::uint64_t at)
{
    if (out.copy != nullptr) {
        return own_pieces(*out.copy, out.fd, fd, at, count) ? backing_pwrite(out.fd, buffer, count, at) : -1;
    }
    if (dev.slice >= 0 && !own_pieces(image_pieces(), fd, base_descriptor(), at, count)) {
        return -1;
    }
    mark_written(at, count);
    return backing_pwrite(fd, buffer, count, at);
}

// The backing file's status, past the interposed calls (which answer for devices). The
// 64-bit calls: on a 32-bit target the plain ones fail with EOVERFLOW for a file whose
// inode number does not fit 32 bits.
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

// Where a served device lives: its backing file, and for a slice of an image its part.
struct Backing {
    char path[4096 + kNameMax];
    bool exists;
    int part;   // -1: the whole file is the device (FLASHSIM_DIR)
};

// The N of /dev/mtdN, or -1.
int number_of(const char* name)
{
    unsigned n = 0;
    char rest = 0;
    return std::sscanf(name, "mtd%u%c", &n, &rest) == 1 && n < 1000 ? static_cast<int>(n) : -1;
}

// The device name for a /dev path that the simulator serves, or nullptr to pass through.
const char* served_name(const char* path, Backing& backing)
{
    const Config& c = config();
    if (!c.serves() || path == nullptr || std::strncmp(path, "/dev/", 5) != 0) {
        return nullptr;
    }
    const char* name = path + 5;
    if (*name == '\0' || std::strchr(name, '/') != nullptr || std::strlen(name) >= kNameMax) {
        return nullptr;
    }
    backing.part = -1;
    if (c.image != nullptr) {
        std::snprintf(backing.path, sizeof backing.path, "%s", c.image);
        const int n = number_of(name);
        backing.part = n < c.layout.count ? n : -1;
        backing.exists = backing.part >= 0;
    } else {
        std::snprintf(backing.path, sizeof backing.path, "%s/%s", c.dir, name);
        struct stat64 st {};
        backing.exists = backing_stat(backing.path, st) == 0 && S_ISREG(st.st_mode);
    }
    return backing.exists || std::strncmp(name, "mtd", 3) == 0 ? name : nullptr;
}

// A device of FLASHSIM_DIR: FLASHSIM_DIR/<name>.erasesize, else the layout's.
std::uint32_t erase_size_of(const char* name)
{
    char path[4096 + 2 * kNameMax];
    std::snprintf(path, sizeof path, "%s/%s.erasesize", config().dir, name);
    if (FILE* f = std::fopen(path, "r")) {
        unsigned long value = 0;
        const int n = std::fscanf(f, "%lu", &value);
        std::fclose(f);
        if (n == 1 && value > 0) {
            return static_cast<std::uint32_t>(value);
        }
    }
    const int n = number_of(name);
    return n >= 0 && n < config().layout.count ? config().layout.parts[n].erase_size : 65536U;
}

// Places an opened device in its backing file: the whole file, or its slice of an image
// of the layout's size. Returns false (with errno set) for an image of another size.
bool place_device(Device& dev, int fd, const Backing& backing)
{
    struct stat64 st {};
    backing_fstat(fd, st);
    const auto file_size = static_cast<std::uint64_t>(st.st_size);
    if (backing.part < 0) {
        dev.base = 0;
        dev.slice = -1;
        dev.size = file_size;
        dev.erase_size = erase_size_of(dev.name);
        return true;
    }
    const std::uint64_t total = config().layout.total();
    if (file_size != total) {
        const bool mib = total % (1U << 20) == 0;
        std::fprintf(stderr, "flashsim: %s is %llu bytes, not a %llu %s (%llu-byte) flash image\n", backing.path,
                     static_cast<unsigned long long>(file_size), static_cast<unsigned long long>(total >> (mib ? 20 : 10)),
                     mib ? "MiB" : "KiB", static_cast<unsigned long long>(total));
        errno = ENXIO;
        return false;
    }
    const Part& part = config().layout.parts[backing.part];
    dev.base = part.start;
    dev.size = part.size;
    dev.erase_size = part.erase_size;
    dev.slice = backing.part;
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

// Why an open of a served device fails, or 0.
int open_refusal(const Backing& backing, int flags, const Verdict& faults)
{
    if (!backing.exists || faults.missing) {
        return ENOENT;
    }
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
        return EEXIST;
    }
    if ((flags & O_DIRECTORY) != 0) {
        return ENOTDIR;
    }
    if ((flags & O_ACCMODE) == O_ACCMODE || (flags & (O_PATH | O_TMPFILE)) != 0) {
        return EINVAL;   // not served: an O_PATH descriptor would reach the backing file
    }
    if (faults.fails) {
        return EIO;
    }
    return (flags & O_ACCMODE) != O_RDONLY && faults.readonly ? EACCES : 0;
}

}  // namespace

int open_device(const char* path, int flags)
{
    Backing backing{};
    const char* name = served_name(path, backing);
    if (name == nullptr) {
        return -2;
    }
    char mode[64];
    describe_flags(flags, mode, sizeof mode);
    const Operation op(OpKind::open, name, 0);
    if (const int error = open_refusal(backing, flags, op.faults()); error != 0) {
        log_line("open %s %s -> %s", name, mode, std::strerror(error));
        return refuse(error);
    }
    // Always readable, so that a write can read the cells it programs; the device's own
    // access mode is kept in the entry. O_TRUNC and O_APPEND mean nothing to a character
    // device and never reach the backing file.
    const bool wants_write = (flags & O_ACCMODE) != O_RDONLY;
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
        return refuse(saved);
    }
    dev.open = true;
    dev.writable = wants_write;
    dev.readable = (flags & O_ACCMODE) != O_WRONLY;
    syscall(SYS_fcntl, fd, F_SETSIG, tag_for(dev));
    log_line("open %s %s", name, mode);
    return fd;
}

ssize_t device_read(Device& dev, int fd, void* buffer, std::size_t count, long long offset, bool advance)
{
    const std::uint64_t pos = advance ? position_of(dev, fd) : static_cast<std::uint64_t>(offset);
    const Operation op(OpKind::read, dev.name, pos);
    if (!dev.readable) {
        return refuse(EBADF);
    }
    if (offset < 0 || op.faults().fails) {
        return refuse(offset < 0 ? EINVAL : EIO);
    }
    count = op.faults().halved ? count / 2 : count;
    const std::size_t within = pos >= dev.size ? 0 : count < dev.size - pos ? count : static_cast<std::size_t>(dev.size - pos);
    const long long n = op.faults().allowed(pos, within);
    if (n < 0) {
        return refuse(EIO);
    }
    const ssize_t got = device_pread(dev, fd, buffer, static_cast<std::size_t>(n), dev.base + pos);
    if (advance && got > 0) {
        syscall(SYS_lseek, fd, static_cast<long>(dev.base + pos + static_cast<std::uint64_t>(got)), SEEK_SET);
    }
    return got;
}

namespace {

// Programs count bytes at the device's pos by the write rule (model.h): false with errno
// EIO when NOR refuses a byte or the backing file fails.
bool program_cells(const Device& dev, int fd, std::uint64_t pos, const std::uint8_t* in, std::size_t count)
{
    static std::uint8_t cells[65536];
    for (std::size_t done = 0; done < count;) {
        const std::size_t chunk = count - done < sizeof cells ? count - done : sizeof cells;
        const std::uint64_t at = dev.base + pos + done;
        if (device_pread(dev, fd, cells, chunk, at) != static_cast<ssize_t>(chunk)) {
            return refuse(EIO) == 0;
        }
        const Programmed p = program(config().rule, {cells, chunk}, {in + done, chunk});
        if (store_bytes(dev, fd, Store{fd}, cells, p.stored, at) != static_cast<ssize_t>(p.stored) || p.refused) {
            return refuse(EIO) == 0;
        }
        done += chunk;
    }
    return true;
}

// Fills [at, at + length) of the backing file (or of the copy) with 0xFF.
void fill_erased(const Device& dev, int fd, const Store& out, std::uint64_t at, std::uint64_t length)
{
    static std::uint8_t fill[65536];
    std::memset(fill, 0xFF, sizeof fill);
    for (std::uint64_t done = 0; done < length;) {
        const auto chunk = static_cast<std::size_t>(length - done < sizeof fill ? length - done : sizeof fill);
        if (store_bytes(dev, fd, out, fill, chunk, at + done) != static_cast<ssize_t>(chunk)) {
            return;
        }
        done += chunk;
    }
}

// What a cut inside a write leaves (model.h: tear_write), over the cells of the backing
// file fd, stored in out: fd itself, or the copy that holds a held run's torn result.
// Returns false when out could not be written.
bool tear_write(const Device& dev, int fd, const Store& out, std::uint64_t pos, const std::uint8_t* in,
                std::size_t count, const Operation& op, std::uint64_t seed)
{
    Buffer cells(count);
    TornWrite torn{0, 0};
    bool stored = false;
    if (cells.bytes != nullptr && device_pread(dev, fd, cells.bytes, count, dev.base + pos) == static_cast<ssize_t>(count)) {
        torn = flashsim::tear_write(config().rule, {cells.bytes, count}, {in, count}, seed);
        stored = torn.total == 0 || store_bytes(dev, fd, out, cells.bytes, torn.done + 1, dev.base + pos) ==
                                        static_cast<ssize_t>(torn.done + 1);
    }
    op.tore(torn.done, torn.total, "bytes");
    return stored;
}

// What a cut inside an erase leaves (model.h: torn_erase_blocks, partly_erase), stored in
// out as tear_write does.
bool tear_erase(const Device& dev, int fd, const Store& out, std::uint64_t start, std::uint64_t length,
                const Operation& op, std::uint64_t seed)
{
    std::uint64_t state = 0;
    const std::uint64_t blocks = length / dev.erase_size;
    const std::uint64_t done = torn_erase_blocks(blocks, seed, state);
    bool stored = true;
    if (blocks > 0) {
        fill_erased(dev, fd, out, dev.base + start, done * dev.erase_size);
        static std::uint8_t cells[65536];
        for (std::uint64_t off = 0; off < dev.erase_size; off += sizeof cells) {
            const auto chunk = static_cast<std::size_t>(dev.erase_size - off < sizeof cells ? dev.erase_size - off : sizeof cells);
            const std::uint64_t at = dev.base + start + done * dev.erase_size + off;
            if (device_pread(dev, fd, cells, chunk, at) != static_cast<ssize_t>(chunk)) {
                stored = false;
                break;
            }
            partly_erase({cells, chunk}, state);
            stored = store_bytes(dev, fd, out, cells, chunk, at) == static_cast<ssize_t>(chunk) && stored;
        }
    }
    op.tore(done, blocks, "blocks");
    return stored;
}

// The copy of the device's backing file that a held run's torn result goes to
// (FLASHSIM_RUN/torn: the image copy, or the folder of device copies), open; -1 if none.
// An image copy's piece map is the one beside the file the link names.
int open_torn_copy(const Device& dev, PieceMap& map)
{
    char path[2 * 4096 + kNameMax];
    if (dev.slice >= 0) {
        std::snprintf(path, sizeof path, "%s/%s", config().run, kTornFile);
        char target[4096];
        if (realpath(path, target) != nullptr) {
            open_pieces(map, target);
        }
    } else {
        std::snprintf(path, sizeof path, "%s/%s/%s", config().run, kTornFile, dev.name);
    }
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CLOEXEC));
}

// A descriptor that closes itself.
struct Descriptor {
    explicit Descriptor(int opened) : fd(opened) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        if (fd >= 0) {
            syscall(SYS_close, fd);
        }
    }
    int fd;
};

// Stores a held run's torn result of op in its copy (tear: tear_write or tear_erase with
// the copy as out); a copy that cannot be written is reported to the launcher as not made.
template <typename Tear>
void tear_copy(const Device& dev, const Operation& op, Tear tear)
{
    const int saved = errno;
    PieceMap map;
    const Descriptor copy(open_torn_copy(dev, map));
    if (copy.fd < 0 || !tear(Store{copy.fd, &map})) {
        op.copy_failed();
    }
    if (map.words != nullptr) {
        munmap(map.words, map.size * sizeof(std::uint32_t));
    }
    errno = saved;
}

// FLASHSIM_DELAY_US: every device write first takes this many microseconds, as a slow
// chip's programming does, so that a test can act while a write is under way.
void slow_write()
{
    const long delay = config().delay_us;
    timespec left{delay / 1000000, (delay % 1000000) * 1000};
    while (delay > 0 && nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

ssize_t device_write(Device& dev, int fd, const void* buffer, std::size_t count, long long offset, bool advance)
{
    slow_write();
    const std::uint64_t pos = advance ? position_of(dev, fd) : static_cast<std::uint64_t>(offset);
    const Operation op(OpKind::write, dev.name, pos);
    if (offset < 0 || op.faults().fails) {
        return refuse(offset < 0 ? EINVAL : EIO);
    }
    count = op.faults().halved ? count / 2 : count;
    if (!dev.writable || (pos >= dev.size && count > 0)) {
        return refuse(!dev.writable ? EBADF : ENOSPC);
    }
    const long long n = op.faults().allowed(pos, count < dev.size - pos ? count : static_cast<std::size_t>(dev.size - pos));
    if (n < 0) {
        return refuse(EIO);
    }
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    if (const std::uint64_t* seed = op.cut_inside()) {
        tear_write(dev, fd, Store{fd}, pos, in, static_cast<std::size_t>(n), op, *seed);
        return refuse(EIO);
    }
    if (const std::uint64_t* seed = op.torn_copy()) {
        tear_copy(dev, op, [&](const Store& copy) {
            return tear_write(dev, fd, copy, pos, in, static_cast<std::size_t>(n), op, *seed);
        });
    }
    if (!program_cells(dev, fd, pos, in, static_cast<std::size_t>(n))) {
        return -1;
    }
    if (advance) {
        syscall(SYS_lseek, fd, static_cast<long>(dev.base + pos + static_cast<std::uint64_t>(n)), SEEK_SET);
    }
    return static_cast<ssize_t>(n);
}

long long device_lseek(Device& dev, int fd, long long offset, int whence)
{
    const std::uint64_t pos = position_of(dev, fd);
    const Operation op(OpKind::lseek, dev.name, whence == SEEK_SET ? static_cast<std::uint64_t>(offset) : pos);
    long long target = offset + (whence == SEEK_CUR ? static_cast<long long>(pos) : 0) +
                       (whence == SEEK_END ? static_cast<long long>(dev.size) : 0);
    if (op.faults().fails || (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) || target < 0 ||
        static_cast<std::uint64_t>(target) > dev.size) {
        return refuse(EINVAL);
    }
    if (syscall(SYS_lseek, fd, static_cast<long>(dev.base + static_cast<std::uint64_t>(target)), SEEK_SET) < 0) {
        return -1;
    }
    return target;
}

namespace {

int device_erase(Device& dev, int fd, std::uint64_t start, std::uint64_t length)
{
    const Operation op(OpKind::erase, dev.name, start);
    log_line("erase %s 0x%llx 0x%llx", dev.name, static_cast<unsigned long long>(start),
             static_cast<unsigned long long>(length));
    if (!dev.writable || op.faults().fails) {
        return refuse(!dev.writable ? EPERM : EIO);
    }
    if (!erase_fits(start, length, dev.size, dev.erase_size)) {
        return refuse(EINVAL);
    }
    if (const std::uint64_t* seed = op.cut_inside()) {
        tear_erase(dev, fd, Store{fd}, start, length, op, *seed);
        return refuse(EIO);
    }
    if (const std::uint64_t* seed = op.torn_copy()) {
        tear_copy(dev, op, [&](const Store& copy) { return tear_erase(dev, fd, copy, start, length, op, *seed); });
    }
    fill_erased(dev, fd, Store{fd}, dev.base + start, length);
    return 0;
}

// The requests the chip's driver does not serve here: no block locking, no out-of-band
// area, no OTP area.
constexpr unsigned long kUnsupported[] = {MEMLOCK, MEMUNLOCK, MEMISLOCKED, ECCGETLAYOUT, MEMGETOOBSEL,
                                          MEMREADOOB, MEMWRITEOOB, MEMREADOOB64, MEMWRITEOOB64, MEMWRITE,
                                          OTPSELECT, OTPGETREGIONCOUNT, OTPGETREGIONINFO, OTPLOCK};

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
        const Operation op(OpKind::getinfo, dev.name, 0);
        auto* info = static_cast<mtd_info_user*>(arg);
        std::memset(info, 0, sizeof *info);
        // What the CFI NOR driver answers on the real-NOR tier, or block2mtd in RAM mode.
        const bool ram = config().rule == WriteRule::ram;
        info->type = ram ? MTD_RAM : MTD_NORFLASH;
        info->flags = ram ? MTD_CAP_RAM : MTD_CAP_NORFLASH;
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
        return offset < 0 || static_cast<std::uint64_t>(offset) >= dev.size ? refuse(EINVAL) : 0;
    }
    if (request == ECCGETSTATS) {
        std::memset(arg, 0, sizeof(mtd_ecc_stats));   // NOR: no ECC, nothing corrected
        return 0;
    }
    if (request == MTDFILEMODE) {
        // Only the normal mode: raw and OTP modes need OOB or OTP.
        return reinterpret_cast<std::uintptr_t>(arg) == MTD_FILE_MODE_NORMAL ? 0 : refuse(EOPNOTSUPP);
    }
    for (const unsigned long unsupported : kUnsupported) {
        if (request == unsupported) {
            return refuse(EOPNOTSUPP);
        }
    }
    return refuse(ENOTTY);
}

int device_close(int fd)
{
    Device& dev = g_devices[fd];
    const Operation op(OpKind::close, dev.name, 0);
    log_line("close %s%s", dev.name, op.faults().fails ? " -> fail" : "");
    dev.open = false;
    syscall(SYS_close, fd);
    return op.faults().fails ? refuse(EIO) : 0;
}

Device* device_of(int fd)
{
    if (fd < 0 || fd >= kMaxFd || !g_devices[fd].open) {
        return nullptr;
    }
    Device& dev = g_devices[fd];
    if (tag_of(fd) != tag_for(dev)) {
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

namespace {

// Takes fd, inherited with the given tag, as the device it was in the process before exec.
void adopt(int fd, int tag)
{
    char link[64];
    char target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) {
        return;
    }
    target[n] = '\0';
    const char* slash = std::strrchr(target, '/');
    char path[sizeof target + 8];
    if (tag == kTagDir) {
        std::snprintf(path, sizeof path, "/dev/%s", slash != nullptr ? slash + 1 : target);
    } else {
        std::snprintf(path, sizeof path, "/dev/mtd%d", tag - kTagImage);
    }
    Backing backing{};
    const char* name = served_name(path, backing);
    struct stat64 mine {};
    struct stat64 theirs {};
    if (name == nullptr || !backing.exists || backing_fstat(fd, mine) != 0 || backing_stat(backing.path, theirs) != 0 ||
        mine.st_ino != theirs.st_ino || mine.st_dev != theirs.st_dev) {
        return;
    }
    Device& dev = g_devices[fd];
    std::snprintf(dev.name, sizeof dev.name, "%s", name);
    const auto position = static_cast<std::uint64_t>(syscall(SYS_lseek, fd, 0L, SEEK_CUR));
    if (!place_device(dev, fd, backing)) {
        return;
    }
    syscall(SYS_lseek, fd, static_cast<long>(position), SEEK_SET);
    dev.writable = (static_cast<int>(syscall(SYS_fcntl, fd, F_GETFL)) & O_ACCMODE) != O_RDONLY;
    dev.readable = true;
    dev.open = true;
}

}  // namespace

void adopt_devices()
{
    if (!config().serves()) {
        return;
    }
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        const int tag = fd >= 0 && fd < kMaxFd && fd != dirfd(fds) && entry->d_name[0] != '.' ? tag_of(fd) : -1;
        if (tag >= kTagImage && tag <= kTagDir) {
            adopt(fd, tag);
        }
    }
    closedir(fds);
}

namespace {

void describe(const char* name, const struct stat64& backing, struct stat64& st)
{
    // /dev/mtdN is minor 2N (2N+1 is its read-only node).
    const int n = number_of(name);
    const unsigned minor = n >= 0 ? 2U * static_cast<unsigned>(n) : 254U;
    std::memset(&st, 0, sizeof st);
    // 32-bit MIPS's stat64 keeps its device numbers in an unsigned long.
    st.st_dev = static_cast<decltype(st.st_dev)>(makedev(0, 5));
    st.st_ino = 0x4d54440000ULL + minor;
    st.st_mode = S_IFCHR | (backing.st_mode & 0666);
    st.st_nlink = 1;
    st.st_uid = backing.st_uid;
    st.st_gid = backing.st_gid;
    st.st_rdev = static_cast<decltype(st.st_rdev)>(makedev(90, minor));
    st.st_blksize = 4096;
    st.st_atim = backing.st_atim;
    st.st_mtim = backing.st_mtim;
    st.st_ctim = backing.st_ctim;
}

// /proc/mtd in a FLASHSIM_DIR: the devices that have a backing file, by the layout's names.
void list_folder(char* list, std::size_t size)
{
    const Layout& layout = config().layout;
    std::size_t length = format_layout(Layout{{}, 0}, list, size);
    for (int n = 0; n < 16; ++n) {
        char node[32];
        std::snprintf(node, sizeof node, "/dev/mtd%d", n);
        Backing backing{};
        struct stat64 file {};
        if (served_name(node, backing) == nullptr || !backing.exists || backing_stat(backing.path, file) != 0) {
            continue;
        }
        length += static_cast<std::size_t>(
            std::snprintf(list + length, size - length, "mtd%d: %08llx %08x \"%s\"\n", n,
                          static_cast<unsigned long long>(file.st_size), erase_size_of(node + 5),
                          n < layout.count ? layout.parts[n].label : node + 5));
        length = length < size ? length : size - 1;
    }
}

}  // namespace

int open_device_list(const char* path, int flags)
{
    if (!config().serves() || path == nullptr || std::strcmp(path, "/proc/mtd") != 0) {
        return -2;
    }
    char list[4096];
    if (config().image != nullptr) {
        format_layout(config().layout, list, sizeof list);
    } else {
        list_folder(list, sizeof list);
    }
    const std::size_t length = std::strlen(list);
    const int fd = static_cast<int>(syscall(SYS_memfd_create, "mtd", (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0U));
    if (fd < 0 || backing_pwrite(fd, list, length, 0) != static_cast<ssize_t>(length)) {
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
    if (!backing.exists || is_missing(name) || backing_stat(backing.path, file) != 0) {
        return refuse(ENOENT);
    }
    describe(name, file, st);
    return 0;
}

int path_access(const char* path, int mode)
{
    if (config().serves() && path != nullptr && std::strcmp(path, "/proc/mtd") == 0) {
        return (mode & (W_OK | X_OK)) != 0 ? refuse(EACCES) : 0;
    }
    Backing backing{};
    const char* name = served_name(path, backing);
    if (name == nullptr) {
        return -2;
    }
    if (!backing.exists || is_missing(name)) {
        return refuse(ENOENT);
    }
    // A device node is never executable.
    if ((mode & X_OK) != 0) {
        return refuse(EACCES);
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
        return refuse(EINVAL);
    }
    // A character device's size is 0 to the kernel: SEEK_END counts from 0.
    long long length = lock.l_len;
    if (length < 0) {
        start += length;
        length = -length;
    }
    if (start < 0 || start >= kLockSpan) {
        return refuse(EINVAL);
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
