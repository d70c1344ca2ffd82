// flash.h: erase, region CRC-32, CRC-file check, file size and progress over an open MTD
// descriptor, and the small pieces every subsystem shares: owners for descriptors, streams
// and heap buffers, little-endian flash words, and the standard failure reports.
// Owns no device: callers open and close devices. Every routine prints its own errors;
// its caller adds only its own lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <utility>

#include <sys/types.h>

// Selects the compact progress style. Set to 1 by the front end when the command line
// carries "HTTP"; nothing resets it.
extern int http_progress;

// ---- Owners ---------------------------------------------------------------------------

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept;

private:
    int fd_;
};

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

struct FreeDeleter {
    void operator()(void* block) const noexcept { std::free(block); }
};
using HeapBuffer = std::unique_ptr<std::uint8_t[], FreeDeleter>;

// A heap buffer of size bytes; empty when the allocation fails.
[[nodiscard]] HeapBuffer allocate_buffer(std::size_t size) noexcept;

// ---- Flash words ----------------------------------------------------------------------

[[nodiscard]] constexpr std::uint32_t get_le32(const std::uint8_t* bytes) noexcept
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8U |
           static_cast<std::uint32_t>(bytes[2]) << 16U | static_cast<std::uint32_t>(bytes[3]) << 24U;
}

constexpr void put_le32(std::uint8_t* bytes, std::uint32_t word) noexcept
{
    for (unsigned i = 0; i < 4; ++i) {
        bytes[i] = static_cast<std::uint8_t>(word >> (8U * i));
    }
}

// ---- Standard reports (standard error unless noted) -----------------------------------

// "<who>: malloc(<size>) failed" then perror("malloc()").
void report_malloc_failure(const char* who, unsigned size);
// "<who>: fread" then perror("fread()").
void report_fread_failure(const char* who);
// "<who>: write, size <done>" then perror("write()").
void report_write_failure(const char* who, unsigned done);
// perror(call) then the path on standard output with no line end.
void report_open_failure(const char* call, const char* path);

// ---- Primitives -----------------------------------------------------------------------

// One write (read) of all the bytes at fd's position. False when the call fails or moves
// fewer bytes; errno is then EIO for a short count.
[[nodiscard]] bool write_whole(int fd, std::span<const std::uint8_t> bytes);
[[nodiscard]] bool read_whole(int fd, std::span<std::uint8_t> bytes);

// zlib's crc32() over bytes, continuing from crc.
[[nodiscard]] std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes);

// MEMERASE of [start, start + length) on fd; prints the erase line on success and
// perror("MEMERASE") on failure. Leaves the file position where it was. 0 or 1.
[[nodiscard]] int erase_region(int fd, std::uint32_t start, std::uint32_t length);

// Advances crc over [start, start + length) of fd, read in 4096-byte requests. End of
// device ends the range silently; a read error is reported. 0 or 1 (crc untouched on 1).
[[nodiscard]] int caculate_crc(int fd, std::uint32_t start, std::uint32_t length, std::uint32_t& crc);

// Reads the first hexadecimal token of a CrcFile from stream the way the device's 32-bit C
// library reads it with "%x": leading white space skipped, an optional sign, an optional
// 0x or 0X, digits of either case up to the first other character. A negative value wraps
// modulo 2^32; a magnitude that does not fit in 32 bits reads as 0xffffffff on every
// target (a 64-bit library would keep its low 32 bits instead). False, printing nothing,
// when the stream holds no value.
[[nodiscard]] bool read_crc_value(std::FILE* stream, std::uint32_t& value);

// Compares crc with the first hexadecimal token of the CrcFile at path; prints the mismatch
// line, or the reason the file gives no value. 0 on a match, else 1.
[[nodiscard]] int check_crc_file(const char* path, std::uint32_t crc);

// caculate_crc from 0 over the range, then check_crc_file. 0 on a match, else 1.
[[nodiscard]] int check_region_crc(int fd, const char* crc_path, std::uint32_t start,
                                   std::uint32_t length);

// The size of the file at path, truncated to 32 bits; 0 (after a report) on failure.
[[nodiscard]] std::int32_t file_size(const char* path);

// The size of an open stream, or -1 after perror("fstat()").
[[nodiscard]] off_t stream_size(std::FILE* stream);

// ---- Progress -------------------------------------------------------------------------

struct ProgressState {
    std::int32_t last_percent = 0;
    std::int32_t print_count = 0;
};

// done * 100 / total, truncated; 100 when total is 0 or done has passed it.
[[nodiscard]] std::int32_t progress_percent(std::uint64_t done, std::uint64_t total) noexcept;

// One step of the progress display on standard output, in the style http_progress selects.
void report_progress(ProgressState& state, std::int32_t percent, bool section_rule);
