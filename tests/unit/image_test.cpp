#include "image/image.h"

#include "temp_path.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

TEST(WholeFlashImage, RoutesEachBlockByItsFirstByte)
{
    struct Case {
        std::uint32_t at;
        int device;
    } cases[] = {
        {0x0, 0},       {0x5C00, 0},     {0x6000, kPassOver}, {0x7C00, kPassOver},
        {0x8000, 0},    {0x1FC00, 0},    {0x20000, 1},        {0xFFC00, 1},
        {0x100000, 2},  {0x38FC00, 2},   {0x390000, 3},       {0x3FFC00, 3},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(route_block(c.at), c.device) << std::hex << c.at;
    }
}

// A sparse file of 4 GiB and 256 bytes: its size cut to 32 bits would be 256.
class OversizedImage : public testing::Test {
protected:
    void SetUp() override
    {
        const int fd = open(image_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>((1ULL << 32) + 0x100)), 0);
        close(fd);
        device_ = open(device_path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(device_, 0);
    }
    void TearDown() override
    {
        close(device_);
        std::remove(image_.c_str());
        std::remove(device_path_.c_str());
    }
    std::string image_ = unique_temp_path("oversized_image.bin");
    std::string device_path_ = unique_temp_path("oversized_device.bin");
    int device_ = -1;
};

TEST_F(OversizedImage, IsRefusedByBothWriters)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_flash(device_, image_.c_str(), 0, 0x10000, 1), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "write_flash : size too large\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_flashall(device_, device_, device_, device_, image_.c_str()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "write_flashall : size too large\n");
}

}  // namespace
