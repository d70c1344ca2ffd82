// Region CRC-32, CRC-file comparison and file size.
#include "flash/flash.h"

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {
constexpr unsigned kCrcReadSize = 4096;
}

std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes)
{
    // zlib takes a uInt length; 4 GiB is far beyond any buffer this tool holds.
    return static_cast<std::uint32_t>(
        crc32(crc, bytes.data(), static_cast<uInt>(bytes.size())));
}

int caculate_crc(int fd, std::uint32_t start, std::uint32_t length, std::uint32_t& crc)
{
    HeapBuffer buffer = allocate_buffer(kCrcReadSize);
    if (!buffer) {
        report_malloc_failure("caculate_crc", kCrcReadSize);
        return 1;
    }
    if (lseek(fd, static_cast<off_t>(start), SEEK_SET) != static_cast<off_t>(start)) {
        std::perror("lseek()");
        return 1;
    }
    std::uint32_t running = crc;
    std::uint32_t remaining = length;
    for (;;) {
        // A full block is asked for every time; bytes past the range are ignored.
        const ssize_t got = read(fd, buffer.get(), kCrcReadSize);
        if (got < 0) {
            std::perror("read()");
            return 1;
        }
        if (got == 0) {
            break;
        }
        const std::uint32_t take =
            static_cast<std::uint32_t>(got) < remaining ? static_cast<std::uint32_t>(got) : remaining;
        running = crc32_update(running, {buffer.get(), take});
        remaining -= take;
        if (remaining == 0) {
            break;
        }
    }
    crc = running;
    return 0;
}

namespace {

[[nodiscard]] bool is_scan_space(int c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The value of a hexadecimal digit of either case, or -1.
[[nodiscard]] int hex_digit_value(int c) noexcept
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

bool read_crc_value(std::FILE* stream, std::uint32_t& value)
{
    int c = std::getc(stream);
    while (is_scan_space(c)) {
        c = std::getc(stream);
    }
    const bool negative = c == '-';
    if (c == '-' || c == '+') {
        c = std::getc(stream);
    }
    // A leading 0 is a digit of its own, so "0x" with nothing after it still reads as 0.
    bool any_digit = false;
    if (c == '0') {
        any_digit = true;
        c = std::getc(stream);
        if (c == 'x' || c == 'X') {
            c = std::getc(stream);
        }
    }
    // Once past 32 bits the magnitude stays past them; later digits are only consumed.
    std::uint64_t magnitude = 0;
    for (int digit = hex_digit_value(c); digit >= 0; digit = hex_digit_value(c)) {
        any_digit = true;
        if (magnitude <= UINT32_MAX) {
            magnitude = magnitude * 16U + static_cast<std::uint64_t>(digit);
        }
        c = std::getc(stream);
    }
    // The character that ended the scan stays unread, as it does for the formatted read.
    if (c != EOF) {
        std::ungetc(c, stream);
    }
    if (!any_digit) {
        return false;
    }
    if (magnitude > UINT32_MAX) {
        value = UINT32_MAX;
    } else {
        const auto low = static_cast<std::uint32_t>(magnitude);
        value = negative ? 0U - low : low;
    }
    return true;
}

int check_crc_file(const char* path, std::uint32_t crc)
{
    std::uint32_t expected = 0;
    bool scanned = false;
    {
        UniqueFile file(std::fopen(path, "r"));
        if (!file) {
            report_open_failure("fopen()", path);
            return 1;
        }
        scanned = read_crc_value(file.get(), expected);
    }
    // A file with no hexadecimal value has nothing to match: never a silent success.
    if (!scanned) {
        std::printf("%s : no CRC value\n", path);
        return 1;
    }
    if (expected == crc) {
        return 0;
    }
    std::printf("CRC check error 0x%x / 0x%x \n", crc, expected);
    return 1;
}

int check_region_crc(int fd, const char* crc_path, std::uint32_t start, std::uint32_t length)
{
    std::uint32_t crc = 0;
    if (caculate_crc(fd, start, length, crc) != 0) {
        return 1;
    }
    return check_crc_file(crc_path, crc);
}

off_t stream_size(std::FILE* stream)
{
    struct stat status {};
    if (fstat(fileno(stream), &status) != 0) {
        std::perror("fstat()");
        return -1;
    }
    return status.st_size;
}

std::int32_t file_size(const char* path)
{
    UniqueFile file(std::fopen(path, "r"));
    if (!file) {
        report_open_failure("fopen()", path);
        return 0;
    }
    const off_t size = stream_size(file.get());
    return size < 0 ? 0 : static_cast<std::int32_t>(size);
}
