"""The unified driver: layers per face, batch entries as independent runs, the
run loop, the plane wave's scattered side at oblique incidence, and the known
answers the physics tests compare with."""
import math

import pytest
import torch

from orvane_sim import (Box, Dielectric, FluxPlane, Object, PlaneWave, Simulation, Sphere,
                        axis_coefficients, gaussian, time_step)
from orvane_sim.reference import airy, fresnel, stack

DT = time_step((0.5, 0.5, 0.5), 0.9)


def test_a_face_without_layer_cells_keeps_neutral_slots():
    n, L = 24, 5
    both = axis_coefficients(n, 0.5, L, DT)
    high = axis_coefficients(n, 0.5, (0, L), DT)
    low = axis_coefficients(n, 0.5, (L, 2), DT)
    # high face only: the low slots drive nothing and kappa is 1 there
    assert not high.hc[:L].any() and not high.ec[:L].any()
    assert torch.allclose(high.ch[:L], torch.tensor(DT / 0.5))
    for name in ("hb", "hc", "eb", "ec"):
        assert torch.equal(getattr(high, name)[L:], getattr(both, name)[L:]), name
        assert torch.equal(getattr(low, name)[:L], getattr(both, name)[:L]), name
    assert torch.equal(high.ch[n - L:], both.ch[n - L:])
    # a thinner high face: only its own two cells are graded
    assert not low.hc[L:2 * L - 2].any() and low.hc[2 * L - 2:].all()
    with pytest.raises(ValueError, match="2\\*L <= N"):
        axis_coefficients(10, 1.0, (6, 0), DT)


def test_size_and_resolution_give_the_grid():
    sim = Simulation(size=(1.0, 0.5, 2.0), resolution=10, layers=0)
    assert sim.shape == (10, 5, 20) and sim.spacing == (0.1, 0.1, 0.1)


@pytest.mark.parametrize("kwargs, match", [
    (dict(shape=4, size=1.0, resolution=4), "either shape"),
    (dict(shape=4, objects=[], resolution=4), "goes with size"),  # not the objects' sampling
    (dict(shape=4, batch=(1, 0)), "batch"),
    (dict(shape=4, batch=(1, 2), objects=[[], [], []]), "one object list per b1"),
    (dict(shape=4, objects=[], smoothing="blur"), "smoothing must be"),
    (dict(shape=4, layers=((1, 1), (1, 2, 3), 0)), "1 or 2 values"),
])
def test_bad_descriptions_are_refused(kwargs, match):
    with pytest.raises(ValueError, match=match):
        Simulation(layers=kwargs.pop("layers", 0), **kwargs)


def test_batch_entries_along_b1_are_independent_runs(backend):
    # Two arrangements in one run equal each one run alone.
    shape, layers = (8, 7, 9), ((2, 2), (0, 2), (2, 0))
    first = [Object(Sphere((4.0, 3.5, 4.2), 1.7), Dielectric(4.0))]
    second = [Object(Box((1.3, 0.5, 2.0), (6.2, 5.5, 6.4)), Dielectric(2.5)),
              Object(Sphere((3.0, 3.0, 3.0), 1.0), Dielectric(6.0))]
    both = Simulation(shape, layers=layers, batch=(1, 2), objects=[first, second],
                      backend=backend.name)
    alone = [Simulation(shape, layers=layers, objects=o, backend=backend.name)
             for o in (first, second)]
    for sim in [both, *alone]:
        sim.set_gaussian_pulse(width=1.5)
        sim.run(steps=25, progress=False)
    for b1, sim in enumerate(alone):
        for name in ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz"):
            torch.testing.assert_close(getattr(both, name)[:, b1], getattr(sim, name)[:, 0],
                                       atol=1e-6, rtol=1e-5, msg=name)


def test_run_counts_steps_to_the_time_asked():
    sim = Simulation(4, layers=0)
    sim.run(until=10 * sim.dt + 1e-12, progress=False)
    assert sim.steps_done == 10
    sim.run(steps=3, progress=False)
    assert sim.steps_done == 13
    with pytest.raises(ValueError, match="either steps or until"):
        sim.run()


def test_oblique_plane_wave_leaves_the_scattered_side_empty(backend):
    # Two Bloch wave vectors in one run (b0 = 0, 1), each with its own
    # polarisation; below the plane only rounding is left. The column is
    # long enough that the top layer's faint echo comes back after the checks.
    k = [(1.1, 0.0), (0.6, -0.8)]
    sim = Simulation((2, 2, 130), spacing=0.05, layers=((0, 0), (0, 0), (10, 10)),
                     batch=(2, 1), bloch=k, backend=backend.name)
    sim.add(PlaneWave(sim, 25, gaussian(3.0, 0.8, 0.6), polarization=[(0, 1), (1, 0.5)], k=k,
                      duration=10.0))
    peak = 0.0
    for _ in range(7):
        sim.run(steps=40, progress=False)
        peak = max(peak, float(sim.Ex.abs().max()), float(sim.Ey.abs().max()))
        below = max(float(sim.Ex[..., 11:25, :].abs().max()),
                    float(sim.Ey[..., 11:25, :].abs().max()))
        assert below < 1e-5 * peak
    assert peak > 0.5


def test_plane_wave_and_flux_plane_refuse_what_they_cannot_do():
    sim = Simulation((2, 2, 30), layers=((0, 0), (0, 0), (5, 5)), b2=1)
    with pytest.raises(ValueError, match="complex fields"):
        PlaneWave(sim, 10, gaussian(1, 1), k=(0.5, 0.0))
    with pytest.raises(ValueError, match="lies in the z layers"):
        PlaneWave(sim, 3, gaussian(1, 1))
    with pytest.raises(ValueError, match="z in 1"):
        FluxPlane(sim, 29, [0.1])
    periodic = Simulation((2, 2, 30), layers=((0, 0), (0, 0), (5, 5)), bloch=(0.3, 0.0))
    with pytest.raises(ValueError, match="Bloch wave vector"):
        PlaneWave(periodic, 10, gaussian(1, 1), k=(0.0, 0.0))


def test_flux_plane_sums_little_more_than_the_plane_needs():
    # Ex, Ey at the nodes and Hx, Hy in the cells either side, over one
    # period of 29 x 19 samples: the monitor adds into each sum every step.
    plane = FluxPlane(Simulation((30, 20, 30), layers=((0, 0), (0, 0), (5, 5))), 15, [0.1, 0.2])
    summed = sum(a.numel() for sums in (plane.e_acc, plane.h_acc) for slot in sums for a in slot)
    assert summed <= 1.25 * (2 + 2 * 2) * 29 * 19 * 2


def test_transfer_matrix_reduces_to_airy_and_fresnel():
    omega = torch.linspace(0.5, 9.0, 17, dtype=torch.float64)
    _, R, T = stack(omega, [(4.0, 0.37)])
    Ra, Ta = airy(omega, 2.0, 0.37)
    torch.testing.assert_close(R, Ra)
    torch.testing.assert_close(T, Ta)
    theta = torch.linspace(0.0, 1.2, 9, dtype=torch.float64)
    for pol in "sp":
        kt = 3.0 * torch.sin(theta)
        _, R, T = stack(3.0, [], eps_out=2.25, kt=kt, polarization=pol)
        torch.testing.assert_close(R, fresnel(theta, 1.5, pol))
        torch.testing.assert_close(R + T, torch.ones_like(R))
    # p light at Brewster's angle is not reflected
    assert fresnel(torch.tensor(math.atan(1.5), dtype=torch.float64), 1.5, "p") < 1e-20


def test_current_in_a_dielectric_leaves_its_charge_over_the_permittivity(backend):
    # Gauss's law in a uniform dielectric: div(eps E) = -Q at the start of a
    # current column and +Q at its end, so div E = ±Q/eps.
    from orvane_sim import CurrentBox, divergence

    eps = 2.5
    fill = Object(Box((-1, -1, -1), (13, 13, 13)), Dielectric(eps))
    sim = Simulation((12, 12, 12), layers=0, objects=[fill], backend=backend.name)
    sim.add(CurrentBox(sim, (6, 6, 4), (1, 1, 4), gaussian(6.0, 2.0)))
    sim.run(until=30.0, progress=False)
    div = divergence(sim.Ex, sim.Ey, sim.Ez, sim.spacing)
    Q = 2.0 * math.sqrt(math.pi)
    den = float(sim.permittivity()[2][0, 6, 6, 6])
    assert den == pytest.approx(eps, rel=1e-3)
    assert div[5, 5, 7] == pytest.approx(Q / den, rel=1e-3)
    assert div[5, 5, 3] == pytest.approx(-Q / den, rel=1e-3)
