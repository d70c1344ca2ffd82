// flashsim.h: what the parts of libflashsim share. One role per file; a write reads
// top-down, interposer -> device -> model, and the run decides the cut in one place:
//   flashsim.cpp  the interposer: each C library entry point a thin call, and the table of
//                 the calls answered on a device (the variables and faults are listed at its top)
//   device.cpp    the devices: descriptor table, backing store (a file per device or slices
//                 of one image), the MTD driver's answers
//   model.cpp     the flash itself: layout, write rules, erase, torn plans (pure; model.h)
//   run.cpp       the run: its shared page, the chip that does one operation at a time,
//                 operation numbers, the power cut, the campaign's hold
//   faults.cpp    FLASHSIM_FAULTS: the one parser, and what the faults say of an operation
//   config.cpp    the environment, read once when the process joins
//   spies.cpp     the syslog and durability calls, logged
#ifndef FLASHSIM_FLASHSIM_H
#define FLASHSIM_FLASHSIM_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "model.h"

namespace flashsim {

constexpr int kMaxFd = 1024;

// What the library and the launcher agree on, defined here alone: the launcher reads it
// through flashsim_protocol (run.cpp). The files of a run folder (FLASHSIM_RUN): the
// shared page, the FIFO of the campaign's hold (each message one operation number, an
// unsigned 32-bit word in the machine's byte order), the copy a held torn cut goes to, the
// log; and the piece map beside an image (IMAGE.pieces: the pieces that may differ from
// its base, model.h).
constexpr char kCounterFile[] = "counter";
constexpr char kHoldFile[] = "hold";
constexpr char kTornFile[] = "torn";
constexpr char kLogFile[] = "log";
constexpr char kPiecesSuffix[] = ".pieces";
using HoldFrame = std::uint32_t;

// The C library's own definition of an interposed symbol.
template <typename F>
F real(const char* symbol)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, symbol));
}

// Fails a call the way the C library does: -1 with errno set.
inline int refuse(int error)
{
    errno = error;
    return -1;
}

// A heap buffer that frees itself (the library stays out of operator new: no part of the
// C++ runtime is pulled in).
struct Buffer {
    explicit Buffer(std::size_t size) : bytes(static_cast<std::uint8_t*>(std::malloc(size + 1))) {}
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { std::free(bytes); }
    std::uint8_t* bytes;
};

// ---- config.cpp ----

struct Config {
    const char* image = nullptr;   // FLASHSIM_IMAGE, or nullptr
    const char* dir = nullptr;     // FLASHSIM_DIR, or nullptr (and when an image is set)
    Layout layout{};               // FLASHSIM_LAYOUT, or the device's
    bool layout_ok = true;
    char layout_message[256] = {};
    WriteRule rule = WriteRule::nor;
    long delay_us = 0;
    const char* log = nullptr;
    bool trace = false;
    const char* run = nullptr;     // FLASHSIM_RUN, or nullptr outside a run
    const char* written = nullptr;
    const char* base = nullptr;    // FLASHSIM_BASE: the image that FLASHSIM_IMAGE's unheld pieces are read from
    bool rename_fail = false;
    char image_path[4096] = {}, dir_path[4096] = {}, log_path[4096] = {}, run_path[4096] = {}, written_path[4096] = {},
         base_path[4096] = {};
    [[nodiscard]] bool serves() const { return image != nullptr || dir != nullptr; }
};

void load_config();
const Config& config();
// A layout file (nullptr or "": the device's layout); false with one line in message.
bool read_layout(const char* path, Layout& layout, char* message, std::size_t size);

// ---- faults.cpp ----

enum class OpKind { open, read, write, lseek, erase, getinfo, close };
const char* op_name(OpKind kind);

enum class CutKind { none, after, inside };

// What FLASHSIM_FAULTS says of one device operation, asked once per operation.
struct Verdict {
    static constexpr std::uint64_t kNowhere = ~std::uint64_t{0};
    bool fails = false;       // fail-op, or the Nth erase, lseek or close of the device
    bool halved = false;      // short-op: a read or write moves half its bytes
    bool missing = false;     // missing:DEV
    bool readonly = false;    // readonly:DEV
    bool stop_before = false;
    bool hangup_after = false;
    CutKind cut = CutKind::none;   // kill-after (after) or torn (inside), the run's first cut only
    std::uint64_t seed = 0;        // torn: what the cut leaves (torn_seed of the fault's and the number)
    std::uint64_t fail_at = kNowhere, short_at = kNowhere;   // read- or write-fail, -short
    // The bytes of a transfer of count at pos that the offset faults let through, or -1.
    [[nodiscard]] long long allowed(std::uint64_t pos, std::size_t count) const;
};

// Parses FLASHSIM_FAULTS; a bad list ends the run (refuse_run).
void load_faults();
Verdict judge(OpKind kind, const char* device, unsigned long number);
// Whether the path's device is reported missing (stat, access: no operation).
bool is_missing(const char* device);

// ---- run.cpp ----

void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Says "flashsim: MESSAGE" on stderr, marks the run broken, ends its other processes, and
// exits with status 2.
[[noreturn]] void refuse_run(const char* message);
// Notes that a backing file changes at [at, at + count), for the campaign's copies.
void mark_written(std::uint64_t at, std::uint64_t count);
// Maps a file of size bytes shared (grown, zero-filled, when shorter), or nullptr.
void* map_shared(const char* path, std::size_t size, bool create);

// One device operation: it holds the chip from its start to its end (operations of every
// process of a run happen one at a time, in the order of their numbers), numbered from 1
// across the run (or the process), traced, judged by the faults once. The power is checked
// when it starts; a cut falls when it ends (kill-after), or inside it (torn: the device
// does the partial work, see cut_inside), or before it for an operation that does not
// program the chip.
class Operation {
public:
    Operation(OpKind kind, const char* device, std::uint64_t offset);
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    ~Operation();
    [[nodiscard]] const Verdict& faults() const { return verdict_; }
    // The torn cut that falls inside this write or erase: its seed, or nullptr.
    [[nodiscard]] const std::uint64_t* cut_inside() const
    {
        return verdict_.cut == CutKind::inside ? &verdict_.seed : nullptr;
    }
    [[nodiscard]] unsigned long number() const { return number_; }
    // In a campaign's held run, the torn cut of this write or erase that is judged on a copy
    // of the flash (FLASHSIM_RUN/torn): its seed, or nullptr. The operation itself runs whole.
    [[nodiscard]] const std::uint64_t* torn_copy() const { return torn_copy_ ? &torn_seed_ : nullptr; }
    // The torn result could not be stored in the copy: the launcher is told none was made.
    void copy_failed() const { copy_failed_ = true; }
    // Logs what a cut inside this operation left: "torn N KIND DEVICE DONE TOTAL UNIT".
    void tore(std::uint64_t done, std::uint64_t total, const char* unit) const;

private:
    OpKind kind_;
    const char* device_;
    unsigned long number_ = 0;
    Verdict verdict_;
    bool torn_copy_ = false;
    std::uint64_t torn_seed_ = 0;
    mutable bool copy_failed_ = false;
};

// ---- device.cpp ----

struct Device {
    bool open = false;
    char name[kNameMax] = {};
    std::uint64_t size = 0;
    std::uint32_t erase_size = 0;
    bool writable = false;
    bool readable = false;
    std::uint64_t base = 0;   // where the device starts in its backing file
    int slice = -1;           // its part of FLASHSIM_IMAGE, or -1 (FLASHSIM_DIR)
};

// The device open on fd, or nullptr.
Device* device_of(int fd);
// After a duplicate of from was made as to (or to was replaced): to gets from's entry.
void copy_device(int from, int to);
void forget_device(int fd);
// Finds the devices among the descriptors a process inherited across exec.
void adopt_devices();
// Returns -2 when the path is not served, else the result of the simulated open.
int open_device(const char* path, int flags);
// /proc/mtd for the served devices: -2 when not served.
int open_device_list(const char* path, int flags);
// A read or write at offset (pread, pwrite), or at the position when advance is set, which
// then moves on by the count moved.
ssize_t device_read(Device& dev, int fd, void* buffer, std::size_t count, long long offset, bool advance);
ssize_t device_write(Device& dev, int fd, const void* buffer, std::size_t count, long long offset, bool advance);
// Takes the offset at full width, so that lseek64 on a 32-bit target is judged as given.
long long device_lseek(Device& dev, int fd, long long offset, int whence);
int device_ioctl(Device& dev, int fd, unsigned long request, void* arg);
// A device's status as the kernel gives a character device's: /dev/mtdN is major 90,
// minor 2N, size 0, block size 4096; mode, owner and times are the backing file's.
void device_status(const Device& dev, int fd, struct stat64& st);
// The status of a path or whether it can be accessed: -2 when the path is not served.
int path_status(const char* path, struct stat64& st);
int path_access(const char* path, int mode);
// A byte-range lock request (F_GETLK64, F_SETLK64, F_SETLKW64, F_OFD_*) on a device.
int device_lock(const Device& dev, int fd, int cmd, struct flock64& lock);
int device_close(int fd);

}  // namespace flashsim

#endif
