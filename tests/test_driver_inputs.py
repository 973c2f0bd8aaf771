"""The driver refuses bad input by name: drawn configurations (Hypothesis)
either run a few steps to finite fields or raise a ValueError or TypeError
that names the argument; nothing else."""
import logging
import math
import os
from unittest import mock

import numpy as np
import pytest
import torch
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from orvane_sim import (CurrentBox, Debye, Dielectric, Drude, FluxBox, FluxPlane, FluxRectangle,
                        FrequencyMonitor, Lorentz, Object, PlaneWave, Simulation, Slab, Sphere,
                        TotalFieldBox, gaussian)
from orvane_sim.design import Design, DesignRegion
from orvane_sim.design.objectives import Intensity
from orvane_sim.grid.memory import ENVIRONMENT, available, simulation_bytes
from orvane_sim.circuits import ModePort

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
    "frequencies": [[], [math.nan], [math.inf], [1e3]],  # 1e3: far above any Nyquist here
    "x_range": [(-1, 2), (0, 40), (1.5, 3)],
    # (material, its parameters) of a sphere in the box
    "material": [(Dielectric, (math.inf,)), (Dielectric, ("2.0",)), (Drude, (1.0, math.nan, 0.5)),
                 (Drude, (1.0, 2.0, math.nan)), (Debye, (1.0, 1.0, math.nan)),
                 (Lorentz, (1.0, 1.0, math.inf, 0.1))],
    "bloch": [(math.nan, 0.0), (0.0, math.inf), "ab"],
    # the memory available: room for a 3-cell box's fields, but not an 8-cell one's
    "memory": ["1", "48K"],
}


# Valid shapes and spacings come as tuples, NumPy arrays or tensors alike.
FORMS = [tuple, np.array, torch.tensor]


@st.composite
def configurations(draw, key=None):
    """A valid configuration; mostly (always, given ``key``) with one
    argument replaced by one of its BAD values."""
    shape = draw(st.tuples(*[st.integers(3, 8)] * 3))
    form = draw(st.sampled_from(FORMS))
    c = {
        "shape": form(shape),
        "spacing": form([draw(st.floats(0.5, 2.0))] * 3),
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
        "material": (Dielectric, (draw(st.floats(1.0, 4.0)),)),
        "with_object": draw(st.booleans()),
        "bloch": None,
        "memory": None,
    }
    if key is not None or draw(st.integers(0, 3)) > 0:  # three times in four: one bad argument
        key = key or draw(st.sampled_from(sorted(BAD)))
        c[key] = draw(st.sampled_from(BAD[key]))
        c["with_source"] |= key in ("offset", "size", "direction")
        c["with_monitor"] |= key in ("frequencies", "x_range")
        c["with_object"] |= key == "material"
        if key == "bloch":  # periodic x and y: layers along z alone
            c["layers"] = ((0, 0), (0, 0), c["layers"])
    return c


# The names a refusal may give for what it refuses.
NAMES = ("shape", "spacing", "courant", "layers", "b2", "batch", "width", "CurrentBox",
         "offset", "size", "direction", "FrequencyMonitor", "frequencies", "x_range",
         "Dielectric", "Drude", "Debye", "Lorentz", "bloch")


# a random box puts its sphere anywhere, in the layers too: not what these test
@pytest.mark.filterwarnings("ignore::orvane_sim.geometry.clearance.OutsideInteriorWarning")
@settings(max_examples=200, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow])
@given(c=configurations())
def test_a_configuration_runs_to_finite_fields_or_is_refused_by_name(c):
    runs_or_is_refused_by_name(c)


# Two hundred draws leave some kinds of mistake out: a few draws of each.
@pytest.mark.parametrize("key", sorted(BAD))
@pytest.mark.filterwarnings("ignore::orvane_sim.geometry.clearance.OutsideInteriorWarning")
@settings(max_examples=12, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_each_kind_of_mistake_runs_to_finite_fields_or_is_refused_by_name(key, data):
    runs_or_is_refused_by_name(data.draw(configurations(key)))


def runs_or_is_refused_by_name(c):
    limit = {} if c["memory"] is None else {ENVIRONMENT: c["memory"]}
    try:
        with mock.patch.dict(os.environ, limit):
            material, parameters = c["material"]
            objects = [Object(Sphere((1.5, 1.5, 1.5), 1.0), material(*parameters))] \
                if c["with_object"] else None
            sim = Simulation(c["shape"], spacing=c["spacing"], courant=c["courant"],
                             layers=c["layers"], b2=c["b2"], batch=c["batch"], bloch=c["bloch"],
                             objects=objects)
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


PULSE = gaussian(4.0, 1.0, 0.2)


def column(objects=None):
    """A Bloch column with 10 layer cells at each z face (node 10 .. 50 clear
    of them): dt = 0.5716, Nyquist 0.875."""
    return Simulation((4, 4, 60), layers=((0, 0), (0, 0), (10, 10)), bloch=(0.0, 0.0),
                      objects=objects)


def box(**options):
    """A 12-cell box with 2 layer cells and an (empty) painting."""
    return Simulation(12, layers=2, objects=[], **options)


ABOVE_NYQUIST = 0.9  # cycles per unit time, for spacing 1 and courant 0.99


# Arguments that were accepted and gave wrong answers, or failed later
# with a plain Python error: (what is built, error, message).
REFUSED = {
    # a flux plane in the layers measured a third of the flux
    "flux plane in the layers": (lambda: FluxPlane(column(), 9, [0.1]), ValueError,
                                 r"FluxPlane z 9: z = 9 lies in the absorbing layers; keep it "
                                 r"within z in 10 \.\. 50"),
    "flux plane in the top layers": (lambda: FluxPlane(column(), at=51.0, frequencies=[0.1]),
                                     ValueError, r"FluxPlane at = 51 \(node 51\): .* absorbing"),
    # a plane wave entering inside a dielectric left part of itself behind
    "plane wave in a dielectric": (
        lambda: PlaneWave(column([Object(Slab((0, 0, 1), 25.0, 35.0), Dielectric(4.0))]), 29,
                          PULSE), ValueError,
        r"PlaneWave plane 29: its first total-field nodes lie in a material \(permittivity 4 "
        r"there\).*keep its first total-field node in vacuum: z = 11 \.\. 24 \(plane 10 \.\. 23"
        r"\), z = 36 \.\. 49 \(plane 35 \.\. 48\)"),
    # frequencies above Nyquist gave the spectrum of an alias, in every monitor
    "monitor above Nyquist": (
        lambda: FrequencyMonitor(box(), [0.1, ABOVE_NYQUIST], (3, 4), (3, 4), (3, 4)),
        ValueError, r"FrequencyMonitor frequencies must lie below the time step's Nyquist "
                    r"frequency 1/\(2 dt\) = 0\.874773 .* got 0\.9"),
    "monitor below -Nyquist": (
        lambda: FrequencyMonitor(box(b2=2), [-ABOVE_NYQUIST], (3, 4), (3, 4), (3, 4)),
        ValueError, "FrequencyMonitor frequencies must lie below .* got -0.9"),
    "flux plane above Nyquist": (lambda: FluxPlane(column(), 20, [ABOVE_NYQUIST]), ValueError,
                                 "FluxPlane frequencies must lie below the time step's Nyquist"),
    "flux box above Nyquist": (lambda: FluxBox(box(), [ABOVE_NYQUIST],
                                               nodes=((3, 3, 3), (8, 8, 8))),
                               ValueError, "FluxBox frequencies must lie below"),
    "flux rectangle above Nyquist": (
        lambda: FluxRectangle(box(), [ABOVE_NYQUIST], nodes=((5, 3, 3), (5, 8, 8))),
        ValueError, "FluxRectangle frequencies must lie below"),
    "plane wave spectra above Nyquist": (
        lambda: PlaneWave(column(), 20, PULSE, frequencies=[ABOVE_NYQUIST]), ValueError,
        "PlaneWave frequencies must lie below"),
    "total-field box above Nyquist": (
        lambda: TotalFieldBox(box(), PULSE, nodes=((4, 4, 4), (8, 8, 8)),
                              frequencies=[ABOVE_NYQUIST]), ValueError,
        "TotalFieldBox frequencies must lie below"),
    "port above Nyquist": (
        lambda: ModePort(box(), [ABOVE_NYQUIST], nodes=((4, 3, 3), (4, 9, 9))), ValueError,
        "ModePort frequencies must lie below"),
    # values that were silently rounded
    "box size below half a cell": (lambda: Simulation(size=(0.001, 1, 1), resolution=10),
                                   ValueError, r"size x = 0\.001 is 0\.01 cells at resolution "
                                               r"10, which rounds to none"),
    "current offset 5.7": (lambda: CurrentBox(box(), (5.7, 5, 5), (1, 1, 1), PULSE), TypeError,
                           r"CurrentBox offset must be an integer, got 5\.7 \(float\)"),
    "monitor range 3.5": (lambda: FrequencyMonitor(box(), [0.1], (3, 4), (3.5, 4), (3, 4)),
                          TypeError, r"FrequencyMonitor y_range must be an integer, got 3\.5"),
    "design pixels 2.7": (lambda: DesignRegion(box(), (2.7, 2, 2), nodes=((4, 4, 4), (7, 7, 7))),
                          TypeError, r"DesignRegion shape must be an integer, got 2\.7"),
    "plane wave plane 20.5": (lambda: PlaneWave(column(), 20.5, PULSE), TypeError,
                              r"PlaneWave plane must be an integer, got 20\.5"),
    "supersample 2.5": (lambda: box().set_objects([], supersample=(2, 2.5, 2)), TypeError,
                        r"supersample must be an integer, got 2\.5"),
    "port mode 1.5": (lambda: ModePort(box(), [0.3], nodes=((4, 3, 3), (4, 9, 9)), mode=1.5),
                      TypeError, r"ModePort mode must be an integer, got 1\.5"),
    # material parameters that turned the fields non-finite steps later
    "dielectric inf": (lambda: Dielectric(math.inf), ValueError,
                       "Dielectric eps must be a finite number, got inf"),
    "drude omega_p nan": (lambda: Drude(1.0, math.nan, 0.1), ValueError,
                          "Drude omega_p must be a finite number, got nan"),
    "drude gamma nan": (lambda: Drude(1.0, 2.0, math.nan), ValueError,
                        "Drude gamma must be a finite number, got nan"),
    "debye tau nan": (lambda: Debye(2.0, 1.0, math.nan), ValueError,
                      "Debye tau must be a finite number, got nan"),
    "lorentz omega0 inf": (lambda: Lorentz(2.0, 1.0, math.inf, 0.1), ValueError,
                           "Lorentz omega0 must be a finite number, got inf"),
    "lorentz eps_inf nan": (lambda: Lorentz(math.nan, 1.0, 1.0, 0.1), ValueError,
                            "Lorentz eps_inf must be a finite number, got nan"),
    "bloch k nan": (lambda: Simulation((4, 4, 8), layers=((0, 0), (0, 0), (2, 2)),
                                       bloch=(math.nan, 0.0)), ValueError,
                    r"bloch must be finite, got \(nan, 0\.0\)"),
    # plain Python errors, some only once the run had started
    "dielectric '2.0'": (lambda: Dielectric("2.0"), TypeError,
                         r"Dielectric eps must be a real number, got '2\.0' \(str\)"),
    "a number as a material": (lambda: box().set_objects([Object(Sphere((6, 6, 6), 2.0), 2.0)]),
                               TypeError, r"object 0's material must be a material .* got 2\.0"),
    "current waveform 1.0": (lambda: CurrentBox(box(), (5, 5, 5), (1, 1, 1), 1.0), TypeError,
                             r"CurrentBox waveform must be a function of time .* got 1\.0"),
    "plane wave waveform 1.0": (lambda: PlaneWave(column(), 20, 1.0), TypeError,
                                "PlaneWave waveform must be a function of time"),
    "total-field waveform 1.0": (lambda: TotalFieldBox(box(), 1.0, nodes=((4, 4, 4), (8, 8, 8))),
                                 TypeError, "TotalFieldBox waveform must be a function of time"),
    "gaussian width 0": (lambda: gaussian(1.0, 0.0), ValueError,
                         "gaussian width must be a finite number > 0, got 0.0"),
    "port at frequency -1": (lambda: ModePort(box(), [-1.0], nodes=((4, 3, 3), (4, 9, 9))),
                             ValueError, "ModePort frequencies must be positive, got -1"),
    # a 6 × 6 rectangle between conducting edges holds 6·5 + 5·6 unknowns
    "port mode 60": (lambda: ModePort(box(), [0.3], nodes=((4, 3, 3), (4, 9, 9)), mode=60),
                     ValueError, r"ModePort mode must be in 0 \.\. 59: the rectangle's 6 × 6 "
                                 r"cells hold 60 transverse unknowns"),
    "intensity at no points": (lambda: Intensity(box(), points=[]), ValueError,
                               r"Intensity needs at least one point, got points = \[\]"),
    "density on meta": (lambda: DesignRegion(box(), (2, 2, 2), nodes=((4, 4, 4), (7, 7, 7)))
                        .weights(torch.zeros(2, 2, 2, device="meta")), ValueError,
                        "DesignRegion density must hold values .* meta device"),
}


@pytest.mark.parametrize("make, error, message", REFUSED.values(), ids=REFUSED.keys())
def test_arguments_that_gave_wrong_answers_are_refused_by_name(make, error, message):
    with pytest.raises(error, match=message):
        make()


@pytest.mark.parametrize("z", [10, 50])
def test_a_flux_plane_may_reach_the_layers_inner_edge(z):
    assert FluxPlane(column(), z, [0.1]).z == z


def test_a_plane_wave_painted_over_later_is_refused_before_any_step():
    sim = column()
    sim.add(PlaneWave(sim, 29, PULSE))
    sim.set_objects([Object(Slab((0, 0, 1), 25.0, 35.0), Dielectric(4.0))])
    with pytest.raises(ValueError, match="PlaneWave plane 29: its first total-field nodes lie in "
                                         "a material"):
        sim.step(1)
    assert sim.steps_done == 0
    assert not any(bool(getattr(sim, n).any()) for n in ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz"))


def test_a_box_size_snaps_to_the_nearest_cell_and_says_so(caplog):
    with caplog.at_level(logging.INFO, logger="orvane_sim.positions"):
        sim = Simulation(size=(0.26, 0.3, 0.34), resolution=10, layers=0)
    assert sim.shape == (3, 3, 3)  # 0.26 was 3 cells before too, but 0.34 ...
    snaps = [r.getMessage() for r in caplog.records]
    assert snaps == ["size: x = 0.26 snapped to 3 cells (x = 0.3)",
                     "size: z = 0.34 snapped to 3 cells (z = 0.3)"]


# A shape, spacing, size or batch given as an array or a tensor is the box
# that the tuple gives.
ARRAY_LIKES = {
    "numpy shape, tensor spacing": (dict(shape=np.array([4, 5, 6]),
                                         spacing=torch.tensor([0.1, 0.2, 0.3]))),
    "tensor shape, numpy spacing": dict(shape=torch.tensor([4, 5, 6]),
                                        spacing=np.array([0.1, 0.2, 0.3])),
    "one-element array shape": dict(shape=np.array([5]), spacing=np.float32(0.5)),
    "size and resolution": dict(size=torch.tensor([0.4, 1.0, 1.8]), resolution=np.int64(10)),
    "numpy batch and layers": dict(shape=(4, 5, 6), batch=np.array([2, 1]),
                                   layers=np.array([1, 2, 0])),
}


@pytest.mark.parametrize("kwargs", ARRAY_LIKES.values(), ids=ARRAY_LIKES.keys())
def test_array_likes_give_the_box_their_values_give(kwargs):
    plain = {k: (tuple(v.tolist()) if getattr(v, "ndim", 0) else
                 v.item() if hasattr(v, "item") else v) for k, v in kwargs.items()}
    sim, want = Simulation(**{"layers": 1, **kwargs}), Simulation(**{"layers": 1, **plain})
    assert (sim.shape, sim.spacing, sim.dt, sim.batch, sim.faces) == \
        (want.shape, want.spacing, want.dt, want.batch, want.faces)
    assert sim.Ex.shape == want.Ex.shape


# Configurations too large for a small memory (ORVANE_AVAILABLE_MEMORY).
TOO_LARGE = {
    "cells": (dict(shape=64, layers=4), "1M", r"a box of \(64, 64, 64\) cells .* needs about "
              r"\d+(\.\d+)? MiB, more than the 1 MiB available on cpu "
              r"\(ORVANE_AVAILABLE_MEMORY\); reduce it: fewer cells"),
    "batch": (dict(shape=32, layers=2, batch=(100, 100)), "2G", r"batch \(100, 100\).*"
              r"about \d+(\.\d+)? GiB, more than the 2 GiB.* a smaller batch"),
    "complex fields": (dict(shape=32, layers=2, b2=2), "2M", r"b2 = 2 .*real fields \(b2 = 1\)"),
    "material grids": (dict(shape=24, layers=2, objects=[]), "1M", r"materials \d"),
}


@pytest.mark.parametrize("kwargs, limit, message", TOO_LARGE.values(), ids=TOO_LARGE.keys())
def test_a_box_larger_than_the_memory_available_is_refused_with_its_estimate(kwargs, limit,
                                                                             message):
    with mock.patch.dict(os.environ, {ENVIRONMENT: limit}):
        with pytest.raises(ValueError, match=message):
            Simulation(**kwargs)


def test_painting_a_box_whose_material_grids_do_not_fit_is_refused():
    sim = Simulation(24, layers=2)
    fields = sum(simulation_bytes(sim.shape, sim.layers, 1, (1, 1), False).values())
    with mock.patch.dict(os.environ, {ENVIRONMENT: str(fields)}):
        with pytest.raises(ValueError, match=r"a box of \(24, 24, 24\) cells .*\(materials "):
            sim.set_objects([Object(Sphere((12, 12, 12), 5.0), Dielectric(2.0))])
    assert sim.medium is None


@pytest.mark.parametrize("b2, batch, objects", [(1, (1, 1), None), (2, (2, 3), []),
                                                (1, (1, 2), [Object(Sphere((5, 5, 5), 2.0),
                                                                    Drude(1.0, 3.0, 0.5))])])
def test_the_memory_estimate_is_what_a_box_allocates(b2, batch, objects):
    sim = Simulation((10, 11, 12), layers=(1, 2, 3), b2=b2, batch=batch, objects=objects)
    tensors = [sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz, *sim.hpsi, *sim.epsi, *sim.cg1,
               *sim.cg2]
    if sim.medium is not None:
        m = sim.medium
        tensors += [t for trio in m.grids for t in trio] + [*m.den1, *m.den2, *m.acc1, *m.acc2,
                                                            *m.prev]
    held = sum(t.numel() * t.element_size() for t in tensors)
    parts = simulation_bytes(sim.shape, sim.layers, sim.b2, sim.batch, objects is not None)
    if objects is not None:  # the painting's own cg1, cg2 replace the vacuum ones
        parts["coefficients"] = 0
    assert held * 0.95 <= sum(parts.values()) <= held * 1.05


def test_a_monitor_larger_than_the_memory_available_is_refused():
    sim = Simulation(24, layers=2)
    with mock.patch.dict(os.environ, {ENVIRONMENT: "1M"}):
        with pytest.raises(ValueError, match=r"a FrequencyMonitor of 20 × 20 × 20 cells at 8 "
                                             r"frequencies needs about .* fewer frequencies"):
            FrequencyMonitor(sim, [0.05 * n for n in range(1, 9)], (2, 21), (2, 21), (2, 21))


@pytest.mark.parametrize("text, size", [("123", 123), ("1.5 GiB", 3 * 2**29), ("2t", 2 * 2**40),
                                        ("lots", None)])
def test_the_memory_limit_reads_bytes_with_a_suffix(text, size):
    with mock.patch.dict(os.environ, {ENVIRONMENT: text}):
        if size is None:
            with pytest.raises(ValueError, match=f"{ENVIRONMENT} must be a number of bytes"):
                available("cpu")
        else:
            assert available("cpu") == (size, ENVIRONMENT)


@pytest.mark.skipif(not os.path.exists("/proc/meminfo"), reason="reads Linux's /proc/meminfo")
def test_the_cpu_memory_available_is_within_the_machine():
    with mock.patch.dict(os.environ, {ENVIRONMENT: ""}):
        room, source = available("cpu")
    total = int(open("/proc/meminfo").read().split("MemTotal:")[1].split()[0]) * 1024
    assert 0 < room <= total, source
