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
