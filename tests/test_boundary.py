"""The periodic pass against the float64 reference, the corner lines where
both passes meet, and its checks."""
from dataclasses import dataclass
from typing import Tuple

import pytest
import torch

import reference as ref
from breakage import expect_refused, replace, retype, shrink, to_meta
from layouts import LAYOUTS, device_copy

TOL = dict(atol=2e-6, rtol=2e-6)


@dataclass(frozen=True)
class Periodic:
    batch: Tuple[int, int, int]  # B0, B1, B2 (= Ex.size(5))
    cells: Tuple[int, int, int]  # NX, NY, NZ
    flags: Tuple[int, int] = (1, 1)
    positive: bool = True


def periodic_args(case: Periodic, seed: int = 0) -> dict:
    g = torch.Generator().manual_seed(seed)
    (B0, B1, B2), (NX, NY, NZ) = case.batch, case.cells
    BC = B2 // 2

    def rnd(*shape):
        return torch.randn(*shape, generator=g)

    # Unit phases e^{iθ}: real parts first, then imaginary parts.
    theta = 2 * torch.pi * torch.rand(B0, max(BC, 0), generator=g)
    return {
        "Ex": rnd(B0, B1, NX, NY + 1, NZ + 1, B2),
        "Ey": rnd(B0, B1, NX + 1, NY, NZ + 1, B2),
        "Ez": rnd(B0, B1, NX + 1, NY + 1, NZ, B2),
        "phase_x": torch.cat([theta.cos(), theta.sin()], dim=1),
        "phase_y": torch.cat([(2 * theta).cos(), (2 * theta).sin()], dim=1),
        "periodic_flags": torch.tensor(case.flags, dtype=torch.int32),
        "positive_phase": case.positive,
    }


def run(backend, args, layout=None):
    # The flags stay a plain int32 vector; the rest takes the layout.
    dev = {n: device_copy(backend, t, None if n == "periodic_flags" else layout)
           if isinstance(t, torch.Tensor) else t for n, t in args.items()}
    backend.module.Update_E_Periodic(*dev.values())
    return dev["Ex"], dev["Ey"], dev["Ez"]


def expected(args):
    a = dict(args)
    a["periodic_flags"] = a["periodic_flags"].tolist()
    return ref.periodic(*a.values())


CASES = {
    "both passes": Periodic((2, 3, 4), (5, 4, 3)),
    "negative phase": Periodic((2, 2, 2), (4, 6, 5), positive=False),
    "x pass only": Periodic((2, 2, 2), (4, 3, 3), flags=(1, 0)),
    "y pass only": Periodic((3, 2, 2), (4, 3, 3), flags=(0, -7)),
    "no pass": Periodic((2, 2, 2), (4, 3, 3), flags=(0, 0)),
    # 2·BC + 1 slots: the last one is never read or written
    "odd B2": Periodic((2, 2, 5), (3, 4, 2)),
    # B2 = 1 holds no complex entry: nothing to do
    "B2=1": Periodic((2, 2, 1), (3, 4, 2)),
    # both ghost layers derived from layer 1
    "NX=NY=2": Periodic((2, 2, 2), (2, 2, 3)),
    # an axis of one cell has nothing to mirror: its pass is skipped
    "NX=1": Periodic((2, 2, 2), (1, 4, 3)),
    "NY=0": Periodic((2, 2, 2), (3, 0, 3)),
    # (NY+1)·(NZ+1) = 861 face positions: several blocks
    "large faces": Periodic((2, 2, 2), (30, 20, 40)),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_periodic_pass_matches_reference(backend, case):
    args = periodic_args(case)
    for got, want in zip(run(backend, args), expected(args)):
        torch.testing.assert_close(got.cpu().double(), want, **TOL)


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_periodic_pass_through_non_contiguous_views(backend, layout):
    args = periodic_args(CASES["odd B2"], seed=3)
    for got, want in zip(run(backend, args, layout), expected(args)):
        torch.testing.assert_close(got.cpu().double(), want, **TOL)


@pytest.mark.parametrize("positive", [True, False])
def test_corner_lines_carry_the_product_of_both_phases(backend, positive):
    # Ez on the lines x ∈ {0, NX}, y ∈ {0, NY}: the y pass reads what the x
    # pass wrote. Checked here by hand, not through the reference.
    NX, NY = 4, 5
    args = periodic_args(Periodic((2, 1, 2), (NX, NY, 3), positive=positive), seed=4)
    _, _, ez = run(backend, args)
    z = torch.complex(args["Ez"][..., 0], args["Ez"][..., 1]).to(torch.complex128)
    got = torch.complex(ez[..., 0], ez[..., 1]).cpu().to(torch.complex128)
    sign = 1 if positive else -1
    for b0 in range(2):
        wx = complex(args["phase_x"][b0, 0], sign * args["phase_x"][b0, 1])
        wy = complex(args["phase_y"][b0, 0], sign * args["phase_y"][b0, 1])
        for (x, y), (sx, sy), factor in (
            ((0, 0), (NX - 1, NY - 1), wy * wx),
            ((NX, 0), (1, NY - 1), wy * wx.conjugate()),
            ((0, NY), (NX - 1, 1), wy.conjugate() * wx),
            ((NX, NY), (1, 1), (wy * wx).conjugate()),
        ):
            torch.testing.assert_close(got[b0, 0, x, y], factor * z[b0, 0, sx, sy], **TOL)


def test_quarter_phase_swaps_real_and_imaginary_parts(backend):
    # c = 0, s0 = 1: ghost 0 gets (-im, re) of layer NX-1, ghost NX (im, -re) of layer 1.
    args = periodic_args(Periodic((1, 1, 2), (3, 2, 2), flags=(1, 0)))
    args["phase_x"] = torch.tensor([[0.0, 1.0]])
    _, ey, _ = run(backend, args)
    old = args["Ey"]
    assert torch.equal(ey[0, 0, 0].cpu(), torch.stack([-old[0, 0, 2, ..., 1], old[0, 0, 2, ..., 0]], -1))
    assert torch.equal(ey[0, 0, 3].cpu(), torch.stack([old[0, 0, 1, ..., 1], -old[0, 0, 1, ..., 0]], -1))


def test_flags_may_live_on_the_device_and_are_never_read_on_the_host():
    import OrvaneCPU

    # A flag tensor larger than two entries, non-contiguous: entries 0 and 2 of the buffer.
    args = periodic_args(Periodic((2, 2, 2), (3, 3, 3)))
    args["periodic_flags"] = torch.tensor([1, 99, 0, 99], dtype=torch.int32)[::2]
    want = expected(dict(args, periodic_flags=torch.tensor([1, 0])))
    OrvaneCPU.Update_E_Periodic(*args.values())
    for got, w in zip((args["Ex"], args["Ey"], args["Ez"]), want):
        torch.testing.assert_close(got.double(), w, **TOL)


# ---------------------------------------------------------------------------
# Checks

P = lambda: periodic_args(Periodic((2, 3, 4), (4, 3, 2)))  # noqa: E731

CHECKS = [
    (replace(Ex=lambda a: a["Ex"][..., 0]), r"Ex must be a 6-D tensor"),
    (retype("phase_y", torch.float64), r"phase_y must be float32, got float64"),
    (retype("periodic_flags", torch.int64), r"periodic_flags must be int32, got int64"),
    # the flags must live with the fields, where the kernels read them
    (to_meta("periodic_flags"), r"periodic_flags must be on cpu \(the device of Ex\), got meta"),
    (shrink("periodic_flags", 0), r"periodic_flags must have extents at least \[2\] \(x pass, y pass\), got \[1\]"),
    (shrink("phase_x", 1), r"phase_x must have extents at least \[2, 4\] \[B0, 2\*BC\], got \[2, 3\]"),
    (shrink("phase_y", 0), r"phase_y must have extents at least \[2, 4\]"),
    (shrink("Ey", 2), r"Ey must have extents at least \[2, 3, 5, 3, 3, 4\]"),
    (shrink("Ez", 3), r"Ez must have extents at least \[2, 3, 5, 4, 2, 4\]"),
    (shrink("Ez", 5), r"Ez must have extents at least"),
    (shrink("Ex", 3), r"Ex must have extents at least \[2, 3, 4, 4, 3, 4\]"),  # NY comes from Ey
    (replace(Ez=lambda a: a["Ex"].new_zeros(()).expand_as(a["Ez"])), r"Ez is written, so no two"),
    (replace(phase_x=lambda a: a["Ey"].view(-1)[:8].view(2, 4)), r"Ey is written, so it must not share memory with phase_x"),
]


@pytest.mark.parametrize("breakage, pattern", CHECKS)
def test_bad_periodic_argument_is_named_and_nothing_changes(breakage, pattern):
    import OrvaneCPU

    args = P()
    breakage(args)
    expect_refused(OrvaneCPU, "Update_E_Periodic", args, f"^Update_E_Periodic: {pattern}")


@pytest.mark.skipif(torch.cuda.is_available(), reason="this machine has CUDA")
def test_cuda_module_without_cuda_says_so_first():
    import Orvane

    args = P()
    expect_refused(Orvane, "Update_E_Periodic", args, r"^Update_E_Periodic: CUDA not available\.$")


@pytest.mark.needs_cuda
def test_flags_on_the_host_are_refused_by_the_cuda_module():
    import Orvane

    args = {n: t.cuda() if isinstance(t, torch.Tensor) else t for n, t in P().items()}
    args["periodic_flags"] = args["periodic_flags"].cpu()
    with pytest.raises(RuntimeError, match=r"^Update_E_Periodic: periodic_flags must be on cuda"):
        Orvane.Update_E_Periodic(*args.values())
