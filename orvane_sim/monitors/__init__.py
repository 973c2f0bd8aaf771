"""Monitors: Fourier sums of the fields at chosen frequencies
(``frequency``), the flux through planes, rectangles and closed boxes
(``flux``), the far field projected from a closed surface (``farfield``)
and fields resampled onto other grids (``resample``).

Imports only itself, ``orvane_sim.core`` and the folders below it.
"""
from .farfield import far_field, intensity, radiated_power, sphere_quadrature
from .flux import FluxBox, FluxPlane, FluxRectangle
from .frequency import DecimationWarning, FrequencyMonitor, StepFactors, fourier_factors
from .resample import fields_on_grid, spread, yee_coordinates

# (``resample.resample`` stays in its module: re-exported here, the function
# would hide the module of the same name.)
__all__ = ["DecimationWarning", "FluxBox", "FluxPlane", "FluxRectangle", "FrequencyMonitor",
           "StepFactors",
           "far_field", "fields_on_grid", "fourier_factors", "intensity", "radiated_power",
           "sphere_quadrature", "spread", "yee_coordinates"]
