"""Known answers: closed forms (the transfer matrix of a planar stack,
Airy, Fresnel, the Bloch modes of a periodic stack, the grid's own
wavenumber: ``analytic``), Mie theory for a
sphere (``mie``), and planar stacks run in a periodic column and measured
as those forms measure them (``stacks``).

Imports only itself, ``orvane_sim.sources`` and the folders below it.
"""
from . import mie
from .analytic import airy, angle, bloch_cosine, bloch_frequency, fresnel, stack, yee_wavenumber
from .stacks import PlanarResult, layer, planar

__all__ = ["PlanarResult", "airy", "angle", "bloch_cosine", "bloch_frequency", "fresnel",
           "layer", "mie", "planar", "stack", "yee_wavenumber"]
