"""Prisms: a rectangle extruded is the box, holes and sloped sidewalls fill
the volumes they should."""
import math

import pytest
import torch

pytest.importorskip("shapely")  # set-up installs it; a machine off the index skips

from orvane_sim import Box, Prism  # noqa: E402
from orvane_sim.geometry import fill_fraction  # noqa: E402

F64 = torch.float64
LO, HI = (1.0, 1.5, 0.5), (4.0, 3.0, 2.5)


def rectangle(axis):
    u, v = [a for a in range(3) if a != axis]
    return [(LO[u], LO[v]), (HI[u], LO[v]), (HI[u], HI[v]), (LO[u], HI[v])]


def volume(shape, cells=(192, 192, 64)):
    box = shape.bounds()
    size = math.prod(hi - lo for lo, hi in box)
    return fill_fraction(shape, box, cells, supersample=1).mean().item() * size


@pytest.mark.parametrize("axis", [0, 1, 2])
def test_an_extruded_rectangle_is_the_box(axis):
    prism, box = Prism(rectangle(axis), LO[axis], HI[axis], axis=axis), Box(LO, HI)
    assert prism.bounds() == box.bounds()
    g = torch.Generator().manual_seed(axis)
    anywhere = torch.rand(3000, 3, generator=g, dtype=F64) * 5
    # on every face, just inside and just outside it, away from its edges
    lo, hi = torch.tensor(LO, dtype=F64), torch.tensor(HI, dtype=F64)
    faces, want = [], []
    for a in range(3):
        for end, sign in ((lo, -1.0), (hi, 1.0)):
            for step in (-0.05, 0.0, 0.05):
                p = lo + 0.3 + torch.rand(20, 3, generator=g, dtype=F64) * (hi - lo - 0.6)
                p[:, a] = end[a] + step
                faces.append(p)
                want.append(sign * torch.eye(3, dtype=F64)[a].expand(20, 3))
    faces, want = torch.cat(faces), torch.cat(want)
    for p in (anywhere, faces):
        assert torch.equal(prism.contains(p), box.contains(p))
    torch.testing.assert_close(prism.normal(faces), want)
    # a lattice's points, as the painter passes them: [x, y, z, 3]
    box_lattice = [(0.0, 5.0)] * 3
    torch.testing.assert_close(fill_fraction(prism, box_lattice, (10, 12, 8), (1, 2, 3)),
                               fill_fraction(box, box_lattice, (10, 12, 8), (1, 2, 3)))


SQUARE = [(0, 0), (4, 0), (4, 4), (0, 4)]
HOLE = [(1, 1), (3, 1), (3, 3), (1, 3)]


@pytest.mark.parametrize("form", [
    dict(polygon=SQUARE, holes=[HOLE]),
    dict(polygon="shapely"),
    # one ring cut in to the hole and back (a keyhole, as layouts store holes)
    dict(polygon=SQUARE[:4] + [(0, 2), (1, 2), (1, 3), (3, 3), (3, 1), (1, 1), (1, 2), (0, 2)]),
])
def test_a_hole_is_empty_and_its_walls_face_into_it(form):
    import shapely

    if form["polygon"] == "shapely":
        form = dict(polygon=shapely.Polygon(SQUARE, [HOLE]))
    ring = Prism(bottom=0.0, top=1.0, sidewall_angle=math.radians(10), **form)
    # (10°: a keyhole's cut left in the outline would groove the wall)
    p = torch.tensor([[2.0, 2.0, 0.5], [0.5, 2.0, 0.5], [0.5, 2.0, 0.9], [3.7, 2.0, 0.2]],
                     dtype=F64)
    assert ring.contains(p).tolist() == [False, True, True, True]
    # just inside the hole's left wall, at mid-height: outward is +x, tilted up
    n = ring.normal(torch.tensor([[0.98, 2.0, 0.5]], dtype=F64))[0]
    s, c = math.sin(math.radians(10)), math.cos(math.radians(10))
    torch.testing.assert_close(n, torch.tensor([c, 0.0, s], dtype=F64))


T = math.tan(math.radians(20))
W, L, H = 4.0, 3.0, 2.0


@pytest.mark.parametrize("reference, top, want_volume, want_height, rel", [
    # narrowing upwards from the bottom: a frustum with sharp corners
    (None, H, H * W * L - T * (W + L) * H**2 + 4 / 3 * T**2 * H**3, H, 2e-3),
    # drawn at the top, wider below: straight flanks and rounded corners
    # (mitred ones would add 0.6 %)
    (H, H, H * W * L + T * (W + L) * H**2 + math.pi / 3 * T**2 * H**3, H, 2e-3),
    # narrowing to a ridge along x where the 3-wide side runs out, below the
    # top (the lattice steps through the thinning section: coarser)
    (None, 10.0, W * L * (L / 2 / T) - T * (W + L) * (L / 2 / T)**2
     + 4 / 3 * T**2 * (L / 2 / T)**3, L / 2 / T, 1e-2),
])
def test_sloped_sidewalls_fill_the_frustum(reference, top, want_volume, want_height, rel):
    prism = Prism([(0, 0), (W, 0), (W, L), (0, L)], 0.0, top, sidewall_angle=math.radians(20),
                  reference=reference)
    (x0, x1), (y0, y1), (z0, z1) = prism.bounds()
    grow = (reference or 0.0) * T
    assert (x0, x1, y0, y1) == pytest.approx((-grow, W + grow, -grow, L + grow))
    assert (z0, z1) == pytest.approx((0.0, want_height), abs=1e-4)
    assert volume(prism) == pytest.approx(want_volume, rel=rel)


@pytest.mark.parametrize("call, error, match", [
    (lambda: Prism(SQUARE, 2.0, 1.0), ValueError, "top must lie above bottom"),
    (lambda: Prism(SQUARE, 0.0, 1.0, sidewall_angle=80), ValueError, "sidewall_angle"),
    (lambda: Prism(SQUARE, 0.0, 1.0, reference=-10, sidewall_angle=1.0), ValueError,
     "sidewall_angle: the polygon shrinks to nothing"),
    (lambda: Prism([(0, 0), (1, 1)], 0.0, 1.0), ValueError, "polygon"),
    (lambda: Prism(SQUARE, 0.0, 1.0, holes=[SQUARE]), ValueError, "polygon: covers no area"),
])
def test_bad_arguments_are_named(call, error, match):
    with pytest.raises(error, match=match):
        call()
