// status.cpp: the status calls (stat, lstat, fstat, fstatat, statx and the __xstat forms of
// older programs), access and extended attributes, answered for a device as for a
// character device.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "flashsim.h"

using namespace flashsim;

namespace {

// Copies a device's status into the caller's structure, whichever its width.
template <typename Status>
void put_status(const struct stat64& from, Status* to)
{
    std::memset(to, 0, sizeof *to);
    to->st_dev = from.st_dev;
    to->st_ino = static_cast<decltype(to->st_ino)>(from.st_ino);
    to->st_mode = from.st_mode;
    to->st_nlink = from.st_nlink;
    to->st_uid = from.st_uid;
    to->st_gid = from.st_gid;
    to->st_rdev = from.st_rdev;
    to->st_size = 0;
    to->st_blksize = from.st_blksize;
    to->st_blocks = 0;
    to->st_atim = from.st_atim;
    to->st_mtim = from.st_mtim;
    to->st_ctim = from.st_ctim;
}

template <typename Status, typename Pass>
int status_of_path(const char* path, Status* st, Pass pass)
{
    struct stat64 device {};
    const int served = path_status(path, device);
    if (served == -2) {
        return pass();
    }
    if (served == 0) {
        put_status(device, st);
    }
    return served;
}

template <typename Status, typename Pass>
int status_of_fd(int fd, Status* st, Pass pass)
{
    const Device* dev = device_of(fd);
    if (dev == nullptr) {
        return pass();
    }
    struct stat64 device {};
    device_status(*dev, fd, device);
    put_status(device, st);
    return 0;
}

template <typename Status, typename Pass>
int at_status(int dirfd, const char* path, int flags, Status* st, Pass pass)
{
    if (path != nullptr && *path == '\0' && (flags & AT_EMPTY_PATH) != 0) {
        return status_of_fd(dirfd, st, pass);
    }
    if (path != nullptr && *path == '/') {
        return status_of_path(path, st, pass);
    }
    return pass();
}

void fill_statx(const struct stat64& st, struct statx& out)
{
    std::memset(&out, 0, sizeof out);
    out.stx_mask = STATX_BASIC_STATS;
    out.stx_blksize = static_cast<std::uint32_t>(st.st_blksize);
    out.stx_nlink = static_cast<std::uint32_t>(st.st_nlink);
    out.stx_uid = st.st_uid;
    out.stx_gid = st.st_gid;
    out.stx_mode = static_cast<std::uint16_t>(st.st_mode);
    out.stx_ino = st.st_ino;
    out.stx_atime = {st.st_atim.tv_sec, static_cast<std::uint32_t>(st.st_atim.tv_nsec), 0};
    out.stx_mtime = {st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec), 0};
    out.stx_ctime = {st.st_ctim.tv_sec, static_cast<std::uint32_t>(st.st_ctim.tv_nsec), 0};
    out.stx_rdev_major = major(st.st_rdev);
    out.stx_rdev_minor = minor(st.st_rdev);
    out.stx_dev_major = major(st.st_dev);
    out.stx_dev_minor = minor(st.st_dev);
}

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

int stat(const char* path, struct stat* st)
{
    return status_of_path(path, st, [&] { return real<int (*)(const char*, struct stat*)>("stat")(path, st); });
}

int stat64(const char* path, struct stat64* st)
{
    return status_of_path(path, st, [&] { return real<int (*)(const char*, struct stat64*)>("stat64")(path, st); });
}

int lstat(const char* path, struct stat* st)
{
    return status_of_path(path, st, [&] { return real<int (*)(const char*, struct stat*)>("lstat")(path, st); });
}

int lstat64(const char* path, struct stat64* st)
{
    return status_of_path(path, st,
                          [&] { return real<int (*)(const char*, struct stat64*)>("lstat64")(path, st); });
}

int fstat(int fd, struct stat* st)
{
    return status_of_fd(fd, st, [&] { return real<int (*)(int, struct stat*)>("fstat")(fd, st); });
}

int fstat64(int fd, struct stat64* st)
{
    return status_of_fd(fd, st, [&] { return real<int (*)(int, struct stat64*)>("fstat64")(fd, st); });
}

int fstatat(int dirfd, const char* path, struct stat* st, int flags)
{
    auto pass = [&] { return real<int (*)(int, const char*, struct stat*, int)>("fstatat")(dirfd, path, st, flags); };
    return at_status(dirfd, path, flags, st, pass);
}

int fstatat64(int dirfd, const char* path, struct stat64* st, int flags)
{
    auto pass = [&] {
        return real<int (*)(int, const char*, struct stat64*, int)>("fstatat64")(dirfd, path, st, flags);
    };
    return at_status(dirfd, path, flags, st, pass);
}

// The status calls of programs built against a C library older than 2.33.
int __xstat(int version, const char* path, struct stat* st)
{
    return status_of_path(path, st,
                          [&] { return real<int (*)(int, const char*, struct stat*)>("__xstat")(version, path, st); });
}

int __xstat64(int version, const char* path, struct stat64* st)
{
    return status_of_path(path, st, [&] {
        return real<int (*)(int, const char*, struct stat64*)>("__xstat64")(version, path, st);
    });
}

int __lxstat(int version, const char* path, struct stat* st)
{
    return status_of_path(path, st,
                          [&] { return real<int (*)(int, const char*, struct stat*)>("__lxstat")(version, path, st); });
}

int __lxstat64(int version, const char* path, struct stat64* st)
{
    return status_of_path(path, st, [&] {
        return real<int (*)(int, const char*, struct stat64*)>("__lxstat64")(version, path, st);
    });
}

int __fxstat(int version, int fd, struct stat* st)
{
    return status_of_fd(fd, st, [&] { return real<int (*)(int, int, struct stat*)>("__fxstat")(version, fd, st); });
}

int __fxstat64(int version, int fd, struct stat64* st)
{
    return status_of_fd(fd, st,
                        [&] { return real<int (*)(int, int, struct stat64*)>("__fxstat64")(version, fd, st); });
}

int __fxstatat(int version, int dirfd, const char* path, struct stat* st, int flags)
{
    auto pass = [&] {
        return real<int (*)(int, int, const char*, struct stat*, int)>("__fxstatat")(version, dirfd, path, st, flags);
    };
    return at_status(dirfd, path, flags, st, pass);
}

int __fxstatat64(int version, int dirfd, const char* path, struct stat64* st, int flags)
{
    auto pass = [&] {
        return real<int (*)(int, int, const char*, struct stat64*, int)>("__fxstatat64")(version, dirfd, path, st,
                                                                                        flags);
    };
    return at_status(dirfd, path, flags, st, pass);
}

int statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* out)
{
    struct stat64 st {};
    int served = -2;
    if (*path == '\0' && (flags & AT_EMPTY_PATH) != 0) {
        if (const Device* dev = device_of(dirfd)) {
            device_status(*dev, dirfd, st);
            served = 0;
        }
    } else if (*path == '/') {
        served = path_status(path, st);
    }
    if (served == -2) {
        return real<int (*)(int, const char*, int, unsigned, struct statx*)>("statx")(dirfd, path, flags, mask, out);
    }
    if (served == 0) {
        fill_statx(st, *out);
    }
    return served;
}

int access(const char* path, int mode)
{
    const int served = path_access(path, mode);
    return served != -2 ? served : real<int (*)(const char*, int)>("access")(path, mode);
}

int faccessat(int dirfd, const char* path, int mode, int flags)
{
    const int served = *path == '/' ? path_access(path, mode) : -2;
    return served != -2 ? served : real<int (*)(int, const char*, int, int)>("faccessat")(dirfd, path, mode, flags);
}

int euidaccess(const char* path, int mode)
{
    const int served = path_access(path, mode);
    return served != -2 ? served : real<int (*)(const char*, int)>("euidaccess")(path, mode);
}

int eaccess(const char* path, int mode)
{
    return euidaccess(path, mode);
}

// Extended attributes: a device node has none here, and none can be set.
ssize_t getxattr(const char* path, const char* name, void* value, size_t size)
{
    struct stat64 st {};
    if (path_status(path, st) != -2) {
        errno = path_status(path, st) == 0 ? ENODATA : ENOENT;
        return -1;
    }
    return real<ssize_t (*)(const char*, const char*, void*, size_t)>("getxattr")(path, name, value, size);
}

ssize_t lgetxattr(const char* path, const char* name, void* value, size_t size)
{
    struct stat64 st {};
    if (path_status(path, st) != -2) {
        errno = path_status(path, st) == 0 ? ENODATA : ENOENT;
        return -1;
    }
    return real<ssize_t (*)(const char*, const char*, void*, size_t)>("lgetxattr")(path, name, value, size);
}

ssize_t fgetxattr(int fd, const char* name, void* value, size_t size)
{
    if (device_of(fd) != nullptr) {
        errno = ENODATA;
        return -1;
    }
    return real<ssize_t (*)(int, const char*, void*, size_t)>("fgetxattr")(fd, name, value, size);
}

ssize_t listxattr(const char* path, char* list, size_t size)
{
    struct stat64 st {};
    if (const int served = path_status(path, st); served != -2) {
        return served;
    }
    return real<ssize_t (*)(const char*, char*, size_t)>("listxattr")(path, list, size);
}

ssize_t llistxattr(const char* path, char* list, size_t size)
{
    struct stat64 st {};
    if (const int served = path_status(path, st); served != -2) {
        return served;
    }
    return real<ssize_t (*)(const char*, char*, size_t)>("llistxattr")(path, list, size);
}

ssize_t flistxattr(int fd, char* list, size_t size)
{
    return device_of(fd) != nullptr ? 0 : real<ssize_t (*)(int, char*, size_t)>("flistxattr")(fd, list, size);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags)
{
    if (device_of(fd) != nullptr) {
        errno = EPERM;
        return -1;
    }
    return real<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr")(fd, name, value, size, flags);
}

}  // extern "C"
#pragma GCC visibility pop
