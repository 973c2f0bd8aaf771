// GPU kernels of the anisotropic pass: one thread per listed node and
// (b0, b2) pair, running the bodies of anisotropy.h.
#include "anisotropy.h"

__global__ void Anisotropic_Increments_GPU(const orvane::AnisotropicIncrements kernel) {
  orvane::run_thread(kernel);
}

__global__ void Update_E_Anisotropic_GPU(const orvane::UpdateEAnisotropic kernel) {
  orvane::run_thread(kernel);
}
