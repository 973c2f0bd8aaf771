"""A long run of everything at once stays stable: 20,000 steps of a small
Bloch-periodic box with absorbing layers on its z faces, Drude and Lorentz
objects reaching into them and a current source."""
import pytest

from orvane_sim import Box, CurrentBox, Drude, Lorentz, Object, Simulation, Sphere, gaussian


@pytest.mark.slow
def test_energy_never_grows_after_the_source_has_ended():
    sim = Simulation((8, 8, 24), layers=(0, 0, 6), bloch=(0.25, 0.1), objects=[
        Object(Box((-1, -1, 0), (9, 9, 8)), Drude(1.5, 1.2, 0.05)),  # into the low layer
        Object(Sphere((4, 4, 19), 3.5), Lorentz(2.0, 1.0, 0.8, 0.02))])  # into the high one
    # A carrier well away from zero frequency: no charge is left behind.
    pulse = gaussian(12.0, 4.0, frequency=0.3)
    sim.add(CurrentBox(sim, offset=(3, 3, 12), size=(2, 2, 1), direction=(1, 0, 1),
                       waveform=pulse))
    sim.run(until=pulse.t0 + 5 * pulse.width, progress=False)
    start = sim.energy()
    window, peaks = [], []
    while sim.steps_done < 20_000:
        sim.run(100, progress=False)
        window.append(sim.energy())
        if len(window) == 10:  # the largest energy of each 1000 steps
            peaks.append(max(window))
            window = []
    assert all(later <= earlier * (1 + 1e-6) for earlier, later in zip(peaks, peaks[1:])), peaks
    assert peaks[0] <= start and peaks[-1] < 1e-4 * start
