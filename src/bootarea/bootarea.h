// bootarea.h: the fixed records inside /dev/mtd0. Owns the boot-loader environment
// display, the temporary configuration record (length, data, CRC-32) and the level-one
// magic block. Every routine prints its own messages and returns 0 or 1; descriptors stay
// the caller's.
#pragma once

#include <cstdint>

// Lists the boot-loader environment after verifying its CRC-32.
[[nodiscard]] int showbootenv(int fd);

// Stores the file at path as a record at [start, start + size) of fd, erasing it first.
[[nodiscard]] int write_tempconf(int fd, const char* path, std::uint32_t start, std::uint32_t size);
// Verifies the record at start.
[[nodiscard]] int check_tempconf(int fd, std::uint32_t start, std::uint32_t size);
// Restores the record at start into the file at path, verifying it on the way.
[[nodiscard]] int read_tempconf(int fd, const char* path, std::uint32_t start, std::uint32_t size);

// Writes magic, value and 0xFF fill over [offset, offset + length) without erasing.
[[nodiscard]] int write_l1_magic(int fd, std::uint32_t offset, std::uint32_t length,
                                 std::uint32_t magic, std::uint32_t value);
