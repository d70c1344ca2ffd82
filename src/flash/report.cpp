// Owners and the failure reports that several subsystems print word for word alike.
#include "flash/flash.h"

#include <cerrno>
#include <cstdio>

#include <unistd.h>

void UniqueFd::reset(int fd) noexcept
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

HeapBuffer allocate_buffer(std::size_t size) noexcept
{
    return HeapBuffer(static_cast<std::uint8_t*>(std::malloc(size)));
}

// The leading line must not disturb errno before perror reads it.
void report_malloc_failure(const char* who, unsigned size)
{
    const int saved = errno;
    std::fprintf(stderr, "%s: malloc(%#x) failed\n", who, size);
    errno = saved;
    std::perror("malloc()");
}

void report_fread_failure(const char* who)
{
    const int saved = errno;
    std::fprintf(stderr, "%s: fread\n", who);
    errno = saved;
    std::perror("fread()");
}

void report_write_failure(const char* who, unsigned done)
{
    const int saved = errno;
    std::fprintf(stderr, "%s: write, size %#x\n", who, done);
    errno = saved;
    std::perror("write()");
}

void report_open_failure(const char* call, const char* path)
{
    std::perror(call);
    std::printf("%s", path);
}

// A short count sets no errno of its own; it is named an I/O error so that the report
// that follows never shows a stale or empty error.
bool write_whole(int fd, std::span<const std::uint8_t> bytes)
{
    const ssize_t done = write(fd, bytes.data(), bytes.size());
    if (done == static_cast<ssize_t>(bytes.size())) {
        return true;
    }
    if (done >= 0) {
        errno = EIO;
    }
    return false;
}

bool read_whole(int fd, std::span<std::uint8_t> bytes)
{
    const ssize_t done = read(fd, bytes.data(), bytes.size());
    if (done == static_cast<ssize_t>(bytes.size())) {
        return true;
    }
    if (done >= 0) {
        errno = EIO;
    }
    return false;
}
