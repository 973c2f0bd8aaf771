"""Objects on the Yee grid: shapes, materials, painting and sub-cell smoothing.

An object is a shape filled with a material (a relative permittivity). To put
objects on the grid the driver, for each object in order:

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

Component c's grid is [1, NX, NY, NZ], node (i, j, k) at the position of
E_c[i, j, k]: half a cell along c's own axis, on the nodes along the others.
Material id 0 is the background; object n (from 0) gets id n + 1.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Sequence

import torch

from ..grid.arguments import count, triple
from ..materials.poles import Dielectric

F64 = torch.float64


# A non-dispersive dielectric (relative permittivity eps > 0) is the simplest
# of the dispersion models: every material goes through the same tables.
Material = Dielectric


def _vec(v, what: str) -> torch.Tensor:
    t = torch.as_tensor(v, dtype=F64).flatten()
    if t.numel() != 3:
        raise ValueError(f"{what} needs 3 values, got {v!r}")
    return t


def _unit(v: torch.Tensor) -> torch.Tensor:
    return v / v.norm(dim=-1, keepdim=True).clamp(min=1e-300)


# A node that lies on a face, or as far from two faces, is a tie for the
# nearest face, but rounding leaves it a few units in the last place off the
# tie, and differently on the two sides of a mirror (x and L - x round
# differently): decided by those bits, mirror images of one layout would get
# different normals. Gaps closer than this share of the coordinates they come
# from count as equal, and an equal pair goes by a rule a mirror leaves alone.
TIE = 1e-9


def _first_nearest(gaps: torch.Tensor, scale: torch.Tensor) -> torch.Tensor:
    """Index along the last dimension of the smallest of ``gaps``; of those
    within rounding (``TIE`` times ``scale``, the size of the coordinates
    each gap came from) of it, the first."""
    slack = torch.where(torch.isfinite(gaps), TIE * scale, 0.0)
    best = gaps.argmin(-1, keepdim=True)
    tied = gaps - gaps.gather(-1, best) <= slack + slack.gather(-1, best)
    tied |= torch.arange(gaps.shape[-1]) == best
    return tied.to(torch.uint8).argmax(-1)


class Shape:
    """A solid: its bounding box (infinite where it is unbounded), which
    points it contains and the unit normal of its surface nearest a point."""

    def bounds(self) -> list[tuple[float, float]]:
        raise NotImplementedError

    def contains(self, p: torch.Tensor) -> torch.Tensor:
        """p [..., 3] → bool [...]."""
        raise NotImplementedError

    def normal(self, p: torch.Tensor) -> torch.Tensor:
        """p [..., 3] → unit normals [..., 3]."""
        raise NotImplementedError


@dataclass(frozen=True)
class Box(Shape):
    lo: Sequence[float]
    hi: Sequence[float]

    def bounds(self):
        return list(zip(map(float, self.lo), map(float, self.hi)))

    def contains(self, p):
        lo, hi = _vec(self.lo, "lo"), _vec(self.hi, "hi")
        return ((p >= lo) & (p <= hi)).all(-1)

    def normal(self, p):
        # the axis of the nearest face; of faces equally near (an edge or a
        # corner), the lowest axis
        lo, hi = _vec(self.lo, "lo"), _vec(self.hi, "hi")
        below, above = (p - lo).abs(), (hi - p).abs()
        face = torch.where(below <= above, lo, hi)
        axis = _first_nearest(torch.minimum(below, above), torch.maximum(p.abs(), face.abs()))
        return torch.nn.functional.one_hot(axis, 3).to(F64)


@dataclass(frozen=True)
class Sphere(Shape):
    center: Sequence[float]
    radius: float

    def bounds(self):
        return [(c - self.radius, c + self.radius) for c in map(float, self.center)]

    def contains(self, p):
        return (p - _vec(self.center, "center")).norm(dim=-1) <= self.radius

    def normal(self, p):
        d = p - _vec(self.center, "center")
        at_centre = d.norm(dim=-1, keepdim=True) == 0
        return torch.where(at_centre, torch.tensor([1.0, 0, 0], dtype=F64), _unit(d))


@dataclass(frozen=True)
class Slab(Shape):
    """The points p with low <= n·p <= high, n the unit vector along ``direction``:
    the layer between two parallel planes, at any position and orientation."""

    direction: Sequence[float]
    low: float
    high: float

    def _n(self):
        return _unit(_vec(self.direction, "direction"))

    def bounds(self):
        n = self._n()
        out = []
        for axis in range(3):
            along = bool((n[axis].abs() == 1).item())
            if along:  # planes normal to this axis
                s = float(n[axis])
                ends = sorted((self.low * s, self.high * s))
                out.append((ends[0], ends[1]))
            else:
                out.append((-math.inf, math.inf))
        return out

    def contains(self, p):
        d = p @ self._n()
        return (d >= self.low) & (d <= self.high)

    def normal(self, p):
        return self._n().expand(p.shape).clone()


@dataclass(frozen=True)
class Cylinder(Shape):
    """A finite circular cylinder: axis through ``center`` along ``axis``,
    radius ``radius``, ``length`` long (centred on ``center``)."""

    center: Sequence[float]
    axis: Sequence[float]
    radius: float
    length: float

    def _frame(self, p):
        a = _unit(_vec(self.axis, "axis"))
        d = p - _vec(self.center, "center")
        along = d @ a
        radial = d - along[..., None] * a
        return a, along, radial

    def bounds(self):
        a = _unit(_vec(self.axis, "axis"))
        c = _vec(self.center, "center")
        half = 0.5 * self.length
        # the caps' discs: along each axis, half-length times |a| plus the
        # disc's reach radius·sqrt(1 − a²)
        reach = half * a.abs() + self.radius * (1 - a**2).clamp(min=0).sqrt()
        return [(float(c[i] - reach[i]), float(c[i] + reach[i])) for i in range(3)]

    def contains(self, p):
        _, along, radial = self._frame(p)
        return (along.abs() <= 0.5 * self.length) & (radial.norm(dim=-1) <= self.radius)

    def normal(self, p):
        a, along, radial = self._frame(p)
        r = radial.norm(dim=-1)
        side_gap = (r - self.radius).abs()
        cap_gap = (along.abs() - 0.5 * self.length).abs()
        # a rim as near as a cap goes to the side; a point on the axis (no
        # radial direction) to the cap
        half = 0.5 * self.length if math.isfinite(self.length) else 0.0
        slack = TIE * (p.abs().amax(-1) + _vec(self.center, "center").abs().max()
                       + self.radius + half)
        cap = (cap_gap < side_gap - slack) | (r <= slack)
        return torch.where(cap[..., None], a.expand(p.shape), _unit(radial))


@dataclass(frozen=True)
class PeriodicImages(Shape):
    """A shape together with its copies shifted by whole periods: what a
    periodic box holds of it. ``shifts``: the translations (3 values each),
    the shape itself among them at zero."""

    shape: Shape
    shifts: tuple

    def _shifts(self) -> torch.Tensor:
        return torch.tensor(self.shifts, dtype=F64)

    def bounds(self):
        inner = self.shape.bounds()
        return [(min(lo + s[a] for s in self.shifts), max(hi + s[a] for s in self.shifts))
                for a, (lo, hi) in enumerate(inner)]

    def contains(self, p):
        inside = torch.zeros(p.shape[:-1], dtype=torch.bool)
        for shift in self._shifts():
            inside |= self.shape.contains(p - shift)
        return inside

    def normal(self, p):
        # the normal of the image that holds the point, or else of the one
        # whose bounding box lies nearest to it
        shifts = self._shifts()
        lo, hi = (torch.tensor(b, dtype=F64) for b in zip(*self.shape.bounds()))
        gaps = []
        for shift in shifts:
            q = p - shift
            outside = torch.clamp(lo - q, min=0) + torch.clamp(q - hi, min=0)
            gap = outside.nan_to_num(0.0).norm(dim=-1)
            gaps.append(torch.where(self.shape.contains(q), -1.0, gap))
        nearest = torch.stack(gaps).argmin(0)
        out = torch.empty(*p.shape, dtype=F64)
        for m, shift in enumerate(shifts):
            mine = nearest == m
            if bool(mine.any()):
                out[mine] = self.shape.normal(p[mine] - shift)
        return out


@dataclass(frozen=True)
class Object:
    shape: Shape
    material: Dielectric


def periodic_images(obj: Object, periods: dict, shape, spacing) -> Object:
    """``obj`` as a periodic box of ``shape`` cells holds it: with the
    copies, shifted by whole periods (``periods``: axis → period length),
    that reach the box's sampled extent (one cell past each face). An
    object unbounded along a periodic axis, or a ``Box`` across the whole
    sampled extent, is its own image there; an object
    with no other image comes back unchanged."""
    choices = []
    for axis, (lo, hi) in enumerate(obj.shape.bounds()):
        period = periods.get(axis)
        if period is None or not (math.isfinite(lo) and math.isfinite(hi)):
            choices.append([0.0])
            continue
        h = spacing[axis]
        if isinstance(obj.shape, Box) and lo <= -h and hi >= (shape[axis] + 1) * h:
            # a box across the whole sampled extent: its images hold nothing new
            choices.append([0.0])
            continue
        first = math.ceil((-h - hi) / period)
        last = math.floor(((shape[axis] + 1) * h - lo) / period)
        choices.append([m * period for m in range(first, last + 1)] or [0.0])
    shifts = [(x, y, z) for x in choices[0] for y in choices[1] for z in choices[2]]
    if shifts == [(0.0, 0.0, 0.0)]:
        return obj
    return Object(PeriodicImages(obj.shape, tuple(shifts)), obj.material)


# ---------------------------------------------------------------------------


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
    from supersample³ (or sx·sy·sz) evenly spread points per cell."""
    sx, sy, sz = _per_axis(supersample, "supersample")
    axes = [lo + (hi - lo) * (torch.arange(f * s, dtype=F64) + 0.5) / (f * s)
            for (lo, hi), f, s in zip(box, cells, (sx, sy, sz))]
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
                   poles=None):
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

    The box is painted in tiles of ``PAINT_TILE`` nodes per axis, each from
    its own window of the objects' lattices, so any part holds bit for bit
    what the whole box holds there.
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
        for trio in out:
            for g in trio:
                g.zero_()
    spans = [_tile_spans(o, n, d, a in periodic) for a, (o, n, d) in
             enumerate(zip(offset, shape, domain))]
    for tx in spans[0]:
        for ty in spans[1]:
            for tz in spans[2]:
                _paint_tile(objects, (tx, ty, tz), offset, shape, spacing, module, device, table,
                            resolution, supersample, smoothing, first_id, out, domain, poles)
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
                supersample, smoothing, first_id, out, domain, poles):
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
               smoothing, first_id, out, offset, poles)
        return
    keep = [slice(r0 - lo, r1 - lo) for (_, (r0, r1), (lo, _)) in spans]
    wider = _paint(objects, lattices, [hi - lo for lo, hi in nodes], spacing, module, device,
                   table, supersample, smoothing, first_id, None, [lo for lo, _ in nodes], poles)
    for trio, painted in zip(out, wider):
        for dst, src in zip(trio, painted):
            dst[:, inner[0], inner[1], inner[2]] = src[:, keep[0], keep[1], keep[2]]


def _paint(objects, lattices, shape, spacing, module, device, table, supersample, smoothing,
           first_id, out, offset, poles):
    """Grids of ``shape`` nodes from the box's node ``offset`` painted from
    the objects' ``lattices``, each node as far as the grids' own
    coordinates reach; into ``out`` (zeroed) or new grids. ``poles``: bool
    [256] by material id."""
    f32 = dict(dtype=torch.float32, device=device)
    samples = [None if lat is None else
               fill_fraction(o.shape, *lat, supersample).to(**f32)[None]
               for o, lat in zip(objects, lattices)]
    bounds = [None if lat is None else [torch.tensor(b, dtype=F64) for b in lat[0]]
              for lat in lattices]
    grids = []
    for component in range(3):
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
        grids.append((weight, primary, secondary))
    return grids


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
