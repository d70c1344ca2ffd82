// model.cpp: the layout, the write rules, erase and torn plans (see model.h).
#include "model.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace flashsim {

const Layout& device_layout()
{
    static const Layout layout{{{"boot", 0x000000, 0x020000, 0x2000},
                                {"kernel", 0x020000, 0x0E0000, 0x10000},
                                {"rootfs", 0x100000, 0x290000, 0x10000},
                                {"jffs", 0x390000, 0x070000, 0x10000}},
                               4};
    return layout;
}

namespace {

// (std::string_view::starts_with may throw, which would pull the C++ runtime in.)
bool starts(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && std::memcmp(text.data(), prefix.data(), prefix.size()) == 0;
}

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view skip_spaces(std::string_view s)
{
    while (!s.empty() && is_space(s.front())) {
        s.remove_prefix(1);
    }
    return s;
}

// A hexadecimal number, with or without 0x, as the next word of s.
bool take_hex(std::string_view& s, std::uint64_t& value)
{
    s = skip_spaces(s);
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
    }
    std::size_t n = 0;
    value = 0;
    for (; n < s.size() && n < 16 && std::strchr("0123456789abcdefABCDEF", s[n]) != nullptr && s[n] != '\0'; ++n) {
        const char c = s[n];
        value = value * 16 + static_cast<std::uint64_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    s.remove_prefix(n);
    return n > 0 && (s.empty() || is_space(s.front()));
}

// Reads one row into part; returns nullptr or why it is refused.
const char* parse_row(std::string_view row, int index, Part& part)
{
    char node[16];
    const int n = std::snprintf(node, sizeof node, "mtd%d:", index);
    if (!starts(row, std::string_view(node, static_cast<std::size_t>(n)))) {
        return "expected the next device, mtdN: in flash order from mtd0";
    }
    row.remove_prefix(static_cast<std::size_t>(n));
    std::uint64_t size = 0;
    std::uint64_t erase = 0;
    if (!take_hex(row, size) || !take_hex(row, erase)) {
        return "expected a hexadecimal size and erase size";
    }
    row = skip_spaces(row);
    const std::size_t close = row.size() > 1 && row.front() == '"' ? row.find('"', 1) : std::string_view::npos;
    if (close == std::string_view::npos || close == 1 || close >= kNameMax ||
        !skip_spaces(std::string_view(row.data() + close + 1, row.size() - close - 1)).empty()) {
        return "expected a quoted name of 1 to 63 characters at the end";
    }
    if (erase < 4096 || (erase & (erase - 1)) != 0 || erase > 0x80000000ULL) {
        return "the erase size is not a power of two of at least 0x1000";
    }
    if (size == 0 || size % erase != 0 || size > 0xFFFFFFFFULL) {
        return "the size is not a nonzero multiple of the erase size below 4 GiB";
    }
    std::snprintf(part.label, sizeof part.label, "%.*s", static_cast<int>(close - 1), row.data() + 1);
    part.size = size;
    part.erase_size = static_cast<std::uint32_t>(erase);
    return nullptr;
}

}  // namespace

bool parse_layout(std::string_view text, std::string_view origin, Layout& out, char* message, std::size_t size)
{
    out.count = 0;
    std::uint64_t start = 0;
    int line = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view row = skip_spaces(std::string_view(text.data(), end == std::string_view::npos ? text.size() : end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++line;
        if (row.empty() || (out.count == 0 && starts(row, "dev:"))) {
            continue;
        }
        Part part{};
        const char* why = out.count < kMaxParts ? parse_row(row, out.count, part) : "more than 16 devices";
        if (why != nullptr) {
            std::snprintf(message, size, "bad layout '%.*s' line %d: %s", static_cast<int>(origin.size()),
                          origin.data(), line, why);
            return false;
        }
        part.start = start;
        start += part.size;
        out.parts[out.count++] = part;
    }
    if (out.count == 0) {
        std::snprintf(message, size, "bad layout '%.*s': no device", static_cast<int>(origin.size()), origin.data());
        return false;
    }
    return true;
}

std::size_t format_layout(const Layout& layout, char* out, std::size_t size)
{
    int length = std::snprintf(out, size, "dev:    size   erasesize  name\n");
    for (int i = 0; i < layout.count && length >= 0 && static_cast<std::size_t>(length) < size; ++i) {
        const Part& p = layout.parts[i];
        length += std::snprintf(out + length, size - static_cast<std::size_t>(length), "mtd%d: %08llx %08x \"%s\"\n", i,
                                static_cast<unsigned long long>(p.size), p.erase_size, p.label);
    }
    return length < 0 ? 0 : static_cast<std::size_t>(length) < size ? static_cast<std::size_t>(length) : size - 1;
}

Programmed program(WriteRule rule, std::span<std::uint8_t> cells, std::span<const std::uint8_t> data)
{
    for (std::size_t i = 0; i < cells.size(); ++i) {
        cells[i] = rule == WriteRule::ram ? data[i] : static_cast<std::uint8_t>(cells[i] & data[i]);
        if (rule == WriteRule::nor && cells[i] != data[i]) {
            return {i + 1, true};
        }
    }
    return {cells.size(), false};
}

bool erase_fits(std::uint64_t start, std::uint64_t length, std::uint64_t size, std::uint32_t erase_size)
{
    return start < size && length <= size - start && start % erase_size == 0 && length % erase_size == 0;
}

std::uint64_t next_random(std::uint64_t& state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::uint64_t torn_seed(std::uint64_t seed, std::uint64_t number)
{
    std::uint64_t state = seed;
    state = next_random(state) ^ number;
    return next_random(state);
}

std::size_t piece_words(std::uint64_t flash_size)
{
    const std::uint64_t pieces = (flash_size + kPiece - 1) >> kPieceShift;
    return static_cast<std::size_t>(pieces == 0 ? 1 : (pieces + 31) / 32);
}

void mark_pieces(std::uint32_t* words, std::size_t size, std::uint64_t at, std::uint64_t count)
{
    if (size == 0 || count == 0) {
        return;
    }
    const std::uint64_t last_piece = std::uint64_t{size} * 32 - 1;
    std::uint64_t first = at >> kPieceShift;
    std::uint64_t last = (at + count - 1) >> kPieceShift;
    first = first < last_piece ? first : last_piece;
    last = last < last_piece ? last : last_piece;
    for (std::uint64_t word = first / 32; word <= last / 32; ++word) {
        const std::uint64_t low = word * 32 > first ? 0 : first % 32;
        const std::uint64_t high = word * 32 + 31 < last ? 31 : last % 32;
        const std::uint32_t bits = static_cast<std::uint32_t>((~std::uint32_t{0} >> (31 - (high - low))) << low);
        if ((__atomic_load_n(&words[word], __ATOMIC_RELAXED) & bits) != bits) {
            __atomic_fetch_or(&words[word], bits, __ATOMIC_SEQ_CST);
        }
    }
}

bool piece_marked(const std::uint32_t* words, std::size_t size, std::uint64_t piece)
{
    return piece / 32 < size && (__atomic_load_n(&words[piece / 32], __ATOMIC_SEQ_CST) >> (piece % 32) & 1U) != 0;
}

namespace {

// Some of the bits in which from and to differ, chosen by random: at least one and not
// all of them when they differ in two or more.
std::uint8_t partly(std::uint8_t from, std::uint8_t to, std::uint64_t random)
{
    const auto differ = static_cast<std::uint8_t>(from ^ to);
    auto flip = static_cast<std::uint8_t>(differ & random);
    if ((differ & (differ - 1)) != 0) {
        if (flip == differ) {
            flip = static_cast<std::uint8_t>(flip & (flip - 1));   // not all: keep one as it was
        } else if (flip == 0) {
            flip = static_cast<std::uint8_t>(differ & -differ);     // at least the lowest
        }
    }
    return static_cast<std::uint8_t>(from ^ flip);
}

}  // namespace

TornWrite tear_write(WriteRule rule, std::span<std::uint8_t> cells, std::span<const std::uint8_t> data,
                     std::uint64_t seed)
{
    std::size_t total = cells.size();
    // A NOR write stops at its first byte that needs a bit set: the cut falls before.
    for (std::size_t i = 0; i < total && rule == WriteRule::nor; ++i) {
        if ((cells[i] & data[i]) != data[i]) {
            total = i + 1;
        }
    }
    if (total == 0) {
        return {0, 0};
    }
    std::uint64_t state = seed;
    const auto done = static_cast<std::size_t>(next_random(state) % total);
    program(rule, cells.first(done), data.first(done));
    const std::uint8_t target = rule == WriteRule::ram ? data[done] : static_cast<std::uint8_t>(cells[done] & data[done]);
    cells[done] = partly(cells[done], target, next_random(state));
    return {done, total};
}

std::uint64_t torn_erase_blocks(std::uint64_t blocks, std::uint64_t seed, std::uint64_t& state)
{
    state = seed;
    return blocks == 0 ? 0 : next_random(state) % blocks;
}

void partly_erase(std::span<std::uint8_t> cells, std::uint64_t& state)
{
    std::uint64_t random = 0;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i % 8 == 0) {
            random = next_random(state);
        }
        cells[i] = static_cast<std::uint8_t>(cells[i] | (random >> (8 * (i % 8))));
    }
}

}  // namespace flashsim
