"""flashsim campaign: the search for the cut points whose flash the check fails. A table of
strategies over the held-run protocol (run.py): the cut points sampled with exact edges,
every point, one run per point (the reference), any of them for one shard of the points;
the torn cuts inside operations; the verdicts judged by report.py."""
import collections
import errno
import os
import signal
import sys
import tempfile
import time
from typing import Callable, NamedTuple, Optional

from .checks import Checker, Result
from .copies import Copies
from .errors import NoVerdict, Stopped
from .flash import State, remove
from . import judge
from .judge import FAIL, NOT_REACHED, ORDER_CHANGED, PASSING, SCRIPT_TIMEOUT, TIMEOUT
from .report import Evidence, Rows
from .run import HeldRun, Run, block_signals, kill_descendants, own_folder, release_folder
from .trace import Cut, Pair, parse_trace, sample, shape, torn_lines

CHECK_TIMEOUT = 60.0
# A run held at cut points may take this many times the uncut run's time (the time it is
# held not counted), and never less than --timeout: load slows every run of the script
# alike, so that a limit the uncut run kept is not a window in a held one.
SLOWER = 4
# What a campaign keeps free in TMPDIR besides its copies: the runs' traces and outputs.
MARGIN = 1 << 20


class Options(NamedTuple):
    """What a campaign is asked to do (the command line's campaign options)."""
    script: list
    check: str
    ram: bool = False
    every: bool = False                 # --all
    jobs: Optional[int] = None
    timeout: Optional[float] = None     # the script's limit, in its uncut run
    check_timeout: Optional[float] = None
    state: Optional[str] = None
    keep: Optional[str] = None
    json_path: Optional[str] = None
    junit_path: Optional[str] = None
    seed: Optional[int] = None          # torn cuts too, with that seed
    replay: bool = False                # one run per cut point
    watcher: object = None              # the run's /dev watcher (isolation)
    expect_status: int = 0
    shard: Optional[tuple] = None       # (K, N): the K-th of N shares of the cut points
    recover: Optional[str] = None       # the device's next boot, run before each check
    depth: int = 1                      # 2: the recovery cut too, at each of its operations


class Strategy(NamedTuple):
    """How a campaign chooses its cut points and judges them."""
    choose: Callable        # the counting run's operations -> those whose cuts are tried
    held: bool              # on held runs (else one run of the script per cut point)
    search: bool            # the exact edges then searched between the points tried


STRATEGIES = {
    # (one run per point, --all)
    (False, False): Strategy(sample, held=True, search=True),
    (False, True): Strategy(list, held=True, search=False),
    (True, False): Strategy(sample, held=False, search=False),
    (True, True): Strategy(list, held=False, search=False),
}


class Campaign:
    """The search (results: {Cut or Pair: Result}); what it prints is Rows', what it keeps
    Evidence's. With first, the search over the recovery's cut points after that cut in
    the script (recovery_cuts): its rows show the pairs."""

    def __init__(self, flash, options, out=sys.stdout, first=None):
        self.flash, self.options, self.first = flash, options, first
        self.script, self.check, self.ram = options.script, options.check, options.ram
        self.torn_seed = options.seed
        self.strategy = STRATEGIES[(options.replay, options.every)]
        self.state = State(options.state) if options.state else None
        self.rows = Rows(out, first)
        self.evidence = Evidence(flash, self.script, self.ram, options.keep, options.json_path,
                                 options.junit_path, options.recover)
        self.jobs = options.jobs or os.cpu_count() or 1
        self.checker = Checker(self.check, self.ram, self.jobs,
                               options.check_timeout or CHECK_TIMEOUT, self.state, self.checked,
                               recovery=options.recover)
        self.results = {}
        self.where = "the counting run"
        self.ops, self.shape = [], []
        self.planned, self.planned_total = [], 0     # this shard's cut points; everyone's
        self.held_limit = options.timeout
        self.order = collections.deque()      # the cut points whose rows are still to show
        self.searched = False
        self.start = self.start_state = self.scratch = self.copies = None
        self.uncut = None       # the Result of the check after the whole script
        self.left = []          # processes the script left running: (pid, command line)
        self.outcome = {"exit_status": None, "error": None}

    def put_back(self, flash=True):
        """The flash (and state) as the campaign found it; at the end the state alone (the
        flash worked on is a copy, removed with the campaign's folder)."""
        if self.start is None:      # stopped before the flash was read
            return
        if flash:
            self.copies.put_back()
        if self.state and self.start_state is not None:
            self.state.put(self.start_state)

    def prepare(self):
        """The working flash and its snapshot; the rest once the counting run has shown what
        the script writes."""
        self.check_room(2 * self.flash.layout.size + MARGIN)
        self.scratch = own_folder("flashsim-campaign-")
        # The user's flash is only read: every run works on a copy, put back before each,
        # so that no ending (SIGKILL included) leaves it changed.
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

    def close(self):
        """Ends every process of the campaign and removes its folder; the state folder as
        the campaign found it."""
        block_signals()
        self.end_everything()
        if self.copies is not None:
            self.copies.close()
        self.put_back(flash=False)
        if self.scratch is not None:
            release_folder(self.scratch)

    def main(self):
        began = time.monotonic()
        try:
            self.prepare()
            return self.campaign(began)
        except OSError as error:
            if error.errno not in (errno.ENOSPC, errno.EDQUOT):
                raise
            return self.cannot_judge(NoVerdict(self.no_room()))
        except NoVerdict as error:
            return self.cannot_judge(error)
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
            self.close()

    def cannot_judge(self, error):
        """The campaign stops without a verdict: one line, status 2, and the reports say
        why."""
        block_signals()
        self.end_everything()
        print(f"flashsim: {error}", file=sys.stderr)
        self.outcome["error"] = str(error)
        self.report(False)
        return 2

    # -- room in TMPDIR
    def need(self):
        """The bytes of TMPDIR the campaign takes at most: the working flash and its
        snapshot, what the script writes for each copy the checks run on (known once the
        counting run has marked it: until then the whole flash), and the copies of the
        --state folder for each check and run."""
        flash = self.copies.need(self.jobs) if self.copies else \
            (2 * self.jobs + 6) * self.flash.layout.size
        state = self.state.size() * (self.jobs + 3) if self.state else 0
        return flash + state + MARGIN

    def check_room(self, need):
        free = free_space(tempfile.gettempdir())
        if free < need:
            raise NoVerdict(f"no room in the temporary folder {tempfile.gettempdir()} (TMPDIR): "
                            f"this campaign needs about {mib(need + self.used())} MiB there, "
                            f"{mib(free + self.used())} MiB are free; give TMPDIR another "
                            f"folder")

    def used(self):
        """What the campaign holds in TMPDIR already: the working flash and its snapshot."""
        return 2 * self.flash.layout.size if self.copies else 0

    def no_room(self):
        """What a TMPDIR that filled up during the campaign is told."""
        return (f"no room left in the temporary folder {tempfile.gettempdir()} (TMPDIR) "
                f"during {self.where}: this campaign needs about {mib(self.need())} MiB "
                f"there; give TMPDIR another folder")

    def full(self):
        """Whether TMPDIR is full now: a check that failed or a run that lost trace lines
        then says nothing of the flash."""
        return free_space(tempfile.gettempdir()) < MARGIN

    def end_everything(self):
        """Kills every process below the launcher: the runs' and the checks'."""
        kill_descendants()
        self.checker.abandon()

    # -- the campaign
    def count(self, output):
        """The counting run, its output into the file output: its status and whether the
        simulator gave up inside it; its operations, their shape and the held runs' time
        limit are kept."""
        began = time.monotonic()
        status, (_, _, broken), lines = self.faulted_run(output=output, counting=True)
        if status is not None and self.options.timeout is not None:
            self.held_limit = max(self.options.timeout, SLOWER * (time.monotonic() - began))
        self.ops = parse_trace(lines)
        self.shape = shape(self.ops)
        return status, broken

    def tried(self, chosen):
        """The cut points tried at the operations chosen: after each, and with --torn
        inside each erase and write."""
        after = [Cut(op.number) for op in chosen]
        if self.torn_seed is None:
            return after, []
        return after, [Cut(op.number, inside=True) for op in chosen
                       if op.kind in ("erase", "write")]

    def campaign(self, began):
        say = self.rows.say
        output = os.path.join(self.scratch, "output")
        status, broken = self.count(output)
        self.outcome["exit_status"] = status
        if status is None or broken:
            return self.uncut_broken(status, broken, output)
        self.check_room(self.need() - self.used())
        self.where = "the check of the whole script"
        self.check_now(None)
        self.checker.drain()
        every, inside = self.tried(self.strategy.choose(self.ops))
        self.planned_total = len(every) + len(inside)
        self.planned = self.share(every) + self.share(inside, torn=True)
        self.rows.begin(self.ops, self.torn_seed is not None)
        after = [cut for cut in self.planned if not cut.inside]
        say(f"flashsim campaign: {' '.join(self.script)}: {len(self.ops)} device "
            f"operations in {len({op.pid for op in self.ops})} processes (exit status "
            f"{status}); {len(after)} cut points")
        self.uncut = self.results.pop(None)
        self.rows.row("no cut", "the whole script", "", self.uncut.verdict)
        wrong = status != self.options.expect_status
        self.outcome.update(exit_status=status, script_output=self.last_lines(output)
                            if wrong else [])
        if wrong:
            self.script_failed(status, output)
        self.where = "the cut points"
        self.judge(after)
        if self.strategy.search and not (self.options.every and self.options.shard):
            self.bisect()
        if self.torn_seed is not None:
            say(f"torn cuts with seed {self.torn_seed}")
            self.judge([cut for cut in self.planned if cut.inside])
        if self.options.depth == 2:
            self.depth_two()
        return self.summary(began)

    def uncut_broken(self, status, broken, output):
        """The uncut run ran past its limit or the simulator gave up inside it: nothing can
        be judged against it."""
        if status is None:
            raise NoVerdict(f"the script ran past its limit of {self.options.timeout:g} s "
                            f"(--timeout) in its uncut run: nothing is judged; give a longer "
                            f"--timeout")
        last = "; ".join(self.last_lines(output, 3))
        raise NoVerdict(f"the simulator gave up inside the uncut run of the script"
                        f"{': ' + last if last else ''}")

    def judge(self, points):
        if self.strategy.held:
            self.cut_at(points)
        else:
            self.replayed(points)

    def summary(self, began):
        """The windows (each kept, with --keep), the closing lines and the reports; the
        exit status judge gives the campaign."""
        self.where = "the summary"
        unserved = self.options.watcher.settle() if self.options.watcher else []
        self.outcome["unserved"] = len(unserved)
        data = self.document(True)
        for window in data["windows"]:
            for line in judge.window_lines(data, window):
                self.rows.say(line)
            if self.evidence.keep:
                self.evidence.keep_window(window["first"], self.torn_seed, self.put_back,
                                          self.remake, self.rows)
        data = self.document(True)
        for line in judge.tail_lines(data, time.monotonic() - began):
            self.rows.say(line)
        self.evidence.save(data)
        return data["status"]

    def share(self, points, torn=False):
        """This shard's share of points (every N-th, from the K-th): deterministic, since
        the counting run's operations are; the whole script's check is in every shard.
        The torn cuts are shared from the other end, so that a shard that takes fewer
        cuts after operations takes more inside them."""
        if not self.options.shard:
            return list(points)
        k, n = self.options.shard
        if torn:
            return [p for i, p in enumerate(points) if (len(points) - 1 - i) % n == k - 1]
        return [p for i, p in enumerate(points) if i % n == k - 1]

    def document(self, complete):
        """The campaign's report of what it judged so far (complete: all of it), as --json
        writes it, its windows, status and result derived by judge."""
        shard = self.options.shard
        outcome = dict(self.outcome, complete=complete, kept=list(self.evidence.kept),
                       expected_status=self.options.expect_status, every=self.options.every,
                       depth=self.options.depth,
                       shard=list(shard) if shard else None,
                       left=[{"pid": pid, "command": line, "when": "the script"}
                             for pid, line in self.left],
                       planned=[[c.number, "inside" if c.inside else "after"]
                                for c in self.planned], planned_total=self.planned_total,
                       timeouts={"script": self.options.timeout,
                                 "check": self.checker.timeout})
        return self.evidence.report(self.rows, self.results, sorted(self.results, key=lambda cut: cut.key()),
                                    self.uncut, self.check, self.torn_seed, outcome)

    def report(self, complete):
        """The JSON and JUnit reports of a campaign that ends early."""
        if self.evidence.json_path or self.evidence.junit_path:
            self.evidence.save(self.document(complete))

    @staticmethod
    def last_lines(output, shown=10):
        with open(output, "rb") as f:
            f.seek(max(0, os.fstat(f.fileno()).st_size - 65536))
            return f.read().decode("utf-8", "replace").splitlines()[-shown:]

    def script_failed(self, status, output, shown=10):
        """The uncut script ended with another status than the expected one: the procedure
        itself failed, whatever the cuts show. Its last lines say why."""
        expect = self.options.expect_status
        expected = "" if expect == 0 else f" (--expect-status {expect})"
        last = self.last_lines(output, shown)
        self.rows.say(f"the script ended with exit status {status}, not {expect}{expected}: "
                      f"the campaign fails{'; its last lines:' if last else ' (it printed nothing)'}")
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
        if result.verdict not in PASSING and self.full():
            raise NoVerdict(self.no_room())
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
        most); returns how many points it took (with --state a run ends after a few)."""
        self.put_back()
        if not points:
            return 0
        first = points[0]
        run = HeldRun(self.flash, self.ram, self.shape, max(1, first.number - first.inside),
                      self.held_limit, self.checker.sessions, self.checker.wait)
        torn = None
        try:
            if first.inside and first.number == 1:
                torn = self.torn_copy(run, first)
            run.start(self.script)
            for index, point in enumerate(points):
                self.where = f"the {point.label()}"
                if point.inside:
                    if point.number > 1 and not run.reach(point.number - 1):
                        break
                elif not run.reach(point.number):
                    break
                if self.checker.paused and self.checker.busy() >= self.window() and \
                        torn is None:
                    return index
                if point.inside:
                    torn = torn or self.torn_copy(run, point)
                    if not run.reach(point.number):
                        break
                    copy, torn = torn, None
                    self.torn_checked(run, point, copy)
                elif self.unchanged(run, point):
                    self.check_now(point, run, run.history)
                while not self.checker.paused and self.checker.busy() > self.window():
                    self.checker.wait()
            else:
                return len(points)
            # The run ended, or ran past its time, before the point.
            verdict = SCRIPT_TIMEOUT if run.ran_out() else NOT_REACHED
            for rest in points[index:]:
                self.record(rest, Result(verdict, ""))
            return len(points)
        finally:
            if torn is not None:
                self.forget_copy(torn)
            run.close()

    def window(self):
        """How many checks may run or wait while a held run goes on."""
        return 2 * self.jobs + 2

    def unchanged(self, run, point):
        """Whether the held run's operations up to point are the counting run's; else the
        point is not judged (or, where the trace lost lines, nothing is)."""
        if not run.order.changed(point.number):
            return True
        if run.order.lost():
            raise NoVerdict(self.no_room() if self.full() else
                            f"the trace of a held run lost the line of operation "
                            f"{run.order.diverged}: nothing more can be judged")
        if self.full():
            raise NoVerdict(self.no_room())
        self.record(point, Result(ORDER_CHANGED, ""))
        return False

    def torn_copy(self, run, cut):
        """A copy of the flash as it is now, held before the operation of cut (a cut inside
        it), named to the run: the process that does that operation leaves in it what the
        torn fault with the campaign's seed would leave."""
        copy = self.copy_now(run, run.history)
        run.torn_copy(copy[0].flash.path, cut.number, self.torn_seed)
        return copy

    def torn_checked(self, run, point, copy):
        """Held after the operation of a cut inside it: its copy is judged, unless the run
        took another path."""
        made = run.torn_made()
        if not self.unchanged(run, point):
            self.forget_copy(copy)
            return
        if made != point.number:
            self.forget_copy(copy)
            raise NoVerdict(f"the simulator could not make the flash of the "
                            f"{point.label()} in {copy[0].folder}")
        self.rows.torn.update(run.order.torn)
        self.checker.submit(point, *copy)

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

    # -- depth two: the recovery cut too
    def depth_two(self):
        """After each cut in the script that passed, the recovery is cut at its own
        operations, on the flash that cut left (made again by a run of the script cut
        there): a campaign over the recovery, whose copies are recovered again, uncut,
        before the check. A pair is named by both cuts."""
        firsts = [cut for cut in sorted(self.results, key=lambda cut: cut.key())
                  if self.results[cut].verdict in PASSING]
        self.rows.say(f"the recovery cut too, at each of its operations, after "
                      f"{judge.plural(len(firsts), 'cut point')} of the script that passed")
        inner = self.options._replace(script=["sh", "-c", self.options.recover], depth=1,
                                      timeout=self.checker.timeout, shard=None, keep=None,
                                      json_path=None, junit_path=None, watcher=None)
        for first in firsts:
            self.where = f"the recovery after the {first.label()}"
            recovery = Campaign(self.flash, inner, self.rows.out, first)
            self.rows.recovery[first] = recovery.rows
            status, page, _ = self.faulted_run(first.fault(self.torn_seed))
            if status is None or not page[1]:
                # The script took another path than when it was cut there before.
                verdict = SCRIPT_TIMEOUT if status is None else NOT_REACHED
                self.results[Pair(first, Cut(0))] = Result(verdict, "")
                self.rows.say(f"{Pair(first, Cut(0)).label()}: {verdict} (the script, cut "
                              f"there again, took another path)")
                continue
            recovery.recovery_cuts()
            for cut, result in recovery.results.items():
                self.results[Pair(first, cut)] = result

    def recovery_cuts(self):
        """This campaign's search, over the recovery from the flash a first cut left (its
        starting flash): no whole-script row (the first cut's own row is that), no summary."""
        try:
            self.prepare()
            output = os.path.join(self.scratch, "output")
            status, broken = self.count(output)
            if status != 0 or broken:
                # Not the recovery that passed after this cut before: its uncut run (cut
                # point 0) fails.
                self.results[Cut(0)] = Result(FAIL if status is not None else TIMEOUT,
                                              "\n".join(self.last_lines(output)) + "\n")
                self.rows.say(f"{self.rows.label(Cut(0))}: {self.results[Cut(0)].verdict}")
                return
            self.check_room(self.need() - self.used())
            self.planned, inside = self.tried(self.strategy.choose(self.ops))
            self.rows.begin(self.ops, self.torn_seed is not None)
            self.rows.say(f"{self.first.label()} in the script: the recovery: "
                          f"{judge.plural(len(self.ops), 'device operation')}; "
                          f"{judge.plural(len(self.planned), 'cut point')}")
            self.where = f"the recovery's cut points after the {self.first.label()}"
            self.judge(self.planned)
            if self.strategy.search:
                self.bisect()
            if inside:
                self.judge(inside)
        finally:
            self.close()

    def remake(self, cut):
        """The flash a cut point of the report leaves (a pair: the script cut at its first,
        then the recovery cut on the flash that left), made again by plain runs from the
        starting flash."""
        first = cut.get("first")
        self.faulted_run(library_fault(first or cut, self.torn_seed))
        if first:
            self.faulted_run(library_fault(cut, self.torn_seed), fresh=False,
                             script=["sh", "-c", self.options.recover])

    # -- one run per cut point
    def faulted_run(self, fault=None, output=None, counting=False, script=None, fresh=True):
        """One run of the script (or script) from the starting flash (fresh; else from the
        flash as it is) with fault: its status (None past the time limit), its run page's
        (operations, power off, broken), its log lines. Its output goes to the file output,
        or nowhere. The counting run keeps the script's own limit; the others that of a
        held run."""
        if fresh:
            self.put_back()
        run = Run(self.flash, self.ram, fault or "")
        try:
            run.start(script or self.script, quiet=True, output=output)
            status = run.wait(self.options.timeout if counting else self.held_limit)
            if fault is None and status is not None:
                left = run.name_left("the script")
                if counting:
                    self.left = left
            run.stop()
            return status, run.page.state(), run.log_lines()
        finally:
            run.close()

    def judged(self, cut, status, page, order_kept=True):
        """The check of the flash one faulted run left, or why there is none."""
        if status is None:
            self.results[cut] = Result(SCRIPT_TIMEOUT, "")
        elif not page[1]:
            self.results[cut] = Result(NOT_REACHED, "")
        elif not order_kept:
            self.results[cut] = Result(ORDER_CHANGED, "")
        else:
            self.check_now(cut)
            self.checker.drain()
        self.rows.show(cut, self.results[cut])

    def replayed(self, points):
        """The reference: one run of the script per cut point, with the power cut by the
        kill-after fault (or the torn fault inside it), and the check on the flash it
        leaves."""
        for point in points:
            self.where = f"the {point.label()}"
            status, page, lines = self.faulted_run(point.fault(self.torn_seed))
            self.rows.torn.update(torn_lines(lines))
            ops = parse_trace(lines)[:point.number]
            self.judged(point, status, page, shape(ops) == self.shape[:point.number])


def library_fault(cut, seed):
    """The fault a plain run takes to make a cut point of the report (a dict); none for a
    recovery's cut point 0, its own uncut run."""
    if not cut["operation"]:
        return ""
    return Cut(cut["operation"], cut["cut"] == "inside").fault(seed)


def free_space(folder):
    """The bytes a new file in folder can take (root may use the blocks kept for it)."""
    st = os.statvfs(folder)
    return (st.f_bfree if os.geteuid() == 0 else st.f_bavail) * st.f_frsize


def mib(size):
    return f"{size / (1 << 20):.0f}"
