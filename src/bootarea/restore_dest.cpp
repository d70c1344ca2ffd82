// The destination of readtempconf: the plain open's answer first, a replacement only where
// it keeps every promise of restore_dest.h, and a write in place everywhere else.
#include "bootarea/restore_dest.h"
#include "cli/cli.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// ---- Removal on a fatal signal ----------------------------------------------------------

// The signals that must remove the temporary file are the rules that say so in the run's
// signal policy; the state below keeps a slot for every rule.
using signal_policy::kRules;
constexpr int kRuleCount = sizeof kRules / sizeof kRules[0];

// The temporary file a fatal signal must remove. Set by RestoreDestination while the file
// exists (the name with those signals blocked, so that the handler never sees half of it),
// read only by remove_and_die. All zero at start, so it costs the binary no data.
struct PendingRemoval {
    int folder = 0;  // meaningful only while armed
    char name[NAME_MAX + 1] = {};
    volatile std::sig_atomic_t armed = 0;
    struct sigaction saved[kRuleCount] = {};
    bool installed[kRuleCount] = {};
};
PendingRemoval g_pending;

extern "C" void remove_and_die(int signal_number)
{
    if (g_pending.armed != 0) {
        unlinkat(g_pending.folder, g_pending.name, 0);
    }
    // SA_RESETHAND has put the default action back: the signal, raised again, ends the
    // process as it would have without us once the handler returns.
    raise(signal_number);
}

sigset_t fatal_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (const signal_policy::Rule& rule : kRules) {
        if (rule.removes_temporary) {
            sigaddset(&set, rule.number);
        }
    }
    return set;
}

// Only signals left at their default action are caught: one the caller ignores stays so.
void catch_fatal_signals()
{
    struct sigaction action {};
    action.sa_handler = remove_and_die;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kRuleCount; ++i) {
        struct sigaction old {};
        g_pending.installed[i] = kRules[i].removes_temporary &&
                                 sigaction(kRules[i].number, nullptr, &old) == 0 &&
                                 old.sa_handler == SIG_DFL &&
                                 sigaction(kRules[i].number, &action, &g_pending.saved[i]) == 0;
    }
}

void release_fatal_signals()
{
    g_pending.armed = 0;
    for (int i = 0; i < kRuleCount; ++i) {
        if (g_pending.installed[i]) {
            sigaction(kRules[i].number, &g_pending.saved[i], nullptr);
            g_pending.installed[i] = false;
        }
    }
}

// ---- The file and its attributes --------------------------------------------------------

[[nodiscard]] bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when the file is one of this process's standard streams (/dev/stdout redirected to
// a file, say): replacing it would leave the stream, and whoever shares it, writing into
// the old, unlinked file.
[[nodiscard]] bool is_standard_stream(const struct stat& file)
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        struct stat stream {};
        if (fstat(fd, &stream) == 0 && same_file(stream, file)) {
            return true;
        }
    }
    return false;
}

// Gives the file at fd the owner, group and permission bits of model; false when any of
// them cannot be kept (a group the user is not in, another user's file).
[[nodiscard]] bool copy_owner_and_mode(int fd, const struct stat& model)
{
    struct stat now {};
    if (fstat(fd, &now) != 0) {
        return false;
    }
    if ((now.st_uid != model.st_uid || now.st_gid != model.st_gid) &&
        fchown(fd, model.st_uid, model.st_gid) != 0) {
        return false;
    }
    // After the owner: a change of owner clears the set-user-ID and set-group-ID bits.
    const mode_t bits = model.st_mode & 07777U;
    return fchmod(fd, bits) == 0 && fstat(fd, &now) == 0 && now.st_uid == model.st_uid &&
           now.st_gid == model.st_gid && (now.st_mode & 07777U) == bits;
}

// A write by a user without the privilege to keep them clears the set-user-ID and
// set-group-ID bits, so a replacement written with them gets them again once its data is
// in; false when they do not hold. Nothing to do, and no call made, for a file without them.
[[nodiscard]] bool restore_id_bits(int fd, mode_t bits)
{
    if ((bits & (S_ISUID | S_ISGID)) == 0) {
        return true;
    }
    struct stat now {};
    return fchmod(fd, bits) == 0 && fstat(fd, &now) == 0 && (now.st_mode & 07777U) == bits;
}

// The names of fd's extended attributes, each ending in a NUL, into names; a file system
// without them gives none. False when they cannot be read whole.
[[nodiscard]] bool list_attributes(int fd, HeapBuffer& names, std::size_t& size)
{
    const ssize_t wanted = flistxattr(fd, nullptr, 0);
    if (wanted <= 0) {
        size = 0;
        return wanted == 0 || errno == ENOTSUP;
    }
    size = static_cast<std::size_t>(wanted);
    names = allocate_buffer(size);
    return names && flistxattr(fd, reinterpret_cast<char*>(names.get()), size) == wanted;
}

// True when the attribute name holds the same value on both files.
[[nodiscard]] bool same_attribute(int a, int b, const char* name)
{
    const ssize_t size = fgetxattr(a, name, nullptr, 0);
    if (size < 0 || fgetxattr(b, name, nullptr, 0) != size) {
        return false;
    }
    const auto length = static_cast<std::size_t>(size);
    const HeapBuffer first = allocate_buffer(length + 1);
    const HeapBuffer second = allocate_buffer(length + 1);
    return first && second && fgetxattr(a, name, first.get(), length) == size &&
           fgetxattr(b, name, second.get(), length) == size &&
           std::memcmp(first.get(), second.get(), length) == 0;
}

// True when the two files carry the same extended attributes with the same values: an
// access control list, a security label or a capability that the destination has and the
// temporary file lacks would be lost by the replacement; one that only the temporary file
// has (a folder's default ACL) would be gained. Either may let more users read the file.
[[nodiscard]] bool same_attributes(int a, int b)
{
    HeapBuffer names_a;
    HeapBuffer names_b;
    std::size_t size_a = 0;
    std::size_t size_b = 0;
    if (!list_attributes(a, names_a, size_a) || !list_attributes(b, names_b, size_b) ||
        size_a != size_b) {
        return false;
    }
    // Equal lengths, and every name of a on b: the same set, as names do not repeat.
    const char* names = reinterpret_cast<const char*>(names_a.get());
    for (std::size_t at = 0; at < size_a; at += std::strlen(names + at) + 1) {
        if (!same_attribute(a, b, names + at)) {
            return false;
        }
    }
    return true;
}

// Six characters for a temporary name; the exclusive create settles any collision.
void fill_unique_suffix(char* out)
{
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    static std::uint64_t state = 0;
    state += static_cast<std::uint64_t>(now.tv_nsec) ^
             (static_cast<std::uint64_t>(getpid()) << 32U) ^ 0x9E3779B97F4A7C15ULL;
    std::uint64_t mix = state;
    mix = (mix ^ (mix >> 30U)) * 0xBF58476D1CE4E5B9ULL;
    mix = (mix ^ (mix >> 27U)) * 0x94D049BB133111EBULL;
    for (int i = 0; i < 6; ++i) {
        out[i] = kLetters[mix % (sizeof kLetters - 1)];
        mix /= sizeof kLetters - 1;
    }
    out[6] = '\0';
}

// Creates a new file, readable and writable by its owner alone, named name, a dot and six
// characters, in folder; its name goes to temp_name. A descriptor open for reading and
// writing, or -1.
[[nodiscard]] int create_beside(int folder, const char* name, char* temp_name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int n = std::snprintf(temp_name, NAME_MAX + 1, "%s.", name);
        fill_unique_suffix(temp_name + n);
        const int fd = openat(folder, temp_name,
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

}  // namespace

RestoreDestination::~RestoreDestination()
{
    remove_temporary();
}

int RestoreDestination::open()
{
    return open_replacement() ? 0 : open_in_place();
}

int RestoreDestination::open_in_place()
{
    file_.reset(std::fopen(path_, "w"));
    if (!file_) {
        report_open_failure("fopen()", path_);
        return 1;
    }
    return 0;
}

// Decides by asking, and says nothing: false leaves no temporary file and sends the
// restore to the plain open.
bool RestoreDestination::open_replacement()
{
    struct stat named {};
    if (stat(path_, &named) != 0 || !S_ISREG(named.st_mode) || named.st_nlink != 1 ||
        is_standard_stream(named)) {
        return false;
    }
    // The plain open's question but for the truncation: O_CREAT brings in the rules for an
    // existing file opened as if to be created (fs.protected_regular refuses another user's
    // file in a world-writable sticky folder, even to root), O_WRONLY the permission bits,
    // a read-only mount, an immutable or append-only file.
    const UniqueFd probe(
        ::open(path_, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
    struct stat opened {};
    if (probe.get() < 0 || fstat(probe.get(), &opened) != 0 || !same_file(opened, named)) {
        return false;
    }
    // Then the truncation, to the file's own size so that no byte changes: a rule that
    // refuses only truncation (Landlock's truncate right) refuses this too.
    if (ftruncate(probe.get(), opened.st_size) != 0) {
        return false;
    }
    return open_folder(opened) && create_temporary(probe.get(), opened);
}

// Holds the folder that the file is in, links followed, and checks that the file's name
// there is the file that was opened. The temporary file and the rename stay in this
// folder even if its path comes to name another.
bool RestoreDestination::open_folder(const struct stat& file)
{
    char resolved[PATH_MAX];
    if (realpath(path_, resolved) == nullptr) {
        return false;
    }
    char* slash = std::strrchr(resolved, '/');
    if (slash == nullptr) {
        return false;
    }
    // Room for the temporary name: the name, a dot and six characters.
    const std::size_t length = std::strlen(slash + 1);
    if (length == 0 || length + 7 > NAME_MAX) {
        return false;
    }
    std::memcpy(name_, slash + 1, length + 1);
    slash[slash == resolved ? 1 : 0] = '\0';
    folder_ = UniqueFd(::open(resolved, O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat there {};
    return folder_.get() >= 0 &&
           fstatat(folder_.get(), name_, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(there.st_mode) && same_file(there, file);
}

bool RestoreDestination::create_temporary(int probe, const struct stat& model)
{
    catch_fatal_signals();
    const sigset_t fatal = fatal_set();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &fatal, &before);
    const int fd = create_beside(folder_.get(), name_, temp_name_);
    if (fd >= 0) {
        g_pending.folder = folder_.get();
        std::memcpy(g_pending.name, temp_name_, sizeof g_pending.name);
        g_pending.armed = 1;
    } else {
        temp_name_[0] = '\0';
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    temp_ = UniqueFd(fd);
    // Compared once owner and mode are set: a default ACL's mask follows the mode.
    mode_ = model.st_mode & 07777U;
    if (fd < 0 || !copy_owner_and_mode(fd, model) || !same_attributes(probe, fd)) {
        remove_temporary();
        return false;
    }
    held_ = allocate_buffer(std::max<std::uint32_t>(length_, 1));
    if (!held_) {
        remove_temporary();
        return false;
    }
    return true;
}

void RestoreDestination::remove_temporary() noexcept
{
    temp_.reset();
    if (temp_name_[0] != '\0') {
        unlinkat(folder_.get(), temp_name_, 0);
        temp_name_[0] = '\0';
    }
    release_fatal_signals();
}

int RestoreDestination::put(std::span<const std::uint8_t> piece)
{
    if (held_) {
        const std::size_t room = length_ - held_size_;
        const std::size_t taken = std::min(room, piece.size());
        std::memcpy(held_.get() + held_size_, piece.data(), taken);
        held_size_ += static_cast<std::uint32_t>(taken);
        return 0;
    }
    if (std::fwrite(piece.data(), 1, piece.size(), file_.get()) != piece.size()) {
        std::perror("fwrite()");
        return 1;
    }
    return 0;
}

// Writes and syncs the temporary file, then renames it over the destination, so that a
// power cut after the rename cannot leave an empty or partial file. False, silently, when
// any step fails (a full file system, a quota, a rename refused over a mount point).
bool RestoreDestination::replace()
{
    const int fd = temp_.release();
    const bool written = write_whole(fd, {held_.get(), held_size_}) &&
                         restore_id_bits(fd, mode_) && fsync(fd) == 0;
    if (close(fd) != 0 || !written ||
        renameat(folder_.get(), temp_name_, folder_.get(), name_) != 0) {
        return false;
    }
    temp_name_[0] = '\0';
    release_fatal_signals();
    return true;
}

// The replacement was given up after the data was complete: it is written as the plain
// open would have written it.
int RestoreDestination::write_in_place()
{
    UniqueFile file(std::fopen(path_, "w"));
    if (!file) {
        report_open_failure("fopen()", path_);
        return 1;
    }
    if (std::fwrite(held_.get(), 1, held_size_, file.get()) != held_size_ ||
        std::fflush(file.get()) != 0) {
        std::perror("fwrite()");
        return 1;
    }
    if (std::fclose(file.release()) != 0) {
        std::perror("fclose()");
        return 1;
    }
    return 0;
}

int RestoreDestination::commit()
{
    if (held_) {
        if (replace()) {
            return 0;
        }
        remove_temporary();
        return write_in_place();
    }
    if (std::fflush(file_.get()) != 0) {
        std::perror("fwrite()");
        return 1;
    }
    if (std::fclose(file_.release()) != 0) {
        std::perror("fclose()");
        return 1;
    }
    return 0;
}
