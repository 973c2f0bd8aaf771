"""The dispersive pass: the recurrence against the float64 reference over
several calls, the faces it leaves alone, and its argument checks."""
import pytest
import torch

import reference as ref

NAMES = ("Ex Ey Ez Ex_prev Ey_prev Ez_prev w_x w_y w_z id1_x id1_y id1_z id2_x id2_y id2_z "
         "den1_x den1_y den1_z den2_x den2_y den2_z rec_a rec_b "
         "acc1_x acc1_y acc1_z acc2_x acc2_y acc2_z spare").split()
WRITTEN = NAMES[:6] + NAMES[23:29]
C64 = torch.complex64


def problem(B=(2, 3, 2), N=(4, 5, 3), materials=5, seed=0, extra=0):
    """Random valid arguments (CPU); ids run one past the tables' length, so
    some nodes use an id without an entry. `extra` enlarges every grid and
    accumulator (never the fields, whose sizes define the problem)."""
    g = torch.Generator().manual_seed(seed)
    (B0, B1, B2), (NX, NY, NZ), x = B, N, extra

    def rnd(*shape, lo=-1.0, hi=1.0):
        return torch.rand(*shape, generator=g) * (hi - lo) + lo

    def crnd(*shape, scale=0.5):
        return torch.complex(rnd(*shape), rnd(*shape)) * scale

    fields = [(B0, B1, NX, NY + 1, NZ + 1, B2), (B0, B1, NX + 1, NY, NZ + 1, B2),
              (B0, B1, NX + 1, NY + 1, NZ, B2)]
    grid = (B1 + x, NX + x, NY + x, NZ + x)
    acc = (B0 + x, B1 + x, NX + x, NY + x, NZ + x, B2 + x)
    a = {}
    for axis, shape in zip("xyz", fields):
        a[f"E{axis}"] = rnd(*shape)
        a[f"E{axis}_prev"] = rnd(*shape)
    for axis in "xyz":
        a[f"w_{axis}"] = rnd(*grid, lo=0.0)
        a[f"id1_{axis}"] = torch.randint(0, materials + 1, grid, generator=g, dtype=torch.uint8)
        a[f"id2_{axis}"] = torch.randint(0, materials + 1, grid, generator=g, dtype=torch.uint8)
        a[f"den1_{axis}"] = rnd(*grid, lo=0.5, hi=1.5)
        a[f"den2_{axis}"] = rnd(*grid, lo=0.2, hi=0.8)
    a["rec_a"] = crnd(materials, scale=0.6)
    a["rec_b"] = crnd(materials + 2)  # longer: the common length counts
    for axis in "xyz":
        a[f"acc1_{axis}"] = crnd(*acc)
        a[f"acc2_{axis}"] = crnd(*acc)
    a["spare"] = torch.empty(0)
    return {n: a[n] for n in NAMES}


def to_backend(backend, args):
    return {n: backend.tensor(t.clone()) for n, t in args.items()}


def run(module, args):
    module.Update_E_Dispersion(*args.values())


def expected(args):
    return dict(zip(WRITTEN, ref.update_e_dispersion(*list(args.values())[:-1])))


def assert_matches(dev, want, atol=2e-5, rtol=2e-5):
    for name, w in want.items():
        got = dev[name].cpu()
        got = got.to(torch.complex128) if got.is_complex() else got.double()
        torch.testing.assert_close(got, w, atol=atol, rtol=rtol, msg=lambda m: f"{name}: {m}")


# Scenarios of the recurrence: each edits the random problem before the calls.
def _zero_accumulators(a):
    for n in NAMES[23:29]:
        a[n].zero_()


def _no_pole(a):  # α = β = 0 for every material
    a["rec_a"].zero_()
    a["rec_b"].zero_()
    _zero_accumulators(a)


def _primary_only(a):  # w = 1: the secondary accumulator is no longer driven
    for n in ("w_x", "w_y", "w_z"):
        a[n].fill_(1.0)


def _same_material(a):  # m1 = m2: one pole, driven with w and 1 - w
    for axis in "xyz":
        a[f"id2_{axis}"].copy_(a[f"id1_{axis}"])


def _ids_beyond_tables(a):  # every id past the tables: no pole anywhere
    for n in NAMES[9:15]:
        a[n].fill_(200)


SCENARIOS = {
    "random": lambda a: None,
    "zero-accumulators": _zero_accumulators,
    "no-pole": _no_pole,
    "primary-only": _primary_only,
    "same-material": _same_material,
    "ids-beyond-tables": _ids_beyond_tables,
}


@pytest.mark.parametrize("scenario", SCENARIOS.values(), ids=SCENARIOS.keys())
def test_recurrence_over_several_calls_matches_reference(backend, scenario):
    args = problem()
    scenario(args)
    dev = to_backend(backend, args)
    for call in range(3):
        want = expected(args)
        run(backend.module, dev)
        assert_matches(dev, want)
        # The next call starts from the reference's state, as the module's.
        args.update({n: (w.to(C64) if w.is_complex() else w.float()) for n, w in want.items()})


SHAPES = {
    "several-blocks": dict(B=(2, 2, 3), N=(9, 8, 7)),
    "oversized-grids-and-accumulators": dict(B=(2, 2, 2), N=(3, 4, 5), extra=2),
    "single-node-axis": dict(B=(3, 2, 2), N=(1, 3, 4)),
}


@pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
def test_shapes_match_reference(backend, shape):
    args = problem(**shape, seed=1)
    dev = to_backend(backend, args)
    run(backend.module, dev)
    assert_matches(dev, expected(args))


def test_non_contiguous_views_are_updated_in_place(backend):
    args = problem(seed=2)
    dev = to_backend(backend, args)
    for n in WRITTEN + ["w_y", "id1_z", "rec_a"]:  # every other entry of a larger buffer
        t = dev[n]
        buf = torch.zeros(*t.shape[:-1], 2 * t.shape[-1], dtype=t.dtype, device=t.device)
        buf[..., 1::2] = t
        dev[n] = buf[..., 1::2]
    run(backend.module, dev)
    assert_matches(dev, expected(args))


def test_zero_accumulators_give_hand_computed_values(backend):
    args = problem(B=(1, 1, 1), N=(2, 2, 2), materials=2, seed=3)
    _zero_accumulators(args)
    for axis in "xyz":
        args[f"id1_{axis}"].fill_(0)
        args[f"id2_{axis}"].fill_(1)
        args[f"w_{axis}"].fill_(0.25)
        args[f"den1_{axis}"].fill_(1.5)
        args[f"den2_{axis}"].fill_(0.5)
    args["rec_b"][:2] = torch.tensor([1 + 2j, -0.5 + 0.25j])
    dev = to_backend(backend, args)
    e_in, e_prev = args["Ex"][0, 0, 1, 1, 1, 0], args["Ex_prev"][0, 0, 1, 1, 1, 0]
    run(backend.module, dev)
    e_new = e_in / 2.0
    delta = e_new - e_prev
    got = lambda n: dev[n][0, 0, 1, 1, 1, 0].cpu()  # noqa: E731
    torch.testing.assert_close(got("Ex"), e_new)
    torch.testing.assert_close(got("acc1_x"), (0.25 * (1 + 2j) * delta).to(C64))
    torch.testing.assert_close(got("acc2_x"), (0.75 * (-0.5 + 0.25j) * delta).to(C64))


def test_faces_are_skipped_but_previous_fields_refreshed_everywhere(backend):
    args = problem(seed=4)
    dev = to_backend(backend, args)
    run(backend.module, dev)
    NX, NY, NZ = 4, 5, 3
    faces = {  # component: index expressions of its skipped faces and nodes at N
        "x": [(slice(None), 0), (slice(None), slice(None), 0), (slice(None), NY),
              (slice(None), slice(None), NZ)],
        "y": [(0,), (slice(None), slice(None), 0), (NX,), (slice(None), slice(None), NZ)],
        "z": [(0,), (slice(None), 0), (NX,), (slice(None), NY)],
    }
    for axis, where in faces.items():
        E, before = dev[f"E{axis}"].cpu(), args[f"E{axis}"]
        for idx in where:
            face = (slice(None), slice(None)) + idx
            assert torch.equal(E[face], before[face]), f"E{axis}{idx} changed"
        assert torch.equal(dev[f"E{axis}_prev"].cpu(), E)
        for acc in ("acc1", "acc2"):  # the faces at index 0 exist in the accumulators
            for idx in where[:2]:
                face = (slice(None), slice(None)) + idx
                assert torch.equal(dev[f"{acc}_{axis}"].cpu()[face], args[f"{acc}_{axis}"][face])


def test_spare_may_be_anything(backend):
    for spare in (torch.empty(0, device="meta"), torch.zeros(2, 3, dtype=torch.int64)):
        args = to_backend(backend, problem(B=(1, 1, 1), N=(2, 2, 2)))
        args["spare"] = spare
        run(backend.module, args)


# ---------------------------------------------------------------------------
# Bad arguments: a RuntimeError naming the function and the argument, and no
# tensor changed (in particular no field or accumulator updated before a
# previous-field copy could fail).


def _set(**new):
    return lambda a: a.update({k: v(a) for k, v in new.items()})


def _narrow(name, dim):
    return _set(**{name: lambda a: a[name].narrow(dim, 0, a[name].size(dim) - 1)})


BAD = [
    (_set(Ey_prev=lambda a: a["Ey_prev"][..., :1]), r"Ey_prev must have the shape of Ey, \[2, 3, 5, 5, 4, 2\], got \[2, 3, 5, 5, 4, 1\]"),
    (_set(Ex_prev=lambda a: torch.zeros(2, 3, 5, 6, 4, 2)), r"Ex_prev must have the shape of Ex, \[2, 3, 4, 6, 4, 2\], got \[2, 3, 5, 6, 4, 2\]"),
    (_set(Ez_prev=lambda a: torch.zeros(*a["Ez"].shape[:-1], 3)), r"Ez_prev must have the shape of Ez"),
    (_narrow("Ex", 3), r"Ex must have extents at least \[2, 3, 4, 6, 4, 2\]"),
    (_narrow("w_y", 1), r"w_y must have extents at least \[3, 4, 5, 3\]"),
    (_narrow("id2_z", 3), r"id2_z must have extents at least"),
    (_narrow("den1_x", 0), r"den1_x must have extents at least"),
    (_narrow("acc2_y", 5), r"acc2_y must have extents at least \[2, 3, 4, 5, 3, 2\]"),
    (_set(id1_x=lambda a: a["id1_x"].int()), r"id1_x must be uint8, got int32"),
    (_set(rec_a=lambda a: a["rec_a"].real.contiguous()), r"rec_a must be complex64, got float32"),
    (_set(rec_b=lambda a: a["rec_b"][None]), r"rec_b must be a 1-D tensor"),
    (_set(acc1_z=lambda a: a["acc1_z"].to(torch.complex128)), r"acc1_z must be complex64"),
    (_set(den2_z=lambda a: a["den2_z"].to("meta")), r"den2_z must be on cpu \(the device of Ex\), got meta"),
    (_set(acc2_x=lambda a: a["acc1_x"]), r"acc1_x is written, so it must not share memory with acc2_x"),
    (_set(Ex_prev=lambda a: a["Ex"]), r"Ex is written, so it must not share memory with Ex_prev"),
    (_set(Ey_prev=lambda a: torch.zeros(()).expand_as(a["Ey"])), r"Ey_prev is written, so no two of its elements"),
    (_set(acc1_y=lambda a: a["acc1_y"].conj()), r"acc1_y is a lazily conjugated or negated view"),
]


@pytest.mark.parametrize("breakage, pattern", BAD)
def test_bad_argument_is_named_and_nothing_changes(breakage, pattern):
    import OrvaneCPU

    args = problem()
    breakage(args)
    before = {n: t.clone() for n, t in args.items() if t.device.type != "meta"}
    with pytest.raises(RuntimeError, match="^Update_E_Dispersion: " + pattern):
        run(OrvaneCPU, args)
    for n, t in before.items():
        assert torch.equal(args[n], t), f"{n} changed by a failed call"


def test_conjugated_tables_are_read_as_their_values(backend):
    args = problem(seed=5)
    dev = to_backend(backend, args)
    dev["rec_a"] = dev["rec_a"].conj().conj().conj()  # a lazily conjugated view
    args["rec_a"] = args["rec_a"].conj().resolve_conj()
    run(backend.module, dev)
    assert_matches(dev, expected(args))


@pytest.mark.skipif(torch.cuda.is_available(), reason="this machine has CUDA")
def test_cuda_module_without_cuda_says_so_first():
    import Orvane

    args = problem()
    args["Ex"] = args["Ex"][0]
    with pytest.raises(RuntimeError, match=r"^Update_E_Dispersion: CUDA not available\.$"):
        run(Orvane, args)
