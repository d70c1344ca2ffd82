// hold.cpp: holding a run at a chosen operation, for the power-cut campaign.
//
// The campaign runs its script once and looks at the flash as each cut point left it. It
// names the point in the run page: the u32 gate at byte 12 is the number of the operation
// to hold after (0: no hold). A process that takes a number past the gate waits, before it
// touches the device, until the gate moves on; the process that completes the gate's
// operation waits after it. The u32 at byte 16 counts completed operations: when it
// reaches the gate, every operation up to the gate is done and none past it has started,
// which is the flash as a power cut right after that operation leaves it. The process that
// completes the count writes the number to the FIFO FLASHSIM_RUN/hold, the launcher copies
// the flash, moves the gate (flashsim_set_gate) and wakes the waiters.
//
// The u64 at byte 24 marks the 64 KiB pieces of the backing file that writes and erases
// changed (bit i: bytes i * 64 KiB onwards; bit 63 also stands for everything past it), so
// that the launcher brings its copies of a whole-flash image up to date piece by piece
// (flashsim_take_written).
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "flashsim.h"

namespace flashsim {

namespace {

constexpr std::size_t kGateOffset = 12;
constexpr std::size_t kDoneOffset = 16;
constexpr std::size_t kWrittenOffset = 24;
constexpr unsigned kPieceShift = 16;
constexpr std::size_t kPageSize = 4096;

void* g_page = nullptr;   // this process's run page, once an operation has seen it

// The run page is mapped at a page boundary and every field sits at a multiple of its own
// size, so the fields are aligned on every target.
static_assert(kGateOffset % 4 == 0 && kDoneOffset % 4 == 0 && kWrittenOffset % 8 == 0);

std::uint32_t* word_at(void* page, std::size_t offset)
{
    return static_cast<std::uint32_t*>(static_cast<void*>(static_cast<unsigned char*>(page) + offset));
}

std::uint64_t* written_word(void* page)
{
    return static_cast<std::uint64_t*>(static_cast<void*>(static_cast<unsigned char*>(page) + kWrittenOffset));
}

// Waits while the gate still reads seen; a second at a time, so that a launcher that is
// gone (its run killed) is never waited for longer than that between looks.
void wait_gate(std::uint32_t* gate, std::uint32_t seen)
{
    const timespec second{1, 0};
    const int saved = errno;
    syscall(SYS_futex, gate, FUTEX_WAIT, seen, &second, nullptr, 0);
    errno = saved;
}

void notify(std::uint32_t number)
{
    static int fd = -1;
    static pid_t owner = 0;
    if (fd < 0 || owner != getpid()) {
        const char* dir = std::getenv("FLASHSIM_RUN");
        char path[4096];
        std::snprintf(path, sizeof path, "%s/hold", dir == nullptr ? "" : dir);
        fd = static_cast<int>(
            syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        owner = getpid();
    }
    if (fd >= 0) {
        const int saved = errno;
        [[maybe_unused]] const long w = syscall(SYS_write, fd, &number, sizeof number);
        errno = saved;
    }
}

}  // namespace

void hold_before(void* page, unsigned long number)
{
    if (page == nullptr) {
        return;
    }
    g_page = page;
    std::uint32_t* gate = word_at(page, kGateOffset);
    for (;;) {
        const std::uint32_t held = __atomic_load_n(gate, __ATOMIC_SEQ_CST);
        if (held == 0 || number <= held) {
            return;
        }
        wait_gate(gate, held);
    }
}

void hold_after(void* page, unsigned long number)
{
    if (page == nullptr) {
        return;
    }
    std::uint32_t* gate = word_at(page, kGateOffset);
    const std::uint32_t done = __atomic_add_fetch(word_at(page, kDoneOffset), 1U, __ATOMIC_SEQ_CST);
    std::uint32_t held = __atomic_load_n(gate, __ATOMIC_SEQ_CST);
    if (held == 0) {
        return;
    }
    if (done == held) {
        notify(done);
    }
    while (held == number) {
        wait_gate(gate, held);
        held = __atomic_load_n(gate, __ATOMIC_SEQ_CST);
    }
}

namespace {

// Where this process marks the pieces it writes: its run page, or outside a run the file
// FLASHSIM_WRITTEN (the same word at byte 24), which the campaign gives each check so that
// it knows what a check changed on its copy of the flash.
void* written_page()
{
    if (g_page != nullptr) {
        return g_page;
    }
    static void* mapped = nullptr;
    static bool looked = false;
    if (!looked) {
        looked = true;
        const char* path = std::getenv("FLASHSIM_WRITTEN");
        const int fd = path == nullptr || *path == '\0' ? -1
            : static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CLOEXEC));
        if (fd >= 0) {
            void* map = mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            syscall(SYS_close, fd);
            mapped = map == MAP_FAILED ? nullptr : map;
        }
    }
    return mapped;
}

}  // namespace

void hold_wrote(std::uint64_t at, std::uint64_t count)
{
    void* page = written_page();
    if (page == nullptr || count == 0) {
        return;
    }
    const std::uint64_t first = at >> kPieceShift;
    const std::uint64_t last = (at + count - 1) >> kPieceShift;
    std::uint64_t bits = 0;
    for (std::uint64_t piece = first; piece <= last && piece < 64; ++piece) {
        bits |= std::uint64_t{1} << piece;
    }
    if (last >= 63) {
        bits |= std::uint64_t{1} << 63;
    }
    __atomic_fetch_or(written_word(page), bits, __ATOMIC_SEQ_CST);
}

}  // namespace flashsim

// The pieces written since the last call (see above), and none marked any more.
extern "C" __attribute__((visibility("default"))) std::uint64_t
flashsim_take_written(void* page)
{
    return __atomic_exchange_n(flashsim::written_word(page), std::uint64_t{0}, __ATOMIC_SEQ_CST);
}

// Moves the gate of a run page that the launcher has mapped, and wakes every process that
// waits on it. Called by the launcher through ctypes.
extern "C" __attribute__((visibility("default"))) void flashsim_set_gate(void* page, unsigned gate)
{
    std::uint32_t* word = flashsim::word_at(page, flashsim::kGateOffset);
    __atomic_store_n(word, gate, __ATOMIC_SEQ_CST);
    syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}
