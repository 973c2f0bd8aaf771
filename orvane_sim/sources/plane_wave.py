"""Sources for the driver: a plane wave entering across a z-plane, and a box
of current.

Timing on the leapfrog: after step n the electric field is at t = n·dt and
the magnetic field at (n - 1/2)·dt. During step n the magnetic update takes
H from (n - 1/2)·dt to (n + 1/2)·dt using E at n·dt, and the electric update
takes E to (n + 1)·dt using H at (n + 1/2)·dt. A source's magnetic increment
therefore samples its excitation at n·dt, its electric increment at
(n + 1/2)·dt.

Complex excitations reach the fields through their trailing batch dimension
(split-complex form). In a complex run (b2 = 2) slot 0 takes the real part
and slot 1 the imaginary part of an excitation. A real run (b2 = 1) has no
real half: its one slot takes the imaginary part, so the driver hands the
module i·excitation, whose imaginary part is the excitation's real part.
"""
from __future__ import annotations

import cmath
import math
import numbers
from typing import Callable, Sequence

import torch

from ..grid import positions
from ..grid.arguments import (count, frequencies as checked_frequencies, real, sequence, triple,
                              waveform as checked_waveform)
from ..grid.coefficients import EPS0
from ..core.descriptions import recorded

Waveform = Callable[[float], complex]


def gaussian(t0: float, width: float, frequency: float = 0.0, amplitude: complex = 1.0) -> Waveform:
    """amplitude · exp(-((t - t0)/width)^2) · exp(-i 2π frequency (t - t0))."""
    t0, frequency = real(t0, "gaussian t0"), real(frequency, "gaussian frequency")
    width = real(width, "gaussian width", positive=True)
    value = amplitude.item() if isinstance(amplitude, torch.Tensor) and amplitude.numel() == 1 \
        else amplitude
    if isinstance(value, bool) or not isinstance(value, numbers.Complex):
        raise TypeError(f"gaussian amplitude must be a number (complex allowed), got "
                        f"{amplitude!r} ({type(amplitude).__name__})")
    if not cmath.isfinite(complex(value)):
        raise ValueError(f"gaussian amplitude must be finite, got {value}")
    amplitude = value

    def f(t: float) -> complex:
        u = (t - t0) / width
        return amplitude * math.exp(-u * u) * cmath.exp(-2j * math.pi * frequency * (t - t0))
    # what a checkpoint tells two pulses apart by (the function itself it cannot hold)
    f.t0, f.width, f.frequency, f.amplitude = t0, width, frequency, amplitude
    return f


def slot_factor(sim) -> complex:
    """What multiplies an excitation so that each slot gets its part (see above)."""
    if sim.b2 == 1:
        return 1j
    if sim.b2 == 2:
        return 1.0
    raise ValueError(f"sources drive real (b2=1) or complex (b2=2) runs, got b2={sim.b2}")


class PlaneWave:
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
        Lz = sim.layers[2]
        low, high = Lz + 1, NZ - Lz - 1
        if not low <= plane + 1 <= high:
            problem = (f"lies in the z layers (planes 0 .. {Lz - 1} and {NZ - Lz} .. {NZ - 1})"
                       if Lz and 0 <= plane < NZ - 1 else "needs a cell on each side")
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
            duration = 2.0 * NZ * dz + 200.0 * sim.dt
        gap = 4
        lead = gap * dz
        # the line's node ``line.node`` stands for the box's electric node plane+1
        self.line = IncidentLine(self.k, pol, lambda t: waveform(t + lead), sim.spacing, sim.dt,
                                 dev, duration, gap)
        self.line.steps = sim.steps_done
        self.spectra = None if frequencies is None else LineSpectra(self.line, frequencies, sim,
                                                                    "PlaneWave")
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
        Lz, NZ = sim.layers[2], place.shape[2]
        bad = torch.zeros(NZ, dtype=torch.bool, device=sim.device)
        for den in self._injected_permittivity(sim):
            if den.numel():
                bad |= ((den - 1.0).abs() > 1e-6).flatten(0, 2).any(0)
        free = [k for k in range(Lz + 1, NZ - Lz) if not bool(bad[k])]
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
            amp_x = (line.Ex[:, n:n + 1] * self.factor).to(torch.complex64)
            amp_y = (line.Ey[:, n:n + 1] * self.factor).to(torch.complex64)
            sim.module.Inject_H(self._view(sim.Hx, 2), self._view(sim.Hy, 2), sim.ch[2], amp_x,
                                amp_y, self.profile_a, self.profile_b, self.margins,
                                self.h_plane)
        line.step_h()

    def after_e(self, sim) -> None:
        # Electric nodes at z index plane+1 miss the incident H of the cell
        # below: x pair = Hx (drives Ey), y pair = Hy (drives Ex), at (n + 1/2)·dt.
        line, n = self.line, self.line.node - 1
        if self.e_plane is not None:
            amp_x = (line.Hx[:, n:n + 1] * self.factor).to(torch.complex64)
            amp_y = (line.Hy[:, n:n + 1] * self.factor).to(torch.complex64)
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


class CurrentBox:
    """A current density J(t) = direction · f(t) over a box of cells.

    ``offset`` is the box's first cell (i, j, k), ``size`` its extent in
    cells; the box covers the same index range of Ex, Ey and Ez (their own
    staggered positions). Each step the electric field loses dt·J/ε at
    (n + 1/2)·dt, Ampère's law with the current as a source (ε the
    permittivity each node sees; the box must lie inside the grids).

    ``box``: ((x0, y0, z0), (x1, y1, z1)) in length units instead of
    ``offset`` and ``size``. The corners snap to nodes n0 .. n1 and the box
    takes cells n0 .. n1 - 1 along each axis, so a current along an axis
    runs from node n0 to node n1; an axis of zero extent takes the one cell
    n0 (a sheet or a line of current on the nodes there). Give one of the
    two forms; a z-directed line current from z = 0.2 to 0.4:
    ``CurrentBox(sim, waveform=pulse, box=((0.3, 0.3, 0.2), (0.3, 0.3, 0.4)))``.
    """

    @recorded
    def __init__(self, sim, offset: Sequence[int] | None = None,
                 size: Sequence[int] | None = None, waveform: Waveform | None = None,
                 direction=(0.0, 0.0, 1.0), box=None):
        if (box is None) == (offset is None and size is None):
            raise ValueError("give the CurrentBox's cells as offset and size, or its box in "
                             "length units (box=)")
        if waveform is None:
            raise ValueError("CurrentBox needs a waveform")
        checked_waveform(waveform, "CurrentBox")
        if box is not None:
            offset, size = positions.cell_box(sim, box, "CurrentBox box")
        elif offset is None or size is None:
            raise ValueError("CurrentBox needs both offset and size")
        else:
            offset, size = positions.check_cells(sim, offset, size, "CurrentBox")
        # the part of the box's cells that the tensors here hold; the halo
        # exchange settles the copies of nodes a neighbour owns
        local = [sim.placement.held(a, o, o + n, nodes=False)
                 for a, (o, n) in enumerate(zip(offset, size))]
        self.box = None
        if all(r is not None for r in local):
            self.offset = torch.tensor([lo for lo, _ in local], dtype=torch.int32)
            self.box = torch.ones(*sim.batch, *(hi - lo for lo, hi in local),
                                  dtype=torch.complex64, device=sim.device)
        self.direction = tuple(real(d, "CurrentBox direction")
                               for d in triple(direction, "CurrentBox direction"))
        self.waveform = waveform
        self.factor = slot_factor(sim)

    def after_h(self, sim) -> None:
        pass

    def _boxes(self, sim):
        """The box per component, divided by the permittivity its nodes see:
        the current enters after the electric update's division by it."""
        if sim.medium is None:
            return (self.box,) * 3
        if getattr(self, "_medium", None) is not sim.medium:
            o = [int(v) for v in self.offset]
            sx, sy, sz = self.box.shape[2:]
            self._scaled = tuple(
                self.box / den[None, :, o[0]:o[0] + sx, o[1]:o[1] + sy, o[2]:o[2] + sz]
                for den in sim.permittivity())
            self._medium = sim.medium
        return self._scaled

    def after_e(self, sim) -> None:
        if self.box is None:
            return
        w = self.waveform(sim.time + 0.5 * sim.dt) * sim.dt / EPS0 * self.factor
        Jx, Jy, Jz = (box * (d * w) for box, d in zip(self._boxes(sim), self.direction))
        sim.module.Inject_J(sim.Ex, sim.Ey, sim.Ez, Jx, Jy, Jz, self.offset)
