"""The copies of the flash that a campaign's checks run on. An image's copy is an overlay:
a sparse file of the flash's size that holds only the pieces its piece map marks, every
other piece read by the library from the campaign's starting snapshot (FLASHSIM_BASE), and
copied in before a check writes into it. So TMPDIR holds the working flash, the snapshot
and what the script writes, and a copy costs what was written, whatever the flash's size.
A folder of devices is copied whole each time."""
import collections
import os
import shutil
import tempfile

from . import library
from .flash import Flash


class OverlayFlash(Flash):
    """An image copy that holds only its own pieces, the rest base's; what a check writes
    on it is marked in the page written (FLASHSIM_WRITTEN)."""

    def __init__(self, layout, image, base, written):
        super().__init__(layout, image=image)
        self.base, self.written = base, written

    def env(self):
        return dict(super().env(), FLASHSIM_BASE=self.base, FLASHSIM_WRITTEN=self.written)


class Copies:
    """The copies of the working flash. A copy is used again once its check is done,
    brought up to date with only the pieces the run wrote since it was made (marked in the
    run page, history) and those its check wrote (its FLASHSIM_WRITTEN page)."""

    # written: the check's FLASHSIM_WRITTEN page; fd: the image copy, open; pieces: its map.
    Slot = collections.namedtuple("Slot", "flash folder fd written pieces")

    def __init__(self, flash, scratch):
        self.flash, self.scratch = flash, scratch
        self.size = flash.layout.size
        self.free = []       # [slot, source run, step] of the image copies not in use
        self.slots = []
        self.source = None   # the working image, open
        self.base = None     # the starting snapshot: an image, or a folder
        self.dirty = None    # the working image's piece map: what runs wrote since put_back

    def snapshot(self):
        """Takes the starting snapshot that copies fall back on and put_back restores: call
        it once the working flash is the starting flash."""
        library.load()
        if not self.flash.image:
            self.base = self.flash.copy_to(os.path.join(self.scratch, "base"))
            return
        self.base = os.path.join(self.scratch, "base.img")
        shutil.copyfile(self.flash.image, self.base)
        self.dirty = library.Pieces(self.flash.image, self.size)
        self.source = os.open(self.flash.image, os.O_RDWR | os.O_CLOEXEC)

    def put_back(self):
        """The working flash as the snapshot: for an image only the pieces written since."""
        if not self.flash.image:
            for path in self.base.files():
                shutil.copyfile(path, os.path.join(self.flash.folder, os.path.basename(path)))
            return
        base = os.open(self.base, os.O_RDONLY | os.O_CLOEXEC)
        try:
            copy_pieces(base, self.source, self.dirty.read(take=True), self.size)
        finally:
            os.close(base)

    def need(self, jobs):
        """The room in TMPDIR a campaign with jobs checks needs at most, in bytes: the
        working flash and the snapshot, and for each copy what the script writes (known
        once the counting run has marked it; a folder's copies are whole)."""
        copies = 2 * jobs + 4
        if not self.flash.image:
            return (copies + 2) * self.size
        written = bin(self.dirty.read()).count("1") * library.PIECE if self.dirty else self.size
        return 2 * self.size + copies * (min(written, self.size) + 2 * library.PIECE)

    def take(self, source=None, history=None):
        """A copy of the flash as it is now, brought up to date (an image's) from the pieces
        source (a run) wrote at each of its held points so far (history)."""
        if not self.flash.image or self.dirty is None:
            return self.make_whole()
        if self.free:
            best = max(range(len(self.free)),
                       key=lambda i: (self.free[i][1] == source, self.free[i][2] or 0))
            slot, old_source, old_step = self.free.pop(best)
        else:
            slot, old_source, old_step = self.make(), None, None
        pieces = slot.written.take_written()
        if source is not None and old_source == source and old_step is not None:
            for mask in history[old_step + 1:]:
                pieces |= mask
        else:
            pieces |= self.dirty.read() | slot.pieces.read()
        copy_pieces(self.source, slot.fd, pieces, self.size)
        slot.pieces.add(pieces)
        return slot

    def make(self):
        """A new overlay copy: empty, every piece the snapshot's."""
        folder = tempfile.mkdtemp(prefix="copy-", dir=self.scratch)
        target = os.path.join(folder, "flash.img")
        fd = os.open(target, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        os.ftruncate(fd, self.size)
        written = os.path.join(folder, "written")
        slot = self.Slot(OverlayFlash(self.flash.layout, target, self.base, written), folder, fd,
                         library.Page(written, self.size), library.Pieces(target, self.size))
        self.slots.append(slot)
        return slot

    def make_whole(self):
        """A whole copy (a folder of devices, or an image before snapshot())."""
        folder = tempfile.mkdtemp(prefix="copy-", dir=self.scratch)
        target = os.path.join(folder, "flash" + (".img" if self.flash.image else ""))
        slot = self.Slot(self.flash.copy_to(target), folder, None,
                         library.Page(os.path.join(folder, "written"), self.size), None)
        self.slots.append(slot)
        return slot

    def give_back(self, slot, source=None, step=None):
        """A slot whose check is done; its copy is the flash at that run's step."""
        if slot.pieces is not None:
            self.free.append([slot, source, step])
            return
        self.slots.remove(slot)
        slot.written.close()
        shutil.rmtree(slot.folder, ignore_errors=True)

    def close(self):
        for slot in self.slots:
            if slot.fd is not None:
                os.close(slot.fd)
            slot.written.close()
            if slot.pieces is not None:
                slot.pieces.close()
        self.slots.clear()
        self.free.clear()
        if self.source is not None:
            os.close(self.source)
            self.source = None
        if self.dirty is not None:
            self.dirty.close()
            self.dirty = None


def copy_pieces(source, target, pieces, size):
    """Copies the pieces marked in pieces (a number: bit i is piece i; the last piece ends
    at size) from the descriptor source to target. Returns the bytes copied."""
    piece, copied = library.PIECE, 0
    while pieces:
        first = (pieces & -pieces).bit_length() - 1
        shifted = pieces >> first
        count = (~shifted & (shifted + 1)).bit_length() - 1     # the run of marked pieces
        pieces &= ~(((1 << count) - 1) << first)
        start = first * piece
        length = min(size, (first + count) * piece) - start
        done = 0
        while done < length:
            n = os.copy_file_range(source, target, length - done, start + done, start + done)
            if n <= 0:
                break
            done += n
        copied += done
    return copied
