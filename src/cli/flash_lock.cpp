// The flash lock: one writer at a time. Two upgrades that overlap (a web upgrade clicked
// twice, a script started while another still runs) would otherwise interleave their
// erases and blocks and both report success over a flash that holds neither image whole.
#include "cli/cli.h"

#include <cerrno>
#include <cstdio>

#include <sys/file.h>

void hold_flash_lock(int fd)
{
    // Uncontended, this one call is all the lock costs.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
        return;
    }
    std::fprintf(stderr, "flashtool: waiting for another flash write to finish\n");
    // A signal that interrupts the wait (the broken-pipe handler returns) must not let
    // this run in beside the other writer.
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}
