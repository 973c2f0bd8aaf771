"""The driver and the modules together against physics nobody here wrote:
the Airy formula of a slab, Fresnel's coefficients at oblique incidence, the
transfer matrix of dispersive slabs, the order of accuracy of sub-cell
smoothing and the reflection of the absorbing layers.

Every run is a periodic column of 2 x 2 cells (normal or Bloch-oblique
incidence), so it costs about what a one-dimensional run does; batch
dimensions carry the variants of one experiment in one run.
"""
import functools
import math

import pytest
import torch

from orvane_sim import Dielectric, Drude, Lorentz
from orvane_sim.materials import discrete_permittivity, discretise
from orvane_sim.reference import airy, angle, fresnel, layer, planar, stack
from orvane_sim.sources import gaussian

pytestmark = pytest.mark.slow

TWO_PI = 2 * math.pi
N_SLAB = 2.0
# Faces a third of a cell off the nodes at 30 cells per unit, then
# alternately two thirds and one third at each doubling: every resolution
# sees the same sub-cell arrangement or its mirror image.
FRONT = THICKNESS = 46 / 90
RESOLUTIONS = (30, 60, 120)
NU = torch.linspace(0.1, 1.0, 37, dtype=torch.float64)


@functools.lru_cache(maxsize=None)
def slab(backend_name: str, resolution: int):
    stack_ = [layer(FRONT, FRONT + THICKNESS, Dielectric(N_SLAB**2))]
    return planar([stack_], NU, resolution, length=1.7, front=FRONT, until=40.0,
                  backend=backend_name, progress=False)


def resolved(resolution: float) -> torch.Tensor:
    """At least 25 cells per wavelength inside the slab."""
    return resolution / (N_SLAB * NU) >= 25


def test_slab_reflectance_matches_airy_and_converges_at_second_order(backend):
    Ra, Ta = airy(TWO_PI * NU, N_SLAB, THICKNESS)
    errors = {}
    for res in RESOLUTIONS:
        out = slab(backend.name, res)
        R, T = out.R[0, 0], out.T[0, 0]
        band = resolved(res)
        assert band.sum() >= 10
        assert (R - Ra)[band].abs().max() < 0.01, res
        assert (T - Ta)[band].abs().max() < 0.01, res
        # energy: nothing is lost or made in a lossless slab
        assert (R + T - 1).abs().max() < 1e-3, res
        errors[res] = (R - Ra).abs()
    # doubling the resolution divides the error by about four, compared over
    # the band the coarser run resolves
    for coarse, fine in zip(RESOLUTIONS, RESOLUTIONS[1:]):
        band = resolved(coarse)
        ratio = errors[coarse][band].max() / errors[fine][band].max()
        assert 3.0 < ratio < 6.0, (coarse, fine, ratio)


def test_oblique_interface_matches_fresnel_in_both_polarisations(backend):
    # A fixed Bloch wave vector: frequency nu travels at sin(theta) = kx / (2 pi nu).
    # b0 = 0 carries s polarisation (E along y), b0 = 1 p polarisation (E in xz).
    n = 1.5
    nu = torch.linspace(0.4, 1.0, 13, dtype=torch.float64)
    kx = TWO_PI * 0.4 * math.sin(math.radians(35))
    half_space = [layer(0.4 + 1 / 120, 50.0, Dielectric(n * n))]
    out = planar([half_space], nu, 40, length=1.0, front=0.4 + 1 / 120,
                 k=[(kx, 0.0), (kx, 0.0)], polarization=[(0.0, 1.0), (1.0, 0.0)],
                 pulse=gaussian(10.0, 2.0, 0.7), until=45.0, backend=backend.name,
                 progress=False)
    theta = angle(TWO_PI * nu, kx)
    assert math.degrees(theta.max()) >= 30 and math.degrees(theta.min()) < 15
    for b0, pol in enumerate("sp"):
        want = fresnel(theta, n, pol)
        got = out.R[b0, 0]
        assert (got - want).abs().max() < 0.01, (pol, got, want)
    # and the two polarisations differ as they should (p dips towards Brewster)
    assert torch.all(out.R[1, 0] < out.R[0, 0])


def test_dispersive_slabs_match_the_transfer_matrix_of_their_discrete_permittivity(backend):
    # b1 = 0: a Lorentz slab, b1 = 1: a Drude slab, both a fraction of a cell off the nodes.
    materials = [Lorentz(2.0, 1.5, omega0=TWO_PI * 0.55, gamma=TWO_PI * 0.05),
                 Drude(1.0, omega_p=TWO_PI * 0.6, gamma=0.5)]
    front, thickness, res = 0.4 + 0.37 / 60, 0.3, 60
    nu = torch.linspace(0.2, 0.9, 15, dtype=torch.float64)
    stacks = [[layer(front, front + thickness, m)] for m in materials]
    out = planar(stacks, nu, res, length=1.0, front=front, until=60.0,
                 backend=backend.name, progress=False)
    dt = 0.99 / math.sqrt(3) / res
    omega = TWO_PI * nu
    for b1, m in enumerate(materials):
        d = discretise(m, dt)
        eps_d = discrete_permittivity(d.alpha, d.beta, d.den, d.loss, omega, dt)
        _, R, T = stack(omega, [(eps_d, thickness)])
        assert (out.R[0, b1] - R).abs().max() < 0.01, (type(m).__name__, out.R[0, b1], R)
        assert (out.T[0, b1] - T).abs().max() < 0.01, (type(m).__name__, out.T[0, b1], T)
    # the Lorentz slab absorbs near its resonance; the thin Drude slab
    # reflects most at low frequency, less and less towards its plasma frequency
    assert (1 - out.R[0, 0] - out.T[0, 0]).max() > 0.1
    assert out.R[0, 1][0] > 0.5 and torch.all(out.R[0, 1].diff() < 0)


def _slope(hs, errors):
    x, y = torch.tensor(hs).log(), torch.tensor(errors).log()
    x = x - x.mean()
    return float((x * (y - y.mean())).sum() / (x * x).sum())


def test_sub_cell_smoothing_is_second_order_and_staircasing_first(backend):
    # The reflection phase of a slab whose faces sit at fixed positions off
    # the grid: b1 = 0 smoothed, b1 = 1 staircased, in one run per resolution.
    nu = torch.tensor([0.245, 0.3], dtype=torch.float64)
    omega = TWO_PI * nu
    r_exact, _, _ = stack(omega, [(N_SLAB**2, THICKNESS)])
    stack_ = [layer(FRONT, FRONT + THICKNESS, Dielectric(N_SLAB**2))]
    hs, smooth, stair = [], [], []
    for res in RESOLUTIONS:
        out = planar([stack_, stack_], nu, res, length=1.7, front=FRONT,
                     pulse=gaussian(8.0, 1.5, 0.3), until=40.0, backend=backend.name,
                     smoothing=["anisotropic", "staircase"], progress=False)
        phase = (out.r / r_exact).angle().abs().max(dim=-1).values  # [B0, B1]
        hs.append(1 / res)
        smooth.append(float(phase[0, 0]))
        stair.append(float(phase[0, 1]))
    assert all(s < t for s, t in zip(smooth, stair))
    assert 1.6 < _slope(hs, smooth) < 2.6, smooth
    assert 0.7 < _slope(hs, stair) < 1.4, stair


def test_ten_cell_layers_reflect_less_than_minus_60_db(backend):
    # An empty column: whatever comes back below the plane wave's source was
    # reflected by the top layer (the bottom one then absorbs it).
    nu = torch.linspace(0.1, 1.0, 19, dtype=torch.float64)
    out = planar([[]], nu, 40, length=1.0, front=0.0, pml=10, until=30.0,
                 backend=backend.name, progress=False)
    R = out.R[0, 0]
    assert (10 * R.abs().clamp_min(1e-30).log10()).max() < -60, R
    assert (out.T[0, 0] - 1).abs().max() < 1e-3


def test_demo_prints_the_error_table_and_writes_the_plot(tmp_path, capsys):
    from orvane_sim.__main__ import main

    plot, table = tmp_path / "slab.png", tmp_path / "slab.csv"
    assert main(["--resolutions", "30", "--out", str(plot), "--csv", str(table),
                 "--no-progress"]) == 0
    out = capsys.readouterr().out
    assert "max|ΔR|" in out and "resolved" in out
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    rows = table.read_text().splitlines()
    assert rows[0] == "resolution,frequency,R,T" and len(rows) == 1 + len(NU)
