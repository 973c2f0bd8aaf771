"""Objects painted into the material grids, with sub-cell smoothing.

To put objects (``shapes``) on the grid the driver, for each object in order:

1. samples its fill fraction on a fine uniform lattice over its bounding box
   (clipped to the domain), ``resolution`` lattice cells per grid cell along
   each axis (one number, or one per axis: a planar face normal to z needs
   fine sampling along z only), each lattice cell's fraction estimated from
   ``supersample`` points per axis (likewise one or three numbers), ``supersample``³
   points;
2. paints it, per electric component, into that component's material grids
   (``Set_weight_mat_id``): wherever the object covers part of a node's dual
   cell it becomes the node's primary material, the previous one its
   secondary, and the covered share the node's weight. Later objects win.

Then, for every object and component, sub-cell smoothing
(``Set_weight_subcell``) replaces the weights of the object's nodes so that
the blend gives the effective permittivity of the dual cell for that
component: the harmonic mean of ε where the interface normal lies along the
component, the arithmetic mean where it lies across it. The normals come from
the shapes themselves. A node that a material with poles shares keeps its
covered share (``dispersive``). Finally ``Set_ER_average`` blends the
material table through the grids into one permittivity per node and
component.

The weight gives each component the diagonal entry of the smoothed inverse
permittivity ε̃⁻¹ = P·⟨ε⁻¹⟩ + (1 − P)·⟨ε⟩⁻¹ (P = n nᵀ, n the interface
normal, the means over the node's dual cell). Where the normal lies along
no axis the tensor has off-diagonal entries too, n_c n_d (⟨ε⁻¹⟩ − ⟨ε⟩⁻¹);
asked for (``off_diagonal``), painting gives every node its two,
(ε̃⁻¹)_{c,c+1} and (ε̃⁻¹)_{c,c+2}, and its diagonal entry afresh, all from
its covered share of the two plain materials that share it
(``_smoothed_tensor``; ``core.anisotropy`` turns the off-diagonal entries
into the couplings of the electric update).

Component c's grid is [1, NX, NY, NZ], node (i, j, k) at the position of
E_c[i, j, k]: half a cell along c's own axis, on the nodes along the others.
Material id 0 is the background; object n (from 0) gets id n + 1.
"""
from __future__ import annotations

import math
from typing import Sequence

import torch

from ..grid.arguments import count, triple
from .shapes import F64, Object, Shape


def node_coordinates(shape, spacing, component: int, offset=(0, 0, 0)) -> list[torch.Tensor]:
    """Coordinates along x, y, z of component ``component``'s nodes; with
    ``offset``, those of a part of a larger box whose node 0 is the box's
    node ``offset``."""
    return [(torch.arange(o, o + n, dtype=F64) + (0.5 if axis == component else 0.0)) * h
            for axis, (n, h, o) in enumerate(zip(shape, spacing, offset))]


def _per_axis(v, what: str) -> tuple[int, int, int]:
    # counts of samples: 2.5 is no count (it was 2 without a word)
    return tuple(count(x, what) for x in triple(v, what))


def _lattice(obj: Object, shape, spacing, resolution, tile=None):
    """The object's box clipped to the domain (one cell of margin), and its
    lattice cells per axis; None if nothing of it lies in the domain.

    ``tile`` ((first node, nodes) per axis) keeps only the lattice cells
    that reach the dual cells of the tile's nodes, the same lattice cells as
    the whole domain's lattice has there."""
    box, cells = [], []
    for axis, ((lo, hi), n, h, resolution) in enumerate(zip(
            obj.shape.bounds(), shape, spacing, _per_axis(resolution, "resolution"))):
        lo, hi = max(lo, -h), min(hi, (n + 1) * h)
        if not lo < hi:
            return None
        count = max(1, math.ceil((hi - lo) / h * resolution - 1e-9))
        if tile is not None and tile[axis] != (0, n):
            offset, m = tile[axis]
            width = (hi - lo) / count
            first = max(0, math.floor(((offset - 1) * h - lo) / width))
            last = min(count, math.ceil(((offset + m + 1) * h - lo) / width))
            if not first < last:
                return None
            if (first, last) != (0, count):
                lo, hi, count = lo + first * width, lo + last * width, last - first
        box.append((lo, hi))
        cells.append(count)
    return box, cells


def fill_fraction(shape: Shape, box, cells, supersample=2) -> torch.Tensor:
    """[FX, FY, FZ] float64: share of each lattice cell inside the shape,
    from supersample³ (or sx·sy·sz) evenly spread points per cell, or
    exactly where the shape gives it (``fraction``, a ``Slab``'s)."""
    sx, sy, sz = _per_axis(supersample, "supersample")
    exact = getattr(shape, "fraction", None)
    if exact is not None:
        return exact(box, cells)
    axes = [lo + (hi - lo) * (torch.arange(f * s, dtype=F64) + 0.5) / (f * s)
            for (lo, hi), f, s in zip(box, cells, (sx, sy, sz))]
    # a shape in a frame of its own (``graded.IndexSpaceShape``) maps each
    # axis of the lattice on its own: the points stay a product of three
    # axes, mapped once each rather than point by point
    frame = getattr(shape, "lattice_axes", None)
    if frame is not None:
        shape, axes = frame(axes)
    FX, FY, FZ = cells
    out = torch.empty(FX, FY, FZ, dtype=F64)
    y, z = torch.meshgrid(axes[1], axes[2], indexing="ij")
    for a in range(FX):  # one lattice slab at a time keeps memory small
        x = axes[0][a * sx:(a + 1) * sx]
        p = torch.stack(torch.broadcast_tensors(x[:, None, None], y[None], z[None]), -1)
        inside = shape.contains(p).to(F64)  # [sx, FY*sy, FZ*sz]
        out[a] = inside.view(sx, FY, sy, FZ, sz).mean((0, 2, 4))
    return out


def dispersive(material) -> bool:
    """Whether a material has poles: its weight then also shares out the
    polarisation currents, so sub-cell smoothing (which picks the weight
    that blends two static permittivities) leaves the nodes it shares at
    their volume-weighted share. Two nearly equal permittivities would make
    that weight arbitrary, harmless for a plain blend but not for the
    poles."""
    form = material.pole_form()
    return form.c != 0 or form.sigma != 0


# Nodes per painting tile along each axis. Every tile samples the objects on
# its own window of their lattices and paints only its own nodes from it, so
# a node's material comes from the same arithmetic however the box is cut
# into parts (slabs of a split run, or the whole box).
PAINT_TILE = 64


def material_grids(objects: Sequence[Object], shape, spacing, module, device, table,
                   resolution: int = 4, supersample: int = 2, smoothing: bool = True,
                   first_id: int = 1, out=None, domain=None, offset=(0, 0, 0), periodic=(),
                   poles=None, components=(0, 1, 2), off_diagonal=None):
    """Weight, primary and secondary id grids [1, NX, NY, NZ] of each
    electric component, from ``objects`` painted in order over material id 0.

    Object n gets id ``first_id + n``; ``table`` (float32 on ``device``) is
    the permittivity by id that sub-cell smoothing blends. ``poles``: per
    id, whether its material has poles (``dispersive``; by default the
    objects', the ids below ``first_id`` plain): a node that such a material
    shares keeps its volume-weighted share. ``out``: three
    (weight, primary, secondary) triples to paint into (for example one
    batch slice of larger grids), zeroed first; new grids if None.
    ``domain`` and ``offset``: the grids are the part of a box of ``domain``
    cells whose node 0 is the box's node ``offset`` (the whole box: None).
    ``periodic``: the box's periodic axes, along which it goes on past both
    faces (give the objects with their images there, ``periodic_images``).
    ``off_diagonal``: three float32 tensors [1, NX, NY, NZ, 2], one per
    component c, to fill with each node's off-diagonal entries
    (ε̃⁻¹)_{c,c+1} and (ε̃⁻¹)_{c,c+2} (zero where two plain materials do
    not share the node; needs ``smoothing``; those of ``components``), or
    None.

    The box is painted in tiles of ``PAINT_TILE`` nodes per axis, each from
    its own window of the objects' lattices, so any part holds bit for bit
    what the whole box holds there. ``components``: the electric
    components to paint (the others' grids are left as they are).
    """
    if first_id + len(objects) > 256:
        raise ValueError(f"at most 255 objects fit the material ids, "
                         f"got {first_id - 1 + len(objects)}")
    shape = tuple(int(n) for n in shape)
    domain = shape if domain is None else tuple(domain)
    if poles is None:
        poles = [False] * first_id + [dispersive(o.material) for o in objects]
    poles = torch.zeros(256, dtype=torch.bool, device=device).index_fill_(
        0, torch.tensor([i for i, p in enumerate(poles) if p], dtype=torch.long, device=device),
        True)
    if out is None:
        out = [(torch.zeros(1, *shape, device=device),
                torch.zeros(1, *shape, dtype=torch.uint8, device=device),
                torch.zeros(1, *shape, dtype=torch.uint8, device=device)) for _ in range(3)]
    else:
        for c in components:
            for g in out[c]:
                g.zero_()
    for c in components if off_diagonal is not None else ():
        off_diagonal[c].zero_()
    spans = [_tile_spans(o, n, d, a in periodic) for a, (o, n, d) in
             enumerate(zip(offset, shape, domain))]
    for tx in spans[0]:
        for ty in spans[1]:
            for tz in spans[2]:
                _paint_tile(objects, (tx, ty, tz), offset, shape, spacing, module, device, table,
                            resolution, supersample, smoothing, first_id, out, domain, poles,
                            components, off_diagonal)
    return out


def _tile_spans(offset: int, cells: int, domain: int, periodic: bool):
    """Per tile of one axis that meets the part [offset, offset + cells) of
    the box's nodes: the tile (first node, nodes), and the nodes to paint it
    over, [lo, hi), the part's nodes in the tile with one neighbour on each
    side wherever the box goes on (a node's dual cell reaches halfway to its
    neighbours, and a grid's end node has a neighbour on one side only)."""
    spans = []
    for t0 in range(0, domain, PAINT_TILE):
        t1 = min(t0 + PAINT_TILE, domain)
        r0, r1 = max(t0, offset), min(t1, offset + cells)
        if r0 < r1:
            lo = r0 - int(r0 > 0 or periodic)
            hi = r1 + int(r1 < domain or periodic)
            spans.append(((t0, t1 - t0), (r0, r1), (lo, hi)))
    return spans


def _paint_tile(objects, spans, offset, shape, spacing, module, device, table, resolution,
                supersample, smoothing, first_id, out, domain, poles, components, off_diagonal):
    """Paint the part's nodes in one tile: over the tile's nodes in the part
    and their neighbours, keeping the inside."""
    tile = tuple(t for t, _, _ in spans)
    lattices = [_lattice(o, domain, spacing, resolution, tile) for o in objects]
    if all(lat is None for lat in lattices):
        return
    nodes = [(lo, hi) for _, _, (lo, hi) in spans]
    inner = [slice(r0 - o, r1 - o) for (_, (r0, r1), _), o in zip(spans, offset)]
    if all((lo, hi) == (o, o + n) for (lo, hi), o, n in zip(nodes, offset, shape)):
        _paint(objects, lattices, shape, spacing, module, device, table, supersample,
               smoothing, first_id, out, offset, poles, components, off_diagonal)
        return
    keep = [slice(r0 - lo, r1 - lo) for (_, (r0, r1), (lo, _)) in spans]
    wider_shape = [hi - lo for lo, hi in nodes]
    terms = None if off_diagonal is None else \
        [torch.zeros(1, *wider_shape, 2, device=device) for _ in range(3)]
    wider = _paint(objects, lattices, wider_shape, spacing, module, device, table, supersample,
                   smoothing, first_id, None, [lo for lo, _ in nodes], poles, components, terms)
    for trio, painted in zip([out[c] for c in components], wider):
        for dst, src in zip(trio, painted):
            dst[:, inner[0], inner[1], inner[2]] = src[:, keep[0], keep[1], keep[2]]
    for c in components if off_diagonal is not None else ():
        off_diagonal[c][:, inner[0], inner[1], inner[2]] = terms[c][:, keep[0], keep[1], keep[2]]


def _paint(objects, lattices, shape, spacing, module, device, table, supersample, smoothing,
           first_id, out, offset, poles, components=(0, 1, 2), off_diagonal=None):
    """Grids of ``shape`` nodes from the box's node ``offset`` painted from
    the objects' ``lattices``, each node as far as the grids' own
    coordinates reach; into ``out`` (zeroed) or new grids. ``poles``: bool
    [256] by material id. ``off_diagonal``: None, or the three (zeroed)
    tensors [1, *shape, 2] that the off-diagonal entries go to."""
    f32 = dict(dtype=torch.float32, device=device)
    samples = [None if lat is None else
               fill_fraction(o.shape, *lat, supersample).to(**f32)[None]
               for o, lat in zip(objects, lattices)]
    bounds = [None if lat is None else [torch.tensor(b, dtype=F64) for b in lat[0]]
              for lat in lattices]
    grids = []
    for component in components:
        coords64 = node_coordinates(shape, spacing, component, offset)
        coords = [c.to(**f32) for c in coords64]
        if out is None:
            weight = torch.zeros(1, *shape, **f32)
            primary = torch.zeros(1, *shape, dtype=torch.uint8, device=device)
            secondary = torch.zeros_like(primary)
        else:
            weight, primary, secondary = out[component]
        for n, (b, s) in enumerate(zip(bounds, samples)):
            if s is not None:
                module.Set_weight_mat_id(*b, s, *coords, first_id + n, weight, primary, secondary)
        if smoothing:
            shares = weight.clone()
            positions = torch.stack(torch.meshgrid(*coords64, indexing="ij"), -1)
            normals = torch.zeros(1, *shape, 3, **f32)
            for n, (o, b, s) in enumerate(zip(objects, bounds, samples)):
                if s is None or bool(poles[first_id + n]):
                    continue
                mine = primary[0] == first_id + n
                normals[0][mine] = o.shape.normal(positions[mine.cpu()]).to(**f32)
                module.Set_weight_subcell(*b, s, *coords, weight, first_id + n, primary,
                                          secondary, normals, table, component)
            # a plain object over a pole material would share out its currents too
            shared = poles[primary.long()] | poles[secondary.long()]
            weight[shared] = shares[shared]
            if off_diagonal is not None:
                diagonal, off = _smoothed_tensor(component, shares, primary, secondary, normals,
                                                 table, shared)
                weight.copy_(torch.where(torch.isnan(diagonal), weight, diagonal))
                off_diagonal[component].copy_(off)
        grids.append((weight, primary, secondary))
    return grids


def _smoothed_tensor(component: int, share, primary, secondary, normals, table, shared):
    """Component c's row of the smoothed inverse permittivity at its nodes,
    from the covered share f of the primary material (ε1) over the
    secondary (ε2): ⟨ε⟩ = f ε1 + (1 − f) ε2, ⟨ε⁻¹⟩ = f/ε1 + (1 − f)/ε2, both
    exact for two materials. Returns the weight whose blend of ε1 and ε2 is
    1 / (ε̃⁻¹)_cc ([1, X, Y, Z], NaN where the node keeps the weight it has)
    and (ε̃⁻¹)_{c,c+1}, (ε̃⁻¹)_{c,c+2} ([1, X, Y, Z, 2], zero there). Nodes
    keep their weight where no normal was set (no plain object is primary
    there), a pole material shares them (``shared``) or the two materials
    are equal; a node the object fills gets weight 1, its own ε exactly
    (``Set_weight_subcell``'s 1e-4 in its denominator gives such a node
    3.9999 in an ε = 4 object).

    ``Set_weight_subcell`` gives the same diagonal from the lattice, but
    takes 1/ε of each lattice cell's blend where the surface crosses it,
    which leaves ⟨ε⁻¹⟩ short by a share that falls with the lattice's
    resolution, not the grid's: an error of first order in the cell (a
    sphere's scattering 1.6 % off at 10 cells per unit, where the covered
    share gives 0.17 %)."""
    f = share.double()
    e1, e2 = (table.double()[g.long()] for g in (primary, secondary))
    n = normals.double()
    mine = ~shared & (n.abs().sum(-1) > 0) & (e1 != e2) & (e1 > 0) & (e2 > 0)
    e1, e2 = torch.where(mine, e1, 2.0), torch.where(mine, e2, 1.0)  # no 0/0 where unused
    mean = f * e1 + (1 - f) * e2
    inverse = f / e1 + (1 - f) / e2
    gap = inverse - 1 / mean  # >= 0: the anisotropy
    c = component
    q = n[..., c] ** 2
    eff = 1 / (q * inverse + (1 - q) / mean)
    weight = ((eff - e2) / (e1 - e2)).clamp(0.0, 1.0)
    nan = torch.tensor(float("nan"), dtype=torch.float64, device=weight.device)
    off = torch.stack([n[..., c] * n[..., (c + 1) % 3] * gap,
                       n[..., c] * n[..., (c + 2) % 3] * gap], -1)
    return (torch.where(mine, weight, nan).to(share.dtype),
            torch.where(mine[..., None], off, 0.0).to(share.dtype))


def permittivity_grids(objects: Sequence[Object], shape, spacing, module, device,
                       background: float = 1.0, resolution: int = 4, supersample: int = 2,
                       smoothing: bool = True) -> tuple[torch.Tensor, torch.Tensor, torch.Tensor]:
    """Averaged relative permittivity [1, NX, NY, NZ] (float32, on ``device``)
    of each electric component, from ``objects`` painted in order over a
    ``background`` permittivity. ``module`` is Orvane or OrvaneCPU."""
    if len(objects) > 255:
        raise ValueError(f"at most 255 objects fit the material ids, got {len(objects)}")
    table = torch.tensor([background] + [o.material.eps for o in objects], dtype=torch.float32,
                         device=device)
    out = []
    for weight, primary, secondary in material_grids(objects, shape, spacing, module, device,
                                                     table, resolution, supersample, smoothing):
        eps = torch.empty(1, *shape, dtype=torch.float32, device=device)
        module.Set_ER_average(eps, weight, primary, secondary, table)
        out.append(eps)
    return tuple(out)
