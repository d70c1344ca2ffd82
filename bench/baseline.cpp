// baseline: the least a program can do to carry out the benchmarked flashtool commands.
//
// It issues exactly the calls that the commands' I/O pattern asks for and nothing else:
// the device opens of the front end (O_SYNC), one MEMERASE per range, image files read
// through stdio in 1024-byte freads, 1024-byte device writes, 4096-byte device reads fed
// to zlib's crc32(), one fcntl write lock (F_OFD_SETLKW) on /dev/mtd0 for a command
// that writes (one writer at a time), and the same standard output, flushed at the same points, so that output costs
// the same. It has no owners, no helpers and no error recovery beyond
// stopping: it is the yardstick that flashtool's cost is divided by, not a product.
//
//   baseline writecramfs IMAGE
//   baseline writeall IMAGE
//   baseline checkcramfs CRCFILE IMAGE
//   baseline writesystem TABLE IMAGE1 IMAGE2 IMAGE3
//   baseline checksystem TABLE IMAGE1 IMAGE2 IMAGE3 CRC1 CRC2 CRC3
//   baseline writetempconf FILE
//   baseline readenv
//   baseline startup        (does nothing: the cost of starting and ending the process)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <csignal>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr std::uint32_t kBlock = 1024;
constexpr std::uint32_t kCrcBlock = 4096;
constexpr std::uint32_t kEnvOffset = 0x4000;
constexpr std::uint32_t kEnvSize = 0x2000;
constexpr std::uint32_t kTempConfOffset = 0xC000;
constexpr std::uint32_t kTempConfSize = 0x2000;
constexpr std::uint32_t kSystemStart = 0x20000;
constexpr std::uint32_t kWindowStart[3] = {0x20000, 0x100000, 0x390000};
constexpr std::uint32_t kWindowSize[3] = {0xE0000, 0x290000, 0x70000};

struct Progress {
    int last = 0;
    int count = 0;
};

int g_http = 0;

void on_sigpipe(int)
{
    syslog(LOG_ERR, "Lost connection while upgrading firmware!");
}

int open_device(const char* path, int mode)
{
    const int fd = open(path, mode | O_SYNC);
    if (fd < 0) {
        std::perror("open()");
    }
    return fd;
}

int erase(int fd, std::uint32_t start, std::uint32_t length)
{
    erase_info_user request{start, length};
    if (ioctl(fd, MEMERASE, &request) < 0) {
        std::perror("MEMERASE");
        return 1;
    }
    std::printf("Erased %d bytes from address 0x%.8x in flash\n", static_cast<int>(length), start);
    return 0;
}

void progress(Progress& state, int percent, bool section_rule)
{
    bool print = percent != state.last;
    if (section_rule) {
        print = print && (state.last != 0 || percent == 1);
    }
    if (print) {
        if (g_http == 0) {
            std::printf("written %d %% ...\n", percent);
        } else {
            std::printf("%3d %%   ", percent);
        }
        std::fflush(stdout);
        ++state.count;
        if (g_http != 0 && state.count % 10 == 0) {
            std::printf("\n");
        }
    }
    state.last = percent;
}

long stream_size(std::FILE* file)
{
    struct stat status {};
    if (fstat(fileno(file), &status) != 0) {
        return -1;
    }
    return static_cast<long>(status.st_size);
}

int write_region(int fd, const char* path, std::uint32_t offset, std::uint32_t limit)
{
    if (lseek(fd, offset, SEEK_SET) != static_cast<off_t>(offset)) {
        return 1;
    }
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return 1;
    }
    const long size = stream_size(file);
    if (size < 0 || static_cast<unsigned long>(size) > limit) {
        std::fclose(file);
        return 1;
    }
    std::printf("File size = %d\n", static_cast<int>(size));
    auto* buffer = static_cast<unsigned char*>(std::malloc(kBlock));
    std::printf("Erasing flash...\n");
    if (buffer == nullptr || erase(fd, offset, limit) != 0) {
        std::free(buffer);
        std::fclose(file);
        return 1;
    }
    std::printf("Writing new image...\n");
    Progress state;
    long done = 0;
    int status = 0;
    for (std::size_t got; (got = std::fread(buffer, 1, kBlock, file)) != 0;) {
        if (write(fd, buffer, got) != static_cast<ssize_t>(got)) {
            status = 1;
            break;
        }
        done += static_cast<long>(got);
        progress(state, static_cast<int>(done * 100 / size), false);
    }
    std::free(buffer);
    std::fclose(file);
    if (status == 0) {
        std::printf("\nWrite new image complete\n");
    }
    return status;
}

// The device that holds image offset `at` of a whole-flash image, or -1 for the window
// of mtd0 that is passed over.
int whole_flash_target(const int* fds, long at)
{
    if (at < 0x20000) {
        return at >= 0x6000 && at < 0x8000 ? -1 : fds[0];
    }
    return at < 0x100000 ? fds[1] : at < 0x390000 ? fds[2] : fds[3];
}

int write_whole_flash(const int* fds, const char* path)
{
    static const struct {
        int device;
        std::uint32_t start, length;
    } ranges[] = {{0, 0, 0x6000}, {0, 0x8000, 0x18000}, {1, 0, 0xE0000}, {2, 0, 0x290000},
                  {3, 0, 0x70000}};
    std::FILE* file = std::fopen(path, "r");
    const long size = file == nullptr ? -1 : stream_size(file);
    auto* buffer = static_cast<unsigned char*>(std::malloc(kBlock));
    std::printf("Erasing flash...\n");
    int status = size < 0 || size > 0x400000 || buffer == nullptr ? 1 : 0;
    for (const auto& r : ranges) {
        if (status == 0) {
            status = erase(fds[r.device], r.start, r.length);
        }
    }
    if (status == 0) {
        std::printf("Writing new image...\n");
        Progress state;
        long at = 0;
        for (std::size_t got; (got = std::fread(buffer, 1, kBlock, file)) != 0;) {
            const int fd = whole_flash_target(fds, at);
            if (fd < 0) {
                lseek(fds[0], static_cast<off_t>(got), SEEK_CUR);
            } else if (write(fd, buffer, got) != static_cast<ssize_t>(got)) {
                status = 1;
                break;
            }
            at += static_cast<long>(got);
            progress(state, static_cast<int>(at * 100 / size), false);
        }
        if (status == 0) {
            std::printf("\nWrite new image complete\n");
        }
    }
    std::free(buffer);
    if (file != nullptr) {
        std::fclose(file);
    }
    return status;
}

int file_size(const char* path)
{
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return 0;
    }
    const long size = stream_size(file);
    std::fclose(file);
    return size < 0 ? 0 : static_cast<int>(size);
}

int crc_range(int fd, std::uint32_t start, std::uint32_t length, std::uint32_t& crc)
{
    auto* buffer = static_cast<unsigned char*>(std::malloc(kCrcBlock));
    if (buffer == nullptr || lseek(fd, start, SEEK_SET) != static_cast<off_t>(start)) {
        std::free(buffer);
        return 1;
    }
    for (std::uint32_t remaining = length; remaining != 0;) {
        const ssize_t got = read(fd, buffer, kCrcBlock);
        if (got <= 0) {
            break;
        }
        const std::uint32_t take = static_cast<std::uint32_t>(got) < remaining
                                       ? static_cast<std::uint32_t>(got) : remaining;
        crc = static_cast<std::uint32_t>(crc32(crc, buffer, take));
        remaining -= take;
    }
    std::free(buffer);
    return 0;
}

int compare_crc_file(const char* path, std::uint32_t crc)
{
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return 1;
    }
    unsigned expected = 0;
    const int scanned = std::fscanf(file, "%x", &expected);
    std::fclose(file);
    if (scanned == 1 && expected == crc) {
        return 0;
    }
    std::printf("CRC check error 0x%x / 0x%x \n", crc, expected);
    return 1;
}

// ---- partition-table system upgrade ---------------------------------------------------

struct Partition {
    char device[64];
    std::uint32_t start, size;
};
constexpr int kMaxPartitions = 16;

int load_table(const char* path, Partition* parts)
{
    // Two passes, as the table is specified: count the rows to the end of the file, then
    // fill that many entries (the filling pass stops at the count, not at the end).
    char a[64], b[64], c[64], d[64];
    int counted = kMaxPartitions;
    for (int pass = 0; pass < 2; ++pass) {
        std::FILE* file = std::fopen(path, "r");
        if (file == nullptr) {
            return -1;
        }
        int n = 0;
        std::uint32_t sum = 0;
        int got = std::fscanf(file, "%63s %63s %63s %63s", a, b, c, d);
        while (n < counted && (got = std::fscanf(file, "%63s %63s %63s %63s", a, b, c, d)) > 0) {
            if (pass == 1) {
                const std::size_t len = std::strlen(a);
                std::snprintf(parts[n].device, sizeof parts[n].device, "%.*s",
                              static_cast<int>(len - 1), a);
                parts[n].start = sum;
                parts[n].size = static_cast<std::uint32_t>(std::strtoul(b, nullptr, 16));
                sum += parts[n].size;
            }
            ++n;
        }
        std::fclose(file);
        if (pass == 1) {
            return n;
        }
        counted = n;
    }
    return -1;
}

int open_partition(const Partition& part)
{
    char path[80];
    std::snprintf(path, sizeof path, "/dev/%s", part.device);
    return open_device(path, O_RDWR);
}

int erase_from(const Partition* parts, int count, std::uint32_t at)
{
    for (int i = 0; i < count; ++i) {
        const Partition& p = parts[i];
        if (at >= p.start + p.size) {
            continue;
        }
        const std::uint32_t offset = p.start < at ? at - p.start : 0;
        const int fd = open_partition(p);
        if (fd < 0) {
            return 1;
        }
        std::printf("Erasing flash start 0x%x + 0x%x, size 0x%x\n", p.start, offset, p.size - offset);
        const int status = erase(fd, offset, p.size - offset);
        if (close(fd) != 0 || status != 0) {
            return 1;
        }
    }
    return 0;
}

struct SystemCount {
    std::uint32_t total, written;
};

int write_section(std::FILE* file, int fd, std::uint32_t offset, std::uint32_t length,
                  SystemCount& count)
{
    if (lseek(fd, offset, SEEK_SET) != static_cast<off_t>(offset)) {
        return 1;
    }
    auto* buffer = static_cast<unsigned char*>(std::malloc(kBlock));
    Progress state;
    std::uint32_t chunk = length < kBlock ? length : kBlock;
    int status = buffer == nullptr ? 1 : 0;
    while (status == 0 && length != 0) {
        const std::size_t got = std::fread(buffer, 1, chunk, file);
        if (got == 0) {
            break;
        }
        if (write(fd, buffer, got) != static_cast<ssize_t>(got)) {
            status = 1;
            break;
        }
        count.written += static_cast<std::uint32_t>(got);
        progress(state, static_cast<int>(count.written * 100U / count.total), true);
        length -= static_cast<std::uint32_t>(got);
        chunk = length < kBlock ? length : kBlock;
    }
    std::free(buffer);
    return status;
}

// The next partition section of the range [at, at + remaining) after entry *i, by the
// covering rule; false at the end of the table. remaining shrinks by the section's length.
bool next_section(const Partition* parts, int count, std::uint32_t at, int& i,
                  std::uint32_t& remaining, std::uint32_t& offset, std::uint32_t& length)
{
    for (; i < count; ++i) {
        const Partition& p = parts[i];
        if (at >= p.start + p.size) {
            continue;
        }
        offset = p.start < at ? at - p.start : 0;
        length = p.size - offset < remaining ? p.size - offset : remaining;
        remaining -= length;
        return true;
    }
    return false;
}

int write_window(const Partition* parts, int count, const char* path, int window,
                 SystemCount& progress_count)
{
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return 1;
    }
    const std::uint32_t at = kWindowStart[window];
    std::uint32_t remaining = kWindowSize[window];
    int status = 0;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    for (int i = 0; status == 0 && remaining != 0 &&
                    next_section(parts, count, at, i, remaining, offset, length);
         ++i) {
        const int fd = open_partition(parts[i]);
        if (fd < 0) {
            status = 1;
            break;
        }
        status = write_section(file, fd, offset, length, progress_count);
        if (close(fd) != 0) {
            status = 1;
        }
    }
    std::fclose(file);
    return status;
}

int write_system(char** args)
{
    Partition parts[kMaxPartitions];
    const int count = load_table(args[0], parts);
    SystemCount progress_count{0, 0};
    for (int i = 0; i < 3; ++i) {
        std::FILE* file = std::fopen(args[1 + i], "r");
        const long size = file == nullptr ? -1 : stream_size(file);
        if (file != nullptr) {
            std::fclose(file);
        }
        if (size < 0 || static_cast<unsigned long>(size) > kWindowSize[i]) {
            return 1;
        }
        progress_count.total += static_cast<std::uint32_t>(size);
    }
    std::printf("Erasing flash...\n");
    if (count < 0 || erase_from(parts, count, kSystemStart) != 0) {
        return 1;
    }
    for (int i = 0; i < 3; ++i) {
        if (write_window(parts, count, args[1 + i], i, progress_count) != 0) {
            return 1;
        }
    }
    return 0;
}

int crc_window(const Partition* parts, int count, const char* image, const char* crc_path,
               int window)
{
    std::FILE* file = std::fopen(image, "r");
    const long size = file == nullptr ? -1 : stream_size(file);
    if (size < 0) {
        return 1;
    }
    const std::uint32_t at = kWindowStart[window];
    auto remaining = static_cast<std::uint32_t>(size);
    std::uint32_t crc = 0;
    int status = 0;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    // An empty image still reads its first covering partition once, as the tool does.
    for (int i = 0; status == 0 && next_section(parts, count, at, i, remaining, offset, length);
         ++i) {
        const int fd = open_partition(parts[i]);
        status = fd < 0 || crc_range(fd, offset, length, crc) != 0 ? 1 : 0;
        if (fd >= 0 && close(fd) != 0) {
            status = 1;
        }
        if (remaining == 0) {
            break;
        }
    }
    std::fclose(file);
    return status != 0 ? 1 : compare_crc_file(crc_path, crc);
}

int check_system(char** args)
{
    Partition parts[kMaxPartitions];
    const int count = load_table(args[0], parts);
    if (count < 0) {
        return 1;
    }
    for (int i = 0; i < 3; ++i) {
        if (crc_window(parts, count, args[1 + i], args[4 + i], i) != 0) {
            return 1;
        }
    }
    return 0;
}

// ---- boot-area records ----------------------------------------------------------------

int write_all(int fd, const void* bytes, std::size_t count)
{
    return write(fd, bytes, count) == static_cast<ssize_t>(count) ? 0 : 1;
}

int write_tempconf(int fd, const char* path)
{
    if (lseek(fd, kTempConfOffset, SEEK_SET) != kTempConfOffset) {
        return 1;
    }
    std::FILE* file = std::fopen(path, "r");
    const long size = file == nullptr ? -1 : stream_size(file);
    auto* buffer = static_cast<unsigned char*>(std::malloc(kBlock));
    int status = size < 0 || size > static_cast<long>(kTempConfSize - 8) || buffer == nullptr;
    if (status == 0) {
        std::printf("Erasing flash...\n");
        status = erase(fd, kTempConfOffset, kTempConfSize);
    }
    unsigned char word[4];
    const auto put = [&word](std::uint32_t v) {
        for (unsigned i = 0; i < 4; ++i) {
            word[i] = static_cast<unsigned char>(v >> (8U * i));
        }
    };
    put(static_cast<std::uint32_t>(size));
    if (status == 0 && (status = write_all(fd, word, 4)) == 0) {
        std::printf("Writing new image...\n");
        std::uint32_t crc = 0;
        for (std::size_t got; status == 0 && (got = std::fread(buffer, 1, kBlock, file)) != 0;) {
            status = write_all(fd, buffer, got);
            crc = static_cast<std::uint32_t>(crc32(crc, buffer, static_cast<uInt>(got)));
        }
        put(crc);
        if (status == 0 && (status = write_all(fd, word, 4)) == 0) {
            std::printf("\n");
        }
    }
    std::free(buffer);
    if (file != nullptr) {
        std::fclose(file);
    }
    if (status == 0) {
        std::printf("Write tempory config complete\n");
    }
    return status;
}

int show_env(int fd)
{
    auto* env = static_cast<unsigned char*>(std::malloc(kEnvSize));
    if (env == nullptr || lseek(fd, kEnvOffset, SEEK_SET) != kEnvOffset ||
        read(fd, env, kEnvSize) != kEnvSize) {
        std::free(env);
        return 1;
    }
    const std::uint32_t data_size = kEnvSize - 4;
    std::uint32_t stored = 0;
    for (unsigned i = 0; i < 4; ++i) {
        stored |= static_cast<std::uint32_t>(env[i]) << (8U * i);
    }
    std::printf("env = %x\n", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(env)));
    std::printf("size = %d\n", static_cast<int>(data_size));
    std::printf("env->data = %x\n", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(env + 4)));
    std::printf("crc = %x\n", stored);
    if (static_cast<std::uint32_t>(crc32(0, env + 4, data_size)) != stored) {
        std::printf("CRC Check fail\n");
        std::free(env);
        return 1;
    }
    const unsigned char* data = env + 4;
    std::uint32_t p = 0;
    while (p < data_size && data[p] != 0) {
        std::uint32_t e = p;
        while (e < data_size && data[e] != 0) {
            std::putchar(data[e++]);
        }
        std::putchar('\n');
        p = e + 1;
    }
    std::printf("\nEnvironment size: %d/%d bytes\n", static_cast<int>(p), static_cast<int>(data_size));
    std::free(env);
    return 0;
}

int run(int argc, char** argv, int* fds)
{
    const char* word = argv[1];
    if (std::strcmp(word, "writecramfs") == 0) {
        return write_region(fds[2], argv[2], 0, 0x290000);
    }
    if (std::strcmp(word, "writeall") == 0) {
        return write_whole_flash(fds, argv[2]);
    }
    if (std::strcmp(word, "checkcramfs") == 0 && argc == 4) {
        const int size = file_size(argv[3]);
        std::printf("file size = %d\n", size);
        std::uint32_t crc = 0;
        return crc_range(fds[2], 0, static_cast<std::uint32_t>(size), crc) != 0
                   ? 1 : compare_crc_file(argv[2], crc);
    }
    if (std::strcmp(word, "writesystem") == 0 && argc >= 6) {
        const int status = write_system(argv + 2);
        if (status != 0) {
            std::printf("Write system fail\n");
        }
        return status;
    }
    if (std::strcmp(word, "checksystem") == 0 && argc == 9) {
        return check_system(argv + 2);
    }
    if (std::strcmp(word, "writetempconf") == 0) {
        return write_tempconf(fds[0], argv[2]);
    }
    if (std::strcmp(word, "readenv") == 0) {
        return show_env(fds[0]);
    }
    return 1;
}

// Which of mtd1..mtd3 a command opens besides mtd0, as a bit set.
unsigned devices_of(const char* word)
{
    if (std::strcmp(word, "writeall") == 0) {
        return 0xE;
    }
    return std::strcmp(word, "writecramfs") == 0 || std::strcmp(word, "checkcramfs") == 0 ? 0x4 : 0;
}

// The commands that write the flash, and so keep other writers out while they run.
bool writes_flash(const char* word)
{
    static const char* const kWriters[] = {"writecramfs", "writeall", "writesystem", "writetempconf"};
    for (const char* writer : kWriters) {
        if (std::strcmp(word, writer) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: baseline COMMAND [ARG...]\n");
        return 1;
    }
    // Process start-up and exit alone: what every command pays before its first call.
    if (std::strcmp(argv[1], "startup") == 0) {
        return 0;
    }
    g_http = argc >= 4 && std::strcmp(argv[1], "writecramfs") == 0 && std::strcmp(argv[3], "HTTP") == 0;
    const int mode = std::strcmp(argv[1], "readenv") == 0 ? O_RDONLY : O_RDWR;
    int fds[4] = {-1, -1, -1, -1};
    const unsigned wanted = devices_of(argv[1]) | 1U;
    for (unsigned n = 0; n < 4; ++n) {
        if ((wanted & (1U << n)) == 0) {
            continue;
        }
        char path[16];
        std::snprintf(path, sizeof path, "/dev/mtd%u", n);
        if ((fds[n] = open_device(path, mode)) < 0) {
            return 1;
        }
    }
    std::signal(SIGPIPE, on_sigpipe);
    // A writer holds the signals that would end it until the flash is written (one call
    // to block them, one to let them go once the output is out), and keeps other writers out.
    sigset_t previous;
    sigemptyset(&previous);
    if (writes_flash(argv[1])) {
        sigset_t held;
        sigemptyset(&held);
        static constexpr int kHeld[] = {SIGTERM, SIGINT,  SIGQUIT, SIGALRM, SIGVTALRM,
                                        SIGPROF, SIGUSR1, SIGUSR2, SIGXCPU};
        for (const int sig : kHeld) {
            sigaddset(&held, sig);
        }
        sigprocmask(SIG_BLOCK, &held, &previous);
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        fcntl(fds[0], F_OFD_SETLKW, &whole);
    }
    const int status = run(argc, argv, fds);
    if (close(fds[0]) != 0) {
        std::perror("close()");
    }
    if (writes_flash(argv[1])) {
        std::fflush(stdout);
        sigprocmask(SIG_SETMASK, &previous, nullptr);
    }
    return status;
}
