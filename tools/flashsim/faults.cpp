// faults.cpp: the faults of FLASHSIM_FAULTS, read strictly once per process (a bad list ends
// the run: see refuse_run), and the per-device call counters of the Nth-call faults.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "flashsim.h"

namespace flashsim {

namespace {

constexpr int kMaxFaults = 32;

Fault g_faults[kMaxFaults];
int g_fault_count = 0;
bool g_loaded = false;
Counter g_counters[kMaxFaults];
int g_counter_count = 0;

// How a fault's number reads: a device offset (0 allowed) or the Nth call or operation
// (counted from 1).
enum class Arg { none, offset, count };

struct KindRule {
    const char* word;
    FaultKind kind;
    bool has_device;
    Arg arg;
    bool has_seed;
};

constexpr KindRule kKinds[] = {
    {"erase-fail", FaultKind::erase_fail, true, Arg::count, false},
    {"write-fail", FaultKind::write_fail, true, Arg::offset, false},
    {"write-short", FaultKind::write_short, true, Arg::offset, false},
    {"read-fail", FaultKind::read_fail, true, Arg::offset, false},
    {"read-short", FaultKind::read_short, true, Arg::offset, false},
    {"lseek-fail", FaultKind::lseek_fail, true, Arg::count, false},
    {"close-fail", FaultKind::close_fail, true, Arg::count, false},
    {"missing", FaultKind::missing, true, Arg::none, false},
    {"readonly", FaultKind::readonly, true, Arg::none, false},
    {"kill-after", FaultKind::kill_after, false, Arg::count, false},
    {"torn", FaultKind::torn, false, Arg::count, true},
    {"hup-after", FaultKind::hup_after, false, Arg::count, false},
    {"fail-op", FaultKind::fail_op, false, Arg::count, false},
    {"short-op", FaultKind::short_op, false, Arg::count, false},
    {"stop-before", FaultKind::stop_before, false, Arg::count, false},
};

// A whole decimal or 0x-prefixed hexadecimal number, nothing else.
bool parse_number(const char* text, std::uint64_t& value)
{
    if (*text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 0);
    return errno == 0 && *end == '\0';
}

// Reads one fault; returns nullptr, or why it is refused.
const char* parse_fault(const char* text, Fault& fault)
{
    char copy[128];
    if (std::snprintf(copy, sizeof copy, "%s", text) >= static_cast<int>(sizeof copy)) {
        return "too long";
    }
    char* fields[5] = {};
    int count = 0;
    for (char* p = copy; count < 5;) {
        fields[count++] = p;
        p = std::strchr(p, ':');
        if (p == nullptr) {
            break;
        }
        *p++ = '\0';
    }
    const KindRule* rule = nullptr;
    for (const KindRule& k : kKinds) {
        if (std::strcmp(fields[0], k.word) == 0) {
            rule = &k;
        }
    }
    if (rule == nullptr) {
        return "unknown fault";
    }
    const int wanted = 1 + int{rule->has_device} + int{rule->arg != Arg::none} + int{rule->has_seed};
    if (count < wanted) {
        return rule->has_device && count == 1 ? "missing device" : "missing number";
    }
    if (count > wanted) {
        return "too many fields";
    }
    fault = Fault{rule->kind, {}, 0, 0};
    int next = 1;
    if (rule->has_device) {
        const char* device = fields[next++];
        if (*device == '\0' || std::strlen(device) >= kNameMax) {
            return "bad device name";
        }
        std::snprintf(fault.device, sizeof fault.device, "%s", device);
    }
    if (rule->arg != Arg::none) {
        if (!parse_number(fields[next++], fault.arg)) {
            return "not a number";
        }
        if (rule->arg == Arg::count && fault.arg == 0) {
            return "counts start at 1";
        }
    }
    if (rule->has_seed && !parse_number(fields[next], fault.seed)) {
        return "seed is not a number";
    }
    return nullptr;
}

// Reads a whole list into faults; on a refusal, says which item and why in message.
bool parse_list(const char* list, Fault* faults, int& count, char* message, std::size_t size)
{
    count = 0;
    char copy[1024];
    if (std::snprintf(copy, sizeof copy, "%s", list) >= static_cast<int>(sizeof copy)) {
        std::snprintf(message, size, "bad fault list: longer than %zu bytes", sizeof copy - 1);
        return false;
    }
    char* save = nullptr;
    for (char* item = strtok_r(copy, ", ", &save); item != nullptr; item = strtok_r(nullptr, ", ", &save)) {
        Fault scratch{};
        const char* why = count < kMaxFaults ? parse_fault(item, faults != nullptr ? faults[count] : scratch)
                                             : "more than 32 faults";
        if (why != nullptr) {
            std::snprintf(message, size, "bad fault '%s': %s", item, why);
            return false;
        }
        ++count;
    }
    return true;
}

}  // namespace

Counter& counter_for(const char* name)
{
    for (int i = 0; i < g_counter_count; ++i) {
        if (std::strcmp(g_counters[i].device, name) == 0) {
            return g_counters[i];
        }
    }
    Counter& c = g_counters[g_counter_count < kMaxFaults - 1 ? g_counter_count++ : kMaxFaults - 1];
    std::snprintf(c.device, sizeof c.device, "%s", name);
    return c;
}

void load_faults()
{
    if (g_loaded) {
        return;
    }
    g_loaded = true;
    const char* list = std::getenv("FLASHSIM_FAULTS");
    char message[256];
    if (list != nullptr && !parse_list(list, g_faults, g_fault_count, message, sizeof message)) {
        g_fault_count = 0;
        refuse_run(message);
    }
}

const Fault* find_fault(FaultKind kind, const char* device)
{
    load_faults();
    for (int i = 0; i < g_fault_count; ++i) {
        if (g_faults[i].kind == kind && std::strcmp(g_faults[i].device, device) == 0) {
            return &g_faults[i];
        }
    }
    return nullptr;
}

bool has_fault_at(FaultKind kind, unsigned long number)
{
    for (int i = 0; i < g_fault_count; ++i) {
        if (g_faults[i].kind == kind && g_faults[i].arg == number) {
            return true;
        }
    }
    return false;
}

std::uint64_t torn_random(std::uint64_t& state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

unsigned long cut_number()
{
    unsigned long first = 0;
    for (int i = 0; i < g_fault_count; ++i) {
        const Fault& f = g_faults[i];
        if ((f.kind == FaultKind::kill_after || f.kind == FaultKind::torn) && (first == 0 || f.arg < first)) {
            first = static_cast<unsigned long>(f.arg);
        }
    }
    return first;
}

const Fault* fault_at(FaultKind kind, unsigned long number)
{
    for (int i = 0; i < g_fault_count; ++i) {
        if (g_faults[i].kind == kind && g_faults[i].arg == number) {
            return &g_faults[i];
        }
    }
    return nullptr;
}

}  // namespace flashsim

// The launcher checks a fault list with these very rules before it starts a run.
extern "C" __attribute__((visibility("default"))) int flashsim_check_faults(const char* list, char* message,
                                                                         size_t size)
{
    int count = 0;
    if (size > 0) {
        message[0] = '\0';
    }
    return flashsim::parse_list(list != nullptr ? list : "", nullptr, count, message, size) ? 0 : 1;
}
