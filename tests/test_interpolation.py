"""Resampling between rectilinear grids: forward (trilinear and nearest) and
reverse against the float64 reference, the transpose identity, the sum rule,
the index search against the difference matrix, and the argument checks."""
import math

import pytest
import torch

import reference as ref

C64 = torch.complex64
INF, NAN = math.inf, math.nan


def crandn(*shape, seed=0):
    g = torch.Generator().manual_seed(seed)
    return torch.complex(torch.randn(*shape, generator=g), torch.randn(*shape, generator=g)).to(C64)


def nonuniform(n, lo=-1.0, hi=2.0, seed=0):
    """Strictly increasing, unevenly spaced coordinates."""
    g = torch.Generator().manual_seed(seed)
    steps = torch.rand(n, generator=g) + 0.2
    return lo + (hi - lo) * torch.cumsum(steps, 0) / steps.sum()


def vec(*values):
    return torch.tensor(values, dtype=torch.float32)


BASE = (nonuniform(5, seed=1), nonuniform(4, seed=2), nonuniform(6, seed=3))

# target coordinates per axis; each case mixes what it names with plain ones
TARGETS = {
    "on-the-base-grid": BASE,
    "random-inside": tuple(nonuniform(n, lo=float(b[0]), hi=float(b[-1]), seed=9 + n)
                           for n, b in zip((7, 3, 5), BASE)),
    "outside-below-and-above": (vec(-5.0, 0.3, 9.0), vec(-1.5, 3.0), vec(0.0, -100.0, 100.0)),
    "halfway-between-nodes": tuple((b[:-1] + b[1:]) / 2 for b in BASE),
    "unordered-with-repeats": (vec(1.2, -0.3, 1.2, 0.0), vec(0.5,), vec(1.9, 1.9, -0.7)),
    "far-infinite-and-nan": (vec(1e10, -1e10, INF, -INF, NAN), vec(0.1,), vec(0.2, NAN)),
}


def forward_args(backend, targets, batch=(2, 3, 4), seed=0):
    values = crandn(batch[0], batch[1], *[b.numel() for b in BASE], batch[2], seed=seed)
    return [backend.tensor(t) for t in (*BASE, values, *targets)]


@pytest.mark.parametrize("nearest", [False, True], ids=["trilinear", "nearest"])
@pytest.mark.parametrize("targets", TARGETS.values(), ids=TARGETS.keys())
def test_forward_matches_reference(backend, targets, nearest):
    args = forward_args(backend, targets)
    got = backend.module.Trilinear_interpolation(*args, nearest)
    assert got.dtype == C64 and got.device == args[3].device
    want = ref.trilinear_interpolation(*[a.cpu() for a in args], nearest)
    torch.testing.assert_close(got.cpu().to(torch.complex128), want, atol=1e-5, rtol=1e-5)


@pytest.mark.parametrize("targets", TARGETS.values(), ids=TARGETS.keys())
def test_reverse_matches_reference(backend, targets):
    tv = crandn(2, 3, *[t.numel() for t in targets], 4, seed=1)
    args = [backend.tensor(t) for t in (*BASE, tv, *targets)]
    got = backend.module.Trilinear_reverse_interpolation(*args)
    assert got.dtype == C64 and got.device == args[3].device
    want = ref.trilinear_reverse_interpolation(*[a.cpu() for a in args])
    torch.testing.assert_close(got.cpu().to(torch.complex128), want, atol=1e-5, rtol=1e-5)


def test_on_grid_resampling_is_the_identity_both_ways(backend):
    args = forward_args(backend, BASE)
    values = args[3]
    torch.testing.assert_close(backend.module.Trilinear_interpolation(*args, False), values)
    torch.testing.assert_close(backend.module.Trilinear_reverse_interpolation(*args), values)


def test_hand_computed_points(backend):
    g = [backend.tensor(vec(0.0, 1.0, 3.0)), backend.tensor(vec(0.0, 2.0)), backend.tensor(vec(5.0, 6.0))]
    values = torch.zeros(1, 1, 3, 2, 2, 1, dtype=C64)  # the same along z
    values[0, 0, :, 0, :, 0] = torch.tensor([1 + 1j, 3 - 1j, 7 + 0j])[:, None]
    values[0, 0, :, 1, :, 0] = torch.tensor([10j, 20j, 30j])[:, None]
    values = backend.tensor(values)

    def at(tx, ty, nearest):
        return backend.module.Trilinear_interpolation(
            *g, values, backend.tensor(vec(tx)), backend.tensor(vec(ty)),
            backend.tensor(vec(5.5)), nearest).flatten().item()

    assert at(0.5, 0.0, True) == 1 + 1j  # a tie goes to the lower node
    assert at(2.0, 1.0, True) == 3 - 1j  # tie again, along both axes
    assert at(2.1, 1.1, True) == 30j
    assert at(1e10, 0.0, True) == 7  # far beyond: the last node, not a rounding tie
    assert at(-1e10, 5.0, True) == 10j
    assert at(2.0, 0.0, False) == pytest.approx(5 - 0.5j)  # halfway: the mean
    assert at(-4.0, 1.0, False) == pytest.approx(0.5 + 5.5j)  # below x: the first node's value
    assert at(9.0, 7.0, False) == pytest.approx(30j)  # above both: the corner node
    # a single base coordinate in nearest mode: every target maps to it
    one = backend.tensor(vec(0.25))
    got = backend.module.Trilinear_interpolation(one, one, one, values[:, :, :1, :1, :1],
                                                 backend.tensor(vec(-3.0, 0.0, 8.0)), one, one, True)
    assert torch.equal(got.flatten().cpu(), torch.full((3,), 1 + 1j, dtype=C64))


def test_nearest_indices_are_those_of_the_difference_matrix(backend):
    # Dyadic coordinates make every float32 difference exact, so the float32
    # matrix, the float64 one and the sorted search must all agree, ties
    # included.
    g = torch.Generator().manual_seed(5)
    base = torch.unique(torch.randint(-400, 400, (300,), generator=g)).float() / 8
    targets = torch.cat([torch.randint(-500, 500, (2000,), generator=g).float() / 16,
                         (base[:-1] + base[1:]) / 2, base, vec(-1e4, 1e4)])
    one = vec(0.0)
    values = torch.zeros(1, 1, base.numel(), 1, 1, 1, dtype=C64)
    values[0, 0, :, 0, 0, 0] = torch.arange(base.numel()).to(C64)  # value = node index
    got = backend.module.Trilinear_interpolation(
        *[backend.tensor(t) for t in (base, one, one, values, targets, one, one)], True)
    indices = got.flatten().real.long().cpu()
    matrix32 = (targets[:, None] - base[None, :]).abs().argmin(dim=1)
    assert torch.equal(indices, matrix32)
    assert torch.equal(indices, ref.interval_indices(targets, base, True))


def test_transpose_identity_on_random_complex_data(backend):
    targets = (nonuniform(9, lo=-1.5, hi=2.5, seed=11), nonuniform(3, seed=12), vec(-2.0, 0.4, 0.9, 5.0))
    A = crandn(2, 2, *[b.numel() for b in BASE], 3, seed=3)
    T = crandn(2, 2, *[t.numel() for t in targets], 3, seed=4)
    dev = lambda *ts: [backend.tensor(t) for t in ts]  # noqa: E731
    fA = backend.module.Trilinear_interpolation(*dev(*BASE, A, *targets), False).cpu()
    rT = backend.module.Trilinear_reverse_interpolation(*dev(*BASE, T, *targets)).cpu()
    lhs = (fA.to(torch.complex128) * T.to(torch.complex128)).sum()
    rhs = (A.to(torch.complex128) * rT.to(torch.complex128)).sum()
    assert abs(lhs - rhs) <= 1e-5 * max(1.0, abs(lhs))


def test_reverse_conserves_each_batch_entry_total(backend):
    targets = (nonuniform(11, lo=-3, hi=4, seed=21), nonuniform(6, seed=22), vec(-9.0, 0.0, 1.5))
    T = crandn(3, 2, *[t.numel() for t in targets], 2, seed=6)
    got = backend.module.Trilinear_reverse_interpolation(
        *[backend.tensor(t) for t in (*BASE, T, *targets)]).cpu()
    torch.testing.assert_close(got.sum(dim=(2, 3, 4)), T.sum(dim=(2, 3, 4)), atol=1e-5, rtol=1e-5)


def test_two_targets_in_one_cell_add_up(backend):
    g = backend.tensor(vec(0.0, 1.0))
    T = torch.zeros(1, 1, 2, 1, 1, 1, dtype=C64)
    T[0, 0, :, 0, 0, 0] = torch.tensor([1 + 2j, 3 + 0j])
    got = backend.module.Trilinear_reverse_interpolation(
        g, g, g, backend.tensor(T), backend.tensor(vec(0.25, 0.5)), g[:1], g[:1]).cpu()
    torch.testing.assert_close(got[0, 0, :, 0, 0, 0], torch.tensor([0.75 * (1 + 2j) + 1.5, 0.25 * (1 + 2j) + 1.5], dtype=C64))


def test_non_contiguous_and_conjugated_inputs_are_read_as_their_values(backend):
    targets = TARGETS["random-inside"]
    values = crandn(2, 1, *[b.numel() for b in BASE], 4, seed=7)
    T = crandn(2, 1, *[t.numel() for t in targets], 4, seed=8)
    dev = [backend.tensor(t) for t in (*BASE, values, *targets)]
    strided = backend.tensor(torch.zeros(*values.shape[:-1], 8, dtype=C64))[..., ::2]
    strided.copy_(dev[3])
    tx = backend.tensor(torch.stack([targets[0], targets[0]], 1))[:, 1]  # stride 2
    plain = backend.module.Trilinear_interpolation(*dev, False)
    via_views = backend.module.Trilinear_interpolation(*dev[:3], strided, tx, *dev[5:], False)
    torch.testing.assert_close(via_views, plain)
    lazy = dev[3].conj()  # conjugate bit set, storage unchanged
    conj = backend.module.Trilinear_interpolation(*dev[:3], lazy, *dev[4:], False)
    torch.testing.assert_close(conj, plain.conj().resolve_conj())
    Td = backend.tensor(T)
    back = backend.module.Trilinear_reverse_interpolation(*dev[:3], Td.conj(), *dev[4:])
    want = backend.module.Trilinear_reverse_interpolation(*dev[:3], Td, *dev[4:])
    torch.testing.assert_close(back, want.conj().resolve_conj())


def test_float64_default_dtype_does_not_change_the_results(backend):
    args = forward_args(backend, BASE)
    before = backend.module.Trilinear_reverse_interpolation(*args)
    old = torch.get_default_dtype()
    torch.set_default_dtype(torch.float64)
    try:
        after = backend.module.Trilinear_reverse_interpolation(*args)
        forward = backend.module.Trilinear_interpolation(*args, True)
    finally:
        torch.set_default_dtype(old)
    assert after.dtype == forward.dtype == C64
    torch.testing.assert_close(after, before)


def test_empty_targets_or_batch_give_empty_results(backend):
    args = forward_args(backend, (vec(), *BASE[1:]))
    assert backend.module.Trilinear_interpolation(*args, False).shape == (2, 3, 0, 4, 6, 4)
    args = forward_args(backend, BASE, batch=(0, 3, 4))
    assert backend.module.Trilinear_reverse_interpolation(*args).shape == (0, 3, 5, 4, 6, 4)


# ---------------------------------------------------------------------------
# Bad arguments: checked before anything is allocated or launched; inputs are
# never modified.

FWD, REV = "Trilinear_interpolation", "Trilinear_reverse_interpolation"
NAMES = ["grid_x", "grid_y", "grid_z", "values", "target_x", "target_y", "target_z"]


def valid(function):
    targets = TARGETS["random-inside"]
    shape = [b.numel() for b in BASE] if function == FWD else [t.numel() for t in targets]
    return dict(zip(NAMES, (*BASE, crandn(2, 3, *shape, 2), *targets)))


def call(module, function, a, nearest=False):
    args = list(a.values())
    return getattr(module, function)(*args, nearest) if function == FWD else getattr(module, function)(*args)


def _set(name, make):
    return lambda a: a.update({name: make(a[name])})


BAD = [
    # fixed messages: the forward's without, the reverse's with "Error: "
    (FWD, False, _set("target_y", lambda t: t.to("meta")), r"^Tensor is not on CPU\.$"),
    (REV, False, _set("grid_x", lambda t: t.to("meta")), r"^Error: Tensor is not on CPU\.$"),
    (FWD, False, _set("values", lambda t: t.to("meta")), r"^Tensor is not on CPU\.$"),
    # layouts
    (FWD, False, _set("grid_z", lambda t: t.double()), r"^Trilinear_interpolation: grid_z must be float32, got float64"),
    (REV, False, _set("target_x", lambda t: t[None]), r"^Trilinear_reverse_interpolation: target_x must be a 1-D tensor"),
    (FWD, False, _set("values", lambda t: t.to(torch.complex128)), r"values must be complex64, got"),
    (REV, False, _set("values", lambda t: t.real.contiguous()), r"values must be complex64, got float32"),
    (FWD, True, _set("values", lambda t: t[0]), r"values must be a 6-D tensor"),
    # base coordinates that would make a kernel read outside the tensors
    (FWD, False, _set("grid_y", lambda t: t[:1]), r"grid_y must have at least 2 coordinates in trilinear mode, got 1"),
    (REV, False, _set("grid_x", lambda t: t[:1]), r"grid_x must have at least 2 coordinates in trilinear mode, got 1"),
    (FWD, True, _set("grid_z", lambda t: t[:0]), r"grid_z must have at least 1 coordinate in nearest mode, got 0"),
    (FWD, False, _set("grid_x", lambda t: t.flip(0)), r"grid_x must be strictly increasing"),
    (REV, False, _set("grid_z", lambda t: torch.cat([t[:2], t[1:]])), r"grid_z must be strictly increasing"),
    (FWD, True, _set("grid_y", lambda t: torch.cat([t[:1], vec(NAN), t[2:]])), r"grid_y must hold finite coordinates"),
    (FWD, False, _set("grid_x", lambda t: torch.cat([t, vec(INF)])), r"grid_x must hold finite coordinates"),
    (FWD, False, _set("values", lambda t: t[:, :, :4]), r"values must have extents at least \[2, 3, 5, 4, 6, 2\]"),
    (FWD, True, _set("grid_z", lambda t: torch.cat([t, t[-1:] + 1])), r"values must have extents at least \[2, 3, 5, 4, 7, 2\]"),
    (REV, False, _set("values", lambda t: t[:, :, :, :2]), r"values must have extents at least \[2, 3, 7, 3, 5, 2\]"),
    (REV, False, _set("target_z", lambda t: torch.cat([t, t])), r"values must have extents at least"),
]


@pytest.mark.parametrize("function, nearest, breakage, pattern", BAD)
def test_bad_argument_is_refused_and_nothing_changes(function, nearest, breakage, pattern):
    import OrvaneCPU

    a = valid(function)
    breakage(a)
    before = {n: t.clone() for n, t in a.items() if t.device.type != "meta"}
    with pytest.raises(RuntimeError, match=pattern):
        call(OrvaneCPU, function, a, nearest)
    for n, t in before.items():
        torch.testing.assert_close(a[n], t, rtol=0, atol=0, equal_nan=True,
                                   msg=f"{n} changed by a failed call")


def test_too_many_target_nodes_are_refused():
    import OrvaneCPU

    a = valid(FWD)
    for axis in ("target_x", "target_y", "target_z"):
        a[axis] = torch.zeros(()).expand(2000)
    with pytest.raises(RuntimeError, match=r"the number of target nodes TX\*TY\*TZ must be at most"):
        call(OrvaneCPU, FWD, a)


@pytest.mark.skipif(torch.cuda.is_available(), reason="this machine has CUDA")
@pytest.mark.parametrize("function", [FWD, REV])
def test_cuda_module_without_cuda_says_so_first(function):
    import Orvane

    a = valid(function)
    a["values"] = a["values"][0]  # even before a wrong dimension
    with pytest.raises(RuntimeError, match=r"^CUDA not available\.$"):
        call(Orvane, function, a)


@pytest.mark.needs_cuda
@pytest.mark.parametrize("function, message", [(FWD, "Tensor is not on GPU."), (REV, "Error: Tensor is not on GPU.")])
def test_cuda_module_refuses_host_tensors(function, message):
    import Orvane

    a = {n: t.cuda() for n, t in valid(function).items()}
    a["target_z"] = a["target_z"].cpu()
    with pytest.raises(RuntimeError, match="^" + message.replace(".", r"\.") + "$"):
        call(Orvane, function, a)


@pytest.mark.needs_cuda
def test_results_live_on_the_device_of_the_inputs_not_the_current_one():
    import Orvane

    if torch.cuda.device_count() < 2:
        pytest.skip("needs two CUDA devices")
    a = {n: t.to("cuda:1") for n, t in valid(FWD).items()}
    with torch.cuda.device(0):
        out = call(Orvane, FWD, a)
    assert out.device == torch.device("cuda:1")
