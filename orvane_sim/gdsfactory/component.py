"""A gdsfactory component as a ``Simulation``: its layer stack's levels as
prisms, the layout centred in the box with margins, every optical port
extended through the absorbing layers and given a mode port.

The box, along x and y: the component's outline, ``xmargin`` / ``ymargin``
of cladding beyond it, then the absorbing layers (``layer_thickness``);
along z: the drawn levels, ``zmargin`` above and below, then the layers.
Each optical port's guide is extended straight through the margin and the
layers, so the port sees a uniform guide running out of the box. The mode
port's plane sits ``port_offset`` outside the component's port, in that
straight extension (its monitor lies two cells inward of the plane, and
must not see the component's first change of section); the plane reaches
``port_margin`` beyond the guide on each side and above and below the
drawn levels, shortened where two ports' planes would overlap.

The cells: x and y keep one spacing, 1 / ``resolution``, as every port
faces ±x or ±y and a mode port needs one spacing along its normal. Along
z, ``mesh="graded"`` (the default) lets ``automatic_grid`` fit the cells
to the levels: at least ``level_cells`` across each drawn level, its top
and bottom on nodes, every material resolved along z as x and y resolve
the densest (cells no longer than 1 / ``resolution`` in it, longer in
proportion where the index is lower), growing by at most ``mesh_ratio``
per cell away from the levels, and equal cells through the absorbing
layers. A silicon layer 0.22 µm thick then has its faces on nodes and 8
cells across where 20 cells per µm would give it 4.4, and the claddings
take cells 2.4 times as long as x and y's. ``mesh="graded-yz"`` fits y
the same way, where every port faces ±x (a port facing ±y needs one
spacing along y): across a guide along x the cladding then takes longer
cells too, and a straight strip's box a quarter of the cells at 50 per µm.
``mesh="uniform"``: z at 1 / ``resolution`` as well, the box of whole
cells of one spacing.

Levels: a level whose layer holds shapes in the component is drawn as
prisms (its sidewall angle about the height ``width_to_z`` of the level,
where gdsfactory draws the layout's width); a level on the wafer layer (no
shapes of its own: the substrate, the buried oxide, the cladding) is a slab
across the whole box where it meets the box's z range; the cladding over
the drawn levels is the background. Levels are painted in decreasing
``mesh_order``, so the level gdsfactory gives priority (the smaller order)
is painted last, over the others.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import torch

from ..circuits.ports import ModePort
from ..core.simulation import Simulation
from ..geometry.meshing import automatic_grid
from ..geometry.prisms import Prism
from ..geometry.shapes import Box, Object
from ..grid.arguments import count, real
from ..grid.rectilinear import RectilinearGrid
from ..materials import library
from ..materials.poles import Dielectric

# gdsfactory's material names, as its generic PDK spells them, and the
# library's material each stands for
LIBRARY_NAMES = {
    "si": "silicon", "silicon": "silicon", "sio2": "silica", "silica": "silica",
    "sin": "silicon nitride", "si3n4": "silicon nitride", "silicon_nitride": "silicon nitride",
    "au": "gold", "gold": "gold", "ag": "silver", "silver": "silver",
    "al": "aluminium", "aluminum": "aluminium", "aluminium": "aluminium",
    "cu": "copper", "copper": "copper",
}
# the direction a mode port launches into the component, by the port's
# orientation (gdsfactory's: the way the port faces, out of the component)
INWARD = {0: "-x", 90: "-y", 180: "+x", 270: "+y"}
MESHES = ("graded", "graded-yz", "uniform")


def mesh_settings(mesh: str = "graded", level_cells: int = 8,
                  mesh_ratio: float = 1.2) -> dict:
    """The z cells' settings, checked, as ``simulation`` records them (and
    the S-parameters' cache key with them): the grading's two numbers
    only where ``mesh`` grades."""
    if mesh not in MESHES:
        raise ValueError(f"mesh must be one of {', '.join(map(repr, MESHES))}, got {mesh!r}")
    if mesh == "uniform":
        return {"mesh": mesh}
    level_cells = count(level_cells, "level_cells", 1)
    mesh_ratio = real(mesh_ratio, "mesh_ratio", positive=True)
    if not 1 < mesh_ratio <= 2:
        raise ValueError(f"mesh_ratio (the largest ratio of two neighbouring z cells) must be "
                         f"above 1 and at most 2, got {mesh_ratio:g}")
    return {"mesh": mesh, "level_cells": level_cells, "mesh_ratio": mesh_ratio}


@dataclass
class ComponentSimulation:
    """What ``simulation`` built: the ``Simulation``, its mode ports by the
    component's port names, the wavelengths and frequencies (1/λ), the
    shift from the component's coordinates to the box's (add it to a
    gdsfactory point to find it in the box), the height of the drawn
    levels' middle in the box (for ``sim.plot(z=...)``), the highest
    refractive index in the box at the band's centre, the objects painted
    and the background, and the settings it was built with."""

    sim: Simulation
    ports: dict
    wavelengths: torch.Tensor
    frequencies: torch.Tensor
    offset: tuple
    z_middle: float
    max_index: float
    objects: list
    background: Any
    settings: dict = field(default_factory=dict)

    def plot(self, **plane):
        """``sim.plot`` through the drawn levels' middle (or the plane given)."""
        return self.sim.plot(**(plane or {"z": self.z_middle}))


def _gdsfactory():
    try:
        import gdsfactory
    except ImportError as e:  # an optional dependency: say how to get it
        raise ImportError("orvane_sim.gdsfactory needs gdsfactory: pip install gdsfactory "
                          "(tools/setup.sh installs it)") from e
    return gdsfactory


def resolve_material(name: str, mapping: dict, wavelengths: torch.Tensor, what: str):
    """The material gdsfactory's ``name`` stands for: from ``mapping`` when
    it names it (a refractive index, a material, or a library name), else
    the library's. A library material is a plain dielectric of its
    published permittivity at the band's centre wavelength, as
    gdsfactory's other solvers take it by default: the mode ports solve
    their modes on plain dielectrics (a pole material given in ``mapping``
    goes in as it is, away from the ports' planes)."""
    value = mapping.get(name, mapping.get(str(name).lower(), LIBRARY_NAMES.get(str(name).lower())))
    if value is None:
        known = sorted(set(LIBRARY_NAMES) | set(mapping))
        raise ValueError(f"{what}: no material for {name!r}; give it in material_mapping "
                         f"(a refractive index, a material or a library name; known: "
                         f"{', '.join(known)})")
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        n = real(value, f"material_mapping[{name!r}]", positive=True)
        return Dielectric(n * n)
    if not isinstance(value, str):
        return value
    if value not in library.REFERENCES:
        raise ValueError(f"material_mapping[{name!r}]: {value!r} is not a library material "
                         f"({', '.join(sorted(library.REFERENCES))})")
    fit = library.material(value)
    fit.check_frequencies(1.0 / wavelengths, what)
    centre = 0.5 * float(wavelengths.min() + wavelengths.max())
    eps = fit.reference_permittivity(torch.tensor([2 * math.pi / centre]))[0]
    if abs(eps.imag) > 1e-3 * abs(eps.real) or eps.real <= 0:
        raise ValueError(f"{what}: {value} is lossy or metallic at {centre:g} µm "
                         f"(ε = {complex(eps):.4g}); give its pole fit in material_mapping "
                         f"(orvane_sim.materials.library.material({value!r}))")
    return Dielectric(float(eps.real))


def _same(a, b) -> bool:
    """Whether two materials are the same material (by their parameters)."""
    return type(a) is type(b) and vars(a) == vars(b)


def _is_wafer(level) -> bool:
    """A level on the wafer layer: the whole chip, with no shapes drawn."""
    layer = getattr(level.layer, "layer", None)
    return getattr(layer, "name", None) == "WAFER" or str(layer) == "WAFER"


def _region_polygons(region, dbu: float):
    """A klayout Region as a shapely geometry in µm (holes kept)."""
    import shapely

    parts = []
    for polygon in region.each():
        hull = [(p.x * dbu, p.y * dbu) for p in polygon.each_point_hull()]
        holes = [[(p.x * dbu, p.y * dbu) for p in polygon.each_point_hole(h)]
                 for h in range(polygon.holes())]
        parts.append(shapely.Polygon(hull, holes))
    return shapely.union_all(parts) if parts else None


def _levels(layer_stack, component, dbu):
    """(name, level, geometry or None) of every level that could be painted:
    drawn levels with shapes in ``component``, wafer levels as None."""
    out = []
    for name, level in layer_stack.layers.items():
        if level.thickness == 0:
            continue
        if _is_wafer(level):
            out.append((name, level, None))
            continue
        geometry = _region_polygons(level.layer.get_shapes(component), dbu)
        if geometry is not None and not geometry.is_empty:
            out.append((name, level, geometry))
    return out


def _z_range(level) -> tuple[float, float]:
    ends = (level.zmin, level.zmin + level.thickness)
    return min(ends), max(ends)


def simulation(component, layer_stack=None, material_mapping: dict | None = None, *,
               wavelength_start: float = 1.5, wavelength_stop: float = 1.6,
               wavelength_points: int = 50, resolution: float = 20, xmargin: float = 1.0,
               ymargin: float = 1.0, zmargin: float = 1.0, layer_thickness: float = 1.0,
               port_margin: float = 0.5, port_offset: float = 0.2, mode: int = 0,
               polarization: str | None = "TE", background=None, backend: str = "cpu", lit=None,
               mesh: str = "graded", level_cells: int = 8,
               mesh_ratio: float = 1.2) -> ComponentSimulation:
    """The ``Simulation`` of ``component`` (a gdsfactory component or the
    name of one in the active PDK) in ``layer_stack`` (the active PDK's by
    default), with a ``ModePort`` of mode ``mode`` (of ``polarization``) on
    each optical port, for ``wavelength_points`` wavelengths from
    ``wavelength_start`` to ``wavelength_stop`` (µm). ``resolution``: cells
    per µm. ``material_mapping``: gdsfactory's material names → a
    refractive index, a material or a library name (silicon, silica and
    silicon nitride by default; see ``resolve_material``). ``background``: the material around the levels (by
    default the wafer level's over the drawn levels, the cladding).
    ``lit``: the port names lit, each in a batch entry of its own (all by
    default). ``mesh``: "graded" z cells (``level_cells`` at least across
    each drawn level, growing by ``mesh_ratio`` at most), "graded-yz" (y
    graded too; every port must face ±x) or "uniform" ones. The other
    settings are the module's (see its docstring)."""
    gf = _gdsfactory()
    if isinstance(component, str):
        component = gf.get_component(component)
    if layer_stack is None:
        layer_stack = gf.get_active_pdk().layer_stack
    mapping = dict(material_mapping or {})
    for name, value in (("xmargin", xmargin), ("ymargin", ymargin), ("zmargin", zmargin),
                        ("port_margin", port_margin), ("port_offset", port_offset)):
        real(value, name, positive=False)
        if value < 0:
            raise ValueError(f"{name} must be at least 0, got {value}")
    h = 1.0 / real(resolution, "resolution", positive=True)
    cells_z = mesh_settings(mesh, level_cells, mesh_ratio)
    graded = cells_z["mesh"] != "uniform"
    grade_y = cells_z["mesh"] == "graded-yz"
    thickness = real(layer_thickness, "layer_thickness", positive=True)
    if not 0 < wavelength_start <= wavelength_stop:
        raise ValueError(f"wavelengths from {wavelength_start} to {wavelength_stop}: need "
                         f"0 < wavelength_start <= wavelength_stop")
    wavelengths = torch.linspace(float(wavelength_start), float(wavelength_stop),
                                 int(wavelength_points), dtype=torch.float64)
    frequencies = 1.0 / wavelengths

    ports = [p for p in component.ports if getattr(p, "port_type", "optical") == "optical"]
    if not ports:
        raise ValueError(f"component {component.name!r} has no optical port")
    for p in ports:
        if round(float(p.orientation)) % 360 not in INWARD:
            raise ValueError(f"port {p.name!r} faces {p.orientation}°: mode ports lie across "
                             f"x or y (0, 90, 180 or 270°)")
        if grade_y and round(float(p.orientation)) % 180 == 90:
            raise ValueError(f"mesh='graded-yz' needs every port to face ±x, but port "
                             f"{p.name!r} faces {p.orientation}° (its mode port needs one "
                             f"spacing along y): use mesh='graded'")
    names = [p.name for p in ports]
    lit = names if lit is None else list(lit)
    for name in lit:
        if name not in names:
            raise ValueError(f"lit names a port the component lacks: {name!r} (ports: "
                             f"{', '.join(names)})")

    (x0, y0), (x1, y1) = _bounds(component)
    # the guides run out through the margins and the layers, and a cell beyond
    reach = max(xmargin, ymargin) + thickness + 2 * h
    extended = gf.components.extend_ports(component, length=reach)
    dbu = component.kcl.dbu
    levels = _levels(layer_stack, extended, dbu)
    drawn = [(n, lv, g) for n, lv, g in levels if g is not None]
    if not drawn:
        raise ValueError(f"component {component.name!r} has no shapes on the layer stack's "
                         f"levels ({', '.join(layer_stack.layers)})")
    z_lo = min(_z_range(lv)[0] for _, lv, _ in drawn)
    z_hi = max(_z_range(lv)[1] for _, lv, _ in drawn)
    zb, zt = z_lo - zmargin, z_hi + zmargin

    # Whole cells along each axis, the layout centred in them: a layout
    # symmetric about a line is then painted symmetrically, its mirror plane
    # the box's own (a box of a fractional number of cells would be cut to
    # whole ones and leave the layout off-centre by a fraction of a cell).
    wanted = (x1 - x0 + 2 * (xmargin + thickness), y1 - y0 + 2 * (ymargin + thickness),
              zt - zb + 2 * thickness)
    size = tuple(math.ceil(w / h - 1e-9) * h for w in wanted)
    if graded:  # z's nodes are its own (and y's): the box ends where the layers do
        size = (size[0], wanted[1] if grade_y else size[1], wanted[2])
    shift = tuple(0.5 * (n - (hi - lo)) - lo
                  for n, lo, hi in zip(size, (x0, y0, zb - thickness),
                                       (x1, y1, zt + thickness)))
    if background is None:
        covering = [lv for _, lv, g in levels if g is None
                    and _z_range(lv)[0] <= z_hi < _z_range(lv)[1]]
        background = (resolve_material(covering[0].material, mapping, wavelengths,
                                       "background") if covering else Dielectric(1.0))

    objects = []
    for name, level, geometry in sorted(levels, key=lambda t: -(t[1].mesh_order or 0)):
        lo, hi = _z_range(level)
        lo, hi = max(lo, zb - thickness), min(hi, zt + thickness)
        if hi <= lo:
            continue
        material = resolve_material(level.material, mapping, wavelengths,
                                    f"level {name!r}")
        bottom, top = lo + shift[2], hi + shift[2]
        if geometry is None:
            if not _same(material, background):
                objects.append(Object(Box((-1.0, -1.0, bottom),
                                          (size[0] + 1.0, size[1] + 1.0, top)), material))
            continue
        import shapely

        moved = shapely.affinity.translate(geometry, shift[0], shift[1])
        width_to_z = getattr(level, "width_to_z", 0.0) or 0.0
        objects.append(Object(Prism(moved, bottom, top,
                                    sidewall_angle=math.radians(level.sidewall_angle or 0.0),
                                    reference=bottom + width_to_z * (top - bottom)), material))

    if graded:
        grid = _graded_grid(objects, background, size, h, frequencies, thickness, cells_z,
                            grade_y)
        cells = dict(grid=grid)
        # two cells beside the layers along each axis
        clear = [thickness + 2 * max(grid[a].cell_at(grid[a].nearest(thickness)), grid[a].cell_at(
            grid[a].nearest(size[a] - thickness) - 1)) for a in range(3)]
    else:
        cells = dict(size=size, resolution=resolution)
        clear = [thickness + 2 * h] * 3
    sim = Simulation(**cells, layer_thickness=thickness, batch=(len(lit), 1), backend=backend,
                     objects=objects, background=background)
    planes = _port_planes(ports, shift, h, port_margin, port_offset, z_lo + shift[2] - port_margin,
                          z_hi + shift[2] + port_margin, size, clear)
    options = {} if polarization is None else {"polarization": polarization}
    mode_ports = {p.name: ModePort(sim, frequencies, box=box,
                                   direction=INWARD[round(float(p.orientation)) % 360],
                                   mode=mode, name=f"port {p.name}", **options)
                  for p, box in zip(ports, planes)}
    for name, port in mode_ports.items():  # each lit port in its own batch entry
        port.lit = torch.tensor([name == n for n in lit])
        sim.add(port)
    settings = dict(wavelength_start=float(wavelength_start),
                    wavelength_stop=float(wavelength_stop),
                    wavelength_points=int(wavelength_points), resolution=float(resolution),
                    xmargin=xmargin, ymargin=ymargin, zmargin=zmargin,
                    layer_thickness=thickness, port_margin=port_margin,
                    port_offset=port_offset, mode=mode, polarization=polarization, lit=lit,
                    **cells_z)
    omega = torch.tensor([2 * math.pi * float(frequencies.mean())])
    max_index = max(math.sqrt(max(float(torch.as_tensor(m.permittivity(omega)).real.max()), 1.0))
                    for m in [background] + [o.material for o in objects])
    return ComponentSimulation(sim, mode_ports, wavelengths, frequencies, shift,
                               0.5 * (z_lo + z_hi) + shift[2], max_index, objects,
                               background, settings)


def _graded_grid(objects, background, size, h, frequencies, thickness,
                 cells_z, grade_y: bool = False) -> RectilinearGrid:
    """x of ``h``, z (and with ``grade_y`` y) fitted to the levels by
    ``automatic_grid`` (the module's text), y of ``h`` otherwise: the drawn
    levels are the prisms, the wafer levels' slabs ask for their
    wavelength alone. The cells per wavelength are
    those x and y give the densest material at the highest frequency, so
    that z resolves each material as they do."""
    f = float(frequencies.max())
    omega = 2 * math.pi * f
    index = max(abs(complex(m.permittivity(omega))) ** 0.5
                for m in [background] + [o.material for o in objects])
    per_wavelength = 1.0 / (h * f * max(index, 1.0))
    across = {o: cells_z["level_cells"] for o in objects if isinstance(o.shape, Prism)}
    fitted = automatic_grid(objects, size, f, cells_per_wavelength=per_wavelength,
                            background=background, ratio=cells_z["mesh_ratio"],
                            cells_across=across, uniform=(0,) if grade_y else (0, 1),
                            layer_thickness=(0.0, thickness if grade_y else 0.0, thickness))
    y = fitted[1] if grade_y else (round(size[1] / h), h)
    return RectilinearGrid((round(size[0] / h), h), y, fitted[2])


def _bounds(component) -> tuple[tuple[float, float], tuple[float, float]]:
    box = component.dbbox()
    return (float(box.left), float(box.bottom)), (float(box.right), float(box.top))


def _port_planes(ports, shift, h, margin, offset, z_bottom, z_top, size, clear) -> list:
    """Each port's rectangle in the box: across its guide, ``offset`` out of
    the component, ``margin`` beyond the guide's width, halfway to the next
    port's guide on the same plane at most, and clear of the layers by two
    cells (``clear[a]`` from each face normal to axis a)."""
    z_bottom, z_top = max(z_bottom, clear[2]), min(z_top, size[2] - clear[2])
    facing = [round(float(p.orientation)) % 360 for p in ports]
    planes = []
    for k, p in enumerate(ports):
        along = 0 if facing[k] in (0, 180) else 1   # the axis the guide runs along
        across = 1 - along
        out = 1.0 if facing[k] in (0, 90) else -1.0
        centre = [float(p.center[0]) + shift[0], float(p.center[1]) + shift[1]]
        plane = centre[along] + out * offset
        lo = centre[across] - 0.5 * float(p.width) - margin
        hi = centre[across] + 0.5 * float(p.width) + margin
        for j, q in enumerate(ports):
            if j == k or facing[j] != facing[k]:
                continue
            other = [float(q.center[0]) + shift[0], float(q.center[1]) + shift[1]]
            if abs(other[along] + out * offset - plane) > 0.5 * h:
                continue  # another plane
            middle = 0.5 * (other[across] + centre[across])
            if other[across] > centre[across]:
                hi = min(hi, middle)
            else:
                lo = max(lo, middle)
        lo, hi = max(lo, clear[across]), min(hi, size[across] - clear[across])
        if not clear[along] < plane < size[along] - clear[along]:
            raise ValueError(f"port {p.name!r}: its plane at {plane - shift[along]:g} µm lies "
                             f"in the absorbing layers; raise the margin along "
                             f"{'xy'[along]} or lower port_offset")
        a, b = [0.0, 0.0, z_bottom], [0.0, 0.0, z_top]
        a[along] = b[along] = plane
        a[across], b[across] = lo, hi
        planes.append((tuple(a), tuple(b)))
    return planes
