"""Checkpoints that resume bit for bit, refuse what does not fit, and survive
a crash; the run's watch for non-finite fields."""
import pathlib
import signal
import subprocess
import sys
import time

import pytest
import torch

import orvane_sim.core.checkpoint as checkpoint
from orvane_sim import (CheckpointError, CurrentBox, Dielectric, Drude, FrequencyMonitor,
                        Lorentz, NonFiniteFields, Object, PlaneWave, Simulation, Sphere, gaussian)
from orvane_sim.design import DesignRegion
from orvane_sim.distributed import SlabSimulation, spawn_run
from test_grids import graded

ROOT = pathlib.Path(__file__).resolve().parent.parent
FIELDS = ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz")


def build(shape=(14, 12, 20), bloch=None, layers=3, radius=3.0,
          materials=(Drude(1.0, 0.8, 0.05), Lorentz(2.0, 0.5, 0.3, 0.02)), offset=(5, 5, 6),
          plane=12, frequencies=(0.1, 0.2)):
    """Dispersive objects, a current source, a plane wave, a monitor: state in
    every kind of feature."""
    objects = [Object(Sphere((7, 6, 8), radius), materials[0]),
               Object(Sphere((4, 4, 5), 1.5), materials[1])]
    sim = Simulation(shape, layers=(0, 0, layers) if bloch else layers, bloch=bloch,
                     objects=objects)
    sim.add(CurrentBox(sim, offset=offset, size=(2, 2, 1), direction=(0, 0, 1),
                       waveform=gaussian(0.15, 0.08)))
    # planes 11 .. 15 lie in vacuum, above the spheres: a plane wave enters there
    sim.add(PlaneWave(sim, plane=plane, waveform=gaussian(0.2, 0.1), frequencies=[0.15, 0.2],
                      k=bloch or (0.0, 0.0)))
    sim.add(FrequencyMonitor(sim, list(frequencies), box=((2, 2, 2), (10, 9, 12))))
    return sim


def state(sim):
    return {p: v for p, (v, _, _) in checkpoint.entries(sim).items() if not p.startswith("_")}


def assert_same_state(a, b):
    sa, sb = state(a), state(b)
    assert sa.keys() == sb.keys()
    for p, v in sa.items():
        w = sb[p]
        same = torch.equal(v, w) if isinstance(v, torch.Tensor) else v == w or v != v
        assert same, p


@pytest.mark.parametrize("bloch", [None, (0.3, 0.1)], ids=["layers", "bloch"])
def test_save_load_continue_gives_the_same_bits(bloch, tmp_path):
    straight = build(bloch=bloch)
    straight.run(70, progress=False)
    first = build(bloch=bloch)
    first.run(40, progress=False)
    first.save(tmp_path / "ck.pt")
    resumed = build(bloch=bloch)
    resumed.load(tmp_path / "ck.pt")
    assert resumed.steps_done == 40
    resumed.run(30, progress=False)
    assert_same_state(straight, resumed)
    assert float(straight.Ex.abs().max()) > 0


def test_a_plane_wave_resumes_after_its_incident_line_has_grown(tmp_path):
    def column():
        sim = Simulation((4, 4, 160), spacing=0.05, layers=(0, 0, 10), bloch=(0.0, 0.0))
        sim.add(PlaneWave(sim, waveform=gaussian(4.0, 0.8, 0.8), z=0.7))
        return sim

    straight = column()
    straight.run(600, progress=False)
    straight.save(tmp_path / "ck.pt")
    resumed = column()
    assert resumed.sources[0].line.Ex.shape[1] < straight.sources[0].line.Ex.shape[1]
    resumed.load(tmp_path / "ck.pt")
    straight.run(100, progress=False)
    resumed.run(100, progress=False)
    assert_same_state(straight, resumed)
    assert float(straight.Ex.abs().max()) > 0


# A run that dies mid-way and starts again from its checkpoint. The script
# pauses between its runs so that the kill lands during the run.
RUN = """
import sys, time, torch
sys.path.insert(0, {root!r})
sys.path.insert(0, {tests!r})
from test_checkpoint import build
sim = build()
ck, out, total = sys.argv[1], sys.argv[2], int(sys.argv[3])
import os
if os.path.exists(ck):
    sim.load(ck)
print("from", sim.steps_done, flush=True)
while sim.steps_done < total:
    sim.run(min(10, total - sim.steps_done), progress=False, checkpoint=ck, every=10)
    time.sleep(0.2)
torch.save({{n: getattr(sim, n) for n in {fields!r}}}, out)
"""


def test_a_killed_run_resumes_from_its_checkpoint_to_the_same_result(tmp_path):
    script = RUN.format(root=str(ROOT), tests=str(ROOT / "tests"), fields=FIELDS)
    ck, out = tmp_path / "run.ck", tmp_path / "out.pt"
    argv = [sys.executable, "-c", script, str(ck), str(out), "80"]
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while not ck.exists() and time.monotonic() < deadline and proc.poll() is None:
        time.sleep(0.05)
    time.sleep(0.3)
    proc.send_signal(signal.SIGKILL)
    proc.wait(timeout=30)
    assert proc.returncode == -signal.SIGKILL and not out.exists()
    done = subprocess.run(argv, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    resumed_from = int(done.stdout.split()[1])
    assert 10 <= resumed_from < 80
    straight = build()
    straight.run(80, progress=False)
    got = torch.load(out)
    assert all(torch.equal(got[n], getattr(straight, n)) for n in FIELDS)


def _rewritten(change):
    """The file as another program would write it: changed, with checksums
    that fit."""
    def make(ck, other):
        data = torch.load(ck, weights_only=True)
        change(data)
        torch.save(checkpoint.seal(data), other)
        return other
    return make


def _flipped(ck, other):
    """One exponent bit of the largest Ez value flipped in the file's bytes."""
    ez = torch.load(ck, weights_only=True)["state"]["Ez"]
    raw = bytearray(ck.read_bytes())
    at = bytes(raw).find(ez.numpy().tobytes())
    assert at >= 0
    raw[at + 4 * int(ez.abs().argmax()) + 3] ^= 0x40  # little-endian float32: exponent's top bit
    other.write_bytes(bytes(raw))
    return other


def _truncated(ck, other):
    other.write_bytes(ck.read_bytes()[:4000])
    return other


# What a checkpoint can be that this simulation must refuse: the file, the
# simulation, what the message names.
REFUSED = {
    "another box": (lambda ck, other: ck, lambda: build(shape=(14, 12, 22)),
                    r"another box: shape: checkpoint \[14, 12, 20\], simulation \[14, 12, 22\]"),
    "other features": (lambda ck, other: ck, lambda: Simulation((14, 12, 20), layers=3),
                       r"built otherwise: only the checkpoint has objects.0 \(Sphere\), "
                       r"objects.1 \(Sphere\), sources.0 \(CurrentBox\), sources.1 "
                       r"\(PlaneWave\), monitors.0 \(FrequencyMonitor\); painting "
                       r"\{background=None, resolution=4, supersample=2, "
                       r"smoothing='anisotropic'\} there, None here$"),
    "other version": (_rewritten(lambda d: d.update(version="0.0.1")), build,
                      "written by orvane_sim 0.0.1"),
    "truncated": (_truncated, build, "not a readable checkpoint"),
    "no file": (lambda ck, other: other, build, "no checkpoint at"),
    "an entry of another shape": (
        _rewritten(lambda d: d["state"].update({"medium.acc1.0": torch.zeros(1)})), build,
        r"medium.acc1.0 is \(1,\) torch.float32 there"),
    "a growing entry grown across": (
        _rewritten(lambda d: d["state"].update({"sources.1.line.fields": torch.zeros(
            6, 2, d["state"]["sources.1.line.fields"].shape[2], dtype=torch.complex128)})),
        build, r"sources.1.line.fields is \(6, 2, \d+\) torch.complex128 there, \(6, 1, \d+\)"),
    "a flipped bit": (_flipped, build, "is damaged: Ez does not match its checksum"),
    "other parameters": (
        lambda ck, other: ck,
        lambda: build(radius=3.5, materials=(Drude(1.0, 0.9, 0.05), Lorentz(2.0, 0.5, 0.3, 0.02)),
                      offset=(5, 5, 7), frequencies=(0.1, 0.25)),
        r"built otherwise: objects.0 \(Sphere\): radius 3.0 there, 3.5 here; "
        r"objects.0.material \(Drude\): omega_p 0.8 there, 0.9 here; sources.0 "
        r"\(CurrentBox\): offset \[5, 5, 6\] there, \[5, 5, 7\] here; monitors.0 "
        r"\(FrequencyMonitor\): frequencies \[0.1, 0.2\] there, \[0.1, 0.25\] here$"),
    "a material of another kind, a source moved": (
        lambda ck, other: ck,
        lambda: build(materials=(Drude(1.0, 0.8, 0.05), Drude(2.0, 0.5, 0.3)), plane=13),
        r"built otherwise: objects.1.material: Lorentz there, Drude here; "
        r"sources.1 \(PlaneWave\): plane 12 there, 13 here$"),
}


@pytest.mark.parametrize("make_file, make_sim, message", REFUSED.values(), ids=REFUSED.keys())
def test_a_checkpoint_that_does_not_fit_is_refused_and_nothing_changes(make_file, make_sim,
                                                                        message, tmp_path):
    source = build()
    source.run(12, progress=False)
    ck = tmp_path / "ck.pt"
    source.save(ck)
    path = make_file(ck, tmp_path / "other.pt")
    sim = make_sim()
    sim.run(3, progress=False)
    before = {p: v.clone() if isinstance(v, torch.Tensor) else v for p, v in state(sim).items()}
    with pytest.raises(CheckpointError, match=message):
        sim.load(path)
    after = state(sim)
    assert all(torch.equal(v, after[p]) if isinstance(v, torch.Tensor) else v == after[p]
               for p, v in before.items())


@pytest.mark.parametrize("density, repaint, message", [
    (0.5, False, None),
    (0.6, False, r"built otherwise: designs.0.weights.0 \(tensor\): crc32 '[0-9a-f]{8}' there"),
    (0.5, True, r"built otherwise: only the checkpoint has designs.0 \(DesignRegion\)$"),
], ids=["the same density", "another density", "objects painted over it"])
def test_a_design_region_resumes_only_with_its_density(density, repaint, message, tmp_path):
    def painted(value):
        sim = Simulation(12, layers=2, objects=[Object(Sphere((3, 3, 3), 1.5), Dielectric(2.0))])
        region = DesignRegion(sim, (3, 3, 3), nodes=((4, 4, 4), (8, 8, 8)),
                              materials=(1.0, Drude(1.0, 0.5, 0.1)))
        sim.paint_designs([(region, region.weights(torch.full((3, 3, 3), value)))])
        sim.add(CurrentBox(sim, offset=(6, 6, 6), size=(1, 1, 1), waveform=gaussian(2.0, 0.7)))
        return sim

    source = painted(0.5)
    source.run(5, progress=False)
    source.save(tmp_path / "ck.pt")
    sim = painted(density)
    if repaint:
        sim.set_objects([Object(Sphere((3, 3, 3), 1.5), Dielectric(2.0))])
    if message is None:
        sim.load(tmp_path / "ck.pt")
        assert sim.steps_done == 5
    else:
        with pytest.raises(CheckpointError, match=message):
            sim.load(tmp_path / "ck.pt")


def test_a_checkpoint_written_before_checksums_still_loads(tmp_path):
    source = build()
    source.run(12, progress=False)
    source.save(tmp_path / "ck.pt")
    data = torch.load(tmp_path / "ck.pt", weights_only=True)
    for field in ("checksums", "configuration"):  # what format 1 lacks
        del data[field]
    data["format"] = 1
    torch.save(data, tmp_path / "old.pt")
    resumed = build()
    resumed.load(tmp_path / "old.pt")
    for sim in (source, resumed):
        sim.run(5, progress=False)
    assert_same_state(source, resumed)


def test_a_save_that_fails_leaves_the_previous_checkpoint(tmp_path, monkeypatch):
    sim = build()
    sim.run(5, progress=False)
    ck = tmp_path / "ck.pt"
    sim.save(ck)
    saved = ck.read_bytes()
    sim.run(5, progress=False)

    def dies_half_way(obj, f):
        f.write(b"partial")
        raise OSError("disk full")

    monkeypatch.setattr(checkpoint.torch, "save", dies_half_way)
    with pytest.raises(OSError, match="disk full"):
        sim.save(ck)
    assert ck.read_bytes() == saved
    assert sorted(p.name for p in tmp_path.iterdir()) == ["ck.pt"]


def test_a_non_finite_field_stops_the_run_where_it_appears():
    sim = Simulation(10, layers=2)
    sim.set_gaussian_pulse(1.5)
    sim.run(7, progress=False, check_every=5)
    sim.Hy[0, 0, 3, 4, 5, 0] = float("nan")
    with pytest.raises(NonFiniteFields, match=r"step 8: [EH][xyz] is nan at index \(0, 0, "):
        sim.run(20, progress=False, check_every=1)
    assert sim.steps_done == 8
    sim = Simulation(10, layers=2)
    sim.Ez[0, 0, 2, 3, 4, 0] = float("inf")
    with pytest.raises(NonFiniteFields, match=r"step 0: Ez is inf at index \(0, 0, 2, 3, 4, 0\)"):
        sim.check_finite()


@pytest.mark.parametrize("kwargs, message", [
    (dict(steps=-1), "steps must be an integer >= 0"),
    (dict(steps=2.5), "steps must be an integer >= 0"),
    (dict(until=float("inf")), "until must be a finite time"),
    (dict(steps=5, checkpoint="x.pt"), "a checkpoint needs every"),
    (dict(steps=5, checkpoint="x.pt", every=0), "a checkpoint needs every"),
    (dict(steps=5, check_every=-3), "check_every must be an integer >= 0"),
])
def test_bad_run_arguments_are_refused(kwargs, message):
    with pytest.raises(ValueError, match=message):
        Simulation(6, layers=1).run(**kwargs)


def _slab_checkpoint_run(ck: str, steps: tuple, axis: int, grid=None):
    """The same slab run straight and saved, then loaded by a new slab and
    continued: both gathered. A box of 16 x 12 x 12 cells, of one length or
    on ``grid``."""
    def make():
        box = dict(grid=grid) if grid is not None else dict(shape=(16, 12, 12))
        sim = SlabSimulation(layers=3, axis=axis, **box,
                             objects=[Object(Sphere((8, 6, 6), 3.0), Drude(1.0, 0.8, 0.05))])
        sim.add(CurrentBox(sim, offset=(6, 5, 5), size=(2, 2, 1), direction=(0, 0, 1),
                           waveform=gaussian(0.15, 0.08)))
        return sim
    straight = make()
    straight.run(sum(steps), progress=False)
    first = make()
    first.run(steps[0], progress=False, checkpoint=ck, every=steps[0])
    resumed = make()
    resumed.load(ck)
    resumed.run(steps[1], progress=False)
    return straight.gather(), resumed.gather()


# the last case splits cells that grow by 1.1 from the faces to the middle
@pytest.mark.parametrize("axis, grid", [
    (0, None), (2, None), (0, (graded(0.7, 1.1, 8), (12, 1.0), (12, 1.0)))])
def test_a_split_box_resumes_with_as_many_ranks(axis, grid, tmp_path):
    straight, resumed = spawn_run(_slab_checkpoint_run, 2, str(tmp_path / "out.pt"),
                                  timeout=120.0, ck=str(tmp_path / "slab.ck"), steps=(20, 15),
                                  axis=axis, grid=grid)
    assert all(torch.equal(a, b) for a, b in zip(straight, resumed))
    assert float(straight[2].abs().max()) > 0
    parts = sorted(p.name for p in tmp_path.iterdir() if p.name.startswith("slab.ck"))
    assert parts == ["slab.ck", "slab.ck.step20.rank0of2", "slab.ck.step20.rank1of2"]
