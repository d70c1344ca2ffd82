"""The simulated flash: its layout (the library's), where it lives (a folder of device files
or one whole-flash image), its copies, and the --state folder put back with it."""
import collections
import ctypes
import fcntl
import os
import shutil
import sys

from . import library
from .errors import UsageError

Device = collections.namedtuple("Device", "name start size erase")
F_OFD_SETLK = 37
_claims = []        # the descriptors holding this launcher's locks on its flash


class _Lock(ctypes.Structure):
    _fields_ = [("l_type", ctypes.c_short), ("l_whence", ctypes.c_short),
                ("l_start", ctypes.c_int64), ("l_len", ctypes.c_int64), ("l_pid", ctypes.c_int)]


class Layout:
    """The devices in flash order as the library serves them in /proc/mtd: the device's own
    map, or a --layout file's (then passed on as FLASHSIM_LAYOUT)."""

    def __init__(self, file=None):
        self.file = os.path.abspath(file) if file else None
        self.devices, start = [], 0
        for row in library.layout_text(self.file).splitlines()[1:]:
            name, size, erase = row.split()[:3]
            self.devices.append(Device(name.rstrip(":"), start, int(size, 16), int(erase, 16)))
            start += int(size, 16)
        self.size = start

    def mib(self):
        return f"{self.size / (1 << 20):g} MiB"


class Flash:
    """Where the simulated flash lives: a folder of device files or one image file."""

    def __init__(self, layout, folder=None, image=None):
        self.layout = layout
        self.folder = os.path.abspath(folder) if folder else None
        self.image = os.path.abspath(image) if image else None

    @property
    def path(self):
        return self.image or self.folder

    def env(self):
        env = {"FLASHSIM_IMAGE": self.image} if self.image else {"FLASHSIM_DIR": self.folder}
        if self.layout.file:
            env["FLASHSIM_LAYOUT"] = self.layout.file
        return env

    def files(self):
        if self.image:
            return [self.image]
        return [os.path.join(self.folder, name) for name in sorted(os.listdir(self.folder))
                if os.path.isfile(os.path.join(self.folder, name))]

    def erase(self):
        if self.image:
            write_file(self.image, b"\xff" * self.layout.size)
            return
        os.makedirs(self.folder, exist_ok=True)
        for device in self.layout.devices:
            write_file(os.path.join(self.folder, device.name), b"\xff" * device.size)

    def claim(self, campaign):
        """Locks the flash until the launcher ends (the kernel lets go when it dies): a
        plain run, which writes it, has it to itself; campaigns, which only read it (their
        runs work on copies), share it with one another but not with a plain run. A
        folder is locked with flock. An image with an open file description lock on its
        first byte, which the simulator's own locks never meet (flock on a device locks
        the whole backing file, and its byte-range locks are moved far past the image's
        end); a campaign also takes a shared flock, which a plain run's programs that
        flock a device meet."""
        busy = "another flashsim run or campaign is using this flash"
        if not self.image:
            claim_folder(self.path, busy, shared=campaign)
            return
        writable = not campaign and os.access(self.path, os.W_OK)
        fd = os.open(self.path, (os.O_RDWR if writable else os.O_RDONLY) | os.O_CLOEXEC)
        _claims.append(fd)
        lock = _Lock(fcntl.F_WRLCK if writable else fcntl.F_RDLCK, os.SEEK_SET, 0, 1, 0)
        try:
            fcntl.fcntl(fd, F_OFD_SETLK, bytes(lock))
            if campaign:
                fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except (BlockingIOError, PermissionError):
            raise UsageError(f"{self.path}: {busy}") from None

    def prepare(self, init=False, writable=True):
        """Checks the flash can be used (writable: for a plain run, that works on it);
        creates a missing one erased when its parent folder exists, and says so; refuses an
        image of the wrong size."""
        path, size = self.path, self.layout.size
        if not os.path.exists(path):
            parent = os.path.dirname(path)
            if not os.path.isdir(parent):
                raise UsageError(f"{path}: no such folder {parent}")
            if not os.access(parent, os.W_OK | os.X_OK):
                raise UsageError(f"{path}: cannot create it in {parent}")
            self.erase()
            size = self.layout.mib()
            what = f"{'an' if size[0] == '8' else 'a'} {size} flash image" if self.image else \
                "a flash folder"
            print(f"flashsim: created {path}, {what}, every byte erased", file=sys.stderr)
            return
        if self.image:
            if not os.path.isfile(path):
                raise UsageError(f"{path}: not a file")
            if os.path.getsize(path) != size:
                raise UsageError(f"{path} is {os.path.getsize(path)} bytes; a flash "
                                 f"image is {size} bytes ({self.layout.mib()})")
        elif not os.path.isdir(path):
            raise UsageError(f"{path}: not a folder")
        for name in [path] + self.files():
            if writable and not os.access(name, os.R_OK | os.W_OK):
                raise UsageError(f"{name}: cannot be read and written")
            if not os.access(name, os.R_OK | (0 if os.path.isfile(name) else os.X_OK)):
                raise UsageError(f"{name}: cannot be read")
        if init:
            self.erase()

    def save(self):
        return {path: read_file(path) for path in self.files()}

    def restore(self, saved):
        for path, data in saved.items():
            write_file(path, data)

    def copy_to(self, target):
        """A copy of the flash as it is now, at target (a file or a folder); its Flash."""
        if self.image:
            shutil.copyfile(self.image, target)
            return Flash(self.layout, image=target)
        os.mkdir(target)
        for name in os.listdir(self.folder):
            source = os.path.join(self.folder, name)
            if os.path.isfile(source):
                shutil.copyfile(source, os.path.join(target, name))
        return Flash(self.layout, folder=target)


class State:
    """--state DIR: a folder of the device's own files, saved and put back with the flash."""

    def __init__(self, folder):
        self.folder = folder

    def save(self, target):
        shutil.copytree(self.folder, target, symlinks=True)

    def size(self):
        """The bytes its files hold."""
        return sum(os.lstat(os.path.join(top, name)).st_size
                   for top, _, names in os.walk(self.folder) for name in names)

    def put(self, source):
        for name in os.listdir(self.folder):
            remove(os.path.join(self.folder, name))
        for name in os.listdir(source):
            path = os.path.join(source, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.copytree(path, os.path.join(self.folder, name), symlinks=True)
            else:
                shutil.copy2(path, os.path.join(self.folder, name), follow_symlinks=False)


def claim_folder(path, busy, shared=False):
    """Locks a folder with flock until the launcher ends (shared: with other shared
    claims); UsageError "PATH: busy" when another launcher holds it."""
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    _claims.append(fd)
    try:
        fcntl.flock(fd, (fcntl.LOCK_SH if shared else fcntl.LOCK_EX) | fcntl.LOCK_NB)
    except BlockingIOError:
        raise UsageError(f"{path}: {busy}") from None


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


def remove(path):
    """Removes a file, a symbolic link or a whole folder; nothing when there is none."""
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.lexists(path):
        os.remove(path)
