// The temporary configuration record: a length word, the bytes of one file and the CRC-32
// of those bytes, at the start of a region of /dev/mtd0 that is erased before each store.
// The record is streamed from the file into the flash; a restore holds it (at most 8184
// bytes) only when it replaces the destination (restore_dest.h).
#include "bootarea/bootarea.h"
#include "bootarea/restore_dest.h"
#include "flash/flash.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

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

// Reads the length data bytes that follow, advancing crc and handing them to sink when
// there is one. The end of the device ends the data early; the CRC word read after it
// then fails.
[[nodiscard]] int load_tempconf_data(int fd, std::uint32_t length, std::span<std::uint8_t> buffer,
                                     RestoreDestination* sink, std::uint32_t& crc)
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
        if (sink != nullptr && sink->put(piece) != 0) {
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
    RestoreDestination destination(path, length);
    if (destination.open() != 0) {
        return 1;
    }
    std::uint32_t crc = 0;
    const std::span<std::uint8_t> pieces{buffer.get(), kLoadBufferSize};
    if (load_tempconf_data(fd, length, pieces, &destination, crc) != 0) {
        return 1;
    }
    const Verdict verdict = verify_tempconf_crc(fd, crc);
    if (verdict == Verdict::unreadable || destination.commit() != 0) {
        return 1;
    }
    return verdict == Verdict::match ? 0 : 1;
}
