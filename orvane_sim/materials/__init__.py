"""Materials: the pole forms of plain and dispersive media (``Dielectric``,
``Debye``, ``Lorentz``, ``Drude``) and their discretisation into the tables
of the dispersive pass. A library of named materials belongs here too.

Imports only itself and ``orvane_sim.grid``.
"""
from .discrete import (DiscreteMaterial, MaterialTables, discrete_permittivity, discretise,
                       material_tables, node_coefficients, warped_frequency)
from .poles import LAYER_DAMPING, Debye, Dielectric, Drude, Lorentz, PoleForm

__all__ = ["Debye", "Dielectric", "DiscreteMaterial", "Drude", "LAYER_DAMPING", "Lorentz",
           "MaterialTables", "PoleForm", "discrete_permittivity", "discretise",
           "material_tables", "node_coefficients", "warped_frequency"]
