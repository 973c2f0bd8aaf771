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

from ..grid.arguments import frequencies as checked_frequencies
from ..grid.coefficients import ETA0

C128 = torch.complex128


class IncidentLine:
    """Incident fields along z for B0 transverse wave vectors.

    k: [B0, 2] (kx, ky); polarization: [B0, 2] tangential E direction of the
    line's drive; waveform: f(t) (complex allowed); spacing: the box's
    (dx, dy, dz); duration: the run time the first length covers; gap:
    cells from the drive to ``node``, the line node that stands for the
    box's first total-field node. ``start`` (the drive's node) and ``node``
    move up when the line grows at its low end.
    """

    # Cells kept between the light cone and an end: the discrete stencil
    # reaches ahead of the cone, with a tail that falls off steeply.
    MARGIN = 8
    FIELDS = ("Ex", "Ey", "Hz", "Hx", "Hy", "Ez")
    # The tensors that lengthen as the run goes on, with the dimension they
    # grow along: a checkpoint restores them at their saved length (and
    # ``start`` and ``cells`` with them). Nothing else may hold them, since
    # each growth replaces them.
    GROWING = dict.fromkeys(FIELDS, 1)

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
        B0 = k.shape[0]

        def line():
            return torch.zeros(B0, self.cells + 1, dtype=C128, device=device)

        self.Ex, self.Ey, self.Hz = line(), line(), line()   # nodes l
        self.Hx, self.Hy, self.Ez = line(), line(), line()   # half nodes l + 1/2
        self.c = dt / dz
        self.steps = 0
        self.driven = 0  # steps since the drive began: how far its light cone reaches

    @property
    def node(self) -> int:
        return self.start + 1 + self.gap

    def _grow_if_needed(self) -> None:
        """Add silent cells at both ends before the drive's light cone (c = 1,
        which no wave on the line outruns) comes within ``MARGIN`` cells of
        either end: nothing but the stencil's steeply falling tail has
        reached them, so the longer line carries on as if it had been that
        long from the start."""
        cone = (self.driven + 1) * self.dt / self.dz + self.MARGIN
        if cone < min(self.start, self.cells - self.start):
            return
        pad = max(self.start, 16)
        for name in self.FIELDS:
            t = getattr(self, name)
            z = t.new_zeros(t.shape[0], pad)
            setattr(self, name, torch.cat([z, t, z], 1))
        self.start += pad
        self.cells += 2 * pad

    def step_h(self) -> None:
        """H from (n - 1/2)·dt to (n + 1/2)·dt, then the drive's H correction."""
        self._grow_if_needed()
        c = self.c
        Ex, Ey, Ez = self.Ex, self.Ey, self.Ez
        self.Hx[:, :-1] += c * (Ey[:, 1:] - Ey[:, :-1]) - self.iky * Ez[:, :-1]
        self.Hy[:, :-1] += self.ikx * Ez[:, :-1] - c * (Ex[:, 1:] - Ex[:, :-1])
        self.Hz += self.iky * Ex - self.ikx * Ey
        # cell `start` is on the scattered side; node start + 1 holds the
        # total field, E = pol·f at time n·dt
        f = self.waveform(self.steps * self.dt)
        s = self.start
        self.Hx[:, s] -= c * self.pol[:, 1] * f
        self.Hy[:, s] += c * self.pol[:, 0] * f

    def step_e(self) -> None:
        """E from n·dt to (n + 1)·dt, then the drive's E correction."""
        c = self.c
        Hx, Hy, Hz = self.Hx, self.Hy, self.Hz
        self.Ex[:, 1:] += self.iky * Hz[:, 1:] - c * (Hy[:, 1:] - Hy[:, :-1])
        self.Ey[:, 1:] += c * (Hx[:, 1:] - Hx[:, :-1]) - self.ikx * Hz[:, 1:]
        self.Ez += self.ikx * Hy - self.iky * Hx
        # node start + 1 misses the incident H half a cell below, at (n + 1/2)·dt
        f = self.waveform((self.steps + 0.5) * self.dt + 0.5 * self.dz)
        s = self.start
        self.Ex[:, s + 1] += c * self.pol[:, 0] * f / ETA0
        self.Ey[:, s + 1] += c * self.pol[:, 1] * f / ETA0
        self.steps += 1
        self.driven += 1


def line_cells(duration: float, dz: float, gap: int) -> tuple[int, int]:
    """(start, cells) of a line whose ends stay silent at start + gap for
    ``duration`` (c = 1): each end at least half the light path away."""
    reach = math.ceil(0.55 * duration / dz) + 8
    start = reach
    return start, start + gap + reach


class LineSpectra:
    """Fourier sums of a line's incident Ex, Ey at its ``node`` (the box's
    first total-field node) and of Hx, Hy in the cells either side averaged
    onto it, H half a step earlier (the convention of ``monitors``), at
    ``frequencies``. A real run (b2 = 1) carries the real part of the wave."""

    def __init__(self, line: IncidentLine, frequencies, sim, what: str = "PlaneWave"):
        self.line = line
        self.frequencies = checked_frequencies(frequencies, what, sim.dt)
        self.real = sim.b2 == 1
        B0 = line.Ex.shape[0]
        self._acc = torch.zeros(4, B0, len(self.frequencies), dtype=C128, device=sim.device)

    def record(self, sim) -> None:
        """Add the line's fields after its electric step, which has taken the
        line one step ahead of the box's last record."""
        from ..monitors.frequency import fourier_factors

        line, n = self.line, self.line.node
        t = sim.time + sim.dt
        fe = fourier_factors(self.frequencies, t, sim.dt).to(sim.device)
        fh = fourier_factors(self.frequencies, t - 0.5 * sim.dt, sim.dt).to(sim.device)
        hx = 0.5 * (line.Hx[:, n - 1] + line.Hx[:, n])
        hy = 0.5 * (line.Hy[:, n - 1] + line.Hy[:, n])
        for m, (v, f) in enumerate(((line.Ex[:, n], fe), (line.Ey[:, n], fe), (hx, fh), (hy, fh))):
            if self.real:
                v = v.real
            self._acc[m] += v[:, None] * f[None, :]

    def spectra(self) -> dict:
        """Complex [B0, F] sums of the line's Ex, Ey, Hx, Hy."""
        return dict(zip(("Ex", "Ey", "Hx", "Hy"), self._acc))

    def flux(self) -> torch.Tensor:
        """Flux per unit area along the line, [B0, F] float64."""
        s = self.spectra()
        return 0.5 * (s["Ex"] * s["Hy"].conj() - s["Ey"] * s["Hx"].conj()).real
