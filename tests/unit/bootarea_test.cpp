#include "bootarea/bootarea.h"
#include "flash/flash.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// A scratch directory, removed with its files.
class Scratch {
public:
    Scratch()
    {
        char name[] = "/tmp/bootarea-XXXXXX";
        dir_ = mkdtemp(name);
    }
    ~Scratch()
    {
        for (const std::string& name : names()) {
            unlink(path(name).c_str());
        }
        rmdir(dir_.c_str());
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::vector<std::string> names() const
    {
        std::vector<std::string> found;
        if (DIR* d = opendir(dir_.c_str())) {
            while (const dirent* entry = readdir(d)) {
                if (entry->d_name[0] != '.') {
                    found.emplace_back(entry->d_name);
                }
            }
            closedir(d);
        }
        return found;
    }
    void put(const std::string& name, const Bytes& data) const
    {
        std::FILE* f = std::fopen(path(name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        if (!data.empty()) {
            EXPECT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
        }
        std::fclose(f);
    }
    Bytes get(const std::string& name) const
    {
        Bytes data;
        if (std::FILE* f = std::fopen(path(name).c_str(), "rb")) {
            for (int c; (c = std::fgetc(f)) != EOF;) {
                data.push_back(static_cast<std::uint8_t>(c));
            }
            std::fclose(f);
        }
        return data;
    }

private:
    std::string dir_;
};

// ---- Environment ----------------------------------------------------------------------

// A block of 4 + data.size() bytes; the CRC word is not looked at by the listing.
std::string listing_of(const std::string& data, std::uint32_t* used)
{
    Bytes block(4, 0);
    block.insert(block.end(), data.begin(), data.end());
    testing::internal::CaptureStdout();
    *used = list_env(block);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(BootEnv, ListsStringsUpToTheEmptyOneOrTheEndOfTheArea)
{
    struct Case {
        std::string data;
        std::string lines;
        std::uint32_t used;
    } cases[] = {
        {std::string("\0\0abc\0", 6), "", 0},
        {std::string("abc\0defgh\0\0zz", 13), "abc\ndefgh\n", 10},
        {std::string("\x01\x80\xff\0\0", 5), "\x01\x80\xff\n", 4},
        {std::string("abcdef\0", 7), "abcdef\n", 7},
        // Unterminated: the end of the area stands for the terminator, one byte past it.
        {std::string("ab\0cdef", 7), "ab\ncdef\n", 8},
        {"", "", 0},
    };
    for (const Case& c : cases) {
        std::uint32_t used = 0;
        const std::string out = listing_of(c.data, &used);
        EXPECT_EQ(out, c.lines + "\nEnvironment size: " + std::to_string(c.used) + "/" +
                           std::to_string(c.data.size()) + " bytes\n")
            << c.lines;
        EXPECT_EQ(used, c.used);
    }
}

TEST(BootEnv, BytesPastTheDataAreaReadAsZero)
{
    const Bytes block = {0xAA, 0xBB, 0xCC, 0xDD, 'x', 'y'};
    EXPECT_EQ(env_get_byte(block, 0), 'x');
    EXPECT_EQ(env_get_byte(block, 1), 'y');
    EXPECT_EQ(env_get_byte(block, 2), 0);
    EXPECT_EQ(env_get_byte(block, 0xFFFFFFFF), 0);
    EXPECT_EQ(env_get_byte({block.data(), 3}, 0), 0);
}

// ---- Temporary configuration record: store --------------------------------------------

struct Stored {
    int status;
    Bytes device;
    std::string out;
};

// Stores source under a promised length into an 8192-byte erased "device" file.
Stored store(const Bytes& source, std::uint32_t length)
{
    Scratch scratch;
    scratch.put("device", Bytes(0x2000, 0xFF));
    scratch.put("source", source);
    const int fd = open(scratch.path("device").c_str(), O_RDWR);
    std::FILE* file = std::fopen(scratch.path("source").c_str(), "r");
    std::uint8_t buffer[0x400];
    testing::internal::CaptureStdout();
    const int status = store_tempconf(fd, file, length, buffer);
    std::fflush(stdout);
    Stored result{status, {}, testing::internal::GetCapturedStdout()};
    std::fclose(file);
    close(fd);
    result.device = scratch.get("device");
    return result;
}

TEST(TempConfStore, FramesExactlyTheBytesItPromised)
{
    const Bytes data = bytes_of("abcdefghijk");
    const Stored stored = store(data, 11);
    EXPECT_EQ(stored.status, 0);
    Bytes expected(0x2000, 0xFF);
    put_le32(expected.data(), 11);
    std::copy(data.begin(), data.end(), expected.begin() + 4);
    put_le32(expected.data() + 15, crc32_update(0, data));
    EXPECT_EQ(stored.device, expected);
}

// A source that shrank or grew after its size was taken: no more than the promised bytes
// reach the device, no CRC word follows them, and the store is refused.
TEST(TempConfStore, RefusesASourceThatNoLongerHoldsItsLength)
{
    struct Case {
        std::size_t holds;
        std::uint32_t promised;
    } cases[] = {{5, 10}, {0, 3}, {2000, 1500}, {1025, 1024}, {1, 0}};
    for (const Case& c : cases) {
        Bytes source(c.holds);
        for (std::size_t i = 0; i < source.size(); ++i) {
            source[i] = static_cast<std::uint8_t>(i * 7 + 1);
        }
        const Stored stored = store(source, c.promised);
        EXPECT_EQ(stored.status, 1) << c.holds << " for " << c.promised;
        EXPECT_EQ(stored.out, "Writing new image...\nwrite_tempconf : file size changed during copy\n");
        const std::size_t copied = std::min<std::size_t>(c.holds, c.promised);
        EXPECT_EQ(get_le32(stored.device.data()), c.promised);
        EXPECT_TRUE(std::equal(source.begin(), source.begin() + static_cast<long>(copied),
                               stored.device.begin() + 4));
        for (std::size_t i = 4 + copied; i < stored.device.size(); ++i) {
            ASSERT_EQ(stored.device[i], 0xFF) << "byte " << i << " for " << c.holds;
        }
    }
}

// ---- Temporary configuration record: restore ------------------------------------------

// An 8192-byte region holding a sound record of data.
Bytes region_with(const Bytes& data)
{
    Bytes region(0x2000, 0xFF);
    put_le32(region.data(), static_cast<std::uint32_t>(data.size()));
    std::copy(data.begin(), data.end(), region.begin() + 4);
    put_le32(region.data() + 4 + data.size(), crc32_update(0, data));
    return region;
}

int restore(const Scratch& scratch, const std::string& destination)
{
    const int fd = open(scratch.path("device").c_str(), O_RDONLY);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = read_tempconf(fd, scratch.path(destination).c_str(), 0, 0x2000);
    std::fflush(stdout);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    close(fd);
    return status;
}

TEST(TempConfRestore, ReplacesAFileKeepingItsPermissions)
{
    Scratch scratch;
    const Bytes data = bytes_of("mode=kept\n");
    scratch.put("device", region_with(data));
    scratch.put("conf", bytes_of("old"));
    chmod(scratch.path("conf").c_str(), 0640);
    ASSERT_EQ(restore(scratch, "conf"), 0);
    struct stat status {};
    ASSERT_EQ(stat(scratch.path("conf").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777U, 0640U);
    EXPECT_EQ(scratch.get("conf"), data);

    // A new file gets the mode fopen would give it.
    const mode_t mask = umask(027);
    ASSERT_EQ(restore(scratch, "new"), 0);
    umask(mask);
    ASSERT_EQ(stat(scratch.path("new").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777U, 0640U);
}

TEST(TempConfRestore, FollowsALinkAndKeepsIt)
{
    Scratch scratch;
    const Bytes data = bytes_of("through=link\n");
    scratch.put("device", region_with(data));
    scratch.put("target", bytes_of("old"));
    ASSERT_EQ(symlink(scratch.path("target").c_str(), scratch.path("link").c_str()), 0);
    ASSERT_EQ(restore(scratch, "link"), 0);
    struct stat status {};
    ASSERT_EQ(lstat(scratch.path("link").c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(scratch.get("target"), data);
}

// In a child process: the restore with files limited to limit bytes, its status the exit code.
void restore_under_size_limit(const Scratch& scratch, const std::string& destination, rlim_t limit)
{
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit size_limit{limit, limit};
    setrlimit(RLIMIT_FSIZE, &size_limit);
    const int fd = open(scratch.path("device").c_str(), O_RDONLY);
    std::_Exit(read_tempconf(fd, scratch.path(destination).c_str(), 0, 0x2000));
}

// A temporary file that cannot take the data (a file-size limit here, a full disk on the
// device) is given up for a write in place, which meets what the plain open would meet:
// under the limit the data is written whole; over it the file keeps what fitted and the
// write is reported. No temporary file is left either way.
TEST(TempConfRestore, ATemporaryThatCannotTakeTheDataGivesWayToTheWriteInPlace)
{
    Scratch scratch;
    Bytes data(6000);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    scratch.put("device", region_with(data));
    scratch.put("conf", bytes_of("good config\n"));
    EXPECT_EXIT(restore_under_size_limit(scratch, "conf", 4096), testing::ExitedWithCode(1),
                "fwrite\\(\\): File too large");
    EXPECT_EQ(scratch.get("conf"), Bytes(data.begin(), data.begin() + 4096));
    EXPECT_EQ(scratch.names().size(), 2U);
}

}  // namespace
