"""Geometry: shapes and objects, a shape filled with a material
(``shapes``), their painting into the material grids with sub-cell
smoothing (``painting``; on axes of unequal cells ``graded``), polygon
prisms (``prisms``), objects from GDS layouts (``gds``), layouts to try
them with (``layouts``), the automatic mesher that fits a grid to objects
(``meshing``), and which objects reach into the absorbing layers
(``clearance``).

Imports only itself, ``orvane_sim.materials`` and ``orvane_sim.grid``.
"""
from . import layouts
from .clearance import OutsideInteriorWarning
from .gds import Layer, objects_from_gds
from .meshing import automatic_grid
from .painting import (dispersive, fill_fraction, material_grids, node_coordinates,
                       permittivity_grids)
from .prisms import Prism, polygonal
from .shapes import (Box, Cylinder, Material, Object, PeriodicImages, Shape, Slab, Sphere,
                     periodic_images)

__all__ = ["Box", "Cylinder", "Layer", "Material", "Object", "OutsideInteriorWarning",
           "PeriodicImages", "Prism", "Shape", "Slab", "Sphere", "automatic_grid", "dispersive",
           "fill_fraction", "layouts", "material_grids", "node_coordinates", "objects_from_gds",
           "periodic_images", "permittivity_grids", "polygonal"]
