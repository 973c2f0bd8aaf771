"""Python driver for the Orvane field updates: a simulation of plain and
dispersive objects on the Yee grid with absorbing layers on any face,
Bloch-periodic x-y boundaries, plane-wave (total-field/scattered-field) and
current sources, total-field boxes lit from any side, frequency monitors,
flux planes, rectangles and closed boxes, the far-field projection, prisms
and objects from GDS layouts (``orvane_sim.geometry``), the guided modes of
a waveguide cross-section on the grid, mode ports and inverse design;
pictures of the painted structure, a monitor's field and a port's modes
(``Simulation.plot``, ``FrequencyMonitor.plot``, ``ModePort.plot_modes``);
and the command-line demos (``python3 -m orvane_sim [slab|pulse|mie|coupler|
design]``).

The names most runs need import from here. The code lives in folders by
concern, each importing only the folders below it (docs/layout.md).
"""
from . import _moved
from ._version import __version__
from .circuits import CrossSection, Modes, plane_permittivity, solve_modes
from .core import (BlochBoundary, CheckpointError, NonFiniteFields, Simulation, divergence,
                   gaussian_pulse, load_backend)
from .geometry import Box, Cylinder, Material, Object, Prism, Slab, Sphere
from .grid import AxisCoefficients, Grading, axis_coefficients, layer_profile, time_step
from .materials import Debye, Dielectric, Drude, Lorentz
from .monitors import (FluxBox, FluxPlane, FluxRectangle, FrequencyMonitor, far_field, intensity,
                       radiated_power, sphere_quadrature)
from .sources import CurrentBox, PlaneWave, TotalFieldBox, gaussian

__all__ = [
    "AxisCoefficients", "BlochBoundary", "Box", "CheckpointError", "CrossSection", "CurrentBox",
    "Cylinder", "Debye", "Dielectric", "Drude", "FluxBox", "FluxPlane", "FluxRectangle",
    "FrequencyMonitor", "Grading", "Lorentz", "Material", "Modes", "NonFiniteFields", "Object", "PlaneWave", "Prism", "Simulation", "Slab",
    "Sphere", "TotalFieldBox", "axis_coefficients", "divergence", "far_field", "gaussian",
    "gaussian_pulse", "intensity", "layer_profile", "load_backend", "plane_permittivity",
    "radiated_power", "solve_modes", "sphere_quadrature", "time_step",
]

_moved.install()  # the old module paths, for one release


def __getattr__(name):
    # the modules of 0.1.0 by their old names (``orvane_sim.simulation``), for one release
    if name in _moved.MOVED or name in _moved.SPLIT:
        return _moved.attribute(name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
