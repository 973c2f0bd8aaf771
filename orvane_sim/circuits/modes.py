"""Guided modes of a waveguide cross-section on the simulation's Yee grid.

The cross-section is a z-plane of Nx × Ny cells (spacing dx, dy, or cells
of their own: see "Unequal cells" below) and the mode travels along +z as
exp(i(βz - ωt)). Its fields sit where the 3-D grid keeps them, with the
plane at z = 0 (positions written for equal cells):

    Ex [Nx, Ny+1] at ((i+½)dx, j dy, 0)      Hx [Nx, Ny] at (i dx, (j+½)dy, ½dz)
    Ey [Nx+1, Ny] at (i dx, (j+½)dy, 0)      Hy [Nx, Ny] at ((i+½)dx, j dy, ½dz)
    Ez [Nx+1, Ny+1] at (i dx, j dy, ½dz)     Hz [Nx, Ny] at ((i+½)dx, (j+½)dy, 0)

The transverse E and H share their transverse positions (Ex with Hy, Ey with
Hx) and differ by half a cell along z. A plane normal to x or y is the same
problem with the axes turned cyclically, (b, c, a) as (x, y, z) for a plane
normal to a, as the flux rectangles do; ``cross_section.plane_permittivity``
cuts such a plane out of a simulation.

Equations. Writing each field as its amplitude at its own position times
exp(iβz - iωt), a difference along z becomes iβ̃ and one in time -iω̃ with

    β̃ = (2/dz)·sin(β dz/2),    ω̃ = (2/dt)·sin(ω dt/2),

and the Yee curl equations become the continuous ones with ∂z → iβ̃,
ω → ω̃ and the transverse derivatives as the grid's differences D:

    iω̃ H = curl E,    -iω̃ ε E = curl H    (ε0 = μ0 = c = 1).

Eliminating Ez with the grid's divergence of εE (zero on the Yee grid) and
Hx, Hy, Hz leaves an eigenproblem in the transverse electric field e = (Ex, Ey)
at the unknown nodes:

    [ω̃² ε - CᵀC - G εz⁻¹ Gᵀ ε] e = β̃² e,

C the curl from (Ex, Ey) to Hz, G the gradient from Ez's nodes to Ex's and
Ey's positions (Gᵀ is minus the divergence back), ε and εz diagonal. The
matrix is real, sparse and not symmetric; its eigenvalues closest below
ω̃²·max ε are the modes of highest index, found by shift-invert Arnoldi
(scipy.sparse.linalg.eigs). With dz and dt left out (None) β̃ = β and
ω̃ = ω: the cross-section is discretised but z and t are continuous. Given,
the result is the mode the stepped grid itself carries at ω, with
β = (2/dz)·arcsin(β̃ dz/2).

Each permittivity is that of its own field's node, the per-component values
a simulation's sub-cell smoothing gives (``Simulation.permittivity``). The
material is taken as lossless and non-dispersive: real ε > 0, the same at
every frequency asked for.

The full smoothed tensor. Where the simulation couples each E node to the
other transverse component's nodes around it (``core.anisotropy``: the
off-diagonal entries of the inverse permittivity, in the plane of a guide
invariant along z), the transverse E is K d, K = diag(1/ε) + those
couplings (symmetric positive definite) and d the transverse D; with P =
CᵀC and Q = G εz⁻¹ Gᵀ the problem becomes

    (ω̃² − P K − Q) d = β̃² K d,

solved for d by shift-invert Arnoldi on (A − σK)⁻¹ K, e = K d. Without
couplings K d = e/ε and it is the problem above. Its left eigenvector is
(ω̃² − K P) d, which is again (Hy, −Hx) up to a factor (C G = 0), so the
group index below holds with D = d.

Boundaries, per transverse axis: "pec", perfectly conducting edges at nodes
0 and N (the tangential E there is zero: Ey and Ez on x-edges, Ex and Ez on
y-edges), or "periodic", one period of N cells whose node N is node 0 again
(no Bloch phase). A cross-section invariant along one axis (a slab) is one
periodic cell wide along it.

Unequal cells. Along a transverse axis the spacing may be the N cell
lengths Δ_i instead of one number: the nodes x_0 = 0 < ... < x_N with
Δ_i = x_{i+1} - x_i, as ``grid.rectilinear`` keeps a non-uniform axis.
Each difference is then the time stepping's own: an E difference (at a
half position, where H lies) divides by its cell's Δ_i, an H difference
(at a node) by the node's dual length Δ*_i = (Δ_{i-1} + Δ_i)/2 (the
conducting edges hold no unknowns, so the box-end halves Δ_0/2 and
Δ_N-1/2 never enter; a periodic axis needs equal cells, as the
simulation's do).
The H difference is then the negative transpose of the E difference in
the area-weighted products, W_e = Δ_i·Δ*_j at Ex and Δ*_i·Δ_j at Ey, W_z =
Δ*·Δ* at Ez's nodes and W_h = Δ·Δ at Hz's cells, and the problem above
becomes, for ê = √W_e·e,

    [ω̃² ε - ĈᵀĈ - Ĝ εz⁻¹ Ĝᵀ ε] ê = β̃² ê,   Ĉ = √W_h C/√W_e,  Ĝ = √W_e G/√W_z,

the same form (its left eigenvector √W_e·(Hy, -Hx)), with C and G the
differences of the unequal cells; every sum below is a plain sum over ê
and so the area-weighted sum over e. One number along an axis is the
arithmetic of equal cells, unchanged; cell lengths that are all one
spacing give that spacing's modes to rounding. With couplings, d and K
become d̂ = √W_e·d and K̂ = √W_e K /√W_e, symmetric again when the
simulation's K keeps its volume-weighted energy (W_a K_ab = W_b K_ba,
``core.anisotropy``): K̂'s couplings are the symmetric κ the simulation
scales by √(W_b/W_a), and the problem keeps its form.

Normalisation and phase. Each mode carries unit power along +z through the
cross-section (through one period along a periodic axis),

    ½ Re Σ (Ex·Hy* - Ey·Hx*) dA = 1,   dA = dx dy (on unequal cells W_e),

with H brought back to the plane of E (its amplitude times exp(-iβ dz/2)).
A flux rectangle of the simulation averages H from the two cells either side
of its plane and so reads cos(β dz/2) of that for the grid's mode. The sign
(the phase) is fixed so that the transverse E is real and positive at its
largest sample: the first, in the order Ex then Ey, each x-major, whose
magnitude is within 0.1 % of the largest, so that a mode and its mirror
image through a symmetry plane of the structure get the same sign at every
frequency. Modes that are degenerate (a square core's pair) may come out as
any combination of each other.

Group index. The left eigenvector of the matrix is (Hy, -Hx), so the
derivative of the eigenvalue in ω̃² is exact without further solves:

    dβ̃²/dω̃² = Σ ε e·(Hy, -Hx)* dA / Σ e·(Hy, -Hx)* dA,

the ratio of electric energy to power flow; the chain rule through the
arcsin and sin above gives ng = dβ/dω of the grid's mode when dz and dt
are given. Material dispersion is not included.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Sequence

import numpy as np
import scipy.linalg
import scipy.sparse as sp
import scipy.sparse.linalg as spla
import torch

BOUNDARIES = ("pec", "periodic")
# Below this many unknowns (or where ARPACK cannot give that many modes,
# count >= n - 1) the eigenproblem is solved dense.
DENSE_LIMIT = 50
# The transverse E's reference sample: the first within this fraction of the largest.
PHASE_TOLERANCE = 1e-3
# Relative accuracy of the Ritz values of (A - σ)⁻¹: neff to about 1e-11.
ARNOLDI_TOLERANCE = 1e-10


class _Axis:
    """One transverse axis of N cells: the unknown nodes (1 .. N-1 between
    conducting edges, 0 .. N-1 around a period), all N half positions, and
    the forward difference from nodes to half positions, each divided by
    its cell's length. ``h``: one spacing, or the N cell lengths Δ_i; with
    those, ``primal`` [N] is them and ``dual`` [nodes] the unknown nodes'
    dual lengths Δ*_k = (Δ_{k-1} + Δ_k)/2 (around a period, of equal cells,
    node 0's neighbours are cells N-1 and 0), else both are None."""

    def __init__(self, cells: int, h, kind: str):
        self.N, self.h, self.kind = cells, h, kind
        self.periodic = kind == "periodic"
        self.nodes = cells if self.periodic else cells - 1
        i = np.arange(cells)
        if self.periodic:
            rows, cols = np.r_[i, i], np.r_[(i + 1) % cells, i]
            vals = np.r_[np.ones(cells), -np.ones(cells)]
        else:  # node k is unknown k - 1; nodes 0 and N are the edges (zero)
            up, down = i[i + 1 <= cells - 1], i[i >= 1]
            rows, cols = np.r_[up, down], np.r_[up, down - 1]
            vals = np.r_[np.ones(len(up)), -np.ones(len(down))]
        if isinstance(h, float):
            self.primal = self.dual = None
            vals = vals / h
        else:
            self.primal = h
            below = np.roll(h, 1) if self.periodic else h[:-1]
            above = h if self.periodic else h[1:]
            self.dual = 0.5 * (below + above)
            vals = vals / h[rows]
        # duplicates add up: a one-cell period has no difference at all
        self.forward = sp.csr_matrix((vals, (rows, cols)), shape=(cells, self.nodes))

    def node_index(self, count: int) -> np.ndarray:
        """For output nodes 0 .. count-1: the unknown each one is, -1 where
        it is an edge (zero)."""
        k = np.arange(count)
        if self.periodic:
            return k % self.N
        return np.where((k >= 1) & (k <= self.N - 1), k - 1, -1)

    def unknown_nodes(self) -> slice:
        """The unknowns among the nodes 0 .. N."""
        return slice(0, self.N) if self.periodic else slice(1, self.N)


def _embed(values: np.ndarray, rows: np.ndarray, cols: np.ndarray) -> np.ndarray:
    """values [..., u, v] at the unknowns → [..., len(rows), len(cols)],
    zero where an index is -1."""
    out = values[..., np.maximum(rows, 0)[:, None], np.maximum(cols, 0)[None, :]]
    return out * ((rows >= 0)[:, None] & (cols >= 0)[None, :])


@dataclass
class Modes:
    """The modes of one cross-section, highest effective index first.

    frequencies [F]; neff, group_index, polarization_fraction [F, count]
    (float64); Ex [F, count, Nx, Ny+1], Ey [F, count, Nx+1, Ny],
    Ez [F, count, Nx+1, Ny+1], Hx, Hy, Hz [F, count, Nx, Ny] (complex128)
    at the positions in the module's docstring. ``polarization_fraction`` is
    the share of Σ|Ex|² dA in Σ(|Ex|² + |Ey|²) dA: near 1 for a mode
    polarised along x, near 0 along y. ``spacing`` (dx, dy), each one
    length (a float) or the axis' cell lengths (float64 [N]), ``dz`` and
    ``dt``: the grid they were solved on, in length and time units (dz and
    dt None: the continuous limit along z and in time).
    ``energy_fraction`` [F, count]: the share of the transverse electric
    energy that Ex holds, Σ ε|Ex|² dA / Σ (ε|Ex|² + ε|Ey|²) dA, each field
    at its own nodes with its own permittivity and area (dA as in the
    module's docstring); the ports tell TE from TM by it.
    """

    frequencies: torch.Tensor
    neff: torch.Tensor
    group_index: torch.Tensor
    polarization_fraction: torch.Tensor
    Ex: torch.Tensor
    Ey: torch.Tensor
    Ez: torch.Tensor
    Hx: torch.Tensor
    Hy: torch.Tensor
    Hz: torch.Tensor
    spacing: tuple
    dz: float | None
    dt: float | None
    energy_fraction: torch.Tensor | None = None

    @property
    def beta(self) -> torch.Tensor:
        """β = neff·k0 [F, count] (k0 = ω = 2πν)."""
        return self.neff * (2 * math.pi * self.frequencies[:, None])

    def pick(self, along: str, rank: int = 0) -> torch.Tensor:
        """Per frequency [F] (int64): the index of the ``rank``-th mode (0:
        the one of highest index) whose transverse E lies mostly along
        ``along`` ("x" or "y"), or -1 where there are not that many.

        In a slab whose faces are normal to x, "y" picks the TE modes and
        "x" the TM ones."""
        if along not in ("x", "y"):
            raise ValueError(f"along must be 'x' or 'y', got {along!r}")
        if rank < 0:
            raise ValueError(f"rank must be >= 0, got {rank}")
        mine = self.polarization_fraction > 0.5 if along == "x" else \
            self.polarization_fraction <= 0.5
        order = torch.cumsum(mine.long(), 1) - 1
        hit = mine & (order == rank)
        found = hit.any(1)
        return torch.where(found, hit.long().argmax(1), torch.full_like(found, -1,
                                                                         dtype=torch.long))


def _as_array(v, name: str) -> np.ndarray:
    if isinstance(v, torch.Tensor):
        v = v.detach().cpu().numpy()
    arr = np.asarray(v)
    if np.iscomplexobj(arr):
        raise ValueError(f"{name}: the mode solver takes real (lossless) permittivities")
    arr = arr.astype(np.float64)
    if not np.isfinite(arr).all() or (arr <= 0).any():
        raise ValueError(f"{name}: permittivities must be finite and positive")
    return arr


def _boundaries(boundary) -> tuple[str, str]:
    pair = (boundary, boundary) if isinstance(boundary, str) else tuple(boundary)
    if len(pair) != 2 or any(k not in BOUNDARIES for k in pair):
        raise ValueError(f"boundary must be one of {BOUNDARIES} or one per axis (x, y), "
                         f"got {boundary!r}")
    return pair


def _positive(v, name: str) -> float | None:
    if v is None:
        return None
    v = float(v)
    if not (math.isfinite(v) and v > 0):
        raise ValueError(f"{name} must be positive, got {v}")
    return v


def _spacing(h, cells: int, name: str):
    """One spacing (a float), or the ``cells`` cell lengths along an axis
    (float64 [cells])."""
    if isinstance(h, torch.Tensor):
        h = h.detach().cpu().numpy()
    if np.ndim(h) == 0:
        return _positive(h, name)
    try:
        lengths = np.asarray(h, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be one spacing or the {cells} cell lengths along its "
                         f"axis, got {h!r}") from None
    if lengths.shape != (cells,):
        raise ValueError(f"{name} must be one spacing or the {cells} cell lengths along its "
                         f"axis (1-D), got shape {lengths.shape}")
    if not (np.isfinite(lengths).all() and (lengths > 0).all()):
        raise ValueError(f"{name}: cell lengths must be finite and positive")
    return lengths.copy()


class _Areas:
    """The areas each set of samples stands for where a transverse axis has
    cells of its own (square roots, over the unknowns): ``e`` of the
    transverse E (Ex: Δx_i·Δy*_j, Ey: Δx*_i·Δy_j), ``z`` of Ez's nodes
    (Δx*·Δy*) and ``h`` of Hz's cells (Δx·Δy). The problem is solved for
    ê = √W_e·e, in which the weighted sums are plain ones: the operators
    become √W_h C/√W_e and √W_e G/√W_z, with the shape of the uniform
    problem's (see the module's docstring)."""

    def __init__(self, ax: _Axis, ay: _Axis):
        def lengths(axis: _Axis):
            if axis.primal is not None:
                return axis.primal, axis.dual
            return np.full(axis.N, axis.h), np.full(axis.nodes, axis.h)

        (px, dx), (py, dy) = lengths(ax), lengths(ay)
        self.e = np.sqrt(np.concatenate([np.outer(px, dy).ravel(), np.outer(dx, py).ravel()]))
        self.z = np.sqrt(np.outer(dx, dy).ravel())
        self.h = np.sqrt(np.outer(px, py).ravel())


def _operators(ax: _Axis, ay: _Axis, eps_x, eps_y, eps_z, areas: _Areas | None = None):
    """The sparse pieces of the transverse problem: diag ε over the unknowns,
    the ω-free part B (A = ω̃² ε + B), the curl C (e → Hz·iω̃), the gradient
    G (Ez's nodes → e) and εz⁻¹ on Ez's nodes; with ``areas``, those of the
    weighted unknowns ê (C and G scaled by the areas' roots)."""
    Ix_h, Iy_h = sp.identity(ax.N), sp.identity(ay.N)
    Ix_n, Iy_n = sp.identity(ax.nodes), sp.identity(ay.nodes)
    G = sp.vstack([sp.kron(ax.forward, Iy_n), sp.kron(Ix_n, ay.forward)]).tocsr()
    C = sp.hstack([-sp.kron(Ix_h, ay.forward), sp.kron(ax.forward, Iy_h)]).tocsr()
    if areas is not None:
        C = (sp.diags(areas.h) @ C @ sp.diags(1.0 / areas.e)).tocsr()
        G = (sp.diags(areas.e) @ G @ sp.diags(1.0 / areas.z)).tocsr()
    eps = np.concatenate([eps_x.ravel(), eps_y.ravel()])
    Eps = sp.diags(eps)
    Zinv = sp.diags(1.0 / eps_z.ravel())
    B = -(C.T @ C) - G @ Zinv @ G.T @ Eps
    return eps, B.tocsc(), C, G, Zinv


def _dot(a: np.ndarray, b: np.ndarray) -> float:
    """Re Σ a*·b (elementwise: BLAS's threads cost more than they give here)."""
    return float(np.sum(a.real * b.real + a.imag * b.imag))


def _eigen(A, count: int, sigma: float, start: np.ndarray, M=None):
    """The ``count`` eigenpairs of A x = w M x (M the identity if None)
    nearest sigma (values [count], vectors [n, count], complex), by Arnoldi
    on (A - sigma M)⁻¹ M from ``start``."""
    n = A.shape[0]
    if n < DENSE_LIMIT or count >= n - 1:
        w, v = scipy.linalg.eig(A.toarray(), None if M is None else M.toarray())
        order = np.argsort(np.abs(w - sigma))[:count]
        return w[order], v[:, order]
    M = sp.identity(n, format="csc") if M is None else M.tocsc()
    # the minimum-degree order fills in about half what COLAMD does here;
    # SymmetricMode applies it to the rows too and tries the diagonal pivot
    # first (still partial pivoting), which the order is made for: without
    # it a graded 132 × 158 strip took 75 s to factor, 0.7 s with it
    lu = spla.splu((A - sigma * M).tocsc(), permc_spec="MMD_AT_PLUS_A",
                   options=dict(SymmetricMode=True))
    inverse = spla.LinearOperator((n, n), matvec=lambda x: lu.solve(M @ x), dtype=np.float64)
    theta, v = spla.eigs(inverse, k=count, which="LM", v0=start, tol=ARNOLDI_TOLERANCE)
    return sigma + 1.0 / theta, v


def _inverse_permittivity(ax: _Axis, ay: _Axis, Nx: int, Ny: int, eps_e: np.ndarray,
                          couplings) -> sp.csr_matrix:
    """K over the transverse unknowns: 1/ε on the diagonal and the couplings
    between Ex and Ey nodes off it, both ways."""
    ex, ey, value = (np.asarray(t.detach().cpu() if isinstance(t, torch.Tensor) else t)
                     for t in couplings)
    ex, ey = ex.reshape(-1, 2).astype(np.int64), ey.reshape(-1, 2).astype(np.int64)
    value = value.reshape(-1).astype(np.float64)
    nex = Nx * ay.nodes
    col_x = ay.node_index(Ny + 1)  # Ex's node along y -> unknown (-1: an edge)
    row_y = ax.node_index(Nx + 1)
    ok = (ex[:, 0] >= 0) & (ex[:, 0] < Nx) & (ex[:, 1] >= 0) & (ex[:, 1] <= Ny) & \
        (ey[:, 0] >= 0) & (ey[:, 0] <= Nx) & (ey[:, 1] >= 0) & (ey[:, 1] < Ny)
    ex, ey, value = ex[ok], ey[ok], value[ok]
    jx, iy = col_x[ex[:, 1]], row_y[ey[:, 0]]
    ok = (jx >= 0) & (iy >= 0)
    a = ex[ok, 0] * ay.nodes + jx[ok]
    b = nex + iy[ok] * Ny + ey[ok, 1]
    n = eps_e.size
    off = sp.coo_matrix((value[ok], (a, b)), shape=(n, n))
    return (sp.diags(1.0 / eps_e) + off + off.T).tocsr()


def _lowest_bound(K) -> float:
    """A lower bound of K's eigenvalues (Gershgorin's), above zero."""
    K = sp.csr_matrix(K)
    diag = K.diagonal()
    rows = np.asarray(abs(K).sum(1)).ravel() - np.abs(diag)
    return max(float((diag - rows).min()), 1e-3 * float(diag.min()))


def solve_modes(eps: Sequence, spacing: Sequence[float], frequency, count: int = 1,
                dz: float | None = None, dt: float | None = None,
                guess_index: float | None = None, boundary="pec",
                couplings=None) -> Modes:
    """The ``count`` modes of highest effective index of a cross-section at
    each of ``frequency`` (one ν or several; ω = 2πν).

    eps: (ε of Ex [Nx, Ny+1], ε of Ey [Nx+1, Ny], ε of Ez [Nx+1, Ny+1]),
    real and positive (tensors or arrays); the entries on conducting edges
    are not read, and along a periodic axis node N must repeat node 0.
    spacing: (dx, dy), each one length or the Nx (Ny) cell lengths along
    that axis (a sequence, array or tensor; see "Unequal cells" in the
    module's docstring). dz, dt: the grid spacing along z and time step for
    the grid's own mode (either may be given alone; None is continuous).
    guess_index: look for the modes nearest this effective index instead
    of below the highest index present. boundary: "pec" or "periodic", or
    one per axis (x, y). couplings: the off-diagonal entries of the inverse
    permittivity between Ex and Ey nodes, (ex [m, 2], ey [m, 2], value [m])
    (an Ex node (i, j) of [Nx, Ny+1], an Ey node of [Nx+1, Ny], the entry
    of K between them, once per pair: K is symmetric; on unequal cells the
    weighted unknowns' κ, see above), or None; pairs with
    a node on a conducting edge are left out, and along a periodic axis
    node N is node 0.

    Raises ValueError where fewer than ``count`` modes propagate (β̃² <= 0),
    or a mode's β̃ lies past the grid's largest, 2/dz.
    """
    if isinstance(spacing, (str, bytes)) or len(spacing) != 2:
        raise ValueError(f"spacing must be (dx, dy), got {spacing!r}")
    dz, dt = _positive(dz, "dz"), _positive(dt, "dt")
    guess_index = _positive(guess_index, "guess_index")
    if int(count) != count or count < 1:
        raise ValueError(f"count must be a positive integer, got {count!r}")
    count = int(count)
    bx, by = _boundaries(boundary)
    if len(eps) != 3:
        raise ValueError("eps needs three permittivity grids (of Ex, Ey, Ez)")
    ex_eps, ey_eps, ez_eps = (_as_array(e, f"eps[{k}]") for k, e in enumerate(eps))
    if ex_eps.ndim != 2:
        raise ValueError(f"eps[0] must be 2-D [Nx, Ny+1], got shape {ex_eps.shape}")
    Nx, Ny = ex_eps.shape[0], ex_eps.shape[1] - 1
    expected = ((Nx, Ny + 1), (Nx + 1, Ny), (Nx + 1, Ny + 1))
    for k, (e, shape) in enumerate(zip((ex_eps, ey_eps, ez_eps), expected)):
        if e.shape != shape:
            raise ValueError(f"eps[{k}] must have shape {shape} for a cross-section of "
                             f"{Nx} × {Ny} cells, got {e.shape}")
    for name, n, kind in (("x", Nx, bx), ("y", Ny, by)):
        if n < (1 if kind == "periodic" else 2):
            raise ValueError(f"{n} cells along {name} hold no unknowns between conducting "
                             f"edges: give at least 2, or a periodic axis")
    dx, dy = (_spacing(h, n, f"spacing[{k}] (d{'xy'[k]})")
              for k, (h, n) in enumerate(zip(spacing, (Nx, Ny))))
    for name, h, kind in (("x", dx, bx), ("y", dy, by)):
        # the simulation's periodic axes have one spacing; a period of
        # unequal cells is not a case anything here makes
        if kind == "periodic" and not isinstance(h, float) and np.ptp(h) > 1e-9 * h.max():
            raise ValueError(f"the periodic {name} axis needs equal cells, got cell lengths "
                             f"{h.min():g} .. {h.max():g}: give one spacing")
    ax, ay = _Axis(Nx, dx, bx), _Axis(Ny, dy, by)
    areas = None if isinstance(dx, float) and isinstance(dy, float) else _Areas(ax, ay)
    for k, (e, dims) in enumerate(zip((ex_eps, ey_eps, ez_eps), ((1,), (0,), (0, 1)))):
        for dim in dims:
            if (ax, ay)[dim].periodic and not np.allclose(np.take(e, -1, dim),
                                                          np.take(e, 0, dim)):
                raise ValueError(f"eps[{k}]: along the periodic {'xy'[dim]} axis the last "
                                 f"node is the first again, but their permittivities differ")
    nx_, ny_ = ax.unknown_nodes(), ay.unknown_nodes()
    eps_x, eps_y, eps_z = ex_eps[:, ny_], ey_eps[nx_, :], ez_eps[nx_, ny_]
    nu = np.atleast_1d(np.asarray(frequency, dtype=np.float64))
    if nu.ndim != 1 or not (np.isfinite(nu).all() and (nu > 0).all()):
        raise ValueError(f"frequencies must be positive, got {frequency!r}")
    eps_e, B, C, G, Zinv = _operators(ax, ay, eps_x, eps_y, eps_z, areas)
    n = B.shape[0]
    K = None if couplings is None else _inverse_permittivity(ax, ay, Nx, Ny, eps_e, couplings)
    if count > n:
        raise ValueError(f"count {count} is more than this cross-section's {n} unknowns")
    Eps = sp.diags(eps_e)
    nex = eps_x.size
    F = len(nu)
    neff = np.zeros((F, count))
    ng = np.zeros((F, count))
    pol = np.zeros((F, count))
    energy = np.zeros((F, count))
    fields = {k: [] for k in ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz")}
    rows_ex, cols_ex = np.arange(Nx), ay.node_index(Ny + 1)
    rows_ey, cols_ey = ax.node_index(Nx + 1), np.arange(Ny)
    rows_ez, cols_ez = ax.node_index(Nx + 1), ay.node_index(Ny + 1)
    rows_hx, cols_hx = ax.node_index(Nx), np.arange(Ny)
    rows_hy, cols_hy = np.arange(Nx), ay.node_index(Ny)
    # A seeded random start: a symmetric one would miss the odd modes of a
    # symmetric guide.
    noise = np.random.default_rng(0).standard_normal(n) / math.sqrt(n)
    start = noise
    for f, v in enumerate(nu):
        omega = 2 * math.pi * v
        if dt is not None:
            if omega * dt / 2 >= math.pi / 2:
                raise ValueError(f"frequency {v} is past the time step's limit 1/(2 dt) = "
                                 f"{1 / (2 * dt)}")
            wt = 2 / dt * math.sin(omega * dt / 2)
        else:
            wt = omega
        if guess_index is not None:
            target = float(guess_index) * omega
            if dz is not None:
                target = 2 / dz * math.sin(min(target * dz / 2, math.pi / 2))
            sigma = target**2
        else:
            # just above the largest β̃² any mode can have
            top = eps_e.max() if K is None else max(eps_e.max(), 1 / _lowest_bound(K))
            sigma = wt**2 * top * (1 + 1e-6)
        if K is None:
            A = (wt**2 * Eps + B).tocsc()
            w, vec = _eigen(A, count, sigma, start)
        else:
            # for d, the transverse D; the E of each mode is K d
            A = (wt**2 * sp.identity(n) - C.T @ C @ K - G @ Zinv @ G.T).tocsc()
            w, vec = _eigen(A, count, sigma, start, K)
        # the next frequency starts from these modes, with some of every
        # other direction kept in
        start = np.real(vec).sum(1)
        start = start / np.linalg.norm(start) + 0.1 * noise
        order = np.argsort(-w.real)
        w, vec = w[order].real, vec[:, order]
        if (w <= 0).any():
            raise ValueError(f"at frequency {v} only {int((w > 0).sum())} of the {count} "
                             f"modes asked for propagate in this cross-section")
        bt = np.sqrt(w)
        if dz is not None:
            if (bt * dz / 2 >= 1).any():
                raise ValueError(f"at frequency {v} a mode's β̃ passes the grid's largest, "
                                 f"2/dz: the frequency is too high for dz = {dz}")
            beta = 2 / dz * np.arcsin(bt * dz / 2)
        else:
            beta = bt
        for m in range(count):
            e = vec[:, m] if K is None else K @ vec[:, m]
            d = eps_e * e if K is None else vec[:, m]
            # Ez = εz⁻¹ Gᵀ D / (iβ̃); (Hy, -Hx) = (iβ̃ e - G Ez) / (iω̃); Hz = C e / (iω̃)
            ez = Zinv @ (G.T @ d) / (1j * bt[m])
            t = (1j * bt[m] * e - G @ ez) / (1j * wt)
            hz = (C @ e) / (1j * wt)
            # with areas the sums over ê are the area-weighted ones already
            power = 0.5 * _dot(t, e) * dx * dy if areas is None else 0.5 * _dot(t, e)
            if not power > 0:
                raise ValueError(f"at frequency {v} mode {m} carries no power along +z")
            # phase: the reference sample of the transverse E real positive
            mag = np.abs(e if areas is None else e / areas.e)
            ref = int(np.argmax(mag >= (1 - PHASE_TOLERANCE) * mag.max()))
            scale = np.conj(e[ref]) / abs(e[ref]) / math.sqrt(power)
            e, ez, t, hz, d = e * scale, ez * scale, t * scale, hz * scale, d * scale
            S = _dot(t, d) / _dot(t, e)  # dβ̃²/dω̃²
            group = S * wt / bt[m]
            if dt is not None:
                group *= math.cos(omega * dt / 2)
            if dz is not None:
                group /= math.cos(beta[m] * dz / 2)
            neff[f, m] = beta[m] / omega
            ng[f, m] = group
            px = np.sum(np.abs(e[:nex]) ** 2)
            pol[f, m] = px / np.sum(np.abs(e) ** 2)
            stored = eps_e * np.abs(e) ** 2
            energy[f, m] = stored[:nex].sum() / stored.sum()
            if areas is not None:  # the fields themselves from the weighted ones
                e, t, ez, hz = e / areas.e, t / areas.e, ez / areas.z, hz / areas.h
            # H and Ez half a cell along +z from the plane on the grid
            shift = np.exp(0.5j * beta[m] * dz) if dz is not None else 1.0
            ex_u = e[:nex].reshape(Nx, ay.nodes)
            ey_u = e[nex:].reshape(ax.nodes, Ny)
            hy_u = t[:nex].reshape(Nx, ay.nodes) * shift
            hx_u = -t[nex:].reshape(ax.nodes, Ny) * shift
            fields["Ex"].append(_embed(ex_u, rows_ex, cols_ex))
            fields["Ey"].append(_embed(ey_u, rows_ey, cols_ey))
            fields["Ez"].append(_embed(ez.reshape(ax.nodes, ay.nodes) * shift, rows_ez, cols_ez))
            fields["Hx"].append(_embed(hx_u, rows_hx, cols_hx))
            fields["Hy"].append(_embed(hy_u, rows_hy, cols_hy))
            fields["Hz"].append(hz.reshape(Nx, Ny))

    def stack(name):
        arr = np.stack(fields[name]).astype(np.complex128)
        return torch.from_numpy(arr.reshape(F, count, *arr.shape[1:]))

    return Modes(torch.from_numpy(nu.copy()), torch.from_numpy(neff), torch.from_numpy(ng),
                 torch.from_numpy(pol), *(stack(k) for k in ("Ex", "Ey", "Ez", "Hx", "Hy",
                                                            "Hz")),
                 tuple(h if isinstance(h, float) else torch.from_numpy(h) for h in (dx, dy)),
                 dz, dt, torch.from_numpy(energy))
