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
import logging
import math
from types import ModuleType
from typing import Sequence

import torch

from ..grid import memory, positions
from ..grid.coefficients import EPS0, MU0, Grading, axis_coefficients, time_step
from ..grid.arguments import count, real, sequence, triple
from .descriptions import forget, recorded
from ..grid.placement import WholeBox
from .threads import ThreadTuner

_MODULES = {"cpu": ("OrvaneCPU", "cpu"), "cuda": ("Orvane", "cuda")}

# The logger keeps the name it had before the driver had folders: it is
# documented, and logging set-ups name it.
log = logging.getLogger("orvane_sim.simulation")


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


class NonFiniteFields(FloatingPointError):
    """A field holds a NaN or an infinity (``Simulation.check_finite``)."""


class Simulation:
    """Fields, layer state, materials and coefficients of one box; ``step``
    and ``run`` advance it.

    Units: c = eps0 = mu0 = 1, so lengths and times share one unit and a
    frequency is in cycles per that unit.

    shape: cells (NX, NY, NZ) or one int; spacing: cell size(s) in length
    units (or give ``size``, in length units, and ``resolution``, cells per
    unit length, instead); layers: absorbing layer cells, one int, one per
    axis or a (low, high) pair per axis; courant: fraction of the 3-D
    stability limit, in (0, 1); backend: "cpu" (OrvaneCPU) or "cuda"
    (Orvane); grading: the layers' profile (``Grading``); b2: 1 for real
    fields, 2 for complex ones in split-complex form; batch: (B0, B1).

    objects: ``geometry.Object``s painted in order over ``background`` (a
    material), or one such list per b1; see ``set_objects``. bloch: one
    (kx, ky) or one per b0: periodic x and y with those Bloch wave vectors
    (any k other than zero needs b2 = 2, set automatically; with every k
    zero the fields stay real unless b2 = 2 is asked for).

    Features hook into ``step``: ``sources`` (objects with ``after_h(sim)``
    and ``after_e(sim)``), ``periodic`` (an object with ``apply(sim)`` and
    ``axes``, the axes it fills instead of the conducting faces) and
    ``monitors`` (objects with ``update(sim)``, called once the step is done).
    """

    def __init__(self, shape=None, spacing=1.0, courant: float = 0.99, layers=10,
                 backend: str = "cpu", grading: Grading = Grading(), b2: int = 1,
                 batch: Sequence[int] = (1, 1), *, size=None, resolution=None,
                 objects=None, background=None, bloch=None, **object_options):
        b2 = count(b2, "b2", 1, MAX_CELLS_PER_AXIS)
        sizes = sequence(batch)
        if sizes is None or len(sizes) != 2:
            raise ValueError(f"batch needs two sizes (B0, B1), got {batch!r}")
        batch = tuple(count(b, "batch", 1, MAX_CELLS_PER_AXIS) for b in sizes)
        if bloch is not None:
            from .periodic import fields_needed

            # a phase other than 1 needs complex fields; at k = 0 the caller's b2 holds
            b2 = max(b2, fields_needed(bloch, batch[0]))
        shape, spacing = box_cells(shape, spacing, size, resolution)
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
        self.painted = None  # (materials, grids) of the objects, before any design
        self.shape = tuple(int(n) for n in triple(shape, "shape"))
        self.spacing = tuple(float(h) for h in triple(spacing, "spacing"))
        self.faces = _faces(layers, self.shape)
        self.layers = tuple(max(f) for f in self.faces)
        self.placement = WholeBox(self.shape)
        self.module, self.device = load_backend(backend)
        self.backend = backend
        self._check_memory(objects is not None or background is not None)
        self.dt = time_step(self.spacing, courant)
        self.grading = grading
        self.steps_done = 0
        # on the CPU, the thread count that steps fastest on this machine now
        self._threads = ThreadTuner() if self.device.type == "cpu" else None

        NX, NY, NZ = self.shape
        axes = [axis_coefficients(n, h, f, self.dt, grading)
                for n, h, f in zip(self.shape, self.spacing, self.faces)]
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

    def _check_memory(self, materials: bool, only_materials: bool = False) -> None:
        """Refuse a box whose fields (and, with ``materials``, material
        grids) cannot fit in the memory its device has available, before
        any of it is allocated; ``only_materials``: the fields are there
        already, and the material grids are to come."""
        parts = memory.simulation_bytes(self.shape, self.layers, self.b2, self.batch, materials)
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
        dx, dy, dz = self.spacing
        return dx * dy * dz

    @property
    def time(self) -> float:
        """Time of the electric field now (the magnetic one is half a step behind)."""
        return self.steps_done * self.dt

    def add(self, feature):
        """Attach a source (``after_h``/``after_e``), a monitor (``update``)
        or a feature that is both (a port); returns it."""
        source, monitor = hasattr(feature, "after_e"), hasattr(feature, "update")
        if not (source or monitor):
            raise TypeError(f"{type(feature).__name__} is neither a source nor a monitor")
        if source:
            self.sources.append(feature)
        if monitor:
            self.monitors.append(feature)
        return feature

    @property
    def tune_threads(self) -> bool:
        """On the CPU: whether ``step`` takes the thread count that its own
        timings find fastest on the machine now (``orvane_sim.threads``; on
        by default, for a box not split over processes). PyTorch keeps that
        count between calls; ``run`` gives the caller's back when it returns,
        and so does setting this to False, which keeps PyTorch's count."""
        return self._threads is not None

    @tune_threads.setter
    def tune_threads(self, on: bool) -> None:
        if self._threads is not None:
            self._threads.release()
        self._threads = ThreadTuner() if on and self.device.type == "cpu" else None

    def step(self, count: int = 1) -> None:
        """Advance ``count`` time steps: H update and H sources, E update and
        dispersive pass, E sources, periodic ghosts, conducting faces, then
        the monitors (on the CPU with the thread count ``tune_threads``
        picks). A source that must see a certain medium (a plane wave's
        plane in vacuum) checks the one painted now, before any step."""
        for source in self.sources:
            check = getattr(source, "check_medium", None)
            if check is not None:
                check(self)
        if self._threads is None:
            self._advance(count, True)
        else:
            self._threads.advance(count, self._advance)

    def _advance(self, count: int, first: bool) -> None:
        """``count`` steps; ``first``: they begin a call of ``step``."""
        m = self.module
        # Whatever the caller did to the faces between calls is cleared in a
        # call's first step; after that a step without sources only has the
        # strips that the layer corrections write to clear (a box in slabs
        # clears its faces whole, as its halo exchange does).
        whole_faces = bool(self.sources) or self.placement.axis is not None
        for n in range(count):
            self.update_magnetic()
            for source in self.sources:
                source.after_h(self)
            m.Update_E(self.Ex, self.Ey, self.Ez, self.Hx, self.Hy, self.Hz,
                       *self.cg1, *self.cg2, *self.ce, *self.epsi, *self.eb, *self.ec,
                       self.layer_cells, self.spare)
            if self.medium is not None:
                self.medium.apply(m, self.Ex, self.Ey, self.Ez)
            for source in self.sources:
                source.after_e(self)
            if self.periodic is not None:
                self.periodic.apply(self)
            if (first and n == 0) or whole_faces:
                self.zero_tangential_faces()
            else:
                self.zero_layer_strips()
            self.steps_done += 1
            for monitor in self.monitors:
                monitor.update(self)

    def update_magnetic(self) -> None:
        """The magnetic update of the whole box (one phase of ``step``; a slab
        of a split box runs it in parts around its halo)."""
        self.module.Update_H(self.Hx, self.Hy, self.Hz, self.Ex, self.Ey, self.Ez,
                             *self.ch, *self.hpsi, *self.hb, *self.hc,
                             self.layer_cells, self.spare)

    def run(self, steps: int | None = None, until: float | None = None,
            progress: bool | None = None, *, checkpoint=None, every: int | None = None,
            check_every: int = 200) -> None:
        """Advance ``steps`` steps, or until the electric field's time reaches
        ``until``. ``progress``: True shows a progress bar, False hides it,
        None shows it when standard error is a terminal.

        ``checkpoint``, ``every``: write the state to the file ``checkpoint``
        whenever the box's step count reaches a multiple of ``every`` (the
        latest replaces the one before; ``load`` continues from it).
        ``check_every``: steps between checks that the fields are finite
        (and at the end of the run, and before each checkpoint); a field that
        is not raises NonFiniteFields naming the step, the component and the
        first bad index. 0 checks nothing."""
        if (steps is None) == (until is None):
            raise ValueError("give either steps or until")
        if steps is None:
            if not math.isfinite(until):
                raise ValueError(f"until must be a finite time, got {until}")
            steps = max(0, math.ceil((until - self.time) / self.dt - 1e-9))
        elif isinstance(steps, bool) or not isinstance(steps, int) or steps < 0:
            raise ValueError(f"steps must be an integer >= 0, got {steps!r}")
        if checkpoint is not None and (isinstance(every, bool) or not isinstance(every, int)
                                       or every < 1):
            raise ValueError(f"a checkpoint needs every = an integer >= 1 (steps between "
                             f"saves), got {every!r}")
        if isinstance(check_every, bool) or not isinstance(check_every, int) or check_every < 0:
            raise ValueError(f"check_every must be an integer >= 0, got {check_every!r}")
        try:
            from tqdm.auto import tqdm
        except ImportError:  # the bar is a convenience: run without it
            tqdm = None
        bar = (tqdm(total=steps, unit="step", disable=(None if progress is None else not progress),
                    leave=False, dynamic_ncols=True) if tqdm else None)
        checked = self.steps_done
        try:
            done = 0
            while done < steps:
                n = min(50, steps - done)
                if checkpoint is not None:
                    n = min(n, every - self.steps_done % every)
                if check_every:
                    n = min(n, max(1, check_every - (self.steps_done - checked)))
                self.step(n)
                done += n
                if bar is not None:
                    bar.update(n)
                if check_every and self.steps_done - checked >= check_every:
                    self.check_finite()
                    checked = self.steps_done
                if checkpoint is not None and self.steps_done % every == 0:
                    if check_every and checked != self.steps_done:
                        self.check_finite()
                        checked = self.steps_done
                    self.save(checkpoint)
            if check_every and checked != self.steps_done:
                self.check_finite()
        finally:
            if bar is not None:
                bar.close()
            if self._threads is not None:
                self._threads.release()

    def check_finite(self) -> None:
        """Raise NonFiniteFields if a field holds a NaN or an infinity: one
        reduction per component on the device and a single transfer of six
        flags; the search for the first bad index only when one is set."""
        names = ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz")
        fields = [getattr(self, name) for name in names]
        flags = torch.stack([torch.isfinite(f).all() for f in fields])
        if self._all_ranks_finite(flags):
            return
        for name, f in zip(names, fields):
            bad = ~torch.isfinite(f)
            if bool(bad.any()):
                index = tuple(int(i) for i in bad.nonzero()[0])
                value = float(f[index])
                raise NonFiniteFields(
                    f"step {self.steps_done}: {name} is {value} at index {self._where(index)} "
                    "(b0, b1, i, j, k, b2); the run stopped there instead of carrying it into "
                    "its results")
        raise NonFiniteFields(f"step {self.steps_done}: another part of the box holds a "
                              "non-finite field")

    def _all_ranks_finite(self, flags: torch.Tensor) -> bool:
        return bool(flags.all())

    def _where(self, index: tuple) -> tuple:
        """An index into a field as the box counts it."""
        return index

    def save(self, path) -> None:
        """Write everything needed to continue this run to ``path``,
        atomically (see ``orvane_sim.checkpoint``)."""
        from .checkpoint import save

        save(self, path)

    def load(self, path) -> None:
        """Continue from the checkpoint at ``path``, written by a simulation
        built as this one (same box, objects, sources and monitors). Raises
        CheckpointError (a ValueError) naming what differs, before anything
        is changed."""
        from .checkpoint import load

        load(self, path)

    @recorded
    def set_objects(self, objects, background=None, resolution: int = 4, supersample: int = 2,
                    smoothing="anisotropic") -> None:
        """Fill the box with ``objects`` (``geometry.Object``s, painted in
        order over ``background``, a material or a permittivity, vacuum by
        default), or with one list of objects per b1, and step the electric
        field through their materials.

        ``smoothing``: "anisotropic" (or True) gives each node the effective
        permittivity of its dual cell for its component (sub-cell
        smoothing), "average" (or False) the volume-weighted blend of the two
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
        if background is None:
            background = Dielectric(1.0)
        elif not isinstance(background, Dielectric):
            background = Dielectric(real(background, "background (a material or a "
                                                      "permittivity)"))
        if self.medium is None:
            self._check_memory(True, only_materials=True)
        materials = [background] + [o.material for objs in per_batch for o in objs]
        tables = material_tables(materials, self.dt, self.device)
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
        for b1, objs in enumerate(per_batch):
            out = [tuple(g[b1:b1 + 1] for g in comp) for comp in grids]
            objs = [periodic_images(o, periods, box, self.spacing) for o in objs]
            material_grids(objs, self.shape, self.spacing, self.module, dev, tables.den,
                           resolution, supersample, modes[b1] == "anisotropic", first, out,
                           domain=self.placement.shape, offset=self.placement.offset,
                           periodic=tuple(periods), poles=poles)
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
        materials = self._stand_ins_in_layers(materials, grids)
        self.painted = (materials, grids)
        self._set_medium(materials, grids)
        forget(self, "paint_designs")  # the design regions painted before are gone

    def _set_medium(self, materials, grids) -> None:
        from .medium import DispersiveMedium

        shapes = [tuple(f.shape) for f in (self.Ex, self.Ey, self.Ez)]
        self.medium = DispersiveMedium(materials, self.dt, grids, shapes, self.device)
        self.cg1, self.cg2 = self.medium.cg1, self.medium.cg2

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
            size = self.placement.shape[axis] * self.spacing[axis]
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
        self.match_seams(grids)
        self._set_medium(materials, grids)

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

    def layer_depth(self, component: int) -> torch.Tensor:
        """float32 [NX, NY, NZ]: how deep each node of electric component
        ``component`` (0, 1, 2 for x, y, z) lies in the absorbing layers, as
        a fraction of the layer's thickness (the deepest of its layers; 0
        outside them, 1 on a face)."""
        place = self.placement
        depth = torch.zeros(self.shape, dtype=torch.float32, device=self.device)
        for axis, ((low, high), cells, start) in enumerate(zip(self.faces, place.shape,
                                                               place.offset)):
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

    # (layer axis, component, face axis): inside the x layers the electric
    # update adds the x-layer corrections to Ey on the low z face and to Ez
    # on the low y face, and so on for y and z; it writes no other node of a
    # conducting face, and the dispersive pass none at all.
    LAYER_STRIPS = ((0, 1, 2), (0, 2, 1), (1, 2, 0), (1, 0, 2), (2, 0, 1), (2, 1, 0))

    def zero_layer_strips(self) -> None:
        """Tangential E = 0 where the electric update may have written a
        conducting face: on the low faces, within the layers of the other
        axes. Once ``zero_tangential_faces`` has cleared the faces and no
        source writes them, this keeps them as that would, at a fraction of
        the memory traffic."""
        periodic = self.periodic.axes if self.periodic is not None else ()
        fields = (self.Ex, self.Ey, self.Ez)
        for layer, c, face in self.LAYER_STRIPS:
            L = self.layers[layer]
            if L == 0 or face in periodic:
                continue
            plane = fields[c].select(2 + face, 0)
            d = 2 + layer - (layer > face)
            n = plane.size(d)  # N + 1 nodes: the layer's axis is not the component's
            plane.narrow(d, 0, min(L, n)).zero_()
            plane.narrow(d, max(n - 1 - L, 0), min(L + 1, n)).zero_()

    def zero_tangential_faces(self) -> None:
        """Perfect-conductor faces: tangential E = 0 at index 0 and N, except
        along the axes a periodic boundary fills."""
        periodic = self.periodic.axes if self.periodic is not None else ()
        Ex, Ey, Ez = self.Ex, self.Ey, self.Ez
        for f, dims in ((Ex, (3, 4)), (Ey, (2, 4)), (Ez, (2, 3))):
            for d in dims:
                if d - 2 in periodic:
                    continue
                f.select(d, 0).zero_()
                f.select(d, f.size(d) - 1).zero_()

    def energy(self) -> float:
        """0.5 (eps0 sum E^2 + mu0 sum H^2) dV over all batch entries, summed
        in double precision (vacuum weights)."""
        def sq(f):
            return torch.linalg.vector_norm(f, dtype=torch.float64).square()

        e = sum(sq(f) for f in (self.Ex, self.Ey, self.Ez))
        h = sum(sq(f) for f in (self.Hx, self.Hy, self.Hz))
        return float(0.5 * (EPS0 * e + MU0 * h) * self.cell_volume)

    def set_gaussian_pulse(self, width: float, amplitude: float = 1.0) -> None:
        """Start every batch entry from the field of ``gaussian_pulse`` with
        H = 0 and fresh layer state."""
        width = real(width, "width", positive=True)
        amplitude = real(amplitude, "amplitude")
        place = self.placement
        ex, ey = gaussian_pulse(place.shape, self.spacing, width, amplitude)
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


def gaussian_pulse(shape, spacing, width: float, amplitude: float = 1.0):
    """Divergence-free pulse E = curl(z G), G Gaussian at the box centre.

    G is sampled at the Hz positions ((i+1/2)dx, (j+1/2)dy, k dz) for
    k = 0..NZ, taken as zero outside the box and on its outermost ring of
    samples, and the electric field is its staggered curl
        Ex[i,j,k] =  (G[i,j,k] - G[i,j-1,k]) / dy
        Ey[i,j,k] = -(G[i,j,k] - G[i-1,j,k]) / dx
    (Ez = 0), so the discrete divergence vanishes, no charge is left behind
    and the tangential field on the conducting faces is zero. ``shape``:
    the box's cells (NX, NY, NZ); ``spacing``: (dx, dy, dz) in length
    units; ``width``: the Gaussian's standard deviation in length units;
    ``amplitude``: G's peak over ``width`` (E then peaks near it). Returns
    Ex [NX, NY+1, NZ+1] and Ey [NX+1, NY, NZ+1] in float64.
    """
    NX, NY, NZ = shape
    dx, dy, dz = spacing
    f64 = torch.float64
    x = (torch.arange(NX, dtype=f64) + 0.5 - NX / 2) * dx
    y = (torch.arange(NY, dtype=f64) + 0.5 - NY / 2) * dy
    z = (torch.arange(NZ + 1, dtype=f64) - NZ / 2) * dz
    r2 = x.view(-1, 1, 1)**2 + y.view(1, -1, 1)**2 + z.view(1, 1, -1)**2
    G = amplitude * width * torch.exp(-r2 / (2.0 * width**2))
    G[[0, -1], :, :] = 0.0
    G[:, [0, -1], :] = 0.0
    G[:, :, [0, -1]] = 0.0
    Gp = torch.nn.functional.pad(G, (0, 0, 1, 1, 1, 1))  # zero at i, j = -1 and N
    ex = (Gp[1:-1, 1:, :] - Gp[1:-1, :-1, :]) / dy       # [NX, NY+1, NZ+1]
    ey = -(Gp[1:, 1:-1, :] - Gp[:-1, 1:-1, :]) / dx      # [NX+1, NY, NZ+1]
    return ex, ey


def divergence(Ex: torch.Tensor, Ey: torch.Tensor, Ez: torch.Tensor,
               spacing=(1.0, 1.0, 1.0)) -> torch.Tensor:
    """Discrete divergence of E at the interior nodes [NX-1, NY-1, NZ-1] (float64).

    Takes the components Ex, Ey, Ez as 3-D [X, Y, Z] tensors or as field
    tensors of one batch entry; ``spacing``: (dx, dy, dz) in length units.
    """
    dx, dy, dz = spacing
    ex, ey, ez = ((f[0, 0, ..., 0] if f.dim() == 6 else f).double() for f in (Ex, Ey, Ez))
    return ((ex[1:, 1:-1, 1:-1] - ex[:-1, 1:-1, 1:-1]) / dx
            + (ey[1:-1, 1:, 1:-1] - ey[1:-1, :-1, 1:-1]) / dy
            + (ez[1:-1, 1:-1, 1:] - ez[1:-1, 1:-1, :-1]) / dz)
