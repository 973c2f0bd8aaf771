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


# ---------------------------------------------------------------- overlapped halo
# Within one step(count) call each step's halo travels while the next step's
# magnetic update runs on the cells that do not need it; the end cells follow
# the wait. (ranks, axis, box, layers, bloch, ranks that must wait before the
# magnetic update): slabs with and without a layer, a periodic wrap, and the
# one layout that cannot be split (a last slab exactly 2·L thick, whose view
# from cell 1 would put a high-layer cell in the low zone), next to the same
# slab one cell thicker, which can.
OVERLAP_CASES = [
    (2, 0, (24, 16, 16), 4, None, ()),
    (3, 1, (12, 27, 12), 3, None, ()),
    (2, 2, (16, 12, 20), 3, None, ()),
    (3, 0, (24, 12, 12), (0, 3, 3), 0.7, ()),
    (2, 0, (15, 8, 8), 4, None, (1,)),
    (2, 1, (8, 15, 8), (4, (2, 4), 4), None, (1,)),
    (2, 0, (16, 8, 8), 4, None, ()),
]


@pytest.mark.parametrize("ranks, axis, shape, layers, bloch, waits", OVERLAP_CASES)
def test_overlapped_halo_matches_one_process(ranks, axis, shape, layers, bloch, waits, tmp_path):
    steps, chunk = 40, 20
    ref, energies = single_pulse_run(shape, layers, steps, axis=axis, bloch=bloch)
    fields, got, _, counts = spawn_pulse_run(ranks, str(tmp_path / "out.pt"), timeout=90.0,
                                             n=shape, layers=layers, steps=steps, axis=axis,
                                             bloch=bloch, chunk=chunk, counts=True)
    worst = max(float((a - b).abs().max()) for a, b in zip(fields, ref))
    print(f"overlapped, {ranks} ranks along axis {axis}: largest field difference {worst:.3e}")
    assert worst == 0.0
    assert got == pytest.approx(energies[chunk - 1::chunk], rel=1e-9)
    for rank, c in enumerate(counts):
        # the first step of each call has nothing in flight; the last
        # exchange of each call is completed before it returns
        split = steps - steps // chunk
        assert c == ({"overlapped": 0, "blocking": 2, "fallback": split} if rank in waits
                     else {"overlapped": split, "blocking": 2, "fallback": 0}), rank


class _CountingModule:
    """The extension module, with its Update_H calls counted."""

    def __init__(self, module):
        self.module, self.magnetic_calls = module, 0

    def __getattr__(self, name):
        return getattr(self.module, name)

    def Update_H(self, *args):
        self.magnetic_calls += 1
        return self.module.Update_H(*args)


class _Recorder:
    """A source (sees H once the magnetic phase is over) or a monitor (sees
    the fields at the end of a step): keeps copies of all six."""

    def __init__(self, when):
        self.when, self.seen = when, []

    def _keep(self, sim):
        self.seen.append([f.clone() for f in (sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz)])

    def after_h(self, sim):
        if self.when == "after_h":
            self._keep(sim)

    def after_e(self, sim):
        # a careless source that also drives the conducting faces: what
        # crosses the halo must be the field after they are zeroed again
        if self.when == "after_h":
            for f in (sim.Ex, sim.Ey, sim.Ez):
                f.add_(1e-3)

    def update(self, sim):
        self._keep(sim)


def _phases_run(shape, layers, axis, bloch, steps):
    """Each rank steps the same slab five ways; returns (per rank: Update_H
    calls of step(1) x steps and of step(steps), whether the other runs
    equal step(steps), their exchange counts)."""
    def slab(overlap=True, feature=None):
        sim = SlabSimulation(shape, layers=layers, axis=axis, bloch=bloch)
        sim.module = _CountingModule(sim.module)
        sim.periodic.overlap = overlap
        if feature is not None:
            (sim.monitors if feature.when == "monitor" else sim.sources).append(feature)
        sim.set_gaussian_pulse(2.5)
        return sim

    def fields(sim):
        return [sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz]

    def same(a, b):
        return all(torch.equal(x, y) for x, y in zip(a, b))

    one_by_one = slab()
    for _ in range(steps):
        one_by_one.step(1)
    at_once = slab()
    at_once.step(steps)
    blocking = slab(overlap=False)
    blocking.step(steps)
    seen = {}
    for when in ("after_h", "monitor"):
        runs = []
        for overlap in (True, False):
            rec = _Recorder(when)
            sim = slab(overlap, rec)
            sim.step(steps)
            runs.append((rec.seen, sim.periodic.counts))
        assert len(runs[0][0]) == steps
        seen[when] = (all(same(a, b) for a, b in zip(runs[0][0], runs[1][0])), runs[0][1])
    mine = dict(calls=(one_by_one.module.magnetic_calls, at_once.module.magnetic_calls),
                one_by_one=same(fields(one_by_one), fields(at_once)),
                blocking=same(fields(blocking), fields(at_once)),
                counts=dict(at_once.periodic.counts), blocking_counts=blocking.periodic.counts,
                sources=seen["after_h"], monitors=seen["monitor"])
    every = [None] * dist.get_world_size() if dist.get_rank() == 0 else None
    dist.gather_object(mine, every, dst=0)
    return every


# (ranks, axis, box, layers, bloch, Update_H calls per overlapped step on
# each rank: the interior plus one view per end whose plane travels)
@pytest.mark.parametrize("ranks, axis, shape, layers, bloch, parts", [
    (3, 0, (18, 10, 10), 3, None, (2, 3, 2)),
    (2, 1, (10, 16, 10), (3, 0, 3), 0.7, (3, 3)),
])
def test_overlap_is_taken_and_changes_nothing(ranks, axis, shape, layers, bloch, parts, tmp_path):
    from orvane_sim.distributed import spawn_run

    steps = 12
    every = spawn_run(_phases_run, ranks, str(tmp_path / "out.pt"), timeout=90.0, shape=shape,
                      layers=layers, axis=axis, bloch=bloch, steps=steps)
    assert len(every) == ranks
    for rank, got in enumerate(every):
        # step(1) never overlaps: the exchange is completed before it returns
        assert got["calls"] == (steps, 1 + parts[rank] * (steps - 1)), rank
        assert got["counts"] == {"overlapped": steps - 1, "blocking": 1, "fallback": 0}
        assert got["blocking_counts"] == {"overlapped": 0, "blocking": steps, "fallback": 0}
        assert got["one_by_one"] and got["blocking"], rank
        # sources see a whole H while the halo overlaps; with monitors the
        # exchange is completed before them, so they never see a stale plane
        same, counts = got["sources"]
        assert same and counts["overlapped"] == steps - 1, rank
        same, counts = got["monitors"]
        assert same and counts["overlapped"] == 0, rank


def test_split_magnetic_update_equals_the_whole_and_follows_new_tensors(one_rank_group):
    # A periodic axis has no layers along it, so any partition of the cells
    # must give the whole update; the kept views must follow a field that
    # was replaced by a new tensor rather than write into the old one.
    def slabs():
        out = []
        for _ in range(2):
            s = SlabSimulation((10, 8, 6), layers=(0, 2, 2), bloch=0.3, axis=0)
            s.set_gaussian_pulse(2.0)
            s.step(3)
            out.append(s)
        return out

    split, whole = slabs()
    n = split.shape[0]
    parts = [(1, n - 1, True), (0, 1, False), (n - 1, n, False)]
    for round_ in range(2):
        if round_:
            old = split.Hy
            split.Hy, whole.Hy = split.Hy.clone(), whole.Hy.clone()
        for lo, hi, layer in parts:
            split.periodic._update_cells(split, lo, hi, layer)
        Simulation.update_magnetic(whole)
        for a, b in zip((split.Hx, split.Hy, split.Hz, split.hpsi[1], split.hpsi[2]),
                        (whole.Hx, whole.Hy, whole.Hz, whole.hpsi[1], whole.hpsi[2])):
            assert torch.equal(a, b)
    assert not torch.equal(old, split.Hy)  # the replaced tensor was left alone
