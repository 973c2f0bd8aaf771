"""The box split into slabs across processes: Gloo on 127.0.0.1, the
processes started here and stopped after a bounded time, results compared
with the same run as one process."""
import os
import socket

import pytest
import torch
import torch.distributed as dist

from orvane_sim import (Box, CurrentBox, Dielectric, Drude, FluxBox, FluxPlane, FrequencyMonitor,
                        Lorentz, Object, PlaneWave, Simulation, Sphere, TotalFieldBox, far_field,
                        gaussian)
from orvane_sim.demos.slab import slab_run
from orvane_sim.distributed import (SlabSimulation, single_pulse_run, slab_bounds, spawn_run,
                                    spawn_pulse_run)
from test_grids import graded

# Boxes of unequal cells (grid=): x and z cells growing by 1.1 from the
# faces to the middle and back, y uniform. PULSE_GRID has the cells of the
# (24, 16, 16) box below, FEATURES_GRID and OPEN_SPACE_GRID those of
# features_run's and open_space_run's boxes.
PULSE_GRID = (graded(0.6, 1.1, 12), (16, 1.0), graded(0.7, 1.1, 8))
FEATURES_GRID = (graded(0.7, 1.1, 7), (10, 1.0), graded(0.7, 1.12, 6))
OPEN_SPACE_GRID = (graded(0.7, 1.08, 10), (18, 1.0), graded(0.7, 1.08, 11))


def box_of(cells_or_grid) -> dict:
    """The box's argument: ``n`` for cells per axis, ``grid`` for per axis
    node coordinates or (cells, spacing)."""
    if all(isinstance(n, int) for n in cells_or_grid):
        return dict(n=cells_or_grid)
    return dict(grid=cells_or_grid)


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
# The fourth case has end slabs thinner than their faces' two layers; the
# last two split unequal cells (each slab's coefficients, time step and
# energy weights are the box's).
CASES = [(2, 0, (24, 16, 16), 4), (3, 0, (25, 16, 16), 4), (2, 2, (16, 12, 20), 3),
         (3, 1, (12, 20, 12), 6), (2, 0, PULSE_GRID, 4), (3, 2, PULSE_GRID, 3)]


@pytest.mark.parametrize("ranks, axis, shape, layers", CASES)
def test_pulse_over_ranks_matches_one_process(ranks, axis, shape, layers, tmp_path):
    steps = 40  # long enough for the pulse to cross slab ends and enter the layers
    ref, energies = single_pulse_run(layers=layers, steps=steps, **box_of(shape))
    fields, got, _ = spawn_pulse_run(ranks, str(tmp_path / "out.pt"), timeout=90.0,
                                     layers=layers, steps=steps, axis=axis, **box_of(shape))
    scale = max(float(f.abs().max()) for f in ref)
    worst = 0.0
    for name, a, b in zip(("Ex", "Ey", "Ez", "Hx", "Hy", "Hz"), fields, ref):
        assert a.shape == b.shape, name
        worst = max(worst, float((a - b).abs().max()))
    print(f"{ranks} ranks along axis {axis}: largest field difference {worst:.3e} "
          f"(field scale {scale:.3e})")
    assert worst == 0
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
    assert worst == 0
    assert got == pytest.approx(energies, rel=1e-9)
    # The imaginary part is driven only through the phase of the wraps.
    assert float(fields[1][..., 1].abs().max()) > 1e-3 * scale


# What a split run may differ by where a shape's anisotropic couplings (the
# off-diagonal terms of smoothing="anisotropic") reach across a slab's end:
# the cell two slabs share adds its two halves, one from each slab, in
# another order than the one-process run's pass adds them (rounding).
SLAB_END_COUPLINGS = 2e-6


def features_run(axis: int = 0, slabs: bool = True, steps: int = 40, backend: str = "cpu",
                 grid=None):
    """A plain and two dispersive objects (a Drude one through the layers,
    where it takes its stand-ins; the plain box ends inside them), a
    current box and a frequency monitor, all across slab ends, in a box of
    14 x 10 x 12 cells (of one length, or on ``grid``); returns the six
    fields and the monitor's sums (rank 0; None on the others)."""
    objects = [Object(Box((2.2, 1.5, 2.0), (11.6, 4.3, 9.4)), Dielectric(3.0)),
               Object(Sphere((7.4, 5.2, 6.1), 2.6), Lorentz(2.0, 1.5, 1.3, 0.1)),
               Object(Box((-1.0, 5.6, 7.7), (15.0, 11.0, 13.0)), Drude(1.0, 1.5, 0.2))]
    box = dict(layers=3, objects=objects, backend=backend)
    box.update(dict(grid=grid) if grid is not None else dict(shape=(14, 10, 12)))
    sim = SlabSimulation(axis=axis, **box) if slabs else Simulation(**box)
    sim.add(CurrentBox(sim, (5, 4, 5), (5, 2, 3), gaussian(1.5, 0.6, 0.5),
                       direction=(0.3, 1.0, 0.2)))
    monitor = sim.add(FrequencyMonitor(sim, [0.3, 0.5], (3, 10), (2, 7), (4, 8)))
    sim.step(steps)
    fields = sim.gather() if slabs else (sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz)
    sums = monitor.gathered()
    return None if fields is None else (fields, sums)


# (4, 1): the first slab lies inside the low y layer, whose medium comes
# from the next slab's plane at the layer's inner edge; on unequal cells
# each slab paints its part in the box's index space
@pytest.mark.parametrize("ranks, axis, grid", [(2, 0, None), (3, 1, None), (2, 2, None),
                                               (4, 1, None), (2, 0, FEATURES_GRID),
                                               (2, 2, FEATURES_GRID)])
def test_objects_sources_and_monitors_over_ranks_match_one_process(ranks, axis, grid, tmp_path):
    ref_fields, ref_sums = features_run(slabs=False, grid=grid)
    fields, sums = spawn_run(features_run, ranks, str(tmp_path / "out.pt"), timeout=90.0,
                             axis=axis, grid=grid)
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
    assert worst == 0 and worst_sum == 0


def plane_wave_run(axis: int = 0, slabs: bool = True, bloch: bool = True, steps: int = 50):
    """An oblique plane wave in a Bloch-periodic box lighting a sphere across
    the x seam, or one with margins in a box with layers all round; returns
    the six fields (rank 0)."""
    k = (0.3, -0.2) if bloch else (0.0, 0.0)
    seam = [Object(Sphere((0.0, 6.0, 14.0), 2.5), Dielectric(2.5))]
    box = dict(layers=(0, 0, 3), bloch=k, objects=seam) if bloch else dict(layers=3)
    shape = (16, 12, 18)
    sim = SlabSimulation(shape, axis=axis, **box) if slabs else Simulation(shape, **box)
    sim.add(PlaneWave(sim, 5, gaussian(2.0, 0.8, 0.4), polarization=(1.0, 0.5), k=k,
                      margins=(0, 0) if bloch else (5, 3)))
    flux = sim.add(FluxPlane(sim, 11, [0.3, 0.45]))
    sim.step(steps)
    spectra = flux.spectra()
    fields = sim.gather() if slabs else (sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz)
    # a flux plane reads no halo plane, so the exchange still overlaps
    overlapped = sim.exchange.counts["overlapped"] if slabs else steps - 1
    return None if fields is None else (fields, spectra, overlapped)


@pytest.mark.parametrize("ranks, axis, bloch", [(2, 0, True), (3, 0, False), (2, 1, False),
                                                (3, 2, True)])
def test_plane_wave_and_flux_plane_over_ranks_match_one_process(ranks, axis, bloch, tmp_path):
    ref, ref_spectra, _ = plane_wave_run(slabs=False, bloch=bloch)
    got, spectra, overlapped = spawn_run(plane_wave_run, ranks, str(tmp_path / "out.pt"),
                                         timeout=90.0, axis=axis, bloch=bloch)
    assert overlapped == 49
    scale = max(float(f.abs().max()) for f in ref)
    worst = largest_difference(got, ref)
    names = sorted(ref_spectra)
    worst_flux = largest_difference([spectra[n] for n in names], [ref_spectra[n] for n in names])
    flux_scale = max(float(ref_spectra[n].abs().max()) for n in names)
    print(f"plane wave ({'Bloch' if bloch else 'margins'}) over {ranks} ranks along axis "
          f"{axis}: largest difference {worst:.3e} in the fields, {worst_flux:.3e} in the "
          f"flux plane's spectra")
    # bit for bit, but for the rounding of the shared cells' sums where the
    # sphere's anisotropic couplings reach across a slab's end (the Bloch
    # runs: the sphere lies across the x seam)
    assert scale > 0 and worst <= (SLAB_END_COUPLINGS * scale if bloch else 0)
    # the plane's sums are added over the ranks, in another order
    assert flux_scale > 0 and worst_flux <= 1e-6 * flux_scale


def open_space_run(axis: int = 0, slabs: bool = True, steps: int = 60, grid=None):
    """A sphere lit from -x through a total-field box and a closed flux box
    around them, both across slab ends, in a box of 20 x 18 x 22 cells (of
    one length, or on ``grid``); returns the fields, the box's power and the
    far field of its surface (rank 0)."""
    box = dict(layers=4, objects=[Object(Sphere((10.0, 9.0, 11.0), 2.2), Dielectric(3.0))])
    box.update(dict(grid=grid) if grid is not None else dict(shape=(20, 18, 22)))
    sim = SlabSimulation(axis=axis, **box) if slabs else Simulation(**box)
    sim.add(TotalFieldBox(sim, gaussian(3.0, 1.2, 0.2), "-x", "z", nodes=((6, 6, 6),
                                                                           (14, 12, 16))))
    flux = sim.add(FluxBox(sim, [0.1, 0.2], nodes=((5, 5, 5), (15, 13, 17))))
    sim.step(steps)
    power, surface = flux.power(), flux.surface()
    angles = torch.tensor([0.3, 1.2, 2.5], dtype=torch.float64)
    far = far_field(surface["points"], surface["weights"], surface["J"], surface["M"],
                    flux.frequencies, angles, angles * 2)
    fields = sim.gather() if slabs else (sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz)
    return None if fields is None else (fields, power, far)


# on unequal cells the sphere's couplings across a slab's end take the
# volumes of the box's nodes
@pytest.mark.parametrize("ranks, axis, grid", [(2, 0, None), (3, 2, None),
                                               (2, 0, OPEN_SPACE_GRID)])
def test_total_field_and_flux_boxes_over_ranks_match_one_process(ranks, axis, grid, tmp_path):
    ref, ref_power, ref_far = open_space_run(slabs=False, grid=grid)
    got, power, far = spawn_run(open_space_run, ranks, str(tmp_path / "out.pt"), timeout=90.0,
                                axis=axis, grid=grid)
    scale = max(float(f.abs().max()) for f in ref)
    worst = largest_difference(got, ref)
    print(f"open space over {ranks} ranks along axis {axis}: largest difference "
          f"{worst / scale:.1e} of the largest field")
    # the sphere's anisotropic couplings across a slab's end: rounding
    assert scale > 0 and worst <= SLAB_END_COUPLINGS * scale
    torch.testing.assert_close(power, ref_power, rtol=SLAB_END_COUPLINGS, atol=0)
    for a, b in zip(far, ref_far):
        torch.testing.assert_close(a, b, rtol=1e-5, atol=1e-6 * float(b.abs().max()))


def ports_run(axis: int = 0, slabs: bool = True, steps: int = 150):
    """A straight guide (a prism, painted per slab) between two mode ports,
    one of them on a slab end when split along x; returns the S-parameters
    so far and the fields."""
    from orvane_sim import Prism
    from orvane_sim.circuits import ModePort, s_parameters

    z = 0.1  # two cells between the conducting z faces
    guide = Prism([(-1.0, 0.85), (4.0, 0.85), (4.0, 1.15), (-1.0, 1.15)], -1.0, 1.0)
    box = dict(size=(3.0, 2.0, z), resolution=20, layers=(8, 8, 0), batch=(2, 1),
               objects=[Object(guide, Dielectric(6.0))])
    sim = SlabSimulation(axis=axis, **box) if slabs else Simulation(**box)
    nu = [0.9, 1.0, 1.1]
    ports = [ModePort(sim, nu, box=((1.45, 0.55, 0.0), (1.45, 1.45, z)), direction="+x"),
             ModePort(sim, nu, box=((2.3, 0.55, 0.0), (2.3, 1.45, z)), direction="-x")]
    S = s_parameters(sim, ports, steps=steps, progress=False)
    fields = sim.gather() if slabs else (sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz)
    return None if fields is None else (S, fields)


@pytest.mark.parametrize("axis", [0, 1])
def test_mode_ports_over_ranks_match_one_process(axis, tmp_path):
    pytest.importorskip("scipy")
    pytest.importorskip("shapely")
    ref_S, ref = ports_run(slabs=False)
    S, got = spawn_run(ports_run, 2, str(tmp_path / "out.pt"), timeout=90.0, axis=axis)
    scale = max(float(f.abs().max()) for f in ref)
    assert scale > 0 and largest_difference(got, ref) == 0
    torch.testing.assert_close(S, ref_S, rtol=1e-4, atol=1e-6)


def design_run(axis: int = 0, slabs: bool = True, kx: float = 0.0):
    """A grating's +1 order and reflection and their gradient with respect
    to its layer's density, by the adjoint run; split along x the region,
    the objectives and the periodic seam cross the slabs."""
    from orvane_sim import Box, PlaneWave, gaussian
    from orvane_sim.design import Design, DesignRegion
    from orvane_sim.design import DiffractionOrder, Flux

    box = dict(size=(1.05, 0.1, 3.0), resolution=20, layers=(0, 0, 12), bloch=(kx, 0.0),
               objects=[Object(Box((-1, -1, 2.0), (3, 3, 4)), Dielectric(2.25))])
    sim = SlabSimulation(axis=axis, **box) if slabs else Simulation(**box)
    region = DesignRegion(sim, (10, 1, 3), box=((0, 0, 1.5), (1.05, 0.1, 1.8)),
                          materials=(1.0, 4.0))
    pulse = gaussian(t0=10.0, width=2.0, frequency=0.8)
    design = Design(sim, lambda s: PlaneWave(s, waveform=pulse, z=0.9, k=(kx, 0.0)), [0.8],
                    until=60.0)
    objectives = [DiffractionOrder(sim, at=2.2, order=(1, 0)),
                  Flux(sim, box=((0, 0, 0.8), (1.05, 0.1, 0.8)), direction=-1)]
    torch.manual_seed(0)
    rho = (0.2 + 0.6 * torch.rand(10, 1, 3, dtype=torch.float64)).requires_grad_()
    order, reflected = design({region: rho}, objectives)
    (order.sum() + 0.3 * reflected.sum()).backward()
    return torch.stack([order.sum(), reflected.sum()]).detach(), rho.grad


@pytest.mark.slow
@pytest.mark.parametrize("axis, kx", [(0, 0.0), (2, 0.0), (0, 1.3)])
def test_design_gradient_over_ranks_matches_one_process(axis, kx, tmp_path):
    ref_values, ref_grad = design_run(slabs=False, kx=kx)
    values, grad = spawn_run(design_run, 2, str(tmp_path / "out.pt"), timeout=120.0, axis=axis,
                             kx=kx)
    assert (values - ref_values).abs().max() <= 1e-5 * ref_values.abs().max()
    assert (grad - ref_grad).abs().max() <= 1e-4 * ref_grad.abs().max()


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


@pytest.mark.parametrize("box", [dict(shape=(12, 10, 10)),
                                 dict(grid=(graded(0.7, 1.15, 6), (10, 1.0), (10, 1.0)))])
def test_one_rank_is_the_whole_box(one_rank_group, box):
    slab = SlabSimulation(layers=3, **box)
    ref = Simulation(layers=3, **box)
    slab.set_gaussian_pulse(3.0)
    ref.set_gaussian_pulse(3.0)
    assert slab.shape == (12, 10, 10) and slab.dt == ref.dt
    for name in ("ch", "ce", "hb", "hc", "eb", "ec"):
        for a, b in zip(getattr(slab, name), getattr(ref, name)):
            assert torch.equal(a, b), name
    fields = slab.gather()
    for a, b in zip(fields, (ref.Ex, ref.Ey, ref.Ez, ref.Hx, ref.Hy, ref.Hz)):
        assert torch.equal(a, b)
    assert slab.energy() == pytest.approx(ref.energy(), rel=1e-12)


@pytest.mark.parametrize("kwargs, message", [
    (dict(shape=(12, 10, 10), layers=7), "layers along x \\(7 \\+ 7 cells\\) do not fit"),
    (dict(shape=(12, 10, 10), layers=((1, 7), 2, 2)), "2\\*L <= N"),
    (dict(shape=(12, 10, 10), axis=3), "axis must be"),
    (dict(shape=(12, 10, 10), layers=(0, 2, 2), bloch=(0.5, 0.0)), "no absorbing layers"),
    (dict(shape=(12, 10, 10), layers=(0, 0, 2), batch=(2, 1), bloch=[[0.1, 0.2]] * 3),
     "one \\(kx, ky\\)"),
    # the wrap's phase spans the split axis' period, which unequal cells lack
    (dict(grid=(graded(0.7, 1.15, 6), (10, 1.0), (10, 1.0)), layers=(0, 0, 2),
          bloch=(0.5, 0.0)), "a periodic boundary needs a uniform grid along x"),
])
def test_bad_slabs_are_refused(one_rank_group, kwargs, message):
    with pytest.raises(ValueError, match=message):
        SlabSimulation(**kwargs)


def test_needs_a_group():
    assert not dist.is_initialized()
    with pytest.raises(RuntimeError, match="initialised torch.distributed group"):
        SlabSimulation((8, 8, 8), layers=2)


# The pulse run and the main job, each as docs/distributed.md runs it.
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


# ---------------------------------------------------------------- overlapped halo
# Within one step(count) call each step's halo travels while the next step's
# magnetic update runs on the cells that do not need it; the end cells follow
# the wait. (ranks, axis, box, layers, bloch, ranks that must wait before the
# magnetic update): slabs with and without a layer, a periodic wrap, and
# layouts that cannot be split (a last slab 2·L thick or thinner, whose view
# from cell 1 would move a layer cell to another slot), next to the same
# slab one cell thicker, which can.
OVERLAP_CASES = [
    (2, 0, (24, 16, 16), 4, None, ()),
    (3, 1, (12, 27, 12), 3, None, ()),
    (2, 2, (16, 12, 20), 3, None, ()),
    (3, 0, (24, 12, 12), (0, 0, 3), (0.7, 0.2), ()),
    (2, 0, (15, 8, 8), 4, None, (1,)),
    (2, 1, (8, 15, 8), (4, (2, 4), 4), None, (1,)),
    (2, 0, (16, 8, 8), 4, None, ()),
    (3, 1, (12, 20, 12), 6, None, (2,)),  # end slabs thinner than two layers
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
    assert worst == 0
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
        sim.exchange.overlap = overlap
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
            runs.append((rec.seen, sim.exchange.counts))
        assert len(runs[0][0]) == steps
        seen[when] = (all(same(a, b) for a, b in zip(runs[0][0], runs[1][0])), runs[0][1])
    mine = dict(calls=(one_by_one.module.magnetic_calls, at_once.module.magnetic_calls),
                one_by_one=same(fields(one_by_one), fields(at_once)),
                blocking=same(fields(blocking), fields(at_once)),
                counts=dict(at_once.exchange.counts), blocking_counts=blocking.exchange.counts,
                sources=seen["after_h"], monitors=seen["monitor"])
    every = [None] * dist.get_world_size() if dist.get_rank() == 0 else None
    dist.gather_object(mine, every, dst=0)
    return every


# (ranks, axis, box, layers, bloch, Update_H calls per overlapped step on
# each rank: the interior plus one view per end whose plane travels)
@pytest.mark.parametrize("ranks, axis, shape, layers, bloch, parts", [
    (3, 0, (18, 10, 10), 3, None, (2, 3, 2)),
    (2, 1, (10, 16, 10), (0, 0, 3), (0.2, 0.7), (3, 3)),
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
            s = SlabSimulation((10, 8, 6), layers=(0, 0, 2), bloch=(0.3, 0.1), axis=0)
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
            split.exchange._update_cells(split, lo, hi, layer)
        Simulation.update_magnetic(whole)
        for a, b in zip((split.Hx, split.Hy, split.Hz, split.hpsi[1], split.hpsi[2]),
                        (whole.Hx, whole.Hy, whole.Hz, whole.hpsi[1], whole.hpsi[2])):
            assert torch.equal(a, b)
    assert not torch.equal(old, split.Hy)  # the replaced tensor was left alone
