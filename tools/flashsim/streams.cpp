// streams.cpp: stdio streams on a device. The C library's stdio reaches descriptors through
// its own internal calls, which the simulator cannot see, so a stream on a device is made
// of the simulator's calls (fopencookie).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "flashsim.h"

using namespace flashsim;

namespace {

ssize_t stream_read(void* cookie, char* buffer, size_t count)
{
    return read(static_cast<int>(reinterpret_cast<std::intptr_t>(cookie)), buffer, count);
}

ssize_t stream_write(void* cookie, const char* buffer, size_t count)
{
    return write(static_cast<int>(reinterpret_cast<std::intptr_t>(cookie)), buffer, count);
}

int stream_seek(void* cookie, off64_t* position, int whence)
{
    const off64_t at = lseek64(static_cast<int>(reinterpret_cast<std::intptr_t>(cookie)), *position, whence);
    if (at < 0) {
        return -1;
    }
    *position = at;
    return 0;
}

int stream_close(void* cookie)
{
    return close(static_cast<int>(reinterpret_cast<std::intptr_t>(cookie)));
}

// A stream whose reads, writes and seeks are the simulator's; fileno() gives fd.
FILE* device_stream(int fd, const char* mode)
{
    const cookie_io_functions_t calls{stream_read, stream_write, stream_seek, stream_close};
    FILE* stream = fopencookie(reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)), mode, calls);
    if (stream != nullptr) {
        stream->_fileno = fd;
    }
    return stream;
}

int stream_flags(const char* mode)
{
    int flags = std::strchr(mode, '+') != nullptr ? O_RDWR : *mode == 'r' ? O_RDONLY : O_WRONLY;
    flags |= *mode == 'w' ? O_CREAT | O_TRUNC : *mode == 'a' ? O_CREAT | O_APPEND : 0;
    flags |= std::strchr(mode, 'x') != nullptr ? O_EXCL : 0;
    flags |= std::strchr(mode, 'e') != nullptr ? O_CLOEXEC : 0;
    return flags;
}

template <typename Pass>
FILE* open_stream(const char* path, const char* mode, Pass pass)
{
    if (const int list = open_device_list(path, O_CLOEXEC); list >= 0) {
        return real<FILE* (*)(int, const char*)>("fdopen")(list, "r");
    }
    const int fd = mode != nullptr ? open_device(path, stream_flags(mode)) : -2;
    if (fd == -2) {
        return pass();
    }
    if (fd < 0) {
        return nullptr;
    }
    FILE* stream = device_stream(fd, mode);
    if (stream == nullptr) {
        const int saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

FILE* fopen(const char* path, const char* mode)
{
    return open_stream(path, mode, [&] { return real<FILE* (*)(const char*, const char*)>("fopen")(path, mode); });
}

FILE* fopen64(const char* path, const char* mode)
{
    return open_stream(path, mode, [&] { return real<FILE* (*)(const char*, const char*)>("fopen64")(path, mode); });
}

FILE* fdopen(int fd, const char* mode)
{
    if (device_of(fd) != nullptr) {
        return device_stream(fd, mode);
    }
    return real<FILE* (*)(int, const char*)>("fdopen")(fd, mode);
}

// Reopening a stream onto a device is not served.
FILE* freopen(const char* path, const char* mode, FILE* stream)
{
    struct stat64 st {};
    if (path != nullptr && path_status(path, st) != -2) {
        errno = EOPNOTSUPP;
        return nullptr;
    }
    return real<FILE* (*)(const char*, const char*, FILE*)>("freopen")(path, mode, stream);
}

FILE* freopen64(const char* path, const char* mode, FILE* stream)
{
    struct stat64 st {};
    if (path != nullptr && path_status(path, st) != -2) {
        errno = EOPNOTSUPP;
        return nullptr;
    }
    return real<FILE* (*)(const char*, const char*, FILE*)>("freopen64")(path, mode, stream);
}

}  // extern "C"
#pragma GCC visibility pop
