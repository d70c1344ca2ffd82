// Single-region image write: size check, erase of the whole region, then the image copied
// from the region's start in 1024-byte blocks.
#include "image/image.h"

#include <cstdio>

#include <unistd.h>

namespace {

// Writes the block at the device's current position, which follows the image offset.
int write_block(const void* target, std::uint32_t at, std::span<const std::uint8_t> block)
{
    if (!write_whole(*static_cast<const int*>(target), block)) {
        report_write_failure("write_flash", at);
        return 1;
    }
    return 0;
}

}  // namespace

int copy_image(std::FILE* image, std::uint8_t* buffer, std::uint32_t bound, std::uint64_t size,
               bool progress, const char* who, PlaceBlock place, const void* target)
{
    std::printf("Writing new image...\n");
    ProgressState state;
    std::uint32_t at = 0;
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, kImageBlock, image);
        // An error is a failure even when it came before any byte: taking it for the end
        // of the file would report a truncated image as written.
        if (std::ferror(image) != 0) {
            report_fread_failure(who);
            return 1;
        }
        if (got == 0) {
            // The closing line end follows the progress display, or stands alone as an
            // empty line when there was none.
            std::printf("\nWrite new image complete\n");
            return 0;
        }
        if (got > bound - at) {
            std::printf("%s : size too large\n", who);
            return 1;
        }
        if (place(target, at, {buffer, got}) != 0) {
            return 1;
        }
        at += static_cast<std::uint32_t>(got);
        if (progress) {
            report_progress(state, progress_percent(at, size), false);
        }
    }
}

ImageFile open_image(const char* path, std::uint64_t limit, const char* who)
{
    ImageFile image{UniqueFile(std::fopen(path, "r"))};
    if (!image.stream) {
        report_open_failure("fopen()", path);
        return image;
    }
    const off_t size = stream_size(image.stream.get());
    if (size < 0) {
        image.stream.reset();
        return image;
    }
    // The full 64-bit size is compared: cut to 32 bits, 4 GiB and a few bytes would pass.
    if (static_cast<std::uint64_t>(size) > limit) {
        std::printf("%s : size too large\n", who);
        image.stream.reset();
        return image;
    }
    image.size = static_cast<std::uint64_t>(size);
    return image;
}

int write_flash(int fd, const char* path, std::uint32_t offset, std::uint32_t limit, int progress)
{
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) {
        std::perror("lseek()");
        return 1;
    }
    ImageFile image = open_image(path, limit, "write_flash");
    if (!image.stream) {
        return 1;
    }
    std::printf("File size = %d\n", static_cast<int>(image.size));
    HeapBuffer buffer = allocate_buffer(kImageBlock);
    if (!buffer) {
        report_malloc_failure("write_flash", kImageBlock);
        return 1;
    }
    std::printf("Erasing flash...\n");
    if (erase_region(fd, offset, limit) != 0) {
        std::printf("Erase flash fail\n");
        return 1;
    }
    if (copy_image(image.stream.get(), buffer.get(), limit, image.size, progress != 0,
                   "write_flash", write_block, &fd) != 0) {
        return 1;
    }
    return 0;
}
