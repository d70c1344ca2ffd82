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
