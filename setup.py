"""Builds the two extension modules from the one source tree in cuda/Orvane.

Orvane:    nvcc, fast math, device code for compute capability 8.9 as machine
           code plus PTX (and 9.0 machine code), linked against PyTorch's CUDA
           libraries.
OrvaneCPU: the host compiler, OpenMP over cells, the same functions for CPU
           tensors.
"""
import glob
import os

from setuptools import setup
from torch.utils.cpp_extension import TORCH_LIB_PATH, BuildExtension, CppExtension, CUDAExtension

SRC = "cuda/Orvane"
# The entry point and one kernel file per subsystem.
CUDA_SOURCES = sorted(glob.glob(f"{SRC}/*.cu"))

# Name the architectures: with no GPU visible, torch cannot guess them.
os.environ.setdefault("TORCH_CUDA_ARCH_LIST", "8.9+PTX")
GENCODE = [
    "-gencode=arch=compute_89,code=sm_89",
    "-gencode=arch=compute_90,code=sm_90",
    "-gencode=arch=compute_89,code=compute_89",
]

# The host side computes without contraction: the bodies say where a
# multiply-add is fused (std::fma), and nothing else is.
HOST_FLAGS = ["-O3", "-ffp-contract=off"]

# ORVANE_CPU_ONLY=1 builds the CPU twin alone (no CUDA toolkit needed; quick
# rebuilds while working on the host side).
CPU_ONLY = os.environ.get("ORVANE_CPU_ONLY") == "1"

# Find PyTorch's libraries without `import torch` first.
LINK_FLAGS = [f"-Wl,-rpath,{TORCH_LIB_PATH}"]

cpu_twin = CppExtension(
    "OrvaneCPU",
    [f"{SRC}/module_cpu.cpp"],
    extra_compile_args=[*HOST_FLAGS, "-fopenmp"],
    extra_link_args=["-fopenmp", *LINK_FLAGS],
)
gpu_module = CUDAExtension(
    "Orvane",
    CUDA_SOURCES,
    extra_compile_args={
        "cxx": HOST_FLAGS,
        "nvcc": ["-O3", "--use_fast_math", *GENCODE, "-Xcompiler=-ffp-contract=off"],
    },
    extra_link_args=LINK_FLAGS,
)

# The driver, and the type stubs of both modules as stub-only packages
# (<module>-stubs), which type checkers and editors find in site-packages.
STUB_PACKAGES = ["Orvane-stubs", "OrvaneCPU-stubs"]

setup(
    packages=["orvane_sim", *STUB_PACKAGES],
    package_dir={name: f"stubs/{name}" for name in STUB_PACKAGES},
    package_data={name: ["*.pyi"] for name in STUB_PACKAGES},
    ext_modules=[cpu_twin] if CPU_ONLY else [gpu_module, cpu_twin],
    cmdclass={"build_ext": BuildExtension},
)
