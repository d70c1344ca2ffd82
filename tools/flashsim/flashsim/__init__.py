"""flashsim: runs a command or a whole upgrade script against the simulated flash (the
preloaded libflashsim.so), and cuts its power at every device operation to find where a
power loss leaves a flash that fails. The project's fault campaign (tests/faults) imports
parse_trace and sample from here: both campaigns count and sample alike. (It runs under
qemu-user too, where this machine's Python cannot load the target's library: it writes its
faults itself, as a user would.)"""
from .cli import main
from .trace import Op, parse_trace, sample

__all__ = ["Op", "main", "parse_trace", "sample"]
