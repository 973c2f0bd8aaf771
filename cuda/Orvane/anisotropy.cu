// GPU kernel of the anisotropic pass: one thread per listed node and (b0, b2)
// pair, running the body of anisotropy.h.
#include "anisotropy.h"

__global__ void Update_E_Anisotropic_GPU(const orvane::UpdateEAnisotropic kernel) {
  orvane::run_thread(kernel);
}
