"""Rectilinear grids: a box whose axes each have their own cells. The
arguments, the coefficients (primal and dual spacings, layers graded in
physical depth, the time step), positions in length units, painting on
unequal cells, and the scheme's own invariants on a strongly graded box:
its discrete energy and its charge."""
import logging
import math

import pytest
import torch

from orvane_sim import (Box, Dielectric, FluxPlane, Object, Simulation, Slab, Sphere,
                        divergence)
from orvane_sim.grid import Grading, axis_coefficients, layer_profile, time_step
from orvane_sim.grid.coefficients import graded_axis_coefficients
from orvane_sim.grid.rectilinear import Axis, RectilinearGrid, sample_volumes

F64 = torch.float64


def graded(first: float, ratio: float, cells: int, mirrored: bool = True) -> list[float]:
    """Node coordinates from 0: cells growing by ``ratio`` from ``first``,
    then (``mirrored``) shrinking back."""
    steps = [first * ratio**i for i in range(cells)]
    if mirrored:
        steps += steps[::-1]
    return [0.0] + torch.tensor(steps, dtype=F64).cumsum(0).tolist()


GRADED_Z = graded(0.05, 1.2, 12)


@pytest.mark.parametrize("grid, error, words", [
    (((2, 0.1), (2, 0.1), [0.0, 0.3, 0.2, 0.5]), ValueError, "strictly increasing, but node 2"),
    (((2, 0.1), (2, 0.1), [0.1, 0.3, 0.5]), ValueError, "start at the box's origin"),
    (((2, 0.1), (2, 0.1), [0.0, float("nan"), 0.5]), ValueError, "must be finite"),
    (((2, 0.1), (2, 0.1), [[0.0, 0.1], [0.2, 0.3]]), ValueError, "one dimension"),
    (((2, 0.1), (2, 0.1), [0.0]), ValueError, "at least two node coordinates"),
    (((2, 0.1), 0.1, [0.0, 0.1]), ValueError, "needs the number of cells"),
    (((2, 0.1), (2, -0.1), [0.0, 0.1]), ValueError, "grid y spacing must be a finite number > 0"),
    (((2, 0.1), (2, 0.1), ["a", "b"]), TypeError, "grid z needs a spacing"),
    ([(2, 0.1)] * 2, ValueError, "three entries"),
])
def test_bad_grids_are_refused_naming_the_axis_and_what_was_wrong(grid, error, words):
    with pytest.raises(error, match=words):
        Simulation(grid=grid, layers=0)


def test_a_grid_and_another_form_of_the_box_are_refused_together():
    with pytest.raises(ValueError, match="one of the three"):
        Simulation(shape=(2, 2, 2), grid=((2, 0.1), (2, 0.1), (2, 0.1)))


def test_equal_cells_given_as_coordinates_make_the_uniform_box_bit_for_bit():
    layers = ((0, 0), (2, 3), (4, 4))
    uniform = Simulation((3, 6, 12), spacing=(0.5, 0.125, 0.25), layers=layers)
    nodes = [torch.arange(n + 1, dtype=F64) * h for n, h in ((3, 0.5), (6, 0.125), (12, 0.25))]
    given = Simulation(grid=nodes, layers=layers)
    assert given.spacing == uniform.spacing and given.dt == uniform.dt
    for name in ("ch", "ce", "hb", "hc", "eb", "ec"):
        for a, b in zip(getattr(given, name), getattr(uniform, name)):
            assert torch.equal(a, b), name


@pytest.mark.parametrize("layers", [0, 3, (4, 2), (0, 5)])
def test_graded_coefficients_of_equal_cells_are_the_uniform_ones(layers):
    n, h, dt = 16, 0.1, 0.05
    equal = Axis(torch.arange(n + 1, dtype=F64) * h, None)  # taken as non-uniform
    got = graded_axis_coefficients(equal, layers, dt)
    want = axis_coefficients(n, h, layers, dt)
    for name in ("ch", "ce", "hb", "hc", "eb", "ec"):
        torch.testing.assert_close(getattr(got, name), getattr(want, name), rtol=1e-6, atol=0)


def test_magnetic_curls_divide_by_the_cells_and_electric_ones_by_the_dual_cells():
    # cells 1, 2, 3: centres 0.5, 2, 4.5, so the dual cells of nodes 1 and 2
    # are 1.5 and 2.5 long
    axis = Axis(torch.tensor([0.0, 1.0, 3.0, 6.0], dtype=F64), None)
    c = graded_axis_coefficients(axis, 0, dt=0.3)
    torch.testing.assert_close(c.ch, torch.tensor([0.3, 0.15, 0.1]))
    torch.testing.assert_close(c.ce[1:], torch.tensor([0.2, 0.12]))


def test_layers_are_graded_in_physical_depth():
    # a low layer of 4 cells growing towards the face, a high one of 3
    steps = [0.4, 0.3, 0.2, 0.1] + [0.1] * 8 + [0.1, 0.15, 0.25]
    axis = Axis(torch.tensor([0.0] + steps, dtype=F64).cumsum(0), None)
    grading, dt = Grading(), 0.03
    c = graded_axis_coefficients(axis, (4, 3), dt, grading)
    n, L = axis.cells, 4
    low_t, high_t = float(axis.nodes[4]), float(axis.nodes[-1] - axis.nodes[n - 3])
    for slot in range(2 * L):
        i = slot if slot < L else slot + n - 2 * L
        low = slot < L
        thickness = low_t if low else high_t
        cells = 4 if low else 3
        for pos, b, scale, kind in ((axis.centres[i], c.hb, axis.primal[i], "h"),
                                    (axis.nodes[i], c.eb, axis.dual[i], "e")):
            depth = float(axis.nodes[4] - pos) if low else float(pos - axis.nodes[n - 3])
            if depth < 0:
                assert b[slot] == 0, (kind, slot)
                continue
            kappa, bb, a = layer_profile(torch.tensor([depth], dtype=F64), thickness, dt,
                                         grading, thickness / cells)
            assert float(b[slot]) == pytest.approx(float(bb[0]), rel=1e-6), (kind, slot)
            curl = (c.ch if kind == "h" else c.ce)[i]
            if i > 0:
                assert float(curl) == pytest.approx(dt / float(scale) / float(kappa[0]),
                                                    rel=1e-6), (kind, slot)


def test_the_time_step_follows_the_smallest_cell_of_each_axis():
    sim = Simulation(grid=((4, 0.3), graded(0.02, 1.1, 5), GRADED_Z), layers=0, courant=0.9)
    assert sim.dt == pytest.approx(time_step((0.3, 0.02, 0.05), 0.9), rel=1e-12)
    assert sim.spacing == (0.3, None, None)


def _conserved_energy(sim) -> float:
    """½ Σ (E^n·E^n + H^{n-1/2}·H^{n+1/2}) weighted by each sample's volume:
    what the leapfrog scheme keeps exactly in a closed box. Takes one step."""
    E = [f.double().clone() for f in (sim.Ex, sim.Ey, sim.Ez)]
    before = [f.double().clone() for f in (sim.Hx, sim.Hy, sim.Hz)]
    sim.step()
    total = 0.0
    for c in range(3):
        after = (sim.Hx, sim.Hy, sim.Hz)[c].double()
        total += float((E[c].square().sum((0, 1, 5))
                        * sample_volumes(sim.grid, c, False, E[c].shape[2:5])).sum())
        total += float(((before[c] * after).sum((0, 1, 5))
                        * sample_volumes(sim.grid, c, True, after.shape[2:5])).sum())
    return 0.5 * total


def test_a_strongly_graded_closed_box_keeps_its_energy_and_its_charge():
    # ratio 1.2 over 12 cells each way along z, an abrupt refinement along x
    x = [0.0] + torch.tensor([0.2] * 5 + [0.12, 0.08, 0.06, 0.08, 0.12] + [0.2] * 5,
                             dtype=F64).cumsum(0).tolist()
    sim = Simulation(grid=(x, (12, 0.2), GRADED_Z), layers=0)
    sim.set_gaussian_pulse(0.5)
    assert divergence(sim.Ex, sim.Ey, sim.Ez, grid=sim.grid).abs().max() < 1e-6
    start = _conserved_energy(sim)
    for _ in range(6):
        sim.step(250)
        assert _conserved_energy(sim) == pytest.approx(start, rel=2e-6)
    field = max(float(f.abs().max()) for f in (sim.Ex, sim.Ey, sim.Ez))
    assert divergence(sim.Ex, sim.Ey, sim.Ez, grid=sim.grid).abs().max() < 1e-5 * field / 0.05


@pytest.mark.parametrize("value, node, logged", [
    (0.0, 0, False),
    (0.05, 1, False),
    (0.07, 1, True),      # nodes 0.05 and 0.11: nearer the first
    (0.09, 2, True),
    (GRADED_Z[12], 12, False),
    (GRADED_Z[-1] + 0.02, 24, True),  # within half the end cell
])
def test_lengths_snap_to_the_nearest_node_of_a_graded_axis(value, node, logged, caplog):
    from orvane_sim.grid import positions

    sim = Simulation(grid=((2, 0.1), (2, 0.1), GRADED_Z), layers=0)
    with caplog.at_level(logging.INFO, logger="orvane_sim.positions"):
        assert positions.node(sim, 2, value, "probe") == node
    assert bool(caplog.records) == logged


def test_a_length_outside_a_graded_axis_is_refused_in_length_units():
    from orvane_sim.grid import positions

    sim = Simulation(grid=((2, 0.1), (2, 0.1), GRADED_Z), layers=0)
    with pytest.raises(ValueError, match=r"probe: z = -0.1 lies outside the box, which spans "
                                         r"z = 0 \.\. 3\.958"):
        positions.node(sim, 2, -0.1, "probe")


def test_layer_thickness_counts_cells_from_each_face_of_a_graded_axis():
    sim = Simulation(grid=((2, 0.1), (2, 0.1), GRADED_Z), layer_thickness=(0, 0, (0.2, 0.5)))
    # from either face the cells are 0.05, 0.06, 0.072, 0.0864, 0.1037,
    # 0.1244, ...: 0.2 is nearest 0.182 (3 cells), 0.5 nearest 0.4965 (6)
    assert sim.faces[2] == (3, 6)


def test_an_object_ending_inside_a_graded_layer_is_told_in_lengths_and_carried_to_the_face():
    from orvane_sim.geometry import OutsideInteriorWarning

    sim = Simulation(grid=((2, 0.1), (2, 0.1), GRADED_Z), layer_thickness=(0, 0, (0.2, 0.5)))
    # the low layer is 3 cells: 0.05 + 0.06 + 0.072
    with pytest.warns(OutsideInteriorWarning, match=r"0\.182 thick, its inner edge at z = 0\.182"):
        sim.set_objects([Object(Slab((0, 0, 1), 0.1, 0.3), Dielectric(2.0))])
    ex = sim.permittivity()[0][0, 1, 1]
    assert torch.equal(ex[:3], ex[3].expand(3)) and float(ex[3]) == pytest.approx(2.0, abs=2e-4)


def _permittivity(grid, objects, **options):
    sim = Simulation(grid=grid, layers=0)
    sim.set_objects(objects, **options)
    return [e[0].double() for e in sim.permittivity()]


def test_a_layer_fills_each_unequal_cell_by_the_share_it_covers():
    # normal along z: Ex and Ey (on the z nodes) take the arithmetic mean over
    # [c_{k-1}, c_k], Ez (at the centres) the harmonic mean over its cell
    z0, z1, eps = 0.23, 1.61, 4.0
    ex, _, ez = _permittivity(((2, 0.1), (2, 0.1), GRADED_Z),
                              [Object(Slab((0, 0, 1), z0, z1), Dielectric(eps))])
    axis = RectilinearGrid((2, 0.1), (2, 0.1), GRADED_Z)[2]

    def share(lo, hi):
        return max(0.0, min(hi, z1) - max(lo, z0)) / (hi - lo)

    for k in range(1, axis.cells):
        f = share(float(axis.centres[k - 1]), float(axis.centres[k]))
        assert float(ex[1, 1, k]) == pytest.approx(1 + (eps - 1) * f, abs=3e-4), k
    for k in range(1, axis.cells - 1):
        f = share(float(axis.nodes[k]), float(axis.nodes[k + 1]))
        assert float(ez[1, 1, k]) == pytest.approx(1 / (f / eps + 1 - f), abs=3e-4), k


@pytest.mark.parametrize("smoothing", ["average", "staircase"])
def test_painting_in_index_space_on_equal_cells_matches_the_uniform_painting(smoothing):
    # the same equal cells, once as a uniform axis and once taken as
    # unequal: the painting in index space is the painting in length (the
    # default's off-diagonal couplings, and the diagonal they change, need
    # one spacing per axis: on unequal cells it paints the diagonal alone)
    n, h = 12, 0.1
    nodes = torch.arange(n + 1, dtype=F64) * h
    objects = [Object(Sphere((0.61, 0.55, 0.63), 0.33), Dielectric(6.0)),
               Object(Box((0.13, 0.22, 0.02), (1.2, 0.43, 0.37)), Dielectric(2.5))]
    uniform = _permittivity(((n, h),) * 3, objects, smoothing=smoothing)
    unequal = _permittivity(RectilinearGrid(Axis(nodes, None, "x"), (n, h),
                                            Axis(nodes, None, "z")), objects, smoothing=smoothing)
    for a, b in zip(uniform, unequal):
        torch.testing.assert_close(a, b, atol=2e-5, rtol=0)


def test_features_keep_clear_of_each_faces_own_layer_cells():
    # 0.3 of layer at each end is 5 cells at the bottom and 2 at the top
    from orvane_sim import FluxPlane, PlaneWave, gaussian

    z = [0.0] + torch.tensor([0.06] * 10 + [0.1] * 10 + [0.15] * 10,
                             dtype=F64).cumsum(0).tolist()
    sim = Simulation(grid=((2, 0.1), (2, 0.1), z), layer_thickness=(0, 0, 0.3), bloch=(0, 0))
    assert sim.faces[2] == (5, 2)
    top = sim.shape[2] - 2
    FluxPlane(sim, top, [0.5])          # on the top layer's inner edge
    PlaneWave(sim, top - 2, gaussian(1.0, 0.3))
    with pytest.raises(ValueError, match=r"keep it within z in 5 \.\. 28"):
        FluxPlane(sim, 4, [0.5])
    with pytest.raises(ValueError, match="lies in the z layers"):
        PlaneWave(sim, 3, gaussian(1.0, 0.3))


def _graded_box(**options):
    """A box non-uniform along x and z, uniform along y."""
    return Simulation(grid=(graded(0.05, 1.2, 6), (12, 0.1), GRADED_Z), layers=0, **options)


BOX = ((0.3, 0.3, 0.5), (0.9, 0.9, 1.5))
PLANE = ((0.3, 0.3, 1.0), (0.9, 0.9, 1.0))
ACROSS_X = ((0.6, 0.3, 0.5), (0.6, 0.9, 1.5))  # a plane normal to the graded x


def _refusals():
    from orvane_sim import FrequencyMonitor, PlaneWave
    from orvane_sim import gaussian, plane_permittivity
    from orvane_sim.circuits import ModePort
    from orvane_sim.design import DiffractionOrder, ModePower

    pulse = gaussian(1.0, 0.3, 1.0)
    return {
        # across a port the cells may differ; along its normal they may not
        "ModePort normal to x": lambda sim: ModePort(sim, [1.0], box=ACROSS_X, direction="+x"),
        "a mode cross-section normal to x": lambda sim: plane_permittivity(sim, 0, 10),
        "the DiffractionOrder objective": lambda sim: DiffractionOrder(sim, at=1.0),
        "the ModePower objective normal to x": lambda sim: ModePower(sim, box=ACROSS_X,
                                                                     direction="+x"),
        "a periodic boundary": lambda sim: _graded_box(bloch=(0.0, 0.0)),
        "an oblique PlaneWave": lambda sim: PlaneWave(
            Simulation(grid=(graded(0.05, 1.2, 6), (4, 0.1), GRADED_Z), layers=0, b2=2),
            10, pulse, k=(0.5, 0.0)),
        "cell_volume": lambda sim: sim.cell_volume,
    }


@pytest.mark.parametrize("feature", list(_refusals()))
def test_features_that_need_one_spacing_refuse_a_non_uniform_axis_by_name(feature):
    sim = _graded_box()
    with pytest.raises(ValueError, match=rf"{feature}( \(.*\))? needs a uniform grid along x"):
        _refusals()[feature](sim)


def test_monitors_and_currents_placed_in_lengths_work_on_graded_axes():
    from orvane_sim import CurrentBox, FrequencyMonitor, gaussian

    sim = _graded_box()
    current = sim.add(CurrentBox(sim, waveform=gaussian(1.0, 0.3, 1.0),
                                 box=((0.61, 0.6, 1.9), (0.61, 0.6, 2.1))))
    monitor = sim.add(FrequencyMonitor(sim, [1.0], box=BOX))
    nodes = sim.grid[2].nodes
    first = int((nodes - 1.9).abs().argmin())
    assert int(current.offset[2]) == first
    assert monitor.ranges[2].tolist() == [int((nodes - 0.5).abs().argmin()),
                                          int((nodes - 1.5).abs().argmin()) - 1]
    sim.step(30)
    assert float(monitor.Ez.abs().max()) > 0


def test_a_plane_wave_across_a_step_in_the_cells_leaves_the_scattered_side_empty():
    # cells of 0.05 below the plane's first total-field node and 0.08 above:
    # the incident line takes both, so the wave the step reflects is part of
    # the incident wave on both sides, and the flux through the coarse cells
    # is all the incident flux
    from orvane_sim import PlaneWave, gaussian

    below, above = 30, 40
    z = [0.0] + torch.tensor([0.05] * below + [0.08] * above, dtype=F64).cumsum(0).tolist()
    sim = Simulation(grid=((2, 0.05), (2, 0.05), z), layers=((0, 0), (0, 0), (10, 10)),
                     bloch=(0.0, 0.0))
    nu = [0.5, 1.0, 1.5]
    source = sim.add(PlaneWave(sim, below - 1, gaussian(3.0, 0.8, 1.0), frequencies=nu))
    through = sim.add(FluxPlane(sim, below + 20, nu))
    scattered = peak = 0.0
    while sim.time < 6.0:  # before anything from the top layer comes back
        sim.run(10, progress=False)
        scattered = max(scattered, float(sim.Ex[..., 11:below - 1, :].abs().max()))
        peak = max(peak, float(sim.Ex.abs().max()))
    assert scattered < 1e-5 * peak
    sim.run(until=14.0, progress=False)
    torch.testing.assert_close(through.flux()[0, 0] / source.incident_flux()[0],
                               torch.ones(3, dtype=F64), atol=2e-4, rtol=0)


# z graded above the source, so that H comes onto the plane between unequal cells
FLUX_Z = [0.0] + torch.tensor([0.08] * 10 + [0.08 * 1.15**i for i in range(1, 6)]
                              + [0.08 * 1.15**5] * 8, dtype=F64).cumsum(0).tolist()


@pytest.mark.parametrize("graded_axis, source", [(0, "line"), (1, "line"), (0, "plane wave")])
def test_a_flux_plane_across_unequal_cells_weighs_each_sample_by_its_area(graded_axis,
                                                                          source):
    # A column graded across one axis between conducting faces (unlike
    # ends, so that each set of points covers its own length) and
    # periodic along the other. A current line along the periodic axis
    # leaves E along the graded one zero, and its field on a conducting
    # face too, so the plane's samples are the whole plane's: its flux
    # times its area is the power of a rectangle across it. A plane wave
    # polarised along the graded axis is uniform: its flux is the
    # incident one. (With every sample weighed alike the lines were 11 %
    # off; measured here 6e-7, 1.9e-6 and 1.1e-6.)
    from orvane_sim import CurrentBox, FluxRectangle, PlaneWave, gaussian
    from orvane_sim.core.periodic import BlochBoundary

    a, p = graded_axis, 1 - graded_axis
    cells = [0.05 * 1.15**i for i in range(8)]
    across = [0.0] + torch.tensor(cells[::-1] + [0.05] * 4 + cells[:5],
                                  dtype=F64).cumsum(0).tolist()
    grid = [None, None, FLUX_Z if source == "line" else (40, 0.05)]
    grid[a], grid[p] = across, (2, 0.05)
    sim = Simulation(grid=grid, layers=((0, 0), (0, 0), (6, 6)))
    sim.periodic = BlochBoundary(sim, x=p == 0, y=p == 1)
    nu = [0.6, 0.9, 1.2]
    plane = sim.add(FluxPlane(sim, 16, nu))
    if source == "line":
        at, direction = [0.05, 0.05, FLUX_Z[9]], [0, 0, 0]
        at[a], direction[p] = across[9], 1
        sim.add(CurrentBox(sim, waveform=gaussian(3.0, 0.8, frequency=0.9),
                           direction=direction, box=(at, at)))
        lo, hi = [0, 0, 16], [*sim.shape[:2], 16]
        lo[p] = 1  # one period
        want = sim.add(FluxRectangle(sim, nu, nodes=(lo, hi))).power
        until = 25
    else:
        polarization = (1.0, 0.0) if a == 0 else (0.0, 1.0)
        wave = sim.add(PlaneWave(sim, 10, gaussian(3.0, 0.8, 1.0), polarization=polarization,
                                 frequencies=nu))
        want = lambda: wave.incident_flux()[:, None] * plane.area  # noqa: E731
        until = 14
    sim.run(until=until, progress=False)
    torch.testing.assert_close(plane.flux() * plane.area, want(), rtol=1e-5, atol=0)


def test_a_picture_of_a_graded_box_draws_each_sample_over_its_own_cell():
    sim = _graded_box(objects=[Object(Slab((0, 0, 1), 1.0, 2.0), Dielectric(4.0))])
    fig = sim.plot(y=0.5)  # Ez: x across on the nodes, z up at the cells' centres
    edges = fig.axes[0].collections[0].get_coordinates()  # [z edges, x edges, 2]
    # between the centres along z lie the nodes; between the nodes along x the centres
    torch.testing.assert_close(torch.from_numpy(edges[1:-1, 0, 1]), sim.grid[2].nodes[1:-1])
    # (the grids hold nodes 0 .. N - 1 along x)
    torch.testing.assert_close(torch.from_numpy(edges[0, 1:-1, 0]), sim.grid[0].centres[:-1])
