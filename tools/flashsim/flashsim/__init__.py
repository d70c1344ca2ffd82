"""flashsim: runs a command or a whole upgrade script against the simulated flash (the
preloaded libflashsim.so), and cuts its power at every device operation to find where a
power loss leaves a flash that fails. The project's fault campaign (tests/faults) imports
parse_trace, sample and cut_fault from here: both campaigns count, sample and cut alike."""
from .cli import main
from .trace import Op, cut_fault, parse_trace, sample

__all__ = ["Op", "cut_fault", "main", "parse_trace", "sample"]
