"""The full smoothed permittivity in the electric update: the off-diagonal
terms of ε̃⁻¹ at the nodes beside an interface, as couplings between
neighbouring nodes of two components, run by ``Update_E_Anisotropic``
after the dispersive pass.

One electric step is D += C (C the curl increments, ``Update_E``'s) and
E = K·D, K the discrete inverse permittivity. ``Update_E`` and the
dispersive pass apply K's diagonal, 1 / the node's denominator (the
diagonal entry of ε̃⁻¹ that sub-cell smoothing gives, ``painting``). The
rest of K couples each node a of component c to the four nodes b of each
other component d around it (the Yee cell's face they share, half a cell
away along c and d):

    K_ab = (ε̃⁻¹_cd(a) + ε̃⁻¹_dc(b)) / 8,

the mean of the two nodes' own off-diagonal entries, shared out over the
four neighbours (where ε̃⁻¹_cd is the same at all five nodes, the node
gets ε̃⁻¹_cd times the mean of the four increments, as the tensor asks).
The same formula read from b gives K_ba = K_ab: the averaging that carries
d's increments to c's nodes is the transpose of the one that carries c's
to d's, so K is symmetric, as the continuous tensor is.

Why that matters: with μ = 1 the scheme conserves the discrete energy
Dᵀ K D + |H|² (the leapfrog's form of it) exactly when K is symmetric,
and stays stable when K is also positive definite with its largest
eigenvalue λ within what the time step allows: dt² λ ‖curl‖² <= 4, that
is λ <= 1 / S² for a time step S times the vacuum limit (``courant``).
Each node's pointwise tensor is positive definite with eigenvalues ⟨ε⁻¹⟩
and ⟨ε⟩⁻¹, at most 1 where ε >= 1; the discrete K mixes the tensors of
neighbouring nodes, so the builder holds it to the same bounds by
Gershgorin's rule: with R_a = Σ_b |K_ab| and D_a the diagonal, a node's
couplings are scaled by

    s_a = min(1, (1 − MARGIN)·D_a / R_a, (Λ − D_a) / R_a),   Λ = (1 − MARGIN_Λ) / S²,

and each pair by min(s_a, s_b), which keeps it symmetric; every row then
has D_a − Σ|K_ab| >= MARGIN·D_a > 0 and D_a + Σ|K_ab| <= Λ, so every
eigenvalue of K lies in [MARGIN·min D, Λ]. The scaling bites only at high
contrast and at nodes whose own cell is (almost) uniform next to one that
is not.

On unequal cells (a rectilinear grid) the energy weighs each node by its
volume W, and K keeps it where W_a K_ab = W_b K_ba: the couplings are the
κ above scaled by √(W_b / W_a), and the bounds, which hold for the
symmetric W^½ K W^-½ = κ, are applied to κ (``build``). The mode solver
takes κ itself for its area-weighted unknowns (``AnisotropicPass.symmetric``).

Which nodes take part: those the electric update computes (index 1 .. N−1
across the component), outside the absorbing layers (whose stretched curl
this pass does not know), where only plain lossless dielectrics meet
(the pole materials' nodes take the staircase), and not in a design
region. A pair with a node that does not take part is left out from both
sides. Along a periodic axis a neighbour on the ghost plane (node 0 or N)
is its image (node N−1 or 1), as the periodic pass makes it; with a Bloch
phase other than 1 along that axis the pairs across the seam are left out
(the coupling would need the phase), see ``_neighbour``. On slabs the
ghost planes of the split axis are filled by the neighbouring slab, whose
curl increments this slab cannot form: the cell two slabs share, which
both compute, takes here the couplings to the nodes this slab holds, and
the neighbour's half comes over after the pass
(``SlabSimulation.apply_anisotropy``).
"""
from __future__ import annotations

import math

import torch

# Offsets (along c, along d) from a node of component c to the four nodes
# of component d around it: the face of the Yee cell they share.
NEIGHBOURS = ((0, -1), (0, 0), (1, -1), (1, 0))
# The share of each node's diagonal that its couplings may not take (K stays
# positive definite with room to spare) and the room left below the time
# step's bound.
MARGIN = 0.05
MARGIN_LAMBDA = 1e-3
# A coupling under this share of the smaller diagonal of its two nodes is
# left out: about half of a sphere's couplings are (where the surface lies
# nearly along an axis, or barely cuts the dual cell), and they move its
# Mie error by under 0.01 % at 10 to 30 cells per unit while they cost as
# much as the others.
NEGLIGIBLE = 2e-4


def courant_number(spacing, dt: float) -> float:
    """S: the time step as a fraction of the 3-D vacuum limit (c = 1)."""
    return dt * math.sqrt(sum(1.0 / h**2 for h in spacing))


class AnisotropicPass:
    """The couplings of one box: ``nodes`` [M, 5] int32 (b1, component, i,
    j, k), ``neighbours`` [M, 8] int32 (the row of each coupled node),
    ``weights`` [M, 8] float32, as ``Update_E_Anisotropic`` takes them (the
    first four of component c + 1, the others of c + 2)."""

    def __init__(self, nodes: torch.Tensor, neighbours: torch.Tensor, weights: torch.Tensor,
                 symmetric: torch.Tensor | None = None):
        self.nodes, self.neighbours, self.weights = nodes, neighbours, weights
        # on unequal cells, the couplings of the volume-weighted unknowns
        # (κ, symmetric; ``weights`` are κ·√(W_b / W_a)); None on equal ones,
        # where they are the weights
        self.symmetric = symmetric

    def __len__(self) -> int:
        return int(self.nodes.shape[0])

    def coupled(self) -> torch.Tensor:
        """[M, 8, 3] int64: i, j, k of each coupled node (row 0's where a
        slot couples none: its weight is 0)."""
        return self.nodes[self.neighbours.long().clamp(min=0), 2:].long()

    def apply(self, sim) -> None:
        """The pass, after the dispersive one: uses the box's own (physical)
        curl coefficients, whatever the medium folds into ``Update_E``'s."""
        sim.module.Update_E_Anisotropic(sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz,
                                        *sim.ce, self.nodes, self.neighbours, self.weights)


def taking_part(sim, grids, den, plain_ids: torch.Tensor, design=None):
    """Per component, bool [B1, NX, NY, NZ]: the nodes that take part (see
    the module's docstring). ``grids``: (w, id1, id2) per component;
    ``den``: the physical denominators; ``plain_ids``: bool per material
    id; ``design``: per component, bool grids of the nodes a design region
    paints (or None)."""
    place = sim.placement
    out = []
    for c, (w, id1, id2) in enumerate(grids):
        mine = plain_ids[id1.long()] & plain_ids[id2.long()] & (den[c] > 0)
        for axis, ((low, high), n, start) in enumerate(zip(sim.faces, sim.shape, place.offset)):
            index = torch.arange(start, start + n, device=w.device)
            along = torch.ones(n, dtype=torch.bool, device=w.device)
            if axis != c:
                along &= torch.arange(n, device=w.device) >= 1  # index 0 is not computed
            elif axis == place.axis and _phased_wrap(sim):
                # the seam's rule of ``_neighbour``, across the box
                along &= (index != 0) & (index != place.shape[axis] - 1)
            cells = place.shape[axis]
            along &= (index >= low) & (index < cells - high)
            shape = [1, 1, 1, 1]
            shape[1 + axis] = n
            mine = mine & along.view(shape)
        if design is not None and design[c] is not None:
            mine = mine & ~design[c]
        out.append(mine)
    return out


def _phased_wrap(sim) -> bool:
    """Whether a slab's split axis wraps with a Bloch phase other than 1."""
    exchange = getattr(sim, "exchange", None)
    phase = getattr(exchange, "phase", None)
    return bool(getattr(exchange, "wraps", False) and phase is not None and
                bool((phase[1] != 0).any() | (phase[0] != 1).any()))


def build(sim, off_diagonal, den, eligible) -> AnisotropicPass | None:
    """The couplings of ``sim`` from each component's off-diagonal entries
    (``off_diagonal``: [B1, NX, NY, NZ, 2] per component, (ε̃⁻¹)_{c,c+1} and
    (ε̃⁻¹)_{c,c+2}), its physical denominators ``den`` and the nodes that
    take part (``eligible``, from ``taking_part``); None where no node has a
    coupling."""
    dev = off_diagonal[0].device
    shape = tuple(off_diagonal[0].shape[:4])  # B1, NX, NY, NZ
    N = shape[1:]
    # on unequal cells the time step follows each axis' shortest cell
    S = courant_number([h if h is not None else float(sim.grid[a].primal.min())
                        for a, h in enumerate(sim.spacing)], sim.dt)
    bound = (1 - MARGIN_LAMBDA) / S**2
    axes = [a for a in sim.periodic_axes() if a != sim.placement.axis]
    k = getattr(sim.periodic, "k", None)
    phased = {a for a in axes if k is not None and bool(k[:, a].any())}
    diag = [1.0 / d.double() for d in den]
    sig = [t.double() for t in off_diagonal]

    # The rows: every node within two of a node with an entry (a neighbour
    # is one away, or, across a periodic seam, its image is), that takes part.
    near = torch.stack([(t != 0).any(-1) for t in sig]).any(0).to(torch.float32)[:, None]
    for axis in range(3):
        pad = [0] * 6
        pad[4 - 2 * axis: 6 - 2 * axis] = [2, 2]
        near = torch.nn.functional.pad(near, pad, mode="circular" if axis in axes else
                                       "constant")
    near = torch.nn.functional.max_pool3d(near, 5, stride=1)[:, 0] > 0
    rows = [near & eligible[c] for c in range(3)]

    # Each row's eight couplings before the bounds.
    entries = []
    for c in range(3):
        index = rows[c].nonzero()  # [m, 4]: b1, i, j, k
        m = index.shape[0]
        nbr = torch.zeros(m, 8, 3, dtype=torch.long, device=dev)
        kappa = torch.zeros(m, 8, dtype=torch.float64, device=dev)
        for block, d in enumerate(((c + 1) % 3, (c + 2) % 3)):
            slot_ab = block
            slot_ba = 0 if c == (d + 1) % 3 else 1
            for n, (oc, od) in enumerate(NEIGHBOURS):
                b, ok = _neighbour(index, c, d, oc, od, axes, N, phased)
                ok &= eligible[d][tuple(b.t())] if m else ok
                sa = sig[c][(*index.t(), torch.full_like(index[:, 0], slot_ab))]
                sb = sig[d][(*b.t(), torch.full_like(index[:, 0], slot_ba))]
                value = (sa + sb) / 8
                kappa[:, 4 * block + n] = torch.where(ok, value, 0.0)
                nbr[:, 4 * block + n] = b[:, 1:]
        entries.append((index, nbr, kappa))

    # The bounds: s per row, then each pair scaled by min(s_a, s_b).
    scale = [torch.ones(shape, dtype=torch.float64, device=dev) for _ in range(3)]
    for c, (index, _, kappa) in enumerate(entries):
        R = kappa.abs().sum(1)
        D = diag[c][tuple(index.t())]
        s = torch.ones_like(R)
        lower = (1 - MARGIN) * D / R.clamp(min=1e-300)
        upper = (bound - D).clamp(min=0.0) / R.clamp(min=1e-300)
        s = torch.minimum(s, torch.minimum(lower, upper))
        scale[c][tuple(index.t())] = s
    # On unequal cells the energy weighs each node by its volume W, and K
    # keeps it when W_a K_ab = W_b K_ba: K_ab = κ_ab·√(W_b / W_a), κ the
    # symmetric couplings above (and the bounds, which hold for the
    # symmetric W^½ K W^-½ = κ, as they are).
    volumes = None
    if not sim.is_uniform():
        from ..grid.rectilinear import sample_volumes

        volumes = [sample_volumes(sim.grid, c, False, N, sim.placement.offset).to(dev)
                   for c in range(3)]
    nodes, neighbours, weights, symmetric = [], [], [], []
    for c, (index, nbr, kappa) in enumerate(entries):
        if not index.shape[0]:
            continue
        s_a = scale[c][tuple(index.t())]
        d_a = diag[c][tuple(index.t())]
        for block, d in enumerate(((c + 1) % 3, (c + 2) % 3)):
            for n in range(4):
                col = 4 * block + n
                b = torch.cat([index[:, :1], nbr[:, col]], 1)
                s_b = scale[d][tuple(b.t())]
                kappa[:, col] *= torch.minimum(s_a, s_b)
                # a pair's value and both diagonals are the same from
                # either side, so both rows drop it or keep it
                small = NEGLIGIBLE * torch.minimum(d_a, diag[d][tuple(b.t())])
                kappa[:, col] = torch.where(kappa[:, col].abs() < small, 0.0, kappa[:, col])
        keep = (kappa != 0).any(1)
        component = torch.full_like(index[:, :1], c)
        nodes.append(torch.cat([index[:, :1], component, index[:, 1:]], 1)[keep])
        neighbours.append(nbr[keep])
        symmetric.append(kappa[keep])
        scaled = kappa[keep].clone()
        if volumes is not None:
            mine = volumes[c][tuple(index[keep, 1:].t())]
            for block, d in enumerate(((c + 1) % 3, (c + 2) % 3)):
                for n in range(4):
                    col = 4 * block + n
                    theirs = volumes[d][tuple(nbr[keep, col].t())]
                    scaled[:, col] *= torch.sqrt(theirs / mine)
        weights.append(scaled)
    if not nodes or sum(n.shape[0] for n in nodes) == 0:
        return None
    nodes, rows, weights, symmetric = _by_row(torch.cat(nodes), torch.cat(neighbours),
                                              torch.cat(weights), shape, torch.cat(symmetric))
    return AnisotropicPass(nodes.to(torch.int32), rows.to(torch.int32),
                           weights.to(torch.float32),
                           None if volumes is None else symmetric.to(torch.float32))


def _by_row(nodes, neighbours, weights, shape, symmetric=None):
    """The couplings with each coupled node given by its row in ``nodes``
    (-1 where the weight is 0), as ``Update_E_Anisotropic`` takes them:
    ``nodes`` [M, 5], ``neighbours`` [M, 8, 3] (i, j, k), ``weights`` [M, 8].
    The pairs are symmetric, so a coupled node has its own row; one that
    had none would get a row with no couplings of its own. ``symmetric``
    ([M, 8], or None): values that follow the weights' rows; returned
    fourth."""
    dev = nodes.device
    slot_component = (nodes[:, 1:2] + 1 + torch.arange(8, device=dev) // 4) % 3  # [M, 8]
    b1 = nodes[:, :1].expand(-1, 8)
    ijk = [neighbours[..., a].clamp(0, n - 1) for a, n in enumerate(shape[1:])]
    coupled = weights != 0
    while True:
        lookup = torch.full((3, *shape), -1, dtype=torch.long, device=dev)
        lookup[nodes[:, 1], nodes[:, 0], nodes[:, 2], nodes[:, 3], nodes[:, 4]] = \
            torch.arange(nodes.shape[0], device=dev)
        rows = torch.where(coupled, lookup[slot_component, b1, *ijk], -1)
        missing = coupled & (rows < 0)
        if not bool(missing.any()):
            return nodes, rows, weights, symmetric
        extra = torch.stack([b1[missing], slot_component[missing],
                             *(t[missing] for t in ijk)], 1).unique(dim=0)
        nodes = torch.cat([nodes, extra])
        weights = torch.cat([weights, weights.new_zeros(extra.shape[0], 8)])
        if symmetric is not None:
            symmetric = torch.cat([symmetric, symmetric.new_zeros(extra.shape[0], 8)])
        pad = lambda t: torch.cat([t, t.new_zeros(extra.shape[0], *t.shape[1:])])
        slot_component = (nodes[:, 1:2] + 1 + torch.arange(8, device=dev) // 4) % 3
        b1, ijk, coupled = nodes[:, :1].expand(-1, 8), [pad(t) for t in ijk], pad(coupled)


def _neighbour(index, c: int, d: int, oc: int, od: int, axes, N, phased):
    """The node of component d at (oc along c, od along d) from each node of
    c in ``index`` [m, 4] (b1, i, j, k): [m, 4], and whether the pair is
    one to couple: the node in the grid, its ghost planes taken as their
    images along the periodic ``axes``. Along an axis in ``phased`` (a Bloch
    phase other than 1) the component whose cells run along it couples
    nowhere in its first and last cell (the last is the first's image, and
    the neighbours of both reach across the seam), so that the two stay
    images of each other and every pair stays in both rows."""
    b = index.clone()
    b[:, 1 + c] += oc
    b[:, 1 + d] += od
    ok = torch.ones(index.shape[0], dtype=torch.bool, device=index.device)
    for axis in range(3):
        v = b[:, 1 + axis]
        if axis in axes and axis != d:  # d's node axis: ghost planes 0 and N
            v = torch.where(v == 0, N[axis] - 1, torch.where(v == N[axis], 1, v))
            b[:, 1 + axis] = v
        if axis in phased:
            for comp, at in ((c, index[:, 1 + axis]), (d, v)):
                if comp == axis:
                    ok &= (at != 0) & (at != N[axis] - 1)
        ok &= (v >= 0) & (v < N[axis])
    b[:, 1:] = torch.where(ok[:, None], b[:, 1:], 0)
    return b, ok
