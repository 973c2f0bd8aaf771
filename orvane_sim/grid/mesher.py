"""Node coordinates along one axis, fine where the structure needs it and
coarse elsewhere: the automatic mesher's arithmetic, a pure function of
intervals and numbers (``geometry.meshing`` reads them off objects).

Each interval [lo, hi] caps the cells inside it at its ``step`` (a
material's shortest wavelength over the cells per wavelength asked for, a
thin layer's thickness over the cells it must have across); outside every
interval the cap is ``background``. Cells may grow from one cap to the next
by at most ``ratio`` per neighbour, so the caps spread out as a cone: the
size allowed at x is

    g(x) = min(background, min over intervals of step + k·distance(x, interval))

with k a little below ln(ratio), continuous, and a cell that follows it
grows by at most e^k on its neighbour. The faces of the intervals that
``snap`` and the ``points`` given are nodes: between two of them the
nodes equidistribute ∫ dx / g, with the whole cells that need, so every cell
lies within its cap. Where a short stretch between two nodes that must be
there takes smaller cells than its neighbours do, the step from one to the
other can exceed ``ratio``: the cap at that node is lowered to what the
smaller cell allows and the axis meshed again, until every neighbour ratio
holds.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Sequence

import torch

F64 = torch.float64
# samples of g per smallest cell of a stretch, for ∫ dx / g
SAMPLES_PER_CELL = 16
REPAIRS = 200


@dataclass(frozen=True)
class MeshInterval:
    """Cells no longer than ``step`` over [lo, hi]; ``snap``: its two faces
    are nodes (the planar faces of a box, a layer or a prism)."""

    lo: float
    hi: float
    step: float
    snap: bool = False


def mesh_axis(length: float, intervals: Sequence[MeshInterval], background: float,
              ratio: float = 1.2, points: Sequence[float] = (), merge: float | None = None,
              what: str = "axis", uniform: Sequence[tuple[float, float]] = ()) -> torch.Tensor:
    """float64 node coordinates 0 .. ``length`` (see the module's text).

    ``background``: the largest cell anywhere; ``ratio``: the largest ratio
    of two neighbouring cells (above 1); ``points``: coordinates that are to
    be nodes besides the snapping faces, each amid a few equal cells;
    ``merge``: two such nodes closer
    than this become one, at their middle (by default a thousandth of the
    smallest cap: faces that agree to rounding). ``what`` names the axis in
    errors. ``uniform``: (lo, hi) stretches of equal cells, their ends
    nodes (the absorbing layers: grading inside one reflects more than the
    layer does).
    """
    if not (isinstance(length, (int, float)) and math.isfinite(length) and length > 0):
        raise ValueError(f"mesh {what}: the length must be a finite number > 0, got {length!r}")
    if not (math.isfinite(background) and background > 0):
        raise ValueError(f"mesh {what}: background step must be a finite number > 0, got "
                         f"{background!r}")
    if not (math.isfinite(ratio) and ratio > 1):
        raise ValueError(f"mesh {what}: ratio must be above 1 (the largest ratio of two "
                         f"neighbouring cells), got {ratio!r}")
    caps = []
    fixed = []
    for interval in intervals:
        if not (interval.step > 0 and math.isfinite(interval.step)):
            raise ValueError(f"mesh {what}: an interval's step must be a finite number > 0, "
                             f"got {interval.step!r} over {interval.lo:g} .. {interval.hi:g}")
        lo, hi = max(interval.lo, 0.0), min(interval.hi, float(length))
        if not lo <= hi:
            continue  # outside the box
        caps.append((lo, hi, float(interval.step)))
        if interval.snap:
            fixed += [v for v in (interval.lo, interval.hi) if 0.0 < v < length]
    smallest = min([background] + [c[2] for c in caps])
    tolerance = smallest * 1e-3 if merge is None else merge
    # cells that follow g + k·x grow by e^k each: k just below ln(ratio)
    slope = 0.98 * math.log(ratio)
    points = [float(p) for p in points if 0.0 < p < length]
    stretches = []
    for lo, hi in uniform:
        lo, hi = max(float(lo), 0.0), min(float(hi), float(length))
        if not lo < hi:
            raise ValueError(f"mesh {what}: a uniform stretch needs lo < hi inside the box "
                             f"0 .. {length:g}, got {lo:g} .. {hi:g}")
        stretches.append((lo, hi))
        fixed += [lo, hi]
    fixed = _merged(sorted(fixed + points), tolerance, float(length))
    points = [min(fixed, key=lambda q: abs(q - p)) for p in points]  # where merging put them
    stretches += _zones([p for p in points if not _within(p, p, stretches)], fixed, caps,
                        background, slope)
    fixed = sorted(set(fixed) | {v for lo, hi in stretches for v in (lo, hi)})
    for _ in range(REPAIRS):
        nodes = torch.cat([_stretch(a, b, caps, background, slope, _within(a, b, stretches))[:-1]
                           for a, b in zip(fixed[:-1], fixed[1:])]
                          + [torch.tensor([float(length)], dtype=F64)])
        cells = nodes.diff()
        steps = cells[1:] / cells[:-1]
        worst = torch.maximum(steps, 1.0 / steps)
        bad = (worst > ratio * (1 + 1e-9)).nonzero().flatten().tolist()
        if not bad:
            return nodes
        # a cell beside a node capped at g0 grows along the cone to a length
        # of up to g0 (e^k - 1) / k
        growth = math.expm1(slope) / slope
        for i in bad:
            # the larger of cells i and i + 1 may be at most ratio times the
            # smaller: cap the shared node at what the smaller allows
            small = float(torch.minimum(cells[i], cells[i + 1]))
            at = float(nodes[i + 1])
            caps.append((at, at, 0.99 * small * ratio / growth))
    raise RuntimeError(f"mesh {what}: no mesh with neighbour ratios within {ratio} after "
                       f"{REPAIRS} repairs")


def _zones(points: list, fixed: list, caps, background: float, slope: float) -> list:
    """Around each of ``points`` a stretch of equal cells, up to two of the
    size allowed there on each side (reaching no more than a quarter of the
    way to any other node that must be): a plane wave's plane and a flux
    plane are exact where the cells beside their node are equal."""
    zones = []
    for p in points:
        gaps = [abs(p - q) for q in fixed if q != p]
        # cells of the size allowed there, a little under, two on each side
        # where they fit, else one, else shorter
        g = 0.999 * float(envelope(torch.tensor([p], dtype=F64), caps, background, slope)[0])
        room = min([0.25 * gap for gap in gaps] + [2 * g])
        half = g * min(2, math.floor(room / g)) if room >= g else room
        zones.append((p - half, p + half))
    return zones


def _within(a: float, b: float, stretches: list):
    """The stretch of equal cells that holds a .. b, or None."""
    slack = 1e-12 * max(1.0, abs(b))
    return next(((lo, hi) for lo, hi in stretches if lo - slack <= a and b <= hi + slack), None)


def _merged(points: list, tolerance: float, length: float) -> list:
    """0, the ``points`` strictly inside (0, length) and ``length``, sorted,
    those closer than ``tolerance`` merged at their middle (a point that near
    a face of the box goes to the face)."""
    out = [0.0]
    for p in sorted(p for p in points if 0.0 < p < length):
        if p - out[-1] >= tolerance:
            out.append(p)
        elif out[-1] != 0.0:
            out[-1] = 0.5 * (out[-1] + p)
    if len(out) > 1 and length - out[-1] < tolerance:
        out[-1] = length
    else:
        out.append(length)
    return out


def envelope(x: torch.Tensor, caps, background: float, slope: float) -> torch.Tensor:
    """g at ``x``: the largest cell each cap allows there, the caps spread as
    cones of ``slope``."""
    g = torch.full_like(x, background)
    for lo, hi, step in caps:
        distance = (lo - x).clamp(min=0) + (x - hi).clamp(min=0)
        g = torch.minimum(g, step + slope * distance)
    return g


def _stretch(a: float, b: float, caps, background: float, slope: float,
             zone=None) -> torch.Tensor:
    """Nodes a .. b equidistributing ∫ dx / g in whole cells; in a ``zone``
    (a stretch of equal cells, its first and last node) equal cells of at
    most the smallest g over the zone."""
    if zone is not None:
        lo, hi = zone
        x = torch.linspace(lo, hi, 64 * 4 + 1, dtype=F64)
        n = math.ceil((b - a) / float(envelope(x, caps, background, slope).min()) - 1e-9)
        return torch.linspace(a, b, max(n, 1) + 1, dtype=F64)
    smallest = min([background] + [step + slope * max(lo - b, a - hi, 0.0)
                                   for lo, hi, step in caps])
    samples = max(2, math.ceil((b - a) / smallest * SAMPLES_PER_CELL)) + 1
    x = torch.linspace(a, b, samples, dtype=F64)
    inverse = 1.0 / envelope(x, caps, background, slope)
    count = torch.cat([torch.zeros(1, dtype=F64),
                       (0.5 * (inverse[1:] + inverse[:-1]) * x.diff()).cumsum(0)])
    total = float(count[-1])
    n = max(1, math.ceil(total - 1e-9))
    targets = torch.arange(1, n, dtype=F64) * (total / n)
    k = torch.searchsorted(count, targets).clamp(1, samples - 1)
    c0, c1 = count[k - 1], count[k]
    inner = x[k - 1] + (targets - c0) / (c1 - c0) * (x[k] - x[k - 1])
    return torch.cat([torch.tensor([a], dtype=F64), inner, torch.tensor([b], dtype=F64)])
