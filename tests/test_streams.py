"""Kernels on the caller's current stream: with the default stream stalled
(torch.cuda._sleep), calls made inside another stream still see their own
tensor work and kernels in order. CUDA only; they run in the GPU check."""
import pytest
import torch

pytestmark = pytest.mark.needs_cuda

STALL = 200_000_000  # cycles: a tenth of a second or so


def stalled_side_stream() -> torch.cuda.Stream:
    torch.cuda.synchronize()
    side = torch.cuda.Stream()
    torch.cuda._sleep(STALL)
    return side


def test_dispersive_pass_copies_the_fields_it_wrote():
    from orvane_sim import Lorentz, Object, Simulation, Sphere

    sim = Simulation((16, 16, 16), layers=0, backend="cuda",
                     objects=[Object(Sphere((8, 8, 8), 5), Lorentz(2.0, 1.0, 0.5, 0.05))])
    for f in (sim.Ex, sim.Ey, sim.Ez):
        f.normal_()
    with torch.cuda.stream(stalled_side_stream()):
        sim.medium.apply(sim.module, sim.Ex, sim.Ey, sim.Ez)
        same = [torch.equal(p, f) for p, f in zip(sim.medium.prev, (sim.Ex, sim.Ey, sim.Ez))]
    assert all(same)


def test_current_box_filled_and_injected_on_another_stream():
    import Orvane
    import OrvaneCPU

    shapes = [(1, 1, 8, 9, 9, 1), (1, 1, 9, 8, 9, 1), (1, 1, 9, 9, 8, 1)]
    currents = [torch.randn(1, 1, 3, 3, 3, dtype=torch.complex64) for _ in range(3)]
    offset = torch.tensor([2, 3, 1])
    want = [torch.zeros(s) for s in shapes]
    OrvaneCPU.Inject_J(*want, *currents, offset)
    with torch.cuda.stream(stalled_side_stream()):
        fields = [torch.zeros(s, device="cuda") for s in shapes]
        Orvane.Inject_J(*fields, *(j.cuda() for j in currents), offset)
        got = [f.cpu() for f in fields]
    for g, w in zip(got, want):
        torch.testing.assert_close(g, w)
