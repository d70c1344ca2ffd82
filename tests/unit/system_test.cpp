#include "system/system.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr const char* kHeading = "dev:    size   erasesize  name\n";
constexpr const char* kExample =
    "mtd0: 00020000 00002000 \"boot\"\n"
    "mtd1: 000e0000 00010000 \"kernel\"\n"
    "mtd2: 00290000 00010000 \"rootfs\"\n"
    "mtd3: 00070000 00010000 \"jffs\"\n";

struct Row {
    std::string device;
    std::uint32_t start;
    std::uint32_t size;
    std::string label;
};

const std::vector<Row> kExampleRows = {{"mtd0", 0x0, 0x20000, "boot"},
                                       {"mtd1", 0x20000, 0xe0000, "kernel"},
                                       {"mtd2", 0x100000, 0x290000, "rootfs"},
                                       {"mtd3", 0x390000, 0x70000, "jffs"}};

UniqueFile stream_of(const std::string& text)
{
    UniqueFile file(std::tmpfile());
    std::fwrite(text.data(), 1, text.size(), file.get());
    std::rewind(file.get());
    return file;
}

struct Parsed {
    int count_status;
    std::size_t rows;
    int parse_status;
    std::vector<Row> entries;
    std::string out;
};

// Both passes over the same text, as the loader runs them, with their standard output.
Parsed parse(const std::string& text)
{
    Parsed result{};
    testing::internal::CaptureStdout();
    UniqueFile counted = stream_of(text);
    result.count_status = count_partition_rows(counted.get(), "t", result.rows);
    std::vector<PartitionEntry> entries(8);
    std::size_t filled = 0;
    UniqueFile read = stream_of(text);
    result.parse_status = parse_partition_rows(read.get(), "t", entries, filled);
    for (std::size_t i = 0; i < filled; ++i) {
        const PartitionEntry& e = entries[i];
        result.entries.push_back({e.device, e.start, e.size, e.label});
    }
    std::fflush(stdout);
    result.out = testing::internal::GetCapturedStdout();
    return result;
}

void expect_rows(const std::vector<Row>& actual, const std::vector<Row>& expected, const std::string& name)
{
    ASSERT_EQ(actual.size(), expected.size()) << name;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(actual[i].device, expected[i].device) << name << " row " << i;
        EXPECT_EQ(actual[i].start, expected[i].start) << name << " row " << i;
        EXPECT_EQ(actual[i].size, expected[i].size) << name << " row " << i;
        EXPECT_EQ(actual[i].label, expected[i].label) << name << " row " << i;
    }
}

std::string one_token_per_line(std::string text)
{
    for (char& c : text) {
        c = c == ' ' ? '\n' : c;
    }
    return text;
}

TEST(PartitionTable, ReadsTheRowsWhateverTheLayout)
{
    struct Case {
        const char* name;
        std::string text;
        std::vector<Row> expected;
    } cases[] = {
        {"lines", std::string(kHeading) + kExample, kExampleRows},
        {"one_line",
         "a b c d mtd0: 20000 2000 \"boot\" mtd1: e0000 1 \"kernel\" mtd2: 290000 1 \"rootfs\" "
         "mtd3: 70000 1 \"jffs\"",
         kExampleRows},
        {"token_per_line", one_token_per_line(std::string(kHeading) + kExample), kExampleRows},
        {"tabs_and_crlf",
         "dev:\tsize\terasesize\tname\r\nmtd0:\t20000\t2000\t\"boot\"\r\nmtd1:\t0xe0000\t1\t\"kernel\"\r\n",
         {{"mtd0", 0, 0x20000, "boot"}, {"mtd1", 0x20000, 0xe0000, "kernel"}}},
        {"hex_prefixes", "h e a d mtd0: 0x20000 x \"a\" mtd1: 0XE0000 x \"b\" mtd2: 0x290000 x \"c\"",
         {{"mtd0", 0, 0x20000, "a"}, {"mtd1", 0x20000, 0xe0000, "b"}, {"mtd2", 0x100000, 0x290000, "c"}}},
        // The last character goes whatever it is.
        {"missing_colon", "h e a d mtd1 20000 x \"kernel\"", {{"mtd", 0, 0x20000, "kernel"}}},
        // Conversion stops at the first non-digit; no digits give 0, and the next row
        // starts at the same offset.
        {"size_without_digits", "h e a d mtd0: zz x \"a\" mtd1: 10zz x \"b\" mtd2: 1 x \"c\"",
         {{"mtd0", 0, 0, "a"}, {"mtd1", 0, 0x10, "b"}, {"mtd2", 0x10, 1, "c"}}},
        // A blank inside a label shifts every later token one place.
        {"labels_holding_blanks",
         "h e a d mtd0: 20000 2000 \"boot loader\" mtd1: e0000 10000 \"kernel\" "
         "mtd2: 290000 10000 \"root fs\"",
         {{"mtd0", 0, 0x20000, "boo"},
          {"loader", 0x20000, 0, "000"},
          {"\"kernel", 0x20000, 0, "000"},
          {"\"roo", 0x20000, 0xf, ""}}},
        {"labels_of_one_or_two_characters", "h e a d m: 1 x \" m: 2 x \"\"",
         {{"m", 0, 1, ""}, {"m", 1, 2, ""}}},
        // A short last row keeps what it has once its size is there.
        {"last_row_without_label", "h e a d mtd0: 20000 x \"a\" mtd1: 100 x",
         {{"mtd0", 0, 0x20000, "a"}, {"mtd1", 0x20000, 0x100, ""}}},
        {"last_row_of_two_tokens", "h e a d mtd1: 100", {{"mtd1", 0, 0x100, ""}}},
        {"sizes_up_to_32_bits", "h e a d m0: 80000000 x \"a\" m1: 7fffffff x \"b\" m2: 0 x \"c\"",
         {{"m0", 0, 0x80000000, "a"}, {"m1", 0x80000000, 0x7fffffff, "b"}, {"m2", 0xffffffff, 0, "c"}}},
        {"heading_only", kHeading, {}},
        {"short_heading", "dev: size", {}},
        {"empty", "", {}},
    };
    for (const Case& c : cases) {
        const Parsed parsed = parse(c.text);
        EXPECT_EQ(parsed.count_status, 0) << c.name;
        EXPECT_EQ(parsed.rows, c.expected.size()) << c.name;
        EXPECT_EQ(parsed.parse_status, 0) << c.name;
        EXPECT_EQ(parsed.out, "") << c.name;
        expect_rows(parsed.entries, c.expected, c.name);
    }
}

TEST(PartitionTable, RefusesWhatWouldOverrunAFieldOrWrapAStart)
{
    const std::string t63(63, 'x');
    const std::string t64(64, 'x');
    const std::string device58(58, 'd');
    const std::string device59(59, 'd');
    struct Case {
        const char* name;
        std::string text;
        bool counted;      // the counting pass already refuses it
        std::string out;
    } cases[] = {
        {"heading_token_too_long", "h e " + t64 + " d m: 1 x \"a\"", true, "t : token too long\n"},
        {"ignored_token_too_long", "h e a d m: 1 " + t64 + " \"a\"", true, "t : token too long\n"},
        {"label_too_long", "h e a d m: 1 x \"" + t63 + "\"", true, "t : token too long\n"},
        {"device_name_too_long", "h e a d " + device59 + ": 1 x \"a\"", false, "t : device name too long\n"},
        {"sizes_past_32_bits", "h e a d m0: ffffffff x \"a\" m1: 1 x \"b\"", false,
         "t : partition sizes overflow\n"},
        {"size_token_past_32_bits", "h e a d m0: 100000000 x \"a\"", false, "t : partition sizes overflow\n"},
        {"size_token_far_past_64_bits", "h e a d m0: 1234567890abcdef01 x \"a\"", false,
         "t : partition sizes overflow\n"},
        {"negative_size", "h e a d m0: 20000 x \"a\" m1: -1 x \"b\"", false, "t : partition sizes overflow\n"},
        {"last_row_without_size", "h e a d m0: 20000 x \"a\" m1:", false, "t : truncated row\n"},
        // One blank in one label leaves a single token for the last row.
        {"one_label_holding_a_blank", std::string(kHeading) + "mtd0: 20000 2000 \"boot loader\"\n", false,
         "t : truncated row\n"},
    };
    for (const Case& c : cases) {
        const Parsed parsed = parse(c.text);
        EXPECT_EQ(parsed.count_status, c.counted ? 1 : 0) << c.name;
        EXPECT_EQ(parsed.parse_status, 1) << c.name;
        // Both passes meet the over-long token; each says so.
        EXPECT_EQ(parsed.out, c.counted ? c.out + c.out : c.out) << c.name;
    }
    // At the limits themselves nothing is refused.
    const Parsed at_limits = parse("h e a " + t63 + " " + device58 + ": 1 " + t63 + " \"" +
                                   std::string(61, 'l') + "\"");
    EXPECT_EQ(at_limits.parse_status, 0);
    expect_rows(at_limits.entries, {{device58, 0, 1, std::string(61, 'l')}}, "at_limits");
}

TEST(PartitionTable, NeverFillsMoreEntriesThanCounted)
{
    UniqueFile file = stream_of(std::string(kHeading) + kExample);
    std::vector<PartitionEntry> entries(2);
    std::size_t filled = 0;
    EXPECT_EQ(parse_partition_rows(file.get(), "t", entries, filled), 0);
    EXPECT_EQ(filled, 2U);
    EXPECT_STREQ(entries[1].device, "mtd1");
}

TEST(PartitionTable, EntryArraySizeNeverWraps)
{
    testing::internal::CaptureStderr();
    auto entries = allocate_entries("check_system", SIZE_MAX / sizeof(PartitionEntry) + 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(entries);
    EXPECT_EQ(err.rfind("check_system: malloc(0x", 0), 0U) << err;
    EXPECT_NE(err.find(") failed\nmalloc(): "), std::string::npos) << err;
}

struct Section {
    std::size_t index;
    std::uint32_t offset;
    std::uint32_t length;
    bool operator==(const Section&) const = default;
};

std::vector<PartitionEntry> table_of(const std::vector<std::uint32_t>& sizes)
{
    std::vector<PartitionEntry> entries(sizes.size());
    std::uint32_t start = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        entries[i].start = start;
        entries[i].size = sizes[i];
        start += sizes[i];
    }
    return entries;
}

TEST(CoveringRule, CutsRangesAtPartitionBoundaries)
{
    constexpr std::int64_t kUnbounded = -1;
    const std::vector<std::uint32_t> example = {0x20000, 0xe0000, 0x290000, 0x70000};
    const std::vector<std::uint32_t> two = {0x40000, 0x3c0000};
    const std::vector<std::uint32_t> shifted = {0x20000, 0x120000, 0x250000, 0x70000};
    struct Case {
        const char* name;
        std::vector<std::uint32_t> sizes;
        std::uint32_t at;
        std::int64_t length;
        std::vector<Section> expected;
    } cases[] = {
        {"erase_example", example, 0x20000, kUnbounded,
         {{1, 0, 0xe0000}, {2, 0, 0x290000}, {3, 0, 0x70000}}},
        {"erase_two", two, 0x20000, kUnbounded, {{0, 0x20000, 0x20000}, {1, 0, 0x3c0000}}},
        {"first_window_two", two, 0x20000, 0xe0000, {{0, 0x20000, 0x20000}, {1, 0, 0xc0000}}},
        {"second_window_two", two, 0x100000, 0x290000, {{1, 0xc0000, 0x290000}}},
        {"third_window_two", two, 0x390000, 0x70000, {{1, 0x350000, 0x70000}}},
        {"first_window_shifted", shifted, 0x20000, 0xe0000, {{1, 0, 0xe0000}}},
        {"second_window_shifted", shifted, 0x100000, 0x290000, {{1, 0xe0000, 0x40000}, {2, 0, 0x250000}}},
        {"second_file_shifted", shifted, 0x100000, 0x50000, {{1, 0xe0000, 0x40000}, {2, 0, 0x10000}}},
        {"third_window_shifted", shifted, 0x390000, 0x70000, {{3, 0, 0x70000}}},
        // An empty range still yields the section that holds its start.
        {"empty_range", example, 0x100000, 0, {{2, 0, 0}}},
        {"empty_range_mid_partition", two, 0x20000, 0, {{0, 0x20000, 0}}},
        // An empty partition above the address covers it; one at the address does not.
        {"empty_partition_above", {0x20000, 0x10000, 0, 0x10000}, 0x20000, kUnbounded,
         {{1, 0, 0x10000}, {2, 0, 0}, {3, 0, 0x10000}}},
        {"empty_partition_at", {0x20000, 0, 0x10000}, 0x20000, kUnbounded, {{2, 0, 0x10000}}},
        {"range_past_table_end", {0x20000, 0x30000}, 0x20000, 0xe0000, {{1, 0, 0x30000}}},
        {"table_ends_below", {0x20000}, 0x20000, kUnbounded, {}},
        {"table_ends_below_bounded", {0x10000}, 0x100000, 0x10, {}},
        {"range_into_next_window", example, 0x20000, 0xe0001, {{1, 0, 0xe0000}, {2, 0, 1}}},
        {"full_32_bits", {0xffffffff}, 0xfffffffe, kUnbounded, {{0, 0xfffffffe, 1}}},
    };
    for (const Case& c : cases) {
        const std::vector<PartitionEntry> entries = table_of(c.sizes);
        SectionWalk walk = c.length == kUnbounded
                               ? SectionWalk(entries, c.at)
                               : SectionWalk(entries, c.at, static_cast<std::uint32_t>(c.length));
        std::vector<Section> actual;
        PartitionSection section{};
        while (walk.next(section)) {
            actual.push_back({static_cast<std::size_t>(section.entry - entries.data()), section.offset,
                              section.length});
        }
        EXPECT_FALSE(walk.next(section)) << c.name;
        EXPECT_EQ(actual, c.expected) << c.name;
    }
}

}  // namespace
