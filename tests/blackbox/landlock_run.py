#!/usr/bin/env python3
"""Runs a program in a Landlock domain that refuses the given file-system access rights
everywhere and allows every other.

  landlock_run.py RIGHTS EXECUTABLE ARGV0 [ARG...]

RIGHTS is a number, the LANDLOCK_ACCESS_FS_* bits to refuse (TRUNCATE below). The program
gets LANDLOCK_RUN_PRELOAD back as LD_PRELOAD, so that a preloaded library reaches the
program and not this script."""
import ctypes
import os
import sys

TRUNCATE = 1 << 14                 # LANDLOCK_ACCESS_FS_TRUNCATE, Landlock ABI 3 (Linux 6.2)
FIRST_ABI = {TRUNCATE: 3}
CREATE_RULESET, RESTRICT_SELF = 444, 446   # the same numbers on every architecture
PR_SET_NO_NEW_PRIVS = 38

_libc = ctypes.CDLL(None, use_errno=True)
_libc.syscall.restype = ctypes.c_long


def abi_version():
    """The kernel's Landlock ABI version, 0 without Landlock."""
    version = _libc.syscall(ctypes.c_long(CREATE_RULESET), None, ctypes.c_size_t(0),
                            ctypes.c_uint32(1))
    return max(version, 0)


def missing(rights):
    """None when Landlock can refuse every one of rights here, else why it cannot."""
    version = abi_version()
    need = max((abi for bit, abi in FIRST_ABI.items() if rights & bit), default=1)
    if version < need:
        return f"this kernel's Landlock is ABI {version}; refusing {rights:#x} needs ABI {need}"
    return None


def restrict(rights):
    handled = ctypes.c_uint64(rights)
    fd = _libc.syscall(ctypes.c_long(CREATE_RULESET), ctypes.byref(handled),
                       ctypes.c_size_t(8), ctypes.c_uint32(0))
    if fd < 0:
        raise OSError(ctypes.get_errno(), "landlock_create_ruleset")
    if _libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_NO_NEW_PRIVS)")
    if _libc.syscall(ctypes.c_long(RESTRICT_SELF), ctypes.c_int(fd), ctypes.c_uint32(0)) != 0:
        raise OSError(ctypes.get_errno(), "landlock_restrict_self")
    os.close(fd)


def main():
    rights, executable, argv = int(sys.argv[1], 0), sys.argv[2], sys.argv[3:]
    restrict(rights)
    env = dict(os.environ)
    preload = env.pop("LANDLOCK_RUN_PRELOAD", "")
    if preload:
        env["LD_PRELOAD"] = preload
    os.execvpe(executable, argv, env)


if __name__ == "__main__":
    main()
