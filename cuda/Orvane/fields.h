// Field time stepping: the magnetic and electric updates of one time step.
//
// One step is Update_H followed by Update_E. Each applies the staggered curl
// (forward differences of E for H, backward differences of H for E) scaled by
// per-axis coefficient vectors, and inside the absorbing layers at the six
// faces adds a recursively filtered copy of the same differences (a
// convolutional PML), kept in auxiliary tensors between steps.
//
// Absorbing layers. Along an axis of N cells with layers L cells thick, the
// auxiliary tensor has 2L slots along that axis: slot n for index n in the
// low layer (n < L), slot n - N + 2L in the high layer (n >= N - L); a cell
// in both (2L > N) counts as low. Along the two other axes the auxiliary spans
// the whole grid. Component c = 0 / 1 of the auxiliary feeds the two field
// components that the axis' differences drive (table in each kernel below).
// The layer coefficient vectors b (decay) and c (drive) are indexed by slot.
// The electric layers skip index 0 along their own axis (slot 0 is unused).
//
// The thicknesses live in `layer_cells` on the device and are never read on
// the host. So that no value there can send a kernel outside its tensors, a
// kernel uses min(layer_cells[axis], slots / 2) along each axis (slots: the
// auxiliary's extent along that axis; a negative value means no layer), and
// the electric update never gives the node at index 0 along an axis that
// axis' correction, even when a thickness of N or more puts it in the high
// layer. For well-formed input (2L slots, L < N) neither rule changes anything.
#pragma once

#include "args.h"

namespace orvane {

// Thickness of the layers along one axis, bounded by the auxiliary's slots.
template <class Cells, class Psi>
ORV_HD ORV_FORCE_INLINE int32_t layer_thickness(const Cells& layer_cells, int32_t axis,
                                                const Psi& psi, int32_t psi_dim) {
  const int32_t wanted = elem(layer_cells, axis);
  // Half the slots, held in 32 bits: no wanted thickness exceeds INT32_MAX.
  const auto half = psi.size(psi_dim) / 2;
  const int32_t room = half <= uint64_t(INT32_MAX) ? int32_t(half) : INT32_MAX;
#ifdef __CUDA_ARCH__
  return wanted < 0 ? 0 : (wanted < room ? wanted : room);
#else
  // The same as min, then max with 0: branch-free on the host, so that the
  // CPU walker's loops over cells hoist it (the device keeps the form it
  // allocates fewest registers for).
  const int32_t bounded = wanted < room ? wanted : room;
  return bounded > 0 ? bounded : 0;
#endif
}

// Slot of index n in the layers of thickness L at both ends of an axis of N
// cells (layer_slot_of, frame.h), or -1 where n lies in neither layer. A
// known zone (frame.h, row regions) settles the test: the CPU walker's
// segments pass one.
template <Zone P = Zone::any>
ORV_HD ORV_FORCE_INLINE int32_t layer_slot(int32_t n, int32_t N, int32_t L,
                                           const ZoneOf<P> zone = {}) {
  if constexpr (P == Zone::inner) return -1;
  if constexpr (P == Zone::low) return n;
  if constexpr (P == Zone::high) return n - N + 2 * L;
  if constexpr (P == Zone::layer) return int32_t(zone.slot);  // settled for the whole row
  return layer_slot_of(n, N, L);
}

// The electric layers start at index 1: index 0 has no backward difference
// (a known zone already promises an index of at least 1).
template <Zone P = Zone::any>
ORV_HD ORV_FORCE_INLINE int32_t electric_layer_slot(int32_t n, int32_t N, int32_t L,
                                                    ZoneOf<P> zone = {}) {
  return P == Zone::any && n == 0 ? -1 : layer_slot(n, N, L, zone);
}

// One axis' layer correction at auxiliary position (i, j, k), where the index
// along the layer's axis is already the slot s: each component c filters its
// signed difference, psi_c ← b[s]·psi_c + c[s]·d_c, and field f_c gets the
// new psi_c.
template <class Psi, class Coefficients>
ORV_HD ORV_FORCE_INLINE void filter_layer(const Psi& psi, const Batch16& b, int64_t i, int64_t j,
                                          int64_t k, int64_t s, const Coefficients& decay,
                                          const Coefficients& drive, float d0, float d1, float& f0,
                                          float& f1) {
  const float lb = elem(decay, s), lc = elem(drive, s);
  float& psi0 = elem(psi, b, i, j, k, 0);
  float& psi1 = elem(psi, b, i, j, k, 1);
  psi0 = lb * psi0 + lc * d0;
  f0 += psi0;
  psi1 = lb * psi1 + lc * d1;
  f1 += psi1;
}

// Magnetic update, one cell of one batch entry.
//
//   Hx += ch_z[k]·(Ey[k+1] − Ey[k]) − ch_y[j]·(Ez[j+1] − Ez[j])
//   Hy += ch_x[i]·(Ez[i+1] − Ez[i]) − ch_z[k]·(Ex[k+1] − Ex[k])
//   Hz += ch_y[j]·(Ex[j+1] − Ex[j]) − ch_x[i]·(Ey[i+1] − Ey[i])
//
// then the layer corrections in the order x, y, z:
//
//   auxiliary  c = 0 feeds, filtering     c = 1 feeds, filtering
//   hpsi_x     Hy   +(Ez[i+1] − Ez[i])    Hz   −(Ey[i+1] − Ey[i])
//   hpsi_y     Hz   +(Ex[j+1] − Ex[j])    Hx   −(Ez[j+1] − Ez[j])
//   hpsi_z     Hx   +(Ey[k+1] − Ey[k])    Hy   −(Ex[k+1] − Ex[k])
//
// psi ← b·psi ± c·difference, and the field gets the new psi.
template <class Layout = Strided>
struct UpdateH {
  using layout = Layout;
  template <typename T, size_t N>
  using Out = typename Layout::template Out<T, N>;
  template <typename T, size_t N>
  using In = typename Layout::template In<T, N>;

  Out<float, 6> Hx, Hy, Hz;       // [B0, B1, NX, NY, NZ, B2], updated
  In<float, 6> Ex;                // [B0, B1, NX, NY+1, NZ+1, B2]
  In<float, 6> Ey;                // [B0, B1, NX+1, NY, NZ+1, B2]
  In<float, 6> Ez;                // [B0, B1, NX+1, NY+1, NZ, B2]
  In<float, 1> ch_x, ch_y, ch_z;  // [NX], [NY], [NZ]
  Out<float, 7> hpsi_x;           // [B0, B1, 2Lx, NY, NZ, 2, B2], updated
  Out<float, 7> hpsi_y;           // [B0, B1, NX, 2Ly, NZ, 2, B2], updated
  Out<float, 7> hpsi_z;           // [B0, B1, NX, NY, 2Lz, 2, B2], updated
  In<float, 1> hb_x, hb_y, hb_z;  // [2Lx], [2Ly], [2Lz]
  In<float, 1> hc_x, hc_y, hc_z;  // [2Lx], [2Ly], [2Lz]
  In<int32_t, 1> layer_cells;     // [3]: Lx, Ly, Lz
  int32_t B1, B2, NX, NY, NZ;

  ORV_HD int32_t layers(int axis) const {
    const Out<float, 7>& psi = axis == 0 ? hpsi_x : axis == 1 ? hpsi_y : hpsi_z;
    return layer_thickness(layer_cells, axis, psi, 2 + axis);
  }

  // Contiguous tensors with the launch's extents, auxiliaries with the slots
  // they have.
  template <class F>
  ORV_HD void compact_layout(F&& f) {
    contiguous(f, {B1, NX, NY, NZ, B2}, Hx, Hy, Hz);
    contiguous(f, {B1, NX, NY + 1, NZ + 1, B2}, Ex);
    contiguous(f, {B1, NX + 1, NY, NZ + 1, B2}, Ey);
    contiguous(f, {B1, NX + 1, NY + 1, NZ, B2}, Ez);
    contiguous(f, {B1, int32_t(hpsi_x.size(2)), NY, NZ, 2, B2}, hpsi_x);
    contiguous(f, {B1, NX, int32_t(hpsi_y.size(3)), NZ, 2, B2}, hpsi_y);
    contiguous(f, {B1, NX, NY, int32_t(hpsi_z.size(4)), 2, B2}, hpsi_z);
    contiguous(f, ch_x, ch_y, ch_z, hb_x, hb_y, hb_z, hc_x, hc_y, hc_z, layer_cells);
  }

  // Contiguous fields with f.slots trailing batch slots (B2): strides of
  // that many along z, auxiliaries with their two components interleaved.
  template <class F>
  void unit_layout(F&& f) {
    const uint64_t s = f.slots;
    f(Hx, 4, s), f(Hy, 4, s), f(Hz, 4, s), f(Ex, 4, s), f(Ey, 4, s), f(Ez, 4, s);
    f(hpsi_x, 4, 2 * s), f(hpsi_y, 4, 2 * s), f(hpsi_z, 4, 2 * s);
    f(hpsi_x, 5, s), f(hpsi_y, 5, s), f(hpsi_z, 5, s);
    f(ch_z, 0, 1), f(hb_z, 0, 1), f(hc_z, 0, 1);
  }

  template <class R = AnyRegion>
  ORV_HD ORV_FORCE_INLINE void cell(const Cell16 c, const Batch16 b, const R region = {}) const {
    const int32_t i = c.i, j = c.j, k = c.k;
    const float ex = elem(Ex, b, i, j, k), ey = elem(Ey, b, i, j, k), ez = elem(Ez, b, i, j, k);
    const float dEx_y = elem(Ex, b, i, j + 1, k) - ex;
    const float dEx_z = elem(Ex, b, i, j, k + 1) - ex;
    const float dEy_x = elem(Ey, b, i + 1, j, k) - ey;
    const float dEy_z = elem(Ey, b, i, j, k + 1) - ey;
    const float dEz_x = elem(Ez, b, i + 1, j, k) - ez;
    const float dEz_y = elem(Ez, b, i, j + 1, k) - ez;

    const float cx = elem(ch_x, i), cy = elem(ch_y, j), cz = elem(ch_z, k);
    float hx = elem(Hx, b, i, j, k) + (cz * dEy_z - cy * dEz_y);
    float hy = elem(Hy, b, i, j, k) + (cx * dEz_x - cz * dEx_z);
    float hz = elem(Hz, b, i, j, k) + (cy * dEx_y - cx * dEy_x);

    const int32_t p = layer_slot(i, NX, layer_thickness(layer_cells, 0, hpsi_x, 2), region.x);
    if (p >= 0) filter_layer(hpsi_x, b, p, j, k, p, hb_x, hc_x, dEz_x, -dEy_x, hy, hz);
    const int32_t q = layer_slot(j, NY, layer_thickness(layer_cells, 1, hpsi_y, 3), region.y);
    if (q >= 0) filter_layer(hpsi_y, b, i, q, k, q, hb_y, hc_y, dEx_y, -dEz_y, hz, hx);
    const int32_t r = layer_slot(k, NZ, layer_thickness(layer_cells, 2, hpsi_z, 4), region.z);
    if (r >= 0) filter_layer(hpsi_z, b, i, j, r, r, hb_z, hc_z, dEy_z, -dEx_z, hx, hy);

    elem(Hx, b, i, j, k) = hx;
    elem(Hy, b, i, j, k) = hy;
    elem(Hz, b, i, j, k) = hz;
  }
};

// Electric update, one node of one batch entry.
//
//   Ex ← (cg1_x − cg2_x)·Ex + ce_y[j]·(Hz[j] − Hz[j−1]) − ce_z[k]·(Hy[k] − Hy[k−1])
//   Ey ← (cg1_y − cg2_y)·Ey + ce_z[k]·(Hx[k] − Hx[k−1]) − ce_x[i]·(Hz[i] − Hz[i−1])
//   Ez ← (cg1_z − cg2_z)·Ez + ce_x[i]·(Hy[i] − Hy[i−1]) − ce_y[j]·(Hx[j] − Hx[j−1])
//
// each skipped at index 0 along its two transverse axes (scaled old value and
// first curl term in one fused multiply-add, second term subtracted last);
// then the layer corrections in the order x, y, z, which test only their own
// axis and so also reach face nodes that the curl step skipped:
//
//   auxiliary  c = 0 feeds, filtering     c = 1 feeds, filtering
//   epsi_x     Ey   −(Hz[i] − Hz[i−1])    Ez   +(Hy[i] − Hy[i−1])
//   epsi_y     Ez   −(Hx[j] − Hx[j−1])    Ex   +(Hz[j] − Hz[j−1])
//   epsi_z     Ex   −(Hy[k] − Hy[k−1])    Ey   +(Hx[k] − Hx[k−1])
//
// Nodes at index N are outside the launch and keep their values.
template <class Layout = Strided>
struct UpdateE {
  using layout = Layout;
  template <typename T, size_t N>
  using Out = typename Layout::template Out<T, N>;
  template <typename T, size_t N>
  using In = typename Layout::template In<T, N>;

  Out<float, 6> Ex;                  // [B0, B1, NX, NY+1, NZ+1, B2], updated
  Out<float, 6> Ey;                  // [B0, B1, NX+1, NY, NZ+1, B2], updated
  Out<float, 6> Ez;                  // [B0, B1, NX+1, NY+1, NZ, B2], updated
  In<float, 6> Hx, Hy, Hz;           // [B0, B1, NX, NY, NZ, B2]
  In<float, 4> cg1_x, cg1_y, cg1_z;  // [B1, NX, NY, NZ]
  In<float, 4> cg2_x, cg2_y, cg2_z;  // [B1, NX, NY, NZ]
  In<float, 1> ce_x, ce_y, ce_z;     // [NX], [NY], [NZ]
  Out<float, 7> epsi_x;              // [B0, B1, 2Lx, NY, NZ, 2, B2], updated
  Out<float, 7> epsi_y;              // [B0, B1, NX, 2Ly, NZ, 2, B2], updated
  Out<float, 7> epsi_z;              // [B0, B1, NX, NY, 2Lz, 2, B2], updated
  In<float, 1> eb_x, eb_y, eb_z;     // [2Lx], [2Ly], [2Lz]
  In<float, 1> ec_x, ec_y, ec_z;     // [2Lx], [2Ly], [2Lz]
  In<int32_t, 1> layer_cells;        // [3]: Lx, Ly, Lz
  int32_t B1, B2, NX, NY, NZ;

  ORV_HD int32_t layers(int axis) const {
    const Out<float, 7>& psi = axis == 0 ? epsi_x : axis == 1 ? epsi_y : epsi_z;
    return layer_thickness(layer_cells, axis, psi, 2 + axis);
  }

  // Contiguous tensors with the launch's extents (see UpdateH).
  template <class F>
  ORV_HD void compact_layout(F&& f) {
    contiguous(f, {B1, NX, NY + 1, NZ + 1, B2}, Ex);
    contiguous(f, {B1, NX + 1, NY, NZ + 1, B2}, Ey);
    contiguous(f, {B1, NX + 1, NY + 1, NZ, B2}, Ez);
    contiguous(f, {B1, NX, NY, NZ, B2}, Hx, Hy, Hz);
    contiguous(f, {NX, NY, NZ}, cg1_x, cg1_y, cg1_z, cg2_x, cg2_y, cg2_z);
    contiguous(f, {B1, int32_t(epsi_x.size(2)), NY, NZ, 2, B2}, epsi_x);
    contiguous(f, {B1, NX, int32_t(epsi_y.size(3)), NZ, 2, B2}, epsi_y);
    contiguous(f, {B1, NX, NY, int32_t(epsi_z.size(4)), 2, B2}, epsi_z);
    contiguous(f, ce_x, ce_y, ce_z, eb_x, eb_y, eb_z, ec_x, ec_y, ec_z, layer_cells);
  }

  // Contiguous fields with f.slots batch slots, and grids (see UpdateH).
  template <class F>
  void unit_layout(F&& f) {
    const uint64_t s = f.slots;
    f(Ex, 4, s), f(Ey, 4, s), f(Ez, 4, s), f(Hx, 4, s), f(Hy, 4, s), f(Hz, 4, s);
    f(cg1_x, 3, 1), f(cg1_y, 3, 1), f(cg1_z, 3, 1), f(cg2_x, 3, 1), f(cg2_y, 3, 1), f(cg2_z, 3, 1);
    f(epsi_x, 4, 2 * s), f(epsi_y, 4, 2 * s), f(epsi_z, 4, 2 * s);
    f(epsi_x, 5, s), f(epsi_y, 5, s), f(epsi_z, 5, s);
    f(ce_z, 0, 1), f(eb_z, 0, 1), f(ec_z, 0, 1);
  }

  template <class R = AnyRegion>
  ORV_HD ORV_FORCE_INLINE void cell(const Cell16 c, const Batch16 b, const R region = {}) const {
    const int32_t i = c.i, j = c.j, k = c.k;
    const float hx = elem(Hx, b, i, j, k), hy = elem(Hy, b, i, j, k), hz = elem(Hz, b, i, j, k);
    // Backward differences exist only above index 0 of their axis.
    const float dHy_x = i > 0 ? hy - elem(Hy, b, i - 1, j, k) : 0.f;
    const float dHz_x = i > 0 ? hz - elem(Hz, b, i - 1, j, k) : 0.f;
    const float dHx_y = j > 0 ? hx - elem(Hx, b, i, j - 1, k) : 0.f;
    const float dHz_y = j > 0 ? hz - elem(Hz, b, i, j - 1, k) : 0.f;
    const float dHx_z = k > 0 ? hx - elem(Hx, b, i, j, k - 1) : 0.f;
    const float dHy_z = k > 0 ? hy - elem(Hy, b, i, j, k - 1) : 0.f;

    float ex = elem(Ex, b, i, j, k), ey = elem(Ey, b, i, j, k), ez = elem(Ez, b, i, j, k);
    bool ex_new = false, ey_new = false, ez_new = false;
    const float cx = elem(ce_x, i), cy = elem(ce_y, j), cz = elem(ce_z, k);
    const uint16_t m = b.b1;
    if (j > 0 && k > 0) {
      const float g = elem(cg1_x, m, i, j, k) - elem(cg2_x, m, i, j, k);
      ex = fused(g, ex, cy * dHz_y) - cz * dHy_z;
      ex_new = true;
    }
    if (i > 0 && k > 0) {
      const float g = elem(cg1_y, m, i, j, k) - elem(cg2_y, m, i, j, k);
      ey = fused(g, ey, cz * dHx_z) - cx * dHz_x;
      ey_new = true;
    }
    if (i > 0 && j > 0) {
      const float g = elem(cg1_z, m, i, j, k) - elem(cg2_z, m, i, j, k);
      ez = fused(g, ez, cx * dHy_x) - cy * dHx_y;
      ez_new = true;
    }

    const int32_t p =
        electric_layer_slot(i, NX, layer_thickness(layer_cells, 0, epsi_x, 2), region.x);
    if (p >= 0) {
      filter_layer(epsi_x, b, p, j, k, p, eb_x, ec_x, -dHz_x, dHy_x, ey, ez);
      ey_new = ez_new = true;
    }
    const int32_t q =
        electric_layer_slot(j, NY, layer_thickness(layer_cells, 1, epsi_y, 3), region.y);
    if (q >= 0) {
      filter_layer(epsi_y, b, i, q, k, q, eb_y, ec_y, -dHx_y, dHz_y, ez, ex);
      ez_new = ex_new = true;
    }
    const int32_t r =
        electric_layer_slot(k, NZ, layer_thickness(layer_cells, 2, epsi_z, 4), region.z);
    if (r >= 0) {
      filter_layer(epsi_z, b, i, j, r, r, eb_z, ec_z, -dHy_z, dHx_z, ex, ey);
      ex_new = ey_new = true;
    }

    if (ex_new) elem(Ex, b, i, j, k) = ex;
    if (ey_new) elem(Ey, b, i, j, k) = ey;
    if (ez_new) elem(Ez, b, i, j, k) = ez;
  }
};

#ifdef __CUDACC__
}  // namespace orvane

// The kernels keep their plain names, as profilers and the CUDA runtime show
// them: one overload per layout.
__global__ void Update_H_GPU(const orvane::UpdateH<orvane::Strided> kernel,
                             const orvane::CellDecode decode);
__global__ void Update_H_GPU(const orvane::UpdateH<orvane::Compact> kernel,
                             const orvane::CellDecode decode);
__global__ void Update_E_GPU(const orvane::UpdateE<orvane::Strided> kernel,
                             const orvane::CellDecode decode);
__global__ void Update_E_GPU(const orvane::UpdateE<orvane::Compact> kernel,
                             const orvane::CellDecode decode);

namespace orvane {
template <class Layout>
GpuCellKernel<UpdateH<Layout>> gpu_kernel(const UpdateH<Layout>&) {
  return {::Update_H_GPU, "Update_H_GPU"};
}
template <class Layout>
GpuCellKernel<UpdateE<Layout>> gpu_kernel(const UpdateE<Layout>&) {
  return {::Update_E_GPU, "Update_E_GPU"};
}
#endif

// ------------------------------------------------------------ host side

// Curl coefficient vectors (x, y, z), one entry per index along their axis.
inline void check_curl_coefficients(const ArgCheck& check, const FieldSizes& s,
                                    c10::ArrayRef<TensorArg> xyz) {
  check.extents(xyz[0].t, xyz[0].name, {s.NX}, "[NX]");
  check.extents(xyz[1].t, xyz[1].name, {s.NY}, "[NY]");
  check.extents(xyz[2].t, xyz[2].name, {s.NZ}, "[NZ]");
}

// One axis' auxiliary (any number of slots along its own axis, the full grid
// along the others) and its layer coefficient vectors b and c, which must
// cover every slot the auxiliary has: the kernels never use more slots.
inline void check_layer(const ArgCheck& check, const FieldSizes& s, int axis, const TensorArg& psi,
                        const TensorArg& b, const TensorArg& c) {
  const int64_t slots = psi.t.size(2 + axis);
  const int64_t nx = axis == 0 ? slots : s.NX;
  const int64_t ny = axis == 1 ? slots : s.NY;
  const int64_t nz = axis == 2 ? slots : s.NZ;
  static const char* const layouts[3] = {"[B0, B1, 2Lx, NY, NZ, 2, B2]",
                                         "[B0, B1, NX, 2Ly, NZ, 2, B2]",
                                         "[B0, B1, NX, NY, 2Lz, 2, B2]"};
  check.extents(psi.t, psi.name, {s.B0, s.B1, nx, ny, nz, 2, s.B2}, layouts[axis]);
  const std::string per_slot = "(one entry per slot of " + std::string(psi.name) + ")";
  check.extents(b.t, b.name, {slots}, per_slot.c_str());
  check.extents(c.t, c.name, {slots}, per_slot.c_str());
}

// The three axes' layers, from the argument list's auxiliaries (x, y, z),
// decay vectors and drive vectors, which follow each other.
inline void check_layers(const ArgCheck& check, const FieldSizes& s,
                         c10::ArrayRef<TensorArg> psi_b_c) {
  for (int axis = 0; axis < 3; ++axis)
    check_layer(check, s, axis, psi_b_c[axis], psi_b_c[3 + axis], psi_b_c[6 + axis]);
}

template <class L>
void update_h(const at::Tensor& Hx, const at::Tensor& Hy, const at::Tensor& Hz,
              const at::Tensor& Ex, const at::Tensor& Ey, const at::Tensor& Ez,
              const at::Tensor& ch_x, const at::Tensor& ch_y, const at::Tensor& ch_z,
              const at::Tensor& hpsi_x, const at::Tensor& hpsi_y, const at::Tensor& hpsi_z,
              const at::Tensor& hb_x, const at::Tensor& hb_y, const at::Tensor& hb_z,
              const at::Tensor& hc_x, const at::Tensor& hc_y, const at::Tensor& hc_z,
              const at::Tensor& layer_cells, const at::Tensor& /*spare*/) {
  const ArgCheck check("Update_H");
  require_available<L>(check);
  const TensorArg args[] = {
      field_arg(Hx, "Hx", true),   field_arg(Hy, "Hy", true),  field_arg(Hz, "Hz", true),
      field_arg(Ex, "Ex", false),  field_arg(Ey, "Ey", false), field_arg(Ez, "Ez", false),
      vec_arg(ch_x, "ch_x"),       vec_arg(ch_y, "ch_y"),      vec_arg(ch_z, "ch_z"),
      aux_arg(hpsi_x, "hpsi_x"),   aux_arg(hpsi_y, "hpsi_y"),  aux_arg(hpsi_z, "hpsi_z"),
      vec_arg(hb_x, "hb_x"),       vec_arg(hb_y, "hb_y"),      vec_arg(hb_z, "hb_z"),
      vec_arg(hc_x, "hc_x"),       vec_arg(hc_y, "hc_y"),      vec_arg(hc_z, "hc_z"),
      layer_cells_arg(layer_cells)};
  check_arguments<L>(check, args, field_arg(Ex, "Ex", false));
  const FieldSizes s = field_sizes(check, Ex, Ey, Ez, Hx, Hy, Hz);
  check_curl_coefficients(check, s, c10::ArrayRef<TensorArg>(args).slice(6, 3));
  check_layers(check, s, c10::ArrayRef<TensorArg>(args).slice(9, 9));
  check.extents(layer_cells, "layer_cells", {3}, "(Lx, Ly, Lz)");
  check_no_aliasing(check, args);

  const CellLaunch g = cell_launch(s);
  const typename L::DeviceScope on(Ex.device());
  with_layout(
      check, fits_compact(args),
      [&](auto layout) {
        // clang-format off
        return UpdateH<decltype(layout)>{
            Hx, Hy, Hz, Ex, Ey, Ez,
            ch_x, ch_y, ch_z,
            hpsi_x, hpsi_y, hpsi_z, hb_x, hb_y, hb_z, hc_x, hc_y, hc_z,
            layer_cells,
            g.B1, g.B2, g.NX, g.NY, g.NZ};
        // clang-format on
      },
      [&](const auto& kernel) { L::cells16("Update_H", g, kernel); });
}

template <class L>
void update_e(const at::Tensor& Ex, const at::Tensor& Ey, const at::Tensor& Ez,
              const at::Tensor& Hx, const at::Tensor& Hy, const at::Tensor& Hz,
              const at::Tensor& cg1_x, const at::Tensor& cg1_y, const at::Tensor& cg1_z,
              const at::Tensor& cg2_x, const at::Tensor& cg2_y, const at::Tensor& cg2_z,
              const at::Tensor& ce_x, const at::Tensor& ce_y, const at::Tensor& ce_z,
              const at::Tensor& epsi_x, const at::Tensor& epsi_y, const at::Tensor& epsi_z,
              const at::Tensor& eb_x, const at::Tensor& eb_y, const at::Tensor& eb_z,
              const at::Tensor& ec_x, const at::Tensor& ec_y, const at::Tensor& ec_z,
              const at::Tensor& layer_cells, const at::Tensor& /*spare*/) {
  const ArgCheck check("Update_E");
  require_available<L>(check);
  const TensorArg args[] = {
      field_arg(Ex, "Ex", true),   field_arg(Ey, "Ey", true),  field_arg(Ez, "Ez", true),
      field_arg(Hx, "Hx", false),  field_arg(Hy, "Hy", false), field_arg(Hz, "Hz", false),
      grid_arg(cg1_x, "cg1_x"),    grid_arg(cg1_y, "cg1_y"),   grid_arg(cg1_z, "cg1_z"),
      grid_arg(cg2_x, "cg2_x"),    grid_arg(cg2_y, "cg2_y"),   grid_arg(cg2_z, "cg2_z"),
      vec_arg(ce_x, "ce_x"),       vec_arg(ce_y, "ce_y"),      vec_arg(ce_z, "ce_z"),
      aux_arg(epsi_x, "epsi_x"),   aux_arg(epsi_y, "epsi_y"),  aux_arg(epsi_z, "epsi_z"),
      vec_arg(eb_x, "eb_x"),       vec_arg(eb_y, "eb_y"),      vec_arg(eb_z, "eb_z"),
      vec_arg(ec_x, "ec_x"),       vec_arg(ec_y, "ec_y"),      vec_arg(ec_z, "ec_z"),
      layer_cells_arg(layer_cells)};
  check_arguments<L>(check, args, field_arg(Ex, "Ex", false));
  const FieldSizes s = field_sizes(check, Ex, Ey, Ez, Hx, Hy, Hz);
  for (const TensorArg& grid : c10::ArrayRef<TensorArg>(args).slice(6, 6))
    check.extents(grid.t, grid.name, {s.B1, s.NX, s.NY, s.NZ}, "[B1, NX, NY, NZ]");
  check_curl_coefficients(check, s, c10::ArrayRef<TensorArg>(args).slice(12, 3));
  check_layers(check, s, c10::ArrayRef<TensorArg>(args).slice(15, 9));
  check.extents(layer_cells, "layer_cells", {3}, "(Lx, Ly, Lz)");
  check_no_aliasing(check, args);

  const CellLaunch g = cell_launch(s);
  const typename L::DeviceScope on(Ex.device());
  with_layout(
      check, fits_compact(args),
      [&](auto layout) {
        // clang-format off
        return UpdateE<decltype(layout)>{
            Ex, Ey, Ez, Hx, Hy, Hz,
            cg1_x, cg1_y, cg1_z, cg2_x, cg2_y, cg2_z,
            ce_x, ce_y, ce_z,
            epsi_x, epsi_y, epsi_z, eb_x, eb_y, eb_z, ec_x, ec_y, ec_z,
            layer_cells,
            g.B1, g.B2, g.NX, g.NY, g.NZ};
        // clang-format on
      },
      [&](const auto& kernel) { L::cells16("Update_E", g, kernel); });
}

}  // namespace orvane
