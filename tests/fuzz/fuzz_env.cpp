// Fuzzes the environment-block check and listing over arbitrary block contents.
#include "bootarea/bootarea.h"
#include "cli/cli.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
    static_cast<void>(quiet);
    std::vector<std::uint8_t> block(flash_map::kBootEnv.length, 0);
    std::memcpy(block.data(), data, size < block.size() ? size : block.size());
    static_cast<void>(check_env_crc(block));
    // The listing never reads past the block and never reports more than the area plus
    // the terminator that its end stands for.
    if (list_env(block) > flash_map::kBootEnv.length - 4 + 1) {
        __builtin_trap();
    }
    return 0;
}
