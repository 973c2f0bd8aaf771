"""The box split into slabs across processes: Gloo on 127.0.0.1, the
processes started here and stopped after a bounded time, results compared
with the same run as one process."""
import os
import socket

import pytest
import torch
import torch.distributed as dist

from orvane_sim import (Box, CurrentBox, Dielectric, FluxPlane, FrequencyMonitor, Lorentz, Object,
                        PlaneWave, Simulation, Sphere, gaussian)
from orvane_sim.__main__ import slab_run
from orvane_sim.distributed import (SlabSimulation, single_pulse_run, slab_bounds, spawn_run,
                                    spawn_pulse_run)


@pytest.mark.parametrize("cells, ranks", [(24, 1), (24, 2), (24, 3), (25, 3), (7, 4)])
def test_slabs_cover_the_axis_sharing_one_cell(cells, ranks):
    bounds = [slab_bounds(cells, ranks, r) for r in range(ranks)]
    assert bounds[0][0] == 0 and bounds[-1][1] == cells
    for (_, hi), (lo, _) in zip(bounds, bounds[1:]):
        assert lo == hi - 1  # the shared cell
    sizes = [hi - lo for lo, hi in bounds]
    assert max(sizes) - min(sizes) <= 2


# (ranks, split axis, box, layers): slabs that hold a whole layer, slabs that
# hold none, a split across the short axis and an uneven split.
# The last case has end slabs thinner than their faces' two layers.
CASES = [(2, 0, (24, 16, 16), 4), (3, 0, (25, 16, 16), 4), (2, 2, (16, 12, 20), 3),
         (3, 1, (12, 20, 12), 6)]


@pytest.mark.parametrize("ranks, axis, shape, layers", CASES)
def test_pulse_over_ranks_matches_one_process(ranks, axis, shape, layers, tmp_path):
    steps = 40  # long enough for the pulse to cross slab ends and enter the layers
    ref, energies = single_pulse_run(shape, layers, steps)
    fields, got, _ = spawn_pulse_run(ranks, str(tmp_path / "out.pt"), timeout=90.0, n=shape,
                                     layers=layers, steps=steps, axis=axis)
    scale = max(float(f.abs().max()) for f in ref)
    worst = 0.0
    for name, a, b in zip(("Ex", "Ey", "Ez", "Hx", "Hy", "Hz"), fields, ref):
        assert a.shape == b.shape, name
        worst = max(worst, float((a - b).abs().max()))
    print(f"{ranks} ranks along axis {axis}: largest field difference {worst:.3e} "
          f"(field scale {scale:.3e})")
    assert worst <= 1e-6 * scale
    assert got == pytest.approx(energies, rel=1e-9, abs=1e-12 * max(energies))
    # The pulse did reach the layers: energy has left the box.
    assert got[-1] < 0.9 * max(got)


def largest_difference(got, want) -> float:
    return max(float((a - b).abs().max()) for a, b in zip(got, want))


# Bloch-periodic x and y: a split x or y wraps from the last rank to the
# first, a split z leaves the periodic pass to each slab; 1 rank wraps onto
# itself.
@pytest.mark.parametrize("ranks, axis, shape", [
    (2, 0, (24, 12, 12)), (3, 0, (24, 12, 12)), (2, 1, (12, 24, 12)), (2, 2, (12, 12, 24)),
    (1, 0, (24, 12, 12))])
def test_bloch_periodic_box_matches_one_process(ranks, axis, shape, tmp_path):
    steps, k, layers = 40, (0.7, -0.4), (0, 0, 3)
    ref, energies = single_pulse_run(shape, layers, steps, bloch=k)
    fields, got, _ = spawn_pulse_run(ranks, str(tmp_path / "out.pt"), timeout=90.0, n=shape,
                                     layers=layers, steps=steps, axis=axis, bloch=k)
    scale = max(float(f.abs().max()) for f in ref)
    worst = largest_difference(fields, ref)
    print(f"periodic, {ranks} ranks along axis {axis}: largest field difference {worst:.3e}")
    assert worst <= 1e-6 * scale
    assert got == pytest.approx(energies, rel=1e-9)
    # The imaginary part is driven only through the phase of the wraps.
    assert float(fields[1][..., 1].abs().max()) > 1e-3 * scale


def features_run(axis: int = 0, slabs: bool = True, steps: int = 40, backend: str = "cpu"):
    """A plain and a dispersive object, a current box and a frequency
    monitor, all across slab ends; returns the six fields and the monitor's
    sums (rank 0; None on the others)."""
    objects = [Object(Box((2.2, 1.5, 2.0), (11.6, 4.3, 9.4)), Dielectric(3.0)),
               Object(Sphere((7.4, 5.2, 6.1), 2.6), Lorentz(2.0, 1.5, 1.3, 0.1))]
    box = dict(layers=3, objects=objects, backend=backend)
    sim = SlabSimulation((14, 10, 12), axis=axis, **box) if slabs else \
        Simulation((14, 10, 12), **box)
    sim.add(CurrentBox(sim, (5, 4, 5), (5, 2, 3), gaussian(1.5, 0.6, 0.5),
                       direction=(0.3, 1.0, 0.2)))
    monitor = sim.add(FrequencyMonitor(sim, [0.3, 0.5], (3, 10), (2, 7), (4, 8)))
    sim.step(steps)
    fields = sim.gather() if slabs else (sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz)
    sums = monitor.gathered()
    return None if fields is None else (fields, sums)


@pytest.mark.parametrize("ranks, axis", [(2, 0), (3, 0), (2, 2)])
def test_objects_sources_and_monitors_over_ranks_match_one_process(ranks, axis, tmp_path):
    ref_fields, ref_sums = features_run(slabs=False)
    fields, sums = spawn_run(features_run, ranks, str(tmp_path / "out.pt"), timeout=90.0,
                             axis=axis)
    scale = max(float(f.abs().max()) for f in ref_fields)
    worst = largest_difference(fields, ref_fields)
    names = ("Ex", "Ey", "Ez")
    for n in names:
        assert sums[n].shape == ref_sums[n].shape, n
    worst_sum = largest_difference([sums[n] for n in names], [ref_sums[n] for n in names])
    sum_scale = max(float(ref_sums[n].abs().max()) for n in names)
    print(f"objects, current, monitor over {ranks} ranks along axis {axis}: largest "
          f"difference {worst:.3e} in the fields, {worst_sum:.3e} in the monitor")
    assert scale > 0 and sum_scale > 0
    assert worst <= 1e-5 * scale and worst_sum <= 1e-5 * sum_scale


def plane_wave_run(axis: int = 0, slabs: bool = True, bloch: bool = True, steps: int = 50):
    """An oblique plane wave in a Bloch-periodic box, or one with margins in
    a box with layers all round; returns the six fields (rank 0)."""
    k = (0.3, -0.2) if bloch else (0.0, 0.0)
    box = dict(layers=(0, 0, 3), bloch=k) if bloch else dict(layers=3)
    shape = (16, 12, 18)
    sim = SlabSimulation(shape, axis=axis, **box) if slabs else Simulation(shape, **box)
    sim.add(PlaneWave(sim, 5, gaussian(2.0, 0.8, 0.4), polarization=(1.0, 0.5), k=k,
                      margins=(0, 0) if bloch else (5, 3)))
    flux = sim.add(FluxPlane(sim, 11, [0.3, 0.45]))
    sim.step(steps)
    spectra = flux.spectra()
    fields = sim.gather() if slabs else (sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz)
    return None if fields is None else (fields, spectra)


@pytest.mark.parametrize("ranks, axis, bloch", [(2, 0, True), (3, 0, False), (2, 1, False),
                                                (3, 2, True)])
def test_plane_wave_and_flux_plane_over_ranks_match_one_process(ranks, axis, bloch, tmp_path):
    ref, ref_spectra = plane_wave_run(slabs=False, bloch=bloch)
    got, spectra = spawn_run(plane_wave_run, ranks, str(tmp_path / "out.pt"), timeout=90.0,
                             axis=axis, bloch=bloch)
    scale = max(float(f.abs().max()) for f in ref)
    worst = largest_difference(got, ref)
    names = sorted(ref_spectra)
    worst_flux = largest_difference([spectra[n] for n in names], [ref_spectra[n] for n in names])
    flux_scale = max(float(ref_spectra[n].abs().max()) for n in names)
    print(f"plane wave ({'Bloch' if bloch else 'margins'}) over {ranks} ranks along axis "
          f"{axis}: largest difference {worst:.3e} in the fields, {worst_flux:.3e} in the "
          f"flux plane's spectra")
    assert scale > 0 and worst <= 1e-6 * scale
    assert flux_scale > 0 and worst_flux <= 1e-6 * flux_scale


@pytest.mark.slow
@pytest.mark.parametrize("ranks", [2, 3])
def test_slab_demo_over_ranks_matches_one_process(ranks, tmp_path):
    ref = slab_run(30, progress=False)
    got = spawn_run(slab_run, ranks, str(tmp_path / "out.pt"), timeout=120.0, resolution=30,
                    progress=False, slabs=True)
    worst = max(float((getattr(got, n) - getattr(ref, n)).abs().max()) for n in "RTr")
    print(f"slab demo over {ranks} ranks: largest difference in R, T, r {worst:.3e}")
    assert got.steps == ref.steps
    assert worst <= 1e-5


@pytest.fixture
def one_rank_group():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    dist.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=0,
                            world_size=1)
    yield
    dist.destroy_process_group()


def test_one_rank_is_the_whole_box(one_rank_group):
    slab = SlabSimulation((12, 10, 10), layers=3)
    ref = Simulation((12, 10, 10), layers=3)
    slab.set_gaussian_pulse(3.0)
    ref.set_gaussian_pulse(3.0)
    assert slab.shape == (12, 10, 10)
    for name in ("ch", "ce", "hb", "hc", "eb", "ec"):
        for a, b in zip(getattr(slab, name), getattr(ref, name)):
            assert torch.equal(a, b), name
    fields = slab.gather()
    for a, b in zip(fields, (ref.Ex, ref.Ey, ref.Ez, ref.Hx, ref.Hy, ref.Hz)):
        assert torch.equal(a, b)
    assert slab.energy() == pytest.approx(ref.energy(), rel=1e-12)


@pytest.mark.parametrize("kwargs, message", [
    (dict(shape=(12, 10, 10), layers=7), "2\\*L <= N"),
    (dict(shape=(12, 10, 10), axis=3), "axis must be"),
    (dict(shape=(12, 10, 10), layers=(0, 2, 2), bloch=(0.5, 0.0)), "no absorbing layers"),
    (dict(shape=(12, 10, 10), layers=(0, 0, 2), batch=(2, 1), bloch=[[0.1, 0.2]] * 3),
     "one \\(kx, ky\\)"),
])
def test_bad_slabs_are_refused(one_rank_group, kwargs, message):
    with pytest.raises(ValueError, match=message):
        SlabSimulation(**kwargs)


def test_needs_a_group():
    assert not dist.is_initialized()
    with pytest.raises(RuntimeError, match="initialised torch.distributed group"):
        SlabSimulation((8, 8, 8), layers=2)


# The pulse run and the main job, each as its README line runs it.
@pytest.mark.parametrize("demo, expect", [
    (["orvane_sim.distributed", "--cells", "20", "--layers", "3", "--steps", "30"],
     ["over 2 rank(s)", "energy left / peak"]),
    (["orvane_sim", "--resolutions", "30", "--no-progress", "--out", "{tmp}/slab.png"],
     ["2 processes (slabs along z)", "plot written"]),
])
def test_demo_under_torchrun(demo, expect, tmp_path):
    import shutil
    import signal
    import subprocess
    import sys

    torchrun = shutil.which("torchrun")
    if torchrun is None:
        pytest.skip("torchrun not on the path")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, OMP_NUM_THREADS="1",
               PYTHONPATH=os.pathsep.join([root, os.environ.get("PYTHONPATH", "")]))
    cmd = [torchrun, "--nproc-per-node", "2", "--master-addr", "127.0.0.1",
           "--master-port", str(port), "-m"] + [a.format(tmp=tmp_path) for a in demo]
    proc = subprocess.Popen(cmd, cwd=root, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=90)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        pytest.fail("the two-process demo did not finish in 90 s")
    assert proc.returncode == 0, out
    assert all(e in out for e in expect), out
