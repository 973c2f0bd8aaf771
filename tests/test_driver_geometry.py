"""The driver puts objects on the grid: known answers for painted and
smoothed permittivity, and the time loop's use of it."""
import math

import pytest
import torch

from orvane_sim import Simulation
from orvane_sim.geometry import (Box, Cylinder, Material, Object, Slab, Sphere, fill_fraction,
                                 permittivity_grids)

SHAPE, SPACING = (8, 6, 5), (1.0, 1.0, 1.0)


def grids(backend, objects, **options):
    return [e[0].cpu().double() for e in permittivity_grids(
        objects, SHAPE, SPACING, backend.module, backend.device, **options)]


@pytest.mark.parametrize("direction", [(1, 0, 0), (-1, 0, 0)])
def test_slab_between_nodes_gives_harmonic_normal_and_arithmetic_parallel_means(backend,
                                                                               direction):
    # ε = 4 for 2.3 <= x <= 5.6 over a background of 1, faces between nodes.
    s = direction[0]
    slab = Object(Slab(direction, 2.3 * s if s > 0 else -5.6, 5.6 if s > 0 else -2.3),
                  Material(4.0))
    eps_x, eps_y, eps_z = grids(backend, [slab])
    harmonic = lambda f: 1 / (f / 4 + (1 - f))  # noqa: E731
    arithmetic = lambda f: 4 * f + (1 - f)      # noqa: E731
    # Ex nodes at x = i + 1/2: node 2 has 0.7 of its dual cell in the slab, node 5 0.6
    want_x = torch.tensor([1, 1, harmonic(0.7), 4, 4, harmonic(0.6), 1, 1], dtype=torch.float64)
    # Ey and Ez nodes at x = i: node 2 holds 0.2, node 6 0.1
    want_yz = torch.tensor([1, 1, arithmetic(0.2), 4, 4, 4, arithmetic(0.1), 1],
                           dtype=torch.float64)
    for got, want in ((eps_x, want_x), (eps_y, want_yz), (eps_z, want_yz)):
        # the same along y and z, to the 1e-4 the weights leave out
        torch.testing.assert_close(got, want.view(-1, 1, 1).expand(SHAPE), atol=2e-3, rtol=0)

    # without smoothing every component gets the volume-weighted mean
    plain_x = grids(backend, [slab], smoothing=False)[0]
    want_plain = torch.tensor([1, 1, arithmetic(0.7), 4, 4, arithmetic(0.6), 1, 1],
                              dtype=torch.float64)
    torch.testing.assert_close(plain_x, want_plain.view(-1, 1, 1).expand(SHAPE), atol=1e-5,
                               rtol=0)


def test_later_objects_win_and_volumes_add_up(backend):
    big = Object(Box((1, 1, 1), (7, 5, 4)), Material(2.0))
    inner = Object(Box((3, 2, 1.5), (5, 4, 3.5)), Material(6.0))
    eps_y = grids(backend, [big, inner], smoothing=False)[1]
    assert eps_y[4, 2, 2].item() == pytest.approx(6.0)   # inside both: the later one
    assert eps_y[2, 2, 2].item() == pytest.approx(2.0)   # only inside the first
    assert eps_y[0, 0, 0].item() == pytest.approx(1.0)   # background

    # a sphere's painted excess adds up to its volume (no smoothing: linear)
    # (kept off the outermost nodes, whose dual cells are half as wide)
    r = 1.2
    ball = Object(Sphere((4.0, 3.0, 2.2), r), Material(3.0))
    for eps in grids(backend, [ball], smoothing=False, resolution=6):
        assert ((eps - 1) / 2).sum().item() == pytest.approx(4 / 3 * math.pi * r**3, rel=0.02)


def test_shapes_fill_and_normals():
    cyl = Cylinder((0, 0, 0), (0, 0, 1), radius=1.0, length=2.0)
    box = [(-1.0, 1.0), (-1.0, 1.0), (-1.0, 1.0)]
    for got, want in zip(cyl.bounds(), box):
        assert got == pytest.approx(want)
    frac = fill_fraction(cyl, box, (8, 8, 4), supersample=4)
    assert frac.mean().item() == pytest.approx(math.pi / 4, rel=0.02)
    p = torch.tensor([[0.9, 0.0, 0.1], [0.0, 0.2, 0.95]], dtype=torch.float64)
    torch.testing.assert_close(cyl.normal(p), torch.tensor([[1.0, 0, 0], [0, 0, 1.0]],
                                                           dtype=torch.float64))
    slab = Slab((1, 1, 0), 0.0, 1.0)
    assert slab.bounds()[0] == (-math.inf, math.inf)
    with pytest.raises(ValueError, match="permittivity must be positive"):
        Material(0.0)


def test_a_dielectric_scales_the_update_by_its_permittivity(backend):
    def run(objects):
        sim = Simulation((10, 10, 10), layers=2, backend=backend.name)
        if objects is not None:
            sim.set_objects(objects)
        sim.set_gaussian_pulse(width=1.5)
        before = sim.Ex.clone()
        sim.step()
        return (sim.Ex - before)[0, 0, 3:7, 3:7, 3:7, 0]

    vacuum = run(None)
    same = run([Object(Box((-1, -1, -1), (11, 11, 11)), Material(1.0))])
    dense = run([Object(Box((-1, -1, -1), (11, 11, 11)), Material(4.0))])
    torch.testing.assert_close(same, vacuum)
    # (the smoothed weight leaves ε = 4 short by the 1e-4 of its denominator)
    torch.testing.assert_close(dense, vacuum / 4, atol=1e-5, rtol=1e-4)


@pytest.mark.parametrize("tile, periodic", [(64, ()), (4, ()), (5, (0, 1))])
def test_any_part_of_the_box_is_painted_as_the_whole_box_paints_it(backend, monkeypatch, tile,
                                                                   periodic):
    # Slabs of a split run paint their own parts; every node must come out
    # bit for bit as in the whole box, along every axis, with one tile or
    # several (tiles cut by the parts' ends) and across periodic seams.
    from orvane_sim.geometry import painting as geometry
    from orvane_sim.distributed import slab_bounds

    monkeypatch.setattr(geometry, "PAINT_TILE", tile)
    shape = (14, 10, 12)
    objects = [Object(Box((2.2, 1.5, 2.0), (11.6, 4.3, 9.4)), Material(3.0)),
               Object(Sphere((7.4, 5.2, 6.1), 2.6), Material(2.0)),
               Object(Sphere((0.3, 2.2, 8.1), 1.7), Material(5.0))]
    table = torch.tensor([1.0, 3.0, 2.0, 5.0], device=backend.device)

    def paint(part=None, offset=(0, 0, 0)):
        return geometry.material_grids(objects, part or shape, SPACING, backend.module,
                                       backend.device, table, domain=shape, offset=offset,
                                       periodic=periodic)

    whole = paint()
    for axis in range(3):
        for ranks in (2, 3):
            for rank in range(ranks):
                lo, hi = slab_bounds(shape[axis], ranks, rank)
                part = list(shape)
                part[axis] = hi - lo
                offset = [0, 0, 0]
                offset[axis] = lo
                for mine, theirs in zip(paint(tuple(part), tuple(offset)), whole):
                    for a, b in zip(mine, theirs):
                        assert torch.equal(a, b.narrow(1 + axis, lo, hi - lo)), (axis, ranks, rank)
    if tile == 64:  # tiles change only the last bits of what one tile gives
        monkeypatch.setattr(geometry, "PAINT_TILE", 3)
        for mine, theirs in zip(paint(), whole):
            torch.testing.assert_close(mine[0], theirs[0], atol=1e-5, rtol=0)
            assert torch.equal(mine[1], theirs[1])


# Mirror images. Every layout below is centred on node 8 of a 17-node axis
# (node i mirrors node 16 - i, a component along that axis i mirrors
# 15 - i), with faces, edges, corners and rims on nodes, half-way between
# them and a quarter of the way: ties for the nearest face everywhere. At a
# spacing of 0.5 every coordinate is exact, so the layout is exactly
# symmetric and so must the painting be, bit for bit; at 0.05 (20 cells per
# unit) x and its mirror image round differently, and only the last bits may
# differ, never a tie decided the other way.
MIRROR_NODES = 17


def _prism(polygon, half_height, axis):
    pytest.importorskip("shapely")
    from orvane_sim import Prism

    def make(c, h):
        return Prism([(c + u * h, c + v * h) for u, v in polygon], c - half_height * h,
                     c + half_height * h, axis=axis)
    return make


def _box(*half):
    return lambda c, h: Box(tuple(c - a * h for a in half), tuple(c + a * h for a in half))


RECTANGLE = [(-3.25, -1.75), (3.25, -1.75), (3.25, 1.75), (-3.25, 1.75)]
DIAMOND = [(-4, 0), (0, -4), (4, 0), (0, 4)]
CROSS = [(-1, -4), (1, -4), (1, -1), (4, -1), (4, 1), (1, 1), (1, 4), (-1, 4), (-1, 1),
         (-4, 1), (-4, -1), (-1, -1)]
MIRROR_LAYOUTS = {
    "box faces on nodes": _box(3, 4, 5),
    "box faces between nodes": _box(3.5, 2.5, 4.5),
    "box faces a quarter off": _box(2.75, 1.25, 1.5),
    "sphere through nodes": lambda c, h: Sphere((c, c, c), 4 * h),
    "sphere between nodes": lambda c, h: Sphere((c, c, c), 3.5 * h),
    **{f"cylinder along {'xyz'[a]}": (lambda a: lambda c, h: Cylinder(
        (c, c, c), tuple(float(i == a) for i in range(3)), 3.5 * h, 6 * h))(a) for a in range(3)},
    **{f"{name} prism along {'xyz'[a]}": _prism(polygon, height, a)
       for a in range(3) for name, polygon, height in (
           ("rectangle", RECTANGLE, 3.5), ("diamond", DIAMOND, 2), ("cross", CROSS, 2.25))},
}


def mirrored(grid, axis, staggered):
    """The grid's nodes that have a mirror image in it (end nodes, whose dual
    cells stop at their own coordinate, left out), and those images."""
    n = MIRROR_NODES
    first = torch.arange(1, n - 1 - staggered)
    image = (n - 1 - staggered) - first
    keep = image < n - 1
    return grid.index_select(axis, first[keep]), grid.index_select(axis, image[keep])


@pytest.mark.parametrize("spacing, exact", [(0.5, True), (0.05, False)])
@pytest.mark.parametrize("layout", MIRROR_LAYOUTS)
def test_a_mirror_symmetric_layout_paints_mirror_symmetric_grids(backend, layout, spacing, exact):
    n, h = MIRROR_NODES, spacing
    shape = MIRROR_LAYOUTS[layout]((n - 1) / 2 * h, h)
    eps = permittivity_grids([Object(shape, Material(4.0))], (n,) * 3, (h,) * 3,
                             backend.module, backend.device)
    for component, grid in enumerate(eps):
        for axis in range(3):
            mine, image = mirrored(grid[0].cpu(), axis, component == axis)
            if exact:
                assert torch.equal(mine, image), (component, axis)
            else:
                torch.testing.assert_close(mine, image, atol=1e-4, rtol=0,
                                           msg=f"E{'xyz'[component]} along {'xyz'[axis]}")
