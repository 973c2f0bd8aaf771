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

The absorbing layers stay at the global faces: every slab keeps the
symmetric slot layout of its axis, a slab end on a global face carries that
face's layer coefficients, and an end inside the box gets neutral slots
(no decay, no drive), so its auxiliaries stay zero. Conducting faces are
enforced only at the global ends. Process groups: Gloo for CPU tensors, NCCL
for CUDA tensors (one GPU per rank, the rank's local index).
"""
from __future__ import annotations

import argparse
import os
import socket
import sys
import time

import torch
import torch.distributed as dist

from .coefficients import Grading, axis_coefficients
from .simulation import Simulation, _faces, _triple, gaussian_pulse


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
      run at the end of a step, so with monitors attached the exchange is
      completed at once (no overlap) and they never see a stale plane;
    - ``SlabSimulation.step`` finishes the exchange before returning, so the
      fields are whole whenever the caller looks.

    ``overlap = False`` restores the blocking exchange (wait at once).
    ``counts``: magnetic updates split around a pending exchange
    ("overlapped"), exchanges completed without overlap ("blocking": with
    monitors, ``overlap = False``, or at the end of ``step``), and
    ("fallback") magnetic updates that had to wait first because this slab
    cannot be split safely.
    """

    # Message tags: neighbours upwards and downwards, the wrap both ways.
    UP, DOWN, WRAP_UP, WRAP_DOWN = 0, 1, 2, 3

    def __init__(self, sim: "SlabSimulation", k=None):
        self.axes = (sim.axis,)
        self.phase = None
        self.overlap = True
        self.counts = {"overlapped": 0, "blocking": 0, "fallback": 0}
        self._pending = None  # (requests, fills) of the exchange in flight
        self._views = {}  # (lo, hi, layer) -> (ids, Update_H arguments, tensors)
        if k is not None:
            if sim.b2 != 2:
                raise ValueError(f"a periodic axis needs complex fields (b2=2), got b2={sim.b2}")
            if sim.layers[sim.axis] != 0:
                raise ValueError("a periodic axis has no absorbing layers, got "
                                 f"{sim.layers[sim.axis]}")
            B0 = sim.batch[0]
            kk = torch.as_tensor(k, dtype=torch.float64).reshape(-1).expand(B0) \
                if torch.as_tensor(k).numel() == 1 else torch.as_tensor(k, dtype=torch.float64)
            if kk.shape != (B0,):
                raise ValueError(f"need one Bloch wave number or {B0} of them, got {k!r}")
            angle = kk * (sim.global_shape[sim.axis] - 1) * sim.spacing[sim.axis]
            self.phase = (angle.cos().to(torch.float32).to(sim.device),
                          angle.sin().to(torch.float32).to(sim.device))

    @property
    def pending(self) -> bool:
        """True while an exchange is in flight (planes 0 / N not yet filled)."""
        return self._pending is not None

    def _rotate(self, buf: torch.Tensor, sign: int) -> torch.Tensor:
        """buf [B0, B1, plane..., 2] (real, imaginary) times exp(sign i k P)."""
        c, s = (p.view(-1, *([1] * (buf.dim() - 2))) for p in self.phase)
        re, im = buf[..., 0], buf[..., 1]
        return torch.stack([c * re - sign * s * im, sign * s * re + c * im], -1)

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

        def post(f, send_index, peer, send_tag, recv_index, recv_tag, sign=0):
            # A copy, so that nothing done to the field while it travels can
            # reach the message.
            ops.append(dist.P2POp(dist.isend, f.select(d, send_index).clone(), peer,
                                  tag=send_tag))
            buf = torch.empty_like(f.select(d, recv_index))
            ops.append(dist.P2POp(dist.irecv, buf, peer, tag=recv_tag))
            fills.append((f, d, recv_index, buf, sign))

        for c, f in enumerate((sim.Ex, sim.Ey, sim.Ez)):
            if c == a:  # cell-centred along the axis: both copies computed locally
                continue
            n = f.size(d) - 1
            if not first:
                post(f, 1, rank - 1, self.DOWN, 0, self.UP)
            if not last:
                post(f, n - 1, rank + 1, self.UP, n, self.DOWN)
            if self.phase is None:
                if first:
                    f.select(d, 0).zero_()
                if last:
                    f.select(d, n).zero_()
            elif ranks == 1:
                low = self._rotate(f.select(d, n - 1), -1)
                high = self._rotate(f.select(d, 1), +1)
                f.select(d, 0).copy_(low)
                f.select(d, n).copy_(high)
            else:
                if first:
                    post(f, 1, ranks - 1, self.WRAP_UP, 0, self.WRAP_DOWN, -1)
                if last:
                    post(f, n - 1, 0, self.WRAP_DOWN, n, self.WRAP_UP, +1)
        if not ops:
            return
        self._pending = (dist.batch_isend_irecv(ops), fills)
        if not self.overlap or sim.monitors:
            self.finish()

    def finish(self, counted: bool = True) -> None:
        """Wait for the exchange in flight, if any, and fill planes 0 / N."""
        if self._pending is None:
            return
        requests, fills = self._pending
        self._pending = None
        for req in requests:
            req.wait()
        for f, d, i, buf, sign in fills:
            f.select(d, i).copy_(self._rotate(buf, sign) if sign else buf)
        if counted:
            self.counts["blocking"] += 1

    def _cells_apart(self, sim) -> tuple[int, int] | None:
        """Cells [lo, hi) of the slab whose H does not read a travelling
        plane, or None where this slab cannot be split safely.

        The magnetic layer zones follow the view's own size along the axis
        (cells < L low, cells >= m - L high, m the view's cells, 2L slots).
        An end whose plane travels is never a global face with a layer (an
        inner end has neutral slots, a periodic axis no layers), so only a
        view that starts at cell 1 and ends on a global face can misplace a
        layer: its cell c sits at c + 1 in the slab, and the high slots still
        line up (c - m + 2L = (c + 1) - n + 2L), but where m < 2L a cell of
        the high layer falls in the view's low zone. That slab waits first.
        A view from cell 0 keeps the low layer exactly; its high zone, if it
        shifts, only meets neutral slots of the inner end."""
        n = sim.shape[sim.axis]
        filled = {i for _, _, i, _, _ in self._pending[1]}
        lo = 1 if 0 in filled else 0
        hi = n - 1 if n in filled else n
        L = sim.layers[sim.axis]
        if hi - lo < 1 or (lo == 1 and hi == n and L > 0 and hi - lo < 2 * L):
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
            # an end cell beside a travelling plane: its slots along the
            # axis are neutral (``_cells_apart``), so no layer there at all
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


class SlabSimulation(Simulation):
    """A ``Simulation`` of the part of a box that this rank holds.

    shape, spacing, layers, courant, grading, b2, batch: those of the whole
    box. axis: the split axis (0, 1 or 2). bloch: a Bloch wave number (one,
    or one per b0) makes the split axis periodic (needs b2 = 2). The group must be initialised
    (``init_group``, the default group); every rank builds its slab with the
    same arguments.
    ``energy`` and ``gather`` combine all ranks.
    """

    def __init__(self, shape, spacing=1.0, courant: float = 0.99, layers=10,
                 backend: str = "cpu", grading: Grading = Grading(), b2: int = 1,
                 batch=(1, 1), axis: int = 0, bloch=None):
        if not dist.is_initialized():
            raise RuntimeError("SlabSimulation needs an initialised torch.distributed group")
        if axis not in (0, 1, 2):
            raise ValueError(f"axis must be 0, 1 or 2, got {axis!r}")
        self.axis = axis
        self.rank, self.ranks = dist.get_rank(), dist.get_world_size()
        self.global_shape = tuple(int(n) for n in _triple(shape, "shape"))
        spacing = tuple(float(h) for h in _triple(spacing, "spacing"))
        faces = _faces(layers)
        N = self.global_shape[axis]
        L = max(faces[axis])
        self.start, self.stop = slab_bounds(N, self.ranks, self.rank)
        cells = self.stop - self.start
        if bloch is not None:
            b2 = 2
        if cells < max(2 * L, 2):
            raise ValueError(f"slab of {cells} cells along axis {axis} on rank {self.rank} is "
                             f"thinner than its layer slots (2 x {L}) or 2 cells; use fewer ranks")
        local = list(self.global_shape)
        local[axis] = cells
        super().__init__(tuple(local), spacing, courant, faces, backend, grading, b2, batch)
        # The whole axis's coefficients, sliced: curl terms by global index,
        # layer slots from the global faces this slab touches.
        whole = axis_coefficients(N, spacing[axis], faces[axis], self.dt, grading)
        dev = self.device
        s, e = self.start, self.stop

        def slots(v):
            out = torch.zeros_like(v)
            if L:
                if s == 0:
                    out[:L] = v[:L]
                if e == N:
                    out[L:] = v[L:]
            return out.to(dev)

        def put(name, value):
            t = list(getattr(self, name))
            t[axis] = value
            setattr(self, name, tuple(t))

        put("ch", whole.ch[s:e].to(dev))
        put("ce", whole.ce[s:e].to(dev))
        for name in ("hb", "hc", "eb", "ec"):
            put(name, slots(getattr(whole, name)))
        self.periodic = SlabExchange(self, bloch)

    def update_magnetic(self) -> None:
        self.periodic.magnetic(self)

    def step(self, count: int = 1) -> None:
        """Advance ``count`` time steps; each step's halo travels while the
        next step's magnetic update runs, and the last one is completed
        before returning, so the fields are whole between calls."""
        super().step(count)
        self.periodic.finish()

    def add(self, feature):
        """Sources and monitors place themselves by the slab's own indices,
        which are not the box's: refused rather than put in the wrong place."""
        raise NotImplementedError("sources and monitors are not split across slabs yet; "
                                  "run them in a one-process Simulation")

    def set_objects(self, *args, **kwargs):
        """Painting samples the objects over the domain it is given, so a
        slab would not get the box's weights: refused for now."""
        raise NotImplementedError("objects are not split across slabs yet; "
                                  "run them in a one-process Simulation")

    def _owned(self, component: int | None) -> slice:
        """Local indices along the axis that this rank alone accounts for:
        the shared cell (and its low node) belong to the rank below, the last
        node of the axis to the last rank. component None: an H field."""
        lo = 1 if self.rank > 0 else 0
        n = self.stop - self.start
        nodes = component is not None and component != self.axis
        hi = n + 1 if (nodes and self.rank == self.ranks - 1) else n
        return slice(lo, hi)

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

    def set_gaussian_pulse(self, width: float, amplitude: float = 1.0) -> None:
        ex, ey = gaussian_pulse(self.global_shape, self.spacing, width, amplitude)
        for f in (self.Ex, self.Ey, self.Ez, self.Hx, self.Hy, self.Hz):
            f.zero_()
        for p in self.hpsi + self.epsi:
            p.zero_()
        a, s, e = self.axis, self.start, self.stop
        self.Ex[..., 0] = ex.narrow(a, s, e - s + (a != 0)).to(self.Ex.dtype).to(self.device)
        self.Ey[..., 0] = ey.narrow(a, s, e - s + (a != 1)).to(self.Ey.dtype).to(self.device)
        self.steps_done = 0


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
    wave number, the split axis is periodic), ``chunk`` steps per ``step``
    call (the halo overlaps the magnetic update within a call; ``overlap``
    False: blocking exchange); rank 0 returns (fields, energies after each
    call, seconds per step of the slowest rank), with ``counts`` also every
    rank's exchange counts; the others None."""
    sim = SlabSimulation(n, layers=layers, courant=courant, backend=backend, axis=axis,
                         bloch=bloch)
    sim.periodic.overlap = overlap
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
        dist.gather_object(dict(sim.periodic.counts), every, dst=0)
    if sim.rank:
        return None
    return (fields, energies, per_step, every) if counts else (fields, energies, per_step)


def single_pulse_run(n, layers, steps: int, width: float = 3.0, axis: int = 0,
                     backend: str = "cpu", courant: float = 0.99, bloch=None):
    """The same run as ``pulse_run`` as one process, for comparison (a
    periodic axis: x or y)."""
    from .periodic import BlochBoundary

    sim = Simulation(n, layers=layers, courant=courant, backend=backend,
                     b2=2 if bloch is not None else 1)
    if bloch is not None:
        if axis not in (0, 1):
            raise ValueError("the one-box periodic pass covers x and y only")
        sim.periodic = BlochBoundary(sim, x=axis == 0, y=axis == 1,
                                     kx=bloch if axis == 0 else 0.0,
                                     ky=bloch if axis == 1 else 0.0)
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


def _spawned(rank: int, ranks: int, port: int, out: str, kwargs: dict,
             target=None) -> None:
    os.environ.update(MASTER_ADDR="127.0.0.1", MASTER_PORT=str(port), RANK=str(rank),
                      WORLD_SIZE=str(ranks), LOCAL_RANK=str(rank))
    torch.set_num_threads(1)
    init_group(kwargs.get("backend", "cpu"))
    try:
        result = (target or pulse_run)(**kwargs)
        if rank == 0:
            torch.save(result, out)
    finally:
        dist.destroy_process_group()


def spawn_run(target, ranks: int, out: str, timeout: float = 120.0, **kwargs):
    """Run ``target(**kwargs)`` (a module-level function) over ``ranks``
    local processes joined on 127.0.0.1 and return rank 0's result; the
    processes are stopped after ``timeout`` seconds."""
    import torch.multiprocessing as mp

    ctx = mp.start_processes(_spawned, args=(ranks, _free_port(), out, kwargs, target),
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
    """``spawn_run`` of ``pulse_run``."""
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
        shape = _triple(args.cells[0] if len(args.cells) == 1 else args.cells, "--cells")
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


if __name__ == "__main__":
    sys.exit(main())
