"""The ways the launcher's work ends early."""


class UsageError(Exception):
    """A mistake of the user's: one line, status 2, before anything runs."""


class Stopped(Exception):
    """A signal (or a closed output) ends the launcher's work."""

    def __init__(self, signum, quiet=False):
        super().__init__(signum)
        self.signum, self.quiet = signum, quiet


class NoVerdict(Exception):
    """A campaign that cannot judge the script any more (no room left in TMPDIR, a trace
    that lost lines): one line, status 2, never a window."""
