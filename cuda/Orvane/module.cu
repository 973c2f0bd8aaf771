// Entry point of `Orvane`, the module for CUDA tensors.
#include "functions.h"

PYBIND11_MODULE(Orvane, m) { orvane::define_functions<orvane::GpuLauncher>(m); }
