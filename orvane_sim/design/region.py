"""Design regions: a box of the simulation whose permittivity a density
sets. The density ρ in [0, 1] lives on the region's own grid of pixels; its
nodes take the share ρ of material b and 1 - ρ of material a, ρ read at
each Yee node by the module's trilinear interpolation, differentiably
(its transpose, the module's reverse interpolation, carries the gradient
back). ``adjoint.Design`` runs the simulation for given densities.
"""
from __future__ import annotations

import math
from typing import Sequence

import torch

from ..core.descriptions import recorded
from ..grid import positions
from ..grid.arguments import count, real, sequence
from ..grid.rectilinear import coordinates
from ..materials.discrete import discrete_permittivity, discretise
from ..materials.poles import Dielectric


def _material(m) -> Dielectric:
    return m if isinstance(m, Dielectric) else \
        Dielectric(real(m, "DesignRegion materials (materials or permittivities)"))


class _Interpolate(torch.autograd.Function):
    """Real values on a design grid read at Yee nodes by the module's
    trilinear interpolation; backward is its transpose, the module's reverse
    interpolation."""

    @staticmethod
    def forward(ctx, values, module, base, targets):
        ctx.module, ctx.base, ctx.targets = module, base, targets
        ctx.dtype = values.dtype
        v = torch.complex(values.float(), torch.zeros_like(values, dtype=torch.float32))
        out = module.Trilinear_interpolation(*base, v[None, ..., None], *targets, False)
        return out[0, ..., 0].real.contiguous()

    @staticmethod
    def backward(ctx, grad):
        g = torch.complex(grad.float(), torch.zeros_like(grad, dtype=torch.float32))
        back = ctx.module.Trilinear_reverse_interpolation(*ctx.base, g[None, ..., None],
                                                          *ctx.targets)
        return back[0, ..., 0].real.to(ctx.dtype), None, None, None


class DesignRegion:
    """A box of the simulation whose permittivity is set by a density.

    ``box``: ((x0, y0, z0), (x1, y1, z1)) in length units (or ``nodes``, the
    same as node indices), clear of the absorbing layers; ``shape``: the
    density's pixels (nx, ny, nz), centred in equal cells of the box;
    ``materials``: (a, b), materials or permittivities, ρ = 0 giving a and
    ρ = 1 giving b. The region is painted over the objects; its nodes are the
    electric nodes in the closed box (its faces included).
    ``weights(rho)`` maps a density [nx, ny, nz] (one design for every b1)
    or [B1, nx, ny, nz] to each component's share of b at the region's
    nodes, differentiably.
    """

    @recorded
    def __init__(self, sim, shape: Sequence[int], box=None, nodes=None, materials=(1.0, 2.0)):
        if (box is None) == (nodes is None):
            raise ValueError("give the DesignRegion's box in length units (box=) or as node "
                             "indices (nodes=)")
        if box is not None:
            nodes = positions.node_box(sim, box, "DesignRegion box")
        first, last = positions.check_nodes(sim, nodes, "DesignRegion nodes")
        counts = sequence(shape)
        if counts is None or len(counts) != 3:
            raise ValueError(f"DesignRegion shape needs three pixel counts >= 1, got {shape!r}")
        # a pixel count is whole: 2.7 pixels were two without a word
        self.shape = tuple(count(n, "DesignRegion shape", 1) for n in counts)
        if len(materials) != 2:
            raise ValueError(f"DesignRegion materials needs two materials (a, b), got "
                             f"{materials!r}")
        self.materials = tuple(_material(m) for m in materials)
        self.first, self.last = first, last
        self.module, self.device, self.dt = sim.module, sim.device, sim.dt
        self.batch = sim.batch[1]
        grid = sim.placement.shape
        # Per component: the slices of the material grids (node axes stop at
        # N - 1, the last node the grids hold) and the nodes' coordinates.
        self.nodes, self.targets = [], []
        for c in range(3):
            slices, coords = [], []
            for a in range(3):
                if a == c:
                    lo, hi = first[a], last[a] - 1
                    offset = 0.5
                else:
                    lo, hi = first[a], min(last[a], grid[a] - 1)
                    offset = 0.0
                slices.append(slice(lo, hi + 1))
                coords.append(coordinates(sim.grid[a], lo, hi + 1, half=a == c)
                              .to(torch.float32).to(sim.device))
            self.nodes.append(tuple(slices))
            self.targets.append(tuple(coords))
        # The part of each component's nodes that the grids here hold (a
        # slab's), as (slices of the grids, slices of the weights), or None.
        place = sim.placement
        self.local = []
        for c, slices in enumerate(self.nodes):
            part = []
            for a, sl in enumerate(slices):
                held = place.held(a, sl.start, sl.stop, nodes=a != c)
                lo, hi = (0, 0) if held is None else (held[0], min(held[1], sim.shape[a]))
                start = place.start_stop(a)[0]
                part.append((slice(lo, hi), slice(lo + start - sl.start, hi + start - sl.start)))
            empty = any(g.stop <= g.start for g, _ in part)
            self.local.append(None if empty else tuple(zip(*part)))
        # Pixel centres; one pixel along an axis is read as two equal ones
        # at the box's faces (the interpolation needs two coordinates).
        self.base = []
        for a in range(3):
            lo, hi = (float(v) for v in coordinates(sim.grid[a], first[a], last[a] + 1,
                                                    False)[[0, -1]])
            n = self.shape[a]
            if n == 1:
                centres = torch.tensor([lo, hi], dtype=torch.float64)
            else:
                centres = lo + (torch.arange(n, dtype=torch.float64) + 0.5) * (hi - lo) / n
            self.base.append(centres.to(torch.float32).to(sim.device))
        self.base = tuple(self.base)
        self.periodic = sim.periodic_axes()
        self.monitor_ranges = [(f, l - 1) for f, l in zip(first, last)]

    def weights(self, rho: torch.Tensor) -> list[torch.Tensor]:
        """The share of material b at the region's nodes of Ex, Ey, Ez,
        [B1 or 1, ...] each, from the density ``rho``."""
        if not isinstance(rho, torch.Tensor):
            raise TypeError(f"a DesignRegion's density must be a torch tensor, got "
                            f"{type(rho).__name__}")
        if rho.dim() == 3:
            rho = rho[None]
        if rho.dim() != 4 or tuple(rho.shape[1:]) != self.shape \
                or rho.shape[0] not in (1, self.batch):
            raise ValueError(f"a DesignRegion density needs shape {self.shape} or "
                             f"({self.batch}, *{self.shape}) (one per b1), got "
                             f"{tuple(rho.shape)}")
        if not rho.dtype.is_floating_point:
            raise TypeError(f"a DesignRegion density must be a floating tensor, got {rho.dtype}")
        if rho.device.type == "meta":  # shapes without values: nothing to paint
            raise ValueError("a DesignRegion density must hold values (on the CPU or a GPU), "
                             "got a tensor on the meta device")
        low, high = float(rho.detach().min()), float(rho.detach().max())
        if not (0.0 <= low and high <= 1.0):
            raise ValueError(f"a DesignRegion density must lie in 0 .. 1 (finite), got values "
                             f"from {low:g} to {high:g}")
        rho = rho.to(self.device)
        for a, n in enumerate(self.shape):
            if n == 1:
                rho = rho.expand(*rho.shape[:1 + a], 2, *rho.shape[2 + a:])
        return [_Interpolate.apply(rho, self.module, self.base, t) for t in self.targets]

    def permittivity_change(self, frequencies: torch.Tensor) -> torch.Tensor:
        """ε_d,b - ε_d,a at each frequency (complex128 [F]): what one unit of
        weight adds to a node's permittivity, as the update realises it."""
        omega = 2 * math.pi * frequencies

        def eps(m):
            d = discretise(m, self.dt)
            return discrete_permittivity(d.alpha, d.beta, d.den, d.loss, omega, self.dt)

        return eps(self.materials[1]) - eps(self.materials[0])
