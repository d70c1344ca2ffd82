// The flash lock: one writer at a time. Two upgrades that overlap (a web upgrade clicked
// twice, a script started while another still runs) would otherwise interleave their
// erases and blocks and both report success over a flash that holds neither image whole.
#include "cli/cli.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>

namespace {

// A write lock on the whole device, owned by the open file description: it needs a
// descriptor open for writing, so a process that may only read /dev/mtd0 cannot take it,
// and it goes when the descriptor is closed, with a killed writer at once.
struct flock whole_device()
{
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    return whole;
}

void wait_for_lock(int fd)
{
    struct flock whole = whole_device();
    // A signal that interrupts the wait and returns (the broken-pipe handler) must not let
    // this run in beside the other writer.
    while (fcntl(fd, F_OFD_SETLKW, &whole) != 0 && errno == EINTR) {
    }
}

}  // namespace

void hold_flash_lock(int fd, const sigset_t& while_waiting)
{
    struct flock whole = whole_device();
    // Uncontended, this one call is all the lock costs.
    if (fcntl(fd, F_OFD_SETLK, &whole) == 0 || (errno != EAGAIN && errno != EACCES)) {
        return;
    }
    std::fprintf(stderr, "flashtool: waiting for another flash write to finish\n");
    // Nothing of ours is on the flash yet: a caller that gives up on the wait (a server's
    // time limit, timeout, Ctrl-C) ends the run here with the signal's own status, instead
    // of getting a failure back while the image it cancelled is written later on.
    wait_letting_ending_signals_through(while_waiting, wait_for_lock, fd);
}
