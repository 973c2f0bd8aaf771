// Entry point of `OrvaneCPU`, the twin of `Orvane` for CPU tensors: the same
// functions, the same per-cell bodies, run by the CPU launcher.
#include "functions.h"

PYBIND11_MODULE(OrvaneCPU, m) { orvane::define_functions<orvane::CpuLauncher>(m); }
