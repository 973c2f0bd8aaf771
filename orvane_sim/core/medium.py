"""The dispersive medium that every electric step runs through: material
grids, tables and the state of the dispersive pass (the discretisation is
``orvane_sim.materials.discrete``)."""
from __future__ import annotations

from typing import Sequence

import torch

from ..materials.discrete import material_tables, node_coefficients
from ..materials.poles import Dielectric
from .checkpoint import Memo


class DispersiveMedium:
    """Material grids, tables and state of the dispersive pass for fields of
    the given shapes.

    ``grids`` holds, per component x, y, z, a (w, id1, id2) triple of 4-D
    tensors [B1, NX, NY, NZ] (float32 weight, uint8 ids), as the painting
    functions fill them. ``cg1`` and ``cg2`` are the coefficient grids that
    Update_E must use with the vacuum curl coefficient; ``apply`` runs the
    dispersive pass after it. ``Simulation.set_objects`` builds one from its
    objects; every material (a plain dielectric too) steps through it.

    A background of one plain dielectric other than vacuum (silica around a
    waveguide) is folded into the electric update: the curl and layer
    coefficients, the coefficient and denominator grids and the poles'
    drive are all divided by the background's denominator (``electric``),
    which divides the whole update, layer state and accumulators included,
    by one number and leaves the field as it was. The background's nodes
    then have denominator 1 and fall outside the pass's box. ``den1``,
    ``den2``, ``cg1``, ``cg2`` and ``tables`` stay the physical ones, for
    everything else that reads them; what the kernels get is ``electric``'s
    and ``apply``'s. ``curl_scale`` is the factor the layer state and the
    accumulators carry (1 without a folded background).

    Nodes of plain dielectrics (no pole driven there) need only the pass's
    division by their denominator; they are divided on their own, over the
    box that holds them (``plain_box``), and the pass runs over the nodes
    that hold poles (``box``), where those plain nodes read denominator 1.
    The division is the pass's own at such a node, E / (den1 + den2), at a
    fraction of its memory traffic: a dielectric object costs one read of
    its denominators and one of its fields per step. ``unrestricted`` goes
    back to one pass over every node, the arithmetic both must match.
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
        den_b = folded_background(self.tables)
        self._folded = None
        if den_b is not None:
            zero = torch.zeros_like(self.cg1[0])
            self._folded = dict(
                den_b=den_b, zero=zero, rec_b=self.tables.rec_b / den_b,
                cg=tuple((a - b) / den_b for a, b in zip(self.cg1, self.cg2)),
                den=tuple((a + b) / den_b for a, b in zip(self.den1, self.den2)))
        self._cells = (NX, NY, NZ)
        self._split()
        self._coefficients = None
        self._views = Memo()

    def _split(self) -> None:
        """The plain nodes' divisors and box, and the pass's denominators
        and box over the rest (see the class)."""
        f = self._folded
        den1, den2 = (self.den1, self.den2) if f is None else (f["den"], (f["zero"],) * 3)
        plain = plain_nodes(self.tables, self.grids, den1, den2)
        self._divisors = tuple(torch.where(p, a + b, torch.ones_like(a))
                               for p, a, b in zip(plain, den1, den2))
        self._plain_box = node_box(plain, self._cells)
        self._pass_den = (tuple(torch.where(p, torch.ones_like(a), a) for p, a in zip(plain, den1)),
                          tuple(torch.where(p, torch.zeros_like(b), b) for p, b in zip(plain, den2)))
        self._box = active_box(self.tables, self.grids, *self._pass_den, self._cells)

    def unrestricted(self, fold: bool = True) -> None:
        """One pass over every node of the box from now on, plain nodes
        included (without ``fold``, also with the background's denominator
        left in the pass instead of folded into the electric update): the
        arithmetic that the divided and restricted passes give bit for bit."""
        if not fold:
            self._folded = None
        self._divisors = None
        self._plain_box = None
        f = self._folded
        self._pass_den = (self.den1, self.den2) if f is None else (f["den"], (f["zero"],) * 3)
        self._box = tuple((0, n) for n in self._cells)
        self._views = Memo()

    @property
    def curl_scale(self) -> float:
        """1 / the folded background's denominator, 1.0 without one: the
        factor that the electric layer state and the accumulators carry."""
        return 1.0 if self._folded is None else 1.0 / self._folded["den_b"]

    def electric(self, cg1, cg2, ce, ec):
        """The (cg1, cg2, ce, ec) that Update_E runs with: the ones given, or
        with a folded background every one divided by its denominator (the
        grids as ``cg1`` - ``cg2`` over it and zero)."""
        if self._folded is None:
            return cg1, cg2, ce, ec
        given = (*ce, *ec)  # a slab sets its own coefficient vectors after painting
        cached = self._coefficients
        if cached is None or any(a is not b for a, b in zip(cached[0], given)):
            f = self._folded
            cached = self._coefficients = (given, (f["cg"], (f["zero"],) * 3,
                                                   tuple(c / f["den_b"] for c in ce),
                                                   tuple(c / f["den_b"] for c in ec)))
        return cached[1]

    @property
    def box(self) -> tuple[tuple[int, int], ...] | None:
        """The cells (first, end) per axis that the pass runs over, or None
        where it changes nothing (``active_box``)."""
        return self._box

    @property
    def plain_box(self) -> tuple[tuple[int, int], ...] | None:
        """The cells (first, end) per axis that hold every plain node that
        is divided on its own, or None where there is none."""
        return self._plain_box

    def apply(self, module, Ex, Ey, Ez) -> None:
        """The dispersive pass over ``box``: outside it every node is one the
        pass leaves as it is, so the fields, grids and state go to it as
        views of that box alone (the same arithmetic at every node it
        updates, at a fraction of the cost where the materials fill a
        fraction of the box)."""
        if self._box is None and self._plain_box is None:
            return
        # the same views every step, made once for the fields given
        key = tuple(f.data_ptr() for f in (Ex, Ey, Ez))
        divided, passed = self._views.get(key, lambda: self._arguments(Ex, Ey, Ez))
        for field, divisor in divided:
            field.div_(divisor)
        if passed is not None:
            module.Update_E_Dispersion(*passed)

    def _arguments(self, Ex, Ey, Ez) -> tuple:
        """The plain nodes' (field, divisor) views over ``plain_box``, and
        the dispersive pass's arguments over ``box`` (None without one)."""
        divided = []
        if self._plain_box is not None:
            cut = _cutter(self._plain_box)
            for field, divisor in zip((Ex, Ey, Ez), self._divisors):
                d = cut(divisor, first=1)  # [B1, ...] against the fields' [B0, B1, ..., B2]
                divided.append((cut(field), d.unsqueeze(0).unsqueeze(-1)))
        if self._box is None:
            return divided, None
        cut = _cutter(self._box)
        # each component one node longer along the two axes across it
        fields = [cut(f, e) for f, e in zip((Ex, Ey, Ez), STAGGER)]
        prev = [cut(f, e) for f, e in zip(self.prev, STAGGER)]
        grids = [cut(g, first=1) for trio in self.grids for g in trio]
        w, id1, id2 = grids[0::3], grids[1::3], grids[2::3]
        f = self._folded
        den1, den2 = ([cut(g, first=1) for g in d] for d in self._pass_den)
        acc1, acc2 = ([cut(a) for a in acc] for acc in (self.acc1, self.acc2))
        rec_b = self.tables.rec_b if f is None else f["rec_b"]
        return divided, (*fields, *prev, *w, *id1, *id2, *den1, *den2, self.tables.rec_a, rec_b,
                         *acc1, *acc2, self.spare)

    def reset(self, Ex, Ey, Ez) -> None:
        """Start the recursion from rest at the given fields."""
        for a in self.acc1 + self.acc2:
            a.zero_()
        for p, f in zip(self.prev, (Ex, Ey, Ez)):
            p.copy_(f)


def folded_background(tables) -> float | None:
    """The denominator of the background (material 0) where it can be folded
    into the electric update: a plain dielectric (no pole, no loss) other
    than vacuum; None otherwise. The float32 value itself, so that the
    background's nodes divide to exactly 1."""
    den, loss, beta = (float(t[0].abs()) if t.is_complex() else float(t[0])
                       for t in (tables.den, tables.loss, tables.rec_b))
    return den if den != 1.0 and loss == 0.0 and beta == 0.0 else None


# Extents of Ex, Ey, Ez beyond the box's cells along x, y, z: one more node
# along each axis across the component.
STAGGER = ((0, 1, 1), (1, 0, 1), (1, 1, 0))


def _cutter(box):
    """A function that narrows a tensor to ``box``'s cells along the three
    dimensions from ``first`` on (``extra``: nodes beyond them per axis)."""
    (i0, i1), (j0, j1), (k0, k1) = box

    def cut(t, extra=(0, 0, 0), first=2):
        return (t.narrow(first, i0, i1 - i0 + extra[0]).narrow(first + 1, j0, j1 - j0 + extra[1])
                .narrow(first + 2, k0, k1 - k0 + extra[2]))
    return cut


def driven_nodes(tables, grids) -> list[torch.Tensor]:
    """Per component, the nodes [B1, NX, NY, NZ] where a pole is driven:
    a material with a pole (beta != 0) holds a share of the node there."""
    beta = tables.rec_b.abs() > 0
    return [(beta[id1.long()] & (w != 0)) | (beta[id2.long()] & (w != 1)) for w, id1, id2 in grids]


def plain_nodes(tables, grids, den1, den2) -> list[torch.Tensor]:
    """Per component, the nodes whose pass is a division alone: no pole
    driven there (its accumulators stay at zero), a denominator other than
    1, and a node that the pass updates (not on the lower faces across the
    component)."""
    out = []
    for c, (driven, d1, d2) in enumerate(zip(driven_nodes(tables, grids), den1, den2)):
        plain = ~driven & (d1 + d2 != 1)
        for axis in range(3):
            if axis != c:
                plain.narrow(1 + axis, 0, 1).zero_()
        out.append(plain)
    return out


def node_box(nodes, cells) -> tuple[tuple[int, int], ...] | None:
    """The smallest box of cells (first, end) per axis that holds every
    node set in ``nodes`` (per component, [B1, ...] each, over ``cells``),
    or None where none is."""
    lo, hi = list(cells), [0, 0, 0]
    for held in nodes:
        found = held[(slice(None),) + tuple(slice(0, m) for m in cells)].any(dim=0).nonzero()
        if found.numel():
            lo = [min(a, int(v)) for a, v in zip(lo, found.min(dim=0).values)]
            hi = [max(a, int(v) + 1) for a, v in zip(hi, found.max(dim=0).values)]
    return None if hi == [0, 0, 0] else tuple(zip(lo, hi))


def active_box(tables, grids, den1, den2, cells) -> tuple[tuple[int, int], ...] | None:
    """The smallest box of cells (first, end) per axis outside which the
    dispersive pass changes nothing, or None where it changes nothing at all.

    A node whose denominator is 1 and whose materials' poles are not driven
    there (beta times the material's share is zero, so its accumulator stays
    at zero) comes out of the pass as it went in: E_new = (E_in - 0 - 0) / 1.
    Vacuum is such a node, and so is a lossy material with den = 1 (its loss
    is in Update_E's coefficients). The box holds every other node that the
    whole-box pass updates; it starts one cell early along each axis, because
    the pass skips index 0 across each component, and a box starting at
    index n > 0 would skip n."""
    active = []
    for c, (driven, d1, d2) in enumerate(zip(driven_nodes(tables, grids), den1, den2)):
        nodes = (d1 + d2 != 1) | driven
        for axis in range(3):  # the nodes the whole-box pass skips
            if axis != c:
                nodes.narrow(1 + axis, 0, 1).zero_()
        active.append(nodes)
    box = node_box(active, cells)
    return None if box is None else tuple((max(a - 1, 0), b) for a, b in box)
