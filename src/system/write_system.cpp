// The system image write: three files laid into their fixed windows of absolute flash
// addresses, through whichever partitions the table says cover them.
#include "system/system.h"

#include <cstdio>

#include <sys/types.h>
#include <unistd.h>

#include "cli/cli.h"

namespace {
constexpr std::uint32_t kSectionChunk = 1024;
}

int check_image_size(const char* path, std::uint32_t limit, std::uint32_t& size)
{
    UniqueFile file(std::fopen(path, "r"));
    if (!file) {
        std::perror("fopen()");
        std::printf("%s\n", path);
        return 1;
    }
    const off_t bytes = stream_size(file.get());
    if (bytes < 0) {
        return 1;
    }
    if (static_cast<std::uint64_t>(bytes) > limit) {
        std::printf("%s : file size too large\n", path);
        return 1;
    }
    size = static_cast<std::uint32_t>(bytes);
    return 0;
}

int check_image_sizes(const char* path1, const char* path2, const char* path3,
                      std::uint32_t limit1, std::uint32_t limit2, std::uint32_t limit3,
                      std::uint32_t& total)
{
    std::uint32_t size1 = 0;
    std::uint32_t size2 = 0;
    std::uint32_t size3 = 0;
    if (check_image_size(path1, limit1, size1) != 0 || check_image_size(path2, limit2, size2) != 0 ||
        check_image_size(path3, limit3, size3) != 0) {
        return 1;
    }
    total = size1 + size2 + size3;
    return 0;
}

int erase_partitions_from(const PartitionTable& table, std::uint32_t at)
{
    SectionWalk walk(table.entries(), at);
    PartitionSection section{};
    while (walk.next(section)) {
        UniqueFd device = open_partition(*section.entry);
        if (device.get() < 0) {
            return 1;
        }
        std::printf("Erasing flash start 0x%x + 0x%x, size 0x%x\n", section.entry->start,
                    section.offset, section.length);
        if (erase_region(device.get(), section.offset, section.length) != 0) {
            return 1;
        }
        if (close_partition(device) != 0) {
            return 1;
        }
    }
    return 0;
}

int write_partsection(std::FILE* image, std::uint32_t offset, std::uint32_t length,
                      std::uint32_t total, int device, std::uint32_t& bytes_written, int progress)
{
    if (lseek(device, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) {
        std::perror("lseek()");
        return 1;
    }
    HeapBuffer buffer = allocate_buffer(kSectionChunk);
    if (!buffer) {
        report_malloc_failure("write_partsection", kSectionChunk);
        return 1;
    }
    ProgressState state;
    while (length > 0) {
        const std::size_t chunk = length < kSectionChunk ? length : kSectionChunk;
        const std::size_t got = std::fread(buffer.get(), 1, chunk, image);
        // A read error ends the write as a failure, also when it yielded no bytes: taking
        // it for the end of the file would report a partly written image as success.
        if (std::ferror(image) != 0) {
            report_fread_failure("write_partsection");
            return 1;
        }
        if (got == 0) {
            break;
        }
        if (!write_whole(device, {buffer.get(), got})) {
            report_write_failure("write_partsection", bytes_written);
            return 1;
        }
        bytes_written += static_cast<std::uint32_t>(got);
        if (progress != 0) {
            report_progress(state, progress_percent(bytes_written, total), true);
        }
        length -= static_cast<std::uint32_t>(got);
    }
    return 0;
}

int write_image_at(const PartitionTable& table, const char* path, std::uint32_t at,
                   std::uint32_t limit, std::uint32_t total, std::uint32_t& bytes_written,
                   int progress)
{
    UniqueFile image(std::fopen(path, "r"));
    if (!image) {
        report_open_failure("fopen()", path);
        return 1;
    }
    // The window is consumed section by section whatever the file holds, so sections past
    // the file's end are still opened and positioned, with nothing written to them.
    SectionWalk walk(table.entries(), at, limit);
    PartitionSection section{};
    while (walk.next(section)) {
        UniqueFd device = open_partition(*section.entry);
        if (device.get() < 0) {
            return 1;
        }
        if (write_partsection(image.get(), section.offset, section.length, total, device.get(),
                              bytes_written, progress) != 0) {
            return 1;
        }
        if (close_partition(device) != 0) {
            return 1;
        }
    }
    return 0;
}

int write_system(const char* table_path, const char* image1, const char* image2,
                 const char* image3, int progress)
{
    using flash_map::kSystemWindows;
    PartitionTable table;
    if (load_partition_table("write_system", table_path, table) != 0) {
        return 1;
    }
    std::uint32_t total = 0;
    if (check_image_sizes(image1, image2, image3, kSystemWindows[0].length,
                          kSystemWindows[1].length, kSystemWindows[2].length, total) != 0) {
        return 1;
    }
    std::printf("Erasing flash...\n");
    if (erase_partitions_from(table, kSystemWindows[0].offset) != 0) {
        return 1;
    }
    // One running count over all three images, so the percentage runs once to 100.
    std::uint32_t bytes_written = 0;
    const char* const images[flash_map::kSystemImageCount] = {image1, image2, image3};
    for (int i = 0; i < flash_map::kSystemImageCount; ++i) {
        if (write_image_at(table, images[i], kSystemWindows[i].offset, kSystemWindows[i].length,
                           total, bytes_written, progress) != 0) {
            return 1;
        }
    }
    return 0;
}
