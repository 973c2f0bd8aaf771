"""One box split into slabs across the ranks of a torch.distributed group.

Each rank holds the cells [start, stop) of the split axis (x by default) and
steps them with the same field updates as a whole box. Neighbouring slabs
share one cell: rank r's last cell is rank r+1's first. The electric update
leaves the two end planes of nodes (index 0 and N along the axis) to the
caller; with the shared cell, each of those planes is an interior plane of
the neighbour, so after every electric step rank r+1 sends its node 1 to
rank r's node N and rank r sends its node N-1 to rank r+1's node 0
(``exchange``).

The absorbing layers stay at the global faces: a slab that reaches into a
face's layer gets layer slots that give each of its cells and nodes the
box's coefficients, a slab that reaches none has no layer along the split
axis. Conducting faces are enforced only at the global ends. Sources,
monitors and objects are placed by ``grid.placement.SlabPlacement``.
"""
from __future__ import annotations

import torch
import torch.distributed as dist

from ..core.simulation import Simulation, _faces, box_grid, layer_cells
from ..grid.coefficients import Grading, axis_coefficients, graded_axis_coefficients
from ..grid.placement import SlabPlacement
from ..grid.rectilinear import RectilinearGrid
from .exchange import SlabBoundary, SlabExchange


def slab_bounds(cells: int, ranks: int, rank: int) -> tuple[int, int]:
    """Cells [start, stop) of ``rank``'s slab along an axis of ``cells`` cells:
    an even partition, each slab after the first widened by the shared cell
    below it."""
    lo = round(rank * cells / ranks)
    hi = round((rank + 1) * cells / ranks)
    return (lo - 1 if rank > 0 else lo), hi


def _slot(index: torch.Tensor, cells: int, L: int) -> torch.Tensor:
    """Layer slot of each index along an axis of ``cells`` cells with layers
    L thick, -1 outside both layers; an index in both counts as low, as the
    field updates count it."""
    high = torch.where(index >= cells - L, index - cells + 2 * L, -1)
    return torch.where(index < L, index, high)


class SlabSimulation(Simulation):
    """A ``Simulation`` of the part of a box that this rank holds.

    Takes the arguments of ``Simulation`` for the whole box (size and
    resolution or shape, or ``grid`` for unequal cells, layer_thickness or
    layers, objects, bloch, ...) and ``axis``, the split axis (0, 1 or 2).
    The group must be initialised (``init_group``, the default group);
    every rank builds its slab with the same arguments. ``grid`` is the
    whole box's on every rank; the time step follows the whole box's
    shortest cells. A periodic split axis needs one spacing.

    ``bloch`` makes x and y periodic as in ``Simulation``; a split x or y
    then wraps from the last rank to the first. Sources, monitors and
    objects are given in the box's indices and coordinates and act on the
    part of their region each rank holds; ``energy``, ``gather``, the flux
    planes' spectra and ``FrequencyMonitor.gathered`` combine the ranks.
    """

    def __init__(self, shape=None, spacing=1.0, courant: float = 0.99, layers=None,
                 backend: str = "cpu", grading: Grading = Grading(), b2: int = 1,
                 batch=(1, 1), *, axis: int = 0, size=None, resolution=None,
                 layer_thickness=None, objects=None, background=None, bloch=None,
                 grid=None, **object_options):
        if not dist.is_initialized():
            raise RuntimeError("SlabSimulation needs an initialised torch.distributed group")
        if axis not in (0, 1, 2):
            raise ValueError(f"axis must be 0, 1 or 2, got {axis!r}")
        self.axis = axis
        self.rank, self.ranks = dist.get_rank(), dist.get_world_size()
        box = box_grid(shape, spacing, size, resolution, grid)
        self.global_shape = box.shape
        faces = _faces(layer_cells(layers, layer_thickness, box.spacing, box), self.global_shape)
        N = self.global_shape[axis]
        low, high = faces[axis]
        L = max(low, high)
        self.start, self.stop = slab_bounds(N, self.ranks, self.rank)
        cells = self.stop - self.start
        if cells < 2:
            raise ValueError(f"slab of {cells} cells along axis {axis} on rank {self.rank} "
                             f"is thinner than 2 cells; use fewer ranks")
        if bloch is not None:
            from ..core.periodic import fields_needed

            b2 = max(int(b2), fields_needed(bloch, int(batch[0])))
        # the slab's own cells: the box's axes but the split one, which holds
        # cells [start, stop) (``Simulation`` keeps the box's grid: ``_box_grid``)
        self._box = box
        held = list(box.axes)
        held[axis] = box[axis].part(self.start, self.stop)
        local_faces = list(faces)
        local_faces[axis] = (0, 0)
        super().__init__(courant=courant, layers=tuple(local_faces), backend=backend,
                         grading=grading, b2=b2, batch=batch, grid=RectilinearGrid(*held))
        self.faces = faces
        self.layers = tuple(max(f) for f in faces)
        # each rank's step waits for its neighbours' halos, so its own timings
        # cannot tell its best thread count: the ranks keep PyTorch's setting
        self._threads = None
        self.placement = SlabPlacement(self.global_shape, axis, self.start, self.stop,
                                       self.rank, self.ranks)
        self._split_axis_layers(N, L, grading)
        periodic = None
        if bloch is not None:
            from ..core.periodic import BlochBoundary, wave_vectors

            k = wave_vectors(bloch, self.batch[0])
            if axis < 2 and self.layers[axis] != 0:
                raise ValueError(f"a periodic axis has no absorbing layers, got "
                                 f"{self.layers[axis]} along {'xy'[axis]}")
            periodic = BlochBoundary(self, x=axis != 0, y=axis != 1, k=k)
        self.exchange = SlabExchange(self, None if bloch is None or axis == 2 else
                                     periodic.k[:, axis])
        self.periodic = SlabBoundary(self.exchange, periodic)
        if objects is not None or background is not None:
            self.set_objects(objects or [], background=background, **object_options)
        elif object_options:
            raise TypeError(f"unexpected options without objects: {sorted(object_options)}")

    def _box_grid(self, held: RectilinearGrid) -> RectilinearGrid:
        return self._box

    def set_bloch(self, k) -> None:
        from ..core.periodic import BlochBoundary, wave_vectors

        k = wave_vectors(k, self.batch[0])
        bloch = self.periodic.bloch
        if bloch is not None:
            bloch = BlochBoundary(self, x=0 in bloch.axes, y=1 in bloch.axes, k=k)
        if self.exchange.wraps:
            self.exchange.finish()
            overlap = self.exchange.overlap
            self.exchange = SlabExchange(self, k[:, self.axis])
            self.exchange.overlap = overlap
        self.periodic = SlabBoundary(self.exchange, bloch)

    def periodic_axes(self) -> tuple[int, ...]:
        bloch = self.periodic.bloch
        return (bloch.axes if bloch is not None else ()) + \
            ((self.axis,) if self.exchange.wraps else ())

    def _match_seam(self, grid: torch.Tensor, axis: int) -> None:
        # the split axis's seam joins the first rank's plane 0 and the last
        # rank's plane N-1: the first sends its plane to the last
        if axis != self.axis or self.ranks == 1:
            super()._match_seam(grid, axis)
            return
        d = 1 + axis
        plane = grid.select(d, 0).clone(memory_format=torch.contiguous_format)
        dist.broadcast(plane, src=0)
        if self.rank == self.ranks - 1:
            grid.select(d, grid.size(d) - 1).copy_(plane)

    def _box_plane(self, grid: torch.Tensor, axis: int, index: int) -> torch.Tensor:
        # along the split axis the plane may be another slab's: the lowest
        # rank that holds it sends it to all (every rank takes part)
        if axis != self.axis or self.ranks == 1:
            return super()._box_plane(grid, axis, index)
        start, stop = self.placement.start_stop(axis)
        holder = torch.tensor([self.rank if start <= index < stop else self.ranks],
                              device=grid.device)
        dist.all_reduce(holder, op=dist.ReduceOp.MIN)
        shape = list(grid.shape)
        shape[1 + axis] = 1
        if self.rank == int(holder):
            plane = grid.narrow(1 + axis, index - start, 1).contiguous()
        else:
            plane = grid.new_empty(shape)
        dist.broadcast(plane, src=int(holder))
        return plane

    def _split_axis_layers(self, N: int, L: int, grading: Grading) -> None:
        """Coefficients of the split axis: the curl terms by the box's index
        (on unequal cells each with its own cell's length),
        and, where the slab reaches into a face's layer, layer slots that
        give each of its cells and nodes the box's coefficients there (the
        field updates find a slot from the slab's own size). A slab that
        reaches no layer has none along the axis."""
        a, s, n = self.axis, self.start, self.stop - self.start
        low, high = self.faces[a]
        if self.spacing[a] is not None:
            whole = axis_coefficients(N, self.spacing[a], (low, high), self.dt, grading)
        else:
            whole = graded_axis_coefficients(self.grid[a], (low, high), self.dt, grading)
        reaches = s < low or self.stop > N - high
        Lloc = L if reaches else 0
        dev = self.device

        def slots(v: torch.Tensor) -> torch.Tensor:
            out = torch.zeros(2 * Lloc, dtype=v.dtype)
            i = torch.arange(n)
            mine, box = _slot(i, n, Lloc), _slot(i + s, N, L)
            if bool(((box >= 0) & (mine < 0)).any()):
                raise AssertionError("a layer cell of the box has no slot in the slab")
            use = (box >= 0) & (mine >= 0)
            out[mine[use]] = v[box[use]]
            return out.to(dev)

        def put(name, value):
            t = list(getattr(self, name))
            t[a] = value
            setattr(self, name, tuple(t))

        put("ch", whole.ch[s:s + n].to(dev))
        put("ce", whole.ce[s:s + n].to(dev))
        # magnetic slots by cell, electric ones by node (the update reads no
        # slot for node 0, nor for the end node n, the next slab's)
        for name in ("hb", "hc", "eb", "ec"):
            put(name, slots(getattr(whole, name)))
        # which cells lie in the box's layers (their slots carry its
        # coefficients), for splitting the magnetic update (``view_is_exact``)
        self.axis_layer = Lloc
        self._exact_views: dict = {}
        self.in_layer = (_slot(torch.arange(n) + s, N, L) >= 0).tolist()
        B0, B1 = self.batch
        shape = [B0, B1, *self.shape, 2, self.b2]
        shape[2 + a] = 2 * Lloc
        put("hpsi", torch.zeros(shape, device=dev))
        put("epsi", torch.zeros(shape, device=dev))
        layer_cells = list(self.layers)
        layer_cells[a] = Lloc
        self.layer_cells = torch.tensor(layer_cells, dtype=torch.int32, device=dev)

    def view_is_exact(self, lo: int, hi: int) -> bool:
        """Whether the magnetic update of the cells [lo, hi) of the split
        axis, given as views of that many cells, applies the layers as the
        whole slab does: each layer cell keeps its slot, and no other cell
        lands in a slot that a layer cell uses."""
        known = self._exact_views.get((lo, hi))
        if known is not None:
            return known
        n, L = self.shape[self.axis], self.axis_layer
        cells = torch.arange(lo, hi)
        view, slab = _slot(cells - lo, hi - lo, L), _slot(cells, n, L)
        layered = torch.tensor(self.in_layer[lo:hi], dtype=torch.bool)
        used = _slot(torch.arange(n), n, L)[torch.tensor(self.in_layer, dtype=torch.bool)]
        stray = view[~layered & (view >= 0)]
        exact = bool((view[layered] == slab[layered]).all()) and \
            not bool(torch.isin(stray, used).any())
        self._exact_views[(lo, hi)] = exact
        return exact

    def update_magnetic(self) -> None:
        self.exchange.magnetic(self)

    def _set_medium(self, materials, grids, design=None) -> None:
        super()._set_medium(materials, grids, design)
        # A slab with no couplings of its own still swaps its shared cells'
        # halves when any slab has couplings: its neighbours wait for them.
        any_pass = torch.tensor([int(self.anisotropy is not None)], device=self.device)
        dist.all_reduce(any_pass, op=dist.ReduceOp.MAX)
        if self.anisotropy is None and bool(any_pass):
            from ..core.anisotropy import AnisotropicPass

            dev = self.device
            self.anisotropy = AnisotropicPass(
                torch.zeros(0, 5, dtype=torch.int32, device=dev),
                torch.zeros(0, 8, dtype=torch.int32, device=dev),
                torch.zeros(0, 8, device=dev))

    # Message tags of the shared cells' halves (beside the halo exchange's).
    HALF_UP, HALF_DOWN, HALF_WRAP_UP, HALF_WRAP_DOWN = 4, 5, 6, 7

    def apply_anisotropy(self) -> None:
        """The anisotropic pass, then the cells this slab shares with its
        neighbours along the split axis. Each copy of a shared cell of the
        split-axis component takes the couplings to the nodes its slab holds
        (its others lie on a ghost plane, whose curl increments a slab
        cannot form); the two halves are swapped and both copies take the
        same sum, lower half plus upper, so that they stay equal. Across a
        wrapping seam the half that comes over takes the Bloch phase, as
        the halo exchange's planes do."""
        a, d = self.axis, 2 + self.axis
        rank, ranks = self.rank, self.ranks
        wraps = self.exchange.wraps
        E = (self.Ex, self.Ey, self.Ez)[a]
        n = E.size(d)
        # (cell, peer, send tag, receive tag, phase sign, this copy's half is the lower)
        ends = []
        if rank > 0:
            ends.append((0, rank - 1, self.HALF_DOWN, self.HALF_UP, 0, False))
        elif wraps and ranks > 1:
            ends.append((0, ranks - 1, self.HALF_WRAP_UP, self.HALF_WRAP_DOWN, -1, False))
        if rank < ranks - 1:
            ends.append((n - 1, rank + 1, self.HALF_UP, self.HALF_DOWN, 0, True))
        elif wraps and ranks > 1:
            ends.append((n - 1, 0, self.HALF_WRAP_DOWN, self.HALF_WRAP_UP, +1, True))
        if wraps and ranks == 1:
            ends = [(0, None, None, None, -1, False), (n - 1, None, None, None, +1, True)]
        if not ends:
            super().apply_anisotropy()
            return
        before = [E.select(d, i).clone() for i, *_ in ends]
        super().apply_anisotropy()
        mine = [E.select(d, i) - b for (i, *_), b in zip(ends, before)]
        if ranks == 1:  # the wrap joins this slab's own ends
            other = [mine[1], mine[0]]
        else:
            other = [torch.empty_like(m) for m in mine]
            ops = []
            for (_, peer, send, receive, _, _), m, o in zip(ends, mine, other):
                ops.append(dist.P2POp(dist.isend, m.contiguous(), peer, tag=send))
                ops.append(dist.P2POp(dist.irecv, o, peer, tag=receive))
            for req in dist.batch_isend_irecv(ops):
                req.wait()
        for (i, _, _, _, sign, lower), b, m, o in zip(ends, before, mine, other):
            if sign:
                o = self.exchange._rotate(o, sign)
            low, high = (m, o) if lower else (o, m)
            E.select(d, i).copy_(b + (low + high))

    def step(self, count: int = 1) -> None:
        """Advance ``count`` time steps; each step's halo travels while the
        next step's magnetic update runs, and the last one is completed
        before returning, so the fields are whole between calls."""
        super().step(count)
        self.exchange.finish()

    def run(self, steps: int | None = None, until: float | None = None,
            progress: bool | None = None, **options) -> None:
        """``Simulation.run``; only rank 0 shows progress. Checkpoints are one
        file per rank and a manifest (``orvane_sim.core.checkpoint``)."""
        super().run(steps, until, progress if self.rank == 0 else False, **options)

    def _all_ranks_finite(self, flags: torch.Tensor) -> bool:
        """Every rank's verdict, so that all stop together."""
        agreed = flags.all().to(torch.int32).reshape(1)
        dist.all_reduce(agreed, op=dist.ReduceOp.MIN)
        return bool(agreed)

    def _where(self, index: tuple) -> tuple:
        index = list(index)
        index[2 + self.axis] += self.start
        return tuple(index)

    def _owned(self, component: int | None) -> slice:
        """Local indices along the axis that this rank alone accounts for:
        the shared cell (and its low node) belong to the rank below, the last
        node of the axis to the last rank. component None: an H field."""
        a, place = self.axis, self.placement
        c0, c1 = place.owned_cells(a)
        nodes = component is not None and component != a
        if nodes and place.owns_node(a, c1):
            c1 += 1
        return slice(c0 - self.start, c1 - self.start)

    def _parts(self):
        """Owned parts of Ex, Ey, Ez, Hx, Hy, Hz."""
        d = 2 + self.axis
        for c, f in enumerate((self.Ex, self.Ey, self.Ez, self.Hx, self.Hy, self.Hz)):
            own = self._owned(c if c < 3 else None)
            yield f.narrow(d, own.start, own.stop - own.start)

    def energy(self) -> float:
        """Field energy of the whole box (every rank gets the same value),
        each rank's owned samples weighed as ``Simulation.energy`` weighs
        them."""
        firsts = []
        for c in range(6):
            first = list(self.placement.offset)
            first[self.axis] += self._owned(c if c < 3 else None).start
            firsts.append(tuple(first))
        total = self._energy_of(zip(self._parts(), firsts)).reshape(1)
        dist.all_reduce(total)
        return float(total)

    def gather(self):
        """The six whole-box fields (Ex, Ey, Ez, Hx, Hy, Hz) on rank 0, on the
        CPU; None on the other ranks."""
        parts = [f.cpu() for f in self._parts()]
        got = [None] * self.ranks if self.rank == 0 else None
        dist.gather_object(parts, got, dst=0)
        if self.rank != 0:
            return None
        d = 2 + self.axis
        return tuple(torch.cat([g[i] for g in got], d) for i in range(6))
