"""Pictures: what ``Simulation.plot`` shows is the permittivity the grids
hold, with the outlines, features and layers where the plane crosses them;
a monitor's picture is its sums; a port's shows its modes and their n_eff;
a bad plane or argument is refused by name."""
import math

import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pytest
import torch

from orvane_sim import (Box, CurrentBox, Cylinder, Dielectric, Drude, FluxBox, FrequencyMonitor,
                        Lorentz, Object, Prism, Simulation, Sphere, gaussian)
from orvane_sim.circuits import ModePort
from orvane_sim.materials import warped_frequency

matplotlib.use("Agg")
NU = [0.9, 1.0, 1.1]


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def strip_box(**extra):
    """A 20 × 16 × 12-cell box with a strip along x, a sphere over it, a
    port, a current source, a monitor sheet and a flux box."""
    sim = Simulation(size=(2.0, 1.6, 1.2), resolution=10, layer_thickness=0.3, objects=[
        Object(Box((-1.0, 0.6, 0.4), (3.0, 1.0, 0.7)), Dielectric(6.0)),
        Object(Sphere((1.0, 0.8, 0.8), 0.2), Dielectric(3.0))], **extra)
    port = sim.add(ModePort(sim, NU, box=((0.5, 0.3, 0.3), (0.5, 1.3, 0.9)), name="in"))
    sim.add(CurrentBox(sim, box=((1.4, 0.8, 0.5), (1.4, 0.8, 0.6)),
                       waveform=gaussian(2.0, 1.0, 1.0)))
    monitor = sim.add(FrequencyMonitor(sim, NU, box=((0.4, 0.4, 0.6), (1.6, 1.2, 0.6))))
    sim.add(FluxBox(sim, NU, box=((0.4, 0.4, 0.4), (1.6, 1.2, 0.9))))
    return sim, port, monitor


@pytest.fixture(scope="module")
def built():
    return strip_box()


def gids(ax):
    return {a.get_gid() for a in ax.get_children() if a.get_gid()}


@pytest.mark.parametrize("plane, component, c", [
    ({"z": 0.5}, None, 0),    # a z-plane shows Ex by default
    ({"z": 0.75}, "Ez", 2),   # the component along the normal sits half a cell off the nodes
    ({"x": 1.0}, "Ey", 1),
    ({"y": 0.8}, "z", 2),
    ({"y": 1.6}, None, 2),    # the far face: the last node held
])
def test_the_permittivity_shown_is_the_one_painted_on_that_plane(built, plane, component, c):
    sim, _, _ = built
    fig = sim.plot(**plane, component=component)
    ax = fig.axes[0]
    (image,) = ax.get_images()
    (a, at), = ((("xyz".index(k)), v) for k, v in plane.items())
    h = sim.spacing[a]
    along = (np.arange(sim.shape[a]) + (0.5 if c == a else 0.0)) * h
    node = int(np.argmin(np.abs(along - at)))
    expected = sim.permittivity()[c][0].select(a, node).double().numpy()
    np.testing.assert_allclose(image.get_array().T, expected, rtol=1e-6)
    # each sample's cell centred on its node, in length units
    u, v = (t for t in range(3) if t != a)
    hu, hv = sim.spacing[u], sim.spacing[v]
    left, _, bottom, _ = image.get_extent()
    assert (left, bottom) == pytest.approx(((0.5 * (c == u) - 0.5) * hu,
                                            (0.5 * (c == v) - 0.5) * hv))
    assert ax.get_xlabel().startswith("xyz"[u]) and ax.get_ylabel().startswith("xyz"[v])
    assert f"E{'xyz'[c]}" in ax.get_title() and f"{'xyz'[a]} = {along[node]:g}" in ax.get_title()


@pytest.mark.parametrize("plane, drawn, left_out", [
    ({"z": 0.5}, {"layer", "port:in", "monitor:FluxBox", "object:Box", "source:CurrentBox"},
     {"monitor:FrequencyMonitor", "object:Sphere"}),
    ({"z": 0.8}, {"port:in", "monitor:FluxBox", "object:Sphere"},
     {"object:Box", "source:CurrentBox", "monitor:FrequencyMonitor"}),
    # across the guide past the port: the source's sheet and the monitor's edge on
    ({"x": 1.4}, {"source:CurrentBox", "monitor:FrequencyMonitor", "object:Box"},
     {"port:in", "object:Sphere"}),
    ({"y": 0.8}, {"port:in", "source:CurrentBox", "object:Box", "object:Sphere"}, set()),
])
def test_outlines_features_and_layers_are_drawn_where_the_plane_crosses_them(
        built, plane, drawn, left_out):
    sim, _, _ = built
    ax = sim.plot(**plane).axes[0]
    assert drawn <= gids(ax) and not left_out & gids(ax)
    assert len(ax.figure.axes) == 2  # the picture and its colourbar
    assert {"port", "source", "monitor", "absorbing layer"} & set(ax.get_legend_handles_labels()[1])


def test_a_plane_inside_a_layer_is_shaded_whole_and_given_axes_are_drawn_into(built):
    sim, _, _ = built
    fig, ax = plt.subplots()
    assert sim.plot(z=0.1, ax=ax) is fig
    whole = [p for p in ax.patches if p.get_gid() == "layer"
             and (p.get_width(), p.get_height()) == pytest.approx((2.0, 1.6))]
    assert len(whole) == 1 and ax.get_aspect() == 1.0


@pytest.mark.parametrize("shape", [
    Cylinder((1.0, 0.8, 0.6), (0, 0, 1), 0.33, 0.8),
    Prism([(0.6, 0.5), (1.4, 0.5), (1.0, 1.2)], 0.2, 1.0),
], ids=["cylinder", "prism"])
def test_a_traced_outline_lies_within_a_sample_of_the_shape(shape):
    sim = Simulation(size=(2.0, 1.6, 1.2), resolution=10, layers=0,
                     objects=[Object(shape, Dielectric(4.0))])
    ax = sim.plot(z=0.6).axes[0]
    (lines,) = [c for c in ax.collections if c.get_gid() == f"object:{type(shape).__name__}"]
    points = np.concatenate([p.vertices for p in lines.get_paths()])
    # a circle one sample (an eighth of a cell) around every point of the
    # outline has points inside the shape and outside it
    turns = np.linspace(0, 2 * math.pi, 32, endpoint=False)
    ring = points[:, None, :] + sim.spacing[0] / 8 * np.c_[np.cos(turns), np.sin(turns)]
    ring = np.concatenate([ring, np.full(ring.shape[:2] + (1,), 0.6)], -1)
    inside = shape.contains(torch.from_numpy(ring))
    assert len(points) > 20 and bool((inside.any(1) & ~inside.all(1)).all())


def test_pole_materials_show_the_real_permittivity_at_the_frequency_asked_for():
    lorentz = Lorentz(2.0, 1.5, 4.0, 0.2)
    drude = Drude(1.0, 3.0, 0.5)
    sim = Simulation(size=(2.0, 1.6, 1.2), resolution=10, layers=0, objects=[
        Object(Box((0.2, 0.2, 0.2), (0.9, 1.4, 1.0)), lorentz),
        Object(Box((1.1, 0.2, 0.2), (1.8, 1.4, 1.0)), drude)])

    def inside(frequency=None):
        fig = sim.plot(z=0.6, frequency=frequency)
        values = fig.axes[0].get_images()[0].get_array().T  # [x, y]
        return values[5, 8], values[15, 8], fig.axes[0].get_title()

    # the time stepping realises the model's ε at a warped frequency
    omega = warped_frequency(2 * math.pi * 0.8, sim.dt)
    got_l, got_d, title = inside(0.8)
    assert got_l == pytest.approx(float(lorentz.permittivity(omega).real), rel=1e-4)
    assert got_d == pytest.approx(float(drude.permittivity(omega).real), rel=1e-4)
    assert "Re ε" in title and "ν = 0.8" in title
    # without a frequency and nothing that takes one: the static real part
    got_l, got_d, title = inside()
    assert (got_l, got_d) == pytest.approx((2.0 + 1.5, 1.0 - 3.0**2 / 0.5**2), rel=1e-4)
    assert "static" in title
    # by default, the middle of the frequencies the monitors take
    sim.add(FrequencyMonitor(sim, [0.6, 1.0], box=((0.3, 0.3, 0.3), (1.7, 1.3, 0.9))))
    assert inside()[:2] == inside(0.8)[:2]


def test_a_monitor_picture_is_the_magnitude_of_its_sums():
    sim, _, monitor = strip_box()
    sim.run(steps=20)
    fig = monitor.plot(component="Ey", frequency=1.0)
    (image,) = fig.axes[0].get_images()
    # the sheet's own plane by default: its first Ey node along z
    expected = monitor.Ey[0, 0, :, :, 0, 1].abs().double().numpy()
    assert np.abs(expected).max() > 0
    np.testing.assert_allclose(image.get_array().T, expected, rtol=1e-6)
    assert "|Ey| at ν = 1 on z = 0.6" == fig.axes[0].get_title() and len(fig.axes) == 2
    across = monitor.plot(component="Ex", x=1.05).axes[0].get_images()[0]
    ex = monitor.Ex[0, 0, 6, :, :, 0].abs().double().numpy()  # x = (4 + 6 + ½)·0.1
    np.testing.assert_allclose(across.get_array().T, ex, rtol=1e-6)


def test_a_monitor_on_unequal_cells_draws_each_sample_over_its_own_cell():
    x = [0.0] + torch.tensor([0.15] * 3 + [0.1] * 6 + [0.05] * 8, dtype=torch.float64
                             ).cumsum(0).tolist()
    sim = Simulation(grid=(x, (12, 0.1), (10, 0.1)), layer_thickness=0.2)
    sim.add(CurrentBox(sim, box=((1.3, 0.6, 0.5), (1.3, 0.6, 0.6)),
                       waveform=gaussian(2.0, 1.0, 1.0)))
    monitor = sim.add(FrequencyMonitor(sim, NU, box=((0.3, 0.3, 0.5), (1.2, 0.9, 0.5))))
    sim.run(steps=20)
    mesh = monitor.plot(component="Ey").axes[0].collections[0]  # z = 0.5, its own plane
    expected = monitor.Ey[0, 0, :, :, 0, 0].abs().double().numpy()  # [x, y]
    np.testing.assert_allclose(mesh.get_array().reshape(expected.T.shape).T, expected,
                               rtol=1e-6)
    # Ey's x samples are the nodes from x = 0.3 on: their cells reach halfway to each neighbour
    nodes = np.array(x)
    first = int(np.argmin(np.abs(nodes - 0.3)))
    samples = nodes[first:first + expected.shape[0]]
    xs = mesh.get_coordinates()[0, :, 0]
    np.testing.assert_allclose(xs[1:-1], 0.5 * (samples[1:] + samples[:-1]), rtol=1e-9)
    with pytest.raises(ValueError, match=r"x = 1.5 lies outside the monitor's box, x = 0.3 \.\. "):
        monitor.plot(component="Ey", x=1.5)


@pytest.mark.parametrize("axis, size, core, box", [
    (0, (2.0, 1.6, 1.2), ((-1.0, 0.6, 0.4), (3.0, 1.0, 0.7)), ((0.5, 0.3, 0.3), (0.5, 1.3, 0.9))),
    # normal to y, the solver's (b, c) are (z, x): drawn turned, x across and z up
    (1, (1.6, 2.0, 1.2), ((0.6, -1.0, 0.4), (1.0, 3.0, 0.7)), ((0.3, 0.5, 0.3), (1.3, 0.5, 0.9))),
], ids=["normal to x", "normal to y"])
def test_a_port_picture_shows_each_mode_with_its_effective_index(axis, size, core, box):
    sim = Simulation(size=size, resolution=10, layer_thickness=0.3,
                     objects=[Object(Box(*core), Dielectric(6.0))])
    port = ModePort(sim, NU, box=box, direction="+" + "xyz"[axis], mode=1, name="in")
    fig = port.plot_modes()
    panels = [ax for ax in fig.axes if ax.get_label() != "<colorbar>"]
    assert len(panels) == 2 and len(fig.axes) == 3 and "ν = 1" in fig.get_suptitle()
    for m, ax in enumerate(panels):
        assert f"mode {m}" in ax.get_title()
        assert f"n_eff = {float(port.modes.neff[1, m]):.4f}" in ax.get_title()
    assert "(launched)" in panels[1].get_title()
    # the first mode (E across the strip, its wider side) peaks on the strip's middle
    across = "y" if axis == 0 else "x"
    assert f"|E{across}|" in panels[0].get_title()
    assert panels[0].get_xlabel().startswith(across) and panels[0].get_ylabel().startswith("z")
    image = panels[0].get_images()[0]
    values = image.get_array()
    left, right, bottom, top = image.get_extent()
    row, col = np.unravel_index(np.argmax(values), values.shape)
    peak = (left + (col + 0.5) * (right - left) / values.shape[1],
            bottom + (row + 0.5) * (top - bottom) / values.shape[0])
    middle = (0.8, 0.55)
    assert values.max() == pytest.approx(1.0)
    assert abs(peak[0] - middle[0]) <= 0.1 and abs(peak[1] - middle[1]) <= 0.1


@pytest.mark.parametrize("call, message", [
    (lambda sim, port, mon: sim.plot(), "give one plane, as x=, y= or z="),
    (lambda sim, port, mon: sim.plot(x=1.0, z=0.5), r"got x=1.0, z=0.5"),
    (lambda sim, port, mon: sim.plot(z=1.3), r"z = 1.3 lies outside the box, which spans "
                                             r"z = 0 .. 1.2"),
    (lambda sim, port, mon: sim.plot(y=-0.01), "outside the box"),
    (lambda sim, port, mon: sim.plot(z=0.5, component="Hz"), "component must be 'Ex'"),
    (lambda sim, port, mon: sim.plot(z=0.5, b1=1), "b1 must be in 0 .. 0"),
    (lambda sim, port, mon: sim.plot(z=0.5, frequency=-1.0), "frequency must be a finite "
                                                             "number > 0"),
    (lambda sim, port, mon: mon.plot(z=1.0), r"z = 1 lies outside the monitor's box, "
                                             r"z = 0.6 .. 0.7"),
    (lambda sim, port, mon: mon.plot(frequency=0.95), r"frequency 0.95 is none of the "
                                                      r"frequencies held \(0.9, 1, 1.1\)"),
    (lambda sim, port, mon: mon.plot(x=1.0, y=1.0), "give one plane"),
    (lambda sim, port, mon: port.plot_modes(count=2), "count must be at most 1: the port "
                                                      "holds the modes 0 .. 0"),
    (lambda sim, port, mon: port.plot_modes(frequency=2.0), "frequency 2 is none of"),
])
def test_a_bad_plane_or_argument_is_refused_by_name(built, call, message):
    sim, port, monitor = built
    with pytest.raises(ValueError, match=message):
        call(sim, port, monitor)
    assert not plt.get_fignums()  # refused before anything was drawn
