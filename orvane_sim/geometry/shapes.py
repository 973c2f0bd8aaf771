"""Shapes and objects on the Yee grid. An object is a shape filled with a
material (a relative permittivity, or a dispersive model); a shape gives its
bounding box, which points it contains and the unit normal of its surface
nearest a point, which sub-cell smoothing takes (``painting``). A periodic
box holds each object with its images one period away
(``periodic_images``).
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Optional, Sequence

import torch

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

    def fraction(self, box, cells) -> torch.Tensor:
        """[FX, FY, FZ] float64: the share of each cell of the lattice of
        ``cells`` cells over ``box`` ((lo, hi) per axis) between the two
        planes, exactly (``painting.fill_fraction`` takes it instead of
        counting points: a tilted face's counted share is off by a part
        that does not shrink with the cell, a first-order error in the
        smoothing)."""
        n = self._n()
        size = torch.tensor([(hi - lo) / f for (lo, hi), f in zip(box, cells)], dtype=F64)
        # n·(cell corner), separable over the axes
        corner = 0.0
        for axis, ((lo, _), f) in enumerate(zip(box, cells)):
            shape = [1, 1, 1]
            shape[axis] = f
            corner = corner + (n[axis] * (lo + size[axis] * torch.arange(f, dtype=F64))).view(shape)
        return (_below(n * size, self.high - corner) - _below(n * size, self.low - corner)
                ).clamp(0.0, 1.0)


def _below(a: torch.Tensor, b: torch.Tensor) -> torch.Tensor:
    """The share of the unit cube where Σ a_i u_i <= b (a: 3 values, b any
    shape): Σ_S (-1)^|S| max(0, b' - Σ_S |a_i|)^k / (k! Π |a_i|) over the
    subsets S of the k axes along which the plane varies, b' = b less the
    negative a_i (an axis along which it barely varies counts at its
    middle)."""
    b = b - float(a.clamp(max=0.0).sum())
    a = a.abs()
    flat = a <= 1e-6 * float(a.max())
    b = b - float(a[flat].sum()) / 2
    axes = [i for i in range(3) if not flat[i]]
    k = len(axes)
    if k == 0:
        return (b >= 0).to(F64)
    total = float(a[axes].sum())
    # the smaller side of the cube, for precision
    upper = b > total / 2
    b = torch.where(upper, total - b, b)
    volume = torch.zeros_like(b)
    for subset in range(1 << k):
        shift = sum(float(a[axes[i]]) for i in range(k) if subset >> i & 1)
        sign = -1.0 if bin(subset).count("1") % 2 else 1.0
        volume = volume + sign * (b - shift).clamp(min=0.0) ** k
    volume = (volume / (math.factorial(k) * float(a[axes].prod()))).clamp(0.0, 1.0)
    return torch.where(upper, 1 - volume, volume)


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
    """A shape filled with a material. ``name`` says where it came from (a
    GDS layer, say) in the messages about it; it takes no part in painting,
    comparison or a checkpoint's description."""

    shape: Shape
    material: Dielectric
    name: Optional[str] = field(default=None, compare=False)


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
    return Object(PeriodicImages(obj.shape, tuple(shifts)), obj.material, obj.name)
