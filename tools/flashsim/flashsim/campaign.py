"""flashsim campaign: the search for the cut points whose flash the check fails: the
counting run, held runs that stop at each cut point while checks judge copies of the
flash, the exact edges of each window, and the torn cuts inside operations."""
import collections
import errno
import os
import shutil
import signal
import sys
import tempfile
import time

from . import library
from .checks import Checker, Result
from .copies import Copies
from .errors import Stopped, UsageError
from .flash import State, remove
from .report import ORDER_CHANGED, PASSING, Evidence, Rows, windows
from .run import Run, block_signals, kill_descendants, own_folder, release_folder
from .trace import Cut, parse_trace, sample, shape, torn_lines

CHECK_TIMEOUT = 60.0


class Campaign:
    """The search (results: {Cut: Result}); what it prints is Rows', what it keeps Evidence's."""

    def __init__(self, flash, script, check, ram=False, every=False, jobs=None, timeout=None,
                 state=None, keep=None, json_path=None, torn_seed=None, replay=False,
                 watcher=None, out=sys.stdout, expect_status=0, junit_path=None, shard=None):
        self.flash, self.script, self.check, self.ram = flash, script, check, ram
        self.every, self.timeout, self.torn_seed, self.replay = every, timeout, torn_seed, replay
        self.state = State(state) if state else None
        self.expect_status = expect_status
        self.shard = shard      # (K, N): this campaign tries the K-th of N shares of the points
        self.watcher = watcher
        self.rows = Rows(out)
        self.evidence = Evidence(flash, script, ram, keep, json_path, junit_path)
        self.jobs = jobs or os.cpu_count() or 1
        self.checker = Checker(check, ram, self.jobs, timeout or CHECK_TIMEOUT, self.state,
                               self.checked)
        self.results = {}
        self.where = "the counting run"
        self.ops, self.shape = [], []
        self.runs = 0
        self.order = collections.deque()      # the cut points whose rows are still to show
        self.searched = False
        self.start = self.start_state = self.scratch = self.copies = None
        self.uncut = None       # the Result of the check after the whole script
        self.outcome = {"exit_status": None, "result": "interrupted"}

    def put_back(self, flash=True):
        """The flash (and state) as the campaign found it; at the end the state alone (the
        flash worked on is a copy, removed with the campaign's folder)."""
        if self.start is None:      # stopped before the flash was read
            return
        if flash:
            self.copies.put_back()
        if self.state and self.start_state is not None:
            self.state.put(self.start_state)

    def main(self):
        began = time.monotonic()
        try:
            self.scratch = own_folder("flashsim-campaign-")
            # The user's flash is only read: every run works on a copy, put back before
            # each, so that no ending (SIGKILL included) leaves it changed.
            self.flash = self.flash.copy_to(os.path.join(self.scratch, "flash" + (
                ".img" if self.flash.image else "")))
            self.evidence.flash = self.flash
            self.copies = Copies(self.flash, self.scratch)
            self.copies.snapshot()
            self.start = self.copies.base      # the starting flash, put back before each run
            if self.state:
                # Named once whole: a signal during the copy puts nothing back.
                self.state.save(os.path.join(self.scratch, "state"))
                self.start_state = os.path.join(self.scratch, "state")
            return self.campaign(began)
        except OSError as error:
            if error.errno not in (errno.ENOSPC, errno.EDQUOT):
                raise
            raise UsageError(self.no_room()) from None
        except Stopped as stop:
            block_signals()
            self.end_everything()
            self.put_back(flash=False)
            if not stop.quiet:
                print(f"flashsim campaign: stopped by {signal.Signals(stop.signum).name} "
                      f"during {self.where}; the starting flash is put back", file=sys.stderr)
            self.report(False)
            return 128 + stop.signum
        finally:
            block_signals()
            self.end_everything()
            if self.copies is not None:
                self.copies.close()
            self.put_back(flash=False)
            if self.scratch is not None:
                release_folder(self.scratch)

    def no_room(self):
        """What a full TMPDIR is told: where, and the room a campaign takes there."""
        copies = 2 * self.jobs + 4
        size = self.flash.layout.size
        state = ""
        if self.state:
            state = " and of --state"
            for top, _, names in os.walk(self.state.folder):
                size += sum(os.lstat(os.path.join(top, n)).st_size for n in names)
        return (f"no room left in the temporary folder {tempfile.gettempdir()} (TMPDIR): "
                f"this campaign needs about {copies * size / (1 << 20):.0f} MiB there "
                f"({copies} copies of the {self.flash.layout.mib()} flash{state}); give "
                f"TMPDIR another folder")
    def end_everything(self):
        """Kills every process below the launcher: the runs' and the checks'."""
        kill_descendants()
        self.checker.abandon()

    def campaign(self, began):
        say = self.rows.say
        # The counting run, and the check after the whole script.
        output = os.path.join(self.scratch, "output")
        status, (_, _, broken), lines = self.faulted_run(output=output)
        self.ops = parse_trace(lines)
        self.shape = shape(self.ops)
        self.check_now(None)
        self.checker.drain()
        points = self.share([Cut(op.number)
                             for op in (self.ops if self.every else sample(self.ops))])
        self.rows.begin(self.ops, self.torn_seed is not None)
        state = "ran past the time limit" if status is None else f"exit status {status}"
        if broken:
            state += ", the simulator gave up inside it"
        say(f"flashsim campaign: {' '.join(self.script)}: {len(self.ops)} device "
            f"operations in {len({op.pid for op in self.ops})} processes ({state}); "
            f"{len(points)} cut points")
        uncut = self.results.pop(None)
        if status is None or broken:
            uncut = Result("TIMEOUT" if status is None else "FAIL", uncut.output)
        self.uncut = uncut
        self.rows.row("no cut", "the whole script", "", uncut.verdict)
        wrong = status is not None and status != self.expect_status
        self.outcome.update(exit_status=status, script_output=self.last_lines(output)
                            if wrong else [])
        if wrong:
            self.script_failed(status, output)
        self.where = "the cut points"
        if self.replay:
            self.replayed(points)
        else:
            self.cut_at(points)
            if not (self.every and self.shard):     # the other shards try the rest
                self.bisect()
        if self.torn_seed is not None:
            self.torn()
        tried = sorted(self.results, key=Cut.order)
        failed = sum(self.results[c].verdict not in PASSING for c in tried)
        failed += uncut.verdict not in PASSING
        found = windows(tried, self.results)
        self.where = "the summary"
        for window in found:
            self.rows.window(window, self.results)
            if self.evidence.keep:
                self.evidence.keep_window(window[0], self.torn_seed, self.put_back,
                                          self.faulted_run, self.rows)
        changed = [c for c in tried if self.results[c].verdict == ORDER_CHANGED]
        if changed:
            say(f"order changed from {changed[0].label()} on ({len(changed)} cut point"
                f"{'s' if len(changed) > 1 else ''}): the runs took another path than the "
                f"counting run, so these cuts were not judged")
        elif not found:
            say("no exposed window: every cut point passed")
        unserved = self.watcher.settle() if self.watcher else []
        if unserved:
            say(f"{len(unserved)} open{'s' if len(unserved) > 1 else ''} of a device by a "
                f"program the simulator does not serve (see above): the campaign fails")
        total = len(tried) + 1
        say(f"{total} runs checked: {total - failed} passed, {failed} failed "
            f"({time.monotonic() - began:.1f} s)")
        self.outcome.update(result="fail" if failed or unserved or wrong else "pass",
                            unserved=len(unserved))
        self.report(True)
        return 1 if self.outcome["result"] == "fail" else 0

    def share(self, points, torn=False):
        """This shard's share of points (every N-th, from the K-th): deterministic, since
        the counting run's operations are; the whole script's check is in every shard.
        The torn cuts are shared from the other end, so that a shard that takes fewer
        cuts after operations takes more inside them."""
        if not self.shard:
            return list(points)
        k, n = self.shard
        if torn:
            return [p for i, p in enumerate(points) if (len(points) - 1 - i) % n == k - 1]
        return [p for i, p in enumerate(points) if i % n == k - 1]

    def report(self, complete):
        """The JSON and JUnit reports of what was judged so far (complete: all of it)."""
        if not (self.evidence.json_path or self.evidence.junit_path):
            return
        tried = sorted(self.results, key=Cut.order)
        outcome = dict(self.outcome, complete=complete, kept=self.evidence.kept,
                       expected_status=self.expect_status, every=self.every,
                       shard=list(self.shard) if self.shard else None)
        if not complete:
            outcome["result"] = "interrupted"
        self.evidence.write(self.rows, self.results, tried, self.uncut,
                            windows(tried, self.results), self.check, self.torn_seed, outcome)

    @staticmethod
    def last_lines(output, shown=10):
        with open(output, "rb") as f:
            f.seek(max(0, os.fstat(f.fileno()).st_size - 65536))
            return f.read().decode("utf-8", "replace").splitlines()[-shown:]

    def script_failed(self, status, output, shown=10):
        """The uncut script ended with another status than the expected one: the procedure
        itself failed, whatever the cuts show. Its last lines say why."""
        expected = "" if self.expect_status == 0 else f" (--expect-status {self.expect_status})"
        last = self.last_lines(output, shown)
        self.rows.say(f"the script ended with exit status {status}, not "
                      f"{self.expect_status}{expected}: the campaign fails"
                      f"{'; its last lines:' if last else ' (it printed nothing)'}")
        for line in last:
            self.rows.say(f"    {line}")

    # -- checks
    def check_now(self, cut, source=None, history=None):
        """Starts the check of the flash as it is now, on a copy of it (and of the state
        folder); its Result is recorded when it ends."""
        self.checker.submit(cut, *self.copy_now(source, history))

    def copy_now(self, source=None, history=None):
        """A copy of the flash as it is now and of the state folder, for a check: (slot,
        source, step, state) as Checker.submit takes them."""
        slot = self.copies.take(source, history)
        state = None
        if self.state:
            state = os.path.join(slot.folder, "state")
            remove(state)
            self.state.save(state)
        return slot, source, len(history) - 1 if history else None, state

    def forget_copy(self, copy):
        """A copy whose check will not run."""
        slot, source, step, state = copy
        self.copies.give_back(slot, source, step)
        if state is not None:
            remove(state)

    def checked(self, job, result):
        self.copies.give_back(job.slot, job.source, job.step)
        if job.state is not None:
            remove(job.state)
        self.record(job.cut, result)

    def record(self, cut, result):
        """A verdict; the rows shown in the order of the cut points."""
        self.results[cut] = result
        while self.order and self.order[0] in self.results:
            cut = self.order.popleft()
            self.rows.show(cut, self.results[cut])

    # -- held runs
    def cut_at(self, points):
        """One run of the script held at each of points in turn; the check of each cut
        runs on a copy of the flash while the run goes on to the next."""
        self.order = collections.deque(points)
        while points:
            self.checker.paused = bool(self.state) and not self.checker.apart
            points = points[self.held_run(points):]
            self.checker.drain()

    def held_run(self, points):
        """One run held at each point in turn, starting the check of each (a few waiting at
        most); returns how many points it took (with --state a run ends after a few). A cut
        inside operation N is held like the others: held after N - 1 (or before the run
        starts, for N = 1), the launcher takes a copy of the flash and names it to the run;
        the process that does N leaves in that copy what the torn fault would leave on the
        flash, then does N whole, and the copy is judged once the run is held after N."""
        self.put_back()
        if not points:
            return 0
        self.runs += 1
        source, history = self.runs, []
        first = points[0]
        run = Run(self.flash, self.ram, gate=max(1, first.number - first.inside),
                  spared=self.checker.sessions)
        window = 2 * self.jobs + 2
        order, gate, torn = Order(run.trace, self.shape), None, None
        held = [0]      # the operation the run is held after (0: not started)

        def reach(number):
            """Holds the run after operation number (True), unless its script ends or runs
            past its time first (False)."""
            if held[0] == number:
                return True
            if held[0]:
                gate.release(number)
            if not gate.reach(number):
                return False
            held[0] = number
            history.append(run.page.take_written())
            return True

        try:
            if first.inside and first.number == 1:
                torn = self.torn_copy(run, first, source, history)
            run.start(self.script, quiet=True)
            gate = Gate(run, self.timeout, self.checker)
            for index, point in enumerate(points):
                self.where = f"the {point.label()}"
                if point.inside and point.number > 1 and not reach(point.number - 1) or \
                        not point.inside and not reach(point.number):
                    break
                if self.checker.paused and self.checker.busy() >= window and torn is None:
                    return index
                if not point.inside:
                    if order.changed(point.number):
                        self.record(point, Result(ORDER_CHANGED, ""))
                    else:
                        self.check_now(point, source, history)
                else:
                    if torn is None:
                        torn = self.torn_copy(run, point, source, history)
                    if not reach(point.number):
                        break
                    copy, torn = torn, None
                    made = run.page.torn_copy_made()
                    run.page.set_torn_copy(0, 0)
                    if order.changed(point.number):
                        self.forget_copy(copy)
                        self.record(point, Result(ORDER_CHANGED, ""))
                        continue
                    if made != point.number:
                        self.forget_copy(copy)
                        raise UsageError(f"the simulator could not make the flash of the "
                                         f"{point.label()} in {copy[0].folder}")
                    self.rows.torn.update(order.torn)
                    self.checker.submit(point, *copy)
                while not self.checker.paused and self.checker.busy() > window:
                    self.checker.wait()
            else:
                return len(points)
            # The run ended or ran past its time before the point.
            verdict = "TIMEOUT" if run.proc.poll() is None else "not reached"
            for rest in points[index:]:
                self.record(rest, Result(verdict, ""))
            return len(points)
        finally:
            if torn is not None:
                self.forget_copy(torn)
            if gate is not None:
                gate.close()
            order.close()
            run.stop()
            run.close()

    def torn_copy(self, run, cut, source, history):
        """A copy of the flash as it is now, held before the operation of cut (a cut inside
        it), named to the run: the process that does that operation leaves in it what the
        torn fault with the campaign's seed would leave."""
        copy = self.copy_now(source, history)
        run.torn_copy(copy[0].flash.path, cut.number, self.torn_seed)
        return copy

    def bisect(self):
        """Finds the exact operation where the verdict changes between two tried cut points:
        each round one held run at evenly spaced points inside every gap."""
        while True:
            tried = sorted(c.number for c in self.results if not c.inside)
            verdict = {c.number: r.verdict for c, r in self.results.items() if not c.inside}
            gaps = [(a, b) for a, b in zip(tried, tried[1:])
                    if b - a > 1 and verdict[a] != verdict[b]]
            if not gaps:
                return
            # Each round is one run of the script: many points per gap make few rounds
            # (a gap of 500 operations takes two), and their checks run side by side.
            share = 16 * self.jobs
            middles = sorted({a + (b - a) * i // share for a, b in gaps
                              for i in range(1, share)} - {a for a, _ in gaps})
            if not self.searched:
                self.rows.say(f"the verdict changes in {len(gaps)} gap"
                              f"{'s' if len(gaps) > 1 else ''} between the cut points tried: "
                              f"more cut points inside, until the exact operation is found")
                self.searched = True
            self.where = f"the search for exact edges (cut after {middles[0]})"
            self.cut_at([Cut(number) for number in middles])

    # -- one run per cut point
    def faulted_run(self, fault=None, output=None):
        """One run of the script from the starting flash with fault: its status (None past
        the time limit), its run page's (operations, power off, broken), its log lines.
        Its output goes to the file output, or nowhere."""
        self.put_back()
        run = Run(self.flash, self.ram, fault or "")
        try:
            run.start(self.script, quiet=True, output=output)
            status = run.wait(self.timeout)
            if fault is None and status is not None:
                run.name_left("the script")
            run.stop()
            return status, run.page.state(), run.log_lines()
        finally:
            run.close()

    def judged(self, cut, status, page, order_kept=True):
        """The check of the flash one faulted run left, or why there is none."""
        if status is None:
            self.results[cut] = Result("TIMEOUT", "")
        elif not page[1]:
            self.results[cut] = Result("not reached", "")
        elif not order_kept:
            self.results[cut] = Result(ORDER_CHANGED, "")
        else:
            self.check_now(cut)
            self.checker.drain()
        self.rows.show(cut, self.results[cut])

    def replayed(self, points):
        """The reference: one run of the script per cut point, with the power cut by the
        kill-after fault, and the check on the flash it leaves."""
        for point in points:
            self.where = f"the cut after {point.number}"
            status, page, lines = self.faulted_run(point.fault())
            ops = parse_trace(lines)[:point.number]
            self.judged(point, status, page, shape(ops) == self.shape[:point.number])

    def torn(self):
        """Cut points inside each erase and write of the counting run (--all: every one, else
        the sampled ones), held like the others; what a torn cut leaves is decided by the
        seed."""
        self.rows.say(f"torn cuts with seed {self.torn_seed}")
        points = [Cut(op.number, inside=True)
                  for op in self.share(self.ops if self.every else sample(self.ops), torn=True)
                  if op.kind in ("erase", "write")]
        if not self.replay:
            self.cut_at(points)
            return
        for cut in points:
            self.where = f"the cut inside {cut.number}"
            status, page, lines = self.faulted_run(cut.fault(self.torn_seed))
            self.rows.torn.update(torn_lines(lines))
            ops = parse_trace(lines)[:cut.number]
            self.judged(cut, status, page, shape(ops) == self.shape[:cut.number])


class Gate:
    """A held run's gate: the process that completes the operation the run is held after
    writes its number to the run's FIFO; release lets the run go on."""

    def __init__(self, run, timeout, checker):
        self.run, self.checker = run, checker
        self.deadline = None if timeout is None else time.monotonic() + timeout
        self.buffer = b""       # the start of a message not whole yet
        self.numbers = collections.deque()      # the numbers the FIFO gave, not looked at yet
        self.held_since = None
        self.exited = os.pidfd_open(run.proc.pid)

    def reach(self, point):
        """Waits until the run is held after point (True), or its script ends or runs past
        its time first (False); the checks go on meanwhile."""
        while True:
            while self.numbers:
                if self.numbers.popleft() == point:
                    self.held_since = time.monotonic()
                    return True
            if self.run.proc.poll() is not None:
                if not self.read():
                    return False
                continue
            left = None if self.deadline is None else self.deadline - time.monotonic()
            if left is not None and left <= 0:
                return False
            if self.run.fifo in self.checker.wait([self.run.fifo, self.exited], left):
                self.read()

    def release(self, point):
        """Lets the run go on to point. The time it was held (waiting for checks to free a
        place) does not count against the script's time limit."""
        if self.deadline is not None and self.held_since is not None:
            self.deadline += time.monotonic() - self.held_since
        self.held_since = None
        self.run.page.set_gate(point)

    def read(self):
        try:
            data = os.read(self.run.fifo, 4096)
        except BlockingIOError:
            return False
        numbers, self.buffer = library.frames(self.buffer + data)
        self.numbers.extend(numbers)
        return bool(data)

    def close(self):
        os.close(self.exited)


class Order:
    """Whether a held run's operations up to a cut are the counting run's: the same kind,
    device and offset, by the same process (counted in order of first appearance)."""

    def __init__(self, trace, counted):
        self.path, self.counted = trace, counted
        self.file, self.at = None, 0
        self.seen, self.ranks = {}, {}
        self.torn = {}      # the torn cuts the run's log records so far: {number: Torn}
        self.checked, self.diverged = 0, None

    def changed(self, point):
        self.read()
        if self.diverged is None:
            for number in range(self.checked + 1, point + 1):
                op = self.seen.get(number)
                if op is None or number > len(self.counted) or \
                        (self.ranks.setdefault(op.pid, len(self.ranks)), op.kind, op.device,
                         op.offset) != self.counted[number - 1]:
                    self.diverged = number
                    break
                self.checked = number
        return self.diverged is not None and self.diverged <= point

    def read(self):
        """The trace's new whole lines."""
        if self.file is None:
            self.file = open(self.path, "rb")
        self.file.seek(self.at)
        chunk = self.file.read()
        end = chunk.rfind(b"\n") + 1
        self.at += end
        lines = chunk[:end].decode("utf-8", "replace").splitlines()
        for op in parse_trace(lines):
            self.seen[op.number] = op
        self.torn.update(torn_lines(lines))

    def close(self):
        if self.file is not None:
            self.file.close()
            self.file = None
