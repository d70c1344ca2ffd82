// bootarea.h: the fixed records inside /dev/mtd0. Owns the boot-loader environment
// display, the temporary configuration record (length, data, CRC-32) and the level-one
// magic block. Every routine prints its own messages and returns 0 or 1; descriptors stay
// the caller's.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

// Every word the records store (CRC, length, magic, value) is 4 bytes, little-endian.
inline constexpr std::uint32_t kRecordWordSize = 4;

// ---- Boot-loader environment: a CRC-32 word, then NUL-terminated strings --------------

// Lists the boot-loader environment after verifying its CRC-32.
[[nodiscard]] int showbootenv(int fd);

// Byte position of the block's data area (the bytes after the CRC word), and 0 for every
// position from the end of the area on, so a string not terminated inside the area ends
// there. Prints nothing.
[[nodiscard]] std::uint8_t env_get_byte(std::span<const std::uint8_t> block,
                                        std::uint32_t position) noexcept;

// Prints the four diagnostic lines (block address, data size, data address, stored CRC),
// then 0 when the stored CRC-32 matches the data, else 1 after "CRC Check fail".
[[nodiscard]] int check_env_crc(std::span<const std::uint8_t> block);

// Prints the strings of the data area one to a line, then the summary of the bytes they
// use. Returns that used size.
std::uint32_t list_env(std::span<const std::uint8_t> block);

// ---- Temporary configuration record: length word, data, CRC-32 word -------------------

// The bytes a record adds to its data: the length word and the CRC word.
inline constexpr std::uint32_t kTempConfFraming = 2 * kRecordWordSize;

// The largest data length a region of region_size bytes holds.
[[nodiscard]] constexpr std::uint32_t tempconf_capacity(std::uint32_t region_size) noexcept
{
    return region_size < kTempConfFraming ? 0 : region_size - kTempConfFraming;
}

// Stores the file at path as a record at [start, start + size) of fd, erasing it first.
[[nodiscard]] int write_tempconf(int fd, const char* path, std::uint32_t start, std::uint32_t size);
// Verifies the record at start.
[[nodiscard]] int check_tempconf(int fd, std::uint32_t start, std::uint32_t size);
// Restores the record at start into the file at path, verifying it on the way. Opens,
// refuses and reports exactly as fopen(path, "w") would; where a replacement through a
// synced temporary file is safe it is taken, so a restore that fails part-way leaves the
// file as it was; anything else is written in place (restore_dest.h).
[[nodiscard]] int read_tempconf(int fd, const char* path, std::uint32_t start, std::uint32_t size);

// Writes the record of write_tempconf at fd's position: length, then exactly length bytes
// of source copied through buffer, then their CRC-32. A source that turns out to hold more
// or fewer than length bytes is refused after what was copied, without the CRC word, so
// the record is never longer than its length says and never verifies.
[[nodiscard]] int store_tempconf(int fd, std::FILE* source, std::uint32_t length,
                                 std::span<std::uint8_t> buffer);

// ---- Level-one magic block ------------------------------------------------------------

// Writes magic, value and 0xFF fill over [offset, offset + length) without erasing.
// length is at least 8. A short or failed write is reported and gives 1.
[[nodiscard]] int write_l1_magic(int fd, std::uint32_t offset, std::uint32_t length,
                                 std::uint32_t magic, std::uint32_t value);

