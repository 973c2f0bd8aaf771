"""Inverse design: design regions whose permittivity a density sets
(``region``), the objectives read from the frequency-domain fields
(``objectives``) and the adjoint run that gives their gradients through
torch.autograd (``adjoint``).

Imports only itself and the folders below it (``orvane_sim.circuits`` for
the mode-power objective).
"""
from .adjoint import Design
from .objectives import DiffractionOrder, Flux, Intensity, ModePower
from .region import DesignRegion

__all__ = ["Design", "DesignRegion", "DiffractionOrder", "Flux", "Intensity", "ModePower"]
