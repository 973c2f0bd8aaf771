"""Prisms: polygons in a plane, extruded along an axis, with sloped sidewalls.

A ``Prism`` is the shape of an etched or deposited layer: one or more
polygons (holes allowed) in the plane normal to ``axis``, extruded from
``bottom`` to ``top``. A sidewall angle tilts every sidewall by the same
angle from the axis: at height z the cross-section is the drawn polygon
offset inward by (z − reference)·tan(angle), so a positive angle makes the
polygon shrink going up, as an etched ridge does. An inward offset keeps
convex corners sharp; an outward one rounds them (the points within that
distance of the drawn polygon).

Everything is vectorised through shapely 2 (``intersects_xy`` for inside
tests, ``shortest_line`` to the outline for distances): the painter's
lattices evaluate each distinct in-plane position once, and a sloped
sidewall measures distances only in the band it sweeps.

shapely is imported when a prism is made, so ``orvane_sim`` imports
without it.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np
import torch

from .shapes import F64, TIE, Shape

# The in-plane coordinates (u, v) of a prism along each axis: the other two
# axes in increasing order.
PLANE = {0: (1, 2), 1: (0, 2), 2: (0, 1)}
PLANE_SLICE = {0: slice(1, 3), 1: slice(0, 3, 2), 2: slice(0, 2)}  # the same, as views


def _shapely():
    try:
        import shapely
    except ImportError as exc:
        raise ImportError("Prism needs shapely 2.1 or later (pip install shapely)") from exc
    if tuple(int(v) for v in shapely.__version__.split(".")[:2]) < (2, 1):
        raise ImportError(f"Prism needs shapely 2.1 or later, found {shapely.__version__}")
    return shapely


def polygonal(value, what: str = "polygon"):
    """One shapely (Multi)Polygon from a shapely polygonal geometry, one
    vertex list [(u, v), ...], or a sequence of either (their union).
    Each part is made valid first (a keyhole becomes a polygon with a hole,
    a figure eight two polygons); what has no area is dropped."""
    shapely = _shapely()
    from shapely.geometry.base import BaseGeometry

    if isinstance(value, BaseGeometry):
        parts = [value]
    else:
        try:
            arr = np.asarray(value, dtype=float)
        except (TypeError, ValueError):  # ragged, or shapely parts
            arr = None
        if arr is not None and arr.ndim == 2:
            parts = [arr]
        elif arr is not None and arr.ndim == 3:
            parts = list(arr)
        else:
            parts = list(value)
    geoms = []
    for part in parts:
        if not isinstance(part, BaseGeometry):
            try:
                ring = np.asarray(part, dtype=float)
            except (TypeError, ValueError):
                ring = None
            if ring is None or ring.ndim != 2 or ring.shape[1] != 2 or len(ring) < 3:
                raise ValueError(f"{what}: a vertex list needs 3 or more (x, y) pairs, "
                                 f"got {part!r}")
            part = shapely.Polygon(ring)
        if part.geom_type not in ("Polygon", "MultiPolygon"):
            raise ValueError(f"{what}: expected polygons, got a {part.geom_type}")
        if not np.isfinite(shapely.get_coordinates(part)).all():
            raise ValueError(f"{what}: vertices must be finite, got {part.wkt[:80]}")
        geoms.append(shapely.make_valid(part, method="structure", keep_collapsed=False))
    return shapely.union_all(geoms) if geoms else shapely.Polygon()


@dataclass(frozen=True, eq=False)
class Prism(Shape):
    """Polygons normal to ``axis`` extruded from ``bottom`` to ``top``.

    polygon: a shapely Polygon or MultiPolygon (holes included), one vertex
        list [(u, v), ...], or a list of them (their union); (u, v) are the
        other two axes in increasing order: (x, y) for axis 2, (x, z) for
        axis 1, (y, z) for axis 0. Lengths in the box's units.
    holes: vertex lists (or polygons) cut out of it.
    sidewall_angle: radians from the axis; positive shrinks the polygon
        going up (towards +axis), negative widens it. At height z the
        section is the polygon offset inward by (z − reference)·tan(angle).
    reference: the height at which the section is the polygon as drawn
        (default ``bottom``).
    """

    polygon: Any
    bottom: float
    top: float
    axis: int = 2
    sidewall_angle: float = 0.0
    reference: Optional[float] = None
    holes: Any = ()
    _section: Any = field(init=False, repr=False)
    _cache: dict = field(init=False, repr=False)

    def __post_init__(self):
        shapely = _shapely()
        if self.axis not in PLANE:
            raise ValueError(f"axis must be 0, 1 or 2, got {self.axis!r}")
        for name in ("bottom", "top", "sidewall_angle"):
            if not math.isfinite(getattr(self, name)):
                raise ValueError(f"{name} must be finite, got {getattr(self, name)!r}")
        if not self.bottom < self.top:
            raise ValueError(f"top must lie above bottom, got bottom={self.bottom}, "
                             f"top={self.top}")
        if not abs(self.sidewall_angle) < math.pi / 2:
            raise ValueError(f"sidewall_angle is in radians, strictly between -pi/2 and pi/2, "
                             f"got {self.sidewall_angle!r}")
        ref = self.bottom if self.reference is None else float(self.reference)
        if not math.isfinite(ref):
            raise ValueError(f"reference must be finite, got {self.reference!r}")
        section = polygonal(self.polygon, "polygon")
        holes = self.holes is not None and (not hasattr(self.holes, "__len__")
                                            or len(self.holes) > 0)
        if holes:
            section = shapely.difference(section, polygonal(self.holes, "holes"))
        if section.is_empty or section.area == 0:
            raise ValueError("polygon: covers no area" + (" outside its holes" if holes else ""))
        section = shapely.orient_polygons(section)  # outlines anticlockwise, holes clockwise
        shapely.prepare(section)
        tan = math.tan(self.sidewall_angle)
        lo, hi = self.bottom, self.top
        if tan != 0:
            # the heights where the section has shrunk to nothing: past the
            # largest inscribed circle's radius
            scale = max(np.ptp(np.reshape(section.bounds, (2, 2)), axis=0))
            tol = 1e-6 * scale
            radius = shapely.maximum_inscribed_circle(section, tol).length + tol
            if tan > 0:
                hi = min(hi, ref + radius / tan)
            else:
                lo = max(lo, ref + radius / tan)
            if not lo < hi:
                raise ValueError(f"sidewall_angle: the polygon shrinks to nothing between "
                                 f"bottom={self.bottom} and top={self.top} "
                                 f"(reference {ref}, angle {self.sidewall_angle})")
        object.__setattr__(self, "_section", section)
        object.__setattr__(self, "_cache", {"ref": ref, "tan": tan, "span": (lo, hi)})

    # -- the cross-section -------------------------------------------------

    def _offset(self, z):
        """The inward offset of the section at height(s) z."""
        return (z - self._cache["ref"]) * self._cache["tan"]

    def _at(self, delta: float):
        """The section offset inward by delta (outward where negative)."""
        if delta == 0:
            return self._section
        return _shapely().buffer(self._section, -delta, quad_segs=16)

    def _derived(self):
        """Built on first use: the outline, its segments with their outward
        normals, and the sections that bound the sloped sidewalls' band."""
        c = self._cache
        if "outline" in c:
            return c
        shapely = _shapely()
        c["outline"] = self._section.boundary
        rings = [np.asarray(r.coords) for poly in getattr(self._section, "geoms",
                                                             [self._section])
                 for r in (poly.exterior, *poly.interiors)]
        start = np.concatenate([r[:-1] for r in rings])
        end = np.concatenate([r[1:] for r in rings])
        t = end - start
        # anticlockwise outlines and clockwise holes keep the solid on the
        # left of each segment: outward is to the right
        c["edge_normal"] = np.stack([t[:, 1], -t[:, 0]], 1) / np.hypot(t[:, 0], t[:, 1])[:, None]
        c["start"], c["end"] = start, end
        c["edges"] = shapely.STRtree(shapely.linestrings(np.stack([start, end], 1)))
        bounds = np.reshape(self._section.bounds, (2, 2))
        c["tiny"] = TIE * max(np.ptp(bounds, axis=0).max(), np.abs(bounds).max())
        # A lattice point on the outline (as on a 45-degree edge through the
        # lattice's points) is inside, but rounding puts it a few units in
        # the last place to either side, differently in a mirror image: the
        # section grown by that much holds them all.
        c["grown"] = shapely.buffer(self._section, c["tiny"])
        shapely.prepare(c["grown"])
        if c["tan"] != 0:
            d = self._offset(np.array([self.bottom, self.top]))
            margin = 0.01 * np.abs(d).max() + c["tiny"]
            # every point of ``inner`` lies inside the section at every
            # height, every point outside ``outer`` outside it
            c["inner"] = self._at(d.max() + margin)
            c["outer"] = self._at(d.min() - margin)
            shapely.prepare(c["inner"])
            shapely.prepare(c["outer"])
        return c

    def _distance(self, uv: np.ndarray, normals: bool = True):
        """Signed distance (positive inside) of points uv [n, 2] to the drawn
        outline, and (unless ``normals`` is False) the in-plane outward unit
        normal of the outline there."""
        shapely = _shapely()
        c = self._derived()
        if len(uv) == 0:
            return np.zeros(0), np.zeros((0, 2))
        near = shapely.get_coordinates(
            shapely.shortest_line(c["outline"], shapely.points(uv))).reshape(-1, 2, 2)[:, 0]
        w = uv - near
        dist = np.hypot(w[:, 0], w[:, 1])
        inside = shapely.intersects_xy(self._section, uv[:, 0], uv[:, 1])
        sign = np.where(inside, -1.0, 1.0)
        return -sign * dist, (self._outline_normal(uv, dist, sign) if normals else None)

    def _outline_normal(self, uv: np.ndarray, dist: np.ndarray, sign: np.ndarray):
        """Outward in-plane unit normal of the outline nearest each point of
        uv [n, 2], ``dist`` away, ``sign`` -1 inside and 1 outside.

        Where two edges lie equally near (the bisector of a corner, or a
        vertex itself) the nearer one is a matter of rounding or of the order
        of the edges in the ring, which a mirror reverses: of the edges
        within rounding of the nearest, the one whose normal lies most along
        u, then along v, which a mirror of either axis leaves the same (as a
        ``Box`` picks its lowest axis). Each normal is the edge's own where
        the nearest point lies inside it, and points from the vertex where it
        is an end, so that mirror images come out exactly mirrored."""
        shapely = _shapely()
        c = self._derived()
        tol = c["tiny"]
        which, edge = c["edges"].query(shapely.points(uv), predicate="dwithin",
                                       distance=dist + tol)
        start, end = c["start"][edge], c["end"][edge]
        q = uv[which]
        t = end - start
        length2 = (t * t).sum(1)
        along = ((q - start) * t).sum(1) / np.where(length2 > 0, length2, 1.0)
        inner = (along > 0) & (along < 1)
        edge_normal = c["edge_normal"][edge]
        w = q - np.where((along >= 1)[:, None], end, start)
        to_end = np.hypot(w[:, 0], w[:, 1])
        gap = np.where(inner, np.abs(((q - start) * edge_normal).sum(1)), to_end)
        on = inner | (to_end <= tol)  # on a vertex: its edges' normals
        n = np.where(on[:, None], edge_normal,
                     sign[which][:, None] * w / np.where(on, 1.0, to_end)[:, None])
        nearest = np.full(len(uv), np.inf)
        np.minimum.at(nearest, which, gap)
        tied = gap <= nearest[which] + tol
        order = np.lexsort((-np.abs(n[:, 1]), -np.abs(n[:, 0]), ~tied, which))
        first = order[np.r_[True, which[order][1:] != which[order][:-1]]]
        out = np.zeros((len(uv), 2))
        out[which[first]] = n[first]
        return out

    # -- Shape -------------------------------------------------------------

    def footprint(self):
        """The region its widest section covers in its plane (a shapely
        geometry in (u, v)): where it stands, seen along its axis."""
        lo, hi = self._cache["span"]
        widest = min(self._offset(lo), self._offset(hi))
        region = self._at(widest)
        return self._section if region.is_empty else region

    def bounds(self):
        c = self._cache
        lo, hi = c["span"]
        widest = min(self._offset(lo), self._offset(hi))
        if widest < 0:  # rounded growth: exactly |widest| past the drawn bounds
            u0, v0, u1, v1 = self._section.bounds
            u0, v0, u1, v1 = u0 + widest, v0 + widest, u1 - widest, v1 - widest
        else:  # (a tip within rounding of its height may erode to nothing)
            region = self._at(widest)
            u0, v0, u1, v1 = (self._section if region.is_empty else region).bounds
        out = [None] * 3
        iu, iv = PLANE[self.axis]
        out[iu], out[iv], out[self.axis] = (u0, u1), (v0, v1), (lo, hi)
        return [(float(a), float(b)) for a, b in out]

    def contains(self, p):
        shapely = _shapely()
        p = p.to(F64)
        # in-plane positions, one per distinct column of a lattice
        uv = _distinct(p[..., PLANE_SLICE[self.axis]])
        flat = uv.reshape(-1, 2).cpu().numpy()
        tan = self._cache["tan"]
        if tan == 0:
            inside = shapely.intersects_xy(self._derived()["grown"], flat[:, 0], flat[:, 1])
            lo = np.where(inside, self.bottom, np.inf)
            hi = np.where(inside, self.top, -np.inf)
        else:
            c = self._derived()
            sure = shapely.intersects_xy(c["inner"], flat[:, 0], flat[:, 1])
            band = shapely.intersects_xy(c["outer"], flat[:, 0], flat[:, 1]) & ~sure
            sd = np.where(sure, np.inf, -np.inf)
            sd[band] = self._distance(flat[band], normals=False)[0]
            # sd >= (z - reference)·tan: a range of heights per column
            edge = self._cache["ref"] + sd / tan
            lo = np.maximum(self.bottom, edge) if tan < 0 else np.full_like(sd, self.bottom)
            hi = np.minimum(self.top, edge) if tan > 0 else np.full_like(sd, self.top)
        lo, hi = (torch.from_numpy(a).reshape(uv.shape[:-1]).to(p.device) for a in (lo, hi))
        z = p[..., self.axis]
        return (z >= lo) & (z <= hi)

    def normal(self, p):
        """Outward normal of the nearest of the top, the bottom and the
        sidewall (tilted by the sidewall angle)."""
        p = p.to(F64)
        flat = p.reshape(-1, 3).cpu().numpy()
        iu, iv = PLANE[self.axis]
        uv, back = np.unique(np.ascontiguousarray(flat[:, [iu, iv]]), axis=0,
                             return_inverse=True)
        sd, n = self._distance(uv)
        sd, n = sd[back.ravel()], n[back.ravel()]
        z = flat[:, self.axis]
        angle = self.sidewall_angle
        cos = math.cos(angle)
        s = sd - self._offset(z)  # in-plane distance into the section at z
        up = np.abs(z - self.top) <= np.abs(z - self.bottom)
        cap_gap = np.where(up, np.abs(z - self.top), np.abs(z - self.bottom))
        # inside: the nearer face; outside: the face it lies furthest beyond;
        # a cap and a sidewall as near as rounding can tell: the sidewall
        slack = self._derived()["tiny"] + TIE * max(abs(self.bottom), abs(self.top))
        solid = (z >= self.bottom) & (z <= self.top) & (s >= 0)
        beyond_cap = np.maximum(np.maximum(z - self.top, self.bottom - z), 0)
        cap = np.where(solid, cap_gap < np.abs(s) * cos - slack,
                       beyond_cap > np.maximum(-s, 0) * cos + slack)
        out = np.zeros_like(flat)
        out[:, iu] = np.where(cap, 0.0, n[:, 0] * cos)
        out[:, iv] = np.where(cap, 0.0, n[:, 1] * cos)
        out[:, self.axis] = np.where(cap, np.where(up, 1.0, -1.0), math.sin(angle))
        return torch.from_numpy(out).reshape(p.shape).to(p.device)


def _distinct(t: torch.Tensor) -> torch.Tensor:
    """t [..., k] narrowed to its first entry along every leading dimension
    on which it does not change (a lattice's in-plane positions repeat along
    the prism's axis): broadcasts back to t's shape."""
    for dim in range(t.dim() - 1):
        if t.shape[dim] > 1:
            first = t.narrow(dim, 0, 1)
            if torch.equal(first, t.narrow(dim, t.shape[dim] - 1, 1)) and bool((t == first).all()):
                t = first
    return t
