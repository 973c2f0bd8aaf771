"""A rectilinear grid: along each axis either one spacing or the node
coordinates themselves.

Along one axis of N cells the nodes x_0 = 0 < x_1 < ... < x_N are the
corners of the cells (the primal grid, where the electric field's
components lie on the edges); the centres c_i = (x_i + x_{i+1}) / 2 are
where the magnetic field's components lie (the dual grid). Two spacings
follow, one per kind of point:

- the primal spacing of cell i, Δ_i = x_{i+1} - x_i, the distance between
  the two electric nodes a magnetic difference spans (E[i+1] - E[i] sits at
  c_i), and the length of cell i;
- the dual spacing of node i, Δ*_i = c_i - c_{i-1} = (Δ_{i-1} + Δ_i) / 2,
  the distance between the two magnetic points an electric difference spans
  (H[i] - H[i-1] sits at x_i), and the length of node i's dual cell. At the
  box's two end nodes the dual cell stops at the face: Δ*_0 = Δ_0 / 2 and
  Δ*_N = Δ_{N-1} / 2.

On a uniform axis every Δ_i and every interior Δ*_i is the one spacing h,
and the box keeps today's arithmetic bit for bit: ``Axis.uniform`` holds h
there and every user of an axis that finds it set takes that path.

The box's node 0 lies at the origin of every axis, as on a uniform one, so
given coordinates start at 0.
"""
from __future__ import annotations

import torch

from .arguments import count, real, sequence, triple

F64 = torch.float64
AXES = "xyz"
MAX_CELLS_PER_AXIS = 65535  # the kernels' 16-bit indices
# Cells equal to this share of their mean make a uniform axis: coordinates
# written out for a uniform grid (linspace) differ from i·h in the last bits.
UNIFORM_TOLERANCE = 1e-9


class Axis:
    """One axis of a rectilinear grid: its node coordinates ``nodes``
    (float64 [N + 1], from 0), and ``uniform``, the one spacing where every
    cell has it (None where they differ)."""

    # slots, no __dict__: an axis is how the box was built, not state that a
    # checkpoint walks into (``core.checkpoint``); ``describe`` says it
    __slots__ = ("nodes", "uniform", "name", "primal", "centres", "dual")

    def __init__(self, nodes: torch.Tensor, uniform: float | None, name: str = "x"):
        self.nodes = nodes
        self.uniform = uniform
        self.name = name
        self.primal = nodes[1:] - nodes[:-1]              # [N]: Δ_i, cell i's length
        self.centres = 0.5 * (nodes[1:] + nodes[:-1])     # [N]: c_i, the magnetic points
        dual = torch.empty_like(nodes)                    # [N + 1]: Δ*_i
        dual[1:-1] = self.centres[1:] - self.centres[:-1]
        dual[0], dual[-1] = 0.5 * self.primal[0], 0.5 * self.primal[-1]
        self.dual = dual

    @classmethod
    def spaced(cls, cells: int, h: float, name: str = "x") -> "Axis":
        """``cells`` cells of size ``h``."""
        return cls(torch.arange(cells + 1, dtype=F64) * h, float(h), name)

    @classmethod
    def from_coordinates(cls, values, name: str = "x") -> "Axis":
        """The axis through the given node coordinates (strictly increasing,
        from 0); a uniform axis where every cell is as long as their mean."""
        what = f"grid {name}"
        try:
            nodes = torch.as_tensor(values, dtype=F64).detach().cpu().clone()
        except (TypeError, ValueError, RuntimeError):
            raise TypeError(f"{what} needs a spacing (a number) or node coordinates (a "
                            f"sequence of numbers), got {values!r}") from None
        if nodes.dim() != 1 or nodes.numel() < 2:
            raise ValueError(f"{what} needs at least two node coordinates in one dimension "
                             f"(one cell), got shape {tuple(nodes.shape)}")
        if not bool(torch.isfinite(nodes).all()):
            raise ValueError(f"{what}: node coordinates must be finite, got "
                             f"{nodes[~torch.isfinite(nodes)][0].item()}")
        steps = nodes.diff()
        if not bool((steps > 0).all()):
            i = int((steps <= 0).nonzero()[0])
            raise ValueError(f"{what}: node coordinates must be strictly increasing, but node "
                             f"{i + 1} ({nodes[i + 1].item():g}) does not lie above node {i} "
                             f"({nodes[i].item():g})")
        if nodes[0].item() != 0.0:
            raise ValueError(f"{what}: node coordinates start at the box's origin, 0 (node 0 "
                             f"of every axis lies there), got {nodes[0].item():g} first; give "
                             f"them shifted, nodes - nodes[0]")
        cells = steps.numel()
        if cells > MAX_CELLS_PER_AXIS:
            raise ValueError(f"{what} has {cells} cells, more than the kernels' "
                             f"{MAX_CELLS_PER_AXIS}")
        mean = nodes[-1].item() / cells
        if bool(((steps - mean).abs() <= UNIFORM_TOLERANCE * mean).all()):
            return cls.spaced(cells, mean, name)
        return cls(nodes, None, name)

    @property
    def cells(self) -> int:
        return self.primal.numel()

    @property
    def length(self) -> float:
        return float(self.nodes[-1])

    @property
    def smallest(self) -> float:
        """The shortest cell: what the time step follows."""
        return self.uniform if self.uniform is not None else float(self.primal.min())

    def at(self, index) -> float:
        """Node ``index``'s coordinate (a fractional index between nodes, on
        the straight line through them)."""
        if self.uniform is not None:
            return index * self.uniform
        return float(self.index_to_length(torch.tensor([float(index)], dtype=F64))[0])

    def nearest(self, value: float) -> int:
        """The node nearest ``value`` (a tie goes to the lower node)."""
        if self.uniform is not None:
            return round(value / self.uniform)
        i = int(torch.searchsorted(self.nodes, torch.tensor([value], dtype=F64))[0])
        if i == 0:
            return 0
        if i > self.cells:
            return self.cells
        below, above = float(self.nodes[i - 1]), float(self.nodes[i])
        return i - 1 if value - below <= above - value else i

    def cell_at(self, index: int) -> float:
        """The length of the cell ``index`` (held to the box's cells): the
        scale of a snap near that node."""
        return self.uniform if self.uniform is not None else \
            float(self.primal[min(max(index, 0), self.cells - 1)])

    # Index space: the axis mapped onto the node indices, piecewise linearly.
    # Painting samples each cell in it, so that every cell, whatever its
    # length, gets the same number of samples.

    def index_to_length(self, u: torch.Tensor, dual: bool = False) -> torch.Tensor:
        """Coordinates of the fractional node indices ``u``: node n at u = n,
        straight between nodes (``dual``: centre c_k at u = k + 1/2, straight
        between centres, so that a dual cell maps onto [n - 1/2, n + 1/2]),
        and past the ends on the line of the end cell."""
        knots_u, knots_x = self._knots(dual)
        return _piecewise(u, knots_u, knots_x)

    def length_to_index(self, x: torch.Tensor, dual: bool = False) -> torch.Tensor:
        """The inverse of ``index_to_length``."""
        knots_u, knots_x = self._knots(dual)
        return _piecewise(x, knots_x, knots_u)

    def _knots(self, dual: bool):
        n = self.cells
        if not dual:
            return torch.arange(n + 1, dtype=F64), self.nodes
        # the centres, with one more past each face at the end cell's distance
        x = torch.cat([self.nodes[:1] - 0.5 * self.primal[:1], self.centres,
                       self.nodes[-1:] + 0.5 * self.primal[-1:]])
        return torch.arange(n + 2, dtype=F64) - 0.5, x

    def cell_lengths(self) -> torch.Tensor:
        """float64 [N]: each cell's length, the one spacing repeated exactly on
        a uniform axis (where the nodes' differences would round it)."""
        if self.uniform is not None:
            return torch.full((self.cells,), self.uniform, dtype=F64)
        return self.primal

    def part(self, first: int, stop: int) -> "Axis":
        """The axis of cells first .. stop - 1 (a slab's), from its first
        node; non-uniform where this axis is, even where those cells happen
        to be equal, so that every part of a box takes the same arithmetic."""
        if not 0 <= first < stop <= self.cells:
            raise ValueError(f"cells {first} .. {stop - 1} are not cells of the {self.cells} "
                             f"along {self.name}")
        if self.uniform is not None:
            return Axis.spaced(stop - first, self.uniform, self.name)
        nodes = self.nodes[first:stop + 1]
        return Axis(nodes - nodes[0], None, self.name)

    def describe(self):
        """Plain data: the spacing, or the coordinates."""
        return self.uniform if self.uniform is not None else self.nodes.tolist()


def _piecewise(v: torch.Tensor, knots_in: torch.Tensor, knots_out: torch.Tensor) -> torch.Tensor:
    """The piecewise-linear map through (knots_in, knots_out) at ``v``, both
    knot lists increasing; past the ends on the line of the end piece."""
    v = torch.as_tensor(v, dtype=F64)
    i = (torch.searchsorted(knots_in, v.reshape(-1).contiguous()) - 1).clamp(
        0, knots_in.numel() - 2)
    i = i.reshape(v.shape)
    a, b = knots_in[i], knots_in[i + 1]
    return knots_out[i] + (v - a) / (b - a) * (knots_out[i + 1] - knots_out[i])


class RectilinearGrid:
    """The box's three axes (``Axis``): per axis a spacing or node
    coordinates.

    ``RectilinearGrid(x, y, z)``: each a spacing (a number: with ``cells``
    for that axis) or node coordinates (a sequence, from 0, strictly
    increasing). ``RectilinearGrid.uniform(cells, spacing)`` is the grid of
    a uniform box.
    """

    __slots__ = ("axes",)

    def __init__(self, x, y, z, cells=None):
        given = (x, y, z)
        counts = (None,) * 3 if cells is None else triple(cells, "grid cells")
        self.axes = tuple(_axis(v, n, a) for a, (v, n) in enumerate(zip(given, counts)))

    @classmethod
    def uniform(cls, cells, spacing) -> "RectilinearGrid":
        grid = cls.__new__(cls)
        grid.axes = tuple(Axis.spaced(int(n), float(h), AXES[a])
                          for a, (n, h) in enumerate(zip(cells, spacing)))
        return grid

    @classmethod
    def of(cls, value) -> "RectilinearGrid":
        """``value`` as a grid: a grid, or three entries (spacings with no
        count are refused: a number needs the cells it spans)."""
        if isinstance(value, RectilinearGrid):
            return value
        entries = sequence(value)
        if entries is None or len(entries) != 3:
            raise ValueError(f"grid needs a RectilinearGrid or three entries (x, y, z), each "
                             f"node coordinates or a (cells, spacing) pair, got {value!r}")
        return cls(*entries)

    @property
    def shape(self) -> tuple[int, int, int]:
        return tuple(a.cells for a in self.axes)

    @property
    def spacing(self) -> tuple:
        """Per axis its spacing, or None where its cells differ."""
        return tuple(a.uniform for a in self.axes)

    @property
    def is_uniform(self) -> bool:
        return all(a.uniform is not None for a in self.axes)

    def non_uniform_axes(self) -> tuple[int, ...]:
        return tuple(i for i, a in enumerate(self.axes) if a.uniform is None)

    def smallest(self) -> tuple[float, float, float]:
        """The shortest cell of each axis."""
        return tuple(a.smallest for a in self.axes)

    def describe(self) -> list:
        return [a.describe() for a in self.axes]

    def __getitem__(self, axis: int) -> Axis:
        return self.axes[axis]

    def __repr__(self) -> str:
        parts = []
        for a in self.axes:
            if a.uniform is not None:
                parts.append(f"{a.name}: {a.cells} x {a.uniform:g}")
            else:
                parts.append(f"{a.name}: {a.cells} cells {float(a.primal.min()):g} .. "
                             f"{float(a.primal.max()):g}")
        return f"RectilinearGrid({', '.join(parts)})"


def _axis(value, cells, axis: int) -> Axis:
    """One axis from a spacing (with its cell count), a (cells, spacing)
    pair, node coordinates or an ``Axis``."""
    name = AXES[axis]
    if isinstance(value, Axis):
        return value
    entries = sequence(value)
    if entries is None:
        h = real(value, f"grid {name} spacing", positive=True)
        if cells is None:
            raise ValueError(f"grid {name}: a spacing ({h:g}) needs the number of cells it "
                             f"spans: give (cells, spacing), or node coordinates")
        return Axis.spaced(count(cells, f"grid {name} cells", 1, MAX_CELLS_PER_AXIS), h, name)
    if len(entries) == 2 and cells is None and not _all_float_like(entries):
        n, h = entries
        return Axis.spaced(count(n, f"grid {name} cells", 1, MAX_CELLS_PER_AXIS),
                           real(h, f"grid {name} spacing", positive=True), name)
    return Axis.from_coordinates(value, name)


def _all_float_like(entries) -> bool:
    """Whether a pair reads as two coordinates (0.0, 0.5) rather than a
    (cells, spacing) pair: a pair of coordinates starts at 0 and the cells
    of a (cells, spacing) pair are an integer of at least 1."""
    first = entries[0]
    if isinstance(first, torch.Tensor):
        first = first.item()
    return not (isinstance(first, int) and not isinstance(first, bool) and first >= 1)


def coordinates(axis: Axis, first: int, stop: int, half: bool) -> torch.Tensor:
    """float64 coordinates of nodes first .. stop - 1 of ``axis``, or with
    ``half`` of the centres of cells first .. stop - 1."""
    if axis.uniform is not None:
        return (torch.arange(first, stop, dtype=F64) + (0.5 if half else 0.0)) * axis.uniform
    return axis.index_to_length(torch.arange(first, stop, dtype=F64) + (0.5 if half else 0.0))


def span_lengths(cells: torch.Tensor, half: bool) -> torch.Tensor:
    """float64 lengths that the samples along a span of cells stand for,
    given the span's cell lengths ``cells`` [n]: at its n half positions
    each its own cell; at its n + 1 nodes half of each cell beside it in
    the span (the trapezoid rule: each node's dual cell, cut at the span's
    ends). Over a whole axis the nodes' lengths are ``Axis.dual``. Flux
    rectangles, flux planes, mode overlaps and the flux objective all
    weigh their points by these."""
    cells = cells.to(F64)
    if half:
        return cells.clone()
    zero = cells.new_zeros(1)
    return 0.5 * (torch.cat([zero, cells]) + torch.cat([cells, zero]))


def sample_volumes(grid: RectilinearGrid, component: int, magnetic: bool, counts,
                   first=(0, 0, 0)) -> torch.Tensor:
    """float64 [X, Y, Z]: the volume each sample of a field component
    stands for. An electric component lies on the primal edges: the
    primal spacing along its own axis, the dual spacing along the others;
    a magnetic one the other way round. ``counts``: the component's samples
    per axis, from the box's index ``first`` on each (a slab's part: the
    entries of each axis' spacings from there)."""
    parts = []
    for a, (axis, n, i) in enumerate(zip(grid.axes, counts, first)):
        primal = (a == component) != magnetic
        w = axis.primal if primal else axis.dual
        if i + n > w.numel():
            raise ValueError(f"{n} samples from {i} along {axis.name} pass the "
                             f"{w.numel()} the box has")
        shape = [1, 1, 1]
        shape[a] = n
        parts.append(w[i:i + n].reshape(shape))
    return parts[0] * parts[1] * parts[2]


def require_uniform(sim, feature: str, axes=(0, 1, 2)) -> None:
    """Refuse ``feature`` where any of ``axes`` of ``sim``'s box is
    non-uniform: a ValueError naming the feature, the axis and its cells."""
    for a in axes:
        if sim.spacing[a] is None:
            axis = sim.grid[a]
            raise ValueError(
                f"{feature} needs a uniform grid along {axis.name}, but this box's {axis.name} "
                f"axis is non-uniform (cells {float(axis.primal.min()):g} .. "
                f"{float(axis.primal.max()):g}); it does not take a non-uniform axis yet: "
                f"give that axis one spacing")


def onto_node(axis: Axis, node: int) -> tuple[float, float]:
    """Weights (below, above) that carry the magnetic values of the cells
    node - 1 and node onto ``node`` along the straight line between their
    centres: Δ_node / (2 Δ*_node) and Δ_{node-1} / (2 Δ*_node), ½ and ½
    between equal cells."""
    d0, d1 = float(axis.primal[node - 1]), float(axis.primal[node])
    return d1 / (d0 + d1), d0 / (d0 + d1)
