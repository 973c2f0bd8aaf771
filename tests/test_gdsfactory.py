"""gdsfactory components in, S-parameters out: the box built around a
component (levels, background, port planes), the refusals, the port
symmetries and the cache, a straight guide's S-parameters, and a
directional coupler's coupling length against its supermodes."""
import math

import numpy as np
import torch
import pytest
import torch
gf = pytest.importorskip("gdsfactory")

from orvane_sim.gdsfactory import simulation, sparameter_key, write_sparameters  # noqa: E402
from orvane_sim.gdsfactory.sparameters import _needed_ports  # noqa: E402
from orvane_sim.geometry import Box, Prism  # noqa: E402

gf.gpdk.PDK.activate()
SMALL = dict(resolution=10, wavelength_points=3, xmargin=0.5, ymargin=0.8,
             zmargin=0.8, layer_thickness=0.8)


@pytest.fixture(scope="module")
def mmi():
    # margins that make no whole number of cells: the layout is centred all the same
    return simulation(gf.components.mmi1x2(length_taper=2.0, length_mmi=3.0),
                      **{**SMALL, "ymargin": 0.83})


def test_the_mmi_box_holds_its_levels_and_ports(mmi):
    sim = mmi.sim
    core = [o for o in mmi.objects if isinstance(o.shape, Prism)]
    assert len(core) == 1, "the core level alone has shapes in the mmi"
    prism = core[0].shape
    assert prism.sidewall_angle == pytest.approx(math.radians(10.0))
    assert prism.top - prism.bottom == pytest.approx(0.22)
    # the drawn width holds at the level's middle, as gdsfactory draws it
    assert prism.reference == pytest.approx(0.5 * (prism.top + prism.bottom))
    assert not any(isinstance(o.shape, Box) for o in mmi.objects), "silica is the background"
    assert mmi.background.eps == pytest.approx(1.444 ** 2, rel=2e-3)
    assert prism.polygon.bounds[0] < mmi.settings["layer_thickness"], "o1 extends into the layer"
    # the input faces +x; the outputs, 1.25 apart, face -x on one plane
    # without overlapping, each clear of the layers
    o1, o2, o3 = (mmi.ports[n] for n in ("o1", "o2", "o3"))
    assert (o1.axis, o1.sign, o2.sign, o3.sign) == (0, 1, -1, -1)
    assert o2.node == o3.node
    assert o3.hi[1] <= o2.lo[1]
    # the splitter is symmetric about its axis, and so is what is painted
    ex, ey, ez = (e[0] for e in sim.permittivity())
    N = sim.shape[1]
    assert (o2.lo[1] + o3.hi[1], o2.hi[1] + o3.lo[1]) == (N, N)
    for e in (ex[:, 1:], ey, ez[:, 1:]):  # each about its own mirror node or half-node
        assert (e - e.flip(1)).abs().max() < 2e-4
    for port in (o1, o2, o3):
        assert all(sim.faces[t][0] < port.lo[t] and port.hi[t] < sim.shape[t] - sim.faces[t][1]
                   for t in (1, 2))


def test_the_graded_box_puts_the_core_faces_on_nodes_and_grows_into_the_claddings(mmi):
    """x and y keep the one spacing the ports' normals need; z has 8
    cells across the 0.22 µm core, its faces on nodes, growing by 1.2 at
    most to cells no longer than x's times n_si / n_sio2, and equal cells
    through the layers."""
    sim, h = mmi.sim, 1 / mmi.settings["resolution"]
    assert sim.spacing[:2] == pytest.approx((h, h)) and sim.spacing[2] is None
    z = sim.grid[2]
    core = next(o.shape for o in mmi.objects if isinstance(o.shape, Prism))
    bottom, top = (z.nearest(v) for v in (core.bottom, core.top))
    assert float(z.nodes[bottom]) == pytest.approx(core.bottom, abs=1e-12)
    assert float(z.nodes[top]) == pytest.approx(core.top, abs=1e-12)
    assert top - bottom == mmi.settings["level_cells"] == 8
    steps = z.primal[1:] / z.primal[:-1]
    assert float(torch.maximum(steps, 1 / steps).max()) <= 1.2 + 1e-9
    assert float(z.primal.max()) <= h * 3.48 / 1.444
    assert float(z.primal.max()) > 1.5 * h, "the claddings take cells longer than x's"
    thickness = mmi.settings["layer_thickness"]
    low, high = sim.faces[2]
    for cells in (z.primal[:low], z.primal[-high:]):
        assert float(cells.sum()) == pytest.approx(thickness)
        assert float(cells.max() - cells.min()) < 1e-12


@pytest.mark.parametrize("mesh, y_graded, z_cells, z_length, z_shift", [
    # 1 + 2 (0.5 + 0.8) by 0.5 + 2 (0.8 + 0.8) by 0.22 + 2 (0.8 + 0.8) µm:
    # 36 by 37 cells of 0.1, and along z whole cells of 0.1, centred, or
    # graded cells ending at the layers' faces (along y too with graded-yz:
    # 3.7 µm)
    ("uniform", False, 35, 3.5, 0.5 * (3.5 - 3.42) + 1.6),
    ("graded", False, None, 3.42, 1.6),
    ("graded-yz", True, None, 3.42, 1.6),
])
def test_the_cells_follow_the_mesh_setting(mesh, y_graded, z_cells, z_length, z_shift):
    built = simulation(gf.components.straight(length=1.0), mesh=mesh, **SMALL)
    sim = built.sim
    assert (sim.shape[0], sim.spacing[0]) == (36, pytest.approx(0.1))
    if y_graded:
        y = sim.grid[1]
        assert sim.spacing[1] is None and y.length == pytest.approx(3.7)
        # level_cells (8) across the guide, 0.54 µm at its foot (its walls
        # slope by 10°), against 5 cells of 0.1 with y uniform
        assert y.cell_at(y.nearest(1.85)) <= 0.54 / 8
        assert float(y.primal.max()) > 1.5 * float(y.primal.min()), "the cladding's cells grow"
        assert built.offset[1] == pytest.approx(1.85)  # the guide centred at y = 0
    else:
        assert (sim.shape[1], sim.spacing[1]) == (37, pytest.approx(0.1))
    if z_cells is None:
        assert sim.spacing[2] is None
    else:
        assert (sim.shape[2], sim.spacing[2]) == (z_cells, pytest.approx(0.1))
    assert sim.grid[2].length == pytest.approx(z_length)
    assert built.offset[2] == pytest.approx(z_shift)
    assert built.settings["mesh"] == mesh
    for port in built.ports.values():  # clear of the layers along y and z
        assert all(sim.faces[t][0] < port.lo[t] and port.hi[t] < sim.shape[t] - sim.faces[t][1]
                   for t in (1, 2))


def test_graded_y_needs_every_port_to_face_x():
    with pytest.raises(ValueError, match=r"mesh='graded-yz' needs every port to face ±x, but "
                                         r"port 'o2' faces 90"):
        simulation(gf.components.bend_euler(), mesh="graded-yz", **SMALL)


@pytest.mark.parametrize("change, message", [
    (dict(mesh="fine"), "mesh must be one of 'graded', 'graded-yz', 'uniform', got 'fine'"),
    (dict(mesh_ratio=2.5), r"mesh_ratio .* at most 2, got 2.5"),
    (dict(level_cells=0), "level_cells"),
    (dict(material_mapping={"si": "unobtainium"}), "not a library material"),
    (dict(lit=["o9"]), "lit names a port the component lacks: 'o9'"),
    (dict(port_offset=5.0), "lies in the absorbing layers"),
    (dict(xmargin=-1.0), "xmargin must be at least 0"),
    (dict(wavelength_start=1.7), "need 0 < wavelength_start <= wavelength_stop"),
])
def test_refusals_name_what_is_wrong(change, message):
    with pytest.raises(ValueError, match=message):
        simulation(gf.components.straight(length=1.0), **{**SMALL, **change})


def test_an_unmapped_material_is_named():
    stack = gf.get_active_pdk().layer_stack.model_copy(deep=True)
    stack.layers["core"].material = "perovskite"
    with pytest.raises(ValueError, match="no material for 'perovskite'"):
        simulation(gf.components.straight(length=1.0), stack, **SMALL)
    built = simulation(gf.components.straight(length=1.0), stack, {"perovskite": 3.0}, **SMALL)
    assert [o.material.eps for o in built.objects] == [9.0]


MMI = ["o1", "o2", "o3"]
MMI_SYMMETRIES = {"o2@0,o2@0": ["o3@0,o3@0"], "o2@0,o1@0": ["o3@0,o1@0"],
                  "o1@0,o2@0": ["o1@0,o3@0"], "o2@0,o3@0": ["o3@0,o2@0"]}


@pytest.mark.parametrize("symmetries, lit", [
    (None, MMI),
    ({}, MMI),
    (MMI_SYMMETRIES, ["o1", "o2"]),
    ({"o1@0,o1@0": ["o2@0,o2@0", "o3@0,o3@0"]}, MMI),  # o2's other keys still needed
])
def test_symmetries_choose_the_ports_lit(symmetries, lit):
    assert _needed_ports(MMI, symmetries, 0) == lit


def test_a_symmetry_naming_no_key_is_refused():
    with pytest.raises(ValueError, match="'o4@0,o1@0', not a key"):
        _needed_ports(MMI, {"o1@0,o1@0": ["o4@0,o1@0"]}, 0)


@pytest.mark.slow
@pytest.mark.parametrize("settings, off_one, reflected, elsewhere", [
    # the default, graded z: 8 cells across the core (measured 1.7e-4 off
    # one, -78 dB); level_cells and the mesh are part of the cache key,
    # "graded" given is the default's
    (dict(resolution=15), 1e-3, 1e-4, [dict(mesh="uniform"), dict(level_cells=6)]),
    # uniform cells, 2.2 across the core (2.1e-5 off one, -34 dB)
    (dict(mesh="uniform"), 2e-3, 1e-3, [dict(mesh="graded")]),
    # y graded too, the cladding beside the guide in longer cells (1.7e-4
    # off one, -79 dB)
    (dict(resolution=15, mesh="graded-yz"), 1e-3, 1e-4, [dict(mesh="graded")]),
])
def test_a_straight_guide_transmits_and_the_result_is_cached(settings, off_one, reflected,
                                                             elsewhere, tmp_path, monkeypatch):
    straight = gf.components.straight(length=2.0)
    settings = {**SMALL, **settings}
    sp = write_sparameters(straight, dirpath=tmp_path, progress=False, **settings)
    assert set(sp) == {"o1@0,o1@0", "o1@0,o2@0", "o2@0,o1@0", "o2@0,o2@0", "wavelengths"}
    np.testing.assert_allclose(sp["wavelengths"], [1.5, 1.55, 1.6])
    assert np.abs(np.abs(sp[sparameter_key("o1", "o2")]) ** 2 - 1).max() < off_one
    assert (np.abs(sp["o1@0,o1@0"]) ** 2).max() < reflected
    # reciprocity: the same transmission both ways
    np.testing.assert_allclose(sp["o1@0,o2@0"], sp["o2@0,o1@0"], rtol=1e-3, atol=1e-4)
    assert len(list(tmp_path.glob("*.npz"))) == 1

    def no_run(*args, **kwargs):
        raise AssertionError("a cached result ran again")

    monkeypatch.setattr("orvane_sim.gdsfactory.sparameters.simulation", no_run)
    again = write_sparameters(straight, dirpath=tmp_path, **{"mesh": "graded", **settings})
    for key in sp:
        np.testing.assert_array_equal(again[key], sp[key])
    for change in [dict(wavelength_points=4)] + elsewhere:  # other settings: not the cache
        with pytest.raises(AssertionError, match="ran again"):
            write_sparameters(straight, dirpath=tmp_path, **{**settings, **change})


def test_a_run_that_does_not_settle_stops_with_a_warning(monkeypatch):
    """A component that holds its light (or a band edge the pulse barely
    feeds) must not keep the run going without end."""
    from types import SimpleNamespace

    from orvane_sim.gdsfactory import sparameters

    class Box:
        time = 0.0

        def run(self, until, progress=None):
            self.time = until

    looks = iter(range(1000))
    monkeypatch.setattr(sparameters, "scattering_matrix",
                        lambda ports, lit: [torch.full((1, 1, 1), 1.0 + next(looks) % 2)])
    pulse = SimpleNamespace(t0=1.0, width=1.0)
    built = SimpleNamespace(sim=Box(), ports={"o1": SimpleNamespace(waveform=pulse)},
                            settings={"lit": ["o1"]})
    with pytest.warns(RuntimeWarning, match="still moved by 1.0e\\+00 .* 20 looks"):
        S = sparameters.run_sparameters(built, settle=5.0)
    assert built.sim.time == pytest.approx(4.0 + 5.0 * (1 + sparameters.SETTLE_LOOKS))
    assert S.shape == (1, 1, 1)


def test_run_false_draws_the_structure_with_its_ports(tmp_path):
    figure = write_sparameters(gf.components.straight(length=1.0), run=False,
                               dirpath=tmp_path, **SMALL)
    ax = figure.axes[0]
    assert ax.images or ax.collections, "the painted permittivity (over graded z: a mesh)"
    labels = " ".join(t.get_text() for t in ax.texts)
    assert "o1" in labels and "o2" in labels
    assert not list(tmp_path.iterdir()), "nothing is written without a run"


def _cross_phase(length: float):
    """gdsfactory's coupler (gap 0.2 µm) of straight ``length`` at 12 cells
    per µm, o1 lit: the phase φ of its cross-coupled share sin²φ per
    wavelength, and the coupling length λ / (2 Δn) of the two supermodes
    solved on the cross-section at the middle of its straight section."""

    from orvane_sim.circuits.cross_section import plane_permittivity
    from orvane_sim.circuits.modes import solve_modes
    from orvane_sim.gdsfactory.sparameters import run_sparameters

    built = simulation(gf.components.coupler(length=length, gap=0.2, dx=6, dy=3),
                       resolution=12, wavelength_points=3, ymargin=0.5, zmargin=0.5, lit=["o1"])
    names = list(built.ports)
    S = run_sparameters(built)
    bar, cross = (S[:, names.index(n), 0].abs() ** 2 for n in ("o4", "o3"))
    sim = built.sim
    cs = plane_permittivity(sim, 0, round((0.5 * length + built.offset[0]) / sim.spacing[0]))
    M = solve_modes(cs.eps, cs.spacing, built.frequencies, count=2, dz=cs.dz, dt=cs.dt,
                    couplings=cs.couplings)
    return torch.asin((cross / (cross + bar)).sqrt()), \
        1 / (2 * built.frequencies * (M.neff[:, 0] - M.neff[:, 1]))


@pytest.mark.slow
def test_a_directional_couplers_length_is_its_supermodes_beat_length():
    """The cross-coupled share is sin²(φ0 + πL / (2 Lc)), φ0 the bends'
    part: between straights of 4 and 14 µm φ grows by 10π / (2 Lc), and
    that Lc meets λ / (2 Δn) of the two supermodes within 3 % (measured
    0.5 % at 12 cells per µm with graded z, 0.35 % with uniform z, 0.1 %
    at 15; Lc 33 µm at 1.55 µm). Two and a half minutes."""
    (short, _), (long, beat) = _cross_phase(4.0), _cross_phase(14.0)
    coupling = math.pi * 10.0 / (2 * (long - short))
    assert ((coupling / beat - 1).abs() < 0.03).all(), (coupling, beat)
