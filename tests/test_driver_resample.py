"""Monitor fields resampled onto a user's grid."""
import pytest
import torch

import OrvaneCPU
from orvane_sim.monitors.resample import fields_on_grid, spread, yee_coordinates

SPACING, ORIGIN, START = (0.5, 0.25, 1.0), (-1.0, 0.0, 2.0), (2, 0, 1)


def linear(x, y, z):
    """A complex field linear in each coordinate: trilinear blending is exact for it."""
    X, Y, Z = torch.meshgrid(x.double(), y.double(), z.double(), indexing="ij")
    return (1 + 2j) + (0.5 - 1j) * X + 3j * Y - 0.25 * Z


def test_staggered_positions():
    x, y, z = yee_coordinates("Hy", (2, 3, 1), SPACING, ORIGIN, START)
    assert x.tolist() == [0.25, 0.75] and y.tolist() == [0.0, 0.25, 0.5] and z.tolist() == [3.5]
    with pytest.raises(ValueError, match="component must be one of"):
        yee_coordinates("Jx", (1, 1, 1), SPACING)


def test_every_component_lands_on_the_user_grid():
    counts = (6, 5, 4)
    fields = {}
    for name in ("Ex", "Ey", "Ez", "Hz"):
        f = linear(*yee_coordinates(name, counts, SPACING, ORIGIN, START))
        fields[name] = f.to(torch.complex64)[None, None, ..., None].expand(2, 1, *counts, 3).contiguous()
    targets = (torch.linspace(0.3, 1.4, 7), torch.linspace(0.3, 0.9, 4), torch.linspace(3.6, 5.4, 5))
    out = fields_on_grid(OrvaneCPU, fields, SPACING, targets, ORIGIN, START)
    want = linear(*targets).to(torch.complex64)
    for name, got in out.items():
        assert got.shape == (2, 1, 7, 4, 5, 3)
        torch.testing.assert_close(got[1, 0, ..., 2], want, atol=1e-5, rtol=1e-5, msg=name)


def test_unequal_cells_land_on_the_user_grid_too():
    """Node coordinates along x and z (as ``sim.grid`` gives them): a half
    position is its cell's centre; a None spacing is refused by axis."""
    x = torch.tensor([0.0, 0.1, 0.25, 0.45, 0.7, 1.0, 1.4, 1.9], dtype=torch.float64)
    z = torch.tensor([0.0, 0.3, 0.5, 0.6, 0.65, 0.7, 0.8], dtype=torch.float64)
    spacing, counts, start = (x, 0.25, z), (5, 4, 3), (1, 0, 2)
    ex_x, _, ex_z = yee_coordinates("Ex", counts, spacing, ORIGIN, start)
    torch.testing.assert_close(ex_x, (0.5 * (x[1:6] + x[2:7]) - 1.0).float())
    torch.testing.assert_close(ex_z, (z[2:5] + 2.0).float())
    fields = {name: linear(*yee_coordinates(name, counts, spacing, ORIGIN, start))
              .to(torch.complex64)[None, None, ..., None] for name in ("Ex", "Ez")}
    targets = (torch.linspace(-0.7, -0.05, 5), torch.linspace(0.1, 0.6, 3),
               torch.linspace(2.55, 2.62, 4))
    want = linear(*targets).to(torch.complex64)
    for name, got in fields_on_grid(OrvaneCPU, fields, spacing, targets, ORIGIN, start).items():
        torch.testing.assert_close(got[0, 0, ..., 0], want, atol=1e-5, rtol=1e-5, msg=name)
    with pytest.raises(ValueError, match=r"the z axis is non-uniform.*sim\.grid"):
        yee_coordinates("Ex", counts, (0.1, 0.1, None))
    with pytest.raises(ValueError, match=r"Ez nodes 2 \.\. 6 along z lie outside the axis' 6 "):
        yee_coordinates("Ez", (1, 1, 5), spacing, start=(0, 0, 2))


def test_spread_conserves_the_total():
    base = yee_coordinates("Ex", (4, 3, 3), SPACING)
    targets = (torch.tensor([0.1, 0.9, 5.0]), torch.tensor([0.3]), torch.tensor([-1.0, 0.7]))
    values = torch.randn(1, 1, 3, 1, 2, 2, dtype=torch.complex64)
    got = spread(OrvaneCPU, values, base, targets)
    assert got.shape == (1, 1, 4, 3, 3, 2)
    torch.testing.assert_close(got.sum(dim=(2, 3, 4)), values.sum(dim=(2, 3, 4)))
