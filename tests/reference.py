"""Float64 reference of the magnetic and electric field updates.

Written from the behaviour of the scheme, not from the C++: whole-grid
tensor arithmetic with slicing, plus a short loop over the cell indices
inside the absorbing layers of each axis.

Both functions take the same tensors as ``Update_H`` / ``Update_E`` (in the
same order, any float dtype, any strides), with the layer thicknesses as a
sequence of three Python ints instead of the int32 tensor, and return
float64 copies of the six tensors the update writes: the three field
components and the three auxiliaries. Inputs are never modified.

Sizes come from the electric components (NX = Ex.size(2), NY = Ey.size(3),
NZ = Ez.size(4), batch sizes from Ex); every tensor may be larger than its
extents, and entries outside them are returned unchanged.

Thickness actually used along an axis: L = min(layer_cells[axis],
slots // 2) with slots the auxiliary's extent along its own axis, and no
layer at all when that is negative. In the electric update the node at
index 0 along a layer's own axis never takes that axis's correction, not
even from the high layer (which only reaches it when L >= N).
"""
from typing import List, Optional, Sequence, Tuple

import torch

F64 = torch.float64
NAN = float("nan")
INF = float("inf")


def _f64(t: torch.Tensor) -> torch.Tensor:
    return t.to(F64, copy=True)


def _thickness(layer_cells: Sequence[int], axis: int, aux: torch.Tensor) -> int:
    slots = aux.size(2 + axis)
    return max(0, min(int(layer_cells[axis]), slots // 2))


def layer_slots(n: int, thickness: int, first: int) -> List[Tuple[int, int]]:
    """(index, slot) for the cells of an axis of n cells inside its layers.

    Low layer: first <= index < L, slot = index (low wins where the two
    layers overlap). High layer: the remaining indices >= n - L, slot =
    index - n + 2L. ``first`` is 0 for the magnetic update and 1 for the
    electric one.
    """
    low = [(i, i) for i in range(first, min(thickness, n))]
    high_start = max(thickness, n - thickness, first)
    high = [(i, i - n + 2 * thickness) for i in range(high_start, n)]
    return low + high


class _Frame:
    """Sizes of one call and the cropping of its tensors to them."""

    def __init__(self, Ex: torch.Tensor, Ey: torch.Tensor, Ez: torch.Tensor):
        self.B0, self.B1, self.NX = Ex.size(0), Ex.size(1), Ex.size(2)
        self.B2 = Ex.size(5)
        self.N = (self.NX, Ey.size(3), Ez.size(4))

    def field(self, t: torch.Tensor, extra: Sequence[int] = (0, 0, 0)) -> torch.Tensor:
        """View of a 6-D field over its batch entries and cells (+extra nodes)."""
        nx, ny, nz = (n + e for n, e in zip(self.N, extra))
        return t[: self.B0, : self.B1, :nx, :ny, :nz, : self.B2]

    def aux(self, t: torch.Tensor, axis: int, slot: int, c: int) -> torch.Tensor:
        """View of one slot and component of a 7-D auxiliary, shaped like a
        field plane with the layer's axis removed."""
        idx = [slice(0, self.B0), slice(0, self.B1)]
        idx += [slice(0, n) for n in self.N]
        idx += [c, slice(0, self.B2)]
        idx[2 + axis] = slot
        return t[tuple(idx)]

    def along(self, v: torch.Tensor, axis: int) -> torch.Tensor:
        """1-D per-index coefficient, shaped to broadcast over a field view."""
        shape = [1] * 6
        shape[2 + axis] = self.N[axis]
        return v[: self.N[axis]].reshape(shape)

    def grid(self, g: torch.Tensor) -> torch.Tensor:
        """4-D [b1, i, j, k] coefficient grid, shared over b0 and b2."""
        nx, ny, nz = self.N
        return g[: self.B1, :nx, :ny, :nz].unsqueeze(0).unsqueeze(-1)


def _forward_diff(frame: _Frame, e: torch.Tensor, axis: int) -> torch.Tensor:
    """e[index + 1] - e[index] along axis, at every cell."""
    ahead = e.narrow(2 + axis, 1, frame.N[axis])
    return frame.field(ahead) - frame.field(e)


def _backward_diff(frame: _Frame, h: torch.Tensor, axis: int) -> torch.Tensor:
    """h[index] - h[index - 1] along axis, at every cell; NaN at index 0,
    where no update may read it."""
    cells = frame.field(h)
    out = torch.full_like(cells, NAN)
    n = frame.N[axis]
    if n > 1:
        d = cells.narrow(2 + axis, 1, n - 1) - cells.narrow(2 + axis, 0, n - 1)
        out.narrow(2 + axis, 1, n - 1).copy_(d)
    return out


def update_h(Hx, Hy, Hz, Ex, Ey, Ez, ch_x, ch_y, ch_z,
             hpsi_x, hpsi_y, hpsi_z, hb_x, hb_y, hb_z, hc_x, hc_y, hc_z,
             layer_cells: Sequence[int]):
    """Magnetic update. Returns float64 (Hx, Hy, Hz, hpsi_x, hpsi_y, hpsi_z)."""
    f = _Frame(Ex, Ey, Ez)
    H = [_f64(t) for t in (Hx, Hy, Hz)]
    psi = [_f64(t) for t in (hpsi_x, hpsi_y, hpsi_z)]
    E = [t.to(F64) for t in (Ex, Ey, Ez)]
    ch = [c.to(F64) for c in (ch_x, ch_y, ch_z)]
    hb = [c.to(F64) for c in (hb_x, hb_y, hb_z)]
    hc = [c.to(F64) for c in (hc_x, hc_y, hc_z)]
    cells = [f.field(h) for h in H]  # views: writes land in H

    # d[c][a]: forward difference of E component c along axis a.
    d = [[None if a == c else _forward_diff(f, E[c], a) for a in range(3)] for c in range(3)]

    # Curl: component c takes +ch[a2]·dE[a1]/da2 - ch[a1]·dE[a2]/da1,
    # with (c, a1, a2) cyclic (Hx += ch_z·dEy/dz - ch_y·dEz/dy).
    for c in range(3):
        a1, a2 = (c + 1) % 3, (c + 2) % 3
        cells[c] += f.along(ch[a2], a2) * d[a1][a2] - f.along(ch[a1], a1) * d[a2][a1]

    # Layers, axes in order x, y, z. Along axis a, slot component 0 feeds
    # H[a+1] with +dE[a+2]/da and component 1 feeds H[a+2] with -dE[a+1]/da.
    for a in range(3):
        L = _thickness(layer_cells, a, psi[a])
        feeds = (((a + 1) % 3, +1.0, (a + 2) % 3), ((a + 2) % 3, -1.0, (a + 1) % 3))
        for i, p in layer_slots(f.N[a], L, first=0):
            for comp, (h, sign, e) in enumerate(feeds):
                slot = f.aux(psi[a], a, p, comp)
                slot.copy_(hb[a][p] * slot + sign * hc[a][p] * d[e][a].select(2 + a, i))
                cells[h].select(2 + a, i).add_(slot)
    return (*H, *psi)


def update_e(Ex, Ey, Ez, Hx, Hy, Hz, cg1_x, cg1_y, cg1_z, cg2_x, cg2_y, cg2_z,
             ce_x, ce_y, ce_z, epsi_x, epsi_y, epsi_z, eb_x, eb_y, eb_z,
             ec_x, ec_y, ec_z, layer_cells: Sequence[int]):
    """Electric update. Returns float64 (Ex, Ey, Ez, epsi_x, epsi_y, epsi_z)."""
    f = _Frame(Ex, Ey, Ez)
    E = [_f64(t) for t in (Ex, Ey, Ez)]
    psi = [_f64(t) for t in (epsi_x, epsi_y, epsi_z)]
    H = [t.to(F64) for t in (Hx, Hy, Hz)]
    g = [f.grid(a.to(F64) - b.to(F64)) for a, b in zip((cg1_x, cg1_y, cg1_z), (cg2_x, cg2_y, cg2_z))]
    ce = [c.to(F64) for c in (ce_x, ce_y, ce_z)]
    eb = [c.to(F64) for c in (eb_x, eb_y, eb_z)]
    ec = [c.to(F64) for c in (ec_x, ec_y, ec_z)]
    # The launch covers i < NX, j < NY, k < NZ: nodes at index N are never touched.
    nodes = [f.field(e) for e in E]

    # d[c][a]: backward difference of H component c along axis a.
    d = [[None if a == c else _backward_diff(f, H[c], a) for a in range(3)] for c in range(3)]

    # Curl: component c takes g·old + ce[a1]·dH[a2]/da1 - ce[a2]·dH[a1]/da2,
    # with (c, a1, a2) cyclic (Ex = g·Ex + ce_y·dHz/dy - ce_z·dHy/dz),
    # skipping index 0 along a1 and a2.
    for c in range(3):
        a1, a2 = (c + 1) % 3, (c + 2) % 3
        new = g[c] * nodes[c] + f.along(ce[a1], a1) * d[a2][a1] - f.along(ce[a2], a2) * d[a1][a2]
        idx = [slice(None)] * 6
        idx[2 + a1] = slice(1, None)
        idx[2 + a2] = slice(1, None)
        nodes[c][tuple(idx)] = new[tuple(idx)]

    # Layers, axes in order x, y, z, from index 1 along the layer's axis but
    # at every index along the other two (face nodes included). Along axis
    # a, slot component 0 feeds E[a+1] with -dH[a+2]/da and component 1
    # feeds E[a+2] with +dH[a+1]/da.
    for a in range(3):
        L = _thickness(layer_cells, a, psi[a])
        feeds = (((a + 1) % 3, -1.0, (a + 2) % 3), ((a + 2) % 3, +1.0, (a + 1) % 3))
        for i, p in layer_slots(f.N[a], L, first=1):
            for comp, (e, sign, h) in enumerate(feeds):
                slot = f.aux(psi[a], a, p, comp)
                slot.copy_(eb[a][p] * slot + sign * ec[a][p] * d[h][a].select(2 + a, i))
                nodes[e].select(2 + a, i).add_(slot)
    return (*E, *psi)


# ---------------------------------------------------------------------------
# Anisotropic pass


def curl_increments(Hx, Hy, Hz, ce_x, ce_y, ce_z, N: Sequence[int]) -> List[torch.Tensor]:
    """Float64 curl increment of each electric component over its whole
    node grid ([B0, B1, NX, NY+1, NZ+1, B2] for x, ...), NaN at the nodes
    the electric update does not compute (index 0 or N across the
    component): C_c = ce[a1]·dH[a2]/da1 - ce[a2]·dH[a1]/da2, (c, a1, a2)
    cyclic."""
    H = [t.to(F64) for t in (Hx, Hy, Hz)]
    ce = [c.to(F64) for c in (ce_x, ce_y, ce_z)]
    B0, B1, B2 = H[0].size(0), H[0].size(1), H[0].size(5)
    H = [h[:, :, : N[0], : N[1], : N[2]] for h in H]

    def diff(h, axis):  # h[n] - h[n-1] at n = 1 .. N-1, placed at node n
        n = N[axis]
        return h.narrow(2 + axis, 1, n - 1) - h.narrow(2 + axis, 0, n - 1)

    out = []
    for c in range(3):
        a1, a2 = (c + 1) % 3, (c + 2) % 3
        shape = [B0, B1] + [n + (a != c) for a, n in enumerate(N)] + [B2]
        full = torch.full(shape, NAN, dtype=F64)
        if N[a1] > 1 and N[a2] > 1:
            t1 = diff(H[a2], a1).narrow(2 + a2, 1, N[a2] - 1)
            t2 = diff(H[a1], a2).narrow(2 + a1, 1, N[a1] - 1)
            along = lambda v, a, first: v[first:N[a]].reshape([-1 if d == 2 + a else 1
                                                               for d in range(6)])
            value = along(ce[a1], a1, 1) * t1 - along(ce[a2], a2, 1) * t2
            idx = [slice(None)] * 6
            idx[2 + a1] = slice(1, N[a1])
            idx[2 + a2] = slice(1, N[a2])
            idx[2 + c] = slice(0, N[c])
            full[tuple(idx)] = value
        out.append(full)
    return out


def update_e_anisotropic(Ex, Ey, Ez, Hx, Hy, Hz, ce_x, ce_y, ce_z, nodes, neighbours, weights):
    """Anisotropic pass. Returns float64 (Ex, Ey, Ez). An entry (b1, c, i,
    j, k) is valid where b1 is a batch entry, c a component and the node
    one that the electric update computes; its increment is the curl
    increment C_c at (b1, i, j, k), 0 for an entry that is not valid. Each
    valid entry gets, for every (b0, b2), the sum over its eight couplings
    of weight times the increment of the entry at row neighbours[m, n],
    where that row exists; other entries change nothing."""
    E = [_f64(t) for t in (Ex, Ey, Ez)]
    N = (Ex.size(2), Ey.size(3), Ez.size(4))
    B0, B1, B2 = Ex.size(0), Ex.size(1), Ex.size(5)
    C = [c[:B0, :, :, :, :, :B2] for c in curl_increments(Hx, Hy, Hz, ce_x, ce_y, ce_z, N)]
    M = nodes.size(0)
    entries = [tuple(int(v) for v in nodes[m, :5]) for m in range(M)]

    def valid(b1, c, *idx):
        return 0 <= b1 < B1 and 0 <= c <= 2 and all(
            (0 <= n < N[a]) if a == c else (1 <= n < N[a]) for a, n in enumerate(idx))

    for m, (b1, c, i, j, k) in enumerate(entries):
        if not valid(b1, c, i, j, k):
            continue
        total = torch.zeros(B0, B2, dtype=F64)
        for n in range(8):
            w, r = float(weights[m, n]), int(neighbours[m, n])
            if w == 0.0 or not 0 <= r < M:
                continue
            rb1, d, *other = entries[r]
            if valid(rb1, d, *other):
                total = total + w * C[d][:, rb1, other[0], other[1], other[2], :]
        E[c][:B0, b1, i, j, k, :B2] += total
    return tuple(E)


# ---------------------------------------------------------------------------
# Dispersive pass

C128 = torch.complex128


def _pole_table(table: torch.Tensor, materials: int) -> torch.Tensor:
    """Table over all 256 ids: ids past the tables' common length have no pole (0)."""
    full = torch.zeros(256, dtype=C128)
    full[:materials] = table[:materials].to(C128)
    return full


def update_e_dispersion(Ex, Ey, Ez, Ex_prev, Ey_prev, Ez_prev, w_x, w_y, w_z,
                        id1_x, id1_y, id1_z, id2_x, id2_y, id2_z,
                        den1_x, den1_y, den1_z, den2_x, den2_y, den2_z, rec_a, rec_b,
                        acc1_x, acc1_y, acc1_z, acc2_x, acc2_y, acc2_z):
    """Dispersive pass. Returns float64 (Ex, Ey, Ez, Ex_prev, Ey_prev, Ez_prev)
    and complex128 (acc1_x, acc1_y, acc1_z, acc2_x, acc2_y, acc2_z).

    Per component and updated node (index 0 along both transverse axes
    skipped, nodes at index N outside the launch):
        E_new = (E_in - Re((1 + a1) Q1) - Re((1 + a2) Q2)) / (den1 + den2)
        Q1 <- a1 Q1 + w b1 (E_new - E_prev),  Q2 <- a2 Q2 + (1 - w) b2 (E_new - E_prev)
    then every previous field becomes a copy of its field.
    """
    f = _Frame(Ex, Ey, Ez)
    E = [_f64(t) for t in (Ex, Ey, Ez)]
    prev = [t.to(F64) for t in (Ex_prev, Ey_prev, Ez_prev)]
    acc1 = [t.to(C128, copy=True) for t in (acc1_x, acc1_y, acc1_z)]
    acc2 = [t.to(C128, copy=True) for t in (acc2_x, acc2_y, acc2_z)]
    materials = min(rec_a.numel(), rec_b.numel())
    alpha, beta = _pole_table(rec_a, materials), _pole_table(rec_b, materials)
    grids = list(zip((w_x, w_y, w_z), (id1_x, id1_y, id1_z), (id2_x, id2_y, id2_z),
                     (den1_x, den1_y, den1_z), (den2_x, den2_y, den2_z)))
    for c in range(3):
        w, id1, id2, den1, den2 = grids[c]
        node = [f.grid(id_.long()) for id_ in (id1, id2)]
        a1, a2 = alpha[node[0]], alpha[node[1]]
        b1, b2 = beta[node[0]], beta[node[1]]
        share = f.grid(w.to(F64))
        e_in, e_prev = f.field(E[c]), f.field(prev[c])
        q1, q2 = f.field(acc1[c]), f.field(acc2[c])
        e_new = (e_in - ((1 + a1) * q1).real - ((1 + a2) * q2).real) / f.grid(
            den1.to(F64) + den2.to(F64))
        delta = e_new - e_prev
        new_q1 = a1 * q1 + share * b1 * delta
        new_q2 = a2 * q2 + (1 - share) * b2 * delta
        idx = [slice(None)] * 6
        idx[2 + (c + 1) % 3] = idx[2 + (c + 2) % 3] = slice(1, None)
        idx = tuple(idx)
        e_in[idx], q1[idx], q2[idx] = e_new[idx], new_q1[idx], new_q2[idx]
    return (*E, *[e.clone() for e in E], *acc1, *acc2)


# ---------------------------------------------------------------------------
# Resampling between rectilinear grids


def interval_indices(t: torch.Tensor, g: torch.Tensor, nearest: bool) -> torch.Tensor:
    """Base node per target coordinate by the n x G difference matrix,
    formed in float64 (exact for float32 coordinates).

    nearest: argmin |t - g|, the lowest node on a tie (an infinite target
    goes to the end node on its side, NaN to the last); otherwise the lower
    node of t's interval: (first q with g[q] > t, or G) - 1, clamped to
    [0, G - 2].
    """
    D = t.to(F64)[:, None] - g.to(F64)[None, :]
    if nearest:
        # Infinite targets lie beyond the end nodes, NaN beyond the last one.
        t = t.to(F64).nan_to_num(nan=INF).clamp(float(g[0]) - 1, float(g[-1]) + 1)
        return (t[:, None] - g.to(F64)[None, :]).abs().argmin(dim=1)
    G = g.numel()
    above = D < 0  # g[q] > t
    first = torch.where(above.any(dim=1), above.int().argmax(dim=1), torch.tensor(G))
    return (first - 1).clamp(0, G - 2)


def _axis_weights(t: torch.Tensor, g: torch.Tensor, nearest: bool) -> torch.Tensor:
    """[n, G] matrix of the weights each target coordinate gives the base nodes."""
    q = interval_indices(t, g, nearest)
    W = torch.zeros(t.numel(), g.numel(), dtype=F64)
    rows = torch.arange(t.numel())
    if nearest:
        W[rows, q] = 1.0
        return W
    g64 = g.to(F64)
    frac = (t.to(F64) - g64[q]) / (g64[q + 1] - g64[q])
    frac = torch.nan_to_num(frac, nan=1.0).clamp(0.0, 1.0)
    W[rows, q] += 1.0 - frac
    W[rows, q + 1] += frac
    return W


def trilinear_interpolation(grid_x, grid_y, grid_z, grid_values, target_x, target_y, target_z,
                            nearest: bool) -> torch.Tensor:
    """Forward resampling, complex128 [B0, B1, TX, TY, TZ, B2]."""
    Wx, Wy, Wz = (_axis_weights(t, g, nearest) for t, g in
                  ((target_x, grid_x), (target_y, grid_y), (target_z, grid_z)))
    GX, GY, GZ = Wx.shape[1], Wy.shape[1], Wz.shape[1]
    V = grid_values[:, :, :GX, :GY, :GZ].to(C128)
    return torch.einsum("ap,bq,cr,mnpqrs->mnabcs", Wx.to(C128), Wy.to(C128), Wz.to(C128), V)


def trilinear_reverse_interpolation(grid_x, grid_y, grid_z, target_values, target_x, target_y,
                                    target_z) -> torch.Tensor:
    """Transpose of the trilinear mode, complex128 [B0, B1, GX, GY, GZ, B2]."""
    Wx, Wy, Wz = (_axis_weights(t, g, False) for t, g in
                  ((target_x, grid_x), (target_y, grid_y), (target_z, grid_z)))
    TX, TY, TZ = Wx.shape[0], Wy.shape[0], Wz.shape[0]
    T = target_values[:, :, :TX, :TY, :TZ].to(C128)
    return torch.einsum("ap,bq,cr,mnabcs->mnpqrs", Wx.to(C128), Wy.to(C128), Wz.to(C128), T)


# ---------------------------------------------------------------------------
# Sources, periodic pass and monitor
#
# Each function takes the tensors of its module function in the same order
# (any strides; small integers as Python sequences, k as an int) and returns
# float64 (fields) or complex128 (accumulators) copies of what the call
# writes. Inputs are never modified.


def _halves(B2: int):
    """Per trailing slot: the source entry it takes and whether it takes
    the imaginary part (BC = B2 // 2 real slots first, then the rest)."""
    BC = B2 // 2
    source = torch.tensor([b2 if b2 < BC else b2 - BC for b2 in range(B2)], dtype=torch.long)
    imaginary = torch.arange(B2) >= BC
    return source, imaginary


def _part(z: torch.Tensor, imaginary: torch.Tensor) -> torch.Tensor:
    return torch.where(imaginary, z.imag, z.real)


def inject_plane(electric: bool, Fx, Fy, cz, amp_x, amp_y, prof_x, prof_y, margins, k: int):
    """Inject_E (electric) or Inject_H. Returns float64 (Fx, Fy)."""
    Fx, Fy = _f64(Fx), _f64(Fy)
    B0, B1, B2 = Fx.size(0), Fx.size(1), Fx.size(5)
    NX = Fx.size(2) if electric else prof_x.size(1)
    NY = Fy.size(3) if electric else prof_y.size(2)
    m_x, m_y = (int(m) for m in margins[:2])
    kz = k + 1 if electric else k
    c = float(cz[kz])
    source, imaginary = _halves(B2)

    def excitation(amp, prof, i0, j0):
        """c·part(amp·prof) at i >= i0, j >= j0 of the rectangle, [B0, 1, X, Y, B2]."""
        a = amp.to(C128)[:B0][:, source][:, None, None, :]
        p = prof.to(C128)[:B0, i0:NX - m_x, j0:NY - m_y][..., source]
        return (c * _part(a * p, imaginary)).unsqueeze(1)

    # Inclusive rectangle, strict component tests: the x component skips the
    # first column (Inject_E: j = m_y) or row (Inject_H: i = m_x), the y
    # component the other one.
    x_from = (m_x, m_y + 1) if electric else (m_x + 1, m_y)
    y_from = (m_x + 1, m_y) if electric else (m_x, m_y + 1)
    sign = 1.0 if electric else -1.0
    for F, amp, prof, (i0, j0), s in ((Fx, amp_y, prof_y, x_from, sign),
                                      (Fy, amp_x, prof_x, y_from, -sign)):
        if NX - m_x > i0 and NY - m_y > j0:
            F[:B0, :B1, i0:NX - m_x, j0:NY - m_y, kz, :B2] += s * excitation(amp, prof, i0, j0)
    return Fx, Fy


def inject_current(Ex, Ey, Ez, Jx, Jy, Jz, offset):
    """Inject_J. Returns float64 (Ex, Ey, Ez)."""
    E = [_f64(t) for t in (Ex, Ey, Ez)]
    B0, B1, B2 = Ex.size(0), Ex.size(1), Ex.size(5)
    SX, SY, SZ = Jx.size(2), Jy.size(3), Jz.size(4)
    ox, oy, oz = (int(o) for o in offset[:3])
    _, imaginary = _halves(B2)
    for e, j in zip(E, (Jx, Jy, Jz)):
        sample = j.to(C128)[:B0, :B1, :SX, :SY, :SZ].unsqueeze(-1)  # both halves read it
        e[:B0, :B1, ox:ox + SX, oy:oy + SY, oz:oz + SZ, :B2] -= _part(sample, imaginary)
    return tuple(E)


def periodic(Ex, Ey, Ez, phase_x, phase_y, flags, positive_phase: bool):
    """Update_E_Periodic with the flags as a sequence. Returns float64 (Ex, Ey, Ez)."""
    Ex, Ey, Ez = (_f64(t) for t in (Ex, Ey, Ez))
    B0, B1, BC = Ex.size(0), Ex.size(1), Ex.size(5) // 2
    NX, NY, NZ = Ex.size(2), Ey.size(3), Ez.size(4)
    sign = 1.0 if positive_phase else -1.0

    def phase(p):  # (c + i·s) per (b0, bc), shaped to broadcast over a ghost layer
        p = p.to(F64)
        return torch.complex(p[:B0, :BC], sign * p[:B0, BC:2 * BC]).view(B0, 1, 1, 1, BC)

    def mirror(F, dim, N, w):
        """Ghost 0 <- w·F(N-1), ghost N <- conj(w)·F(1), F cropped to one pass."""
        z = torch.complex(F[..., :BC], F[..., BC:2 * BC])
        ghost0, ghostN = w * z.select(dim, N - 1), w.conj() * z.select(dim, 1)
        for layer, v in ((0, ghost0), (N, ghostN)):
            F.select(dim, layer)[..., :BC] = v.real
            F.select(dim, layer)[..., BC:2 * BC] = v.imag

    if int(flags[0]) != 0 and NX >= 2:
        w = phase(phase_x)
        mirror(Ey[:B0, :B1, :NX + 1, :NY, :NZ + 1], 2, NX, w)
        mirror(Ez[:B0, :B1, :NX + 1, :NY + 1, :NZ], 2, NX, w)
    if int(flags[1]) != 0 and NY >= 2:
        w = phase(phase_y)
        mirror(Ex[:B0, :B1, :NX, :NY + 1, :NZ + 1], 3, NY, w)
        mirror(Ez[:B0, :B1, :NX + 1, :NY + 1, :NZ], 3, NY, w)
    return Ex, Ey, Ez


def monitor(Ex_acc, Ey_acc, Ez_acc, Ex, Ey, Ez, step_factor, x_range, y_range, z_range):
    """Monitor_Update_E with the ranges as sequences. Returns complex128 accumulators."""
    acc = [a.to(C128, copy=True) for a in (Ex_acc, Ey_acc, Ez_acc)]
    B0, B1, F = Ex_acc.size(0), Ex_acc.size(1), Ex_acc.size(5)
    first = [int(r[0]) for r in (x_range, y_range, z_range)]
    M = [int(r[1]) - int(r[0]) + 2 for r in (x_range, y_range, z_range)]
    if min(M) < 1:
        return tuple(acc)
    slots = [0] * F if Ex.size(5) < F else list(range(F))
    w = step_factor.to(C128)[:F]
    for axis, (a, field) in enumerate(zip(acc, (Ex, Ey, Ez))):
        n = [m - (d == axis) for d, m in enumerate(M)]  # one fewer along its own axis
        box = tuple(slice(f, f + e) for f, e in zip(first, n))
        sample = field.to(F64)[(slice(0, B0), slice(0, B1), *box)][..., slots]
        a[:B0, :B1, :n[0], :n[1], :n[2], :F] += w * sample
    return tuple(acc)


# ---------------------------------------------------------------------------
# Material grid preparation
#
# An object is sampled on a uniform lattice of F cells per axis over its box
# [lo, hi] (cell a spans lo + a·(hi − lo)/F to lo + (a+1)·(hi − lo)/F); a node
# owns the dual cell reaching halfway to its neighbours (its own coordinate at
# the first and last node). A node's value is the sampled function integrated
# over the dual cell (zero outside the lattice) divided by the dual cell's
# volume. Along an axis where the dual cell has zero width, the lattice cell
# holding the node's coordinate counts with weight 1.


def id_range(bounds: Sequence[float], coords: torch.Tensor) -> Tuple[int, int]:
    """Inclusive node range a box touches: from the last node strictly below
    the lower bound (rounded down to even) to the first strictly above the
    upper bound (rounded up to even, at most the last node)."""
    c = coords.to(F64)
    n = c.numel()
    below = torch.nonzero(c < float(bounds[0])).flatten()
    above = torch.nonzero(c > float(bounds[-1])).flatten()
    start = int(below[-1]) if below.numel() else 0
    end = int(above[0]) if above.numel() else n - 1
    return start - start % 2, (min(end + 1, n - 1) if end % 2 else end)


def dual_weights(coords: torch.Tensor, start: int, end: int, lo: float, hi: float,
                 cells: int) -> torch.Tensor:
    """[end − start + 1, cells]: share of each node's dual cell (nodes start to
    end) that falls in each lattice cell along one axis."""
    c = coords.to(F64)
    n = torch.arange(start, end + 1)
    last = c.numel() - 1
    below = torch.where(n >= 1, (c[(n - 1).clamp(min=0)] + c[n]) / 2, c[0])
    above = torch.where(n < last, (c[n] + c[(n + 1).clamp(max=last)]) / 2, c[last])
    edges = lo + (hi - lo) / cells * torch.arange(cells + 1, dtype=F64)
    overlap = (torch.minimum(above[:, None], edges[None, 1:])
               - torch.maximum(below[:, None], edges[None, :-1])).clamp(min=0)
    width = above - below
    holder = torch.floor((below - lo) / ((hi - lo) / cells)).long()
    one_hot = (holder[:, None] == torch.arange(cells)[None, :]).to(F64)
    flat = (width == 0)[:, None]
    return torch.where(flat, one_hot, overlap / torch.where(width == 0, 1.0, width)[:, None])


class Box:
    """An object's box on the node coordinates: ranges and dual-cell weights."""

    def __init__(self, bounds, samples: torch.Tensor, coords):
        self.ranges = [id_range(b, c) for b, c in zip(bounds, coords)]
        self.weights = [dual_weights(c, s, e, float(b[0]), float(b[1]), f)
                        for c, (s, e), b, f in zip(coords, self.ranges, bounds, samples.shape[1:])]
        self.samples = samples.to(F64)

    def average(self, values: Optional[torch.Tensor] = None) -> torch.Tensor:
        """[L, RX, RY, RZ]: dual-cell averages of the samples (or of `values`)."""
        v = self.samples if values is None else values
        return torch.einsum("ia,jb,kc,labc->lijk", *self.weights, v)

    def region(self, grid: torch.Tensor) -> torch.Tensor:
        """The box's nodes of a [L, X, Y, Z, ...] grid (a view)."""
        (sx, ex), (sy, ey), (sz, ez) = self.ranges
        return grid[: self.samples.size(0), sx:ex + 1, sy:ey + 1, sz:ez + 1]


def mat_average(x_bounds, y_bounds, z_bounds, samples, xc, yc, zc):
    """Averaged samples [L, RX, RY, RZ] (float64) and the three ranges."""
    box = Box((x_bounds, y_bounds, z_bounds), samples, (xc, yc, zc))
    return box.average(), box.ranges


def set_weight_mat_id(x_bounds, y_bounds, z_bounds, samples, xc, yc, zc, mat_id,
                      weight, primary, secondary):
    """Painted copies (weight float64, primary, secondary) of the grids."""
    box = Box((x_bounds, y_bounds, z_bounds), samples, (xc, yc, zc))
    w, p, s = _f64(weight), primary.clone(), secondary.clone()
    share = box.average()
    hit = share > 0
    box.region(s)[hit] = box.region(p)[hit]
    box.region(p)[hit] = mat_id % 256
    box.region(w)[hit] = share[hit]
    return w, p, s


def set_er_average(eps, weight, primary, secondary, table):
    """w·table[primary] + (1 − w)·table[secondary] over eps's extent (float64)."""
    L, X, Y, Z = eps.shape
    w = weight[:L, :X, :Y, :Z].to(F64)
    t = table.to(F64)
    a = t[primary[:L, :X, :Y, :Z].long()]
    b = t[secondary[:L, :X, :Y, :Z].long()]
    return w * a + (1 - w) * b


def set_weight_subcell(x_bounds, y_bounds, z_bounds, samples, xc, yc, zc, weight, obj_id,
                       primary, secondary, normals, table, component):
    """Sub-cell weights (float64 copy of weight) for one object and component."""
    box = Box((x_bounds, y_bounds, z_bounds), samples, (xc, yc, zc))
    out = _f64(weight)
    w = box.region(out)
    t = table.to(F64)
    mine = box.region(primary).long() == obj_id
    eps_a = t[box.region(primary).long()]
    eps_b = t[box.region(secondary).long()]
    snap = mine & ((eps_a <= 0) | (eps_b <= 0))
    w[snap] = torch.where(w[snap] >= 0, torch.floor(w[snap] + 0.5), torch.ceil(w[snap] - 0.5))

    # Full dual-cell weights per node and lattice cell: [L?, RX, RY, RZ, FX, FY, FZ].
    wx, wy, wz = box.weights
    v = torch.einsum("ia,jb,kc->ijkabc", wx, wy, wz)
    s = box.samples[:, None, None, None]                     # [L, 1, 1, 1, FX, FY, FZ]
    eb = eps_b.clamp(min=1e-30)[..., None, None, None]       # [L, RX, RY, RZ, 1, 1, 1]
    eps = s * t[obj_id] + (1 - s) * eb if 0 <= obj_id < t.numel() else eb
    covered = v.sum((-3, -2, -1))
    mean = (v * eps).sum((-3, -2, -1)) + (1 - covered) * eps_b
    inverse = (v / eps).sum((-3, -2, -1)) + (1 - covered) / eps_b
    axis = component if component in (0, 1) else 2
    q = box.region(normals)[..., axis].to(F64) ** 2
    eff = 1 / (inverse * q + (1 - q) / mean)
    span = torch.maximum(eps_a, eps_b) + 1e-4 - torch.minimum(eps_a, eps_b)
    smooth = mine & ~snap
    w[smooth] = ((eff - eps_b).abs() / span)[smooth]
    return out
