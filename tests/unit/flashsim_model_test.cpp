// The simulator's flash model (tools/flashsim/model.h), without the preload: the write
// rules over byte pairs, erase ranges, the torn plans over seeds, and layouts.
#include "../../tools/flashsim/model.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using flashsim::WriteRule;
using Bytes = std::vector<std::uint8_t>;

// Every pair of old and new byte: NOR stores old AND new and refuses the first byte that
// needs a bit set (stored up to and including it); NOR-and never refuses; RAM overwrites.
TEST(FlashModel, ProgramsEveryBytePairByTheWriteRule)
{
    for (const WriteRule rule : {WriteRule::nor, WriteRule::nor_and, WriteRule::ram}) {
        for (unsigned old_byte = 0; old_byte < 256; ++old_byte) {
            for (unsigned new_byte = 0; new_byte < 256; ++new_byte) {
                // The pair sits between a byte that programs cleanly and one that needs
                // every bit set.
                Bytes cells{0xFF, static_cast<std::uint8_t>(old_byte), 0x00};
                const Bytes data{0x5A, static_cast<std::uint8_t>(new_byte), 0xFF};
                const flashsim::Programmed p = flashsim::program(rule, cells, data);
                const bool needs_set = (old_byte & new_byte) != new_byte;
                const auto anded = static_cast<std::uint8_t>(old_byte & new_byte);
                SCOPED_TRACE(testing::Message() << static_cast<int>(rule) << " " << old_byte << " " << new_byte);
                if (rule == WriteRule::ram) {
                    ASSERT_EQ(cells, data);
                } else {
                    ASSERT_EQ(cells, (Bytes{0x5A, anded, 0x00}));
                }
                // NOR stops at the pair when it needs a bit set, else at the third byte.
                ASSERT_EQ(p.stored, rule == WriteRule::nor && needs_set ? 2U : 3U);
                ASSERT_EQ(p.refused, rule == WriteRule::nor);
            }
        }
    }
}

TEST(FlashModel, RefusesAtTheFirstByteThatNeedsABitSet)
{
    struct Case {
        WriteRule rule;
        Bytes cells, data, after;
        std::size_t stored;
        bool refused;
    };
    const Case cases[] = {
        {WriteRule::nor, {0xFF, 0xFF, 0x0F, 0xFF, 0xFF}, {0x00, 0x00, 0x33, 0x00, 0x00}, {0x00, 0x00, 0x03, 0xFF, 0xFF}, 3, true},
        {WriteRule::nor, {0xF0, 0xFF}, {0x10, 0x01}, {0x10, 0x01}, 2, false},
        {WriteRule::nor, {0x00}, {0x01}, {0x00}, 1, true},
        {WriteRule::nor_and, {0xFF, 0x0F, 0xFF}, {0x00, 0x33, 0x00}, {0x00, 0x03, 0x00}, 3, false},
        {WriteRule::ram, {0x00, 0x0F}, {0xFF, 0x33}, {0xFF, 0x33}, 2, false},
        {WriteRule::nor, {}, {}, {}, 0, false},
    };
    for (const Case& c : cases) {
        Bytes cells = c.cells;
        const flashsim::Programmed p = flashsim::program(c.rule, cells, c.data);
        EXPECT_EQ(cells, c.after);
        EXPECT_EQ(p.stored, c.stored);
        EXPECT_EQ(p.refused, c.refused);
    }
}

TEST(FlashModel, ErasesOnlyWholeBlocksInsideTheDevice)
{
    struct Case {
        std::uint64_t start, length;
        bool fits;
    };
    const std::uint64_t size = 0x40000;   // four 64 KiB blocks
    const Case cases[] = {
        {0, 0x10000, true},        {0x30000, 0x10000, true}, {0, size, true},         {0, 0, true},
        {0x8000, 0x10000, false},  {0, 0x8000, false},       {0x40000, 0, false},     {0x30000, 0x20000, false},
        {0x10000, ~std::uint64_t{0} - 0xFFFF, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(flashsim::erase_fits(c.start, c.length, size, 0x10000), c.fits) << c.start << " " << c.length;
    }
}

// A torn write programs a prefix, leaves the next byte part-way between old and the
// programmed value, and touches nothing after it; under NOR it never passes the byte NOR
// refuses. The same seed leaves the same bytes.
TEST(FlashModel, TornWritesStopAtAPartlyProgrammedByteOverSeeds)
{
    for (const WriteRule rule : {WriteRule::nor, WriteRule::ram}) {
        for (std::uint64_t seed = 0; seed < 500; ++seed) {
            std::uint64_t state = seed * 7919;
            Bytes old_cells(64), data(64);
            for (std::size_t i = 0; i < old_cells.size(); ++i) {
                old_cells[i] = static_cast<std::uint8_t>(flashsim::next_random(state));
                data[i] = static_cast<std::uint8_t>(flashsim::next_random(state) & old_cells[i]);
            }
            // Every other seed, one byte that needs bits set, somewhere.
            if (seed % 2 == 1) {
                data[seed % 64] = static_cast<std::uint8_t>(~old_cells[seed % 64] | 0x01);
                old_cells[seed % 64] &= 0xFE;
            }
            Bytes cells = old_cells;
            const flashsim::TornWrite torn = flashsim::tear_write(rule, cells, data, seed);
            Bytes refused = old_cells;
            const std::size_t limit = rule == WriteRule::nor ? flashsim::program(rule, refused, data).stored : 64;
            SCOPED_TRACE(testing::Message() << "seed " << seed);
            ASSERT_EQ(torn.total, limit);
            ASSERT_LT(torn.done, torn.total);
            for (std::size_t i = 0; i < 64; ++i) {
                const auto target = static_cast<std::uint8_t>(rule == WriteRule::ram ? data[i] : old_cells[i] & data[i]);
                if (i < torn.done) {
                    ASSERT_EQ(cells[i], target) << i;
                } else if (i > torn.done) {
                    ASSERT_EQ(cells[i], old_cells[i]) << i;
                } else {
                    // Only bits that programming changes, some but not all of them when
                    // two or more differ.
                    const auto differ = static_cast<std::uint8_t>(old_cells[i] ^ target);
                    const auto flipped = static_cast<std::uint8_t>(old_cells[i] ^ cells[i]);
                    ASSERT_EQ(flipped & ~differ, 0);
                    if ((differ & (differ - 1)) != 0) {
                        ASSERT_NE(flipped, 0);
                        ASSERT_NE(flipped, differ);
                    }
                }
            }
            Bytes again = old_cells;
            flashsim::tear_write(rule, again, data, seed);
            ASSERT_EQ(again, cells);
        }
    }
}

// A torn erase erases exactly the blocks it says, the next one only gains set bits, and
// the same seed picks the same blocks and bits.
TEST(FlashModel, TornErasesEraseThePlannedBlocksAndPartOfTheNextOverSeeds)
{
    constexpr std::size_t kBlock = 4096;
    for (std::uint64_t blocks = 1; blocks <= 6; ++blocks) {
        for (std::uint64_t seed = 0; seed < 200; ++seed) {
            std::uint64_t state = 0;
            const std::uint64_t done = flashsim::torn_erase_blocks(blocks, seed, state);
            ASSERT_LT(done, blocks);
            Bytes block(kBlock);
            std::uint64_t fill = seed;
            for (std::uint8_t& b : block) {
                b = static_cast<std::uint8_t>(flashsim::next_random(fill));
            }
            Bytes partly = block;
            // In two pieces, as the device does for a block larger than its buffer.
            flashsim::partly_erase(std::span(partly).first(kBlock / 2), state);
            flashsim::partly_erase(std::span(partly).subspan(kBlock / 2), state);
            std::size_t gained = 0;
            for (std::size_t i = 0; i < kBlock; ++i) {
                ASSERT_EQ(partly[i] & block[i], block[i]) << "a bit was cleared at " << i;
                gained += partly[i] != block[i];
            }
            ASSERT_GT(gained, 0U);
            std::uint64_t again_state = 0;
            ASSERT_EQ(flashsim::torn_erase_blocks(blocks, seed, again_state), done);
            Bytes again = block;
            flashsim::partly_erase(again, again_state);
            ASSERT_EQ(again, partly);
        }
    }
}

std::string parsed(const char* text)
{
    flashsim::Layout layout{};
    char out[1024];
    if (!flashsim::parse_layout(text, "f", layout, out, sizeof out)) {
        return out;
    }
    flashsim::format_layout(layout, out, sizeof out);
    std::string starts;
    for (int i = 0; i < layout.count; ++i) {
        starts += ' ';
        starts += std::to_string(layout.parts[i].start);
    }
    return out + starts;
}

TEST(FlashModel, ReadsLayoutsInTheProcMtdForm)
{
    const std::string header = "dev:    size   erasesize  name\n";
    struct Case {
        const char* text;
        std::string expected;
    };
    const Case cases[] = {
        {"dev:    size   erasesize  name\nmtd0: 00020000 00002000 \"boot\"\nmtd1: 000e0000 00010000 \"kernel\"\n",
         header + "mtd0: 00020000 00002000 \"boot\"\nmtd1: 000e0000 00010000 \"kernel\"\n 0 131072"},
        {"mtd0: 0x1000 0x1000 \"a b\"\r\n\nmtd1: 10000 10000 \"c\"", header + "mtd0: 00001000 00001000 \"a b\"\nmtd1: 00010000 00010000 \"c\"\n 0 4096"},
        {"mtd1: 10000 10000 \"a\"\n", "bad layout 'f' line 1: expected the next device, mtdN: in flash order from mtd0"},
        {"mtd0: 10000 10000 \"a\"\nmtd0: 10000 10000 \"b\"\n", "bad layout 'f' line 2: expected the next device, mtdN: in flash order from mtd0"},
        {"mtd0: 18000 10000 \"a\"\n", "bad layout 'f' line 1: the size is not a nonzero multiple of the erase size below 4 GiB"},
        {"mtd0: 0 10000 \"a\"\n", "bad layout 'f' line 1: the size is not a nonzero multiple of the erase size below 4 GiB"},
        {"mtd0: 3000 3000 \"a\"\n", "bad layout 'f' line 1: the erase size is not a power of two of at least 0x1000"},
        {"mtd0: 800 800 \"a\"\n", "bad layout 'f' line 1: the erase size is not a power of two of at least 0x1000"},
        {"mtd0: 10000 10000 a\n", "bad layout 'f' line 1: expected a quoted name of 1 to 63 characters at the end"},
        {"mtd0: 10000 10000 \"\"\n", "bad layout 'f' line 1: expected a quoted name of 1 to 63 characters at the end"},
        {"mtd0: 10000 10000 \"a\" x\n", "bad layout 'f' line 1: expected a quoted name of 1 to 63 characters at the end"},
        {"mtd0: 1000z 1000 \"a\"\n", "bad layout 'f' line 1: expected a hexadecimal size and erase size"},
        {"mtd0: 10000\n", "bad layout 'f' line 1: expected a hexadecimal size and erase size"},
        {"dev:    size   erasesize  name\n", "bad layout 'f': no device"},
        {"", "bad layout 'f': no device"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parsed(c.text), c.expected) << c.text;
    }
    std::string seventeen;
    for (int i = 0; i < 17; ++i) {
        seventeen += "mtd" + std::to_string(i) + ": 1000 1000 \"p\"\n";
    }
    EXPECT_EQ(parsed(seventeen.c_str()), "bad layout 'f' line 17: more than 16 devices");
}

TEST(FlashModel, TheDevicesOwnLayoutIsFourMegabytesInFourParts)
{
    char out[512];
    flashsim::format_layout(flashsim::device_layout(), out, sizeof out);
    EXPECT_STREQ(out, "dev:    size   erasesize  name\n"
                      "mtd0: 00020000 00002000 \"boot\"\n"
                      "mtd1: 000e0000 00010000 \"kernel\"\n"
                      "mtd2: 00290000 00010000 \"rootfs\"\n"
                      "mtd3: 00070000 00010000 \"jffs\"\n");
    EXPECT_EQ(flashsim::device_layout().total(), 0x400000U);
    EXPECT_EQ(flashsim::device_layout().parts[3].start, 0x390000U);
}

// The piece maps scale with the flash: one bit per 64 KiB piece in 32-bit words, a range
// marks every piece it touches (across word boundaries), and a write past the map's end
// marks its last piece.
TEST(FlashModel, MarksThePiecesARangeTouchesInAMapSizedByTheFlash)
{
    struct Case {
        std::uint64_t flash, at, count;
        std::size_t words;
        std::vector<std::uint64_t> marked;
    };
    const std::uint64_t mib = 1 << 20;
    const Case cases[] = {
        {4 * mib, 0, 1, 2, {0}},
        {4 * mib, 0xFFFF, 2, 2, {0, 1}},
        {4 * mib, 0x10000, 0, 2, {}},
        {4 * mib, 5 * mib, 1, 2, {63}},
        {64 * mib, 31 * 0x10000 + 5, 0x10000, 32, {31, 32}},
        {64 * mib, 63 * mib, mib, 32, {1008, 1009, 1010, 1011, 1012, 1013, 1014, 1015, 1016, 1017, 1018, 1019,
                                        1020, 1021, 1022, 1023}},
        {0x50000 + 1, 0x50000, 1, 1, {5}},
    };
    for (const Case& c : cases) {
        std::vector<std::uint32_t> words(flashsim::piece_words(c.flash));
        ASSERT_EQ(words.size(), c.words) << c.flash;
        flashsim::mark_pieces(words.data(), words.size(), c.at, c.count);
        std::vector<std::uint64_t> marked;
        for (std::uint64_t piece = 0; piece < 32 * words.size(); ++piece) {
            if (flashsim::piece_marked(words.data(), words.size(), piece)) {
                marked.push_back(piece);
            }
        }
        EXPECT_EQ(marked, c.marked) << c.flash << " " << c.at << " " << c.count;
    }
}

}  // namespace
