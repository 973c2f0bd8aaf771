"""A plane of a simulation cut out as ``modes.solve_modes`` takes it: the
per-component permittivities that its sub-cell smoothing gave, turned so
that the plane's normal plays z, with its boundaries, spacing and time
step (``plane_permittivity``)."""
from __future__ import annotations

from typing import NamedTuple

import torch


class CrossSection(NamedTuple):
    """A plane of a simulation as ``solve_modes`` takes it: ``eps`` the three
    permittivities (float64) in the turned frame, ``spacing`` (db, dc)
    (each one length, or along a non-uniform axis the plane's cell lengths,
    float64 [N]), ``boundary`` per turned axis, ``dz`` the spacing along
    the normal and ``dt`` the simulation's time step (pass both for the grid's own mode),
    and ``couplings``, the off-diagonal entries of the inverse permittivity
    between the plane's E_b and E_c nodes where the simulation has them
    (smoothing="anisotropic"; ``solve_modes``' form), or None."""

    eps: tuple[torch.Tensor, torch.Tensor, torch.Tensor]
    spacing: tuple
    boundary: tuple[str, str]
    dz: float
    dt: float
    couplings: tuple | None = None


def _whole_plane(place, g: torch.Tensor, a: int, node: int) -> torch.Tensor:
    """The plane ``node`` along ``a`` of a grid [X, Y, Z] of this part of
    the box, whole and turned to (a + 1, a + 2): on slabs the parts each
    rank owns, put together on every rank (a collective there)."""
    b, c = (a + 1) % 3, (a + 2) % 3
    s = place.axis
    if s is None:
        return g.permute(b, c, a)[:, :, node]
    import torch.distributed as dist

    start = place.start_stop(s)[0]
    if s == a:
        # the plane's owner sends it to every rank
        mine = g.select(a, node - start).cpu() if place.owns_node(a, node) else None
        got = [None] * place.ranks
        dist.all_gather_object(got, mine)
        plane = next(p for p in got if p is not None)
        return plane.to(g.device) if b < c else plane.t().to(g.device)
    c0, c1 = place.owned_cells(s)
    if place.owns_node(s, c1):
        c1 += 1
    part = g.narrow(s, c0 - start, min(c1, start + g.size(s)) - c0).permute(b, c, a)
    dim = 0 if s == b else 1
    return place.all_concat({"plane": part[:, :, node].contiguous()}, dim)["plane"]


def plane_permittivity(sim, axis: int, node: int, b1: int = 0) -> CrossSection:
    """The cross-section of ``sim`` on the plane of electric nodes ``node``
    along ``axis`` (0, 1, 2), for material arrangement ``b1``, turned so
    that (b, c, a) = (axis+1, axis+2, axis) mod 3 play x, y, z:

        eps[0] = ε of E_b [Nb, Nc+1], eps[1] = ε of E_c [Nb+1, Nc],
        eps[2] = ε of E_a [Nb+1, Nc+1], the last taken half a cell along a
        past the plane (where E_a sits), as the mode's Ez is.

    Along a transverse axis that the simulation keeps periodic, its period
    is N - 1 cells (its nodes 0 and N - 1 are one node): the cross-section
    holds that period, cells 0 .. N-2, and is periodic there. Elsewhere its
    edges are conductors on the box's faces; the simulation's grids stop one
    node short of the far face, whose value is taken from its neighbour
    (a conducting edge never reads it). Absorbing layers are not modelled:
    the mode sees their materials out to the conducting edges. Only plain
    dielectrics: a plane through a dispersive or lossy material is refused.

    A transverse axis of unequal cells gives its plane's cell lengths as
    its spacing (``solve_modes`` takes them); the normal axis needs one
    spacing, the grid's mode's dz."""
    if axis not in (0, 1, 2):
        raise ValueError(f"axis must be 0, 1 or 2, got {axis!r}")
    from ..grid.rectilinear import require_uniform

    require_uniform(sim, f"a mode cross-section normal to {'xyz'[axis]} (its modes travel "
                    f"along that axis, on one spacing)", (axis,))
    place = sim.placement
    a, b, c = axis, (axis + 1) % 3, (axis + 2) % 3
    if not 0 <= node < place.shape[a]:
        raise ValueError(f"node along {'xyz'[a]} must be 0 .. {place.shape[a] - 1} (the plane "
                         f"needs E_{'xyz'[a]} half a cell past it), got {node}")
    B1 = sim.batch[1]
    if not 0 <= b1 < B1:
        raise ValueError(f"b1 must be 0 .. {B1 - 1}, got {b1}")
    periodic = sim.periodic_axes()
    grids = sim.permittivity()

    def on_plane(g: torch.Tensor) -> torch.Tensor:
        return _whole_plane(place, g[b1], a, node)

    medium = sim.medium
    if medium is not None:
        # a node's denominator is its permittivity only without poles or loss
        tables = medium.tables
        poles = ((tables.rec_b != 0) | (tables.loss != 0)).cpu()
        for w, id1, id2 in medium.grids:
            w, id1, id2 = (on_plane(t).cpu() for t in (w, id1, id2))
            if (poles[id1.long()] & (w > 0)).any() or (poles[id2.long()] & (w < 1)).any():
                raise ValueError("the plane crosses a dispersive or lossy material, whose "
                                 "permittivity depends on frequency: give solve_modes its "
                                 "real permittivity at the frequency asked for instead")
    cells = []
    for t in (b, c):
        n = place.shape[t] - 1 if t in periodic else place.shape[t]
        cells.append(n)

    def cut(component: int, half_b: bool, half_c: bool) -> torch.Tensor:
        g = on_plane(grids[component]).to(torch.float64).cpu()
        out = g
        for dim, (t, half) in enumerate(((b, half_b), (c, half_c))):
            n = cells[dim]
            want = n if half else n + 1
            if out.shape[dim] < want:  # the far face: its neighbour's value
                out = torch.cat([out, out.narrow(dim, out.shape[dim] - 1, 1)], dim)
            out = out.narrow(dim, 0, want)
        return out

    eps = (cut(b, True, False), cut(c, False, True), cut(a, False, False))
    h = sim.spacing
    spacing = tuple(h[t] if h[t] is not None else sim.grid[t].primal[:n].clone()
                    for t, n in zip((b, c), cells))
    boundary = tuple("periodic" if t in periodic else "pec" for t in (b, c))
    return CrossSection(eps, spacing, boundary, h[a], sim.dt,
                        plane_couplings(sim, axis, node, b1))


def plane_couplings(sim, axis: int, node: int, b1: int = 0):
    """The couplings of the anisotropic pass (``core.anisotropy``) between
    E_b and E_c nodes on the plane ``node`` along ``axis``, in the turned
    frame as ``solve_modes`` takes them: (E_b nodes [m, 2], E_c nodes
    [m, 2], values [m]), each pair once (from E_b's rows, the nodes that are
    unknowns of their own: along a periodic axis E_b's last cell is its
    first one's image); None where the simulation has none. The couplings
    with E_a, which a guide invariant along the normal does not have, are
    left out. On slabs the plane's couplings are those of the slab that
    holds it."""
    p = getattr(sim, "anisotropy", None)
    if p is None:
        return None
    a, b, c = axis, (axis + 1) % 3, (axis + 2) % 3
    place = sim.placement
    local = node - place.start_stop(a)[0]
    if local == 0 and a in sim.periodic_axes() and a != place.axis:
        local = sim.shape[a] - 1  # the ghost plane is its image's
    # on unequal cells the solver's unknowns are the area-weighted ones, whose
    # couplings are the symmetric κ (the plane's nodes all lie on nodes along
    # the normal, so their volumes' ratios are their areas')
    values = p.weights if p.symmetric is None else p.symmetric
    nodes, neighbours, weights = (t.cpu() for t in (p.nodes, p.coupled(), values))
    rows = (nodes[:, 0] == b1) & (nodes[:, 1] == b) & (nodes[:, 2 + a] == local)
    for t in sim.periodic_axes():
        if t == b and t != place.axis:
            rows &= nodes[:, 2 + b] < sim.shape[b] - 1
    block = 0 if c == (b + 1) % 3 else 4  # E_c's four of the eight
    offset = [place.start_stop(t)[0] for t in range(3)]
    ex, ey, value = [], [], []
    for n in range(block, block + 4):
        used = rows & (weights[:, n] != 0)
        if not bool(used.any()):
            continue
        mine, theirs = nodes[used, 2:].long(), neighbours[used, n]
        if c in sim.periodic_axes() and c != place.axis:  # E_c's last cell: its first
            theirs[:, c] = torch.where(theirs[:, c] == sim.shape[c] - 1, 0, theirs[:, c])
        ex.append(torch.stack([mine[:, b] + offset[b], mine[:, c] + offset[c]], 1))
        ey.append(torch.stack([theirs[:, b] + offset[b], theirs[:, c] + offset[c]], 1))
        value.append(weights[used, n].double())
    if not ex:
        return None
    return torch.cat(ex), torch.cat(ey), torch.cat(value)


def cladding_index(eps: torch.Tensor, spacing, cladding, frequencies) -> torch.Tensor | None:
    """The cladding's index around a cross-section, per frequency [F]
    (float64), or None where no edge is cladding.

    eps [Nb+1, Nc+1]: the permittivity at the nodes, edges included (a
    cross-section's ε of E_a); spacing (db, dc), each one length or the
    cell lengths along that axis ([Nb], [Nc]); cladding: four flags, for
    the edges at b = 0, b = Nb, c = 0 and c = Nc, whether that edge is
    cladding (not a conducting or periodic face of the box).

    The index is the highest that a wave guided by the material along a
    cladding edge alone can have: for each such edge, the largest root of
    the one-dimensional scalar (TE-like) slab problem u'' + k0² ε u = n² k0² u
    on its nodes, ends free (so that a uniform edge gives its own index
    exactly). An edge through one material gives that material's index; an
    edge that crosses a rib's slab, or a layer of a stack, gives the slab's
    own mode index, which a rib's guided mode lies above; the largest index
    on the edge would count every rib mode unguided. A mode at or below
    this index leaks into the cladding on an open boundary: on the solver's
    conducting one it is a mode of the box, not of the guide.

    Along unequal cells the second difference divides by each node's dual
    length, the end nodes taking a whole end cell (as the equal cells'
    free ends do), and the problem is made symmetric by the roots of
    those lengths."""
    import numpy as np
    from scipy.linalg import eigvalsh_tridiagonal

    grid = eps.detach().to(torch.float64).cpu().numpy()
    lines = []
    steps = [float(h) if np.ndim(h) == 0 else np.asarray(
        h.detach().cpu() if isinstance(h, torch.Tensor) else h, dtype=np.float64)
        for h in spacing]
    for flag, line, h in zip(cladding, (grid[0, :], grid[-1, :], grid[:, 0], grid[:, -1]),
                             (steps[1], steps[1], steps[0], steps[0])):
        if flag:
            lines.append((np.asarray(line), h))
    if not lines:
        return None
    nu = np.atleast_1d(np.asarray(frequencies, dtype=np.float64))
    out = np.zeros(len(nu))
    for f, v in enumerate(nu):
        k2 = (2 * np.pi * v) ** 2
        best = 0.0
        for line, h in lines:
            if len(line) == 1 or np.ptp(line) == 0:
                best = max(best, float(line.max()))
                continue
            # the second difference with free ends: symmetric, and zero on a constant
            if isinstance(h, float):
                ends = np.ones(len(line))
                ends[[0, -1]] = 0.5
                diagonal = k2 * line - 2 * ends / h**2
                off = np.full(len(line) - 1, 1 / h**2)
            else:
                inverse = 1.0 / h
                dual = 0.5 * (np.r_[h[:1], h] + np.r_[h, h[-1:]])
                diagonal = k2 * line - (np.r_[0.0, inverse] + np.r_[inverse, 0.0]) / dual
                off = inverse / np.sqrt(dual[:-1] * dual[1:])
            top = eigvalsh_tridiagonal(diagonal, off, select="i",
                                       select_range=(len(line) - 1, len(line) - 1))
            best = max(best, float(top[0]) / k2)
        out[f] = np.sqrt(best)
    return torch.from_numpy(out)
