// Whole-flash image write: the image is the four devices end to end. Everything but the
// protected window is erased, then each 1024-byte block goes to the device that holds its
// image offset; the window's blocks are passed over, so its flash contents survive.
#include "cli/cli.h"
#include "image/image.h"

#include <cstdio>

#include <unistd.h>

namespace {

using namespace flash_map;

// Every bound the routing tests is a multiple of the block, so no block spans two devices.
static_assert(kProtectedWindow.offset % kImageBlock == 0 &&
              kProtectedWindow.end() % kImageBlock == 0);
static_assert(kMtd1.offset % kImageBlock == 0 && kMtd2.offset % kImageBlock == 0 &&
              kMtd3.offset % kImageBlock == 0);

struct EraseRange {
    int device;
    Region range;
};

// The whole flash but the protected window, in the order it is erased.
constexpr EraseRange kEraseRanges[] = {
    {0, {0, kProtectedWindow.offset}},
    {0, {kProtectedWindow.end(), kMtd0.length - kProtectedWindow.end()}},
    {1, {0, kMtd1.length}},
    {2, {0, kMtd2.length}},
    {3, {0, kMtd3.length}},
};

// Erases the ranges in order; the first refusal stops the rest.
[[nodiscard]] int erase_flash(const int (&fds)[kDeviceCount])
{
    for (const EraseRange& erase : kEraseRanges) {
        if (erase_region(fds[erase.device], erase.range.offset, erase.range.length) != 0) {
            std::printf("Erase flash fail\n");
            return 1;
        }
    }
    return 0;
}

// Handles one block whose first byte lies at image offset at. Every descriptor advances
// in step with the image, so a block of the window moves /dev/mtd0 on instead of writing.
int place_block(const void* target, std::uint32_t at, std::span<const std::uint8_t> block)
{
    const int* fds = static_cast<const int*>(target);
    const std::size_t size = block.size();
    const int device = route_block(at);
    if (device == kPassOver) {
        // A move that goes astray would land the next blocks inside the window.
        const off_t expected = static_cast<off_t>(at + size - kMtd0.offset);
        if (lseek(fds[0], static_cast<off_t>(size), SEEK_CUR) != expected) {
            std::perror("lseek()");
            return 1;
        }
        return 0;
    }
    if (!write_whole(fds[device], block)) {
        report_write_failure("write_flashall", at);
        return 1;
    }
    return 0;
}

}  // namespace

int route_block(std::uint32_t at) noexcept
{
    if (kProtectedWindow.contains(at)) {
        return kPassOver;
    }
    for (int device = 0; device < kDeviceCount - 1; ++device) {
        if (kDevices[device].contains(at)) {
            return device;
        }
    }
    return kDeviceCount - 1;
}

int write_flashall(int mtd0, int mtd1, int mtd2, int mtd3, const char* path)
{
    const int fds[kDeviceCount] = {mtd0, mtd1, mtd2, mtd3};
    ImageFile image = open_image(path, kFlashSize, "write_flashall");
    if (!image.stream) {
        return 1;
    }
    HeapBuffer buffer = allocate_buffer(kImageBlock);
    if (!buffer) {
        report_malloc_failure("write_flashall", kImageBlock);
        return 1;
    }
    std::printf("Erasing flash...\n");
    if (erase_flash(fds) != 0) {
        return 1;
    }
    // Progress is always reported; the end of the flash bounds the copy.
    if (copy_image(image.stream.get(), buffer.get(), kFlashSize, image.size, true,
                   "write_flashall", place_block, fds) != 0) {
        return 1;
    }
    return 0;
}
