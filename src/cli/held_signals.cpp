// Signals held while a command writes the flash. A web server that loses its client ends
// the CGI with SIGTERM, another arms alarm() before it starts the CGI, a script's timeout
// sends what it is told to: any of them, taking its default action, would leave a region
// erased or half-written. Blocked, such a signal waits in the kernel until the flash work
// is done and the output written, and then ends the run as it asked.
#include "cli/cli.h"

#include <cstdio>

sigset_t hold_ending_signals()
{
    // Every signal whose default action ends the process and that a program can block,
    // but for the faults that only a broken program raises on itself (SIGSEGV, SIGBUS,
    // SIGILL, SIGFPE, SIGTRAP, SIGSYS), SIGABRT, which abort() raises regardless, and
    // SIGHUP and SIGPIPE, which have handling of their own.
    static constexpr int kEnding[] = {SIGTERM, SIGINT,  SIGQUIT, SIGALRM, SIGVTALRM, SIGPROF,
                                      SIGUSR1, SIGUSR2, SIGXCPU, SIGIO,   SIGPWR,
#ifdef SIGSTKFLT
                                      SIGSTKFLT,
#endif
    };
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : kEnding) {
        sigaddset(&held, signal);
    }
    // The real-time signals end the process too; the C library refuses to add the few it
    // keeps for itself, which is what we want.
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        sigaddset(&held, signal);
    }
    sigset_t previous;
    sigemptyset(&previous);
    // One call covers them all; it cannot fail with a valid set.
    sigprocmask(SIG_BLOCK, &held, &previous);
    return previous;
}

void release_held_signals(const sigset_t& previous)
{
    // Whatever the run printed reaches its reader first: a signal that ends the run now
    // takes no line with it.
    std::fflush(stdout);
    // A signal that came meanwhile is delivered when this call returns, with the action it
    // would have had: by default the run ends with that signal's status.
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}
