// GPU kernels of the field updates: each thread decodes its cell and batch
// entry and runs the cell body of fields.h.
#include "fields.h"

using orvane::run_cell16_thread;

__global__ void Update_H_GPU(const orvane::UpdateH kernel) { run_cell16_thread(kernel); }

__global__ void Update_E_GPU(const orvane::UpdateE kernel) { run_cell16_thread(kernel); }
