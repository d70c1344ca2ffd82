// The run's signal policy at work (the table is signal_policy::kRules in cli.h). Signals
// held while a command writes the flash: a web server that loses its client ends the CGI
// with SIGTERM, another arms alarm() before it starts the CGI, a script's timeout sends
// what it is told to: any of them, taking its default action, would leave a region erased
// or half-written. Blocked, such a signal waits in the kernel until the flash work is done
// and the output written, and then ends the run as it asked.
#include "cli/cli.h"

#include <cstdio>

#include <syslog.h>

namespace {

using signal_policy::kRules;
using signal_policy::Policy;

// A web upgrade may drop the connection that reads our output while the flash is being
// written. Logging the loss and carrying on keeps a half-written flash from being left
// behind; output written after it is simply lost.
void on_broken_pipe(int)
{
    syslog(LOG_ERR, "Lost connection while upgrading firmware!");
}

// Whether a signal that while_waiting lets through is pending.
bool ending_signal_pending(const sigset_t& pending, const sigset_t& while_waiting)
{
    for (int signal = 1; signal < NSIG; ++signal) {
        if (sigismember(&pending, signal) == 1 && sigismember(&while_waiting, signal) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

void set_caller_loss_actions()
{
    for (const signal_policy::Rule& rule : kRules) {
        if (rule.policy == Policy::kLogged) {
            std::signal(rule.number, on_broken_pipe);
        } else if (rule.policy == Policy::kIgnored) {
            std::signal(rule.number, SIG_IGN);
        }
    }
}

sigset_t hold_ending_signals()
{
    sigset_t held;
    sigemptyset(&held);
    for (const signal_policy::Rule& rule : kRules) {
        if (rule.policy == Policy::kHeld) {
            sigaddset(&held, rule.number);
        }
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

void wait_letting_ending_signals_through(const sigset_t& while_waiting, void (*wait)(int),
                                         int argument)
{
    sigset_t held;
    sigprocmask(SIG_SETMASK, &while_waiting, &held);
    wait(argument);
    // From here on the ending signals are held again. One sent while it waited may still
    // be pending (what it waited for came first, or an emulator delivers signals late):
    // the caller has done nothing yet, so it ends the run here too, let through once more.
    sigprocmask(SIG_SETMASK, &held, nullptr);
    sigset_t pending;
    if (sigpending(&pending) == 0 && ending_signal_pending(pending, while_waiting)) {
        sigprocmask(SIG_SETMASK, &while_waiting, nullptr);
        sigprocmask(SIG_SETMASK, &held, nullptr);
    }
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
