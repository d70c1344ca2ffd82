// flashsim.h: what the parts of libflashsim share (the environment, the behaviours and the
// faults are described at the top of flashsim.cpp, in one place).
//   faults.cpp   FLASHSIM_FAULTS: parsing, lookup, per-device call counters
//   power.cpp    the log, the run page shared by a run's processes, operation numbers,
//                the power cut
//   devices.cpp  the devices: their backing files and slices, and the MTD driver's
//                answers to open, read, write, lseek, ioctl and close
//   flashsim.cpp the interposed entry points for descriptors: open, transfers, positions,
//                duplicates, locks, requests, what the kernel refuses; syslog, durability
//   status.cpp   the interposed status calls and access
//   streams.cpp  the interposed stdio opens: streams made of the simulator's calls
#ifndef FLASHSIM_FLASHSIM_H
#define FLASHSIM_FLASHSIM_H

#include <cstddef>
#include <cstdint>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

struct erase_info_user;

namespace flashsim {

constexpr int kMaxFd = 1024;
constexpr std::size_t kNameMax = 64;

// The C library's own definition of an interposed symbol.
template <typename F>
F real(const char* symbol)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, symbol));
}

// ---- faults.cpp ----

enum class FaultKind { erase_fail, write_fail, write_short, read_fail, read_short, lseek_fail,
                       close_fail, missing, readonly, kill_after, hup_after,
                       fail_op, short_op, stop_before, torn };

struct Fault {
    FaultKind kind;
    char device[kNameMax];
    std::uint64_t arg;
    std::uint64_t seed;   // torn: what the cut leaves
};

// Per-device counters for the Nth-call faults, keyed by name.
struct Counter {
    char device[kNameMax];
    unsigned long erases, lseeks, closes;
};

Counter& counter_for(const char* name);
void load_faults();
const Fault* find_fault(FaultKind kind, const char* device);
bool has_fault_at(FaultKind kind, unsigned long number);
const Fault* fault_at(FaultKind kind, unsigned long number);
// The operation that the first power cut (kill-after or torn) follows or falls in; 0: none.
unsigned long cut_number();
// The next number of the sequence that decides what a torn cut leaves (splitmix64).
std::uint64_t torn_random(std::uint64_t& state);

// ---- power.cpp ----

void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A bad FLASHSIM_FAULTS: says so on stderr, marks the run broken, ends its other
// processes, and exits with status 2.
[[noreturn]] void refuse_run(const char* message);

// One device operation (open, read, write, lseek, ioctl, close): numbered from 1 in the
// order the process (or, in a run, every process) performs them, traced when
// FLASHSIM_TRACE is set, and the target of the per-operation faults. Power cuts and
// hang-ups strike once the operation is done; after a cut no operation starts.
class Operation {
public:
    Operation(const char* kind, const char* device, std::uint64_t offset);
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    ~Operation();
    [[nodiscard]] bool fails() const { return has_fault_at(FaultKind::fail_op, number_); }
    [[nodiscard]] bool shortened() const { return has_fault_at(FaultKind::short_op, number_); }
    // The torn fault that cuts the power inside this operation (a write or an erase), whose
    // partial work the caller does; the power goes off when the operation ends.
    [[nodiscard]] const Fault* torn() const { return torn_; }
    [[nodiscard]] unsigned long number() const { return number_; }

private:
    unsigned long number_;
    const Fault* torn_ = nullptr;
};

// ---- devices.cpp ----

struct Device {
    bool open = false;
    char name[kNameMax] = {};
    std::uint64_t size = 0;
    std::uint32_t erase_size = 0;
    bool writable = false;
    bool readable = false;
    std::uint64_t base = 0;   // where the device starts in its backing file
    int slice = -1;           // its slice of FLASHSIM_IMAGE, or -1 (FLASHSIM_DIR)
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
// /proc/mtd, the kernel's list of MTD devices that mtd-utils read, for the served
// devices (names as the device's partition table gives them): -2 when not served.
int open_device_list(const char* path, int flags);
// A read or write at offset (pread, pwrite), or at the position when advance is set, which
// then moves on by the count moved.
ssize_t device_read_at(Device& dev, int fd, void* buffer, std::size_t count, long long offset, bool advance);
ssize_t device_write_at(Device& dev, int fd, const void* buffer, std::size_t count, long long offset,
                        bool advance);
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
