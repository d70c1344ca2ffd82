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

#include <fcntl.h>
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

[[nodiscard]] bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when the file is one of this process's standard streams (/dev/stdout redirected to
// a file, say): replacing it would leave the stream writing into the old, unlinked file.
[[nodiscard]] bool is_standard_stream(const struct stat& file)
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        struct stat stream {};
        if (fstat(fd, &stream) == 0 && same_file(stream, file)) {
            return true;
        }
    }
    return false;
}

// Gives the file at fd the owner, group and permission bits of model; false when any of
// them cannot be kept (a group the user is not in, another user's file).
[[nodiscard]] bool copy_owner_and_mode(int fd, const struct stat& model)
{
    struct stat now {};
    if (fstat(fd, &now) != 0) {
        return false;
    }
    if ((now.st_uid != model.st_uid || now.st_gid != model.st_gid) &&
        fchown(fd, model.st_uid, model.st_gid) != 0) {
        return false;
    }
    // After the owner: a change of owner clears the set-user-ID and set-group-ID bits.
    const mode_t bits = model.st_mode & 07777U;
    return fchmod(fd, bits) == 0 && fstat(fd, &now) == 0 && now.st_uid == model.st_uid &&
           now.st_gid == model.st_gid && (now.st_mode & 07777U) == bits;
}

// Where read_tempconf puts the restored data, as fopen(path, "w") would put it: the same
// files are restored and the same ones refused with the same message. Where it can, the
// data goes to a temporary file beside the destination that is synced and renamed over it
// only once it is complete, so a restore that fails or is cut part-way leaves the old file
// whole. That needs a regular file with a single link that this process may write, a
// directory that takes a new entry, and an owner, group and mode that the temporary file
// can take; anywhere else the destination is truncated and written in place.
class Destination {
public:
    explicit Destination(const char* path) noexcept : path_(path) {}
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;
    ~Destination()
    {
        if (temp_[0] != '\0') {
            unlink(temp_);
        }
    }

    // Opens the destination; on failure reports the fopen() line and the path.
    [[nodiscard]] int open();
    [[nodiscard]] std::FILE* stream() const noexcept { return file_.get(); }
    // Puts the written data in place through buffer; reports its own failures.
    [[nodiscard]] int commit(std::span<std::uint8_t> buffer);

private:
    [[nodiscard]] bool open_replacement();
    [[nodiscard]] bool create_temporary(const struct stat& model);
    [[nodiscard]] int open_in_place();
    [[nodiscard]] int rewrite_in_place(std::span<std::uint8_t> buffer);

    const char* path_;
    UniqueFile file_;
    char target_[PATH_MAX] = {};
    char temp_[PATH_MAX] = {};  // the temporary file while it exists, else empty
};

int Destination::open()
{
    return open_replacement() ? 0 : open_in_place();
}

int Destination::open_in_place()
{
    file_.reset(std::fopen(path_, "w"));
    if (!file_) {
        report_open_failure("fopen()", path_);
        return 1;
    }
    return 0;
}

// Decides by trying, and says nothing: false leaves no temporary file and sends the
// restore to the plain open, which gives whatever answer the file system gives it.
bool Destination::open_replacement()
{
    struct stat named {};
    if (stat(path_, &named) != 0 || !S_ISREG(named.st_mode) || named.st_nlink != 1 ||
        is_standard_stream(named)) {
        return false;
    }
    // An open for writing that does not truncate asks the kernel what the plain open
    // would: permission bits, a read-only mount, an immutable or append-only file.
    const UniqueFd probe(::open(path_, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    if (probe.get() < 0 || fstat(probe.get(), &opened) != 0 || !same_file(opened, named)) {
        return false;
    }
    // A link is followed to the file it names, which is replaced in its own directory.
    struct stat resolved {};
    if (realpath(path_, target_) == nullptr || stat(target_, &resolved) != 0 ||
        !same_file(resolved, named)) {
        return false;
    }
    return create_temporary(named);
}

bool Destination::create_temporary(const struct stat& model)
{
    const int n = std::snprintf(temp_, sizeof temp_, "%s.XXXXXX", target_);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof temp_) {
        temp_[0] = '\0';
        return false;
    }
    UniqueFd fd(mkstemp(temp_));
    if (fd.get() < 0) {
        temp_[0] = '\0';
        return false;
    }
    // Opened for reading too, so that the data can be copied in place if the rename fails
    // whatever permission bits the file takes.
    if (copy_owner_and_mode(fd.get(), model)) {
        file_.reset(fdopen(fd.get(), "w+"));
    }
    if (!file_) {
        unlink(temp_);
        temp_[0] = '\0';
        return false;
    }
    static_cast<void>(fd.release());
    return true;
}

// The rename was refused after the data was complete: the data is copied from the
// temporary file into the destination as the plain open would have written it.
int Destination::rewrite_in_place(std::span<std::uint8_t> buffer)
{
    UniqueFile in_place(std::fopen(path_, "w"));
    if (!in_place) {
        report_open_failure("fopen()", path_);
        return 1;
    }
    std::rewind(file_.get());
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file_.get())) != 0) {
        if (std::fwrite(buffer.data(), 1, got, in_place.get()) != got) {
            std::perror("fwrite()");
            return 1;
        }
    }
    if (std::ferror(file_.get()) != 0) {
        std::perror("fread()");
        return 1;
    }
    if (std::fflush(in_place.get()) != 0) {
        std::perror("fwrite()");
        return 1;
    }
    if (std::fclose(in_place.release()) != 0) {
        std::perror("fclose()");
        return 1;
    }
    return 0;
}

// Flushes the data; a temporary file is synced before it is renamed over the destination,
// so that a power cut after the rename cannot leave an empty or partial file. A sync or a
// rename that fails gives up the replacement, silently, for a write in place.
int Destination::commit(std::span<std::uint8_t> buffer)
{
    if (std::fflush(file_.get()) != 0) {
        std::perror("fwrite()");
        return 1;
    }
    if (temp_[0] != '\0') {
        if (fsync(fileno(file_.get())) != 0 || std::rename(temp_, target_) != 0) {
            return rewrite_in_place(buffer);
        }
        temp_[0] = '\0';
    }
    if (std::fclose(file_.release()) != 0) {
        std::perror("fclose()");
        return 1;
    }
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
    Destination destination(path);
    if (destination.open() != 0) {
        return 1;
    }
    std::uint32_t crc = 0;
    const std::span<std::uint8_t> pieces{buffer.get(), kLoadBufferSize};
    if (load_tempconf_data(fd, length, pieces, destination.stream(), crc) != 0) {
        return 1;
    }
    const Verdict verdict = verify_tempconf_crc(fd, crc);
    if (verdict == Verdict::unreadable || destination.commit(pieces) != 0) {
        return 1;
    }
    return verdict == Verdict::match ? 0 : 1;
}
