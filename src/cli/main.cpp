// flashtool: one command per run over the MTD devices of the 4 MiB flash.
#include "cli/cli.h"
#include "flash/flash.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

[[noreturn]] void usage(const char* argv0)
{
    const std::string_view name = program_name(argv0);
    const int width = static_cast<int>(name.size());
    std::fprintf(stderr,
                 "usage: %.*s readenv\n       %.*s writeenv <source-filename>\n       %.*s erase "
                 "<device> <offset> <len>\n",
                 width, name.data(), width, name.data(), width, name.data());
    std::exit(1);
}

// A caller may start us with standard input, output or error closed. A device opened then
// would take that descriptor, and every message and progress entry would be written into
// the flash. /dev/null fills each closed slot first; one poll() tells which they are.
void fill_standard_descriptors()
{
    pollfd standard[3] = {{STDIN_FILENO, 0, 0}, {STDOUT_FILENO, 0, 0}, {STDERR_FILENO, 0, 0}};
    if (poll(standard, 3, 0) <= 0) {
        return;
    }
    for (const pollfd& slot : standard) {
        // The lowest free descriptor is the closed slot; without /dev/null nothing can
        // keep the output off the flash, so the run ends before any device is opened.
        if ((slot.revents & POLLNVAL) != 0 && open("/dev/null", O_RDWR) != slot.fd) {
            std::_Exit(1);
        }
    }
}

// Opens the command's devices in device order; the first failure ends the run.
Devices open_devices(const Command& command)
{
    const int mode = (command.read_only ? O_RDONLY : O_RDWR) | O_SYNC;
    Devices devices;
    for (int i = 0; i < flash_map::kDeviceCount; ++i) {
        if ((command.devices & (1U << i)) == 0) {
            continue;
        }
        const char* path = flash_map::kDevicePaths[i];
        devices.fd[i] = open(path, mode);
        if (devices.fd[i] < 0) {
            std::perror("open()");
            // The last device is reported by the error line alone.
            if (i != flash_map::kDeviceCount - 1) {
                std::printf("%s", path);
            }
            std::exit(1);
        }
    }
    return devices;
}

}  // namespace

int main(int argc, char* argv[])
{
    fill_standard_descriptors();
    bool http = false;
    const Command* command = parse_command(argc, argv, &http);
    if (command == nullptr) {
        usage(argv[0] != nullptr ? argv[0] : "");
    }
    if (http) {
        http_progress = 1;
    }
    // The devices stay open until the process ends; only /dev/mtd0 is closed explicitly.
    const Devices devices = open_devices(*command);
    // A broken pipe is logged and a hang-up ignored (signal_policy in cli.h).
    set_caller_loss_actions();
    // A writer holds every other signal that would end it until its flash work is done.
    sigset_t unheld{};
    if (command->writes) {
        unheld = hold_ending_signals();
    }
    // Taken once the handlers are armed, so that a writer whose caller hangs up or stops
    // reading while it waits still writes its image after the other writer instead of
    // dying unseen. A signal sent to end it is another matter: in the wait, before any
    // flash work, it ends the run at once (see hold_flash_lock).
    if (command->writes) {
        hold_flash_lock(devices.fd[0], unheld);
    }
    const int status = command->run(devices, {argv, static_cast<std::size_t>(argc)});
    if (close(devices.fd[0]) != 0) {
        std::perror("close()");
    }
    if (command->writes) {
        release_held_signals(unheld);
    }
    std::exit(status);
}
