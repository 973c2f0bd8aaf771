"""Dispersive materials in the driver: models to tables, the permittivity the
recursion realises, a medium stepping inside a Simulation, and the damped
stand-in of a Drude metal inside the absorbing layers."""
import math

import pytest
import torch

from orvane_sim import Box, CurrentBox, Object, Simulation, Sphere, time_step
from orvane_sim.core import DispersiveMedium
from orvane_sim.materials import (Debye, Dielectric, Drude, Lorentz, discrete_permittivity,
                                  discretise, material_tables, node_coefficients,
                                  warped_frequency)

DT = time_step((1.0, 1.0, 1.0), 0.99)
MODELS = {
    "dielectric": Dielectric(2.5),
    "debye": Debye(2.0, 3.0, tau=8.0),
    "lorentz": Lorentz(1.5, 2.0, omega0=0.4, gamma=0.08),
    "drude": Drude(1.0, omega_p=1.2, gamma=0.15),
}
# a few frequencies up to about a tenth of the Nyquist frequency, resonance included
OMEGAS = torch.tensor([0.01, 0.05, 0.15, 0.4, 0.55])


def implied(material, omega):
    d = discretise(material, DT)
    return discrete_permittivity(d.alpha, d.beta, d.den, d.loss, omega, DT)


@pytest.mark.parametrize("material", MODELS.values(), ids=MODELS.keys())
def test_recursion_realises_the_model_at_the_warped_frequency(material):
    torch.testing.assert_close(implied(material, OMEGAS),
                               material.permittivity(warped_frequency(OMEGAS, DT)),
                               rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("material", MODELS.values(), ids=MODELS.keys())
def test_recursion_matches_the_model_within_the_time_step_error(material):
    # w~ - w = w (w dt)^2 / 12 + O(dt^4): the permittivity is off by about
    # |d eps / d w| times that shift.
    h = 1e-6
    slope = (material.permittivity(OMEGAS + h) - material.permittivity(OMEGAS - h)).abs() / (2 * h)
    bound = 1.5 * slope * OMEGAS * (OMEGAS * DT) ** 2 / 12 + 1e-12
    error = (implied(material, OMEGAS) - material.permittivity(OMEGAS)).abs()
    assert torch.all(error <= bound), (error, bound)


def test_models_that_one_complex_pole_cannot_hold_are_refused():
    with pytest.raises(ValueError, match="overdamped"):
        Lorentz(1.0, 1.0, omega0=0.1, gamma=0.3)
    with pytest.raises(ValueError, match="gamma must be positive"):
        Drude(1.0, 1.0, gamma=0.0)
    with pytest.raises(ValueError, match="1 to 256 materials"):
        material_tables([Dielectric()] * 257, DT)


def run_single_node(materials, w, omega, steps=2500):
    """Drive one Ex node through Update_E's arithmetic and the module's
    dispersive pass with a complex sinusoid (real part in batch slot 0,
    imaginary part in slot 1) and read off eps = C(n) / (E(n+1) - E(n))."""
    import OrvaneCPU

    grid = lambda v, dtype=torch.float32: torch.full((1, 1, 2, 2), v, dtype=dtype)  # noqa: E731
    grids = [(grid(w), grid(0, torch.uint8), grid(len(materials) - 1, torch.uint8))] * 3
    shapes = [(1, 1, 1, 3, 3, 2), (1, 1, 2, 2, 3, 2), (1, 1, 2, 3, 2, 2)]
    medium = DispersiveMedium(materials, DT, grids, shapes)
    fields = [torch.zeros(s) for s in shapes]
    g = float(medium.cg1[0][0, 0, 1, 1] - medium.cg2[0][0, 0, 1, 1])
    node = fields[0][0, 0, 0, 1, 1]
    history = []
    for n in range(steps):
        drive = complex(math.cos(omega * (n + 0.5) * DT), -math.sin(omega * (n + 0.5) * DT))
        node[0] = g * node[0] + drive.real
        node[1] = g * node[1] - drive.imag  # slot 1 carries -Im, so E = slot0 - i slot1
        medium.apply(OrvaneCPU, *fields)
        history.append(complex(float(node[0]), -float(node[1])))
    n = steps - 2
    drive = complex(math.cos(omega * (n + 0.5) * DT), -math.sin(omega * (n + 0.5) * DT))
    return drive / (history[n] - history[n - 1])


CASES = {
    "debye": ([Debye(2.0, 3.0, tau=8.0)], 1.0),
    "lorentz": ([Lorentz(1.5, 2.0, omega0=0.4, gamma=0.08)], 1.0),
    "drude": ([Drude(1.0, omega_p=1.2, gamma=0.15)], 1.0),
    "lorentz-and-drude-mixed": ([Lorentz(1.5, 2.0, omega0=0.4, gamma=0.08),
                                 Drude(1.0, omega_p=1.2, gamma=0.15)], 0.3),
}


@pytest.mark.parametrize("materials, w", CASES.values(), ids=CASES.keys())
def test_module_realises_the_discrete_permittivity(materials, w):
    omega = 0.3
    got = run_single_node(materials, w, omega)
    shares = [w, 1 - w] if len(materials) == 2 else [1.0]
    want = sum(s * complex(implied(m, omega)) for s, m in zip(shares, materials))
    assert abs(got - want) <= 2e-3 * abs(want), (got, want)


def test_node_coefficients_mix_the_two_materials():
    tables = material_tables([Dielectric(2.0), Drude(1.0, 1.0, 0.5)], DT)
    w = torch.tensor([[[[0.25]]]])
    den1, den2, cg1, cg2 = node_coefficients(tables, w, torch.zeros_like(w, dtype=torch.uint8),
                                             torch.ones_like(w, dtype=torch.uint8))
    drude = discretise(Drude(1.0, 1.0, 0.5), DT)
    assert den1.item() == pytest.approx(0.25 * 2.0)
    assert den2.item() == pytest.approx(0.75 * drude.den)
    assert (cg1 - cg2).item() == pytest.approx(0.5 + 0.75 * (drude.den - drude.loss), rel=1e-6)


FILL = Box((-1, -1, -1), (13, 13, 13))  # covers every node of a 12-cell box


def test_vacuum_medium_leaves_a_simulation_unchanged():
    plain = Simulation(12, layers=2)
    with_medium = Simulation(12, layers=2, objects=[Object(FILL, Dielectric(1.0))])
    assert with_medium.medium is not None
    for sim in (plain, with_medium):
        sim.set_gaussian_pulse(width=2.0)
        sim.step(15)
    for name in ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz"):
        torch.testing.assert_close(getattr(with_medium, name), getattr(plain, name))


# Objects for the pass over the materials' box alone: where it lies in the
# box, what it is, how many arrangements (b1) and field slots (b2).
ACTIVE_BOX = {
    "dielectric in the middle": ([Object(Sphere((6, 6, 6), 2.5), Dielectric(2.25))], 1, 1),
    "metal across the low and high faces": (
        [Object(Box((-1, 3, 8), (4, 9, 13)), Drude(1.0, omega_p=2.0, gamma=0.2))], 1, 2),
    "two arrangements, a lossy dielectric": (
        [[Object(Sphere((3, 4, 5), 1.5), Drude(1.0, omega_p=0.5, gamma=0.3))],
         [Object(Box((7, 7, 2), (10, 11, 6)), Lorentz(2.0, 0.5, 0.8, 0.1))]], 2, 1),
    # plain nodes divided on their own, and inside the pass's box too
    "a dielectric across a metal": (
        [Object(Sphere((6, 6, 6), 3.0), Dielectric(4.0)),
         Object(Box((6, 4, 3), (9, 8, 9)), Drude(1.0, omega_p=2.0, gamma=0.2))], 1, 2),
}


@pytest.mark.parametrize("objects, b1, b2", ACTIVE_BOX.values(), ids=ACTIVE_BOX.keys())
def test_the_divided_and_boxed_passes_give_the_whole_box_pass(backend, objects, b1, b2):
    def run(whole):
        sim = Simulation(12, layers=2, b2=b2, batch=(1, b1), objects=objects,
                         backend=backend.name)
        sim.tune_threads = False
        box = sim.medium.box
        if whole:
            sim.medium.unrestricted()
        sim.add(CurrentBox(sim, offset=(5, 6, 4), size=(2, 1, 3), direction=(1, 1, 1),
                           waveform=lambda t: math.exp(-((t - 1.5) / 0.5) ** 2)))
        sim.step(40)
        return sim, box

    part, box = run(False)
    whole, _ = run(True)
    assert box != tuple((0, n) for n in part.shape)  # the cheaper pass did run
    if backend.name == "cpu":  # bit for bit: both divide exactly
        for name in ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz"):
            assert torch.equal(getattr(part, name), getattr(whole, name)), name
    else:  # the CUDA pass divides with fast math's division, torch exactly
        assert_same_fields(part, whole, 1e-5)


def _in_silica(fold, objects, steps, load=None, save=None):
    """A strip or a metal sphere in a silica background, lit by a current;
    ``fold``: the background folded into the electric update (the default),
    or not; ``load``/``save``: a checkpoint to continue from or to write."""
    sim = Simulation(size=(1.5, 1.2, 1.2), resolution=20, layer_thickness=0.25,
                     background=Dielectric(2.085), objects=objects)
    sim.tune_threads = False
    if not fold:
        sim.medium.unrestricted(fold=False)
    sim.add(CurrentBox(sim, offset=(8, 11, 12), size=(1, 1, 1), direction=(0, 1, 0),
                       waveform=lambda t: math.exp(-((t - 1.0) / 0.3) ** 2)))
    if load:
        sim.load(load)
    sim.step(steps)
    if save:
        sim.save(save)
    return sim


IN_SILICA = {"silicon strip": [Object(Box((0.4, 0.45, 0.45), (1.1, 0.75, 0.7)), Dielectric(12.1))],
             "metal sphere": [Object(Sphere((0.75, 0.6, 0.6), 0.2), Drude(2.0, 3.0, 0.3))]}


@pytest.mark.parametrize("objects", IN_SILICA.values(), ids=IN_SILICA.keys())
def test_a_background_folded_into_the_update_steps_as_the_pass_would(objects):
    folded, plain = _in_silica(True, objects, 300), _in_silica(False, objects, 300)
    assert folded.medium.curl_scale == pytest.approx(1 / 2.085)
    boxes = [box for box in (folded.medium.box, folded.medium.plain_box) if box is not None]
    assert sum(math.prod(b - a for a, b in box) for box in boxes) < 0.1 * math.prod(folded.shape)
    assert_same_fields(folded, plain, 1e-5)


def assert_same_fields(a, b, rtol):
    """Every field within ``rtol`` of the largest field value (c = 1: E and
    H in one unit; rounding at a strong node reaches the weak components
    next to it)."""
    names = ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz")
    scale = max(float(getattr(b, n).abs().max()) for n in names)
    for n in names:
        assert (getattr(a, n) - getattr(b, n)).abs().max() <= rtol * scale, n


def test_a_checkpoint_written_before_the_fold_resumes_folded(tmp_path):
    """A file from before the fold (the layer state and the accumulators
    unscaled, no word of a scale) is rescaled on loading."""
    from orvane_sim.core.checkpoint import seal

    objects = IN_SILICA["metal sphere"]
    _in_silica(False, objects, 150, save=tmp_path / "plain.ck")
    data = torch.load(tmp_path / "plain.ck", weights_only=True)
    data.pop("curl_scale")
    data["state"] = {k: v for k, v in data["state"].items() if not k.startswith("medium._")}
    data.pop("checksums")
    torch.save(seal(data), tmp_path / "before.ck")
    resumed = _in_silica(True, objects, 150, load=tmp_path / "before.ck")
    assert_same_fields(resumed, _in_silica(False, objects, 300), 1e-5)


def test_a_medium_of_vacuum_alone_runs_no_pass():
    sim = Simulation(12, layers=2, objects=[Object(FILL, Dielectric(1.0))])
    assert sim.medium is not None and sim.medium.box is None


def test_lossy_medium_drains_the_energy():
    sim = Simulation(12, layers=0, objects=[Object(FILL, Drude(1.0, omega_p=0.8, gamma=0.3))])
    sim.set_gaussian_pulse(width=2.0)
    start = sim.energy()
    sim.step(200)
    assert math.isfinite(sim.energy()) and sim.energy() < 0.05 * start


def test_a_drude_metal_in_the_layers_is_damped_by_depth_and_nothing_else_changes():
    metal = Drude(2.0, omega_p=3.0, gamma=0.1)
    assert metal.in_layers(0.0) is metal
    on_face = metal.in_layers(1.0)
    assert on_face.in_layers(1.0) is on_face and on_face.omega_p == metal.omega_p
    eps = on_face.permittivity(torch.linspace(0.01, 20, 400))
    assert eps.real.min() >= 8 / 9 * metal.eps - 1e-9  # no negative permittivity left
    # the metal through the low x layer, a Lorentz box through the high one
    sim = Simulation(12, layers=3, objects=[
        Object(Box((-1, -1, -1), (5.2, 13, 13)), metal),
        Object(Box((8.5, -1, -1), (13, 13, 13)), Lorentz(1.0, 3.0, omega0=0.5, gamma=0.05))])
    alpha = sim.medium.tables.rec_a.real.double()
    damping = 2 / sim.dt * (1 - alpha) / (1 + alpha)  # the pole sits at -gamma
    x = torch.arange(12)
    for c, (_, ids, _) in enumerate(sim.medium.grids):
        row, depth = ids[0, :, 6, 6].long(), sim.layer_depth(c)[:, 6, 6]
        inside = x + (0.5 if c == 0 else 0.0) < 3
        assert torch.all((depth > 0) == (inside | (x > 9 - (c == 0))))
        want = torch.tensor([metal.in_layers(u).gamma for u in depth[inside].tolist()],
                            dtype=torch.float64)
        torch.testing.assert_close(damping[row[inside]], want, rtol=1e-4, atol=0)
        assert torch.all(row[~inside & (x < 5)] == 1)
        assert torch.all(row[x > 10] == 2)  # the Lorentz box keeps its own pole


def test_running_out_of_ids_for_the_stand_ins_is_refused():
    speck = Box((3.0, 3.0, 3.0), (3.001, 3.001, 3.001))  # nearly nothing: takes an id
    with pytest.raises(ValueError, match=r"the background \(Drude\) reaches into the absorbing"):
        Simulation(6, layers=1, background=Drude(1.0, 1.0, 0.1),
                   objects=[Object(speck, Dielectric(2.0))] * 255)


@pytest.mark.slow
def test_drude_metal_reaching_into_the_layers_stays_stable(backend):
    # b1 = 0: a sphere one cell deep into the layers, b1 = 1: a film through
    # the four side faces. With the metal as it is in the layers too, both
    # grew without bound (the sphere some 3,000-fold every 2,000 steps).
    n, h = 16, 0.05
    c = n * h / 2
    metal = Drude(1.0, omega_p=12.0, gamma=0.05)
    sim = Simulation(n, spacing=h, layers=4, backend=backend.name, batch=(1, 2),
                     objects=[[Object(Sphere((c, c, c), c - 3 * h), metal)],
                              [Object(Box((-1, -1, c + h), (2, 2, c + 3 * h)), metal)]])

    def pulse(t):  # the time derivative of a Gaussian: no charge left behind
        u = (t - 0.5) / 0.15
        return -2 * u * math.exp(-u * u)

    sim.add(CurrentBox(sim, (n // 2,) * 3, (1, 1, 1), pulse))
    sim.step(100)  # the pulse is over

    def energies():
        fields = (sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz)
        return torch.stack([sum(f[:, b].double().square().sum() for f in fields)
                            for b in range(2)])

    # the highest energy of each window of 2,000 steps (sampled often enough
    # to catch the plasma oscillation's peaks)
    peaks = []
    for _ in range(20):
        peak = torch.zeros(2, dtype=torch.float64, device=sim.device)
        for _ in range(400):
            sim.step(5)
            peak = torch.maximum(peak, energies())
        peaks.append(peak)
    peaks = torch.stack(peaks)
    assert torch.all(peaks[1:] <= 1.05 * peaks[:-1].cummin(0).values), peaks
    assert torch.all(peaks[-1] < 1e-6 * peaks[0]), peaks


@pytest.mark.parametrize("pole", ["debye", "lorentz", "drude"])
def test_the_default_smoothing_staircases_the_nodes_a_pole_material_shares(pole, caplog):
    # A sphere of a pole material with a plain box painted over part of it:
    # by default every node that the pole material shares (either way round)
    # is painted as smoothing="staircase" paints it, the others as sub-cell
    # smoothing paints them, and the log says so once.
    shape = dict(shape=(14, 14, 14), spacing=0.05, layers=3)
    box = Object(Box((0.33, 0.12, 0.12), (0.6, 0.55, 0.55)), Dielectric(3.0))

    def painted(material, **options):
        sim = Simulation(**shape, objects=[Object(Sphere((0.33, 0.33, 0.33), 0.17), material),
                                           box], **options)
        return sim, sim.painted[1]

    with caplog.at_level("INFO", logger="orvane_sim.simulation"):
        sim, default = painted(MODELS[pole])
        sim.set_objects([box])
        sim.set_objects([Object(Sphere((0.33, 0.33, 0.33), 0.17), MODELS[pole])])
    assert [type(MODELS[pole]).__name__ in r.getMessage() for r in caplog.records] == [True]
    staircase = painted(MODELS[pole], smoothing="staircase")[1]
    smooth = painted(Dielectric(2.0))[1]   # the sphere plain: the box smoothed throughout
    for c, ((w, first, second), (stair, _, _), (plain, _, _)) in enumerate(
            zip(default, staircase, smooth)):
        # in the layers a Drude sphere's nodes take the stand-ins' ids
        interior = sim.layer_depth(c) == 0
        w, first, second, stair, plain = (t[:, interior] for t in (w, first, second, stair, plain))
        shared = (first == 1) | (second == 1)
        assert shared.any() and (~shared & (w != stair)).any()
        assert torch.equal(w[shared], stair[shared])
        assert torch.equal(w[~shared], plain[~shared])
