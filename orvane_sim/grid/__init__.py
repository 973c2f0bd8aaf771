"""The box's arithmetic, below everything else: argument checks
(``arguments``), the axes of a box, each with one spacing or its own
node coordinates (``rectilinear``), positions in length units and the
nodes they snap to (``positions``), the absorbing layers' update
coefficients and the time step (``coefficients``), node coordinates fitted
to intervals of the structure (``mesher``), which part of a box the
tensors here hold (``placement``) and the memory a box needs (``memory``).

Imports nothing of the package but itself.
"""
from . import arguments, memory, positions
from .coefficients import (C0, EPS0, ETA0, MU0, AxisCoefficients, Grading, axis_coefficients,
                           graded_axis_coefficients, layer_profile, time_step)
from .mesher import MeshInterval, mesh_axis
from .placement import SlabPlacement, WholeBox
from .rectilinear import Axis, RectilinearGrid

__all__ = ["Axis", "AxisCoefficients", "C0", "EPS0", "ETA0", "Grading", "MU0", "MeshInterval",
           "RectilinearGrid", "SlabPlacement", "WholeBox", "arguments", "axis_coefficients",
           "graded_axis_coefficients", "layer_profile", "memory", "mesh_axis", "positions",
           "time_step"]
