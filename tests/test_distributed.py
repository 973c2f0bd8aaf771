"""The box split into slabs across processes: Gloo on 127.0.0.1, the
processes started here and stopped after a bounded time, results compared
with the same run as one process."""
import os
import socket

import pytest
import torch
import torch.distributed as dist

from orvane_sim import Simulation
from orvane_sim.distributed import (SlabSimulation, single_pulse_run, slab_bounds,
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
CASES = [(2, 0, (24, 16, 16), 4), (3, 0, (25, 16, 16), 4), (2, 2, (16, 12, 20), 3),
         (3, 1, (12, 27, 12), 3)]


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


# A periodic split axis with a Bloch phase: the wrap from the last rank to
# the first; 1 rank wraps onto itself.
@pytest.mark.parametrize("ranks, axis, shape, layers", [
    (2, 0, (24, 12, 12), (0, 3, 3)), (3, 0, (24, 12, 12), (0, 3, 3)),
    (2, 1, (12, 24, 12), (3, 0, 3)), (1, 0, (24, 12, 12), (0, 3, 3))])
def test_bloch_periodic_split_axis_matches_one_process(ranks, axis, shape, layers, tmp_path):
    steps, k = 40, 0.7
    ref, energies = single_pulse_run(shape, layers, steps, axis=axis, bloch=k)
    fields, got, _ = spawn_pulse_run(ranks, str(tmp_path / "out.pt"), timeout=90.0, n=shape,
                                     layers=layers, steps=steps, axis=axis, bloch=k)
    scale = max(float(f.abs().max()) for f in ref)
    worst = max(float((a - b).abs().max()) for a, b in zip(fields, ref))
    print(f"periodic, {ranks} ranks along axis {axis}: largest field difference {worst:.3e}")
    assert worst <= 1e-6 * scale
    assert got == pytest.approx(energies, rel=1e-9)
    # The imaginary part is driven only through the phase of the wrap.
    assert float(fields[1][..., 1].abs().max()) > 1e-3 * scale


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
    (dict(shape=(12, 10, 10), layers=7), "thinner than its layer slots"),
    (dict(shape=(12, 10, 10), axis=3), "axis must be"),
    (dict(shape=(12, 10, 10), layers=2, bloch=0.5), "no absorbing layers"),
    (dict(shape=(12, 10, 10), layers=(0, 2, 2), b2=2, batch=(2, 1), bloch=[0.1, 0.2, 0.3]),
     "Bloch wave number"),
])
def test_bad_slabs_are_refused(one_rank_group, kwargs, message):
    with pytest.raises(ValueError, match=message):
        SlabSimulation(**kwargs)


def test_features_not_split_yet_are_refused(one_rank_group):
    slab = SlabSimulation((12, 10, 10), layers=2)
    with pytest.raises(NotImplementedError, match="sources and monitors"):
        slab.add(object())
    with pytest.raises(NotImplementedError, match="objects"):
        slab.set_objects([])
    assert slab.sources == [] and slab.monitors == [] and slab.medium is None


def test_needs_a_group():
    assert not dist.is_initialized()
    with pytest.raises(RuntimeError, match="initialised torch.distributed group"):
        SlabSimulation((8, 8, 8), layers=2)


def test_demo_under_torchrun(tmp_path):
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
           "--master-port", str(port), "-m", "orvane_sim.distributed",
           "--cells", "20", "--layers", "3", "--steps", "30"]
    proc = subprocess.Popen(cmd, cwd=root, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=90)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        pytest.fail("the two-process demo did not finish in 90 s")
    assert proc.returncode == 0, out
    assert "over 2 rank(s)" in out and "energy left / peak" in out
