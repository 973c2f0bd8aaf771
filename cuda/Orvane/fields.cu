// GPU kernels of the field updates: decode the thread's cell and batch entry,
// run the cell body of fields.h.
#include "fields.h"

namespace orvane {

__global__ void Update_H_GPU(const UpdateH kernel) { run_cell16_thread(kernel); }

__global__ void Update_E_GPU(const UpdateE kernel) { run_cell16_thread(kernel); }

}  // namespace orvane
