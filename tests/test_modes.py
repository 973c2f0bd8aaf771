"""The mode solver against the symmetric slab's dispersion relation (on
equal and on graded cells), under refinement on a strip, against femwell's
finite elements on a silicon strip (graded cells), and as the grid's own
mode: launched into a periodic box, a grid mode must come back after
hundreds of steps as itself times exp(-iωt), on graded cells too."""
import functools
import math

import numpy as np
import pytest
import torch
from scipy.optimize import brentq

from orvane_sim import Box, Dielectric, FluxRectangle, Lorentz, Object, Simulation
from orvane_sim.circuits import plane_permittivity, solve_modes
from orvane_sim.core import BlochBoundary
from orvane_sim.grid import MeshInterval, mesh_axis

N_CORE, N_CLAD, D, NU = 2.0, 1.0, 1.0, 0.5  # V = πνd·√(n1² - n2²) ≈ 2.7: TE0, TE1, TM0, TM1


def slab_index(k0: float, tm: bool, order: int) -> float:
    """The symmetric slab's effective index from its dispersion relation:
    κ tan(κd/2) = r γ (even modes), -κ cot(κd/2) = r γ (odd), r = 1 for TE
    and n1²/n2² for TM, κ = k0 √(n1² - n²), γ = k0 √(n² - n2²)."""
    r = (N_CORE / N_CLAD) ** 2 if tm else 1.0
    a = D / 2

    def mismatch(n):
        kappa, gamma = k0 * math.sqrt(N_CORE**2 - n**2), k0 * math.sqrt(n**2 - N_CLAD**2)
        if order % 2 == 0:
            return kappa * math.sin(kappa * a) - r * gamma * math.cos(kappa * a)
        return -kappa * math.cos(kappa * a) - r * gamma * math.sin(kappa * a)

    # κa lies in (order·π/2, (order+1)·π/2)
    lo = math.sqrt(max(N_CORE**2 - ((order + 1) * math.pi / (2 * k0 * a)) ** 2, N_CLAD**2))
    hi = math.sqrt(N_CORE**2 - (order * math.pi / (2 * k0 * a)) ** 2)
    return brentq(mismatch, lo + 1e-12, hi - 1e-12, xtol=1e-14)


def box_permittivity(cells, h, lo, hi, core, clad=1.0):
    """The per-component permittivity of a core [lo, hi] (x, y) in a cross-
    section of ``cells``, each node's dual cell smoothed: the volume average
    for Ez (parallel to every face), and for Ex layers parallel along y put
    in series along x (Ey likewise, axes swapped). With faces on nodes and a
    slab this is the exact sub-cell average of a planar interface."""
    def inside(comp, a):
        n = cells[a] if comp == a else cells[a] + 1
        c = (np.arange(n) + (0.5 if comp == a else 0.0)) * h[a]
        cover = np.minimum(c + h[a] / 2, hi[a]) - np.maximum(c - h[a] / 2, lo[a])
        return np.clip(cover / h[a], 0.0, 1.0)

    out = []
    for comp in range(3):
        fx, fy = inside(comp, 0)[:, None], inside(comp, 1)[None, :]
        if comp == 2:
            out.append(clad + (core - clad) * fx * fy)
        else:
            across, along = (fx, fy) if comp == 0 else (fy, fx)
            mixed = clad + (core - clad) * along
            out.append(1.0 / (across / mixed + (1 - across) / clad))
    return out


def slab_modes(resolution: int, frequencies, half_width: float = 3.0):
    """The slab, faces normal to x on nodes, invariant along y (one periodic
    cell), conducting walls 2.5 past the core."""
    h = 1.0 / resolution
    cells = (round(2 * half_width * resolution), 1)
    eps = box_permittivity(cells, (h, h), (half_width - D / 2, -1.0),
                           (half_width + D / 2, 2.0), N_CORE**2)
    return solve_modes(eps, (h, h), frequencies, count=4, boundary=("pec", "periodic"))


def graded_slab(resolution: int, core: float, clad: float = 1.0, squeeze: float = 0.5):
    """Nodes x(ξ) = ξ - (3 squeeze/π) sin(π(ξ - 3)/3), ξ = 0 .. 6 at
    ``resolution`` per unit (cells shrink smoothly by (1 - squeeze)/(1 +
    squeeze) towards the middle), scaled so that a core 1 thick about the
    middle has its faces on nodes: the cells' lengths and ε, and ε at the
    nodes (the mean over each node's dual cell, as sub-cell smoothing gives
    along the faces)."""
    xi = np.arange(6 * resolution + 1) / resolution
    x = xi - 3 * squeeze / math.pi * np.sin(math.pi * (xi - 3) / 3)
    x = 3 + (x - 3) / (x[round(3.5 * resolution)] - x[round(2.5 * resolution)])
    cells = np.diff(x)
    in_cell = np.where(np.abs(0.5 * (x[1:] + x[:-1]) - 3) < 0.5, core, clad)
    at_node = (np.r_[0, cells * in_cell] + np.r_[cells * in_cell, 0]) / (
        np.r_[0, cells] + np.r_[cells, 0])
    return cells, in_cell, at_node


def graded_slab_modes(resolution: int, frequencies):
    """The slab on ``graded_slab``'s cells, 3 times longer at the walls than
    through the core."""
    cells, in_cell, at_node = graded_slab(resolution, N_CORE**2)
    eps = (np.repeat(in_cell[:, None], 2, 1), at_node[:, None], np.repeat(at_node[:, None], 2, 1))
    return solve_modes(eps, (cells, 1.0), frequencies, count=4, boundary=("pec", "periodic"))


SLAB_MODES = [("TE0", "y", 0, False), ("TM0", "x", 0, True), ("TE1", "y", 1, False)]


@pytest.mark.parametrize("solve", [slab_modes, graded_slab_modes])
def test_slab_indices_match_the_dispersion_relation(solve):
    """At 20 cells per unit (core 20 cells, λ0 = 2) within 1e-3, second
    order from 10 to 20; the group index as the analytic dβ/dω. Graded:
    cells 3 times longer at the walls than through the core, which the
    power, energy and group index weigh by their areas."""
    k0, dk = 2 * math.pi * NU, 1e-5
    fine, coarse = solve(20, NU), solve(10, NU)
    for name, along, rank, tm in SLAB_MODES:
        exact = slab_index(k0, tm, rank)
        errors = []
        for modes in (coarse, fine):
            m = int(modes.pick(along, rank)[0])
            errors.append(abs(float(modes.neff[0, m]) - exact))
        order = math.log2(errors[0] / errors[1])
        print(f"{name}: neff {exact:.6f}, error {errors[0]:.2e} at 10, {errors[1]:.2e} at 20 "
              f"cells per unit, order {order:.2f}")
        assert errors[1] < 1e-3 and order > 1.7
        beta = [(k0 + s) * slab_index(k0 + s, tm, rank) for s in (-dk, dk)]
        group = (beta[1] - beta[0]) / (2 * dk)
        found = float(fine.group_index[0, int(fine.pick(along, rank)[0])])
        assert abs(found / group - 1) < 2e-3


def test_strip_index_converges():
    """A 1 × 0.5 core of index 2 in a 2 × 1.5 conducting box, its faces on
    nodes at 16, 32 and 64 cells per unit: the changes fall about fourfold."""
    found = []
    for resolution in (16, 32, 64):
        h = 1.0 / resolution
        cells = (2 * resolution, 3 * resolution // 2)
        eps = box_permittivity(cells, (h, h), (0.5, 0.5), (1.5, 1.0), N_CORE**2)
        modes = solve_modes(eps, (h, h), 0.6, count=2)
        assert modes.polarization_fraction[0, 0] > 0.9 > 0.1 > modes.polarization_fraction[0, 1]
        found.append(modes.neff[0])
    coarse, fine = (found[1] - found[0]).abs(), (found[2] - found[1]).abs()
    print(f"strip neff at 64 cells per unit {found[2].tolist()}; changes {coarse.tolist()} "
          f"then {fine.tolist()}, order {torch.log2(coarse / fine).tolist()}")
    assert (fine < coarse / 3).all() and (fine < 2e-3).all()


# A 0.5 × 0.22 µm silicon strip in silica at λ = 1.55 µm (lengths in µm),
# 1 µm of silica on every side out to conducting walls, for both solvers:
# y across the width, z across the thickness, the core's faces at CLADDING
# and CLADDING + its extent.
SILICON, SILICA, WAVELENGTH = 3.476, 1.444, 1.55
WIDTH, THICKNESS, CLADDING = 0.5, 0.22, 1.0


def strip_node_lines(inside, near, reach: float, background: float, ratio: float) -> list:
    """Node lines along y and z with the core's faces on them: cells of at
    most ``inside`` (one length per axis) through the core, ``near`` (per
    axis) within ``reach`` of each face, growing by at most ``ratio`` to
    ``background`` out to the walls."""
    lines = []
    for extent, step, fine in zip((WIDTH, THICKNESS), inside, near):
        lo, hi = CLADDING, CLADDING + extent
        lines.append(mesh_axis(extent + 2 * CLADDING,
                               [MeshInterval(lo, hi, step, snap=True)]
                               + [MeshInterval(f - reach, f + reach, fine) for f in (lo, hi)],
                               background, ratio))
    return lines


@functools.lru_cache(maxsize=None)
def graded_strip_modes(across: int):
    """The strip's two modes of highest index by ``solve_modes``, on the
    plane a simulation paints: ``across`` cells over the core's width along
    y and over its thickness along z, the same through the 0.1 µm past each
    face, growing by at most 1.2 to twice the width's cell out to the walls."""
    cells = (WIDTH / across, THICKNESS / across)
    y, z = strip_node_lines(cells, cells, 0.1, 2 * WIDTH / across, 1.2)
    core = Box((-1.0, CLADDING, CLADDING), (1.0, CLADDING + WIDTH, CLADDING + THICKNESS))
    sim = Simulation(grid=((2, 0.01), y, z), layers=0, background=Dielectric(SILICA**2),
                     objects=[Object(core, Dielectric(SILICON**2))])
    plane = plane_permittivity(sim, 0, 1)  # (y, z, x) play (x, y, z)
    return solve_modes(plane.eps, plane.spacing, 1 / WAVELENGTH, count=2,
                       boundary=plane.boundary)


@functools.lru_cache(maxsize=None)
def femwell_strip_modes() -> list:
    """(n_eff, TE fraction) of the strip's two modes of highest index by
    femwell's second-order finite elements (conducting walls, as ours), on
    triangles of the node lines: 0.01 µm either side of each face, growing
    by 1.3 to 0.04 through the core and 0.15 out to the walls. Halving
    every length moves TE0 by 4e-7 and TM0 by 1.6e-5, halving again by
    1.8e-6 and 7.9e-6: converged to about 3e-5."""
    waveguide = pytest.importorskip("femwell.maxwell.waveguide")
    import skfem

    y, z = strip_node_lines((0.04, 0.04), (0.01, 0.01), 0.0, 0.15, 1.3)
    mesh = skfem.MeshTri.init_tensor(y.numpy(), z.numpy())
    basis = skfem.Basis(mesh, skfem.ElementTriP0())
    cy, cz = mesh.p[:, mesh.t].mean(axis=1)  # each triangle's centre: inside or out
    inside = (np.abs(cy - CLADDING - WIDTH / 2) < WIDTH / 2) & \
        (np.abs(cz - CLADDING - THICKNESS / 2) < THICKNESS / 2)
    modes = waveguide.compute_modes(basis, np.where(inside, SILICON**2, SILICA**2),
                                    wavelength=WAVELENGTH, num_modes=2, order=2,
                                    metallic_boundaries=True)
    return sorted(((float(np.real(m.n_eff)), float(m.te_fraction)) for m in modes),
                  reverse=True)


@pytest.mark.slow
@pytest.mark.parametrize("rank, te", [(0, True), (1, False)], ids=["TE0", "TM0"])
def test_silicon_strip_indices_match_femwell_on_graded_cells(rank, te):
    """Within 1e-3 of femwell at 40 cells across the core, and at least
    twice as close as at 20 (measured: TE0 3.8e-4, 5.7e-5; TM0 2.3e-3,
    7.0e-4; at 80, 1.8e-6 and 2.0e-4). Both solvers must see the mode
    polarised the same way."""
    femwell, te_fraction = femwell_strip_modes()[rank]
    mostly = (lambda share: share > 0.9) if te else (lambda share: share < 0.1)
    assert mostly(te_fraction)
    differences = []
    for across in (20, 40):
        modes = graded_strip_modes(across)
        # the share of the transverse E along the width, the plane's x
        assert mostly(float(modes.polarization_fraction[0, rank]))
        differences.append(float(modes.neff[0, rank]) - femwell)
    print(f"{'TE0' if te else 'TM0'}: femwell {femwell:.6f}; ours minus femwell "
          f"{differences[0]:+.2e} at 20 cells across the core, {differences[1]:+.2e} at 40")
    assert abs(differences[1]) < 1e-3
    assert abs(differences[1]) < abs(differences[0]) / 2


STRIP = Box((-1.0, 1.0, 0.75), (1.0, 2.0, 1.25))


def graded_z(squeeze: float = 0.4) -> np.ndarray:
    """20 z nodes over 0 .. 2 that shrink smoothly towards the strip's
    middle, z = 1: cells (1 ± squeeze)/10 at the faces and the middle."""
    xi = np.arange(21) / 10
    z = xi - squeeze / math.pi * np.sin(math.pi * (xi - 1))
    return z - z[0]


def grid_mode_drift(backend, grid: bool, mode: int, core=STRIP, couplings: bool = True,
                    graded: bool = False) -> tuple[float, float, float]:
    """Launch mode ``mode`` of a 1 × 0.5 strip (index 2, along x, in a 3 × 2
    conducting box, 10 cells per unit) into a box periodic along x over one
    cell with the Bloch phase of its β, E at t = 0 and H at -dt/2; after 300
    steps, the largest difference from the mode times exp(-iωt) relative to
    the largest transverse E or H. Also the mode's power from its profiles,
    and as a flux rectangle over the whole cross-section measures it (its
    Fourier sums of a pure exp(-iωt) are 300·dt times the amplitudes).
    ``core``: another guide's shape; ``couplings``: give the solver the
    simulation's off-diagonal couplings of the plane (else its diagonal
    alone); ``graded``: z cells of their own (``graded_z``)."""
    from orvane_sim.circuits.ports import rectangle_weights

    h, nu, steps = 0.1, 0.6, 300
    box = dict(grid=((2, h), (30, h), graded_z())) if graded else dict(shape=(2, 30, 20),
                                                                       spacing=h)
    sim = Simulation(**box, layers=0, b2=2, backend=backend.name)
    sim.periodic = BlochBoundary(sim, x=True, y=False)
    sim.set_objects([Object(core, Dielectric(N_CORE**2))])
    # the plane normal to x: (y, z, x) play (x, y, z)
    section = plane_permittivity(sim, 0, 0)
    assert section.boundary == ("pec", "pec")
    timing = dict(dz=section.dz, dt=section.dt) if grid else {}
    modes = solve_modes(section.eps, section.spacing, nu, count=2, **timing,
                        couplings=section.couplings if couplings else None)
    beta = float(modes.beta[0, mode])
    sim.periodic = BlochBoundary(sim, x=True, y=False, kx=beta)
    flux = sim.add(FluxRectangle(sim, [nu], nodes=((1, 0, 0), (1, 30, 20))))
    profiles = {"Ey": modes.Ex, "Ez": modes.Ey, "Ex": modes.Ez,
                "Hy": modes.Hx, "Hz": modes.Hy, "Hx": modes.Hz}
    omega = 2 * math.pi * nu

    def expected(name: str, t: float) -> torch.Tensor:
        x = torch.arange(getattr(sim, name).shape[2], dtype=torch.float64) * h
        along = torch.exp(1j * (beta * x - omega * t))[:, None, None]
        return profiles[name][0, mode][None] * along

    for name in profiles:
        value = expected(name, 0.0 if name[0] == "E" else -sim.dt / 2)
        field = getattr(sim, name)
        field[0, 0, ..., 0] = value.real.to(field)
        field[0, 0, ..., 1] = value.imag.to(field)
    sim.step(steps)
    drift = 0.0
    for name in profiles:
        field = getattr(sim, name)[0, 0].double().cpu()
        got = torch.complex(field[..., 0], field[..., 1])
        want = expected(name, sim.time - (0.0 if name[0] == "E" else sim.dt / 2))
        scale = max(float(p[0, mode].abs().max()) for p in
                    ((modes.Ex, modes.Ey) if name[0] == "E" else (modes.Hx, modes.Hy)))
        drift = max(drift, float((got - want).abs().max()) / scale)
    # H back on the plane of E; Ex pairs with Hy, Ey with Hx at one position
    back = np.exp(-0.5j * beta * section.dz) if grid else 1.0
    Ex, Ey = modes.Ex[0, mode, :, :-1], modes.Ey[0, mode, :-1, :]
    Hx, Hy = modes.Hx[0, mode] * back, modes.Hy[0, mode] * back
    w1, w2 = rectangle_weights(30, 20, (h, *section.spacing))
    power = 0.5 * float((w1[:, :-1] * Ex * Hy.conj() - w2[:-1] * Ey * Hx.conj()).real.sum())
    measured = float(flux.power()[0, 0, 0]) / (steps * sim.dt) ** 2
    return drift, power, measured / math.cos(beta * h / 2)


@pytest.mark.parametrize("mode, graded", [(0, False), (1, False), (0, True)])
def test_grid_mode_is_carried_unchanged_by_the_time_stepping(backend, mode, graded):
    """The grid's mode comes back to single precision; the continuous one,
    its β about 1 % off at 10 cells per unit, visibly does not. The
    rectangle reaches the box's far faces, where H holds no node. Graded:
    z cells from 0.06 to 0.14, which the solver's curl and the power's
    areas must take as the time stepping and the flux rectangle do."""
    drift, power, measured = grid_mode_drift(backend, True, mode, graded=graded)
    continuous, _, _ = grid_mode_drift(backend, False, mode, graded=graded)
    print(f"mode {mode}: drift after 300 steps {drift:.1e} (grid's mode), "
          f"{continuous:.1e} (continuous z and t)")
    assert drift < 1e-4 < 0.01 < continuous
    assert abs(power - 1) < 1e-9
    # the rectangle averages H from both sides of its plane: cos(β dz/2)
    assert abs(measured - 1) < 1e-4


@pytest.mark.parametrize("graded", [False, True], ids=["equal cells", "graded z"])
def test_grid_mode_of_a_tilted_core_is_carried_unchanged_with_the_full_tensor(backend, graded):
    """A square core turned 45° about the guide's axis: its walls give the
    plane's E_y and E_z off-diagonal couplings. Solved on the same tensor
    the mode comes back to single precision; on its diagonal alone it does
    not. On graded z the solver takes the couplings of its area-weighted
    unknowns (the symmetric κ), the time stepping κ·√(W_b / W_a)."""
    from orvane_sim import Prism

    diamond = Prism([(1.5, 0.5), (2.05, 1.0), (1.5, 1.5), (0.95, 1.0)], -1.0, 1.0, axis=0)
    drift, power, _ = grid_mode_drift(backend, True, 0, core=diamond, graded=graded)
    diagonal, _, _ = grid_mode_drift(backend, True, 0, core=diamond, couplings=False,
                                     graded=graded)
    print(f"tilted core: drift after 300 steps {drift:.1e} (full tensor), {diagonal:.1e} "
          "(its diagonal)")
    assert drift < 1e-4 < 2e-3 < diagonal
    assert abs(power - 1) < 1e-9


def _seam(eps):
    out = [eps[0].copy(), eps[1], eps[2]]
    out[0][:, -1] = N_CORE**2  # around a period node Ny is node 0 again
    return out


@pytest.mark.parametrize("change, options, message", [
    (lambda e: (e[0][:, :-1], e[1], e[2]), {}, "must have shape"),
    (lambda e: (e[0], e[1], np.where(e[2] > 2, 0.0, e[2])), {}, "finite and positive"),
    (lambda e: (e[0] + 0j, e[1], e[2]), {}, "real"),
    (_seam, dict(boundary=("pec", "periodic")), "last node is the first again"),
    (list, dict(frequency=0.05, count=3), r"only 0 of the 3 modes .* propagate"),  # cut off
    (list, dict(spacing=(np.full(29, 0.1), 0.1)), r"spacing\[0\] \(dx\) must be one spacing "
     r"or the 30 cell lengths"),
    (list, dict(spacing=(0.1, np.linspace(0.05, 0.15, 20)), boundary=("pec", "periodic")),
     "periodic y axis needs equal cells"),
])
def test_unsound_input_is_refused(change, options, message):
    h = 0.1
    eps = box_permittivity((30, 20), (h, h), (1.0, 0.75), (2.0, 1.25), N_CORE**2)
    options = {"frequency": 0.6, "spacing": (h, h)} | options
    with pytest.raises(ValueError, match=message):
        solve_modes(change(eps), **options)


def test_equal_cell_lengths_give_the_modes_of_one_spacing():
    """Cell lengths that are all one spacing take the area-weighted path,
    which must give that spacing's modes."""
    h = 0.1
    eps = box_permittivity((30, 20), (h, h), (1.0, 0.75), (2.0, 1.25), N_CORE**2)
    options = dict(frequency=[0.6, 0.7], count=3, dz=h, dt=0.05)
    one = solve_modes(eps, (h, h), **options)
    cells = solve_modes(eps, (np.full(30, h), torch.full((20,), h, dtype=torch.float64)),
                        **options)
    assert isinstance(cells.spacing[1], torch.Tensor)
    for name in ("neff", "group_index", "polarization_fraction", "energy_fraction", "Ex", "Ey",
                 "Ez", "Hx", "Hy", "Hz"):
        ours, theirs = getattr(one, name), getattr(cells, name)
        assert float((ours - theirs).abs().max()) <= 1e-12 * float(ours.abs().max()), name


def test_a_plane_through_a_dispersive_material_is_refused():
    """Its grid holds the step's denominator there, no permittivity."""
    sim = Simulation((6, 10, 10), spacing=0.1, layers=0, objects=[
        Object(Box((-1.0, 0.3, 0.3), (1.0, 0.6, 0.6)), Lorentz(2.0, 1.0, 4.0, 0.5))])
    with pytest.raises(ValueError, match="dispersive"):
        plane_permittivity(sim, 0, 2)
