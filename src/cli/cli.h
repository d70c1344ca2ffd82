// cli.h: the command front end and the flash map.
// Owns the fixed layout of the 4 MiB flash (devices, boot-area regions, whole-flash image,
// system windows), the command table (word, argument rule, devices, handler), the parse
// of one command line into one command, the lock that keeps flash writers apart and the
// run's signal policy: which signals are ignored, logged, held by a writer and let through
// while it waits for the lock, in one table.
// Parsing prints nothing; each command's handler prints the front end's own lines around
// its one call.
#pragma once

#include <csignal>
#include <cstdint>
#include <span>
#include <string_view>

// A byte range inside one device, or of the whole flash.
struct Region {
    std::uint32_t offset;
    std::uint32_t length;
    [[nodiscard]] constexpr std::uint32_t end() const noexcept { return offset + length; }
    [[nodiscard]] constexpr bool contains(std::uint32_t at) const noexcept
    {
        return at >= offset && at - offset < length;
    }
};

namespace flash_map {

// The four MTD devices lie back to back over the flash, /dev/mtd0 first.
inline constexpr int kDeviceCount = 4;
inline constexpr Region kMtd0{0x000000, 0x20000};
inline constexpr Region kMtd1{kMtd0.end(), 0xE0000};
inline constexpr Region kMtd2{kMtd1.end(), 0x290000};
inline constexpr Region kMtd3{kMtd2.end(), 0x70000};
inline constexpr Region kDevices[kDeviceCount] = {kMtd0, kMtd1, kMtd2, kMtd3};
inline constexpr std::uint32_t kFlashSize = kMtd3.end();
inline constexpr const char* kDevicePaths[kDeviceCount] = {"/dev/mtd0", "/dev/mtd1", "/dev/mtd2",
                                                           "/dev/mtd3"};

// Regions inside /dev/mtd0 (device offsets, which are also absolute addresses there).
inline constexpr std::uint32_t kBlock = 0x2000;
inline constexpr Region kL1Area{0x0000, kBlock};
inline constexpr Region kBootEnv{0x4000, kBlock};
inline constexpr Region kProtectedWindow{0x6000, kBlock};
inline constexpr Region kL1Magic{0x8000, kBlock};
inline constexpr Region kTempConf{0xC000, kBlock};
inline constexpr Region kL2Boot{0x10000, 0x10000};

// The words that writel1 stamps at the start of the level-one magic block.
inline constexpr std::uint32_t kL1MagicWord = 0x0A445656;
inline constexpr std::uint32_t kL1ValueWord = 0x10010000;

// Windows of the partition-table system upgrade, as absolute flash ranges. They are the
// ranges of /dev/mtd1 to /dev/mtd3 in the fixed layout.
inline constexpr int kSystemImageCount = 3;
inline constexpr Region kSystemWindows[kSystemImageCount] = {kMtd1, kMtd2, kMtd3};

static_assert(kFlashSize == 0x400000);
static_assert(kL2Boot.end() == kMtd0.length);

}  // namespace flash_map

// The descriptors of /dev/mtd0 to /dev/mtd3, -1 where a device is not open.
struct Devices {
    int fd[flash_map::kDeviceCount] = {-1, -1, -1, -1};
};

// Bits of Command::devices: which of /dev/mtd0../dev/mtd3 a command opens.
enum DeviceSet : unsigned { kUsesMtd0 = 1U, kUsesMtd1 = 2U, kUsesMtd2 = 4U, kUsesMtd3 = 8U, kUsesAll = 15U };

struct Command {
    std::string_view word;
    int argc;           // the count the word accepts...
    bool or_more;       // ...or at least that count
    int http_index;     // argv position where "HTTP" selects compact progress, 0 for none
    bool read_only;     // open the devices read-only instead of read-write
    bool writes;        // erases or writes the flash: holds the flash lock while it runs
    unsigned devices;   // DeviceSet bits, opened in device order before the call
    int (*run)(const Devices& devices, std::span<char* const> argv);
};

// The command chosen for (argv[1], argc), or nullptr when no word accepts the pair. Sets
// *http when "HTTP" stands where the command allows it. Prints nothing.
[[nodiscard]] const Command* parse_command(int argc, char* const argv[], bool* http);

// The part of argv[0] after its last '/'.
[[nodiscard]] std::string_view program_name(const char* argv0);

// Every command in parse order.
[[nodiscard]] std::span<const Command> command_table();

// Takes an advisory write lock on the whole of /dev/mtd0 through its read-write descriptor
// fd (an open file description lock, fcntl F_OFD_SETLK), which the kernel releases when
// the descriptor is closed or the process ends. When another process
// holds it, prints one line on standard error saying so and waits for it through
// wait_letting_ending_signals_through(while_waiting): a signal that would end the run then
// ends it in the wait, before it touched the flash. The mask it was called with is back
// when it returns. Any other failure to lock (a file system without locks, say) is
// silent: the run goes on unlocked.
void hold_flash_lock(int fd, const sigset_t& while_waiting);

// ---- Signals ----------------------------------------------------------------------------

namespace signal_policy {

// What a run does with a signal whose default action would end it. Not in the table, and
// left at their default action: the faults that only a broken program raises on itself
// (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS), SIGABRT, which abort() raises
// regardless, and SIGKILL and SIGSTOP, which no program can catch or block.
enum class Policy : unsigned char {
    // Ignored by every command: a hang-up is the same loss of the caller as a broken pipe,
    // and its default action would end the run between an erase and the write after it.
    kIgnored,
    // Caught by every command, which logs the loss of its reader and carries on, so that
    // no half-written flash is left behind; output after it is lost.
    kLogged,
    // Held by a writer through its flash work and let through while it waits for the
    // flash lock, where nothing of its own is on the flash yet and it ends the run at once.
    kHeld,
    // Never held: the run's own write past the file-size limit raises it.
    kNotHeld,
};

struct Rule {
    int number;
    Policy policy;
    // readtempconf's replacement catches it to remove its temporary file first: the
    // signals a caller sends to stop a run, and the file-size limit.
    bool removes_temporary;
};

// Every signal the run acts on, in the order the replacement installs its handlers. The
// real-time signals follow the kHeld rows without being listed (their numbers are known
// only at run time): held and let through, left alone by the replacement.
inline constexpr Rule kRules[] = {
    {SIGPIPE, Policy::kLogged, false},   {SIGHUP, Policy::kIgnored, false},
    {SIGINT, Policy::kHeld, true},       {SIGQUIT, Policy::kHeld, true},
    {SIGTERM, Policy::kHeld, true},      {SIGALRM, Policy::kHeld, true},
    {SIGUSR1, Policy::kHeld, true},      {SIGUSR2, Policy::kHeld, true},
    {SIGXCPU, Policy::kHeld, true},      {SIGXFSZ, Policy::kNotHeld, true},
    {SIGVTALRM, Policy::kHeld, true},    {SIGPROF, Policy::kHeld, true},
    {SIGIO, Policy::kHeld, false},       {SIGPWR, Policy::kHeld, false},
#ifdef SIGSTKFLT
    {SIGSTKFLT, Policy::kHeld, false},
#endif
};

}  // namespace signal_policy

// Gives every command the kIgnored and kLogged actions, before any device work or wait.
void set_caller_loss_actions();

// Blocks every kHeld signal, the real-time ones included, so that a writer runs to its
// end; returns the signal mask to restore. Only SIGKILL, or a power cut, can stop it
// half-way.
[[nodiscard]] sigset_t hold_ending_signals();

// Runs wait(argument) with the signal mask while_waiting (the one hold_ending_signals()
// returned), so that a held signal sent meanwhile ends the run in the wait; then holds them
// again. One that is pending by then (it came as the wait ended, or an emulator delivered
// it late) ends the run there too, before the caller does anything more. Prints nothing.
void wait_letting_ending_signals_through(const sigset_t& while_waiting, void (*wait)(int),
                                         int argument);

// Flushes standard output, then restores the mask that hold_ending_signals() returned: a
// signal that came while it was held now takes its action, by default ending the run with
// that signal's status.
void release_held_signals(const sigset_t& previous);
