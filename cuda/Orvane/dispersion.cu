// GPU kernel of the dispersive pass: each thread decodes its node and batch
// entry and runs the node body of dispersion.h.
#include "dispersion.h"

__global__ void Update_E_Dispersion_GPU(const orvane::UpdateEDispersion kernel) {
  orvane::run_cell16_thread(kernel);
}
