// system.h: the partition-table system upgrade. Owns loading a partition-table file into
// entries with absolute starts, the covering rule that maps an absolute flash address to
// partition sections, and the write and check of a three-file system image across them.
// Opens and closes each partition device itself; every routine here prints its own
// failures, so callers add only their own lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <utility>

#include "flash/flash.h"

// ---- Partition table ------------------------------------------------------------------

// A table token is stored in a 64-character field: at most 63 characters and a terminator.
inline constexpr std::size_t kTokenField = 64;
inline constexpr std::size_t kTokenMax = kTokenField - 1;
// The device path "/dev/<device>" is built in a 64-character buffer.
inline constexpr std::size_t kDevicePathField = 64;
inline constexpr std::size_t kDeviceNameMax = kDevicePathField - sizeof("/dev/");

// One row of the table, in file order.
struct PartitionEntry {
    char label[kTokenField];   // the label token without its quotes; never read
    char device[kTokenField];  // the device token without its last character (the colon)
    std::uint32_t start;       // absolute flash offset: the sum of all earlier sizes
    std::uint32_t size;
};
static_assert(sizeof(PartitionEntry) == 136);

// The loaded table: owns its entries, which lie back to back from flash offset 0.
class PartitionTable {
public:
    PartitionTable() = default;
    PartitionTable(std::unique_ptr<PartitionEntry[], FreeDeleter> entries, std::size_t count) noexcept
        : entries_(std::move(entries)), count_(count)
    {
    }
    [[nodiscard]] std::span<const PartitionEntry> entries() const noexcept
    {
        return {entries_.get(), count_};
    }

private:
    std::unique_ptr<PartitionEntry[], FreeDeleter> entries_;
    std::size_t count_ = 0;
};

// Counts the rows after the four-token heading of an open table; a last group of one to
// three tokens counts as a row. name is the table's path, for the messages. 0 or 1.
[[nodiscard]] int count_partition_rows(std::FILE* stream, const char* name, std::size_t& rows);

// Fills entries in file order from an open table, at most entries.size() of them, with
// running starts; filled says how many. Refuses over-long tokens and device names, a row
// without its size token and sizes that do not fit 32 bits together. 0 or 1.
[[nodiscard]] int parse_partition_rows(std::FILE* stream, const char* name,
                                       std::span<PartitionEntry> entries, std::size_t& filled);

// The two passes over the file at path: open, count or fill, close. 0 or 1.
[[nodiscard]] int count_partitions(const char* path, std::size_t& rows);
[[nodiscard]] int read_partitions(const char* path, std::span<PartitionEntry> entries,
                                  std::size_t& filled);

// An entry array of count rows; empty after "<who>: malloc(<count × 136>) failed".
[[nodiscard]] std::unique_ptr<PartitionEntry[], FreeDeleter> allocate_entries(const char* who,
                                                                             std::size_t count);

// Count, allocate, fill. who names the operation in the allocation message. A table
// without rows is refused. 0 or 1.
[[nodiscard]] int load_partition_table(const char* who, const char* path, PartitionTable& table);

// ---- Covering rule --------------------------------------------------------------------

// The part of a range that falls inside one partition.
struct PartitionSection {
    const PartitionEntry* entry;
    std::uint32_t offset;  // inside the partition
    std::uint32_t length;
};

// Whether entry covers absolute address at (it ends above it), and if so the section from
// at, or from the partition's start when that lies above at, to the partition's end.
[[nodiscard]] bool cover_address(const PartitionEntry& entry, std::uint32_t at,
                                 PartitionSection& section) noexcept;

// The covering sections of a table from an absolute address, in table order. A bounded
// walk cuts each section to what remains of its length and stops after the section that
// uses the last byte (a length of 0 still yields the first covering section); an unbounded
// walk runs to the table's end.
class SectionWalk {
public:
    SectionWalk(std::span<const PartitionEntry> entries, std::uint32_t at) noexcept
        : entries_(entries), at_(at)
    {
    }
    SectionWalk(std::span<const PartitionEntry> entries, std::uint32_t at, std::uint32_t length) noexcept
        : entries_(entries), at_(at), remaining_(length), bounded_(true)
    {
    }
    [[nodiscard]] bool next(PartitionSection& section) noexcept;

private:
    std::span<const PartitionEntry> entries_;
    std::uint32_t at_;
    std::uint32_t remaining_ = 0;
    bool bounded_ = false;
    bool done_ = false;
    std::size_t index_ = 0;
};

// Opens "/dev/<device>" read-write with synchronous writes; after a failure (reported as
// open() and the path) the result holds -1.
[[nodiscard]] UniqueFd open_partition(const PartitionEntry& entry);
// Closes a partition device, reporting close(). 0 or 1.
[[nodiscard]] int close_partition(UniqueFd& device);

// ---- Write ----------------------------------------------------------------------------

// Writes the three images into their windows through the partitions the table names.
[[nodiscard]] int write_system(const char* table, const char* image1, const char* image2,
                               const char* image3, int progress);

// One image against its window size; hands out its size. 0 or 1.
[[nodiscard]] int check_image_size(const char* path, std::uint32_t limit, std::uint32_t& size);
// The three images in order; total is the sum of their sizes. 0 or 1.
[[nodiscard]] int check_image_sizes(const char* path1, const char* path2, const char* path3,
                                    std::uint32_t limit1, std::uint32_t limit2,
                                    std::uint32_t limit3, std::uint32_t& total);

// Erases every covering partition range from absolute address at to the table's end.
[[nodiscard]] int erase_partitions_from(const PartitionTable& table, std::uint32_t at);

// Writes one image from absolute address at across the partitions covering its window of
// limit bytes; bytes_written runs on over all images. 0 or 1.
[[nodiscard]] int write_image_at(const PartitionTable& table, const char* path, std::uint32_t at,
                                 std::uint32_t limit, std::uint32_t total,
                                 std::uint32_t& bytes_written, int progress);

// Copies the next bytes of image, at most length, to offset of device, in 1024-byte
// chunks with a fresh progress state under the section rule. Closes neither. 0 or 1.
[[nodiscard]] int write_partsection(std::FILE* image, std::uint32_t offset, std::uint32_t length,
                                    std::uint32_t total, int device, std::uint32_t& bytes_written,
                                    int progress);

// ---- Check ----------------------------------------------------------------------------

// Verifies the three windows against the images' sizes and their CrcFiles.
[[nodiscard]] int check_system(const char* table, const char* image1, const char* image2,
                               const char* image3, const char* crc1, const char* crc2,
                               const char* crc3);

// The CRC-32 of as many flash bytes as the image holds, from absolute address at across
// the covering partitions, against the CrcFile. 0 on a match, else 1.
[[nodiscard]] int crc_image_at(const PartitionTable& table, const char* image, const char* crc_path,
                               std::uint32_t at);
