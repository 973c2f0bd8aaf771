"""The Python driver: coefficients, the pulse, and a short run through the module."""
import math

import pytest
import torch

from orvane_sim import (Grading, Simulation, axis_coefficients, divergence, gaussian_pulse,
                        load_backend, time_step)

DT = time_step((0.5, 0.5, 0.5), 0.9)


def test_time_step_is_the_courant_fraction_of_the_3d_limit():
    assert time_step((1.0, 2.0, 4.0), 0.5) == pytest.approx(0.5 / math.sqrt(1 + 0.25 + 0.0625))
    for bad in (0.0, -0.1, 1.2):
        with pytest.raises(ValueError):
            time_step((1.0, 1.0, 1.0), bad)


@pytest.mark.parametrize("n, L", [(20, 4), (9, 3), (7, 0)])
def test_coefficient_shapes_and_interior_values(n, L):
    c = axis_coefficients(n, 0.5, L, DT)
    for name in ("ch", "ce"):
        assert getattr(c, name).shape == (n,)
    for name in ("hb", "hc", "eb", "ec"):
        assert getattr(c, name).shape == (2 * L,)
    for name in ("ch", "ce", "hb", "hc", "eb", "ec"):
        assert getattr(c, name).dtype == torch.float32
    # Outside the layers the curl coefficient is the plain dt/h.
    interior = slice(L + 1, n - L)
    assert torch.allclose(c.ch[interior], torch.tensor(DT / 0.5))
    assert torch.allclose(c.ce[interior], torch.tensor(DT / 0.5))


def test_layer_thicker_than_half_the_axis_is_refused():
    with pytest.raises(ValueError):
        axis_coefficients(10, 1.0, 6, DT)


def test_low_and_high_slots_mirror_each_other():
    # Magnetic cell i and N-1-i sit at the same depth; electric node i and
    # N-i do. Low slot = index, high slot = index - N + 2L.
    n, L = 23, 5
    c = axis_coefficients(n, 0.5, L, DT)
    for s in range(L):
        hi = 2 * L - 1 - s
        assert c.hb[s] == c.hb[hi] and c.hc[s] == c.hc[hi]
    for s in range(1, L):
        hi = 2 * L - s
        assert c.eb[s] == c.eb[hi] and c.ec[s] == c.ec[hi]
    assert torch.equal(c.ch, c.ch.flip(0))
    assert torch.equal(c.ce[1:], c.ce[1:].flip(0))
    # The electric node at the layer's inner edge (slot L, node N-L) has no conductivity.
    assert c.ec[L] == 0 and c.ce[n - L] == pytest.approx(DT / 0.5)


def test_layer_grading_decays_and_deepens_towards_the_faces():
    n, L = 30, 8
    g = Grading(order=3, sigma_factor=1.0, kappa_max=5.0, alpha_max=0.05)
    c = axis_coefficients(n, 0.5, L, DT, g)
    for b in (c.hb, c.eb[1:]):
        assert torch.all((b > 0) & (b < 1))
    # Low slots run from the face inwards: decay weakens, kappa falls to 1.
    assert torch.all(c.hb[1:L] > c.hb[:L - 1])
    assert torch.all(c.eb[2:L] > c.eb[1:L - 1])
    assert torch.all(c.ch[1:L] > c.ch[:L - 1])
    assert c.ch[0] == pytest.approx(DT / 0.5 / 5.0, rel=0.2)
    # The drive opposes the field: a = sigma/(...)(b - 1) <= 0, nonzero inside.
    assert torch.all(c.hc < 0) and torch.all(c.ec[1:L] < 0)


def test_pulse_has_no_charge_and_no_tangential_field_on_the_faces():
    shape, spacing = (14, 11, 9), (0.5, 0.7, 0.6)
    ex, ey = gaussian_pulse(shape, spacing, width=1.5)
    ez = torch.zeros(shape[0] + 1, shape[1] + 1, shape[2], dtype=torch.float64)
    assert ex.shape == (14, 12, 10) and ey.shape == (15, 11, 10)
    div = divergence(ex, ey, ez, spacing)
    assert div.abs().max() < 1e-12 * ex.abs().max()
    assert ex.abs().max() > 0.1
    for f, dims in ((ex, (1, 2)), (ey, (0, 2))):
        for d in dims:
            assert not f.select(d, 0).any() and not f.select(d, -1).any()


def test_unknown_or_missing_backend_is_a_clear_error(monkeypatch):
    with pytest.raises(ValueError, match="cpu"):
        load_backend("gpu")
    monkeypatch.setattr(torch.cuda, "is_available", lambda: False)
    with pytest.raises(RuntimeError, match="CUDA"):
        Simulation(8, layers=2, backend="cuda")


def test_conducting_box_without_layers_conserves_the_yee_energy(backend):
    # With E at step n and H half a step either side, W = sum E^n.E^n +
    # sum H^(n-1/2).H^(n+1/2) is exactly conserved by the leapfrog in a
    # lossless cavity; a sign or scaling slip in the curl coefficients breaks it.
    sim = Simulation((16, 14, 12), spacing=(1.0, 0.8, 1.2), layers=0, backend=backend.name)
    sim.set_gaussian_pulse(2.0)
    w = []
    for _ in range(150):
        e2 = sum(f.double().square().sum() for f in (sim.Ex, sim.Ey, sim.Ez))
        h_old = [f.double() for f in (sim.Hx, sim.Hy, sim.Hz)]
        sim.step()
        hh = sum((a * b.double()).sum() for a, b in zip(h_old, (sim.Hx, sim.Hy, sim.Hz)))
        w.append(float(e2 + hh))
    w = torch.tensor(w)
    assert torch.all((w / w[0] - 1).abs() < 1e-4)
    assert divergence(sim.Ex, sim.Ey, sim.Ez, sim.spacing).abs().max() < 1e-4


def _tangential_faces(sim):
    for f, dims in ((sim.Ex, (3, 4)), (sim.Ey, (2, 4)), (sim.Ez, (2, 3))):
        for d in dims:
            yield f.select(d, 0)
            yield f.select(d, f.size(d) - 1)


def test_layers_absorb_the_pulse_and_the_faces_stay_conducting(backend):
    sim = Simulation(24, layers=6, backend=backend.name)
    sim.set_gaussian_pulse(2.0)
    # Stray tangential field on the faces, where the electric update adds
    # layer corrections but no curl: left there, it grows without bound.
    g = torch.Generator().manual_seed(1)
    for face in _tangential_faces(sim):
        face.copy_(1e-3 * torch.rand(face.shape, generator=g))
    e = [sim.energy()]
    for _ in range(200):
        sim.step()
        e.append(sim.energy())
    e = torch.tensor(e)
    peak = e.max()
    assert e[-1] / peak < 1e-4
    # Nothing creeps back up once the pulse has left.
    assert e[100:].max() / peak < 1e-3
    assert e[-1] <= 1.01 * e[160]
    assert not any(face.any() for face in _tangential_faces(sim))


@pytest.mark.parametrize("layers, bloch", [(((6, 3), (0, 5), (4, 4)), None),
                                           (((0, 0), (0, 0), (6, 6)), (0.0, 0.0)), (0, None)])
def test_steps_in_one_call_clear_the_faces_as_single_steps_do(layers, bloch):
    """After a call's first step only the strips that the layer corrections
    write are cleared: the fields stay bit for bit those of single steps,
    each clearing every face, from fields (faces and normal H included) that
    the caller set at random."""
    from orvane_sim import Box, Drude, Lorentz, Object, Sphere

    def make():
        sim = Simulation((16, 12, 18), layers=layers, bloch=bloch,
                         objects=[Object(Box((-5, -5, 6), (50, 50, 10)), Lorentz(2, 1, 1, 0.1)),
                                  Object(Sphere((8, 2, 9), 4), Drude(1, 2, 0.5))])
        g = torch.Generator().manual_seed(0)
        for f in (sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz):
            f.copy_(torch.randn(f.shape, generator=g))
        return sim

    together, apart = make(), make()
    for _ in range(4):
        together.step(6)
        for _ in range(6):
            apart.step(1)
    for name in ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz"):
        assert torch.equal(getattr(together, name), getattr(apart, name)), name
