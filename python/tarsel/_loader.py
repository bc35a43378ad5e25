"""Make the native module's shared-library dependencies loadable.

The extension finds oneTBB (from the ``tbb`` wheel, installed under
``<prefix>/lib``) and OpenBLAS (from the ``scipy-openblas32`` wheel) through its
run path inside a virtual environment. Other layouts (user installs, some
system layouts) put them elsewhere, so they are loaded here by full path first
when they can be found.
"""

from __future__ import annotations

import ctypes
import os
import site
import sys


def _candidate_lib_dirs() -> list[str]:
    prefixes = [sys.prefix, sys.base_prefix, getattr(site, "USER_BASE", None) or ""]
    return [os.path.join(p, "lib") for p in prefixes if p]


def preload_native_dependencies() -> None:
    for directory in _candidate_lib_dirs():
        path = os.path.join(directory, "libtbb.so.12")
        if os.path.exists(path):
            ctypes.CDLL(path, mode=ctypes.RTLD_GLOBAL)
            break
    try:
        import scipy_openblas32

        lib = os.path.join(scipy_openblas32.get_lib_dir(), "libscipy_openblas.so")
        if os.path.exists(lib):
            ctypes.CDLL(lib, mode=ctypes.RTLD_GLOBAL)
    except ImportError:
        pass
