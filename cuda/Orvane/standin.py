"""Stand-in for the CUDA module Orvane.

A build that finds no CUDA compiler makes the CPU twin OrvaneCPU and the
driver orvane_sim, and installs this file as Orvane so that importing it
says what happened and how to get the real module, instead of a bare
"No module named 'Orvane'".
"""
REASON = None

raise ImportError(
    f"Orvane, the CUDA module, was not built: {REASON}. "
    "OrvaneCPU has the same functions for CPU tensors. To get Orvane, install the "
    "CUDA toolkit (nvcc; point CUDA_HOME at it if it is not on PATH) and rebuild: "
    "python3 -m pip install --no-build-isolation . from the source tree.",
    name="Orvane", path=__file__)
