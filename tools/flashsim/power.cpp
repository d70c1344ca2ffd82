// power.cpp: the log, the page that the processes of a run share (operation numbers, the
// power switch, the table of the run's processes), and the power cut.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <cstddef>
#include <ctime>
#include <initializer_list>

#include <linux/futex.h>
#include <pthread.h>
#include <unistd.h>

#include "flashsim.h"

namespace flashsim {

namespace {

unsigned long g_operations = 0;

}  // namespace

namespace {

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
    const int saved = errno;
    const int fd = log_descriptor(path);
    if (fd >= 0) {
        [[maybe_unused]] const long w = syscall(SYS_write, fd, line, static_cast<std::size_t>(n) + 1);
    }
    errno = saved;
}

namespace {

// The page that the processes of one run (FLASHSIM_RUN) share, a small file mapped into
// every process and updated with atomic operations, so no process waits for another:
//   0   the last operation number given out
//   4   the power-off flag
//   8   the broken flag: a process found a bad FLASHSIM_FAULTS
//   12  .. 31: the campaign's hold gate and counters (hold.cpp)
//   32  the pid of the process that stops the run after a cut
//   36  the stopped flag: that process has stopped and killed every member
//   40  .. 63: kept for the launcher's own fields
//   64  the member table: the pid of every live process of the run (0: a free slot)
struct RunPage {
    std::uint32_t operations;
    std::uint32_t power_off;
    std::uint32_t broken;
    std::uint32_t held[5];
    std::int32_t stopper;
    std::uint32_t stopped;
    std::uint32_t launcher[6];
    std::int32_t members[(4096 - 64) / 4];
};
static_assert(sizeof(RunPage) == 4096 && offsetof(RunPage, stopper) == 32 &&
              offsetof(RunPage, members) == 64);

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
        syscall(SYS_ftruncate, fd, static_cast<long>(sizeof(RunPage)));
    }
    void* map = mmap(nullptr, sizeof(RunPage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    syscall(SYS_close, fd);
    page = map == MAP_FAILED ? nullptr : static_cast<RunPage*>(map);
    return page;
}

[[noreturn]] void die()
{
    kill(getpid(), SIGKILL);
    std::abort();
}

bool power_is_off(RunPage* page)
{
    return page != nullptr && __atomic_load_n(&page->power_off, __ATOMIC_SEQ_CST) != 0;
}

// Whether pid still belongs to this run: a process that died without leaving the table
// (killed, or ended by _exit) leaves its pid behind, and the system may have given that
// pid to another program since. Such a program does not have this run's FLASHSIM_RUN in
// its environment. A process whose environment cannot be read is counted as a member.
bool in_run(pid_t pid)
{
    const char* dir = std::getenv("FLASHSIM_RUN");
    char needle[4096 + 16];
    const int length = std::snprintf(needle, sizeof needle, "FLASHSIM_RUN=%s", dir != nullptr ? dir : "");
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
    constexpr int kSlots = sizeof page->members / sizeof page->members[0];
    pid_t others[kSlots];
    int count = 0;
    const pid_t self = getpid();
    for (const std::int32_t& slot : page->members) {
        const pid_t pid = __atomic_load_n(&slot, __ATOMIC_SEQ_CST);
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

// Enters this process in the member table (again after an exec, which keeps the pid).
// A slot whose process is gone is taken back when the table is full. The power is checked
// after the entry is made: either the process that cuts the power finds this one in the
// table, or this one finds the power off and takes part in the cut, stopping the others
// before it dies (its parent must not see it die and go on).
int g_slot = -1;

[[noreturn]] void cut_power();

void join_run()
{
    RunPage* page = run_page();
    if (page == nullptr) {
        return;
    }
    const pid_t self = getpid();
    constexpr int kSlots = sizeof page->members / sizeof page->members[0];
    g_slot = -1;
    for (int i = 0; i < kSlots && g_slot < 0; ++i) {
        g_slot = __atomic_load_n(&page->members[i], __ATOMIC_SEQ_CST) == self ? i : -1;
    }
    for (int pass = 0; pass < 2 && g_slot < 0; ++pass) {
        for (int i = 0; i < kSlots && g_slot < 0; ++i) {
            std::int32_t free_slot = 0;
            if (__atomic_compare_exchange_n(&page->members[i], &free_slot, self, false, __ATOMIC_SEQ_CST,
                                            __ATOMIC_SEQ_CST)) {
                g_slot = i;
            }
        }
        for (int i = 0; i < kSlots && g_slot < 0; ++i) {
            std::int32_t pid = __atomic_load_n(&page->members[i], __ATOMIC_SEQ_CST);
            if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) {
                __atomic_compare_exchange_n(&page->members[i], &pid, 0, false, __ATOMIC_SEQ_CST,
                                            __ATOMIC_SEQ_CST);
            }
        }
    }
    if (power_is_off(page)) {
        cut_power();
    }
}

void leave_run()
{
    RunPage* page = run_page();
    if (page != nullptr && g_slot >= 0) {
        std::int32_t self = getpid();
        __atomic_compare_exchange_n(&page->members[g_slot], &self, 0, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST);
    }
}

__attribute__((constructor)) void start_process()
{
    pthread_atfork(nullptr, nullptr, join_run);
    join_run();
    load_faults();
    adopt_devices();
}

__attribute__((destructor)) void end_process()
{
    leave_run();
}

// Waits while a word of the run page is still 0, at most 10 ms: the caller looks again for
// anything else it waits for.
void wait_while_zero(std::uint32_t* word)
{
    timespec pause{0, 10 * 1000 * 1000};
    syscall(SYS_futex, word, FUTEX_WAIT, 0U, &pause, nullptr, 0U);
}

// Stops and kills every other member of the run, once: the first process to ask does it,
// and any other waits until that one is done (two that stopped each other would both wait
// forever). A process that waits is killed then, or had not joined yet and goes on to die.
void stop_the_run(RunPage* page)
{
    std::int32_t stopper = 0;
    if (__atomic_compare_exchange_n(&page->stopper, &stopper, getpid(), false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST)) {
        kill_members(page);
        __atomic_store_n(&page->stopped, 1U, __ATOMIC_SEQ_CST);
        syscall(SYS_futex, &page->stopped, FUTEX_WAKE, 1 << 30, nullptr, nullptr, 0U);
        return;
    }
    while (__atomic_load_n(&page->stopped, __ATOMIC_SEQ_CST) == 0 &&
           (kill(stopper, 0) == 0 || errno != ESRCH)) {
        wait_while_zero(&page->stopped);
    }
}

// Power is lost: every process of the run dies at once, whatever its group or session.
// Outside a run only this process does (the fault campaign of a single command counts on
// that).
[[noreturn]] void cut_power()
{
    if (RunPage* page = run_page()) {
        __atomic_store_n(&page->power_off, 1U, __ATOMIC_SEQ_CST);
        stop_the_run(page);
        kill(0, SIGKILL);
    }
    die();
}

// An operation numbered after a cut that another process is still completing: it must
// not land, and this process must not end before the cut either (its parent would see it
// die first), so it waits for the power to go off, and then takes part in the cut.
[[noreturn]] void wait_for_cut(RunPage* page)
{
    while (page != nullptr && !power_is_off(page)) {
        wait_while_zero(&page->power_off);
    }
    cut_power();
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

}  // namespace

[[noreturn]] void refuse_run(const char* message)
{
    std::fprintf(stderr, "flashsim: %s\n", message);
    if (RunPage* page = run_page()) {
        __atomic_store_n(&page->broken, 1U, __ATOMIC_SEQ_CST);
        stop_the_run(page);
    }
    _exit(2);
}

Operation::Operation(const char* kind, const char* device, std::uint64_t offset)
{
    load_faults();
    RunPage* page = run_page();
    // The number first, then the power: an operation numbered after the cut never lands,
    // even when another process is still completing the one that cuts it.
    number_ = page != nullptr ? __atomic_add_fetch(&page->operations, 1U, __ATOMIC_SEQ_CST)
                              : ++g_operations;
    if (power_is_off(page)) {
        cut_power();
    }
    if (const unsigned long cut = cut_number(); cut != 0 && number_ > cut) {
        wait_for_cut(page);
    }
    hold_before(page, number_);
    if (has_fault_at(FaultKind::stop_before, number_)) {
        log_line("stop before %lu", number_);
        kill(getpid(), SIGSTOP);
    }
    if (std::getenv("FLASHSIM_TRACE") != nullptr) {
        log_line("op %lu %ld %s %s 0x%llx %s", number_, static_cast<long>(getpid()), kind, device,
                 static_cast<unsigned long long>(offset), command_line());
    }
    torn_ = fault_at(FaultKind::torn, number_);
    if (torn_ != nullptr && std::strcmp(kind, "write") != 0 && std::strcmp(kind, "erase") != 0) {
        // Only writes and erases take time on the chip: any other operation is cut before.
        log_line("torn %lu %s %s 0 1 operations", number_, kind, device);
        cut_power();
    }
}

Operation::~Operation()
{
    if (has_fault_at(FaultKind::hup_after, number_)) {
        log_line("hangup after %lu", number_);
        kill(getpid(), SIGHUP);
    }
    if (has_fault_at(FaultKind::kill_after, number_)) {
        log_line("kill after %lu", number_);
        cut_power();
    }
    if (torn_ != nullptr) {
        cut_power();
    }
    hold_after(run_page(), number_);
}

}  // namespace flashsim
