// Sources: increments added to the running fields between the updates.
//
// Plane waves (Inject_E, Inject_H). A plane of constant z carries a complex
// excitation, an amplitude per batch entry times a profile over the plane,
// scaled by a coefficient taken from a z-indexed table at the written z
// index. Used as a total-field / scattered-field boundary, the pair adds the
// incident field's missing curl terms on both sides of the plane:
// Inject_H after the magnetic update (x pair = incident Ex, y pair =
// incident Ey, coefficients ch_z), Inject_E after the electric update (x pair
// = incident Hx, y pair = incident Hy, coefficients ce_z).
//
// Current boxes (Inject_J). A box of SX x SY x SZ cells at an offset: each
// electric component has one complex sample per box cell, subtracted unscaled.
//
// Complex excitations meet real fields through the split-complex trailing
// batch dimension (frame.h): with BC = B2 / 2, slots b2 < BC take the real
// part of the excitation of source entry b2, slots b2 >= BC the imaginary
// part of source entry b2 - BC. An odd B2 leaves the imaginary half one slot
// longer; B2 = 1 has no real half at all, so its one slot takes the imaginary
// part.
#pragma once

#include "args.h"

namespace orvane {

using Complex = c10::complex<float>;
using ComplexVec2 = View<Complex, 2>;  // [B0, half]
using ComplexProf = View<Complex, 4>;  // [B0, X, Y, half]
using Current = View<Complex, 5>;      // [B0, B1, SX, SY, SZ]

// Real or imaginary part of a*p, the complex product of an amplitude and a
// profile value.
ORV_HD inline float product_part(const Complex a, const Complex p, bool imaginary) {
  return imaginary ? a.real() * p.imag() + a.imag() * p.real()
                   : a.real() * p.real() - a.imag() * p.imag();
}

// Real or imaginary part of amplitude[b0, s] · profile[b0, i, j, s], the
// excitation of source entry s at plane position (i, j).
ORV_HD inline float excitation(const ComplexVec2& amp, const ComplexProf& prof, uint16_t b0,
                               int32_t i, int32_t j, uint16_t s, bool imaginary) {
  const Complex a = amp.data()[b0 * amp.stride(0) + s * amp.stride(1)];
  const Complex p = prof.data()[b0 * prof.stride(0) + u64(i) * prof.stride(1) +
                                u64(j) * prof.stride(2) + s * prof.stride(3)];
  return product_part(a, p, imaginary);
}

// Plane-wave injection, one position (i, j) of the z-plane and one batch
// entry. Electric (Inject_E) and magnetic (Inject_H) differ only in
//
//                       electric               magnetic
//   written z index kz  k + 1                  k
//   x component        += c·part(Py), j > m_y  -= c·part(Py), i > m_x
//   y component        -= c·part(Px), i > m_x  += c·part(Px), j > m_y
//
// with c = cz[kz], Px = amp_x[b0, s]·prof_x[b0, i, j, s] and Py likewise,
// s the source entry of the thread's slot. A thread works inside the
// rectangle m_x <= i < NX - m_x, m_y <= j < NY - m_y (inclusive margins);
// the component tests are strict, so each margin row or column takes one
// component only. The x component is written first.
template <bool Electric>
struct InjectPlane {
  Field Fx;            // [B0, B1, >= NX - m_x, >= NY - m_y, > kz, B2], updated
  Field Fy;            // [B0, B1, >= NX - m_x, >= NY - m_y, > kz, B2], updated
  Vec cz;              // [> kz]
  ComplexVec2 amp_x;   // [B0, B2 - B2/2]
  ComplexVec2 amp_y;   // [B0, B2 - B2/2]
  ComplexProf prof_x;  // [B0, NX - m_x, NY - m_y, B2 - B2/2]
  ComplexProf prof_y;  // [B0, NX - m_x, NY - m_y, B2 - B2/2]
  int32_t k, m_x, m_y, B1, B2, NX, NY;

  ORV_HD void thread(const int32_t id, const uint32_t row) const {
    const Plane16 at = plane16_from_id(id, NY);
    const int32_t i = at.p, j = at.q;
    if (!(m_x <= i && i < NX - m_x && m_y <= j && j < NY - m_y)) return;
    const Batch16 b = batch16_from_y(row, uint32_t(B1), uint32_t(B2));

    const int32_t BC = B2 / 2;
    const bool imaginary = b.b2 >= BC;
    const uint16_t s = imaginary ? uint16_t(b.b2 - BC) : b.b2;
    const int32_t kz = Electric ? k + 1 : k;
    const float c = elem(cz, kz);

    if (Electric ? j > m_y : i > m_x) {
      const float v = c * excitation(amp_y, prof_y, b.b0, i, j, s, imaginary);
      float& f = elem(Fx, b, i, j, kz);
      f = Electric ? f + v : f - v;
    }
    if (Electric ? i > m_x : j > m_y) {
      const float v = c * excitation(amp_x, prof_x, b.b0, i, j, s, imaginary);
      float& f = elem(Fy, b, i, j, kz);
      f = Electric ? f - v : f + v;
    }
  }
};

using InjectE = InjectPlane<true>;
using InjectH = InjectPlane<false>;

// Current injection, one box cell (i, j, k) and one batch entry: the field
// element at (i + ox, j + oy, k + oz) of each component loses the real
// (b2 < B2/2) or imaginary part of that component's sample, unscaled. The
// samples carry no trailing batch index: both halves read the same sample.
struct InjectCurrent {
  Field Ex, Ey, Ez;    // [B0, B1, >= ox+SX, >= oy+SY, >= oz+SZ, B2], updated
  Current Jx, Jy, Jz;  // [B0, B1, >= SX, >= SY, >= SZ]
  int32_t ox, oy, oz, B1, B2, SX, SY, SZ;

  // E at grid cell g loses the part of J's sample at box cell c.
  ORV_HD static void subtract(const Field& E, const Current& J, const Batch16& b, const Cell16& c,
                              const Cell16& g, bool imaginary) {
    const Complex v = J.data()[b.b0 * J.stride(0) + b.b1 * J.stride(1) + c.i * J.stride(2) +
                               c.j * J.stride(3) + c.k * J.stride(4)];
    elem(E, b, g.i, g.j, g.k) -= imaginary ? v.imag() : v.real();
  }

  ORV_HD void thread(const int32_t id, const uint32_t row) const {
    Cell16 c;
    if (!cell16_from_id(id, SX, SY, SZ, c)) return;
    const Batch16 b = batch16_from_y(row, uint32_t(B1), uint32_t(B2));
    const bool imaginary = b.b2 >= B2 / 2;
    const Cell16 g{uint16_t(c.i + ox), uint16_t(c.j + oy), uint16_t(c.k + oz)};
    subtract(Ex, Jx, b, c, g, imaginary);
    subtract(Ey, Jy, b, c, g, imaginary);
    subtract(Ez, Jz, b, c, g, imaginary);
  }
};

#ifdef __CUDACC__
}  // namespace orvane

__global__ void Inject_E_Plane_GPU(const orvane::InjectE kernel);
__global__ void Inject_H_Plane_GPU(const orvane::InjectH kernel);
__global__ void Inject_J_GPU(const orvane::InjectCurrent kernel);

namespace orvane {
inline GpuKernel<InjectE> gpu_kernel(const InjectE&) {
  return {::Inject_E_Plane_GPU, "Inject_E_Plane_GPU"};
}
inline GpuKernel<InjectH> gpu_kernel(const InjectH&) {
  return {::Inject_H_Plane_GPU, "Inject_H_Plane_GPU"};
}
inline GpuKernel<InjectCurrent> gpu_kernel(const InjectCurrent&) {
  return {::Inject_J_GPU, "Inject_J_GPU"};
}
#endif

// ------------------------------------------------------------ host side

// Inject_E and Inject_H. Sizes: B0, B1, B2 from the x component; the plane
// extents NX, NY from the fields (Inject_E: Ex along x, Ey along y) or from
// the profiles (Inject_H: prof_x along x, prof_y along y). The margins are
// read on the host; the z index written is k + 1 (Inject_E) or k (Inject_H).
template <class L, bool Electric>
void inject_plane(const at::Tensor& Fx, const at::Tensor& Fy, const at::Tensor& cz,
                  const at::Tensor& amp_x, const at::Tensor& amp_y, const at::Tensor& prof_x,
                  const at::Tensor& prof_y, const at::Tensor& margins, int64_t k) {
  const char* const function = Electric ? "Inject_E" : "Inject_H";
  const char* const fx = Electric ? "Ex" : "Hx";
  const char* const fy = Electric ? "Ey" : "Hy";
  const ArgCheck check(function);
  require_available<L>(check);
  const TensorArg args[] = {field_arg(Fx, fx, true),
                            field_arg(Fy, fy, true),
                            vec_arg(cz, "cz"),
                            complex_arg(amp_x, "amp_x", 2, "[B0, B2 - B2/2]"),
                            complex_arg(amp_y, "amp_y", 2, "[B0, B2 - B2/2]"),
                            complex_arg(prof_x, "prof_x", 4, "[B0, X, Y, B2 - B2/2]"),
                            complex_arg(prof_y, "prof_y", 4, "[B0, X, Y, B2 - B2/2]")};
  check_arguments<L>(check, args, args[0]);
  const std::vector<int64_t> m = host_ints(check, margins, "margins", 2, Fx.device(), fx);
  if (m[0] < 0 || m[1] < 0) {
    std::ostringstream msg;
    msg << "margins must not be negative, got (" << m[0] << ", " << m[1] << ")";
    check.fail(msg.str());
  }

  const int64_t B0 = Fx.size(0), B1 = Fx.size(1), B2 = Fx.size(5), half = B2 - B2 / 2;
  const int64_t NX = Electric ? Fx.size(2) : prof_x.size(1);
  const int64_t NY = Electric ? Fy.size(3) : prof_y.size(2);
  check.launch_limits(B0, B1, B2, NX, NY, 1);

  // The written z index must lie inside both fields and inside cz.
  const int64_t kz = Electric ? int64_t(k) + 1 : int64_t(k);
  const auto reach = [&](const at::Tensor& t, const char* name, int64_t dim, const char* what) {
    if (kz < 0 || kz >= t.size(dim)) {
      std::ostringstream msg;
      msg << "k = " << k << " " << what << " z index " << kz << ", but " << name << " has "
          << t.size(dim) << " entries along z";
      check.fail(msg.str());
    }
  };
  reach(Fx, fx, 4, "writes");
  reach(Fy, fy, 4, "writes");
  reach(cz, "cz", 0, "reads cz at");

  // Margins of NX or more leave nothing to write; the kernel sees the same
  // empty rectangle with the margin clamped to the plane, in 32 bits.
  const int64_t m_x = std::min(m[0], NX), m_y = std::min(m[1], NY);
  const int64_t RX = NX - m_x, RY = NY - m_y;  // the rectangle ends below these
  if (RX > m_x && RY > m_y) {
    const char* rect = "[B0, B1, NX - m_x, NY - m_y, kz + 1, B2] (the injection rectangle)";
    check.extents(Fx, fx, {B0, B1, RX, RY, kz + 1, B2}, rect);
    check.extents(Fy, fy, {B0, B1, RX, RY, kz + 1, B2}, rect);
    check.extents(amp_x, "amp_x", {B0, half}, "[B0, B2 - B2/2]");
    check.extents(amp_y, "amp_y", {B0, half}, "[B0, B2 - B2/2]");
    check.extents(prof_x, "prof_x", {B0, RX, RY, half}, "[B0, NX - m_x, NY - m_y, B2 - B2/2]");
    check.extents(prof_y, "prof_y", {B0, RX, RY, half}, "[B0, NX - m_x, NY - m_y, B2 - B2/2]");
  }
  check_no_aliasing(check, args);

  const ThreadLaunch g{NX * NY, B0 * B1 * B2};
  const typename L::DeviceScope on(Fx.device());
  // Lazily conjugated or negated excitations are read through resolved
  // copies, held here until the launch is queued.
  const at::Tensor ax = resolved(amp_x), ay = resolved(amp_y), px = resolved(prof_x),
                   py = resolved(prof_y);
  // clang-format off
  const InjectPlane<Electric> kernel{
      view<float, 6>(Fx), view<float, 6>(Fy), view<float, 1>(cz),
      view<Complex, 2>(ax), view<Complex, 2>(ay), view<Complex, 4>(px), view<Complex, 4>(py),
      int32_t(k), int32_t(m_x), int32_t(m_y), int32_t(B1), int32_t(B2), int32_t(NX), int32_t(NY)
  };
  // clang-format on
  L::threads(function, g, kernel);
}

template <class L>
void inject_e(const at::Tensor& Ex, const at::Tensor& Ey, const at::Tensor& cz,
              const at::Tensor& amp_x, const at::Tensor& amp_y, const at::Tensor& prof_x,
              const at::Tensor& prof_y, const at::Tensor& margins, int k) {
  inject_plane<L, true>(Ex, Ey, cz, amp_x, amp_y, prof_x, prof_y, margins, k);
}

template <class L>
void inject_h(const at::Tensor& Hx, const at::Tensor& Hy, const at::Tensor& cz,
              const at::Tensor& amp_x, const at::Tensor& amp_y, const at::Tensor& prof_x,
              const at::Tensor& prof_y, const at::Tensor& margins, int k) {
  inject_plane<L, false>(Hx, Hy, cz, amp_x, amp_y, prof_x, prof_y, margins, k);
}

// Inject_J. Sizes: B0, B1, B2 from Ex; the box SX = Jx.size(2),
// SY = Jy.size(3), SZ = Jz.size(4); the offset read on the host.
template <class L>
void inject_j(const at::Tensor& Ex, const at::Tensor& Ey, const at::Tensor& Ez,
              const at::Tensor& Jx, const at::Tensor& Jy, const at::Tensor& Jz,
              const at::Tensor& offset) {
  const ArgCheck check("Inject_J");
  require_available<L>(check);
  const TensorArg args[] = {field_arg(Ex, "Ex", true),
                            field_arg(Ey, "Ey", true),
                            field_arg(Ez, "Ez", true),
                            complex_arg(Jx, "Jx", 5, "[B0, B1, SX, SY, SZ]"),
                            complex_arg(Jy, "Jy", 5, "[B0, B1, SX, SY, SZ]"),
                            complex_arg(Jz, "Jz", 5, "[B0, B1, SX, SY, SZ]")};
  check_arguments<L>(check, args, args[0]);
  const std::vector<int64_t> o = host_ints(check, offset, "offset", 3, Ex.device(), "Ex");
  if (o[0] < 0 || o[1] < 0 || o[2] < 0) {
    std::ostringstream msg;
    msg << "offset must not be negative, got (" << o[0] << ", " << o[1] << ", " << o[2] << ")";
    check.fail(msg.str());
  }

  const int64_t B0 = Ex.size(0), B1 = Ex.size(1), B2 = Ex.size(5);
  const int64_t SX = Jx.size(2), SY = Jy.size(3), SZ = Jz.size(4);
  check.size_limit(B0, "batch size B0");
  check.size_limit(B1, "batch size B1");
  check.size_limit(B2, "batch size B2");
  check.size_limit(SX, "box size SX");
  check.size_limit(SY, "box size SY");
  check.size_limit(SZ, "box size SZ");
  check.thread_limits(SX * SY * SZ, "the number of box cells SX*SY*SZ", B0 * B1 * B2,
                      "the number of batch entries B0*B1*B2");
  if (SX > 0 && SY > 0 && SZ > 0) {
    // Grid indices are 16-bit in the kernel: the box must end below 65536.
    check.size_limit(o[0] + SX, "the box's end along x, offset[0] + SX,");
    check.size_limit(o[1] + SY, "the box's end along y, offset[1] + SY,");
    check.size_limit(o[2] + SZ, "the box's end along z, offset[2] + SZ,");
    for (const TensorArg& J : c10::ArrayRef<TensorArg>(args).slice(3, 3))
      check.extents(J.t, J.name, {B0, B1, SX, SY, SZ}, "[B0, B1, SX, SY, SZ]");
    const std::string box = "[B0, B1, " + std::to_string(o[0]) + " + SX, " + std::to_string(o[1]) +
                            " + SY, " + std::to_string(o[2]) + " + SZ, B2] (the box at its offset)";
    for (const TensorArg& E : c10::ArrayRef<TensorArg>(args).slice(0, 3))
      check.extents(E.t, E.name, {B0, B1, o[0] + SX, o[1] + SY, o[2] + SZ, B2}, box.c_str());
  }
  check_no_aliasing(check, args);

  const ThreadLaunch g{SX * SY * SZ, B0 * B1 * B2};
  const typename L::DeviceScope on(Ex.device());
  // Lazily conjugated or negated samples are read through resolved copies,
  // held here until the launch is queued.
  const at::Tensor jx = resolved(Jx), jy = resolved(Jy), jz = resolved(Jz);
  // clang-format off
  const InjectCurrent kernel{
      view<float, 6>(Ex), view<float, 6>(Ey), view<float, 6>(Ez),
      view<Complex, 5>(jx), view<Complex, 5>(jy), view<Complex, 5>(jz),
      int32_t(o[0]), int32_t(o[1]), int32_t(o[2]),
      int32_t(B1), int32_t(B2), int32_t(SX), int32_t(SY), int32_t(SZ)
  };
  // clang-format on
  L::threads("Inject_J", g, kernel);
}

}  // namespace orvane
