"""Bad arguments: every check a field update makes before it launches.

Each case breaks one argument of an otherwise valid call and expects a
RuntimeError that names the function and the argument; after the failed call
every tensor must hold what it held before.
"""
import pytest
import torch

H_NAMES = ("Hx Hy Hz Ex Ey Ez ch_x ch_y ch_z hpsi_x hpsi_y hpsi_z "
           "hb_x hb_y hb_z hc_x hc_y hc_z layer_cells spare").split()
E_NAMES = ("Ex Ey Ez Hx Hy Hz cg1_x cg1_y cg1_z cg2_x cg2_y cg2_z ce_x ce_y ce_z "
           "epsi_x epsi_y epsi_z eb_x eb_y eb_z ec_x ec_y ec_z layer_cells spare").split()


def field_shapes(B, N):
    (B0, B1, B2), (NX, NY, NZ) = B, N
    return {
        "Ex": (B0, B1, NX, NY + 1, NZ + 1, B2),
        "Ey": (B0, B1, NX + 1, NY, NZ + 1, B2),
        "Ez": (B0, B1, NX + 1, NY + 1, NZ, B2),
        **{h: (B0, B1, NX, NY, NZ, B2) for h in ("Hx", "Hy", "Hz")},
    }


def valid_args(function, B=(2, 3, 2), N=(4, 5, 6), L=(1, 2, 1), device="cpu"):
    """A valid argument dict for Update_H or Update_E, random where it matters."""
    g = torch.Generator().manual_seed(7)
    rnd = lambda *shape: torch.rand(*shape, generator=g)  # noqa: E731
    (B0, B1, B2), (NX, NY, NZ) = B, N
    a = {name: rnd(*shape) for name, shape in field_shapes(B, N).items()}
    h = function == "Update_H"
    prefix = ("h" if h else "e")
    curl = "ch" if h else "ce"
    for axis, n in zip("xyz", N):
        a[f"{curl}_{axis}"] = rnd(n)
    aux = {
        "x": (B0, B1, 2 * L[0], NY, NZ, 2, B2),
        "y": (B0, B1, NX, 2 * L[1], NZ, 2, B2),
        "z": (B0, B1, NX, NY, 2 * L[2], 2, B2),
    }
    for axis, l in zip("xyz", L):
        a[f"{prefix}psi_{axis}"] = rnd(*aux[axis])
        a[f"{prefix}b_{axis}"] = rnd(2 * l)
        a[f"{prefix}c_{axis}"] = rnd(2 * l)
    if not h:
        for grid in ("cg1", "cg2"):
            for axis in "xyz":
                a[f"{grid}_{axis}"] = rnd(B1, NX, NY, NZ)
    a["layer_cells"] = torch.tensor(L, dtype=torch.int32)
    a["spare"] = torch.empty(0)
    names = H_NAMES if h else E_NAMES
    return {n: a[n].to(device) for n in names}


def call(module, function, args):
    getattr(module, function)(*args.values())


def snapshot(args):
    return {n: t.clone() for n, t in args.items() if t.device.type != "meta"}


def assert_unchanged(args, before):
    for name, old in before.items():
        assert torch.equal(args[name], old), f"{name} changed by a failed call"


def replace(**new):
    return lambda args: args.update({k: v(args) if callable(v) else v for k, v in new.items()})


def shrink(name, dim):
    """The argument one entry short along `dim`."""
    return replace(**{name: lambda a: a[name].narrow(dim, 0, a[name].size(dim) - 1)})


def retype(name, dtype):
    return replace(**{name: lambda a: a[name].to(dtype)})


def to_meta(name):
    return replace(**{name: lambda a: a[name].to("meta")})


def alias(name, target):
    return replace(**{name: lambda a: a[target]})


# (function, breakage, message pattern)
CASES = [
    # element types and dimensions, as the views need them
    ("Update_H", replace(Hx=lambda a: a["Hx"][0]), r"^Update_H: Hx must be a 6-D tensor .*TensorAccessor expected 6 dims but tensor has 5"),
    ("Update_E", replace(epsi_y=lambda a: a["epsi_y"][..., 0]), r"^Update_E: epsi_y must be a 7-D tensor"),
    ("Update_E", replace(cg2_z=lambda a: a["cg2_z"][None]), r"^Update_E: cg2_z must be a 4-D tensor"),
    ("Update_H", retype("ch_y", torch.float64), r"^Update_H: ch_y must be float32, got float64"),
    ("Update_E", retype("layer_cells", torch.int64), r"^Update_E: layer_cells must be int32, got int64"),
    ("Update_H", retype("Ez", torch.float16), r"^Update_H: Ez must be float32"),
    # several faulty arguments: the last one is reported
    ("Update_H", lambda a: (retype("Hx", torch.float64)(a), retype("hc_z", torch.int32)(a)), r"^Update_H: hc_z "),
    # devices
    ("Update_H", to_meta("hb_x"), r"^Update_H: hb_x must be on cpu \(the device of Ex\), got meta"),
    ("Update_E", to_meta("Ex"), r"^Update_E: Ex must be a cpu tensor, got one on meta"),
    ("Update_E", to_meta("layer_cells"), r"^Update_E: layer_cells must be on cpu"),
    # staggered field extents
    ("Update_H", shrink("Hy", 4), r"^Update_H: Hy must have extents at least \[2, 3, 4, 5, 6, 2\]"),
    ("Update_H", shrink("Ey", 2), r"^Update_H: Ey must have extents at least \[2, 3, 5, 5, 7, 2\]"),
    ("Update_E", shrink("Ex", 3), r"^Update_E: Ex must have extents at least \[2, 3, 4, 6, 7, 2\]"),
    ("Update_E", shrink("Hz", 0), r"^Update_E: Hz must have extents at least"),
    ("Update_E", shrink("Hx", 5), r"^Update_E: Hx must have extents at least"),
    # coefficient vectors and grids
    ("Update_H", shrink("ch_z", 0), r"^Update_H: ch_z must have extents at least \[6\]"),
    ("Update_E", shrink("ce_x", 0), r"^Update_E: ce_x must have extents at least \[4\]"),
    ("Update_E", shrink("cg1_y", 0), r"^Update_E: cg1_y must have extents at least \[3, 4, 5, 6\]"),
    ("Update_E", shrink("cg2_x", 3), r"^Update_E: cg2_x must have extents at least"),
    # auxiliaries follow the fields' batch and grid; their layer
    # coefficients cover every slot
    ("Update_H", shrink("hpsi_y", 2), r"^Update_H: hpsi_y must have extents at least \[2, 3, 4, 4, 6, 2, 2\]"),
    ("Update_H", shrink("hpsi_z", 5), r"^Update_H: hpsi_z must have extents at least"),
    ("Update_E", shrink("epsi_x", 6), r"^Update_E: epsi_x must have extents at least"),
    ("Update_H", shrink("hb_y", 0), r"^Update_H: hb_y must have extents at least \[4\] \(one entry per slot of hpsi_y\)"),
    ("Update_E", shrink("ec_z", 0), r"^Update_E: ec_z must have extents at least \[2\]"),
    ("Update_H", shrink("layer_cells", 0), r"^Update_H: layer_cells must have extents at least \[3\]"),
    # written tensors never alias
    ("Update_H", alias("Hy", "Hx"), r"^Update_H: Hx is written, so it must not share memory with Hy"),
    ("Update_E", replace(Ez=lambda a: a["Hz"].new_zeros(()).expand_as(a["Ez"])), r"^Update_E: Ez is written, so no two of its elements"),
    ("Update_E", replace(ec_x=lambda a: a["epsi_x"].view(-1)[-2:]), r"^Update_E: epsi_x is written, so it must not share memory with ec_x"),
]


@pytest.mark.parametrize("function, breakage, pattern", CASES)
def test_bad_argument_is_named_and_nothing_changes(function, breakage, pattern):
    import OrvaneCPU

    args = valid_args(function)
    breakage(args)
    before = snapshot(args)
    with pytest.raises(RuntimeError, match=pattern):
        call(OrvaneCPU, function, args)
    assert_unchanged(args, before)


def test_written_tensor_sharing_memory_with_a_read_one_is_refused():
    import OrvaneCPU

    args = valid_args("Update_H")
    # Hz laid over the start of Ex's storage
    args["Hz"] = args["Ex"].flatten()[: args["Hz"].numel()].view_as(args["Hz"])
    before = snapshot(args)
    with pytest.raises(RuntimeError, match=r"^Update_H: Hz is written, so it must not share memory with Ex"):
        call(OrvaneCPU, "Update_H", args)
    assert_unchanged(args, before)


@pytest.mark.parametrize("function", ["Update_H", "Update_E"])
def test_spare_may_be_anything(function):
    import OrvaneCPU

    for spare in (torch.empty(0, device="meta"), torch.zeros(3, 2, dtype=torch.int64), torch.tensor(1.5)):
        args = valid_args(function)
        args["spare"] = spare
        call(OrvaneCPU, function, args)


def expanded_args(function, B, N):
    """Valid-looking arguments of any size, backed by a single element each."""
    args = valid_args(function, B=(1, 1, 1), N=(1, 1, 1), L=(0, 0, 0))
    shapes = field_shapes(B, N)
    for name in shapes:
        args[name] = torch.zeros(()).expand(shapes[name])
    return args


@pytest.mark.parametrize(
    "function, B, N, pattern",
    [
        ("Update_H", (1, 1, 1), (65536, 1, 1), r"grid size NX must be at most 65535, got 65536"),
        ("Update_E", (1, 1, 1), (1, 1, 70000), r"grid size NZ must be at most 65535, got 70000"),
        ("Update_H", (1, 65536, 1), (1, 1, 1), r"batch size B1 must be at most 65535"),
        ("Update_E", (256, 1, 256), (1, 1, 1), r"the number of batch entries B0\*B1\*B2 must be at most 65535, got 65536"),
        ("Update_H", (1, 1, 1), (2048, 1024, 1024), r"the number of cells NX\*NY\*NZ must be at most 2147483392"),
    ],
)
def test_sizes_beyond_the_launch_limits_are_refused(function, B, N, pattern):
    import OrvaneCPU

    args = expanded_args(function, B, N)
    # Only the coefficient vectors need real extents to reach the size limits.
    for name, n in zip(("x", "y", "z"), N):
        args[f"{'ch' if function == 'Update_H' else 'ce'}_{name}"] = torch.zeros(()).expand(n)
    if function == "Update_E":
        for grid in ("cg1", "cg2"):
            for axis in "xyz":
                args[f"{grid}_{axis}"] = torch.zeros(()).expand(B[1], *N)
    prefix = "h" if function == "Update_H" else "e"
    (B0, B1, B2), (NX, NY, NZ) = B, N
    args[f"{prefix}psi_x"] = torch.zeros(()).expand(B0, B1, 0, NY, NZ, 2, B2)
    args[f"{prefix}psi_y"] = torch.zeros(()).expand(B0, B1, NX, 0, NZ, 2, B2)
    args[f"{prefix}psi_z"] = torch.zeros(()).expand(B0, B1, NX, NY, 0, 2, B2)
    with pytest.raises(RuntimeError, match=f"^{function}: {pattern}"):
        call(OrvaneCPU, function, args)


@pytest.mark.skipif(torch.cuda.is_available(), reason="this machine has CUDA")
@pytest.mark.parametrize("function", ["Update_H", "Update_E"])
def test_cuda_module_without_cuda_says_so_first(function):
    import Orvane

    args = valid_args(function)
    args["Hx"] = args["Hx"][0]  # even before a wrong dimension
    before = snapshot(args)
    with pytest.raises(RuntimeError, match=rf"^{function}: CUDA not available\.$"):
        call(Orvane, function, args)
    assert_unchanged(args, before)


@pytest.mark.needs_cuda
@pytest.mark.parametrize("function", ["Update_H", "Update_E"])
def test_cuda_module_refuses_host_tensors(function):
    import Orvane

    args = valid_args(function, device="cuda")
    args["ch_x" if function == "Update_H" else "ce_x"] = torch.zeros(4)
    with pytest.raises(RuntimeError, match=rf"^{function}: c[he]_x must be on cuda"):
        call(Orvane, function, args)
    host = valid_args(function)
    with pytest.raises(RuntimeError, match=rf"^{function}: Ex must be a cuda tensor, got one on cpu"):
        call(Orvane, function, host)


@pytest.mark.needs_cuda
def test_cpu_module_refuses_cuda_tensors():
    import OrvaneCPU

    args = valid_args("Update_H")
    args["Hz"] = args["Hz"].cuda()
    with pytest.raises(RuntimeError, match=r"^Update_H: Hz must be on cpu \(the device of Ex\), got cuda"):
        call(OrvaneCPU, "Update_H", args)
