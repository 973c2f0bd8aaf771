"""Prisms and GDS layouts: a rectangle extruded is the box, holes and
sloped sidewalls fill the volumes they should, and a layout drawn to a file
comes back as the objects it was drawn from."""
import math
import re
import warnings
from pathlib import Path

import pytest
import torch

pytest.importorskip("shapely")  # set-up installs both; a machine off the index skips
gdstk = pytest.importorskip("gdstk")

from orvane_sim import Box, Dielectric, Object, Prism, Simulation  # noqa: E402
from orvane_sim.geometry import Layer, fill_fraction, objects_from_gds  # noqa: E402
from orvane_sim.geometry.clearance import OutsideInteriorWarning  # noqa: E402
from orvane_sim.geometry.layouts import directional_coupler, straight_waveguide  # noqa: E402

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


def permittivity(objects, smoothing="anisotropic"):
    sim = Simulation((30, 16, 10), layers=0, objects=objects, smoothing=smoothing)
    return [e.cpu() for e in sim.permittivity()]


@pytest.mark.parametrize("angle", [0.0, math.radians(8)])
def test_a_drawn_waveguide_paints_as_the_prism_it_was_drawn_from(tmp_path, angle):
    # drawn in µm, a box of 0.1 µm units; a second layer maps nothing there
    path = straight_waveguide(tmp_path / "wg.gds", width=0.45, length=2.2, center=(1.3, 0.8))
    silicon = Dielectric(12.1)
    objects = objects_from_gds(path, {(2, 0): Layer(Dielectric(2.0), 0.0, 9.0),
                                      (1, 0): Layer(silicon, 3.0, 5.2, sidewall_angle=angle)},
                               unit=10.0)
    assert len(objects) == 1 and objects[0].material is silicon
    direct = [Object(Prism([(2, 5.75), (24, 5.75), (24, 10.25), (2, 10.25)], 3.0, 5.2,
                           sidewall_angle=angle), silicon)]
    pairs = [(permittivity(objects), permittivity(direct))]
    if angle == 0:
        # the same fill as the box; smoothed, the two differ at nodes whose
        # dual cells a face and an edge share: the box takes the nearest
        # face's plane, the prism its nearest face
        pairs.append((permittivity(objects, "average"),
                      permittivity([Object(Box((2, 5.75, 3.0), (24, 10.25, 5.2)), silicon)],
                                   "average")))
    for grids, want_grids in pairs:
        for got, want in zip(grids, want_grids):
            torch.testing.assert_close(got, want, atol=1e-6, rtol=0)
            assert want.max() > 11  # the guide is in the box


def test_a_coupler_comes_back_as_two_guides_with_their_gap(tmp_path):
    width, gap, length, bend, offset, lead = 0.5, 0.2, 4.0, 3.0, 1.0, 1.0
    path = directional_coupler(tmp_path / "dc.gds", width, gap, length, bend, offset, lead=lead,
                               center=(7.0, 3.0))
    (guides,) = objects_from_gds(path, {(1, 0): Layer(Dielectric(12.1), 0.0, 0.22)})
    section = guides.shape._section
    assert section.geom_type == "MultiPolygon" and len(section.geoms) == 2
    reach = width / 2 + gap / 2 + offset
    assert sum(guides.shape.bounds()[:2], ()) == pytest.approx(
        (1.0, 13.0, 3.0 - reach - width / 2, 3.0 + reach + width / 2), abs=1e-3)
    y_edge = gap / 2 + 1e-3  # just inside each guide, then just inside the gap
    points = torch.tensor([[7.0, 3.0 + y_edge, 0.1], [7.0, 3.0 - y_edge, 0.1],
                           [7.0, 3.0 + y_edge - 2e-3, 0.1], [1.5, 3.0 + reach, 0.1],
                           [12.5, 3.0 - reach, 0.1], [1.5, 3.0, 0.1]], dtype=F64)
    assert guides.shape.contains(points).tolist() == [True, True, False, True, True, False]


def test_a_layout_is_flattened_and_each_layer_merged(tmp_path):
    ring = gdstk.Cell("ring")
    ring.add(gdstk.ellipse((0, 0), 2.0, inner_radius=1.0, layer=2))
    top = gdstk.Cell("chip")
    top.add(gdstk.Reference(ring, (3, 3)), gdstk.Reference(ring, (9, 3)))
    top.add(gdstk.rectangle((0, 6), (4, 7)), gdstk.rectangle((3, 6), (8, 7)))  # overlapping
    library = gdstk.Library()
    library.add(top, ring)
    library.write_gds(tmp_path / "chip.gds")
    for source in (library, tmp_path / "chip.gds"):
        bar, rings = objects_from_gds(source, {(0, 0): Layer(Dielectric(2.0), 0.0, 1.0),
                                               (2, 0): Layer(Dielectric(4.0), 0.0, 1.0, 0.2)})
        assert bar.shape._section.geom_type == "Polygon"
        assert bar.shape._section.area == pytest.approx(8.0)
        p = torch.tensor([[3.0, 3.0, 0.5], [9.0, 3.0, 0.5], [4.5, 3.0, 0.5], [7.5, 3.0, 0.5],
                          [4.5, 3.0, 0.95], [6.0, 3.0, 0.5]], dtype=F64)
        assert rings.shape.contains(p).tolist() == [False, False, True, True, True, False]


@pytest.fixture(scope="module")
def wg(tmp_path_factory):
    return straight_waveguide(tmp_path_factory.mktemp("gds") / "wg.gds", 0.5, 2.0)


@pytest.mark.parametrize("call, error, match", [
    (lambda wg: Layer(Dielectric(2.0), 1.0, 1.0), ValueError, "top must lie above bottom"),
    (lambda wg: Prism(SQUARE, 2.0, 1.0), ValueError, "top must lie above bottom"),
    (lambda wg: Prism(SQUARE, 0.0, 1.0, sidewall_angle=80), ValueError, "sidewall_angle"),
    (lambda wg: Prism(SQUARE, 0.0, 1.0, reference=-10, sidewall_angle=1.0), ValueError,
     "sidewall_angle: the polygon shrinks to nothing"),
    (lambda wg: Prism([(0, 0), (1, 1)], 0.0, 1.0), ValueError, "polygon"),
    (lambda wg: Prism(SQUARE, 0.0, 1.0, holes=[SQUARE]), ValueError, "polygon: covers no area"),
    (lambda wg: objects_from_gds(wg, {(1, 0): (Dielectric(2.0), 0.0, 1.0)}), TypeError,
     re.escape("layer_map[(1, 0)]")),
    (lambda wg: objects_from_gds(wg, {1: Layer(Dielectric(2.0), 0.0, 1.0)}), ValueError,
     "layer_map"),
    (lambda wg: objects_from_gds(wg, {}, cell="coupler"), ValueError, "cell: no cell named"),
    (lambda wg: objects_from_gds(wg, {}, unit=0), ValueError, "unit"),
    (lambda wg: objects_from_gds(wg, {}, cell=0), TypeError, "cell must be a cell's name"),
    *[(lambda wg, o=offset: objects_from_gds(wg, {}, offset=o), ValueError,
       "offset must be two finite lengths") for offset in [(1.0,), (1.0, math.nan), "xy", None]],
])
def test_bad_arguments_are_named(call, error, match, wg):
    with pytest.raises(error, match=match):
        call(wg)


def test_readme_layout_example_runs(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    readme = (Path(__file__).resolve().parents[1] / "docs" / "circuits.md").read_text()
    code = re.search(r"```python\n(from orvane_sim[.\w]* import [^\n]*objects_from_gds.*?)```",
                     readme, re.S)
    assert code, "docs/circuits.md has no example importing objects_from_gds"
    scope: dict = {}
    exec(code.group(1), scope)
    assert scope["sim"].permittivity()[0].max() > 10


def library_of(*names, refers=False):
    """A library of the cells ``names``, each holding a 1 × 0.5 rectangle on
    layer (1, 0) at x = its position in the list; gdsfactory's settings
    cell holds none and, where it ``refers`` (as gdsfactory 9 writes it),
    refers to each of the others (so that it is the one top-level cell)."""
    library = gdstk.Library()
    cells = {name: library.new_cell(name) for name in names}
    for k, (name, cell) in enumerate(cells.items()):
        if name != "$$$CONTEXT_INFO$$$":
            cell.add(gdstk.rectangle((k, 0), (k + 1, 0.5), layer=1))
            if refers:
                cells["$$$CONTEXT_INFO$$$"].add(gdstk.Reference(cell))
    return library


SILICA_LAYER = {(1, 0): Layer(Dielectric(2.1), 0.0, 0.2)}
CONTEXT = ["$$$CONTEXT_INFO$$$", "mmi1x2"]
CELLS = {
    "gdsfactory's settings cell aside": (CONTEXT, False, None, 1.0),
    "gdsfactory 9's, referring to it": (CONTEXT, True, None, 1.0),
    "named beside the settings cell": (CONTEXT, False, "mmi1x2", 1.0),
    "named among two": (["a", "b"], False, "b", 1.0),
    "two unnamed": (["a", "b"], False, None,
                    r"the layout has 2 top-level cells \(a, b\); name one"),
    "two beside the settings cell": (CONTEXT + ["b"], True, None,
                                     r"2 top-level cells besides gdsfactory's \$\$\$CONTEXT_INFO"
                                     r"\$\$\$ \(mmi1x2, b\); name one"),
    "settings cell alone": (CONTEXT[:1], False, None, r"0 top-level cells besides"),
}


@pytest.mark.parametrize("names, refers, cell, found", CELLS.values(), ids=CELLS.keys())
def test_the_cell_is_the_one_named_or_the_one_beside_gdsfactorys_settings(names, refers, cell,
                                                                         found, tmp_path):
    path = tmp_path / "layout.gds"
    library_of(*names, refers=refers).write_gds(path)
    if isinstance(found, str):
        with pytest.raises(ValueError, match=found):
            objects_from_gds(path, SILICA_LAYER, cell=cell)
        return
    (obj,) = objects_from_gds(path, SILICA_LAYER, cell=cell)
    assert obj.shape.bounds()[0] == pytest.approx((found, found + 1.0))
    assert obj.name == f"layer 1/0 of cell {names[-1]!r}"


@pytest.mark.parametrize("unit, offset, want", [
    (1.0, (2.0, -1.5), [(1.0, 3.0), (-1.75, -1.25)]),
    (10.0, (2.0, -1.5), [(-8.0, 12.0), (-4.0, 1.0)]),  # scaled, then moved
])
def test_an_offset_moves_the_layout_in_box_units(unit, offset, want, wg):
    (obj,) = objects_from_gds(wg, SILICA_LAYER, unit=unit, offset=offset)
    assert sum(obj.shape.bounds()[:2], ()) == pytest.approx(sum(want, ()))


# A 4 × 3 × 2 box with layers 0.5 thick (interior 0.5 .. 3.5, 0.5 .. 2.5,
# 0.5 .. 1.5), and where each layout lands in it: a warning names the face,
# how deep into its layer the object reaches and how far past the box.
PLACED = {
    "guide through both x layers": ("guide", (2.0, 1.5), (0.9, 1.1), None),
    "guide at the origin, cut along its length": ("guide", (0.0, 0.0), (0.9, 1.1),
                                                  r"reaches 0\.5 into the absorbing layer at "
                                                  r"the low y face .* and 0\.25 past the box"),
    "guide stopping in a layer": ("stub", (2.0, 1.5), (0.9, 1.1),
                                  r"reaches 0\.25 into the absorbing layer at the high x face"),
    "device body at the origin": ("mmi", (0.0, 0.0), (0.9, 1.1),
                                  r"reaches 0\.5 into the absorbing layer at the low y face .* "
                                  r"and 0\.6 past the box"),
    "core below the interior": ("guide", (2.0, 1.5), (-0.11, 0.11),
                                r"reaches 0\.5 into the absorbing layer at the low z face .* "
                                r"and 0\.11 past"),
    "within half a cell of the edge": ("edge", (2.0, 1.5), (0.9, 1.1), None),
    "slab drawn over the whole box": ("slab", (2.0, 1.5), (0.9, 1.1), None),
}
DRAWN = {"guide": [(-3.0, -0.25), (3.0, -0.25), (3.0, 0.25), (-3.0, 0.25)],
         "stub": [(-3.0, -0.25), (1.75, -0.25), (1.75, 0.25), (-3.0, 0.25)],
         "mmi": [(-1.0, -0.6), (1.0, -0.6), (1.0, 0.6), (-1.0, 0.6)],
         "edge": [(-1.54, -0.25), (1.54, -0.25), (1.54, 0.25), (-1.54, 0.25)],
         "slab": [(-3.0, -3.0), (3.0, -3.0), (3.0, 3.0), (-3.0, 3.0)]}


@pytest.mark.parametrize("drawn, offset, heights, warning", PLACED.values(), ids=PLACED.keys())
def test_a_layout_reaching_into_the_layers_is_warned_of_by_layer(drawn, offset, heights,
                                                                warning):
    library = gdstk.Library()
    library.new_cell("device").add(gdstk.Polygon(DRAWN[drawn]))
    guides = objects_from_gds(library, {(0, 0): Layer(Dielectric(12.0), *heights)},
                              offset=offset)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        Simulation(size=(4.0, 3.0, 2.0), resolution=10, layer_thickness=0.5, objects=guides)
    said = [str(w.message) for w in caught if issubclass(w.category, OutsideInteriorWarning)]
    if warning is None:
        assert said == []
    else:
        assert all(m.startswith("object 0 (layer 0/0 of cell 'device')") for m in said)
        assert any(re.search(warning, m) for m in said), said
        assert caught[0].filename == __file__  # the caller's line, not the package's
