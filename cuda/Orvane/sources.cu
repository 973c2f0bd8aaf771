// GPU kernels of the sources: each thread decodes its own plane position or
// box cell and batch entry and runs the body of sources.h.
#include "sources.h"

using orvane::run_thread;

__global__ void Inject_E_Plane_GPU(const orvane::InjectE kernel) { run_thread(kernel); }

__global__ void Inject_H_Plane_GPU(const orvane::InjectH kernel) { run_thread(kernel); }

__global__ void Inject_J_GPU(const orvane::InjectCurrent kernel) { run_thread(kernel); }
