"""Monitors that sum every k-th step: the error it adds to a flux spectrum,
the weight and time of each sum, the choice of k from the sources' band,
refused and warned choices, and checkpoints of decimated sums."""
import math
import warnings

import pytest
import torch

from orvane_sim import (CheckpointError, CurrentBox, Dielectric, FluxBox, FluxPlane,
                        FrequencyMonitor, Object, PlaneWave, Simulation, Slab, Sphere,
                        TotalFieldBox, gaussian)
from orvane_sim.monitors.frequency import (SPECTRUM_FLOOR, DecimationWarning, safe_decimation,
                                           sources_band)
from orvane_sim.sources.waveforms import band_edge

SCATTERED = [0.06, 0.09, 0.12]  # a sphere of 3 cells: size parameters 1.1 .. 2.3
SLAB = [0.02, 0.05, 0.08]


def sphere_box(decimation):
    """A plane pulse through a sphere (ε = 2.25) in a total-field box, the
    flux out of a box around it."""
    sim = Simulation(shape=24, layers=5, objects=[Object(Sphere((12, 12, 12), 3.0),
                                                         Dielectric(2.25))])
    sim.tune_threads = False
    sim.add(TotalFieldBox(sim, gaussian(16.0, 4.0, 0.09), direction="+z", polarization="x",
                          nodes=((7, 7, 7), (17, 17, 17))))
    return sim, sim.add(FluxBox(sim, SCATTERED, nodes=((6, 6, 6), (18, 18, 18)),
                                decimation=decimation))


def slab_column(decimation):
    """A plane pulse through a dielectric slab across a periodic column, the
    flux transmitted through a plane above it."""
    sim = Simulation((4, 4, 120), layers=(0, 0, 12), bloch=(0.0, 0.0),
                     objects=[Object(Slab((0, 0, 1), 60.0, 70.0), Dielectric(4.0))])
    sim.tune_threads = False
    sim.add(PlaneWave(sim, 29, gaussian(30.0, 8.0, 0.05)))
    return sim, sim.add(FluxPlane(sim, 90, SLAB, decimation=decimation))


@pytest.mark.parametrize("build, steps, power", [
    (sphere_box, 500, lambda m: m.power()),
    (slab_column, 600, lambda m: m.flux()),
], ids=["flux box around a sphere", "flux plane over a slab"])
def test_automatic_decimation_changes_a_flux_spectrum_by_less_than_its_floor(build, steps,
                                                                              power):
    # The sums over every k-th step differ from those over every step by
    # the sources' spectrum at the aliases, below SPECTRUM_FLOOR of its peak
    # by the choice of k; what is left is float32 rounding. Bound: 1e-5 of
    # the spectrum's peak.
    spectra = []
    for decimation in (None, 1):
        sim, monitor = build(decimation)
        sim.step(steps)
        spectra.append(power(monitor))
    assert monitor.period == 1
    sim, monitor = build(None)
    sim.step(1)
    assert monitor.period >= 3  # the test sums decimated sums
    automatic, every_step = spectra
    peak = float(every_step.abs().max())
    assert peak > 0
    assert float((automatic - every_step).abs().max()) < 1e-5 * peak


@pytest.mark.parametrize("every", [1, 3, 4])
def test_decimated_sums_weigh_every_kth_field_by_k_dt_at_its_own_time(every):
    nu = [0.03, 0.07]
    sim = Simulation(shape=10, layers=3)
    sim.tune_threads = False
    sim.add(CurrentBox(sim, offset=(4, 4, 4), size=(1, 1, 2), waveform=gaussian(12.0, 5.0, 0.05)))
    monitor = sim.add(FrequencyMonitor(sim, nu, box=((5, 4, 4), (6, 5, 5)), decimation=every))
    records = []
    for _ in range(40):
        sim.step()
        records.append((sim.steps_done, sim.Ex[0, 0, 5, 4, 4, 0].double()))
    want = sum(every * sim.dt * value * torch.exp(2j * math.pi * torch.tensor(nu) * n * sim.dt)
               for n, value in records if n % every == 0)
    got = monitor.Ex[0, 0, 0, 0, 0].to(torch.complex128)
    torch.testing.assert_close(got, want.to(torch.complex128), rtol=1e-5,
                               atol=1e-6 * float(want.abs().max()))


def lambda_source(sim):
    return CurrentBox(sim, offset=(4, 4, 4), size=(1, 1, 1), waveform=lambda t: math.exp(-t * t))


def pulse(sim, width=2.0, carrier=0.05):
    return CurrentBox(sim, offset=(4, 4, 4), size=(1, 1, 1),
                      waveform=gaussian(3 * width, width, carrier))


@pytest.mark.parametrize("sources, band", [
    ([], None),  # fields from a given start: any spectrum
    ([lambda_source], None),  # a waveform that says nothing of its spectrum
    ([pulse], 0.05 + math.sqrt(math.log(1 / SPECTRUM_FLOOR)) / (2 * math.pi)),
    ([lambda sim: pulse(sim, 4.0, 0.5), pulse],
     0.5 + math.sqrt(math.log(1 / SPECTRUM_FLOOR)) / (4 * math.pi)),
    ([pulse, lambda_source], None),
], ids=["no source", "own waveform", "a gaussian", "the wider of two", "one unknown"])
def test_automatic_decimation_follows_the_widest_band_or_sums_every_step(sources, band):
    sim = Simulation(shape=10, layers=3)
    for make in sources:
        sim.add(make(sim))
    monitor = sim.add(FrequencyMonitor(sim, [0.04], box=((2, 2, 2), (3, 3, 3))))
    sim.step()
    found = sources_band(sim)
    assert found == (None if band is None else pytest.approx(band))
    assert monitor.period == (1 if band is None else safe_decimation(sim.dt, 0.04, band))


def test_a_gaussians_band_edge_is_where_its_spectrum_falls_to_the_floor():
    f = gaussian(10.0, 3.0, 0.2)
    edge = band_edge(f, 1e-6)
    t = torch.arange(-200.0, 200.0, 0.05, dtype=torch.float64)
    values = torch.tensor([complex(f(float(s))) for s in t], dtype=torch.complex128)
    nu = torch.tensor([0.2, edge], dtype=torch.float64)
    spectrum = (values[None] * torch.exp(2j * math.pi * nu[:, None] * t[None])).sum(1).abs()
    assert float(spectrum[1] / spectrum[0]) == pytest.approx(1e-6, rel=1e-3)


@pytest.mark.parametrize("decimation, error, message", [
    (0, ValueError, "decimation must be at least 1"),
    (2.0, TypeError, "decimation must be an integer"),
    (30, ValueError, r"decimation 30: summing every 30 steps resolves frequencies below "
                     r"1/\(2·30·dt\)"),
])
def test_a_decimation_no_sum_can_resolve_is_refused(decimation, error, message):
    sim = Simulation(shape=10, layers=3)
    with pytest.raises(error, match=message):
        FluxBox(sim, [0.04, 0.05], nodes=((3, 3, 3), (6, 6, 6)), decimation=decimation)


def test_a_decimation_beyond_the_sources_band_is_warned_about_once():
    sim = Simulation(shape=10, layers=3)
    sim.add(pulse(sim))
    safe = safe_decimation(sim.dt, 0.04, sources_band(sim))
    fine = sim.add(FrequencyMonitor(sim, [0.04], box=((2, 2, 2), (3, 3, 3)), decimation=safe))
    beyond = sim.add(FrequencyMonitor(sim, [0.04], box=((2, 2, 2), (3, 3, 3)),
                                      decimation=safe + 1))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        sim.step(2)
        sim.step(2)
    said = [str(w.message) for w in caught if issubclass(w.category, DecimationWarning)]
    assert said == [f"FrequencyMonitor decimation {safe + 1} exceeds the {safe} that its "
                    f"frequencies (up to 0.04) and the sources' band (up to "
                    f"{sources_band(sim):g}) allow: the sums every {safe + 1} steps hold "
                    f"aliases of the band; give at most {safe}, or None to let the band choose"]
    assert (fine.period, beyond.period) == (safe, safe + 1)


def test_a_run_resumes_its_decimated_sums_on_the_same_steps(tmp_path):
    straight, monitor = sphere_box(None)
    straight.step(1)
    every = monitor.period
    assert every > 2
    straight.step(2 * every + 60)  # 2·every + 1 steps in all, then 60 more
    first, _ = sphere_box(None)
    first.step(2 * every + 1)  # stopped between two sums
    first.save(tmp_path / "ck.pt")
    resumed, resumed_monitor = sphere_box(None)
    resumed.load(tmp_path / "ck.pt")
    resumed.step(60)
    assert torch.equal(resumed_monitor.sums.sums, monitor.sums.sums)
    assert torch.equal(resumed.Ex, straight.Ex)
    with pytest.raises(CheckpointError, match=rf"monitors.0 \(FluxBox\): decimation {every} "
                                              r"there, 1 here"):
        sphere_box(1)[0].load(tmp_path / "ck.pt")
