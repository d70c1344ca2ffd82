"""The checks of a campaign: each on its own copy of the flash, side by side."""
import collections
import os
import select
import shutil
import signal
import time

from . import isolation
from .run import processes, simulator_env

SHELL = shutil.which("sh") or "/bin/sh"
# What a check starts with, whatever the launcher ignores or holds.
DEFAULT_SIGNALS = (signal.SIGPIPE, signal.SIGINT, signal.SIGTERM, signal.SIGHUP,
                   signal.SIGQUIT, signal.SIGXFSZ)

# A verdict, what the check said, and how long it took (seconds).
Result = collections.namedtuple("Result", "verdict output seconds", defaults=(0.0,))
# A check: its cut, its copy of the flash (slot) made by which run at which of its held
# points (source, step), its --state copy; once started its process, pidfd, start and
# deadline; once its first process ended, that one's status and when it ended.
# terminated: past its limit, it was sent SIGTERM; deadline is then the end of its grace.
# stage: which of the checker's commands runs (the recovery, then the check).
Job = collections.namedtuple("Job", "cut slot source step state pid exited began deadline "
                                    "terminated status ended stage",
                             defaults=(None, None, None, None, False, None, None, 0))
GRACE = 2.0     # how long a check past its limit has to clean up after SIGTERM
LOOK = 0.05     # how often the processes left of a stopped check are looked for


class Checker:
    """The checks, run side by side by the launcher's main thread: each started with
    posix_spawn (far cheaper than a fork of the launcher) in a session of its own, reaped
    when its pidfd says it ended or its time is up, and given to done with its Result.
    With a recovery, each copy is first recovered (the recovery command, as the device's
    next boot), then checked; each command has the time limit."""

    def __init__(self, command, ram, jobs, timeout, state, done, recovery=None):
        self.commands = ([recovery] if recovery else []) + [command]
        self.ram, self.timeout, self.state, self.done = ram, timeout, state, done
        # With --state each check sees its own copy at the folder's path, in a mount
        # namespace of its own. Where the launcher has none, every check sees the one
        # state folder: one at a time, and none while a run of the script uses it.
        self.apart = bool(state) and isolation.private
        self.jobs = 1 if state and not self.apart else jobs
        self.paused = False
        self.waiting = collections.deque()
        self.running = {}          # pidfd -> Job

    def sessions(self):
        return {job.pid for job in self.running.values()}

    def busy(self):
        return len(self.waiting) + len(self.running)

    def submit(self, cut, slot, source=None, step=None, state=None):
        self.waiting.append(Job(cut, slot, source, step, state))
        self.start()

    def start(self):
        while self.waiting and len(self.running) < self.jobs and not self.paused:
            job = self.waiting.popleft()
            self.prepare(job)
            self.spawn(job)

    def prepare(self, job):
        """A check's copy before its first command: what the run wrote into it is marked
        taken, the state folder is its (where checks share the one folder), and the output
        of the last check on that copy is gone, even if this one dies before it opens its
        own. Its commands append to its output, the recovery's first."""
        job.slot.written.take_written()
        if job.state is not None and not self.apart:
            self.state.put(job.state)
        output = os.path.join(job.slot.folder, "output")
        if os.path.exists(output):
            os.remove(output)

    def spawn(self, job):
        if job.state is not None and self.apart:
            self.spawn_apart(job)
            return
        env = simulator_env(job.slot.flash, self.ram,
                            {"FLASHSIM_WRITTEN": os.path.join(job.slot.folder, "written")})
        actions = [(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                   (os.POSIX_SPAWN_OPEN, 1, os.path.join(job.slot.folder, "output"),
                    os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600),
                   (os.POSIX_SPAWN_DUP2, 1, 2)]
        pid = os.posix_spawn(SHELL, ["sh", "-c", self.commands[job.stage]], env,
                             file_actions=actions,
                             setsid=True, setsigmask=(), setsigdef=DEFAULT_SIGNALS)
        self.started(job, pid)

    def spawn_apart(self, job):
        """A check that sees its own copy of the --state folder: forked (posix_spawn cannot
        give it a mount namespace of its own), as posix_spawn would start it otherwise."""
        env = simulator_env(job.slot.flash, self.ram,
                            {"FLASHSIM_WRITTEN": os.path.join(job.slot.folder, "written")})
        output = os.path.join(job.slot.folder, "output")
        pid = os.fork()
        if pid == 0:
            try:
                os.setsid()
                for signum in DEFAULT_SIGNALS:
                    signal.signal(signum, signal.SIG_DFL)
                signal.pthread_sigmask(signal.SIG_SETMASK, ())
                null = os.open(os.devnull, os.O_RDONLY)
                out = os.open(output, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
                os.dup2(null, 0)
                os.dup2(out, 1)
                os.dup2(out, 2)
                if isolation.bind_over(job.state, self.state.folder):
                    os.execve(SHELL, ["sh", "-c", self.commands[job.stage]], env)
                os.write(2, b"flashsim: no mount namespace for the check's --state copy\n")
            finally:
                os._exit(127)
        self.started(job, pid)

    def started(self, job, pid):
        now = time.monotonic()
        exited = os.pidfd_open(pid)
        self.running[exited] = job._replace(pid=pid, exited=exited, began=job.began or now,
                                            deadline=now + self.timeout)

    def wait(self, fds=(), timeout=None):
        """Waits until one of fds can be read, or timeout passes, or (without fds) a check
        ends, reaping every check that ends meanwhile. Returns the fds ready."""
        end = None if timeout is None else time.monotonic() + timeout
        while fds or self.running:
            now = time.monotonic()
            limits = [job.deadline for job in self.running.values()] + ([end] if end else [])
            if any(job.status is not None for job in self.running.values()):
                limits.append(now + LOOK)   # a check's first process ended, its others not
            left = max(0.0, min(limits) - now) if limits else None
            watched = [fd for fd, job in self.running.items() if job.status is None]
            ready = select.select(list(fds) + watched, [], [], left)[0]
            now = time.monotonic()
            ended = []
            for fd, job in list(self.running.items()):
                if fd in ready:
                    job = self.leader_ended(fd)
                if job.status is not None and (not job.terminated or not members(job.pid)):
                    ended.append(fd)
                elif job.deadline <= now and not job.terminated:
                    self.terminate(fd, now)
                elif job.deadline <= now:
                    ended.append(fd)
            ended = [fd for fd in ended if self.reap(fd)]
            self.start()
            got = [fd for fd in ready if fd in fds]
            if got or (end is not None and now >= end) or (ended and not fds):
                return got
        return []

    def leader_ended(self, fd):
        """Reaps the first process of a check (the shell that runs the command); the
        check's other processes may still run."""
        job = self.running[fd]
        try:
            status = os.waitstatus_to_exitcode(os.waitpid(job.pid, 0)[1])
        except ChildProcessError:
            status = -signal.SIGKILL
        self.running[fd] = job = job._replace(status=status, ended=time.monotonic())
        return job

    def terminate(self, fd, now):
        """A check past its limit: SIGTERM to every process of its session, the shell that
        runs the command included, so that its own cleanup (a trap that removes its files)
        runs; the check is over when none of them is left, or after GRACE seconds, when
        SIGKILL ends the rest."""
        job = self.running[fd]
        signal_session(job.pid, signal.SIGTERM)
        self.running[fd] = job._replace(terminated=True, deadline=now + GRACE,
                                        ended=job.ended or now)

    def reap(self, fd):
        """A command of a check has ended: the next one starts (False), or the check is
        judged (True)."""
        job = self.running.pop(fd)
        # What is left of a check in its group ends with it; a stopped check's every
        # process, whatever its group. (The launcher kills any other at the end.)
        if job.terminated:
            signal_session(job.pid, signal.SIGKILL)
        else:
            try:
                os.killpg(job.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        if job.status is None:
            job = job._replace(status=-signal.SIGKILL, ended=time.monotonic())
            try:
                os.waitpid(job.pid, 0)
            except ChildProcessError:
                pass
        os.close(fd)
        if job.status == 0 and not job.terminated and job.stage + 1 < len(self.commands):
            # Recovered: the check follows, on the same copy, with its own time limit.
            self.spawn(job._replace(stage=job.stage + 1, status=None, terminated=False,
                                    ended=None, began=job.began))
            return False
        verdict = "TIMEOUT" if job.terminated else "ok" if job.status == 0 else "FAIL"
        text = ""
        if verdict != "ok":     # what a failing check said is shown, a passing one's not
            try:
                with open(os.path.join(job.slot.folder, "output"), "rb") as f:
                    text = f.read(4096).decode("utf-8", "replace")
            except FileNotFoundError:
                pass
        what = "the recovery" if job.stage + 1 < len(self.commands) else "the check"
        if job.terminated:
            text += f"({what} ran past its limit of {self.timeout:g} s: stopped)\n"
        elif job.status != 0 and what == "the recovery":
            text += f"(the recovery ended with exit status {job.status}: not checked)\n"
        self.done(job, Result(verdict, text, job.ended - job.began))
        return True

    def drain(self):
        self.paused = False
        self.start()
        while self.busy():
            self.wait()

    def abandon(self):
        """Forgets every check (their processes are killed with the rest of the launcher's)."""
        for fd in self.running:
            os.close(fd)
        self.running.clear()
        self.waiting.clear()


def members(session):
    """The processes of a session that have not ended."""
    return [pid for pid, (state, _, owner) in processes().items()
            if owner == session and state not in (b"Z", b"X")]


def signal_session(session, signum):
    """Sends signum to every process of a session (a check's: whatever group its processes
    moved to)."""
    for pid in members(session) or [session]:
        try:
            os.kill(pid, signum)
        except (ProcessLookupError, PermissionError):
            pass
