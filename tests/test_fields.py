"""Numerical tests of the magnetic and electric field updates.

Inputs are float32 tensors built on the CPU and moved to the backend's
device; results are compared with the float64 reference (tests/reference.py)
within tolerances, never bit for bit. Argument checking lives elsewhere.
"""
import math
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence, Tuple

import pytest
import torch

import reference as ref

F32 = torch.float32
ATOL = RTOL = 2e-5


# ---------------------------------------------------------------------------
# Problem builders


@dataclass(frozen=True)
class Case:
    batch: Tuple[int, int, int]  # B0, B1, B2
    cells: Tuple[int, int, int]  # NX, NY, NZ
    layer_cells: Tuple[int, int, int]  # values passed in layer_cells
    slots: Optional[Tuple[int, int, int]] = None  # auxiliary slots; 2L by default
    extra: int = 0  # surplus entries on every extent not used to derive a size

    def aux_slots(self) -> Tuple[int, ...]:
        if self.slots is not None:
            return self.slots
        return tuple(2 * max(L, 0) + self.extra for L in self.layer_cells)


@dataclass(frozen=True)
class Func:
    name: str  # module attribute
    build: Callable[[Case, torch.Generator], List[torch.Tensor]]
    reference: Callable
    updated: Tuple[int, ...]  # positions of the tensors the update writes


def _uniform(shape, lo, hi, gen) -> torch.Tensor:
    return torch.rand(shape, generator=gen, dtype=F32) * (hi - lo) + lo


def _shapes(case: Case):
    """Extents of the fields (E then H), auxiliaries, grids and 1-D arrays."""
    (B0, B1, B2), (NX, NY, NZ), x = case.batch, case.cells, case.extra
    # Ex defines B0, B1, NX, B2; Ey defines NY; Ez defines NZ: those stay exact.
    e_shapes = [
        (B0, B1, NX, NY + 1 + x, NZ + 1 + x, B2),
        (B0 + x, B1 + x, NX + 1 + x, NY, NZ + 1 + x, B2 + x),
        (B0 + x, B1 + x, NX + 1 + x, NY + 1 + x, NZ, B2 + x),
    ]
    h_shape = (B0 + x, B1 + x, NX + x, NY + x, NZ + x, B2 + x)
    aux_shapes = []
    for axis, s in enumerate(case.aux_slots()):
        shape = [B0 + x, B1 + x, NX + x, NY + x, NZ + x, 2, B2 + x]
        shape[2 + axis] = s
        aux_shapes.append(tuple(shape))
    grid_shape = (B1 + x, NX + x, NY + x, NZ + x)
    return e_shapes, h_shape, aux_shapes, grid_shape, [n + x for n in case.cells]


def build_h(case: Case, gen: torch.Generator) -> List[torch.Tensor]:
    e_shapes, h_shape, aux_shapes, _, lengths = _shapes(case)
    slots = case.aux_slots()
    return (
        [_uniform(h_shape, -1, 1, gen) for _ in range(3)]
        + [_uniform(s, -1, 1, gen) for s in e_shapes]
        + [_uniform((n,), 0.2, 0.6, gen) for n in lengths]
        + [_uniform(s, -0.2, 0.2, gen) for s in aux_shapes]
        + [_uniform((s,), 0.0, 1.0, gen) for s in slots]
        + [_uniform((s,), -0.5, 0.0, gen) for s in slots]
    )


def build_e(case: Case, gen: torch.Generator) -> List[torch.Tensor]:
    e_shapes, h_shape, aux_shapes, grid_shape, lengths = _shapes(case)
    slots = case.aux_slots()
    return (
        [_uniform(s, -1, 1, gen) for s in e_shapes]
        + [_uniform(h_shape, -1, 1, gen) for _ in range(3)]
        + [_uniform(grid_shape, 0.9, 1.1, gen) for _ in range(3)]
        + [_uniform(grid_shape, 0.0, 0.2, gen) for _ in range(3)]
        + [_uniform((n,), 0.2, 0.6, gen) for n in lengths]
        + [_uniform(s, -0.2, 0.2, gen) for s in aux_shapes]
        + [_uniform((s,), 0.0, 1.0, gen) for s in slots]
        + [_uniform((s,), -0.5, 0.0, gen) for s in slots]
    )


UPDATE_H = Func("Update_H", build_h, ref.update_h, (0, 1, 2, 9, 10, 11))
UPDATE_E = Func("Update_E", build_e, ref.update_e, (0, 1, 2, 15, 16, 17))
FUNCS = [pytest.param(UPDATE_H, id="H"), pytest.param(UPDATE_E, id="E")]
UPDATED_NAMES = {
    "Update_H": ("Hx", "Hy", "Hz", "hpsi_x", "hpsi_y", "hpsi_z"),
    "Update_E": ("Ex", "Ey", "Ez", "epsi_x", "epsi_y", "epsi_z"),
}


def spare() -> torch.Tensor:
    # Never read: any dtype, shape and device will do.
    return torch.arange(5, dtype=torch.int64)


def device_copy(backend, t: torch.Tensor) -> torch.Tensor:
    """A fresh contiguous copy on the backend's device (on the CPU,
    ``Tensor.to`` would hand back the input itself)."""
    return backend.tensor(t.contiguous().clone())


def layer_tensor(backend, layer_cells: Sequence[int]) -> torch.Tensor:
    return backend.tensor(torch.tensor(layer_cells, dtype=torch.int32))


def run_module(backend, func: Func, dev_args: List[torch.Tensor], layer_cells) -> None:
    getattr(backend.module, func.name)(*dev_args, layer_tensor(backend, layer_cells), spare())


def expected(func: Func, args: List[torch.Tensor], layer_cells):
    return func.reference(*[a.double() for a in args], layer_cells)


def assert_matches(func: Func, actual, want, atol=ATOL, rtol=RTOL) -> None:
    for name, a, w in zip(UPDATED_NAMES[func.name], actual, want):
        torch.testing.assert_close(a.cpu().double(), w, atol=atol, rtol=rtol, msg=lambda m: f"{name}: {m}")


def check_against_reference(backend, func, case, seed, layout=lambda t: t):
    gen = torch.Generator().manual_seed(seed)
    args = func.build(case, gen)
    dev = [layout(device_copy(backend, a)) for a in args]
    run_module(backend, func, dev, case.layer_cells)
    assert_matches(func, [dev[i] for i in func.updated], expected(func, args, case.layer_cells))


# ---------------------------------------------------------------------------
# Random data against the reference

CASES = {
    # 693 cells: several blocks and a partial one; layers on all six faces,
    # overlapping at the edges and corners.
    "all-faces": Case((2, 3, 2), (11, 9, 7), (3, 2, 2)),
    "no-x-layer": Case((2, 2, 3), (6, 8, 7), (0, 2, 3)),
    "layers-overlap-2L-above-N": Case((2, 1, 2), (5, 3, 4), (3, 2, 3)),
    "no-layers": Case((1, 2, 3), (4, 6, 5), (0, 0, 0)),
    "single-cell-axis": Case((2, 2, 2), (1, 5, 6), (0, 2, 1)),
    "single-layer-cell": Case((1, 2, 2), (4, 3, 5), (1, 1, 1)),
    # Every tensor larger than its extents (auxiliaries with a spare slot
    # too): sizes come from Ex, Ey, Ez, the high-layer slot from 2L.
    "oversized-tensors": Case((2, 2, 2), (7, 6, 5), (2, 2, 1), extra=1),
}


@pytest.mark.parametrize("func", FUNCS)
@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_update_matches_reference(backend, func, case):
    check_against_reference(backend, func, case, seed=1)


def _every_other_trailing(t: torch.Tensor) -> torch.Tensor:
    buf = torch.full((*t.shape[:-1], 2 * t.shape[-1]), math.nan, dtype=t.dtype, device=t.device)
    view = buf[..., 1::2]
    view.copy_(t)
    return view


def _reversed_storage(t: torch.Tensor) -> torch.Tensor:
    order = tuple(reversed(range(t.dim())))
    return t.permute(order).contiguous().permute(order)


def _inside_larger_buffer(t: torch.Tensor) -> torch.Tensor:
    buf = torch.full([s + 3 for s in t.shape], math.nan, dtype=t.dtype, device=t.device)
    view = buf[tuple(slice(2, 2 + s) for s in t.shape)]
    view.copy_(t)
    return view


LAYOUTS = {
    "every-other-trailing-entry": _every_other_trailing,
    "reversed-storage-order": _reversed_storage,
    "slice-of-larger-buffer": _inside_larger_buffer,
}


@pytest.mark.parametrize("func", FUNCS)
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_non_contiguous_views_are_updated_in_place(backend, func, layout):
    check_against_reference(backend, func, CASES["all-faces"], seed=2, layout=layout)


@pytest.mark.parametrize("func", FUNCS)
def test_batch_entries_are_independent(backend, func):
    case = Case((2, 3, 2), (5, 4, 3), (2, 1, 1))
    args = func.build(case, torch.Generator().manual_seed(3))
    whole = [device_copy(backend, a) for a in args]
    run_module(backend, func, whole, case.layer_cells)

    B0, B1, B2 = case.batch
    for b0 in range(B0):
        for b1 in range(B1):
            for b2 in range(B2):
                one = []
                for a in args:
                    if a.dim() in (6, 7):  # fields and auxiliaries
                        a = a[b0 : b0 + 1, b1 : b1 + 1, ..., b2 : b2 + 1]
                    elif a.dim() == 4:  # coefficient grids
                        a = a[b1 : b1 + 1]
                    one.append(device_copy(backend, a))
                run_module(backend, func, one, case.layer_cells)
                for i in func.updated:
                    got = whole[i][b0 : b0 + 1, b1 : b1 + 1, ..., b2 : b2 + 1]
                    torch.testing.assert_close(got, one[i], atol=1e-6, rtol=1e-6)


EMPTY = {
    "B0=0": Case((0, 2, 2), (3, 4, 5), (1, 1, 1)),
    "B1=0": Case((2, 0, 2), (3, 4, 5), (1, 1, 1)),
    "B2=0": Case((2, 2, 0), (3, 4, 5), (1, 1, 1)),
    "NX=0": Case((2, 2, 2), (0, 4, 5), (0, 1, 1)),
    "NY=0": Case((2, 2, 2), (3, 0, 5), (1, 0, 1)),
    "NZ=0": Case((2, 2, 2), (3, 4, 0), (1, 1, 0)),
}


@pytest.mark.parametrize("func", FUNCS)
@pytest.mark.parametrize("case", EMPTY.values(), ids=EMPTY.keys())
def test_empty_grid_or_batch_changes_nothing(backend, func, case):
    args = func.build(case, torch.Generator().manual_seed(4))
    dev = [device_copy(backend, a) for a in args]
    run_module(backend, func, dev, case.layer_cells)
    for before, after in zip(args, dev):
        assert torch.equal(before, after.cpu())


# ---------------------------------------------------------------------------
# Hand-computed point values


def _zeros_h_problem(cells):
    case = Case((1, 1, 1), cells, (0, 0, 0))
    args = [torch.zeros_like(a) for a in build_h(case, torch.Generator().manual_seed(0))]
    for axis in range(3):  # a distinct curl coefficient per axis and index
        args[6 + axis] = torch.arange(cells[axis], dtype=F32) + 1.5 + 10 * axis
    return case, args


# (i0, j0, k0) of the single Ez value; NX, NY, NZ = 4, 5, 3. Ez spans NX+1 by NY+1.
EZ_POINTS = {
    "interior": (2, 3, 1),
    "i0=0": (0, 2, 2),
    "j0=0": (1, 0, 0),
    "i0=NX": (4, 2, 1),
    "j0=NY": (3, 5, 2),
}


@pytest.mark.parametrize("point", EZ_POINTS.values(), ids=EZ_POINTS.keys())
def test_single_ez_value_gives_hand_computed_h(backend, point):
    cells = (4, 5, 3)
    case, args = _zeros_h_problem(cells)
    i0, j0, k0 = point
    v = 0.75
    args[5][0, 0, i0, j0, k0, 0] = v
    ch_x, ch_y = args[6], args[7]

    want = [torch.zeros(1, 1, *cells, 1, dtype=torch.float64) for _ in range(3)]
    NX, NY, _ = cells
    if i0 < NX and j0 < NY:
        want[0][0, 0, i0, j0, k0, 0] += ch_y[j0].item() * v
        want[1][0, 0, i0, j0, k0, 0] -= ch_x[i0].item() * v
    if i0 < NX and j0 >= 1:
        want[0][0, 0, i0, j0 - 1, k0, 0] -= ch_y[j0 - 1].item() * v
    if i0 >= 1 and j0 < NY:
        want[1][0, 0, i0 - 1, j0, k0, 0] += ch_x[i0 - 1].item() * v

    dev = [device_copy(backend, a) for a in args]
    run_module(backend, UPDATE_H, dev, case.layer_cells)
    reference = expected(UPDATE_H, args, case.layer_cells)
    for c in range(3):
        torch.testing.assert_close(dev[c].cpu().double(), want[c], atol=1e-6, rtol=1e-6)
        torch.testing.assert_close(reference[c], want[c], atol=1e-12, rtol=0)


# (i0, j0, k0) of the single Hz value; NX, NY, NZ = 4, 5, 3.
HZ_POINTS = {
    "interior": (1, 2, 1),
    "j0=0": (2, 0, 2),
    "j0=NY-1": (1, 4, 1),
    "i0=0": (0, 3, 2),
    "i0=NX-1": (3, 1, 1),
    "k0=0": (2, 2, 0),
}


@pytest.mark.parametrize("grids", ["one-zero", "equal"])
@pytest.mark.parametrize("point", HZ_POINTS.values(), ids=HZ_POINTS.keys())
def test_single_hz_value_gives_hand_computed_e(backend, point, grids):
    cells = (4, 5, 3)
    NX, NY, NZ = cells
    case = Case((1, 1, 1), cells, (0, 0, 0))
    args = build_e(case, torch.Generator().manual_seed(5))  # random old E values
    for c in range(3, 6):
        args[c].zero_()
    if grids == "one-zero":  # old value kept
        for c in range(6, 9):
            args[c].fill_(1.0)
            args[c + 3].fill_(0.0)
    else:  # equal grids: old value dropped at every updated node
        for c in range(6, 12):
            args[c].fill_(0.375)
    for axis in range(3):  # a distinct curl coefficient per axis and index
        args[12 + axis] = torch.arange(cells[axis], dtype=F32) + 1.5 + 10 * axis
    i0, j0, k0 = point
    v = -1.25
    args[5][0, 0, i0, j0, k0, 0] = v
    ce_x, ce_y = args[12], args[13]

    want = [args[c].double().clone() for c in range(3)]
    if grids == "equal":
        want[0][0, 0, :NX, 1:NY, 1:NZ, 0] = 0
        want[1][0, 0, 1:NX, :NY, 1:NZ, 0] = 0
        want[2][0, 0, 1:NX, 1:NY, :NZ, 0] = 0
    if k0 >= 1:  # Ex and Ey are never updated at k = 0
        if j0 >= 1:
            want[0][0, 0, i0, j0, k0, 0] += ce_y[j0].item() * v
        if j0 + 1 < NY:
            want[0][0, 0, i0, j0 + 1, k0, 0] -= ce_y[j0 + 1].item() * v
        if i0 >= 1:
            want[1][0, 0, i0, j0, k0, 0] -= ce_x[i0].item() * v
        if i0 + 1 < NX:
            want[1][0, 0, i0 + 1, j0, k0, 0] += ce_x[i0 + 1].item() * v

    dev = [device_copy(backend, a) for a in args]
    run_module(backend, UPDATE_E, dev, case.layer_cells)
    reference = expected(UPDATE_E, args, case.layer_cells)
    for c in range(3):
        torch.testing.assert_close(dev[c].cpu().double(), want[c], atol=1e-6, rtol=1e-6)
        torch.testing.assert_close(reference[c], want[c], atol=1e-12, rtol=0)


# Slot used by each index along a layer's axis (None: outside the layers),
# for (N, L). The electric update starts its low layer at index 1.
SLOT_TABLE = [
    ("H", 5, 2, [0, 1, None, 2, 3]),
    ("H", 5, 3, [0, 1, 2, 4, 5]),  # 2L > N: low wins at index 2
    ("H", 4, 1, [0, None, None, 1]),
    ("H", 3, 0, [None, None, None]),
    ("E", 5, 2, [None, 1, None, 2, 3]),
    ("E", 5, 3, [None, 1, 2, 4, 5]),
    ("E", 4, 1, [None, None, None, 1]),
    ("E", 3, 0, [None, None, None]),
]


@pytest.mark.parametrize("axis", [0, 1, 2], ids=["x", "y", "z"])
@pytest.mark.parametrize("kind,n,L,slots", SLOT_TABLE, ids=[f"{k}-N{n}-L{L}" for k, n, L, _ in SLOT_TABLE])
def test_layer_slot_mapping_with_ramp(backend, axis, kind, n, L, slots):
    """Curl coefficients 0, decay 0, drive (slot + 1), the two fields that
    feed the layer equal to their index along the axis (every difference 1):
    each corrected node then holds ±(slot + 1), face nodes included."""
    func = UPDATE_H if kind == "H" else UPDATE_E
    cells = [3, 2, 4]
    cells[axis] = n
    layers = [0, 0, 0]
    layers[axis] = L
    case = Case((1, 2, 1), tuple(cells), tuple(layers))
    args = [torch.zeros_like(a) for a in func.build(case, torch.Generator().manual_seed(0))]
    a1, a2 = (axis + 1) % 3, (axis + 2) % 3
    if kind == "H":
        src, dst, drive = 3, 0, 15
        feeds = ((a1, +1, a2), (a2, -1, a1))  # (target, sign, source component)
    else:
        src, dst, drive = 3, 0, 21
        feeds = ((a1, -1, a2), (a2, +1, a1))
        args[6].fill_(1.0)  # g = 1 - 0: old values (zero) kept
        args[7].fill_(1.0)
        args[8].fill_(1.0)
    args[drive + axis] = torch.arange(2 * L, dtype=F32) + 1
    for _, _, s in feeds:
        t = args[src + s]
        shape = [1] * 6
        shape[2 + axis] = t.size(2 + axis)
        t.copy_(torch.arange(t.size(2 + axis), dtype=F32).reshape(shape).expand_as(t))

    want = [args[dst + c].double().clone() for c in range(3)]
    want_aux = args[dst + (9 if kind == "H" else 15) + axis].double().clone()
    for i, p in enumerate(slots):
        if p is None:
            continue
        for comp, (target, sign, _) in enumerate(feeds):
            node = want[target][:, :, : cells[0], : cells[1], : cells[2]]
            node.select(2 + axis, i).fill_(sign * (p + 1))
            want_aux.select(2 + axis, p)[..., comp, :] = sign * (p + 1)

    dev = [device_copy(backend, a) for a in args]
    run_module(backend, func, dev, case.layer_cells)
    reference = expected(func, args, case.layer_cells)
    aux_pos = func.updated[3 + axis]
    for c in range(3):
        torch.testing.assert_close(dev[dst + c].cpu().double(), want[c], atol=1e-6, rtol=0)
        torch.testing.assert_close(reference[c], want[c], atol=1e-12, rtol=0)
    torch.testing.assert_close(dev[aux_pos].cpu().double(), want_aux, atol=1e-6, rtol=0)
    torch.testing.assert_close(reference[3 + axis], want_aux, atol=1e-12, rtol=0)


# ---------------------------------------------------------------------------
# Time stepping


def _graded_layer_coefficients(L: int, first: int, curl: float):
    """Decay and drive per slot for a graded absorbing layer; drive carries
    the curl coefficient. Slot 0 / 2L-1 are the outermost cells."""
    b, c = torch.zeros(2 * L), torch.zeros(2 * L)
    alpha = 0.05
    for s in range(2 * L):
        depth = (L - s) / L if s < L else (s - L + 1) / L
        sigma = 2.0 * depth**3
        b[s] = math.exp(-(sigma + alpha))
        c[s] = curl * sigma / (sigma + alpha) * (b[s] - 1.0)
    if first == 1 and L > 0:
        b[0], c[0] = math.nan, math.nan  # electric slot 0: must never be read
    return b, c


def _zero_tangential_faces(Ex, Ey, Ez, cells):
    NX, NY, NZ = cells
    for t, (a, b), (na, nb) in ((Ex, (3, 4), (NY, NZ)), (Ey, (2, 4), (NX, NZ)), (Ez, (2, 3), (NX, NY))):
        t.select(a, 0).zero_()
        t.select(a, na).zero_()
        t.select(b, 0).zero_()
        t.select(b, nb).zero_()


def test_many_steps_follow_the_float64_trajectory(backend):
    batch, cells, layers = (1, 2, 2), (12, 10, 9), (3, 2, 3)
    steps = 60
    courant = 0.5  # below 1/sqrt(3)
    case = Case(batch, cells, layers)
    gen = torch.Generator().manual_seed(6)
    h = build_h(case, gen)
    e = build_e(case, gen)

    # Fields: a smooth pulse in E, H at rest; auxiliaries at rest.
    for t in h[:3] + e[:3]:
        t.zero_()
    x, y, z = (torch.arange(n + 1, dtype=F32) for n in cells)
    r2 = (x[:, None, None] - 6) ** 2 + (y[None, :, None] - 5) ** 2 + (z[None, None, :] - 4) ** 2
    pulse = torch.exp(-r2 / 4.0)
    e[2].copy_(pulse[: cells[0] + 1, : cells[1] + 1, : cells[2]].reshape(1, 1, 13, 11, 9, 1).expand_as(e[2]))
    e[2][:, :, :, :, :, 1] *= -0.5
    e[0].copy_(0.3 * pulse[: cells[0], :, :].reshape(1, 1, 12, 11, 10, 1).expand_as(e[0]))
    _zero_tangential_faces(*e[:3], cells)
    for aux in h[9:12] + e[15:18]:
        aux.zero_()

    # Coefficients: curl Courant/dx everywhere, lossy material differing per b1.
    for k in range(3):
        h[6 + k].fill_(courant)
        e[12 + k].fill_(courant)
        e[6 + k].fill_(1.0)
        e[9 + k] = _uniform(e[9 + k].shape, 0.0, 0.02, gen)
        e[9 + k][1] *= 2
        h[12 + k], h[15 + k] = _graded_layer_coefficients(layers[k], 0, courant)
        e[18 + k], e[21 + k] = _graded_layer_coefficients(layers[k], 1, courant)

    # Float64 trajectory: H, E, hpsi, epsi evolve; the rest is fixed.
    H64, E64 = [t.double() for t in h[:3]], [t.double() for t in e[:3]]
    hpsi64, epsi64 = [t.double() for t in h[9:12]], [t.double() for t in e[15:18]]
    ch64, hlayer64 = [t.double() for t in h[6:9]], [t.double() for t in h[12:18]]
    egrid64, elayer64 = [t.double() for t in e[6:15]], [t.double() for t in e[18:24]]
    # Module trajectory: one device tensor per field, shared by both calls.
    hd = [device_copy(backend, t) for t in h]
    ed = [device_copy(backend, t) for t in e]
    ed[3:6], hd[3:6] = hd[0:3], ed[0:3]

    start = max(float(t.abs().max()) for t in E64)
    for _ in range(steps):
        out = ref.update_h(*H64, *E64, *ch64, *hpsi64, *hlayer64, layers)
        H64, hpsi64 = list(out[:3]), list(out[3:])
        out = ref.update_e(*E64, *H64, *egrid64, *epsi64, *elayer64, layers)
        E64, epsi64 = list(out[:3]), list(out[3:])
        _zero_tangential_faces(*E64, cells)

        run_module(backend, UPDATE_H, hd, layers)
        run_module(backend, UPDATE_E, ed, layers)
        _zero_tangential_faces(*ed[:3], cells)

    peak = max(float(t.abs().max()) for t in E64 + H64)
    assert 1e-2 * start < peak < 10 * start  # neither blown up nor gone
    got = hd[:3] + ed[:3] + hd[9:12] + ed[15:18]
    for g, want in zip(got, H64 + E64 + hpsi64 + epsi64):
        torch.testing.assert_close(g.cpu().double(), want, atol=1e-4 * peak, rtol=0)


# ---------------------------------------------------------------------------
# Thickness guard: layer_cells that do not fit the auxiliaries or the grid


GUARD_CASES = {
    # layer_cells, auxiliary slots -> thickness used along each axis
    "above-auxiliary-slots": ((5, 3, 9), (4, 2, 4)),  # 2, 1, 2
    "odd-slot-count": ((3, 3, 3), (5, 3, 3)),  # 2, 1, 1
    "equal-to-grid": ((4, 5, 3), (8, 10, 6)),  # L = N
    "beyond-grid": ((6, 7, 9), (12, 14, 18)),  # L > N
    "negative": ((-1, -3, -(2**31)), (2, 4, 0)),  # no layers
    "largest-int32": ((2**31 - 1,) * 3, (4, 6, 2)),  # 2, 3, 1
    "no-slots": ((2, 2, 2), (0, 0, 0)),  # no layers
}
SENTINEL_F32 = math.nan
SENTINEL_I32 = 7


@dataclass
class Fenced:
    """A tensor copied into the middle of a buffer padded by `pad` on
    every side of every dimension, the padding filled with a sentinel
    (NaN for floats, so that a stray read shows up in the results too)."""

    view: torch.Tensor
    buf: torch.Tensor
    pad_mask: torch.Tensor

    @classmethod
    def around(cls, t: torch.Tensor, pad: int) -> "Fenced":
        fill = SENTINEL_F32 if t.is_floating_point() else SENTINEL_I32
        buf = torch.full([s + 2 * pad for s in t.shape], fill, dtype=t.dtype)
        inside = tuple(slice(pad, pad + s) for s in t.shape)
        mask = torch.ones(buf.shape, dtype=torch.bool)
        mask[inside] = False
        view = buf[inside]
        view.copy_(t)
        return cls(view, buf, mask)

    def padding_bits(self) -> torch.Tensor:
        bits = self.buf.view(torch.int32) if self.buf.dtype == F32 else self.buf
        return bits[self.pad_mask].clone()


@pytest.mark.parametrize("func", FUNCS)
@pytest.mark.parametrize("layer_cells,slots", GUARD_CASES.values(), ids=GUARD_CASES.keys())
@pytest.mark.parametrize("fence", [True, False], ids=["fenced", "exact-allocations"])
def test_bad_thickness_is_clamped_and_stays_in_bounds(func, layer_cells, slots, fence):
    """Fenced: a stray access lands on a sentinel. Exact allocations: each
    tensor is its own allocation, so a stray access leaves it, which the
    sanitizer run (tools/sanitize.sh) reports."""
    import OrvaneCPU

    case = Case((1, 2, 2), (4, 5, 3), layer_cells, slots=slots)
    args = func.build(case, torch.Generator().manual_seed(7))
    pad = (lambda a: 6 if a.dim() == 1 else 1) if fence else (lambda a: 0)
    fenced = [Fenced.around(a, pad=pad(a)) for a in args]
    fenced.append(Fenced.around(torch.tensor(layer_cells, dtype=torch.int32), pad=2 if fence else 0))
    padding = [f.padding_bits() for f in fenced]

    getattr(OrvaneCPU, func.name)(*[f.view for f in fenced], spare())

    assert_matches(func, [fenced[i].view for i in func.updated], expected(func, args, layer_cells))
    for n, (f, before) in enumerate(zip(fenced, padding)):
        assert torch.equal(f.padding_bits(), before), f"argument {n}: sentinel overwritten"
    for n, a in enumerate(args):
        if n not in func.updated:
            assert torch.equal(a, fenced[n].view), f"argument {n} was written"


def test_subnormal_values_are_flushed_to_zero(backend):
    # Both backends flush subnormal floats (the GPU build's fast math, the CPU
    # walker's MXCSR mode), which would otherwise slow the CPU tenfold where
    # a pulse's tails fill the box; the caller's own arithmetic keeps them.
    case = Case((1, 1, 1), (4, 5, 6), (0, 0, 0))
    args = build_e(case, torch.Generator().manual_seed(5))
    for e in args[:3]:
        e.zero_()
    for h in args[3:6]:
        h.uniform_(1e-39, 4e-39)  # subnormal: the curl's differences are too
    for cg1, cg2, ce in zip(args[6:9], args[9:12], args[12:15]):
        cg1.fill_(1.0), cg2.fill_(0.0), ce.fill_(1.0)
    dev = [device_copy(backend, a) for a in args]
    run_module(backend, UPDATE_E, dev, case.layer_cells)
    assert all(torch.count_nonzero(e) == 0 for e in dev[:3])
    tiny = torch.tensor([1e-39], dtype=F32)
    assert float(tiny * 1.0) > 0
