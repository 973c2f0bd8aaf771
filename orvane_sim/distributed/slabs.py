"""One box split into slabs across the ranks of a torch.distributed group.

    torchrun --nproc-per-node 2 -m orvane_sim.distributed [--backend cpu|cuda] [--cells 48]
                                [--layers 8] [--steps 100] [--axis 0] [--chunk 10]

Each rank holds the cells [start, stop) of the split axis (x by default) and
steps them with the same field updates as a whole box. Neighbouring slabs
share one cell: rank r's last cell is rank r+1's first. The electric update
leaves the two end planes of nodes (index 0 and N along the axis) to the
caller; with the shared cell, each of those planes is an interior plane of
the neighbour, so after every electric step rank r+1 sends its node 1 to
rank r's node N and rank r sends its node N-1 to rank r+1's node 0.

Only E crosses between ranks: the magnetic update of a cell uses the
electric nodes on its two faces, and a slab holds both faces of each of its
cells, so once the end planes of E are current every H value of the slab is
too (the shared cell's H is computed by both ranks from the same E). The
planes travel while the next magnetic update runs on the cells that do not
read them (``SlabExchange``).

The absorbing layers stay at the global faces: a slab that reaches into a
face's layer gets layer slots that give each of its cells and nodes the
box's coefficients, a slab that reaches none has no layer along the split
axis. Conducting faces are enforced only at the global ends. Sources,
monitors and objects are placed by ``placement.SlabPlacement``. Process
groups: Gloo for CPU tensors, NCCL for CUDA tensors (one GPU per rank, the
rank's local index).
"""
from __future__ import annotations

import argparse
import os
import socket
import time

import torch
import torch.distributed as dist

from ..grid.coefficients import Grading, axis_coefficients
from ..grid.placement import SlabPlacement
from ..grid.arguments import triple
from ..core.simulation import Simulation, _faces, box_cells


def slab_bounds(cells: int, ranks: int, rank: int) -> tuple[int, int]:
    """Cells [start, stop) of ``rank``'s slab along an axis of ``cells`` cells:
    an even partition, each slab after the first widened by the shared cell
    below it."""
    lo = round(rank * cells / ranks)
    hi = round((rank + 1) * cells / ranks)
    return (lo - 1 if rank > 0 else lo), hi


class SlabExchange:
    """The halo exchange after each electric step, hooked in where a periodic
    boundary goes: it fills the split axis's end planes of the node-centred
    components and zeroes the tangential field on the global faces, or, with
    a Bloch wave number ``k`` (one, or one per b0), wraps them: the first
    rank's node 0 receives exp(-i k P) times the last rank's node N-1 and the
    last rank's node N receives exp(+i k P) times the first rank's node 1,
    P = (cells - 1) h being the period, as the one-box periodic pass does.

    The exchange overlaps the next magnetic update: ``apply`` posts the sends
    and receives and returns; the next step's ``magnetic`` updates the cells
    that do not touch a travelling plane, waits, fills the planes and then
    updates the one or two end cells (``finish`` completes an exchange on its
    own). Why this order is safe:

    - a cell's H reads E only on its two faces along the axis, so cells
      1 .. n-2 read nodes 1 .. n-1, none of which is in flight; the magnetic
      views partition the cells, so each H value is updated exactly once,
      from the same E as in the blocking order, by the same arithmetic;
    - the sent planes are copies taken once the electric step (sources and
      conducting faces included) is final, so what follows cannot reach
      them; the received values land in separate buffers, copied into planes
      0 / N only after the wait, and need no zeroing there (the sender
      zeroed its faces before the copy); every reader of those planes (the
      end cells, sources, monitors, the caller) comes after the fill;
    - sources' ``after_h`` run after the end cells, on a whole H; monitors
      run at the end of a step, so with a monitor that may keep a value of
      planes 0 / N (any without ``reads_halo = False``) the exchange is
      completed at once (no overlap) and it never sees a stale plane;
    - ``SlabSimulation.step`` finishes the exchange before returning, so the
      fields are whole whenever the caller looks.

    ``overlap = False`` restores the blocking exchange (wait at once).
    ``counts``: magnetic updates split around a pending exchange
    ("overlapped"), exchanges completed without overlap ("blocking": with
    monitors that read the halo, ``overlap = False``, or at the end of
    ``step``), and
    ("fallback") magnetic updates that had to wait first because this slab
    cannot be split safely.
    """

    # Message tags: neighbours upwards and downwards, the wrap both ways.
    UP, DOWN, WRAP_UP, WRAP_DOWN = 0, 1, 2, 3

    def __init__(self, sim: "SlabSimulation", k=None):
        self.axes = (sim.axis,)
        self.phase = None  # (cos, sin) of k·P per b0; None where every phase is 1
        self.wraps = k is not None
        self.overlap = True
        self.counts = {"overlapped": 0, "blocking": 0, "fallback": 0}
        self._pending = None  # (requests, fills) of the exchange in flight
        self.after_wrap = None  # (component, wrapped plane) -> None, see SlabBoundary
        self._views = {}  # (lo, hi, layer) -> (ids, Update_H arguments, tensors)
        if k is not None:
            if sim.layers[sim.axis] != 0:
                raise ValueError("a periodic axis has no absorbing layers, got "
                                 f"{sim.layers[sim.axis]}")
            B0 = sim.batch[0]
            kk = torch.as_tensor(k, dtype=torch.float64).reshape(-1).expand(B0) \
                if torch.as_tensor(k).numel() == 1 else torch.as_tensor(k, dtype=torch.float64)
            if kk.shape != (B0,):
                raise ValueError(f"need one Bloch wave number or {B0} of them, got {k!r}")
            if sim.b2 == 1 and bool(kk.any()):
                raise ValueError(f"a periodic axis needs complex fields (b2=2), or real ones "
                                 f"(b2=1) with every Bloch k zero; got b2={sim.b2}")
            angle = kk * (sim.global_shape[sim.axis] - 1) * sim.spacing[sim.axis]
            if sim.b2 == 2:
                self.phase = (angle.cos().to(torch.float32).to(sim.device),
                              angle.sin().to(torch.float32).to(sim.device))

    def _rotate(self, buf: torch.Tensor, sign: int) -> torch.Tensor:
        """buf [B0, B1, plane..., 2] (real, imaginary) times exp(sign i k P)."""
        if self.phase is None:  # real fields: every phase is 1
            return buf
        return _rotated(buf, *self.phase, sign)

    def apply(self, sim) -> None:
        a, d = sim.axis, 2 + sim.axis
        rank, ranks = sim.rank, sim.ranks
        first, last = rank == 0, rank == ranks - 1
        if self._pending is not None:  # never two exchanges on the same tags
            self.finish()
        # The planes sent must hold their final values: the conducting faces
        # of the other axes are zeroed now rather than after the posting
        # (``step`` zeroes them again, which changes nothing).
        sim.zero_tangential_faces()
        ops, fills = [], []

        def post(c, f, send_index, peer, send_tag, recv_index, recv_tag, sign=0):
            # A copy, so that nothing done to the field while it travels can
            # reach the message.
            ops.append(dist.P2POp(dist.isend, f.select(d, send_index).clone(), peer,
                                  tag=send_tag))
            buf = torch.empty_like(f.select(d, recv_index))
            ops.append(dist.P2POp(dist.irecv, buf, peer, tag=recv_tag))
            fills.append((c, f, d, recv_index, buf, sign))

        for c, f in enumerate((sim.Ex, sim.Ey, sim.Ez)):
            if c == a:  # cell-centred along the axis: both copies computed locally
                continue
            n = f.size(d) - 1
            if not first:
                post(c, f, 1, rank - 1, self.DOWN, 0, self.UP)
            if not last:
                post(c, f, n - 1, rank + 1, self.UP, n, self.DOWN)
            if not self.wraps:
                if first:
                    f.select(d, 0).zero_()
                if last:
                    f.select(d, n).zero_()
            elif ranks == 1:
                low = self._rotate(f.select(d, n - 1), -1)
                high = self._rotate(f.select(d, 1), +1)
                f.select(d, 0).copy_(low)
                f.select(d, n).copy_(high)
                if self.after_wrap is not None:
                    self.after_wrap(c, f.select(d, 0))
                    self.after_wrap(c, f.select(d, n))
            else:
                if first:
                    post(c, f, 1, ranks - 1, self.WRAP_UP, 0, self.WRAP_DOWN, -1)
                if last:
                    post(c, f, n - 1, 0, self.WRAP_DOWN, n, self.WRAP_UP, +1)
        if not ops:
            return
        self._pending = (dist.batch_isend_irecv(ops), fills)
        if not self.overlap or any(getattr(m, "reads_halo", True) for m in sim.monitors):
            self.finish()

    def finish(self, counted: bool = True) -> None:
        """Wait for the exchange in flight, if any, and fill planes 0 / N."""
        if self._pending is None:
            return
        requests, fills = self._pending
        self._pending = None
        for req in requests:
            req.wait()
        for c, f, d, i, buf, sign in fills:
            f.select(d, i).copy_(self._rotate(buf, sign) if sign else buf)
            if sign and self.after_wrap is not None:
                self.after_wrap(c, f.select(d, i))
        if counted:
            self.counts["blocking"] += 1

    def _cells_apart(self, sim) -> tuple[int, int] | None:
        """Cells [lo, hi) of the slab whose H does not read a travelling
        plane, or None where this slab cannot be split exactly.

        The field update finds a cell's layer slot from the size of the
        tensors it is given, so a view of fewer cells can place a layer cell
        in another slot than the slab does (``SlabSimulation.view_is_exact``
        checks); and the end cells updated on their own carry no layer, so
        they must lie outside the box's layers. A slab that fails either
        waits first."""
        n = sim.shape[sim.axis]
        filled = {i for _, _, _, i, _, _ in self._pending[1]}
        lo = 1 if 0 in filled else 0
        hi = n - 1 if n in filled else n
        ends = [c for c, cut in ((0, lo == 1), (n - 1, hi == n - 1)) if cut]
        if hi - lo < 1 or not sim.view_is_exact(lo, hi) or any(sim.in_layer[c] for c in ends):
            return None
        return lo, hi

    def _update_cells(self, sim, lo: int, hi: int, layer: bool) -> None:
        """Update_H on the cells [lo, hi) of the split axis: every tensor
        narrowed along the axis alike; ``layer`` False: no layer along it.
        The views are kept while the slab's tensors are the same objects
        (the views hold them, so their ids cannot be reused meanwhile)."""
        tensors = (sim.Hx, sim.Hy, sim.Hz, sim.Ex, sim.Ey, sim.Ez, *sim.ch, *sim.hpsi,
                   *sim.hb, *sim.hc, sim.layer_cells, sim.spare)
        key = tuple(map(id, tensors))
        kept = self._views.get((lo, hi, layer))
        if kept is None or kept[0] != key:
            kept = (key, self._narrowed(sim, lo, hi, layer), tensors)
            self._views[(lo, hi, layer)] = kept
        sim.module.Update_H(*kept[1])

    def _narrowed(self, sim, lo: int, hi: int, layer: bool) -> list:
        a, d, m = sim.axis, 2 + sim.axis, hi - lo
        H = [f.narrow(d, lo, m) for f in (sim.Hx, sim.Hy, sim.Hz)]
        E = [f.narrow(d, lo, m + (c != a)) for c, f in enumerate((sim.Ex, sim.Ey, sim.Ez))]
        ch = list(sim.ch)
        ch[a] = ch[a][lo:hi]
        psi = [p if c == a else p.narrow(d, lo, m) for c, p in enumerate(sim.hpsi)]
        hb, hc = list(sim.hb), list(sim.hc)
        cells = sim.layer_cells
        if not layer:
            psi[a] = psi[a].narrow(d, 0, 0)
            hb[a], hc[a] = hb[a][:0], hc[a][:0]
            # an end cell beside a travelling plane lies outside the box's
            # layers (``_cells_apart``), so no layer there at all
            cells = sim.layer_cells.clone()
            cells[a] = 0
        return [*H, *E, *ch, *psi, *hb, *hc, cells, sim.spare]

    def magnetic(self, sim) -> None:
        """The magnetic update of the slab: whole when nothing is in flight,
        otherwise the cells that do not need the halo first, then the wait,
        the fill and the end cells."""
        if self._pending is None:
            Simulation.update_magnetic(sim)
            return
        apart = self._cells_apart(sim)
        if apart is None:
            self.finish(counted=False)
            self.counts["fallback"] += 1
            Simulation.update_magnetic(sim)
            return
        lo, hi = apart
        n = sim.shape[sim.axis]
        self._update_cells(sim, lo, hi, layer=True)
        self.finish(counted=False)
        if lo == 1:
            self._update_cells(sim, 0, 1, layer=False)
        if hi == n - 1:
            self._update_cells(sim, n - 1, n, layer=False)
        self.counts["overlapped"] += 1


class SlabBoundary:
    """What fills the end planes after each electric step on a slab: the
    one-box periodic pass along the periodic axes that are not split, then
    the halo exchange (with its wrap, when the split axis is periodic)."""

    def __init__(self, exchange: SlabExchange, bloch=None):
        self.exchange, self.bloch = exchange, bloch
        self.axes = exchange.axes + (bloch.axes if bloch is not None else ())
        self.k = None if bloch is None else bloch.k
        if exchange.wraps and exchange.axes == (0,) and bloch is not None and \
                1 in bloch.axes and exchange.phase is not None:
            exchange.after_wrap = self._y_ghosts_after_x

    def _y_ghosts_after_x(self, component: int, plane: torch.Tensor) -> None:
        """The one box applies the x phase before the y phase: its y pass
        reads the x ghosts. A slab split along x runs its y pass first and
        receives the x ghosts later, so where both meet, the y ghosts of
        Ez's wrapped plane, the y phase goes on again over the wrapped
        values, in the pass's own arithmetic."""
        if component != 2:
            return
        c, s = self.bloch.phase_y[:, 0], self.bloch.phase_y[:, 1]
        n = plane.size(2) - 1
        plane.select(2, 0).copy_(_rotated(plane.select(2, n - 1), c, s, -1))
        plane.select(2, n).copy_(_rotated(plane.select(2, 1), c, s, +1))

    def apply(self, sim) -> None:
        if self.bloch is not None:
            self.bloch.apply(sim)
        self.exchange.apply(sim)


def _rotated(buf: torch.Tensor, c: torch.Tensor, s: torch.Tensor, sign: int) -> torch.Tensor:
    """buf [B0, B1, ..., 2] (real, imaginary) times c + i·sign·s, c and s
    per b0, in the arithmetic of the periodic pass."""
    c, s = (p.view(-1, *([1] * (buf.dim() - 2))) for p in (c, s))
    re, im = buf[..., 0], buf[..., 1]
    return torch.stack([c * re - sign * s * im, sign * s * re + c * im], -1)


def _slot(index: torch.Tensor, cells: int, L: int) -> torch.Tensor:
    """Layer slot of each index along an axis of ``cells`` cells with layers
    L thick, -1 outside both layers; an index in both counts as low, as the
    field updates count it."""
    high = torch.where(index >= cells - L, index - cells + 2 * L, -1)
    return torch.where(index < L, index, high)


class SlabSimulation(Simulation):
    """A ``Simulation`` of the part of a box that this rank holds.

    Takes the arguments of ``Simulation`` for the whole box (shape or size
    and resolution, layers, objects, bloch, ...) and ``axis``, the split
    axis (0, 1 or 2). The group must be initialised (``init_group``, the
    default group); every rank builds its slab with the same arguments.

    ``bloch`` makes x and y periodic as in ``Simulation``; a split x or y
    then wraps from the last rank to the first. Sources, monitors and
    objects are given in the box's indices and coordinates and act on the
    part of their region each rank holds; ``energy``, ``gather``, the flux
    planes' spectra and ``FrequencyMonitor.gathered`` combine the ranks.
    """

    def __init__(self, shape=None, spacing=1.0, courant: float = 0.99, layers=10,
                 backend: str = "cpu", grading: Grading = Grading(), b2: int = 1,
                 batch=(1, 1), *, axis: int = 0, size=None, resolution=None, objects=None,
                 background=None, bloch=None, **object_options):
        if not dist.is_initialized():
            raise RuntimeError("SlabSimulation needs an initialised torch.distributed group")
        if axis not in (0, 1, 2):
            raise ValueError(f"axis must be 0, 1 or 2, got {axis!r}")
        self.axis = axis
        self.rank, self.ranks = dist.get_rank(), dist.get_world_size()
        self.global_shape, spacing = box_cells(shape, spacing, size, resolution)
        faces = _faces(layers, self.global_shape)
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
        local = list(self.global_shape)
        local[axis] = cells
        local_faces = list(faces)
        local_faces[axis] = (0, 0)
        super().__init__(tuple(local), spacing, courant, tuple(local_faces), backend, grading,
                         b2, batch)
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

    def _split_axis_layers(self, N: int, L: int, grading: Grading) -> None:
        """Coefficients of the split axis: the curl terms by the box's index,
        and, where the slab reaches into a face's layer, layer slots that
        give each of its cells and nodes the box's coefficients there (the
        field updates find a slot from the slab's own size). A slab that
        reaches no layer has none along the axis."""
        a, s, n = self.axis, self.start, self.stop - self.start
        low, high = self.faces[a]
        whole = axis_coefficients(N, self.spacing[a], (low, high), self.dt, grading)
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

    def step(self, count: int = 1) -> None:
        """Advance ``count`` time steps; each step's halo travels while the
        next step's magnetic update runs, and the last one is completed
        before returning, so the fields are whole between calls."""
        super().step(count)
        self.exchange.finish()

    def run(self, steps: int | None = None, until: float | None = None,
            progress: bool | None = None, **options) -> None:
        """``Simulation.run``; only rank 0 shows progress. Checkpoints are one
        file per rank and a manifest (``orvane_sim.checkpoint``)."""
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
        """Field energy of the whole box (every rank gets the same value)."""
        parts = list(self._parts())
        e = sum(torch.linalg.vector_norm(f, dtype=torch.float64).square() for f in parts[:3])
        h = sum(torch.linalg.vector_norm(f, dtype=torch.float64).square() for f in parts[3:])
        total = (0.5 * (e + h) * self.cell_volume).reshape(1)
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


def init_group(backend: str = "cpu") -> None:
    """Join the group that torchrun (or ``spawn``) describes in the
    environment: Gloo for CPU tensors, NCCL for CUDA ones with the GPU of the
    local rank."""
    if backend == "cuda":
        torch.cuda.set_device(int(os.environ.get("LOCAL_RANK", "0")))
    dist.init_process_group("nccl" if backend == "cuda" else "gloo")


def _sync(sim) -> None:
    if sim.device.type == "cuda":
        torch.cuda.synchronize()


def pulse_run(n, layers, steps: int, width: float = 3.0, axis: int = 0,
              backend: str = "cpu", courant: float = 0.99, bloch=None, chunk: int = 1,
              overlap: bool = True, counts: bool = False):
    """The pulse-absorption run on the current group (with ``bloch``, a Bloch
    wave vector (kx, ky), x and y are periodic), ``chunk`` steps per ``step``
    call (the halo overlaps the magnetic update within a call; ``overlap``
    False: blocking exchange); rank 0 returns (fields, energies after each
    call, seconds per step of the slowest rank), with ``counts`` also every
    rank's exchange counts; the others None."""
    sim = SlabSimulation(n, layers=layers, courant=courant, backend=backend, axis=axis,
                         bloch=bloch)
    sim.exchange.overlap = overlap
    sim.set_gaussian_pulse(width)
    energies = []
    stepping = 0.0
    done = 0
    while done < steps:
        k = min(max(int(chunk), 1), steps - done)
        _sync(sim)
        t0 = time.perf_counter()
        sim.step(k)
        _sync(sim)
        stepping += time.perf_counter() - t0
        done += k
        energies.append(sim.energy())
    # the slowest rank sets the pace
    per_step = torch.tensor([stepping / max(steps, 1)], dtype=torch.float64, device=sim.device)
    dist.all_reduce(per_step, op=dist.ReduceOp.MAX)
    per_step = float(per_step)
    fields = sim.gather()
    every = [None] * sim.ranks if sim.rank == 0 else None
    if counts:
        dist.gather_object(dict(sim.exchange.counts), every, dst=0)
    if sim.rank:
        return None
    return (fields, energies, per_step, every) if counts else (fields, energies, per_step)


def single_pulse_run(n, layers, steps: int, width: float = 3.0, axis: int = 0,
                     backend: str = "cpu", courant: float = 0.99, bloch=None):
    """The same run as ``pulse_run`` as one process, for comparison."""
    sim = Simulation(n, layers=layers, courant=courant, backend=backend, bloch=bloch)
    sim.set_gaussian_pulse(width)
    energies = []
    for _ in range(steps):
        sim.step()
        energies.append(sim.energy())
    return (sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz), energies


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _spawned(rank: int, ranks: int, port: int, out: str, target, kwargs: dict) -> None:
    os.environ.update(MASTER_ADDR="127.0.0.1", MASTER_PORT=str(port), RANK=str(rank),
                      WORLD_SIZE=str(ranks), LOCAL_RANK=str(rank))
    torch.set_num_threads(1)
    init_group(kwargs.get("backend", "cpu"))
    try:
        result = target(**kwargs)
        if rank == 0:
            torch.save(result, out)
    finally:
        dist.destroy_process_group()


def spawn_run(target, ranks: int, out: str, timeout: float = 120.0, **kwargs):
    """Call ``target(**kwargs)`` (a module-level function) on each of
    ``ranks`` local processes joined on 127.0.0.1 and return rank 0's
    result, passed through the file ``out``; the processes are stopped
    after ``timeout`` seconds."""
    import torch.multiprocessing as mp

    ctx = mp.start_processes(_spawned, args=(ranks, _free_port(), out, target, kwargs),
                             nprocs=ranks, join=False, start_method="spawn")
    deadline = time.monotonic() + timeout
    try:
        while not ctx.join(timeout=1.0):
            if time.monotonic() > deadline:
                raise TimeoutError(f"{ranks}-process run did not finish in {timeout} s")
    finally:
        for p in ctx.processes:
            if p.is_alive():
                p.terminate()
    return torch.load(out, weights_only=False)


def spawn_pulse_run(ranks: int, out: str, timeout: float = 120.0, **kwargs):
    """``pulse_run`` over ``ranks`` local processes (see ``spawn_run``)."""
    return spawn_run(pulse_run, ranks, out, timeout, **kwargs)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="torchrun ... -m orvane_sim.distributed",
                                 description="The pulse-absorption run split into slabs.")
    ap.add_argument("--backend", choices=("cpu", "cuda"), default="cpu")
    ap.add_argument("--cells", type=int, nargs="+", default=[48],
                    help="cells per axis, one number or three (default 48)")
    ap.add_argument("--layers", type=int, default=8, help="absorbing layer cells (default 8)")
    ap.add_argument("--steps", type=int, default=100, help="time steps (default 100)")
    ap.add_argument("--axis", type=int, default=0, choices=(0, 1, 2), help="split axis")
    ap.add_argument("--chunk", type=int, default=10,
                    help="steps per step() call, the halo overlapping the magnetic update "
                         "within one (default 10)")
    args = ap.parse_args(argv)
    os.environ.setdefault("MASTER_ADDR", "127.0.0.1")
    os.environ.setdefault("MASTER_PORT", "29500")
    os.environ.setdefault("RANK", "0")
    os.environ.setdefault("WORLD_SIZE", "1")
    init_group(args.backend)
    try:
        shape = triple(args.cells[0] if len(args.cells) == 1 else args.cells, "--cells")
        result = pulse_run(shape, args.layers, args.steps, axis=args.axis, backend=args.backend,
                           chunk=args.chunk)
        if result is not None:
            _, energies, per_step = result
            ranks = dist.get_world_size()
            print(f"box {'x'.join(map(str, shape))} over {ranks} rank(s) along axis {args.axis}, "
                  f"{args.steps} steps")
            print(f"energy left / peak: {energies[-1] / max(energies):.3e}")
            print(f"time per step: {per_step * 1e3:.3f} ms")
            print(f"cell updates per second: {shape[0] * shape[1] * shape[2] / per_step:.3e}")
    finally:
        dist.destroy_process_group()
    return 0

