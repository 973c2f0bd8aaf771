"""The driver's arguments, checked before anything is allocated: a wrong type
is a TypeError, a value out of range a ValueError, each naming the argument,
what it must be and what it got."""
from __future__ import annotations

import math
import numbers

import torch


def triple(v, what: str) -> tuple:
    """One value for all three axes, or three."""
    t = tuple(v) if isinstance(v, (tuple, list)) else (v, v, v)
    if len(t) != 3:
        raise ValueError(f"{what} needs 1 or 3 values, got {v!r}")
    return t


def _scalar(v):
    """A one-element tensor as the Python number it holds; anything else as
    it is."""
    if isinstance(v, torch.Tensor) and v.numel() == 1 and v.dtype != torch.bool:
        return v.item()
    return v


def count(v, what: str, low: int = 1, high: int | None = None) -> int:
    """An integer (a bool is not one) in low .. high."""
    v = _scalar(v)
    if isinstance(v, bool) or not isinstance(v, numbers.Integral):
        raise TypeError(f"{what} must be an integer, got {v!r} ({type(v).__name__})")
    if v < low or (high is not None and v > high):
        span = f"at least {low}" if high is None else f"in {low} .. {high}"
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


def frequencies(values, what: str) -> torch.Tensor:
    """At least one finite frequency, as float64."""
    if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
        raise TypeError(f"{what} frequencies must be a sequence of numbers, got {values!r}")
    out = [real(f, f"{what} frequencies") for f in values]
    if not out:
        raise ValueError(f"{what} needs at least one frequency, got none")
    return torch.tensor(out, dtype=torch.float64)
