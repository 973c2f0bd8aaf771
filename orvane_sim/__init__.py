"""Python driver for the Orvane field updates: coefficients, a vacuum-box
simulation and the absorbing-layer demo (``python3 -m orvane_sim``)."""
from .coefficients import (AxisCoefficients, Grading, axis_coefficients, layer_profile,
                           time_step)
from .simulation import Simulation, divergence, gaussian_pulse, load_backend

__all__ = [
    "AxisCoefficients", "Grading", "Simulation", "axis_coefficients", "divergence",
    "gaussian_pulse", "layer_profile", "load_backend", "time_step",
]
