// Periodic boundary: the x and y ghost layers of the electric field, filled
// after the electric update so that the domain repeats with a complex phase
// shift (a Bloch phase) from one period to the next.
//
// Along x the ghost layers are i = 0 and i = NX of Ey and Ez (the components
// with NX + 1 nodes along x); layers 1 ... NX-1 are the interior, so the period
// is NX - 1 cells: layer 0 mirrors layer NX-1 and layer NX mirrors layer 1.
// Along y likewise with Ex and Ez. The fields hold complex values in
// split-complex form (frame.h): BC = B2 / 2 complex entries, an odd B2's last
// slot untouched. With the phase factor c + i·s of a (b0, bc) entry
// (s = s0, or -s0 when positive_phase is false):
//
//   F(0)  <- (c + i·s)·F(N-1)
//   F(N)  <- (c - i·s)·F(1)
//
// The x pass runs before the y pass, so the Ez lines where both ghost sets
// meet end with both phases applied (the y pass reads the x ghosts it wrote).
// Whether a pass runs is decided on the device from periodic_flags (entry 0:
// x, entry 1: y; non-zero enables), never read on the host. An axis with fewer
// than two cells has no interior layer to mirror (layer N-1 would be the ghost
// itself, or index -1): its pass does nothing.
#pragma once

#include "args.h"

namespace orvane {

using Phases = View<float, 2>;  // [B0, 2·BC]: real parts, then imaginary parts

// One pass, one face position (p, q) and one complex batch entry.
// Axis 0 (E_boundx): p is the y index, q the z index; the first field is Ey
// (treated for p < NY), the second Ez (treated for q < NZ); layers along x.
// Axis 1 (E_boundy): p is the x index, q the z index; Ex (p < NX), then Ez
// (q < NZ); layers along y.
template <int Axis>
struct PeriodicPass {
  Field F1;      // x pass: Ey [B0, B1, NX+1, NY, NZ+1, 2BC]; y pass: Ex, updated
  Field F2;      // Ez [B0, B1, NX+1, NY+1, NZ, 2BC], updated
  Phases phase;  // [B0, 2BC]
  IntVec flags;  // [2]
  int32_t B1, BC, NX, NY, NZ;
  bool positive_phase;

  // Element at layer L along the pass' axis, face position (p, q), slot.
  ORV_HD float& at(const Field& f, const Batch16& b, int32_t layer, int32_t p, int32_t q,
                   uint32_t slot) const {
    const uint64_t off =
        b.b0 * f.stride(0) + b.b1 * f.stride(1) + u64(q) * f.stride(4) + u64(slot) * f.stride(5);
    return Axis == 0 ? f.data()[off + u64(layer) * f.stride(2) + u64(p) * f.stride(3)]
                     : f.data()[off + u64(p) * f.stride(2) + u64(layer) * f.stride(3)];
  }

  // The face rule, in this order: ghost 0 from layer N-1, then ghost N from
  // layer 1.
  ORV_HD void face(const Field& f, const Batch16& b, int32_t p, int32_t q, float c, float s) const {
    const int32_t N = Axis == 0 ? NX : NY;
    const uint32_t re = b.b2, im = uint32_t(uint16_t(BC + b.b2));
    float r = at(f, b, N - 1, p, q, re), m = at(f, b, N - 1, p, q, im);
    at(f, b, 0, p, q, re) = c * r - s * m;
    at(f, b, 0, p, q, im) = s * r + c * m;
    r = at(f, b, 1, p, q, re);
    m = at(f, b, 1, p, q, im);
    at(f, b, N, p, q, re) = c * r + s * m;
    at(f, b, N, p, q, im) = c * m - s * r;
  }

  ORV_HD void thread(const int32_t id, const uint32_t row) const {
    const Plane16 pq = plane16_from_id(id, NZ + 1);
    const int32_t p = pq.p, q = pq.q;
    const int32_t P = Axis == 0 ? NY : NX;  // the face's extent along p
    if (p > P || q > NZ) return;
    if (elem(flags, Axis) == 0) return;
    if ((Axis == 0 ? NX : NY) < 2) return;
    // The batch decoding with BC in the role of B2: b2 is the complex entry.
    const Batch16 b = batch16_from_y(row, uint32_t(B1), uint32_t(BC));
    const float c = phase.data()[b.b0 * phase.stride(0) + b.b2 * phase.stride(1)];
    const float s0 =
        phase.data()[b.b0 * phase.stride(0) + u64(uint16_t(BC + b.b2)) * phase.stride(1)];
    const float s = positive_phase ? s0 : -s0;
    if (p < P) face(F1, b, p, q, c, s);
    if (q < NZ) face(F2, b, p, q, c, s);
  }
};

#ifdef __CUDACC__
}  // namespace orvane

__global__ void E_boundx(const orvane::PeriodicPass<0> kernel);
__global__ void E_boundy(const orvane::PeriodicPass<1> kernel);

namespace orvane {
inline GpuKernel<PeriodicPass<0>> gpu_kernel(const PeriodicPass<0>&) {
  return {::E_boundx, "E_boundx"};
}
inline GpuKernel<PeriodicPass<1>> gpu_kernel(const PeriodicPass<1>&) {
  return {::E_boundy, "E_boundy"};
}
#endif

// ------------------------------------------------------------ host side

// Update_E_Periodic. Sizes as for the field updates (NX = Ex.size(2),
// NY = Ey.size(3), NZ = Ez.size(4), B0, B1 from Ex) with BC = Ex.size(5) / 2.
// Both passes are launched whatever the flags hold, x first.
template <class L>
void update_e_periodic(const at::Tensor& Ex, const at::Tensor& Ey, const at::Tensor& Ez,
                       const at::Tensor& phase_x, const at::Tensor& phase_y,
                       const at::Tensor& periodic_flags, bool positive_phase) {
  const ArgCheck check("Update_E_Periodic");
  require_available<L>(check);
  const TensorArg args[] = {field_arg(Ex, "Ex", true),
                            field_arg(Ey, "Ey", true),
                            field_arg(Ez, "Ez", true),
                            {phase_x, "phase_x", 2, at::kFloat, "[B0, 2*BC]", false},
                            {phase_y, "phase_y", 2, at::kFloat, "[B0, 2*BC]", false},
                            {periodic_flags, "periodic_flags", 1, at::kInt, "[2]", false}};
  check_arguments<L>(check, args, args[0]);

  const int64_t B0 = Ex.size(0), B1 = Ex.size(1), BC = Ex.size(5) / 2;
  const int64_t NX = Ex.size(2), NY = Ey.size(3), NZ = Ez.size(4);
  check.extents(Ex, "Ex", {B0, B1, NX, NY + 1, NZ + 1, 2 * BC}, "[B0, B1, NX, NY+1, NZ+1, 2*BC]");
  check.extents(Ey, "Ey", {B0, B1, NX + 1, NY, NZ + 1, 2 * BC}, "[B0, B1, NX+1, NY, NZ+1, 2*BC]");
  check.extents(Ez, "Ez", {B0, B1, NX + 1, NY + 1, NZ, 2 * BC}, "[B0, B1, NX+1, NY+1, NZ, 2*BC]");
  check.extents(phase_x, "phase_x", {B0, 2 * BC}, "[B0, 2*BC]");
  check.extents(phase_y, "phase_y", {B0, 2 * BC}, "[B0, 2*BC]");
  check.extents(periodic_flags, "periodic_flags", {2}, "(x pass, y pass)");
  // Face positions run to N inclusive and the imaginary slot to 2*BC - 1,
  // all held in 16 bits.
  check.size_limit(B0, "batch size B0");
  check.size_limit(B1, "batch size B1");
  check.size_limit(2 * BC, "the split-complex slots 2*BC");
  check.size_limit(NX, "grid size NX");
  check.size_limit(NY, "grid size NY");
  check.size_limit(NZ, "grid size NZ");
  check.thread_limits((NY + 1) * (NZ + 1), "the x pass' face positions (NY+1)*(NZ+1)", B0 * B1 * BC,
                      "the number of complex batch entries B0*B1*BC");
  check.thread_limits((NX + 1) * (NZ + 1), "the y pass' face positions (NX+1)*(NZ+1)", B0 * B1 * BC,
                      "the number of complex batch entries B0*B1*BC");
  check_no_aliasing(check, args);

  const typename L::DeviceScope on(Ex.device());
  const Phases px = view<float, 2>(phase_x), py = view<float, 2>(phase_y);
  const IntVec flags = view<int32_t, 1>(periodic_flags);
  const int32_t b1 = int32_t(B1), bc = int32_t(BC), nx = int32_t(NX), ny = int32_t(NY),
                nz = int32_t(NZ);
  const PeriodicPass<0> x_pass{
      view<float, 6>(Ey), view<float, 6>(Ez), px, flags, b1, bc, nx, ny, nz, positive_phase};
  L::threads("Update_E_Periodic", ThreadLaunch{(NY + 1) * (NZ + 1), B0 * B1 * BC}, x_pass);
  const PeriodicPass<1> y_pass{
      view<float, 6>(Ex), view<float, 6>(Ez), py, flags, b1, bc, nx, ny, nz, positive_phase};
  L::threads("Update_E_Periodic", ThreadLaunch{(NX + 1) * (NZ + 1), B0 * B1 * BC}, y_pass);
}

}  // namespace orvane
