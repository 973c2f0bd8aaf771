"""Inverse design: gradients of objectives of the frequency-domain fields
with respect to design densities, through torch.autograd, by the adjoint
method.

A ``DesignRegion`` holds a density ρ in [0, 1] on its own grid of pixels; its
nodes take the share ρ of material b and 1 - ρ of material a, ρ read at each
Yee node by the module's trilinear interpolation. A ``Design`` runs the
simulation for given densities and returns the objectives (``objectives``):
differentiable functions of the electric spectra that it records on the
objectives' boxes of nodes.

Why the backward pass is one more run. In the frequency domain the stepped
scheme is exactly a linear system: with u = exp(iωΔt) and the Fourier sums
Ê of the monitors (over a run long enough that the fields have died away),

    A Ê = b,   A = (Δt²/μ0) CᵀC - 4 sin²(ωΔt/2) ε_d(ω),

C the discrete curl and ε_d the permittivity that each node's update
realises (``dispersion.discrete_permittivity``; a blend of two materials
with weight w is w ε_b + (1 - w) ε_a). A is symmetric outside the absorbing
layers, and with Bloch phases A(k)ᵀ = A(-k). For a real objective L with
dL = Re Σ conj(G)·dÊ (G the gradients autograd hands back),

    dL/dw = Σ_ω Re(4 sin²(ωΔt/2) (ε_d,b - ε_d,a) λ Ê),   A(-k) λ = conj(G),

so λ is the field of one more run, with -k and a source at the monitored
nodes whose spectrum is conj(G) / ((1 - u) ε) at each frequency: a field
increment q added after the electric update enters the system as
(1 - u) ε q̂. One waveform per node carries all frequencies at once: a sum of
Gaussian-windowed carriers, one per frequency (two for real fields), whose
weights solve the small system that puts the right spectrum at each
frequency. The gradient is of the stepped scheme itself, up to the fields
left when the run ends; a run whose fields have not died away is reported.

Along a periodic axis, index 0 and index N-1 of the material grids are one
plane: the objects' painting copies 0 onto N-1, and so does a region's, so
the gradient of that plane is all carried by index 0. The monitored nodes
fold the same way before the adjoint source is placed on the plane that is
stepped (and on both copies of a plane of cells, which the update steps
twice).
"""
from __future__ import annotations

import math
import warnings
from typing import Callable, Mapping, Sequence

import torch

from . import positions
from .dispersion import Dielectric, discrete_permittivity, discretise
from .monitors import FrequencyMonitor

AXES = "xyz"


def _material(m) -> Dielectric:
    return m if isinstance(m, Dielectric) else Dielectric(float(m))


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

    def __init__(self, sim, shape: Sequence[int], box=None, nodes=None, materials=(1.0, 2.0)):
        if (box is None) == (nodes is None):
            raise ValueError("give the DesignRegion's box in length units (box=) or as node "
                             "indices (nodes=)")
        if box is not None:
            nodes = positions.node_box(sim, box, "DesignRegion box")
        first, last = positions.check_nodes(sim, nodes, "DesignRegion nodes")
        self.shape = tuple(int(n) for n in shape)
        if len(self.shape) != 3 or min(self.shape) < 1:
            raise ValueError(f"DesignRegion shape needs three pixel counts >= 1, got {shape!r}")
        if len(materials) != 2:
            raise ValueError(f"DesignRegion materials needs two materials (a, b), got "
                             f"{materials!r}")
        self.materials = tuple(_material(m) for m in materials)
        self.first, self.last = first, last
        self.module, self.device, self.dt = sim.module, sim.device, sim.dt
        self.batch = sim.batch[1]
        grid = sim.shape
        h = sim.spacing
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
                coords.append(((torch.arange(lo, hi + 1, dtype=torch.float64) + offset) * h[a])
                              .to(torch.float32).to(sim.device))
            self.nodes.append(tuple(slices))
            self.targets.append(tuple(coords))
        # Pixel centres; one pixel along an axis is read as two equal ones
        # at the box's faces (the interpolation needs two coordinates).
        self.base = []
        for a in range(3):
            lo, hi, n = first[a] * h[a], last[a] * h[a], self.shape[a]
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


class _Spectra:
    """The electric spectra on a box of cells (``FrequencyMonitor`` ranges),
    both slots of a complex run combined: complex128 [B0, B1, X, Y, Z, F]."""

    def __init__(self, sim, frequencies, ranges):
        x, y, z = ranges
        self.parts = [(FrequencyMonitor(sim, frequencies, x, y, z, slot=s), w)
                      for s, w in ((0, 1.0), (1, 1j))[:sim.b2]]

    def update(self, sim) -> None:
        for monitor, _ in self.parts:
            monitor.update(sim)

    def fields(self) -> tuple[torch.Tensor, ...]:
        return tuple(sum(w * getattr(m, name).to(torch.complex128) for m, w in self.parts)
                     for name in ("Ex", "Ey", "Ez"))


class _AdjointSource:
    """Field increments q^n after each electric update at the nodes of a few
    boxes: q = Σ_k C_k basis_k(n), the weights C per node, the basis a table
    of waveforms over the run. ``copies``: per box, the axes along which its
    last plane of cells is also written to plane 0 (times a phase per b0)."""

    def __init__(self, sim, basis: torch.Tensor, boxes):
        self.basis = basis
        self.boxes = boxes

    def after_h(self, sim) -> None:
        pass

    def after_e(self, sim) -> None:
        b = self.basis[sim.steps_done]
        for field_name, where, weights, copies in self.boxes:
            field = getattr(sim, field_name)
            q = weights @ b  # [B0, B1, X, Y, Z]
            self._add(sim, field, where, q)
            for axis, phase in copies:
                last = q.select(2 + axis, q.size(2 + axis) - 1).unsqueeze(2 + axis)
                plane = list(where)
                plane[axis] = slice(0, 1)
                self._add(sim, field, tuple(plane), last * phase.view(-1, *[1] * 4))

    @staticmethod
    def _add(sim, field, where, q) -> None:
        view = field[(slice(None), slice(None)) + tuple(where)]
        if sim.b2 == 1:
            view[..., 0] += q.real if q.is_complex() else q
        else:
            view[..., 0] += q.real
            view[..., 1] += q.imag


def _boxes_key(ranges):
    return tuple(tuple(r) for r in ranges)


class Design:
    """An inverse-design problem on a simulation: ``design(densities,
    objectives)`` runs the box with each ``DesignRegion`` filled from its
    density and returns each objective's value, differentiable with respect
    to the densities (``backward`` runs the adjoint simulation).

    ``sources``: a function of the simulation that returns its sources
    (one feature or a list, monitors of its own allowed), built afresh for
    every run; ``frequencies``:
    the frequencies the objectives are read at; ``steps`` or ``until``: the
    run's length, long enough for the fields to die away (the gradient is
    exact for the stepped scheme only then; a run that ends with more than
    ``decay`` of its peak energy left is warned about). The simulation is
    the design's to run: after a call it holds the last run's fields.
    """

    def __init__(self, sim, sources: Callable, frequencies: Sequence[float], steps=None,
                 until=None, decay: float = 1e-5):
        if not callable(sources):
            raise TypeError("Design sources must be a function of the simulation that builds "
                            "its sources (each run starts them afresh)")
        if (steps is None) == (until is None):
            raise ValueError("give the Design's run length as steps or until")
        if sim.placement.axis is not None:
            raise NotImplementedError("a Design runs a one-process Simulation; a box split "
                                      "into slabs is not differentiated yet")
        self.sim = sim
        self.build_sources = sources
        self.frequencies = torch.tensor([float(f) for f in frequencies], dtype=torch.float64)
        if len(self.frequencies) == 0 or not bool((self.frequencies > 0).all()):
            raise ValueError(f"Design frequencies must be positive, got {list(frequencies)!r}")
        if (self.frequencies * sim.dt >= 0.5).any():
            raise ValueError("Design frequencies must lie below the time step's Nyquist "
                             f"frequency {0.5 / sim.dt:g}")
        self.steps = int(steps) if steps is not None else math.ceil(until / sim.dt - 1e-9)
        if self.steps < 1:
            raise ValueError(f"the Design's run needs at least one step, got {self.steps}")
        self.decay = float(decay)
        self.basis, self.solve = self._basis()
        self.sources = []  # the last forward run's sources
        self.timings = {}

    def __call__(self, densities: Mapping, objectives: Sequence):
        regions = list(densities)
        for r in regions:
            if not isinstance(r, DesignRegion):
                raise TypeError(f"densities maps DesignRegions to densities, got a key of type "
                                f"{type(r).__name__}")
        self._check_overlap(regions)
        weights = [w for r in regions for w in r.weights(densities[r])]
        boxes = []
        for objective in objectives:
            for ranges in objective.boxes:
                if _boxes_key(ranges) not in boxes:
                    boxes.append(_boxes_key(ranges))
        spectra = _Adjoint.apply(self, regions, boxes, *weights)
        fields = {key: spectra[3 * n:3 * n + 3] for n, key in enumerate(boxes)}
        return tuple(o.value([fields[_boxes_key(r)] for r in o.boxes], self)
                     for o in objectives)

    @staticmethod
    def _check_overlap(regions) -> None:
        for n, r in enumerate(regions):
            for s in regions[:n]:
                if all(r.first[a] < s.last[a] and s.first[a] < r.last[a] for a in range(3)):
                    raise ValueError("design regions must not overlap")

    # -- the runs --------------------------------------------------------

    def _run(self, what: str, features, monitors, bloch=None) -> None:
        sim = self.sim
        saved = sim.sources, sim.monitors, sim.periodic
        try:
            if bloch is not None:
                from .periodic import BlochBoundary

                sim.periodic = BlochBoundary(sim, k=bloch)
            sim.reset()
            sim.sources = [f for f in features if hasattr(f, "after_e")]
            sim.monitors = [f for f in features if hasattr(f, "update")] + list(monitors)
            peak, chunk = 0.0, max(1, self.steps // 20)
            done = 0
            while done < self.steps:
                n = min(chunk, self.steps - done)
                sim.run(steps=n, progress=False)
                done += n
                energy = sim.energy()
                if not math.isfinite(energy):
                    raise FloatingPointError(f"the fields turned non-finite by step {done}")
                peak = max(peak, energy)
            if peak > 0 and energy > self.decay * peak:
                warnings.warn(f"the {what} run's fields still hold {energy / peak:.1e} of "
                              f"their peak energy when it ends after {self.steps} steps: "
                              "gradients are "
                              "exact only for fields that have died away; run longer",
                              RuntimeWarning, stacklevel=4)
        finally:
            sim.sources, sim.monitors, sim.periodic = saved

    def forward(self, regions, boxes, weights):
        import time

        sim = self.sim
        per_region = [weights[3 * n:3 * n + 3] for n in range(len(regions))]
        sim.paint_designs(list(zip(regions, per_region)))
        sim.reset()  # sources start from the time they are built at
        built = self.build_sources(sim)
        self.sources = list(built) if isinstance(built, (list, tuple)) else [built]
        self._check_sources(boxes)
        observed = [_Spectra(sim, self.frequencies, key) for key in boxes]
        inside = [_Spectra(sim, self.frequencies, r.monitor_ranges) for r in regions]
        start = time.perf_counter()
        self._run("forward", self.sources, observed + inside)
        self.timings["forward"] = time.perf_counter() - start
        self._regions_fields = [s.fields() for s in inside]
        return [f for s in observed for f in s.fields()]

    def _check_sources(self, boxes) -> None:
        """Objectives read H from the curl of E, which holds only where no
        source writes H: keep them off a plane wave's plane."""
        from .sources import PlaneWave

        for source in self.sources:
            if isinstance(source, PlaneWave):
                for key in boxes:
                    z0, z1 = key[2]
                    if z0 <= source.plane <= z1:
                        raise ValueError(
                            f"an objective's plane or points reach the plane wave's plane "
                            f"(its magnetic cells at z index {source.plane}): move them at "
                            f"least one cell off it")

    def backward(self, regions, boxes, grads):
        import time

        sim = self.sim
        G = self._fold(boxes, grads)
        if G is None:
            return [torch.zeros_like(c.real) for f in self._regions_fields for c in f]
        source = _AdjointSource(sim, self.basis, self._adjoint_weights(G))
        inside = [_Spectra(sim, self.frequencies, r.monitor_ranges) for r in regions]
        k = getattr(sim.periodic, "k", None)
        start = time.perf_counter()
        self._run("adjoint", [source], inside, bloch=None if k is None or not k.any() else -k)
        self.timings["adjoint"] = time.perf_counter() - start
        nu = self.frequencies.to(sim.device)
        s2 = 4 * torch.sin(math.pi * nu * sim.dt) ** 2
        out = []
        for region, forward, adjoint in zip(regions, self._regions_fields, inside):
            factor = (s2 * region.permittivity_change(self.frequencies).to(sim.device)) / sim.dt
            for c, (e, lam) in enumerate(zip(forward, adjoint.fields())):
                g = (factor * lam * e).real.sum(dim=(0, 5))  # [B1, X, Y, Z]
                sizes = [s.stop - s.start for s in region.nodes[c]]
                g = g[:, :sizes[0], :sizes[1], :sizes[2]].clone()
                for a in region.periodic:
                    if region.nodes[c][a].stop == sim.shape[a]:
                        g.select(1 + a, g.size(1 + a) - 1).zero_()
                out.append(g.float())
        return out

    def _fold(self, boxes, grads):
        """The gradients of the monitored spectra on whole-field tensors per
        component, [B0, B1, *field, F] complex128, each copy of a periodic
        plane folded onto the plane that is stepped; None if all are zero."""
        sim = self.sim
        F = len(self.frequencies)
        fields = (sim.Ex, sim.Ey, sim.Ez)
        G = [None] * 3
        for n, ranges in enumerate(boxes):
            for c in range(3):
                g = grads[3 * n + c]
                if g is None:
                    continue
                if G[c] is None:
                    G[c] = torch.zeros(*fields[c].shape[:5], F, dtype=torch.complex128,
                                       device=sim.device)
                where = []
                for a, (lo, hi) in enumerate(ranges):
                    where.append(slice(lo, hi + 1 if a == c else hi + 2))
                G[c][(slice(None), slice(None)) + tuple(where)] += g
        if all(g is None for g in G):
            return None
        if sim.periodic is not None:
            k = sim.periodic.k.to(sim.device)
            for a in sim.periodic_axes():
                phase = torch.polar(torch.ones_like(k[:, a]), k[:, a] * sim.periodic.periods[a])
                phase = phase.view(-1, *[1] * 5)
                for c, g in enumerate(G):
                    if g is None:
                        continue
                    d = 2 + a
                    N = g.size(d) - 1 if a != c else g.size(d)
                    if a != c:  # node axis: ghosts 0 and N are copies of N-1 and 1
                        g.narrow(d, N - 1, 1).add_(g.narrow(d, 0, 1) * phase)
                        g.narrow(d, 1, 1).add_(g.narrow(d, N, 1) * phase.conj())
                        g.narrow(d, N, 1).zero_()
                    else:       # cell axis: cell 0 is cell N-1 again
                        g.narrow(d, N - 1, 1).add_(g.narrow(d, 0, 1) * phase)
                    g.narrow(d, 0, 1).zero_()
        return G

    def _basis(self):
        """The adjoint source's waveforms [steps, K] (K carriers: a cosine
        and a sine per frequency for real fields, one complex exponential
        for complex ones) and the matrix that turns the wanted spectra at
        the frequencies into their weights."""
        sim = self.sim
        dt, steps = sim.dt, self.steps
        omega = 2 * math.pi * self.frequencies
        # One Gaussian window for all carriers, as long as the run allows
        # (over its first half, the second left for the fields to die away):
        # the narrower its spectrum, the less it excites besides the
        # objective's frequencies, and neighbouring ones stay apart.
        tau = steps * dt / 20
        t0 = 5.0 * tau
        if tau * float(omega.min()) < 2.0:
            raise ValueError(f"a run of {steps * dt:.3g} time units is too short for the "
                             f"adjoint source at frequency {float(self.frequencies.min()):g}: "
                             f"run at least {40 / float(omega.min()):.3g}")
        t = torch.arange(steps, dtype=torch.float64) * dt
        window = torch.exp(-0.5 * ((t - t0) / tau) ** 2)
        if sim.b2 == 1:
            basis = torch.cat([window[:, None] * torch.cos(omega[None] * t[:, None]),
                               window[:, None] * torch.sin(omega[None] * t[:, None])], 1)
        else:
            basis = window[:, None] * torch.exp(-1j * omega[None] * t[:, None])
        u = torch.exp(1j * omega[None] * t[:, None])       # [steps, F]
        M = u.T @ basis.to(torch.complex128)                 # [F, K]: spectra of the basis
        square = torch.cat([M.real, M.imag]) if sim.b2 == 1 else M   # [2F, 2F] or [F, F]
        if float(torch.linalg.cond(square)) > 1e4:
            raise ValueError(f"a run of {steps * dt:.3g} time units is too short to tell the "
                             "frequencies apart in the adjoint source: run longer")
        table = basis.to(torch.complex64) if sim.b2 == 2 else basis.float()
        return table.to(sim.device), torch.linalg.inv(square).to(sim.device)

    def _adjoint_weights(self, G):
        """Per component with a source: (field name, slices, weights [B0,
        B1, X, Y, Z, K], plane-0 copies)."""
        sim = self.sim
        solve = self.solve
        omega = 2 * math.pi * self.frequencies
        dt = sim.dt
        uu = torch.exp(1j * omega * dt).to(sim.device)
        dens = sim.permittivity()
        names = ("Ex", "Ey", "Ez")
        boxes = []
        for c, g in enumerate(G):
            if g is None or not bool(g.abs().amax() > 0):
                continue
            nz = (g.abs().amax(dim=(0, 1, 5)) > 0).nonzero()
            lo, hi = nz.min(0).values.tolist(), nz.max(0).values.tolist()
            where = tuple(slice(a, b + 1) for a, b in zip(lo, hi))
            g = g[(slice(None), slice(None)) + where]
            den = torch.nn.functional.pad(dens[c], (0, 1, 0, 1, 0, 1), value=1.0)
            den = den[(slice(None),) + where].to(torch.float64)[None, ..., None]
            self._check_plain(c, where)
            target = g.conj() / ((1 - uu) * den)             # [B0, B1, X, Y, Z, F]
            if sim.b2 == 1:
                rhs = torch.cat([target.real, target.imag], -1)
                weights = (rhs @ solve.T).float()
            else:
                weights = (target @ solve.T).to(torch.complex64)
            copies = []
            if sim.periodic is not None and c in sim.periodic_axes() \
                    and hi[c] == sim.shape[c] - 1:
                a = c
                k = sim.periodic.k[:, a].to(sim.device)
                copies.append((a, torch.polar(torch.ones_like(k), k * sim.periodic.periods[a])
                               .to(torch.complex64)))
            boxes.append((names[c], where, weights, copies))
        return boxes

    def _check_plain(self, component: int, where) -> None:
        """The adjoint source enters as an increment of the field, which
        equals a current only where no pole acts on the node."""
        medium = self.sim.medium
        if medium is None:
            return
        w, id1, id2 = (g[(slice(None),) + tuple(slice(s.start, min(s.stop, n))
                                                 for s, n in zip(where, g.shape[1:]))]
                       for g in medium.grids[component])
        poles = medium.tables.rec_b.abs() > 0
        if bool(((poles[id1.long()] & (w > 0)) | (poles[id2.long()] & (w < 1))).any()):
            raise ValueError("an objective's nodes lie in a dispersive material: keep objectives "
                             "in plain dielectrics")


class _Adjoint(torch.autograd.Function):
    @staticmethod
    def forward(ctx, design, regions, boxes, *weights):
        ctx.design, ctx.regions, ctx.boxes = design, regions, boxes
        ctx.shapes = [w.shape for w in weights]
        return tuple(design.forward(regions, boxes, weights))

    @staticmethod
    def backward(ctx, *grads):
        out = ctx.design.backward(ctx.regions, ctx.boxes, grads)
        shaped = []
        for g, shape in zip(out, ctx.shapes):
            if shape[0] == 1 and g.shape[0] != 1:
                g = g.sum(0, keepdim=True)
            shaped.append(g)
        return (None, None, None, *shaped)
