"""Python driver for the Orvane field updates: coefficients, a vacuum-box
simulation and the absorbing-layer demo (``python3 -m orvane_sim``), plane-wave
and current sources, frequency monitors and periodic (Bloch) boundaries."""
from ._version import __version__
from .coefficients import (AxisCoefficients, Grading, axis_coefficients, layer_profile,
                           time_step)
from .monitors import FrequencyMonitor
from .periodic import BlochBoundary
from .simulation import Simulation, divergence, gaussian_pulse, load_backend
from .sources import CurrentBox, PlaneWave, gaussian

__all__ = [
    "AxisCoefficients", "BlochBoundary", "CurrentBox", "FrequencyMonitor", "Grading",
    "PlaneWave", "Simulation", "axis_coefficients", "divergence", "gaussian", "gaussian_pulse",
    "layer_profile", "load_backend", "time_step",
]
