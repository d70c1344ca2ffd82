// image.h: the image writers. Owns copying one image file into one device region
// (write_flash) and spreading one whole-flash image over the four devices
// (write_flashall). Each erases its target first, streams the file through one 1024-byte
// buffer, reports progress and prints its own messages. Descriptors stay the caller's.
#pragma once

#include "flash/flash.h"

#include <cstdint>
#include <cstdio>
#include <span>

// Both writers stream their image through one heap buffer of this size.
inline constexpr std::uint32_t kImageBlock = 0x400;

// Erases [offset, offset + limit) of fd and writes the image at path from offset. progress
// non-zero reports percentages. 0 when the whole image is written, else 1.
[[nodiscard]] int write_flash(int fd, const char* path, std::uint32_t offset, std::uint32_t limit,
                              int progress);

// Erases the flash but the protected window and writes the whole-flash image at path over
// the four devices, each standing at position 0. 0 or 1.
[[nodiscard]] int write_flashall(int mtd0, int mtd1, int mtd2, int mtd3, const char* path);

// What write_flashall does with a block of the whole-flash image whose first byte lies at
// image offset at: the device index 0..3 that receives it, or kPassOver for a block of the
// protected window, which is skipped. Offsets past the flash map to the last device.
inline constexpr int kPassOver = -1;
[[nodiscard]] int route_block(std::uint32_t at) noexcept;

// An image file opened for a writer, with the size taken from the open file.
struct ImageFile {
    UniqueFile stream;
    std::uint64_t size = 0;
};

// Puts one image block, whose first byte lies at image offset at, where it belongs.
// Reports its own failure. 0 or 1.
using PlaceBlock = int (*)(const void* target, std::uint32_t at,
                           std::span<const std::uint8_t> block);

// Prints "Writing new image...", streams image through buffer (kImageBlock bytes) block by
// block to place, then ends the display and prints "Write new image complete". bound caps
// the image offsets: a file that grew after its size was taken fails with "<who> : size
// too large" rather than spill past the target. With progress, reports at + block against
// size after each block. Prints its own failures. 0 or 1.
[[nodiscard]] int copy_image(std::FILE* image, std::uint8_t* buffer, std::uint32_t bound,
                             std::uint64_t size, bool progress, const char* who,
                             PlaceBlock place, const void* target);

// Opens the image at path and takes its size. A file larger than limit is refused with
// "<who> : size too large". Prints its own failures; the stream is empty after one.
[[nodiscard]] ImageFile open_image(const char* path, std::uint64_t limit, const char* who);
