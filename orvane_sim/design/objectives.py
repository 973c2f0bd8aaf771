"""Objectives for inverse design: differentiable torch functions of the
electric spectra that a ``adjoint.Design`` records on boxes of nodes.

Each objective names the boxes of cells it needs (``boxes``, ranges of
cells per axis as ``FrequencyMonitor`` takes them) and computes its value
from their spectra (``value``), [B0, B1, F] or [B0, B1, P, F] float64.
Where it needs the magnetic field it takes the curl of the electric one:
for spectra of fields that have died away the stepped Faraday law gives

    Ĥ = -i Δt / (2 μ0 sin(ωΔt/2)) · curl Ê,

exactly the sum a magnetic monitor would make half a step behind, so the
objectives and their gradients need electric spectra only. That holds
where no source writes H (``Design`` keeps the objectives off a plane
wave's plane) and outside the absorbing layers.
"""
from __future__ import annotations

import math

import torch

from ..grid import positions
from ..grid.arguments import count, sequence
from ..grid.coefficients import MU0
from ..grid.rectilinear import span_lengths
from ..monitors.flux import _turned


def _magnetic_factor(design) -> torch.Tensor:
    nu = design.frequencies.to(design.sim.device)
    dt = design.sim.dt
    return -1j * dt / (2 * MU0 * torch.sin(math.pi * nu * dt))


def _plane_fields(e, a: int, cells, factor):
    """Tangential E and H on the middle node plane of a three-node-thick box
    normal to ``a``: (E1, H2) at (half, node) and (E2, H1) at (node, half)
    positions along (b, c), [B0, B1, Nb, Nc, F] each, H brought onto the
    plane from the cells either side (on the straight line between their
    centres: their mean where they are equal). ``cells``: per axis (x, y,
    z) one spacing, or the lengths of the box's cells along it, float64
    [n] (along a, the two cells either side of the plane)."""
    b, c = (a + 1) % 3, (a + 2) % 3
    e1, e2, e3 = (_turned(e[t], a) for t in (b, c, a))

    def along(lengths, dim):  # as the differences along spatial ``dim`` (0 .. 2) broadcast
        if isinstance(lengths, float):
            return lengths
        shape = [1, 1, 1, 1, 1, 1]
        shape[2 + dim] = -1
        return lengths.to(e1.device).reshape(shape)

    da, db, dc = (float(cells[t]) if isinstance(cells[t], (int, float)) else cells[t]
                  for t in (a, b, c))
    h1 = ((e3[:, :, :, 1:] - e3[:, :, :, :-1]) / along(dc, 1)
          - (e2[:, :, :, :, 1:] - e2[:, :, :, :, :-1]) / along(da, 2)) * factor
    h2 = ((e1[:, :, :, :, 1:] - e1[:, :, :, :, :-1]) / along(da, 2)
          - (e3[:, :, 1:] - e3[:, :, :-1]) / along(db, 0)) * factor
    if isinstance(da, float):
        below = above = 0.5
    else:
        below, above = float(da[1] / (da[0] + da[1])), float(da[0] / (da[0] + da[1]))
    return (e1[:, :, :, :, 1], below * h2[:, :, :, :, 0] + above * h2[:, :, :, :, 1],
            e2[:, :, :, :, 1], below * h1[:, :, :, :, 0] + above * h1[:, :, :, :, 1])


class Flux:
    """Power through a rectangle or out of a closed box, [B0, B1, F].

    ``box``: ((x0, y0, z0), (x1, y1, z1)) in length units, or ``nodes`` as
    node indices. A flat box is a rectangle, its power counted along
    ``direction`` (+1 or -1) of its normal axis; a box with depth along every
    axis gives the power flowing out through its six faces. The faces lie
    on electric nodes with a node either side, clear of the absorbing
    layers. Across a periodic axis that the rectangle spans whole, it takes
    one period (the copies at the seam once).
    """

    def __init__(self, sim, box=None, nodes=None, direction: int = 1):
        if (box is None) == (nodes is None):
            raise ValueError("give the Flux's box in length units (box=) or as node indices "
                             "(nodes=)")
        if direction not in (1, -1):
            raise ValueError(f"Flux direction must be +1 or -1, got {direction!r}")
        if box is not None:
            nodes = [[positions.node(sim, a, v, "Flux box") for a, v in enumerate(corner)]
                     for corner in box]
        flat = sum(int(a) == int(b) for a, b in zip(*nodes)) == 1
        lo, hi = positions.check_nodes(sim, nodes, "Flux box", flat=flat)
        faces = []
        for a in range(3):
            if flat and lo[a] != hi[a]:
                continue
            for n, sign in (((lo[a], direction),) if flat else ((lo[a], -1), (hi[a], 1))):
                faces.append((a, n, sign))
        self.faces, self.lo, self.hi = faces, lo, hi
        self.cells = [sim.grid[a].cell_lengths() for a in range(3)]
        self.full = [a in sim.periodic_axes() and lo[a] == 0 and hi[a] == sim.placement.shape[a]
                     for a in range(3)]
        self.boxes = []
        for a, n, _ in faces:
            first, last = list(lo), list(hi)
            first[a], last[a] = n - 1, n + 1
            positions.check_nodes(sim, (first, last), "Flux face (with a node either side)")
            self.boxes.append([(f, l - 1) for f, l in zip(first, last)])

    def _weights(self, a: int, device):
        """Area weights of the two sets of points, [Nb, Nc] each."""
        b, c = (a + 1) % 3, (a + 2) % 3
        out = []
        for half_b in (True, False):
            axes = []
            for t, half in ((b, half_b), (c, not half_b)):
                # its own cell across a half position, the trapezoid rule's
                # share across a node
                w = span_lengths(self.cells[t][self.lo[t]:self.hi[t]], half)
                if self.full[t]:
                    w[0] = 0.0          # one period: the copies at the seam once
                    if not half:
                        w[-1] = 0.0
                axes.append(w)
            out.append(torch.outer(*axes).to(device)[..., None])
        return out

    def value(self, spectra, design) -> torch.Tensor:
        factor = _magnetic_factor(design)
        total = 0.0
        for (a, n, sign), e in zip(self.faces, spectra):
            cells = [self.cells[t][self.lo[t]:self.hi[t]] for t in range(3)]
            cells[a] = self.cells[a][n - 1:n + 1]
            e1, h2, e2, h1 = _plane_fields(e, a, cells, factor)
            w1, w2 = self._weights(a, e1.device)
            p = (w1 * e1 * h2.conj()).sum((2, 3)) - (w2 * e2 * h1.conj()).sum((2, 3))
            total = total + 0.5 * sign * p.real
        return total


class DiffractionOrder:
    """Power carried by one diffraction order through a plane normal to z in
    a box periodic along x and y, per period, [B0, B1, F].

    ``at``: the plane's height in length units (or ``z``, its node index);
    ``order``: (m, n), the order's transverse wave vector being the Bloch
    vector plus (2πm/Λx, 2πn/Λy); ``direction``: +1 counts power up z, -1
    down. The fields over one period are split into their Fourier
    components, and the order's share of the flux is ½ Re(E × H*) of its own
    component; the orders' powers add up to the plane's flux. Periodic x
    and y have one spacing each; the cells along z may differ.
    """

    def __init__(self, sim, at=None, z=None, order=(1, 0), direction: int = 1):
        positions.require_uniform(sim, "the DiffractionOrder objective", (0, 1))
        if (at is None) == (z is None):
            raise ValueError("give the DiffractionOrder's plane as a height (at=) or a node "
                             "index (z=)")
        if set(sim.periodic_axes()) != {0, 1}:
            raise ValueError("a DiffractionOrder needs a box periodic along x and y (bloch=)")
        if direction not in (1, -1):
            raise ValueError(f"DiffractionOrder direction must be +1 or -1, got {direction!r}")
        z = positions.node(sim, 2, at, "DiffractionOrder at") if at is not None else \
            count(z, "DiffractionOrder z", None)
        NX, NY, _ = sim.placement.shape
        positions.check_nodes(sim, ((0, 0, z - 1), (NX, NY, z + 1)),
                              "DiffractionOrder plane (with a node either side)")
        pair = sequence(order)
        if pair is None or len(pair) != 2:
            raise ValueError(f"order needs two integers (m, n), got {order!r}")
        self.order = tuple(count(v, "DiffractionOrder order", None) for v in pair)
        self.direction = direction
        self.spacing = sim.spacing
        # the two cells either side of the plane along z, where they differ
        self.cells = (*sim.spacing[:2], sim.spacing[2] if sim.spacing[2] is not None else
                      sim.grid[2].primal[z - 1:z + 1].clone())
        self.shape = sim.placement.shape
        self.k = sim.periodic.k.clone()
        self.periods = tuple((n - 1) * h for n, h in zip(self.shape[:2], sim.spacing[:2]))
        self.boxes = [[(0, NX - 1), (0, NY - 1), (z - 1, z)]]

    def value(self, spectra, design) -> torch.Tensor:
        e1, h2, e2, h1 = _plane_fields(spectra[0], 2, self.cells, _magnetic_factor(design))
        dev = e1.device
        (dx, dy), (Lx, Ly) = self.spacing[:2], self.periods
        k = self.k.to(dev)
        kx = (k[:, 0] + 2 * math.pi * self.order[0] / Lx).view(-1, 1, 1, 1, 1)
        ky = (k[:, 1] + 2 * math.pi * self.order[1] / Ly).view(-1, 1, 1, 1, 1)

        def component(f, x_half: bool):
            # one period: cells and nodes 1 .. N-1 along each axis
            f = f[:, :, 1:, 1:][:, :, :self.shape[0] - 1, :self.shape[1] - 1]
            x = (torch.arange(1, self.shape[0], dtype=torch.float64, device=dev)
                 + (0.5 if x_half else 0.0)) * dx
            y = (torch.arange(1, self.shape[1], dtype=torch.float64, device=dev)
                 + (0.0 if x_half else 0.5)) * dy
            phase = torch.polar(torch.ones_like(kx * x.view(1, 1, -1, 1, 1)),
                                -(kx * x.view(1, 1, -1, 1, 1) + ky * y.view(1, 1, 1, -1, 1)))
            return (f * phase).mean((2, 3))

        p = (component(e1, True) * component(h2, True).conj()
             - component(e2, False) * component(h1, False).conj())
        return 0.5 * self.direction * p.real * Lx * Ly


class Intensity:
    """|E|² at points, [B0, B1, P, F]: each component averaged onto the node
    nearest the point from its two samples either side. ``points``: [P, 3]
    positions in length units (or ``nodes``, node indices), each with a node
    either side along every axis, clear of the layers."""

    def __init__(self, sim, points=None, nodes=None):
        if (points is None) == (nodes is None):
            raise ValueError("give the Intensity's points in length units (points=) or as "
                             "node indices (nodes=)")
        given = sequence(points if points is not None else nodes)
        if given is None or any(sequence(p) is None or len(sequence(p)) != 3 for p in given):
            raise ValueError(f"Intensity needs its {'points' if points is not None else 'nodes'} "
                             f"as [P, 3] (three coordinates per point), got "
                             f"{points if points is not None else nodes!r}")
        if not given:
            raise ValueError(f"Intensity needs at least one point, got "
                             f"{'points' if points is not None else 'nodes'} = []")
        if points is not None:
            nodes = [[positions.node(sim, a, v, "Intensity point") for a, v in enumerate(p)]
                     for p in given]
        self.boxes = []
        for n in nodes:
            n = [count(v, "Intensity nodes", None) for v in n]
            positions.check_nodes(sim, ([v - 1 for v in n], [v + 1 for v in n]),
                                  "Intensity point (with a node either side)")
            self.boxes.append([(v - 1, v) for v in n])

    def value(self, spectra, design) -> torch.Tensor:
        out = []
        for ex, ey, ez in spectra:
            e = (0.5 * (ex[:, :, 0, 1, 1] + ex[:, :, 1, 1, 1]),
                 0.5 * (ey[:, :, 1, 0, 1] + ey[:, :, 1, 1, 1]),
                 0.5 * (ez[:, :, 1, 1, 0] + ez[:, :, 1, 1, 1]))
            out.append(sum(f.abs() ** 2 for f in e))
        return torch.stack(out, 2)


class ModePower:
    """Power carried by a waveguide mode through a rectangle across the
    guide, along ``direction``, [B0, B1, F].

    ``box``: the rectangle as a flat box in length units (or ``nodes``);
    ``direction``: "+x" .. "-z" along its normal; ``mode``: 0 for the
    highest index. The mode is solved (``circuits.ports.rectangle_modes``) on the
    plane's permittivity when first needed, so keep the plane off the
    design regions. The fields split into the mode's two directions by the
    overlaps of ``circuits.ports``, a = ½ (A / P ± B / P*), and the power is
    ½ |a|² Re P. Across the rectangle the cells may differ, as across a
    port: the mode is solved on the rectangle's own cells and each point
    weighs its area; along its normal they may not.
    """

    def __init__(self, sim, box=None, nodes=None, direction="+x", mode: int = 0):
        if (box is None) == (nodes is None):
            raise ValueError("give the ModePower's rectangle in length units (box=) or as node "
                             "indices (nodes=)")
        if box is not None:
            nodes = positions.node_box(sim, box, "ModePower box", flat=True)
        lo, hi = positions.check_nodes(sim, nodes, "ModePower box", flat=True)
        a = next(t for t in range(3) if lo[t] == hi[t])
        axis, self.sign = positions.direction(direction)
        if axis != a:
            raise ValueError(f"ModePower direction {direction!r} must lie along the rectangle's "
                             f"normal, {'xyz'[a]}")
        mode = count(mode, "ModePower mode", 0)
        # the grid's mode travels on one spacing; across, cells may differ
        positions.require_uniform(sim, f"the ModePower objective normal to {'xyz'[a]} (its mode "
                                  f"travels along that axis, on one spacing)", (a,))
        self.sim, self.axis, self.mode, self.lo, self.hi = sim, a, mode, lo, hi
        # per axis one spacing, or the rectangle's cells along it
        self.cells = tuple(h if h is not None else sim.grid[t].primal[lo[t]:hi[t]].clone()
                           for t, h in enumerate(sim.spacing))
        first, last = list(lo), list(hi)
        first[a], last[a] = lo[a] - 1, lo[a] + 1
        positions.check_nodes(sim, (first, last), "ModePower plane (with a node either side)")
        self.boxes = [[(f, l - 1) for f, l in zip(first, last)]]
        self._modes = {}

    def value(self, spectra, design) -> torch.Tensor:
        from ..circuits.ports import (cross, mode_power_integral, plane_mode, rectangle_modes,
                                      rectangle_weights)

        a = self.axis
        key = tuple(design.frequencies.tolist())
        if key not in self._modes:
            M, _, _ = rectangle_modes(self.sim, a, self.lo[a], self.lo, self.hi,
                                      design.frequencies, self.mode + 1)
            self._modes[key] = (plane_mode(M, self.mode), M.spacing)
        # (h_a, h_b, h_c), h_b and h_c the cells the mode was solved on
        spacing = (self.cells[a], *self._modes[key][1])
        e1, h2, e2, h1 = (t.movedim(-1, 2) for t in _plane_fields(spectra[0], a, self.cells,
                                                                  _magnetic_factor(design)))
        dev = e1.device
        Eb, Ec, Hb, Hc = (t.to(dev) for t in self._modes[key][0])
        w1, w2 = (w.to(dev) for w in rectangle_weights(Eb.shape[-2], Ec.shape[-1], spacing))
        P = mode_power_integral(Eb, Ec, Hb, Hc, spacing)
        A = cross(w1, e1, Hc.conj(), w2, e2, Hb.conj())
        B = cross(w1, Eb.conj(), h2, w2, Ec.conj(), h1)
        amplitude = 0.5 * (A / P + self.sign * B / P.conj())
        return 0.5 * amplitude.abs() ** 2 * P.real
