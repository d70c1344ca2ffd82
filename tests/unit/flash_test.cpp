#include "flash/flash.h"

#include "temp_path.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Step {
    std::int32_t percent;
};

std::string run_progress(int style, bool section_rule, const std::vector<std::int32_t>& percents)
{
    http_progress = style;
    ProgressState state;
    testing::internal::CaptureStdout();
    for (std::int32_t p : percents) {
        report_progress(state, p, section_rule);
    }
    std::fflush(stdout);
    http_progress = 0;
    return testing::internal::GetCapturedStdout();
}

TEST(Progress, PrintsEachChangeInTheChosenStyle)
{
    struct Case {
        int style;
        bool section_rule;
        std::vector<std::int32_t> percents;
        std::string expected;
    } cases[] = {
        {0, false, {100}, "written 100 % ...\n"},
        {0, false, {50, 100}, "written 50 % ...\nwritten 100 % ...\n"},
        {0, false, {0, 0, 1, 1, 2}, "written 1 % ...\nwritten 2 % ...\n"},
        {1, false, {5}, "  5 %   "},
        {1, false, {100}, "100 %   "},
        {1, false, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
         "  1 %     2 %     3 %     4 %     5 %     6 %     7 %     8 %     9 %    10 %   \n"
         " 11 %   "},
        // The section rule: a first step prints only at exactly 1.
        {0, true, {1, 2}, "written 1 % ...\nwritten 2 % ...\n"},
        {0, true, {2, 3}, "written 3 % ...\n"},
        {0, true, {0, 1}, "written 1 % ...\n"},
        {0, true, {7}, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run_progress(c.style, c.section_rule, c.percents), c.expected);
    }
}

TEST(Progress, CompactStyleBreaksAfterEveryTenthEntry)
{
    std::vector<std::int32_t> all;
    for (int p = 1; p <= 100; ++p) {
        all.push_back(p);
    }
    const std::string out = run_progress(1, false, all);
    EXPECT_EQ(out.size(), 100U * 8 + 10);
    EXPECT_EQ(out.substr(out.size() - 9), "100 %   \n");
}

TEST(Progress, PercentNeverDividesByZeroNorPassesOneHundred)
{
    EXPECT_EQ(progress_percent(0, 0), 100);
    EXPECT_EQ(progress_percent(1024, 0), 100);
    EXPECT_EQ(progress_percent(2048, 1024), 100);
    EXPECT_EQ(progress_percent(1024, 2048), 50);
    EXPECT_EQ(progress_percent(1024, 0x100000), 0);
    EXPECT_EQ(progress_percent(0x3FFC00, 0x400000), 99);
}

TEST(FlashWords, AreLittleEndianWhateverTheAlignment)
{
    std::uint8_t bytes[7] = {};
    put_le32(bytes + 3, 0x0A445656);
    EXPECT_EQ(bytes[3], 0x56);
    EXPECT_EQ(bytes[4], 0x56);
    EXPECT_EQ(bytes[5], 0x44);
    EXPECT_EQ(bytes[6], 0x0A);
    EXPECT_EQ(get_le32(bytes + 3), 0x0A445656U);
}

TEST(Crc, ChainsAcrossRanges)
{
    const std::uint8_t data[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc32_update(0, data), 0xCBF43926U);
    const std::uint32_t first = crc32_update(0, {data, 4});
    EXPECT_EQ(crc32_update(first, {data + 4, 5}), 0xCBF43926U);
    EXPECT_EQ(crc32_update(0, {}), 0U);
}

// Two small "devices" as plain files, for the region CRC over real descriptors.
class RegionCrcTest : public testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 0; i < 2; ++i) {
            for (std::size_t n = 0; n < contents_[i].size(); ++n) {
                contents_[i][n] = static_cast<std::uint8_t>(n * 7 + 13 * static_cast<unsigned>(i));
            }
            fds_[i] = open(paths_[i].c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
            ASSERT_EQ(write(fds_[i], contents_[i].data(), contents_[i].size()),
                      static_cast<ssize_t>(contents_[i].size()));
        }
    }
    void TearDown() override
    {
        for (int i = 0; i < 2; ++i) {
            close(fds_[i]);
            std::remove(paths_[i].c_str());
        }
    }
    std::uint32_t expected(int i, std::size_t start, std::size_t length, std::uint32_t crc = 0)
    {
        return crc32_update(crc, {contents_[i].data() + start, length});
    }
    std::string paths_[2] = {unique_temp_path("region_a.bin"),
                             unique_temp_path("region_b.bin")};
    std::vector<std::uint8_t> contents_[2] = {std::vector<std::uint8_t>(0x3000),
                                              std::vector<std::uint8_t>(0x2800)};
    int fds_[2] = {-1, -1};
};

TEST_F(RegionCrcTest, ChainsAcrossRangesAndDevices)
{
    std::uint32_t crc = 0;
    ASSERT_EQ(caculate_crc(fds_[0], 0x800, 0x1000, crc), 0);
    ASSERT_EQ(caculate_crc(fds_[1], 0x100, 0x2000, crc), 0);
    EXPECT_EQ(crc, expected(1, 0x100, 0x2000, expected(0, 0x800, 0x1000)));
}

TEST_F(RegionCrcTest, EndOfDeviceCutsTheRangeSilently)
{
    struct Case {
        std::uint32_t start, length;
        std::size_t covered;
    } cases[] = {{0, 0, 0}, {0x1000, 0x1001, 0x1001}, {0x2000, 0x4000, 0x800}, {0x2800, 0x10, 0}};
    for (const Case& c : cases) {
        std::uint32_t crc = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(caculate_crc(fds_[1], c.start, c.length, crc), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(crc, expected(1, c.start, c.covered)) << std::hex << c.start;
    }
}

TEST(RegionCrc, ReadAndSeekErrorsFailAndLeaveTheCrc)
{
    // A directory opens and seeks but cannot be read.
    const int dir = open(testing::TempDir().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    std::uint32_t crc = 0x1234;
    testing::internal::CaptureStderr();
    EXPECT_EQ(caculate_crc(dir, 0, 0x100, crc), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "read(): Is a directory\n");
    EXPECT_EQ(crc, 0x1234U);
    close(dir);
    testing::internal::CaptureStderr();
    EXPECT_EQ(caculate_crc(-1, 0, 0x100, crc), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "lseek(): Bad file descriptor\n");
    EXPECT_EQ(crc, 0x1234U);
}

class CrcFileTest : public testing::Test {
protected:
    std::string write(const char* text)
    {
        std::FILE* f = std::fopen(path_.c_str(), "w");
        std::fputs(text, f);
        std::fclose(f);
        return path_;
    }
    void TearDown() override { std::remove(path_.c_str()); }
    std::string path_ = unique_temp_path("crcfile_test.txt");
};

TEST_F(CrcFileTest, AcceptsTheFormsOfAHexToken)
{
    for (const char* text : {"cbf43926", "0xcbf43926\n", "CBF43926  image.bin\n", "  0XCBF43926"}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(check_crc_file(write(text).c_str(), 0xCBF43926U), 0) << text;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << text;
    }
}

TEST_F(CrcFileTest, MismatchAndMissingValueFail)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_crc_file(write("abcd").c_str(), 0x1234), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CRC check error 0x1234 / 0xabcd \n");
    for (const char* text : {"", "\n", "zz", "image.bin 1234"}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(check_crc_file(write(text).c_str(), 0), 1) << text;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), path_ + " : no CRC value\n") << text;
    }
}

// What reading the value leaves unread tells where the scan stopped.
struct CrcTextCase {
    const char* text;
    bool found;
    std::uint32_t value;
    const char* rest;
};

TEST(CrcValue, ReadsAsTheDevicesThirtyTwoBitLibraryDoes)
{
    const CrcTextCase cases[] = {
        {"cbf43926", true, 0xCBF43926U, ""},
        {" \t\n\v\f\r0XCBF43926 img", true, 0xCBF43926U, " img"},
        {"ffffffff", true, 0xFFFFFFFFU, ""},
        {"00000000cbf43926\n", true, 0xCBF43926U, "\n"},
        // Past 32 bits: saturated, never cut to the low word; the digits are all consumed.
        {"1cbf43926", true, 0xFFFFFFFFU, ""},
        {"0x100000000\n", true, 0xFFFFFFFFU, "\n"},
        {"123456789abcdef0123456789 x", true, 0xFFFFFFFFU, " x"},
        // A sign: negative values wrap, a negative beyond 32 bits saturates as well.
        {"-1", true, 0xFFFFFFFFU, ""},
        {"-0x5", true, 0xFFFFFFFBU, ""},
        {"+abc", true, 0xABCU, ""},
        {"-1cbf43926", true, 0xFFFFFFFFU, ""},
        // A lone 0x is the digit 0; the scan stops at the first character that is no digit.
        {"0x", true, 0, ""},
        {"0xg", true, 0, "g"},
        {"12g4", true, 0x12, "g4"},
        {"0x-5", true, 0, "-5"},
        // Nothing to read.
        {"", false, 0, ""},
        {" \n", false, 0, ""},
        {"-", false, 0, ""},
        {"+-1", false, 0, "-1"},
        {"x12", false, 0, "x12"},
        {"g", false, 0, "g"},
    };
    for (const CrcTextCase& c : cases) {
        std::string text = c.text;
        std::FILE* stream = fmemopen(text.data(), text.size(), "r");
        ASSERT_NE(stream, nullptr) << c.text;
        std::uint32_t value = 0x5A5A5A5AU;
        EXPECT_EQ(read_crc_value(stream, value), c.found) << c.text;
        if (c.found) {
            EXPECT_EQ(value, c.value) << c.text;
        }
        char rest[64] = {};
        EXPECT_EQ(std::fread(rest, 1, sizeof rest - 1, stream), std::strlen(c.rest)) << c.text;
        EXPECT_STREQ(rest, c.rest) << c.text;
        std::fclose(stream);
    }
}

}  // namespace
