"""Photonic circuits: the guided modes of a waveguide cross-section on the
grid (``modes``), mode ports that launch and measure them (``ports``),
S-parameters and Touchstone files.

Imports only itself, ``orvane_sim.sources`` and the folders below it.
"""
from .modes import CrossSection, Modes, plane_permittivity, solve_modes
from .ports import ModePort, s_parameters, write_touchstone

__all__ = ["CrossSection", "ModePort", "Modes", "plane_permittivity", "s_parameters",
           "solve_modes", "write_touchstone"]
