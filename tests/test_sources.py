"""Plane-wave and current injection against the float64 reference, the
written positions by hand, and every check the three functions make."""
from dataclasses import dataclass
from typing import Tuple

import pytest
import torch

import reference as ref
from breakage import expect_refused, replace, retype, shrink, to_meta
from layouts import LAYOUTS, device_copy

C64 = torch.complex64
TOL = dict(atol=2e-6, rtol=2e-6)


def _randn(gen, *shape, dtype=torch.float32):
    return torch.randn(*shape, generator=gen, dtype=dtype)


# ---------------------------------------------------------------------------
# Plane waves


@dataclass(frozen=True)
class Plane:
    batch: Tuple[int, int, int]  # B0, B1, B2
    plane: Tuple[int, int]  # NX, NY
    margins: Tuple[int, int]
    k: int = 1
    nz: int = 4  # z extent of the fields
    extra: int = 0  # surplus entries where no size is read


def plane_args(electric: bool, case: Plane, seed: int = 0) -> dict:
    """A valid call: Inject_E takes NX from Ex and NY from Ey, Inject_H from
    prof_x and prof_y, so those extents stay exact and the rest grows."""
    g = torch.Generator().manual_seed(seed)
    (B0, B1, B2), (NX, NY), x = case.batch, case.plane, case.extra
    half = B2 - B2 // 2
    if electric:
        fx = (B0, B1, NX, NY + 1 + x, case.nz, B2)
        fy = (B0 + x, B1 + x, NX + 1 + x, NY, case.nz, B2 + x)
        px = py = (B0 + x, NX + x, NY + x, half + x)
    else:
        fx = (B0, B1, NX + x, NY + x, case.nz, B2)
        fy = (B0 + x, B1 + x, NX + x, NY + x, case.nz, B2 + x)
        px, py = (B0 + x, NX, NY + x, half + x), (B0 + x, NX + x, NY, half + x)
    names = ("Ex", "Ey") if electric else ("Hx", "Hy")
    return {
        names[0]: _randn(g, *fx),
        names[1]: _randn(g, *fy),
        "cz": torch.rand(case.nz + x, generator=g) + 0.5,
        "amp_x": _randn(g, B0 + x, half + x, dtype=C64),
        "amp_y": _randn(g, B0 + x, half + x, dtype=C64),
        "prof_x": _randn(g, *px, dtype=C64),
        "prof_y": _randn(g, *py, dtype=C64),
        "margins": torch.tensor(case.margins),
        "k": case.k,
    }


INJECT = [pytest.param(True, id="Inject_E"), pytest.param(False, id="Inject_H")]


def run_plane(backend, electric, args, layout=None):
    dev = {n: device_copy(backend, t, layout) if isinstance(t, torch.Tensor) and n != "margins"
           else t for n, t in args.items()}
    getattr(backend.module, "Inject_E" if electric else "Inject_H")(*dev.values())
    return list(dev.values())[:2]


def expect_plane(electric, args):
    a = list(args.values())
    return ref.inject_plane(electric, *a[:7], args["margins"].tolist(), args["k"])


PLANES = {
    "B2=2": Plane((2, 3, 2), (7, 6), (1, 2)),
    "B2=4, no margins": Plane((2, 2, 4), (5, 4), (0, 0), k=0),
    "odd B2=3": Plane((2, 3, 3), (6, 5), (1, 0), k=2),
    "B2=1, imaginary only": Plane((3, 2, 1), (5, 6), (0, 1)),
    "oversized sources": Plane((2, 2, 3), (6, 7), (2, 1), extra=1),
    # Inject_E writes the fields' last z index and reads cz's last entry
    "last z index": Plane((2, 2, 2), (5, 4), (0, 0), k=2),
    # 2 * m_x >= NX: empty rectangle, nothing changes
    "empty rectangle": Plane((2, 2, 2), (6, 5), (3, 0)),
    "margin beyond the plane": Plane((2, 2, 2), (6, 5), (0, 9)),
    # 2000 plane positions: several blocks, the last one partial
    "large plane": Plane((2, 2, 2), (50, 40), (3, 4), k=0),
}


@pytest.mark.parametrize("electric", INJECT)
@pytest.mark.parametrize("case", PLANES.values(), ids=PLANES.keys())
def test_plane_injection_matches_reference(backend, electric, case):
    args = plane_args(electric, case)
    got = run_plane(backend, electric, args)
    for g, w in zip(got, expect_plane(electric, args)):
        torch.testing.assert_close(g.cpu().double(), w, **TOL)


@pytest.mark.parametrize("electric", INJECT)
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_plane_injection_through_non_contiguous_views(backend, electric, layout):
    args = plane_args(electric, PLANES["odd B2=3"], seed=1)
    got = run_plane(backend, electric, args, layout)
    for g, w in zip(got, expect_plane(electric, args)):
        torch.testing.assert_close(g.cpu().double(), w, **TOL)


@pytest.mark.parametrize("margins", [(0, 0), (1, 2)])
@pytest.mark.parametrize("electric", INJECT)
def test_written_plane_index_and_margin_rows(backend, electric, margins):
    # Unit data (amplitude 1 + 1i, profile 1, coefficient 1) on zero fields:
    # every written element becomes ±1, and nothing else moves.
    NX, NY, k, (mx, my) = 6, 5, 1, margins
    args = plane_args(electric, Plane((2, 2, 2), (NX, NY), margins, k=k))
    for name in list(args)[:2]:
        args[name].zero_()
    args["cz"].fill_(1.0)
    for name in ("amp_x", "amp_y"):
        args[name].fill_(1 + 1j)
    for name in ("prof_x", "prof_y"):
        args[name].fill_(1.0)
    fx, fy = run_plane(backend, electric, args)

    kz = k + 1 if electric else k
    want_x, want_y = torch.zeros_like(fx.cpu()), torch.zeros_like(fy.cpu())
    # Inject_E: Ex += on j > m_y, Ey -= on i > m_x; Inject_H: Hx -= on
    # i > m_x, Hy += on j > m_y; all inside m <= index < N - m.
    x_from, y_from = ((mx, my + 1), (mx + 1, my)) if electric else ((mx + 1, my), (mx, my + 1))
    sign = 1.0 if electric else -1.0
    want_x[:, :, x_from[0]:NX - mx, x_from[1]:NY - my, kz] = sign
    want_y[:, :, y_from[0]:NX - mx, y_from[1]:NY - my, kz] = -sign
    assert torch.equal(fx.cpu(), want_x)
    assert torch.equal(fy.cpu(), want_y)


def test_margins_and_k_are_read_from_any_numeric_dtype(backend):
    base = plane_args(True, PLANES["B2=2"])
    want = expect_plane(True, base)
    for margins in (torch.tensor([1.0, 2.0, 7.0]), torch.tensor([1, 2], dtype=torch.int16),
                    backend.tensor(torch.tensor([1, 2], dtype=torch.int32))):
        args = dict(base, margins=margins)
        got = run_plane(backend, True, args)
        torch.testing.assert_close(got[0].cpu().double(), want[0], **TOL)


# ---------------------------------------------------------------------------
# Current boxes


@dataclass(frozen=True)
class Box:
    batch: Tuple[int, int, int]
    box: Tuple[int, int, int]  # SX, SY, SZ
    offset: Tuple[int, int, int]
    grid: Tuple[int, int, int] = (6, 5, 7)  # field extents: Ex [NX, NY+1, NZ+1] ...
    extra: int = 0  # current tensors larger than the box where no size is read


def current_args(case: Box, seed: int = 0) -> dict:
    g = torch.Generator().manual_seed(seed)
    (B0, B1, B2), (SX, SY, SZ), (NX, NY, NZ), x = case.batch, case.box, case.grid, case.extra
    return {
        "Ex": _randn(g, B0, B1, NX, NY + 1, NZ + 1, B2),
        "Ey": _randn(g, B0, B1, NX + 1, NY, NZ + 1, B2),
        "Ez": _randn(g, B0, B1, NX + 1, NY + 1, NZ, B2),
        "Jx": _randn(g, B0 + x, B1 + x, SX, SY + x, SZ + x, dtype=C64),
        "Jy": _randn(g, B0 + x, B1 + x, SX + x, SY, SZ + x, dtype=C64),
        "Jz": _randn(g, B0 + x, B1 + x, SX + x, SY + x, SZ, dtype=C64),
        "offset": torch.tensor(case.offset),
    }


BOXES = {
    "B2=2": Box((2, 3, 2), (2, 3, 4), (1, 2, 0)),
    "B2=1, imaginary only": Box((2, 2, 1), (3, 2, 2), (0, 0, 3)),
    "odd B2=3": Box((3, 2, 3), (1, 4, 2), (4, 1, 2)),
    "one cell": Box((2, 2, 2), (1, 1, 1), (5, 4, 6)),
    # the box ends on the last index every component has: Ex along x (NX)
    "flush with the far end": Box((2, 2, 2), (6, 5, 7), (0, 0, 0)),
    "oversized currents": Box((2, 2, 2), (2, 2, 3), (1, 1, 1), extra=2),
    "empty box": Box((2, 2, 2), (0, 3, 3), (1, 1, 1)),
}


def run_current(backend, args, layout=None):
    dev = {n: device_copy(backend, t, layout) if n != "offset" else t for n, t in args.items()}
    backend.module.Inject_J(*dev.values())
    return list(dev.values())[:3]


def expect_current(args):
    a = list(args.values())
    return ref.inject_current(*a[:6], args["offset"].tolist())


@pytest.mark.parametrize("case", BOXES.values(), ids=BOXES.keys())
def test_current_injection_matches_reference(backend, case):
    args = current_args(case)
    for g, w in zip(run_current(backend, args), expect_current(args)):
        torch.testing.assert_close(g.cpu().double(), w, **TOL)


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_current_injection_through_non_contiguous_views(backend, layout):
    args = current_args(BOXES["odd B2=3"], seed=2)
    for g, w in zip(run_current(backend, args, layout), expect_current(args)):
        torch.testing.assert_close(g.cpu().double(), w, **TOL)


def test_current_sample_is_subtracted_unscaled_in_both_halves(backend):
    args = current_args(Box((1, 1, 2), (1, 1, 1), (2, 3, 4)))
    for name in ("Ex", "Ey", "Ez"):
        args[name].zero_()
    args["Jx"].fill_(0.25 - 2j)
    ex = run_current(backend, args)[0].cpu()
    assert ex[0, 0, 2, 3, 4].tolist() == [-0.25, 2.0]
    assert torch.count_nonzero(ex) == 2


# ---------------------------------------------------------------------------
# Checks


def _plane(electric, **kw):
    return lambda: plane_args(electric, Plane((2, 3, 2), (6, 5), (1, 1), **kw))


def _plane_b2(b2):
    return lambda: plane_args(True, Plane((2, 3, b2), (6, 5), (1, 1)))


E, H = _plane(True), _plane(False)
J = lambda: current_args(Box((2, 2, 2), (2, 3, 2), (1, 1, 1)))  # noqa: E731

CHECKS = [
    # element types, dimensions, devices
    ("Inject_E", E, retype("amp_x", torch.complex128), r"^Inject_E: amp_x must be complex64, got complex128"),
    ("Inject_H", H, replace(prof_y=lambda a: a["prof_y"][0]), r"^Inject_H: prof_y must be a 4-D tensor"),
    ("Inject_E", E, retype("cz", torch.float64), r"^Inject_E: cz must be float32"),
    ("Inject_H", H, to_meta("amp_y"), r"^Inject_H: amp_y must be on cpu \(the device of Hx\), got meta"),
    ("Inject_J", J, replace(Jy=lambda a: a["Jy"].real), r"^Inject_J: Jy must be complex64, got float32"),
    ("Inject_J", J, to_meta("Ez"), r"^Inject_J: Ez must be on cpu"),
    # margins and offset: numbers, enough of them, on the CPU or the fields' device
    ("Inject_E", E, replace(margins=torch.tensor([1, -1])), r"^Inject_E: margins must not be negative, got \(1, -1\)"),
    ("Inject_H", H, replace(margins=torch.tensor([2])), r"^Inject_H: margins must have at least 2 entries, got 1"),
    ("Inject_E", E, replace(margins=torch.tensor([1j, 1j])), r"^Inject_E: margins must hold integers or reals"),
    ("Inject_H", H, to_meta("margins"), r"^Inject_H: margins must be on the CPU or on cpu \(the device of Hx\)"),
    ("Inject_J", J, replace(offset=torch.tensor([1, 1])), r"^Inject_J: offset must have at least 3 entries, got 2"),
    ("Inject_J", J, replace(offset=torch.tensor([0, -1, 0])), r"^Inject_J: offset must not be negative"),
    # the written z index: inside both fields and cz
    ("Inject_E", E, replace(k=3), r"^Inject_E: k = 3 writes z index 4, but Ex has 4 entries along z"),
    ("Inject_H", H, replace(k=-1), r"^Inject_H: k = -1 writes z index -1, but Hx has 4"),
    ("Inject_H", H, replace(Hy=lambda a: a["Hy"][..., :1, :]), r"^Inject_H: k = 1 writes z index 1, but Hy has 1 entries along z"),
    ("Inject_E", E, shrink("cz", 0, by=2), r"^Inject_E: k = 1 reads cz at z index 2, but cz has 2 entries"),
    # sources and fields covering the injection rectangle (and the imaginary half)
    ("Inject_E", E, shrink("amp_y", 1), r"^Inject_E: amp_y must have extents at least \[2, 1\] \[B0, B2 - B2/2\], got \[2, 0\]"),
    ("Inject_E", _plane_b2(3), shrink("amp_x", 1), r"^Inject_E: amp_x must have extents at least \[2, 2\]"),
    ("Inject_E", _plane_b2(3), shrink("prof_y", 3), r"^Inject_E: prof_y must have extents at least \[2, 5, 4, 2\]"),
    ("Inject_E", E, shrink("prof_x", 2, by=2), r"^Inject_E: prof_x must have extents at least \[2, 5, 4, 1\]"),
    ("Inject_H", H, shrink("prof_y", 1, by=2), r"^Inject_H: prof_y must have extents at least \[2, 5, 4, 1\]"),
    ("Inject_H", H, shrink("amp_x", 0), r"^Inject_H: amp_x must have extents at least"),
    ("Inject_E", E, shrink("Ey", 2, by=3), r"^Inject_E: Ey must have extents at least \[2, 3, 5, 4, 3, 2\]"),
    ("Inject_E", E, shrink("Ex", 3, by=3), r"^Inject_E: Ex must have extents at least \[2, 3, 5, 4, 3, 2\]"),
    # Inject_H takes its plane from the profiles: larger than the fields is refused
    ("Inject_H", H, shrink("Hx", 2, by=2), r"^Inject_H: Hx must have extents at least \[2, 3, 5, 4, 2, 2\]"),
    ("Inject_H", H, shrink("Hy", 3, by=2), r"^Inject_H: Hy must have extents at least"),
    ("Inject_H", H, shrink("Hy", 1), r"^Inject_H: Hy must have extents at least"),
    # the current box at its offset inside every field it writes
    ("Inject_J", J, replace(offset=torch.tensor([5, 0, 0])), r"^Inject_J: Ex must have extents at least \[2, 2, 7, 3, 2, 2\] \[B0, B1, 5 \+ SX, 0 \+ SY, 0 \+ SZ, B2\]"),
    ("Inject_J", J, replace(offset=torch.tensor([0, 0, 6.0])), r"^Inject_J: Ez must have extents at least \[2, 2, 2, 3, 8, 2\]"),
    ("Inject_J", J, shrink("Ey", 3, by=2), r"^Inject_J: Ey must have extents at least \[2, 2, 3, 4, 3, 2\]"),
    ("Inject_J", J, shrink("Ez", 5), r"^Inject_J: Ez must have extents at least"),
    ("Inject_J", J, shrink("Jz", 3), r"^Inject_J: Jz must have extents at least \[2, 2, 2, 3, 2\]"),
    ("Inject_J", J, shrink("Jx", 0), r"^Inject_J: Jx must have extents at least"),
    # written fields never alias
    ("Inject_H", H, replace(Hy=lambda a: a["Hx"]), r"^Inject_H: Hx is written, so it must not share memory with Hy"),
    ("Inject_J", J, replace(Ey=lambda a: a["Ex"].new_zeros(()).expand_as(a["Ey"])), r"^Inject_J: Ey is written, so no two"),
]


@pytest.mark.parametrize("function, build, breakage, pattern", CHECKS)
def test_bad_source_argument_is_named_and_nothing_changes(function, build, breakage, pattern):
    import OrvaneCPU

    args = build()
    breakage(args)
    expect_refused(OrvaneCPU, function, args, pattern)


@pytest.mark.parametrize("function, build", [("Inject_H", H), ("Inject_J", J)])
def test_sizes_beyond_the_sixteen_bit_indices_are_refused(function, build):
    import OrvaneCPU

    args = build()
    if function == "Inject_H":  # the plane from the profiles
        args["prof_x"] = torch.zeros((), dtype=C64).expand(2, 70000, 5, 1)
        pattern = r"grid size NX must be at most 65535, got 70000"
    else:  # the box's end, offset included
        args["offset"] = torch.tensor([65534, 0, 0])
        pattern = r"the box's end along x, offset\[0\] \+ SX, must be at most 65535, got 65536"
    expect_refused(OrvaneCPU, function, args, f"^{function}: {pattern}")


@pytest.mark.skipif(torch.cuda.is_available(), reason="this machine has CUDA")
@pytest.mark.parametrize("function, build", [("Inject_E", E), ("Inject_H", H), ("Inject_J", J)])
def test_cuda_module_without_cuda_says_so_first(function, build):
    import Orvane

    args = build()
    args["cz" if "cz" in args else "Jx"] = torch.zeros(2)  # even before a wrong type
    expect_refused(Orvane, function, args, rf"^{function}: CUDA not available\.$")


@pytest.mark.needs_cuda
def test_cuda_module_refuses_host_fields():
    import Orvane

    with pytest.raises(RuntimeError, match=r"^Inject_J: Ex must be a cuda tensor, got one on cpu"):
        Orvane.Inject_J(*J().values())
