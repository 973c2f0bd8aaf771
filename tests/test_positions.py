"""Sources and monitors placed in length units: the same runs as their index
forms, and errors in length units."""
import logging

import pytest
import torch

from orvane_sim import CurrentBox, FluxPlane, FrequencyMonitor, PlaneWave, Simulation, gaussian

H = 0.05  # cell size: node i at i·H
SHAPE, LAYERS = (6, 6, 40), ((0, 0), (0, 0), (6, 6))  # spans 0 .. 0.3 along x, y; 0 .. 2 along z
PULSE = gaussian(0.3, 0.1)
NU = [1.0, 2.5]


def fields(sim, feature):
    return [sim.Ex, sim.Ey, sim.Ez]


def monitor_sums(sim, feature):
    return list(feature.gathered().values())


def flux_sums(sim, feature):
    return list(feature.spectra().values())


# (name the snap is logged under, index form, length form off the nodes, readout)
FORMS = {
    "plane wave": ("PlaneWave z",
                   lambda sim: PlaneWave(sim, 9, PULSE),
                   lambda sim: PlaneWave(sim, waveform=PULSE, z=10.3 * H), fields),
    "current box": ("CurrentBox box",
                    lambda sim: CurrentBox(sim, (2, 3, 15), (2, 1, 3), PULSE, (1.0, 0.5, 0.2)),
                    lambda sim: CurrentBox(sim, waveform=PULSE, direction=(1.0, 0.5, 0.2),
                                           box=((2.4 * H, 3 * H, 15 * H), (4 * H, 4 * H, 18 * H))),
                    fields),
    "line current": ("CurrentBox box",
                     lambda sim: CurrentBox(sim, (3, 3, 12), (1, 1, 4), PULSE),
                     lambda sim: CurrentBox(sim, waveform=PULSE,
                                            box=((3 * H, 3 * H, 12.2 * H), (3 * H, 3 * H, 16 * H))),
                     fields),
    "frequency monitor": ("FrequencyMonitor box",
                          lambda sim: FrequencyMonitor(sim, NU, (1, 3), (2, 2), (20, 24)),
                          lambda sim: FrequencyMonitor(sim, NU, box=((H, 2 * H, 20 * H),
                                                                     (4 * H, 2.3 * H, 25.4 * H))),
                          monitor_sums),
    "flux plane": ("FluxPlane at",
                   lambda sim: FluxPlane(sim, 22, NU),
                   lambda sim: FluxPlane(sim, at=21.7 * H, frequencies=NU), flux_sums),
}


@pytest.mark.parametrize("case", FORMS.values(), ids=FORMS.keys())
def test_length_form_runs_as_the_index_form(backend, case, caplog):
    what, by_index, by_length, readout = case
    results = []
    for build in (by_index, by_length):
        sim = Simulation(SHAPE, spacing=H, layers=LAYERS, backend=backend.name)
        sim.add(CurrentBox(sim, (2, 2, 17), (1, 1, 3), PULSE))  # something to monitor
        with caplog.at_level(logging.INFO, logger="orvane_sim.positions"):
            feature = sim.add(build(sim))
        sim.step(40)
        results.append([t.cpu() for t in readout(sim, feature)])
    assert any(what in r.getMessage() and "snapped" in r.getMessage() for r in caplog.records)
    assert max(float(t.abs().max()) for t in results[0]) > 0
    for a, b in zip(*results):
        assert torch.equal(a, b)


ERRORS = {
    # the plane wave's first total-field node (z=) or its plane in the layers, or off the box
    "plane wave z in the layers": (
        lambda s: PlaneWave(s, waveform=PULSE, z=0.2),
        r"PlaneWave z = 0\.2 \(plane 3\) lies in the z layers .*within z = 0\.35 \.\. 1\.65 "
        r"\(plane 6 \.\. 32\); the box spans z = 0 \.\. 2$"),
    "plane wave plane in the layers": (
        lambda s: PlaneWave(s, 3, PULSE),
        r"PlaneWave plane 3 lies in the z layers .*z = 0\.35 \.\. 1\.65"),
    "plane wave z above the box": (
        lambda s: PlaneWave(s, waveform=PULSE, z=2.5),
        r"^PlaneWave z: z = 2\.5 lies outside the box, which spans z = 0 \.\. 2$"),
    "current box off the box": (
        lambda s: CurrentBox(s, waveform=PULSE, box=((0.1, 0.1, 0.5), (0.4, 0.2, 0.6))),
        r"^CurrentBox box: x = 0\.4 lies outside the box, which spans x = 0 \.\. 0\.3$"),
    # a line on the box's top face would take a cell beyond it
    "current line on the top face": (
        lambda s: CurrentBox(s, waveform=PULSE, box=((0.3, 0.1, 0.5), (0.3, 0.1, 0.6))),
        r"^CurrentBox box: cells 6 \.\. 6 along x \(x = 0\.3 \.\. 0\.35\) reach outside the "
        r"box's cells 0 \.\. 5: the box spans x = 0 \.\. 0\.3$"),
    # index forms past the box were cut to what it holds, or dropped, without a word
    "current box cells past the box": (
        lambda s: CurrentBox(s, (5, 0, 0), (3, 1, 1), PULSE),
        r"^CurrentBox: cells 5 \.\. 7 along x .* the box spans x = 0 \.\. 0\.3$"),
    "monitor ranges below the box": (
        lambda s: FrequencyMonitor(s, NU, (0, 1), (-2, 1), (10, 12)),
        r"^FrequencyMonitor ranges: cells -2 \.\. 1 along y .* the box spans y = 0 \.\. 0\.3$"),
    "monitor box above the box": (
        lambda s: FrequencyMonitor(s, NU, box=((0, 0, 1.0), (0.1, 0.1, 2.1))),
        r"^FrequencyMonitor box: z = 2\.1 lies outside the box, which spans z = 0 \.\. 2$"),
    "flux plane on the top face": (
        lambda s: FluxPlane(s, at=2.0, frequencies=NU),
        r"^FluxPlane at = 2 \(node 40\): .* z in 1 \.\. 38, z = 0\.05 \.\. 1\.9; "
        r"the box spans z = 0 \.\. 2$"),
    "flux plane given twice": (
        lambda s: FluxPlane(s, 20, NU, at=1.0), r"give the FluxPlane's plane"),
}


@pytest.mark.parametrize("build, message", ERRORS.values(), ids=ERRORS.keys())
def test_placement_errors_name_the_argument_and_the_box(build, message):
    sim = Simulation(SHAPE, spacing=H, layers=LAYERS)
    with pytest.raises(ValueError, match=message):
        build(sim)
