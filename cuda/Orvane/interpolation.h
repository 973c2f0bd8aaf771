// Resampling of complex fields between two rectilinear grids.
//
// The base grid and the target grid are each given by three coordinate
// vectors; values live on the tensor product of them, complex64
// [B0, B1, X, Y, Z, B2]. Trilinear_interpolation reads base values at the
// target nodes (trilinear blend of the eight surrounding base nodes, or the
// nearest base node); Trilinear_reverse_interpolation is the transpose of the
// trilinear blend: each target value is spread onto the same eight base nodes
// with the same weights, contributions to one base node summed.
//
// Index search. For each target coordinate t along an axis with base
// coordinates g[0] < ... < g[G-1] (strictly increasing):
//   interval mode: the lower node of the interval holding t, g[q] <= t <
//     g[q+1], clamped to [0, G-2] (a target below g[0] gets 0, one at or
//     beyond g[G-1] gets G-2; NaN counts as beyond);
//   nearest mode: the node nearest to t, the lower one on a tie (an
//     infinite target goes to the end node on its side, NaN to the last).
// Both come from one sorted search per axis, O((n + G) log G) time and O(n)
// memory, instead of an n x G difference matrix. Nearest distances are
// compared in double precision, where the difference of two float32
// coordinates is exact for any realistic grid: single-precision differences
// would round distinct distances to equal ones for targets far outside the
// grid and send them to the wrong node.
//
// Fractions t = (target − g[q]) / (g[q+1] − g[q]) are clamped to [0, 1]
// (a NaN fraction becomes 1), so a target outside the base grid takes the
// value of the boundary node along that axis: constant extension, never
// extrapolation. Corner weights are (x factor · y factor) · z factor.
#pragma once

#include <c10/util/complex.h>

#include <cmath>

#include "args.h"

namespace orvane {

namespace interpolation {

using Complex = c10::complex<float>;
using ComplexField = View<Complex, 6>;  // [B0, B1, X, Y, Z, B2]

// Element (i, j, k) of batch entry b of a 6-D view, 32-bit indices.
template <typename T>
ORV_HD inline T& entry(const View<T, 6>& v, const Batch32& b, int64_t i, int64_t j, int64_t k) {
  return v.data()[u64(b.b0) * v.stride(0) + u64(b.b1) * v.stride(1) + u64(i) * v.stride(2) +
                  u64(j) * v.stride(3) + u64(k) * v.stride(4) + u64(b.b2) * v.stride(5)];
}

// Fraction of `t` along the interval [g[q], g[q+1]], clamped to [0, 1] with
// the upper bound first, so that NaN comes out as 1.
ORV_HD inline float fraction(float t, const Vec& g, int32_t q) {
  const float lo = elem(g, q);
  const float f = (t - lo) / (elem(g, q + 1) - lo);
#ifdef __CUDA_ARCH__
  return fmaxf(0.f, fminf(f, 1.f));
#else
  return std::fmax(0.f, std::fmin(f, 1.f));
#endif
}

// The eight corner weights of one target node, w[abc] weighing the base node
// (ix + a, iy + b, iz + c), in the order 000, 100, 010, 001, 110, 011, 101, 111.
struct Corners {
  float w[8];
  int32_t dx[8], dy[8], dz[8];
};

ORV_HD inline Corners corners(float tx, float ty, float tz) {
  const float ux = 1.f - tx, uy = 1.f - ty, uz = 1.f - tz;
  return {{(ux * uy) * uz, (tx * uy) * uz, (ux * ty) * uz, (ux * uy) * tz, (tx * ty) * uz,
           (ux * ty) * tz, (tx * uy) * tz, (tx * ty) * tz},
          {0, 1, 0, 0, 1, 0, 1, 1},
          {0, 0, 1, 0, 1, 1, 0, 1},
          {0, 0, 0, 1, 0, 1, 1, 1}};
}

}  // namespace interpolation

// Forward resampling, one target node of one batch entry:
//
//   nearest:   result = V(ix, iy, iz)
//   trilinear: result = Σ_abc w_abc · V(ix+a, iy+b, iz+c),
//
// the sum started as V000·w000 + w100·V100 and continued in corner order, each
// term one fused multiply-add, real and imaginary parts alike.
struct TrilinearInterpolation {
  using ComplexField = interpolation::ComplexField;

  ComplexField result;               // [B0, B1, TX, TY, TZ, B2], written
  Vec target_x, target_y, target_z;  // [TX], [TY], [TZ]
  IntVec index_x, index_y, index_z;  // [TX], [TY], [TZ]: base node per target coordinate
  ComplexField grid_values;          // [B0, B1, GX, GY, GZ, B2]
  Vec grid_x, grid_y, grid_z;        // [GX], [GY], [GZ]
  int32_t B1, B2, TX, TY, TZ;
  bool nearest;

  ORV_HD void thread(int32_t id, uint32_t row) const {
    using namespace interpolation;
    Cell32 c;
    if (!cell32_from_id(id, TX, TY, TZ, c)) return;
    const Batch32 b = batch32_from_y(row, uint32_t(B1), uint32_t(B2));
    const int32_t ix = elem(index_x, c.i), iy = elem(index_y, c.j), iz = elem(index_z, c.k);
    Complex& out = entry(result, b, c.i, c.j, c.k);
    if (nearest) {
      out = entry(grid_values, b, ix, iy, iz);
      return;
    }
    const Corners w = corners(fraction(elem(target_x, c.i), grid_x, ix),
                              fraction(elem(target_y, c.j), grid_y, iy),
                              fraction(elem(target_z, c.k), grid_z, iz));
    const Complex v000 = entry(grid_values, b, ix, iy, iz);
    const Complex v100 = entry(grid_values, b, ix + 1, iy, iz);
    float re = fused(v000.real(), w.w[0], w.w[1] * v100.real());
    float im = fused(v000.imag(), w.w[0], w.w[1] * v100.imag());
    for (int n = 2; n < 8; ++n) {
      const Complex v = entry(grid_values, b, ix + w.dx[n], iy + w.dy[n], iz + w.dz[n]);
      re = fused(w.w[n], v.real(), re);
      im = fused(w.w[n], v.imag(), im);
    }
    out = Complex(re, im);
  }
};

// Reverse resampling, one target node of one batch entry: its real part
// spread onto the eight base nodes with the forward weights, then its
// imaginary part. Neighbouring target nodes share base nodes, so every
// addition is atomic; the order of the additions across threads is not fixed
// and totals may differ in the last bits from run to run.
struct TrilinearReverseInterpolation {
  Field target_re, target_im;        // [B0, B1, TX, TY, TZ, B2]: parts of the target values
  Vec target_x, target_y, target_z;  // [TX], [TY], [TZ]
  IntVec index_x, index_y, index_z;  // [TX], [TY], [TZ]: lower base node per target coordinate
  Field grid_re, grid_im;            // [B0, B1, GX, GY, GZ, B2], accumulated
  Vec grid_x, grid_y, grid_z;        // [GX], [GY], [GZ]
  int32_t B1, B2, TX, TY, TZ;

  ORV_HD void thread(int32_t id, uint32_t row) const {
    using namespace interpolation;
    Cell32 c;
    if (!cell32_from_id(id, TX, TY, TZ, c)) return;
    const Batch32 b = batch32_from_y(row, uint32_t(B1), uint32_t(B2));
    const int32_t ix = elem(index_x, c.i), iy = elem(index_y, c.j), iz = elem(index_z, c.k);
    const Corners w = corners(fraction(elem(target_x, c.i), grid_x, ix),
                              fraction(elem(target_y, c.j), grid_y, iy),
                              fraction(elem(target_z, c.k), grid_z, iz));
    const float re = entry(target_re, b, c.i, c.j, c.k);
    const float im = entry(target_im, b, c.i, c.j, c.k);
    for (int n = 0; n < 8; ++n)
      atomic_add(&entry(grid_re, b, ix + w.dx[n], iy + w.dy[n], iz + w.dz[n]), w.w[n] * re);
    for (int n = 0; n < 8; ++n)
      atomic_add(&entry(grid_im, b, ix + w.dx[n], iy + w.dy[n], iz + w.dz[n]), w.w[n] * im);
  }
};

#ifdef __CUDACC__
}  // namespace orvane

__global__ void Trilinear_interpolation_GPU(const orvane::TrilinearInterpolation kernel);
__global__ void Trilinear_reverse_interpolation_GPU(
    const orvane::TrilinearReverseInterpolation kernel);

namespace orvane {
inline GpuKernel<TrilinearInterpolation> gpu_kernel(const TrilinearInterpolation&) {
  return {::Trilinear_interpolation_GPU, "Trilinear_interpolation_GPU"};
}
inline GpuKernel<TrilinearReverseInterpolation> gpu_kernel(const TrilinearReverseInterpolation&) {
  return {::Trilinear_reverse_interpolation_GPU, "Trilinear_reverse_interpolation_GPU"};
}
#endif

// ------------------------------------------------------------ host side

// Base node per target coordinate along one axis (see the top of this file),
// int32 on the tensors' device. `t` is any 1-D float32 tensor, `g` a 1-D
// float32 tensor already checked to be strictly increasing with at least two
// entries (one in nearest mode).
inline at::Tensor interval_indices(const at::Tensor& t, const at::Tensor& g, bool nearest) {
  const int64_t G = g.size(0);
  const at::Tensor base = g.contiguous();
  const at::Tensor targets = t.contiguous();
  if (!nearest) {
    // Number of nodes at or below t, minus one: the lower node of t's interval.
    const at::Tensor above = at::searchsorted(base, targets, /*out_int32=*/false, /*right=*/true);
    return (above - 1).clamp(0, G - 2).to(at::kInt);
  }
  // First node at or above t, and the one before it: the two candidates.
  const at::Tensor upper = at::searchsorted(base, targets, /*out_int32=*/false, /*right=*/false);
  const at::Tensor hi = upper.clamp_max(G - 1);
  const at::Tensor lo = (upper - 1).clamp_min(0);
  const at::Tensor t64 = targets.to(at::kDouble);
  const at::Tensor g64 = base.to(at::kDouble);
  const at::Tensor d_lo = (t64 - g64.index_select(0, lo)).abs();
  const at::Tensor d_hi = (g64.index_select(0, hi) - t64).abs();
  return at::where(d_hi < d_lo, hi, lo).to(at::kInt);
}

// Base coordinates along one axis: at least `least` of them, finite and
// strictly increasing. Read on the host (this waits for the device; the
// interpolation functions wait for it anyway).
inline void check_base_axis(const ArgCheck& check, const at::Tensor& g, const char* name,
                            int64_t least, const char* mode) {
  if (g.size(0) < least) {
    std::ostringstream m;
    m << name << " must have at least " << least << (least == 1 ? " coordinate" : " coordinates")
      << " in " << mode << " mode, got " << g.size(0);
    check.fail(m.str());
  }
  if (g.size(0) > kMaxCells) {
    std::ostringstream m;
    m << name << " must have at most " << kMaxCells << " coordinates, got " << g.size(0);
    check.fail(m.str());
  }
  if (!at::isfinite(g).all().item<bool>())
    check.fail(std::string(name) + " must hold finite coordinates");
  if (g.size(0) > 1 && !(g.slice(0, 1) > g.slice(0, 0, -1)).all().item<bool>())
    check.fail(std::string(name) + " must be strictly increasing");
}

// Product of tensor sizes, held at INT64_MAX where it would overflow (the
// sizes of a tensor with no elements, or an expanded one, can be anything).
inline int64_t saturated_product(std::initializer_list<int64_t> sizes) {
  for (const int64_t n : sizes)
    if (n == 0) return 0;
  int64_t p = 1;
  for (const int64_t n : sizes) p = p > INT64_MAX / n ? INT64_MAX : p * n;
  return p;
}

// What both directions check before anything is allocated: the fixed
// messages first (availability, then each tensor on the backend's device),
// then layouts, one device for all, the base axes, the extents of the values
// on their grid, and the launch limits. Returns the sizes.
struct ResampleSizes {
  int64_t B0, B1, B2, GX, GY, GZ, TX, TY, TZ;
};

template <class L>
ResampleSizes check_resample(const ArgCheck& check, const char* not_on_device_prefix,
                             const TensorArg (&args)[7], bool values_on_base_grid, bool nearest) {
  require_available_fixed<L>("CUDA not available.");
  for (const TensorArg& a : args) require_on_processor_fixed<L>(a.t, not_on_device_prefix);
  check_arguments<L>(check, args, args[3]);
  const char* mode = nearest ? "nearest" : "trilinear";
  const int64_t least = nearest ? 1 : 2;
  for (int axis = 0; axis < 3; ++axis)
    check_base_axis(check, args[axis].t, args[axis].name, least, mode);

  const at::Tensor& values = args[3].t;
  const ResampleSizes s{values.size(0),    values.size(1),    values.size(5),
                        args[0].t.size(0), args[1].t.size(0), args[2].t.size(0),
                        args[4].t.size(0), args[5].t.size(0), args[6].t.size(0)};
  if (values_on_base_grid)
    check.extents(values, args[3].name, {s.B0, s.B1, s.GX, s.GY, s.GZ, s.B2},
                  "[B0, B1, GX, GY, GZ, B2] (GX, GY, GZ: the lengths of grid_x, grid_y, grid_z)");
  else
    check.extents(values, args[3].name, {s.B0, s.B1, s.TX, s.TY, s.TZ, s.B2},
                  "[B0, B1, TX, TY, TZ, B2] (TX, TY, TZ: the lengths of target_x, target_y, "
                  "target_z)");
  check.thread_limits(saturated_product({s.TX, s.TY, s.TZ}), "the number of target nodes TX*TY*TZ",
                      saturated_product({s.B0, s.B1, s.B2}),
                      "the number of batch entries B0*B1*B2");
  return s;
}

template <class L>
at::Tensor trilinear_interpolation(const at::Tensor& grid_x, const at::Tensor& grid_y,
                                   const at::Tensor& grid_z, const at::Tensor& grid_values,
                                   const at::Tensor& target_x, const at::Tensor& target_y,
                                   const at::Tensor& target_z, bool nearest) {
  const ArgCheck check("Trilinear_interpolation");
  const TensorArg args[7] = {vec_arg(grid_x, "grid_x"),
                             vec_arg(grid_y, "grid_y"),
                             vec_arg(grid_z, "grid_z"),
                             complex_arg(grid_values, "grid_values", 6, "[B0, B1, GX, GY, GZ, B2]"),
                             vec_arg(target_x, "target_x"),
                             vec_arg(target_y, "target_y"),
                             vec_arg(target_z, "target_z")};
  const ResampleSizes s = check_resample<L>(check, "", args, /*values_on_base_grid=*/true, nearest);

  // Everything lives on the device of the inputs, whichever device is current.
  const typename L::DeviceScope on(grid_values.device());
  at::Tensor result = at::zeros({s.B0, s.B1, s.TX, s.TY, s.TZ, s.B2}, grid_values.options());
  const at::Tensor ix = interval_indices(target_x, grid_x, nearest);
  const at::Tensor iy = interval_indices(target_y, grid_y, nearest);
  const at::Tensor iz = interval_indices(target_z, grid_z, nearest);
  // A lazily conjugated input is read through a resolved copy.
  const at::Tensor values = grid_values.resolve_conj().resolve_neg();

  using C = c10::complex<float>;
  // clang-format off
  const TrilinearInterpolation kernel{
      view<C, 6>(result),
      view<float, 1>(target_x), view<float, 1>(target_y), view<float, 1>(target_z),
      view<int32_t, 1>(ix), view<int32_t, 1>(iy), view<int32_t, 1>(iz),
      view<C, 6>(values),
      view<float, 1>(grid_x), view<float, 1>(grid_y), view<float, 1>(grid_z),
      int32_t(s.B1), int32_t(s.B2), int32_t(s.TX), int32_t(s.TY), int32_t(s.TZ),
      nearest
  };
  // clang-format on
  L::threads("Trilinear_interpolation", ThreadLaunch{s.TX * s.TY * s.TZ, s.B0 * s.B1 * s.B2},
             kernel);
  L::synchronize("Trilinear_interpolation");
  return result;
}

template <class L>
at::Tensor trilinear_reverse_interpolation(const at::Tensor& grid_x, const at::Tensor& grid_y,
                                           const at::Tensor& grid_z,
                                           const at::Tensor& target_values,
                                           const at::Tensor& target_x, const at::Tensor& target_y,
                                           const at::Tensor& target_z) {
  const ArgCheck check("Trilinear_reverse_interpolation");
  const TensorArg args[7] = {
      vec_arg(grid_x, "grid_x"),
      vec_arg(grid_y, "grid_y"),
      vec_arg(grid_z, "grid_z"),
      complex_arg(target_values, "target_values", 6, "[B0, B1, TX, TY, TZ, B2]"),
      vec_arg(target_x, "target_x"),
      vec_arg(target_y, "target_y"),
      vec_arg(target_z, "target_z")};
  const ResampleSizes s =
      check_resample<L>(check, "Error: ", args, /*values_on_base_grid=*/false, /*nearest=*/false);

  const typename L::DeviceScope on(target_values.device());
  // Real and imaginary parts as float32 views of the (resolved) values.
  const at::Tensor values = target_values.resolve_conj().resolve_neg();
  const at::Tensor re = at::real(values), im = at::imag(values);
  // Accumulation grids are float32 whatever the process's default dtype.
  const auto grid_options = target_values.options().dtype(at::kFloat);
  const std::vector<int64_t> shape{s.B0, s.B1, s.GX, s.GY, s.GZ, s.B2};
  at::Tensor grid_re = at::zeros(shape, grid_options);
  at::Tensor grid_im = at::zeros(shape, grid_options);
  const at::Tensor ix = interval_indices(target_x, grid_x, false);
  const at::Tensor iy = interval_indices(target_y, grid_y, false);
  const at::Tensor iz = interval_indices(target_z, grid_z, false);

  // clang-format off
  const TrilinearReverseInterpolation kernel{
      view<float, 6>(re), view<float, 6>(im),
      view<float, 1>(target_x), view<float, 1>(target_y), view<float, 1>(target_z),
      view<int32_t, 1>(ix), view<int32_t, 1>(iy), view<int32_t, 1>(iz),
      view<float, 6>(grid_re), view<float, 6>(grid_im),
      view<float, 1>(grid_x), view<float, 1>(grid_y), view<float, 1>(grid_z),
      int32_t(s.B1), int32_t(s.B2), int32_t(s.TX), int32_t(s.TY), int32_t(s.TZ)
  };
  // clang-format on
  L::threads("Trilinear_reverse_interpolation",
             ThreadLaunch{s.TX * s.TY * s.TZ, s.B0 * s.B1 * s.B2}, kernel);
  L::synchronize("Trilinear_reverse_interpolation");
  return at::complex(grid_re, grid_im);
}

}  // namespace orvane
