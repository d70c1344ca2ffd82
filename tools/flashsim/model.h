// model.h: the flash as the chip sees it: the layout of its devices, what programming and
// erasing do to the cells, and what a power cut inside a write or an erase leaves. Pure
// functions over byte spans: no file, no environment, no process, so that they are tested
// without the preload (tests/unit/flashsim_model_test.cpp). The device layer reads the
// cells, asks the model, and stores what it answers.
#ifndef FLASHSIM_MODEL_H
#define FLASHSIM_MODEL_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace flashsim {

constexpr std::size_t kNameMax = 64;
constexpr int kMaxParts = 16;

// One device of the flash, in flash order: /dev/mtdN is parts[N].
struct Part {
    char label[kNameMax];       // the partition's name, as /proc/mtd gives it
    std::uint64_t start;        // where it starts in the whole flash
    std::uint64_t size;
    std::uint32_t erase_size;
};

struct Layout {
    Part parts[kMaxParts];
    int count;
    [[nodiscard]] std::uint64_t total() const { return count == 0 ? 0 : parts[count - 1].start + parts[count - 1].size; }
};

// The device's own flash map: boot, kernel, rootfs and jffs in 4 MiB. Kept apart from the
// tool's map on purpose: the simulator is what checks it.
const Layout& device_layout();

// Reads a layout in the /proc/mtd form: an optional "dev:    size   erasesize  name" header,
// then "mtdN: SIZE ERASESIZE "NAME"" rows (hexadecimal, N counting from 0 in flash order).
// Each erase size is a power of two of at least 4 KiB and each size a nonzero multiple of
// its erase size below 4 GiB. Returns false with one line in message (no "flashsim: ").
bool parse_layout(std::string_view text, std::string_view origin, Layout& out, char* message, std::size_t size);

// The layout as /proc/mtd lists it. Returns the length written (truncated to fit).
std::size_t format_layout(const Layout& layout, char* out, std::size_t size);

// What a write does to the cells it covers.
enum class WriteRule {
    nor,       // NOR under the CFI driver: clears bits only; stops with EIO at the first
               // byte that needs a bit set, that byte and the ones before it old AND new
    nor_and,   // NOR that stores old AND new silently (FLASHSIM_NOR=and)
    ram,       // block2mtd (FLASHSIM_RAM=1): overwrites
};

// Programs data over cells (the same length) in place. Returns how many cells were
// programmed: all of them, or for WriteRule::nor up to and including the first byte that
// needs a bit set, which makes the write fail with EIO (refused set).
struct Programmed {
    std::size_t stored;
    bool refused;
};
Programmed program(WriteRule rule, std::span<std::uint8_t> cells, std::span<const std::uint8_t> data);

// Whether MEMERASE may erase [start, start + length) of a device: inside it and in whole
// blocks (else EINVAL).
bool erase_fits(std::uint64_t start, std::uint64_t length, std::uint64_t size, std::uint32_t erase_size);

// The numbers that decide what a torn cut leaves (splitmix64 over the fault's seed).
std::uint64_t next_random(std::uint64_t& state);

// What a torn cut inside operation number leaves is decided by this mix of the fault's
// seed and the number (splitmix64 over both), so that the cuts of one campaign, with one
// seed, tear their operations at different places, and the same seed and number always
// leave the same bytes.
std::uint64_t torn_seed(std::uint64_t seed, std::uint64_t number);

// The pieces of a flash image that a map marks (written, or held apart from a base
// image): bit i stands for bytes [i * kPiece, (i + 1) * kPiece), bit i % 32 of 32-bit word
// i / 32 (every target has atomic operations on 32-bit words), as many words as the flash
// needs.
constexpr unsigned kPieceShift = 16;
constexpr std::uint64_t kPiece = std::uint64_t{1} << kPieceShift;
std::size_t piece_words(std::uint64_t flash_size);
// Marks, atomically, every piece that [at, at + count) touches; one past the map marks
// its last piece (a backing file longer than its layout).
void mark_pieces(std::uint32_t* words, std::size_t size, std::uint64_t at, std::uint64_t count);
bool piece_marked(const std::uint32_t* words, std::size_t size, std::uint64_t piece);

// A write the power cut falls in (torn:N:SEED), planned over the cells it covers: the
// first `done` bytes are programmed, done = the seed's first number modulo `total`, and the
// byte after them is left partly programmed (some of the bits programming would change,
// at least one and not all when two or more differ). Under WriteRule::nor the write never
// reaches past the first byte NOR refuses: total stops there. cells changes in place;
// bytes from done + 1 on are untouched.
struct TornWrite {
    std::size_t done;
    std::size_t total;
};
TornWrite tear_write(WriteRule rule, std::span<std::uint8_t> cells, std::span<const std::uint8_t> data,
                     std::uint64_t seed);

// An erase of `blocks` blocks that the power cut falls in: the first `done` blocks are
// erased, done = the seed's first number modulo blocks, the block after them partly erased
// (partly_erase, with the same state), and the later blocks are untouched.
std::uint64_t torn_erase_blocks(std::uint64_t blocks, std::uint64_t seed, std::uint64_t& state);
// Sets some of the bits of a partly erased block: each byte ORed with the next bits of the
// state's numbers, 8 bytes per number. Called over the block's bytes in order, in pieces
// that are multiples of 8.
void partly_erase(std::span<std::uint8_t> cells, std::uint64_t& state);

}  // namespace flashsim

#endif
