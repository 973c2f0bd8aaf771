// The anisotropic pass: the off-diagonal terms of the smoothed inverse
// permittivity at the nodes beside an interface.
//
// Near an interface the field sees the smoothed tensor
// ε̃⁻¹ = P·⟨ε⁻¹⟩ + (1 − P)·⟨ε⟩⁻¹ (P the projection on the interface normal),
// and one electric step is E ← E + ε̃⁻¹·C, C the curl increment of every
// component at the same time level:
//
//   C_x(i, j, k) = ce_y[j]·(Hz[j] − Hz[j−1]) − ce_z[k]·(Hy[k] − Hy[k−1])
//   C_y(i, j, k) = ce_z[k]·(Hx[k] − Hx[k−1]) − ce_x[i]·(Hz[i] − Hz[i−1])
//   C_z(i, j, k) = ce_x[i]·(Hy[i] − Hy[i−1]) − ce_y[j]·(Hx[j] − Hx[j−1])
//
// (Update_E's curl terms). Update_E and the dispersive pass apply the
// diagonal (the node's denominator); this pass adds the rest, over a list of
// M nodes (a few layers of nodes around each surface, not the box):
//
//   E_c(node m) += Σ_{n<8} w[m, n] · C(node neighbours[m, n])
//
// where the coupled nodes are the list's own rows: the four nodes of each
// other component around a node carry its off-diagonal terms, averaged to
// it, the first four of component (c + 1) mod 3, the others of (c + 2)
// mod 3. The couplings are symmetric, so every node a listed node couples
// to is listed too (with zero weights where it has no couplings of its
// own), and each curl increment is formed once per step: the pass runs in
// two launches, the first forming C at every listed node into a scratch
// buffer (with where the node's field lies), the second summing each node's
// couplings from it. A node's
// increment feeds some four couplings, so this is about a quarter of the
// work of forming it for each. The increments are recomputed from H, which
// the electric step does not change, so every component's C is the one of
// the same time level whatever order the passes run in; the electric field
// itself is only added to. The weights are the caller's: symmetric couplings
// (the weight of a node for its neighbour equal to the neighbour's for it)
// keep the update's energy form symmetric, see docs/scattering.md.
//
// The list lives on the device and is never read on the host. An entry
// whose b1 is not a batch entry, whose component is not 0, 1 or 2, or whose
// node is not one that Update_E's curl step computes (index 0 < n < N across
// the component, 0 <= n < N along it) changes nothing and adds nothing to
// the nodes coupled to it (its increment is 0). A coupling whose row is not
// a row of the list adds nothing. Which node a row names is the caller's
// to get right, as the weights are: a coupling takes the increment of the
// node at its row whatever its component or batch entry (checking them
// would cost a third of the pass). No entry can make the kernel read or
// write outside its tensors.
// A node listed twice gets both entries' corrections (the additions are
// atomic).
#pragma once

#include "args.h"
#include "fields.h"  // check_curl_coefficients

namespace orvane {

// The offset of (i, j, k) of batch entry b in a field, as elem finds it.
ORV_HD ORV_FORCE_INLINE int64_t offset_in(const Field& v, const Batch16& b, int64_t i, int64_t j,
                                          int64_t k) {
  return int64_t(u64(b.b0) * v.stride(0) + u64(b.b1) * v.stride(1) + u64(i) * v.stride(2) +
                 u64(j) * v.stride(3) + u64(k) * v.stride(4) + u64(b.b2) * v.stride(5));
}

// What both launches know of the list: its entries and the grid they index.
// One entry of the list per thread, for one (b0, b2) pair per launch row.
struct AnisotropicList {
  View<int32_t, 2> nodes;        // [M, 5]: b1, component, i, j, k
  View<float, 2> increments;     // [B0*B2, M]: C at each listed node, per launch row
  View<int64_t, 2> targets;      // [B0*B2, M]: where the node's E is, see target_of
  int32_t B1, B2, NX, NY, NZ, M;

  // Whether (i, j, k) is a node of component c that Update_E's curl step
  // computes: index 1 ... N-1 across the component, 0 ... N-1 along it.
  ORV_HD static bool across(int32_t n, int32_t N) { return n >= 1 && n < N; }
  ORV_HD static bool along(int32_t n, int32_t N) { return n >= 0 && n < N; }
  ORV_HD bool computed(int32_t c, int32_t i, int32_t j, int32_t k) const {
    if (c == 0) return along(i, NX) && across(j, NY) && across(k, NZ);
    if (c == 1) return across(i, NX) && along(j, NY) && across(k, NZ);
    return across(i, NX) && across(j, NY) && along(k, NZ);
  }

  // Field e of entry m (0: b1, 1: component, 2-4: i, j, k).
  ORV_HD int32_t field(int32_t m, int32_t e) const {
    return nodes.data()[u64(m) * nodes.stride(0) + u64(e) * nodes.stride(1)];
  }

  // Entry m, and whether it names a node that the pass changes.
  ORV_HD bool entry(int32_t m, int32_t& b1, int32_t& c, int32_t& i, int32_t& j,
                    int32_t& k) const {
    b1 = field(m, 0), c = field(m, 1), i = field(m, 2), j = field(m, 3), k = field(m, 4);
    return b1 >= 0 && b1 < B1 && c >= 0 && c <= 2 && computed(c, i, j, k);
  }

  ORV_HD float& increment_of(int32_t m, uint32_t row) const {
    return increments.data()[u64(row) * increments.stride(0) + u64(m) * increments.stride(1)];
  }

  // The listed node's element in its component's tensor, as the first
  // launch found it: offset · 4 + component, or -1 for an entry that names
  // no node the pass changes. The second launch thus neither decodes nor
  // checks the entry again (a third of its instructions).
  ORV_HD int64_t& target_of(int32_t m, uint32_t row) const {
    return targets.data()[u64(row) * targets.stride(0) + u64(m) * targets.stride(1)];
  }

  // Launch rows are (b0, b2) pairs; b1 is the entry's.
  ORV_HD Batch16 batch(uint32_t row, int32_t b1) const {
    const uint32_t b0 = row / uint32_t(B2);
    return Batch16{uint16_t(b0), uint16_t(b1), uint16_t(row - b0 * uint32_t(B2))};
  }
};

// First launch: the curl increment at every listed node (0 for an entry
// that names no node the pass changes, so the second never reads a value
// this launch did not write).
struct AnisotropicIncrements : AnisotropicList {
  Field Hx, Hy, Hz;              // [B0, B1, NX, NY, NZ, B2]
  Vec ce_x, ce_y, ce_z;          // [NX], [NY], [NZ]
  Field Ex, Ey, Ez;              // only their layouts: where each target is

  // A thread forms one curl increment from H, some 5 ns on a CPU core, but
  // the pass is a few tens of microseconds in all: the CPU launcher shares
  // its lists of a few thousand nodes out in chunks of 1,024 ids, which two
  // threads ran in 0.075 ms against 0.097 in chunks of 8,192 (measured on
  // the Mie sphere's 9,012 nodes, both launches).
  static constexpr int64_t kThreadWork = 32;

  ORV_HD void thread(const int32_t id, const uint32_t row) const {
    if (id >= M) return;
    int32_t b1, c, i, j, k;
    float C = 0.f;
    int64_t target = -1;
    if (entry(id, b1, c, i, j, k)) {
      const Batch16 b = batch(row, b1);
      if (c == 0) {
        C = elem(ce_y, j) * (elem(Hz, b, i, j, k) - elem(Hz, b, i, j - 1, k)) -
            elem(ce_z, k) * (elem(Hy, b, i, j, k) - elem(Hy, b, i, j, k - 1));
        target = offset_in(Ex, b, i, j, k);
      } else if (c == 1) {
        C = elem(ce_z, k) * (elem(Hx, b, i, j, k) - elem(Hx, b, i, j, k - 1)) -
            elem(ce_x, i) * (elem(Hz, b, i, j, k) - elem(Hz, b, i - 1, j, k));
        target = offset_in(Ey, b, i, j, k);
      } else {
        C = elem(ce_x, i) * (elem(Hy, b, i, j, k) - elem(Hy, b, i - 1, j, k)) -
            elem(ce_y, j) * (elem(Hx, b, i, j, k) - elem(Hx, b, i, j - 1, k));
        target = offset_in(Ez, b, i, j, k);
      }
      target = target * 4 + c;
    }
    increment_of(id, row) = C;
    target_of(id, row) = target;
  }
};

// Second launch: each listed node's couplings, summed from the first's
// increments and added to its field.
struct UpdateEAnisotropic : AnisotropicList {
  Field Ex, Ey, Ez;              // [B0, B1, NX, NY+1, NZ+1, B2] etc., updated
  View<int32_t, 2> neighbours;   // [M, 8]: the row of each coupled node
  View<float, 2> weights;        // [M, 8]

  // A thread sums up to eight couplings: chunks of 512 ids (see above).
  static constexpr int64_t kThreadWork = 64;

  ORV_HD void thread(const int32_t id, const uint32_t row) const {
    if (id >= M) return;
    const int64_t target = target_of(id, row);
    if (target < 0) return;
    float sum = 0.f;
    for (int32_t n = 0; n < 8; ++n) {
      const float w = weights.data()[u64(id) * weights.stride(0) + u64(n) * weights.stride(1)];
      if (w == 0.f) continue;
      const int32_t r =
          neighbours.data()[u64(id) * neighbours.stride(0) + u64(n) * neighbours.stride(1)];
      if (r >= 0 && r < M) sum = fused(w, increment_of(r, row), sum);
    }
    // Each branch names its view's pointer: a reference to a view chosen at
    // run time would make the device copy the kernel's parameters to local
    // memory.
    const int64_t c = target & 3, offset = target >> 2;
    float* const data = c == 0 ? Ex.data() : (c == 1 ? Ey.data() : Ez.data());
    atomic_add(data + offset, sum);
  }
};

#ifdef __CUDACC__
}  // namespace orvane

__global__ void Anisotropic_Increments_GPU(const orvane::AnisotropicIncrements kernel);
__global__ void Update_E_Anisotropic_GPU(const orvane::UpdateEAnisotropic kernel);

namespace orvane {
inline GpuKernel<AnisotropicIncrements> gpu_kernel(const AnisotropicIncrements&) {
  return {::Anisotropic_Increments_GPU, "Anisotropic_Increments_GPU"};
}
inline GpuKernel<UpdateEAnisotropic> gpu_kernel(const UpdateEAnisotropic&) {
  return {::Update_E_Anisotropic_GPU, "Update_E_Anisotropic_GPU"};
}
#endif

// ------------------------------------------------------------ host side

template <class L>
void update_e_anisotropic(const at::Tensor& Ex, const at::Tensor& Ey, const at::Tensor& Ez,
                          const at::Tensor& Hx, const at::Tensor& Hy, const at::Tensor& Hz,
                          const at::Tensor& ce_x, const at::Tensor& ce_y, const at::Tensor& ce_z,
                          const at::Tensor& nodes, const at::Tensor& neighbours,
                          const at::Tensor& weights) {
  const ArgCheck check("Update_E_Anisotropic");
  require_available<L>(check);
  const TensorArg args[] = {
      field_arg(Ex, "Ex", true),
      field_arg(Ey, "Ey", true),
      field_arg(Ez, "Ez", true),
      field_arg(Hx, "Hx", false),
      field_arg(Hy, "Hy", false),
      field_arg(Hz, "Hz", false),
      vec_arg(ce_x, "ce_x"),
      vec_arg(ce_y, "ce_y"),
      vec_arg(ce_z, "ce_z"),
      {nodes, "nodes", 2, at::kInt, "[M, 5] (b1, component, i, j, k)", false},
      {neighbours, "neighbours", 2, at::kInt, "[M, 8] (the row of nodes of each coupled node)", false},
      {weights, "weights", 2, at::kFloat, "[M, 8]", false}};
  check_arguments<L>(check, args, field_arg(Ex, "Ex", false));
  const FieldSizes s = field_sizes(check, Ex, Ey, Ez, Hx, Hy, Hz);
  check_curl_coefficients(check, s, c10::ArrayRef<TensorArg>(args).slice(6, 3));
  const int64_t M = nodes.size(0);
  check.extents(nodes, "nodes", {M, 5}, "[M, 5] (b1, component, i, j, k)");
  check.extents(neighbours, "neighbours", {M, 8},
                "[M, 8] (M: the rows of nodes; the row of each of 4 + 4 coupled nodes)");
  check.extents(weights, "weights", {M, 8}, "[M, 8] (M: the rows of nodes)");
  check.thread_limits(M, "the number of listed nodes M (rows of nodes)", s.B0 * s.B2,
                      "the number of batch rows B0*B2");
  check_no_aliasing(check, args);
  const ThreadLaunch launch{M, s.B0 * s.B2};
  if (launch.empty()) return;

  const typename L::DeviceScope on(Ex.device());
  // Scratch for the first launch's increments and targets, one row per
  // (b0, b2) pair.
  const at::Tensor increments = at::empty({launch.rows, M}, Ex.options());
  const at::Tensor targets = at::empty({launch.rows, M}, Ex.options().dtype(at::kLong));
  const AnisotropicList list{nodes,         increments,    targets,      int32_t(s.B1),
                             int32_t(s.B2), int32_t(s.NX), int32_t(s.NY), int32_t(s.NZ),
                             int32_t(M)};
  L::threads("Update_E_Anisotropic", launch,
             AnisotropicIncrements{list, Hx, Hy, Hz, ce_x, ce_y, ce_z, Ex, Ey, Ez});
  L::threads("Update_E_Anisotropic", launch,
             UpdateEAnisotropic{list, Ex, Ey, Ez, neighbours, weights});
}

}  // namespace orvane
