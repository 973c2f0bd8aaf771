"""Update coefficients for a vacuum box with graded absorbing layers.

Units are normalised: c = eps0 = mu0 = 1, so the wave impedance is 1 and
lengths and times share one unit (a wave crosses a unit of length in a unit
of time). Spacings are in that length unit; the time step follows from the
Courant number as a fraction of the three-dimensional stability limit.

The layers are convolutional perfectly matched layers with polynomial
grading (Roden and Gedney, 2000). At depth d into a layer of thickness
T = L*h, measured from the layer's inner edge towards the domain face:

    sigma(d) = sigma_max * (d/T)**m
    kappa(d) = 1 + (kappa_max - 1) * (d/T)**m
    alpha(d) = alpha_max * (1 - d/T)

and the recursive convolution uses

    b = exp(-(sigma/kappa + alpha) * dt)
    a = sigma / (sigma*kappa + kappa**2 * alpha) * (b - 1)

The field kernels add the layer auxiliary to the field without a further
factor, so the drive coefficient carries the curl scaling dt/h, and the plain
curl coefficient is divided by kappa.

Positions along one axis (cell size h, N cells):
- the magnetic difference of cell i, (E[i+1] - E[i]), sits at (i + 1/2)*h;
- the electric difference of node i, (H[i] - H[i-1]), sits at i*h.
The low layer occupies [0, L*h], the high layer [(N-L)*h, N*h]. Each
coefficient array has 2L slots: slot s < L is cell/node s of the low layer,
slot s >= L is cell/node s + N - 2L of the high layer. The electric update
starts its low layer at node 1, so electric slot 0 (node 0, on the face) is
computed like the others but never read.
"""
from __future__ import annotations

import math
import numbers
from dataclasses import dataclass

import torch

C0 = 1.0
EPS0 = 1.0
MU0 = 1.0
ETA0 = 1.0  # sqrt(MU0 / EPS0)


@dataclass(frozen=True)
class Grading:
    """Polynomial grading of the absorbing layers (see the module's text).

    ``order``: the polynomial order m of sigma and kappa; ``sigma_factor``
    scales the usual optimum sigma_opt = 0.8 (m + 1) / (eta0 h);
    ``kappa_max``: kappa at the face (dimensionless, >= 1); ``alpha_max``:
    alpha at the layer's inner edge, per unit time (it keeps the layers
    absorbing the slowest fields).
    """

    order: float = 3.0
    sigma_factor: float = 1.0
    kappa_max: float = 5.0
    alpha_max: float = 0.05

    def sigma_max(self, h: float) -> float:
        return self.sigma_factor * 0.8 * (self.order + 1.0) / (ETA0 * h)


def time_step(spacing: tuple[float, float, float], courant: float) -> float:
    """dt = S / (c sqrt(1/dx^2 + 1/dy^2 + 1/dz^2)); S < 1 is stable.

    ``spacing``: (dx, dy, dz) in length units, on a rectilinear grid the
    shortest cell of each axis; ``courant`` (S): the fraction of the
    three-dimensional stability limit, in (0, 1). dt is in time units
    (c = 1: the unit of length).

    On a rectilinear grid the limit follows from the shortest cells: along
    one axis the electric node i sees (1/Δ*_i)·(1/Δ_{i-1} + 1/Δ_i) on each
    side of its second difference, 2/(Δ_{i-1}·Δ_i) in all, so by
    Gershgorin's discs no eigenvalue of the curl-curl exceeds
    Σ_axes 4/min(Δ)^2, and a leapfrog step with c·dt·sqrt(Σ 1/min(Δ)^2) <= 1
    stays bounded, as on a uniform grid of the shortest cells."""
    if isinstance(courant, bool) or not isinstance(courant, numbers.Real):
        raise TypeError(f"courant must be a real number, got {courant!r} "
                        f"({type(courant).__name__})")
    if not 0.0 < courant < 1.0:
        raise ValueError(f"courant must lie in (0, 1), below the stability limit 1, got {courant}")
    dx, dy, dz = spacing
    return courant / (C0 * math.sqrt(1.0 / dx**2 + 1.0 / dy**2 + 1.0 / dz**2))


@dataclass
class AxisCoefficients:
    """Coefficient vectors of one axis (float32).

    ch, ce: [N] curl coefficients of the magnetic and electric updates.
    hb, hc, eb, ec: [2L] layer decay and drive coefficients, by slot.
    """

    ch: torch.Tensor
    ce: torch.Tensor
    hb: torch.Tensor
    hc: torch.Tensor
    eb: torch.Tensor
    ec: torch.Tensor


def layer_profile(depth: torch.Tensor, thickness: float, dt: float, grading: Grading,
                  h: float):
    """kappa, b and a at the given depths (float64) into a layer.

    Depths are clipped to [0, thickness]; depth 0 is the layer's inner edge.
    ``depth`` and ``thickness`` in length units, ``dt`` in time units, ``h``
    the cell size; ``grading`` the profile (``Grading``).
    """
    u = (depth / thickness).clamp(0.0, 1.0)
    sigma = grading.sigma_max(h) * u**grading.order
    kappa = 1.0 + (grading.kappa_max - 1.0) * u**grading.order
    alpha = grading.alpha_max * (1.0 - u)
    b = torch.exp(-(sigma / kappa + alpha) * dt / EPS0)
    denom = sigma * kappa + kappa**2 * alpha
    a = torch.where(denom > 0, sigma / denom.clamp_min(1e-300) * (b - 1.0),
                    torch.zeros_like(denom))
    return kappa, b, a


def _layer_cells(layers, n: int) -> tuple[int, int, int]:
    """(low, high, L = the larger) of ``layers``, one count for both faces
    or a pair, checked against the axis's ``n`` cells."""
    lo, hi = (int(layers), int(layers)) if not isinstance(layers, (tuple, list)) else \
        (int(layers[0]), int(layers[1]))
    L = max(lo, hi)
    if min(lo, hi) < 0 or 2 * L > n:
        raise ValueError(f"layer thickness must satisfy 0 <= 2*L <= N, got L={(lo, hi)}, N={n}")
    return lo, hi, L


def _layer_slots(sides, index: torch.Tensor, L: int, dt: float, grading: Grading, kappa_h,
                 kappa_e):
    """The layers' decay b and drive a of each of the 2L slots, magnetic and
    electric (hb, ha, eb, ea, float64), with κ written into ``kappa_h`` and
    ``kappa_e`` at the slots' indices (``index``). ``sides``: per face with
    a layer, (its slots, the magnetic and electric depths into it, its
    thickness, the cell that sets sigma_max)."""
    f64 = torch.float64
    hb, ha, eb, ea = (torch.zeros(2 * L, dtype=f64) for _ in range(4))
    for side, h_depth, e_depth, thickness, cell in sides:
        inside_h = side & (h_depth >= 0)
        inside_e = side & (e_depth >= 0)
        kh, b_h, a_h = layer_profile(h_depth, thickness, dt, grading, cell)
        ke, b_e, a_e = layer_profile(e_depth, thickness, dt, grading, cell)
        hb = torch.where(inside_h, b_h, hb)
        ha = torch.where(inside_h, a_h, ha)
        eb = torch.where(inside_e, b_e, eb)
        ea = torch.where(inside_e, a_e, ea)
        kappa_h[index[inside_h]] = kh[inside_h]
        kappa_e[index[inside_e]] = ke[inside_e]
    return hb, ha, eb, ea


def axis_coefficients(n: int, h: float, layers, dt: float,
                      grading: Grading = Grading()) -> AxisCoefficients:
    """Curl and layer coefficients along one axis of n cells of size h
    (length units), for the time step ``dt`` (time units) and the layers'
    profile ``grading``.

    ``layers`` is the thickness in cells of both faces' layers, or a pair
    (low face, high face). The kernels give both faces L = max(low, high)
    slots; a face thinner than L keeps its extra slots neutral (kappa 1, no
    drive), so its auxiliary stays zero there and that face is a plain
    boundary when its thickness is 0.
    """
    lo, hi, L = _layer_cells(layers, n)
    f64 = torch.float64
    kappa_h = torch.ones(n, dtype=f64)
    kappa_e = torch.ones(n, dtype=f64)
    slot = torch.arange(2 * L, dtype=f64)
    index = torch.where(slot < L, slot, slot + n - 2 * L)
    low = slot < L
    h_pos = (index + 0.5) * h
    e_pos = index * h
    sides = []
    for side, cells in ((low, lo), (~low, hi)):
        if cells == 0:
            continue
        thickness = cells * h
        # depth from this face's inner edge; negative outside its layer
        if side is low:
            h_depth, e_depth = thickness - h_pos, thickness - e_pos
        else:
            h_depth, e_depth = h_pos - (n - cells) * h, e_pos - (n - cells) * h
        sides.append((side, h_depth, e_depth, thickness, h))
    hb, ha, eb, ea = _layer_slots(sides, index.long(), L, dt, grading, kappa_h, kappa_e)
    f32 = torch.float32
    return AxisCoefficients(
        ch=(dt / (MU0 * h) / kappa_h).to(f32),
        ce=(dt / (EPS0 * h) / kappa_e).to(f32),
        hb=hb.to(f32),
        hc=(dt / (MU0 * h) * ha).to(f32),
        eb=eb.to(f32),
        ec=(dt / (EPS0 * h) * ea).to(f32),
    )


def graded_axis_coefficients(axis, layers, dt: float,
                             grading: Grading = Grading()) -> AxisCoefficients:
    """``axis_coefficients`` of a non-uniform axis (``rectilinear.Axis``),
    each index with its own spacing.

    The Yee scheme on a rectilinear grid: the magnetic update of cell i
    takes the difference E[i+1] - E[i] of the two electric nodes at x_i and
    x_{i+1}, so it divides by the primal spacing Δ_i = x_{i+1} - x_i; the
    electric update of node i takes H[i] - H[i-1] of the magnetic points at
    the centres c_{i-1} and c_i, so it divides by the dual spacing
    Δ*_i = c_i - c_{i-1} = (Δ_{i-1} + Δ_i)/2:

        ch[i] = dt / (mu0 · Δ_i · kappa_h),   ce[i] = dt / (eps0 · Δ*_i · kappa_e)

    (ce[0] is never read: the electric update skips node 0 along its axis;
    it takes Δ_0). With the energy weighted by each component's volume, Δ
    along its own axis and Δ* along the others, the two difference
    operators are each other's negative transpose, as on a uniform grid, so
    the scheme conserves that energy and its charge (``initial_field``).

    The layers are graded in physical depth: a point at depth d into a layer
    of thickness T (the sum of its cells) gets the profile of the module's
    text at d/T, whatever the cells it crosses; sigma_max follows the
    layer's mean cell, T over its cells. The drive coefficients carry the
    same dt/Δ (magnetic) and dt/Δ* (electric) as the curl they filter.
    """
    n = axis.cells
    lo, hi, L = _layer_cells(layers, n)
    f64 = torch.float64
    nodes, primal = axis.nodes, axis.primal
    dual = axis.dual[:-1].clone()  # [N], node i's; node 0's on the face is never read
    dual[0] = primal[0]
    kappa_h = torch.ones(n, dtype=f64)
    kappa_e = torch.ones(n, dtype=f64)
    slot = torch.arange(2 * L)
    index = torch.where(slot < L, slot, slot + n - 2 * L)
    low = slot < L
    h_pos, e_pos = axis.centres[index], nodes[index]
    sides = []
    for side, cells in ((low, lo), (~low, hi)):
        if cells == 0:
            continue
        if side is low:
            thickness = float(nodes[cells])
            h_depth, e_depth = thickness - h_pos, thickness - e_pos
        else:
            inner = float(nodes[n - cells])
            thickness = float(nodes[n]) - inner
            h_depth, e_depth = h_pos - inner, e_pos - inner
        sides.append((side, h_depth, e_depth, thickness, thickness / cells))
    hb, ha, eb, ea = _layer_slots(sides, index, L, dt, grading, kappa_h, kappa_e)
    ha = ha * dt / (MU0 * primal[index])
    ea = ea * dt / (EPS0 * dual[index])
    f32 = torch.float32
    return AxisCoefficients(
        ch=(dt / (MU0 * primal) / kappa_h).to(f32),
        ce=(dt / (EPS0 * dual) / kappa_e).to(f32),
        hb=hb.to(f32),
        hc=ha.to(f32),
        eb=eb.to(f32),
        ec=ea.to(f32),
    )
