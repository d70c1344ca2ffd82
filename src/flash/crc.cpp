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

int check_crc_file(const char* path, std::uint32_t crc)
{
    unsigned expected = 0;
    int scanned = 0;
    {
        UniqueFile file(std::fopen(path, "r"));
        if (!file) {
            report_open_failure("fopen()", path);
            return 1;
        }
        scanned = std::fscanf(file.get(), "%x", &expected);
    }
    // A file with no hexadecimal value has nothing to match: never a silent success.
    if (scanned != 1) {
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
