"""The driver refuses bad input by name: drawn configurations (Hypothesis)
either run a few steps to finite fields or raise a ValueError or TypeError
that names the argument; nothing else."""
import math

import pytest
import torch
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from orvane_sim import CurrentBox, Dielectric, FrequencyMonitor, Object, Simulation, Sphere

# A valid configuration, then, most of the time, one argument replaced by a
# value that users send by mistake.
BAD = {
    "shape": [0, -3, 4.5, math.nan, "6", (4, 4), None],
    "spacing": [0.0, -1.0, math.inf, math.nan, True, "1"],
    "courant": [0.0, 1.0, 1.5, -0.5, math.nan, "0.5"],
    "layers": [-1, (9, 9, 1), "2", (1, (2, 3, 4), 1)],
    "b2": [0, 1.0, True, -2],
    "batch": [(1, 0), (1,), 3, (1.5, 1), "ab"],
    "width": [0.0, -1.0, math.inf, math.nan, "2"],
    "offset": [(-1, 0, 0), (0, 0, 40), (1.5, 0, 0)],
    "size": [(0, 1, 1), (1, 1, 50), (-2, 1, 1)],
    "direction": [(0, 0, 0), (math.nan, 0, 1)],
    "frequencies": [[], [math.nan], [math.inf]],
    "x_range": [(-1, 2), (0, 40), (1.5, 3)],
}


@st.composite
def configurations(draw):
    shape = draw(st.tuples(*[st.integers(3, 8)] * 3))
    c = {
        "shape": shape,
        "spacing": draw(st.floats(0.5, 2.0)),
        "courant": draw(st.floats(0.3, 0.99)),
        "layers": draw(st.integers(0, 1)),
        "b2": draw(st.sampled_from([1, 2])),
        "batch": draw(st.sampled_from([(1, 1), (2, 1), (1, 2)])),
        "width": draw(st.floats(0.5, 3.0)),
        "offset": tuple(draw(st.integers(0, n - 1)) for n in shape),
        "size": (1, 1, 1),
        "direction": draw(st.sampled_from([(0, 0, 1), (1, 1, 0)])),
        "frequencies": [0.1, 0.2],
        "x_range": (0, shape[0] - 1),
        "with_source": draw(st.booleans()),
        "with_monitor": draw(st.booleans()),
    }
    if draw(st.integers(0, 3)) > 0:  # three times in four: one bad argument
        key = draw(st.sampled_from(sorted(BAD)))
        c[key] = draw(st.sampled_from(BAD[key]))
        c["with_source"] |= key in ("offset", "size", "direction")
        c["with_monitor"] |= key in ("frequencies", "x_range")
    return c


# The names a refusal may give for what it refuses.
NAMES = ("shape", "spacing", "courant", "layers", "b2", "batch", "width", "CurrentBox",
         "offset", "size", "direction", "FrequencyMonitor", "frequencies", "x_range")


@settings(max_examples=200, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow])
@given(c=configurations())
def test_a_configuration_runs_to_finite_fields_or_is_refused_by_name(c):
    try:
        sim = Simulation(c["shape"], spacing=c["spacing"], courant=c["courant"],
                         layers=c["layers"], b2=c["b2"], batch=c["batch"])
        sim.set_gaussian_pulse(c["width"])
        if c["with_source"]:
            sim.add(CurrentBox(sim, offset=c["offset"], size=c["size"],
                               direction=c["direction"], waveform=lambda t: math.exp(-t * t)))
        if c["with_monitor"]:
            sim.add(FrequencyMonitor(sim, c["frequencies"], x_range=c["x_range"],
                                     y_range=(0, 1), z_range=(0, 1)))
        sim.run(3, progress=False, check_every=1)
    except (ValueError, TypeError) as exc:
        message = str(exc)
        assert any(name in message for name in NAMES), message
        event(f"refused: {message[:30]}")
        return
    event("ran")
    assert all(bool(torch.isfinite(getattr(sim, n)).all()) for n in ("Ex", "Ey", "Ez"))


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(shape=0), ValueError, "shape must be in 1 .. 65535, got 0"),
    (dict(shape=(4, 4.5, 4)), TypeError, r"shape must be an integer, got 4.5 \(float\)"),
    (dict(shape=4, layers=1, spacing=math.nan), ValueError, "spacing must be a finite number > 0, got nan"),
    (dict(shape=4, layers=1, courant=1.0), ValueError, "below the stability limit 1, got 1.0"),
    (dict(shape=4, layers=(2, 1, 3)), ValueError, r"layers along z \(3 \+ 3 cells\) do not fit"),
    (dict(shape=4, layers=1, batch=(1, 0)), ValueError, "batch must be in 1 .. 65535, got 0"),
    (dict(size=1e6, resolution=1), ValueError, "needs more than 65535 cells"),
    (dict(shape=4, layers=1, backend="tpu"), ValueError, "backend must be 'cpu' or 'cuda'"),
])
def test_bad_simulation_arguments_are_named(kwargs, error, message):
    with pytest.raises(error, match=message):
        Simulation(**kwargs)


def _objects(*objects):
    return lambda: Simulation(8, layers=1, objects=list(objects))


def _monitor(frequencies):
    return lambda: FrequencyMonitor(Simulation(8, layers=1), frequencies, x_range=(1, 2),
                                    y_range=(1, 2), z_range=(1, 2))


@pytest.mark.parametrize("make, error, message", [
    (_objects(Object(Sphere((40, 4, 4), 1.0), Dielectric(2.0))), ValueError,
     r"object 0 \(Sphere\) lies wholly outside the box along x: it spans 39 .. 41, the box 0 .. 8"),
    (_objects(Object(Sphere((4, 4, 4), -1.0), Dielectric(2.0))), ValueError,
     r"object 0 \(Sphere\) has no extent along x"),
    (_objects("a sphere"), TypeError, "objects must be Objects"),
    (_monitor([math.nan]), ValueError, "FrequencyMonitor frequencies must be a finite number"),
    (_monitor([]), ValueError, "FrequencyMonitor needs at least one frequency"),
    (lambda: CurrentBox(Simulation(8, layers=1), offset=(2, 2, 2), size=(1, 1, 1),
                        direction=(math.nan, 0, 1), waveform=math.exp), ValueError,
     "CurrentBox direction must be a finite number, got nan"),
])
def test_bad_features_are_named(make, error, message):
    with pytest.raises(error, match=message):
        make()
