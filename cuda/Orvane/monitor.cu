// GPU kernel of the frequency-domain monitor: one thread per box position,
// batch entry and frequency, running the body of monitor.h, one kernel per
// layout.
#include "monitor.h"

using orvane::Compact;
using orvane::MonitorUpdate;
using orvane::Strided;

__global__ void Monitor_Update_GPU_E(const MonitorUpdate<Strided> kernel) {
  orvane::run_thread(kernel);
}
__global__ void Monitor_Update_GPU_E(const MonitorUpdate<Compact> kernel) {
  orvane::run_thread(kernel);
}
