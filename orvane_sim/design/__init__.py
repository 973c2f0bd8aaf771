"""Inverse design: design regions whose permittivity a density sets, the
objectives read from the frequency-domain fields (``objectives``) and the
adjoint run that gives their gradients through torch.autograd.

Imports only itself and the folders below it (``orvane_sim.circuits`` for
the mode-power objective).
"""
from .adjoint import Design, DesignRegion
from .objectives import DiffractionOrder, Flux, Intensity, ModePower

__all__ = ["Design", "DesignRegion", "DiffractionOrder", "Flux", "Intensity", "ModePower"]
