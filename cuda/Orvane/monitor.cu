// GPU kernel of the frequency-domain monitor: one thread per box position,
// batch entry and frequency, running the body of monitor.h.
#include "monitor.h"

__global__ void Monitor_Update_GPU_E(const orvane::MonitorUpdate kernel) {
  orvane::run_thread(kernel);
}
