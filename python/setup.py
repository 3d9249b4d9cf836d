"""The extension for pip: the engine's C++ (dsp/) and the render tool's job (tools/render/), the
same files the CMake build compiles, with the flags that make its bits (single precision where
values round, no contraction); libsndfile from Debian (libsndfile1-dev)."""
import glob
import re
import sysconfig

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension
from setuptools import setup

# Relative to this folder, as setuptools wants them: src/dsp and src/tools are links to the
# project's own folders. Every file of the signal code, and the render tool's library without its
# command line and without the module host (which only the 32-bit builds have).
NOT_THE_LIBRARY = {"render_main.cpp", "render_command_line.cpp", "render_usage.cpp",
                   "module_channel.cpp"}
sources = ["src/grindlet_extension.cpp"] + sorted(glob.glob("src/dsp/*.cpp"))
sources += sorted(path for path in glob.glob("src/tools/render/*.cpp")
                  if path.rsplit("/", 1)[-1] not in NOT_THE_LIBRARY)

# Every source at once, on every core (NPY_NUM_BUILD_JOBS=N sets how many).
ParallelCompile("NPY_NUM_BUILD_JOBS").install()

# The flags that make the bits: no contraction and no fast-math anywhere; on x86, single
# precision in SSE registers (x87 would round each value to its own 80 bits). Other processors
# round each operation to its type already: they take no -msse2 and run the plain loops (the
# fast paths are SSE2's), whose bits the fast paths give anyway, as the WebAssembly build does.
X86 = re.search(r"(x86_64|amd64|i[3-6]86|x86)$", sysconfig.get_platform(), re.IGNORECASE)
exactness = ["-ffp-contract=off", "-fno-fast-math"]
if X86:
    exactness += ["-msse2", "-mfpmath=sse"]
else:
    exactness += ["-DGRINDLET_REFERENCE_LOOPS=1"]
    sources = [path for path in sources
               if not path.endswith(("/fast_loops.cpp", "/quantize_block.cpp"))]

setup(
    ext_modules=[
        Pybind11Extension(
            "qz_grindlet._grindlet",
            sources,
            include_dirs=["src"],
            cxx_std=20,
            extra_compile_args=["-O3", "-D_FILE_OFFSET_BITS=64"] + exactness,
            libraries=["sndfile"],
        )
    ],
)
