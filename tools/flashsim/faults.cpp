// faults.cpp: the faults of FLASHSIM_FAULTS, read once per process, and the per-device
// call counters that the Nth-call faults count with.
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

bool parse_fault(const char* text, Fault& fault)
{
    static const struct {
        const char* word;
        FaultKind kind;
        bool has_device;
        bool has_arg;
    } kinds[] = {
        {"erase-fail", FaultKind::erase_fail, true, true},
        {"write-fail", FaultKind::write_fail, true, true},
        {"write-short", FaultKind::write_short, true, true},
        {"read-fail", FaultKind::read_fail, true, true},
        {"read-short", FaultKind::read_short, true, true},
        {"lseek-fail", FaultKind::lseek_fail, true, true},
        {"close-fail", FaultKind::close_fail, true, true},
        {"missing", FaultKind::missing, true, false},
        {"readonly", FaultKind::readonly, true, false},
        {"kill-after", FaultKind::kill_after, false, true},
        {"hup-after", FaultKind::hup_after, false, true},
        {"fail-op", FaultKind::fail_op, false, true},
        {"short-op", FaultKind::short_op, false, true},
        {"stop-before", FaultKind::stop_before, false, true},
    };
    char copy[128];
    std::snprintf(copy, sizeof copy, "%s", text);
    char* save = nullptr;
    const char* word = strtok_r(copy, ":", &save);
    if (word == nullptr) {
        return false;
    }
    for (const auto& k : kinds) {
        if (std::strcmp(word, k.word) != 0) {
            continue;
        }
        fault.kind = k.kind;
        fault.device[0] = '\0';
        fault.arg = 0;
        if (k.has_device) {
            const char* dev = strtok_r(nullptr, ":", &save);
            if (dev == nullptr) {
                return false;
            }
            std::snprintf(fault.device, sizeof fault.device, "%s", dev);
        }
        if (k.has_arg) {
            const char* arg = strtok_r(nullptr, ":", &save);
            if (arg == nullptr) {
                return false;
            }
            fault.arg = std::strtoull(arg, nullptr, 0);
        }
        return true;
    }
    return false;
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
    if (list == nullptr) {
        return;
    }
    char copy[1024];
    std::snprintf(copy, sizeof copy, "%s", list);
    char* save = nullptr;
    for (char* item = strtok_r(copy, ", ", &save); item != nullptr && g_fault_count < kMaxFaults;
         item = strtok_r(nullptr, ", ", &save)) {
        if (parse_fault(item, g_faults[g_fault_count])) {
            ++g_fault_count;
        } else {
            std::fprintf(stderr, "flashsim: bad fault '%s'\n", item);
            std::abort();
        }
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

}  // namespace flashsim
