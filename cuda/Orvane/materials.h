// Material grid preparation: turning objects sampled on fine lattices into
// the per-node material grids that the field updates consume. All of it runs
// before the time loop.
//
// Material grids are 4-D [L, X, Y, Z], one value per node of one electric
// component's lattice: the weight grid (float32, share of the primary
// material), the primary and secondary id grids (uint8, ids 0 to 255 into the
// material table, a 1-D float32 tensor of relative permittivities) and the
// averaged permittivity grid (float32). Dimension 0 is the material batch:
// the preparation kernels take it from the launch grid's y coordinate (one
// row per layout l), the field kernels from b1.
//
// Objects. The caller samples an object (its fill fraction, or any quantity)
// on a uniform lattice of FX x FY x FZ cells over its bounding box: sample
// (l, a, b, c) fills [x0 + a*dx, x0 + (a+1)*dx] x ... with x0 = bounds[0]
// and dx = (bounds[1] - bounds[0]) / FX, likewise y and z. get_id_range gives
// the nodes the box touches along one axis; a kernel then runs one thread per
// node of those ranges (32-bit indices) and per layout.
//
// Dual cells. Node n of an axis with coordinates c owns the dual cell
// [lo, hi] reaching halfway to its neighbours (lo = (c[n-1] + c[n]) / 2,
// hi = (c[n] + c[n+1]) / 2), clamped to its own coordinate at the first and
// last node. A node's value is the volume-weighted average of the
// piecewise-constant samples over its dual cell; the lattice is empty (zero)
// outside the box, and that share is not renormalised away.
//
// A dual cell of zero width along an axis (a single node, as a 2-D
// simulation has along z, or coincident coordinates) is taken in the limit of
// a vanishing width: along that axis the lattice cell holding the node's
// coordinate counts with weight 1, so the average runs over the other two
// axes. Everything else keeps its exact volume weighting.
#pragma once

#include <cmath>
#include <limits>

#include "args.h"

namespace orvane {

using ByteGrid = View<uint8_t, 4>;  // [L, X, Y, Z] material ids

// Node (n, m, p) of layout l of a material grid.
template <typename T>
ORV_HD inline T& node(const View<T, 4>& v, int64_t l, int64_t n, int64_t m, int64_t p) {
  return v.data()[u64(l) * v.stride(0) + u64(n) * v.stride(1) + u64(m) * v.stride(2) +
                  u64(p) * v.stride(3)];
}

// Midpoint of two neighbouring node coordinates: in single precision, or
// formed in double and rounded, as the coordinates come.
ORV_HD inline float midpoint(float a, float b) { return (a + b) / 2.f; }
ORV_HD inline float midpoint(double a, double b) { return float((a + b) * 0.5); }

// Lattice cell floor(v) as an int, held to [-1, F]: both ends lie outside
// the lattice, so no cell that a loop visits changes, but no value (an
// infinite or NaN quotient from a zero spacing) reaches the int conversion
// and no loop runs past the lattice.
ORV_HD inline int32_t lattice_cell(float v, int32_t F) {
  const float f = floorf(v);
  if (!(f >= -1.f)) return -1;
  if (f > float(F)) return F;
  return int32_t(f);
}

// One axis of a node's dual cell laid over the sample lattice.
struct DualAxis {
  float lo, hi;         // the dual cell [lo, hi]
  float width;          // hi - lo, or 1 for a flat cell
  float origin, step;   // lattice cell a is [origin + a*step, origin + (a+1)*step]
  int32_t first, last;  // lattice cells holding lo and hi (clamped to [-1, F])
  int32_t begin, end;   // the cells of [first, last] inside the lattice [0, F)
  bool flat;            // zero width: the cell holding the coordinate weighs 1

  // Length of the dual cell inside lattice cell a (a visited cell): the
  // cell's own bounds, replaced by the dual cell's at the first and last.
  ORV_HD float overlap(int32_t a) const {
    if (flat) return 1.f;
    const float top = a == last ? hi : fused(float(a + 1), step, origin);
    const float bottom = a == first ? lo : fused(float(a), step, origin);
    return top - bottom;
  }
};

template <typename T>
ORV_HD inline DualAxis dual_axis(const View<T, 1>& c, int32_t n, int32_t count, float origin,
                                 float step, int32_t cells) {
  DualAxis d;
  d.lo = n >= 1 ? midpoint(elem(c, n - 1), elem(c, n)) : float(elem(c, 0));
  d.hi = n < count - 1 ? midpoint(elem(c, n), elem(c, n + 1)) : float(elem(c, count - 1));
  d.origin = origin;
  d.step = step;
  d.width = d.hi - d.lo;
  d.flat = d.width == 0.f;
  d.first = lattice_cell((d.lo - origin) / step, cells);
  d.last = d.flat ? d.first : lattice_cell((d.hi - origin) / step, cells);
  if (!d.flat && d.first < d.last) {
    // A bound on a lattice edge (or rounded to either side of one) leaves
    // the cell beyond it nothing of the dual cell, or less than nothing:
    // start and end at the cells the dual cell reaches into, so that a node
    // and its mirror image visit mirror images of the same cells.
    if (d.hi <= fused(float(d.last), step, origin)) --d.last;
    if (d.first < d.last && fused(float(d.first + 1), step, origin) <= d.lo) ++d.first;
  }
  if (d.flat) d.width = 1.f;
  d.begin = d.first < 0 ? 0 : d.first;
  d.end = d.last > cells - 1 ? cells - 1 : d.last;
  return d;
}

// A node's dual cell along the three axes and its volume.
struct DualCell {
  DualAxis x, y, z;
  float volume;
};

// a + b, rounded once and never merged with a product into a multiply-add
// (as nvcc merges a plain a·b + c on the device): a fused a·b + c·d keeps
// one product exact and rounds the other, so it would not commute.
ORV_HD inline float plain_add(float a, float b) {
#ifdef __CUDA_ARCH__
  return __fadd_rn(a, b);
#else
  return a + b;
#endif
}

// Σ term(i) over i = begin … end (nothing if end < begin), added in an order
// that reversing the range leaves alone: the two ends to each other, the
// pair to the sum, and so on inwards, the middle term last. Addition
// commutes bit for bit though it does not associate, so a node and its
// mirror image, whose dual cells cover the same lattice cells in reverse
// order along an axis, come to the same bits; nested once per axis, for a
// mirror of any axis. S: float, or a struct with its own plain_add.
template <typename S, typename Term>
ORV_HD inline S mirror_sum(int32_t begin, int32_t end, const Term& term) {
  S sum{};
  for (; begin < end; ++begin, --end) sum = plain_add(sum, plain_add(term(begin), term(end)));
  if (begin == end) sum = plain_add(sum, term(begin));
  return sum;
}

// What every box kernel shares: node coordinates, the sample lattice and the
// offsets of the index ranges.
template <typename T>
ORV_HD inline DualCell dual_cell(const View<T, 1>& xc, const View<T, 1>& yc, const View<T, 1>& zc,
                                 int32_t n, int32_t m, int32_t p, int32_t CX, int32_t CY,
                                 int32_t CZ, float x0, float y0, float z0, float dx, float dy,
                                 float dz, int32_t FX, int32_t FY, int32_t FZ) {
  DualCell d;
  d.x = dual_axis(xc, n, CX, x0, dx, FX);
  d.y = dual_axis(yc, m, CY, y0, dy, FY);
  d.z = dual_axis(zc, p, CZ, z0, dz, FZ);
  d.volume = d.x.width * d.y.width * d.z.width;
  return d;
}

// ------------------------------------------------------------------ kernels

// Volume average of a sampled quantity over each node's dual cell:
//
//   out[l, i, j, k] = (1/V) · Σ over lattice cells (a, b, c) under the dual
//                     cell of node (startx+i, starty+j, startz+k)
//                     of S[l, a, b, c] · wx(a) · wy(b) · wz(c)
//
// with w the overlap lengths and V the dual cell's volume. Geometry is single
// precision in both instantiations; in double each term is formed in double
// and added to the single-precision sum in double.
template <typename T>
struct MatAverage {
  View<T, 4> out;         // [L, RX, RY, RZ], written
  View<T, 1> xc, yc, zc;  // [CX], [CY], [CZ]
  View<T, 4> samples;     // [L, FX, FY, FZ]
  int32_t startx, starty, startz;
  float x0, y0, z0;
  float dx, dy, dz;
  int32_t RX, RY, RZ;
  int32_t FX, FY, FZ;
  int32_t CX, CY, CZ;

  ORV_HD void thread(int32_t id, uint32_t row) const {
    Cell32 c;
    if (!cell32_from_id(id, RX, RY, RZ, c)) return;
    const DualCell d = dual_cell(xc, yc, zc, c.i + startx, c.j + starty, c.k + startz, CX, CY, CZ,
                                 x0, y0, z0, dx, dy, dz, FX, FY, FZ);
    float sum = 0.f;
    for (int32_t a = d.x.begin; a <= d.x.end; ++a) {
      const float wx = d.x.overlap(a);
      for (int32_t b = d.y.begin; b <= d.y.end; ++b) {
        const float wy = d.y.overlap(b);
        for (int32_t k = d.z.begin; k <= d.z.end; ++k) {
          const float wz = d.z.overlap(k);
          const T s = node(samples, row, a, b, k);
          if constexpr (sizeof(T) == sizeof(float)) {
            sum += s * wx * wy * wz / d.volume;
          } else {
            sum = float(double(sum) + s * double(wx) * double(wy) * double(wz) / double(d.volume));
          }
        }
      }
    }
    node(out, row, c.i, c.j, c.k) = T(sum);
  }
};

// Painting of one object into a set of material grids: with f the share of
// the node's dual cell that the object fills,
//
//   f = Σ (wx·wy·wz / V) · S[l, a, b, c]
//   if f > 0: secondary ← primary, primary ← id (low 8 bits), weight ← f
//
// Nodes the object misses (f = 0) keep their state.
struct SetWeightMatId {
  View<float, 1> xc, yc, zc;  // [CX], [CY], [CZ]
  Grid samples;               // [L, FX, FY, FZ] fill fractions
  int32_t mat_id;
  Grid weight;         // [L, X, Y, Z] over every node of the ranges, updated
  ByteGrid primary;    // [L, X, Y, Z], updated
  ByteGrid secondary;  // [L, X, Y, Z], updated
  int32_t startx, starty, startz;
  float x0, y0, z0;
  float dx, dy, dz;
  int32_t RX, RY, RZ;
  int32_t FX, FY, FZ;
  int32_t CX, CY, CZ;

  ORV_HD void thread(int32_t id, uint32_t row) const {
    Cell32 c;
    if (!cell32_from_id(id, RX, RY, RZ, c)) return;
    const int32_t n = c.i + startx, m = c.j + starty, p = c.k + startz;
    const DualCell d =
        dual_cell(xc, yc, zc, n, m, p, CX, CY, CZ, x0, y0, z0, dx, dy, dz, FX, FY, FZ);
    const float f = mirror_sum<float>(d.x.begin, d.x.end, [&](int32_t a) {
      const float wx = d.x.overlap(a);
      return mirror_sum<float>(d.y.begin, d.y.end, [&](int32_t b) {
        const float wy = d.y.overlap(b);
        return mirror_sum<float>(d.z.begin, d.z.end, [&](int32_t k) {
          const float v = wx * wy * d.z.overlap(k) / d.volume;
          return v * node(samples, row, a, b, k);
        });
      });
    });
    if (f > 0.f) {
      uint8_t& first = node(primary, row, n, m, p);
      node(secondary, row, n, m, p) = first;
      first = uint8_t(mat_id & 0xFF);
      node(weight, row, n, m, p) = f;
    }
  }
};

// Blended permittivity of every node:
//
//   out = w·table[primary] + (1 − w)·table[secondary]
struct SetErAverage {
  Grid out;              // [L, X, Y, Z], written
  Grid weight;           // [L, X, Y, Z] at least
  ByteGrid primary;      // [L, X, Y, Z] at least
  ByteGrid secondary;    // [L, X, Y, Z] at least
  View<float, 1> table;  // [materials], an entry for every id present
  int32_t X, Y, Z;

  ORV_HD void thread(int32_t id, uint32_t row) const {
    Cell32 c;
    if (!cell32_from_id(id, X, Y, Z, c)) return;
    const float w = node(weight, row, c.i, c.j, c.k);
    const float a = elem(table, node(primary, row, c.i, c.j, c.k));
    const float b = elem(table, node(secondary, row, c.i, c.j, c.k));
    node(out, row, c.i, c.j, c.k) = fused(w, a, (1.f - w) * b);
  }
};

// The three sums over a dual cell that sub-cell weighting takes: Σ v,
// Σ v·ε and Σ v/ε.
struct Moments {
  float covered, mean, inverse;
};

ORV_HD inline Moments plain_add(const Moments& a, const Moments& b) {
  return {plain_add(a.covered, b.covered), plain_add(a.mean, b.mean),
          plain_add(a.inverse, b.inverse)};
}

// Sub-cell weighting of one object for one field component, at the nodes
// where the object is the primary material. Over the dual cell, with the
// object's fill s in each lattice cell and ε(s) = s·εA + (1 − s)·εB:
//
//   ⟨ε⟩   = Σ v·ε(s)   + (1 − Σ v)·εB     (the part outside the lattice is εB)
//   ⟨1/ε⟩ = Σ v/ε(s)   + (1 − Σ v)/εB
//   εeff  = 1 / (⟨1/ε⟩·q + (1 − q)/⟨ε⟩),  q = (normal component)²
//
// so a normal along the component gives the harmonic mean and one across it
// the arithmetic mean; the weight written makes the blend of SetErAverage
// reproduce εeff:
//
//   weight = |εeff − εB| / ((max(εA, εB) + 1e-4) − min(εA, εB))
//
// Where either material's table value is ≤ 0 the weight snaps to 0 or 1
// (halves up). Two equal permittivities too large for the 1e-4 to survive
// rounding make that denominator 0; any weight blends them to the same value,
// and the node gets weight 0, as equal permittivities give elsewhere.
struct SetWeightSubcell {
  Grid weight;                // [L, X, Y, Z] over every node of the ranges, updated
  View<float, 5> normals;     // [L, X, Y, Z, 3]
  View<float, 1> xc, yc, zc;  // [CX], [CY], [CZ]
  Grid samples;               // [L, FX, FY, FZ] fill fractions of the object
  int32_t obj_id;
  ByteGrid primary;      // [L, X, Y, Z]
  ByteGrid secondary;    // [L, X, Y, Z]
  View<float, 1> table;  // [materials], an entry for every id present
  int32_t component;     // 0 → x, 1 → y, anything else → z
  int32_t startx, starty, startz;
  float x0, y0, z0;
  float dx, dy, dz;
  int32_t RX, RY, RZ;
  int32_t FX, FY, FZ;
  int32_t CX, CY, CZ;

  ORV_HD void thread(int32_t id, uint32_t row) const {
    Cell32 c;
    if (!cell32_from_id(id, RX, RY, RZ, c)) return;
    const int32_t n = c.i + startx, m = c.j + starty, p = c.k + startz;
    const uint8_t a = node(primary, row, n, m, p);
    if (int32_t(a) != obj_id) return;  // another object's node
    float& w = node(weight, row, n, m, p);
    const float eps_a = elem(table, a);
    if (!(eps_a > 0.f)) {
      w = roundf(w);
      return;
    }
    const uint8_t b = node(secondary, row, n, m, p);
    const float eps_b = elem(table, b);
    if (!(eps_b > 0.f)) {
      w = roundf(w);
      return;
    }

    const DualCell d =
        dual_cell(xc, yc, zc, n, m, p, CX, CY, CZ, x0, y0, z0, dx, dy, dz, FX, FY, FZ);
    const float eps_obj = elem(table, obj_id);
    const Moments sums = mirror_sum<Moments>(d.x.begin, d.x.end, [&](int32_t i) {
      const float wx = d.x.overlap(i);
      return mirror_sum<Moments>(d.y.begin, d.y.end, [&](int32_t j) {
        const float wy = d.y.overlap(j);
        return mirror_sum<Moments>(d.z.begin, d.z.end, [&](int32_t k) {
          const float v = wx * wy * d.z.overlap(k) / d.volume;
          const float s = node(samples, row, i, j, k);
          const float eps = fused(s, eps_obj, (1.f - s) * eps_b);
          return Moments{v, v * eps, v / eps};
        });
      });
    });
    const float outside = 1.f - sums.covered;
    const float mean_eps = sums.mean + outside * eps_b;
    const float mean_inv = sums.inverse + outside / eps_b;

    const int64_t axis = component == 0 ? 0 : (component == 1 ? 1 : 2);
    const float nc = normals.data()[u64(row) * normals.stride(0) + u64(n) * normals.stride(1) +
                                    u64(m) * normals.stride(2) + u64(p) * normals.stride(3) +
                                    u64(axis) * normals.stride(4)];
    const float q = nc * nc;
    const float eff = 1.f / fused(mean_inv, q, (1.f - q) / mean_eps);
    const float hi = eps_a > eps_b ? eps_a : eps_b;
    const float lo = eps_a > eps_b ? eps_b : eps_a;
    const float span = (hi + 0.0001f) - lo;
    w = span > 0.f ? fabsf(eff - eps_b) / span : 0.f;
  }
};

#ifdef __CUDACC__
}  // namespace orvane

__global__ void Set_weight_mat_id_GPU(const orvane::SetWeightMatId kernel);
__global__ void Set_ER_average_GPU(const orvane::SetErAverage kernel);
__global__ void Set_weight_subcell_GPU(const orvane::SetWeightSubcell kernel);

namespace orvane {
// The template kernel's instantiations live, and are registered, in
// materials.cu; these hand out their addresses.
GpuKernel<MatAverage<float>> gpu_kernel(const MatAverage<float>&);
GpuKernel<MatAverage<double>> gpu_kernel(const MatAverage<double>&);
inline GpuKernel<SetWeightMatId> gpu_kernel(const SetWeightMatId&) {
  return {::Set_weight_mat_id_GPU, "Set_weight_mat_id_GPU"};
}
inline GpuKernel<SetErAverage> gpu_kernel(const SetErAverage&) {
  return {::Set_ER_average_GPU, "Set_ER_average_GPU"};
}
inline GpuKernel<SetWeightSubcell> gpu_kernel(const SetWeightSubcell&) {
  return {::Set_weight_subcell_GPU, "Set_weight_subcell_GPU"};
}
#endif

// ------------------------------------------------------------ host side

// Index range [start, end] (inclusive) of the nodes a box touches along one
// axis: from the last node strictly below the lower bound, rounded down to
// an even index, to the first node strictly above the upper bound, rounded
// up to an even index (or the last node). Runs tensor operations on the
// coordinates' device; the result is an int32 CPU tensor. A box whose lower
// bound lies above its upper bound has no range and is refused, and so are
// arguments the comparisons cannot take: bounds or coordinates that are not
// 1-D real tensors holding data, or no bound at all.
inline bool is_real(const at::Tensor& t) {
  return at::isFloatingType(t.scalar_type()) ||
         at::isIntegralType(t.scalar_type(), /*includeBool=*/false);
}

inline at::Tensor get_id_range(const at::Tensor& bounds, const at::Tensor& coords) {
  const ArgCheck check("get_id_range");
  for (const auto& [t, name] :
       {std::pair<const at::Tensor*, const char*>{&bounds, "bounds"}, {&coords, "coords"}}) {
    if (t->dim() != 1)
      check.fail(std::string(name) + " must be a 1-D tensor, got " + std::to_string(t->dim()) +
                 "-D " + shape_str(t->sizes()));
    if (!is_real(*t))
      check.fail(std::string(name) + " must hold real numbers, got " +
                 dtype_name(t->scalar_type()));
    if (t->is_meta()) check.fail(std::string(name) + " must hold data, got a meta tensor");
  }
  if (bounds.size(0) < 1) check.fail("bounds must have at least one entry [min, max], got none");
  if (coords.size(0) > INT32_MAX)
    check.fail("coords must have at most " + std::to_string(INT32_MAX) + " entries, got " +
               std::to_string(coords.size(0)));
  const int64_t N = coords.size(0);
  at::Tensor range = at::empty({2}, at::TensorOptions().dtype(at::kInt));
  int32_t start = 0, end = int32_t(N - 1);
  const at::Tensor lower = bounds[0].to(coords.device());
  const at::Tensor upper = bounds[-1].to(coords.device());
  if (at::gt(lower, upper).item<bool>()) {
    std::ostringstream m;
    m << "get_id_range: the box's lower bound " << lower.item<double>()
      << " lies above its upper bound " << upper.item<double>() << " (bounds holds [min, max])";
    throw std::runtime_error(m.str());
  }
  const at::Tensor below = at::nonzero(at::gt(lower, coords));
  if (below.size(0) > 0) {
    const int32_t h = below[below.size(0) - 1].item<int32_t>();
    start = h % 2 ? h - 1 : h;
  }
  const at::Tensor above = at::nonzero(at::lt(upper, coords));
  if (above.size(0) > 0) {
    const int32_t h = above[0].item<int32_t>();
    end = h % 2 ? std::min<int32_t>(h + 1, int32_t(N - 1)) : h;
  }
  range[0] = start;
  range[1] = end;
  return range;
}

// Box bounds of one axis: a 1-D real tensor [min, max] on any device, finite,
// min ≤ max. Element 0 is the lattice origin, element 1 its far end, the last
// element the upper bound of the index range.
inline void check_bounds(const ArgCheck& check, const at::Tensor& b, const char* name) {
  if (b.dim() != 1)
    check.fail(std::string(name) + " must be a 1-D tensor [min, max], got " +
               std::to_string(b.dim()) + "-D " + shape_str(b.sizes()));
  if (!is_real(b))
    check.fail(std::string(name) + " must hold real numbers, got " + dtype_name(b.scalar_type()));
  if (b.is_meta()) check.fail(std::string(name) + " must hold data, got a meta tensor");
  if (b.size(0) < 2)
    check.fail(std::string(name) + " must have two entries [min, max], got " +
               std::to_string(b.size(0)));
  // Entries in index order, whatever the strides (a strided CPU double view
  // would otherwise come back as it is).
  const at::Tensor h = b.to(at::kCPU, at::kDouble).contiguous();
  const double* v = h.data_ptr<double>();
  const int64_t last = b.size(0) - 1;
  std::ostringstream m;
  m << name << " [" << v[0] << ", " << v[1] << "]";
  for (int64_t e = 0; e <= last; ++e)
    if (!std::isfinite(v[e])) check.fail(m.str() + " must be finite");
  if (v[0] > v[1] || v[0] > v[last])
    check.fail(m.str() + " has its lower bound above its upper bound");
}

// The index ranges of a box on the node coordinates, per axis.
struct BoxRanges {
  at::Tensor range[3];
  int32_t start[3], end[3];
  int64_t count(int axis) const { return int64_t(end[axis]) - start[axis] + 1; }
  int64_t nodes() const { return count(0) * count(1) * count(2); }
};

inline BoxRanges box_ranges(const ArgCheck& check, const at::Tensor* bounds,
                            const at::Tensor* coords, const char* const* bound_names,
                            const char* const* coord_names) {
  BoxRanges r;
  for (int a = 0; a < 3; ++a) {
    r.range[a] = get_id_range(bounds[a], coords[a]);
    r.start[a] = r.range[a][0].item<int32_t>();
    r.end[a] = r.range[a][1].item<int32_t>();
    // Ordered bounds on ascending coordinates never get here.
    if (r.count(a) < 0) {
      std::ostringstream m;
      m << bound_names[a] << " on " << coord_names[a] << " gives the index range [" << r.start[a]
        << ", " << r.end[a] << "], which ends before it starts: " << coord_names[a]
        << " must be ascending";
      check.fail(m.str());
    }
  }
  return r;
}

// A grid the kernel reads or writes at the box's nodes: at least
// [L, endx+1, endy+1, endz+1] (and 3 normal components).
inline void check_covers(const ArgCheck& check, const at::Tensor& t, const char* name, int64_t L,
                         const BoxRanges& r, bool normals = false) {
  const int64_t X = r.end[0] + 1, Y = r.end[1] + 1, Z = r.end[2] + 1;
  if (normals)
    check.extents(t, name, {L, X, Y, Z, 3}, "(every node of the index ranges, 3 components)");
  else
    check.extents(t, name, {L, X, Y, Z}, "(every node of the index ranges)");
}

// Every id the kernel may look up (the id grids' values in `region`) must
// index inside the table. A table of 256 entries holds every id; otherwise
// the region is scanned, which waits for the device.
inline void check_ids_in_table(const ArgCheck& check, const char* name, const at::Tensor& region,
                               const at::Tensor& table) {
  const int64_t entries = table.size(0);
  if (entries >= 256 || region.numel() == 0) return;
  const int64_t top = region.max().item<int64_t>();
  if (top >= entries) {
    std::ostringstream m;
    m << name << " holds material id " << top << ", but table has " << entries
      << " entries (ids 0 to " << entries - 1 << ")";
    check.fail(m.str());
  }
}

// ids[:L, sx:ex+1, sy:ey+1, sz:ez+1]
inline at::Tensor box_region(const at::Tensor& ids, int64_t L, const BoxRanges& r) {
  at::Tensor v = ids.narrow(0, 0, L);
  for (int a = 0; a < 3; ++a) v = v.narrow(1 + a, r.start[a], r.count(a));
  return v;
}

// Lattice origin and spacing of one axis: bounds[0] and
// (bounds[1] − bounds[0]) / F, as single-precision numbers.
struct AxisLattice {
  float origin, step;
};

// The origin and the spacing are read as float32: a finite bound or spacing
// beyond float32's range would fail in that conversion, unnamed, so it is
// refused here by name (an infinite spacing, from an empty lattice, is left
// to the kernels, which hold it away from their integer conversions).
inline void check_lattice_fits(const ArgCheck& check, const at::Tensor& bounds, const char* name,
                               int64_t cells) {
  const at::Tensor h = bounds.to(at::kCPU, at::kDouble).contiguous();
  const double origin = h.data_ptr<double>()[0];
  const double step = (h.data_ptr<double>()[1] - origin) / double(cells);
  const double top = std::numeric_limits<float>::max();
  if (std::fabs(origin) > top || (std::isfinite(step) && std::fabs(step) > top)) {
    std::ostringstream m;
    m << name << " [" << origin << ", " << h.data_ptr<double>()[1] << "] over " << cells
      << " lattice cells gives an origin or a spacing beyond single precision";
    check.fail(m.str());
  }
}

inline AxisLattice axis_lattice(const at::Tensor& bounds, int64_t cells) {
  return {bounds[0].item<float>(), ((bounds[1] - bounds[0]) / double(cells)).item<float>()};
}

// The fixed messages of the box functions: CUDA availability, then the
// sample grid and the three coordinate tensors on the module's processor.
template <class L>
void require_box_inputs_fixed(const at::Tensor& samples, const at::Tensor& xc, const at::Tensor& yc,
                              const at::Tensor& zc) {
  require_available_fixed<L>("Error: CUDA not available.");
  for (const at::Tensor* t : {&samples, &xc, &yc, &zc})
    require_on_processor_fixed<L>(*t, "Error: ");
}

// What the three box functions share after their fixed checks: bounds
// checked, index ranges read, the launch within limits.
struct BoxCall {
  BoxRanges r;
  int64_t L, F[3], C[3];
  AxisLattice lattice[3];
  ThreadLaunch launch;
};

inline BoxCall box_call(const ArgCheck& check, const at::Tensor& xb, const at::Tensor& yb,
                        const at::Tensor& zb, const at::Tensor& samples, const at::Tensor& xc,
                        const at::Tensor& yc, const at::Tensor& zc) {
  static const char* const bound_names[3] = {"x_bounds", "y_bounds", "z_bounds"};
  static const char* const coord_names[3] = {"x_coords", "y_coords", "z_coords"};
  const at::Tensor bounds[3] = {xb, yb, zb};
  const at::Tensor coords[3] = {xc, yc, zc};
  for (int a = 0; a < 3; ++a) check_bounds(check, bounds[a], bound_names[a]);
  BoxCall b;
  b.r = box_ranges(check, bounds, coords, bound_names, coord_names);
  b.L = samples.size(0);
  for (int a = 0; a < 3; ++a) {
    b.F[a] = samples.size(1 + a);
    b.C[a] = coords[a].size(0);
    // Kernels index lattice cells and nodes as signed 32-bit integers.
    if (b.F[a] > kMaxCells || b.C[a] > kMaxCells) {
      std::ostringstream m;
      m << "samples extents and coordinate lengths must be at most " << kMaxCells << ", got "
        << shape_str(samples.sizes()) << " and " << coord_names[a] << " of " << b.C[a];
      check.fail(m.str());
    }
  }
  check.thread_limits(b.r.nodes(), "the number of nodes in the index ranges", b.L,
                      "the number of layouts L (samples.size(0))");
  for (int a = 0; a < 3; ++a) {
    check_lattice_fits(check, bounds[a], bound_names[a], b.F[a]);
    b.lattice[a] = axis_lattice(bounds[a], b.F[a]);
  }
  b.launch = ThreadLaunch{b.r.nodes(), b.L};
  return b;
}

// ------------------------------------------------------------- wrappers

template <class L, typename T>
std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor> mat_average_typed(
    const ArgCheck& check, const at::Tensor& xb, const at::Tensor& yb, const at::Tensor& zb,
    const at::Tensor& samples, const at::Tensor& xc, const at::Tensor& yc, const at::Tensor& zc) {
  const at::ScalarType type = c10::CppTypeToScalarType<T>::value;
  const TensorArg args[] = {{samples, "samples", 4, type, "[L, FX, FY, FZ]", false},
                            {xc, "x_coords", 1, type, "[CX]", false},
                            {yc, "y_coords", 1, type, "[CY]", false},
                            {zc, "z_coords", 1, type, "[CZ]", false}};
  check_arguments<L>(check, args, args[0]);
  const BoxCall b = box_call(check, xb, yb, zb, samples, xc, yc, zc);
  const BoxRanges& r = b.r;

  at::Tensor out =
      at::zeros({b.L, r.count(0), r.count(1), r.count(2)}, samples.options().dtype(type));
  const typename L::DeviceScope on(samples.device());
  const auto& [lx, ly, lz] = b.lattice;
  // clang-format off
  const MatAverage<T> kernel{
      view<T, 4>(out), view<T, 1>(xc), view<T, 1>(yc), view<T, 1>(zc), view<T, 4>(samples),
      r.start[0], r.start[1], r.start[2],
      lx.origin, ly.origin, lz.origin, lx.step, ly.step, lz.step,
      int32_t(r.count(0)), int32_t(r.count(1)), int32_t(r.count(2)),
      int32_t(b.F[0]), int32_t(b.F[1]), int32_t(b.F[2]),
      int32_t(b.C[0]), int32_t(b.C[1]), int32_t(b.C[2])
  };
  // clang-format on
  L::threads("Mat_average", b.launch, kernel);
  L::synchronize("Mat_average");
  return {out, r.range[0], r.range[1], r.range[2]};
}

// Volume average of `samples` (the process's default dtype, float32 or
// float64) over the dual cells of the nodes the box touches; returns the
// averages [L, RX, RY, RZ] on the samples' device and the three index ranges.
template <class L>
std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor> mat_average(
    const at::Tensor& xb, const at::Tensor& yb, const at::Tensor& zb, const at::Tensor& samples,
    const at::Tensor& xc, const at::Tensor& yc, const at::Tensor& zc) {
  require_box_inputs_fixed<L>(samples, xc, yc, zc);
  const ArgCheck check("Mat_average");
  const at::ScalarType type = c10::typeMetaToScalarType(at::get_default_dtype());
  std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor> result;
  AT_DISPATCH_FLOATING_TYPES(type, "Mat_Average_GPU", [&] {
    result = mat_average_typed<L, scalar_t>(check, xb, yb, zb, samples, xc, yc, zc);
  });
  return result;
}

// Paints one object (its fill fraction sampled over its box) into a set of
// material grids; returns None.
template <class L>
void set_weight_mat_id(const at::Tensor& xb, const at::Tensor& yb, const at::Tensor& zb,
                       const at::Tensor& samples, const at::Tensor& xc, const at::Tensor& yc,
                       const at::Tensor& zc, int32_t mat_id, const at::Tensor& weight,
                       const at::Tensor& primary, const at::Tensor& secondary) {
  require_box_inputs_fixed<L>(samples, xc, yc, zc);
  const ArgCheck check("Set_weight_mat_id");
  const TensorArg args[] = {{samples, "samples", 4, at::kFloat, "[L, FX, FY, FZ]", false},
                            vec_arg(xc, "x_coords"),
                            vec_arg(yc, "y_coords"),
                            vec_arg(zc, "z_coords"),
                            {weight, "weight", 4, at::kFloat, "[L, X, Y, Z]", true},
                            {primary, "primary", 4, at::kByte, "[L, X, Y, Z]", true},
                            {secondary, "secondary", 4, at::kByte, "[L, X, Y, Z]", true}};
  check_arguments<L>(check, args, args[0]);
  const BoxCall b = box_call(check, xb, yb, zb, samples, xc, yc, zc);
  for (const TensorArg& g : c10::ArrayRef<TensorArg>(args).slice(4))
    check_covers(check, g.t, g.name, b.L, b.r);
  check_no_aliasing(check, args);

  const BoxRanges& r = b.r;
  const typename L::DeviceScope on(samples.device());
  const auto& [lx, ly, lz] = b.lattice;
  // clang-format off
  const SetWeightMatId kernel{
      view<float, 1>(xc), view<float, 1>(yc), view<float, 1>(zc), view<float, 4>(samples),
      mat_id,
      view<float, 4>(weight), view<uint8_t, 4>(primary), view<uint8_t, 4>(secondary),
      r.start[0], r.start[1], r.start[2],
      lx.origin, ly.origin, lz.origin, lx.step, ly.step, lz.step,
      int32_t(r.count(0)), int32_t(r.count(1)), int32_t(r.count(2)),
      int32_t(b.F[0]), int32_t(b.F[1]), int32_t(b.F[2]),
      int32_t(b.C[0]), int32_t(b.C[1]), int32_t(b.C[2])
  };
  // clang-format on
  L::threads("Set_weight_mat_id", b.launch, kernel);
}

// Blends the material table through the weight and id grids into `eps`,
// over eps's whole extent; returns None.
template <class L>
void set_er_average(const at::Tensor& eps, const at::Tensor& weight, const at::Tensor& primary,
                    const at::Tensor& secondary, const at::Tensor& table) {
  const ArgCheck check("Set_ER_average");
  require_available<L>(check);
  const TensorArg args[] = {{eps, "eps", 4, at::kFloat, "[L, X, Y, Z]", true},
                            {weight, "weight", 4, at::kFloat, "[L, X, Y, Z]", false},
                            {primary, "primary", 4, at::kByte, "[L, X, Y, Z]", false},
                            {secondary, "secondary", 4, at::kByte, "[L, X, Y, Z]", false},
                            {table, "table", 1, at::kFloat, "[materials]", false}};
  check_arguments<L>(check, args, args[0]);
  const int64_t Lg = eps.size(0), X = eps.size(1), Y = eps.size(2), Z = eps.size(3);
  for (const TensorArg& g : c10::ArrayRef<TensorArg>(args).slice(1, 3))
    check.extents(g.t, g.name, {Lg, X, Y, Z}, "(the extents of eps)");
  check.thread_limits(X * Y * Z, "the number of nodes X*Y*Z of eps", Lg,
                      "the number of layouts L (eps.size(0))");
  check_no_aliasing(check, args);
  for (const TensorArg& g : c10::ArrayRef<TensorArg>(args).slice(2, 2)) {
    const at::Tensor region = g.t.narrow(0, 0, Lg).narrow(1, 0, X).narrow(2, 0, Y).narrow(3, 0, Z);
    check_ids_in_table(check, g.name, region, table);
  }

  const typename L::DeviceScope on(eps.device());
  const SetErAverage kernel{view<float, 4>(eps),
                            view<float, 4>(weight),
                            view<uint8_t, 4>(primary),
                            view<uint8_t, 4>(secondary),
                            view<float, 1>(table),
                            int32_t(X),
                            int32_t(Y),
                            int32_t(Z)};
  L::threads("Set_ER_average", ThreadLaunch{X * Y * Z, Lg}, kernel);
}

// Replaces the weights of the nodes where object `obj_id` is primary by the
// sub-cell weight for field component `component`; returns the index ranges.
template <class L>
std::tuple<at::Tensor, at::Tensor, at::Tensor> set_weight_subcell(
    const at::Tensor& xb, const at::Tensor& yb, const at::Tensor& zb, const at::Tensor& samples,
    const at::Tensor& xc, const at::Tensor& yc, const at::Tensor& zc, const at::Tensor& weight,
    int32_t obj_id, const at::Tensor& primary, const at::Tensor& secondary,
    const at::Tensor& normals, const at::Tensor& table, int32_t component) {
  require_box_inputs_fixed<L>(samples, xc, yc, zc);
  const ArgCheck check("Set_weight_subcell");
  const TensorArg args[] = {{samples, "samples", 4, at::kFloat, "[L, FX, FY, FZ]", false},
                            vec_arg(xc, "x_coords"),
                            vec_arg(yc, "y_coords"),
                            vec_arg(zc, "z_coords"),
                            {weight, "weight", 4, at::kFloat, "[L, X, Y, Z]", true},
                            {primary, "primary", 4, at::kByte, "[L, X, Y, Z]", false},
                            {secondary, "secondary", 4, at::kByte, "[L, X, Y, Z]", false},
                            {normals, "normals", 5, at::kFloat, "[L, X, Y, Z, 3]", false},
                            {table, "table", 1, at::kFloat, "[materials]", false}};
  check_arguments<L>(check, args, args[0]);
  const BoxCall b = box_call(check, xb, yb, zb, samples, xc, yc, zc);
  for (const TensorArg& g : c10::ArrayRef<TensorArg>(args).slice(4, 3))
    check_covers(check, g.t, g.name, b.L, b.r);
  check_covers(check, normals, "normals", b.L, b.r, /*normals=*/true);
  check_no_aliasing(check, args);
  check_ids_in_table(check, "primary", box_region(primary, b.L, b.r), table);
  check_ids_in_table(check, "secondary", box_region(secondary, b.L, b.r), table);

  const BoxRanges& r = b.r;
  const typename L::DeviceScope on(samples.device());
  const auto& [lx, ly, lz] = b.lattice;
  // clang-format off
  const SetWeightSubcell kernel{
      view<float, 4>(weight), view<float, 5>(normals),
      view<float, 1>(xc), view<float, 1>(yc), view<float, 1>(zc), view<float, 4>(samples),
      obj_id, view<uint8_t, 4>(primary), view<uint8_t, 4>(secondary),
      view<float, 1>(table), component,
      r.start[0], r.start[1], r.start[2],
      lx.origin, ly.origin, lz.origin, lx.step, ly.step, lz.step,
      int32_t(r.count(0)), int32_t(r.count(1)), int32_t(r.count(2)),
      int32_t(b.F[0]), int32_t(b.F[1]), int32_t(b.F[2]),
      int32_t(b.C[0]), int32_t(b.C[1]), int32_t(b.C[2])
  };
  // clang-format on
  L::threads("Set_weight_subcell", b.launch, kernel);
  return {r.range[0], r.range[1], r.range[2]};
}

}  // namespace orvane
