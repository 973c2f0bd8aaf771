"""What every source shares: waveforms (``gaussian``), when on the leapfrog
a source samples its excitation, and how an excitation reaches the real
or split-complex fields (``slot_factor``).

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
import numbers
from typing import Callable

import torch

from ..grid.arguments import real

Waveform = Callable[[float], complex]


def gaussian(t0: float, width: float, frequency: float = 0.0, amplitude: complex = 1.0) -> Waveform:
    """amplitude · exp(-((t - t0)/width)^2) · exp(-i 2π frequency (t - t0))."""
    t0, frequency = real(t0, "gaussian t0"), real(frequency, "gaussian frequency")
    width = real(width, "gaussian width", positive=True)
    value = amplitude.item() if isinstance(amplitude, torch.Tensor) and amplitude.numel() == 1 \
        else amplitude
    if isinstance(value, bool) or not isinstance(value, numbers.Complex):
        raise TypeError(f"gaussian amplitude must be a number (complex allowed), got "
                        f"{amplitude!r} ({type(amplitude).__name__})")
    if not cmath.isfinite(complex(value)):
        raise ValueError(f"gaussian amplitude must be finite, got {value}")
    amplitude = value

    def f(t: float) -> complex:
        u = (t - t0) / width
        return amplitude * math.exp(-u * u) * cmath.exp(-2j * math.pi * frequency * (t - t0))
    # what a checkpoint tells two pulses apart by (the function itself it cannot hold)
    f.t0, f.width, f.frequency, f.amplitude = t0, width, frequency, amplitude
    return f


def band_edge(waveform, floor: float) -> float | None:
    """The highest |frequency| at which ``waveform``'s spectrum reaches
    ``floor`` of its peak, or None where that is not known (a function
    that says nothing about its spectrum). A ``gaussian``'s spectrum is
    the Gaussian exp(-(π·width·(ν - frequency))²) about its carrier (and
    about -frequency for the real part a real run carries)."""
    width = getattr(waveform, "width", None)
    carrier = getattr(waveform, "frequency", None)
    if width is None or carrier is None or _function_name(waveform) != "gaussian":
        return None
    return abs(carrier) + math.sqrt(math.log(1.0 / floor)) / (math.pi * width)


def _function_name(f) -> str:
    return (getattr(f, "__qualname__", "") or "").split(".<locals>", 1)[0]


def slot_factor(sim) -> complex:
    """What multiplies an excitation so that each slot gets its part (see above)."""
    if sim.b2 == 1:
        return 1j
    if sim.b2 == 2:
        return 1.0
    raise ValueError(f"sources drive real (b2=1) or complex (b2=2) runs, got b2={sim.b2}")
