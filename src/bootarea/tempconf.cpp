// The temporary configuration record: a length word, the bytes of one file and the CRC-32
// of those bytes, at the start of a region of /dev/mtd0 that is erased before each store.
// The record is streamed in both directions, never held whole in memory.
#include "bootarea/bootarea.h"
#include "flash/flash.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr unsigned kStoreBufferSize = 0x400;
constexpr unsigned kLoadBufferSize = 0x1000;

// ---- Store ----------------------------------------------------------------------------

// After the copy: the length word promised exactly length bytes, so a source that ended
// early or still has more to give is refused rather than framed wrongly.
[[nodiscard]] int check_source_ended(std::FILE* source, std::uint32_t length, std::uint32_t copied)
{
    const bool more = copied == length && std::fgetc(source) != EOF;
    if (std::ferror(source) != 0) {
        report_fread_failure("write_tempconf");
        return 1;
    }
    if (copied != length || more) {
        std::printf("write_tempconf : file size changed during copy\n");
        return 1;
    }
    return 0;
}

// Copies at most length bytes of source to fd, advancing crc over them.
[[nodiscard]] int copy_tempconf_data(int fd, std::FILE* source, std::uint32_t length,
                                     std::span<std::uint8_t> buffer, std::uint32_t& crc)
{
    std::uint32_t copied = 0;
    while (copied < length) {
        const std::size_t want = std::min<std::size_t>(buffer.size(), length - copied);
        const std::size_t got = std::fread(buffer.data(), 1, want, source);
        if (std::ferror(source) != 0) {
            report_fread_failure("write_tempconf");
            return 1;
        }
        if (got == 0) {
            break;
        }
        const std::span<const std::uint8_t> piece{buffer.data(), got};
        if (!write_whole(fd, piece)) {
            report_write_failure("write_tempconf", copied);
            return 1;
        }
        crc = crc32_update(crc, piece);
        copied += static_cast<std::uint32_t>(got);
    }
    return check_source_ended(source, length, copied);
}

// ---- Load -----------------------------------------------------------------------------

// Positions fd at the region start and reads the length word, refusing one that the
// region cannot hold (an erased region reads as 0xFFFFFFFF).
[[nodiscard]] int load_tempconf_length(int fd, std::uint32_t start, std::uint32_t size,
                                       std::uint32_t& length)
{
    if (lseek(fd, static_cast<off_t>(start), SEEK_SET) != static_cast<off_t>(start)) {
        std::perror("lseek()");
        return 1;
    }
    std::uint8_t word[kRecordWordSize];
    if (!read_whole(fd, word)) {
        std::perror("read()");
        return 1;
    }
    length = get_le32(word);
    if (length > tempconf_capacity(size)) {
        errno = EFBIG;
        std::perror("size");
        return 1;
    }
    return 0;
}

// Reads the length data bytes that follow, advancing crc and copying them to sink when
// there is one. The end of the device ends the data early; the CRC word read after it
// then fails.
[[nodiscard]] int load_tempconf_data(int fd, std::uint32_t length, std::span<std::uint8_t> buffer,
                                     std::FILE* sink, std::uint32_t& crc)
{
    for (std::uint32_t remaining = length; remaining != 0;) {
        const std::size_t want = std::min<std::size_t>(remaining, buffer.size());
        const ssize_t got = read(fd, buffer.data(), want);
        if (got < 0) {
            std::perror("read()");
            return 1;
        }
        if (got == 0) {
            break;
        }
        const std::span<const std::uint8_t> piece{buffer.data(), static_cast<std::size_t>(got)};
        crc = crc32_update(crc, piece);
        if (sink != nullptr && std::fwrite(piece.data(), 1, piece.size(), sink) != piece.size()) {
            std::perror("fwrite()");
            return 1;
        }
        remaining -= static_cast<std::uint32_t>(got);
    }
    return 0;
}

enum class Verdict { match, mismatch, unreadable };

// Reads the stored CRC word at fd's position and compares it with the computed crc.
[[nodiscard]] Verdict verify_tempconf_crc(int fd, std::uint32_t crc)
{
    std::uint8_t word[kRecordWordSize];
    if (!read_whole(fd, word)) {
        std::perror("read()");
        return Verdict::unreadable;
    }
    const std::uint32_t stored = get_le32(word);
    if (stored == crc) {
        return Verdict::match;
    }
    std::printf("CRC check error 0x%x / 0x%x \n", crc, stored);
    return Verdict::mismatch;
}

// ---- Restore destination --------------------------------------------------------------

// True when the file is one of this process's standard streams (/dev/stdout redirected to
// a file, say): replacing it would leave the stream writing into the old, unlinked file.
[[nodiscard]] bool is_standard_stream(const struct stat& file)
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        struct stat stream {};
        if (fstat(fd, &stream) == 0 && stream.st_dev == file.st_dev &&
            stream.st_ino == file.st_ino) {
            return true;
        }
    }
    return false;
}

// The permission bits a file created by fopen(path, "w") would get.
[[nodiscard]] mode_t new_file_mode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666U & ~mask);
}

// Where read_tempconf puts the restored data. A regular file, or a path where nothing is
// yet, is written as a temporary file beside it that is renamed over it only once all the
// data is on disk, so a restore that fails part-way leaves the old file as it was. Anything
// else (a terminal, a pipe, a standard stream) is written directly and never replaced.
class Destination {
public:
    Destination() = default;
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;
    ~Destination()
    {
        if (temp_[0] != '\0') {
            unlink(temp_);
        }
    }

    [[nodiscard]] int open(const char* path);
    [[nodiscard]] std::FILE* stream() const noexcept { return file_.get(); }
    [[nodiscard]] int commit();

private:
    [[nodiscard]] int open_direct(const char* path);
    [[nodiscard]] int open_replacement(const char* path, const char* target, mode_t mode);
    [[nodiscard]] int close_stream();

    UniqueFile file_;
    char target_[PATH_MAX] = {};
    char temp_[PATH_MAX] = {};  // the temporary file while it exists, else empty
};

int Destination::open(const char* path)
{
    struct stat status {};
    if (lstat(path, &status) != 0) {
        return errno == ENOENT ? open_replacement(path, path, new_file_mode()) : open_direct(path);
    }
    // A link is followed to the file it names, which is replaced in its own directory.
    char resolved[PATH_MAX];
    const char* target = path;
    if (S_ISLNK(status.st_mode)) {
        if (realpath(path, resolved) == nullptr || stat(resolved, &status) != 0) {
            return open_direct(path);
        }
        target = resolved;
    }
    if (!S_ISREG(status.st_mode) || is_standard_stream(status) || access(target, W_OK) != 0) {
        return open_direct(path);
    }
    return open_replacement(path, target, status.st_mode & 07777U);
}

int Destination::open_direct(const char* path)
{
    file_.reset(std::fopen(path, "w"));
    if (!file_) {
        report_open_failure("fopen()", path);
        return 1;
    }
    return 0;
}

// Failures are reported as the open of the destination, which is what they stop.
int Destination::open_replacement(const char* path, const char* target, mode_t mode)
{
    const int n = std::snprintf(temp_, sizeof temp_, "%s.XXXXXX", target);
    std::snprintf(target_, sizeof target_, "%s", target);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof temp_) {
        temp_[0] = '\0';
        errno = ENAMETOOLONG;
        report_open_failure("fopen()", path);
        return 1;
    }
    UniqueFd fd(mkstemp(temp_));
    if (fd.get() < 0) {
        temp_[0] = '\0';
        report_open_failure("fopen()", path);
        return 1;
    }
    if (fchmod(fd.get(), mode) != 0) {
        std::perror("fchmod()");
        return 1;
    }
    file_.reset(fdopen(fd.get(), "w"));
    if (!file_) {
        report_open_failure("fopen()", path);
        return 1;
    }
    static_cast<void>(fd.release());
    return 0;
}

int Destination::close_stream()
{
    if (std::fclose(file_.release()) != 0) {
        std::perror("fclose()");
        return 1;
    }
    return 0;
}

// Puts the written data in place: flushed, and for a replacement synced and renamed.
int Destination::commit()
{
    if (std::fflush(file_.get()) != 0) {
        std::perror("fwrite()");
        return 1;
    }
    if (temp_[0] == '\0') {
        return close_stream();
    }
    if (fsync(fileno(file_.get())) != 0) {
        std::perror("fsync()");
        return 1;
    }
    if (close_stream() != 0) {
        return 1;
    }
    if (std::rename(temp_, target_) != 0) {
        std::perror("rename()");
        return 1;
    }
    temp_[0] = '\0';
    return 0;
}

}  // namespace

int store_tempconf(int fd, std::FILE* source, std::uint32_t length, std::span<std::uint8_t> buffer)
{
    std::uint8_t word[kRecordWordSize];
    put_le32(word, length);
    if (!write_whole(fd, word)) {
        report_write_failure("write_tempconf", 0);
        return 1;
    }
    std::printf("Writing new image...\n");
    std::uint32_t crc = 0;
    if (copy_tempconf_data(fd, source, length, buffer, crc) != 0) {
        return 1;
    }
    put_le32(word, crc);
    if (!write_whole(fd, word)) {
        report_write_failure("write_tempconf", length);
        return 1;
    }
    return 0;
}

int write_tempconf(int fd, const char* path, std::uint32_t start, std::uint32_t size)
{
    if (lseek(fd, static_cast<off_t>(start), SEEK_SET) != static_cast<off_t>(start)) {
        std::perror("lseek()");
        return 1;
    }
    UniqueFile source(std::fopen(path, "r"));
    if (!source) {
        report_open_failure("fopen()", path);
        return 1;
    }
    const off_t length = stream_size(source.get());
    if (length < 0) {
        return 1;
    }
    if (static_cast<std::uint64_t>(length) > tempconf_capacity(size)) {
        std::printf("write_flash : size too large\n");
        return 1;
    }
    HeapBuffer buffer = allocate_buffer(kStoreBufferSize);
    if (!buffer) {
        report_malloc_failure("write_tempconf", kStoreBufferSize);
        return 1;
    }
    // Everything that can be refused has been; only now is the previous record given up.
    std::printf("Erasing flash...\n");
    if (erase_region(fd, start, size) != 0) {
        std::printf("Erase flash fail\n");
        return 1;
    }
    if (store_tempconf(fd, source.get(), static_cast<std::uint32_t>(length),
                       {buffer.get(), kStoreBufferSize}) != 0) {
        return 1;
    }
    std::printf("\nWrite tempory config complete\n");
    return 0;
}

int check_tempconf(int fd, std::uint32_t start, std::uint32_t size)
{
    HeapBuffer buffer = allocate_buffer(kLoadBufferSize);
    if (!buffer) {
        report_malloc_failure("check_tempconf", kLoadBufferSize);
        return 1;
    }
    std::uint32_t length = 0;
    std::uint32_t crc = 0;
    if (load_tempconf_length(fd, start, size, length) != 0 ||
        load_tempconf_data(fd, length, {buffer.get(), kLoadBufferSize}, nullptr, crc) != 0) {
        return 1;
    }
    return verify_tempconf_crc(fd, crc) == Verdict::match ? 0 : 1;
}

// A damaged record (CRC mismatch) is still restored whole, for inspection; a record that
// cannot be read whole leaves the destination as it was.
int read_tempconf(int fd, const char* path, std::uint32_t start, std::uint32_t size)
{
    HeapBuffer buffer = allocate_buffer(kLoadBufferSize);
    if (!buffer) {
        report_malloc_failure("read_tempconf", kLoadBufferSize);
        return 1;
    }
    std::uint32_t length = 0;
    if (load_tempconf_length(fd, start, size, length) != 0) {
        return 1;
    }
    Destination destination;
    if (destination.open(path) != 0) {
        return 1;
    }
    std::uint32_t crc = 0;
    const std::span<std::uint8_t> pieces{buffer.get(), kLoadBufferSize};
    if (load_tempconf_data(fd, length, pieces, destination.stream(), crc) != 0) {
        return 1;
    }
    const Verdict verdict = verify_tempconf_crc(fd, crc);
    if (verdict == Verdict::unreadable || destination.commit() != 0) {
        return 1;
    }
    return verdict == Verdict::match ? 0 : 1;
}
