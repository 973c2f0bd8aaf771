// GPU kernels of the field updates: each thread decodes its cell and batch
// entry and runs the cell body of fields.h, one kernel per layout.
#include "fields.h"

using orvane::CellDecode;
using orvane::Compact;
using orvane::run_cell16_thread;
using orvane::Strided;

__global__ void Update_H_GPU(const orvane::UpdateH<Strided> kernel, const CellDecode decode) {
  run_cell16_thread(kernel, decode);
}
__global__ void Update_H_GPU(const orvane::UpdateH<Compact> kernel, const CellDecode decode) {
  run_cell16_thread(kernel, decode);
}

__global__ void Update_E_GPU(const orvane::UpdateE<Strided> kernel, const CellDecode decode) {
  run_cell16_thread(kernel, decode);
}
__global__ void Update_E_GPU(const orvane::UpdateE<Compact> kernel, const CellDecode decode) {
  run_cell16_thread(kernel, decode);
}
