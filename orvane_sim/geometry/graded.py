"""Objects painted on a rectilinear grid whose cells differ in size.

Painting (``painting``) averages each object's fill over every node's dual
cell from a lattice that is uniform over the object's box. On an axis of
unequal cells that lattice would either starve the small cells or cost the
ratio of the largest cell to the smallest in samples per large one. So each
non-uniform axis is painted in index space instead: the axis mapped
piecewise linearly onto its node indices, where every cell is one unit long
and gets ``resolution`` lattice cells of its own size.

The map differs by the kind of point. Along its own axis an electric
component lies at the cell centres and its dual cell is the cell itself,
[x_i, x_{i+1}]: the map through the nodes (node n at index n) is straight
over it. Across it the component lies on the nodes and its dual cell is
[c_{n-1}, c_n], between the neighbouring centres: the map through the
centres (c_k at index k + 1/2) is straight over it. Either way the map is
straight over each dual cell, so volume shares in index space are the
physical shares and sub-cell smoothing blends what each cell holds. Each
component is painted with its own maps; the shapes are asked about the
physical points, and their normals at the nodes' physical positions.

Uniform axes keep their lengths (and their arithmetic) as they are.
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import torch

from ..grid.rectilinear import RectilinearGrid
from .painting import material_grids
from .shapes import Object, Shape


@dataclass(frozen=True)
class IndexSpaceShape(Shape):
    """``shape`` as seen in the painting frame of electric component
    ``component`` of ``grid``: non-uniform axes in index space (through the
    nodes along the component's own axis, through the centres across it),
    uniform ones in length."""

    shape: Shape
    grid: RectilinearGrid
    component: int

    def _dual(self, a: int) -> bool:
        return a != self.component

    def bounds(self):
        out = []
        for a, (lo, hi) in enumerate(self.shape.bounds()):
            axis = self.grid[a]
            if axis.uniform is not None:
                out.append((lo, hi))
                continue
            ends = []
            for v in (lo, hi):
                ends.append(v if not math.isfinite(v) else float(
                    axis.length_to_index(torch.tensor([v], dtype=torch.float64),
                                         self._dual(a))[0]))
            out.append(tuple(ends))
        return out

    def _physical(self, p: torch.Tensor, samples: bool) -> torch.Tensor:
        """Index-space points ``p`` [..., 3] in length units: through the
        map of each dual cell (``samples``) or the one through the nodes,
        exact at both nodes and centres (the points whose normals are asked)."""
        x = p.clone()
        for a, axis in enumerate(self.grid.axes):
            if axis.uniform is None:
                x[..., a] = axis.index_to_length(p[..., a], samples and self._dual(a))
        return x

    def contains(self, p):
        return self.shape.contains(self._physical(p, True))

    def lattice_axes(self, axes):
        """The shape asked and the lattice's three axes (index space, as
        ``painting.fill_fraction`` lays them) in length units: what
        ``contains`` does point by point, done once per axis."""
        out = []
        for a, (axis, values) in enumerate(zip(self.grid.axes, axes)):
            out.append(values if axis.uniform is not None
                       else axis.index_to_length(values, self._dual(a)))
        return self.shape, out

    def normal(self, p):
        return self.shape.normal(self._physical(p, False))


def graded_material_grids(objects, grid: RectilinearGrid, module, device, table, resolution=4,
                          supersample=2, smoothing=True, first_id: int = 1, out=None,
                          periodic=(), poles=None, off_diagonal=None, shape=None,
                          offset=(0, 0, 0)):
    """``painting.material_grids`` of the box on ``grid``, one with axes of
    unequal cells, each component in its own painting frame. Same
    arguments and result; ``shape`` and ``offset``: the grids are the part
    of the box of ``shape`` cells whose node 0 is the box's node ``offset``
    (a slab's; the whole box: None). In index space a node's index is its
    coordinate, so a part is painted as on equal cells. The smoothed
    tensor's entries (``off_diagonal``) take the shapes' normals at the
    nodes' physical positions and each node's covered share of its own
    dual cell, so they are the physical ones."""
    shape = grid.shape if shape is None else tuple(shape)
    if out is None:
        out = [(torch.zeros(1, *shape, device=device),
                torch.zeros(1, *shape, dtype=torch.uint8, device=device),
                torch.zeros(1, *shape, dtype=torch.uint8, device=device)) for _ in range(3)]
    if poles is None:
        from .painting import dispersive

        poles = [False] * first_id + [dispersive(o.material) for o in objects]
    frame = tuple(1.0 if h is None else h for h in grid.spacing)
    for component in range(3):
        mapped = [Object(IndexSpaceShape(o.shape, grid, component), o.material) for o in objects]
        material_grids(mapped, shape, frame, module, device, table, resolution, supersample,
                       smoothing, first_id, out, domain=grid.shape, offset=offset,
                       periodic=periodic, poles=poles, components=(component,),
                       off_diagonal=off_diagonal)
    return out
