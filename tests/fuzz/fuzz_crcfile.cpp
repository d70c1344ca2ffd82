// Fuzzes the CrcFile reader with arbitrary file contents.
#include "flash/flash.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path = "/tmp/fuzz_crcfile." + std::to_string(getpid());
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
    static_cast<void>(quiet);
    static_cast<void>(check_crc_file(path.c_str(), 0x12345678U));
    return 0;
}
