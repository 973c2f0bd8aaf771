"""Flux through rectangles normal to any axis, and through closed boxes.

A rectangle lies on the plane of electric nodes n along its normal axis a
and spans nodes b0 .. b1 and c0 .. c1 of the other two, (a, b, c) cyclic.
Its tangential fields fall on two staggered sets of points: E_b with H_c
(half positions along b, nodes along c) and E_c with H_b (nodes along b,
half positions along c), H averaged from the cells either side of the plane
and summed half a step earlier, as ``monitors.FluxPlane`` does. The power
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

from . import positions
from .monitors import StepFactors, _slots


def _turned(field: torch.Tensor, a: int) -> torch.Tensor:
    """``field`` [B0, B1, X, Y, Z, S] with its spatial axes in the order
    (a + 1, a + 2, a)."""
    b, c = (a + 1) % 3, (a + 2) % 3
    return field.permute(0, 1, 2 + b, 2 + c, 2 + a, 5)


class FluxRectangle:
    """Flux spectrum through a rectangle normal to x, y or z.

    ``box``: the rectangle as a flat box ((x0, y0, z0), (x1, y1, z1)) in
    length units whose corners share one coordinate, the plane's; or
    ``nodes``, the same as node indices. ``direction``: +1 counts flux
    along the plane's axis, -1 against it. ``power()`` is [B0, B1, F]
    float64 (flux integrated over the rectangle); ``surface()`` gives the
    equivalent currents on it for a far-field projection.
    """

    def __init__(self, sim, frequencies: Sequence[float], box=None, nodes=None,
                 direction: int = 1, what: str = "FluxRectangle"):
        if (box is None) == (nodes is None):
            raise ValueError(f"{what}: give the rectangle in length units (box=) or as nodes "
                             f"(nodes=)")
        if sim.placement.axis is not None:
            raise ValueError(f"{what}: flux rectangles run on a whole box, not on slabs")
        if direction not in (1, -1):
            raise ValueError(f"direction must be +1 or -1, got {direction!r}")
        if box is not None:
            nodes = positions.node_box(sim, box, what, flat=True)
        lo, hi = positions.check_nodes(sim, nodes, what, flat=True)
        a = next(t for t in range(3) if lo[t] == hi[t])
        n = lo[a]
        if not 1 <= n <= sim.shape[a] - 1:
            raise ValueError(f"{what} needs magnetic cells on both sides: nodes 1 .. "
                             f"{sim.shape[a] - 1} along {'xyz'[a]}, got {n}")
        self.axis, self.node, self.sign = a, n, direction
        b, c = (a + 1) % 3, (a + 2) % 3
        (b0, b1), (c0, c1) = (lo[b], hi[b]), (lo[c], hi[c])
        self.lo, self.hi = lo, hi
        self.frequencies = torch.tensor([float(f) for f in frequencies], dtype=torch.float64)
        F = len(self.frequencies)
        B0, B1 = sim.batch
        dev = sim.device

        def acc(*shape):
            return torch.zeros(B0, B1, *shape, F, dtype=torch.complex64, device=dev)

        nb, nc = b1 - b0, c1 - c0
        self.slots = _slots(sim)
        # E: one layer (z range (n, n-1)) of E_b and E_c, no E_a
        self.e_ranges = [torch.tensor(r, dtype=torch.int32) for r in ((b0, b1 - 1), (c0, c1 - 1),
                                                                      (n, n - 1))]
        self.e_acc = [(acc(nb, nc + 1, 1), acc(nb + 1, nc, 1), acc(nb + 1, nc + 1, 0))
                      for _ in self.slots]
        # H: the cells n-1 and n of H_c and H_b; the third role reads zeros
        self.h_ranges = [torch.tensor(r, dtype=torch.int32) for r in ((b0, b1 - 1), (c0, c1 - 1),
                                                                      (n - 1, n - 1))]
        self.h_acc = [(acc(nb, nc + 1, 2), acc(nb + 1, nc, 2), acc(nb + 1, nc + 1, 1))
                      for _ in self.slots]
        shape = sim.shape
        self.zero = torch.zeros(1, device=dev).expand(B0, B1, shape[b] + 1, shape[c] + 1,
                                                      shape[a], 1)
        self.e_factors = StepFactors(self.frequencies)
        self.h_factors = StepFactors(self.frequencies, half_step_behind=True)
        h = sim.spacing
        self.spacing = (h[a], h[b], h[c])

    def update(self, sim) -> None:
        m, a = sim.module, self.axis
        fe, fh = self.e_factors.at(sim), self.h_factors.at(sim)
        b, c = (a + 1) % 3, (a + 2) % 3
        E = (sim.Ex, sim.Ey, sim.Ez)
        H = (sim.Hx, sim.Hy, sim.Hz)
        for (slot, _), e, h in zip(self.slots, self.e_acc, self.h_acc):
            s = slice(slot, slot + 1)
            m.Monitor_Update_E(*e, *(_turned(E[q][..., s], a) for q in (b, c, a)), fe,
                               *self.e_ranges)
            m.Monitor_Update_E(*h, _turned(H[c][..., s], a), _turned(H[b][..., s], a),
                               self.zero, fh, *self.h_ranges)

    def spectra(self) -> dict:
        """Complex sums at the rectangle's two sets of points, [B0, B1, Nb,
        Nc, F] each: "Eb", "Hc" at (half, node) and "Ec", "Hb" at (node,
        half) positions along (b, c)."""
        def combine(parts):
            return sum(w * p.to(torch.complex128) for (_, w), p in zip(self.slots, parts))

        hc = combine([h[0] for h in self.h_acc])
        hb = combine([h[1] for h in self.h_acc])
        return {"Eb": combine([e[0][..., 0, :] for e in self.e_acc]),
                "Ec": combine([e[1][..., 0, :] for e in self.e_acc]),
                "Hc": 0.5 * (hc[..., 0, :] + hc[..., 1, :]),
                "Hb": 0.5 * (hb[..., 0, :] + hb[..., 1, :])}

    def _weights(self, nodes: int, halves: int, node_axis_first: bool) -> torch.Tensor:
        """Area weights of a (half, node) or (node, half) set of points."""
        _, hb, hc = self.spacing
        trap = torch.ones(nodes, dtype=torch.float64)
        trap[[0, -1]] = 0.5
        ones = torch.ones(halves, dtype=torch.float64)
        w = torch.outer(trap, ones) if node_axis_first else torch.outer(ones, trap)
        return w * hb * hc

    def power(self) -> torch.Tensor:
        """Power through the rectangle along ``direction``, [B0, B1, F]."""
        s = self.spectra()
        nb, nc = s["Eb"].shape[2], s["Ec"].shape[3]
        w1 = self._weights(nc + 1, nb, False).to(s["Eb"].device)[..., None]
        w2 = self._weights(nb + 1, nc, True).to(s["Eb"].device)[..., None]
        p = (w1 * (s["Eb"] * s["Hc"].conj())).sum((2, 3)) \
            - (w2 * (s["Ec"] * s["Hb"].conj())).sum((2, 3))
        return 0.5 * self.sign * p.real

    def surface(self) -> dict:
        """The equivalent currents J = n × H and M = -n × E on the rectangle,
        n its normal along ``direction``: {"points": [P, 3] positions,
        "weights": [P] areas, "J", "M": [B0, B1, P, 3, F] complex}, each
        point carrying the two components that live there."""
        s = self.spectra()
        a, sn = self.axis, float(self.sign)
        b, c = (a + 1) % 3, (a + 2) % 3
        nb, nc = s["Eb"].shape[2], s["Ec"].shape[3]
        ha, hb, hc = self.spacing
        f64 = torch.float64
        out = {"points": [], "weights": [], "J": [], "M": []}
        b0, c0 = self.lo[b], self.lo[c]
        for (ob, oc, nodes_b), (j_b, j_c), (m_b, m_c) in (
                ((0.5, 0.0, False), (-s["Hc"], None), (None, -s["Eb"])),
                ((0.0, 0.5, True), (None, s["Hb"]), (s["Ec"], None))):
            ref = s["Eb"] if not nodes_b else s["Ec"]
            Pb, Pc = ref.shape[2], ref.shape[3]
            pb = (torch.arange(Pb, dtype=f64) + b0 + ob) * hb
            pc = (torch.arange(Pc, dtype=f64) + c0 + oc) * hc
            pts = torch.zeros(Pb, Pc, 3, dtype=f64)
            pts[..., a] = self.node * ha
            pts[..., b] = pb[:, None]
            pts[..., c] = pc[None, :]
            out["points"].append(pts.reshape(-1, 3))
            out["weights"].append(self._weights(Pb if nodes_b else Pc, Pc if nodes_b else Pb,
                                                nodes_b).reshape(-1))
            for name, (vb, vc) in (("J", (j_b, j_c)), ("M", (m_b, m_c))):
                vec = torch.zeros(*ref.shape[:2], Pb, Pc, 3, ref.shape[-1], dtype=ref.dtype,
                                  device=ref.device)
                if vb is not None:
                    vec[..., b, :] = sn * vb
                if vc is not None:
                    vec[..., c, :] = sn * vc
                out[name].append(vec.reshape(*ref.shape[:2], Pb * Pc, 3, ref.shape[-1]))
        return {"points": torch.cat(out["points"]), "weights": torch.cat(out["weights"]),
                "J": torch.cat(out["J"], 2), "M": torch.cat(out["M"], 2)}


class FluxBox:
    """Net outward flux through the six faces of a box: ``box``
    ((x0, y0, z0), (x1, y1, z1)) in length units or ``nodes`` as indices,
    clear of the absorbing layers. Around a scatterer outside a
    ``TotalFieldBox`` it measures the scattered power; inside one, the
    negative of the absorbed power. ``power()`` is [B0, B1, F] float64;
    ``surface()`` the equivalent currents on all six faces, outward normals,
    for ``farfield``."""

    def __init__(self, sim, frequencies: Sequence[float], box=None, nodes=None):
        if (box is None) == (nodes is None):
            raise ValueError("FluxBox: give the box in length units (box=) or as nodes (nodes=)")
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
