// Frequency-domain monitor: one time step's contribution of the electric
// field over a box of grid indices, added into complex accumulators,
//
//   acc[b0, b1, i, j, k, f] += w[f] · E[b0, b1, x0+i, y0+j, z0+k, s],
//
// with one complex factor w[f] per frequency (the caller's e^{-iωt}·dt, or
// any other weight). Called once per step, each accumulator ends as a
// running Fourier sum of its field.
//
// The box spans MX = x_last - x_first + 2 node positions along x (and MY, MZ
// likewise), one more than its cells, as the staggered components need: Ex
// is sampled at MX-1 x positions (its own axis), MY y and MZ z positions; Ey
// and Ez likewise along theirs. The accumulators are indexed by the box
// position, the fields by the grid position.
//
// Field slot rule: when Ex has fewer trailing slots than Ex_acc has
// frequencies, every frequency reads field slot 0 (one field shared by all
// frequencies); otherwise frequency f reads slot f. Decided from Ex and
// Ex_acc alone, the outcome holds for all three components.
//
// Indices here are full 32-bit integers (no 16-bit narrowing).
#pragma once

#include "args.h"

namespace orvane {

template <class Layout = Strided>
struct MonitorUpdate {
  using layout = Layout;
  using Complex = c10::complex<float>;
  template <typename T, size_t N>
  using Out = typename Layout::template Out<T, N>;
  template <typename T, size_t N>
  using In = typename Layout::template In<T, N>;

  Out<Complex, 6> Ex_acc;  // [B0, B1, MX-1, MY, MZ, F], updated
  Out<Complex, 6> Ey_acc;  // [B0, B1, MX, MY-1, MZ, F], updated
  Out<Complex, 6> Ez_acc;  // [B0, B1, MX, MY, MZ-1, F], updated
  In<float, 6> Ex;         // [B0, B1, >= x0+MX-1, >= y0+MY, >= z0+MZ, F or >= 1]
  In<float, 6> Ey;         // [B0, B1, >= x0+MX, >= y0+MY-1, >= z0+MZ, F or >= 1]
  In<float, 6> Ez;         // [B0, B1, >= x0+MX, >= y0+MY, >= z0+MZ-1, F or >= 1]
  In<Complex, 1> factor;   // [>= F]
  int32_t x0, y0, z0, B1, F, MX, MY, MZ;
  // The thread decode's divisions (by MY·MZ, MZ, F and B1), built on the
  // host; the results are those of cell32_from_id and batch32_from_y.
  Divisor by_plane, by_mz, by_f, by_b1;

  // The compact layout: accumulators contiguous over the box, a contiguous
  // factor vector. The fields are views into the whole grid, whose own
  // strides the kernel reads.
  template <class Fn>
  ORV_HD void compact_layout(Fn&& f) {
    contiguous(f, {B1, MX - 1, MY, MZ, F}, Ex_acc);
    contiguous(f, {B1, MX, MY - 1, MZ, F}, Ey_acc);
    contiguous(f, {B1, MX, MY, MZ - 1, F}, Ez_acc);
    contiguous(f, factor);
  }

  // Element (b0, b1, i, j, k, last) of a 6-D view.
  template <class V>
  ORV_HD ORV_FORCE_INLINE static Ref<V> at(const V& v, const Batch32& b, int32_t i, int32_t j,
                                           int32_t k, uint32_t last) {
    using I = typename V::index_t;
    return v.item(I(b.b0) * v.stride(0) + I(b.b1) * v.stride(1) + I(i) * v.stride(2) +
                  I(j) * v.stride(3) + I(k) * v.stride(4) + I(last) * v.stride(5));
  }

  // acc += w·e as two fused multiply-adds, the pair read and written once.
  ORV_HD ORV_FORCE_INLINE static void add(const Out<Complex, 6>& acc, const Batch32& b, int32_t i,
                                          int32_t j, int32_t k, const Complex w, const float e) {
    Complex& a = at(acc, b, i, j, k, b.b2);
    const Complex old = a;
    a = Complex(fused(w.real(), e, old.real()), fused(w.imag(), e, old.imag()));
  }

  ORV_HD ORV_FORCE_INLINE float sample(const In<float, 6>& f, const Batch32& b, int32_t i,
                                       int32_t j, int32_t k, uint32_t slot) const {
    return at(f, b, x0 + i, y0 + j, z0 + k, slot);
  }

  ORV_HD ORV_FORCE_INLINE void thread(const int32_t id, const uint32_t row) const {
    // Ids and rows are never negative: cell32_from_id's signed division and
    // batch32_from_y's, done by the divisors.
    const uint32_t i = by_plane.divide(uint32_t(id));
    const uint32_t in_plane = uint32_t(id) - i * (uint32_t(MY) * uint32_t(MZ));
    const uint32_t j = by_mz.divide(in_plane);
    const Cell32 c{int32_t(i), int32_t(j), int32_t(in_plane - j * uint32_t(MZ))};
    if (!(c.i < MX && c.j < MY && c.k < MZ)) return;
    const uint32_t entry = by_f.divide(row);  // b0·B1 + b1
    const uint32_t b0 = by_b1.divide(entry);
    const Batch32 b{b0, entry - b0 * uint32_t(B1), row - entry * uint32_t(F)};  // b.b2 is f
    const uint32_t slot = Ex.size(5) < Ex_acc.size(5) ? 0 : b.b2;
    const Complex w = elem(factor, b.b2);
    if (c.i < MX - 1) add(Ex_acc, b, c.i, c.j, c.k, w, sample(Ex, b, c.i, c.j, c.k, slot));
    if (c.j < MY - 1) add(Ey_acc, b, c.i, c.j, c.k, w, sample(Ey, b, c.i, c.j, c.k, slot));
    if (c.k < MZ - 1) add(Ez_acc, b, c.i, c.j, c.k, w, sample(Ez, b, c.i, c.j, c.k, slot));
  }
};

#ifdef __CUDACC__
}  // namespace orvane

__global__ void Monitor_Update_GPU_E(const orvane::MonitorUpdate<orvane::Strided> kernel);
__global__ void Monitor_Update_GPU_E(const orvane::MonitorUpdate<orvane::Compact> kernel);

namespace orvane {
template <class Layout>
GpuKernel<MonitorUpdate<Layout>> gpu_kernel(const MonitorUpdate<Layout>&) {
  return {::Monitor_Update_GPU_E, "Monitor_Update_GPU_E"};
}
#endif

// ------------------------------------------------------------ host side

// Monitor_Update_E. B0, B1 and F come from Ex_acc, the box from the three
// ranges (read on the host). An empty box (an extent below 1) adds nothing.
template <class L>
void monitor_update_e(const at::Tensor& Ex_acc, const at::Tensor& Ey_acc, const at::Tensor& Ez_acc,
                      const at::Tensor& Ex, const at::Tensor& Ey, const at::Tensor& Ez,
                      const at::Tensor& step_factor, const at::Tensor& x_range,
                      const at::Tensor& y_range, const at::Tensor& z_range) {
  const ArgCheck check("Monitor_Update_E");
  require_available<L>(check);
  const char* acc_layout = "[B0, B1, box x, box y, box z, F]";
  const TensorArg args[] = {complex_arg(Ex_acc, "Ex_acc", 6, acc_layout, true),
                            complex_arg(Ey_acc, "Ey_acc", 6, acc_layout, true),
                            complex_arg(Ez_acc, "Ez_acc", 6, acc_layout, true),
                            field_arg(Ex, "Ex", false),
                            field_arg(Ey, "Ey", false),
                            field_arg(Ez, "Ez", false),
                            complex_arg(step_factor, "step_factor", 1, "[F]")};
  check_arguments<L>(check, args, args[0]);
  const at::Device device = Ex_acc.device();
  const std::vector<int64_t> rx = host_ints(check, x_range, "x_range", 2, device, "Ex_acc");
  const std::vector<int64_t> ry = host_ints(check, y_range, "y_range", 2, device, "Ex_acc");
  const std::vector<int64_t> rz = host_ints(check, z_range, "z_range", 2, device, "Ex_acc");

  const int64_t B0 = Ex_acc.size(0), B1 = Ex_acc.size(1), F = Ex_acc.size(5);
  const int64_t x0 = rx[0], y0 = ry[0], z0 = rz[0];
  const int64_t MX = rx[1] - rx[0] + 2, MY = ry[1] - ry[0] + 2, MZ = rz[1] - rz[0] + 2;
  if (MX < 1 || MY < 1 || MZ < 1 || B0 == 0 || B1 == 0 || F == 0) return;  // nothing sampled

  if (x0 < 0 || y0 < 0 || z0 < 0) {
    std::ostringstream msg;
    msg << "the box must start at non-negative indices (entry 0 of x_range, y_range, z_range), "
        << "got first indices (" << x0 << ", " << y0 << ", " << z0 << ")";
    check.fail(msg.str());
  }
  // Field positions x0 + i are 32-bit in the kernel.
  for (const int64_t end : {x0 + MX, y0 + MY, z0 + MZ})
    if (end > INT32_MAX) {
      std::ostringstream msg;
      msg << "the box (x_range, y_range, z_range) must end below index " << INT32_MAX
          << ", got an end at " << end;
      check.fail(msg.str());
    }
  // Each extent is below 2^31 now, so the products below cannot overflow.
  check.thread_limits(MX * MY, "the number of box positions MX*MY (x_range, y_range)", 0, "");
  check.thread_limits(MX * MY * MZ,
                      "the number of box positions MX*MY*MZ (x_range, y_range, z_range)",
                      B0 * B1 * F, "the number of accumulator rows B0*B1*F");
  check.extents(step_factor, "step_factor", {F}, "(one factor per frequency of Ex_acc)");

  // The slot each frequency reads, decided from Ex: fields need slot 0 only,
  // or a slot per frequency.
  const int64_t slots = Ex.size(5) < F ? 1 : F;
  const char* slot_rule = Ex.size(5) < F ? "(Ex has fewer slots than Ex_acc: all read slot 0)"
                                         : "(Ex has a slot per frequency: each reads its own)";
  const std::string box = "[B0, B1, " + std::to_string(x0) + " + MX, " + std::to_string(y0) +
                          " + MY, " + std::to_string(z0) +
                          " + MZ, slots] with MX, MY, MZ = " + std::to_string(MX) + ", " +
                          std::to_string(MY) + ", " + std::to_string(MZ) +
                          ", less one along the component's own axis " + slot_rule;
  // Each component is sampled only when the box has a cell along its axis.
  if (MX > 1) {
    check.extents(Ex_acc, "Ex_acc", {B0, B1, MX - 1, MY, MZ, F}, "[B0, B1, MX-1, MY, MZ, F]");
    check.extents(Ex, "Ex", {B0, B1, x0 + MX - 1, y0 + MY, z0 + MZ, slots}, box.c_str());
  }
  if (MY > 1) {
    check.extents(Ey_acc, "Ey_acc", {B0, B1, MX, MY - 1, MZ, F}, "[B0, B1, MX, MY-1, MZ, F]");
    check.extents(Ey, "Ey", {B0, B1, x0 + MX, y0 + MY - 1, z0 + MZ, slots}, box.c_str());
  }
  if (MZ > 1) {
    check.extents(Ez_acc, "Ez_acc", {B0, B1, MX, MY, MZ - 1, F}, "[B0, B1, MX, MY, MZ-1, F]");
    check.extents(Ez, "Ez", {B0, B1, x0 + MX, y0 + MY, z0 + MZ - 1, slots}, box.c_str());
  }
  check_no_aliasing(check, args);
  for (const TensorArg& acc : c10::ArrayRef<TensorArg>(args).slice(0, 3))
    check_plain_complex(check, acc.t, acc.name);

  const typename L::DeviceScope on(device);
  // A lazily conjugated or negated factor is read through a resolved copy,
  // held here until the launch is queued.
  const at::Tensor factor = resolved(step_factor);
  const auto divisor = [](int64_t d) { return Divisor(uint32_t(d)); };
  with_layout(
      check, fits_compact(args) && fits_compact(factor),
      [&](auto layout) {
        // clang-format off
        return MonitorUpdate<decltype(layout)>{
            Ex_acc, Ey_acc, Ez_acc, Ex, Ey, Ez, factor,
            int32_t(x0), int32_t(y0), int32_t(z0), int32_t(B1), int32_t(F),
            int32_t(MX), int32_t(MY), int32_t(MZ),
            divisor(MY * MZ), divisor(MZ), divisor(F), divisor(B1)};
        // clang-format on
      },
      [&](const auto& kernel) {
        L::threads("Monitor_Update_E", ThreadLaunch{MX * MY * MZ, B0 * B1 * F}, kernel);
      });
}

}  // namespace orvane
