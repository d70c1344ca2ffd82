// Loading a partition-table file, and the covering rule over the loaded entries.
//
// The file is a stream of white-space separated tokens taken four at a time: a heading
// group, then one group per partition (device token with a trailing colon, hexadecimal
// size, an ignored token, quoted label). Tokens are read by hand rather than by "%s" so
// that none can overrun its 64-character field.
#include "system/system.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kGroupTokens = 4;
constexpr int kSizeToken = 1;
constexpr int kLabelToken = 3;

enum class Scan { end, token, too_long, error };

struct TokenGroup {
    char tokens[kGroupTokens][kTokenField];
    int count;
};

// Skips white space and reads one token into field; end when the file ends first.
Scan read_token(std::FILE* stream, char (&field)[kTokenField])
{
    int c = std::getc(stream);
    while (c != EOF && std::isspace(c) != 0) {
        c = std::getc(stream);
    }
    std::size_t length = 0;
    while (c != EOF && std::isspace(c) == 0) {
        if (length == kTokenMax) {
            return Scan::too_long;
        }
        field[length++] = static_cast<char>(c);
        c = std::getc(stream);
    }
    field[length] = '\0';
    if (std::ferror(stream) != 0) {
        return Scan::error;
    }
    return length == 0 ? Scan::end : Scan::token;
}

// The next group of up to four tokens; end when the file ends before its first token.
Scan read_group(std::FILE* stream, TokenGroup& group)
{
    group.count = 0;
    for (char(&token)[kTokenField] : group.tokens) {
        const Scan scan = read_token(stream, token);
        if (scan == Scan::end) {
            break;
        }
        if (scan != Scan::token) {
            return scan;
        }
        ++group.count;
    }
    return group.count == 0 ? Scan::end : Scan::token;
}

// Reports a group read that neither found a group nor met the end of the file; 1.
int report_scan(Scan scan, const char* name, const char* who)
{
    if (scan == Scan::too_long) {
        std::printf("%s : token too long\n", name);
    } else {
        report_fread_failure(who);
    }
    return 1;
}

// The hexadecimal size token as strtoul reads it in base 16, or false when the value does
// not fit 32 bits (a minus sign makes any non-zero value huge).
bool convert_size(const char* token, std::uint32_t& size)
{
    const unsigned long long value = std::strtoull(token, nullptr, 16);
    if (value > UINT32_MAX) {
        return false;
    }
    size = static_cast<std::uint32_t>(value);
    return true;
}

// Copies the first length characters of text into field and terminates it.
void store_text(char (&field)[kTokenField], const char* text, std::size_t length)
{
    std::memcpy(field, text, length);
    field[length] = '\0';
}

// One entry from one row group, starting at running, which advances past it. A row needs
// its device and size tokens; the label may be missing from a short last row.
int fill_entry(const TokenGroup& group, const char* name, std::uint64_t& running,
               PartitionEntry& entry)
{
    if (group.count <= kSizeToken) {
        std::printf("%s : truncated row\n", name);
        return 1;
    }
    const std::size_t token_length = std::strlen(group.tokens[0]);
    const std::size_t device_length = token_length == 0 ? 0 : token_length - 1;
    if (device_length > kDeviceNameMax) {
        std::printf("%s : device name too long\n", name);
        return 1;
    }
    std::uint32_t size = 0;
    // Starts past 32 bits would wrap and send a window to the wrong partition.
    if (!convert_size(group.tokens[kSizeToken], size) || running + size > UINT32_MAX) {
        std::printf("%s : partition sizes overflow\n", name);
        return 1;
    }
    entry = PartitionEntry{};
    store_text(entry.device, group.tokens[0], device_length);
    if (group.count > kLabelToken) {
        const std::size_t label_length = std::strlen(group.tokens[kLabelToken]);
        if (label_length >= 2) {
            store_text(entry.label, group.tokens[kLabelToken] + 1, label_length - 2);
        }
    }
    entry.start = static_cast<std::uint32_t>(running);
    entry.size = size;
    running += size;
    return 0;
}

// The allocation report with the size asked for, which may not fit the shared report.
void report_entries_malloc_failure(const char* who, unsigned long long bytes)
{
    const int saved = errno;
    std::fprintf(stderr, "%s: malloc(%#llx) failed\n", who, bytes);
    errno = saved;
    std::perror("malloc()");
}

}  // namespace

int count_partition_rows(std::FILE* stream, const char* name, std::size_t& rows)
{
    rows = 0;
    TokenGroup group{};
    Scan scan = read_group(stream, group);  // the heading
    if (scan == Scan::too_long || scan == Scan::error) {
        return report_scan(scan, name, "count_partitions");
    }
    if (scan == Scan::token) {
        while ((scan = read_group(stream, group)) == Scan::token) {
            ++rows;
        }
    }
    if (scan != Scan::end) {
        return report_scan(scan, name, "count_partitions");
    }
    return 0;
}

int parse_partition_rows(std::FILE* stream, const char* name, std::span<PartitionEntry> entries,
                         std::size_t& filled)
{
    filled = 0;
    TokenGroup group{};
    Scan scan = read_group(stream, group);  // the heading
    std::uint64_t running = 0;
    // The file may have changed since it was counted: never fill beyond the count.
    while (scan == Scan::token && filled < entries.size()) {
        scan = read_group(stream, group);
        if (scan != Scan::token) {
            break;
        }
        if (fill_entry(group, name, running, entries[filled]) != 0) {
            return 1;
        }
        ++filled;
    }
    if (scan == Scan::too_long || scan == Scan::error) {
        return report_scan(scan, name, "read_partitions");
    }
    return 0;
}

int count_partitions(const char* path, std::size_t& rows)
{
    UniqueFile file(std::fopen(path, "r"));
    if (!file) {
        report_open_failure("fopen()", path);
        return 1;
    }
    return count_partition_rows(file.get(), path, rows);
}

int read_partitions(const char* path, std::span<PartitionEntry> entries, std::size_t& filled)
{
    UniqueFile file(std::fopen(path, "r"));
    if (!file) {
        report_open_failure("fopen()", path);
        return 1;
    }
    return parse_partition_rows(file.get(), path, entries, filled);
}

std::unique_ptr<PartitionEntry[], FreeDeleter> allocate_entries(const char* who, std::size_t count)
{
    constexpr std::size_t kEntry = sizeof(PartitionEntry);
    // The product is only formed where it cannot wrap; the report saturates instead.
    const unsigned long long count64 = count;
    const unsigned long long bytes = count64 > ULLONG_MAX / kEntry ? ULLONG_MAX : count64 * kEntry;
    void* block = nullptr;
    if (count <= SIZE_MAX / kEntry) {
        block = std::calloc(count, kEntry);
    } else {
        errno = ENOMEM;
    }
    if (block == nullptr) {
        report_entries_malloc_failure(who, bytes);
    }
    return std::unique_ptr<PartitionEntry[], FreeDeleter>(static_cast<PartitionEntry*>(block));
}

int load_partition_table(const char* who, const char* path, PartitionTable& table)
{
    std::size_t rows = 0;
    if (count_partitions(path, rows) != 0) {
        return 1;
    }
    if (rows == 0) {
        std::printf("%s : no partitions\n", path);
        return 1;
    }
    std::unique_ptr<PartitionEntry[], FreeDeleter> entries = allocate_entries(who, rows);
    if (!entries) {
        return 1;
    }
    std::size_t filled = 0;
    if (read_partitions(path, {entries.get(), rows}, filled) != 0) {
        return 1;
    }
    if (filled == 0) {
        std::printf("%s : no partitions\n", path);
        return 1;
    }
    table = PartitionTable(std::move(entries), filled);
    return 0;
}

bool cover_address(const PartitionEntry& entry, std::uint32_t at, PartitionSection& section) noexcept
{
    // The loader keeps every end within 32 bits, so the sum cannot wrap.
    if (at >= entry.start + entry.size) {
        return false;
    }
    section.entry = &entry;
    section.offset = entry.start < at ? at - entry.start : 0;
    section.length = entry.size - section.offset;
    return true;
}

bool SectionWalk::next(PartitionSection& section) noexcept
{
    while (!done_ && index_ < entries_.size()) {
        if (!cover_address(entries_[index_++], at_, section)) {
            continue;
        }
        if (bounded_) {
            section.length = section.length < remaining_ ? section.length : remaining_;
            remaining_ -= section.length;
            done_ = remaining_ == 0;
        }
        return true;
    }
    done_ = true;
    return false;
}

UniqueFd open_partition(const PartitionEntry& entry)
{
    char path[kDevicePathField];
    const int length = std::snprintf(path, sizeof path, "/dev/%s", entry.device);
    // The loader refuses longer names; an entry made elsewhere is refused here, never cut.
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) {
        std::printf("%s : device name too long\n", entry.device);
        return UniqueFd();
    }
    UniqueFd device(open(path, O_RDWR | O_SYNC));
    if (device.get() < 0) {
        report_open_failure("open()", path);
    }
    return device;
}

int close_partition(UniqueFd& device)
{
    if (close(device.release()) != 0) {
        std::perror("close()");
        return 1;
    }
    return 0;
}
