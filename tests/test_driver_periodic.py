"""Periodic boxes as users build them: the driver guide's example, structures
across the periodic seam, real fields at normal incidence."""
import functools
import math
import re
from pathlib import Path

import pytest
import torch

from orvane_sim import (Box, Dielectric, FluxPlane, Object, PlaneWave, Simulation, Sphere,
                        gaussian)
from orvane_sim.reference import airy

GUIDE = Path(__file__).resolve().parents[1] / "docs" / "driver.md"


@pytest.mark.slow
def test_driver_guide_example_matches_airy():
    """The example runs longer than its plane wave's default line covers."""
    code = re.search(r"```python\n(from orvane_sim import .*?)```", GUIDE.read_text(), re.S)
    scope: dict = {}
    exec(code.group(1), scope)
    R = scope["R"][0, 0]
    expected, _ = airy(2 * math.pi * torch.tensor(scope["nu"]), 2.0, 0.5)
    torch.testing.assert_close(R, expected, atol=0.01, rtol=0)


PERIOD_CELLS = 20  # one period: N - 1 cells along x


def grating(shift: float):
    """A lamellar bar of one period [0, 1), translated by ``shift``."""
    return [Object(Box((0.3 + shift, -1.0, 1.0), (0.7 + shift, 1.0, 1.4)), Dielectric(4.0))]


@functools.lru_cache(maxsize=None)
def grating_run(backend_name: str, shift_cells: int, b2: int):
    """R and T of a grating lit at normal incidence with E along y, the
    structure invariant along y; the final fields."""
    h = 1.0 / PERIOD_CELLS
    sim = Simulation((PERIOD_CELLS + 1, 2, 60), spacing=h, layers=((0, 0), (0, 0), (12, 12)),
                     bloch=(0.0, 0.0), b2=b2, objects=grating(shift_cells * h),
                     backend=backend_name)
    nu = [0.5, 0.7, 0.9]  # below the first diffraction order (period 1)
    source = sim.add(PlaneWave(sim, 16, gaussian(2.0, 0.4), polarization=(0.0, 1.0),
                               frequencies=nu))
    back, through = sim.add(FluxPlane(sim, 14, nu)), sim.add(FluxPlane(sim, 44, nu))
    sim.run(until=14.0, progress=False)
    incident = source.incident_flux()[:, None]
    return -back.flux() / incident, through.flux() / incident, sim


@pytest.mark.slow
def test_grating_across_the_seam_equals_the_untranslated_one(backend):
    R0, T0, _ = grating_run(backend.name, 0, 1)
    assert float((R0 + T0 - 1).abs().max()) < 5e-3
    for shift in (10, 17):  # the bar crosses the seam / ends just past it
        R, T, _ = grating_run(backend.name, shift, 1)
        torch.testing.assert_close(R, R0, atol=2e-5, rtol=0)
        torch.testing.assert_close(T, T0, atol=2e-5, rtol=0)


@pytest.mark.slow
def test_real_fields_at_normal_incidence_equal_the_complex_run(backend):
    R1, T1, real = grating_run(backend.name, 10, 1)
    R2, T2, complex_ = grating_run(backend.name, 10, 2)
    assert real.b2 == 1 and complex_.b2 == 2
    torch.testing.assert_close(R1, R2, atol=1e-6, rtol=0)
    torch.testing.assert_close(T1, T2, atol=1e-6, rtol=0)
    torch.testing.assert_close(real.Ey, complex_.Ey[..., :1], atol=0, rtol=0)


@pytest.mark.slow
@pytest.mark.parametrize("b2", [1, 2])
def test_y_invariant_structure_lit_along_y_keeps_ex_and_ez_zero(backend, b2):
    *_, sim = grating_run(backend.name, 10, b2)
    assert sim.Ey.abs().max() > 0.01
    assert int(sim.Ex.count_nonzero()) == 0 and int(sim.Ez.count_nonzero()) == 0


@pytest.mark.parametrize("shape, extra", [
    (Sphere((0.0, 0.5, 0.5), 0.3), {}),                    # centred on the x seam
    (Sphere((0.95, 0.95, 0.5), 0.3), {}),                  # across both seams
    (Box((-0.21, 0.21, 0.21), (0.26, 0.79, 0.79)), {"smoothing": "staircase"}),
])
def test_shapes_across_the_seam_are_whole_and_the_seam_planes_match(backend, shape, extra):
    N, h = PERIOD_CELLS, 1.0 / PERIOD_CELLS

    def painted(shift_cells: int):
        s = shape
        if shift_cells:
            d = shift_cells * h
            s = Sphere((s.center[0] + d, s.center[1], s.center[2]), s.radius) \
                if isinstance(s, Sphere) else Box((s.lo[0] + d, *s.lo[1:]), (s.hi[0] + d, *s.hi[1:]))
        sim = Simulation((N + 1, N + 1, 20), spacing=h, layers=0, bloch=(0.0, 0.0),
                         objects=[Object(s, Dielectric(4.0))], backend=backend.name, **extra)
        return [e[0].cpu() for e in sim.permittivity()]

    here, moved = painted(0), painted(7)
    for eps, eps_moved in zip(here, moved):
        for axis in (0, 1):  # the seam's two copies hold identical values
            assert torch.equal(eps.select(axis, 0), eps.select(axis, N))
        # one period of the moved shape is the period of the shape, rolled
        torch.testing.assert_close(eps_moved[:N, :N], eps[:N, :N].roll(7, 0), atol=0, rtol=1e-5)
    assert float(here[2].max()) > 3.9
