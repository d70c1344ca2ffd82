// File offsets past 32 bits: the device is a 32-bit ARM board, where off_t is 64-bit only
// because the build asks for it. A sparse file stands in for a large image or device.
#include "flash/flash.h"

#include "temp_path.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr long long kFourGiB = 0x100000000LL;

class LargeFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        fd_ = UniqueFd(open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
        ASSERT_GE(fd_.get(), 0);
        if (ftruncate(fd_.get(), static_cast<off_t>(kFourGiB + 3)) != 0) {
            GTEST_SKIP() << "no sparse file of 4 GiB here";
        }
    }
    void TearDown() override { std::remove(path_.c_str()); }
    std::string path_ = unique_temp_path("largefile_test.bin");
    UniqueFd fd_;
};

TEST_F(LargeFileTest, SizeIsReportedInFull)
{
    static_assert(sizeof(off_t) == 8, "the build must ask for 64-bit file offsets");
    UniqueFile stream(std::fopen(path_.c_str(), "r"));
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream_size(stream.get()), kFourGiB + 3);
}

TEST_F(LargeFileTest, RangesReachTheTopOfTheUnsigned32BitOffsets)
{
    // The last 4096 offsets below 4 GiB: a start of 0xFFFFF000 is negative as a 32-bit off_t.
    const std::vector<std::uint8_t> zeros(0x1000, 0);
    std::uint32_t crc = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(caculate_crc(fd_.get(), 0xFFFFF000U, 0x1000, crc), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(crc, crc32_update(0, zeros));
}

}  // namespace
