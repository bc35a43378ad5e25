"""Print, one per line, the build inputs that live inside Python packages:
NumPy's C headers, the folder of oneTBB's CMake config and OpenBLAS's library folder."""

import importlib.metadata as metadata
import pathlib

import numpy
import scipy_openblas32


def tbb_config_dir() -> pathlib.Path:
    dist = metadata.distribution("tbb-devel")
    for f in dist.files or ():
        if str(f).endswith("TBBConfig.cmake"):
            return pathlib.Path(dist.locate_file(f)).resolve().parent
    raise SystemExit("tbb-devel is installed but ships no TBBConfig.cmake")


print(numpy.get_include())
print(tbb_config_dir())
print(scipy_openblas32.get_lib_dir())
