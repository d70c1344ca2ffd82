// run.cpp: the run that the processes of one flashsim command share (FLASHSIM_RUN): its
// page, the chip that does one operation at a time in the order of their numbers, the
// power cut, the campaign's hold, and the log.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <type_traits>

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "flashsim.h"

namespace flashsim {

namespace {

// The page that the processes of one run share: the file FLASHSIM_RUN/counter, which the
// launcher makes zero-filled (flashsim_page_size bytes for its flash) and reads only
// through this library's exported functions. Outside a run, a campaign's check gets a page
// of the same shape (FLASHSIM_WRITTEN) for the written pieces alone. Every field is changed
// with atomic operations on 32-bit words (32-bit MIPS has none on wider ones). The map of
// the pieces written follows the page: as many words as the flash needs (model.h).
struct RunPage {
    std::uint32_t operations;   // the last operation number given out
    std::uint32_t power_off;    // set by the cut, never cleared
    std::uint32_t broken;       // a process found a bad FLASHSIM_FAULTS or FLASHSIM_LAYOUT
    std::uint32_t gate;         // the campaign's hold: the operation to hold after (0: none)
    std::uint32_t done;         // completed operations, for the hold
    std::uint32_t torn_at;      // the operation whose torn result goes to the copy (0: none)
    std::uint32_t torn_seed[2];   // the seed of that torn cut, low word first, set before torn_at
    std::int32_t stopper;       // the one process that stops the run after a cut
    std::uint32_t stopped;      // that process has stopped and killed every member
    std::int32_t chip;          // the process whose operation the chip does (0: none)
    std::uint32_t torn_made;    // torn_at once its copy holds the torn result
    std::uint32_t reserved[4];
    std::int32_t members[(4096 - 64) / 4];   // every live process of the run (0: a free slot)
};
static_assert(sizeof(RunPage) == 4096 && offsetof(RunPage, members) == 64);

// The page file's whole size for a flash of the given size: the page, then the map.
std::size_t page_bytes(std::uint64_t flash_size)
{
    return sizeof(RunPage) + piece_words(flash_size) * sizeof(std::uint32_t);
}

std::uint32_t* written_map(RunPage* page)
{
    return reinterpret_cast<std::uint32_t*>(page + 1);
}

constexpr int kSlots = sizeof(RunPage::members) / sizeof(RunPage::members[0]);

unsigned long g_operations = 0;   // the numbers of a process outside a run
int g_slot = -1;                  // this process's slot in the member table
thread_local int t_chip_depth = 0;   // operations of this thread under way (a signal handler's nest)

RunPage* map_page(const char* path, bool create)
{
    return static_cast<RunPage*>(map_shared(path, page_bytes(config().layout.total()), create));
}

// This process's run page, or nullptr outside a run.
RunPage* run_page()
{
    static RunPage* page = nullptr;
    static bool mapped = false;
    if (!mapped && config().run != nullptr) {
        char path[4096 + 16];
        std::snprintf(path, sizeof path, "%s/%s", config().run, kCounterFile);
        page = map_page(path, true);
    }
    mapped = true;
    return page;
}

template <typename T>
T load(T& word)
{
    return __atomic_load_n(&word, __ATOMIC_SEQ_CST);
}

template <typename T>
bool swap_if(T& word, std::type_identity_t<T> expected, std::type_identity_t<T> value)
{
    return __atomic_compare_exchange_n(&word, &expected, value, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

// Waits while a word of the run page still reads seen, at most the given milliseconds: the
// caller looks again for anything else it waits for.
void wait_while(const void* word, std::uint32_t seen, long milliseconds)
{
    const timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000};
    const int saved = errno;
    syscall(SYS_futex, word, FUTEX_WAIT, seen, &pause, nullptr, 0U);
    errno = saved;
}

void wake(const void* word)
{
    syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0U);
}

// Whether a process has ended: gone, or a zombie not yet reaped.
bool ended(pid_t pid)
{
    if (kill(pid, 0) != 0) {
        return errno == ESRCH;
    }
    char path[64];
    char stat[512];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
    const long n = fd < 0 ? -1 : syscall(SYS_read, fd, stat, sizeof stat - 1);
    if (fd >= 0) {
        syscall(SYS_close, fd);
    }
    stat[n < 0 ? 0 : n] = '\0';
    const char* state = std::strrchr(stat, ')');
    return state != nullptr && (state[2] == 'Z' || state[2] == 'X');
}

// The chip does one erase or program at a time: an operation holds it from its number to
// its end, whichever thread of whichever process asks. A holder that died (killed
// mid-operation) leaves it to the next.
void take_chip(RunPage* page)
{
    const pid_t self = gettid();
    for (std::int32_t holder; !swap_if(page->chip, 0, self);) {
        holder = load(page->chip);
        if (holder == self) {
            break;   // an operation of a signal handler inside this process's own
        }
        if (holder != 0 && ended(holder)) {
            swap_if(page->chip, holder, 0);
            continue;
        }
        wait_while(&page->chip, static_cast<std::uint32_t>(holder), 10);
    }
    ++t_chip_depth;
}

void release_chip(RunPage* page)
{
    if (--t_chip_depth == 0) {
        __atomic_store_n(&page->chip, 0, __ATOMIC_SEQ_CST);
        wake(&page->chip);
    }
}

// Whether pid still belongs to this run: a process that died without leaving the table
// (killed, or ended by _exit) leaves its pid behind, and the system may have given that
// pid to another program since. Such a program does not have this run's FLASHSIM_RUN in
// its environment. A process whose environment cannot be read is counted as a member.
bool in_run(pid_t pid)
{
    char needle[4096 + 16];
    const int length = std::snprintf(needle, sizeof needle, "FLASHSIM_RUN=%s", config().run);
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/environ", static_cast<int>(pid));
    const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
    if (fd < 0 || length <= 0 || static_cast<std::size_t>(length) >= sizeof needle) {
        if (fd >= 0) {
            syscall(SYS_close, fd);
        }
        return true;
    }
    // The environment, one variable at a time (each ends with a NUL).
    static char block[65536];
    std::size_t kept = 0;
    bool found = false;
    for (long n; !found && (n = syscall(SYS_read, fd, block + kept, sizeof block - kept)) > 0;) {
        const std::size_t end = kept + static_cast<std::size_t>(n);
        std::size_t start = 0;
        for (std::size_t i = 0; i < end && !found; ++i) {
            if (block[i] == '\0') {
                found = i - start == static_cast<std::size_t>(length) &&
                        std::memcmp(block + start, needle, static_cast<std::size_t>(length)) == 0;
                start = i + 1;
            }
        }
        kept = end - start < sizeof block / 2 ? end - start : 0;
        std::memmove(block, block + end - kept, kept);
    }
    syscall(SYS_close, fd);
    return found;
}

// Kills every other member of the run. First each one is stopped, so that none of them can
// act after the cut on what happens to another (a parent that sees its child killed, a
// reader whose pipe closes). Then each one is killed, those of other process groups first:
// when the run's first process dies, the launcher kills its group, which may hold this
// process.
void kill_members(RunPage* page)
{
    pid_t others[kSlots];
    int count = 0;
    const pid_t self = getpid();
    for (std::int32_t& slot : page->members) {
        const pid_t pid = load(slot);
        if (pid > 0 && pid != self && in_run(pid)) {
            kill(pid, SIGSTOP);
            others[count++] = pid;
        }
    }
    const pid_t group = getpgrp();
    for (const int own_group : {0, 1}) {
        for (int i = 0; i < count; ++i) {
            if (int{getpgid(others[i]) == group} == own_group) {
                kill(others[i], SIGKILL);
            }
        }
    }
}

// Stops and kills every other member of the run, once: the first process to ask does it,
// and any other waits until that one is done (two that stopped each other would both wait
// forever). A process that waits is killed then, or had not joined yet and goes on to die.
void stop_the_run(RunPage* page)
{
    if (swap_if(page->stopper, 0, getpid())) {
        kill_members(page);
        __atomic_store_n(&page->stopped, 1U, __ATOMIC_SEQ_CST);
        wake(&page->stopped);
        return;
    }
    for (pid_t stopper; load(page->stopped) == 0 && !ended(stopper = load(page->stopper));) {
        wait_while(&page->stopped, 0, 10);
    }
}

[[noreturn]] void die()
{
    kill(getpid(), SIGKILL);
    std::abort();
}

bool power_is_off(RunPage* page)
{
    return page != nullptr && load(page->power_off) != 0;
}

// The power is lost: every process of the run dies at once, whatever its group or session,
// and the processes of this one's group that are not the run's too. Outside a run only
// this process does (the fault campaign of a single command counts on that).
[[noreturn]] void cut_power()
{
    if (RunPage* page = run_page()) {
        __atomic_store_n(&page->power_off, 1U, __ATOMIC_SEQ_CST);
        wake(&page->power_off);
        stop_the_run(page);
        kill(0, SIGKILL);
    }
    die();
}

// Enters this process in the member table (again after an exec, which keeps the pid).
// A slot whose process is gone is taken back when the table is full. The power is checked
// after the entry is made: either the process that cuts the power finds this one in the
// table, or this one finds the power off and takes part in the cut, stopping the others
// before it dies (its parent must not see it die and go on).
void join_run()
{
    t_chip_depth = 0;
    RunPage* page = run_page();
    if (page == nullptr) {
        return;
    }
    const pid_t self = getpid();
    g_slot = -1;
    for (int i = 0; i < kSlots && g_slot < 0; ++i) {
        g_slot = load(page->members[i]) == self ? i : -1;
    }
    for (int pass = 0; pass < 2 && g_slot < 0; ++pass) {
        for (int i = 0; i < kSlots && g_slot < 0; ++i) {
            g_slot = swap_if(page->members[i], 0, self) ? i : -1;
        }
        for (int i = 0; i < kSlots && g_slot < 0; ++i) {
            const std::int32_t pid = load(page->members[i]);
            if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) {
                swap_if(page->members[i], pid, 0);
            }
        }
    }
    if (power_is_off(page)) {
        cut_power();
    }
}

__attribute__((constructor)) void start_process()
{
    load_config();
    pthread_atfork(nullptr, nullptr, join_run);
    join_run();
    load_faults();
    if (!config().layout_ok && config().serves()) {
        refuse_run(config().layout_message);
    }
    adopt_devices();
}

__attribute__((destructor)) void end_process()
{
    RunPage* page = run_page();
    if (page != nullptr && g_slot >= 0) {
        swap_if(page->members[g_slot], static_cast<std::int32_t>(getpid()), 0);
    }
}

// The campaign's hold. The launcher names a point in the page: the gate, the number of
// the operation to hold after (0: no hold). A process that takes a number past the gate
// waits, before it touches the device, until the gate moves on; the process that completes
// the gate's operation waits after it. When the count of completed operations reaches the
// gate, every operation up to the gate is done and none past it has started, which is the
// flash as a power cut right after that operation leaves it: the process that completes
// the count writes the number to the FIFO FLASHSIM_RUN/hold, the launcher copies the
// flash, moves the gate (flashsim_set_gate) and wakes the waiters. The waits look again
// each second, so that a launcher that is gone is never waited for longer than that.
void hold_before(RunPage* page, unsigned long number)
{
    for (std::uint32_t held; page != nullptr && (held = load(page->gate)) != 0 && number > held;) {
        wait_while(&page->gate, held, 1000);
    }
}

void notify(HoldFrame number)
{
    static int fd = -1;
    static pid_t owner = 0;
    if (fd < 0 || owner != getpid()) {
        char path[4096 + 16];
        std::snprintf(path, sizeof path, "%s/%s", config().run, kHoldFile);
        fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        owner = getpid();
    }
    if (fd >= 0) {
        const int saved = errno;
        [[maybe_unused]] const long w = syscall(SYS_write, fd, &number, sizeof number);
        errno = saved;
    }
}

void hold_after(RunPage* page, unsigned long number)
{
    if (page == nullptr) {
        return;
    }
    const std::uint32_t done = __atomic_add_fetch(&page->done, 1U, __ATOMIC_SEQ_CST);
    std::uint32_t held = load(page->gate);
    if (held != 0 && done == held) {
        notify(done);
    }
    for (; held != 0 && held == number; held = load(page->gate)) {
        wait_while(&page->gate, held, 1000);
    }
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

// The log stays open in each process (O_APPEND: the processes of a run share it line by
// line), on a high descriptor. Before each line the descriptor is checked to still be the
// log: a program that closes descriptors it does not know may have given the number to a
// file of its own.
int log_descriptor(const char* path)
{
    static int fd = -1;
    static decltype(stat64::st_dev) device = 0;
    static decltype(stat64::st_ino) inode = 0;
    struct stat64 st {};
    if (fd >= 0 && fstat64(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode) {
        return fd;
    }
    const int opened = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (opened < 0) {
        return -1;
    }
    const int high = static_cast<int>(syscall(SYS_fcntl, opened, F_DUPFD_CLOEXEC, 700));
    if (high >= 0) {
        syscall(SYS_close, opened);
    }
    fd = high >= 0 ? high : opened;
    if (fstat64(fd, &st) == 0) {
        device = st.st_dev;
        inode = st.st_ino;
    }
    return fd;
}

}  // namespace

void* map_shared(const char* path, std::size_t size, bool create)
{
    const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644));
    if (fd < 0) {
        return nullptr;
    }
    struct stat64 st {};
    if (fstat64(fd, &st) == 0 && st.st_size < static_cast<off64_t>(size)) {
        // Growing the file fills it with zeros, so a second process doing the same at the
        // same moment changes nothing (a mapping past the end of a file would fault).
        syscall(SYS_ftruncate, fd, static_cast<long>(size));
    }
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    syscall(SYS_close, fd);
    return map == MAP_FAILED ? nullptr : map;
}

void log_line(const char* format, ...)
{
    if (config().log == nullptr) {
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
    n = static_cast<std::size_t>(n) > sizeof line - 2 ? static_cast<int>(sizeof line - 2) : n;
    line[n] = '\n';
    const int saved = errno;
    if (const int fd = log_descriptor(config().log); fd >= 0) {
        [[maybe_unused]] const long w = syscall(SYS_write, fd, line, static_cast<std::size_t>(n) + 1);
    }
    errno = saved;
}

[[noreturn]] void refuse_run(const char* message)
{
    std::fprintf(stderr, "flashsim: %s\n", message);
    if (RunPage* page = run_page()) {
        __atomic_store_n(&page->broken, 1U, __ATOMIC_SEQ_CST);
        stop_the_run(page);
    }
    _exit(2);
}

// Where this process marks the pieces it writes: its run page, or outside a run the page
// FLASHSIM_WRITTEN names, which the campaign gives each check so that it knows what a
// check changed on its copy of the flash.
void mark_written(std::uint64_t at, std::uint64_t count)
{
    static RunPage* written = nullptr;
    static bool looked = false;
    if (!looked) {
        looked = true;
        written = run_page() != nullptr ? run_page() : config().written != nullptr ? map_page(config().written, false) : nullptr;
    }
    if (written != nullptr) {
        mark_pieces(written_map(written), piece_words(config().layout.total()), at, count);
    }
}

Operation::Operation(OpKind kind, const char* device, std::uint64_t offset) : kind_(kind), device_(device)
{
    RunPage* page = run_page();
    // The chip is taken before the number: numbers are given in the order the chip does
    // the operations, so a cut after N never falls on another process's operation.
    if (page != nullptr) {
        take_chip(page);
    }
    number_ = page != nullptr ? __atomic_add_fetch(&page->operations, 1U, __ATOMIC_SEQ_CST) : ++g_operations;
    // After a cut no operation starts, whichever process asks.
    if (power_is_off(page)) {
        cut_power();
    }
    verdict_ = judge(kind, device, number_);
    hold_before(page, number_);
    // The campaign's torn cut held like the others: the launcher, held after the operation
    // before this one, named this one; its torn result goes to the launcher's copy of the
    // flash (FLASHSIM_RUN/torn), and the operation itself runs whole.
    if (page != nullptr && verdict_.cut == CutKind::none && load(page->torn_at) == number_) {
        torn_copy_ = true;
        const std::uint64_t seed = load(page->torn_seed[0]) | std::uint64_t{load(page->torn_seed[1])} << 32;
        torn_seed_ = torn_seed(seed, number_);
    }
    if (verdict_.stop_before) {
        log_line("stop before %lu", number_);
        kill(getpid(), SIGSTOP);
    }
    if (config().trace) {
        log_line("op %lu %ld %s %s 0x%llx %s", number_, static_cast<long>(getpid()), op_name(kind), device,
                 static_cast<unsigned long long>(offset), command_line());
    }
    if ((verdict_.cut == CutKind::inside || torn_copy_) && kind != OpKind::write && kind != OpKind::erase) {
        // Only writes and erases take time on the chip: any other operation is cut before
        // (the copy stays the flash before it).
        tore(0, 1, "operations");
        if (!torn_copy_) {
            cut_power();
        }
    }
}

void Operation::tore(std::uint64_t done, std::uint64_t total, const char* unit) const
{
    log_line("torn %lu %s %s %llu %llu %s", number_, op_name(kind_), device_, static_cast<unsigned long long>(done),
             static_cast<unsigned long long>(total), unit);
}

Operation::~Operation()
{
    if (verdict_.hangup_after) {
        log_line("hangup after %lu", number_);
        kill(getpid(), SIGHUP);
    }
    if (verdict_.cut == CutKind::after) {
        log_line("kill after %lu", number_);
    }
    if (verdict_.cut != CutKind::none) {
        cut_power();
    }
    RunPage* page = run_page();
    if (torn_copy_ && !copy_failed_) {
        __atomic_store_n(&page->torn_made, static_cast<std::uint32_t>(number_), __ATOMIC_SEQ_CST);
    }
    hold_after(page, number_);
    if (page != nullptr) {
        release_chip(page);
    }
}

}  // namespace flashsim

// The launcher's access to a run page it has mapped (and to a check's FLASHSIM_WRITTEN
// page): its size, its state, the hold gate and the written pieces. Called through ctypes.
#define FLASHSIM_EXPORT extern "C" __attribute__((visibility("default")))
using flashsim::RunPage;

// What the launcher must agree on with the library, as "name=value" lines: the run
// folder's files, the hold FIFO's message size, the piece size and the piece map's suffix.
FLASHSIM_EXPORT int flashsim_protocol(char* out, size_t size)
{
    const int n = std::snprintf(out, size, "counter=%s\nhold=%s\ntorn=%s\nlog=%s\npieces=%s\nframe=%zu\npiece=%llu\n",
                                flashsim::kCounterFile, flashsim::kHoldFile, flashsim::kTornFile, flashsim::kLogFile,
                                flashsim::kPiecesSuffix, sizeof(flashsim::HoldFrame),
                                static_cast<unsigned long long>(flashsim::kPiece));
    return n < 0 || static_cast<size_t>(n) >= size ? 1 : 0;
}

// The size of a run page, or of a check's FLASHSIM_WRITTEN page, for a flash of that size.
FLASHSIM_EXPORT size_t flashsim_page_size(uint64_t flash_size)
{
    return flashsim::page_bytes(flash_size);
}

// The size of a piece map (IMAGE.pieces) for a flash of that size.
FLASHSIM_EXPORT size_t flashsim_pieces_size(uint64_t flash_size)
{
    return flashsim::piece_words(flash_size) * sizeof(uint32_t);
}

FLASHSIM_EXPORT void flashsim_page_state(const void* page, uint32_t* operations, uint32_t* power_off, uint32_t* broken)
{
    auto* run = static_cast<const RunPage*>(page);
    *operations = __atomic_load_n(&run->operations, __ATOMIC_SEQ_CST);
    *power_off = __atomic_load_n(&run->power_off, __ATOMIC_SEQ_CST);
    *broken = __atomic_load_n(&run->broken, __ATOMIC_SEQ_CST);
}

// Moves the gate and wakes every process that waits on it.
FLASHSIM_EXPORT void flashsim_set_gate(void* page, unsigned gate)
{
    auto* run = static_cast<RunPage*>(page);
    __atomic_store_n(&run->gate, gate, __ATOMIC_SEQ_CST);
    flashsim::wake(&run->gate);
}

namespace {

// A piece map as little-endian bytes (byte i: pieces 8i to 8i + 7), the form the launcher
// turns into a number; take clears each word as it reads it.
void map_out(uint32_t* words, size_t count, uint8_t* out, bool take)
{
    for (size_t i = 0; i < count; ++i) {
        const uint32_t word = take ? __atomic_exchange_n(&words[i], 0U, __ATOMIC_SEQ_CST)
                                   : __atomic_load_n(&words[i], __ATOMIC_SEQ_CST);
        for (unsigned b = 0; b < 4; ++b) {
            out[4 * i + b] = static_cast<uint8_t>(word >> (8 * b));
        }
    }
}

}  // namespace

// The pieces written since the last call, and none marked any more: flashsim_pieces_size
// bytes in out.
FLASHSIM_EXPORT void flashsim_take_written(void* page, uint64_t flash_size, uint8_t* out)
{
    map_out(flashsim::written_map(static_cast<RunPage*>(page)), flashsim::piece_words(flash_size), out, true);
}

// A piece map (IMAGE.pieces) read, or (take) read and cleared; or pieces added to it.
FLASHSIM_EXPORT void flashsim_pieces_read(void* map, uint64_t flash_size, uint8_t* out, int take)
{
    map_out(static_cast<uint32_t*>(map), flashsim::piece_words(flash_size), out, take != 0);
}

FLASHSIM_EXPORT void flashsim_pieces_add(void* map, uint64_t flash_size, const uint8_t* in)
{
    auto* words = static_cast<uint32_t*>(map);
    for (size_t i = 0; i < flashsim::piece_words(flash_size); ++i) {
        const uint32_t word = in[4 * i] | uint32_t{in[4 * i + 1]} << 8 | uint32_t{in[4 * i + 2]} << 16 |
                              uint32_t{in[4 * i + 3]} << 24;
        __atomic_fetch_or(&words[i], word, __ATOMIC_SEQ_CST);
    }
}

// The torn cut that a held run judges on a copy: the process that does operation number
// first leaves what torn:NUMBER:SEED would leave (the seed mixed with the number, as for
// the fault) in the copy FLASHSIM_RUN/torn (the image
// copy, or the folder of device copies), then does the operation whole (0: none).
FLASHSIM_EXPORT void flashsim_set_torn_copy(void* page, unsigned number, std::uint64_t seed)
{
    auto* run = static_cast<RunPage*>(page);
    __atomic_store_n(&run->torn_seed[0], static_cast<uint32_t>(seed), __ATOMIC_SEQ_CST);
    __atomic_store_n(&run->torn_seed[1], static_cast<uint32_t>(seed >> 32), __ATOMIC_SEQ_CST);
    __atomic_store_n(&run->torn_made, 0U, __ATOMIC_SEQ_CST);
    __atomic_store_n(&run->torn_at, number, __ATOMIC_SEQ_CST);
}

// The operation whose torn result the copy holds, once that operation has ended (0: none).
FLASHSIM_EXPORT unsigned flashsim_torn_copy_made(const void* page)
{
    return __atomic_load_n(&static_cast<const RunPage*>(page)->torn_made, __ATOMIC_SEQ_CST);
}
