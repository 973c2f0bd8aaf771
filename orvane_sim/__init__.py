"""Python driver for the Orvane field updates: a simulation of plain and
dispersive objects on the Yee grid with absorbing layers on any face,
Bloch-periodic x-y boundaries, plane-wave (total-field/scattered-field) and
current sources, frequency and flux monitors; the slab demo
(``python3 -m orvane_sim``) and the pulse-absorption run
(``python3 -m orvane_sim pulse``)."""
from ._version import __version__
from .coefficients import (AxisCoefficients, Grading, axis_coefficients, layer_profile,
                           time_step)
from .dispersion import Debye, Dielectric, Drude, Lorentz
from .geometry import Box, Cylinder, Material, Object, Slab, Sphere
from .monitors import FluxPlane, FrequencyMonitor
from .periodic import BlochBoundary
from .simulation import Simulation, divergence, gaussian_pulse, load_backend
from .sources import CurrentBox, PlaneWave, gaussian

__all__ = [
    "AxisCoefficients", "BlochBoundary", "Box", "CurrentBox", "Cylinder", "Debye", "Dielectric",
    "Drude", "FluxPlane", "FrequencyMonitor", "Grading", "Lorentz", "Material", "Object",
    "PlaneWave", "Simulation", "Slab", "Sphere", "axis_coefficients", "divergence", "gaussian",
    "gaussian_pulse", "layer_profile", "load_backend", "time_step",
]
