"""Objects from a GDS layout: each mapped layer's polygons become a prism.

``objects_from_gds`` reads a cell with gdstk, flattened (references and
repetitions resolved, paths turned into polygons), merges each mapped
layer's polygons into one region (overlaps joined, keyhole polygons turned
back into polygons with holes) and extrudes it as the layer map says:

    layer_map = {(1, 0): Layer(Dielectric(12.1), bottom=1.0, top=1.22),
                 (2, 0): Layer(Dielectric(2.1), bottom=1.22, top=1.5,
                               sidewall_angle=math.radians(8))}

Units: a GDS file stores integers on a grid (its precision) and names a
user unit (usually 1 µm); gdstk reads coordinates in user units. ``unit``
is the length of one user unit in the box's length units: 1.0 when the box
is measured in the layout's unit, 1e-3 for a layout drawn in nm and a box
in µm. Heights in the layer map are in the box's units already. ``offset``
(x, y), in the box's units, moves the layout after scaling: a layout drawn
about the origin goes into a box whose corner is the origin with
``offset`` its centre's place in the box.

The cell: the one named, or the file's one top-level cell. gdsfactory
writes its settings into a cell of its own, ``$$$CONTEXT_INFO$$$``, which
holds no geometry of the layout: a second top-level cell, or (gdsfactory 9)
the one top-level cell, referring to every cell it describes. It does not
count when the cell is chosen, nor do its references.

Each object is named after its layer and cell, so that the warning the
simulation gives for an object reaching into its absorbing layers
(``geometry.clearance``) says which layer it is.

gdstk and shapely are imported on use.
"""
from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Optional

import numpy as np

from ..materials.poles import Dielectric
from .prisms import Prism
from .shapes import Object


@dataclass(frozen=True)
class Layer:
    """How a layout layer stands in the box: its material, its bottom and
    top heights along z (box units), and its sidewall angle in radians
    (positive: narrower at the top) about ``reference`` (default bottom),
    the height at which it is as drawn."""

    material: Dielectric
    bottom: float
    top: float
    sidewall_angle: float = 0.0
    reference: Optional[float] = None

    def __post_init__(self):
        if not isinstance(self.material, Dielectric):
            raise TypeError(f"material must be a Dielectric (or Debye, Lorentz, Drude), "
                            f"got {self.material!r}")
        if not (math.isfinite(self.bottom) and math.isfinite(self.top)
                and self.bottom < self.top):
            raise ValueError(f"top must lie above bottom, got bottom={self.bottom}, "
                             f"top={self.top}")


def _gdstk():
    try:
        import gdstk
    except ImportError as exc:
        raise ImportError("GDS import needs gdstk (pip install gdstk)") from exc
    return gdstk


# The cell gdsfactory writes its settings into, beside the component's.
CONTEXT_CELL = "$$$CONTEXT_INFO$$$"


def _cell(library, cell):
    names = [c.name for c in library.cells]
    if cell is None:
        # gdsfactory's settings cell stands beside the component's (a
        # top-level cell of its own), or, from gdsfactory 9, refers to every
        # cell it describes: the layout's top cells are those that no other
        # cell refers to
        referred = {d.name for c in library.cells if c.name != CONTEXT_CELL
                    for d in c.dependencies(False) if hasattr(d, "name")}
        top = [c for c in library.cells if c.name != CONTEXT_CELL and c.name not in referred]
        if len(top) != 1:
            aside = (f" besides gdsfactory's {CONTEXT_CELL}" if CONTEXT_CELL in names else "")
            raise ValueError(f"cell: the layout has {len(top)} top-level cells"
                             f"{aside} ({', '.join(c.name for c in top) or 'none'}); name one")
        return top[0]
    if not isinstance(cell, str):
        raise TypeError(f"cell must be a cell's name (a str), got {cell!r}")
    for c in library.cells:
        if c.name == cell:
            return c
    raise ValueError(f"cell: no cell named {cell!r}; the layout has {', '.join(names)}")


def _offset(offset) -> tuple[float, float]:
    try:
        pair = tuple(float(v) for v in offset)
    except (TypeError, ValueError):
        pair = ()
    if len(pair) != 2 or not all(math.isfinite(v) for v in pair):
        raise ValueError(f"offset must be two finite lengths (x, y), got {offset!r}")
    return pair


def objects_from_gds(source, layer_map: dict, cell: Optional[str] = None,
                     unit: float = 1.0, offset=(0.0, 0.0)) -> list[Object]:
    """``Object(Prism(...), material)`` per mapped layer of a GDS cell.

    source: a path to a .gds file or a gdstk.Library. layer_map:
    {(layer, datatype): Layer}; the objects come in its order, so later
    entries are painted over earlier ones. A mapped layer with no polygons
    in the cell gives no object. cell: its name (default: the library's one
    top-level cell, gdsfactory's ``$$$CONTEXT_INFO$$$`` aside). unit: box
    length units per GDS user unit. offset: (x, y) in box length units,
    added to every point after scaling.
    """
    gdstk = _gdstk()
    import shapely

    if not (isinstance(unit, (int, float)) and math.isfinite(unit) and unit > 0):
        raise ValueError(f"unit must be a positive length, got {unit!r}")
    shift = np.array(_offset(offset))
    if not isinstance(layer_map, dict):
        raise TypeError(f"layer_map must be a dict {{(layer, datatype): Layer}}, "
                        f"got {type(layer_map).__name__}")
    for key, value in layer_map.items():
        if not (isinstance(key, tuple) and len(key) == 2
                and all(isinstance(k, int) and k >= 0 for k in key)):
            raise ValueError(f"layer_map: keys are (layer, datatype) pairs of integers, "
                             f"got {key!r}")
        if not isinstance(value, Layer):
            raise TypeError(f"layer_map[{key!r}] must be a Layer, got {value!r}")

    if isinstance(source, (str, os.PathLike)):
        library = gdstk.read_gds(os.fspath(source))
    elif isinstance(source, gdstk.Library):
        library = source
    else:
        raise TypeError(f"source must be a path or a gdstk.Library, got {source!r}")
    top = _cell(library, cell)
    # The file's database grid, in user units: snapping to it joins the
    # two sides of a keyhole's cut exactly, and with them the polygon's hole.
    grid = library.precision / library.unit

    objects = []
    for (layer, datatype), entry in layer_map.items():
        polygons = top.get_polygons(layer=layer, datatype=datatype)
        if not polygons:
            continue
        parts = [shapely.make_valid(shapely.set_precision(shapely.Polygon(p.points), grid),
                                    method="structure", keep_collapsed=False)
                 for p in polygons]
        region = shapely.transform(shapely.union_all(parts, grid_size=grid),
                                   lambda xy: xy * unit + shift)
        if region.is_empty:
            continue
        objects.append(Object(Prism(region, entry.bottom, entry.top,
                                    sidewall_angle=entry.sidewall_angle,
                                    reference=entry.reference), entry.material,
                              name=f"layer {layer}/{datatype} of cell {top.name!r}"))
    return objects
