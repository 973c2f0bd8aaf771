"""Physical checks of the driver's sources, monitor and periodic boundaries,
run through the modules."""
import functools
import math

import pytest
import torch

from orvane_sim import (BlochBoundary, CurrentBox, FrequencyMonitor, PlaneWave, Simulation,
                        divergence, gaussian)

T0, WIDTH = 30.0, 8.0  # the plane wave's pulse: centre and width in time
AMPLITUDE = 1 + 0.5j  # complex: slot 1 carries half the real slot
PLANE = 29  # electric node 30 is the first one of the total field
PROBES = (15, 50, 90)  # z indices: one below the plane, two above
FREQUENCIES = (0.01, 0.025, 0.04)


@functools.lru_cache(maxsize=None)
def plane_wave_run(backend_name: str):
    """A Gaussian plane wave crossing a periodic 3 x 3-cell column, absorbed
    by the z layers; the Ex records at the probes and a monitor at z = 50."""
    sim = Simulation((4, 4, 120), layers=(0, 0, 12), b2=2, backend=backend_name)
    sim.periodic = BlochBoundary(sim)
    sim.sources.append(PlaneWave(sim, PLANE, gaussian(T0, WIDTH, amplitude=AMPLITUDE)))
    monitor = FrequencyMonitor(sim, FREQUENCIES, (1, 2), (1, 2), (50, 50))
    sim.monitors.append(monitor)
    records, box = [], []
    for _ in range(int(130 / sim.dt)):
        sim.step()
        records.append(sim.Ex[0, 0, 1, 2, list(PROBES)].cpu().double())
        box.append(sim.Ex[0, 0, 1:3, 1:4, 50:52, 0].cpu().double())
    return sim, torch.stack(records), torch.stack(box), monitor


def peak_time(series: torch.Tensor, dt: float) -> float:
    """Time of the maximum, refined by a parabola through three samples."""
    m = int(series.argmax())
    y0, y1, y2 = (float(v) for v in series[m - 1:m + 2])
    return (m + 1 + 0.5 * (y0 - y2) / (y0 - 2 * y1 + y2)) * dt  # record m: after step m + 1


def test_plane_wave_travels_one_way_at_the_speed_of_light(backend):
    sim, rec, _, _ = plane_wave_run(backend.name)
    real, imag = rec[..., 0], rec[..., 1]
    z1 = PLANE + 1  # the pulse peaks there at T0 (c = 1, unit cells)
    for p, z in enumerate(PROBES[1:], start=1):
        assert peak_time(real[:, p], sim.dt) == pytest.approx(T0 + z - z1, abs=0.3)
        assert real[:, p].max() == pytest.approx(1.0, abs=0.01)
    speed = (PROBES[2] - PROBES[1]) / (peak_time(real[:, 2], sim.dt) - peak_time(real[:, 1], sim.dt))
    assert speed == pytest.approx(1.0, rel=0.01)
    # Nothing travels the other way, and the imaginary slot is half the real one.
    assert real[:, 0].abs().max() < 1e-3
    torch.testing.assert_close(imag, 0.5 * real, atol=1e-6, rtol=0)
    # A plane wave: the same field across the periodic plane.
    assert sim.Ex[0, 0, :, :, 60:100, 0].std(dim=(0, 1)).max() < 1e-5


def test_monitor_spectrum_is_the_discrete_fourier_sum_of_the_field(backend):
    sim, _, box, monitor = plane_wave_run(backend.name)
    t = sim.dt * torch.arange(1, box.shape[0] + 1, dtype=torch.float64)
    nu = torch.tensor(FREQUENCIES, dtype=torch.float64)
    kernel = sim.dt * torch.exp(2j * math.pi * nu[:, None] * t[None, :])  # [F, steps]
    want = torch.einsum("fn,nxyz->xyzf", kernel, box.to(torch.complex128))
    got = monitor.Ex[0, 0].cpu().to(torch.complex128)  # [1, 3, 2, F]: x 1, y 1..3, z 50..51
    torch.testing.assert_close(got, want, atol=1e-4 * want.abs().max().item(), rtol=1e-4)
    # And physically: the transmitted pulse's spectrum, delayed by the path
    # from the plane, is the incident one (Gaussian: w·√π·exp(-(π ν w)²)).
    delay = T0 + 50 - (PLANE + 1)
    incident = (WIDTH * math.sqrt(math.pi) * torch.exp(-(math.pi * nu * WIDTH) ** 2)
                * torch.exp(2j * math.pi * nu * delay))
    torch.testing.assert_close(got[0, 0, 0], incident, atol=0.02 * incident.abs().max().item(), rtol=0)


def test_current_box_leaves_the_charge_it_carried_at_its_ends(backend):
    # A z-directed current pulse along a column of four Ez edges in a closed
    # conducting box: after the pulse, Gauss's law shows +Q at the top node
    # and -Q at the bottom node, Q = ∫J dt·(cell face), and no charge anywhere else.
    sim = Simulation((12, 12, 12), layers=0, backend=backend.name)
    sim.sources.append(CurrentBox(sim, (6, 6, 4), (1, 1, 4), gaussian(6.0, 2.0)))
    sim.step(int(30 / sim.dt))
    div = divergence(sim.Ex, sim.Ey, sim.Ez, sim.spacing)  # nodes 1 .. N-1
    Q = 2.0 * math.sqrt(math.pi)
    assert div[5, 5, 7] == pytest.approx(Q, rel=1e-4)  # node (6, 6, 8)
    assert div[5, 5, 3] == pytest.approx(-Q, rel=1e-4)  # node (6, 6, 4)
    div[5, 5, 7] = div[5, 5, 3] = 0
    assert div.abs().max() < 1e-5 * Q
    assert sim.energy() > 0.1  # it radiated


@pytest.mark.parametrize("kx_periods, ky_periods", [(1.3, 0.45), (0.0, 0.25)])
def test_bloch_mode_keeps_its_shape_and_its_lattice_frequency(backend, kx_periods, ky_periods):
    # Ez = exp(i(kx·x + ky·y)), uniform in z, in a box periodic along x and y
    # with the matching Bloch phases, is a mode of the Yee lattice: the shape
    # stays and the amplitude follows A(n+1) = (2 - 4r)·A(n) - A(n-1),
    # r = (c·dt/h)²·(sin²(kx·h/2) + sin²(ky·h/2)), from A(0) = 1, H(-1/2) = 0.
    NX, NY, steps = 13, 9, 80
    kx, ky = 2 * math.pi * kx_periods / (NX - 1), 2 * math.pi * ky_periods / (NY - 1)
    sim = Simulation((NX, NY, 2), layers=0, b2=2, backend=backend.name)
    sim.periodic = BlochBoundary(sim, kx=kx, ky=ky)
    x = torch.arange(NX + 1, dtype=torch.float64).view(-1, 1, 1)
    y = torch.arange(NY + 1, dtype=torch.float64).view(1, -1, 1)
    mode = torch.polar(torch.ones(NX + 1, NY + 1, 2, dtype=torch.float64), kx * x + ky * y)
    sim.Ez[0, 0, ..., 0] = mode.real.float()
    sim.Ez[0, 0, ..., 1] = mode.imag.float()

    r = sim.dt ** 2 * (math.sin(kx / 2) ** 2 + math.sin(ky / 2) ** 2)
    A = [1.0, 1.0 - 4 * r]
    for _ in range(steps - 1):
        A.append((2 - 4 * r) * A[-1] - A[-2])
    sim.step(steps)
    ez = torch.complex(sim.Ez[0, 0, ..., 0].double(), sim.Ez[0, 0, ..., 1].double()).cpu()
    torch.testing.assert_close(ez, A[steps] * mode, atol=1e-5, rtol=0)
    assert abs(A[steps]) > 0.1  # a sample away from a node of the oscillation


def test_periodic_boundaries_need_a_complex_run_without_layers_on_their_axes():
    with pytest.raises(ValueError, match="b2=2"):  # real fields only where every phase is 1
        BlochBoundary(Simulation(6, layers=0), kx=0.5)
    with pytest.raises(ValueError, match="absorbing layers"):
        BlochBoundary(Simulation((6, 6, 8), layers=(0, 2, 2), b2=2))
