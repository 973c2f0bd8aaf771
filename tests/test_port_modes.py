"""Which mode a port takes: TE and TM counted apart, guided modes only.

A 0.5 × 0.22 silicon strip (n = 3.476) in silica (n = 1.444) at λ = 1.5 ..
1.6, on a coarse grid (20 cells per µm; lengths in µm): it guides TE0
(n_eff 2.46 at 1.55), TM0 (1.82) and TE1 near its cut-off (1.51); the next
mode the conducting rectangle holds has n_eff 1.34, below the cladding."""
import functools
import math

import numpy as np
import pytest
import torch

from orvane_sim import Box, Dielectric, Object, Simulation
from orvane_sim.circuits import ModePort, plane_permittivity
from orvane_sim.circuits.cross_section import cladding_index

pytest.importorskip("scipy")  # the mode solver's; set-up installs it

N_SI, N_SIO2 = 3.476, 1.444
NU = [1 / 1.6, 1 / 1.5]
W, H, MARGIN = 1.6, 1.2, 0.3  # the port's rectangle, and the layers round it


@functools.lru_cache(maxsize=None)
def strip(turned: bool = False) -> Simulation:
    """The strip along x, or along y (``turned``): a port normal to y has its
    width along x."""
    cy, cz = MARGIN + W / 2, MARGIN + H / 2
    lo, hi = [-1.0, cy - 0.25, cz - 0.11], [2.0, cy + 0.25, cz + 0.11]
    size = [1.0, W + 2 * MARGIN, H + 2 * MARGIN]
    if turned:
        lo[:2], hi[:2], size[:2] = lo[1::-1], hi[1::-1], size[1::-1]
    return Simulation(size=size, resolution=20, layer_thickness=MARGIN,
                      background=Dielectric(N_SIO2**2),
                      objects=[Object(Box(lo, hi), Dielectric(N_SI**2))])


@functools.lru_cache(maxsize=None)
def port(turned: bool = False, mode: int = 0, polarization=None) -> ModePort:
    rectangle = ((0.4, MARGIN, MARGIN), (0.4, MARGIN + W, MARGIN + H))
    if turned:
        rectangle = tuple((p[1], p[0], p[2]) for p in rectangle)
    return ModePort(strip(turned), NU, box=rectangle, direction="+y" if turned else "+x",
                    mode=mode, polarization=polarization)


# port normal to y?, mode, polarization: its position among all modes, by
# index, at every frequency
PICKED = {
    "TE0": (False, 0, "TE", 0),
    "TM0": (False, 0, "TM", 1),
    "TE1, past TM0": (False, 1, "TE", 2),
    "third by index": (False, 2, None, 2),
    "TE0 normal to y": (True, 0, "TE", 0),
    "TM0 normal to y": (True, 0, "TM", 1),
}


@pytest.mark.parametrize("turned, mode, polarization, position", PICKED.values(),
                         ids=PICKED.keys())
def test_modes_are_counted_within_their_polarization(turned, mode, polarization, position):
    p = port(turned, mode, polarization)
    assert p.index.tolist() == [position] * len(NU)
    # the width is y for a port normal to x, x for one normal to y: the
    # solver's x and y in the turned frame
    fraction = p.modes.energy_fraction[:, position]
    along_width = 1 - fraction if turned else fraction
    if polarization is not None:
        assert ((along_width > 0.5) == (polarization == "TE")).all()


def test_te0_lies_above_tm0_on_the_strip():
    te, tm = port(polarization="TE"), port(polarization="TM")
    n_te, n_tm = te.modes.neff[:, 0], tm.modes.neff[torch.arange(len(NU)), tm.index]
    print(f"n_eff at λ = 1.6, 1.5: TE0 {n_te.tolist()}, TM0 {n_tm.tolist()}")
    assert (n_te > n_tm + 0.5).all()
    assert (te.modes.energy_fraction[:, 0] > 0.9).all()


REFUSED = {
    "below the cladding": (dict(mode=3),
                           r"mode 3 is not guided at frequency 0\.625: its n_eff 1\.[0-3]\d+ is "
                           r"at or below the cladding index 1\.4440 .* n_eff 2\.\d+, 1\.\d+, "
                           r"1\.\d+\. "),
    "no second TM mode": (dict(mode=1, polarization="TM"),
                          r"TM mode 1 is not guided .* cladding index 1\.4440 .* guided TM "
                          r"modes there have n_eff 1\.[6-9]\d+\. "),
    "polarization by name": (dict(polarization="te"),
                             r"polarization must be 'TE', 'TM' or None, got 'te'"),
}


@pytest.mark.parametrize("options, message", REFUSED.values(), ids=REFUSED.keys())
def test_a_mode_that_is_not_guided_is_refused_with_both_indices(options, message):
    with pytest.raises(ValueError, match=message):
        port(**options)


def test_a_port_normal_to_z_has_no_te_or_tm():
    sim = Simulation(size=(1.0, 1.0, 1.0), resolution=10, layers=2,
                     objects=[Object(Box((0.3, 0.3, -1), (0.7, 0.7, 2)), Dielectric(6.0))])
    with pytest.raises(ValueError, match="normal to z has no width"):
        ModePort(sim, [1.0], box=((0.2, 0.2, 0.5), (0.8, 0.8, 0.5)), direction="+z",
                 polarization="TE")


@pytest.mark.parametrize("make", [
    lambda sim: ModePort(sim, [1.0], box=((0.5, 0.2, 0.2), (0.5, 0.8, 0.8)), direction="+x"),
    lambda sim: plane_permittivity(sim, 0, 5),
])
def test_a_mode_plane_across_unequal_cells_along_its_normal_is_refused(make):
    # the grid's mode travels on one spacing; unequal cells across are fine
    graded = [0.0, 0.1, 0.25, 0.45, 0.6, 0.7, 0.8, 0.9, 1.0]
    sim = Simulation(grid=(graded, (10, 0.1), graded), layers=2,
                     objects=[Object(Box((-1, 0.3, 0.3), (2, 0.7, 0.7)), Dielectric(6.0))])
    with pytest.raises(ValueError, match="normal to x .* non-uniform"):
        make(sim)


def test_a_guide_between_conducting_faces_keeps_its_mode():
    # a slab guide through the whole height between the box's conducting
    # z faces: the rectangle's edges there are walls, not cladding (the
    # index along them is the guide's own)
    sim = Simulation(size=(2.6, 1.4, 0.1), resolution=20, layers=(8, 8, 0),
                     objects=[Object(Box((-1, 0.5, -1), (4, 0.9, 1)), Dielectric(6.0))])
    p = ModePort(sim, [1.0], box=((0.5, 0.4, 0.0), (0.5, 1.0, 0.1)), direction="+x")
    assert float(p.modes.neff[0, 0]) > 1.0


@pytest.mark.parametrize("squeeze", [0.0, 0.5])
def test_the_cladding_is_the_index_its_edges_guide(squeeze):
    # uniform edges give their own index; an edge across a slab the slab's
    # TE0 index (the symmetric slab's dispersion relation), on equal or
    # graded cells; edges on walls do not count
    from test_modes import graded_slab, slab_index  # index 2 in 1, 1 thick, ν = 0.5

    nu = 0.5
    cells, _, line = graded_slab(50, 4.0, squeeze=squeeze)
    steps = 0.02 if squeeze == 0 else torch.from_numpy(cells)
    grid = torch.ones(len(line), len(line), dtype=torch.float64)
    grid[0, :] = torch.from_numpy(line)  # the edge at b = 0 runs along c
    exact = slab_index(2 * math.pi * nu, False, 0)
    found = cladding_index(grid, (steps, steps), (True, True, True, True), [nu])
    print(f"slab edge: {float(found[0]):.5f} against {exact:.5f}")
    assert float(found[0]) == pytest.approx(exact, abs=2e-3)
    assert float(cladding_index(grid, (steps, steps), (False, True, True, True),
                                [nu])[0]) == 1.0
    assert cladding_index(grid, (steps, steps), (False,) * 4, [nu]) is None


@pytest.mark.slow
def test_a_tm_port_launches_and_measures_tm0(backend):
    # TM0 is the strip's second mode by index: the source's profiles and the
    # monitor's overlaps take it through the port's per-frequency index
    from orvane_sim.circuits import s_parameters

    cy, cz = MARGIN + W / 2, MARGIN + H / 2
    sim = Simulation(size=(1.6, W + 2 * MARGIN, H + 2 * MARGIN), resolution=20,
                     layer_thickness=MARGIN, background=Dielectric(N_SIO2**2),
                     backend=backend.name, objects=[
                         Object(Box((-1.0, cy - 0.25, cz - 0.11), (3.0, cy + 0.25, cz + 0.11)),
                                Dielectric(N_SI**2))])
    nu = [1 / 1.7, 1 / 1.55, 1 / 1.4]
    ports = [ModePort(sim, nu, box=((x, MARGIN, MARGIN), (x, MARGIN + W, MARGIN + H)),
                      direction=d, polarization="TM") for x, d in ((0.4, "+x"), (1.2, "-x"))]
    assert ports[0].index.tolist() == [1] * 3
    S = s_parameters(sim, ports, until=120.0, lit=[0], progress=False)[..., 0]
    print(f"TM0 through {(S[:, 1].abs() ** 2).tolist()}, back {(S[:, 0].abs() ** 2).tolist()}")
    # at λ = 1.7 TM0's tails reach the layers 0.3 past the rectangle: 0.972
    assert ((S[:, 1].abs() ** 2 - 1).abs() < 0.05).all()
    assert (S[1:, 1].abs() ** 2 > 0.99).all()
    assert (S[:, 0].abs() ** 2 < 1e-3).all()
