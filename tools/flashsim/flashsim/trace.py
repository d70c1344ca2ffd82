"""The simulator's trace (FLASHSIM_LOG): the device operations of a run and the torn cuts
it records; the cut points a campaign tries, and how it samples them."""
import collections
from typing import NamedTuple

from . import library

# One device operation as the simulator traces it.
Op = collections.namedtuple("Op", "number pid kind device offset command")
# What a cut inside an operation left: "erase mtd1 3 of 14 blocks".
Torn = collections.namedtuple("Torn", "kind device done total unit")


class Cut(NamedTuple):
    """A cut point: the power cut right after operation number or, inside, during it."""
    number: int
    inside: bool = False

    def order(self):
        """Cut points in the order of the flash they leave: inside N before after N."""
        return self.number, not self.inside

    def fault(self, seed=None):
        """The fault that makes this cut in a run of its own (the library's words)."""
        return cut_fault(self.number, self.inside, seed)

    def label(self, torn=None):
        """"cut after N", "cut inside N", with torn: "cut inside N (erase, 3 of 14 blocks)"."""
        if not self.inside:
            return f"cut after {self.number}"
        return f"cut inside {self.number}" + (f" ({torn.kind}, {torn.done} of {torn.total} "
                                               f"{torn.unit})" if torn else "")


def parse_trace(lines):
    """The device operations in a simulator log, in the order of their numbers (processes
    that run side by side may append their lines out of order)."""
    ops = []
    for line in lines:
        if line.startswith("op "):
            fields = line.split(" ", 6) + [""]
            try:
                ops.append(Op(int(fields[1]), int(fields[2]), fields[3], fields[4],
                              int(fields[5], 16), fields[6]))
            except (ValueError, IndexError):
                continue    # a line cut short by a power cut
    return sorted(ops)


def torn_lines(lines):
    """The torn cuts a log records: {number: Torn}."""
    torn = {}
    for line in lines:
        fields = line.split()
        if len(fields) == 7 and fields[0] == "torn":
            try:
                torn[int(fields[1])] = Torn(fields[2], fields[3], int(fields[4]),
                                            int(fields[5]), fields[6])
            except ValueError:
                continue
    return torn


def sample(ops, edge=3, middle=4):
    """The operations to try. A long run of alike operations (one call on one device by one
    process, such as the writes of an image) all take the same path through the code: its
    first and last few and a few evenly spaced between are tried, and the campaign then
    finds the exact edges between them."""
    chosen, run = [], []
    for op in list(ops) + [None]:
        if run and (op is None or op[1:4] != run[-1][1:4]):     # pid, kind, device
            if len(run) <= 2 * edge + middle:
                chosen += run
            else:
                step = (len(run) - 2 * edge) // (middle + 1)
                inner = [run[edge + step * (i + 1)] for i in range(middle)]
                chosen += run[:edge] + inner + run[-edge:]
            run = []
        if op is not None:
            run.append(op)
    return chosen


def cut_fault(number, inside=False, seed=None):
    """The fault that cuts the power right after operation number (inside: in it, torn as
    seed decides)."""
    return library.cut_fault(number, inside, seed)


def shape(ops):
    """What a run's operations must repeat for its cuts to be the counting run's: each
    one's kind, device and offset, and which process (in order of first appearance)."""
    ranks, out = {}, []
    for op in ops:
        out.append((ranks.setdefault(op.pid, len(ranks)), op.kind, op.device, op.offset))
    return out
