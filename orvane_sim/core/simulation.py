"""A box on the Yee grid, stepped by the Orvane field updates.

Field layout: tensors [B0, B1, X, Y, Z, B2], Ex [NX, NY+1, NZ+1],
Ey [NX+1, NY, NZ+1], Ez [NX+1, NY+1, NZ] on the edges, Hx, Hy, Hz
[NX, NY, NZ] on the faces of the cells. The three batch dimensions carry
independent runs: B0 one per Bloch wave vector or source setting (the
periodic phases, plane-wave amplitudes and profiles are per b0), B1 one per
material arrangement (the material grids are [B1, X, Y, Z]), B2 the real
(b2 = 1) or split-complex (b2 = 2: real part, imaginary part) field.

Faces that are neither periodic nor covered by absorbing layers are perfect
conductors: the driver keeps the tangential electric field there at zero
after every electric update (the update itself leaves those nodes to the
caller, except for the layer corrections it adds to some of them).

Every material, plain or dispersive, goes through one path: the electric
update scales the old field by den - loss and adds the vacuum curl, and the
dispersive pass removes the polarisation currents and divides by the node's
denominator den (its permittivity for a plain dielectric).
"""
from __future__ import annotations

import importlib
import math
from types import ModuleType
from typing import Sequence

import torch

from ..grid import memory, positions
from ..grid.arguments import count, real, sequence, triple
from ..grid.coefficients import (EPS0, MU0, Grading, axis_coefficients, graded_axis_coefficients,
                                 time_step)
from ..grid.placement import WholeBox
from ..grid.rectilinear import RectilinearGrid
from .filling import Filling
from .initial_field import gaussian_pulse
from .stepping import Stepping
from .threads import ThreadTuner

_MODULES = {"cpu": ("OrvaneCPU", "cpu"), "cuda": ("Orvane", "cuda")}


def load_backend(backend: str) -> tuple[ModuleType, torch.device]:
    """The extension module and device for ``backend``, ``"cpu"`` or ``"cuda"``."""
    if backend not in _MODULES:
        raise ValueError(f"backend must be 'cpu' or 'cuda', got {backend!r}")
    name, device = _MODULES[backend]
    if device == "cuda" and not torch.cuda.is_available():
        raise RuntimeError("backend 'cuda' needs a CUDA device, but torch.cuda.is_available() is False")
    return importlib.import_module(name), torch.device(device)


MAX_CELLS_PER_AXIS = 65535  # the kernels' 16-bit indices
MAX_CELLS = 2**31 - 256  # the kernels' 32-bit thread ids


def box_cells(shape=None, spacing=1.0, size=None, resolution=None):
    """(cells, spacing) per axis from shape and spacing, or from size and
    resolution (cells per unit length)."""
    if size is not None:
        if resolution is None or shape is not None:
            raise ValueError("give either shape (and spacing) or size and resolution")
        resolution = real(resolution, "resolution", positive=True)
        spacing = 1.0 / resolution
        lengths = [real(s, "size", positive=True) for s in triple(size, "size")]
        if any(s * resolution > MAX_CELLS_PER_AXIS for s in lengths):
            raise ValueError(f"size {tuple(lengths)} at resolution {resolution} needs more than "
                             f"{MAX_CELLS_PER_AXIS} cells along an axis")
        shape = tuple(_cells(s, resolution, axis) for axis, s in enumerate(lengths))
    elif resolution is not None:
        # an objects' sampling resolution given here would go unused
        raise ValueError("resolution (cells per unit length) goes with size; the sampling of "
                         "objects is set_objects(..., resolution=)")
    if shape is None:
        raise ValueError("shape (or size and resolution) is needed")
    cells = tuple(count(n, "shape", 1, MAX_CELLS_PER_AXIS) for n in triple(shape, "shape"))
    if math.prod(cells) > MAX_CELLS:
        raise ValueError(f"shape {cells} has {math.prod(cells)} cells, more than the kernels' "
                         f"{MAX_CELLS}")
    return cells, tuple(real(h, "spacing", positive=True) for h in triple(spacing, "spacing"))


def _cells(length: float, resolution: float, axis: int) -> int:
    """The whole cells nearest ``length`` at ``resolution``: the box ends
    on the node nearest the length asked for, and a snap is logged as a
    position's is; a length nearer no cell than one is refused."""
    n = round(length * resolution)
    name = positions.AXES[axis]
    if n < 1:
        raise ValueError(f"size {name} = {length:g} is {length * resolution:.3g} cells at "
                         f"resolution {resolution:g}, which rounds to none: give at least one "
                         f"cell ({1 / resolution:g}) or a finer resolution")
    if abs(n - length * resolution) > 1e-6:
        positions.log.info("size: %s = %g snapped to %d cells (%s = %g)", name, length, n,
                           name, n / resolution)
    return n


def box_grid(shape=None, spacing=1.0, size=None, resolution=None, grid=None):
    """The box's ``RectilinearGrid`` from one of the three forms a box is
    given in: ``grid`` (a grid, or per axis node coordinates or a (cells,
    spacing) pair), shape and spacing, or size and resolution."""
    if grid is None:
        return RectilinearGrid.uniform(*box_cells(shape, spacing, size, resolution))
    if shape is not None or size is not None or resolution is not None or spacing != 1.0:
        raise ValueError("give the box as grid= (per axis node coordinates or (cells, "
                         "spacing)), or as shape and spacing, or as size and "
                         "resolution: one of the three")
    grid = RectilinearGrid.of(grid)
    if math.prod(grid.shape) > MAX_CELLS:
        raise ValueError(f"grid {grid.shape} has {math.prod(grid.shape)} cells, more than the "
                         f"kernels' {MAX_CELLS}")
    return grid


LAYER_CELLS = 10  # the absorbing layers' cells on every face, unless given


def layer_cells(layers=None, layer_thickness=None, spacing=(1.0, 1.0, 1.0), grid=None):
    """The absorbing layers in cells, in the forms ``layers`` takes: ``layers``
    itself (``LAYER_CELLS`` on every face if None), or ``layer_thickness``
    in length units (one number for all six faces, one per axis, or a
    (low, high) pair per axis), each face's thickness the whole cells of its
    axis nearest it, a snap logged as a position's is. ``grid``: the box's
    ``RectilinearGrid``, whose non-uniform axes count the cells from each
    face to the node nearest the thickness."""
    if layer_thickness is None:
        return LAYER_CELLS if layers is None else layers
    if layers is not None:
        raise ValueError("give the absorbing layers in cells (layers=) or in length units "
                         "(layer_thickness=), not both")
    out = []
    for axis, v in enumerate(triple(layer_thickness, "layer_thickness")):
        pair = sequence(v)
        pair = (v, v) if pair is None else pair
        if len(pair) != 2:
            raise ValueError(f"layer_thickness per axis needs 1 or 2 values, got {v!r}")
        h, name = spacing[axis], positions.AXES[axis]
        cells = []
        for face, t in enumerate(pair):
            t = real(t, "layer_thickness")
            if t < 0:
                raise ValueError(f"layer_thickness along {name} must be 0 or more, got {t:g}")
            if h is None:
                cells.append(_graded_layer(grid[axis], face, t))
                continue
            n = round(t / h)
            if abs(n * h - t) > 1e-6 * h:
                positions.log.info("layer_thickness: %s = %g snapped to %d cells (%s = %g)",
                                   name, t, n, name, n * h)
            cells.append(n)
        out.append(tuple(cells))
    return tuple(out)


def _graded_layer(axis, face: int, thickness: float) -> int:
    """The cells of a non-uniform ``axis`` from its low (``face`` 0) or high
    face (1) to the node nearest ``thickness`` away from it."""
    top = axis.length
    node = axis.nearest(thickness if face == 0 else top - thickness)
    cells = node if face == 0 else axis.cells - node
    reached = axis.at(node) if face == 0 else top - axis.at(node)
    if abs(reached - thickness) > 1e-6 * axis.cell_at(node):
        positions.log.info("layer_thickness: %s = %g snapped to %d cells (%s = %g)", axis.name,
                           thickness, cells, axis.name, reached)
    return cells


def _faces(layers, shape=None) -> tuple[tuple[int, int], ...]:
    """Layer cells per face: one int for all six, three per axis, or three
    (low, high) pairs; both faces' layers of an axis must fit its cells."""
    out = []
    for axis, v in enumerate(triple(layers, "layers")):
        pair = sequence(v)
        pair = (v, v) if pair is None else pair
        if len(pair) != 2:
            raise ValueError(f"layers per axis need 1 or 2 values, got {v!r}")
        low, high = (count(n, "layers", 0) for n in pair)
        if shape is not None and low + high > shape[axis]:
            raise ValueError(f"layers along {'xyz'[axis]} ({low} + {high} cells) do not fit "
                             f"the box's {shape[axis]} cells")
        out.append((low, high))
    return tuple(out)


class Simulation(Stepping, Filling):
    """Fields, layer state, materials and coefficients of one box; ``step``
    and ``run`` advance it (``Stepping``), ``set_objects`` fills it
    (``Filling``).

    Units: c = eps0 = mu0 = 1, so lengths and times share one unit and a
    frequency is in cycles per that unit.

    size: the box in length units, one length or three, and resolution:
    cells per unit length (or give ``shape``, cells (NX, NY, NZ) or one
    int, and ``spacing``, cell size(s) in length units, instead; or
    ``grid``, a ``RectilinearGrid`` or three entries (x, y, z), each the
    node coordinates of that axis, strictly increasing from 0, or a
    (cells, spacing) pair: a non-uniform axis has its ``spacing`` entry
    None and its cells in ``grid``, see ``orvane_sim.grid.rectilinear``;
    ``automatic_grid`` builds one around objects);
    layer_thickness: the absorbing layers in length units, one thickness,
    one per axis or a (low, high) pair per axis, each snapped to whole
    cells (or give ``layers`` in cells, in the same forms; 10 cells on
    every face if neither is given); courant: fraction of the 3-D
    stability limit, in (0, 1); backend: "cpu" (OrvaneCPU) or "cuda"
    (Orvane); grading: the layers' profile (``Grading``); b2: 1 for real
    fields, 2 for complex ones in split-complex form; batch: (B0, B1).

    objects: ``geometry.Object``s painted in order over ``background`` (a
    material), or one such list per b1; see ``set_objects``. bloch: one
    (kx, ky) or one per b0: periodic x and y with those Bloch wave vectors
    (any k other than zero needs b2 = 2, set automatically; with every k
    zero the fields stay real unless b2 = 2 is asked for).

    cuda_graph: on a GPU, run whole blocks of steps as captured CUDA graphs
    (``core.capture``; the property ``cuda_graph`` says more).

    Features hook into ``step``: ``sources`` (objects with ``after_h(sim)``
    and ``after_e(sim)``), ``periodic`` (an object with ``apply(sim)`` and
    ``axes``, the axes it fills instead of the conducting faces) and
    ``monitors`` (objects with ``update(sim)``, called once the step is done).
    Optional hooks: a source's ``check_medium(sim)`` (before steps on a new
    painting), ``band()`` (the highest frequency it sends in, for monitors
    that sum every k-th step) and ``writes_faces`` (False: it never writes a
    conducting face); a monitor's ``settle(sim)`` (at a run's start); and
    every feature's ``prepare_steps(sim, first, count)`` and ``period``
    (for captured blocks, ``core.capture``).
    """

    def __init__(self, shape=None, spacing=1.0, courant: float = 0.99, layers=None,
                 backend: str = "cpu", grading: Grading = Grading(), b2: int = 1,
                 batch: Sequence[int] = (1, 1), *, size=None, resolution=None,
                 layer_thickness=None, objects=None, background=None, bloch=None,
                 grid=None, cuda_graph: bool = False, **object_options):
        b2 = count(b2, "b2", 1, MAX_CELLS_PER_AXIS)
        sizes = sequence(batch)
        if sizes is None or len(sizes) != 2:
            raise ValueError(f"batch needs two sizes (B0, B1), got {batch!r}")
        batch = tuple(count(b, "batch", 1, MAX_CELLS_PER_AXIS) for b in sizes)
        if bloch is not None:
            from .periodic import fields_needed

            # a phase other than 1 needs complex fields; at k = 0 the caller's b2 holds
            b2 = max(b2, fields_needed(bloch, batch[0]))
        # ``grid``: the cells held here, the whole box but on a slab
        # (``SlabSimulation``, whose ``_box_grid`` gives the box's)
        grid = box_grid(shape, spacing, size, resolution, grid)
        shape, spacing = grid.shape, grid.spacing
        self.b2 = b2
        self.batch = batch
        B0, B1 = self.batch
        if B0 * B1 * b2 > MAX_CELLS_PER_AXIS:
            raise ValueError(f"batch {self.batch} with b2 = {b2} makes {B0 * B1 * b2} entries, "
                             f"more than the kernels' {MAX_CELLS_PER_AXIS}")
        self.sources: list = []
        self.monitors: list = []
        self.periodic = None
        self.medium = None
        self.anisotropy = None  # the off-diagonal couplings (core.anisotropy)
        self._off_diagonal = None
        self.painted = None  # (materials, grids) of the objects, before any design
        self.shape = tuple(int(n) for n in triple(shape, "shape"))
        # per axis its spacing; None along a non-uniform axis, whose cells
        # ``grid`` holds: arithmetic that assumed one spacing fails there
        # rather than placing things wrongly
        self.spacing = tuple(None if h is None else float(h) for h in triple(spacing, "spacing"))
        self.grid = self._box_grid(grid)
        self.faces = _faces(layer_cells(layers, layer_thickness, self.spacing, grid), self.shape)
        self.layers = tuple(max(f) for f in self.faces)
        self.placement = WholeBox(self.shape)
        self.module, self.device = load_backend(backend)
        self.backend = backend
        self._check_memory(objects is not None or background is not None)
        # the whole box's shortest cells: every part of it steps with one dt
        self.dt = time_step(self.grid.smallest(), courant)
        self.grading = grading
        self.steps_done = 0
        # on the CPU, the thread count that steps fastest on this machine now
        self._threads = ThreadTuner() if self.device.type == "cpu" else None
        self.cuda_graph = cuda_graph

        NX, NY, NZ = self.shape
        axes = [axis_coefficients(n, h, f, self.dt, grading) if h is not None else
                graded_axis_coefficients(grid[a], f, self.dt, grading)
                for a, (n, h, f) in enumerate(zip(self.shape, self.spacing, self.faces))]
        dev = self.device

        def field(x, y, z):
            return torch.zeros(B0, B1, x, y, z, self.b2, device=dev)

        self.Ex = field(NX, NY + 1, NZ + 1)
        self.Ey = field(NX + 1, NY, NZ + 1)
        self.Ez = field(NX + 1, NY + 1, NZ)
        self.Hx, self.Hy, self.Hz = (field(NX, NY, NZ) for _ in range(3))

        Lx, Ly, Lz = self.layers

        def aux(x, y, z):
            return torch.zeros(B0, B1, x, y, z, 2, self.b2, device=dev)

        self.hpsi = (aux(2 * Lx, NY, NZ), aux(NX, 2 * Ly, NZ), aux(NX, NY, 2 * Lz))
        self.epsi = (aux(2 * Lx, NY, NZ), aux(NX, 2 * Ly, NZ), aux(NX, NY, 2 * Lz))

        self.coefficients = axes
        self.ch = tuple(a.ch.to(dev) for a in axes)
        self.ce = tuple(a.ce.to(dev) for a in axes)
        self.hb = tuple(a.hb.to(dev) for a in axes)
        self.hc = tuple(a.hc.to(dev) for a in axes)
        self.eb = tuple(a.eb.to(dev) for a in axes)
        self.ec = tuple(a.ec.to(dev) for a in axes)
        # Vacuum: keep the old value (cg1 - cg2 = 1) everywhere.
        self.cg1 = tuple(torch.ones(B1, NX, NY, NZ, device=dev) for _ in range(3))
        self.cg2 = tuple(torch.zeros(B1, NX, NY, NZ, device=dev) for _ in range(3))
        self.layer_cells = torch.tensor(self.layers, dtype=torch.int32, device=dev)
        self.spare = torch.empty(0, device=dev)
        if bloch is not None:
            from .periodic import BlochBoundary

            self.periodic = BlochBoundary(self, k=bloch)
        if objects is not None or background is not None:
            self.set_objects(objects or [], background=background, **object_options)
        elif object_options:
            raise TypeError(f"unexpected options without objects: {sorted(object_options)}")

    def _check_memory(self, materials: bool, only_materials: bool = False,
                      folded: bool = False) -> None:
        """Refuse a box whose fields (and, with ``materials``, material
        grids) cannot fit in the memory its device has available, before
        any of it is allocated; ``only_materials``: the fields are there
        already, and the material grids are to come."""
        parts = memory.simulation_bytes(self.shape, self.layers, self.b2, self.batch, materials,
                                        folded)
        if only_materials:
            parts = {"materials": parts["materials"]}
        detail = ", ".join(f"{name} {memory.text(n)}" for name, n in parts.items() if n)
        ways = ["fewer cells (a smaller shape or size, a coarser resolution)"]
        if self.batch != (1, 1):
            ways.append("a smaller batch")
        if self.b2 > 1:
            ways.append("real fields (b2 = 1)")
        memory.require(sum(parts.values()), self.device,
                       f"a box of {self.shape} cells with batch {self.batch} and b2 = {self.b2} "
                       f"({detail})",
                       f"reduce it: {', '.join(ways)}, or split it over processes "
                       f"(SlabSimulation)")

    @property
    def cell_volume(self) -> float:
        """The volume of every cell of a uniform box (a non-uniform one's
        cells each have their own: ``grid``)."""
        from ..grid.rectilinear import require_uniform

        require_uniform(self, "cell_volume")
        dx, dy, dz = self.spacing
        return dx * dy * dz

    def _box_grid(self, held: RectilinearGrid) -> RectilinearGrid:
        """The whole box's grid, given ``held``, the grid of the cells held
        here: ``held`` itself, but on a slab (``SlabSimulation``), which
        holds part of it. ``sim.grid`` is the box's, so that features place
        themselves by the box's indices and coordinates wherever they run."""
        return held

    def is_uniform(self) -> bool:
        """Whether every axis has one spacing."""
        return all(h is not None for h in self.spacing)

    @property
    def time(self) -> float:
        """Time of the electric field now (the magnetic one is half a step behind)."""
        return self.steps_done * self.dt

    def add(self, feature):
        """Attach a source (``after_h``/``after_e``), a monitor (``update``)
        or a feature that is both (a port); returns it. Refuses one whose
        ``frequencies`` leave the band of a library material painted here."""
        source, monitor = hasattr(feature, "after_e"), hasattr(feature, "update")
        if not (source or monitor):
            raise TypeError(f"{type(feature).__name__} is neither a source nor a monitor")
        if self.painted is not None:
            from .filling import check_bands

            check_bands(self.painted[0], [feature])
        if source:
            self.sources.append(feature)
        if monitor:
            self.monitors.append(feature)
        return feature

    def save(self, path) -> None:
        """Write everything needed to continue this run to ``path``,
        atomically (see ``orvane_sim.core.checkpoint``)."""
        from .checkpoint import save

        save(self, path)

    def load(self, path) -> None:
        """Continue from the checkpoint at ``path``, written by a simulation
        built as this one (same box, objects, sources and monitors). Raises
        CheckpointError (a ValueError) naming what differs, before anything
        is changed."""
        from .checkpoint import load

        load(self, path)

    def reset(self) -> None:
        """Back to time zero: every field, layer and dispersion state zero;
        materials, sources and monitors stay as they are."""
        for f in (self.Ex, self.Ey, self.Ez, self.Hx, self.Hy, self.Hz) + self.hpsi + self.epsi:
            f.zero_()
        if self.medium is not None:
            self.medium.reset(self.Ex, self.Ey, self.Ez)
        self.steps_done = 0

    def set_bloch(self, k) -> None:
        """Give the periodic boundary new Bloch vectors ``k``: one (kx, ky)
        or one per b0 (an adjoint run takes the opposite ones)."""
        from .periodic import BlochBoundary

        axes = self.periodic.axes
        self.periodic = BlochBoundary(self, x=0 in axes, y=1 in axes, k=k)

    def periodic_axes(self) -> tuple[int, ...]:
        """The box's periodic axes: painted objects repeat along them."""
        return tuple(getattr(self.periodic, "axes", ()))

    def plot(self, x=None, y=None, z=None, frequency=None, component=None, b1: int = 0,
             ax=None):
        """A picture of the box on one plane, before or after a run: the
        permittivity painted there, the objects' outlines, the sources (red),
        monitors (blue, dashed) and ports (green, named with their inward
        direction) where they cross it, and the absorbing layers shaded.
        Returns the matplotlib Figure (``ax``'s, where axes are given to draw
        into); lengths along the axes, a colourbar for ε.

        ``x``, ``y`` or ``z``: the plane, one coordinate in length units
        inside the box, shown on the nodes of ``component`` nearest it.
        ``component``: whose permittivity ("Ex", "Ey", "Ez"; by default the
        first in the plane: Ey on an x-plane, Ez on a y-plane, Ex on a
        z-plane). The grids hold one value per node and component, after
        sub-cell smoothing, so the components differ at interfaces only.
        ``frequency``: where materials with poles (``Debye``, ``Lorentz``,
        ``Drude``, the library's) are evaluated: the real part of the
        permittivity the time stepping realises at that frequency, blended
        as the nodes blend it; by default the middle of the frequencies
        the sources and monitors take, or zero frequency (the static real
        part) where none takes any; the title says which. Plain dielectrics
        show their permittivity, the same at every frequency. ``b1``: which
        material arrangement. On slabs (``SlabSimulation``) each process
        draws the part of the box it holds."""
        from ..plotting import plot_simulation

        return plot_simulation(self, x=x, y=y, z=z, frequency=frequency, component=component,
                               b1=b1, ax=ax)

    def energy(self) -> float:
        """0.5 (eps0 sum E^2 + mu0 sum H^2) dV over all batch entries, summed
        in double precision (vacuum weights). On a non-uniform grid each
        sample weighs its own volume: its primal spacing along its own axis
        (or, for H, the two others) and the dual spacing along the rest, the
        weights under which the scheme conserves energy."""
        fields = (self.Ex, self.Ey, self.Ez, self.Hx, self.Hy, self.Hz)
        return float(self._energy_of(zip(fields, [(0, 0, 0)] * 6)))

    def _energy_of(self, parts) -> torch.Tensor:
        """``energy`` of ``parts``: the six fields Ex, Ey, Ez, Hx, Hy, Hz, or
        parts of them, each with the box's indices of its first sample (what
        a sample weighs on unequal cells); a float64 tensor of one value."""
        def sq(f):
            return torch.linalg.vector_norm(f, dtype=torch.float64).square()

        parts = list(parts)
        if not self.is_uniform():
            from ..grid.rectilinear import sample_volumes

            total = torch.zeros((), dtype=torch.float64, device=self.device)
            for c, (f, first) in enumerate(parts):
                component, magnetic = c % 3, c >= 3
                w = sample_volumes(self.grid, component, magnetic, f.shape[2:5], first)
                s = f.double().square().sum((0, 1, 5))
                total += (s * w.to(self.device)).sum() * (MU0 if magnetic else EPS0)
            return 0.5 * total

        e = sum(sq(f) for f, _ in parts[:3])
        h = sum(sq(f) for f, _ in parts[3:])
        return 0.5 * (EPS0 * e + MU0 * h) * self.cell_volume

    def set_gaussian_pulse(self, width: float, amplitude: float = 1.0) -> None:
        """Start every batch entry from the field of ``gaussian_pulse`` with
        H = 0 and fresh layer state."""
        width = real(width, "width", positive=True)
        amplitude = real(amplitude, "amplitude")
        place = self.placement
        ex, ey = gaussian_pulse(place.shape, self.spacing, width, amplitude,
                                None if self.is_uniform() else self.grid)
        for f in (self.Ex, self.Ey, self.Ez, self.Hx, self.Hy, self.Hz):
            f.zero_()
        for p in self.hpsi + self.epsi:
            p.zero_()
        for f, whole in ((self.Ex, ex), (self.Ey, ey)):
            for axis, start in enumerate(place.offset):  # the part held here
                whole = whole.narrow(axis, start, f.size(2 + axis))
            f[..., 0] = whole.to(f.dtype).to(self.device)
        if self.medium is not None:
            self.medium.reset(self.Ex, self.Ey, self.Ez)
        self.steps_done = 0
