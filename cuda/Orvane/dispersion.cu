// GPU kernel of the dispersive pass: each thread decodes its node and batch
// entry and runs the node body of dispersion.h, one kernel per layout.
#include "dispersion.h"

using orvane::CellDecode;
using orvane::Compact;
using orvane::Strided;
using orvane::UpdateEDispersion;

__global__ void Update_E_Dispersion_GPU(const UpdateEDispersion<Strided> kernel,
                                        const CellDecode decode) {
  orvane::run_cell16_thread(kernel, decode);
}
__global__ void Update_E_Dispersion_GPU(const UpdateEDispersion<Compact> kernel,
                                        const CellDecode decode) {
  orvane::run_cell16_thread(kernel, decode);
}
