"""The automatic mesher: a rectilinear grid fitted to a list of objects.

Along each axis, every object asks for cells no longer than the shortest
wavelength in its material over ``cells_per_wavelength`` across its extent
there (its bounding box: a sphere's or a cylinder's too), and the rest of
the box for the background's. The wavelength in a material is
1 / (f · |√ε(f)|) at the highest frequency f, so a metal's skin depth
counts as its wavelength does. A layer thinner than ``thin[0]``, or one
named in ``cells_across``, asks for that many cells across it as well.
Planar faces normal to the axis (a box's, a slab's, a prism's top and
bottom and the straight sides of its polygon along the axes) are snapped:
they fall on nodes, where painting puts them exactly. ``grid.mesher``
does the arithmetic, growing the cells away from each refinement by at
most ``ratio`` per neighbour.

Grading reflects a little of a wave, more the faster the cells grow: an
empty column measured a reflection amplitude of a few 1e-3 for a smooth
step from 1 to 2.5 times the cell over 12 cells, falling as the square of
the cells the step takes. Keep ``ratio`` near 1 where reflections of that
size matter.
"""
from __future__ import annotations

import math
from typing import Sequence

from ..grid.arguments import count, real, sequence, triple
from ..grid.mesher import MeshInterval, mesh_axis
from ..grid.rectilinear import AXES, RectilinearGrid
from ..materials.poles import Dielectric
from .prisms import PLANE, Prism, polygonal
from .shapes import Box, Object, Slab


def automatic_grid(objects: Sequence[Object], size, frequency: float,
                   cells_per_wavelength: float = 20.0, background=None, ratio: float = 1.2,
                   thin=None, cells_across=None, points=None, uniform=(),
                   layer_thickness=None) -> RectilinearGrid:
    """A ``RectilinearGrid`` of the box 0 .. ``size`` (one length or three)
    for ``objects`` (``Object``s, as ``Simulation`` paints them) at
    frequencies up to ``frequency``, with at least
    ``cells_per_wavelength`` cells per shortest wavelength in each
    material (see the module's text).

    ``background``: the material (or permittivity) around the objects,
    vacuum by default. ``ratio``: the largest ratio of two neighbouring
    cells. ``thin``: (length, cells): every object thinner than ``length``
    along an axis gets at least ``cells`` cells across it there.
    ``cells_across``: {object or its index: cells}, the layers the caller
    names and the cells each must have across it along every axis where
    its extent is finite. ``points``: per axis, coordinates that must be
    nodes amid a few equal cells (the planes of plane waves and flux
    planes). ``uniform``: axes that keep one spacing, the smallest the
    objects ask for there (periodic axes must). ``layer_thickness``: the
    absorbing layers, in the forms ``Simulation`` takes: each is a stretch
    of equal cells ending on a node, so the same ``layer_thickness`` given
    to the simulation takes it exactly; grading inside a layer, or between
    a plane wave's plane and the layer behind it, reflects more than the
    layer does.
    """
    lengths = [real(v, "automatic_grid size", positive=True) for v in triple(size, "size")]
    f = real(frequency, "automatic_grid frequency", positive=True)
    per_wavelength = real(cells_per_wavelength, "cells_per_wavelength", positive=True)
    background = Dielectric(1.0) if background is None else background
    if not isinstance(background, Dielectric):
        background = Dielectric(real(background, "automatic_grid background (a material or a "
                                                  "permittivity)", positive=True))
    objects = list(objects)
    for k, obj in enumerate(objects):
        if not isinstance(obj, Object):
            raise TypeError(f"automatic_grid objects must be Objects, got "
                            f"{type(obj).__name__} at position {k}")
    thin_length, thin_cells = _thin(thin)
    named = _named(cells_across, objects)
    extra = _points(points)
    given = sequence(uniform)
    uniform = tuple(count(a, "automatic_grid uniform axis", 0, 2)
                    for a in (given if given is not None else (uniform,)))
    layers = _layers(layer_thickness, lengths)
    steps = [_wavelength(o.material, f) / per_wavelength for o in objects]
    step_background = _wavelength(background, f) / per_wavelength
    axes = []
    for a, length in enumerate(lengths):
        intervals = []
        for k, (obj, step) in enumerate(zip(objects, steps)):
            lo, hi = obj.shape.bounds()[a]
            extent = hi - lo
            cells = named.get(k, 0)
            if thin_length is not None and extent < thin_length:
                cells = max(cells, thin_cells)
            if cells and math.isfinite(extent):
                step = min(step, extent / cells)
            faces = _faces(obj.shape, a)
            intervals.append(MeshInterval(lo, hi, step, snap=lo in faces and hi in faces))
            intervals += [MeshInterval(v, v, step, snap=True) for v in faces
                          if v not in (lo, hi)]
        if a in uniform:
            inside = [i.step for i in intervals if i.lo <= length and i.hi >= 0]
            h = min([step_background] + inside)
            axes.append((math.ceil(length / h - 1e-9), length / math.ceil(length / h - 1e-9)))
            continue
        ends = [(0.0, layers[a][0]), (length - layers[a][1], length)]
        axes.append(mesh_axis(length, intervals, step_background, ratio, extra[a],
                              what=AXES[a], uniform=[e for e in ends if e[0] < e[1]]))
    return RectilinearGrid(*axes)


def _wavelength(material, frequency: float) -> float:
    """The shortest wavelength in ``material`` at ``frequency``: 1 / (f |n|)
    with n = √ε(2π f), at least the vacuum's index 1 away (an ε near zero
    stretches the wavelength, which no grid needs resolved more coarsely
    than vacuum's)."""
    eps = complex(material.permittivity(2 * math.pi * frequency))
    index = max(abs(eps) ** 0.5, 1.0)
    return 1.0 / (frequency * index)


def _faces(shape, axis: int) -> set:
    """The coordinates of ``shape``'s planar faces normal to ``axis``."""
    if isinstance(shape, Box):
        return set(shape.bounds()[axis])
    if isinstance(shape, Slab):
        lo, hi = shape.bounds()[axis]
        return {lo, hi} if math.isfinite(lo) and math.isfinite(hi) else set()
    if isinstance(shape, Prism):
        if axis == shape.axis:
            return {float(shape.bottom), float(shape.top)}
        if shape.sidewall_angle != 0:
            return set()
        u = PLANE[shape.axis].index(axis)
        return _straight_sides(shape, u)
    return set()


def _straight_sides(prism: Prism, u: int) -> set:
    """The coordinates along in-plane axis ``u`` (0 or 1) of the prism's
    outline edges that are normal to it."""
    import shapely

    section = polygonal(prism.polygon)
    holes = prism.holes
    if holes is not None and (not hasattr(holes, "__len__") or len(holes) > 0):
        section = shapely.difference(section, polygonal(holes, "holes"))
    out = set()
    for ring in shapely.get_rings(section):
        xy = shapely.get_coordinates(ring)
        for (a, b) in zip(xy[:-1], xy[1:]):
            if a[u] == b[u] and a[1 - u] != b[1 - u]:
                out.add(float(a[u]))
    return out


def _layers(layer_thickness, lengths) -> list:
    """(low, high) thickness per axis from the forms ``Simulation`` takes."""
    if layer_thickness is None:
        return [(0.0, 0.0)] * 3
    out = []
    for a, v in enumerate(triple(layer_thickness, "automatic_grid layer_thickness")):
        pair = sequence(v)
        pair = (v, v) if pair is None else pair
        if len(pair) != 2:
            raise ValueError(f"automatic_grid layer_thickness per axis needs 1 or 2 values, "
                             f"got {v!r}")
        low, high = (real(t, "automatic_grid layer_thickness") for t in pair)
        if min(low, high) < 0 or low + high >= lengths[a]:
            raise ValueError(f"automatic_grid layer_thickness along {AXES[a]} ({low:g}, "
                             f"{high:g}) must be 0 or more and leave room inside the box's "
                             f"{lengths[a]:g}")
        out.append((low, high))
    return out


def _thin(thin):
    if thin is None:
        return None, 0
    pair = sequence(thin)
    if pair is None or len(pair) != 2:
        raise ValueError(f"automatic_grid thin needs (length, cells), got {thin!r}")
    return (real(pair[0], "automatic_grid thin length", positive=True),
            count(pair[1], "automatic_grid thin cells", 1))


def _named(cells_across, objects) -> dict:
    """{object index: cells} from keys that are indices or the objects."""
    out = {}
    for key, cells in dict(cells_across or {}).items():
        if isinstance(key, Object):
            hits = [k for k, o in enumerate(objects) if o is key]
            if not hits:
                raise ValueError(f"automatic_grid cells_across names an object that is not "
                                 f"among the objects: {key!r}")
        else:
            hits = [count(key, "automatic_grid cells_across index", 0, len(objects) - 1)]
        for k in hits:
            out[k] = count(cells, "automatic_grid cells_across cells", 1)
    return out


def _points(points) -> list:
    if points is None:
        return [(), (), ()]
    entries = sequence(points)
    if entries is None or len(entries) != 3:
        raise ValueError(f"automatic_grid points needs one sequence of coordinates per axis "
                         f"(x, y, z), got {points!r}")
    return [tuple(real(v, f"automatic_grid points {AXES[a]}") for v in (sequence(e) or ()))
            for a, e in enumerate(entries)]

