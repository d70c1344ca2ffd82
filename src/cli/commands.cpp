// The command table and its handlers. Each handler is the call of one command: it maps
// the command's arguments and the flash map onto one operation and prints the front end's
// own lines around it.
#include "bootarea/bootarea.h"
#include "cli/cli.h"
#include "flash/flash.h"
#include "image/image.h"
#include "system/system.h"

#include <cstdio>

namespace {

using namespace flash_map;

[[nodiscard]] std::uint32_t image_length(const char* path)
{
    return static_cast<std::uint32_t>(file_size(path));
}

int run_readenv(const Devices& d, std::span<char* const>)
{
    return showbootenv(d.fd[0]);
}

int run_writeenv(const Devices&, std::span<char* const>)
{
    return 0;
}

int run_checkenv(const Devices& d, std::span<char* const> argv)
{
    return check_region_crc(d.fd[0], argv[2], kBootEnv.offset, image_length(argv[3]));
}

int run_writebootp(const Devices& d, std::span<char* const> argv)
{
    return write_flash(d.fd[1], argv[2], 0, kMtd1.length, 1);
}

int run_writecramfs(const Devices& d, std::span<char* const> argv)
{
    return write_flash(d.fd[2], argv[2], 0, kMtd2.length, 1);
}

int run_writeall(const Devices& d, std::span<char* const> argv)
{
    return write_flashall(d.fd[0], d.fd[1], d.fd[2], d.fd[3], argv[2]);
}

int run_writejffs(const Devices& d, std::span<char* const> argv)
{
    return write_flash(d.fd[3], argv[2], 0, kMtd3.length, 1);
}

int run_writel1all(const Devices& d, std::span<char* const> argv)
{
    // The level-one write may fail (an image larger than its area is refused before any
    // erase); the boot-loader write goes ahead regardless and decides the status.
    static_cast<void>(write_flash(d.fd[0], argv[2], kL1Area.offset, kL1Area.length, 0));
    return write_flash(d.fd[0], argv[2], kL2Boot.offset, kL2Boot.length, 0);
}

int run_writel2boot(const Devices& d, std::span<char* const> argv)
{
    return write_flash(d.fd[0], argv[2], kL2Boot.offset, kL2Boot.length, 0);
}

int run_checkl2boot(const Devices& d, std::span<char* const> argv)
{
    return check_region_crc(d.fd[0], argv[2], kL2Boot.offset, image_length(argv[3]));
}

int run_checkkernel(const Devices& d, std::span<char* const> argv)
{
    return check_region_crc(d.fd[1], argv[2], 0, image_length(argv[3]));
}

int run_checkcramfs(const Devices& d, std::span<char* const> argv)
{
    const std::int32_t size = file_size(argv[3]);
    std::printf("file size = %d\n", size);
    return check_region_crc(d.fd[2], argv[2], 0, static_cast<std::uint32_t>(size));
}

int run_erasel1(const Devices& d, std::span<char* const>)
{
    std::printf("Erasing L1-0...\n");
    if (erase_region(d.fd[0], kL1Magic.offset, kL1Magic.length) != 0) {
        std::printf("Erase L1-0 fail\n");
        return 1;
    }
    return 0;
}

int run_writel1(const Devices& d, std::span<char* const>)
{
    if (write_l1_magic(d.fd[0], kL1Magic.offset, kL1Magic.length, kL1MagicWord, kL1ValueWord) != 0) {
        std::printf("Write L1-0 magic number fail\n");
        return 1;
    }
    return 0;
}

int run_writesystem(const Devices&, std::span<char* const> argv)
{
    if (write_system(argv[2], argv[3], argv[4], argv[5], 1) != 0) {
        std::printf("Write system fail\n");
        return 1;
    }
    return 0;
}

int run_checksystem(const Devices&, std::span<char* const> argv)
{
    return check_system(argv[2], argv[3], argv[4], argv[5], argv[6], argv[7], argv[8]);
}

int run_writetempconf(const Devices& d, std::span<char* const> argv)
{
    if (write_tempconf(d.fd[0], argv[2], kTempConf.offset, kTempConf.length) != 0) {
        std::printf("Write temporal file fail\n");
        return 1;
    }
    return 0;
}

int run_checktempconf(const Devices& d, std::span<char* const>)
{
    return check_tempconf(d.fd[0], kTempConf.offset, kTempConf.length);
}

int run_readtempconf(const Devices& d, std::span<char* const> argv)
{
    if (read_tempconf(d.fd[0], argv[2], kTempConf.offset, kTempConf.length) != 0) {
        std::printf("Read temporal file fail\n");
        return 1;
    }
    return 0;
}

int run_erasetempconf(const Devices& d, std::span<char* const>)
{
    return erase_region(d.fd[0], kTempConf.offset, kTempConf.length);
}

// In the order the words are tried. Every word is accepted under one count rule only, so
// the order never changes which command a command line selects. Columns: word, argc,
// or more, "HTTP" position, read-only open, writes the flash (takes the lock), devices,
// handler.
constexpr Command kCommands[] = {
    {"readenv", 2, false, 0, true, false, kUsesMtd0, run_readenv},
    {"writeenv", 3, false, 0, false, false, kUsesMtd0, run_writeenv},
    {"checkenv", 4, false, 0, false, false, kUsesMtd0, run_checkenv},
    {"writebootp", 3, true, 3, false, true, kUsesMtd0 | kUsesMtd1, run_writebootp},
    {"writecramfs", 3, true, 3, false, true, kUsesMtd0 | kUsesMtd2, run_writecramfs},
    {"writeall", 3, false, 0, false, true, kUsesAll, run_writeall},
    {"writejffs", 3, false, 0, false, true, kUsesMtd0 | kUsesMtd3, run_writejffs},
    {"writel1all", 3, false, 0, false, true, kUsesMtd0, run_writel1all},
    {"writel2boot", 3, false, 0, false, true, kUsesMtd0, run_writel2boot},
    {"checkl2boot", 4, false, 0, false, false, kUsesMtd0, run_checkl2boot},
    {"checkkernel", 4, false, 0, false, false, kUsesMtd0 | kUsesMtd1, run_checkkernel},
    {"checkcramfs", 4, false, 0, false, false, kUsesMtd0 | kUsesMtd2, run_checkcramfs},
    {"erasel1", 2, false, 0, false, true, kUsesMtd0, run_erasel1},
    {"writel1", 2, false, 0, false, true, kUsesMtd0, run_writel1},
    {"writesystem", 6, true, 6, false, true, kUsesMtd0, run_writesystem},
    {"checksystem", 9, false, 0, false, false, kUsesMtd0, run_checksystem},
    {"writetempconf", 3, false, 0, false, true, kUsesMtd0, run_writetempconf},
    {"checktempconf", 2, false, 0, false, false, kUsesMtd0, run_checktempconf},
    {"readtempconf", 3, false, 0, false, false, kUsesMtd0, run_readtempconf},
    {"erasetempconf", 2, false, 0, false, true, kUsesMtd0, run_erasetempconf},
};

}  // namespace

std::span<const Command> command_table()
{
    return kCommands;
}
