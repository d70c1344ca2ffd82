// image.h: the image writers. Owns copying one image file into one device region
// (write_flash) and spreading one whole-flash image over the four devices
// (write_flashall). Each erases its target first, streams the file through one 1024-byte
// buffer, reports progress and prints its own messages. Descriptors stay the caller's.
#pragma once

#include <cstdint>

// Erases [offset, offset + limit) of fd and writes the image at path from offset. progress
// non-zero reports percentages. 0 when the whole image is written, else 1.
[[nodiscard]] int write_flash(int fd, const char* path, std::uint32_t offset, std::uint32_t limit,
                              int progress);

// Erases the flash but the protected window and writes the whole-flash image at path over
// the four devices, each standing at position 0. 0 or 1.
[[nodiscard]] int write_flashall(int mtd0, int mtd1, int mtd2, int mtd3, const char* path);
