"""The anisotropic pass (``Update_E_Anisotropic``): the listed nodes' sums
against the float64 reference, entries and neighbours outside what the
electric update computes, one hand-computed coupling, and the argument
checks."""
import pytest
import torch

import reference as ref

NAMES = "Ex Ey Ez Hx Hy Hz ce_x ce_y ce_z nodes neighbours weights".split()
WRITTEN = NAMES[:3]


def problem(B=(2, 3, 2), N=(5, 4, 6), M=60, seed=0):
    """Random fields and coefficients with a list of M entries: most valid,
    some with a node on a face, outside its tensor, of a batch entry or
    component that does not exist, some couplings to rows past the list or of
    another batch entry or component, some weights
    zero and one node listed twice."""
    g = torch.Generator().manual_seed(seed)
    (B0, B1, B2), (NX, NY, NZ) = B, N

    def rnd(*shape):
        return torch.rand(*shape, generator=g) * 2 - 1

    a = {"Ex": rnd(B0, B1, NX, NY + 1, NZ + 1, B2), "Ey": rnd(B0, B1, NX + 1, NY, NZ + 1, B2),
         "Ez": rnd(B0, B1, NX + 1, NY + 1, NZ, B2)}
    for h in ("Hx", "Hy", "Hz"):
        a[h] = rnd(B0, B1, NX, NY, NZ, B2)
    for axis, n in zip("xyz", N):
        a[f"ce_{axis}"] = torch.rand(n, generator=g) * 0.5 + 0.25
    b1 = torch.randint(0, B1, (M,), generator=g)
    c = torch.randint(0, 3, (M,), generator=g)
    # indices from -1 to N + 1: faces, ghosts and beyond included
    node = torch.stack([torch.randint(-1, n + 2, (M,), generator=g) for n in N], 1)
    inner = torch.stack([torch.randint(1, max(n, 2), (M,), generator=g) for n in N], 1)
    valid = torch.rand(M, generator=g) < 0.7
    node = torch.where(valid[:, None], inner, node)
    nodes = torch.cat([b1[:, None], c[:, None], node], 1)
    if M > 5:
        nodes[1, 0], nodes[2, 1], nodes[3, 1] = B1, 3, -1  # no such b1, components
        nodes[5] = nodes[4]                                  # a node listed twice
    # Mostly rows of the node's batch entry and the slot's component; some
    # of another, some past either end of the list.
    neighbours = torch.randint(-3, M + 3, (M, 8), generator=g)
    far = torch.randint(-2**31, 2**31 - 1, (M, 8), generator=g)
    neighbours = torch.where(torch.rand(M, 8, generator=g) < 0.05, far, neighbours)
    for m in range(M):
        for n in range(8):
            d = (int(nodes[m, 1]) + 1 + n // 4) % 3
            fits = ((nodes[:, 0] == nodes[m, 0]) & (nodes[:, 1] == d)).nonzero()[:, 0]
            if len(fits) and torch.rand(1, generator=g) < 0.8:
                neighbours[m, n] = fits[torch.randint(len(fits), (1,), generator=g)]
    weights = rnd(M, 8) * (torch.rand(M, 8, generator=g) < 0.8)
    a.update(nodes=nodes.int(), neighbours=neighbours.int(), weights=weights)
    return {n: a[n] for n in NAMES}


def to_backend(backend, args):
    return {n: backend.tensor(t.clone()) for n, t in args.items()}


def run(module, args):
    module.Update_E_Anisotropic(*args.values())


def assert_matches(dev, args, atol=2e-5, rtol=2e-5):
    want = dict(zip(WRITTEN, ref.update_e_anisotropic(*args.values())))
    for name, w in want.items():
        torch.testing.assert_close(dev[name].cpu().double(), w, atol=atol, rtol=rtol,
                                   msg=lambda m: f"{name}: {m}")


CASES = [
    dict(),
    dict(B=(1, 1, 1), N=(3, 7, 2), M=40, seed=1),
    dict(B=(3, 2, 1), N=(2, 2, 2), M=25, seed=2),  # one computed node across each axis
    dict(M=0),
    # more ids than one CPU chunk: shared between threads, with many nodes
    # listed more than once (their additions must not race)
    dict(B=(1, 2, 1), N=(5, 5, 5), M=1500, seed=4),
]


@pytest.mark.parametrize("case", CASES, ids=lambda c: str(c))
def test_listed_nodes_get_their_couplings_as_the_reference_does(backend, case):
    args = problem(**case)
    dev = to_backend(backend, args)
    run(backend.module, dev)
    assert_matches(dev, args)
    for name in NAMES[3:]:  # what the pass only reads
        assert torch.equal(dev[name].cpu(), args[name]), name


def test_strided_and_larger_inputs_read_as_their_views(backend):
    args = problem(seed=3)
    dev = {}
    for name, t in args.items():
        if name in ("nodes", "weights"):  # column-major
            dev[name] = backend.tensor(t.t().contiguous()).t()
        else:  # a view into a larger buffer
            big = backend.tensor(torch.zeros(*(n + 1 for n in t.shape), dtype=t.dtype))
            dev[name] = big[tuple(slice(0, n) for n in t.shape)]
            dev[name].copy_(t)
    run(backend.module, dev)
    assert_matches(dev, args)


def test_one_coupling_by_hand(backend):
    """Ex at (1, 2, 2) coupled to Ey at (2, 1, 2) with weight 0.5: Ey's
    increment there is ce_z·(Hx[k] − Hx[k−1]) − ce_x·(Hz[i] − Hz[i−1])."""
    N = (3, 3, 3)
    args = problem(B=(1, 1, 1), N=N, M=1)
    for name in ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz"):
        args[name].zero_()
    for axis in "xyz":
        args[f"ce_{axis}"].fill_(0.25)
    args["Hx"][0, 0, 2, 1, 2, 0], args["Hx"][0, 0, 2, 1, 1, 0] = 3.0, 1.0
    args["Hz"][0, 0, 2, 1, 2, 0], args["Hz"][0, 0, 1, 1, 2, 0] = -2.0, 2.0
    # the Ey node is listed too (row 1), with no couplings of its own
    args["nodes"] = torch.tensor([[0, 0, 1, 2, 2], [0, 1, 2, 1, 2]], dtype=torch.int32)
    args["neighbours"] = torch.zeros(2, 8, dtype=torch.int32)
    args["neighbours"][0, 0] = 1
    args["weights"] = torch.zeros(2, 8)
    args["weights"][0, 0] = 0.5
    dev = to_backend(backend, args)
    run(backend.module, dev)
    # 0.5 · (0.25·(3 − 1) − 0.25·(−2 − 2)) = 0.75
    assert dev["Ex"].cpu()[0, 0, 1, 2, 2, 0].item() == 0.75
    assert int((dev["Ex"] != 0).sum()) == 1
    assert not dev["Ey"].any() and not dev["Ez"].any()


# ---------------------------------------------------------------------------
# Bad arguments: a RuntimeError naming the function and the argument, and no
# tensor changed.


def _set(**new):
    return lambda a: a.update({k: v(a) for k, v in new.items()})


BAD = [
    (_set(nodes=lambda a: a["nodes"].long()), r"nodes must be int32, got int64"),
    (_set(nodes=lambda a: a["nodes"][:, :4]), r"nodes must have extents at least \[60, 5\]"),
    (_set(neighbours=lambda a: a["neighbours"][:59]), r"neighbours must have extents at least \[60, 8\]"),
    (_set(neighbours=lambda a: a["neighbours"][:, :7]), r"neighbours must have extents at least"),
    (_set(neighbours=lambda a: a["neighbours"][:, :, None]), r"neighbours must be a 2-D tensor"),
    (_set(weights=lambda a: a["weights"][:, :7]), r"weights must have extents at least \[60, 8\]"),
    (_set(weights=lambda a: a["weights"].double()), r"weights must be float32, got float64"),
    (_set(ce_y=lambda a: a["ce_y"][:3]), r"ce_y must have extents at least \[4\]"),
    (_set(Hz=lambda a: a["Hz"][:, :, :4]), r"Hz must have extents at least \[2, 3, 5, 4, 6, 2\]"),
    (_set(Ex=lambda a: a["Ex"][..., :4, :]), r"Ex must have extents at least"),
    (_set(weights=lambda a: a["weights"].to("meta")), r"weights must be on cpu \(the device of Ex\), got meta"),
    (_set(Ez=lambda a: torch.zeros(()).expand_as(a["Ez"])), r"Ez is written, so no two of its elements"),
    (_set(Hx=lambda a: a["Ex"].view(-1)[:a["Hx"].numel()].view(a["Hx"].shape)),
     r"Ex is written, so it must not share memory with Hx"),
]


@pytest.mark.parametrize("breakage, pattern", BAD)
def test_bad_argument_is_named_and_nothing_changes(breakage, pattern):
    import OrvaneCPU

    args = problem()
    breakage(args)
    before = {n: t.clone() for n, t in args.items() if t.device.type != "meta"}
    with pytest.raises(RuntimeError, match="^Update_E_Anisotropic: " + pattern):
        run(OrvaneCPU, args)
    for n, t in before.items():
        assert torch.equal(args[n], t), f"{n} changed by a failed call"


@pytest.mark.skipif(torch.cuda.is_available(), reason="this machine has CUDA")
def test_cuda_module_without_cuda_says_so_first():
    import Orvane

    with pytest.raises(RuntimeError, match=r"^Update_E_Anisotropic: CUDA not available\.$"):
        run(Orvane, problem())


def test_the_driver_lists_each_coupled_node_once_with_its_row():
    """``_by_row``: each coupling names the row of its node; a coupled node
    that has no row of its own gets one, with no couplings."""
    from orvane_sim.core.anisotropy import _by_row

    nodes = torch.tensor([[0, 0, 1, 1, 1], [0, 1, 1, 1, 1]])
    neighbours = torch.zeros(2, 8, 3, dtype=torch.long)
    neighbours[0, 0] = torch.tensor([1, 1, 1])   # Ey at (1, 1, 1): row 1
    neighbours[0, 4] = torch.tensor([2, 1, 1])   # Ez at (2, 1, 1): not listed
    neighbours[1, 4] = torch.tensor([1, 1, 1])   # Ex at (1, 1, 1): row 0
    weights = torch.zeros(2, 8, dtype=torch.float64)
    weights[0, 0], weights[0, 4], weights[1, 4] = 0.1, 0.2, 0.1
    out_nodes, rows, out_weights, _ = _by_row(nodes, neighbours, weights, (1, 3, 3, 3))
    assert out_nodes.tolist() == nodes.tolist() + [[0, 2, 2, 1, 1]]
    assert rows[0, 0] == 1 and rows[0, 4] == 2 and rows[1, 4] == 0
    assert int((rows >= 0).sum()) == 3  # slots with no weight name no row
    assert not out_weights[2].any()

