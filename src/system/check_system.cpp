// The system check: each image's size in flash bytes from its window start, read across
// the covering partitions as one CRC-32 and compared with the image's CrcFile.
#include "system/system.h"

#include <cstdint>
#include <cstdio>

#include "cli/cli.h"

int crc_image_at(const PartitionTable& table, const char* image, const char* crc_path,
                 std::uint32_t at)
{
    std::uint32_t crc = 0;
    {
        UniqueFile file(std::fopen(image, "r"));
        if (!file) {
            report_open_failure("fopen()", image);
            return 1;
        }
        const off_t size = stream_size(file.get());
        if (size < 0) {
            return 1;
        }
        // A size past 32 bits reaches beyond any table anyway; the walk cuts it short.
        const std::uint32_t length =
            static_cast<std::uint64_t>(size) > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(size);
        SectionWalk walk(table.entries(), at, length);
        PartitionSection section{};
        while (walk.next(section)) {
            UniqueFd device = open_partition(*section.entry);
            if (device.get() < 0) {
                return 1;
            }
            if (caculate_crc(device.get(), section.offset, section.length, crc) != 0) {
                return 1;
            }
            if (close_partition(device) != 0) {
                return 1;
            }
        }
    }
    // The CrcFile is opened only after the whole range has been read.
    return check_crc_file(crc_path, crc);
}

int check_system(const char* table_path, const char* image1, const char* image2,
                 const char* image3, const char* crc1, const char* crc2, const char* crc3)
{
    using flash_map::kSystemWindows;
    PartitionTable table;
    if (load_partition_table("check_system", table_path, table) != 0) {
        return 1;
    }
    const char* const images[flash_map::kSystemImageCount] = {image1, image2, image3};
    const char* const crcs[flash_map::kSystemImageCount] = {crc1, crc2, crc3};
    for (int i = 0; i < flash_map::kSystemImageCount; ++i) {
        if (crc_image_at(table, images[i], crcs[i], kSystemWindows[i].offset) != 0) {
            return 1;
        }
    }
    return 0;
}
