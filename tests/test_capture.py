"""Steps without the host: a bounded number of operations per step for the
sources and monitors whatever their faces and frequencies, captured blocks
of steps (rehearsed on the CPU: the host's side of the graph path) that
give the per-step path's bits, and the fallback where capture does not
apply."""
import re
import warnings

import pytest
import torch
from torch.utils._python_dispatch import TorchDispatchMode

from orvane_sim import (Box, CurrentBox, Dielectric, FluxBox, FluxPlane, FrequencyMonitor,
                        Lorentz, Object, PlaneWave, Simulation, Sphere, TotalFieldBox, gaussian)
from orvane_sim.core import capture
from orvane_sim.core.capture import CapturedSteps, GraphFallback, Rehearsal

FIELDS = ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz")


def scatterer(b2=1, nu=(0.06, 0.09, 0.12)):
    """A dispersive sphere in a total-field box, a flux box around it, a
    current and a frequency monitor: a per-step table in every kind of
    feature, monitors summing every k-th step, an incident line that grows."""
    sim = Simulation(shape=(22, 20, 24), layers=4, b2=b2,
                     objects=[Object(Sphere((11, 10, 12), 3.0), Lorentz(2.0, 0.5, 0.3, 0.02))])
    sim.tune_threads = False
    sim.add(TotalFieldBox(sim, gaussian(16.0, 4.0, 0.09), direction="-y", polarization="z",
                          nodes=((6, 6, 6), (16, 14, 18)), frequencies=list(nu)))
    sim.add(FluxBox(sim, list(nu), nodes=((5, 5, 5), (17, 15, 19))))
    sim.add(CurrentBox(sim, offset=(9, 9, 9), size=(2, 2, 1), waveform=gaussian(14.0, 4.0, 0.08)))
    sim.add(FrequencyMonitor(sim, [0.04, 0.06], box=((8, 8, 8), (12, 12, 12))))
    return sim


def oblique_column():
    """A complex plane wave at oblique incidence across a periodic column,
    recording its spectrum, a flux plane above."""
    sim = Simulation((6, 5, 60), layers=(0, 0, 8), bloch=(0.2, 0.1), b2=2)
    sim.tune_threads = False
    sim.add(PlaneWave(sim, 15, gaussian(20.0, 6.0, 0.08), k=(0.2, 0.1), frequencies=[0.06, 0.1]))
    sim.add(FluxPlane(sim, 40, [0.06, 0.1]))
    return sim


def guide_port():
    """A mode port lighting a dielectric strip, its mode monitor summing."""
    from orvane_sim.circuits import ModePort

    sim = Simulation(size=(2.0, 1.6, 1.4), resolution=10, layers=4,
                     objects=[Object(Box((-1.0, 0.55, 0.5), (3.0, 1.05, 0.9)), Dielectric(6.0))])
    sim.tune_threads = False
    sim.add(ModePort(sim, [1.0, 1.2], box=((0.6, 0.45, 0.45), (0.6, 1.15, 0.95)),
                     direction="+x"))
    return sim


def readout(monitor) -> torch.Tensor:
    for name in ("power", "flux", "amplitudes"):
        if hasattr(monitor, name):
            out = getattr(monitor, name)()
            return out[0] if isinstance(out, tuple) else out
    return monitor.Ex


@pytest.mark.parametrize("build, calls", [
    (scatterer, (7, 150, 700, 143)),
    (lambda: scatterer(b2=2), (64, 300)),
    (oblique_column, (5, 400)),
    (guide_port, (10, 250)),
], ids=["scatterer", "complex scatterer", "oblique plane wave", "mode port"])
def test_captured_blocks_give_the_bits_of_the_steps_one_by_one(build, calls):
    plain = build()
    plain.step(sum(calls))
    blocks = build()
    replays = []

    class Counted(Rehearsal):
        def replay(self):
            replays.append(blocks.steps_done)
            super().replay()

    runner = CapturedSteps(blocks, Counted)
    for count in calls:
        blocks.prepare_features()
        runner.advance(count, True)
    assert blocks.steps_done == plain.steps_done
    for name in FIELDS:
        assert torch.equal(getattr(plain, name), getattr(blocks, name)), name
    for a, b in zip(plain.monitors, blocks.monitors):
        assert torch.equal(readout(a), readout(b)), type(a).__name__
    assert replays and all(n % runner.length == 0 for n in replays)


def test_a_block_in_which_the_incident_line_grows_runs_step_by_step_and_is_captured_again():
    sim = scatterer()
    line = sim.sources[0].line
    captures = []

    class Counted(Rehearsal):
        def capture(self, run):
            captures.append((sim.steps_done, line.cells))
            super().capture(run)

    runner = CapturedSteps(sim, Counted)
    cells = line.cells
    sim.prepare_features()
    runner.advance(1500, True)
    assert line.cells > cells  # it grew
    assert len({c for _, c in captures}) >= 2  # and a new graph was captured at its new length


class OwnSource:
    """A source of the caller's own: it says nothing of its per-step values."""

    def after_h(self, sim):
        pass

    def after_e(self, sim):
        sim.Ex[..., 5, 5, 5, :] += 1e-3


class OwnPeriodic:
    axes = ()

    def apply(self, sim):
        pass


def two_slow_monitors(sim):
    for every in (17, 19):  # repeat together only every 323 steps
        sim.add(FrequencyMonitor(sim, [0.01], box=((2, 2, 2), (3, 3, 3)), decimation=every))


@pytest.mark.parametrize("change, reason", [
    (lambda sim: None, r"CUDA graphs hold GPU work, and this simulation runs on the CPU"),
    (lambda sim: sim.sources.append(OwnSource()),
     r"the source OwnSource does not say how it prepares its per-step values"),
    (lambda sim: setattr(sim, "periodic", OwnPeriodic()),
     r"the periodic pass OwnPeriodic is not one of the driver's own"),
    (two_slow_monitors, r"repeat only after more than 256 steps"),
])
def test_steps_that_cannot_be_captured_say_why(change, reason):
    sim = Simulation(shape=10, layers=3)
    change(sim)
    sim.prepare_features()
    assert re.search(reason, capture.refusal(sim))


def test_cuda_graph_on_the_cpu_steps_as_without_it_and_says_why_once():
    plain = scatterer()
    plain.run(300, progress=False)
    asked = scatterer()
    asked.cuda_graph = True
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        asked.run(300, progress=False)
    fallbacks = [w for w in caught if issubclass(w.category, GraphFallback)]
    assert len(fallbacks) == 1
    assert "runs on the CPU" in asked.graph_refusal
    assert asked.graph_refusal in str(fallbacks[0].message)
    for name in FIELDS:
        assert torch.equal(getattr(plain, name), getattr(asked, name)), name


@pytest.mark.needs_cuda
def test_cuda_graphs_give_the_bits_of_the_steps_one_by_one(monkeypatch):
    replays = []
    replay = capture.CudaGraph.replay
    monkeypatch.setattr(capture.CudaGraph, "replay", lambda g: (replays.append(1), replay(g)))
    plain = Simulation(shape=(22, 20, 24), layers=4, backend="cuda")
    graphs = Simulation(shape=(22, 20, 24), layers=4, backend="cuda", cuda_graph=True)
    for sim in (plain, graphs):
        sim.add(TotalFieldBox(sim, gaussian(16.0, 4.0, 0.09), polarization="x",
                              nodes=((6, 6, 6), (16, 14, 18)), frequencies=[0.06, 0.09]))
        sim.add(FluxBox(sim, [0.06, 0.09], nodes=((5, 5, 5), (17, 15, 19))))
        sim.run(700, progress=False)
    assert graphs.graph_refusal is None and replays
    for name in FIELDS:
        assert torch.equal(getattr(plain, name), getattr(graphs, name)), name
    assert torch.equal(plain.monitors[0].power(), graphs.monitors[0].power())


class Operations(TorchDispatchMode):
    """The tensor operations that do work (views left out), and the module's
    calls."""

    def __init__(self):
        super().__init__()
        self.count = 0

    def __torch_dispatch__(self, func, types, args=(), kwargs=None):
        if not func.is_view:
            self.count += 1
        return func(*args, **(kwargs or {}))


def operations(sim, call) -> int:
    calls = []

    class Module:
        def __getattr__(self, name):
            def forward(*args):
                calls.append(name)
                return getattr(real, name)(*args)
            return forward

    real, sim.module = sim.module, Module()
    try:
        with Operations() as ops:
            call()
    finally:
        sim.module = real
    return ops.count + len(calls)


@pytest.mark.parametrize("nu, box, b2", [
    ([0.06], ((5, 5, 5), (17, 15, 19)), 1),
    ([0.05 + 0.01 * f for f in range(12)], ((5, 5, 5), (17, 15, 19)), 1),
    ([0.06], ((7, 7, 8), (13, 12, 16)), 1),
    ([0.05 + 0.01 * f for f in range(12)], ((7, 7, 8), (13, 12, 16)), 2),
], ids=["1 frequency", "12 frequencies", "smaller box", "complex fields"])
def test_a_flux_box_sums_in_the_same_few_operations_whatever_its_size_and_frequencies(nu, box,
                                                                                        b2):
    sim = Simulation(shape=(22, 20, 24), layers=4, b2=b2)
    flux = sim.add(FluxBox(sim, nu, nodes=box, decimation=1))
    sim.step(2)
    # six gathers (one per field component) and one update of the sums
    assert operations(sim, lambda: flux.update(sim)) == 7


@pytest.mark.parametrize("box, direction, polarization", [
    (((6, 6, 6), (16, 14, 18)), "+z", "x"),
    (((5, 5, 6), (17, 15, 19)), "-x", (0, 0.6, 0.8)),
    (((8, 8, 8), (12, 12, 12)), "+y", "z"),
], ids=["+z x", "-x oblique polarization", "small +y"])
def test_a_total_field_box_corrects_its_faces_in_the_same_few_operations(box, direction,
                                                                         polarization):
    sim = Simulation(shape=(22, 20, 24), layers=4)
    box = sim.add(TotalFieldBox(sim, gaussian(16.0, 4.0, 0.09), direction=direction,
                                polarization=polarization, nodes=box))
    sim.step(2)
    # per phase: a gather, a product, a conversion, and an addition per
    # component corrected and group of distinct nodes (three components, a
    # node on two faces at most); the line: a difference, its update and
    # the drive's addition, per phase
    counted = operations(sim, lambda: (box.after_h(sim), box.after_e(sim)))
    assert counted <= 2 * (3 + 3 * 2) + 2 * 3
