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
//   E_c(node m) += Σ_{n<8} w[m, n] · C_{d(n)}(neighbour n of m)
//
// with d(n) = (c + 1) mod 3 for n < 4 and (c + 2) mod 3 for n >= 4: the four
// nodes of each other component around the node carry its off-diagonal
// terms, averaged to it. The increments are recomputed here from H, which
// the electric step does not change, so every component's C is the one of
// the same time level whatever order the passes run in; the electric field
// itself is only added to. The weights are the caller's: symmetric couplings
// (the weight of a node for its neighbour equal to the neighbour's for it)
// keep the update's energy form symmetric, see docs/scattering.md.
//
// The list lives on the device and is never read on the host. An entry
// whose b1 is not a batch entry, whose component is not 0, 1 or 2, or whose
// node is not one that Update_E's curl step computes (index 0 < n < N across
// the component, 0 <= n < N along it) is skipped; a neighbour that is not
// such a node of its component adds nothing. No entry can make the kernel
// read or write outside its tensors. A node listed twice gets both entries'
// corrections (the additions are atomic).
#pragma once

#include "args.h"
#include "fields.h"  // check_curl_coefficients

namespace orvane {

// One entry of the list per thread, for one (b0, b2) pair per launch row.
struct UpdateEAnisotropic {
  Field Ex, Ey, Ez;              // [B0, B1, NX, NY+1, NZ+1, B2] etc., updated
  Field Hx, Hy, Hz;              // [B0, B1, NX, NY, NZ, B2]
  Vec ce_x, ce_y, ce_z;          // [NX], [NY], [NZ]
  View<int32_t, 2> nodes;        // [M, 5]: b1, component, i, j, k
  View<int32_t, 3> neighbours;   // [M, 8, 3]: i, j, k of each coupled node
  View<float, 2> weights;        // [M, 8]
  int32_t B1, B2, NX, NY, NZ, M;

  // A thread forms up to eight curl increments from H (some 25 ns on a CPU
  // core): the CPU launcher shares out lists of a few thousand nodes.
  static constexpr int64_t kThreadWork = 16;

  // Whether (i, j, k) is a node of component c that Update_E's curl step
  // computes: index 1 ... N-1 across the component, 0 ... N-1 along it.
  ORV_HD static bool across(int32_t n, int32_t N) { return n >= 1 && n < N; }
  ORV_HD static bool along(int32_t n, int32_t N) { return n >= 0 && n < N; }
  ORV_HD bool computed(int32_t c, int32_t i, int32_t j, int32_t k) const {
    if (c == 0) return along(i, NX) && across(j, NY) && across(k, NZ);
    if (c == 1) return across(i, NX) && along(j, NY) && across(k, NZ);
    return across(i, NX) && across(j, NY) && along(k, NZ);
  }

  // The curl increment C_c at a node that `computed` accepts.
  ORV_HD float increment(int32_t c, const Batch16& b, int32_t i, int32_t j, int32_t k) const {
    if (c == 0)
      return elem(ce_y, j) * (elem(Hz, b, i, j, k) - elem(Hz, b, i, j - 1, k)) -
             elem(ce_z, k) * (elem(Hy, b, i, j, k) - elem(Hy, b, i, j, k - 1));
    if (c == 1)
      return elem(ce_z, k) * (elem(Hx, b, i, j, k) - elem(Hx, b, i, j, k - 1)) -
             elem(ce_x, i) * (elem(Hz, b, i, j, k) - elem(Hz, b, i - 1, j, k));
    return elem(ce_x, i) * (elem(Hy, b, i, j, k) - elem(Hy, b, i - 1, j, k)) -
           elem(ce_y, j) * (elem(Hx, b, i, j, k) - elem(Hx, b, i, j - 1, k));
  }

  ORV_HD void thread(const int32_t id, const uint32_t row) const {
    if (id >= M) return;
    const int32_t* entry = nodes.data() + u64(id) * nodes.stride(0);
    const uint64_t s = nodes.stride(1);
    const int32_t b1 = entry[0], c = entry[s], i = entry[2 * s], j = entry[3 * s],
                  k = entry[4 * s];
    if (b1 < 0 || b1 >= B1 || c < 0 || c > 2 || !computed(c, i, j, k)) return;
    // Launch rows are (b0, b2) pairs; b1 is the entry's.
    const uint32_t b0 = row / uint32_t(B2);
    const Batch16 b{uint16_t(b0), uint16_t(b1), uint16_t(row - b0 * uint32_t(B2))};

    float sum = 0.f;
    for (int32_t n = 0; n < 8; ++n) {
      const float w = weights.data()[u64(id) * weights.stride(0) + u64(n) * weights.stride(1)];
      if (w == 0.f) continue;
      const uint64_t at = u64(id) * neighbours.stride(0) + u64(n) * neighbours.stride(1);
      const int32_t p = neighbours.data()[at];
      const int32_t q = neighbours.data()[at + neighbours.stride(2)];
      const int32_t r = neighbours.data()[at + 2 * neighbours.stride(2)];
      const int32_t d = (c + 1 + n / 4) % 3;
      if (computed(d, p, q, r)) sum = fused(w, increment(d, b, p, q, r), sum);
    }
    // Each branch names its view: a reference chosen at run time would make
    // the device copy the kernel's parameters to local memory.
    float* target = c == 0 ? &elem(Ex, b, i, j, k)
                           : (c == 1 ? &elem(Ey, b, i, j, k) : &elem(Ez, b, i, j, k));
    atomic_add(target, sum);
  }
};

#ifdef __CUDACC__
}  // namespace orvane

__global__ void Update_E_Anisotropic_GPU(const orvane::UpdateEAnisotropic kernel);

namespace orvane {
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
      {neighbours, "neighbours", 3, at::kInt, "[M, 8, 3] (i, j, k of each coupled node)", false},
      {weights, "weights", 2, at::kFloat, "[M, 8]", false}};
  check_arguments<L>(check, args, field_arg(Ex, "Ex", false));
  const FieldSizes s = field_sizes(check, Ex, Ey, Ez, Hx, Hy, Hz);
  check_curl_coefficients(check, s, c10::ArrayRef<TensorArg>(args).slice(6, 3));
  const int64_t M = nodes.size(0);
  check.extents(nodes, "nodes", {M, 5}, "[M, 5] (b1, component, i, j, k)");
  check.extents(neighbours, "neighbours", {M, 8, 3},
                "[M, 8, 3] (M: the rows of nodes; i, j, k of 4 + 4 coupled nodes)");
  check.extents(weights, "weights", {M, 8}, "[M, 8] (M: the rows of nodes)");
  check.thread_limits(M, "the number of listed nodes M (rows of nodes)", s.B0 * s.B2,
                      "the number of batch rows B0*B2");
  check_no_aliasing(check, args);

  const typename L::DeviceScope on(Ex.device());
  // clang-format off
  const UpdateEAnisotropic kernel{
      Ex, Ey, Ez, Hx, Hy, Hz, ce_x, ce_y, ce_z, nodes, neighbours, weights,
      int32_t(s.B1), int32_t(s.B2), int32_t(s.NX), int32_t(s.NY), int32_t(s.NZ), int32_t(M)};
  // clang-format on
  L::threads("Update_E_Anisotropic", ThreadLaunch{M, s.B0 * s.B2}, kernel);
}

}  // namespace orvane
