// config.cpp: the configuration of this process, read from the environment once, when the
// library is loaded (the variables are described at the top of flashsim.cpp), and the
// layout files of FLASHSIM_LAYOUT.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "flashsim.h"

namespace flashsim {

namespace {

constinit Config g_config;   // set once by load_config(), when the library is loaded

// A copy of a variable (nullptr when unset): a program may change its environment later.
const char* keep(const char* name, char* out, std::size_t size)
{
    const char* value = std::getenv(name);
    if (value == nullptr || std::snprintf(out, size, "%s", value) >= static_cast<int>(size)) {
        return nullptr;
    }
    return out;
}

bool is(const char* name, const char* value)
{
    const char* set = std::getenv(name);
    return set != nullptr && std::strcmp(set, value) == 0;
}

}  // namespace

bool read_layout(const char* path, Layout& layout, char* message, std::size_t size)
{
    if (path == nullptr || *path == '\0') {
        layout = device_layout();
        return true;
    }
    char text[8192];
    const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
    long n = fd < 0 ? -1 : syscall(SYS_read, fd, text, sizeof text);
    if (fd >= 0) {
        syscall(SYS_close, fd);
    }
    if (n < 0 || n == static_cast<long>(sizeof text)) {
        std::snprintf(message, size, "bad layout '%s': %s", path, n < 0 ? "cannot be read" : "longer than 8 KiB");
        return false;
    }
    return parse_layout(std::string_view(text, static_cast<std::size_t>(n)), path, layout, message, size);
}

void load_config()
{
    Config& c = g_config;
    c.image = keep("FLASHSIM_IMAGE", c.image_path, sizeof c.image_path);
    c.dir = c.image != nullptr ? nullptr : keep("FLASHSIM_DIR", c.dir_path, sizeof c.dir_path);
    c.rule = is("FLASHSIM_RAM", "1") ? WriteRule::ram : is("FLASHSIM_NOR", "and") ? WriteRule::nor_and : WriteRule::nor;
    const char* delay = std::getenv("FLASHSIM_DELAY_US");
    c.delay_us = delay != nullptr ? std::strtol(delay, nullptr, 0) : 0;
    c.delay_us = c.delay_us > 0 ? c.delay_us : 0;
    c.log = keep("FLASHSIM_LOG", c.log_path, sizeof c.log_path);
    c.trace = std::getenv("FLASHSIM_TRACE") != nullptr;
    c.run = keep("FLASHSIM_RUN", c.run_path, sizeof c.run_path);
    c.run = c.run != nullptr && *c.run != '\0' ? c.run : nullptr;
    c.written = keep("FLASHSIM_WRITTEN", c.written_path, sizeof c.written_path);
    c.base = c.image != nullptr ? keep("FLASHSIM_BASE", c.base_path, sizeof c.base_path) : nullptr;
    c.base = c.base != nullptr && *c.base != '\0' ? c.base : nullptr;
    c.rename_fail = std::getenv("FLASHSIM_RENAME_FAIL") != nullptr;
    c.layout_ok = read_layout(std::getenv("FLASHSIM_LAYOUT"), c.layout, c.layout_message, sizeof c.layout_message);
}

const Config& config()
{
    return g_config;
}

}  // namespace flashsim

// The launcher's view of a layout: the text /proc/mtd shows for it, or why it is refused.
extern "C" __attribute__((visibility("default"))) int flashsim_layout(const char* path, char* out, size_t size)
{
    flashsim::Layout layout{};
    if (!flashsim::read_layout(path, layout, out, size)) {
        return 1;
    }
    flashsim::format_layout(layout, out, size);
    return 0;
}
