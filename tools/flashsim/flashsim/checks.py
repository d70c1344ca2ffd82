"""The checks of a campaign: each on its own copy of the flash, side by side."""
import collections
import os
import select
import shutil
import signal
import time

from . import isolation
from .run import simulator_env

SHELL = shutil.which("sh") or "/bin/sh"
# What a check starts with, whatever the launcher ignores or holds.
DEFAULT_SIGNALS = (signal.SIGPIPE, signal.SIGINT, signal.SIGTERM, signal.SIGHUP,
                   signal.SIGQUIT, signal.SIGXFSZ)

Result = collections.namedtuple("Result", "verdict output")
# A check: its cut, its copy of the flash (slot) made by which run at which of its held
# points (source, step), its --state copy; once started its process, pidfd and deadline.
# terminated: past its limit, it was sent SIGTERM; deadline is then the end of its grace.
Job = collections.namedtuple("Job", "cut slot source step state pid exited deadline terminated")
GRACE = 2.0     # how long a check past its limit has to clean up after SIGTERM


class Checker:
    """The checks, run side by side by the launcher's main thread: each started with
    posix_spawn (far cheaper than a fork of the launcher) in a session of its own, reaped
    when its pidfd says it ended or its time is up, and given to done with its Result."""

    def __init__(self, command, ram, jobs, timeout, state, done):
        self.command, self.ram, self.timeout, self.state, self.done = \
            command, ram, timeout, state, done
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
        self.waiting.append(Job(cut, slot, source, step, state, None, None, None, False))
        self.start()

    def start(self):
        while self.waiting and len(self.running) < self.jobs and not self.paused:
            self.spawn(self.waiting.popleft())

    def spawn(self, job):
        if job.state is not None and self.apart:
            self.spawn_apart(job)
            return
        if job.state is not None:
            self.state.put(job.state)
        job.slot.written.take_written()
        env = simulator_env(job.slot.flash, self.ram,
                            {"FLASHSIM_WRITTEN": os.path.join(job.slot.folder, "written")})
        actions = [(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                   (os.POSIX_SPAWN_OPEN, 1, os.path.join(job.slot.folder, "output"),
                    os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600),
                   (os.POSIX_SPAWN_DUP2, 1, 2)]
        pid = os.posix_spawn(SHELL, ["sh", "-c", self.command], env, file_actions=actions,
                             setsid=True, setsigmask=(), setsigdef=DEFAULT_SIGNALS)
        exited = os.pidfd_open(pid)
        self.running[exited] = job._replace(pid=pid, exited=exited,
                                            deadline=time.monotonic() + self.timeout)

    def spawn_apart(self, job):
        """A check that sees its own copy of the --state folder: forked (posix_spawn cannot
        give it a mount namespace of its own), as posix_spawn would start it otherwise."""
        env = simulator_env(job.slot.flash, self.ram,
                            {"FLASHSIM_WRITTEN": os.path.join(job.slot.folder, "written")})
        job.slot.written.take_written()
        output = os.path.join(job.slot.folder, "output")
        pid = os.fork()
        if pid == 0:
            try:
                os.setsid()
                for signum in DEFAULT_SIGNALS:
                    signal.signal(signum, signal.SIG_DFL)
                signal.pthread_sigmask(signal.SIG_SETMASK, ())
                null = os.open(os.devnull, os.O_RDONLY)
                out = os.open(output, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
                os.dup2(null, 0)
                os.dup2(out, 1)
                os.dup2(out, 2)
                if isolation.bind_over(job.state, self.state.folder):
                    os.execve(SHELL, ["sh", "-c", self.command], env)
                os.write(2, b"flashsim: no mount namespace for the check's --state copy\n")
            finally:
                os._exit(127)
        exited = os.pidfd_open(pid)
        self.running[exited] = job._replace(pid=pid, exited=exited,
                                            deadline=time.monotonic() + self.timeout)

    def wait(self, fds=(), timeout=None):
        """Waits until one of fds can be read, or timeout passes, or (without fds) a check
        ends, reaping every check that ends meanwhile. Returns the fds ready."""
        end = None if timeout is None else time.monotonic() + timeout
        while fds or self.running:
            limits = [job.deadline for job in self.running.values()] + ([end] if end else [])
            left = max(0.0, min(limits) - time.monotonic()) if limits else None
            ready = select.select(list(fds) + list(self.running), [], [], left)[0]
            now = time.monotonic()
            late = [fd for fd, job in self.running.items()
                    if fd not in ready and job.deadline <= now and not job.terminated]
            for fd in late:
                self.terminate(fd, now)
            ended = [fd for fd, job in self.running.items() if fd in ready or job.deadline <= now]
            for fd in ended:
                self.reap(fd, timed_out=self.running[fd].terminated)
            self.start()
            got = [fd for fd in ready if fd in fds]
            if got or (end is not None and now >= end) or (ended and not fds):
                return got
        return []

    def terminate(self, fd, now):
        """A check past its limit: SIGTERM to its session's group, so that its own cleanup
        (a trap that removes its files) runs; SIGKILL follows after GRACE seconds."""
        job = self.running[fd]
        try:
            os.killpg(job.pid, signal.SIGTERM)
        except (ProcessLookupError, PermissionError):
            pass
        self.running[fd] = job._replace(terminated=True, deadline=now + GRACE)

    def reap(self, fd, timed_out):
        job = self.running.pop(fd)
        try:
            os.killpg(job.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            status = os.waitstatus_to_exitcode(os.waitpid(job.pid, 0)[1])
        except ChildProcessError:
            status = -signal.SIGKILL
        os.close(fd)
        verdict = "TIMEOUT" if timed_out else "ok" if status == 0 else "FAIL"
        text = ""
        if verdict != "ok":     # what a failing check said is shown, a passing one's not
            with open(os.path.join(job.slot.folder, "output"), "rb") as f:
                text = f.read(4096).decode("utf-8", "replace")
        if timed_out:
            text += f"(killed after {self.timeout:g} s)\n"
        self.done(job, Result(verdict, text))

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
