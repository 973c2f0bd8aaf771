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
from ..grid.rectilinear import onto_node, require_uniform
from .frequency import StepFactors, _slots


def _turned(field: torch.Tensor, a: int) -> torch.Tensor:
    """``field`` [B0, B1, X, Y, Z, S] with its spatial axes in the order
    (a + 1, a + 2, a)."""
    b, c = (a + 1) % 3, (a + 2) % 3
    return field.permute(0, 1, 2 + b, 2 + c, 2 + a, 5)


class FluxPlane:
    """Flux spectrum along +z through the electric nodes at z index ``z``,
    per unit area, over the periodic cross-section (x and y indices 1 ..
    N - 1: one period of a Bloch-periodic box, ghosts left out).

    Ex and Ey are summed at the nodes, Hx and Hy in the cells just below and
    above and averaged onto the nodes, so a wave's flux is measured the same
    way in either direction: S(ν) = ½ Re(Ex·Hy* - Ey·Hx*), averaged over
    the plane. ``flux()`` is [B0, B1, F] (float64). In a run split into
    slabs each rank sums the part of the plane it owns, and ``spectra`` and
    ``flux`` (collectives: every rank calls them) put the plane together on
    every rank.

    ``at``: the plane's height in length units instead of its index ``z``,
    snapped to the nearest node: ``FluxPlane(sim, at=0.5, frequencies=nu)``.
    The plane lies clear of the z layers (on their inner edge at most), and
    its frequencies below the time step's Nyquist frequency.
    """

    # On a slab the plane's nodes are the owner's own, and the sums that
    # reach past its last owned node along x or y are cut off in ``spectra``:
    # the halo may still be travelling while it sums.
    reads_halo = False

    @recorded
    def __init__(self, sim, z: int | None = None, frequencies: Sequence[float] | None = None,
                 at: float | None = None):
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
        # its mean over the cross-section weighs every node alike
        require_uniform(sim, "FluxPlane", (0, 1))
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
        self.e_factors = StepFactors(self.frequencies)
        self.h_factors = StepFactors(self.frequencies, half_step_behind=True)
        nx_all, ny_all = sim.shape[0], sim.shape[1]
        self.zero = torch.zeros(1, device=dev).expand(B0, B1, nx_all + 1, ny_all + 1,
                                                      max(z + 1, 0), 1)

    def update(self, sim) -> None:
        if not self.mine:
            return
        m = sim.module
        fe, fh = self.e_factors.at(sim), self.h_factors.at(sim)
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
        density = 0.5 * (s["Ex"] * s["Hy"].conj() - s["Ey"] * s["Hx"].conj()).real
        return density.mean(dim=(2, 3))


class FluxRectangle:
    """Flux spectrum through a rectangle normal to x, y or z, at
    ``frequencies`` (in cycles per unit time).

    ``box``: the rectangle as a flat box ((x0, y0, z0), (x1, y1, z1)) in
    length units whose corners share one coordinate, the plane's; or
    ``nodes``, the same as node indices. ``direction``: +1 counts flux
    along the plane's axis, -1 against it. ``power()`` is [B0, B1, F]
    float64 (flux integrated over the rectangle); ``surface()`` gives the
    equivalent currents on it for a far-field projection. ``what``: the
    name its errors give (a FluxBox passes its own).
    """

    @recorded
    def __init__(self, sim, frequencies: Sequence[float], box=None, nodes=None,
                 direction: int = 1, what: str = "FluxRectangle"):
        positions.require_uniform(sim, what)  # its area weights: one spacing per axis
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
        h = sim.spacing
        self.spacing = (h[a], h[b], h[c])
        self.slots = _slots(sim)
        self.batch, self.device = tuple(sim.batch), sim.device
        # The part of the rectangle this part of the box accounts for: along
        # each tangential axis the cells it owns (half positions) and the
        # nodes from the first of them to the last, less the last node where
        # the next part owns it; along the normal axis, the plane's owner.
        spans = [self._span(place, t, lo[t], hi[t]) for t in (b, c)]
        self.mine = place.owns_node(a, n) and all(sp is not None for sp in spans)
        self.spans = spans
        if not self.mine:
            return
        (b0, b1, _), (c0, c1, _) = spans
        off = place.offset
        lb0, lb1, lc0, lc1 = b0 - off[b], b1 - off[b], c0 - off[c], c1 - off[c]
        ln = n - off[a]
        F = len(self.frequencies)
        B0, B1 = sim.batch
        dev = sim.device

        def acc(*shape):
            return torch.zeros(B0, B1, *shape, F, dtype=torch.complex64, device=dev)

        nb, nc = b1 - b0, c1 - c0
        # E: one layer (z range (n, n-1)) of E_b and E_c, no E_a
        self.e_ranges = [torch.tensor(r, dtype=torch.int32) for r in ((lb0, lb1 - 1),
                                                                      (lc0, lc1 - 1),
                                                                      (ln, ln - 1))]
        self.e_acc = [(acc(nb, nc + 1, 1), acc(nb + 1, nc, 1), acc(nb + 1, nc + 1, 0))
                      for _ in self.slots]
        # H: the cells n-1 and n of H_c and H_b; the third role reads zeros.
        # A node that a neighbour owns is no H sample here (H along its own
        # axis holds nodes 0 .. N-1 only): a rectangle that ends at a slab
        # end sums H_c and H_b in calls of their own, each one node short
        # along the axis it holds nodes of.
        (_, _, drop_b), (_, _, drop_c) = spans
        db, dc = int(drop_b), int(drop_c)

        def h_call(roles, b_short, c_short):
            ranges = ((lb0, lb1 - 1 - b_short), (lc0, lc1 - 1 - c_short), (ln - 1, ln - 1))
            mx, my = nb + 1 - b_short, nc + 1 - c_short
            return (roles, [torch.tensor(r, dtype=torch.int32) for r in ranges],
                    [(acc(mx - 1, my, 2), acc(mx, my - 1, 2), acc(mx, my, 1))
                     for _ in self.slots])

        self.h_calls = [h_call("cb", 0, 0)] if not (db or dc) else \
            [h_call("c", 0, dc), h_call("b", db, 0)]
        shape = sim.shape
        self.zero = torch.zeros(1, device=dev).expand(B0, B1, shape[b] + 1, shape[c] + 1,
                                                      shape[a], 1)
        self.e_factors = StepFactors(self.frequencies)
        self.h_factors = StepFactors(self.frequencies, half_step_behind=True)

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
        if not self.mine:
            return
        m, a = sim.module, self.axis
        fe, fh = self.e_factors.at(sim), self.h_factors.at(sim)
        b, c = (a + 1) % 3, (a + 2) % 3
        E = (sim.Ex, sim.Ey, sim.Ez)
        H = (sim.Hx, sim.Hy, sim.Hz)
        for k, ((slot, _), e) in enumerate(zip(self.slots, self.e_acc)):
            s = slice(slot, slot + 1)
            m.Monitor_Update_E(*e, *(_turned(E[q][..., s], a) for q in (b, c, a)), fe,
                               *self.e_ranges)
            for roles, ranges, accs in self.h_calls:
                m.Monitor_Update_E(*accs[k], _turned(H[c][..., s], a) if "c" in roles
                                   else self.zero, _turned(H[b][..., s], a) if "b" in roles
                                   else self.zero, self.zero, fh, *ranges)

    def spectra(self) -> dict:
        """Complex sums at the part of the rectangle's two sets of points that
        this part of the box owns, [B0, B1, Nb, Nc, F] each: "Eb", "Hc" at
        (half, node) and "Ec", "Hb" at (node, half) positions along (b, c);
        None where it owns none."""
        if not self.mine:
            return None

        def combine(parts):
            return sum(w * p.to(torch.complex128) for (_, w), p in zip(self.slots, parts))

        hc = next(combine([a[0] for a in accs]) for roles, _, accs in self.h_calls
                  if "c" in roles)
        hb = next(combine([a[1] for a in accs]) for roles, _, accs in self.h_calls
                  if "b" in roles)
        out = {"Eb": combine([e[0][..., 0, :] for e in self.e_acc]),
               "Ec": combine([e[1][..., 0, :] for e in self.e_acc]),
               "Hc": 0.5 * (hc[..., 0, :] + hc[..., 1, :]),
               "Hb": 0.5 * (hb[..., 0, :] + hb[..., 1, :])}
        (_, _, drop_b), (_, _, drop_c) = self.spans
        for name, dim, drop in (("Ec", 2, drop_b), ("Eb", 3, drop_c)):
            if drop:
                out[name] = out[name].narrow(dim, 0, out[name].size(dim) - 1)
        return out

    def _points(self, grid: int):
        """Positions [Pb, Pc, 3] and area weights [Pb, Pc] of the owned points
        of set ``grid`` (0: half positions along b, nodes along c; 1: the
        other way round)."""
        a = self.axis
        b, c = (a + 1) % 3, (a + 2) % 3
        ha, hb, hc = self.spacing
        f64 = torch.float64
        axes = []
        for t, (h0, h1, drop), step, half in ((b, self.spans[0], hb, grid == 0),
                                              (c, self.spans[1], hc, grid == 1)):
            if half:
                index = torch.arange(h0, h1, dtype=f64) + 0.5
                weight = torch.ones_like(index)
            else:
                index = torch.arange(h0, h1 + (0 if drop else 1), dtype=f64)
                weight = torch.where((index == self.lo[t]) | (index == self.hi[t]), 0.5, 1.0)
            axes.append((index * step, weight * step))
        (pb, wb), (pc, wc) = axes
        pts = torch.zeros(len(pb), len(pc), 3, dtype=f64)
        pts[..., a] = self.node * ha
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


class FluxBox:
    """Net outward flux through the six faces of a box, at ``frequencies``
    (in cycles per unit time): ``box``
    ((x0, y0, z0), (x1, y1, z1)) in length units or ``nodes`` as indices,
    clear of the absorbing layers. Around a scatterer outside a
    ``TotalFieldBox`` it measures the scattered power; inside one, the
    negative of the absorbed power. ``power()`` is [B0, B1, F] float64;
    ``surface()`` the equivalent currents on all six faces, outward normals,
    for ``farfield``. On slabs each rank sums the part of the faces it owns,
    and ``power`` and ``surface`` (collectives) give every rank the whole."""

    @recorded
    def __init__(self, sim, frequencies: Sequence[float], box=None, nodes=None):
        positions.require_uniform(sim, "FluxBox")
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
                self.faces.append(FluxRectangle(sim, frequencies, nodes=(flat_lo, flat_hi),
                                                direction=sign, what="FluxBox box"))
        self.frequencies = self.faces[0].frequencies

    def update(self, sim) -> None:
        for face in self.faces:
            face.update(sim)

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
