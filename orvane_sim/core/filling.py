"""Filling a box with objects: their painting into the material grids over
a background (``set_objects``), design regions painted over them
(``paint_designs``), the stand-ins that take a material's place inside the
absorbing layers, and the two copies of a periodic seam made equal.
``Simulation`` takes it as a base class.
"""
from __future__ import annotations

import logging

import torch

from ..grid import positions
from ..grid.arguments import real
from .descriptions import forget, recorded

# The logger keeps the name it had before the driver had folders: it is
# documented, and logging set-ups name it.
log = logging.getLogger("orvane_sim.simulation")



def check_bands(materials, features) -> None:
    """Refuse a monitor's or port's frequency outside the band of a
    library material (one fitted over a band, ``materials.library``) among
    ``materials``: its fit says nothing there. A ValueError names the
    feature, the material and its band."""
    fitted = [m for m in materials if hasattr(m, "check_frequencies")]
    for feature in features:
        frequencies = getattr(feature, "frequencies", None)
        if frequencies is None:
            continue
        for material in fitted:
            material.check_frequencies(frequencies, getattr(feature, "name", None)
                                       or type(feature).__name__)

class Filling:
    """``set_objects``, ``paint_designs`` and the material grids they build,
    for ``Simulation``."""

    @recorded
    def set_objects(self, objects, background=None, resolution: int = 4, supersample: int = 2,
                    smoothing="anisotropic") -> None:
        """Fill the box with ``objects`` (``geometry.Object``s, painted in
        order over ``background``, a material or a permittivity, vacuum by
        default), or with one list of objects per b1, and step the electric
        field through their materials.

        ``smoothing``: "anisotropic" (or True) gives each node near an
        interface the full smoothed inverse permittivity of its dual cell
        (sub-cell smoothing): its diagonal entry as the node's permittivity,
        its off-diagonal entries as couplings to the other components'
        nodes around it (``self.anisotropy``, ``core.anisotropy``);
        "average" (or False) the volume-weighted blend of the two
        materials that share it, "staircase" the material that covers most
        of its dual cell; one choice, or one per b1. Sub-cell smoothing has
        no sound weight yet where a pole material (``Debye``, ``Lorentz``,
        ``Drude``) shares a node, so "anisotropic" takes the staircase there
        (and says so once per simulation, on the ``orvane_sim.simulation``
        logger at INFO): the volume-weighted blend it took before put a
        Drude sphere's absorption 68 % off Mie's, the staircase 18 %.
        ``resolution`` and
        ``supersample`` set the sampling of the objects (lattice cells per
        grid cell, points per lattice cell; one number or one per axis).

        Inside the absorbing layers a material's stand-in
        (``Dielectric.in_layers``: a Drude metal, its pole damped more the
        deeper the node) takes its place, so that the layers stay stable.
        """
        from ..materials.discrete import material_tables
        from ..materials.poles import Dielectric
        from ..geometry.painting import _per_axis, dispersive, material_grids
        from ..geometry.shapes import periodic_images
        from .medium import folded_background

        _per_axis(resolution, "resolution")  # counts, checked before the grids are made
        _per_axis(supersample, "supersample")
        B0, B1 = self.batch
        choices = list(smoothing) if isinstance(smoothing, (list, tuple)) else [smoothing] * B1
        if len(choices) != B1:
            raise ValueError(f"one smoothing per b1 needs {B1} entries, got {len(choices)}")
        modes = []
        for choice in choices:
            mode = {True: "anisotropic", False: "average"}.get(choice, choice) \
                if isinstance(choice, bool) else choice
            if mode not in ("anisotropic", "average", "staircase"):
                raise ValueError(f"smoothing must be 'anisotropic', 'average' or 'staircase', "
                                 f"got {choice!r}")
            modes.append(mode)
        if objects and isinstance(objects[0], (list, tuple)):
            per_batch = [list(o) for o in objects]
            if len(per_batch) != B1:
                raise ValueError(f"one object list per b1 needs {B1} lists, got {len(per_batch)}")
        else:
            per_batch = [list(objects or [])] * B1
        for objs in per_batch:
            for k, obj in enumerate(objs):
                self._check_object(obj, k)
        self._warn_of_stray_parts(per_batch)
        if background is None:
            background = Dielectric(1.0)
        elif not isinstance(background, Dielectric):
            background = Dielectric(real(background, "background (a material or a "
                                                      "permittivity)"))
        materials = [background] + [o.material for objs in per_batch for o in objs]
        check_bands(materials, self.monitors + self.sources)
        tables = material_tables(materials, self.dt, self.device)
        if self.medium is None:
            self._check_memory(True, only_materials=True,
                               folded=folded_background(tables) is not None)
        poles = [dispersive(m) for m in materials]
        pole_ids = torch.tensor(poles, device=self.device)
        staircased = set()
        NX, NY, NZ = self.shape
        dev = self.device
        grids = [(torch.zeros(B1, NX, NY, NZ, device=dev),
                  torch.zeros(B1, NX, NY, NZ, dtype=torch.uint8, device=dev),
                  torch.zeros(B1, NX, NY, NZ, dtype=torch.uint8, device=dev)) for _ in range(3)]
        # A periodic box holds each object with its images one period away,
        # so that a shape crossing the seam is whole on both sides of it.
        box = self.placement.shape
        periods = {a: (box[a] - 1) * self.spacing[a] for a in self.periodic_axes()}
        first = 1
        # the off-diagonal entries of the smoothed tensor, where a b1 asks for it
        terms = [torch.zeros(B1, NX, NY, NZ, 2, device=dev) for _ in range(3)] \
            if "anisotropic" in modes else None
        painted_objects = []
        for b1, objs in enumerate(per_batch):
            out = [tuple(g[b1:b1 + 1] for g in comp) for comp in grids]
            objs = [periodic_images(o, periods, box, self.spacing) for o in objs]
            painted_objects.append(objs)
            if self.is_uniform():
                material_grids(objs, self.shape, self.spacing, self.module, dev, tables.den,
                               resolution, supersample, modes[b1] == "anisotropic", first, out,
                               domain=self.placement.shape, offset=self.placement.offset,
                               periodic=tuple(periods), poles=poles,
                               off_diagonal=None if modes[b1] != "anisotropic" else
                               [t[b1:b1 + 1] for t in terms])
            else:
                from ..geometry.graded import graded_material_grids

                graded_material_grids(objs, self.grid, self.module, dev, tables.den, resolution,
                                      supersample, modes[b1] == "anisotropic", first, out,
                                      shape=self.shape, offset=self.placement.offset,
                                      periodic=tuple(periods), poles=poles,
                                      off_diagonal=None if modes[b1] != "anisotropic" else
                                      [t[b1:b1 + 1] for t in terms])
            if modes[b1] == "staircase":
                for w, _, _ in out:
                    w.copy_((w >= 0.5).to(w.dtype))
            elif modes[b1] == "anisotropic" and any(poles[:1] + poles[first:first + len(objs)]):
                for w, p, q in out:
                    shared = pole_ids[p.long()] | pole_ids[q.long()]
                    w[shared] = (w[shared] >= 0.5).to(w.dtype)
                staircased.update(type(m).__name__ for m, pole in zip(
                    materials[:1] + materials[first:first + len(objs)],
                    poles[:1] + poles[first:first + len(objs)]) if pole)
            first += len(objs)
        if staircased and not getattr(self, "_told_staircase", False):
            self._told_staircase = True
            log.info("smoothing 'anisotropic': the nodes that a %s material shares take the "
                     "staircase (the material covering most of the dual cell), as sub-cell "
                     "smoothing has no sound weight for pole materials; smoothing='average' "
                     "gives the volume-weighted blend", " or ".join(sorted(staircased)))
        self.match_seams(grids)
        self._extrude_into_layers(grids)
        if terms is not None:
            for axis in sorted(self.periodic_axes()):
                for t in terms:
                    self._match_seam(t, axis)
            # kept as the nodes that have them: most nodes have none
            terms = [(t.abs().sum(-1) > 0).nonzero() for t in terms], terms
            terms = [(index, t[tuple(index.t())]) for index, t in zip(*terms)]
        self._off_diagonal = terms
        materials = self._stand_ins_in_layers(materials, grids)
        self.painted = (materials, grids)
        # the shapes, for the pictures' outlines; a private name, as a
        # checkpoint needs its private entries on one side only, so that the
        # checkpoints written before these were kept still load
        self._painted_objects = painted_objects
        self._set_medium(materials, grids)
        forget(self, "paint_designs")  # the design regions painted before are gone

    def painted_objects(self, b1: int = 0) -> list:
        """The objects of material arrangement ``b1`` as the last
        ``set_objects`` painted them (in a periodic box, each with its
        images one period away); [] before any."""
        painted = getattr(self, "_painted_objects", None)
        return [] if painted is None else list(painted[b1])

    def _set_medium(self, materials, grids, design=None) -> None:
        """The medium of ``grids``, and the anisotropic pass of the
        off-diagonal entries painted with them (``design``: per component,
        the nodes a design region paints, which take no part in it)."""
        from .anisotropy import build, taking_part
        from .medium import DispersiveMedium

        shapes = [tuple(f.shape) for f in (self.Ex, self.Ey, self.Ez)]
        self.medium = DispersiveMedium(materials, self.dt, grids, shapes, self.device)
        self.cg1, self.cg2 = self.medium.cg1, self.medium.cg2
        self.anisotropy = None
        terms = getattr(self, "_off_diagonal", None)
        if terms is None or not any(index.shape[0] for index, _ in terms):
            return
        tables = self.medium.tables
        plain = ((tables.rec_b == 0) & (tables.loss == 0)).to(self.device)
        den = [a + b for a, b in zip(self.medium.den1, self.medium.den2)]
        dense = []
        for (index, values), d in zip(terms, den):
            t = torch.zeros(*d.shape, 2, device=self.device)
            t[tuple(index.t())] = values
            dense.append(t)
        self.anisotropy = build(self, dense, den,
                                taking_part(self, self.medium.grids, den, plain, design))

    def _warn_of_stray_parts(self, per_batch) -> None:
        """Warn of objects that reach into the absorbing layers other than
        straight across them (``geometry.clearance``), once per list."""
        import warnings

        from ..geometry.clearance import OutsideInteriorWarning, caller_level, stray_parts

        seen = set()
        for b1, objs in enumerate(per_batch):
            if id(objs) in seen:
                continue
            seen.add(id(objs))
            for message in stray_parts(objs, self.placement.shape, self.spacing, self.faces,
                                       self.periodic_axes(), None if self.is_uniform() else
                                       [self.grid[a].nodes.tolist() for a in range(3)]):
                where = f"b1 = {b1}: " if len(per_batch) > 1 else ""
                warnings.warn(where + message, OutsideInteriorWarning,
                              stacklevel=caller_level())

    def _check_object(self, obj, k: int) -> None:
        """An Object whose shape has an extent (NaN-free, lo < hi) and
        reaches into the box along every axis that is not periodic."""
        from ..materials.poles import Dielectric
        from ..geometry.shapes import Object

        if not isinstance(obj, Object):
            raise TypeError(f"objects must be Objects (a shape and a material), got "
                            f"{type(obj).__name__} at position {k}")
        if not isinstance(obj.material, Dielectric):
            raise TypeError(f"object {k}'s material must be a material (Dielectric, Debye, "
                            f"Lorentz or Drude), got {obj.material!r} "
                            f"({type(obj.material).__name__})")
        periodic = self.periodic_axes()
        for axis, (lo, hi) in enumerate(obj.shape.bounds()):
            name = f"object {k} ({type(obj.shape).__name__})"
            if not lo < hi:  # NaN, an empty or inverted shape
                raise ValueError(f"{name} has no extent along {'xyz'[axis]}: it spans "
                                 f"{lo} .. {hi}")
            size = positions.extent(self, axis)
            if axis not in periodic and (hi < 0 or lo > size):
                raise ValueError(f"{name} lies wholly outside the box along {'xyz'[axis]}: it "
                                 f"spans {lo:g} .. {hi:g}, the box 0 .. {size:g}")

    @recorded
    def paint_designs(self, designs) -> None:
        """Step the electric field through the painted objects with design
        regions painted over them: ``designs`` holds (region, weights) pairs,
        the weights of material b per component, [B1 or 1, ...] over the
        region's nodes of that component in the whole box
        (``DesignRegion.weights``; a slab paints the part it holds), the rest
        of each node being material a. Each call starts again from the
        objects as ``set_objects`` painted them."""
        if self.painted is None:
            self.set_objects([])
        materials, grids = self.painted
        materials = list(materials)
        grids = [tuple(g.clone() for g in trio) for trio in grids]
        design = [torch.zeros_like(w, dtype=torch.bool) for w, _, _ in grids]
        for region, weights in designs:
            if len(materials) + 2 > 256:
                raise ValueError("the design regions' materials do not fit the 256 material ids")
            first = len(materials)
            materials += list(region.materials)
            for (w, id1, id2), part, share in zip(grids, region.local, weights):
                if part is None:  # none of this component's nodes lie here
                    continue
                nodes, mine = part
                where = (slice(None),) + nodes
                w[where] = share.detach()[(slice(None),) + mine].to(w.dtype)
                id1[where] = first + 1
                id2[where] = first
        for (_, id1, _), mask in zip(grids, design):
            mask |= id1 >= len(self.painted[0])  # a design region's material
        self.match_seams(grids)
        self._set_medium(materials, grids, design)

    def match_seams(self, grids) -> None:
        """Give the two copies of each periodic seam the same material: grid
        index N-1 along a periodic axis is index 0 one period on (the nodes
        0 and N-1 of a node axis, the cells 0 and N-1 of a cell axis), and
        two paintings of one plane differ in the last float32 bit, enough to
        break a symmetry the structure has. ``grids``: (weight, primary id,
        secondary id) per component, [B1, NX, NY, NZ] each."""
        for axis in sorted(self.periodic_axes()):
            for trio in grids:
                for g in trio:
                    self._match_seam(g, axis)

    def _match_seam(self, grid: torch.Tensor, axis: int) -> None:
        d = 1 + axis
        grid.select(d, grid.size(d) - 1).copy_(grid.select(d, 0))

    def _extrude_into_layers(self, grids) -> None:
        """Make the medium inside each absorbing layer invariant along the
        layer's normal, in place: every node there takes what the first
        interior node on its line holds. A layer is matched only to a medium
        invariant along its normal: where an object ends inside one (a
        sphere reaching into it), a mode trapped by the object with its
        tail in the layer grows without bound, whatever the grading."""
        place = self.placement
        for axis, ((low, high), cells, start) in enumerate(zip(self.faces, place.shape,
                                                               place.offset)):
            n = self.shape[axis]
            for component, trio in enumerate(grids):
                spans = []  # (first, stop) of the layer's nodes, the interior node they take
                if low:
                    spans.append((0, low, low))
                if high:
                    last = cells - high - (1 if axis == component else 0)
                    spans.append((last + 1, cells + 1, last))
                for first, stop, edge in spans:
                    lo, hi = max(first - start, 0), min(stop - start, n)
                    for g in trio:
                        plane = self._box_plane(g, axis, edge)
                        if lo < hi:
                            part = g.narrow(1 + axis, lo, hi - lo)
                            part.copy_(plane.expand_as(part))

    def _box_plane(self, grid: torch.Tensor, axis: int, index: int) -> torch.Tensor:
        """The plane at box index ``index`` along ``axis`` of ``grid``
        [B1, NX, NY, NZ] held here, one thick along ``axis``."""
        return grid.narrow(1 + axis, index - self.placement.offset[axis], 1)

    def layer_depth(self, component: int) -> torch.Tensor:
        """float32 [NX, NY, NZ]: how deep each node of electric component
        ``component`` (0, 1, 2 for x, y, z) lies in the absorbing layers, as
        a fraction of the layer's thickness (the deepest of its layers; 0
        outside them, 1 on a face)."""
        place = self.placement
        depth = torch.zeros(self.shape, dtype=torch.float32, device=self.device)
        for axis, ((low, high), cells, start) in enumerate(zip(self.faces, place.shape,
                                                               place.offset)):
            if self.spacing[axis] is None:
                depth = torch.maximum(depth, self._graded_depth(axis, component, low, high))
                continue
            position = torch.arange(start, start + self.shape[axis], dtype=torch.float32,
                                    device=self.device) + (0.5 if axis == component else 0.0)
            along = torch.zeros_like(position)
            if low > 0:
                along = torch.maximum(along, (low - position) / low)
            if high > 0:
                along = torch.maximum(along, (position - (cells - high)) / high)
            view = [1, 1, 1]
            view[axis] = -1
            depth = torch.maximum(depth, along.clamp(0.0, 1.0).view(view))
        return depth

    def _graded_depth(self, axis: int, component: int, low: int, high: int) -> torch.Tensor:
        """``layer_depth`` along a non-uniform axis: the physical depth of
        each node into the layer of ``low`` or ``high`` cells, as a share of
        the layer's thickness, shaped to broadcast along ``axis``."""
        from ..grid.rectilinear import coordinates

        a = self.grid[axis]
        start = self.placement.offset[axis]
        x = coordinates(a, start, start + self.shape[axis], half=axis == component)
        along = torch.zeros_like(x)
        if low > 0:
            inner = float(a.nodes[low])
            along = torch.maximum(along, (inner - x) / inner)
        if high > 0:
            inner = float(a.nodes[a.cells - high])
            along = torch.maximum(along, (x - inner) / (a.length - inner))
        view = [1, 1, 1]
        view[axis] = -1
        return along.clamp(0.0, 1.0).to(torch.float32).to(self.device).view(view)

    def _stand_ins_in_layers(self, materials: list, grids) -> list:
        """Give the nodes inside the layers that hold a material with a
        stand-in there (``Dielectric.in_layers``) the id of the stand-in for
        their depth, in place in the id grids; returns the materials with the
        stand-ins appended (one per material and depth, shared by the objects
        of one material)."""
        materials = list(materials)
        changing = [(m, mat) for m, mat in enumerate(materials) if mat.in_layers(1.0) is not mat]
        new_id = {}
        for component, (_, primary, secondary) in enumerate(grids if changing else ()):
            depth = self.layer_depth(component).expand_as(primary)
            for m, material in changing:
                for ids in (primary, secondary):
                    mine = (ids == m) & (depth > 0)
                    for u in torch.unique(depth[mine]).tolist():
                        stand_in = material.in_layers(u)
                        if stand_in is material:
                            continue
                        if (material, u) not in new_id:
                            if len(materials) == 256:
                                what = "the background" if m == 0 else f"object {m - 1}"
                                raise ValueError(
                                    f"{what} ({type(material).__name__}) reaches into the "
                                    "absorbing layers, where its pole is damped by depth "
                                    "(stand-ins with material ids of their own), but all 256 "
                                    "ids are taken: use fewer objects or thinner layers")
                            new_id[material, u] = len(materials)
                            materials.append(stand_in)
                        ids[mine & (depth == u)] = new_id[material, u]
        return materials

    def permittivity(self) -> tuple[torch.Tensor, torch.Tensor, torch.Tensor]:
        """Per-node denominators den1 + den2 [B1, NX, NY, NZ] of the three
        components: the permittivity each node's field sees (vacuum: 1)."""
        if self.medium is None:
            return tuple(torch.ones_like(c) for c in self.cg1)
        return tuple(a + b for a, b in zip(self.medium.den1, self.medium.den2))
