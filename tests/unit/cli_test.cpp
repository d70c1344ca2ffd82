#include "cli/cli.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ParseCase {
    std::vector<std::string> args;  // argv[1] onward
    const char* word;               // the command chosen, nullptr for none
    bool http;
};

const Command* parse(const std::vector<std::string>& args, bool* http)
{
    // The program name, then the words, kept alive for the parser's pointers.
    static std::vector<std::string> storage;
    storage.assign(1, "flashtool");
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : storage) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    return parse_command(static_cast<int>(storage.size()), argv.data(), http);
}

TEST(Parse, ChoosesTheCommandFromWordAndCount)
{
    const std::vector<ParseCase> cases = {
        {{}, nullptr, false},
        {{"readenv"}, "readenv", false},
        {{"readenv", "x"}, nullptr, false},
        {{"Readenv"}, nullptr, false},
        {{"read"}, nullptr, false},
        {{"readenvx"}, nullptr, false},
        {{"writeenv", "f"}, "writeenv", false},
        {{"writeenv"}, nullptr, false},
        {{"checkenv", "c", "i"}, "checkenv", false},
        {{"checkenv", "c"}, nullptr, false},
        {{"writebootp"}, nullptr, false},
        {{"writebootp", "img"}, "writebootp", false},
        {{"writebootp", "img", "HTTP"}, "writebootp", true},
        {{"writebootp", "img", "http"}, "writebootp", false},
        {{"writebootp", "img", "HTTP", "more", "words"}, "writebootp", true},
        {{"writebootp", "img", "other", "HTTP"}, "writebootp", false},
        {{"writecramfs", "img", "HTTP"}, "writecramfs", true},
        {{"writecramfs", "HTTP"}, "writecramfs", false},
        {{"writeall", "img"}, "writeall", false},
        {{"writeall", "img", "HTTP"}, nullptr, false},
        {{"writejffs", "img", "HTTP"}, nullptr, false},
        {{"writel1all", "img"}, "writel1all", false},
        {{"writel2boot", "img"}, "writel2boot", false},
        {{"checkl2boot", "c", "i"}, "checkl2boot", false},
        {{"checkkernel", "c", "i"}, "checkkernel", false},
        {{"checkcramfs", "c", "i"}, "checkcramfs", false},
        {{"checkcramfs", "c", "i", "HTTP"}, nullptr, false},
        {{"erasel1"}, "erasel1", false},
        {{"writel1"}, "writel1", false},
        {{"writel1", "HTTP"}, nullptr, false},
        {{"writesystem", "t", "a", "b"}, nullptr, false},
        {{"writesystem", "t", "a", "b", "c"}, "writesystem", false},
        {{"writesystem", "t", "a", "b", "c", "HTTP"}, "writesystem", true},
        {{"writesystem", "t", "a", "b", "HTTP"}, "writesystem", false},
        {{"writesystem", "t", "a", "b", "c", "HTTP", "x"}, "writesystem", true},
        {{"checksystem", "t", "a", "b", "c", "x", "y", "z"}, "checksystem", false},
        {{"checksystem", "t", "a", "b", "c", "x", "y"}, nullptr, false},
        {{"checksystem", "t", "a", "b", "c", "x", "y", "z", "w"}, nullptr, false},
        {{"writetempconf", "f"}, "writetempconf", false},
        {{"checktempconf"}, "checktempconf", false},
        {{"readtempconf", "f"}, "readtempconf", false},
        {{"erasetempconf"}, "erasetempconf", false},
        {{"erase", "mtd0", "0", "8192"}, nullptr, false},
    };
    for (const ParseCase& c : cases) {
        bool http = true;
        const Command* command = parse(c.args, &http);
        std::string line;
        for (const std::string& a : c.args) {
            line += a + " ";
        }
        if (c.word == nullptr) {
            EXPECT_EQ(command, nullptr) << line;
            continue;
        }
        ASSERT_NE(command, nullptr) << line;
        EXPECT_EQ(command->word, c.word) << line;
        EXPECT_EQ(http, c.http) << line;
    }
}

TEST(Parse, EveryWordIsAcceptedUnderOneRuleOnly)
{
    const auto table = command_table();
    EXPECT_EQ(table.size(), 20U);
    for (std::size_t i = 0; i < table.size(); ++i) {
        for (std::size_t j = i + 1; j < table.size(); ++j) {
            EXPECT_NE(table[i].word, table[j].word);
        }
        EXPECT_TRUE(table[i].devices & kUsesMtd0) << table[i].word;
        EXPECT_EQ(table[i].read_only, table[i].word == "readenv") << table[i].word;
    }
}

TEST(ProgramName, IsTheLastPathComponent)
{
    EXPECT_EQ(program_name("flashtool"), "flashtool");
    EXPECT_EQ(program_name("/usr/sbin/flashtool"), "flashtool");
    EXPECT_EQ(program_name("./bin/"), "");
    EXPECT_EQ(program_name(""), "");
}

TEST(FlashMap, DevicesAndRegionsTileTheFlash)
{
    using namespace flash_map;
    std::uint32_t next = 0;
    for (const Region& device : kDevices) {
        EXPECT_EQ(device.offset, next);
        next = device.end();
    }
    EXPECT_EQ(next, kFlashSize);
    const Region in_mtd0[] = {kL1Area, kBootEnv, kProtectedWindow, kL1Magic, kTempConf, kL2Boot};
    for (std::size_t i = 1; i < std::size(in_mtd0); ++i) {
        EXPECT_LE(in_mtd0[i - 1].end(), in_mtd0[i].offset);
        EXPECT_EQ(in_mtd0[i].offset % kBlock, 0U);
    }
    EXPECT_EQ(kSystemWindows[0].offset, kMtd0.end());
    EXPECT_EQ(kSystemWindows[2].end(), kFlashSize);
}

}  // namespace
