"""Objects that reach out of the interior of the box: warnings.

The interior is the box less its absorbing layers. Past it an object
belongs only as a straight continuation across a layer to the box's face,
as a guide leaving the box does: the layer absorbs what the guide carries
out. Anything else there (a device drawn about the origin and not moved
into the box, a guide lying along a layer, a guide that stops inside one,
a core below the bottom layer's edge) is not what the box holds there:
inside a layer every node takes the medium of the layer's inner edge on
its line (a layer is matched only to a medium invariant along its normal,
and an object ending inside one can make the run grow without bound), so
the part in the layer is replaced by the object's cut at the edge carried
to the face. The simulation runs, of another structure.
``stray_parts`` says which objects do that, and how far; the simulation
warns with its messages when its objects are set
(``OutsideInteriorWarning``).

Along an axis a, for a face with layers of thickness t and the interior's
edge at depth 0 (depth counted outward, the face at depth t); an object
that enters less than half a cell deep does not count (a layout's ends
meet the grid only as well as its rounding allows):

- a ``Prism`` standing along another axis is judged by its footprint (its
  widest section) in its plane: across the box's width along the plane's
  other axis, the part of the footprint between the edge and the face must
  be its cut at the edge extruded to the face. The cut counts where the
  footprint holds on both sides of the edge (so that it does cross into
  the interior), in pieces that either lie along the interior's part of
  the edge (a guide leaving the box) or span the box's whole width (a layer
  of the stack drawn over everything): a piece that runs on into a
  neighbouring layer is a device straddling the box's corner. Their
  difference, past 1 % of a cell's area, is stray.
- any other object (a prism along a, too) by its extent along a: it must
  not enter the layer, or cross it from the interior to the face.

Faces without layers (conducting, or periodic) are not judged: a guide
ending on a conducting face is what a mode solver's cross-section is, and
a periodic structure continues across its faces. A guide along a face
with layers thinner than half its width, cut lengthwise by the face, looks
from its outline like a wide guide crossing the layer, and passes; so does
a device body whose outline runs straight across one layer, clear of the
others.
"""
from __future__ import annotations

import os
import sys

from .shapes import Object

# Parts of a footprint smaller than this share of a cell's area are
# rounding: polygons on a database grid, moved and scaled.
AREA_TOLERANCE = 0.01
# The share of a cell inside the layer where a footprint's cut is taken: a
# guide that ends on the edge has no cut there.
CUT_DEPTH = 1e-3
# How far into a layer, in cells, an object may end: a layout's ends meet the
# grid only to within its rounding (a path's end caps, a database grid).
ROUNDING = 0.5


class OutsideInteriorWarning(UserWarning):
    """An object reaches into the absorbing layers, or past the box, other
    than straight across a layer."""


def _label(obj: Object, k: int) -> str:
    return f"object {k} ({obj.name or 'a ' + type(obj.shape).__name__})"


def _extent_stray(lo: float, hi: float, edge: float, sign: int, thickness: float,
                  h: float):
    """(reach into the layer, reach past the face) of an object from lo to
    hi along an axis, or None where it does not enter the layer or crosses
    it from the interior to the face. ``sign``: -1 for the low face (depth
    grows as the coordinate falls), +1 for the high one."""
    deepest = (edge - lo) if sign < 0 else (hi - edge)
    shallowest = (edge - hi) if sign < 0 else (lo - edge)
    tol = 1e-9 * max(h, abs(edge), abs(thickness))
    if deepest <= ROUNDING * h:
        return None
    if shallowest < -tol and deepest >= thickness - tol:
        return None
    return min(deepest, thickness), max(0.0, deepest - thickness)


def _footprint_stray(prism, a: int, edge: float, sign: int, thickness: float, o: int,
                     across: tuple[float, float], inside: tuple[float, float], spacing):
    """The same for a prism's footprint, judged across the face's width
    ``across`` (the box's extent along the plane's other axis o; ``inside``
    the interior's)."""
    import shapely

    from .prisms import PLANE

    region = prism.footprint()
    iu, iv = PLANE[prism.axis]

    def rect(along_a, along_o):
        (a0, a1), (o0, o1) = sorted(along_a), sorted(along_o)
        return shapely.box(a0, o0, a1, o1) if iu == a else shapely.box(o0, a0, o1, a1)

    face = edge + sign * thickness
    u0, v0, u1, v1 = region.bounds
    far = (u0, u1) if iu == a else (v0, v1)
    beyond = min(far) if sign < 0 else max(far)
    start = edge + sign * ROUNDING * spacing[a]
    out = region.intersection(rect((start, face), across))
    tol = AREA_TOLERANCE * spacing[a] * spacing[o]
    if out.area <= tol:
        return None
    # the cut: where the footprint holds just either side of the edge
    cuts = []
    for at in (edge - CUT_DEPTH * spacing[a], edge + CUT_DEPTH * spacing[a]):
        line = (shapely.LineString([(at, across[0]), (at, across[1])]) if iu == a else
                shapely.LineString([(across[0], at), (across[1], at)]))
        cuts.append(shapely.transform(region.intersection(line), lambda xy: xy * (0, 1)
                                      if iu == a else xy * (1, 0)))
    cut = cuts[0].intersection(cuts[1])
    spans = []
    slack = CUT_DEPTH * spacing[o]
    for piece in getattr(cut, "geoms", [cut]):
        if piece.geom_type == "LineString" and piece.length > 0:
            x0, y0, x1, y1 = piece.bounds
            s0, s1 = (y0, y1) if iu == a else (x0, x1)
            # a guide leaving the box crosses the interior's edge; what
            # spans the box's whole width is a layer of the stack
            if (s0 >= inside[0] - slack and s1 <= inside[1] + slack) or (
                    s0 <= across[0] + slack and s1 >= across[1] - slack):
                spans.append((s0, s1))
    straight = shapely.union_all([rect((start, face), s) for s in spans]) if spans else None
    stray = out if straight is None else out.symmetric_difference(straight)
    if stray.area <= tol:
        return None
    s0, t0, s1, t1 = out.bounds
    lo, hi = (s0, s1) if iu == a else (t0, t1)
    reach = (edge - lo) if sign < 0 else (hi - edge)
    past = max(0.0, (face - beyond) if sign < 0 else (beyond - face))
    return min(reach, thickness), past


def stray_parts(objects, shape, spacing, faces, periodic=(), nodes=None) -> list[str]:
    """One message per object and face where an object reaches into that
    face's absorbing layer other than straight across it (see the module's
    text). ``shape`` (cells), ``spacing`` and ``faces`` ((low, high) layer
    cells per axis) describe the whole box, whose corner is the origin;
    ``periodic``: its periodic axes. ``nodes``: per axis, the node
    coordinates (cells + 1) of a box with unequal cells (its tolerances
    then go by each axis's shortest cell); None: the spacing's."""
    from .prisms import PLANE, Prism

    if nodes is None:
        nodes = [[i * spacing[a] for i in range(shape[a] + 1)] for a in range(3)]
    else:
        nodes = [[float(v) for v in n] for n in nodes]
        spacing = [min(b - a for a, b in zip(n, n[1:])) for n in nodes]
    messages = []
    for k, obj in enumerate(objects):
        for a in range(3):
            if a in periodic:
                continue
            h, n = spacing[a], nodes[a]
            for side, sign in ((0, -1), (1, 1)):
                cells = faces[a][side]
                if cells <= 0:
                    continue
                edge = n[cells] if sign < 0 else n[shape[a] - cells]
                thickness = edge - n[0] if sign < 0 else n[-1] - edge
                shape_ = obj.shape
                if isinstance(shape_, Prism) and a != shape_.axis:
                    o = next(t for t in PLANE[shape_.axis] if t != a)
                    across = (nodes[o][0], nodes[o][-1])
                    low, high = (0, 0) if o in periodic else faces[o]
                    inside = (nodes[o][low], nodes[o][shape[o] - high])
                    found = _footprint_stray(shape_, a, edge, sign, thickness, o, across,
                                             inside, spacing)
                else:
                    lo, hi = shape_.bounds()[a]
                    found = _extent_stray(lo, hi, edge, sign, thickness, h)
                if found is None:
                    continue
                reach, past = found
                where = f"{'low' if sign < 0 else 'high'} {'xyz'[a]} face"
                cut = (f" and {past:.4g} past the box's face, where the box cuts it"
                       if past > 0 else "")
                messages.append(
                    f"{_label(obj, k)} reaches {reach:.4g} into the absorbing layer at the "
                    f"{where} ({thickness:.4g} thick, its inner edge at {'xyz'[a]} = "
                    f"{edge:.4g}){cut}, other than straight across it as a guide leaving "
                    f"the box: inside the layer the box holds its cut at the layer's inner "
                    f"edge carried to the face instead. Move it into the interior (for a GDS "
                    f"layout, objects_from_gds's offset=) or extend it straight through the "
                    f"layer")
    return messages


def caller_level() -> int:
    """The stack level, for ``warnings.warn`` called by a function of this
    package, of the first caller outside it."""
    ours = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    level, frame = 1, sys._getframe(1)
    while frame.f_back is not None and os.path.abspath(
            frame.f_code.co_filename).startswith(ours + os.sep):
        frame = frame.f_back
        level += 1
    return level
