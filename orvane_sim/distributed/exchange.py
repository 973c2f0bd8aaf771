"""The halo exchange between neighbouring slabs (``slabs``).

Only E crosses between ranks: the magnetic update of a cell uses the
electric nodes on its two faces, and a slab holds both faces of each of its
cells, so once the end planes of E are current every H value of the slab is
too (the shared cell's H is computed by both ranks from the same E). The
planes travel while the next magnetic update runs on the cells that do not
read them (``SlabExchange``).
"""
from __future__ import annotations

import torch
import torch.distributed as dist

from ..core.simulation import Simulation
from ..grid.rectilinear import require_uniform


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
            # the wrap's phase spans the axis' period, (N - 1) cells of one length
            require_uniform(sim, "a periodic boundary", (sim.axis,))
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
