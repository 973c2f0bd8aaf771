"""The driver's arguments, checked before anything is allocated: a wrong type
is a TypeError, a value out of range a ValueError, each naming the argument,
what it must be and what it got."""
from __future__ import annotations

import math
import numbers

import torch


def sequence(v) -> tuple | None:
    """The values of a list, tuple, NumPy array or tensor of one dimension
    (or any other sized iterable that is not text) as a tuple; None for a
    single value. A shape read off an array or a tensor is as good as a
    tuple."""
    if isinstance(v, (str, bytes)):
        return None
    if isinstance(v, torch.Tensor) or hasattr(v, "ndim"):  # a tensor or an array
        return None if v.ndim == 0 else tuple(v)
    if hasattr(v, "__len__") and hasattr(v, "__iter__"):
        return tuple(v)
    return None


def triple(v, what: str) -> tuple:
    """One value for all three axes, or three."""
    values = sequence(v)
    t = values if values is not None else (v, v, v)
    if len(t) == 1:
        t = t * 3
    if len(t) != 3:
        raise ValueError(f"{what} needs 1 or 3 values, got {v!r}")
    return t


def _scalar(v):
    """A one-element tensor or array as the Python number it holds; anything
    else as it is."""
    if isinstance(v, torch.Tensor) and v.numel() == 1 and v.dtype != torch.bool:
        return v.item()
    if type(v).__module__ == "numpy" and getattr(v, "ndim", None) == 0 and v.dtype != bool:
        return v.item()
    return v


def count(v, what: str, low: int | None = 1, high: int | None = None) -> int:
    """An integer (a bool is not one) in low .. high (None: no bound). A
    float is refused even when whole: a count or an index that arrives as
    one was usually computed by a division, and rounding it would move
    things without a word."""
    v = _scalar(v)
    if isinstance(v, bool) or not isinstance(v, numbers.Integral):
        raise TypeError(f"{what} must be an integer, got {v!r} ({type(v).__name__})")
    if (low is not None and v < low) or (high is not None and v > high):
        span = (f"at least {low}" if high is None else f"at most {high}" if low is None
                else f"in {low} .. {high}")
        raise ValueError(f"{what} must be {span}, got {v}")
    return int(v)


def real(v, what: str, positive: bool = False) -> float:
    """A finite real number (a bool is not one), above zero if ``positive``."""
    v = _scalar(v)
    if isinstance(v, bool) or not isinstance(v, numbers.Real):
        raise TypeError(f"{what} must be a real number, got {v!r} ({type(v).__name__})")
    f = float(v)
    if not math.isfinite(f) or (positive and f <= 0):
        raise ValueError(f"{what} must be a finite number{' > 0' if positive else ''}, got {f}")
    return f


def waveform(v, what: str):
    """A function of time: checked here, where it is given, rather than at
    the first step that calls it."""
    if not callable(v):
        raise TypeError(f"{what} waveform must be a function of time (such as "
                        f"gaussian(t0, width, frequency)), got {v!r} ({type(v).__name__})")
    return v


def nyquist(dt: float) -> float:
    """The highest frequency a run with time step ``dt`` resolves, 1/(2 dt):
    a spectrum summed at ν and at ν + 1/dt is the same sum."""
    return 0.5 / dt


def frequencies(values, what: str, dt: float | None = None,
                positive: bool = False) -> torch.Tensor:
    """At least one finite frequency, as float64; with ``dt``, each below the
    time step's Nyquist frequency in magnitude (above it a monitor's sums
    are those of an alias, and nothing in them tells); ``positive``: each
    above zero."""
    if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
        raise TypeError(f"{what} frequencies must be a sequence of numbers, got {values!r}")
    out = [real(f, f"{what} frequencies") for f in values]
    if not out:
        raise ValueError(f"{what} needs at least one frequency, got none")
    if positive and min(out) <= 0:
        raise ValueError(f"{what} frequencies must be positive, got {min(out):g}")
    if dt is not None:
        top = nyquist(dt)
        worst = max(out, key=abs)
        if abs(worst) >= top:
            raise ValueError(f"{what} frequencies must lie below the time step's Nyquist "
                             f"frequency 1/(2 dt) = {top:g} (dt = {dt:g}) in magnitude, got "
                             f"{worst:g}: its spectrum would be that of an alias; a finer "
                             f"grid or a smaller courant raises the limit")
    return torch.tensor(out, dtype=torch.float64)
