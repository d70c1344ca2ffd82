"""The simulator library, libflashsim.so, loaded locally into the launcher (it serves none of
its calls) for what it exports: the one fault parser, the run page, the piece maps, the
layout and the protocol the two share (the run folder's file names, the hold FIFO's
message size, the piece size: module constants set by load()). The launcher knows nothing
else of it, not the page's fields, not the device's map, and never splits or writes a
fault list itself."""
import ctypes
import mmap
import os
import sys

from .errors import UsageError

_U32 = ctypes.POINTER(ctypes.c_uint32)
_TEXT = [ctypes.c_char_p, ctypes.c_size_t]
EXPORTS = {
    "flashsim_protocol": (ctypes.c_int, _TEXT),
    "flashsim_check_faults_on": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p] + _TEXT),
    "flashsim_cut_fault": (ctypes.c_int, [ctypes.c_ulong, ctypes.c_int, ctypes.c_uint64] + _TEXT),
    "flashsim_torn_faults": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_uint64] + _TEXT),
    "flashsim_layout": (ctypes.c_int, [ctypes.c_char_p] + _TEXT),
    "flashsim_page_size": (ctypes.c_size_t, [ctypes.c_uint64]),
    "flashsim_pieces_size": (ctypes.c_size_t, [ctypes.c_uint64]),
    "flashsim_page_state": (None, [ctypes.c_void_p, _U32, _U32, _U32]),
    "flashsim_set_gate": (None, [ctypes.c_void_p, ctypes.c_uint]),
    "flashsim_take_written": (None, [ctypes.c_void_p, ctypes.c_uint64, ctypes.c_char_p]),
    "flashsim_pieces_read": (None, [ctypes.c_void_p, ctypes.c_uint64, ctypes.c_char_p, ctypes.c_int]),
    "flashsim_pieces_add": (None, [ctypes.c_void_p, ctypes.c_uint64, ctypes.c_char_p]),
    "flashsim_set_torn_copy": (None, [ctypes.c_void_p, ctypes.c_uint, ctypes.c_uint64]),
    "flashsim_torn_copy_made": (ctypes.c_uint, [ctypes.c_void_p]),
}
_loaded = None
# The protocol, as the library defines it (set by load()): the run folder's page, hold
# FIFO, torn copy and log; the suffix of an image's piece map; the size of one message of
# the FIFO (an operation number in the machine's byte order) and of one piece.
COUNTER = HOLD = TORN = LOG = PIECES = None
FRAME = PIECE = None


def path():
    """The preload library: beside this package, in the build tree and when installed."""
    return os.environ.get("FLASHSIM_LIB") or os.path.join(
        os.path.dirname(os.path.dirname(os.path.realpath(__file__))), "libflashsim.so")


def load():
    """The library, its exports typed; UsageError when it cannot be loaded (nothing runs
    without it: a run without it would meet the host's own devices)."""
    global _loaded
    if _loaded is None:
        try:
            lib = ctypes.CDLL(path(), mode=os.RTLD_LOCAL)
            for name, (result, arguments) in EXPORTS.items():
                function = getattr(lib, name)
                function.restype, function.argtypes = result, arguments
        except (OSError, AttributeError):
            raise UsageError(f"{path()}: cannot load the simulator library") from None
        _loaded = lib
        _read_protocol(lib)
    return _loaded


def _read_protocol(lib):
    global COUNTER, HOLD, TORN, LOG, PIECES, FRAME, PIECE
    text = ctypes.create_string_buffer(1024)
    lib.flashsim_protocol(text, len(text))
    values = dict(line.split("=", 1) for line in text.value.decode().splitlines())
    COUNTER, HOLD, TORN, LOG, PIECES = (values[k] for k in ("counter", "hold", "torn", "log",
                                                             "pieces"))
    FRAME, PIECE = int(values["frame"]), int(values["piece"])


def frames(data):
    """The operation numbers in bytes read from the hold FIFO, and the bytes of a message
    not whole yet: (numbers, rest)."""
    load()
    whole = len(data) - len(data) % FRAME
    return ([int.from_bytes(data[i:i + FRAME], sys.byteorder) for i in range(0, whole, FRAME)],
            data[whole:])


def _answer(function, argument):
    message = ctypes.create_string_buffer(1 << 16)
    if function(argument, message, len(message)) != 0:
        raise UsageError(message.value.decode("utf-8", "replace"))
    return message.value.decode("utf-8", "replace")


def _text(function, *arguments):
    out = ctypes.create_string_buffer(1 << 16)
    if function(*arguments, out, len(out)) != 0:
        raise UsageError(out.value.decode("utf-8", "replace"))
    return out.value.decode("utf-8", "replace")


def check_faults(text, layout_file=None):
    """Raises UsageError with the library's own words for a fault list it refuses, devices
    the layout (a layout file, or None: the device's own) does not have included."""
    _text(load().flashsim_check_faults_on, text.encode(),
          os.fsencode(layout_file) if layout_file else b"")


def cut_fault(number, inside=False, seed=None):
    """The fault of a cut point: the power cut right after operation number or, inside, in
    it (torn as seed decides)."""
    return _text(load().flashsim_cut_fault, number, int(inside), seed or 0)


def torn_faults(text, seed):
    """A plain run's --torn: the user's list with every kill-after cut made a cut inside
    its operation, torn as seed decides."""
    return _text(load().flashsim_torn_faults, text.encode(), seed)


def layout_text(file=None):
    """The layout the library serves as /proc/mtd: the device's own, or file's."""
    return _answer(load().flashsim_layout, os.fsencode(file) if file else None)


def _mask(data):
    return int.from_bytes(data, "little")


class Page:
    """A run page (FLASHSIM_RUN/counter) or a check's FLASHSIM_WRITTEN page for a flash of
    flash_size bytes: a file of the library's page size for it, zero-filled, mapped here."""

    def __init__(self, file, flash_size):
        size = load().flashsim_page_size(flash_size)
        self.flash_size = flash_size
        with open(file, "w+b") as f:
            f.truncate(size)
            self.map = mmap.mmap(f.fileno(), size)

    def _at(self):
        return ctypes.c_void_p(ctypes.addressof(ctypes.c_char.from_buffer(self.map)))

    def state(self):
        """(operations so far, power off, broken)."""
        words = [ctypes.c_uint32() for _ in range(3)]
        load().flashsim_page_state(self._at(), *(ctypes.byref(w) for w in words))
        return tuple(w.value for w in words)

    def set_gate(self, number):
        load().flashsim_set_gate(self._at(), number)

    def take_written(self):
        """The pieces written since the last call, as a number: bit i is piece i (PIECE
        bytes from i * PIECE on), for as many pieces as the flash has."""
        out = ctypes.create_string_buffer(load().flashsim_pieces_size(self.flash_size))
        load().flashsim_take_written(self._at(), self.flash_size, out)
        return _mask(out.raw)

    def set_torn_copy(self, number, seed):
        """The process that does operation number leaves what torn:NUMBER:SEED would leave
        in the run's copy (FLASHSIM_RUN/torn), then does the operation whole (0: none)."""
        load().flashsim_set_torn_copy(self._at(), number, seed)

    def torn_copy_made(self):
        """The operation whose torn result the copy holds, once it has ended (0: none)."""
        return load().flashsim_torn_copy_made(self._at())

    def close(self):
        self.map.close()


class Pieces:
    """An image's piece map (the image's path + PIECES), mapped here: the pieces that may
    differ from its base. The library marks what a run writes to the working flash there,
    and an overlay copy holds exactly the pieces its map marks."""

    def __init__(self, image, flash_size):
        self.flash_size = flash_size
        size = load().flashsim_pieces_size(flash_size)
        with open(image + PIECES, "w+b") as f:
            f.truncate(size)
            self.map = mmap.mmap(f.fileno(), size)

    def _at(self):
        return ctypes.c_void_p(ctypes.addressof(ctypes.c_char.from_buffer(self.map)))

    def read(self, take=False):
        """The pieces marked, as a number (take: and none marked any more)."""
        out = ctypes.create_string_buffer(len(self.map))
        load().flashsim_pieces_read(self._at(), self.flash_size, out, int(take))
        return _mask(out.raw)

    def add(self, mask):
        size = len(self.map)
        load().flashsim_pieces_add(self._at(), self.flash_size,
                                   (mask & ((1 << 8 * size) - 1)).to_bytes(size, "little"))

    def close(self):
        self.map.close()
