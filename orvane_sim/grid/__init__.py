"""The box's arithmetic, below everything else: argument checks
(``arguments``), positions in length units and the nodes they snap to
(``positions``), the absorbing layers' update coefficients and the time
step (``coefficients``), which part of a box the tensors here hold
(``placement``) and the memory a box needs (``memory``).

Imports nothing of the package but itself.
"""
from . import arguments, memory, positions
from .coefficients import (C0, EPS0, ETA0, MU0, AxisCoefficients, Grading, axis_coefficients,
                           layer_profile, time_step)
from .placement import SlabPlacement, WholeBox

__all__ = ["AxisCoefficients", "C0", "EPS0", "ETA0", "Grading", "MU0", "SlabPlacement",
           "WholeBox", "arguments", "axis_coefficients", "layer_profile", "memory", "positions",
           "time_step"]
