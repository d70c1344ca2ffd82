// Fuzzes the partition-table reader: both passes over the same text, then the covering
// rule over what they produced.
#include "system/system.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

std::FILE* open_text(const std::uint8_t* data, std::size_t size)
{
    std::FILE* stream = std::tmpfile();
    if (stream != nullptr) {
        std::fwrite(data, 1, size, stream);
        std::rewind(stream);
    }
    return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
    static_cast<void>(quiet);
    UniqueFile counting(open_text(data, size));
    std::size_t rows = 0;
    if (!counting || count_partition_rows(counting.get(), "fuzz", rows) != 0 || rows > 4096) {
        return 0;
    }
    std::vector<PartitionEntry> entries(rows);
    UniqueFile filling(open_text(data, size));
    std::size_t filled = 0;
    if (parse_partition_rows(filling.get(), "fuzz", entries, filled) != 0) {
        return 0;
    }
    if (filled > rows) {
        __builtin_trap();
    }
    std::uint32_t next = 0;
    for (std::size_t i = 0; i < filled; ++i) {
        // Entries lie back to back, and every text field is terminated inside its field.
        if (entries[i].start != next || entries[i].label[kTokenField - 1] != '\0' ||
            entries[i].device[kTokenField - 1] != '\0') {
            __builtin_trap();
        }
        next = entries[i].start + entries[i].size;
    }
    return 0;
}
