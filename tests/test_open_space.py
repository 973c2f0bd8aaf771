"""Open space: the total-field box, flux through rectangles and closed boxes,
and the far field of a small dipole, run through the modules."""
import math

import pytest
import torch

from orvane_sim import (CurrentBox, FluxBox, FluxRectangle, Simulation, TotalFieldBox,
                        far_field, gaussian, intensity, radiated_power, sphere_quadrature)

H = 0.05
LO, HI = 8, 20  # the total-field box's nodes along every axis


def inside(component: int, shape) -> torch.Tensor:
    """Mask of an electric component's positions in the closed total-field box."""
    mask = torch.zeros(shape, dtype=torch.bool)
    index = [slice(LO, HI + 1)] * 3
    index[component] = slice(LO, HI)
    mask[tuple(index)] = True
    return mask


# direction, polarization, b2: each direction once, both kinds of fields
CASES = [("+z", None, 1), ("-z", "y", 2), ("+x", (0, 1, 1), 1), ("-x", "z", 1),
         ("+y", "x", 2), ("-y", None, 1)]


def unequal_cells() -> list[float]:
    """Node coordinates of 28 cells: H in the middle, 1.6 H in the 5-cell
    layers, a smooth ramp between (at most 1.1 from a cell to the next)."""
    ramp = [1.6 - 0.6 * math.sin(0.5 * math.pi * (i + 1) / 9) ** 2 for i in range(9)]
    sizes = [1.6] * 5 + ramp + ramp[::-1] + [1.6] * 5
    return [0.0] + torch.tensor(sizes, dtype=torch.float64).mul(H).cumsum(0).tolist()


# the uniform box, every case; the unequal one, a case per kind of field
BOXES = [(*case, False) for case in CASES] + [(*CASES[0], True), (*CASES[1], True),
                                              (*CASES[2], True)]


@pytest.mark.parametrize("direction, polarization, b2, unequal", BOXES)
def test_total_field_box_holds_the_wave_and_leaks_nothing(backend, direction, polarization, b2,
                                                           unequal):
    if unequal:  # every axis: the faces' cells and the line's differ from cell to cell
        sim = Simulation(grid=(unequal_cells(),) * 3, layers=5, b2=b2, backend=backend.name)
    else:
        sim = Simulation(shape=28, spacing=H, layers=5, b2=b2, backend=backend.name)
    nu = [0.5, 1.0, 1.5]
    box = sim.add(TotalFieldBox(sim, gaussian(1.0, 0.25, 1.0), direction, polarization,
                                nodes=((LO,) * 3, (HI,) * 3), frequencies=nu))
    axis, sign = "xyz".index(direction[1]), (1 if direction[0] == "+" else -1)
    lo, hi = [LO + 2] * 3, [HI - 2] * 3
    lo[axis] = hi[axis] = (LO + HI) // 2
    through = sim.add(FluxRectangle(sim, nu, nodes=(lo, hi), direction=sign))
    closed = sim.add(FluxBox(sim, nu, nodes=((LO + 2,) * 3, (HI - 2,) * 3)))
    masks = [inside(c, f.shape[2:5]) for c, f in enumerate((sim.Ex, sim.Ey, sim.Ez))]
    peak_in, peak_out = torch.zeros(3), 0.0
    for _ in range(55):  # the pulse has crossed the box by the end
        sim.step(2)
        for c, (f, m) in enumerate(zip((sim.Ex, sim.Ey, sim.Ez), masks)):
            a = f[0, 0].abs().amax(-1).cpu()
            peak_in[c] = max(peak_in[c], a[m].max())
            peak_out = max(peak_out, a[~m].max().item())
    assert 20 * math.log10(peak_out / peak_in.max()) < -60
    # E along the polarization (the first transverse axis by default)
    pol = torch.zeros(3)
    if polarization is None:
        pol[(axis + 1) % 3] = 1
    elif isinstance(polarization, str):
        pol["xyz".index(polarization)] = 1
    else:
        pol = torch.tensor(polarization, dtype=torch.float32).abs()
    torch.testing.assert_close(peak_in / peak_in.max(), pol / pol.max(), rtol=0, atol=1e-3)
    # the wave goes the right way, with the intensity the line recorded
    width = [float(sim.grid[a].nodes[HI - 2] - sim.grid[a].nodes[LO + 2]) for a in range(3)]
    area = math.prod(width) / width[axis]
    ratio = through.power()[0, 0] / (box.intensity()[0] * area)
    torch.testing.assert_close(ratio, torch.ones_like(ratio), rtol=2e-3, atol=0)
    assert closed.power().abs().max() < 1e-4 * through.power().abs().max()


def test_small_dipole_radiates_a_sin2_pattern_with_the_flux_boxes_power(backend):
    # A one-cell current along z with no DC part (a Gaussian's derivative).
    sim = Simulation(shape=36, spacing=H, layers=8, backend=backend.name)
    sim.add(CurrentBox(sim, (18, 18, 18), (1, 1, 1),
                       lambda t: -2 * (t - 1) / 0.25 * math.exp(-((t - 1) / 0.25) ** 2)))
    nu = [0.5, 1.0]
    near = sim.add(FluxBox(sim, nu, box=((0.6,) * 3, (1.2,) * 3)))
    far = sim.add(FluxBox(sim, nu, nodes=((10, 11, 9), (27, 26, 25))))
    sim.step(700)
    torch.testing.assert_close(near.power(), far.power(), rtol=1e-4, atol=0)
    surface = near.surface()
    theta, phi, weights = sphere_quadrature(16, 32)
    E = far_field(surface["points"], surface["weights"], surface["J"], surface["M"],
                  torch.tensor(nu), theta, phi)
    torch.testing.assert_close(radiated_power(*E, weights)[0, 0].cpu(), near.power()[0, 0].cpu(),
                               rtol=0.01, atol=0)
    pattern = intensity(*E)[0, 0, :, 0].cpu() / torch.sin(theta) ** 2  # ν = 0.5, 40 cells/λ
    assert (pattern / pattern.mean() - 1).abs().max() < 0.01


@pytest.mark.parametrize("make, message", [
    (lambda s: TotalFieldBox(s, gaussian(1, 1), "+w", nodes=((8,) * 3, (20,) * 3)), "direction"),
    (lambda s: TotalFieldBox(s, gaussian(1, 1), "+z", "z", nodes=((8,) * 3, (20,) * 3)),
     "normal to the direction"),
    (lambda s: TotalFieldBox(s, gaussian(1, 1), box=((0.1,) * 3, (1.0,) * 3)),
     r"absorbing layers; keep it within x = 0.25 \.\. 1.15"),
    # a face on the layer's inner edge: its magnetic cell outside is the layer's
    (lambda s: TotalFieldBox(s, gaussian(1, 1), nodes=((5, 8, 8), (20,) * 3)),
     r"a cell between each face and the box's edge or absorbing layer: nodes along x within "
     r"6 \.\. 22 \(x = 0.3 \.\. 1.1\), got 5 \.\. 20"),
    (lambda s: TotalFieldBox(s, gaussian(1, 1), box=((0.5,) * 3, (2.0,) * 3)),
     r"x = 2 lies outside the box, which spans x = 0 \.\. 1.4"),
    (lambda s: FluxRectangle(s, [1.0], box=((0.5,) * 3, (1.0,) * 3)), "one axis of zero extent"),
    (lambda s: FluxBox(s, [1.0], nodes=((8, 8, 8), (20, 8, 20))), "every axis"),
])
def test_open_space_features_name_what_is_wrong(make, message):
    sim = Simulation(shape=28, spacing=H, layers=5)
    before = sim.Ex.clone()
    with pytest.raises(ValueError, match=message):
        make(sim)
    assert not sim.sources and not sim.monitors and torch.equal(sim.Ex, before)
