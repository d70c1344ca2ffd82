// spies.cpp: the calls the simulator logs without serving them (FLASHSIM_LOG): syslog,
// and the file system calls that make a restored file durable (fsync, fdatasync, rename).
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "flashsim.h"

using namespace flashsim;

namespace {

__attribute__((format(printf, 2, 0))) void format_syslog(int priority, const char* format, va_list args)
{
    char message[512];
    std::vsnprintf(message, sizeof message, format, args);
    log_line("syslog %d %s", priority, message);
}

// A descriptor's path, for the log ("?" when it has none).
void log_sync(const char* call, int fd)
{
    char link[64];
    char target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    target[n < 0 ? 0 : n] = '\0';
    log_line("%s %s", call, n < 0 ? "?" : target);
}

// FLASHSIM_RENAME_FAIL refuses every rename with EBUSY, as the kernel refuses one over a
// mount point.
int log_rename(const char* from, const char* to)
{
    if (config().rename_fail) {
        log_line("rename %s %s -> %s", from, to, std::strerror(EBUSY));
        return refuse(EBUSY);
    }
    log_line("rename %s %s", from, to);
    return 0;
}

// A name relative to a folder descriptor, as a path: the log shows where a rename happened.
const char* path_at(int dir, const char* name, char* out, std::size_t size)
{
    if (dir == AT_FDCWD || name[0] == '/') {
        return name;
    }
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", dir);
    const ssize_t n = readlink(link, out, size - 1);
    if (n < 0) {
        return name;
    }
    std::snprintf(out + n, size - static_cast<std::size_t>(n), "/%s", name);
    return out;
}

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

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

// On a device: the driver has no fsync (EINVAL); writes reach the chip before they return.
int fsync(int fd)
{
    if (device_of(fd) != nullptr) {
        return refuse(EINVAL);
    }
    log_sync("fsync", fd);
    return real<int (*)(int)>("fsync")(fd);
}

int fdatasync(int fd)
{
    if (device_of(fd) != nullptr) {
        return refuse(EINVAL);
    }
    log_sync("fsync", fd);
    return real<int (*)(int)>("fdatasync")(fd);
}

int rename(const char* from, const char* to)
{
    return log_rename(from, to) != 0 ? -1 : real<int (*)(const char*, const char*)>("rename")(from, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to)
{
    char from_path[4096];
    char to_path[4096];
    if (log_rename(path_at(from_dir, from, from_path, sizeof from_path), path_at(to_dir, to, to_path, sizeof to_path)) != 0) {
        return -1;
    }
    return real<int (*)(int, const char*, int, const char*)>("renameat")(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags)
{
    char from_path[4096];
    char to_path[4096];
    if (log_rename(path_at(from_dir, from, from_path, sizeof from_path), path_at(to_dir, to, to_path, sizeof to_path)) != 0) {
        return -1;
    }
    return real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(from_dir, from, to_dir, to, flags);
}

}  // extern "C"
#pragma GCC visibility pop
