// faults.cpp: FLASHSIM_FAULTS, read strictly once per process (a bad list ends the run:
// refuse_run), and what it says of each device operation. The one parser: the launcher asks
// it through flashsim_check_faults.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flashsim.h"

namespace flashsim {

namespace {

enum class FaultKind { erase_fail, write_fail, write_short, read_fail, read_short, lseek_fail,
                       close_fail, missing, readonly, kill_after, hup_after,
                       fail_op, short_op, stop_before, torn };

struct Fault {
    FaultKind kind;
    char device[kNameMax];
    std::uint64_t arg;
    std::uint64_t seed;   // torn: what the cut leaves
};

constexpr int kMaxFaults = 32;

Fault g_faults[kMaxFaults];
int g_fault_count = 0;
bool g_loaded = false;

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

// The items of a list: separated by commas, each with optional blanks before and after it
// (the form "a, b" reads as "a,b"). A blank inside an item is refused: "kill-after:3
// erase-fail:mtd2:1" is one item, not two. Calls each(item) until it returns false.
template <typename Each>
const char* split_list(const char* list, char* copy, std::size_t size, Each each)
{
    if (std::snprintf(copy, size, "%s", list) >= static_cast<int>(size)) {
        return "longer than 1023 bytes";
    }
    for (char* item = copy; item != nullptr;) {
        char* comma = std::strchr(item, ',');
        if (comma != nullptr) {
            *comma = '\0';
        }
        item += std::strspn(item, " \t");
        for (std::size_t n = std::strlen(item); n > 0 && (item[n - 1] == ' ' || item[n - 1] == '\t');) {
            item[--n] = '\0';
        }
        if (*item != '\0' && !each(item)) {
            return nullptr;
        }
        item = comma != nullptr ? comma + 1 : nullptr;
    }
    return nullptr;
}

// Whether a device named in a fault exists: the layout's mtdN, or any other name (a
// FLASHSIM_DIR's own file). Without a layout every name does.
bool device_exists(const Layout* layout, const char* device)
{
    unsigned n = 0;
    char rest = 0;
    return layout == nullptr || std::sscanf(device, "mtd%u%c", &n, &rest) != 1 || n < static_cast<unsigned>(layout->count);
}

// Says that item names a device the layout does not have, and which it has.
void refuse_device(const char* item, const char* device, const Layout& layout, char* message, std::size_t size)
{
    std::size_t used = 0;
    // Each piece is added where the last one ended, and a message cut short stays whole.
    const auto add = [&](int n) {
        const std::size_t next = used + static_cast<std::size_t>(n < 0 ? 0 : n);
        used = next < size ? next : size - 1;
    };
    add(std::snprintf(message, size, "bad fault '%s': the flash has no %s (its devices:", item, device));
    for (int i = 0; i < layout.count; ++i) {
        add(std::snprintf(message + used, size - used, " mtd%d", i));
    }
    std::snprintf(message + used, size - used, ")");
}

// Reads a whole list into faults (each item's text into items, when given), its devices
// judged against layout (nullptr: by their form alone); on a refusal, says which item and
// why in message.
bool parse_list(const char* list, Fault* faults, int& count, char* message, std::size_t size,
                const Layout* layout = nullptr, char (*items)[128] = nullptr)
{
    count = 0;
    char copy[1024];
    bool ok = true;
    const char* why = split_list(list, copy, sizeof copy, [&](const char* item) {
        Fault scratch{};
        Fault& fault = faults != nullptr && count < kMaxFaults ? faults[count] : scratch;
        const char* refusal = count >= kMaxFaults        ? "more than 32 faults"
                              : std::strpbrk(item, " \t") ? "faults are separated by commas"
                                                          : parse_fault(item, fault);
        if (refusal != nullptr) {
            std::snprintf(message, size, "bad fault '%s': %s", item, refusal);
            return ok = false;
        }
        if (!device_exists(layout, fault.device)) {
            refuse_device(item, fault.device, *layout, message, size);
            return ok = false;
        }
        if (items != nullptr) {
            std::snprintf(items[count], sizeof items[count], "%s", item);
        }
        ++count;
        return true;
    });
    if (why != nullptr) {
        std::snprintf(message, size, "bad fault list: %s", why);
        return false;
    }
    return ok;
}

// The Nth-call faults count each device's erases, lseeks and closes in this process.
struct Counter {
    char device[kNameMax];
    unsigned long calls[3];
};
Counter g_counters[kMaxFaults];
int g_counter_count = 0;

unsigned long count_call(const char* device, int which)
{
    for (int i = 0; i < g_counter_count; ++i) {
        if (std::strcmp(g_counters[i].device, device) == 0) {
            return ++g_counters[i].calls[which];
        }
    }
    Counter& c = g_counters[g_counter_count < kMaxFaults - 1 ? g_counter_count++ : kMaxFaults - 1];
    std::snprintf(c.device, sizeof c.device, "%s", device);
    c.calls[0] = c.calls[1] = c.calls[2] = 0;
    return ++c.calls[which];
}

// The first power cut of the list: a run has one power supply, so a later cut never comes.
const Fault* first_cut()
{
    const Fault* first = nullptr;
    for (int i = 0; i < g_fault_count; ++i) {
        const Fault& f = g_faults[i];
        if ((f.kind == FaultKind::kill_after || f.kind == FaultKind::torn) && (first == nullptr || f.arg < first->arg)) {
            first = &f;
        }
    }
    return first;
}

}  // namespace

const char* op_name(OpKind kind)
{
    static const char* const kNames[] = {"open", "read", "write", "lseek", "erase", "getinfo", "close"};
    return kNames[static_cast<int>(kind)];
}

long long Verdict::allowed(std::uint64_t pos, std::size_t count) const
{
    if (fail_at != kNowhere && fail_at >= pos && fail_at < pos + count) {
        return -1;
    }
    if (short_at != kNowhere && short_at >= pos && short_at < pos + count) {
        return static_cast<long long>(short_at - pos);
    }
    return static_cast<long long>(count);
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

bool is_missing(const char* device)
{
    for (int i = 0; i < g_fault_count; ++i) {
        if (g_faults[i].kind == FaultKind::missing && std::strcmp(g_faults[i].device, device) == 0) {
            return true;
        }
    }
    return false;
}

Verdict judge(OpKind kind, const char* device, unsigned long number)
{
    // The Nth-call faults and the fault each counts for.
    const int which = kind == OpKind::erase ? 0 : kind == OpKind::lseek ? 1 : kind == OpKind::close ? 2 : -1;
    const FaultKind nth = which == 0 ? FaultKind::erase_fail : which == 1 ? FaultKind::lseek_fail : FaultKind::close_fail;
    const unsigned long call = which >= 0 ? count_call(device, which) : 0;
    Verdict v;
    for (int i = 0; i < g_fault_count; ++i) {
        const Fault& f = g_faults[i];
        const bool at = f.arg == number;
        const bool mine = std::strcmp(f.device, device) == 0;
        v.fails |= (f.kind == FaultKind::fail_op && at) || (which >= 0 && f.kind == nth && mine && f.arg == call);
        v.halved |= f.kind == FaultKind::short_op && at;
        v.missing |= f.kind == FaultKind::missing && mine;
        v.readonly |= f.kind == FaultKind::readonly && mine;
        v.stop_before |= f.kind == FaultKind::stop_before && at;
        v.hangup_after |= f.kind == FaultKind::hup_after && at;
        // The first read- or write-fail and -short fault of the device counts.
        const bool transfer = mine && (kind == OpKind::read || kind == OpKind::write);
        const bool reads = kind == OpKind::read;
        if (transfer && v.fail_at == Verdict::kNowhere && f.kind == (reads ? FaultKind::read_fail : FaultKind::write_fail)) {
            v.fail_at = f.arg;
        }
        if (transfer && v.short_at == Verdict::kNowhere && f.kind == (reads ? FaultKind::read_short : FaultKind::write_short)) {
            v.short_at = f.arg;
        }
    }
    if (const Fault* cut = first_cut(); cut != nullptr && cut->arg == number) {
        v.cut = cut->kind == FaultKind::torn ? CutKind::inside : CutKind::after;
        v.seed = torn_seed(cut->seed, number);
    }
    return v;
}

}  // namespace flashsim

// The launcher's access to the fault rules, called through ctypes: it never splits or
// writes a fault list itself. Each returns 0 with its answer in out, or 1 with the
// refusal (one line) there.
#define FLASHSIM_EXPORT extern "C" __attribute__((visibility("default")))

// A list checked with these very rules, and (layout: a layout file's path, "" for the
// device's own, nullptr for none) its devices against the layout's.
FLASHSIM_EXPORT int flashsim_check_faults_on(const char* list, const char* layout, char* out, size_t size)
{
    int count = 0;
    if (size > 0) {
        out[0] = '\0';
    }
    flashsim::Layout devices{};
    if (layout != nullptr && !flashsim::read_layout(layout, devices, out, size)) {
        return 1;
    }
    return flashsim::parse_list(list != nullptr ? list : "", nullptr, count, out, size,
                                layout != nullptr ? &devices : nullptr) ? 0 : 1;
}

FLASHSIM_EXPORT int flashsim_check_faults(const char* list, char* out, size_t size)
{
    return flashsim_check_faults_on(list, nullptr, out, size);
}

// The fault of a cut point: the power cut right after operation number, or (inside) inside
// it, torn as seed decides.
FLASHSIM_EXPORT int flashsim_cut_fault(unsigned long number, int inside, uint64_t seed, char* out, size_t size)
{
    const int n = inside != 0 ? std::snprintf(out, size, "torn:%lu:%llu", number, static_cast<unsigned long long>(seed))
                              : std::snprintf(out, size, "kill-after:%lu", number);
    return n < 0 || static_cast<size_t>(n) >= size ? 1 : 0;
}

// A plain run's --torn: the list with each kill-after:N made a cut inside N, torn as seed
// decides, the other faults kept as they are.
FLASHSIM_EXPORT int flashsim_torn_faults(const char* list, uint64_t seed, char* out, size_t size)
{
    flashsim::Fault faults[flashsim::kMaxFaults];
    char items[flashsim::kMaxFaults][128];
    int count = 0;
    if (size == 0 || !flashsim::parse_list(list != nullptr ? list : "", faults, count, out, size, nullptr, items)) {
        return 1;
    }
    out[0] = '\0';
    for (int i = 0; i < count; ++i) {
        const std::size_t used = std::strlen(out);
        const bool cut = faults[i].kind == flashsim::FaultKind::kill_after;
        const int n = cut ? std::snprintf(out + used, size - used, "%storn:%llu:%llu", i > 0 ? "," : "",
                                          static_cast<unsigned long long>(faults[i].arg),
                                          static_cast<unsigned long long>(seed))
                          : std::snprintf(out + used, size - used, "%s%s", i > 0 ? "," : "", items[i]);
        if (n < 0 || static_cast<std::size_t>(n) >= size - used) {
            std::snprintf(out, size, "bad fault list: too long");
            return 1;
        }
    }
    return 0;
}
