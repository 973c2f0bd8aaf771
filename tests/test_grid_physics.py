"""Non-uniform grids against physics nobody here wrote: a dielectric slab on
a graded column against the Airy formula, beside the uniform column of the
same smallest cell, and under refinement of the grading; a long run of a
strongly graded open box whose energy never grows; and the power a current
radiates, through flux boxes and a far field on graded cells.

The column is 2 x 2 periodic cells across, as in ``test_physics``, lit by a
plane wave across a z-plane with flux planes above and below the slab.
Along z the cells follow a smooth map ξ ↦ z of the coarse index ξ: coarse
cells in the vacuum at both ends (the layers, the source and the flux
planes), fine ones through the slab, and between them a transition of
``WIDTH`` coarse cells along a C² smooth step. Refining splits every unit
of ξ into m cells, so the grading stays smooth as it refines, and the
slab's faces stay on nodes.
"""
import functools
import math

import pytest
import torch

from orvane_sim import (CurrentBox, Dielectric, FluxBox, FluxPlane, Lorentz, Object,
                        PlaneWave, Simulation, Slab, Sphere, gaussian)
from orvane_sim.reference import airy

pytestmark = pytest.mark.slow

F64 = torch.float64
N_SLAB = 2.0
NU = torch.linspace(0.1, 1.0, 37, dtype=F64)
FINE = 1 / 30            # the slab's cells at m = 1: 0.5 thick in 15
COARSE = 2.5 * FINE      # the vacuum's
WIDTH = 72               # coarse cells of each transition
LAYER, VACUUM, SLAB, TAIL = 12, 24, 15, 16  # coarse cells of each part along ξ


def _smooth_step_integral(t: float) -> float:
    """∫_0^t of the smooth step 10s³ - 15s⁴ + 6s⁵ (held to [0, 1])."""
    t = min(max(t, 0.0), 1.0)
    return 2.5 * t**4 - 3 * t**5 + t**6


def column_nodes(m: int, graded: bool):
    """z nodes of the column at refinement ``m``, and the slab's first and
    last node."""
    coarse = COARSE if graded else FINE
    drop = coarse - FINE

    def length(a: float, b: float, part: str) -> float:
        """The length of ξ = a .. b (coarse units from the part's start)."""
        if part == "vacuum":
            return coarse * (b - a)
        if part == "slab":
            return FINE * (b - a)
        step = WIDTH * (_smooth_step_integral(b / WIDTH) - _smooth_step_integral(a / WIDTH))
        return coarse * (b - a) - drop * step if part == "down" else FINE * (b - a) + drop * step

    nodes, marks = [0.0], {}
    for part, cells in (("vacuum", LAYER + VACUUM), ("down", WIDTH if graded else 0),
                        ("slab", SLAB), ("up", WIDTH if graded else 0), ("vacuum", TAIL + LAYER)):
        marks.setdefault(part, len(nodes) - 1)
        for k in range(cells * m):
            nodes.append(nodes[-1] + length(k / m, (k + 1) / m, part))
    return nodes, marks["slab"], marks["slab"] + SLAB * m


@functools.lru_cache(maxsize=None)
def column(backend_name: str, m: int, graded: bool):
    """R and T of the slab and R + T - 1, at refinement ``m``."""
    nodes, front, back = column_nodes(m, graded)
    layer = LAYER * m
    sim = Simulation(grid=((2, FINE / m), (2, FINE / m), nodes),
                     layers=((0, 0), (0, 0), (layer, layer)), bloch=(0.0, 0.0),
                     backend=backend_name)
    sim.set_objects([Object(Slab((0, 0, 1), nodes[front], nodes[back]),
                            Dielectric(N_SLAB**2))])
    centre, half = 0.55, 0.45
    width = 1.5 / (math.pi * half)
    pulse = gaussian(5 * width, width, centre)
    source = sim.add(PlaneWave(sim, layer + 6 * m, pulse, duration=60.0, frequencies=NU))
    below = sim.add(FluxPlane(sim, layer + 3 * m, NU))
    above = sim.add(FluxPlane(sim, len(nodes) - 1 - layer - 4 * m, NU))
    sim.run(until=40.0, progress=False)
    incident = source.incident_flux()[0]
    R, T = -below.flux()[0, 0] / incident, above.flux()[0, 0] / incident
    assert nodes[back] - nodes[front] == pytest.approx(SLAB * FINE, rel=1e-12)
    return R, T


def test_slab_on_a_graded_column_matches_airy_as_the_uniform_one_does_and_converges(backend):
    Ra, _ = airy(2 * math.pi * NU, N_SLAB, SLAB * FINE)
    band = 1 / FINE / (N_SLAB * NU) >= 25  # 25 cells per wavelength in the slab at m = 1
    graded, uniform = [], []
    for m in (1, 2, 4):
        R, T = column(backend.name, m, True)
        assert (R + T - 1).abs().max() < 1e-4, m   # nothing lost or made
        graded.append(float((R - Ra)[band].abs().max()))
        R, _ = column(backend.name, m, False)
        uniform.append(float((R - Ra)[band].abs().max()))
    print("Airy |R - R_airy| max over the band, m = 1, 2, 4: graded", graded, "uniform", uniform)
    # no worse than the uniform column of the same smallest cell
    assert all(g <= 1.02 * u for g, u in zip(graded, uniform)), (graded, uniform)
    # second order as the smooth grading refines
    for coarse, fine in zip(graded, graded[1:]):
        assert 3.5 < coarse / fine < 4.6, graded


def test_energy_never_grows_in_a_long_run_of_a_strongly_graded_box():
    # ratio 1.2 over 14 cells each way along x and z, uniform y; layers on
    # the graded faces, a Lorentz sphere and a plain block through a layer
    steps = [0.02 * 1.2**i for i in range(14)]
    graded = [0.0] + torch.tensor(steps[::-1] + steps, dtype=F64).cumsum(0).tolist()
    middle = graded[14]
    sim = Simulation(grid=(graded, (10, 0.1), graded), layers=((6, 6), (0, 0), (6, 6)),
                     objects=[Object(Sphere((middle, 0.5, middle), 0.15),
                                     Lorentz(2.0, 1.0, 2 * math.pi * 0.8, 0.1)),
                              Object(Slab((0, 0, 1), -1.0, graded[8]), Dielectric(3.0))])
    pulse = gaussian(4.0, 1.0, frequency=1.0)  # no charge left behind
    sim.add(CurrentBox(sim, waveform=pulse, direction=(1, 0, 1),
                       box=((middle - 0.1, 0.4, middle + 0.2), (middle + 0.1, 0.6, middle + 0.3))))
    sim.run(until=pulse.t0 + 5 * pulse.width, progress=False)
    start = sim.energy()
    peaks, window = [], []
    while sim.steps_done < 20_000:
        sim.run(100, progress=False)
        window.append(sim.energy())
        if len(window) == 10:
            peaks.append(max(window))
            window = []
    assert all(later <= earlier * (1 + 1e-6) for earlier, later in zip(peaks, peaks[1:])), peaks
    assert peaks[0] <= start and peaks[-1] < 1e-3 * start


def test_flux_boxes_and_the_far_field_on_graded_cells_keep_a_currents_power():
    # x and z graded 1.08 per cell out of a uniform middle of 0.05, y
    # uniform: the inner box lies in the middle, the outer one's faces in
    # the graded cells (with every weight a middle cell's it was 15-20 %
    # off the inner one)
    from orvane_sim.monitors.farfield import far_field, radiated_power, sphere_quadrature

    steps = [0.05 * 1.08**i for i in range(1, 11)]
    graded = [0.0] + torch.tensor(steps[::-1] + [0.05] * 24 + steps, dtype=F64).cumsum(0).tolist()
    length = graded[-1]
    n = 2 * round(length / 0.1)
    sim = Simulation(grid=(graded, (n, length / n), graded), layer_thickness=0.6)
    c = length / 2
    nu = [0.6, 0.9, 1.2]
    sim.add(CurrentBox(sim, waveform=gaussian(3.0, 0.8, frequency=0.9), direction=(1, 0, 1),
                       box=((c - 0.05,) * 3, (c + 0.05,) * 3)))
    inner, outer = (sim.add(FluxBox(sim, nu, box=((c - r,) * 3, (c + r,) * 3)))
                    for r in (0.35, 0.6))
    sim.run(until=18, progress=False)
    power = outer.power()[0, 0]
    assert (inner.power()[0, 0] / power - 1).abs().max() < 0.01  # measured 0.3 %
    s = outer.surface()
    theta, phi, weights = sphere_quadrature(24, 48)
    E = far_field(s["points"], s["weights"], s["J"], s["M"], torch.tensor(nu, dtype=F64),
                  theta, phi)
    assert (radiated_power(*E, weights)[0, 0] / power - 1).abs().max() < 0.02  # 0.4 %
