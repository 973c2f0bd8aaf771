// GPU kernels of the resampling: each thread decodes its target node and
// batch entry and runs the body of interpolation.h.
#include "interpolation.h"

__global__ void Trilinear_interpolation_GPU(const orvane::TrilinearInterpolation kernel) {
  orvane::run_thread(kernel);
}

__global__ void Trilinear_reverse_interpolation_GPU(
    const orvane::TrilinearReverseInterpolation kernel) {
  orvane::run_thread(kernel);
}
