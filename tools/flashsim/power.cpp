// power.cpp: the log, the page that the processes of a run share, the numbering of device
// operations and the power cut.
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
    static dev_t device = 0;
    static ino_t inode = 0;
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
}  // namespace

Operation::Operation(const char* kind, const char* device, std::uint64_t offset)
{
    load_faults();
    RunPage* page = run_page();
    if (page != nullptr && __atomic_load_n(&page->power_off, __ATOMIC_SEQ_CST) != 0) {
        cut_power();
    }
    number_ = page != nullptr ? __atomic_add_fetch(&page->operations, 1U, __ATOMIC_SEQ_CST)
                              : ++g_operations;
    hold_before(page, number_);
    if (has_fault_at(FaultKind::stop_before, number_)) {
        log_line("stop before %lu", number_);
        kill(getpid(), SIGSTOP);
    }
    if (std::getenv("FLASHSIM_TRACE") != nullptr) {
        log_line("op %lu %ld %s %s 0x%llx %s", number_, static_cast<long>(getpid()), kind, device,
                 static_cast<unsigned long long>(offset), command_line());
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
    hold_after(run_page(), number_);
}

}  // namespace flashsim
