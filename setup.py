"""Builds the two extension modules from the one source tree in cuda/Orvane.

Orvane:    nvcc, fast math, device code for compute capability 8.9 as machine
           code plus PTX (and 9.0 machine code), linked against PyTorch's CUDA
           libraries. Built only where a CUDA compiler is found (the lookup
           PyTorch's extension builder uses: $CUDA_HOME or $CUDA_PATH, else the
           nvcc on PATH, else /usr/local/cuda; $PYTORCH_NVCC names another
           compiler). Without one the build says so in one line and installs a
           stand-in `Orvane` whose import explains how to get the real one.
OrvaneCPU: the host compiler, OpenMP over cells, the same functions for CPU
           tensors. Always built.

Every build records what it made (version, modules, CUDA architectures, the
flags that change numerics) in orvane_sim/_build_info.py, which
`python3 -m orvane_sim --version` reports.
"""
import glob
import os
import pathlib
import pprint
import re
import shutil
import subprocess
import sys

from setuptools import find_packages, setup
from torch.utils.cpp_extension import (CUDA_HOME, TORCH_LIB_PATH, BuildExtension, CppExtension,
                                       CUDAExtension)

ROOT = os.path.dirname(os.path.abspath(__file__))
SRC = "cuda/Orvane"
# The entry point and one kernel file per subsystem.
CUDA_SOURCES = sorted(glob.glob(f"{SRC}/*.cu"))
# What is installed as `Orvane` when the CUDA module cannot be built.
STANDIN = f"{SRC}/standin.py"
RECORD = "orvane_sim/_build_info.py"

# The architectures, named: with no GPU visible, torch cannot guess them.
# ORVANE_CUDA_ARCHS="90" (a comma-separated list) builds machine code for
# those alone: a quicker build on a machine whose GPU is known.
GENCODE = [f"-gencode=arch=compute_{a},code=sm_{a}"
           for a in os.environ.get("ORVANE_CUDA_ARCHS", "").replace(" ", "").split(",") if a] or [
    "-gencode=arch=compute_89,code=sm_89",
    "-gencode=arch=compute_90,code=sm_90",
    "-gencode=arch=compute_89,code=compute_89",
]

# Both modules define the same inline functions, templates and their static
# locals from one source tree, with different bodies where the compiler is
# nvcc. Exported, the dynamic linker would bind one module's calls and statics
# to the other's copies whenever both are loaded; hidden, each module keeps
# its own, and exports its PyInit_ alone.
VISIBILITY = ["-fvisibility=hidden", "-fvisibility-inlines-hidden"]
# The host side computes without contraction: the bodies say where a
# multiply-add is fused (std::fma), and nothing else is.
HOST_FLAGS = ["-O3", "-ffp-contract=off", *VISIBILITY]
NVCC_FLAGS = ["-O3", "--use_fast_math", *GENCODE, "-Xcompiler=-ffp-contract=off",
              *(f"-Xcompiler={f}" for f in VISIBILITY)]
CPU_FLAGS = [*HOST_FLAGS, "-fopenmp"]
# Flags whose presence changes computed values (reported by --version).
NUMERICS = re.compile(r"fast.math|fp-contract|ftz|prec-div|prec-sqrt|fmad|Ofast|fopenmp")

# Find PyTorch's libraries without `import torch` first.
LINK_FLAGS = [f"-Wl,-rpath,{TORCH_LIB_PATH}"]


def cuda_runtime_dirs(cuda_home=CUDA_HOME) -> list:
    """Where the CUDA module finds libcudart at run time: the runtime that
    PyTorch's wheels bring (the same library PyTorch itself loads), then the
    toolkit's. Without them `import Orvane` alone works only where the
    toolkit's libraries are registered with the dynamic loader."""
    import importlib.util

    spec = importlib.util.find_spec("nvidia")
    places = [pathlib.Path(p) / sub / "lib" for p in (spec.submodule_search_locations or [])
              for sub in ("cu13", "cuda_runtime")] if spec else []
    if cuda_home:
        places.append(pathlib.Path(cuda_home) / "lib64")
    return [str(p) for p in places if any(p.glob("libcudart.so*"))]


# The driver with every folder of it, and the type stubs of both modules as
# stub-only packages (<module>-stubs), which type checkers and editors find in
# site-packages.
DRIVER_PACKAGES = find_packages(ROOT, include=["orvane_sim", "orvane_sim.*"])
STUB_PACKAGES = ["Orvane-stubs", "OrvaneCPU-stubs"]


def read_version() -> str:
    """The package version, kept in orvane_sim/_version.py alone."""
    with open(os.path.join(ROOT, "orvane_sim", "_version.py")) as f:
        return re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)


def find_cuda_compiler(cuda_home=CUDA_HOME, environ=os.environ):
    """(nvcc, None) when the CUDA module can be compiled, else (None, why not).

    cuda_home is what PyTorch's extension builder found; the compiler it runs
    is $PYTORCH_NVCC when set, else cuda_home/bin/nvcc.
    """
    if environ.get("ORVANE_CPU_ONLY") == "1":
        return None, "ORVANE_CPU_ONLY=1 asks for the CPU twin alone"
    if not cuda_home:
        return None, ("no CUDA toolkit found (CUDA_HOME and CUDA_PATH unset, no nvcc on PATH, "
                      "no /usr/local/cuda)")
    override = environ.get("PYTORCH_NVCC", "").split()
    if override:
        nvcc = shutil.which(override[0])
        return (nvcc, None) if nvcc else (None, f"PYTORCH_NVCC={override[0]} is not a program")
    nvcc = os.path.join(cuda_home, "bin", "nvcc")
    if not (os.path.isfile(nvcc) and os.access(nvcc, os.X_OK)):
        return None, f"no CUDA compiler found: {nvcc} does not exist (CUDA_HOME={cuda_home})"
    return nvcc, None


def cuda_architectures(gencode=GENCODE):
    """The device code each -gencode embeds: sm_XY machine code, compute_XY PTX."""
    codes = [re.search(r",code=(\w+)", g).group(1) for g in gencode]
    return [c + (" (PTX)" if c.startswith("compute_") else "") for c in codes]


def tool_output(command) -> str:
    """What `command --version` prints, or "" where it cannot run."""
    try:
        return subprocess.run([*command.split(), "--version"], capture_output=True, text=True,
                              timeout=60).stdout
    except (OSError, subprocess.SubprocessError):
        return ""


def nvcc_release(nvcc) -> str:
    found = re.search(r"release ([\d.]+)", tool_output(nvcc))
    return found.group(1) if found else "unknown"


def build_record(nvcc, skipped):
    """What this build makes, as the dict written to orvane_sim/_build_info.py."""
    import torch

    cxx = os.environ.get("CXX", "c++")  # the compiler PyTorch's builder runs
    cxx_version = (tool_output(cxx).splitlines() or [""])[0]
    cpu = {"built": True, "compiler": cxx_version or cxx,
           "flags": CPU_FLAGS,
           "numerics": [f for f in CPU_FLAGS if NUMERICS.search(f)]}
    if nvcc is None:
        gpu = {"built": False, "reason": skipped}
    else:
        gpu = {"built": True, "nvcc": nvcc, "cuda": nvcc_release(nvcc),
               "architectures": cuda_architectures(), "flags": NVCC_FLAGS,
               "numerics": [f for f in NVCC_FLAGS if NUMERICS.search(f)]}
    return {"version": read_version(), "torch": torch.__version__,
            "modules": {"Orvane": gpu, "OrvaneCPU": cpu}}


def standin_source(reason: str) -> str:
    """The stand-in module's text with the reason the build gives filled in."""
    with open(os.path.join(ROOT, STANDIN)) as f:
        text = f.read()
    marker = "REASON = None\n"
    assert marker in text, f"{STANDIN} lost its REASON line"
    return text.replace(marker, f"REASON = {reason!r}\n", 1)


class BuildWithRecord(BuildExtension):
    """PyTorch's builder, plus the stand-in and the build record.

    Outputs go where the extensions go: the build directory, or the source
    tree for --inplace. The build directory outlives a build, so a CPU-only
    build removes a CUDA module left there by an earlier full build (it would
    otherwise be packaged as if built now), and a full build removes an old
    stand-in. In place there is no stand-in: it would hide an installed
    Orvane from everything run in the tree, and a CUDA module built in place
    earlier stays, so quick CPU-only rebuilds while working keep it.
    """

    nvcc = None  # set before setup() runs
    skipped = None

    def run(self):
        if self.skipped is not None:
            print(f"Orvane (CUDA module) skipped: {self.skipped}; building OrvaneCPU and "
                  "orvane_sim only", file=sys.stderr, flush=True)
        super().run()
        record_text = pprint.pformat(build_record(self.nvcc, self.skipped), sort_dicts=False)
        gpu_module = self.get_ext_fullpath("Orvane")
        outdir = os.path.dirname(gpu_module)
        standin = os.path.join(outdir, "Orvane.py")
        if self.skipped is None or self.inplace:
            if os.path.exists(standin):
                os.remove(standin)
        else:
            if os.path.exists(gpu_module):
                os.remove(gpu_module)
            self._write(standin, standin_source(self.skipped))
        record = os.path.join(outdir, RECORD)
        os.makedirs(os.path.dirname(record), exist_ok=True)
        self._write(record, "# What the extension build made; written by setup.py.\n"
                            f"BUILD = {record_text}\n")

    def _write(self, path, text):
        with open(path, "w") as f:
            f.write(text)
        print(f"writing {path}")


def extensions(nvcc):
    cpu_twin = CppExtension(
        "OrvaneCPU",
        [f"{SRC}/module_cpu.cpp"],
        extra_compile_args=CPU_FLAGS,
        extra_link_args=["-fopenmp", *LINK_FLAGS],
    )
    if nvcc is None:
        return [cpu_twin]
    gpu_module = CUDAExtension(
        "Orvane",
        CUDA_SOURCES,
        extra_compile_args={"cxx": HOST_FLAGS, "nvcc": NVCC_FLAGS},
        extra_link_args=[*LINK_FLAGS, *(f"-Wl,-rpath,{d}" for d in cuda_runtime_dirs())],
    )
    return [gpu_module, cpu_twin]


if __name__ == "__main__":
    # Named for torch too, so it never guesses from the GPUs it sees.
    os.environ.setdefault("TORCH_CUDA_ARCH_LIST", "8.9+PTX")
    nvcc, skipped = find_cuda_compiler()
    BuildWithRecord.nvcc = nvcc
    BuildWithRecord.skipped = skipped
    setup(
        packages=[*DRIVER_PACKAGES, *STUB_PACKAGES],
        package_dir={name: f"stubs/{name}" for name in STUB_PACKAGES},
        package_data={name: ["*.pyi"] for name in STUB_PACKAGES},
        ext_modules=extensions(nvcc),
        cmdclass={"build_ext": BuildWithRecord},
    )
