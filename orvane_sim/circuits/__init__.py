"""Photonic circuits: the guided modes of a waveguide cross-section on the
grid (``modes``) and the cross-section cut out of a simulation
(``cross_section``), mode ports that launch and measure them (``ports``),
S-parameters and Touchstone files (``s_parameters``).

Imports only itself, ``orvane_sim.sources`` and the folders below it.
"""
from .cross_section import CrossSection, plane_permittivity
from .modes import Modes, solve_modes
from .ports import ModePort
from .s_parameters import s_parameters, write_touchstone

__all__ = ["CrossSection", "ModePort", "Modes", "plane_permittivity", "s_parameters",
           "solve_modes", "write_touchstone"]
