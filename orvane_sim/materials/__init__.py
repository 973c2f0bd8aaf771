"""Materials: the pole forms of plain and dispersive media (``Dielectric``,
``Debye``, ``Lorentz``, ``Drude``) and their discretisation into the tables
of the dispersive pass, and a library of named materials (silicon, silica,
silicon nitride, gold, silver, aluminium, copper) fitted to published
dispersion formulas over stated bands.

Imports only itself and ``orvane_sim.grid``.
"""
from .discrete import (DiscreteMaterial, MaterialTables, discrete_permittivity, discretise,
                       material_tables, node_coefficients, warped_frequency)
from .library import (DrudeFit, LorentzFit, aluminium, check_band, copper, gold, material, silica,
                      silicon, silicon_nitride, silver)
from .poles import LAYER_DAMPING, Debye, Dielectric, Drude, Lorentz, PoleForm

__all__ = ["Debye", "Dielectric", "DiscreteMaterial", "Drude", "DrudeFit", "LAYER_DAMPING",
           "Lorentz", "LorentzFit", "MaterialTables", "PoleForm", "aluminium", "check_band",
           "copper", "discrete_permittivity", "discretise", "gold", "material", "material_tables",
           "node_coefficients", "silica", "silicon", "silicon_nitride", "silver",
           "warped_frequency"]
