#include "cli/cli.h"
#include "temp_path.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

TEST(Parse, EveryCommandThatErasesOrWritesTakesTheLock)
{
    const std::set<std::string_view> writers = {
        "writebootp", "writecramfs", "writejffs", "writeall", "writel1all", "writel2boot",
        "erasel1", "writel1", "writesystem", "writetempconf", "erasetempconf"};
    for (const Command& command : command_table()) {
        EXPECT_EQ(command.writes, writers.contains(command.word)) << command.word;
    }
}

// Runs hold_flash_lock(fd) with standard error sent to a file; returns what it printed.
std::string lock_and_capture(int fd)
{
    const std::string path = unique_temp_path("lock-stderr");
    const int saved = dup(STDERR_FILENO);
    const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, STDERR_FILENO);
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    hold_flash_lock(fd, mask);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(out);
    std::string text;
    if (std::FILE* f = std::fopen(path.c_str(), "r")) {
        char buffer[256];
        text.assign(buffer, std::fread(buffer, 1, sizeof buffer, f));
        std::fclose(f);
    }
    unlink(path.c_str());
    return text;
}

// The whole-file write lock that writers take, owned by the open file description.
struct flock whole_file_lock(short type)
{
    struct flock whole {};
    whole.l_type = type;
    whole.l_whence = SEEK_SET;
    return whole;
}

// True when another open of path finds a write lock on it (asking takes nothing).
bool lock_is_held(const std::string& path)
{
    const int probe = open(path.c_str(), O_RDONLY);
    struct flock query = whole_file_lock(F_RDLCK);
    const bool held = fcntl(probe, F_OFD_GETLK, &query) == 0 && query.l_type == F_WRLCK;
    close(probe);
    return held;
}

class FlashLock : public testing::Test {
protected:
    void SetUp() override
    {
        fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override
    {
        close(fd_);
        unlink(path_.c_str());
    }
    std::string path_ = unique_temp_path("lock-flash");
    int fd_ = -1;
};

TEST_F(FlashLock, UncontendedTakesTheLockSilently)
{
    EXPECT_EQ(lock_and_capture(fd_), "");
    EXPECT_TRUE(lock_is_held(path_));
}

TEST_F(FlashLock, ContendedSaysSoAndWaitsForTheHolder)
{
    const std::string printed = unique_temp_path("lock-stderr");
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // The other writer: holds the lock until the waiting line has been printed, so the
        // wait is certain and the release cannot come before it.
        const int fd = open(path_.c_str(), O_RDWR);
        struct flock whole = whole_file_lock(F_WRLCK);
        if (fcntl(fd, F_OFD_SETLKW, &whole) != 0) {
            _exit(2);
        }
        for (int i = 0; i < 1000; ++i) {
            struct stat st {};
            if (stat(printed.c_str(), &st) == 0 && st.st_size > 0) {
                _exit(0);
            }
            usleep(10000);
        }
        _exit(3);
    }
    while (!lock_is_held(path_)) {
        usleep(1000);
    }
    const std::string text = lock_and_capture(fd_);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_EQ(text, "flashtool: waiting for another flash write to finish\n");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(lock_is_held(path_));
}

TEST(FlashLockFailure, AnyOtherFailureIsSilent)
{
    // A descriptor that cannot be locked at all: the run goes on without a word.
    EXPECT_EQ(lock_and_capture(-1), "");
}

TEST_F(FlashLock, AReadOnlyDescriptorCannotTakeIt)
{
    // What a process that may only read the device holds: not the writers' lock.
    const int read_only = open(path_.c_str(), O_RDONLY);
    EXPECT_EQ(lock_and_capture(read_only), "");
    EXPECT_FALSE(lock_is_held(path_));
    close(read_only);
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
