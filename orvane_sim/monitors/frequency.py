"""Frequency-domain monitors for the driver.

Time-harmonic fields go as exp(-i 2π ν t) (as in ``orvane_sim.materials``), so a
monitor recovers the amplitude at ν with the Fourier sum

    Ê(ν) = Σ_n E(t_n) · exp(+i 2π ν t_n) · dt,

adding factor(ν)·E after every step through the module's monitor, one
complex accumulator per sampled node and frequency. A complex run (b2 = 2)
holds E = slot 0 + i·slot 1; each slot is summed on its own and the two are
combined when read. The magnetic field lags the electric one by half a
step, so its sums use t_n - dt/2: E and H spectra then share one phase
reference.
"""
from __future__ import annotations

import math
from typing import Sequence

import torch

from ..core.descriptions import recorded
from ..grid import memory, positions
from ..grid.arguments import count, frequencies as checked_frequencies, sequence


def fourier_factors(frequencies: torch.Tensor, t: float, dt: float) -> torch.Tensor:
    """dt·exp(+i 2π ν t) per frequency (complex64)."""
    phase = 2.0 * math.pi * frequencies * t
    return (dt * torch.polar(torch.ones_like(phase), phase)).to(torch.complex64)


class StepFactors:
    """The Fourier factors of the coming steps, ``CHUNK`` at a time: dt·exp(+i
    2π ν t) after step n, at t = n·dt, or at n·dt - dt/2 for the magnetic
    field (``half_step_behind``). Each chunk is one handful of tensor operations on the
    device, where a per-step ``fourier_factors`` cost about as much as the
    sums of a small plane; the values are the same bits."""

    CHUNK = 256

    def __init__(self, frequencies: torch.Tensor, half_step_behind: bool = False):
        self.frequencies = frequencies
        self.behind = half_step_behind
        self.first, self.table = 0, None

    def at(self, sim) -> torch.Tensor:
        """The factors [F] (complex64, on the simulation's device) for the
        step just done."""
        n = sim.steps_done
        if self.table is None or not self.first <= n < self.first + self.CHUNK \
                or self.table.device != sim.device:
            steps = torch.arange(n, n + self.CHUNK, dtype=torch.float64)[:, None]
            t = steps * sim.dt - 0.5 * sim.dt if self.behind else steps * sim.dt
            self.first = n
            self.table = fourier_factors(self.frequencies[None, :], t, sim.dt).to(sim.device)
        return self.table[n - self.first]


def _slots(sim):
    """The trailing slots of a field and the complex weight of each."""
    return [(0, 1.0)] if sim.b2 == 1 else [(0, 1.0), (1, 1j)]


class FrequencyMonitor:
    """Fourier sums of Ex, Ey, Ez over the box of indices x_range, y_range,
    z_range (first, last) at the given frequencies.

    The box spans last - first + 2 nodes along each axis, one more than its
    cells, and each component is sampled at its own staggered positions: Ex
    at x = first .. last (its own axis), y = first .. last + 1, z likewise.
    ``slot`` picks the trailing batch slot of the fields that is monitored
    (in a complex run 0 is the real part, 1 the imaginary part). The
    accumulators ``Ex``, ``Ey``, ``Ez`` are [B0, B1, X, Y, Z, F]; in a run
    split into slabs each rank holds the part of the box it owns (None if
    it owns none of it), and ``gathered()`` puts them together.

    ``box``: ((x0, y0, z0), (x1, y1, z1)) in length units instead of the
    three ranges. The corners snap to nodes n0 .. n1 and the ranges are
    the cells between them, (n0, n1 - 1), so the sampled nodes run from n0
    to n1; an axis of zero extent takes the one cell (n0, n0), nodes n0 and
    n0 + 1. Give one of the two forms.
    """

    @recorded
    def __init__(self, sim, frequencies: Sequence[float], x_range=None, y_range=None,
                 z_range=None, slot: int = 0, box=None):
        slot = count(slot, "FrequencyMonitor slot", 0, sim.b2 - 1)
        self.frequencies = checked_frequencies(frequencies, "FrequencyMonitor", sim.dt)
        given = [r is not None for r in (x_range, y_range, z_range)]
        if not (all(given) if box is None else not any(given)):
            raise ValueError("give the FrequencyMonitor's cells as x_range, y_range and "
                             "z_range, or its box in length units (box=)")
        if box is not None:
            offset, size = positions.cell_box(sim, box, "FrequencyMonitor box")
            ranges = [(o, o + n - 1) for o, n in zip(offset, size)]
        else:
            ranges = []
            for name, r in (("x_range", x_range), ("y_range", y_range), ("z_range", z_range)):
                pair = sequence(r)
                if pair is None or len(pair) != 2:
                    raise ValueError(f"FrequencyMonitor {name} needs (first, last) cells, got "
                                     f"{r!r}")
                ranges.append(tuple(count(v, f"FrequencyMonitor {name}", None) for v in pair))
            if min(b - a + 2 for a, b in ranges) < 2:
                raise ValueError("each range must hold at least one cell (last >= first)")
            # the whole range lies in the box: a slab sums the part it owns
            positions.check_cells(sim, [a for a, _ in ranges], [b - a + 1 for a, b in ranges],
                                  "FrequencyMonitor ranges")
        # the cells this part owns; the node after the last one is a valid
        # copy once the halo is exchanged, and the next part's first node
        self.placement = place = sim.placement
        self._spacing = tuple(sim.spacing)  # for its pictures
        ranges = [place.owned(axis, a, b) for axis, (a, b) in enumerate(ranges)]
        self.Ex = self.Ey = self.Ez = None
        if min(b - a for a, b in ranges) < 0:
            return
        self.ranges = [torch.tensor(r, dtype=torch.int32) for r in ranges]
        MX, MY, MZ = (b - a + 2 for a, b in ranges)
        F = len(self.frequencies)
        dev = sim.device
        B0, B1 = sim.batch
        sums = B0 * B1 * F * ((MX - 1) * MY * MZ + MX * (MY - 1) * MZ + MX * MY * (MZ - 1))
        memory.require(8 * sums, dev, f"a FrequencyMonitor of {MX - 1} × {MY - 1} × {MZ - 1} "
                       f"cells at {F} frequencies",
                       "monitor fewer cells or fewer frequencies")

        def acc(x, y, z):
            return torch.zeros(B0, B1, x, y, z, F, dtype=torch.complex64, device=dev)

        self.Ex, self.Ey, self.Ez = acc(MX - 1, MY, MZ), acc(MX, MY - 1, MZ), acc(MX, MY, MZ - 1)
        self.slot = slot
        self.step_factors = StepFactors(self.frequencies)

    def gathered(self) -> dict | None:
        """The whole box's accumulators, {"Ex": ..., "Ey": ..., "Ez": ...}:
        the monitor's own in one process; in a run split into slabs, on rank
        0 (on the CPU), None on the other ranks. A collective: every rank
        calls it."""
        parts = None if self.Ex is None else {"Ex": self.Ex, "Ey": self.Ey, "Ez": self.Ez}
        axis = self.placement.axis
        if axis is None:
            return parts
        names = ("Ex", "Ey", "Ez")
        return self.placement.concat(parts, {n: 2 + axis for n in names},
                                     {n: c != axis for c, n in enumerate(names)})

    def plot(self, component="Ez", frequency=None, x=None, y=None, z=None, b0: int = 0,
             b1: int = 0, ax=None):
        """A picture of one component's magnitude |Ê| on a plane of the
        monitor's box, at one of its frequencies; returns the matplotlib
        Figure (``ax``'s, where axes are given to draw into).

        ``component``: "Ex", "Ey" or "Ez". ``frequency``: one of the
        monitor's (the first by default). ``x``, ``y`` or ``z``: the plane,
        a coordinate in length units within the box, shown on the
        component's samples nearest it; by default the box's thinnest axis
        at its first sample (a sheet's own plane). ``b0``, ``b1``: which
        batch entry. On slabs each process draws the part it holds."""
        from ..plotting import plot_monitor

        return plot_monitor(self, self._spacing, component=component, frequency=frequency,
                            x=x, y=y, z=z, b0=b0, b1=b1, ax=ax)

    def update(self, sim) -> None:
        if self.Ex is None:
            return
        s = slice(self.slot, self.slot + 1)  # one slot, shared by every frequency
        sim.module.Monitor_Update_E(self.Ex, self.Ey, self.Ez,
                                    sim.Ex[..., s], sim.Ey[..., s], sim.Ez[..., s],
                                    self.step_factors.at(sim), *self.ranges)

