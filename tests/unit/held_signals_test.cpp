// The signals a writer holds: each is kept from ending the process while held and ends it,
// with its own status, once let go; the caller's own mask comes back as it was. A writer
// that waits for the flash lock is the exception: there a signal ends it at once.
#include "cli/cli.h"
#include "temp_path.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Gives the test process, and so every child it forks, the signal dispositions and mask
// the tests rely on, whatever the test run was started with: an ignored signal survives
// fork and exec (nohup ignores SIGHUP, a shell's background job SIGINT and SIGQUIT), and so
// does a blocked one, and a child sent either would not end as the tests expect.
class DefaultSignals : public ::testing::Environment {
public:
    void SetUp() override
    {
        // Only the ending signals the tests send: the others (SIGXFSZ, which a test of
        // the configuration record ignores on purpose, and those an emulator keeps for
        // itself) stay as they are.
        sigset_t ending;
        sigemptyset(&ending);
        for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM}) {
            struct sigaction now {};
            if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) {
                signal(sig, SIG_DFL);
            }
            sigaddset(&ending, sig);
        }
        sigprocmask(SIG_UNBLOCK, &ending, nullptr);
    }
};

// gtest owns the environment from here on.
::testing::Environment* const kDefaultSignals =
    ::testing::AddGlobalTestEnvironment(new DefaultSignals);

// Forks a child that holds, is sent sig, writes one byte to the pipe (it is still alive),
// then lets go. Returns the child's wait status; *alive says whether the byte came.
int held_then_released(int sig, bool* alive)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        return -1;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        const sigset_t previous = hold_ending_signals();
        kill(getpid(), sig);
        const char byte = 'x';
        const bool written = write(pipe_fds[1], &byte, 1) == 1;
        release_held_signals(previous);
        _exit(written ? 0 : 2);
    }
    close(pipe_fds[1]);
    char byte = 0;
    *alive = read(pipe_fds[0], &byte, 1) == 1;
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

TEST(HeldSignals, EachEndsTheRunOnlyOnceLetGo)
{
    for (const int sig : {SIGTERM, SIGINT, SIGALRM, SIGVTALRM, SIGPROF, SIGUSR1, SIGUSR2, SIGPWR,
                          SIGIO, SIGRTMIN + 4}) {
        bool alive = false;
        const int status = held_then_released(sig, &alive);
        EXPECT_TRUE(alive) << strsignal(sig);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig);
    }
}

TEST(HeldSignals, FaultsAndTheOnesWithHandlersAreNotHeld)
{
    const sigset_t previous = hold_ending_signals();
    sigset_t now;
    sigprocmask(SIG_BLOCK, nullptr, &now);
    for (const int sig : {SIGHUP, SIGPIPE, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP,
                          SIGSYS, SIGCHLD}) {
        EXPECT_EQ(sigismember(&now, sig), 0) << strsignal(sig);
    }
    EXPECT_EQ(sigismember(&now, SIGQUIT), 1);
    EXPECT_EQ(sigismember(&now, SIGXCPU), 1);
    release_held_signals(previous);
}

TEST(HeldSignals, TheCallersMaskComesBack)
{
    // A signal the caller had blocked stays blocked after the release; the others are free.
    sigset_t caller;
    sigemptyset(&caller);
    sigaddset(&caller, SIGUSR2);
    sigset_t original;
    sigprocmask(SIG_SETMASK, &caller, &original);
    release_held_signals(hold_ending_signals());
    sigset_t now;
    sigprocmask(SIG_SETMASK, &original, &now);
    EXPECT_EQ(sigismember(&now, SIGUSR2), 1);
    EXPECT_EQ(sigismember(&now, SIGTERM), 0);
    EXPECT_EQ(sigismember(&now, SIGUSR1), 0);
}

// Locks the whole of fd as the flash writers do; true when it holds the lock.
bool lock_whole(int fd)
{
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &whole) == 0;
}

// A writer in a child: holds the ending signals and waits in hold_flash_lock() on path,
// which the test has locked through holder (which the child closes: its copy would keep
// the lock); its standard error is a pipe the test reads. Past the wait it
// raises raise_after (0: none) on itself, writes 'w' to the pipe out and lets go.
struct WaitingWriter {
    pid_t pid;
    int err;    // the child's standard error: its "waiting" line
    int out;    // 'w' once past the wait
};

WaitingWriter start_waiting_writer(const char* path, int holder, int raise_after)
{
    int err[2];
    int out[2];
    if (pipe(err) != 0 || pipe(out) != 0) {
        return {-1, -1, -1};
    }
    const pid_t child = fork();
    if (child == 0) {
        close(holder);
        dup2(err[1], STDERR_FILENO);
        close(err[0]);
        close(out[0]);
        const int fd = open(path, O_RDWR);
        const sigset_t previous = hold_ending_signals();
        hold_flash_lock(fd, previous);
        if (raise_after != 0) {
            kill(getpid(), raise_after);
        }
        const char byte = 'w';
        const bool written = write(out[1], &byte, 1) == 1;
        release_held_signals(previous);
        _exit(written ? 0 : 2);
    }
    close(err[1]);
    close(out[1]);
    return {child, err[0], out[0]};
}

// Reads the child's standard error until its waiting line has come whole.
bool said_it_waits(int err)
{
    static constexpr char kLine[] = "flashtool: waiting for another flash write to finish\n";
    std::string seen;
    char c = 0;
    while (seen.size() < sizeof kLine - 1 && read(err, &c, 1) == 1) {
        seen += c;
    }
    return seen == kLine;
}

// Ends the child and its pipes; returns its wait status and whether 'w' came.
int finish(const WaitingWriter& writer, bool* past_the_wait)
{
    char byte = 0;
    *past_the_wait = read(writer.out, &byte, 1) == 1;
    int status = 0;
    waitpid(writer.pid, &status, 0);
    close(writer.err);
    close(writer.out);
    return status;
}

TEST(HeldSignals, AnEndingSignalEndsAWaitingWriterAtOnce)
{
    const std::string path = unique_temp_path("flash_lock");
    for (const int sig : {SIGTERM, SIGINT, SIGQUIT, SIGALRM, SIGUSR1, SIGRTMIN + 4}) {
        const int holder = open(path.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_TRUE(lock_whole(holder));
        const WaitingWriter writer = start_waiting_writer(path.c_str(), holder, 0);
        ASSERT_GT(writer.pid, 0);
        EXPECT_TRUE(said_it_waits(writer.err)) << strsignal(sig);
        kill(writer.pid, sig);
        // The lock goes too: a writer that held the signal now gets past the wait.
        close(holder);
        bool past = true;
        const int status = finish(writer, &past);
        EXPECT_FALSE(past) << strsignal(sig);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig);
    }
    unlink(path.c_str());
}

TEST(HeldSignals, PastTheWaitTheWriterHoldsAgain)
{
    // Once the lock is let go and taken, a signal is held as in any flash work: the writer
    // ends its work ('w' comes) and only then dies of it.
    const std::string path = unique_temp_path("flash_lock_after");
    const int holder = open(path.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_TRUE(lock_whole(holder));
    const WaitingWriter writer = start_waiting_writer(path.c_str(), holder, SIGTERM);
    ASSERT_GT(writer.pid, 0);
    EXPECT_TRUE(said_it_waits(writer.err));
    close(holder);
    bool past = false;
    const int status = finish(writer, &past);
    EXPECT_TRUE(past);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    unlink(path.c_str());
}

}  // namespace
