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

Decimation: a monitor may sum every k-th step only, each sum weighted
k·dt. The sums over every k-th step are those over every step plus the
spectrum's copies shifted by multiples of 1/(k·dt) (the sampling theorem);
the fields of a run hold only the frequencies its sources send in (the
scheme is linear and time-invariant), so while the nearest copy,
1/(k·dt) - ν, lies beyond the sources' band, the two sums agree to that
band's floor. ``Decimation`` takes the largest such k from the sources'
``band()`` and the monitor's highest frequency, as Meep's decimation
factor does from its sources' widths; without a known band, every step.
"""
from __future__ import annotations

import math
import warnings
from typing import Sequence

import torch

from ..core.descriptions import recorded, settled
from ..core.steptables import StepTable
from ..grid import memory, positions
from ..grid.arguments import count, frequencies as checked_frequencies, sequence


def fourier_factors(frequencies: torch.Tensor, t: float, dt: float) -> torch.Tensor:
    """dt·exp(+i 2π ν t) per frequency (complex64)."""
    phase = 2.0 * math.pi * frequencies * t
    return (dt * torch.polar(torch.ones_like(phase), phase)).to(torch.complex64)


class StepFactors:
    """The Fourier factors of the steps a monitor sums, a ``StepTable`` of
    them: w·exp(+i 2π ν t) after step n, at t = n·dt, or at n·dt - dt/2 for
    the magnetic field (``half_step_behind``), with w = every·dt, the time
    that each sum of a monitor summing every ``every`` steps stands for.
    Each chunk of steps is one handful of tensor operations, where a
    per-step ``fourier_factors`` cost about as much as the sums of a small
    plane; the values are the same bits."""

    def __init__(self, frequencies: torch.Tensor, half_step_behind: bool = False,
                 every: int = 1):
        self.frequencies = frequencies
        self.behind = half_step_behind
        self.every = every
        self._table = None

    def _values(self, steps: torch.Tensor) -> torch.Tensor:
        dt = self._dt
        t = steps.to(torch.float64)[:, None] * dt
        if self.behind:
            t = t - 0.5 * dt
        return fourier_factors(self.frequencies[None, :], t, self.every * dt)

    def table(self, sim) -> StepTable:
        """The table on the simulation's device, made at the first call."""
        if self._table is None or self._dt != sim.dt or self._device != sim.device:
            self._dt, self._device = sim.dt, sim.device
            self._table = StepTable(self._values, sim.device)
        return self._table

    def at(self, sim) -> torch.Tensor:
        """The factors [F] (complex64, on the simulation's device) for the
        step just done."""
        return self.table(sim).at(sim.steps_done)


# How far below its peak a source's spectrum counts as nothing, for the
# choice of how often a monitor must sum: content at this level aliased
# into a monitored frequency stays near the float32 rounding of the sums.
SPECTRUM_FLOOR = 1e-8


class DecimationWarning(UserWarning):
    """A monitor sums less often than its frequencies and the sources' band
    allow without aliasing."""


def safe_decimation(dt: float, monitored: float, band: float) -> int:
    """The largest k such that a monitor summing every k steps sees no alias
    of the sources' spectrum at its frequencies: the sums over every k-th
    step add to each frequency ν its copies at ν ± m/(k·dt), m = 1, 2, ...,
    and those stay outside the sources' band |ν'| <= ``band`` while
    1/(k·dt) >= ``monitored`` + ``band`` (``monitored``: the highest |ν|
    the monitor sums at)."""
    return max(1, math.floor(1.0 / (dt * (monitored + band)) + 1e-9))


def sources_band(sim) -> float | None:
    """The highest frequency at which any source's spectrum reaches
    ``SPECTRUM_FLOOR`` of its peak (each source's ``band()``), or None
    where that is not known: no source (the fields come from a given start,
    of any spectrum), or one without a band (a waveform of the caller's
    own, a source of the caller's own)."""
    edges = []
    for source in sim.sources:
        band = getattr(source, "band", None)
        edge = band() if band is not None else None
        if edge is None:
            return None
        edges.append(edge)
    return max(edges) if edges else None


class Decimation:
    """How often a monitor sums: every ``every`` steps (on the steps whose
    count is a multiple of it, so that a resumed run sums on the same ones),
    each sum standing for ``every``·dt.

    ``given``: the caller's k (1: every step), or None to take the largest
    that the sources' band allows (``safe_decimation``; 1 where the band is
    not known). A k at which the monitor's own frequencies lie above the
    Nyquist frequency of its sums, 1/(2 k dt), is refused here; one above
    what the sources' band allows is warned about (``DecimationWarning``)
    when the run starts, since the sums then hold aliases of the band."""

    def __init__(self, given, frequencies: torch.Tensor, dt: float, what: str):
        self.what = what
        self.frequencies = frequencies
        self.monitored = float(frequencies.abs().max())
        if given is not None:
            given = count(given, f"{what} decimation", 1)
            top = math.floor(0.5 / (dt * self.monitored) - 1e-9) if self.monitored else given
            if given > max(top, 1):
                raise ValueError(
                    f"{what} decimation {given}: summing every {given} steps resolves "
                    f"frequencies below 1/(2·{given}·dt) = {0.5 / (given * dt):g} only, and the "
                    f"monitor's reach {self.monitored:g}; give at most {max(top, 1)}, or "
                    f"None to let the sources' band choose")
        self.given = given
        self.every = given or 1
        self.dt = dt
        self._chosen = False
        self._warned = False
        self._factors = {}

    def settle(self, sim) -> int:
        """Choose ``every`` for the simulation's sources as they are now (at
        the run's start; once the monitor has begun summing it keeps its
        choice), and warn, once, where a given k exceeds what they allow."""
        if self._chosen and sim.steps_done > 0:
            return self.every
        band = sources_band(sim)
        safe = 1 if band is None else safe_decimation(self.dt, self.monitored, band)
        if self.given is None:
            self.every = safe
        elif band is not None and self.given > safe and not self._warned:
            warnings.warn(
                f"{self.what} decimation {self.given} exceeds the {safe} that its frequencies "
                f"(up to {self.monitored:g}) and the sources' band (up to {band:g}) allow: "
                f"the sums every {self.given} steps hold aliases of the band; give at most "
                f"{safe}, or None to let the band choose", DecimationWarning, stacklevel=4)
            self._warned = True
        self._chosen = True
        return self.every

    def due(self, sim) -> bool:
        """Whether the step just done is one the monitor sums."""
        if not self._chosen:
            self.settle(sim)
        return sim.steps_done % self.every == 0

    def table(self, sim, half_step_behind: bool = False) -> StepTable:
        """The table of the Fourier factors of the steps summed: of E, or of
        H half a step behind (``StepFactors`` at the chosen ``every``)."""
        key = "H" if half_step_behind else "E"
        factors = self._factors.get(key)
        if factors is None or factors.every != self.every:
            factors = self._factors[key] = StepFactors(self.frequencies, half_step_behind,
                                                       self.every)
        return factors.table(sim)

    def factors(self, sim, half_step_behind: bool = False) -> torch.Tensor:
        """The factors [F] of the step just done."""
        return self.table(sim, half_step_behind).at(sim.steps_done)

    def prepare(self, sim, first: int, count: int, kinds=(False,)) -> None:
        """The factors of a block of ``count`` steps that begins after step
        ``first`` in the tables (the monitor sums after steps first + 1 ..
        first + count), for a block run without the host
        (``core.capture``); ``kinds``: E's (False) and H's (True)."""
        self.settle(sim)
        for behind in kinds:
            self.table(sim, behind).fill(first + 1, count)


def _slots(sim):
    """The trailing slots of a field and the complex weight of each."""
    return [(0, 1.0)] if sim.b2 == 1 else [(0, 1.0), (1, 1j)]


class Sampled:
    """What a monitor summing through a ``Decimation`` (``self.sampling``)
    offers the run: the choice of k when it starts, the sums' factors for a
    block of steps, and the period of its pattern of sums."""

    def settle(self, sim) -> None:
        """Choose the decimation for the run that starts (``Decimation``)."""
        settled(self, "__init__", decimation=self.sampling.settle(sim))

    def prepare_steps(self, sim, first: int, count: int) -> None:
        self.sampling.prepare(sim, first, count)

    @property
    def period(self) -> int:
        """Steps after which the monitor's pattern of sums repeats."""
        return self.sampling.every


class FrequencyMonitor(Sampled):
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

    ``decimation``: sum every k steps (``Decimation``; None lets the
    sources' band choose, 1 sums every step).
    """

    @recorded
    def __init__(self, sim, frequencies: Sequence[float], x_range=None, y_range=None,
                 z_range=None, slot: int = 0, box=None, decimation: int | None = None):
        slot = count(slot, "FrequencyMonitor slot", 0, sim.b2 - 1)
        self.frequencies = checked_frequencies(frequencies, "FrequencyMonitor", sim.dt)
        self.sampling = Decimation(decimation, self.frequencies, sim.dt, "FrequencyMonitor")
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
        self._grid = sim.grid  # for its pictures: its samples' coordinates
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
        batch entry. On unequal cells each sample is drawn over its own
        cell. On slabs each process draws the part it holds."""
        from ..plotting import plot_monitor

        return plot_monitor(self, self._grid, component=component, frequency=frequency,
                            x=x, y=y, z=z, b0=b0, b1=b1, ax=ax)

    def update(self, sim) -> None:
        if self.Ex is None or not self.sampling.due(sim):
            return
        s = slice(self.slot, self.slot + 1)  # one slot, shared by every frequency
        sim.module.Monitor_Update_E(self.Ex, self.Ey, self.Ez,
                                    sim.Ex[..., s], sim.Ey[..., s], sim.Ez[..., s],
                                    self.sampling.factors(sim), *self.ranges)

