// Display of the boot-loader environment block: a CRC-32 word over the data area, then
// NUL-terminated strings ended by an empty one. The strings are shown as stored.
#include "bootarea/bootarea.h"
#include "cli/cli.h"
#include "flash/flash.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include <unistd.h>

namespace {

// The bytes after the CRC word.
[[nodiscard]] std::span<const std::uint8_t> env_data(std::span<const std::uint8_t> block) noexcept
{
    if (block.size() <= kRecordWordSize) {
        return {};
    }
    return block.subspan(kRecordWordSize);
}

// Reads the whole block at its place in the device into block.
[[nodiscard]] int read_env_block(int fd, std::span<std::uint8_t> block)
{
    const std::uint32_t offset = flash_map::kBootEnv.offset;
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) {
        std::perror("lseek()");
        return 1;
    }
    const ssize_t got = read(fd, block.data(), block.size());
    if (got != static_cast<ssize_t>(block.size())) {
        // A short count sets no errno of its own; name it an I/O error.
        const int saved = got < 0 ? errno : EIO;
        std::printf("Bootldr env: read, size %#x, n %#x\n", static_cast<unsigned>(block.size()),
                    static_cast<unsigned>(got));
        errno = saved;
        std::perror("read()");
        return 1;
    }
    return 0;
}

}  // namespace

std::uint8_t env_get_byte(std::span<const std::uint8_t> block, std::uint32_t position) noexcept
{
    const std::span<const std::uint8_t> data = env_data(block);
    return position < data.size() ? data[position] : 0;
}

int check_env_crc(std::span<const std::uint8_t> block)
{
    const std::span<const std::uint8_t> data = env_data(block);
    const std::uint32_t stored = block.size() < kRecordWordSize ? 0 : get_le32(block.data());
    // The addresses are printed whole, in the pointer's own width, for diagnosis.
    std::printf("env = %" PRIxPTR "\n", reinterpret_cast<std::uintptr_t>(block.data()));
    std::printf("size = %d\n", static_cast<int>(data.size()));
    std::printf("env->data = %" PRIxPTR "\n", reinterpret_cast<std::uintptr_t>(data.data()));
    std::printf("crc = %x\n", stored);
    if (crc32_update(0, data) != stored) {
        std::printf("CRC Check fail\n");
        return 1;
    }
    return 0;
}

std::uint32_t list_env(std::span<const std::uint8_t> block)
{
    std::uint32_t position = 0;
    while (env_get_byte(block, position) != 0) {
        std::uint32_t end = position + 1;
        while (env_get_byte(block, end) != 0) {
            ++end;
        }
        for (; position < end; ++position) {
            std::putchar(env_get_byte(block, position));
        }
        std::putchar('\n');
        // Past the terminator; a string cut by the end of the area counts one byte more.
        position = end + 1;
    }
    std::printf("\nEnvironment size: %d/%d bytes\n", static_cast<int>(position),
                static_cast<int>(env_data(block).size()));
    return position;
}

int showbootenv(int fd)
{
    const std::size_t size = flash_map::kBootEnv.length;
    HeapBuffer buffer = allocate_buffer(size);
    if (!buffer) {
        std::printf("showbootenv : malloc fail\n");
        return 1;
    }
    if (read_env_block(fd, {buffer.get(), size}) != 0) {
        return 1;
    }
    const std::span<const std::uint8_t> block{buffer.get(), size};
    if (check_env_crc(block) != 0) {
        return 1;
    }
    list_env(block);
    return 0;
}
