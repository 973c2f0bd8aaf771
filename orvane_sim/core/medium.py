"""The dispersive medium that every electric step runs through: material
grids, tables and the state of the dispersive pass (the discretisation is
``orvane_sim.materials.discrete``)."""
from __future__ import annotations

from typing import Sequence

import torch

from ..materials.discrete import material_tables, node_coefficients
from ..materials.poles import Dielectric


class DispersiveMedium:
    """Material grids, tables and state of the dispersive pass for fields of
    the given shapes.

    ``grids`` holds, per component x, y, z, a (w, id1, id2) triple of 4-D
    tensors [B1, NX, NY, NZ] (float32 weight, uint8 ids), as the painting
    functions fill them. ``cg1`` and ``cg2`` are the coefficient grids that
    Update_E must use with the vacuum curl coefficient; ``apply`` runs the
    dispersive pass after it. ``Simulation.set_objects`` builds one from its
    objects; every material (a plain dielectric too) steps through it.
    """

    def __init__(self, materials: Sequence[Dielectric], dt: float, grids, field_shapes,
                 device="cpu"):
        self.tables = material_tables(materials, dt, device)
        self.grids = [tuple(t.to(device) for t in g) for g in grids]
        coeffs = [node_coefficients(self.tables, *g) for g in self.grids]
        self.den1, self.den2, self.cg1, self.cg2 = (tuple(c[n] for c in coeffs) for n in range(4))
        B0, B1, NX, _, _, B2 = field_shapes[0]
        NY, NZ = field_shapes[1][3], field_shapes[2][4]
        acc = (B0, B1, NX, NY, NZ, B2)
        self.acc1 = tuple(torch.zeros(acc, dtype=torch.complex64, device=device) for _ in range(3))
        self.acc2 = tuple(torch.zeros(acc, dtype=torch.complex64, device=device) for _ in range(3))
        self.prev = tuple(torch.zeros(s, device=device) for s in field_shapes)
        self.spare = torch.empty(0, device=device)

    def apply(self, module, Ex, Ey, Ez) -> None:
        w, id1, id2 = zip(*self.grids)
        module.Update_E_Dispersion(Ex, Ey, Ez, *self.prev, *w, *id1, *id2, *self.den1, *self.den2,
                                   self.tables.rec_a, self.tables.rec_b, *self.acc1, *self.acc2,
                                   self.spare)

    def reset(self, Ex, Ey, Ez) -> None:
        """Start the recursion from rest at the given fields."""
        for a in self.acc1 + self.acc2:
            a.zero_()
        for p, f in zip(self.prev, (Ex, Ey, Ez)):
            p.copy_(f)
