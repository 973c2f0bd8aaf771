// GPU kernels of material grid preparation: each thread decodes its node of
// the index ranges (or of the whole grid) and its layout from the launch
// grid, then runs the body of materials.h.
#include "materials.h"

using orvane::run_thread;

template <typename T>
__global__ void Mat_Average_GPU(const orvane::MatAverage<T> kernel) {
  run_thread(kernel);
}

namespace orvane {
GpuKernel<MatAverage<float>> gpu_kernel(const MatAverage<float>&) {
  return {::Mat_Average_GPU<float>, "Mat_Average_GPU"};
}
GpuKernel<MatAverage<double>> gpu_kernel(const MatAverage<double>&) {
  return {::Mat_Average_GPU<double>, "Mat_Average_GPU"};
}
}  // namespace orvane

__global__ void Set_weight_mat_id_GPU(const orvane::SetWeightMatId kernel) { run_thread(kernel); }

__global__ void Set_ER_average_GPU(const orvane::SetErAverage kernel) { run_thread(kernel); }

__global__ void Set_weight_subcell_GPU(const orvane::SetWeightSubcell kernel) {
  run_thread(kernel);
}
