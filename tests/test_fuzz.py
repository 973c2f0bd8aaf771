"""A short fuzzing run in every test run, and the faults the fuzzer found,
each kept as a regression test named for what it was."""
import math

import pytest
import torch

import fuzz
import reference as ref
from breakage import expect_refused
from test_materials import valid as material_call
from test_monitor import Monitor, monitor_args
from test_sources import Box, Plane, current_args, plane_args

C64 = torch.complex64


def test_short_fuzzing_run_keeps_every_promise():
    """A few hundred random calls over all fifteen functions; tools/sanitize.sh
    runs many more under the sanitizers."""
    failures = fuzz.fuzz(seconds=1e9, seed=20261208, max_cases=400)
    assert not failures, "\n".join(f"seed {s}: {m}" for s, m in failures)


def test_every_function_has_a_call_generator():
    import OrvaneCPU

    table = [n for n in dir(OrvaneCPU) if not n.startswith("_")]
    assert sorted(fuzz.GENERATORS) == sorted(table)
    for seed in range(3):
        for name in fuzz.GENERATORS:
            call = fuzz.make_case(seed, name, break_rate=0.0)
            assert fuzz.run_case(OrvaneCPU, call, torch.device("cpu")) == "matched", name


# ---------------------------------------------------------------------------
# Small integers read on the host (margins, offsets, ranges)


def test_offset_near_the_int64_limit_is_refused_without_overflow():
    """The box end offset + SX was formed in 64 bits and overflowed for an
    offset near 2^63 (undefined behaviour, a wrapped end passing the checks)."""
    import OrvaneCPU

    args = current_args(Box((1, 1, 2), (1, 1, 1), (0, 0, 0)))
    args["offset"] = torch.tensor([2**63 - 1, 0, 0])
    expect_refused(OrvaneCPU, "Inject_J", args,
                   r"^Inject_J: offset must hold integers within the 32-bit range")


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, 1e30, -3e9, 2.0**31])
def test_reals_no_index_can_hold_are_refused(value):
    """NaN, infinite or huge reals were cast to int64 (undefined; garbage in
    practice) before any check saw them."""
    import OrvaneCPU

    args = plane_args(True, Plane((1, 1, 2), (4, 3), (0, 0)))
    before = {n: t.clone() for n, t in args.items() if isinstance(t, torch.Tensor)}
    args["margins"] = torch.tensor([0.0, value], dtype=torch.float64)
    with pytest.raises(RuntimeError, match=r"^Inject_E: margins must hold integers within the "
                                           r"32-bit range .* at entry 1"):
        OrvaneCPU.Inject_E(*args.values())
    for name in ("Ex", "Ey"):
        assert torch.equal(args[name], before[name])


def test_strided_integer_tensor_is_read_in_index_order():
    """An int64 view with gaps was read from its storage as if contiguous, so
    the ranges came from the wrong elements."""
    import OrvaneCPU

    case = Monitor((2, 1), 2, 2, ((1, 3), (0, 2), (1, 4)))
    args = monitor_args(case, seed=3)
    want = ref.monitor(*[t.tolist() if n.endswith("_range") else t for n, t in args.items()])
    for name in ("x_range", "y_range", "z_range"):
        buf = torch.full((4,), -7, dtype=torch.int64)  # gaps an honest read never sees
        buf[1::2] = args[name]
        args[name] = buf[1::2]
    OrvaneCPU.Monitor_Update_E(*args.values())
    for got, w in zip((args["Ex_acc"], args["Ey_acc"], args["Ez_acc"]), want):
        torch.testing.assert_close(got.to(torch.complex128), w, atol=2e-6, rtol=2e-6)


# ---------------------------------------------------------------------------
# Box bounds and get_id_range


@pytest.mark.parametrize("function", ["Mat_average", "Set_weight_mat_id", "Set_weight_subcell"])
def test_strided_float64_bounds_are_read_in_index_order(function):
    """A float64 CPU view with gaps was read as if contiguous: its upper bound
    came from a gap (a NaN here, refused as not finite)."""
    import OrvaneCPU

    args = material_call(function)
    plain = {n: (t.clone() if isinstance(t, torch.Tensor) else t) for n, t in args.items()}
    buf = torch.full((4,), math.nan, dtype=torch.float64)
    buf[::2] = args["y_bounds"].double()
    args["y_bounds"] = buf[::2]
    got = getattr(OrvaneCPU, function)(*args.values())
    want = getattr(OrvaneCPU, function)(*plain.values())
    if function == "Mat_average":
        torch.testing.assert_close(got[0], want[0], atol=0, rtol=0)
    else:
        torch.testing.assert_close(args["weight"], plain["weight"], atol=0, rtol=0)


@pytest.mark.parametrize("function, name", [("Mat_average", "x_bounds"),
                                            ("Set_weight_mat_id", "z_bounds")])
def test_bounds_without_data_are_refused_by_name(function, name):
    """Bounds on the meta device failed inside PyTorch's copy ("Cannot copy
    out of meta tensor") without naming the argument."""
    import OrvaneCPU

    args = material_call(function)
    args[name] = args[name].to("meta")
    expect_refused(OrvaneCPU, function, args, rf"^{function}: {name} must hold data")


@pytest.mark.parametrize("function", ["Mat_average", "Set_weight_mat_id", "Set_weight_subcell"])
@pytest.mark.parametrize("bounds, cells", [([-3e38, 1e38], 1), ([5e38, 6e38], 7)],
                         ids=["spacing", "origin"])
def test_bounds_beyond_single_precision_are_refused_by_name(function, bounds, cells):
    """Finite float64 bounds whose origin or spacing overflows float32 failed
    in PyTorch's conversion ("value cannot be converted to type float without
    overflow"), naming nothing."""
    import OrvaneCPU

    args = material_call(function)
    args["y_bounds"] = torch.tensor(bounds, dtype=torch.float64)
    args["samples"] = args["samples"][:, :, :cells]
    expect_refused(OrvaneCPU, function, args, rf"^{function}: y_bounds .* gives an origin or a "
                                              r"spacing beyond single precision")


@pytest.mark.parametrize("bounds, coords, pattern", [
    (torch.tensor(1.0), torch.arange(4.0), r"bounds must be a 1-D tensor, got 0-D"),
    (torch.zeros(0), torch.arange(4.0), r"bounds must have at least one entry"),
    (torch.tensor([1.0, 2.0]), torch.arange(6.0).view(2, 3), r"coords must be a 1-D tensor"),
    (torch.tensor([1.0, 2.0], device="meta"), torch.arange(4.0), r"bounds must hold data"),
    (torch.tensor([1.0, 2.0]), torch.arange(4.0).to(C64), r"coords must hold real numbers"),
    (torch.tensor([True, True]), torch.arange(4.0), r"bounds must hold real numbers"),
])
def test_index_range_refuses_what_it_cannot_compare(bounds, coords, pattern):
    """These failed with PyTorch's IndexError or conversion errors that named
    neither the function nor the argument."""
    import OrvaneCPU

    with pytest.raises(RuntimeError, match=rf"^get_id_range: {pattern}"):
        OrvaneCPU.get_id_range(bounds, coords)


# ---------------------------------------------------------------------------
# Lazily conjugated or negated complex tensors


def _plane_expected(electric, args):
    a = list(args.values())
    return ref.inject_plane(electric, *a[:7], args["margins"].tolist(), args["k"])


@pytest.mark.parametrize("electric", [True, False], ids=["Inject_E", "Inject_H"])
@pytest.mark.parametrize("name", ["amp_x", "prof_y"])
@pytest.mark.parametrize("lazy", ["conj", "neg"])
def test_lazily_conjugated_excitation_is_read_as_its_value(electric, name, lazy):
    """The kernel read the storage of a conj() or negated view, so the source
    was injected with the wrong sign of its imaginary part (or of all of it)."""
    import OrvaneCPU

    args = plane_args(electric, Plane((2, 1, 2), (5, 4), (1, 0)), seed=5)
    args[name] = args[name].conj() if lazy == "conj" else args[name]._neg_view()
    want = _plane_expected(electric, {n: (t.resolve_conj().resolve_neg()
                                          if isinstance(t, torch.Tensor) else t)
                                      for n, t in args.items()})
    getattr(OrvaneCPU, "Inject_E" if electric else "Inject_H")(*args.values())
    for got, w in zip(list(args.values())[:2], want):
        torch.testing.assert_close(got.double(), w, atol=2e-6, rtol=2e-6)


def test_lazily_conjugated_current_is_read_as_its_value():
    import OrvaneCPU

    args = current_args(Box((1, 2, 2), (2, 2, 3), (1, 0, 1)), seed=4)
    args["Jy"] = args["Jy"].conj()
    want = ref.inject_current(*[t.resolve_conj() for t in list(args.values())[:6]],
                              args["offset"].tolist())
    OrvaneCPU.Inject_J(*args.values())
    for got, w in zip(list(args.values())[:3], want):
        torch.testing.assert_close(got.double(), w, atol=2e-6, rtol=2e-6)


def test_monitor_reads_a_conjugated_factor_and_refuses_a_conjugated_accumulator():
    import OrvaneCPU

    case = Monitor((1, 2), 2, 2, ((0, 2), (1, 3), (0, 1)))
    args = monitor_args(case, seed=8)
    args["step_factor"] = args["step_factor"].conj()
    want = ref.monitor(*[t.resolve_conj() if not n.endswith("_range") else t.tolist()
                         for n, t in args.items()])
    OrvaneCPU.Monitor_Update_E(*args.values())
    for got, w in zip(list(args.values())[:3], want):
        torch.testing.assert_close(got.to(torch.complex128), w, atol=2e-6, rtol=2e-6)

    args = monitor_args(case, seed=8)
    args["Ey_acc"] = args["Ey_acc"].conj()
    expect_refused(OrvaneCPU, "Monitor_Update_E", args,
                   r"^Monitor_Update_E: Ey_acc is a lazily conjugated or negated view")
