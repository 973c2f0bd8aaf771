"""Flux through a z-plane of the box (``FluxPlane``), through rectangles
normal to any axis, and through closed boxes.

A rectangle lies on the plane of electric nodes n along its normal axis a
and spans nodes b0 .. b1 and c0 .. c1 of the other two, (a, b, c) cyclic.
Its tangential fields fall on two staggered sets of points: E_b with H_c
(half positions along b, nodes along c) and E_c with H_b (nodes along b,
half positions along c), H averaged from the cells either side of the plane
and summed half a step earlier, as ``FluxPlane`` does. The power
through it along +a is

    P(ν) = ½ Re Σ w (E_b·H_c* - E_c·H_b*),

midpoint weights along the half positions, trapezoid weights (half at the
end nodes) along the nodes, so that the six faces of a closed box meet
without gaps or double counting.

The module's monitor samples a box of Ex, Ey, Ez; a view of the fields with
the spatial axes turned cyclically, (b, c, a) as (x, y, z), presents the
rectangle to it as a z-plane, and E_b, E_c and H_c, H_b in its first two
roles are exactly the samples above.
"""
from __future__ import annotations

from typing import Sequence

import torch

from ..core.descriptions import recorded
from ..grid import positions
from ..grid.arguments import count, frequencies as checked_frequencies
from ..grid.rectilinear import coordinates, onto_node, span_lengths
from .frequency import Decimation, Sampled, _slots


def _turned(field: torch.Tensor, a: int) -> torch.Tensor:
    """``field`` [B0, B1, X, Y, Z, S] with its spatial axes in the order
    (a + 1, a + 2, a)."""
    b, c = (a + 1) % 3, (a + 2) % 3
    return field.permute(0, 1, 2 + b, 2 + c, 2 + a, 5)


class FluxPlane(Sampled):
    """Flux spectrum along +z through the electric nodes at z index ``z``,
    per unit area, over the periodic cross-section (x and y indices 1 ..
    N - 1: one period of a Bloch-periodic box, ghosts left out).

    Ex and Ey are summed at the nodes, Hx and Hy in the cells just below and
    above and averaged onto the nodes, so a wave's flux is measured the same
    way in either direction: S(ν) = ½ Re(Ex·Hy* - Ey·Hx*), averaged over
    the plane. ``flux()`` is [B0, B1, F] (float64). Across unequal x or y
    cells each sample weighs its own area (its cell's length across a half
    position, its dual cell's across a node) and the sum is taken over
    ``area``, that of cells 1 .. N - 1 along x and y, (x_N - x_1)·(y_N -
    y_1) (one period of a periodic box): ``flux() * area`` is the power
    through them. In a run split into slabs each rank sums the part of the plane it owns, and ``spectra`` and
    ``flux`` (collectives: every rank calls them) put the plane together on
    every rank.

    ``at``: the plane's height in length units instead of its index ``z``,
    snapped to the nearest node: ``FluxPlane(sim, at=0.5, frequencies=nu)``.
    The plane lies clear of the z layers (on their inner edge at most), and
    its frequencies below the time step's Nyquist frequency. ``decimation``:
    sum every k steps (``monitors.frequency.Decimation``; None lets the
    sources' band choose, 1 sums every step).
    """

    # On a slab the plane's nodes are the owner's own, and the sums that
    # reach past its last owned node along x or y are cut off in ``spectra``:
    # the halo may still be travelling while it sums.
    reads_halo = False

    @recorded
    def __init__(self, sim, z: int | None = None, frequencies: Sequence[float] | None = None,
                 at: float | None = None, decimation: int | None = None):
        if (z is None) == (at is None):
            raise ValueError("give the FluxPlane's plane as a node index (z) or as a height "
                             "in length units (at=)")
        if frequencies is None:
            raise ValueError("FluxPlane needs frequencies")
        self.placement = place = sim.placement
        NX, NY, NZ = place.shape
        if at is not None:
            z = positions.node(sim, 2, at, "FluxPlane at")
            given = f"at = {float(at):g} (node {z})"
        else:
            z = count(z, "FluxPlane z", None)
            given = f"z {z}"
        if not 1 <= z <= NZ - 2:
            raise ValueError(f"FluxPlane {given}: a flux plane needs magnetic cells on both "
                             f"sides: z in 1 .. {NZ - 2}, {positions.span(sim, 2, 1, NZ - 2)}; "
                             f"{positions.whole(sim, 2)}")
        # In the layers the fields are those of the stretched coordinates,
        # no longer the wave's, and a plane there measured a third of its
        # flux; its nodes may reach the layers' inner edge, as a FluxBox's.
        low, high = sim.faces[2]
        if (low or high) and not low <= z <= NZ - high:
            raise ValueError(f"FluxPlane {given}: z = {positions.at(sim, 2, z):g} lies in the "
                             f"absorbing layers; keep it within z in {low} .. {NZ - high}, "
                             f"{positions.span(sim, 2, low, NZ - high)}")
        if NX < 2 or NY < 2:
            raise ValueError(f"a flux plane needs at least 2 cells along x and y, got {NX}, {NY}")
        # the whole box's axes (a slab's grid is the whole box's too)
        across = [sim.grid[t].cell_lengths() for t in (0, 1)]
        self.area = float(across[0][1:].sum() * across[1][1:].sum())
        # On equal cells every sample weighs alike, and the plain mean stays
        # as it was; otherwise [X, Y] per set of points, (Ex, Hy) at (half,
        # node) and (Ey, Hx) at (node, half) positions, each sample's own
        # area over the plane's: samples 1 .. N - 1 of the whole axis' lengths.
        self.area_weights = None
        if sim.spacing[0] is None or sim.spacing[1] is None:
            (cells_x, nodes_x), (cells_y, nodes_y) = (
                (span_lengths(c, True)[1:], span_lengths(c, False)[1:-1]) for c in across)
            self.area_weights = (torch.outer(cells_x, nodes_y) / self.area,
                                 torch.outer(nodes_x, cells_y) / self.area)
        self.h_weights = None if sim.spacing[2] is not None else \
            onto_node(sim.grid[2], z)
        self.z = z
        self.mine = place.owns_node(2, z)
        z -= place.start_stop(2)[0]
        self.frequencies = checked_frequencies(frequencies, "FluxPlane", sim.dt)
        F = len(self.frequencies)
        B0, B1 = sim.batch
        dev = sim.device
        # the period samples 1 .. N-1 along x and y that this part owns (a
        # slab owns at least one)
        (x0, x1), (y0, y1) = (place.owned(axis, 1, place.shape[axis] - 1) for axis in (0, 1))
        nx, ny = x1 - x0 + 1, y1 - y0 + 1

        def acc(*shape):
            return torch.zeros(B0, B1, *shape, F, dtype=torch.complex64, device=dev)

        slots = _slots(sim)
        # Electric nodes: z range (z, z-1) gives one layer of Ex and Ey and no Ez.
        self.e_ranges = [torch.tensor(r, dtype=torch.int32) for r in ((x0, x1), (y0, y1),
                                                                      (z, z - 1))]
        self.e_acc = [(acc(nx, ny + 1, 1), acc(nx + 1, ny, 1), acc(nx + 1, ny + 1, 0))
                      for _ in slots]
        # Magnetic cells z-1 and z, in one call per slot: Hy in the monitor's
        # first role and Hx in its second, so that each sums only what the
        # plane needs. The first role samples one value fewer along x than
        # the second and the second one fewer along y, so the box starts one
        # cell early (x0-1, y0-1; x0 and y0 are at least 1) and Hy and Hx
        # are passed as views that start one cell late along x and y
        # respectively: Hy lands on x0 .. x1 and Hx on y0 .. y1 exactly, each
        # with one leading row along the other axis that ``spectra`` drops.
        # The third role's one z layer reads a zero tensor into scratch sums.
        self.h_ranges = [torch.tensor(r, dtype=torch.int32) for r in ((x0 - 1, x1 - 1),
                                                                      (y0 - 1, y1 - 1),
                                                                      (z - 1, z - 1))]
        self.h_acc = [(acc(nx, ny + 1, 2), acc(nx + 1, ny, 2), acc(nx + 1, ny + 1, 1))
                      for _ in slots]
        self.slots = slots
        self.sampling = Decimation(decimation, self.frequencies, sim.dt, "FluxPlane")
        nx_all, ny_all = sim.shape[0], sim.shape[1]
        self.zero = torch.zeros(1, device=dev).expand(B0, B1, nx_all + 1, ny_all + 1,
                                                      max(z + 1, 0), 1)

    def prepare_steps(self, sim, first: int, count: int) -> None:
        self.sampling.prepare(sim, first, count, (False, True))

    def update(self, sim) -> None:
        if not self.mine or not self.sampling.due(sim):
            return
        m = sim.module
        fe, fh = self.sampling.factors(sim), self.sampling.factors(sim, True)
        for (slot, _), e, h in zip(self.slots, self.e_acc, self.h_acc):
            s = slice(slot, slot + 1)
            m.Monitor_Update_E(*e, sim.Ex[..., s], sim.Ey[..., s], sim.Ez[..., s], fe,
                               *self.e_ranges)
            hy = sim.Hy[..., s].narrow(2, 1, sim.Hy.size(2) - 1)
            hx = sim.Hx[..., s].narrow(3, 1, sim.Hx.size(3) - 1)
            m.Monitor_Update_E(*h, hy, hx, self.zero, fh, *self.h_ranges)

    def spectra(self) -> dict:
        """Complex Fourier sums at the plane, [B0, B1, X, Y, F] each: Ex and
        Ey at the nodes, Hx and Hy averaged onto them (x, y over one period)."""
        out = {}
        nx = self.e_acc[0][0].shape[2]
        ny = self.e_acc[0][1].shape[3]

        def combine(parts):
            return sum(w * p.to(torch.complex128) for (_, w), p in zip(self.slots, parts))

        out["Ex"] = combine([e[0][:, :, :, :ny, 0] for e in self.e_acc])
        out["Ey"] = combine([e[1][:, :, :nx, :, 0] for e in self.e_acc])
        hy = combine([hs[0][:, :, :, 1:] for hs in self.h_acc])  # [B0, B1, X, Y, 2, F]
        hx = combine([hs[1][:, :, 1:] for hs in self.h_acc])
        for name, h in (("Hx", hx), ("Hy", hy)):
            if self.h_weights is None:
                out[name] = 0.5 * (h[..., 0, :] + h[..., 1, :])
            else:
                below, above = self.h_weights
                out[name] = below * h[..., 0, :] + above * h[..., 1, :]
        axis = self.placement.axis
        if axis == 2:  # only the plane's owner has summed
            self.placement.sum(out.values())
        elif axis is not None:
            out = self.placement.all_concat(out, 2 + axis)
        return out

    def flux(self) -> torch.Tensor:
        s = self.spectra()
        if self.area_weights is None:
            density = 0.5 * (s["Ex"] * s["Hy"].conj() - s["Ey"] * s["Hx"].conj()).real
            return density.mean(dim=(2, 3))
        w1, w2 = (w.to(s["Ex"].device)[..., None] for w in self.area_weights)
        return 0.5 * ((w1 * s["Ex"] * s["Hy"].conj()).sum((2, 3))
                      - (w2 * s["Ey"] * s["Hx"].conj()).sum((2, 3))).real


class RectangleSums:
    """The Fourier sums of one or more rectangles' fields (a
    ``FluxRectangle``'s, a ``FluxBox``'s six faces), in a number of
    operations per summed step that depends on neither the rectangles nor
    the frequencies: one gather of the samples of each field component into
    a line of staged values, and one rank-one update of the sums, line ×
    Fourier factors, at the electric field's factors.

    A rectangle's samples are, per slot and in the turned frame (b, c, a):
    "Eb" (half positions along b, nodes along c) and "Ec" (nodes along b,
    half positions along c) on its plane, "Hc" and "Hb" at the same points
    in the cells either side of it (two values each, averaged when read).
    Nodes a neighbour owns, or that the box's far face holds, are left out
    (``FluxRectangle._span``). The magnetic samples lag by half a step:
    summed at the electric factors, their sums are brought to their own
    time by exp(-iπν·dt) when read.

    The staged line is [P, B0, B1] (each component's samples one stretch of
    it, so that its gather writes there directly) and the sums ``sums``
    [P, B0, B1, F]. The update is PyTorch's addcmul on the sums' real view
    rather than the module's Monitor_Update_E over the line: the same
    product and sum, but on the CPU at a tenth of the kernel's time per
    sample and frequency (0.17 against 1.8 ms for the 29,000 samples and
    12 frequencies of the Mie benchmark's outer box)."""

    def __init__(self, sim, rectangles, sampling: "Decimation"):
        B0, B1 = sim.batch
        self.sampling = sampling
        fields = (sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz)
        segments = [[] for _ in fields]  # per component: (key, shape, spatial indices)
        for part, r in enumerate(rectangles):
            a = r.axis
            b, c = (a + 1) % 3, (a + 2) % 3
            (lb0, lc0), ln, (nb, nc), (db, dc) = r.local
            for name, q, nx, ny, zs in (("Eb", b, nb, nc + 1 - dc, (ln,)),
                                         ("Ec", c, nb + 1 - db, nc, (ln,)),
                                         ("Hc", 3 + c, nb, nc + 1 - dc, (ln - 1, ln)),
                                         ("Hb", 3 + b, nb + 1 - db, nc, (ln - 1, ln))):
                st = fields[q].stride()
                x = (lb0 + torch.arange(nx)) * st[2 + b]
                y = (lc0 + torch.arange(ny)) * st[2 + c]
                z = torch.tensor(zs) * st[2 + a]
                spatial = x[:, None, None] + y[None, :, None] + z[None, None, :]
                for slot, _ in r.slots:
                    segments[q].append(((part, name, slot), (nx, ny, len(zs)),
                                        spatial + slot * st[5]))
        self.where, gathers, p = {}, [], 0
        for q, parts in enumerate(segments):
            if not parts:
                continue
            st = fields[q].stride()
            batch = torch.arange(B0)[:, None] * st[0] + torch.arange(B1)[None, :] * st[1]
            first = p
            index = []
            for key, shape, spatial in parts:
                self.where[key] = (p, shape)
                p += spatial.numel()
                index.append((spatial[..., None, None] + batch).reshape(-1))
            gathers.append((q, torch.cat(index).to(sim.device), first * B0 * B1, p * B0 * B1))
        self._gathers = gathers
        F = len(sampling.frequencies)
        dev = sim.device
        self._stage = torch.zeros(p, B0, B1, device=dev)
        self.sums = torch.zeros(p, B0, B1, F, dtype=torch.complex64, device=dev)
        self._h_phase = torch.polar(torch.ones(F, dtype=torch.float64),
                                    -torch.pi * sampling.frequencies * sim.dt)

    def update(self, sim) -> None:
        if not self.sampling.due(sim):
            return
        fields = (sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz)
        line = self._stage.view(-1)
        for q, index, lo, hi in self._gathers:
            torch.index_select(fields[q].view(-1), 0, index, out=line[lo:hi])
        factors = torch.view_as_real(self.sampling.factors(sim))  # [F, 2]
        torch.view_as_real(self.sums).addcmul_(self._stage[..., None, None], factors)

    def part(self, part: int, name: str, slots) -> torch.Tensor:
        """The sums of one set of samples of rectangle ``part``, slots
        combined: complex128 [B0, B1, nx, ny, nz, F], H brought to its own
        time."""
        out = 0
        for slot, w in slots:
            p, shape = self.where[(part, name, slot)]
            sums = self.sums[p:p + shape[0] * shape[1] * shape[2]].movedim(0, 2)
            out = out + w * sums.unflatten(2, shape).to(torch.complex128)
        if name[0] == "H":
            out = out * self._h_phase.to(out.device)
        return out


class FluxRectangle(Sampled):
    """Flux spectrum through a rectangle normal to x, y or z, at
    ``frequencies`` (in cycles per unit time).

    ``box``: the rectangle as a flat box ((x0, y0, z0), (x1, y1, z1)) in
    length units whose corners share one coordinate, the plane's; or
    ``nodes``, the same as node indices. ``direction``: +1 counts flux
    along the plane's axis, -1 against it. ``power()`` is [B0, B1, F]
    float64 (flux integrated over the rectangle); ``surface()`` gives the
    equivalent currents on it for a far-field projection. ``what``: the
    name its errors give (a FluxBox passes its own). ``decimation``: sum
    every k steps (``monitors.frequency.Decimation``; None lets the
    sources' band choose, 1 sums every step).
    """

    # whether the rectangle sums its own fields (a FluxBox sums its faces')
    sums_its_own = True

    @recorded
    def __init__(self, sim, frequencies: Sequence[float], box=None, nodes=None,
                 direction: int = 1, what: str = "FluxRectangle",
                 decimation: int | None = None):
        if (box is None) == (nodes is None):
            raise ValueError(f"{what}: give the rectangle in length units (box=) or as nodes "
                             f"(nodes=)")
        if direction not in (1, -1):
            raise ValueError(f"direction must be +1 or -1, got {direction!r}")
        if box is not None:
            nodes = positions.node_box(sim, box, what, flat=True)
        lo, hi = positions.check_nodes(sim, nodes, what, flat=True)
        self.placement = place = sim.placement
        a = next(t for t in range(3) if lo[t] == hi[t])
        n = lo[a]
        if not 1 <= n <= place.shape[a] - 1:
            raise ValueError(f"{what} needs magnetic cells on both sides: nodes 1 .. "
                             f"{place.shape[a] - 1} along {'xyz'[a]}, got {n}")
        self.axis, self.node, self.sign = a, n, direction
        b, c = (a + 1) % 3, (a + 2) % 3
        self.lo, self.hi = lo, hi
        self.frequencies = checked_frequencies(frequencies, what, sim.dt)
        self.sampling = Decimation(decimation, self.frequencies, sim.dt, what)
        # the whole box's axes (``sim.grid`` is the box's, also on a slab)
        self.axes = tuple(sim.grid[t] for t in (a, b, c))
        self.spacing = tuple(sim.spacing[t] for t in (a, b, c))  # None along unequal cells
        # H from the cells either side onto the plane: their mean between
        # equal cells, on the straight line between their centres otherwise
        self.h_weights = (0.5, 0.5) if sim.spacing[a] is not None else \
            onto_node(sim.grid[a], n)
        self.slots = _slots(sim)
        self.batch, self.device = tuple(sim.batch), sim.device
        # The part of the rectangle this part of the box accounts for: along
        # each tangential axis the cells it owns (half positions) and the
        # nodes from the first of them to the last, less the last node where
        # the next part owns it; along the normal axis, the plane's owner.
        spans = [self._span(place, t, lo[t], hi[t]) for t in (b, c)]
        self.mine = place.owns_node(a, n) and all(sp is not None for sp in spans)
        self.spans = spans
        self.sums, self.part = None, 0
        if not self.mine:
            return
        (b0, b1, drop_b), (c0, c1, drop_c) = spans
        off = place.offset
        # in this part's tensors: the first cell along b and c, the plane's
        # node, the cells along b and c, and whether the last node is left out
        self.local = ((b0 - off[b], c0 - off[c]), n - off[a], (b1 - b0, c1 - c0),
                      (int(drop_b), int(drop_c)))
        if self.sums_its_own:
            self.sums = RectangleSums(sim, [self], self.sampling)

    @staticmethod
    def _span(place, t: int, first: int, last: int):
        """(h0, h1, drop_last): box cells [h0, h1) of nodes first .. last that
        this part owns along ``t``, whose nodes h0 .. h1 it samples, the last
        of them left out where ``drop_last``: a neighbour's, or the box's far
        face, where H holds no node (a conducting face's tangential E is zero,
        and a periodic one's node is the first node again); None where it
        owns none."""
        c0, c1 = place.owned_cells(t)
        h0, h1 = max(first, c0), min(last, c1)
        if h0 > h1 or (h0 == h1 and not place.owns_node(t, h0)):
            return None
        return h0, h1, not place.owns_node(t, h1) or h1 == place.shape[t]

    def update(self, sim) -> None:
        if self.sums is not None:
            self.sums.update(sim)

    def spectra(self) -> dict:
        """Complex sums at the part of the rectangle's two sets of points that
        this part of the box owns, [B0, B1, Nb, Nc, F] each: "Eb", "Hc" at
        (half, node) and "Ec", "Hb" at (node, half) positions along (b, c);
        None where it owns none."""
        if not self.mine:
            return None
        sums = {name: self.sums.part(self.part, name, self.slots)
                for name in ("Eb", "Ec", "Hc", "Hb")}
        below, above = self.h_weights
        return {"Eb": sums["Eb"][..., 0, :], "Ec": sums["Ec"][..., 0, :],
                "Hc": below * sums["Hc"][..., 0, :] + above * sums["Hc"][..., 1, :],
                "Hb": below * sums["Hb"][..., 0, :] + above * sums["Hb"][..., 1, :]}

    def _points(self, grid: int):
        """Positions [Pb, Pc, 3] and area weights [Pb, Pc] of the owned points
        of set ``grid`` (0: half positions along b, nodes along c; 1: the
        other way round)."""
        a = self.axis
        b, c = (a + 1) % 3, (a + 2) % 3
        f64 = torch.float64
        axes = []
        for t, axis, (h0, h1, drop), half in ((b, self.axes[1], self.spans[0], grid == 0),
                                              (c, self.axes[2], self.spans[1], grid == 1)):
            stop = h1 if half else h1 + (0 if drop else 1)
            # the rectangle's cells: the half positions' weights, and halves
            # of the nodes' (the trapezoid rule between the rectangle's ends)
            lo, hi = self.lo[t], self.hi[t]
            weight = span_lengths(axis.cell_lengths()[lo:hi], half)[h0 - lo:stop - lo]
            axes.append((coordinates(axis, h0, stop, half), weight))
        (pb, wb), (pc, wc) = axes
        pts = torch.zeros(len(pb), len(pc), 3, dtype=f64)
        pts[..., a] = coordinates(self.axes[0], self.node, self.node + 1, False)[0]
        pts[..., b] = pb[:, None]
        pts[..., c] = pc[None, :]
        return pts, torch.outer(wb, wc)

    def power(self) -> torch.Tensor:
        """Power through the rectangle along ``direction``, [B0, B1, F]
        float64. On slabs a collective: every rank calls it and gets the
        whole rectangle's."""
        s = self.spectra()
        if s is None:
            B0, B1 = self.batch
            total = torch.zeros(B0, B1, len(self.frequencies), dtype=torch.float64,
                                device=self.device)
        else:
            w1 = self._points(0)[1].to(s["Eb"].device)[..., None]
            w2 = self._points(1)[1].to(s["Eb"].device)[..., None]
            p = (w1 * (s["Eb"] * s["Hc"].conj())).sum((2, 3)) \
                - (w2 * (s["Ec"] * s["Hb"].conj())).sum((2, 3))
            total = 0.5 * self.sign * p.real
        self.placement.sum([total])
        return total

    def surface(self) -> dict:
        """The equivalent currents J = n × H and M = -n × E on the rectangle,
        n its normal along ``direction``: {"points": [P, 3] positions,
        "weights": [P] areas, "J", "M": [B0, B1, P, 3, F] complex}, each
        point carrying the two components that live there. On slabs a
        collective that gives every rank the whole rectangle."""
        out = self._local_surface()
        if self.placement.axis is not None:
            where = {k: out[k] for k in ("points", "weights")}
            currents = {k: out[k] for k in ("J", "M")}
            out = {**self.placement.all_concat(where, 0),
                   **self.placement.all_concat(currents, 2)}
        return out

    def _local_surface(self) -> dict:
        a, sn = self.axis, float(self.sign)
        b, c = (a + 1) % 3, (a + 2) % 3
        s = self.spectra()
        F = len(self.frequencies)
        if s is None:
            B0, B1 = self.batch
            empty = torch.zeros(B0, B1, 0, 3, F, dtype=torch.complex128, device=self.device)
            return {"points": torch.zeros(0, 3, dtype=torch.float64),
                    "weights": torch.zeros(0, dtype=torch.float64), "J": empty, "M": empty}
        out = {"points": [], "weights": [], "J": [], "M": []}
        # J_b = -H_c and M_c = -E_b on the first set, J_c = H_b and M_b = E_c
        # on the second (times the normal's sign)
        for grid, ref, j, m in ((0, s["Eb"], (b, -s["Hc"]), (c, -s["Eb"])),
                                (1, s["Ec"], (c, s["Hb"]), (b, s["Ec"]))):
            pts, weights = self._points(grid)
            P = pts.shape[0] * pts.shape[1]
            out["points"].append(pts.reshape(-1, 3))
            out["weights"].append(weights.reshape(-1))
            for name, (component, value) in (("J", j), ("M", m)):
                vec = torch.zeros(*ref.shape[:4], 3, F, dtype=ref.dtype, device=ref.device)
                vec[..., component, :] = sn * value
                out[name].append(vec.reshape(*ref.shape[:2], P, 3, F))
        return {"points": torch.cat(out["points"]), "weights": torch.cat(out["weights"]),
                "J": torch.cat(out["J"], 2), "M": torch.cat(out["M"], 2)}


class FluxBox(Sampled):
    """Net outward flux through the six faces of a box, at ``frequencies``
    (in cycles per unit time): ``box``
    ((x0, y0, z0), (x1, y1, z1)) in length units or ``nodes`` as indices,
    clear of the absorbing layers. Around a scatterer outside a
    ``TotalFieldBox`` it measures the scattered power; inside one, the
    negative of the absorbed power. ``power()`` is [B0, B1, F] float64;
    ``surface()`` the equivalent currents on all six faces, outward normals,
    for ``farfield``. On slabs each rank sums the part of the faces it owns,
    and ``power`` and ``surface`` (collectives) give every rank the whole.
    ``decimation``: sum every k steps (``monitors.frequency.Decimation``;
    None lets the sources' band choose, 1 sums every step)."""

    @recorded
    def __init__(self, sim, frequencies: Sequence[float], box=None, nodes=None,
                 decimation: int | None = None):
        if (box is None) == (nodes is None):
            raise ValueError("FluxBox: give the box in length units (box=) or as nodes (nodes=)")
        checked_frequencies(frequencies, "FluxBox", sim.dt)
        if box is not None:
            nodes = positions.node_box(sim, box, "FluxBox box")
        lo, hi = positions.check_nodes(sim, nodes, "FluxBox box")
        self.lo, self.hi = lo, hi
        self.faces = []
        for a in range(3):
            for corner, sign in ((lo, -1), (hi, 1)):
                flat_lo, flat_hi = list(lo), list(hi)
                flat_lo[a] = flat_hi[a] = corner[a]
                self.faces.append(_BoxFace(sim, frequencies, nodes=(flat_lo, flat_hi),
                                           direction=sign, what="FluxBox box",
                                           decimation=decimation))
        self.frequencies = self.faces[0].frequencies
        self.sampling = self.faces[0].sampling
        # the six faces' sums in one: one gather per component and one
        # monitor call per summed step, for the whole box
        mine = [face for face in self.faces if face.mine]
        self.sums = RectangleSums(sim, mine, self.sampling) if mine else None
        for part, face in enumerate(mine):
            face.sampling, face.sums, face.part = self.sampling, self.sums, part

    def update(self, sim) -> None:
        if self.sums is not None:
            self.sums.update(sim)

    def power(self) -> torch.Tensor:
        """Net power out of the box, [B0, B1, F] float64."""
        return sum(face.power() for face in self.faces)

    def surface(self) -> dict:
        """Equivalent currents on the six faces (see ``FluxRectangle.surface``)."""
        parts = [face.surface() for face in self.faces]
        return {"points": torch.cat([p["points"] for p in parts]),
                "weights": torch.cat([p["weights"] for p in parts]),
                "J": torch.cat([p["J"] for p in parts], 2),
                "M": torch.cat([p["M"] for p in parts], 2)}


class _BoxFace(FluxRectangle):
    """A face of a ``FluxBox``, whose sums the box keeps with its other
    faces'."""

    sums_its_own = False
