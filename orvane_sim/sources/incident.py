"""The incident wave of a plane-wave source, stepped on a line of Yee cells.

A total-field/scattered-field plane cancels the incident wave on its
scattered side only if the incident fields it injects obey the same discrete
equations as the box. For a wave exp(i(kx·x + ky·y)) over periodic x and y,
the box's fields are the line's fields times that phase at each component's
own (x, y) position, and every x or y difference of the box becomes a factor
i·k~ with k~ = (2/h)·sin(k·h/2), forward and backward alike. The line holds
the six components along z (Ex, Ey, Hz at the nodes z = l·dz, Hx, Hy, Ez at
z = (l + 1/2)·dz), complex, one row per b0, and steps with the box's dt and
dz, in vacuum.

The line itself is driven by an analytic total-field/scattered-field plane
at node ``start``: E = polarization·f(t - (z - z_s)/c), H = ẑ × E / η. At
oblique incidence that pair is not an exact plane wave, so part of it runs
down the line instead; only the upward wave reaches the box, and whatever it
is, the box sees the same wave.

Nothing may return from the line's ends: an end reflects, and the reflection
would reach the box as part of the incident wave. The line is first sized
for ``duration`` and then grows with the run, adding silent cells at both
ends before the light cone of the drive comes near either of them, so a run
of any length sees the wave of an endless line.
"""
from __future__ import annotations

import math

import torch

from ..core.checkpoint import Memo
from ..core.steptables import StepTable
from ..grid.arguments import frequencies as checked_frequencies
from ..grid.coefficients import ETA0
from .waveforms import band_edge

C128 = torch.complex128


class IncidentLine:
    """Incident fields along z for B0 transverse wave vectors.

    k: [B0, 2] (kx, ky); polarization: [B0, 2] tangential E direction of the
    line's drive; waveform: f(t) (complex allowed); spacing: the box's
    (dx, dy, dz); duration: the run time the first length covers; gap:
    cells from the drive to ``node``, the line node that stands for the
    box's first total-field node. ``start`` (the drive's node) and ``node``
    move up when the line grows at its low end.

    The six components are the rows of one tensor ``fields`` [6, B0, cells
    + 1], in the order ``ROWS``: Ex and Ey beside Hy and Hx, the pairs that
    each curl along the line couples, so that a wave along the line's axis
    (k = 0) steps both pairs in one operation each, and a reader gathers
    any of them from one tensor. ``Ex`` ... ``Ez`` are views of the rows.
    The drive's values come from a ``StepTable``.
    """

    # Cells kept between the light cone and an end: the discrete stencil
    # reaches ahead of the cone, with a tail that falls off steeply.
    MARGIN = 8
    ROWS = ("Ex", "Ey", "Hy", "Hx", "Hz", "Ez")
    FIELDS = ("Ex", "Ey", "Hz", "Hx", "Hy", "Ez")
    # The tensor that lengthens as the run goes on, with the dimension it
    # grows along: a checkpoint restores it at its saved length (and
    # ``start`` and ``cells`` with it). Nothing else may hold it, since each
    # growth replaces it.
    GROWING = {"fields": 2}

    def __init__(self, k: torch.Tensor, polarization: torch.Tensor, waveform, spacing, dt: float,
                 device, duration: float, gap: int = 4):
        dx, dy, dz = spacing
        self.dt, self.dz, self.gap = dt, dz, gap
        self.start, self.cells = line_cells(duration, dz, gap)
        self.waveform = waveform
        kt = torch.stack([2 / dx * torch.sin(k[:, 0] * dx / 2),
                          2 / dy * torch.sin(k[:, 1] * dy / 2)], 1)
        # i·k~·dt per b0, as a column for broadcasting along the line
        self.ikx = (1j * kt[:, 0:1] * dt).to(C128).to(device)
        self.iky = (1j * kt[:, 1:2] * dt).to(C128).to(device)
        self.pol = polarization.to(C128).to(device)
        self._pol_host = polarization.to(C128)  # for the drive's table, filled on the host
        self.along_axis = not bool(kt.any())
        B0 = k.shape[0]
        self.fields = torch.zeros(6, B0, self.cells + 1, dtype=C128, device=device)
        self.c = dt / dz
        # (Hy, Hx) += (-c, c)·d(Ex, Ey) and (Ex, Ey) += (-c, c)·d(Hy, Hx)
        self._curl = torch.tensor([-self.c, self.c], dtype=C128,
                                  device=device)[:, None, None]
        self.steps = 0
        self.driven = 0  # steps since the drive began: how far its light cone reaches
        self.drive = StepTable(self._drive, device)
        self._views = Memo()

    Ex = property(lambda self: self.fields[0])
    Ey = property(lambda self: self.fields[1])
    Hy = property(lambda self: self.fields[2])
    Hx = property(lambda self: self.fields[3])
    Hz = property(lambda self: self.fields[4])
    Ez = property(lambda self: self.fields[5])

    @property
    def node(self) -> int:
        return self.start + 1 + self.gap

    def zero_rows(self) -> tuple[int, ...]:
        """The rows that stay zero all run: along the axis a component of the
        polarization that is zero drives nothing (Ex and Hy go with its x,
        Ey and Hx with its y), and Hz and Ez stay zero."""
        if not self.along_axis:
            return ()
        pol = self.pol.abs().amax(0)
        return tuple(r for r, j in ((0, 0), (1, 1), (2, 0), (3, 1)) if pol[j] == 0) + (4, 5)

    def _drive(self, steps: torch.Tensor) -> torch.Tensor:
        """[m, 2, 2, B0]: what the drive adds at line steps ``steps``, to
        (Hy, Hx) at the drive's cell at n·dt and to (Ex, Ey) at the node
        above at (n + 1/2)·dt (see ``step_h``, ``step_e``)."""
        f = self.waveform
        t = steps.tolist()
        fh = torch.tensor([complex(f(n * self.dt)) for n in t], dtype=C128)
        fe = torch.tensor([complex(f((n + 0.5) * self.dt + 0.5 * self.dz)) for n in t],
                          dtype=C128)
        c, pol = self.c, self._pol_host
        h = torch.stack([c * pol[:, 0] * fh[:, None], -(c * pol[:, 1] * fh[:, None])], 1)
        e = torch.stack([c * pol[:, 0] * fe[:, None] / ETA0, c * pol[:, 1] * fe[:, None] / ETA0],
                        1)
        return torch.stack([h, e], 1)

    def grows_within(self, count: int) -> bool:
        """Whether the line grows during the next ``count`` steps."""
        return not self._holds(self.driven + count)

    def _holds(self, driven: int) -> bool:
        """Whether the drive's light cone after ``driven`` steps stays
        ``MARGIN`` cells inside both ends."""
        return self._cone(driven) < min(self.start, self.cells - self.start)

    def _cone(self, driven: int) -> float:
        return (driven + 1) * self.dt / self.dz + self.MARGIN

    def _grow_if_needed(self) -> None:
        """Add silent cells at both ends before the drive's light cone (c = 1,
        which no wave on the line outruns) comes within ``MARGIN`` cells of
        either end: nothing but the stencil's steeply falling tail has
        reached them, so the longer line carries on as if it had been that
        long from the start."""
        if self._holds(self.driven):
            return
        pad = max(self.start, 16)
        z = self.fields.new_zeros(6, self.fields.shape[1], pad)
        self.fields = torch.cat([z, self.fields, z], 2)
        self.start += pad
        self.cells += 2 * pad
        self._grown()

    def _grown(self) -> None:
        """What the line remakes when it has grown (nothing here)."""

    def _pairs(self) -> dict:
        """Views of the pairs the curls couple, along the line's axis: their
        values at the upper and the lower end of each cell, the nodes the
        drive corrects, and room for a difference; made once per length of
        the line."""
        def make():
            E, H, s = self.fields[0:2], self.fields[2:4], self.start
            return dict(E_up=E[:, :, 1:], E_low=E[:, :, :-1], H_up=H[:, :, 1:],
                        H_low=H[:, :, :-1], H_drive=H[:, :, s], E_drive=E[:, :, s + 1],
                        difference=torch.empty_like(E[:, :, 1:]))
        return self._views.get((self.fields.data_ptr(), self.cells, self.start), make)

    def step_h(self) -> None:
        """H from (n - 1/2)·dt to (n + 1/2)·dt, then the drive's H correction:
        cell ``start`` is on the scattered side, node start + 1 holds the
        total field, E = pol·f at time n·dt."""
        self._grow_if_needed()
        drive = self.drive.at(self.steps)[0]
        s = self.start
        if self.along_axis:
            v = self._pairs()
            torch.sub(v["E_up"], v["E_low"], out=v["difference"])
            v["H_low"].addcmul_(self._curl, v["difference"])
            v["H_drive"].add_(drive)
            return
        c = self.c
        Ex, Ey, Ez, Hx, Hy = self.Ex, self.Ey, self.Ez, self.Hx, self.Hy
        Hx[:, :-1] += c * (Ey[:, 1:] - Ey[:, :-1]) - self.iky * Ez[:, :-1]
        Hy[:, :-1] += self.ikx * Ez[:, :-1] - c * (Ex[:, 1:] - Ex[:, :-1])
        self.Hz.add_(self.iky * Ex - self.ikx * Ey)
        self.fields[2:4, :, s] += drive

    def step_e(self) -> None:
        """E from n·dt to (n + 1)·dt, then the drive's E correction: node
        start + 1 misses the incident H half a cell below, at (n + 1/2)·dt."""
        drive = self.drive.at(self.steps)[1]
        s = self.start
        if self.along_axis:
            v = self._pairs()
            torch.sub(v["H_up"], v["H_low"], out=v["difference"])
            v["E_up"].addcmul_(self._curl, v["difference"])
            v["E_drive"].add_(drive)
        else:
            c = self.c
            Hx, Hy, Hz = self.Hx, self.Hy, self.Hz
            self.Ex[:, 1:] += self.iky * Hz[:, 1:] - c * (Hy[:, 1:] - Hy[:, :-1])
            self.Ey[:, 1:] += c * (Hx[:, 1:] - Hx[:, :-1]) - self.ikx * Hz[:, 1:]
            self.Ez.add_(self.ikx * Hy - self.iky * Hx)
            self.fields[0:2, :, s + 1] += drive
        self.steps += 1
        self.driven += 1

    def prepare_steps(self, count: int) -> str | None:
        """The drive of the next ``count`` steps in its table, for a block
        of steps run without the host; the reason the block cannot be, if
        the line grows during it."""
        if self.grows_within(count):
            return "its incident line grows during these steps"
        self.drive.fill(self.steps, count)
        return None


def line_cells(duration: float, dz: float, gap: int) -> tuple[int, int]:
    """(start, cells) of a line whose ends stay silent at start + gap for
    ``duration`` (c = 1): each end at least half the light path away."""
    reach = math.ceil(0.55 * duration / dz) + 8
    start = reach
    return start, start + gap + reach


class LineDriven:
    """What a wave fed by an incident line (``self.line``, ``self.spectra``
    of its incident spectrum or None, ``self.waveform``) offers the run:
    its band, the period of its spectrum's sums, and its values for a block
    of steps."""

    def band(self) -> float | None:
        """The highest frequency of the wave's spectrum (``band_edge``), or
        None where its waveform does not say."""
        from ..monitors.frequency import SPECTRUM_FLOOR

        return band_edge(self.waveform, SPECTRUM_FLOOR)

    @property
    def period(self) -> int:
        """Steps after which the record of the incident spectrum repeats."""
        return 1 if self.spectra is None else self.spectra.every

    def prepare_steps(self, sim, first: int, count: int) -> str | None:
        """The wave's values for a block of steps run without the host
        (``core.capture``); the reason it cannot be, if any."""
        reason = self.line.prepare_steps(count)
        if reason is None and self.spectra is not None:
            self.spectra.prepare_steps(sim, count)
        return reason


class LineSpectra:
    """Fourier sums of a line's incident Ex, Ey at its ``node`` (the box's
    first total-field node) and of Hx, Hy in the cells either side averaged
    onto it, H half a step earlier (the convention of ``monitors``), at
    ``frequencies``. A real run (b2 = 1) carries the real part of the wave.

    ``band``: the highest frequency of the line's drive (its waveform's
    ``band_edge``), or None: the sums are taken every k steps as a monitor
    decimates them, k from that band alone, since the line carries its own
    drive and nothing else (every step without a band)."""

    def __init__(self, line: IncidentLine, frequencies, sim, what: str = "PlaneWave",
                 band: float | None = None):
        from ..monitors.frequency import safe_decimation

        self.line = line
        self.frequencies = checked_frequencies(frequencies, what, sim.dt)
        self.real = sim.b2 == 1
        monitored = float(self.frequencies.abs().max())
        self.every = 1 if band is None else safe_decimation(sim.dt, monitored, band)
        B0 = line.fields.shape[1]
        # rows Ex, Ey, Hy, Hx (the line's order)
        self._acc = torch.zeros(4, B0, len(self.frequencies), dtype=C128, device=sim.device)
        self.factors = StepTable(self._factors, sim.device)
        self._dt = sim.dt

    def _factors(self, steps: torch.Tensor) -> torch.Tensor:
        """[m, 4, 1, F]: each row's Fourier factor at the electric step
        ``steps`` (E at n·dt, H at n·dt - dt/2 and halved: the sum of the
        two cells either side is summed)."""
        from ..monitors.frequency import fourier_factors

        dt, w = self._dt, self.every * self._dt
        t = steps.to(torch.float64)[:, None] * dt
        fe = fourier_factors(self.frequencies[None, :], t, w)
        fh = 0.5 * fourier_factors(self.frequencies[None, :], t - 0.5 * dt, w)
        return torch.stack([fe, fe, fh, fh], 1)[:, :, None, :]

    def record(self, sim) -> None:
        """Add the line's fields after its electric step, which has taken the
        line one step ahead of the box's last record."""
        n = sim.steps_done + 1  # the step the box is finishing
        if n % self.every:
            return
        line, at = self.line, self.line.node
        f = line.fields
        values = torch.cat([f[0:2, :, at], self._magnetic(f, at)])
        if self.real:
            values = values.real
        self._acc.addcmul_(values[:, :, None], self.factors.at(n))

    def _magnetic(self, fields: torch.Tensor, at: int) -> torch.Tensor:
        """Hy, Hx [2, B0] onto node ``at``, twice over (the factors halve
        them): the sum of the cells either side."""
        return fields[2:4, :, at - 1] + fields[2:4, :, at]

    def prepare_steps(self, sim, count: int) -> None:
        self.factors.fill(sim.steps_done + 1, count)

    def spectra(self) -> dict:
        """Complex [B0, F] sums of the line's Ex, Ey, Hx, Hy."""
        return {"Ex": self._acc[0], "Ey": self._acc[1], "Hx": self._acc[3], "Hy": self._acc[2]}

    def flux(self) -> torch.Tensor:
        """Flux per unit area along the line, [B0, F] float64."""
        s = self.spectra()
        return 0.5 * (s["Ex"] * s["Hy"].conj() - s["Ey"] * s["Hx"].conj()).real
