// Erase of one device range through the MTD MEMERASE request.
#include "flash/flash.h"

#include <cstdio>

#include <mtd/mtd-user.h>
#include <sys/ioctl.h>

int erase_region(int fd, std::uint32_t start, std::uint32_t length)
{
    erase_info_user request{};
    request.start = start;
    request.length = length;
    if (ioctl(fd, MEMERASE, &request) < 0) {
        std::perror("MEMERASE");
        return 1;
    }
    std::printf("Erased %d bytes from address 0x%.8x in flash\n", static_cast<int>(length), start);
    return 0;
}
