"""The thread count a CPU run picks from its own step timings."""
import pytest
import torch

from orvane_sim import Simulation
from orvane_sim.core import ThreadTuner


class Machine:
    """Steps whose cost depends on PyTorch's thread count and the load."""

    def __init__(self):
        self.now, self.busy, self.calls = 0.0, False, []
        self.at = {}  # steps taken per thread count

    def clock(self) -> float:
        return self.now

    def steps(self, k: int, first: bool) -> None:
        t = torch.get_num_threads()
        quiet = {1: 2.0, 2: 1.1, 3: 0.8, 4: 0.7}
        busy = {1: 2.0, 2: 1.5, 3: 2.6, 4: 3.0}  # two of four cores held elsewhere
        self.now += k * (busy if self.busy else quiet)[t]
        self.at[t] = self.at.get(t, 0) + k
        self.calls.append(first)


@pytest.fixture
def four_threads():
    before = torch.get_num_threads()
    torch.set_num_threads(4)
    yield
    torch.set_num_threads(before)


def test_the_count_follows_the_load_and_the_callers_setting(four_threads):
    m = Machine()
    tuner = ThreadTuner(clock=m.clock)
    tuner.advance(20000, m.steps)  # quiet: the caller's four threads, probes grow rare
    assert tuner.current == 4 and tuner.interval == tuner.longest
    assert sum(n for t, n in m.at.items() if t != 4) < 0.005 * 20000
    assert m.calls[0] and not any(m.calls[1:])  # only the call's first step says so
    m.busy = True
    for n in range(3000):  # the load settles it on two, step by step
        tuner.advance(1, m.steps)
        if n == 20:  # slower steps brought the next probe forward at once
            assert tuner.current == 3
    assert tuner.current == 2 and torch.get_num_threads() == 2
    m.busy = False
    tuner.advance(3000, m.steps)
    assert tuner.current == 4
    torch.set_num_threads(3)  # the caller's count is the most it uses
    m.busy, m.at = True, {}
    tuner.advance(3000, m.steps)
    assert max(m.at) == 3 and tuner.current == 2
    other = ThreadTuner(clock=m.clock)  # another box starts where this one left off
    other.advance(1, m.steps)
    assert (other.setting, other.current) == (3, 2)
    tuner.release()
    assert torch.get_num_threads() == 3


def test_switching_counts_leaves_the_fields_unchanged(four_threads):
    def run(tune: bool):
        sim = Simulation((12, 10, 9), layers=3)
        sim.set_gaussian_pulse(width=2.0)
        sim.tune_threads = tune
        if tune:  # a clock that finds every other count faster: it switches often
            ticks = iter(range(10**6))
            sim._threads = ThreadTuner(first=2, every=3, longest=3, probe=1,
                                       clock=lambda: -next(ticks) * 1.7 ** torch.get_num_threads())
        sim.run(60, progress=False)
        assert torch.get_num_threads() == 4  # run gives the caller's count back
        return [f.clone() for f in (sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz)]

    for a, b in zip(run(True), run(False)):
        assert torch.equal(a, b)
