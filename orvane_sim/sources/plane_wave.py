"""A plane wave travelling up z, entering across a z-plane: a
total-field / scattered-field boundary fed by the incident line
(``incident``). Timing and slots as for every source (``waveforms``)."""
from __future__ import annotations

from typing import Sequence

import torch

from ..core.descriptions import recorded
from ..grid import positions
from ..grid.arguments import (count, frequencies as checked_frequencies, sequence,
                              waveform as checked_waveform)
from ..grid.rectilinear import require_uniform
from .incident import LineDriven
from .waveforms import Waveform, slot_factor


class PlaneWave(LineDriven):
    """A plane wave travelling up z, entering across the z-plane ``plane``.

    A total-field / scattered-field boundary: the electric nodes at z index
    plane+1 and above hold the total field (incident wave included), the
    magnetic nodes at z index plane and below the scattered field only, so an
    empty box shows the wave above the plane and nothing below it. At normal
    incidence the incident field is E = polarization · f(t - (z - z1)/c)
    with z1 the height of electric node plane+1, and H = ẑ × E / η.

    ``k``: the transverse wave vector (kx, ky), one or one per b0; with
    Bloch-periodic x and y boundaries it must be theirs. With a fixed k a
    pulse's frequencies travel at their own angles, sin θ = c·|k|/ω.
    ``polarization``: tangential E direction, one (px, py) or one per b0.
    The incident fields come from an ``IncidentLine`` with the box's
    discretisation, so the scattered side stays empty to rounding; the
    line's record at the plane gives the incident flux (``incident_flux``).
    ``duration``: the run time the line is first sized for; it grows as the
    run goes on, so any run length is safe.

    ``margins`` (m_x, m_y) shrink the injected rectangle from the sides of the
    plane; with periodic x and y boundaries, keep them 0. The plane must lie
    outside the absorbing layers, in vacuum (a plane whose first total-field
    nodes lie in a material is refused, when the wave is built and before
    the first step after a new painting). ``plane`` and ``margins`` are
    the box's; a slab of a split box injects the part it holds.

    ``z``: the plane in length units instead of ``plane``: the height of the
    first total-field node (z1 above, where the wave is f(t)), snapped to
    the nearest node, so that ``plane`` is that node's index less one. A
    ``TotalFieldBox`` travelling +z with its low face at the same height
    starts its total field at the same node. Give one of ``plane`` and
    ``z``: ``PlaneWave(sim, waveform=pulse, z=0.6)``.
    """

    @recorded
    def __init__(self, sim, plane: int | None = None, waveform: Waveform | None = None,
                 polarization=(1.0, 0.0), margins: Sequence[int] = (0, 0), k=(0.0, 0.0),
                 duration: float | None = None, frequencies: Sequence[float] | None = None,
                 z: float | None = None):
        from .incident import IncidentLine, LineSpectra
        from ..core.periodic import wave_vectors

        if (plane is None) == (z is None):
            raise ValueError("give the PlaneWave's plane as an index (plane) or as the height "
                             "of its first total-field node (z=)")
        if waveform is None:
            raise ValueError("PlaneWave needs a waveform")
        checked_waveform(waveform, "PlaneWave")
        if frequencies is not None:
            checked_frequencies(frequencies, "PlaneWave", sim.dt)
        NX, NY, _ = sim.shape
        place = sim.placement
        NZ = place.shape[2]
        if z is not None:
            plane = positions.node(sim, 2, z, "PlaneWave z") - 1
            given = f"z = {float(z):g} (plane {plane})"
        else:
            plane = count(plane, "PlaneWave plane", None)
            given = f"plane {plane}"
        self._given = given
        # the first total-field node needs a magnetic cell below it, outside the layers
        below, above = sim.faces[2]
        low, high = below + 1, NZ - above - 1
        if not low <= plane + 1 <= high:
            problem = (f"lies in the z layers (planes 0 .. {below - 1} and {NZ - above} .. "
                       f"{NZ - 1})" if (below or above) and 0 <= plane < NZ - 1
                       else "needs a cell on each side")
            raise ValueError(f"PlaneWave {given} {problem}: keep the first total-field node "
                             f"within {positions.span(sim, 2, low, high)} (plane {low - 1} .. "
                             f"{high - 1}); {positions.whole(sim, 2)}")
        B0 = sim.batch[0]
        self.plane = plane
        # this part's z index of the magnetic cells and of the plane before
        # the electric nodes it writes; None where it holds none (the end
        # nodes of a slab are copies the halo exchange fills)
        h_cells = place.held(2, plane, plane + 1, nodes=False)
        e_nodes = place.held(2, plane + 1, plane + 2)
        self.h_plane = None if h_cells is None else h_cells[0]
        inside = e_nodes is not None and 0 < e_nodes[0] < sim.shape[2]
        self.e_plane = e_nodes[0] - 1 if inside else None
        self.waveform = waveform
        self.factor = slot_factor(sim)
        pair = sequence(margins)
        if pair is None or len(pair) != 2:
            raise ValueError(f"PlaneWave margins needs two cell counts (m_x, m_y), got "
                             f"{margins!r}")
        margins = [count(m, "PlaneWave margins", 0) for m in pair]
        # Slabs split along x or y: the part of the rectangle this slab holds,
        # as views of the fields and profiles that start where it starts, with
        # no margin of their own. A view's first row keeps one component out
        # (the strict test), as the rectangle's first row does; inside the box
        # that row's component lies on the slab's end nodes, which the halo
        # exchange overwrites.
        self.window = None
        if place.axis in (0, 1):
            a = place.axis
            s0, s1 = place.start_stop(a)
            lo = max(margins[a], s0) - s0
            hi = min(place.shape[a] - margins[a], s1) - s0
            if lo >= hi:
                self.h_plane = self.e_plane = None
            self.window = (a, lo, max(hi - lo, 0))
            margins[a] = 0
        self.margins = torch.tensor(margins, dtype=torch.int32)
        self._checked_medium = None
        self.check_medium(sim)
        self.k = wave_vectors(k, B0, "PlaneWave k")
        periodic_k = getattr(sim.periodic, "k", None)
        if periodic_k is not None and not torch.allclose(self.k, periodic_k):
            raise ValueError("the plane wave's k must be the Bloch wave vector of the boundary")
        if sim.b2 == 1 and self.k.abs().max() > 0:
            raise ValueError("an oblique plane wave needs complex fields (b2=2)")
        pol = wave_vectors(polarization, B0, "PlaneWave polarization")
        dev = sim.device
        dx, dy, dz = sim.spacing
        if dx is None or dy is None:
            # unequal cells across the plane: a phase profile needs the
            # kernels' transverse wavenumber, which assumes one spacing
            if bool(self.k.any()):
                require_uniform(sim, "an oblique PlaneWave", (0, 1))
            dx, dy = dx or 1.0, dy or 1.0  # at k = 0 the profile is 1 everywhere
        graded = dz is None
        if graded:  # the plane's own cell sets the line's drive
            dz = float(sim.grid[2].primal[plane])
        self.dz = dz

        def profile(ox: float, oy: float) -> torch.Tensor:
            x = (torch.arange(NX, dtype=torch.float64) + ox + place.offset[0]) * dx
            y = (torch.arange(NY, dtype=torch.float64) + oy + place.offset[1]) * dy
            phase = (self.k[:, 0, None, None] * x[None, :, None]
                     + self.k[:, 1, None, None] * y[None, None, :])
            return torch.polar(torch.ones_like(phase), phase)[..., None].to(
                torch.complex64).to(dev)

        # Hy and Ex sit at (x_{i+1/2}, y_j), Hx and Ey at (x_i, y_{j+1/2})
        self.profile_a = self._view(profile(0.5, 0.0), 1)
        self.profile_b = self._view(profile(0.0, 0.5), 1)
        if duration is None:
            duration = 2.0 * positions.extent(sim, 2) + 200.0 * sim.dt if graded else \
                2.0 * NZ * dz + 200.0 * sim.dt
        gap = 4
        lead = gap * dz
        # the line's node ``line.node`` stands for the box's electric node plane+1
        if graded:
            from .graded_line import GradedIncidentLine, GradedLineSpectra as LineSpectra

            self.line = GradedIncidentLine(self.k, pol, lambda t: waveform(t + lead), (dx, dy),
                                           sim.grid[2], plane, sim.dt, dev, duration, gap)
        else:
            self.line = IncidentLine(self.k, pol, lambda t: waveform(t + lead), (dx, dy, dz),
                                     sim.dt, dev, duration, gap)
        self.line.steps = sim.steps_done
        self.spectra = None if frequencies is None else LineSpectra(self.line, frequencies, sim,
                                                                    "PlaneWave", self.band())
        self.frequencies = None if frequencies is None else self.spectra.frequencies

    def check_medium(self, sim) -> None:
        """Refuse a plane whose first total-field nodes lie in a material. The
        incident wave comes from a line of vacuum, so in a material the
        field the plane adds is not the wave that travels there, and what
        does not match stays on the scattered side (a third of the field
        for a plane inside ε = 4). Checked when the wave is built and again
        before steps that follow a new painting."""
        medium = sim.medium
        if medium is self._checked_medium:
            return
        if medium is not None and self.e_plane is not None:
            k = self.e_plane + 1
            for den in self._injected_permittivity(sim):
                values = den[..., k].flatten()
                if not values.numel():
                    continue
                worst = float(values[int((values - 1.0).abs().argmax())])
                if abs(worst - 1.0) > 1e-6:
                    raise ValueError(
                        f"PlaneWave {self._given}: its first total-field nodes lie in a "
                        f"material (permittivity {worst:.4g} there), where the wave from its "
                        f"vacuum line does not travel and part of it would stay on the "
                        f"scattered side; {self._vacuum_planes(sim)}")
        self._checked_medium = medium

    def _injected_permittivity(self, sim):
        """The permittivity of the Ex and Ey nodes within the injected
        rectangle, [B1, X, Y, NZ] each: the nodes whose updates the plane
        corrects."""
        mx, my = (int(m) for m in self.margins)
        for c in (0, 1):
            den = self._view(sim.medium.den1[c] + sim.medium.den2[c], 1)
            yield den[:, mx:den.size(1) - mx, my:den.size(2) - my]

    def _vacuum_planes(self, sim) -> str:
        """Where the first total-field node may go instead, for the error."""
        place = sim.placement
        if place.axis is not None:  # a slab sees only its part of the box
            return "put the plane in vacuum"
        (below, above), NZ = sim.faces[2], place.shape[2]
        bad = torch.zeros(NZ, dtype=torch.bool, device=sim.device)
        for den in self._injected_permittivity(sim):
            if den.numel():
                bad |= ((den - 1.0).abs() > 1e-6).flatten(0, 2).any(0)
        free = [k for k in range(below + 1, NZ - above) if not bool(bad[k])]
        runs = []
        for k in free:
            if runs and runs[-1][1] == k - 1:
                runs[-1][1] = k
            else:
                runs.append([k, k])
        if not runs:
            return ("no plane outside the layers lies in vacuum: give the wave a vacuum region "
                    "to enter from")
        where = ", ".join(f"{positions.span(sim, 2, a, b)} (plane {a - 1} .. {b - 1})"
                          for a, b in runs)
        return f"keep its first total-field node in vacuum: {where}"

    def _view(self, t: torch.Tensor, x_dim: int) -> torch.Tensor:
        """``t`` along this slab's window (``x_dim``: the dimension of x)."""
        if self.window is None:
            return t
        a, start, length = self.window
        return t.narrow(x_dim + a, start, length)

    def after_h(self, sim) -> None:
        # Magnetic cells at z index `plane` miss the incident E of node
        # plane+1 in their curl: x pair = Ex (drives Hy), y pair = Ey (Hx), at n·dt.
        line, n = self.line, self.line.node
        if self.h_plane is not None:
            amp_x, amp_y = (line.fields[0:2, :, n:n + 1] * self.factor).to(torch.complex64)
            sim.module.Inject_H(self._view(sim.Hx, 2), self._view(sim.Hy, 2), sim.ch[2], amp_x,
                                amp_y, self.profile_a, self.profile_b, self.margins,
                                self.h_plane)
        line.step_h()

    def after_e(self, sim) -> None:
        # Electric nodes at z index plane+1 miss the incident H of the cell
        # below: x pair = Hx (drives Ey), y pair = Hy (drives Ex), at (n + 1/2)·dt.
        line, n = self.line, self.line.node - 1
        if self.e_plane is not None:
            amp_y, amp_x = (line.fields[2:4, :, n:n + 1] * self.factor).to(torch.complex64)
            sim.module.Inject_E(self._view(sim.Ex, 2), self._view(sim.Ey, 2), sim.ce[2], amp_x,
                                amp_y, self.profile_b, self.profile_a, self.margins,
                                self.e_plane)
        line.step_e()
        if self.spectra is not None:
            self.spectra.record(sim)

    def incident_spectra(self) -> dict:
        """Fourier sums of the incident Ex, Ey, Hx, Hy at electric node
        plane+1 (H averaged onto it): complex [B0, F] each."""
        if self.spectra is None:
            raise ValueError("give the plane wave frequencies to record its incident spectra")
        return self.spectra.spectra()

    def incident_flux(self) -> torch.Tensor:
        """Incident flux per unit area along +z, [B0, F] float64: what a
        ``FluxPlane`` in an empty box would measure."""
        if self.spectra is None:
            raise ValueError("give the plane wave frequencies to record its incident spectra")
        return self.spectra.flux()
