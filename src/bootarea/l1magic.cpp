// The level-one magic block: a magic word and a value word followed by 0xFF fill, written
// over whatever the block holds (erasing it is a command of its own). Also the whole-count
// device transfers that the boot-area records share.
#include "bootarea/bootarea.h"
#include "flash/flash.h"

#include <cerrno>
#include <cstdio>

#include <unistd.h>

namespace {

// The fill after the two words, one byte to a write.
[[nodiscard]] int write_l1_fill(int fd, std::uint32_t length)
{
    static constexpr std::uint8_t kFill[1] = {0xFF};
    for (std::uint32_t done = 2 * kRecordWordSize; done < length; ++done) {
        if (!write_whole(fd, kFill)) {
            report_write_failure("write_l1_magic", done);
            return 1;
        }
    }
    return 0;
}

}  // namespace

int write_l1_magic(int fd, std::uint32_t offset, std::uint32_t length, std::uint32_t magic,
                   std::uint32_t value)
{
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) {
        std::perror("lseek()");
        return 1;
    }
    std::uint8_t word[kRecordWordSize];
    put_le32(word, magic);
    if (!write_whole(fd, word)) {
        report_write_failure("write_l1_magic", 0);
        return 1;
    }
    put_le32(word, value);
    if (!write_whole(fd, word)) {
        report_write_failure("write_l1_magic", kRecordWordSize);
        return 1;
    }
    return write_l1_fill(fd, length);
}
