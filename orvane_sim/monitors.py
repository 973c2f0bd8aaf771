"""Frequency-domain monitors for the driver.

A monitor covers a box of grid indices and a list of frequencies; after
every step it adds factor(ν)·E into one complex accumulator per component
and frequency, with factor(ν) = dt·exp(-i 2π ν t) at the electric field's
time t, so that after a run each accumulator holds the discrete Fourier sum

    Ê(ν) = Σ_n E(n·dt) · exp(-i 2π ν n·dt) · dt.
"""
from __future__ import annotations

import math
from typing import Sequence

import torch


class FrequencyMonitor:
    """Fourier sums of Ex, Ey, Ez over the box of indices x_range, y_range,
    z_range (first, last) at the given frequencies.

    The box spans last - first + 2 nodes along each axis, one more than its
    cells, and each component is sampled at its own staggered positions: Ex
    at x = first .. last (its own axis), y = first .. last + 1, z likewise.
    ``slot`` picks the trailing batch slot of the fields that is monitored
    (in a complex run 0 is the real part, 1 the imaginary part).
    """

    def __init__(self, sim, frequencies: Sequence[float], x_range, y_range, z_range, slot: int = 0):
        if not 0 <= slot < sim.b2:
            raise ValueError(f"slot must lie in 0 .. {sim.b2 - 1}, got {slot}")
        self.frequencies = torch.tensor([float(f) for f in frequencies], dtype=torch.float64)
        self.ranges = [torch.tensor([int(a), int(b)], dtype=torch.int32)
                       for a, b in (x_range, y_range, z_range)]
        MX, MY, MZ = (int(b) - int(a) + 2 for a, b in (x_range, y_range, z_range))
        if min(MX, MY, MZ) < 2:
            raise ValueError("each range must hold at least one cell (last >= first)")
        F = len(self.frequencies)
        dev = sim.device

        def acc(x, y, z):
            return torch.zeros(1, 1, x, y, z, F, dtype=torch.complex64, device=dev)

        self.Ex, self.Ey, self.Ez = acc(MX - 1, MY, MZ), acc(MX, MY - 1, MZ), acc(MX, MY, MZ - 1)
        self.slot = slot

    def factors(self, t: float, dt: float) -> torch.Tensor:
        """dt·exp(-i 2π ν t) per frequency (complex64)."""
        phase = -2.0 * math.pi * self.frequencies * t
        return (dt * torch.polar(torch.ones_like(phase), phase)).to(torch.complex64)

    def update(self, sim) -> None:
        s = slice(self.slot, self.slot + 1)  # one slot, shared by every frequency
        sim.module.Monitor_Update_E(self.Ex, self.Ey, self.Ez,
                                    sim.Ex[..., s], sim.Ey[..., s], sim.Ez[..., s],
                                    self.factors(sim.time, sim.dt).to(sim.device), *self.ranges)
