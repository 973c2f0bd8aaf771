"""The frequency monitor against the float64 reference: box extents, the
field slot rule, accumulation over calls; and its checks."""
from dataclasses import dataclass
from typing import Tuple

import pytest
import torch

import reference as ref
from breakage import expect_refused, replace, shrink, to_meta
from layouts import LAYOUTS, device_copy

C64 = torch.complex64
TOL = dict(atol=2e-6, rtol=2e-6)


@dataclass(frozen=True)
class Monitor:
    batch: Tuple[int, int]  # B0, B1
    F: int  # frequencies
    slots: int  # trailing size of the fields
    ranges: Tuple[Tuple[int, int], Tuple[int, int], Tuple[int, int]]  # (first, last) per axis
    grid: Tuple[int, int, int] = (9, 8, 7)  # NX, NY, NZ of the fields
    extra: int = 0  # accumulators and factors larger than needed


def extents(case: Monitor):
    return [last - first + 2 for first, last in case.ranges]


def monitor_args(case: Monitor, seed: int = 0) -> dict:
    g = torch.Generator().manual_seed(seed)
    (B0, B1), F, S, (NX, NY, NZ), x = case.batch, case.F, case.slots, case.grid, case.extra
    MX, MY, MZ = (max(m, 1) for m in extents(case))

    def acc(*box):
        return torch.randn(B0, B1, *(n + x for n in box), F, generator=g, dtype=C64)

    def field(*shape):
        return torch.randn(B0 + x, B1 + x, *shape, S, generator=g)

    return {
        "Ex_acc": acc(MX - 1, MY, MZ),
        "Ey_acc": acc(MX, MY - 1, MZ),
        "Ez_acc": acc(MX, MY, MZ - 1),
        "Ex": field(NX, NY + 1, NZ + 1),
        "Ey": field(NX + 1, NY, NZ + 1),
        "Ez": field(NX + 1, NY + 1, NZ),
        "step_factor": torch.randn(F + x, generator=g, dtype=C64),
        "x_range": torch.tensor(case.ranges[0]),
        "y_range": torch.tensor(case.ranges[1]),
        "z_range": torch.tensor(case.ranges[2]),
    }


RANGES = ("x_range", "y_range", "z_range")


def run(backend, args, layout=None):
    dev = {n: device_copy(backend, t, None if n in RANGES else layout) for n, t in args.items()}
    backend.module.Monitor_Update_E(*dev.values())
    return dev["Ex_acc"], dev["Ey_acc"], dev["Ez_acc"]


def expected(args):
    a = [t.tolist() if n in RANGES else t for n, t in args.items()]
    return ref.monitor(*a)


CASES = {
    "one field slot, four frequencies": Monitor((2, 3), 4, 1, ((1, 4), (2, 5), (0, 3))),
    "a field slot per frequency": Monitor((2, 2), 3, 3, ((0, 7), (1, 3), (2, 5))),
    "more field slots than frequencies": Monitor((2, 2), 2, 5, ((2, 3), (0, 6), (1, 1))),
    # (5, 5): MX = 2, Ex at x = 5 only, Ey and Ez at x = 5 and 6
    "x range (5, 5)": Monitor((2, 2), 2, 1, ((5, 5), (1, 3), (2, 4))),
    # (5, 4): MX = 1, Ex_acc receives nothing, Ey and Ez the layer x = 5
    "x range (5, 4)": Monitor((2, 2), 2, 1, ((5, 4), (1, 3), (2, 4))),
    "z range (3, 2)": Monitor((3, 2), 2, 2, ((1, 3), (1, 3), (3, 2))),
    # the box reaching the last node of every field
    "whole grid": Monitor((2, 2), 2, 1, ((0, 8), (0, 7), (0, 6))),
    "oversized accumulators": Monitor((2, 2), 3, 1, ((1, 2), (2, 4), (0, 1)), extra=2),
    # an extent below 1: nothing is added
    "empty box": Monitor((2, 2), 2, 1, ((4, 1), (1, 3), (2, 4))),
    "two negative extents": Monitor((2, 2), 2, 1, ((4, 1), (3, 0), (2, 4))),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_monitor_matches_reference(backend, case):
    args = monitor_args(case)
    for got, want in zip(run(backend, args), expected(args)):
        torch.testing.assert_close(got.cpu().to(torch.complex128), want, **TOL)


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_monitor_through_non_contiguous_views(backend, layout):
    args = monitor_args(CASES["a field slot per frequency"], seed=1)
    for got, want in zip(run(backend, args, layout), expected(args)):
        torch.testing.assert_close(got.cpu().to(torch.complex128), want, **TOL)


def test_two_calls_accumulate(backend):
    case = CASES["one field slot, four frequencies"]
    first, second = monitor_args(case, seed=2), monitor_args(case, seed=3)
    second.update({n: first[n] for n in ("Ex_acc", "Ey_acc", "Ez_acc")})
    acc = run(backend, first)
    for n, a in zip(("Ex_acc", "Ey_acc", "Ez_acc"), acc):
        second[n] = a.cpu()
    got = run(backend, second)
    for g, w in zip(got, expected(second)):  # acc + w1·E1 + w2·E2
        torch.testing.assert_close(g.cpu().to(torch.complex128), w, **TOL)


def test_factor_zero_leaves_a_slot_and_one_adds_the_raw_field(backend):
    args = monitor_args(Monitor((1, 1), 3, 1, ((1, 2), (1, 2), (1, 2))))
    before = args["Ex_acc"].clone()
    args["step_factor"] = torch.tensor([0, 1, 1j], dtype=C64)
    ex_acc = run(backend, args)[0].cpu()
    ex = args["Ex"][0, 0, 1:3, 1:4, 1:4, 0]
    assert torch.equal(ex_acc[..., 0], before[..., 0])
    torch.testing.assert_close(ex_acc[0, 0, ..., 1] - before[0, 0, ..., 1], ex.to(C64))
    torch.testing.assert_close(ex_acc[0, 0, ..., 2] - before[0, 0, ..., 2], 1j * ex.to(C64))


def test_ranges_are_read_from_any_numeric_dtype(backend):
    args = monitor_args(CASES["x range (5, 5)"])
    want = expected(args)
    args["x_range"] = torch.tensor([5.0, 5.0, -3.0])
    args["y_range"] = torch.tensor([1, 3], dtype=torch.int8)
    args["z_range"] = backend.tensor(torch.tensor([2, 4], dtype=torch.int32))
    for got, w in zip(run(backend, args), want):
        torch.testing.assert_close(got.cpu().to(torch.complex128), w, **TOL)


# ---------------------------------------------------------------------------
# Checks

M = lambda: monitor_args(Monitor((2, 3), 3, 1, ((1, 4), (2, 5), (0, 3))))  # noqa: E731
# Fields with a slot per frequency: Ey and Ez must then have as many.
PER_F = lambda: monitor_args(Monitor((2, 2), 3, 3, ((1, 4), (2, 5), (0, 3))))  # noqa: E731

CHECKS = [
    (M, replace(Ex_acc=lambda a: a["Ex_acc"].real), r"Ex_acc must be complex64, got float32"),
    (M, replace(step_factor=lambda a: a["step_factor"][None]), r"step_factor must be a 1-D tensor"),
    (M, to_meta("Ey"), r"Ey must be on cpu \(the device of Ex_acc\), got meta"),
    # ranges: two numbers each, on the CPU or the accumulators' device
    (M, replace(y_range=torch.tensor([3])), r"y_range must have at least 2 entries, got 1"),
    (M, to_meta("z_range"), r"z_range must be on the CPU or on cpu"),
    # the box inside every field it samples
    (M, replace(x_range=torch.tensor([7, 9])), r"Ex must have extents at least \[2, 3, 10, 7, 5, 1\]"),
    (M, replace(y_range=torch.tensor([5, 8])), r"Ex must have extents at least \[2, 3, 5, 10, 5, 1\]"),
    (M, replace(z_range=torch.tensor([5, 7])), r"Ex must have extents at least"),
    (M, replace(x_range=torch.tensor([-1, 2])), r"the box must start at non-negative indices \(entry 0 of x_range, y_range, z_range\), got first indices \(-1, 2, 0\)"),
    (M, shrink("Ez", 1), r"Ez must have extents at least \[2, 3, "),
    # indices and the launch stay within 32 bits
    (M, replace(x_range=torch.tensor([2**31 - 600, 2**31 - 2])), r"the box \(x_range, y_range, z_range\) must end below index 2147483647, got an end at 2147483648"),
    (M, replace(x_range=torch.tensor([0, 1998]), y_range=torch.tensor([0, 1998]), z_range=torch.tensor([0, 998])),
     r"the number of box positions MX\*MY\*MZ \(x_range, y_range, z_range\) must be at most 2147483392, got 4000000000"),
    # ... and no larger than its accumulators
    (M, shrink("Ey_acc", 3), r"Ey_acc must have extents at least \[2, 3, 5, 4, 5, 3\] \[B0, B1, MX, MY-1, MZ, F\]"),
    (M, shrink("Ez_acc", 1), r"Ez_acc must have extents at least"),
    (M, shrink("Ex_acc", 2), r"Ex_acc must have extents at least \[2, 3, 4, 5, 5, 3\]"),
    # the slot rule decided from Ex holds for Ey and Ez
    (PER_F, shrink("Ey", 5), r"Ey must have extents at least \[2, 2, 6, 6, 5, 3\] .*each reads its own"),
    (PER_F, shrink("Ez", 5, by=2), r"Ez must have extents at least .*, 3\]"),
    (M, shrink("Ez", 5), r"Ez must have extents at least \[2, 3, 6, 7, 4, 1\] .*all read slot 0"),
    (M, shrink("step_factor", 0), r"step_factor must have extents at least \[3\] \(one factor per frequency of Ex_acc\)"),
    (M, replace(Ez_acc=lambda a: a["Ex_acc"].view(-1)[: a["Ez_acc"].numel()].view_as(a["Ez_acc"])), r"Ex_acc is written, so it must not share memory with Ez_acc"),
    (M, replace(Ex_acc=lambda a: torch.zeros((), dtype=C64).expand_as(a["Ex_acc"])), r"Ex_acc is written, so no two"),
]


@pytest.mark.parametrize("build, breakage, pattern", CHECKS)
def test_bad_monitor_argument_is_named_and_nothing_changes(build, breakage, pattern):
    import OrvaneCPU

    args = build()
    breakage(args)
    expect_refused(OrvaneCPU, "Monitor_Update_E", args, f"^Monitor_Update_E: {pattern}")


def test_empty_box_returns_without_looking_further():
    import OrvaneCPU

    args = M()
    args["x_range"] = torch.tensor([7, 4])  # MX = -1
    args["step_factor"] = args["step_factor"][:1]  # would be too short for a real box
    before = {n: t.clone() for n, t in args.items()}
    OrvaneCPU.Monitor_Update_E(*args.values())
    for n, t in before.items():
        assert torch.equal(args[n], t), n


@pytest.mark.skipif(torch.cuda.is_available(), reason="this machine has CUDA")
def test_cuda_module_without_cuda_says_so_first():
    import Orvane

    expect_refused(Orvane, "Monitor_Update_E", M(), r"^Monitor_Update_E: CUDA not available\.$")
