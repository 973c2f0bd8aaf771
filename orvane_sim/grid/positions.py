"""Positions in the box's length units, snapped to its nodes.

The box's node 0 lies at the origin of every axis, so node i of an axis
with spacing h is at i·h and the box spans 0 .. N·h; along a non-uniform
axis (its ``spacing`` entry None) node i is at the coordinate the box's
``grid`` holds for it, and a value snaps to the nearest of those. Sources and monitors
that take planes and boxes in length units go through this one place: a
value becomes the nearest node, and a value that had to move by more than a
rounding error is reported on the ``orvane_sim.positions`` logger (INFO),
with where it went. The index forms of the features skip the snapping but
share the checks, so both forms fail alike, in length units.

Features on nodes (planes, the corners of a flux box) take ``node`` and
``node_box``; features on index ranges of cells (a current box, a frequency
monitor) take ``cell_box``.
"""
from __future__ import annotations

import logging

from .arguments import count, sequence
from .rectilinear import require_uniform  # noqa: F401  (features refuse through here)

# The logger keeps the name it had before the driver had folders: it is
# documented, and logging set-ups name it.
log = logging.getLogger("orvane_sim.positions")
AXES = "xyz"


def extent(sim, axis: int) -> float:
    """The whole box's length along ``axis`` (a slab's box, not the slab)."""
    if sim.spacing[axis] is None:
        return sim.grid[axis].length
    return sim.placement.shape[axis] * sim.spacing[axis]


def at(sim, axis: int, index) -> float:
    """Node ``index`` of ``axis`` in length units (a fractional index: the
    point that far between its nodes)."""
    h = sim.spacing[axis]
    return index * h if h is not None else sim.grid[axis].at(index)


def span(sim, axis: int, first: int, last: int) -> str:
    """"x = a .. b": nodes first .. last of ``axis`` in length units."""
    return f"{AXES[axis]} = {at(sim, axis, first):g} .. {at(sim, axis, last):g}"


def whole(sim, axis: int) -> str:
    """"the box spans x = 0 .. L", for errors."""
    return f"the box spans {span(sim, axis, 0, sim.placement.shape[axis])}"


def node(sim, axis: int, value: float, what: str) -> int:
    """The node of ``axis`` nearest ``value``; outside the box is an error
    naming ``what`` and the box's extent."""
    h, top = sim.spacing[axis], extent(sim, axis)
    value = float(value)
    if h is None:
        return _graded_node(sim.grid[axis], value, what)
    if not -0.5 * h <= value <= top + 0.5 * h:
        raise ValueError(f"{what}: {AXES[axis]} = {value:g} lies outside the box, which spans "
                         f"{AXES[axis]} = 0 .. {top:g}")
    index = round(value / h)
    if abs(index * h - value) > 1e-6 * h:
        log.info("%s: %s = %g snapped to node %d (%s = %g)", what, AXES[axis], value, index,
                 AXES[axis], index * h)
    return index


def _graded_node(axis, value: float, what: str) -> int:
    """``node`` along a non-uniform axis: within half an end cell of the
    box, to the nearest node, a snap of more than a rounding error of the
    cell there logged."""
    first, last = axis.cell_at(0), axis.cell_at(axis.cells - 1)
    if not -0.5 * first <= value <= axis.length + 0.5 * last:
        raise ValueError(f"{what}: {axis.name} = {value:g} lies outside the box, which spans "
                         f"{axis.name} = 0 .. {axis.length:g}")
    index = axis.nearest(value)
    where = axis.at(index)
    if abs(where - value) > 1e-6 * axis.cell_at(index if where <= value else index - 1):
        log.info("%s: %s = %g snapped to node %d (%s = %g)", what, axis.name, value, index,
                 axis.name, where)
    return index


def node_box(sim, box, what: str, clear_of_layers: bool = True, flat: bool = False):
    """((i0, j0, k0), (i1, j1, k1)): the nodes nearest the corners of ``box``
    ((x0, y0, z0), (x1, y1, z1)), low corner first. Each axis spans at least
    one cell unless ``flat`` allows one axis of zero extent (a plane).
    ``clear_of_layers``: every node must lie outside the absorbing layers."""
    first, last = _corner_nodes(sim, box, what)
    check_nodes(sim, (first, last), what, clear_of_layers, flat)
    return first, last


def _corner_nodes(sim, box, what: str):
    """The nodes nearest the two corners of ``box``."""
    try:
        lo, hi = (tuple(float(v) for v in corner) for corner in box)
        if len(lo) != 3 or len(hi) != 3:
            raise ValueError
    except (TypeError, ValueError):
        raise ValueError(f"{what} needs two corners ((x0, y0, z0), (x1, y1, z1)), "
                         f"got {box!r}") from None
    first = tuple(node(sim, a, v, what) for a, v in enumerate(lo))
    last = tuple(node(sim, a, v, what) for a, v in enumerate(hi))
    return first, last


def cell_box(sim, box, what: str):
    """(offset, size): the cells of ``box`` ((x0, y0, z0), (x1, y1, z1)), for
    features given as index ranges of cells. Along each axis the corners
    snap to nodes n0 .. n1 and the box takes cells n0 .. n1 - 1, the cells
    between those nodes; an axis of zero extent (n0 = n1) takes the one cell
    n0, whose index holds the components on node n0 (a sheet or a line)."""
    first, last = _corner_nodes(sim, box, what)
    for a in range(3):
        if last[a] < first[a]:
            raise ValueError(f"{what} needs its low corner first; got "
                             f"{span(sim, a, first[a], last[a])} (nodes {first[a]} .. {last[a]})")
    return check_cells(sim, first, [max(n1 - n0, 1) for n0, n1 in zip(first, last)], what)


def check_cells(sim, offset, size, what: str):
    """Check that cells offset .. offset + size - 1 lie within the box along
    each axis (at least one); returns (offset, size) as int tuples."""
    offsets, sizes = sequence(offset), sequence(size)
    if offsets is None or sizes is None or len(offsets) != 3 or len(sizes) != 3:
        raise ValueError(f"{what} needs 3 offsets and 3 sizes, got {offset!r}, {size!r}")
    # a cell index is a whole number: 5.7 is no cell, and flooring it moved
    # the feature without a word
    offset = tuple(count(v, f"{what} offset", None) for v in offsets)
    size = tuple(count(v, f"{what} size", None) for v in sizes)
    cells = sim.placement.shape
    for a in range(3):
        first, stop = offset[a], offset[a] + size[a]
        if size[a] < 1:
            raise ValueError(f"{what} needs at least one cell along each axis, got "
                             f"{size[a]} along {AXES[a]}")
        if first < 0 or stop > cells[a]:
            raise ValueError(f"{what}: cells {first} .. {stop - 1} along {AXES[a]} "
                             f"({span(sim, a, first, stop)}) reach outside the box's cells "
                             f"0 .. {cells[a] - 1}: {whole(sim, a)}")
    return offset, size


def check_nodes(sim, nodes, what: str, clear_of_layers: bool = True, flat: bool = False):
    """Check a box of node indices ((i0, j0, k0), (i1, j1, k1)) as
    ``node_box`` does, with the errors in length units; returns it as ints."""
    corners = sequence(nodes)
    corners = None if corners is None or len(corners) != 2 else [sequence(c) for c in corners]
    if corners is None or any(c is None or len(c) != 3 for c in corners):
        raise ValueError(f"{what} needs two corners of node indices ((i0, j0, k0), "
                         f"(i1, j1, k1)), got {nodes!r}")
    first, last = (tuple(count(v, f"{what} nodes", None) for v in c) for c in corners)
    cells = sim.placement.shape
    thin = [a for a in range(3) if last[a] == first[a]]
    if flat and len(thin) != 1:
        raise ValueError(f"{what} needs one axis of zero extent (the plane's) and the others at "
                         f"least one cell wide, got nodes {first} .. {last}")
    for a in range(3):
        if last[a] < first[a] or (last[a] == first[a] and not flat):
            raise ValueError(f"{what} needs every axis at least one cell wide, low corner first; "
                             f"got {span(sim, a, first[a], last[a])} "
                             f"(nodes {first[a]} .. {last[a]})")
        if first[a] < 0 or last[a] > cells[a]:
            raise ValueError(f"{what}: nodes {first[a]} .. {last[a]} along {AXES[a]} "
                             f"({span(sim, a, first[a], last[a])}) lie outside the box's nodes "
                             f"0 .. {cells[a]}: {whole(sim, a)}")
        # each face's own cells: a graded axis has as many cells in its two
        # layers only where the layers' cells are alike
        low, high = sim.faces[a]
        if clear_of_layers and (low or high) and (first[a] < low or last[a] > cells[a] - high):
            raise ValueError(f"{what}: {span(sim, a, first[a], last[a])} reaches "
                             f"into the absorbing layers; keep it within "
                             f"{span(sim, a, low, cells[a] - high)}")
    return first, last


def direction(value) -> tuple[int, int]:
    """(axis, sign) from "+x", "-y", "z" (plus), ..."""
    text = str(value).strip().lower()
    sign = -1 if text.startswith("-") else 1
    name = text.lstrip("+-")
    if name not in ("x", "y", "z") or len(text) - len(name) > 1:
        raise ValueError(f"direction must be one of +x, -x, +y, -y, +z, -z, got {value!r}")
    return AXES.index(name), sign
