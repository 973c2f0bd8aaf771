"""Material grid preparation: index ranges, dual-cell averages, painting,
permittivity blends and sub-cell weights, against the float64 reference and
hand-computed values; then every argument check.
"""
from types import SimpleNamespace

import pytest
import torch

import reference as ref

F32, F64, U8 = torch.float32, torch.float64, torch.uint8


def t(values, dtype=F32):
    return torch.tensor(values, dtype=dtype)


def line(n, spacing=1.0, start=0.0):
    return start + spacing * torch.arange(n, dtype=F32)


# ---------------------------------------------------------------------------
# Index ranges

GRID11 = line(11)
GRID10 = line(10)

RANGES = [
    # the worked example
    (GRID11, [2.5, 6.5], (2, 8)),
    (GRID11, [3.5, 5.5], (2, 6)),
    (GRID11, [3.0, 5.0], (2, 6)),      # a node on a bound is inside
    (GRID11, [-1.0, 20.0], (0, 10)),   # nothing below, nothing above
    (GRID10, [2.5, 8.5], (2, 9)),      # odd first-above capped at the last node
    (GRID11, [-5.0, -3.0], (0, 0)),    # below every node
    (GRID11, [30.0, 40.0], (10, 10)),  # above every node, odd N
    (GRID10, [30.0, 40.0], (8, 9)),    # above every node, even N
    (GRID11, [4.5], (4, 6)),           # one value is both bounds
    (line(0), [1.0, 2.0], (0, -1)),    # no nodes
    (line(9, 0.25, -1.0), [-0.3, 0.3], (2, 6)),
]


@pytest.mark.parametrize("coords, bounds, expected", RANGES)
def test_index_range_reaches_one_node_beyond_the_box_on_even_nodes(backend, coords, bounds,
                                                                   expected):
    got = backend.module.get_id_range(t(bounds, F64), backend.tensor(coords))
    assert got.dtype == torch.int32 and got.device.type == "cpu" and not got.requires_grad
    assert tuple(got.tolist()) == expected == ref.id_range(bounds, coords)


def test_index_range_refuses_a_box_turned_inside_out():
    import OrvaneCPU

    with pytest.raises(RuntimeError, match="get_id_range: the box's lower bound 6.5 lies above"):
        OrvaneCPU.get_id_range(t([6.5, 2.5]), GRID11)


# ---------------------------------------------------------------------------
# Box problems: an object sampled over its box, on given node coordinates


def box_args(backend, coords, bounds, cells, L=1, seed=0, samples=None, dtype=F32):
    g = torch.Generator().manual_seed(seed)
    if samples is None:
        samples = torch.rand(L, *cells, generator=g, dtype=F64)
    bounds = [t(b, F64) for b in bounds]
    return (*bounds, backend.tensor(samples.to(dtype)),
            *[backend.tensor(c.to(dtype)) for c in coords])


# Node coordinates: uneven along x, even along y, a single node along z in one
# case (the flat axis), coincident coordinates in another.
UNEVEN = t([0.0, 0.7, 1.1, 2.0, 2.2, 3.1, 3.9, 5.0, 5.4])
AVERAGE_CASES = {
    # name: (coords, bounds, lattice cells, L)
    "interior box, margins inside the lattice": (
        (UNEVEN, line(7), line(6, 0.5)), ([1.5, 3.5], [1.2, 4.6], [0.6, 1.9]), (13, 7, 5), 1),
    "box over the ends of every axis": (
        (UNEVEN, line(5), line(4, 2.0)), ([-0.5, 6.0], [-1.0, 9.0], [0.0, 6.0]), (9, 10, 3), 2),
    "257+ nodes, several layouts": (
        (line(19, 0.5), line(17, 0.5), line(11, 0.5)), ([0.3, 8.6], [0.9, 7.3], [0.2, 4.9]),
        (20, 16, 12), 3),
    "one node along z": (
        (UNEVEN, line(6), t([0.4])), ([0.5, 4.5], [0.5, 4.0], [0.0, 1.0]), (8, 7, 3), 2),
    "coincident coordinates": (
        (t([0.0, 1.0, 1.0, 1.0, 2.0, 3.0]), line(5), line(4)), ([0.2, 2.6], [0.0, 3.0],
                                                              [0.5, 2.5]), (7, 6, 4), 1),
}


@pytest.mark.parametrize("case", AVERAGE_CASES.values(), ids=AVERAGE_CASES.keys())
def test_average_is_the_volume_weighted_mean_over_each_dual_cell(backend, case):
    coords, bounds, cells, L = case
    args = box_args(backend, coords, bounds, cells, L)
    out, *ranges = backend.module.Mat_average(*args)
    want, want_ranges = ref.mat_average(*bounds, args[3].cpu(), *coords)
    assert [tuple(r.tolist()) for r in ranges] == want_ranges
    assert out.dtype == F32 and out.device == args[3].device
    torch.testing.assert_close(out.cpu().double(), want, atol=2e-6, rtol=2e-5)
    assert torch.isfinite(out).all()


def test_aligned_and_half_shifted_lattices(backend):
    # Nodes 0..9 at unit spacing: the dual cell of node n is [n - 1/2, n + 1/2].
    c = line(10)
    s = torch.arange(1.0, 5.0, dtype=F64).view(1, 4, 1, 1)
    wide = [-1.0, 10.0]
    aligned = box_args(backend, (c, c, c), ([1.5, 5.5], wide, wide), (4, 1, 1), samples=s)
    out, xr, _, _ = backend.module.Mat_average(*aligned)
    assert xr.tolist() == [0, 6]
    # node 0 and 1 (outside the lattice), 2..5 one sample each, 6 outside
    torch.testing.assert_close(out[0, :, 4, 4].cpu(), t([0, 0, 1, 2, 3, 4, 0]), atol=1e-6, rtol=0)

    shifted = box_args(backend, (c, c, c), ([2.0, 6.0], wide, wide), (4, 1, 1), samples=s)
    out, xr, _, _ = backend.module.Mat_average(*shifted)
    assert xr.tolist() == [0, 8]
    # node 2 half covered by sample 1; nodes 3..5 the mean of two; node 6 half of 4
    expected = t([0, 0, 0.5, 1.5, 2.5, 3.5, 2.0, 0, 0])
    torch.testing.assert_close(out[0, :, 4, 4].cpu(), expected, atol=1e-6, rtol=0)


def test_first_and_last_nodes_own_half_a_cell(backend):
    c = line(4)
    ones = torch.ones(1, 8, 1, 1, dtype=F64)
    args = box_args(backend, (c, line(1), line(1)), ([-1.0, 7.0], [-1.0, 1.0], [-1.0, 1.0]),
                    (8, 1, 1), samples=ones)
    out, *_ = backend.module.Mat_average(*args)
    # fully inside the lattice: every node, half-width ends included, averages 1
    torch.testing.assert_close(out.flatten().cpu(), torch.ones(4), atol=1e-6, rtol=0)


@pytest.mark.parametrize("z_node, shift", [(0.4, 0.0), (0.6, 10.0)])
def test_single_node_axes_average_over_the_others(backend, z_node, shift):
    # A 2-D problem: one node along y and z, zero-width dual cells there. The
    # lattice cell holding the node's coordinate counts whole.
    a = torch.arange(6, dtype=F64).view(1, 6, 1, 1)
    samples = a + 10 * torch.arange(2, dtype=F64).view(1, 1, 1, 2)  # cell (a, c) holds a + 10c
    args = box_args(backend, (line(5), t([0.0]), t([z_node])), ([-1.0, 5.0], [-0.5, 0.5],
                                                                [0.0, 1.0]), (6, 1, 2),
                    samples=samples)
    out, *ranges = backend.module.Mat_average(*args)
    assert [r.tolist() for r in ranges] == [[0, 4], [0, 0], [0, 0]]
    # x node n, dual cell [n - 1/2, n + 1/2], straddles lattice cells n and n + 1
    expected = t([1.0, 1.5, 2.5, 3.5, 4.0]) + shift
    torch.testing.assert_close(out.flatten().cpu(), expected, atol=1e-6, rtol=0)


@pytest.fixture
def default_float64():
    torch.set_default_dtype(F64)
    yield
    torch.set_default_dtype(F32)


def test_double_precision_runs_in_the_default_dtype(backend, default_float64):
    coords, bounds, cells, L = AVERAGE_CASES["box over the ends of every axis"]
    args = box_args(backend, coords, bounds, cells, L, dtype=F64)
    out, *_ = backend.module.Mat_average(*args)
    want, _ = ref.mat_average(*bounds, args[3].cpu(), *coords)
    assert out.dtype == F64
    torch.testing.assert_close(out.cpu(), want, atol=2e-6, rtol=2e-6)
    with pytest.raises(RuntimeError, match="Mat_average: samples must be float64, got float32"):
        backend.module.Mat_average(*args[:3], args[3].float(), *args[4:])


def test_other_default_dtypes_are_not_implemented():
    import OrvaneCPU

    host = SimpleNamespace(tensor=lambda x: x)
    args = box_args(host, (line(3),) * 3, ([0, 1],) * 3, (2, 2, 2))
    torch.set_default_dtype(torch.float16)
    try:
        with pytest.raises(RuntimeError, match=r"^\"Mat_Average_GPU\" not implemented for 'Half'$"):
            OrvaneCPU.Mat_average(*args)
    finally:
        torch.set_default_dtype(F32)


def test_strided_samples_and_coordinates(backend):
    coords, bounds, cells, L = AVERAGE_CASES["interior box, margins inside the lattice"]
    g = torch.Generator().manual_seed(3)
    big = torch.rand(2 * L, cells[2], cells[1], 2 * cells[0], generator=g)
    samples = big[::2].permute(0, 3, 2, 1)[:, ::2]          # non-contiguous
    spread = [torch.stack([c, c + 100]).t().flatten()[::2] for c in coords]
    args = box_args(backend, spread, bounds, cells, L, samples=samples)
    out, *_ = backend.module.Mat_average(*args)
    want, _ = ref.mat_average(*bounds, samples, *coords)
    torch.testing.assert_close(out.cpu().double(), want, atol=2e-6, rtol=2e-5)


# ---------------------------------------------------------------------------
# Painting


def grids(L, shape, primary=0, secondary=0, weight=0.0):
    return (torch.full((L, *shape), weight), torch.full((L, *shape), primary, dtype=U8),
            torch.full((L, *shape), secondary, dtype=U8))


def paint(backend, args, mat_id, state):
    dev = [backend.tensor(x) for x in state]
    backend.module.Set_weight_mat_id(*args, mat_id, *dev)
    return [x.cpu() for x in dev]


def test_painting_demotes_the_primary_and_loses_the_secondary(backend):
    # 1-D problem along x, nodes 0..9; y and z covered by one lattice cell.
    c, one = line(10), line(1)
    wide = [-1.0, 1.0]
    state = grids(2, (10, 1, 1), primary=7, secondary=9, weight=0.5)

    def obj(lo, hi, fill=1.0, cells=8):
        s = torch.full((2, cells, 1, 1), fill, dtype=F64)
        s[1] *= 0.5  # layout 1: half the fill
        return box_args(backend, (c, one, one), ([lo, hi], wide, wide), (cells, 1, 1), samples=s)

    history = []
    for args, mat_id in ((obj(2.0, 5.0), 1), (obj(4.5, 8.5), 300), (obj(4.5, 8.5), 300)):
        want = ref.set_weight_mat_id(*args[:3], args[3].cpu(), c, one, one, mat_id, *state)
        state = paint(backend, args, mat_id, state)
        torch.testing.assert_close(state[0].double(), want[0], atol=1e-6, rtol=1e-5)
        assert torch.equal(state[1], want[1]) and torch.equal(state[2], want[2])
        history.append([x[0, :, 0, 0].clone() for x in state])

    (w1, p1, s1), (w2, p2, s2), (w3, p3, s3) = history
    # first object: nodes 3, 4 full, 2 and 5 half (dual cell half inside), the rest untouched
    assert p1.tolist() == [7, 7, 1, 1, 1, 1, 7, 7, 7, 7]
    assert s1.tolist() == [9, 9, 7, 7, 7, 7, 9, 9, 9, 9]
    torch.testing.assert_close(w1, t([0.5, 0.5, 0.5, 1, 1, 0.5, 0.5, 0.5, 0.5, 0.5]))
    # id 300 is stored as 44; node 5 demotes 1, nodes 6..8 demote 7
    assert p2.tolist() == [7, 7, 1, 1, 1, 44, 44, 44, 44, 7]
    assert s2.tolist() == [9, 9, 7, 7, 7, 1, 7, 7, 7, 9]
    torch.testing.assert_close(w2, t([0.5, 0.5, 0.5, 1, 1, 1, 1, 1, 1, 0.5]))
    # repainting: the object becomes its own secondary, what it displaced is lost
    assert p3.tolist() == p2.tolist()
    assert s3.tolist() == [9, 9, 7, 7, 7, 44, 44, 44, 44, 9]
    torch.testing.assert_close(w3, w2)


def test_painting_grazing_nodes_and_margins(backend):
    coords, bounds, cells, L = AVERAGE_CASES["interior box, margins inside the lattice"]
    g = torch.Generator().manual_seed(5)
    # a sparse fill: some nodes of the range get nothing and must keep their state
    samples = (torch.rand(L, *cells, generator=g) > 0.85).double() * 0.01
    args = box_args(backend, coords, bounds, cells, L, samples=samples)
    state = grids(L, (9, 7, 6), primary=3, secondary=4, weight=0.25)
    want = ref.set_weight_mat_id(*bounds, samples, *coords, 5, *state)
    got = paint(backend, args, 5, state)
    torch.testing.assert_close(got[0].double(), want[0], atol=1e-7, rtol=1e-5)
    assert torch.equal(got[1], want[1]) and torch.equal(got[2], want[2])
    hit = got[1] == 5
    assert 0 < hit.sum() < hit.numel()
    assert (got[0][hit] < 0.05).all()  # grazed nodes, small weights, still repainted


# ---------------------------------------------------------------------------
# Blended permittivity

BLENDS = [
    # weight, primary, secondary, expected (table 0: 1, 1: 4, 2: 2.5)
    (1.0, 1, 0, 4.0),
    (0.0, 1, 0, 1.0),
    (0.25, 1, 0, 1.75),
    (0.6, 2, 2, 2.5),
    (0.5, 2, 1, 3.25),
]


@pytest.mark.parametrize("w, a, b, expected", BLENDS)
def test_blend_of_primary_and_secondary(backend, w, a, b, expected):
    eps = backend.tensor(torch.zeros(1, 1, 1, 1))
    weight, primary, secondary = (backend.tensor(x) for x in grids(1, (1, 1, 1), a, b, w))
    backend.module.Set_ER_average(eps, weight, primary, secondary, backend.tensor(t([1, 4, 2.5])))
    assert eps.item() == pytest.approx(expected, rel=1e-6)


def test_blend_of_every_layout_over_larger_grids(backend):
    g = torch.Generator().manual_seed(11)
    L, X, Y, Z = 3, 7, 9, 5
    weight = torch.rand(L + 1, X + 2, Y, Z + 1, generator=g)
    primary = torch.randint(0, 6, (L, X, Y + 1, Z), generator=g, dtype=U8)
    secondary = torch.randint(0, 6, (L, X + 1, Y, Z), generator=g, dtype=U8)
    table = torch.rand(6, generator=g) * 10
    eps = torch.zeros(L, X, Y, Z)
    dev = [backend.tensor(x) for x in (eps, weight, primary, secondary, table)]
    backend.module.Set_ER_average(*dev)
    want = ref.set_er_average(eps, weight, primary, secondary, table)
    torch.testing.assert_close(dev[0].cpu().double(), want, atol=1e-6, rtol=1e-6)


# ---------------------------------------------------------------------------
# Sub-cell weights

# x nodes 0..4; object 1 (eps 4) fills its box x in [-1, 2], so the dual
# cell of node 2, [1.5, 2.5], is split in half by the plane x = 2. y and z
# nodes lie well inside the lattice.
SPLIT = ((line(5), line(3), line(3)), ([-1.0, 2.0], [-1.0, 3.0], [-1.0, 3.0]), (6, 4, 4))


def split_cell(backend, normal, table=(1.0, 4.0)):
    coords, bounds, cells = SPLIT
    args = box_args(backend, coords, bounds, cells, samples=torch.ones(1, *cells, dtype=F64))
    state = paint(backend, args, 1, grids(1, (5, 3, 3)))
    normals = torch.zeros(1, 5, 3, 3, 3)
    normals[..., :] = t(normal)
    return args, [backend.tensor(x) for x in state], backend.tensor(normals), backend.tensor(
        t(table))


@pytest.mark.parametrize("normal, selector, eps_eff", [
    ((1, 0, 0), 0, 1.6),     # normal along the component: harmonic mean
    ((1, 0, 0), 1, 2.5),     # across it: arithmetic mean
    ((0, 0, 1), 2, 1.6),
    ((0, 0, 1), 5, 1.6),     # any selector past 1 reads the z component
    ((0, 0, 1), -1, 1.6),
    ((0.6, 0.8, 0), 0, 1 / (0.36 / 1.6 + 0.64 / 2.5)),
])
def test_sub_cell_weight_mixes_harmonic_and_arithmetic_means(backend, normal, selector, eps_eff):
    args, (weight, primary, secondary), normals, table = split_cell(backend, normal)
    ranges = backend.module.Set_weight_subcell(*args, weight, 1, primary, secondary, normals,
                                               table, selector)
    assert [r.tolist() for r in ranges] == [[0, 4], [0, 2], [0, 2]]
    assert weight[0, 2, 1, 1].item() == pytest.approx((eps_eff - 1) / (3 + 1e-4), rel=1e-5)
    eps = backend.tensor(torch.zeros(1, 5, 3, 3))
    backend.module.Set_ER_average(eps, weight, primary, secondary, table)
    assert eps[0, 2, 1, 1].item() == pytest.approx(eps_eff, rel=1e-4)
    # nodes 0, 1 are fully inside: just below 1; nodes 3, 4 never painted: untouched
    assert weight[0, 1, 1, 1].item() == pytest.approx(3 / (3 + 1e-4), rel=1e-6)
    assert (weight[0, 3:] == 0).all() and (primary[0, 3:] == 0).all()


def test_sub_cell_weight_against_the_reference(backend):
    coords, bounds, cells, L = AVERAGE_CASES["interior box, margins inside the lattice"]
    g = torch.Generator().manual_seed(9)
    samples = torch.rand(L, *cells, generator=g, dtype=F64)
    args = box_args(backend, coords, bounds, cells, L, samples=samples)
    shape = (L, 9, 7, 6)
    primary = torch.randint(0, 4, shape, generator=g, dtype=U8)
    primary[:, 2:6, 1:5] = 2                                    # the object's nodes
    secondary = torch.randint(0, 4, shape, generator=g, dtype=U8)
    # equal permittivities leave the weight to rounding (|εeff − εB| / 1e-4)
    secondary[secondary == 2] = 3
    weight = torch.rand(shape, generator=g)
    normals = torch.nn.functional.normalize(torch.randn(*shape, 3, generator=g), dim=-1)
    table = t([1.0, 2.5, 6.0, 1.3])
    for selector in (0, 1, 2):
        want = ref.set_weight_subcell(*bounds, samples, *coords, weight, 2, primary, secondary,
                                      normals, table, selector)
        w = backend.tensor(weight)
        backend.module.Set_weight_subcell(*args, w, 2, *[backend.tensor(x) for x in
                                                        (primary, secondary, normals, table)],
                                          selector)
        torch.testing.assert_close(w.cpu().double(), want, atol=2e-5, rtol=1e-4)


@pytest.mark.parametrize("table, start, expected", [
    ((1.0, -1.0), (0.7, 0.5, 0.3), (1.0, 1.0, 0.0)),  # object marked: snap
    ((-2.0, 4.0), (0.7, 0.5, 0.3), (1.0, 1.0, 0.0)),  # secondary marked: snap
    ((3.0, 3.0), (0.7, 0.5, 0.3), (0.0, 0.0, 0.0)),   # equal permittivities
    ((3000.0, 3000.0), (0.7, 0.5, 0.3), (0.0, 0.0, 0.0)),  # too large for the 1e-4
])
def test_sub_cell_weight_snaps_marked_materials_and_ignores_equal_ones(backend, table, start,
                                                                       expected):
    # three nodes along x, all the object's (id 1) over background 0, fill 1/2
    c, one = line(3), line(1)
    args = box_args(backend, (c, one, one), ([-1.0, 3.0], [-1.0, 1.0], [-1.0, 1.0]), (8, 1, 1),
                    samples=torch.full((1, 8, 1, 1), 0.5, dtype=F64))
    weight = backend.tensor(t(start).view(1, 3, 1, 1))
    primary, secondary = (backend.tensor(torch.full((1, 3, 1, 1), v, dtype=U8)) for v in (1, 0))
    normals = backend.tensor(torch.ones(1, 3, 1, 1, 3))
    backend.module.Set_weight_subcell(*args, weight, 1, primary, secondary, normals,
                                      backend.tensor(t(table)), 0)
    # (equal permittivities leave the weight to rounding: |εeff − εB| / 1e-4)
    torch.testing.assert_close(weight.flatten().cpu(), t(expected), atol=1e-2, rtol=0)


def test_sub_cell_weight_full_empty_and_foreign_nodes(backend):
    c, one = line(3), line(1)
    fill = torch.tensor([1.0] * 4 + [0.0] * 4 + [1.0] * 4, dtype=F64).view(1, 12, 1, 1)
    args = box_args(backend, (c, one, one), ([-0.5, 2.5], [-1.0, 1.0], [-1.0, 1.0]), (12, 1, 1),
                    samples=fill)
    # node 0: filled dual cell; node 1: empty one; node 2: another object's node
    weight = backend.tensor(t([0.5, 0.5, 0.5]).view(1, 3, 1, 1))
    primary = backend.tensor(t([1, 1, 2], U8).view(1, 3, 1, 1))
    secondary = backend.tensor(torch.zeros(1, 3, 1, 1, dtype=U8))
    normals = backend.tensor(torch.ones(1, 3, 1, 1, 3))
    backend.module.Set_weight_subcell(*args, weight, 1, primary, secondary, normals,
                                      backend.tensor(t([1.0, 5.0, 2.0])), 1)
    torch.testing.assert_close(weight.flatten().cpu(), t([4 / (4 + 1e-4), 0.0, 0.5]), atol=1e-6,
                               rtol=0)


def test_degenerate_lattices_add_nothing(backend):
    # a box of zero width along x (spacing 0) and a sample grid with no cells
    # along y: no lattice cell has volume, every average is 0
    c = line(6)
    for bounds, cells in ((([2.0, 2.0], [0.5, 3.5], [0.5, 3.5]), (4, 3, 3)),
                          (([1.0, 4.0], [0.5, 3.5], [0.5, 3.5]), (4, 0, 3))):
        args = box_args(backend, (c, c, c), bounds, cells, samples=torch.ones(1, *cells))
        out, *_ = backend.module.Mat_average(*args)
        assert out.numel() > 0 and (out == 0).all()


def test_grids_exactly_as_large_as_the_index_ranges(backend):
    # Each grid its own allocation, no entry to spare: under the address
    # sanitizer any step outside one of them is reported.
    coords, bounds, cells, L = AVERAGE_CASES["box over the ends of every axis"]
    args = box_args(backend, coords, bounds, cells, L)
    _, *ranges = backend.module.Mat_average(*args)
    shape = (L, *[int(r[1]) + 1 for r in ranges])
    state = [backend.tensor(x) for x in grids(L, shape[1:], primary=1, secondary=0)]
    backend.module.Set_weight_mat_id(*args, 2, *state)
    normals = backend.tensor(torch.ones(*shape, 3))
    table = backend.tensor(t([1.0, 2.0, 3.0]))
    weight, primary, secondary = state
    backend.module.Set_weight_subcell(*args, weight, 2, primary, secondary, normals, table, 1)
    eps = backend.tensor(torch.zeros(shape))
    backend.module.Set_ER_average(eps, weight, primary, secondary, table)
    assert ((eps >= 1) & (eps <= 3)).all()


# ---------------------------------------------------------------------------
# Argument checks: each breaks one argument of a valid call; the call must
# raise naming the function and the argument, and change nothing.

BOX = ((line(9), line(7), line(6)), ([1.5, 5.5], [1.2, 4.6], [0.6, 3.9]), (8, 7, 5))


def valid(function):
    """Argument dict of a valid call of `function` on the CPU."""
    coords, bounds, cells = BOX
    g = torch.Generator().manual_seed(1)
    a = {"x_bounds": t(bounds[0]), "y_bounds": t(bounds[1]), "z_bounds": t(bounds[2]),
         "samples": torch.rand(2, *cells, generator=g),
         "x_coords": coords[0], "y_coords": coords[1], "z_coords": coords[2]}
    shape = (2, 9, 7, 6)
    weight, primary, secondary = grids(2, shape[1:], 1, 2, 0.5)
    if function == "Mat_average":
        return a
    if function == "Set_weight_mat_id":
        return a | {"mat_id": 3, "weight": weight, "primary": primary, "secondary": secondary}
    table = t([1.0, 2.0, 3.0])
    if function == "Set_ER_average":
        return {"eps": torch.zeros(shape), "weight": weight, "primary": primary,
                "secondary": secondary, "table": table}
    return a | {"weight": weight, "obj_id": 1, "primary": primary, "secondary": secondary,
                "normals": torch.ones(*shape, 3), "table": table, "component": 0}


def change(**new):
    return lambda a: a.update({k: v(a) if callable(v) else v for k, v in new.items()})


def ids(name, value):
    def f(a):
        a[name] = a[name].clone()
        a[name][1, 3, 2, 1] = value
    return f


META = lambda name: change(**{name: lambda a: a[name].to("meta")})  # noqa: E731

CHECKS = [
    # the fixed messages: samples and coordinates on the module's processor
    ("Mat_average", META("samples"), r"^Error: Tensor is not on CPU\.$"),
    ("Set_weight_mat_id", META("y_coords"), r"^Error: Tensor is not on CPU\.$"),
    ("Set_weight_subcell", META("z_coords"), r"^Error: Tensor is not on CPU\.$"),
    # dimensions and element types, named
    ("Mat_average", change(samples=lambda a: a["samples"][0]), r"^Mat_average: samples must be a 4-D tensor .*TensorAccessor expected 4 dims but tensor has 3"),
    ("Mat_average", change(x_coords=lambda a: a["x_coords"].double()), r"^Mat_average: x_coords must be float32, got float64"),
    ("Set_weight_mat_id", change(secondary=lambda a: a["secondary"].float()), r"^Set_weight_mat_id: secondary must be uint8, got float32"),
    ("Set_weight_mat_id", change(weight=lambda a: a["weight"][..., None]), r"^Set_weight_mat_id: weight must be a 4-D tensor"),
    ("Set_ER_average", change(table=lambda a: a["table"][None]), r"^Set_ER_average: table must be a 1-D tensor"),
    ("Set_ER_average", change(primary=lambda a: a["primary"].int()), r"^Set_ER_average: primary must be uint8, got int32"),
    ("Set_weight_subcell", change(normals=lambda a: a["normals"][..., 0]), r"^Set_weight_subcell: normals must be a 5-D tensor .*TensorAccessor expected 5 dims but tensor has 4"),
    ("Set_weight_subcell", change(weight=lambda a: a["weight"].to(U8)), r"^Set_weight_subcell: weight must be float32, got uint8"),
    # box bounds
    ("Mat_average", change(z_bounds=lambda a: a["z_bounds"][None]), r"^Mat_average: z_bounds must be a 1-D tensor \[min, max\], got 2-D"),
    ("Mat_average", change(y_bounds=t([1.0])), r"^Mat_average: y_bounds must have two entries \[min, max\], got 1"),
    ("Set_weight_mat_id", change(x_bounds=t([5.5, 1.5])), r"^Set_weight_mat_id: x_bounds \[5.5, 1.5\] has its lower bound above its upper bound"),
    ("Set_weight_subcell", change(z_bounds=t([2.0, 1.0])), r"^Set_weight_subcell: z_bounds \[2, 1\] has its lower bound above"),
    ("Mat_average", change(x_bounds=t([0.0, float("inf")])), r"^Mat_average: x_bounds \[0, inf\] must be finite"),
    ("Set_weight_mat_id", change(y_bounds=t([float("nan"), 1.0])), r"^Set_weight_mat_id: y_bounds \[nan, 1\] must be finite"),
    ("Mat_average", change(x_bounds=torch.tensor([0j, 1j])), r"^Mat_average: x_bounds must hold real numbers, got"),
    ("Mat_average", change(x_coords=lambda a: a["x_coords"].flip(0)), r"^Mat_average: x_bounds on x_coords gives the index range \[8, 0\].*must be ascending"),
    # launch limits: one launch row per layout
    ("Mat_average", change(samples=torch.zeros(()).expand(65536, 8, 7, 5)), r"^Mat_average: the number of layouts L \(samples.size\(0\)\) must be at most 65535, got 65536"),
    # devices of the grids: the sample grid's
    ("Set_weight_mat_id", META("weight"), r"^Set_weight_mat_id: weight must be on cpu \(the device of samples\), got meta"),
    ("Set_weight_subcell", META("normals"), r"^Set_weight_subcell: normals must be on cpu \(the device of samples\)"),
    ("Set_weight_subcell", META("table"), r"^Set_weight_subcell: table must be on cpu"),
    ("Set_ER_average", META("eps"), r"^Set_ER_average: eps must be a cpu tensor, got one on meta"),
    ("Set_ER_average", META("secondary"), r"^Set_ER_average: secondary must be on cpu \(the device of eps\)"),
    # grids covering the index ranges (x range [0, 6], y [0, 6], z [0, 4])
    ("Set_weight_mat_id", change(weight=lambda a: a["weight"][:, :6]), r"^Set_weight_mat_id: weight must have extents at least \[2, 7, 7, 5\] \(every node of the index ranges\), got \[2, 6, 7, 6\]"),
    ("Set_weight_mat_id", change(primary=lambda a: a["primary"][:1]), r"^Set_weight_mat_id: primary must have extents at least \[2, 7, 7, 5\]"),
    ("Set_weight_subcell", change(secondary=lambda a: a["secondary"][..., :4]), r"^Set_weight_subcell: secondary must have extents at least \[2, 7, 7, 5\]"),
    ("Set_weight_subcell", change(normals=lambda a: a["normals"][..., :2]), r"^Set_weight_subcell: normals must have extents at least \[2, 7, 7, 5, 3\]"),
    ("Set_ER_average", change(weight=lambda a: a["weight"][:, :, :6]), r"^Set_ER_average: weight must have extents at least \[2, 9, 7, 6\] \(the extents of eps\)"),
    # ids with no table entry
    ("Set_ER_average", ids("primary", 3), r"^Set_ER_average: primary holds material id 3, but table has 3 entries \(ids 0 to 2\)"),
    ("Set_ER_average", ids("secondary", 200), r"^Set_ER_average: secondary holds material id 200"),
    ("Set_weight_subcell", ids("secondary", 7), r"^Set_weight_subcell: secondary holds material id 7"),
    ("Set_weight_subcell", ids("primary", 9), r"^Set_weight_subcell: primary holds material id 9"),
    # written grids never alias
    ("Set_weight_mat_id", change(secondary=lambda a: a["primary"]), r"^Set_weight_mat_id: primary is written, so it must not share memory with secondary"),
    ("Set_ER_average", change(eps=lambda a: a["weight"]), r"^Set_ER_average: eps is written, so it must not share memory with weight"),
    ("Set_weight_subcell", change(weight=torch.zeros(()).expand(2, 9, 7, 6)), r"^Set_weight_subcell: weight is written, so no two of its elements"),
]


@pytest.mark.parametrize("function, breakage, pattern", CHECKS)
def test_bad_argument_is_named_and_nothing_changes(function, breakage, pattern):
    import OrvaneCPU

    args = valid(function)
    breakage(args)
    tensors = {k: v for k, v in args.items() if isinstance(v, torch.Tensor) and v.device.type != "meta"}
    before = {k: v.clone() for k, v in tensors.items()}
    with pytest.raises(RuntimeError, match=pattern):
        getattr(OrvaneCPU, function)(*args.values())
    for k, v in tensors.items():
        torch.testing.assert_close(v, before[k], rtol=0, atol=0, equal_nan=True,
                                   msg=f"{k} changed by a failed call")


@pytest.mark.parametrize("function", ["Mat_average", "Set_weight_mat_id", "Set_ER_average",
                                      "Set_weight_subcell"])
def test_valid_calls_of_the_check_table_pass(function):
    import OrvaneCPU

    getattr(OrvaneCPU, function)(*valid(function).values())


@pytest.mark.skipif(torch.cuda.is_available(), reason="this machine has CUDA")
@pytest.mark.parametrize("function, message", [
    ("Mat_average", r"^Error: CUDA not available\.$"),
    ("Set_weight_mat_id", r"^Error: CUDA not available\.$"),
    ("Set_weight_subcell", r"^Error: CUDA not available\.$"),
    ("Set_ER_average", r"^Set_ER_average: CUDA not available\.$"),
])
def test_cuda_module_without_cuda_says_so_first(function, message):
    import Orvane

    args = valid(function)
    with pytest.raises(RuntimeError, match=message):
        getattr(Orvane, function)(*args.values())
    # the index range is tensor work on the coordinates' device
    assert Orvane.get_id_range(t([2.5, 6.5]), GRID11).tolist() == [2, 8]


@pytest.mark.needs_cuda
@pytest.mark.parametrize("function", ["Mat_average", "Set_weight_mat_id", "Set_weight_subcell"])
def test_cuda_module_refuses_host_samples_with_the_fixed_message(function):
    import Orvane

    args = valid(function)
    args = {k: (v.cuda() if isinstance(v, torch.Tensor) and k != "samples" else v)
            for k, v in args.items()}
    with pytest.raises(RuntimeError, match=r"^Error: Tensor is not on GPU\.$"):
        getattr(Orvane, function)(*args.values())
