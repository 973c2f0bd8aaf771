"""Waveguide ports: mode sources and mode amplitudes, from which
``s_parameters`` makes S-parameters.

A port is a rectangle across a waveguide, on a plane of electric nodes
normal to an axis a, with its inward direction (into the device) along +a
or -a. The guide's modes on the rectangle come from ``modes.solve_modes``
on the simulation's own smoothed permittivity and discretisation, with
conducting edges at the rectangle's sides, so the launched mode is the
grid's own.

The source is a total-field/scattered-field plane at the port's node n:
the electric nodes from n inward hold the total field. It goes through the
module's plane injection on a view of the fields with the axes turned
cyclically ((b, c, a) as (x, y, z)), with the mode's transverse E and H as
the profiles (H half a cell outside the plane, with that half cell's phase).
The mode changes across a pulse's band, and a mode injected with the
carrier's profiles alone sends a few per cent of its power the wrong way at
the band's edges; so the source also injects the profiles' slope in ω,
driven by the transform of (ω - ω0)·F(ω): the incident wave is the mode's
at each frequency to first order in ω - ω0.

The monitor, ``monitor_offset`` cells inward of the source, records E and
H on the rectangle (a ``FluxRectangle``) and splits them into the mode's
two directions by overlaps with the mode at each frequency: with the
forward mode (E_m, H_m) and the backward one (E_m, -H_m) (transverse parts,
H averaged onto the plane as the monitor does),

    a± = ½ (A / P ± B / P*),   A = ∫ E × H_m*,  B = ∫ E_m* × H,  P = ∫ E_m × H_m*

(normal components). S-parameters are outgoing over incoming amplitudes at
the monitors' planes (``s_parameters``).

Across the port the cells may differ (a non-uniform b or c axis): the
modes are solved on the rectangle's own cell lengths, the integrals weigh
each point by its area as a flux rectangle does (its cell across a half
position, half of each cell beside it across a node), and the injection
needs nothing more, its coefficients being those of the normal axis. The
normal axis needs one spacing: the grid's mode is a wave of one dz.
"""
from __future__ import annotations

import math
from typing import Sequence

import torch

from ..core.descriptions import recorded, settled
from ..core.steptables import StepTable
from ..grid import positions
from ..grid.arguments import (count, frequencies as checked_frequencies,
                              waveform as checked_waveform)
from ..grid.rectilinear import span_lengths
from ..monitors.flux import FluxRectangle, _turned
from ..sources.waveforms import Waveform, band_edge, gaussian, slot_factor

C64 = torch.complex64


def _pad(t: torch.Tensor, dim: int) -> torch.Tensor:
    """``t`` with one zero row appended along ``dim``: the node on a
    conducting edge, where the normal H of a guided mode vanishes."""
    shape = list(t.shape)
    shape[dim] = 1
    return torch.cat([t, t.new_zeros(shape)], dim)


def rectangle_section(sim, a: int, node: int, lo, hi):
    """The permittivities of the rectangle lo .. hi (normal to ``a``) on
    the cross-section at ``node``, the cross-section, and the couplings
    (the off-diagonal entries of the inverse permittivity between E_b and
    E_c) moved to the rectangle's corner, ``solve_modes``' form; None
    without. The cross-section's spacing along an axis of unequal cells
    is the rectangle's cell lengths there."""
    from .cross_section import plane_permittivity

    b, c = (a + 1) % 3, (a + 2) % 3
    b0, b1, c0, c1 = lo[b], hi[b], lo[c], hi[c]
    cs = plane_permittivity(sim, a, node)
    eps = (cs.eps[0][b0:b1, c0:c1 + 1], cs.eps[1][b0:b1 + 1, c0:c1],
           cs.eps[2][b0:b1 + 1, c0:c1 + 1])
    cs = cs._replace(spacing=tuple(h if isinstance(h, float) else h[first:last]
                                   for h, first, last in zip(cs.spacing, (b0, c0), (b1, c1))))
    couplings = None
    if cs.couplings is not None:  # moved to the rectangle's corner
        ex, ey, value = cs.couplings
        corner = torch.tensor([b0, c0])
        couplings = (ex - corner, ey - corner, value)
    return eps, cs, couplings


def rectangle_modes(sim, a: int, node: int, lo, hi, frequencies, count: int):
    """The modes of the rectangle lo .. hi (normal to ``a``) on the
    cross-section at ``node``, its permittivities and its couplings
    (``rectangle_section``)."""
    from .modes import solve_modes

    eps, cs, couplings = rectangle_section(sim, a, node, lo, hi)
    return solve_modes(eps, cs.spacing, frequencies, count=count, dz=cs.dz, dt=cs.dt,
                       couplings=couplings), eps, couplings


def _coupled(Hb, Hc, Db, Dc, couplings):
    """Hb - K_cb Dc and Hc - K_bc Db: the couplings between E_b nodes
    ([nb, nc+1], where Dc lies) and E_c nodes ([nb+1, nc], where Db lies)
    that fall inside the profiles."""
    ex, ey, value = (t.cpu() for t in couplings)
    ok = ((ex[:, 0] >= 0) & (ex[:, 0] < Dc.shape[0]) & (ex[:, 1] >= 0) & (ex[:, 1] < Dc.shape[1])
          & (ey[:, 0] >= 0) & (ey[:, 0] < Db.shape[0]) & (ey[:, 1] >= 0)
          & (ey[:, 1] < Db.shape[1]))
    ex, ey, value = ex[ok], ey[ok], value[ok].to(Db.dtype)
    Hb, Hc = Hb.clone(), Hc.clone()
    Hb.index_put_((ey[:, 0], ey[:, 1]), -value * Dc[ex[:, 0], ex[:, 1]], accumulate=True)
    Hc.index_put_((ex[:, 0], ex[:, 1]), -value * Db[ey[:, 0], ey[:, 1]], accumulate=True)
    return Hb, Hc


def plane_mode(M, m):
    """Mode ``m``'s transverse E_b, E_c, H_b, H_c [F, ., .] on its plane,
    H averaged onto it as a monitor averages the cells either side (the
    solver's H lies half a cell inward, with that half cell's phase).
    ``m``: one index, or one per frequency [F]."""
    F = M.neff.shape[0]
    f, m = torch.arange(F), torch.as_tensor(m, dtype=torch.long).expand(F)
    beta = M.beta[f, m]
    back = torch.exp(-0.5j * beta * M.dz) * torch.cos(0.5 * beta * M.dz)
    return (M.Ex[f, m], M.Ey[f, m], _pad(M.Hx[f, m], 1) * back[:, None, None],
            _pad(M.Hy[f, m], 2) * back[:, None, None])


POLARIZATIONS = (None, "TE", "TM")


def te_fraction(M, a: int) -> torch.Tensor:
    """The share of each mode's transverse electric energy [F, count] along
    the width of a port normal to ``a`` (0 or 1): the transverse direction
    parallel to the substrate, y for a port normal to x, x for one normal
    to y. In the turned frame (b, c, a) those are the solver's x and y."""
    return M.energy_fraction if a == 0 else 1 - M.energy_fraction


def pick_mode(M, rank: int, polarization, a: int) -> torch.Tensor:
    """Per frequency [F] (int64): the index in ``M`` of the ``rank``-th mode
    (0: of highest index) of ``polarization`` ("TE": more than half its
    transverse electric energy along the port's width, "TM": the others;
    None: every mode), or -1 where ``M`` holds fewer."""
    F, count = M.neff.shape
    if polarization is None:
        return torch.full((F,), rank if rank < count else -1, dtype=torch.long)
    te = te_fraction(M, a) > 0.5
    mine = te if polarization == "TE" else ~te
    hit = mine & (torch.cumsum(mine.long(), 1) - 1 == rank)
    return torch.where(hit.any(1), hit.long().argmax(1), torch.full((F,), -1, dtype=torch.long))


def cross(w1, e1, h1, w2, e2, h2):
    """∫ (E × H)·a over a plane's two sets of points (E_b with H_c at
    weights w1, E_c with H_b at w2)."""
    return (w1 * e1 * h1).sum((-2, -1)) - (w2 * e2 * h2).sum((-2, -1))


def rectangle_weights(nb: int, nc: int, spacing):
    """Area weights of a rectangle's two sets of points, [nb, nc + 1] and
    [nb + 1, nc]: midpoint along the half positions, trapezoid along the
    nodes; ``spacing`` is (h_a, h_b, h_c), h_b and h_c each one length or
    the rectangle's cell lengths along that axis ([nb], [nc]): a half
    position weighs its cell, a node half of each cell beside it, as a
    flux rectangle weighs them."""
    _, hb, hc = spacing

    def weights(cells, half, h):
        if not isinstance(h, torch.Tensor):
            h = torch.full((cells,), h, dtype=torch.float64)
        return span_lengths(h, half)

    return (torch.outer(weights(nb, True, hb), weights(nc, False, hc)),
            torch.outer(weights(nb, False, hb), weights(nc, True, hc)))


def mode_power_integral(Eb, Ec, Hb, Hc, spacing) -> torch.Tensor:
    """P = ∫ E_m × H_m* over the rectangle, [F]."""
    w1, w2 = rectangle_weights(Eb.shape[-2], Ec.shape[-1], spacing)
    return cross(w1, Eb, Hc.conj(), w2, Ec, Hb.conj())


def band_pulse(frequencies) -> Waveform:
    """A Gaussian pulse whose band covers ``frequencies``: its spectrum
    falls to about a tenth of its peak at their ends."""
    f = torch.as_tensor(frequencies, dtype=torch.float64)
    centre = 0.5 * float(f.max() + f.min())
    span = max(float(f.max() - f.min()), 0.1 * centre)
    width = 3.0 / (math.pi * span)
    return gaussian(5.0 * width, width, centre)


class ModePort:
    """A waveguide port: source and mode monitor of one guided mode on a
    rectangle across the guide.

    ``box``: the rectangle as a flat box in length units (the plane's
    coordinate shared by both corners), or ``nodes`` as indices; it spans
    the guide's cross-section with room for the mode's tails, clear of the
    layers. ``direction``: the inward direction, "+x" .. "-z", along the
    rectangle's normal. ``frequencies``: where the amplitudes are taken.
    ``waveform``: the source's pulse (complex; a real run carries its real
    part), by default one covering ``frequencies``; its carrier sets the
    frequency whose mode is launched. The source lights the batch entries
    of ``lit`` (b0 indices, all by default); ``s_parameters`` sets them.

    ``mode`` counts the modes of ``polarization`` from the one of highest
    index (0): with None every mode, in order of index; "TE" the modes with
    more than half their transverse electric energy (Σ ε|E|² over the
    rectangle) along the port's width, the transverse direction parallel to
    the substrate (y for a port normal to x, x for one normal to y), "TM"
    the others. Which mode that is may change across the band (where a TE
    and a TM mode cross): it is found at each frequency. A port normal to z
    has no such width: it takes polarization None only.

    The mode must be guided at every frequency the port solves for: its
    effective index above the cladding's, the highest index that the
    rectangle's edges carry (``cross_section.cladding_index``: for each
    edge not on a conducting or periodic face of the box, the index of the
    material along it, or of the slab mode of the layers it crosses). At or
    below it the solver's mode is one of the conducting rectangle, not of
    the guide, and the port refuses it, naming both indices. A rectangle
    whose edges all lie on such faces (a closed metal guide) has no
    cladding, and every mode counts.

    After construction: ``modes``, the modes solved on the monitor's plane
    at ``frequencies`` (those of higher index included), and ``index`` [F],
    the port's mode among them at each frequency.

    ``decimation``: the mode monitor sums every k steps
    (``monitors.frequency.Decimation``; None lets the sources' band choose,
    1 sums every step).
    """

    @recorded
    def __init__(self, sim, frequencies: Sequence[float], box=None, nodes=None,
                 direction="+x", mode: int = 0, waveform=None, monitor_offset: int = 2,
                 name: str | None = None, polarization: str | None = None,
                 decimation: int | None = None):
        what = name or "ModePort"
        if (box is None) == (nodes is None):
            raise ValueError(f"{what}: give the rectangle in length units (box=) or as nodes "
                             f"(nodes=)")
        if box is not None:
            nodes = positions.node_box(sim, box, what, flat=True)
        lo, hi = positions.check_nodes(sim, nodes, what, flat=True)
        a = next(t for t in range(3) if lo[t] == hi[t])
        # the grid's mode travels on one spacing; across, cells may differ
        positions.require_uniform(sim, f"{what} normal to {'xyz'[a]} (its mode travels along "
                                  f"that axis, on one spacing)", (a,))
        axis, sign = positions.direction(direction)
        if axis != a:
            raise ValueError(f"{what}: direction {direction!r} must lie along the rectangle's "
                             f"normal, {'xyz'[a]}")
        mode = count(mode, f"{what} mode", 0)
        if polarization not in POLARIZATIONS:
            raise ValueError(f"{what} polarization must be 'TE', 'TM' or None, got "
                             f"{polarization!r}")
        if polarization is not None and a == 2:
            raise ValueError(f"{what}: a port normal to z has no width along the substrate to "
                             f"tell TE from TM: give polarization=None and the mode's index")
        # the solver's unknowns: the transverse E between the conducting edges
        nb, nc = (hi[t] - lo[t] for t in ((a + 1) % 3, (a + 2) % 3))
        unknowns = nb * (nc - 1) + (nb - 1) * nc
        if mode >= unknowns:
            raise ValueError(f"{what} mode must be in 0 .. {unknowns - 1}: the rectangle's "
                             f"{nb} × {nc} cells hold {unknowns} transverse unknowns, as many "
                             f"modes as there are; got {mode}")
        self.name, self.axis, self.sign, self.mode = what, a, sign, mode
        self.polarization = polarization
        self.node = lo[a]
        self.lo, self.hi = lo, hi
        self._unknowns = unknowns
        # a port's mode exists at positive frequencies only
        self.frequencies = checked_frequencies(frequencies, what, sim.dt, positive=True)
        if waveform is not None:
            checked_waveform(waveform, what)
        self.waveform = waveform or band_pulse(self.frequencies)
        carrier = float(getattr(self.waveform, "frequency", 0.0))
        if carrier <= 0:
            raise ValueError(f"{what}: the waveform needs a carrier frequency (its "
                             f"``frequency``) whose mode to launch")
        monitor_node = self.node + sign * count(monitor_offset, f"{what} monitor_offset", None)
        mlo, mhi = list(lo), list(hi)
        mlo[a] = mhi[a] = monitor_node
        if sim.medium is None:
            raise ValueError(f"{what}: set the simulation's objects before its ports (the "
                             f"modes are those of its painted guide)")
        self.monitor = FluxRectangle(sim, self.frequencies, nodes=(mlo, mhi), what=what,
                                     decimation=decimation)
        self.modes, _, self.index, _ = self._guided_mode(sim, monitor_node, self.frequencies)
        step = 0.01 * carrier
        launch, eps, index, couplings = self._guided_mode(
            sim, self.node, [carrier - step, carrier, carrier + step])
        self._source_profiles(sim, launch, eps, index, carrier, 2 * math.pi * step, couplings)
        self.factor = slot_factor(sim)
        self.lit = torch.ones(sim.batch[0], dtype=torch.bool)
        self.dt = sim.dt

    def _cladding_edges(self, sim) -> tuple[bool, bool, bool, bool]:
        """Whether each edge of the rectangle (b low, b high, c low, c high)
        is cladding: not on a face of the box without absorbing layers (a
        conducting face, or a periodic one)."""
        a = self.axis
        shape = sim.placement.shape
        flags = []
        for t in ((a + 1) % 3, (a + 2) % 3):
            low, high = sim.faces[t]
            flags += [not (self.lo[t] == 0 and low == 0),
                      not (self.hi[t] == shape[t] and high == 0)]
        return tuple(flags)

    def _guided_mode(self, sim, node: int, frequencies):
        """The modes of the rectangle on the plane at ``node``, enough of
        them to hold the port's mode at each of ``frequencies``; its
        permittivities; the port's mode's index per frequency [F]; and the
        plane's couplings (``rectangle_section``). Refuses a mode that is not guided there."""
        from .cross_section import cladding_index
        from .modes import solve_modes

        a, what, rank = self.axis, self.name, self.mode
        eps, cs, couplings = rectangle_section(sim, a, node, self.lo, self.hi)
        clad = cladding_index(eps[2], cs.spacing, self._cladding_edges(sim), frequencies)
        n = rank + 1
        M = solve_modes(eps, cs.spacing, frequencies, count=n, dz=cs.dz, dt=cs.dt,
                        couplings=couplings)
        index = pick_mode(M, rank, self.polarization, a)
        # modes of the other polarisation come between: solve for more while
        # some frequency lacks the mode and the last one solved is guided
        while (index < 0).any() and n < self._unknowns and (
                clad is None or (M.neff[:, -1] > clad)[index < 0].any()):
            n = min(2 * n, self._unknowns)
            try:
                more = solve_modes(eps, cs.spacing, frequencies, count=n, dz=cs.dz, dt=cs.dt,
                                   couplings=couplings)
            except ValueError:  # fewer modes propagate: those found are all there are
                break
            M, index = more, pick_mode(more, rank, self.polarization, a)
        kind = f"{self.polarization} mode" if self.polarization else "mode"
        nu = M.frequencies
        for f in range(len(nu)):
            m = int(index[f])
            if m >= 0 and (clad is None or M.neff[f, m] > clad[f]):
                continue
            if clad is None:  # no cladding, and not that many modes of its kind
                raise ValueError(f"{what}: the rectangle holds no {kind} {rank} at frequency "
                                 f"{float(nu[f]):.6g}: it has {M.neff.shape[1]} modes")
            te = te_fraction(M, a)[f] > 0.5
            kept = [k for k in range(M.neff.shape[1]) if M.neff[f, k] > clad[f]
                    and (self.polarization is None or bool(te[k]) == (self.polarization == "TE"))]
            listed = ", ".join(f"{float(M.neff[f, k]):.4f}" for k in kept) or "none"
            if m >= 0:
                own = f"its n_eff {float(M.neff[f, m]):.4f} is at or below"
            elif M.neff[f, -1] <= clad[f]:
                own = (f"its n_eff lies below {float(M.neff[f, -1]):.4f}, the lowest of the "
                       f"{M.neff.shape[1]} modes solved, and so below")
            else:  # the modes past those solved do not propagate at all
                own = "no such mode propagates, let alone above"
            raise ValueError(f"{what}: {kind} {rank} is not guided at frequency "
                             f"{float(nu[f]):.6g}: {own} the cladding index "
                             f"{float(clad[f]):.4f} (the highest index the rectangle's edges "
                             f"carry); the guided {kind}s there have n_eff {listed}. Ask for "
                             f"one of those, or widen the rectangle if the mode's tails reach "
                             f"its edges")
        return M, eps, index, couplings

    def _source_profiles(self, sim, launch, eps, index, carrier: float, step: float,
                         couplings=None) -> None:
        """The injection's profiles [B0, ., ., 1]: the incident E on the
        plane and H half a cell outside it, of the mode at the carrier ω0 and
        their slope in ω there (from the modes at ω0 ± ``step``), so that
        the pulse's spectrum F(ω) meets the mode at each ω to first order in
        ω - ω0. The electric increments enter after the update's division by
        the permittivity, so their profiles carry that division; where the
        plane has off-diagonal couplings (``couplings``) they are the
        increments of D taken through the whole K, as the anisotropic pass
        takes the curl's: E_b's increment goes with -H_c and E_c's with
        +H_b, so each one's coupling to the other enters with a minus."""
        dz = sim.spacing[self.axis]
        self.omega0 = 2 * math.pi * carrier
        sets = []
        for f in range(3):  # ω0 - step, ω0, ω0 + step
            m = int(index[f])
            beta = launch.beta[f, m]
            # the solver's H sits half a cell inward (+a) with that half
            # cell's phase; the forward wave half a cell outward has the
            # phase exp(-iβ dz/2): exp(-iβ dz) from the solver's
            outward = torch.exp(-1j * beta * dz)
            Eb, Ec = launch.Ex[f, m], launch.Ey[f, m]
            Db = outward * _pad(launch.Hx[f, m], 0)  # at E_c's nodes
            Dc = outward * _pad(launch.Hy[f, m], 1)  # at E_b's nodes
            Hb, Hc = Db / eps[1], Dc / eps[0]
            if couplings is not None:
                Hb, Hc = _coupled(Hb, Hc, Db, Dc, couplings)
            # inward along -a: the same E and H reversed; the H half a cell
            # outside (at +1/2) has the same phase, and the injection's
            # signs for a face on that side flip every profile
            sets.append((Eb, Ec, Hb, Hc) if self.sign > 0 else (-Eb, -Ec, Hb, Hc))
        B0 = sim.batch[0]

        def profile(t):
            return t.to(C64).to(sim.device)[None, :, :, None].expand(B0, -1, -1, 1).contiguous()

        # The part of the rectangle this part of the box holds (on slabs:
        # the views start where the slab does, and the first row a view
        # leaves out is a node the halo exchange fills), and the plane's
        # electric nodes and magnetic cells there, or None.
        place, a = sim.placement, self.axis
        b, c = (a + 1) % 3, (a + 2) % 3
        spans = []
        for t in (b, c):
            start, stop = place.start_stop(t)
            w0, w1 = max(self.lo[t], start), min(self.hi[t], stop)
            spans.append((w0 - start, w1 - w0, w0 - self.lo[t]))
        start = place.start_stop(a)[0]
        cells = sim.shape[a]
        e_node = self.node - start
        h_cell = (self.node - 1 if self.sign > 0 else self.node) - start
        (fb, nb, ob), (fc, nc, oc) = spans
        self.local = None
        if nb > 0 and nc > 0:
            self.local = dict(first=(fb, fc), size=(nb, nc),
                              e_k=e_node - 1 if 0 <= e_node <= cells else None,
                              h_k=h_cell if 0 <= h_cell < cells else None)

        def part(t, half_b):  # the window of a (half, node) or (node, half) profile
            rows, cols = (nb, nc + 1) if half_b else (nb + 1, nc)
            return profile(t[ob:ob + rows, oc:oc + cols])

        # E_b, E_c, H_b, H_c at ω0, then their slopes per unit ω
        halves = (True, False, False, True)
        self.profiles = [part(p, h) for p, h in zip(sets[1], halves)]
        self.slopes = [part((hi - lo) / (2 * step), h)
                       for lo, hi, h in zip(sets[0], sets[2], halves)]
        self.margins = torch.zeros(2, dtype=torch.int32)

    def _views(self, fields, first_b, first_c, lengths):
        """The turned fields (E_b, E_c or H_b, H_c) narrowed to the rectangle."""
        a = self.axis
        b, c = (a + 1) % 3, (a + 2) % 3
        out = []
        for f, (nb, nc) in zip((fields[b], fields[c]), lengths):
            t = _turned(f, a)
            out.append(t.narrow(2, first_b, nb).narrow(3, first_c, nc))
        return out

    @property
    def lit(self) -> torch.Tensor:
        """[B0] bool: the batch entries the source lights (set it whole to
        change them; ``s_parameters`` does)."""
        return self._lit

    @lit.setter
    def lit(self, value) -> None:
        self._lit = torch.as_tensor(value, dtype=torch.bool).clone()
        if getattr(self, "_steps", None) is not None:
            self._steps.invalidate()

    def band(self) -> float | None:
        """The highest frequency of the source's spectrum (its waveform's
        ``band_edge``; the slope's drive (ω - ω0)·F(ω) has F's band), or
        None where the waveform does not say."""
        from ..monitors.frequency import SPECTRUM_FLOOR

        return band_edge(self.waveform, SPECTRUM_FLOOR)

    def _amplitudes(self, steps: torch.Tensor) -> torch.Tensor:
        """[m, 2, 2, B0, 1] (complex64): for each step n, at n·dt (for the
        magnetic injection) and at (n + 1/2)·dt (the electric one), the pulse
        f and the transform of (ω - ω0)·F(ω), which is i f'(t) - ω0 f(t) (the
        derivative across a hundredth of a step), in the lit batch
        entries."""
        f, dt = self.waveform, self.dt
        h = 0.01 * dt
        rows = []
        for n in steps.tolist():
            for t in (n * dt, n * dt + 0.5 * dt):
                value = complex(f(t))
                weighted = (1j * (complex(f(t + h)) - complex(f(t - h))) / (2 * h)
                            - self.omega0 * value)
                rows.append((value * self.factor, weighted * self.factor))
        values = torch.tensor(rows, dtype=torch.complex64).reshape(len(steps), 2, 2, 1, 1)
        return values * self._lit.reshape(1, 1, 1, -1, 1)

    def _table(self, sim) -> StepTable:
        if getattr(self, "_steps", None) is None:
            self._steps = StepTable(self._amplitudes, sim.device)
        return self._steps

    def prepare_steps(self, sim, first: int, count: int) -> None:
        self._table(sim).fill(first, count)
        self.monitor.prepare_steps(sim, first, count)

    @property
    def period(self) -> int:
        """Steps after which the mode monitor's pattern of sums repeats."""
        return self.monitor.period

    def settle(self, sim) -> None:
        """Choose the decimation of the mode monitor for the run that starts."""
        settled(self, "__init__", decimation=self.monitor.sampling.settle(sim))

    def after_h(self, sim) -> None:
        # the magnetic cells half a cell outside the plane miss the incident
        # E on it, at n·dt
        if self.local is None or self.local["h_k"] is None:
            return
        (fb, fc), (nb, nc) = self.local["first"], self.local["size"]
        hb, hc = self._views((sim.Hx, sim.Hy, sim.Hz), fb, fc, ((nb, nc), (nb, nc)))
        for amp, (eb, ec, _, _) in zip(self._table(sim).at(sim.steps_done)[0],
                                       (self.profiles, self.slopes)):
            sim.module.Inject_H(hb, hc, sim.ch[self.axis], amp, amp, eb, ec, self.margins,
                                self.local["h_k"])

    def after_e(self, sim) -> None:
        # the electric nodes on the plane miss the incident H half a cell
        # outside, at (n + 1/2)·dt
        if self.local is None or self.local["e_k"] is None:
            return
        (fb, fc), (nb, nc) = self.local["first"], self.local["size"]
        eb, ec = self._views((sim.Ex, sim.Ey, sim.Ez), fb, fc, ((nb, nc + 1), (nb + 1, nc)))
        for amp, (_, _, hb, hc) in zip(self._table(sim).at(sim.steps_done)[1],
                                       (self.profiles, self.slopes)):
            sim.module.Inject_E(eb, ec, sim.ce[self.axis], amp, amp, hb, hc, self.margins,
                                self.local["e_k"])

    def update(self, sim) -> None:
        self.monitor.update(sim)

    def plot_modes(self, count=None, frequency=None):
        """A picture of the port's modes on its rectangle, one panel each
        with its n_eff: the transverse component each mostly lies along,
        |E| over its largest; returns the matplotlib Figure. ``count``: the
        first so many of the modes the port solved for (its mode and those
        above it, all by default); ``frequency``: one of the port's (the one
        nearest its pulse's carrier by default)."""
        from ..plotting import plot_port_modes

        return plot_port_modes(self, count=count, frequency=frequency)

    def amplitudes(self) -> tuple[torch.Tensor, torch.Tensor]:
        """(inward, outward) amplitudes of the mode at the monitor, [B0, B1, F]
        complex128 (inward: along the port's direction). On slabs each rank
        takes the overlaps over the part of the rectangle it owns and the
        sums are added up (a collective: every rank calls it)."""
        monitor = self.monitor
        Eb, Ec, Hb, Hc = plane_mode(self.modes, self.index)
        # the rectangle's cells, as the modes were solved on them
        P = mode_power_integral(Eb, Ec, Hb, Hc, (monitor.spacing[0], *self.modes.spacing))
        s = monitor.spectra()
        if s is None:
            B0, B1 = monitor.batch
            A = torch.zeros(B0, B1, len(self.frequencies), dtype=torch.complex128,
                            device=monitor.device)
            B = torch.zeros_like(A)
        else:
            # the part of the mode at the points this part owns (a last node
            # it leaves out, a neighbour's or on a conducting face, too)
            a = self.axis
            lo_b, lo_c = self.lo[(a + 1) % 3], self.lo[(a + 2) % 3]
            (h0b, h1b, drop_b), (h0c, h1c, drop_c) = monitor.spans
            ob, oc, hb, hc = h0b - lo_b, h0c - lo_c, h1b - h0b, h1c - h0c
            rb, rc = hb + (0 if drop_b else 1), hc + (0 if drop_c else 1)
            dev = s["Eb"].device
            Eb_, Hc_ = (t[:, ob:ob + hb, oc:oc + rc].to(dev) for t in (Eb, Hc))
            Ec_, Hb_ = (t[:, ob:ob + rb, oc:oc + hc].to(dev) for t in (Ec, Hb))
            eb, ec, hb_f, hc_f = (s[n].movedim(-1, 2) for n in ("Eb", "Ec", "Hb", "Hc"))
            w1, w2 = (monitor._points(k)[1].to(dev) for k in (0, 1))
            A = cross(w1, eb, Hc_.conj(), w2, ec, Hb_.conj())            # [B0, B1, F]
            B = cross(w1, Eb_.conj(), hc_f, w2, Ec_.conj(), hb_f)
        monitor.placement.sum([A, B])
        P = P.to(A.device)
        forward = 0.5 * (A / P + B / P.conj())
        backward = 0.5 * (A / P - B / P.conj())
        return (forward, backward) if self.sign > 0 else (backward, forward)
