// The signals a writer holds: each is kept from ending the process while held and ends it,
// with its own status, once let go; the caller's own mask comes back as it was.
#include "cli/cli.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

#include <sys/wait.h>
#include <unistd.h>

namespace {

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

}  // namespace
