"""Dispersive materials in the driver: models to tables, the permittivity the
recursion realises, and a medium stepping inside a Simulation."""
import math

import pytest
import torch

from orvane_sim import Box, Object, Simulation, time_step
from orvane_sim.dispersion import (Debye, Dielectric, DispersiveMedium, Drude, Lorentz,
                                   discrete_permittivity, discretise, material_tables,
                                   node_coefficients, warped_frequency)

DT = time_step((1.0, 1.0, 1.0), 0.99)
MODELS = {
    "dielectric": Dielectric(2.5),
    "debye": Debye(2.0, 3.0, tau=8.0),
    "lorentz": Lorentz(1.5, 2.0, omega0=0.4, gamma=0.08),
    "drude": Drude(1.0, omega_p=1.2, gamma=0.15),
}
# a few frequencies up to about a tenth of the Nyquist frequency, resonance included
OMEGAS = torch.tensor([0.01, 0.05, 0.15, 0.4, 0.55])


def implied(material, omega):
    d = discretise(material, DT)
    return discrete_permittivity(d.alpha, d.beta, d.den, d.loss, omega, DT)


@pytest.mark.parametrize("material", MODELS.values(), ids=MODELS.keys())
def test_recursion_realises_the_model_at_the_warped_frequency(material):
    torch.testing.assert_close(implied(material, OMEGAS),
                               material.permittivity(warped_frequency(OMEGAS, DT)),
                               rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("material", MODELS.values(), ids=MODELS.keys())
def test_recursion_matches_the_model_within_the_time_step_error(material):
    # w~ - w = w (w dt)^2 / 12 + O(dt^4): the permittivity is off by about
    # |d eps / d w| times that shift.
    h = 1e-6
    slope = (material.permittivity(OMEGAS + h) - material.permittivity(OMEGAS - h)).abs() / (2 * h)
    bound = 1.5 * slope * OMEGAS * (OMEGAS * DT) ** 2 / 12 + 1e-12
    error = (implied(material, OMEGAS) - material.permittivity(OMEGAS)).abs()
    assert torch.all(error <= bound), (error, bound)


def test_models_that_one_complex_pole_cannot_hold_are_refused():
    with pytest.raises(ValueError, match="overdamped"):
        Lorentz(1.0, 1.0, omega0=0.1, gamma=0.3)
    with pytest.raises(ValueError, match="gamma must be positive"):
        Drude(1.0, 1.0, gamma=0.0)
    with pytest.raises(ValueError, match="1 to 256 materials"):
        material_tables([Dielectric()] * 257, DT)


def run_single_node(materials, w, omega, steps=2500):
    """Drive one Ex node through Update_E's arithmetic and the module's
    dispersive pass with a complex sinusoid (real part in batch slot 0,
    imaginary part in slot 1) and read off eps = C(n) / (E(n+1) - E(n))."""
    import OrvaneCPU

    grid = lambda v, dtype=torch.float32: torch.full((1, 1, 2, 2), v, dtype=dtype)  # noqa: E731
    grids = [(grid(w), grid(0, torch.uint8), grid(len(materials) - 1, torch.uint8))] * 3
    shapes = [(1, 1, 1, 3, 3, 2), (1, 1, 2, 2, 3, 2), (1, 1, 2, 3, 2, 2)]
    medium = DispersiveMedium(materials, DT, grids, shapes)
    fields = [torch.zeros(s) for s in shapes]
    g = float(medium.cg1[0][0, 0, 1, 1] - medium.cg2[0][0, 0, 1, 1])
    node = fields[0][0, 0, 0, 1, 1]
    history = []
    for n in range(steps):
        drive = complex(math.cos(omega * (n + 0.5) * DT), -math.sin(omega * (n + 0.5) * DT))
        node[0] = g * node[0] + drive.real
        node[1] = g * node[1] - drive.imag  # slot 1 carries -Im, so E = slot0 - i slot1
        medium.apply(OrvaneCPU, *fields)
        history.append(complex(float(node[0]), -float(node[1])))
    n = steps - 2
    drive = complex(math.cos(omega * (n + 0.5) * DT), -math.sin(omega * (n + 0.5) * DT))
    return drive / (history[n] - history[n - 1])


CASES = {
    "debye": ([Debye(2.0, 3.0, tau=8.0)], 1.0),
    "lorentz": ([Lorentz(1.5, 2.0, omega0=0.4, gamma=0.08)], 1.0),
    "drude": ([Drude(1.0, omega_p=1.2, gamma=0.15)], 1.0),
    "lorentz-and-drude-mixed": ([Lorentz(1.5, 2.0, omega0=0.4, gamma=0.08),
                                 Drude(1.0, omega_p=1.2, gamma=0.15)], 0.3),
}


@pytest.mark.parametrize("materials, w", CASES.values(), ids=CASES.keys())
def test_module_realises_the_discrete_permittivity(materials, w):
    omega = 0.3
    got = run_single_node(materials, w, omega)
    shares = [w, 1 - w] if len(materials) == 2 else [1.0]
    want = sum(s * complex(implied(m, omega)) for s, m in zip(shares, materials))
    assert abs(got - want) <= 2e-3 * abs(want), (got, want)


def test_node_coefficients_mix_the_two_materials():
    tables = material_tables([Dielectric(2.0), Drude(1.0, 1.0, 0.5)], DT)
    w = torch.tensor([[[[0.25]]]])
    den1, den2, cg1, cg2 = node_coefficients(tables, w, torch.zeros_like(w, dtype=torch.uint8),
                                             torch.ones_like(w, dtype=torch.uint8))
    drude = discretise(Drude(1.0, 1.0, 0.5), DT)
    assert den1.item() == pytest.approx(0.25 * 2.0)
    assert den2.item() == pytest.approx(0.75 * drude.den)
    assert (cg1 - cg2).item() == pytest.approx(0.5 + 0.75 * (drude.den - drude.loss), rel=1e-6)


FILL = Box((-1, -1, -1), (13, 13, 13))  # covers every node of a 12-cell box


def test_vacuum_medium_leaves_a_simulation_unchanged():
    plain = Simulation(12, layers=2)
    with_medium = Simulation(12, layers=2, objects=[Object(FILL, Dielectric(1.0))])
    assert with_medium.medium is not None
    for sim in (plain, with_medium):
        sim.set_gaussian_pulse(width=2.0)
        sim.step(15)
    for name in ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz"):
        torch.testing.assert_close(getattr(with_medium, name), getattr(plain, name))


def test_lossy_medium_drains_the_energy():
    sim = Simulation(12, layers=0, objects=[Object(FILL, Drude(1.0, omega_p=0.8, gamma=0.3))])
    sim.set_gaussian_pulse(width=2.0)
    start = sim.energy()
    sim.step(200)
    assert math.isfinite(sim.energy()) and sim.energy() < 0.05 * start
