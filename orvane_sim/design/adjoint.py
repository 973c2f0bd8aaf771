"""Inverse design: gradients of objectives of the frequency-domain fields
with respect to design densities, through torch.autograd, by the adjoint
method.

A ``DesignRegion`` (``region``) holds a density ρ in [0, 1] on its own grid
of pixels, painted over the objects. A ``Design`` runs the
simulation for given densities and returns the objectives (``objectives``):
differentiable functions of the electric spectra that it records on the
objectives' boxes of nodes.

Why the backward pass is one more run. In the frequency domain the stepped
scheme is exactly a linear system: with u = exp(iωΔt) and the Fourier sums
Ê of the monitors (over a run long enough that the fields have died away),

    A Ê = b,   A = (Δt²/μ0) CᵀC - 4 sin²(ωΔt/2) ε_d(ω),

C the discrete curl and ε_d the permittivity that each node's update
realises (``materials.discrete.discrete_permittivity``; a blend of two materials
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

On a box split into slabs the regions' weights and the spectra are the
whole box's on every rank (the spectra gathered), each rank paints and
injects the part it holds, and every rank computes the same gradient.
"""
from __future__ import annotations

import math
import time
import warnings
from typing import Callable, Mapping, Sequence

import torch
from tqdm.auto import tqdm

from ..core.steptables import StepTable
from ..grid.arguments import frequencies as checked_frequencies
from ..monitors.frequency import FrequencyMonitor, _slots
from .region import DesignRegion


class _Spectra:
    """The electric spectra on a box of cells (``FrequencyMonitor`` ranges),
    both slots of a complex run combined: complex128 [B0, B1, X, Y, Z, F]."""

    def __init__(self, sim, frequencies, ranges):
        x, y, z = ranges
        # every step: the gradient is that of the stepped scheme's own sums
        self.parts = [(FrequencyMonitor(sim, frequencies, x, y, z, slot=s, decimation=1), w)
                      for s, w in _slots(sim)]
        self.device = sim.device

    def update(self, sim) -> None:
        for monitor, _ in self.parts:
            monitor.update(sim)

    def prepare_steps(self, sim, first: int, count: int) -> None:
        for monitor, _ in self.parts:
            monitor.prepare_steps(sim, first, count)

    def fields(self) -> tuple[torch.Tensor, ...]:
        """The whole box's spectra, on every rank of a box split into slabs
        (a collective there)."""
        parts = [(m.gathered(), w) for m, w in self.parts]
        place = self.parts[0][0].placement
        if place.axis is not None:
            import torch.distributed as dist

            got = [parts]
            dist.broadcast_object_list(got, src=0)
            parts = got[0]
        device = self.device
        return tuple(sum(w * g[name].to(device, torch.complex128) for g, w in parts)
                     for name in ("Ex", "Ey", "Ez"))


class _AdjointSource:
    """Field increments q^n after each electric update at the nodes of a few
    boxes: q = Σ_k C_k basis_k(n), the weights C per node, the basis a table
    of waveforms over the run."""

    def __init__(self, basis: torch.Tensor, boxes):
        self.basis = basis
        self.boxes = boxes
        self._rows = StepTable(self._basis_rows, basis.device)

    def _basis_rows(self, steps: torch.Tensor) -> torch.Tensor:
        """The basis at ``steps`` (consecutive), zero past the run it was made
        for; sliced where it lies, with nothing sent from the host."""
        first, count = int(steps[0]), len(steps)
        stop = min(first + count, len(self.basis))
        out = self.basis.new_zeros(count, self.basis.shape[1])
        if stop > first:
            out[:stop - first] = self.basis[first:stop]
        return out

    def after_h(self, sim) -> None:
        pass

    def prepare_steps(self, sim, first: int, count: int) -> None:
        self._rows.fill(first, count)

    def after_e(self, sim) -> None:
        b = self._rows.at(sim.steps_done)
        for field_name, where, weights in self.boxes:
            q = weights @ b  # [B0, B1, X, Y, Z]
            view = getattr(sim, field_name)[(slice(None), slice(None)) + tuple(where)]
            if sim.b2 == 1:
                view[..., 0] += q
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
    every run; ``frequencies``: the frequencies the objectives are read at;
    ``steps`` or ``until`` (in time units): the run's length, long enough
    for the fields to die away (the gradient is exact for the stepped
    scheme only then; a run that ends with more than ``decay`` of its peak
    energy left is warned about); ``progress``: True shows a bar per run,
    False hides it, None shows it when standard error is a terminal. The
    simulation is the design's to run: after a call it holds the last run's
    fields.
    """

    def __init__(self, sim, sources: Callable, frequencies: Sequence[float], steps=None,
                 until=None, decay: float = 1e-5, progress: bool | None = None):
        if not callable(sources):
            raise TypeError("Design sources must be a function of the simulation that builds "
                            "its sources (each run starts them afresh)")
        if (steps is None) == (until is None):
            raise ValueError("give the Design's run length as steps or until")
        self.sim = sim
        self.build_sources = sources
        self.frequencies = checked_frequencies(frequencies, "Design", sim.dt, positive=True)
        length = float(steps if steps is not None else until)
        if not math.isfinite(length) or length <= 0:
            raise ValueError(f"the Design's run length must be positive and finite, got "
                             f"{'steps' if steps is not None else 'until'} = {length:g}")
        self.steps = int(steps) if steps is not None else math.ceil(until / sim.dt - 1e-9)
        self.progress = progress
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
        spectra = _Adjoint.apply(self, regions, boxes, list(objectives), *weights)
        fields = {key: spectra[3 * n:3 * n + 3] for n, key in enumerate(boxes)}
        return tuple(o.value([fields[_boxes_key(r)] for r in o.boxes], self)
                     for o in objectives)

    @staticmethod
    def _check_overlap(regions) -> None:
        # closed boxes: two that touch share the nodes of a face
        for n, r in enumerate(regions):
            for s in regions[:n]:
                if all(r.first[a] <= s.last[a] and s.first[a] <= r.last[a] for a in range(3)):
                    raise ValueError("design regions must not overlap or touch (their nodes "
                                     "would be shared)")

    # -- the runs --------------------------------------------------------

    def _run(self, what: str, features, monitors, bloch=None) -> None:
        sim = self.sim
        saved = sim.sources, sim.monitors
        try:
            if bloch is not None:
                sim.set_bloch(bloch)
            sim.reset()
            sim.sources = [f for f in features if hasattr(f, "after_e")]
            sim.monitors = [f for f in features if hasattr(f, "update")] + list(monitors)
            peak, chunk = 0.0, max(1, self.steps // 20)
            done = 0
            with tqdm(total=self.steps, unit="step", desc=what, leave=False,
                      disable=None if self.progress is None else not self.progress) as bar:
                while done < self.steps:
                    n = min(chunk, self.steps - done)
                    sim.step(n)
                    done += n
                    bar.update(n)
                    energy = sim.energy()
                    if not math.isfinite(energy):
                        raise FloatingPointError(f"the {what} run's fields turned non-finite by "
                                                 f"step {done}")
                    peak = max(peak, energy)
            if peak > 0 and energy > self.decay * peak:
                warnings.warn(f"the {what} run's fields still hold {energy / peak:.1e} of "
                              f"their peak energy when it ends after {self.steps} steps: "
                              "gradients are "
                              "exact only for fields that have died away; run longer",
                              RuntimeWarning, stacklevel=4)
        finally:
            sim.sources, sim.monitors = saved
            if bloch is not None:
                sim.set_bloch(-bloch)

    def forward(self, regions, boxes, objectives, weights):
        sim = self.sim
        per_region = [weights[3 * n:3 * n + 3] for n in range(len(regions))]
        sim.paint_designs(list(zip(regions, per_region)))
        # on the painted materials, but before the run is paid for
        self._check_plain(self._fold(boxes, self._read_nodes(objectives, boxes)))
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
        from ..sources.plane_wave import PlaneWave

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
        sim = self.sim
        G = self._fold(boxes, grads)
        if G is None:  # no objective depends on the spectra: nothing to run
            return [None] * (3 * len(regions))
        source = _AdjointSource(self.basis, self._adjoint_weights(G))
        inside = [_Spectra(sim, self.frequencies, r.monitor_ranges) for r in regions]
        k = self._bloch()
        start = time.perf_counter()
        self._run("adjoint", [source], inside, bloch=None if k is None or not k.any() else -k)
        self.timings["adjoint"] = time.perf_counter() - start
        nu = self.frequencies.to(sim.device)
        s2 = 4 * torch.sin(math.pi * nu * sim.dt) ** 2
        box = sim.placement.shape
        out = []
        for region, forward, adjoint in zip(regions, self._regions_fields, inside):
            factor = (s2 * region.permittivity_change(self.frequencies).to(sim.device)) / sim.dt
            for c, (e, lam) in enumerate(zip(forward, adjoint.fields())):
                g = (factor * lam * e).real.sum(dim=(0, 5))  # [B1, X, Y, Z]
                sizes = [s.stop - s.start for s in region.nodes[c]]
                g = g[:, :sizes[0], :sizes[1], :sizes[2]].clone()
                if self._volumes is not None:  # λ = W Ã⁻¹ conj(G)
                    g *= self._volumes[c][region.nodes[c]][None]
                for a in region.periodic:
                    if region.nodes[c][a].stop == box[a]:
                        g.select(1 + a, g.size(1 + a) - 1).zero_()
                out.append(g.float())
        return out

    def _bloch(self):
        """The Bloch vectors [B0, 2] of a periodic box, None otherwise."""
        return getattr(self.sim.periodic, "k", None)

    def _fold(self, boxes, grads):
        """The gradients of the monitored spectra on whole-box tensors per
        component, [B0, B1, *field, F] complex128, each copy of a periodic
        plane folded onto the plane that is stepped; None if all are zero."""
        sim = self.sim
        F = len(self.frequencies)
        G = [None] * 3
        for n, ranges in enumerate(boxes):
            for c in range(3):
                g = grads[3 * n + c]
                if g is None:
                    continue
                if G[c] is None:
                    G[c] = torch.zeros(*sim.batch, *self._field_shape(c), F,
                                       dtype=torch.complex128, device=sim.device)
                where = []
                for a, (lo, hi) in enumerate(ranges):
                    where.append(slice(lo, hi + 1 if a == c else hi + 2))
                G[c][(slice(None), slice(None)) + tuple(where)] += g
        if all(g is None for g in G):
            return None
        for a, phase in self._seam_phases():
            d = 2 + a
            for c, g in enumerate(G):
                if g is None:
                    continue
                N = g.size(d) - 1 if a != c else g.size(d)
                if a != c:  # node axis: ghosts 0 and N are copies of N-1 and 1
                    g.narrow(d, N - 1, 1).add_(g.narrow(d, 0, 1) * phase)
                    g.narrow(d, 1, 1).add_(g.narrow(d, N, 1) * phase.conj())
                    g.narrow(d, N, 1).zero_()
                    g.narrow(d, 0, 1).zero_()
                else:
                    # cell axis: cell 0 is cell N-1 again, stepped twice; the
                    # source goes on both copies, as the adjoint field (with
                    # -k) has them: its spectrum at cell 0 is conj(phase)
                    # times cell N-1's, the permittivities being equal
                    g.narrow(d, N - 1, 1).add_(g.narrow(d, 0, 1) * phase)
                    g.narrow(d, 0, 1).copy_(g.narrow(d, N - 1, 1) * phase.conj())
        return G

    @property
    def _volumes(self):
        """Per electric component, each node's volume over the largest
        (float64 [X, Y, Z], whole box), on a box of unequal cells; None on
        one of equal cells, where they are all one and the arithmetic stays
        as it was. There the stepped system is A = W⁻¹ Ã with Ã symmetric
        (the curls are each other's transposes in the volume-weighted
        product), so the λ of dL/dw solves λ = W Ã⁻¹ conj(G): the adjoint
        run, which solves A λ' = s, takes the source W⁻¹ conj(G), and its
        field is multiplied by W at the design's nodes."""
        sim = self.sim
        if sim.is_uniform():
            return None
        if getattr(self, "_volume_cache", None) is None:
            from ..grid.rectilinear import sample_volumes

            volumes = [sample_volumes(sim.grid, c, False, self._field_shape(c)) for c in range(3)]
            # across a periodic axis the end nodes are whole nodes (node 0
            # is node N-1 again, node N node 1), not halves at a face
            for a in sim.periodic_axes():
                for c, v in enumerate(volumes):
                    if c != a:
                        for end in (0, v.size(a) - 1):
                            v.narrow(a, end, 1).mul_(2.0)
            top = max(float(v.max()) for v in volumes)
            self._volume_cache = [(v / top).to(sim.device) for v in volumes]
        return self._volume_cache

    def _field_shape(self, c: int) -> tuple[int, int, int]:
        """The whole box's extent of electric component ``c``."""
        return tuple(n + (a != c) for a, n in enumerate(self.sim.placement.shape))

    def _seam_phases(self):
        """(axis, exp(i k P) [B0, 1, 1, 1, 1, 1]) per periodic axis, P the
        period."""
        sim = self.sim
        k = self._bloch()
        out = []
        for a in sim.periodic_axes():
            period = (sim.placement.shape[a] - 1) * sim.spacing[a]
            ka = torch.zeros(sim.batch[0], dtype=torch.float64) if k is None else k[:, a]
            ka = ka.to(sim.device)
            out.append((a, torch.polar(torch.ones_like(ka), ka * period).view(-1, *[1] * 5)))
        return out

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
        """Per component with a source here: (field name, slices of the
        local field, weights [B0, B1, X, Y, Z, K])."""
        sim, place = self.sim, self.sim.placement
        omega = 2 * math.pi * self.frequencies
        uu = torch.exp(1j * omega * sim.dt).to(sim.device)
        dens = sim.permittivity()
        names = ("Ex", "Ey", "Ez")
        boxes = []
        for c, g in enumerate(G):
            if g is None:
                continue
            # the part of the box the fields here hold (a slab's)
            held = [place.held(a, 0, n, nodes=a != c)
                    for a, n in enumerate(self._field_shape(c))]
            if any(h is None for h in held):
                continue
            g = g[(slice(None), slice(None)) + tuple(
                slice(lo + place.start_stop(a)[0], hi + place.start_stop(a)[0])
                for a, (lo, hi) in enumerate(held))]
            if not bool(g.abs().amax() > 0):
                continue
            nz = (g.abs().amax(dim=(0, 1, 5)) > 0).nonzero()
            lo, hi = nz.min(0).values.tolist(), nz.max(0).values.tolist()
            where = tuple(slice(a, b + 1) for a, b in zip(lo, hi))
            g = g[(slice(None), slice(None)) + where]
            den = torch.nn.functional.pad(dens[c], (0, 1, 0, 1, 0, 1), value=1.0)
            den = den[(slice(None),) + where].to(torch.float64)[None, ..., None]
            target = g.conj() / ((1 - uu) * den)             # [B0, B1, X, Y, Z, F]
            if self._volumes is not None:  # W⁻¹ conj(G): see ``_volumes``
                target = target / self._volumes[c][where][None, None, ..., None]
            if sim.b2 == 1:
                weights = (torch.cat([target.real, target.imag], -1) @ self.solve.T).float()
            else:
                weights = (target @ self.solve.T).to(torch.complex64)
            boxes.append((names[c], where, weights))
        return boxes

    def _read_nodes(self, objectives, boxes):
        """Per box and component, spectra [B0, B1, X, Y, Z, F] that are non-zero
        at the nodes some objective's value depends on (as ``_fold`` takes
        the gradients): the objectives' values of random spectra, differentiated.
        A box's bounds are not enough: two points either side of a small
        object have it between them."""
        sim, F = self.sim, len(self.frequencies)
        draw = torch.Generator().manual_seed(0)  # the caller's random state stays as it was
        probe = {}
        for ranges in boxes:
            probe[ranges] = [torch.randn(*sim.batch, *(hi - lo + (1 if a == c else 2)
                                                       for a, (lo, hi) in enumerate(ranges)),
                                         F, dtype=torch.complex128, generator=draw)
                             .to(sim.device).requires_grad_() for c in range(3)]
        with torch.enable_grad():
            total = sum(o.value([probe[_boxes_key(r)] for r in o.boxes], self).sum()
                        for o in objectives)
            inputs = [t for ranges in boxes for t in probe[ranges]]
            if not torch.is_tensor(total) or not total.requires_grad:
                return [None] * len(inputs)
            return torch.autograd.grad(total, inputs, allow_unused=True)

    def _check_plain(self, G) -> None:
        """The adjoint source enters as an increment of the field, which
        equals a current only where no pole acts on the node: refuse a node
        it would reach (``G``, as ``_fold`` gives it) that holds a pole
        material, on every rank alike."""
        sim, medium, place = self.sim, self.sim.medium, self.sim.placement
        if medium is None or G is None:
            return
        poles = medium.tables.rec_b.abs() > 0
        found = torch.zeros(1, device=sim.device)
        for c, g in enumerate(G):
            held = [place.held(a, 0, n, nodes=a != c) for a, n in enumerate(self._field_shape(c))]
            if g is None or any(h is None for h in held):
                continue
            g = g[(slice(None), slice(None)) + tuple(
                slice(lo + place.start_stop(a)[0], hi + place.start_stop(a)[0])
                for a, (lo, hi) in enumerate(held))]
            w, id1, id2 = medium.grids[c]
            # (the last node across the component lies on the box's face,
            # past the material grids: vacuum)
            reached = (g.abs().amax(dim=(0, 1, 5)) > 0)[:w.size(1), :w.size(2), :w.size(3)]
            pole = (poles[id1.long()] & (w > 0)) | (poles[id2.long()] & (w < 1))
            found += (pole & reached).any().float()
        place.sum([found])
        if bool(found > 0):
            raise ValueError("an objective's nodes lie in a dispersive material: keep objectives "
                             "in plain dielectrics")


class _Adjoint(torch.autograd.Function):
    @staticmethod
    def forward(ctx, design, regions, boxes, objectives, *weights):
        ctx.design, ctx.regions, ctx.boxes = design, regions, boxes
        ctx.shapes = [w.shape for w in weights]
        return tuple(design.forward(regions, boxes, objectives, weights))

    @staticmethod
    def backward(ctx, *grads):
        out = ctx.design.backward(ctx.regions, ctx.boxes, grads)
        shaped = []
        for g, shape in zip(out, ctx.shapes):
            if g is not None and shape[0] == 1 and g.shape[0] != 1:
                g = g.sum(0, keepdim=True)
            shaped.append(g)
        return (None, None, None, None, *shaped)
