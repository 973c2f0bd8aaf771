"""The automatic mesher: along one axis (``mesh_axis``) the cells keep to
their caps, grow by at most the ratio asked for, put the snapped faces on
nodes and come to a sensible count; around objects (``automatic_grid``)
the caps follow each material's wavelength and the layers' thickness."""
import math

import pytest
import torch

from orvane_sim import Box, Cylinder, Dielectric, Drude, Object, Prism, Slab, Sphere
from orvane_sim.geometry.meshing import automatic_grid
from orvane_sim.grid.mesher import MeshInterval, mesh_axis

I = MeshInterval

# (length, intervals, background, ratio, extra points[, uniform stretches])
AXES = {
    "empty": (3.0, [], 0.1, 1.2, ()),
    "one layer": (4.0, [I(1.0, 1.22, 0.02, True)], 0.2, 1.2, ()),
    "close layers": (4.0, [I(1.0, 1.22, 0.02, True), I(1.3, 1.32, 0.005, True),
                           I(2.0, 3.0, 0.05, True)], 0.2, 1.2, ()),
    "gentle ratio": (2.0, [I(0.9, 1.0, 0.004, True)], 0.1, 1.05, ()),
    "sphere, no snap": (2.0, [I(0.62, 1.37, 0.01, False)], 0.1, 1.2, ()),
    "layer at a face": (1.0, [I(-0.5, 0.13, 0.01, True)], 0.08, 1.2, ()),
    "gap of one cap": (2.0, [I(0.5, 0.9, 0.02, True), I(0.93, 1.3, 0.02, True)], 0.1, 1.2,
                       ()),
    "points": (2.0, [I(0.5, 0.6, 0.01, True)], 0.1, 1.2, (0.2, 1.55, 1.5500000001)),
    "nested caps": (3.0, [I(0.5, 2.5, 0.05, True), I(1.4, 1.45, 0.002, True)], 0.2, 1.15, ()),
    "layers at the ends": (3.0, [I(0.3, 0.35, 0.004, True)], 0.1, 1.1, (0.6, 2.2),
                           [(0.0, 0.25), (2.5, 3.0)]),
}


@pytest.mark.parametrize("case", AXES)
def test_an_axis_keeps_its_caps_and_ratio_and_snaps_its_faces(case):
    length, intervals, background, ratio, points, *uniform = AXES[case]
    uniform = uniform[0] if uniform else []
    nodes = mesh_axis(length, intervals, background, ratio, points, uniform=uniform)
    cells = nodes.diff()
    assert float(nodes[0]) == 0.0 and float(nodes[-1]) == length
    assert bool((cells > 0).all())
    steps = cells[1:] / cells[:-1]
    assert float(torch.cat([torch.ones(1, dtype=cells.dtype), steps, 1 / steps]).max()) \
        <= ratio * (1 + 1e-9)
    assert float(cells.max()) <= background * (1 + 1e-9)
    for i in intervals:
        lo, hi = max(i.lo, 0.0), min(i.hi, length)
        if i.snap:
            for face in (lo, hi):
                assert float((nodes - face).abs().min()) < 1e-12, (case, face)
            inside = (nodes[:-1] >= lo - 1e-12) & (nodes[1:] <= hi + 1e-12)
            assert float(cells[inside].max()) <= i.step * (1 + 1e-9), case
    for p in points:
        # a node amid equal cells
        k = int((nodes - p).abs().argmin())
        assert float((nodes[k] - p).abs()) < 1e-6, (case, p)
        assert float(cells[k]) == pytest.approx(float(cells[k - 1]), rel=1e-9), (case, p)
    for lo, hi in uniform:
        inside = cells[(nodes[:-1] >= lo - 1e-12) & (nodes[1:] <= hi + 1e-12)]
        assert float(inside.max() - inside.min()) < 1e-9 * float(inside.max()), (case, lo)
        assert float(inside.sum()) == pytest.approx(hi - lo, rel=1e-12)
    # sensible: at least each cap's own cells, and fewer than the smallest
    # cap everywhere would take
    smallest = min([background] + [i.step for i in intervals])
    needed = sum((min(i.hi, length) - max(i.lo, 0.0)) / i.step for i in intervals)
    assert needed <= cells.numel() <= math.ceil(length / smallest) + 2 * len(intervals) + 2


def test_the_refinement_spreads_geometrically_and_no_further_than_it_must():
    nodes = mesh_axis(6.0, [I(2.9, 3.1, 0.01, True)], 0.2, 1.2)
    cells = nodes.diff()
    # from 0.01 to 0.2 at 1.2 a cell takes ln(20)/ln(1.2), about 16.4
    # cells each way, and the rest is background
    grading = int(((cells > 0.0105) & (cells < 0.199)).sum())
    assert 30 <= grading <= 40
    assert int((cells > 0.199).sum()) >= 10


@pytest.mark.parametrize("length, intervals, background, ratio, words", [
    (-1.0, [], 0.1, 1.2, "length must be a finite number > 0"),
    (1.0, [], 0.0, 1.2, "background step must be a finite number > 0"),
    (1.0, [], 0.1, 1.0, "ratio must be above 1"),
    (1.0, [I(0.2, 0.3, 0.0, True)], 0.1, 1.2, "step must be a finite number > 0"),
])
def test_bad_axis_arguments_are_refused(length, intervals, background, ratio, words):
    with pytest.raises(ValueError, match=words):
        mesh_axis(length, intervals, background, ratio, what="z")


SILICON, OXIDE = Dielectric(3.48**2), Dielectric(1.44**2)
STRIP = [Object(Slab((0, 0, 1), -1.0, 1.0), OXIDE),
         Object(Prism([(0.0, 1.25), (4.0, 1.25), (4.0, 1.75), (0.0, 1.75)], 1.0, 1.22), SILICON)]


def test_a_strip_is_meshed_by_its_materials_wavelengths_with_its_faces_on_nodes():
    f, per = 1 / 1.55, 15
    grid = automatic_grid(STRIP, (4.0, 3.0, 2.5), f, cells_per_wavelength=per)
    x, y, z = grid.axes
    assert x.uniform == pytest.approx(1.55 / 3.48 / per, rel=0.05)  # silicon all along x
    for axis, faces in ((y, (1.25, 1.75)), (z, (1.0, 1.22))):
        for face in faces:
            assert float((axis.nodes - face).abs().min()) < 1e-12
    # through the oxide below, the vacuum above: their own wavelengths
    assert float(z.primal[z.nodes[1:] <= 0.5].max()) <= 1.55 / 1.44 / per * (1 + 1e-9)
    assert float(z.primal.max()) == pytest.approx(1.55 / per, rel=0.05)


@pytest.mark.parametrize("options, cells", [
    ({}, 6),                              # 0.22 at 1.55 / 3.48 / 15 = 0.0297: 8 cells
    ({"thin": (0.3, 12)}, 12),
    ({"thin": (0.2, 12)}, 6),             # 0.22 is not thinner than 0.2
    ({"cells_across": {1: 20}}, 20),
    ({"cells_across": {STRIP[1]: 10}}, 10),
])
def test_layers_get_the_cells_across_them_asked_for(options, cells):
    grid = automatic_grid(STRIP, (4.0, 3.0, 2.5), 1 / 1.55, cells_per_wavelength=15, **options)
    z = grid[2].nodes
    across = int(((z > 1.0 - 1e-12) & (z < 1.22 + 1e-12)).sum()) - 1
    assert across >= cells


def test_curved_shapes_are_refined_but_not_snapped_and_metals_by_their_skin():
    gold = Drude(1.0, 2 * math.pi * 2.0, 0.1)  # |ε| large at f = 0.5: short skin
    objects = [Object(Sphere((1.0, 1.0, 1.0), 0.3), Dielectric(4.0)),
               Object(Cylinder((1.0, 1.0, 1.0), (0, 0, 1), 0.1, 0.4), gold)]
    grid = automatic_grid(objects, 2.0, 0.5, cells_per_wavelength=10)
    x = grid[0]
    eps = complex(gold.permittivity(2 * math.pi * 0.5))
    inside = (x.nodes[:-1] >= 0.9) & (x.nodes[1:] <= 1.1)
    assert float(x.primal[inside].max()) <= 1 / (0.5 * abs(eps) ** 0.5) / 10 * 1.2
    assert float((x.nodes - 0.7).abs().min()) > 1e-6  # the sphere's face is not a node
    assert float(x.primal.max()) <= 2.0 / 10 + 1e-12


def test_the_layers_are_stretches_of_equal_cells_that_the_simulation_takes_exactly():
    from orvane_sim import Simulation

    grid = automatic_grid(STRIP, (4.0, 3.0, 2.5), 1 / 1.55, cells_per_wavelength=15,
                          uniform=(0, 1), layer_thickness=(0, 0, (0.5, 0.7)))
    sim = Simulation(grid=grid, layer_thickness=(0, 0, (0.5, 0.7)))
    z = grid[2]
    low, high = sim.faces[2]
    assert float(z.nodes[low]) == pytest.approx(0.5) and \
        float(z.length - z.nodes[z.cells - high]) == pytest.approx(0.7)
    for cells in (z.primal[:low], z.primal[z.cells - high:]):
        assert float(cells.max() - cells.min()) < 1e-9


def test_uniform_axes_keep_one_spacing_the_finest_asked_for():
    grid = automatic_grid(STRIP, (1.0, 3.0, 2.5), 1 / 1.55, cells_per_wavelength=15,
                          uniform=(0, 1))
    assert grid[0].uniform is not None and grid[1].uniform is not None
    assert grid[1].uniform <= 1.55 / 3.48 / 15 and grid[2].uniform is None


@pytest.mark.parametrize("options, error, words", [
    ({"thin": 0.3}, ValueError, "thin needs \\(length, cells\\)"),
    ({"cells_across": {5: 3}}, ValueError, "cells_across index must be in 0 .. 1"),
    ({"cells_across": {Object(Box((0, 0, 0), (1, 1, 1)), OXIDE): 3}}, ValueError,
     "not among the objects"),
    ({"points": (0.5,)}, ValueError, "one sequence of coordinates per axis"),
    ({"background": -2.0}, ValueError, "background"),
    ({"uniform": 3}, ValueError, "uniform axis must be in 0 .. 2"),
    ({"layer_thickness": (0, 0, 2.0)}, ValueError, "leave room inside the box's 2.5"),
])
def test_bad_mesher_options_are_refused_naming_them(options, error, words):
    with pytest.raises(error, match=words):
        automatic_grid(STRIP, (4.0, 3.0, 2.5), 1 / 1.55, **options)
