"""A box of current density J(t): the electric field loses dt·J/ε at each
of its nodes every step. Timing and slots as for every source
(``waveforms``)."""
from __future__ import annotations

from typing import Sequence

import torch

from ..core.descriptions import recorded
from ..core.steptables import StepTable
from ..grid import positions
from ..grid.arguments import real, triple, waveform as checked_waveform
from ..grid.coefficients import EPS0
from .waveforms import Waveform, band_edge, slot_factor


class CurrentBox:
    """A current density J(t) = direction · f(t) over a box of cells.

    ``offset`` is the box's first cell (i, j, k), ``size`` its extent in
    cells; the box covers the same index range of Ex, Ey and Ez (their own
    staggered positions). Each step the electric field loses dt·J/ε at
    (n + 1/2)·dt, Ampère's law with the current as a source (ε the
    permittivity each node sees; the box must lie inside the grids).

    ``box``: ((x0, y0, z0), (x1, y1, z1)) in length units instead of
    ``offset`` and ``size``. The corners snap to nodes n0 .. n1 and the box
    takes cells n0 .. n1 - 1 along each axis, so a current along an axis
    runs from node n0 to node n1; an axis of zero extent takes the one cell
    n0 (a sheet or a line of current on the nodes there). Give one of the
    two forms; a z-directed line current from z = 0.2 to 0.4:
    ``CurrentBox(sim, waveform=pulse, box=((0.3, 0.3, 0.2), (0.3, 0.3, 0.4)))``.
    """

    @recorded
    def __init__(self, sim, offset: Sequence[int] | None = None,
                 size: Sequence[int] | None = None, waveform: Waveform | None = None,
                 direction=(0.0, 0.0, 1.0), box=None):
        if (box is None) == (offset is None and size is None):
            raise ValueError("give the CurrentBox's cells as offset and size, or its box in "
                             "length units (box=)")
        if waveform is None:
            raise ValueError("CurrentBox needs a waveform")
        checked_waveform(waveform, "CurrentBox")
        if box is not None:
            offset, size = positions.cell_box(sim, box, "CurrentBox box")
        elif offset is None or size is None:
            raise ValueError("CurrentBox needs both offset and size")
        else:
            offset, size = positions.check_cells(sim, offset, size, "CurrentBox")
        # the part of the box's cells that the tensors here hold; the halo
        # exchange settles the copies of nodes a neighbour owns
        local = [sim.placement.held(a, o, o + n, nodes=False)
                 for a, (o, n) in enumerate(zip(offset, size))]
        self.box = None
        if all(r is not None for r in local):
            self.offset = torch.tensor([lo for lo, _ in local], dtype=torch.int32)
            self.box = torch.ones(*sim.batch, *(hi - lo for lo, hi in local),
                                  dtype=torch.complex64, device=sim.device)
            self._unit = self.box.expand(3, *self.box.shape)
        self.direction = tuple(real(d, "CurrentBox direction")
                               for d in triple(direction, "CurrentBox direction"))
        self.waveform = waveform
        self.factor = slot_factor(sim)

    def band(self) -> float | None:
        """The highest frequency of the current's spectrum (``band_edge``),
        or None where its waveform does not say."""
        from ..monitors.frequency import SPECTRUM_FLOOR

        return band_edge(self.waveform, SPECTRUM_FLOOR)

    def _amplitudes(self, steps: torch.Tensor) -> torch.Tensor:
        """[m, 3, 1, 1, 1, 1, 1]: dt·J/ε0 per component at (n + 1/2)·dt of the
        steps n, in the slots' form."""
        dt = self._dt
        w = [self.waveform(n * dt + 0.5 * dt) * dt / EPS0 * self.factor for n in steps.tolist()]
        values = torch.tensor([[d * v for d in self.direction] for v in w],
                              dtype=torch.complex64)
        return values.reshape(-1, 3, 1, 1, 1, 1, 1)

    def prepare_steps(self, sim, first: int, count: int) -> None:
        self._table(sim).fill(first, count)

    def _table(self, sim) -> StepTable:
        if getattr(self, "_steps", None) is None:
            self._dt = sim.dt
            self._steps = StepTable(self._amplitudes, sim.device)
        return self._steps

    def after_h(self, sim) -> None:
        pass

    def _boxes(self, sim):
        """The box per component, divided by the permittivity its nodes see
        (the current enters after the electric update's division by it), as
        one tensor [3, B0, B1, X, Y, Z]."""
        if sim.medium is None:
            return self._unit
        if getattr(self, "_medium", None) is not sim.medium:
            o = [int(v) for v in self.offset]
            sx, sy, sz = self.box.shape[2:]
            self._scaled = torch.stack([
                self.box / den[None, :, o[0]:o[0] + sx, o[1]:o[1] + sy, o[2]:o[2] + sz]
                for den in sim.permittivity()])
            self._medium = sim.medium
        return self._scaled

    def after_e(self, sim) -> None:
        if self.box is None:
            return
        Jx, Jy, Jz = self._boxes(sim) * self._table(sim).at(sim.steps_done)
        sim.module.Inject_J(sim.Ex, sim.Ey, sim.Ez, Jx, Jy, Jz, self.offset)
