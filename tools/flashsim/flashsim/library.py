"""The simulator library, libflashsim.so, loaded locally into the launcher (it serves none of
its calls) for what it exports: the one fault parser, the run page and the layout. The
launcher knows nothing else of it, not the page's fields, not the device's map."""
import ctypes
import mmap
import os

from .errors import UsageError

_U32 = ctypes.POINTER(ctypes.c_uint32)
EXPORTS = {
    "flashsim_check_faults": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]),
    "flashsim_layout": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]),
    "flashsim_page_size": (ctypes.c_size_t, []),
    "flashsim_page_state": (None, [ctypes.c_void_p, _U32, _U32, _U32]),
    "flashsim_set_gate": (None, [ctypes.c_void_p, ctypes.c_uint]),
    "flashsim_take_written": (ctypes.c_uint64, [ctypes.c_void_p]),
    "flashsim_set_torn_copy": (None, [ctypes.c_void_p, ctypes.c_uint, ctypes.c_uint64]),
    "flashsim_torn_copy_made": (ctypes.c_uint, [ctypes.c_void_p]),
}
_loaded = None


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
    return _loaded


def _answer(function, argument):
    message = ctypes.create_string_buffer(1 << 16)
    if function(argument, message, len(message)) != 0:
        raise UsageError(message.value.decode("utf-8", "replace"))
    return message.value.decode("utf-8", "replace")


def check_faults(text):
    """Raises UsageError with the library's own words for a fault list it refuses."""
    _answer(load().flashsim_check_faults, text.encode())


def layout_text(file=None):
    """The layout the library serves as /proc/mtd: the device's own, or file's."""
    return _answer(load().flashsim_layout, os.fsencode(file) if file else None)


class Page:
    """A run page (FLASHSIM_RUN/counter) or a check's FLASHSIM_WRITTEN page: a file of the
    library's page size, zero-filled, mapped here."""

    def __init__(self, file):
        size = load().flashsim_page_size()
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
        """The 64 KiB pieces written since the last call (bit 63: from piece 63 on)."""
        return load().flashsim_take_written(self._at())

    def set_torn_copy(self, number, seed):
        """The process that does operation number leaves what torn:NUMBER:SEED would leave
        in the run's copy (FLASHSIM_RUN/torn), then does the operation whole (0: none)."""
        load().flashsim_set_torn_copy(self._at(), number, seed)

    def torn_copy_made(self):
        """The operation whose torn result the copy holds, once it has ended (0: none)."""
        return load().flashsim_torn_copy_made(self._at())

    def close(self):
        self.map.close()
