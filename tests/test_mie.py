"""A sphere in open space against Mie theory (the miepython package): the
scattering of an ε = 4 dielectric sphere and its convergence, the far field
of its scattered wave, a lossy dispersive sphere's scattering and
absorption, and a metal sphere's absorption under the default smoothing.
The runs and their sizes are the ``mie`` demo's: radius 0.5, 20 and 40
cells per unit (48³ and 80³ cells), size parameters 0.5 .. 3, a few
minutes on two cores in all."""
import functools
import math
import re
from pathlib import Path

import pytest
import torch

from orvane_sim import Drude
from orvane_sim.demos import mie

pytestmark = pytest.mark.slow
pytest.importorskip("miepython")  # set-up installs it; a machine off the index skips


@functools.lru_cache(maxsize=None)
def run(backend: str, resolution: int, lossy: bool = False):
    material = mie.lossy() if lossy else mie.dielectric()
    result = mie.sphere_run(resolution, material, backend, count=11, progress=False)
    return result, mie.reference(result["x"], material, result["dt"] if lossy else None)


def largest_error(backend, resolution: int, name: str = "Qsca", lossy: bool = False) -> float:
    result, ref = run(backend.name, resolution, lossy)
    return mie.relative_error(result, ref, name).abs().max().item()


def test_dielectric_sphere_scatters_as_mie_and_converges(backend):
    coarse, fine = largest_error(backend, 20), largest_error(backend, 40)
    print(f"Qsca against Mie: {coarse:.2%} at 20, {fine:.2%} at 40 cells per unit; "
          f"falls {coarse / fine:.2f}x (order {math.log2(coarse / fine):.2f})")
    assert fine < 0.03
    assert coarse / fine >= 1.5


def test_dielectric_sphere_converges_at_second_order_under_the_full_tensor(backend):
    """The ε = 4 sphere at 10, 20 and 30 cells per unit, size parameters
    0.6, 1.2 and 2: the largest error falls at order 1.7 or more (with the
    tensor's diagonal alone it fell at first order, 8.9 %, 4.3 %, 3.0 % at
    x = 0.6); about a minute and a half."""
    x = [0.6, 1.2, 2.0]
    errors = {}
    for r in (10, 20, 30):
        result = mie.sphere_run(r, None, backend.name, x=x, far_field=False, progress=False)
        errors[r] = mie.relative_error(result, mie.reference(result["x"]), "Qsca").abs()
    largest = {r: e.max().item() for r, e in errors.items()}
    orders = [math.log(largest[a] / largest[b]) / math.log(b / a) for a, b in ((10, 20), (20, 30))]
    print(f"Qsca against Mie, largest error: {largest}; orders {orders}")
    assert min(orders) >= 1.7
    assert errors[30][:2].max() < 0.002  # x up to 1.2 within 0.2 % at 30 cells per unit


def test_far_field_of_the_scattered_wave_holds_its_power_and_mies_pattern(backend):
    result, _ = run(backend.name, 40, False)  # the key the first test filled
    assert (result["Pfar"] - 1).abs().max() < 0.02
    for f in (0, 5, 10):
        x = result["x"][f].item()
        got = result["pattern"][:, :, f]
        ref = mie.pattern_reference(x, result["theta"])
        assert (got / got.max() - ref / ref.max()).abs().max() < 0.03, x


def test_sphere_on_a_grid_refined_around_it_scatters_as_mie(backend):
    """40 cells per unit through the sphere and its total-field box, 20 by
    the layers (75³ cells against 80³ at 40 throughout): the total-field
    box's faces, its incident line and the flux boxes lie on unequal cells,
    and the couplings of the full smoothed tensor run there. Measured
    -0.04, -0.01, +0.49, -0.85 % at these size parameters (40 throughout:
    +0.20, +0.09, +0.40, -0.82 %; the diagonal alone: +2.30 % at 0.6).
    About 10 s."""
    result = mie.sphere_run(40, None, backend.name, x=[0.6, 1.2, 2.0, 3.0], far_field=False,
                            progress=False, coarse=20)
    assert max(result["shape"]) < 80
    error = mie.relative_error(result, mie.reference(result["x"]), "Qsca").abs()
    assert error.max() < 0.012 and error[:2].max() < 0.003


def test_lossy_dispersive_sphere_scatters_and_absorbs_as_mie(backend):
    for name in ("Qsca", "Qabs"):
        assert largest_error(backend, 40, name, lossy=True) < 0.05, name


def test_drude_sphere_absorbs_by_default_as_the_staircase_does(backend):
    """A metal sphere, ε = 1 − 25/(ω² + iω), at 20 cells per unit: by default
    it is staircased, and its absorption at size parameter 0.6 comes within
    the staircase's 17.9 % of Mie's (Meep's on the same sphere); the
    volume-weighted blend was 68.5 % off. About 20 s."""
    metal = Drude(1.0, omega_p=5.0, gamma=1.0)
    # the full run's pulse (its band from 0.5 to 3), read at 0.6
    result = mie.sphere_run(20, metal, backend.name, x=[0.5, 0.6, 3.0], far_field=False,
                            progress=False)
    ref = mie.reference(result["x"], metal, result["dt"])
    assert abs(mie.relative_error(result, ref, "Qabs")[1].item()) < 0.19


def test_readme_open_space_example_runs_and_agrees_with_mie():
    readme = (Path(__file__).resolve().parents[1] / "docs" / "scattering.md").read_text()
    code = re.search(r"```python\n(import math, torch\n.*?)```", readme, re.S)
    scope: dict = {}
    exec(code.group(1), scope)
    torch.testing.assert_close(scope["P_far"], scope["scattered"].power(), rtol=0.02, atol=0)
    x = 2 * math.pi * 0.5 * scope["nu"]
    ref = mie.reference(x)["Qsca"]
    assert (scope["Q_sca"] / ref - 1).abs().max() < 0.08
