// GPU kernels of the periodic pass: one thread per ghost-face position and
// complex batch entry, running the body of boundary.h.
#include "boundary.h"

using orvane::run_thread;

__global__ void E_boundx(const orvane::PeriodicPass<0> kernel) { run_thread(kernel); }

__global__ void E_boundy(const orvane::PeriodicPass<1> kernel) { run_thread(kernel); }
