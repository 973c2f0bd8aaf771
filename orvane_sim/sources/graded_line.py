"""The incident line of a plane wave whose travel axis has unequal cells.

A total-field/scattered-field plane injects, at the magnetic cell below it
and the electric node above it, incident fields that must obey the box's
own discrete equations there: those two updates read the box's cells
``plane`` and ``plane + 1``. So the line takes the box's cell ``plane``
(line cell ``node - 1``) and every cell below, the drive's among them, and
the box's cell ``plane + 1`` and every cell above: a uniform line on each
side of the node, each cell dividing by its own spacing and the node by
its dual spacing, as the box does (``grid.coefficients``).

Above the node the box's cells may grow or shrink, the line's do not: the
line carries the plane wave of the uniform grid, and whatever the box's
grading reflects is scattered field. It crosses the plane like any other
and a flux plane below counts it as reflection, so reflection and
transmission still add up to what came in; in an empty box the reflection
is that of the grid's grading alone, a measure of it.
"""
from __future__ import annotations

import math

import torch

from .incident import C128, IncidentLine, LineSpectra


class GradedIncidentLine(IncidentLine):
    """``IncidentLine`` along a non-uniform z (``axis``, a
    ``grid.rectilinear.Axis``) for a plane whose first total-field node is
    the box's node ``plane`` + 1. ``spacing``: the box's (dx, dy, ·), read
    along x and y for an oblique wave. Other arguments as the parent's; the
    drive sits where the line is uniform, in cells of the box's cell
    ``plane``, and takes its values from the parent's table."""

    GROWING = {**IncidentLine.GROWING, "ch": 1, "ce": 1}

    def __init__(self, k: torch.Tensor, polarization: torch.Tensor, waveform, spacing, axis,
                 plane: int, dt: float, device, duration: float, gap: int = 4):
        self.axis, self.plane = axis, plane
        below = float(axis.primal[plane])
        super().__init__(k, polarization, waveform, (spacing[0], spacing[1], below), dt, device,
                         duration, gap)
        # the low end as the parent sized it; the high end long enough for
        # half the light path past the node in the cells above it
        top = self._size(self.node)
        self._resize(self.node + math.ceil(0.55 * duration / top) + self.MARGIN)
        self.ch, self.ce = self._coefficients()

    def _size(self, cell: int) -> float:
        """The length of line cell ``cell``: the box's cell ``plane`` up to
        the node, the box's cell ``plane + 1`` from there on."""
        above = cell >= self.node and self.plane + 1 < self.axis.cells
        return float(self.axis.primal[self.plane + 1 if above else self.plane])

    def _resize(self, cells: int) -> None:
        """Silent line nodes up to ``cells`` cells in all."""
        extra = cells - self.cells
        if extra > 0:
            f = self.fields
            self.fields = torch.cat([f, f.new_zeros(6, f.shape[1], extra)], 2)
            self.cells = cells

    def _coefficients(self):
        """dt / Δ of each cell (the magnetic update) and dt / Δ* of each
        node past the first (the electric one), complex, as one row."""
        # one cell past the end, for the last node's dual spacing
        sizes = torch.tensor([self._size(c) for c in range(self.cells + 1)], dtype=torch.float64)
        dual = 0.5 * (sizes[1:] + sizes[:-1])
        device = self.fields.device
        # (length below the drive, length above it, the top cell), which
        # change only as the line grows
        self._lengths = (self.start * self.dz, float(sizes[self.start:-1].sum()),
                         float(sizes[-2]))
        return ((self.dt / sizes[:-1]).to(C128).to(device)[None],
                (self.dt / dual).to(C128).to(device)[None])

    def _holds(self, driven: int) -> bool:
        """The parent's rule in lengths: the light cone, with ``MARGIN`` end
        cells to spare, stays inside the line at both ends."""
        cone = (driven + 1) * self.dt
        low, high, top = self._lengths
        return cone + self.MARGIN * self.dz < low and cone + self.MARGIN * top < high

    def _grown(self) -> None:
        self.ch, self.ce = self._coefficients()

    def step_h(self) -> None:
        self._grow_if_needed()
        drive = self.drive.at(self.steps)[0]
        ch = self.ch
        Ex, Ey, Ez, Hx, Hy = self.Ex, self.Ey, self.Ez, self.Hx, self.Hy
        Hx[:, :-1] += ch * (Ey[:, 1:] - Ey[:, :-1]) - self.iky * Ez[:, :-1]
        Hy[:, :-1] += self.ikx * Ez[:, :-1] - ch * (Ex[:, 1:] - Ex[:, :-1])
        self.Hz.add_(self.iky * Ex - self.ikx * Ey)
        self.fields[2:4, :, self.start] += drive

    def step_e(self) -> None:
        drive = self.drive.at(self.steps)[1]
        ce = self.ce
        Hx, Hy, Hz = self.Hx, self.Hy, self.Hz
        self.Ex[:, 1:] += self.iky * Hz[:, 1:] - ce * (Hy[:, 1:] - Hy[:, :-1])
        self.Ey[:, 1:] += ce * (Hx[:, 1:] - Hx[:, :-1]) - self.ikx * Hz[:, 1:]
        self.Ez.add_(self.ikx * Hy - self.iky * Hx)
        self.fields[0:2, :, self.start + 1] += drive
        self.steps += 1
        self.driven += 1

    def onto_node(self, below: torch.Tensor, above: torch.Tensor) -> torch.Tensor:
        """A magnetic value at ``node`` from the cells below and above it,
        on the straight line between their centres."""
        d0, d1 = self._size(self.node - 1), self._size(self.node)
        return (d1 * below + d0 * above) / (d0 + d1)


class BoxIncidentLine(GradedIncidentLine):
    """``IncidentLine`` of a total-field box whose travel axis ``axis`` has
    unequal cells: from its node on, the line's cells are the box's own
    along that axis in the order the wave crosses them (past the box's far
    end, its last cell's), so that across the box the line obeys the box's
    equations and an empty box's corrections cancel to rounding; below the
    node, its cells are the one just outside the entry face. ``entry``: the
    box's node that the line's node stands for; ``sign``: +1 travelling
    towards higher indices, -1 the other way (the line's cell ``node + r``
    is then the box's cell ``entry - 1 - r``). What the grading reflects is
    part of the incident wave here, inside the box and out."""

    def __init__(self, k: torch.Tensor, polarization: torch.Tensor, waveform, axis, entry: int,
                 sign: int, dt: float, device, duration: float, gap: int = 4):
        self.entry, self.sign = entry, sign
        outside = entry - 1 if sign > 0 else entry
        super().__init__(k, polarization, waveform, (1.0, 1.0), axis, outside, dt, device,
                         duration, gap)

    def _size(self, cell: int) -> float:
        r = cell - self.node
        if r < 0:
            return float(self.axis.primal[self.plane])
        box = self.entry + r if self.sign > 0 else self.entry - 1 - r
        return float(self.axis.primal[min(max(box, 0), self.axis.cells - 1)])


class GradedLineSpectra(LineSpectra):
    """``LineSpectra`` of a ``GradedIncidentLine``: H onto the node on the
    straight line between the unequal cells either side, as a flux plane
    on the box's node does."""

    def _magnetic(self, fields: torch.Tensor, at: int) -> torch.Tensor:
        return 2 * self.line.onto_node(fields[2:4, :, at - 1], fields[2:4, :, at])


def line_duration(axis, dt: float) -> float:
    """The run time a plane wave's line is first sized for on a graded z:
    twice the box's length and 200 steps, as on a uniform one."""
    return 2.0 * axis.length + 200.0 * dt

