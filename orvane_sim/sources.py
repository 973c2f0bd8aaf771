"""Sources for the driver: a plane wave entering across a z-plane, and a box
of current.

Timing on the leapfrog: after step n the electric field is at t = n·dt and
the magnetic field at (n - 1/2)·dt. During step n the magnetic update takes
H from (n - 1/2)·dt to (n + 1/2)·dt using E at n·dt, and the electric update
takes E to (n + 1)·dt using H at (n + 1/2)·dt. A source's magnetic increment
therefore samples its excitation at n·dt, its electric increment at
(n + 1/2)·dt.

Complex excitations reach the fields through their trailing batch dimension
(split-complex form). In a complex run (b2 = 2) slot 0 takes the real part
and slot 1 the imaginary part of an excitation. A real run (b2 = 1) has no
real half: its one slot takes the imaginary part, so the driver hands the
module i·excitation, whose imaginary part is the excitation's real part.
"""
from __future__ import annotations

import cmath
import math
from typing import Callable, Sequence

import torch

from .coefficients import ETA0, EPS0

Waveform = Callable[[float], complex]


def gaussian(t0: float, width: float, frequency: float = 0.0, amplitude: complex = 1.0) -> Waveform:
    """amplitude · exp(-((t - t0)/width)^2) · exp(-i 2π frequency (t - t0))."""
    def f(t: float) -> complex:
        u = (t - t0) / width
        return amplitude * math.exp(-u * u) * cmath.exp(-2j * math.pi * frequency * (t - t0))
    return f


def slot_factor(sim) -> complex:
    """What multiplies an excitation so that each slot gets its part (see above)."""
    if sim.b2 == 1:
        return 1j
    if sim.b2 == 2:
        return 1.0
    raise ValueError(f"sources drive real (b2=1) or complex (b2=2) runs, got b2={sim.b2}")


class PlaneWave:
    """A plane wave travelling +z, entering across the z-plane ``plane``.

    A total-field / scattered-field boundary: the electric nodes at z index
    plane+1 and above hold the total field (incident wave included), the
    magnetic nodes at z index plane and below the scattered field only, so an
    empty box shows the wave above the plane and nothing below it. The
    incident field is E = polarization · f(t - (z - z1)/c) with z1 the height
    of electric node plane+1, and H = ẑ × E / η.

    ``margins`` (m_x, m_y) shrink the injected rectangle from the sides of the
    plane; with periodic x and y boundaries, keep them 0. The plane must lie
    outside the absorbing layers.
    """

    def __init__(self, sim, plane: int, waveform: Waveform, polarization=(1.0, 0.0),
                 margins: Sequence[int] = (0, 0)):
        NX, NY, NZ = sim.shape
        if not 0 <= plane < NZ - 1:
            raise ValueError(f"plane must lie in 0 .. {NZ - 2}, got {plane}")
        self.plane = plane
        self.waveform = waveform
        self.px, self.py = (float(p) for p in polarization)
        self.factor = slot_factor(sim)
        self.margins = torch.tensor([int(m) for m in margins], dtype=torch.int32)
        dev = sim.device
        ones = torch.ones(1, NX, NY, 1, dtype=torch.complex64, device=dev)
        self.profile = ones  # normal incidence: the same value over the plane
        self.dz = sim.spacing[2]

    def _amplitudes(self, sim, ax: complex, ay: complex):
        t = [torch.full((1, 1), a * self.factor, dtype=torch.complex64, device=sim.device)
             for a in (ax, ay)]
        return t[0], t[1]

    def after_h(self, sim) -> None:
        # Magnetic nodes at z index `plane` see the incident E at electric
        # node plane+1 missing from their curl: x pair = Ex, y pair = Ey at t = n·dt.
        f = self.waveform(sim.time)
        amp_x, amp_y = self._amplitudes(sim, self.px * f, self.py * f)
        sim.module.Inject_H(sim.Hx, sim.Hy, sim.ch[2], amp_x, amp_y, self.profile, self.profile,
                            self.margins, self.plane)

    def after_e(self, sim) -> None:
        # Electric nodes at z index plane+1 see the incident H half a cell
        # below: x pair = Hx = -Ey/η, y pair = Hy = Ex/η at (n + 1/2)·dt.
        f = self.waveform(sim.time + 0.5 * sim.dt + 0.5 * self.dz)
        amp_x, amp_y = self._amplitudes(sim, -self.py * f / ETA0, self.px * f / ETA0)
        sim.module.Inject_E(sim.Ex, sim.Ey, sim.ce[2], amp_x, amp_y, self.profile, self.profile,
                            self.margins, self.plane)


class CurrentBox:
    """A current density J(t) = direction · f(t) over a box of cells.

    ``offset`` is the box's first cell (i, j, k), ``size`` its extent in
    cells; the box covers the same index range of Ex, Ey and Ez (their own
    staggered positions). Each step the electric field loses dt·J/ε0 at
    (n + 1/2)·dt, Ampère's law with the current as a source.
    """

    def __init__(self, sim, offset: Sequence[int], size: Sequence[int], waveform: Waveform,
                 direction=(0.0, 0.0, 1.0)):
        if any(int(o) < 0 for o in offset) or any(int(s) < 1 for s in size):
            raise ValueError(f"offset must be >= 0 and size >= 1, got {offset}, {size}")
        self.offset = torch.tensor([int(o) for o in offset], dtype=torch.int32)
        self.box = torch.ones(1, 1, *(int(s) for s in size), dtype=torch.complex64,
                              device=sim.device)
        self.direction = tuple(float(d) for d in direction)
        self.waveform = waveform
        self.factor = slot_factor(sim)

    def after_h(self, sim) -> None:
        pass

    def after_e(self, sim) -> None:
        w = self.waveform(sim.time + 0.5 * sim.dt) * sim.dt / EPS0 * self.factor
        Jx, Jy, Jz = (self.box * (d * w) for d in self.direction)
        sim.module.Inject_J(sim.Ex, sim.Ey, sim.Ez, Jx, Jy, Jz, self.offset)
