// The dispersive pass: the second half of the electric update in nodes that
// hold dispersive materials.
//
// After Update_E has left E_in in a node, this pass removes the contribution
// of two complex accumulators (one per material slot: the node's primary and
// secondary material, shares w and 1 - w), divides by the node's denominator,
// and advances both accumulators with the change of the field since the
// previous call:
//
//   E_new = ((E_in − Re((1 + α1)·Q1)) − Re((1 + α2)·Q2)) / (den1 + den2)
//   Q1   ← α1·Q1 + (w·β1)·(E_new − E_prev)
//   Q2   ← α2·Q2 + ((1 − w)·β2)·(E_new − E_prev)
//
// α and β (one complex pole per material) are looked up by material id in the
// tables rec_a and rec_b. Both accumulators enter the field update with their
// old values. The caller's previous-field tensors are then refreshed with the
// new fields, whole-tensor copies, so that the next call sees E(n).
//
// Material ids live in uint8 grids on the device and are never read on the
// host. An id without an entry in both tables (id ≥ min(len(rec_a),
// len(rec_b))) is read as a material without a pole, α = β = 0: its
// accumulator contributes Re(Q) once and is then held at zero. No id can make
// the kernel read outside the tables.
#pragma once

#include <c10/util/complex.h>

#include "args.h"

namespace orvane {

namespace dispersive {

using Complex = c10::complex<float>;

// One material's pole: (α, β), or (0, 0) for an id the tables do not cover.
struct Pole {
  float ar, ai, br, bi;
};

template <class Table>
ORV_HD ORV_FORCE_INLINE Pole pole(const Table& rec_a, const Table& rec_b, int32_t materials,
                                  uint8_t id) {
  if (id >= materials) return {0.f, 0.f, 0.f, 0.f};
  const Complex a = elem(rec_a, id);
  const Complex b = elem(rec_b, id);
  return {a.real(), a.imag(), b.real(), b.imag()};
}

// Re((1 + α)·Q).
ORV_HD inline float field_share(const Pole& p, const Complex& q) {
  return (1.f + p.ar) * q.real() - p.ai * q.imag();
}

// α·Q + (s·β)·Δ, s the material's share of the node.
ORV_HD inline Complex advance(const Pole& p, const Complex& q, float s, float delta) {
  const float re = (p.ar * q.real() - p.ai * q.imag()) + (s * p.br) * delta;
  const float im = (p.ar * q.imag() + p.ai * q.real()) + (s * p.bi) * delta;
  return Complex(re, im);
}

}  // namespace dispersive

// Dispersive pass, one node of one batch entry, components x, y, z each
// skipped on the lower faces transverse to it (the nodes Update_E skips).
template <class Layout = Strided>
struct UpdateEDispersion {
  using layout = Layout;
  template <typename T, size_t N>
  using Out = typename Layout::template Out<T, N>;
  template <typename T, size_t N>
  using In = typename Layout::template In<T, N>;
  using Complex = dispersive::Complex;

  Out<float, 6> Ex;                           // [B0, B1, NX, NY+1, NZ+1, B2], updated
  Out<float, 6> Ey;                           // [B0, B1, NX+1, NY, NZ+1, B2], updated
  Out<float, 6> Ez;                           // [B0, B1, NX+1, NY+1, NZ, B2], updated
  In<float, 6> Ex_prev, Ey_prev, Ez_prev;     // shapes of Ex, Ey, Ez
  In<float, 4> w_x, w_y, w_z;                 // [B1, NX, NY, NZ]: share of the primary material
  In<uint8_t, 4> id1_x, id1_y, id1_z;         // [B1, NX, NY, NZ]: primary material ids
  In<uint8_t, 4> id2_x, id2_y, id2_z;         // [B1, NX, NY, NZ]: secondary material ids
  In<float, 4> den1_x, den1_y, den1_z;        // [B1, NX, NY, NZ]
  In<float, 4> den2_x, den2_y, den2_z;        // [B1, NX, NY, NZ]
  In<Complex, 1> rec_a;                       // [materials]: α per material id
  In<Complex, 1> rec_b;                       // [materials]: β per material id
  Out<Complex, 6> acc1_x, acc1_y, acc1_z;     // [B0, B1, NX, NY, NZ, B2], updated
  Out<Complex, 6> acc2_x, acc2_y, acc2_z;     // [B0, B1, NX, NY, NZ, B2], updated
  int32_t B1, B2, NX, NY, NZ;
  int32_t materials;  // ids below this have an entry in both tables

  // The CPU walker's fast layout: contiguous tensors with f.slots batch
  // slots (B2) in the fields, and the grids.
  template <class F>
  void unit_layout(F&& f) {
    const uint64_t s = f.slots;
    f(Ex, 4, s), f(Ey, 4, s), f(Ez, 4, s), f(Ex_prev, 4, s), f(Ey_prev, 4, s), f(Ez_prev, 4, s);
    f(w_x, 3, 1), f(w_y, 3, 1), f(w_z, 3, 1);
    f(id1_x, 3, 1), f(id1_y, 3, 1), f(id1_z, 3, 1), f(id2_x, 3, 1), f(id2_y, 3, 1), f(id2_z, 3, 1);
    f(den1_x, 3, 1), f(den1_y, 3, 1), f(den1_z, 3, 1), f(den2_x, 3, 1), f(den2_y, 3, 1);
    f(den2_z, 3, 1);
    f(acc1_x, 4, s), f(acc1_y, 4, s), f(acc1_z, 4, s), f(acc2_x, 4, s), f(acc2_y, 4, s);
    f(acc2_z, 4, s);
  }

  // Contiguous tensors with the launch's extents (the grids and the
  // accumulators over the cells), contiguous tables.
  template <class F>
  ORV_HD void compact_layout(F&& f) {
    contiguous(f, {B1, NX, NY + 1, NZ + 1, B2}, Ex, Ex_prev);
    contiguous(f, {B1, NX + 1, NY, NZ + 1, B2}, Ey, Ey_prev);
    contiguous(f, {B1, NX + 1, NY + 1, NZ, B2}, Ez, Ez_prev);
    contiguous(f, {NX, NY, NZ}, w_x, w_y, w_z, den1_x, den1_y, den1_z, den2_x, den2_y, den2_z);
    contiguous(f, {NX, NY, NZ}, id1_x, id1_y, id1_z, id2_x, id2_y, id2_z);
    contiguous(f, {B1, NX, NY, NZ, B2}, acc1_x, acc1_y, acc1_z, acc2_x, acc2_y, acc2_z);
    contiguous(f, rec_a, rec_b);
  }

  template <class E, class EPrev, class Share, class Ids, class Den, class Acc>
  ORV_HD ORV_FORCE_INLINE void component(const E& E_now, const EPrev& E_prev, const Share& w,
                                         const Ids& id1, const Ids& id2, const Den& den1,
                                         const Den& den2, const Acc& acc1, const Acc& acc2,
                                         const Batch16& b, int32_t i, int32_t j, int32_t k) const {
    using namespace dispersive;
    const uint16_t m = b.b1;
    const Pole p1 = pole(rec_a, rec_b, materials, elem(id1, m, i, j, k));
    const Pole p2 = pole(rec_a, rec_b, materials, elem(id2, m, i, j, k));
    Complex& q1 = elem(acc1, b, i, j, k);
    Complex& q2 = elem(acc2, b, i, j, k);
    const float share = elem(w, m, i, j, k);
    float& e = elem(E_now, b, i, j, k);

    const float e_new = ((e - field_share(p1, q1)) - field_share(p2, q2)) /
                        (elem(den1, m, i, j, k) + elem(den2, m, i, j, k));
    e = e_new;
    const float delta = e_new - elem(E_prev, b, i, j, k);
    q1 = advance(p1, q1, share, delta);
    q2 = advance(p2, q2, 1.f - share, delta);
  }

  ORV_HD ORV_FORCE_INLINE void cell(const Cell16 c, const Batch16 b) const {
    const int32_t i = c.i, j = c.j, k = c.k;
    if (j > 0 && k > 0)
      component(Ex, Ex_prev, w_x, id1_x, id2_x, den1_x, den2_x, acc1_x, acc2_x, b, i, j, k);
    if (i > 0 && k > 0)
      component(Ey, Ey_prev, w_y, id1_y, id2_y, den1_y, den2_y, acc1_y, acc2_y, b, i, j, k);
    if (i > 0 && j > 0)
      component(Ez, Ez_prev, w_z, id1_z, id2_z, den1_z, den2_z, acc1_z, acc2_z, b, i, j, k);
  }
};

#ifdef __CUDACC__
}  // namespace orvane

__global__ void Update_E_Dispersion_GPU(const orvane::UpdateEDispersion<orvane::Strided> kernel,
                                        const orvane::CellDecode decode);
__global__ void Update_E_Dispersion_GPU(const orvane::UpdateEDispersion<orvane::Compact> kernel,
                                        const orvane::CellDecode decode);

namespace orvane {
template <class Layout>
GpuCellKernel<UpdateEDispersion<Layout>> gpu_kernel(const UpdateEDispersion<Layout>&) {
  return {::Update_E_Dispersion_GPU, "Update_E_Dispersion_GPU"};
}
#endif

// ------------------------------------------------------------ host side

template <class L>
void update_e_dispersion(const at::Tensor& Ex, const at::Tensor& Ey, const at::Tensor& Ez,
                         const at::Tensor& Ex_prev, const at::Tensor& Ey_prev,
                         const at::Tensor& Ez_prev, const at::Tensor& w_x, const at::Tensor& w_y,
                         const at::Tensor& w_z, const at::Tensor& id1_x, const at::Tensor& id1_y,
                         const at::Tensor& id1_z, const at::Tensor& id2_x, const at::Tensor& id2_y,
                         const at::Tensor& id2_z, const at::Tensor& den1_x,
                         const at::Tensor& den1_y, const at::Tensor& den1_z,
                         const at::Tensor& den2_x, const at::Tensor& den2_y,
                         const at::Tensor& den2_z, const at::Tensor& rec_a, const at::Tensor& rec_b,
                         const at::Tensor& acc1_x, const at::Tensor& acc1_y,
                         const at::Tensor& acc1_z, const at::Tensor& acc2_x,
                         const at::Tensor& acc2_y, const at::Tensor& acc2_z,
                         const at::Tensor& /*spare*/) {
  const ArgCheck check("Update_E_Dispersion");
  require_available<L>(check);
  const auto ids = [](const at::Tensor& t, const char* name) {
    return TensorArg{t, name, 4, at::kByte, "[B1, NX, NY, NZ]", false};
  };
  const auto table = [](const at::Tensor& t, const char* name) {
    return complex_arg(t, name, 1, "[materials]");
  };
  const auto acc = [](const at::Tensor& t, const char* name) {
    return complex_arg(t, name, 6, "[B0, B1, NX, NY, NZ, B2]", true);
  };
  const TensorArg args[] = {field_arg(Ex, "Ex", true),
                            field_arg(Ey, "Ey", true),
                            field_arg(Ez, "Ez", true),
                            field_arg(Ex_prev, "Ex_prev", true),
                            field_arg(Ey_prev, "Ey_prev", true),
                            field_arg(Ez_prev, "Ez_prev", true),
                            grid_arg(w_x, "w_x"),
                            grid_arg(w_y, "w_y"),
                            grid_arg(w_z, "w_z"),
                            ids(id1_x, "id1_x"),
                            ids(id1_y, "id1_y"),
                            ids(id1_z, "id1_z"),
                            ids(id2_x, "id2_x"),
                            ids(id2_y, "id2_y"),
                            ids(id2_z, "id2_z"),
                            grid_arg(den1_x, "den1_x"),
                            grid_arg(den1_y, "den1_y"),
                            grid_arg(den1_z, "den1_z"),
                            grid_arg(den2_x, "den2_x"),
                            grid_arg(den2_y, "den2_y"),
                            grid_arg(den2_z, "den2_z"),
                            table(rec_a, "rec_a"),
                            table(rec_b, "rec_b"),
                            acc(acc1_x, "acc1_x"),
                            acc(acc1_y, "acc1_y"),
                            acc(acc1_z, "acc1_z"),
                            acc(acc2_x, "acc2_x"),
                            acc(acc2_y, "acc2_y"),
                            acc(acc2_z, "acc2_z")};
  check_arguments<L>(check, args, field_arg(Ex, "Ex", false));
  const FieldSizes s = electric_sizes(check, Ex, Ey, Ez);
  // The previous fields receive whole-tensor copies after the kernel has run:
  // every shape is settled here, so that no copy can fail half-way.
  for (int c = 0; c < 3; ++c) {
    const TensorArg& field = args[c];
    const TensorArg& prev = args[3 + c];
    if (!prev.t.sizes().equals(field.t.sizes()))
      check.fail(std::string(prev.name) + " must have the shape of " + field.name + ", " +
                 shape_str(field.t.sizes()) + ", got " + shape_str(prev.t.sizes()));
  }
  for (const TensorArg& grid : c10::ArrayRef<TensorArg>(args).slice(6, 15))
    check.extents(grid.t, grid.name, {s.B1, s.NX, s.NY, s.NZ}, "[B1, NX, NY, NZ]");
  for (const TensorArg& a : c10::ArrayRef<TensorArg>(args).slice(23, 6))
    check.extents(a.t, a.name, {s.B0, s.B1, s.NX, s.NY, s.NZ, s.B2}, "[B0, B1, NX, NY, NZ, B2]");
  for (const TensorArg& a : c10::ArrayRef<TensorArg>(args).slice(23, 6))
    check_plain_complex(check, a.t, a.name);
  check_no_aliasing(check, args);

  // Lazily conjugated tables are read through resolved copies.
  const at::Tensor alpha = rec_a.resolve_conj().resolve_neg();
  const at::Tensor beta = rec_b.resolve_conj().resolve_neg();
  const int64_t materials = std::min(alpha.size(0), beta.size(0));

  const CellLaunch g = cell_launch(s);
  const typename L::DeviceScope on(Ex.device());
  with_layout(
      check, fits_compact(args) && fits_compact(alpha) && fits_compact(beta),
      [&](auto layout) {
        // clang-format off
        return UpdateEDispersion<decltype(layout)>{
            Ex, Ey, Ez, Ex_prev, Ey_prev, Ez_prev,
            w_x, w_y, w_z, id1_x, id1_y, id1_z, id2_x, id2_y, id2_z,
            den1_x, den1_y, den1_z, den2_x, den2_y, den2_z,
            alpha, beta,
            acc1_x, acc1_y, acc1_z, acc2_x, acc2_y, acc2_z,
            g.B1, g.B2, g.NX, g.NY, g.NZ,
            int32_t(std::min<int64_t>(materials, 256))};
        // clang-format on
      },
      [&](const auto& kernel) { L::cells16("Update_E_Dispersion", g, kernel); });
  // Queued behind the kernel on the same stream: the next call reads E(n).
  // The shapes match (checked above), so the copies cannot fail.
  Ex_prev.copy_(Ex);
  Ey_prev.copy_(Ey);
  Ez_prev.copy_(Ez);
}

}  // namespace orvane
