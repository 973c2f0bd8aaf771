"""Random calls of all fifteen functions and the anisotropic pass beside them,
well-formed or with one thing broken.

Each case starts from a random well-formed call (random sizes, random data,
random strided layouts), then, with some probability, breaks one thing: a
dimension count, an extent (one short, zero, one), an element type, the
device, the strides, an expanded or aliased tensor, a small integer read on
the host, a Python integer, an entry of a table or a layer thickness, or the
data (NaN, infinities). The promise checked for every case:

- refused: a RuntimeError or TypeError; a RuntimeError names the function and
  the broken argument (or is one of the fixed "... not on GPU." texts), and
  every byte of every tensor's storage is as it was;
- accepted: tensors the call reads are untouched, written tensors change only
  inside their own views, and, where the data are finite and a float64
  reference exists, the results match it.

The interesting faults (reads or writes outside a tensor, undefined
arithmetic) show up when the CPU twin is built with the sanitizers
(tools/sanitize.sh). Every failing case reports its seed and a command that
replays it alone.

Run: python3 tests/fuzz.py --seconds 60 [--seed S] [--backend cpu|cuda]
"""
import argparse
import math
import os
import random
import sys
import time
import warnings
from dataclasses import dataclass
from typing import Callable, Dict, Optional

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
# The test helpers, then whatever PYTHONPATH names (an instrumented build),
# then the modules built in place at the repository root.
sys.path[1:1] = [HERE] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p] + [
    os.path.dirname(HERE)]

import reference as ref  # noqa: E402
from layouts import LAYOUTS  # noqa: E402

C64 = torch.complex64
F32 = torch.float32
FIXED_MESSAGES = ("Error: Tensor is not on", "Tensor is not on", "Error: CUDA not available.",
                  "CUDA not available.")


# ---------------------------------------------------------------------------
# Calls


@dataclass
class Call:
    function: str
    args: Dict[str, object]  # in positional order
    written: tuple = ()  # tensors updated in place
    # float64 expectations: name of a written tensor (or "return", "return0"...)
    reference: Optional[Callable[[dict], dict]] = None
    host_ints: tuple = ()  # small integers passed in tensors
    py_ints: tuple = ()  # plain Python ints
    size_sources: tuple = ()  # tensors whose extents set the sizes of others
    tables: Optional[Callable[[random.Random, dict], Optional[str]]] = None
    tol: float = 2e-5
    # elements worth comparing, where float32 rounding alone can move a result
    mask: Optional[Callable[[dict], dict]] = None
    broken: Optional[str] = None  # what was broken, for the report
    broken_arg: Optional[str] = None
    data_broken: bool = False
    stay_on_host: tuple = ()  # on the CUDA backend: tensors left on the CPU

    def tensors(self):
        return {n: t for n, t in self.args.items() if isinstance(t, torch.Tensor)}


def rnd(r, *shape, lo=-1.0, hi=1.0, dtype=F32):
    g = torch.Generator().manual_seed(r.randrange(2**31))
    if dtype == C64:
        return torch.complex(rnd(r, *shape, lo=lo, hi=hi), rnd(r, *shape, lo=lo, hi=hi))
    return (torch.rand(*shape, generator=g, dtype=torch.float64) * (hi - lo) + lo).to(dtype)


def ascending(r, n, lo=-1.0, hi=3.0):
    steps = rnd(r, n, lo=0.2, hi=1.2, dtype=torch.float64)
    return (lo + (hi - lo) * torch.cumsum(steps, 0) / steps.sum()).to(F32)


def sizes(r, n, lo=1, hi=5):
    return tuple(r.randint(lo, hi) for _ in range(n))


def _f64_dict(names, values):
    return dict(zip(names, values))


# --------------------------------------------------------------- field steps

def field_shapes(B, N):
    (B0, B1, B2), (NX, NY, NZ) = B, N
    return {"Ex": (B0, B1, NX, NY + 1, NZ + 1, B2), "Ey": (B0, B1, NX + 1, NY, NZ + 1, B2),
            "Ez": (B0, B1, NX + 1, NY + 1, NZ, B2),
            **{h: (B0, B1, NX, NY, NZ, B2) for h in ("Hx", "Hy", "Hz")}}


def gen_update(r, function):
    h = function == "Update_H"
    B, N = sizes(r, 3, 1, 3), sizes(r, 3, 1, 6)
    L = tuple(r.randint(0, max(0, n // 2)) for n in N)
    (B0, B1, B2), (NX, NY, NZ) = B, N
    a = {n: rnd(r, *s) for n, s in field_shapes(B, N).items()}
    curl, p = ("ch", "h") if h else ("ce", "e")
    for axis, n in zip("xyz", N):
        a[f"{curl}_{axis}"] = rnd(r, n, lo=0.2, hi=0.6)
    aux = {"x": (B0, B1, 2 * L[0], NY, NZ, 2, B2), "y": (B0, B1, NX, 2 * L[1], NZ, 2, B2),
           "z": (B0, B1, NX, NY, 2 * L[2], 2, B2)}
    for axis, n in zip("xyz", L):
        a[f"{p}psi_{axis}"] = rnd(r, *aux[axis], lo=-0.2, hi=0.2)
        a[f"{p}b_{axis}"] = rnd(r, 2 * n, lo=0.0, hi=1.0)
        a[f"{p}c_{axis}"] = rnd(r, 2 * n, lo=-0.5, hi=0.0)
    if not h:
        for grid, lo, hi in (("cg1", 0.9, 1.1), ("cg2", 0.0, 0.2)):
            for axis in "xyz":
                a[f"{grid}_{axis}"] = rnd(r, B1, NX, NY, NZ, lo=lo, hi=hi)
    a["layer_cells"] = torch.tensor(L, dtype=torch.int32)
    a["spare"] = torch.empty(0)
    if h:
        order = ("Hx Hy Hz Ex Ey Ez ch_x ch_y ch_z hpsi_x hpsi_y hpsi_z hb_x hb_y hb_z "
                 "hc_x hc_y hc_z layer_cells spare").split()
        written = ("Hx", "Hy", "Hz", "hpsi_x", "hpsi_y", "hpsi_z")
        fn = ref.update_h
    else:
        order = ("Ex Ey Ez Hx Hy Hz cg1_x cg1_y cg1_z cg2_x cg2_y cg2_z ce_x ce_y ce_z "
                 "epsi_x epsi_y epsi_z eb_x eb_y eb_z ec_x ec_y ec_z layer_cells spare").split()
        written = ("Ex", "Ey", "Ez", "epsi_x", "epsi_y", "epsi_z")
        fn = ref.update_e

    def reference(args):
        values = [args[n].double() for n in order[:-2]]
        return _f64_dict(written, fn(*values, args["layer_cells"].tolist()))

    def tables(r, args):
        args["layer_cells"] = torch.tensor(
            [r.choice([-1, n + 1, 2**31 - 1, -2**31]) if r.random() < 0.5 else n for n in L],
            dtype=torch.int32)
        return "layer_cells"

    return Call(function, {n: a[n] for n in order}, written, reference,
                size_sources=("Ex", "Ey", "Ez"), tables=tables)


def gen_update_h(r):
    return gen_update(r, "Update_H")


def gen_update_e(r):
    return gen_update(r, "Update_E")


def gen_periodic(r):
    from test_boundary import Periodic, periodic_args

    case = Periodic(sizes(r, 3, 1, 4), sizes(r, 3, 1, 5), (r.randint(0, 1), r.randint(0, 1)),
                    r.random() < 0.5)
    args = periodic_args(case, seed=r.randrange(2**31))

    def reference(a):
        values = list(a.values())
        out = ref.periodic(*values[:5], a["periodic_flags"].tolist(), a["positive_phase"])
        return _f64_dict(("Ex", "Ey", "Ez"), out)

    def tables(r, a):
        a["periodic_flags"] = torch.tensor([r.choice([-1, 7, 2**31 - 1]), 0], dtype=torch.int32)
        return "periodic_flags"

    return Call("Update_E_Periodic", args, ("Ex", "Ey", "Ez"), reference,
                size_sources=("Ex", "Ey", "Ez"), tables=tables)


def gen_dispersion(r):
    from test_dispersion import WRITTEN, problem

    args = problem(B=sizes(r, 3, 1, 3), N=sizes(r, 3, 1, 4), materials=r.randint(1, 6),
                   seed=r.randrange(2**31), extra=r.choice([0, 0, 1]))

    def reference(a):
        return _f64_dict(WRITTEN, ref.update_e_dispersion(*list(a.values())[:-1]))

    def tables(r, a):
        name = r.choice(["id1_x", "id2_y", "id1_z"])
        a[name] = set_somewhere(r, a[name], 255)
        return name

    return Call("Update_E_Dispersion", args, WRITTEN, reference,
                size_sources=("Ex", "Ey", "Ez", "Ex_prev", "Ey_prev", "Ez_prev"), tables=tables)


def gen_anisotropic(r):
    from test_anisotropy import NAMES, WRITTEN, problem

    args = problem(B=sizes(r, 3, 1, 3), N=sizes(r, 3, 1, 5), M=r.randint(0, 40),
                   seed=r.randrange(2**31))

    def reference(a):
        return _f64_dict(WRITTEN, ref.update_e_anisotropic(*(a[n] for n in NAMES)))

    def tables(r, a):
        # list entries that no node, batch entry or component has
        name = r.choice(["nodes", "neighbours"])
        a[name] = set_somewhere(r, a[name], r.choice([-1, 3, 65535, 2**31 - 1, -2**31]))
        return name

    return Call("Update_E_Anisotropic", args, WRITTEN, reference,
                size_sources=("Ex", "Ey", "Ez", "nodes"), tables=tables)


# ------------------------------------------------------------------ sources

def gen_plane(r, electric):
    from test_sources import Plane, plane_args

    NX, NY = sizes(r, 2, 1, 6)
    nz = r.randint(2, 5)
    case = Plane(sizes(r, 3, 1, 3), (NX, NY), (r.randint(0, 3), r.randint(0, 3)),
                 k=r.randint(0, nz - 2), nz=nz, extra=r.choice([0, 0, 1]))
    args = plane_args(electric, case, seed=r.randrange(2**31))
    names = ("Ex", "Ey") if electric else ("Hx", "Hy")

    def reference(a):
        v = list(a.values())
        return _f64_dict(names, ref.inject_plane(electric, *v[:7], a["margins"].tolist(), a["k"]))

    return Call("Inject_E" if electric else "Inject_H", args, names, reference,
                host_ints=("margins",), py_ints=("k",), tol=2e-6,
                size_sources=(names[0], names[1], "prof_x", "prof_y"))


def gen_inject_e(r):
    return gen_plane(r, True)


def gen_inject_h(r):
    return gen_plane(r, False)


def gen_inject_j(r):
    from test_sources import Box, current_args

    grid = sizes(r, 3, 1, 6)
    box = tuple(r.randint(0, n) for n in grid)
    offset = tuple(r.randint(0, n - s) for n, s in zip(grid, box))
    args = current_args(Box(sizes(r, 3, 1, 3), box, offset, grid, extra=r.choice([0, 0, 1])),
                        seed=r.randrange(2**31))

    def reference(a):
        v = list(a.values())
        return _f64_dict(("Ex", "Ey", "Ez"), ref.inject_current(*v[:6], a["offset"].tolist()))

    return Call("Inject_J", args, ("Ex", "Ey", "Ez"), reference, host_ints=("offset",), tol=2e-6,
                size_sources=("Jx", "Jy", "Jz", "Ex"))


# ------------------------------------------------------------------ monitor

def gen_monitor(r):
    from test_monitor import Monitor, monitor_args

    grid = sizes(r, 3, 1, 6)
    ranges = []
    for n in grid:
        first = r.randint(0, n - 1)
        ranges.append((first, r.randint(first - 1, n - 1)))
    F = r.randint(1, 3)
    case = Monitor(sizes(r, 2, 1, 3), F, r.choice([1, F, F + 1]), tuple(ranges), grid,
                   extra=r.choice([0, 0, 1]))
    args = monitor_args(case, seed=r.randrange(2**31))

    def reference(a):
        v = [t.tolist() if n.endswith("_range") else t for n, t in a.items()]
        return _f64_dict(("Ex_acc", "Ey_acc", "Ez_acc"), ref.monitor(*v))

    return Call("Monitor_Update_E", args, ("Ex_acc", "Ey_acc", "Ez_acc"), reference,
                host_ints=("x_range", "y_range", "z_range"), tol=2e-6,
                size_sources=("Ex_acc", "Ey_acc", "Ez_acc"))


# ---------------------------------------------------------------- materials

def box_problem(r):
    coords = [ascending(r, r.randint(1, 9)) for _ in range(3)]
    bounds = []
    for c in coords:
        lo = r.uniform(-1.5, 3.0)
        bounds.append(torch.tensor([lo, lo + r.uniform(0.0, 2.5)], dtype=torch.float64))
    samples = rnd(r, r.randint(1, 2), *sizes(r, 3, 1, 6), lo=0.0, hi=1.0)
    return {"x_bounds": bounds[0], "y_bounds": bounds[1], "z_bounds": bounds[2],
            "samples": samples, "x_coords": coords[0], "y_coords": coords[1],
            "z_coords": coords[2]}


def material_grids(r, L, shape, ids=4):
    g = torch.Generator().manual_seed(r.randrange(2**31))
    return (rnd(r, L, *shape, lo=0.0, hi=1.0),
            torch.randint(0, ids, (L, *shape), generator=g, dtype=torch.uint8),
            torch.randint(0, ids, (L, *shape), generator=g, dtype=torch.uint8))


def set_somewhere(r, t, value):
    """A copy of t (same strides) with one random element set to value."""
    t = t.clone()
    if t.numel() > 0:
        t[tuple(r.randrange(n) for n in t.shape)] = value
    return t


def id_tables(r, a):
    name = r.choice(["primary", "secondary"])
    a[name] = set_somewhere(r, a[name], r.choice([4, 200, 255]))
    return name


def gen_get_id_range(r):
    coords = ascending(r, r.randint(0, 9))
    lo = r.uniform(-1.5, 3.5)
    bounds = torch.tensor([lo, lo + r.uniform(0.0, 2.0)][: r.choice([1, 2, 2])],
                          dtype=r.choice([torch.float64, F32]))
    args = {"bounds": bounds, "coords": coords}

    def reference(a):
        s, e = ref.id_range(a["bounds"].tolist(), a["coords"])
        return {"return": torch.tensor([s, e], dtype=torch.float64)}

    return Call("get_id_range", args, (), reference, size_sources=("coords",))


def box_reference(a):
    avg, ranges = ref.mat_average(*list(a.values())[:7])
    return {"return0": avg, **{f"return{i + 1}": torch.tensor(rg, dtype=torch.float64)
                                for i, rg in enumerate(ranges)}}


def gen_mat_average(r):
    return Call("Mat_average", box_problem(r), (), box_reference, tol=2e-5,
                size_sources=("samples", "x_coords", "y_coords", "z_coords"))


def gen_set_weight_mat_id(r):
    a = box_problem(r)
    shape = tuple(a[f"{x}_coords"].numel() for x in "xyz")
    w, p, s = material_grids(r, a["samples"].size(0), shape)
    a.update(mat_id=r.choice([0, 3, 255, 256 + 7]), weight=w, primary=p, secondary=s)

    def reference(a):
        return _f64_dict(("weight", "primary", "secondary"),
                         ref.set_weight_mat_id(*list(a.values())))

    return Call("Set_weight_mat_id", a, ("weight", "primary", "secondary"), reference,
                py_ints=("mat_id",), size_sources=("samples", "x_coords", "y_coords", "z_coords"))


def gen_set_er_average(r):
    L, shape = r.randint(1, 2), sizes(r, 3, 1, 5)
    w, p, s = material_grids(r, L, shape)
    args = {"eps": torch.zeros(L, *shape), "weight": w, "primary": p, "secondary": s,
            "table": rnd(r, r.randint(4, 6), lo=-1.0, hi=5.0)}

    def reference(a):
        return {"eps": ref.set_er_average(*list(a.values()))}

    return Call("Set_ER_average", args, ("eps",), reference, tables=id_tables,
                size_sources=("eps",))


def gen_set_weight_subcell(r):
    a = box_problem(r)
    shape = tuple(a[f"{x}_coords"].numel() for x in "xyz")
    w, p, s = material_grids(r, a["samples"].size(0), shape)
    normals = torch.nn.functional.normalize(rnd(r, *w.shape, 3), dim=-1)
    table = rnd(r, r.randint(4, 6), lo=0.5, hi=6.0)
    if r.random() < 0.3:
        table[r.randrange(table.numel())] = r.choice([0.0, -1.0])
    a.update(weight=w, obj_id=r.randint(0, 3), primary=p, secondary=s, normals=normals,
             table=table, component=r.randint(-1, 3))

    def reference(a):
        v = list(a.values())
        return {"weight": ref.set_weight_subcell(*v)}

    def well_posed(a):
        # Two (nearly) equal permittivities make the weight's denominator the
        # 1e-4 guard alone: one float32 rounding of the averages moves the
        # weight by about 5e-3, and any weight then blends to the same value.
        t = a["table"].double()
        mask = torch.ones(a["weight"].shape, dtype=torch.bool)
        common = [min(n) for n in zip(*(a[g].shape for g in ("weight", "primary", "secondary")))]
        ids = [a[n][tuple(slice(0, n) for n in common)].long().clamp(max=t.numel() - 1)
               for n in ("primary", "secondary")]
        mask[tuple(slice(0, n) for n in common)] = (t[ids[0]] - t[ids[1]]).abs() > 1e-2
        return {"weight": mask}

    return Call("Set_weight_subcell", a, ("weight",), reference, py_ints=("obj_id", "component"),
                tables=id_tables, tol=1e-4, mask=well_posed,
                size_sources=("samples", "x_coords", "y_coords", "z_coords"))


# ------------------------------------------------------------ interpolation

def targets(r, g):
    n = r.randint(1, 6)
    lo, hi = float(g[0]), float(g[-1])
    t = torch.tensor([r.uniform(lo - 1, hi + 1) for _ in range(n)], dtype=F32)
    if r.random() < 0.3:
        t[r.randrange(n)] = g[r.randrange(g.numel())]  # exactly on a node
    return t


def gen_interpolation(r, reverse):
    nearest = (not reverse) and r.random() < 0.5
    base = [ascending(r, r.randint(1 if nearest else 2, 6)) for _ in range(3)]
    tgt = [targets(r, g) for g in base]
    B = sizes(r, 3, 1, 3)
    grid = [t.numel() for t in (tgt if reverse else base)]
    values = rnd(r, B[0], B[1], *grid, B[2], dtype=C64)
    name = "target_values" if reverse else "grid_values"
    args = {"grid_x": base[0], "grid_y": base[1], "grid_z": base[2], name: values,
            "target_x": tgt[0], "target_y": tgt[1], "target_z": tgt[2]}
    if not reverse:
        args["nearest"] = nearest

    def reference(a):
        v = list(a.values())
        fn = ref.trilinear_reverse_interpolation if reverse else ref.trilinear_interpolation
        return {"return": fn(*v)}

    return Call("Trilinear_reverse_interpolation" if reverse else "Trilinear_interpolation",
                args, (), reference, tol=1e-5,
                size_sources=("grid_x", "grid_y", "grid_z", name, "target_x", "target_y",
                              "target_z"))


def gen_forward(r):
    return gen_interpolation(r, False)


def gen_reverse(r):
    return gen_interpolation(r, True)


GENERATORS = {
    "Update_E_Dispersion": gen_dispersion,
    "Update_H": gen_update_h,
    "Update_E": gen_update_e,
    "Update_E_Periodic": gen_periodic,
    "Inject_H": gen_inject_h,
    "Inject_E": gen_inject_e,
    "Inject_J": gen_inject_j,
    "get_id_range": gen_get_id_range,
    "Mat_average": gen_mat_average,
    "Set_weight_mat_id": gen_set_weight_mat_id,
    "Set_ER_average": gen_set_er_average,
    "Set_weight_subcell": gen_set_weight_subcell,
    "Monitor_Update_E": gen_monitor,
    "Trilinear_interpolation": gen_forward,
    "Trilinear_reverse_interpolation": gen_reverse,
    "Update_E_Anisotropic": gen_anisotropic,
}


# ---------------------------------------------------------------- breakages

DTYPES = [torch.float32, torch.float64, torch.float16, torch.int32, torch.int64, torch.uint8,
          torch.bool, C64, torch.complex128]


def pick_tensor(r, call, nonempty=False):
    names = [n for n, t in call.tensors().items() if not nonempty or t.numel() > 0]
    return r.choice(names) if names else None


def b_dims(r, call):
    n = pick_tensor(r, call)
    t = call.args[n]
    call.args[n] = t[None] if (t.dim() == 0 or r.random() < 0.5) else (
        t[0] if t.size(0) > 0 else t.reshape(-1))
    return n


def b_extent(r, call):
    n = pick_tensor(r, call)
    t = call.args[n]
    if t.dim() == 0:
        return None
    d = r.randrange(t.dim())
    new = r.choice([t.size(d) - 1, 0, 1])
    if not 0 <= new < t.size(d):
        return None
    call.args[n] = t.narrow(d, 0, new)
    return n


def b_dtype(r, call):
    n = pick_tensor(r, call)
    t = call.args[n]
    with warnings.catch_warnings():  # complex data cast to reals, on purpose
        warnings.simplefilter("ignore")
        call.args[n] = t.to(r.choice([d for d in DTYPES if d != t.dtype]))
    return n


def b_device(r, call):
    """A tensor on the meta device, or (on the CUDA backend) left on the CPU."""
    n = pick_tensor(r, call)
    if r.random() < 0.5:
        call.args[n] = call.args[n].to("meta")
    else:
        call.stay_on_host += (n,)
    return n


def b_transpose(r, call):
    n = pick_tensor(r, call)
    t = call.args[n]
    if t.dim() < 2:
        return None
    d1, d2 = r.sample(range(t.dim()), 2)
    call.args[n] = t.transpose(d1, d2)
    return n


def b_expand(r, call):
    n = pick_tensor(r, call, nonempty=True)
    t = call.args[n]
    dims = [d for d in range(t.dim()) if t.size(d) > 1]
    if not dims:
        return None
    d = r.choice(dims)
    call.args[n] = t.narrow(d, 0, 1).expand(t.shape)
    return n


def b_alias(r, call):
    """A written tensor and another argument share memory: the same tensor,
    or a view of another argument's storage with the right shape."""
    if not call.written:
        return None
    w = r.choice(call.written)
    t = call.args[w]
    same = [n for n, o in call.tensors().items()
            if n != w and o.dtype == t.dtype and o.numel() >= t.numel() > 0]
    if not same:
        return None
    o = r.choice(same)
    src = call.args[o]
    if r.random() < 0.5 and src.shape == t.shape:
        call.args[w] = src
    else:
        if not src.is_contiguous():
            return None
        call.args[w] = src.reshape(-1)[: t.numel()].view(t.shape)
    return w


def b_host_int(r, call):
    if not call.host_ints:
        return None
    n = r.choice(call.host_ints)
    t = call.args[n]
    kind = r.randrange(7)
    if kind == 0:  # negative entry
        v = set_somewhere(r, t.long(), r.choice([-1, -2**31, -2**62]))
    elif kind == 1:  # huge entry
        v = set_somewhere(r, t.long(), r.choice([2**15, 2**16, 2**31 - 1, 2**31, 2**62,
                                                 2**63 - 1]))
    elif kind == 2:  # a real number, maybe not a finite one
        v = set_somewhere(r, t.to(torch.float64), r.choice([0.5, -0.5, 1e10, 1e30, -1e30, math.inf,
                                                            -math.inf, math.nan, 9.3e18]))
    elif kind == 3:  # too few entries
        v = t.reshape(-1)[: r.randrange(t.numel())]
    elif kind == 4:  # more entries, in two dimensions
        v = torch.cat([t.reshape(-1), t.reshape(-1)]).reshape(2, -1)
    elif kind == 5:  # another element type
        v = t.to(r.choice([torch.bool, C64, torch.uint8, torch.int8, torch.float16]))
    else:  # a float32 holding an integer beyond float precision
        v = t.to(F32) * 2**25 + 1
    call.args[n] = v
    return n


def b_py_int(r, call):
    if not call.py_ints:
        return None
    n = r.choice(call.py_ints)
    call.args[n] = r.choice([-1, -2**31, 2**31 - 1, 2**31, 2**63, -2**40, 65535, 65536, 1.5])
    return n


def b_table(r, call):
    return call.tables(r, call.args) if call.tables else None


def b_data(r, call):
    names = [n for n, t in call.tensors().items()
             if t.numel() > 0 and (t.is_floating_point() or t.is_complex())]
    if not names:
        return None
    n = r.choice(names)
    for _ in range(r.randint(1, 3)):
        call.args[n] = set_somewhere(r, call.args[n], r.choice([math.nan, math.inf, -math.inf,
                                                                1e38, -3e38, 1e-45]))
    call.data_broken = True
    return n


def b_conj(r, call):
    names = [n for n, t in call.tensors().items() if t.is_complex()]
    if not names:
        return None
    n = r.choice(names)
    call.args[n] = call.args[n].conj() if r.random() < 0.5 else call.args[n]._neg_view()
    return n


BREAKS = {
    "dims": b_dims, "extent": b_extent, "dtype": b_dtype, "device": b_device,
    "transpose": b_transpose, "expand": b_expand, "alias": b_alias, "host-int": b_host_int,
    "python-int": b_py_int, "table": b_table, "data": b_data, "conj": b_conj,
}


def poison(t):
    """A value that stands out in the gaps of a strided layout."""
    return math.nan if (t.is_floating_point() or t.is_complex()) else (
        True if t.dtype == torch.bool else torch.iinfo(t.dtype).max)


def gapped(t):
    """Every other entry, along the last dimension, of a poisoned buffer (the
    layouts of tests/layouts.py fill with NaN, which suits floats only)."""
    buf = torch.full((*t.shape[:-1], 2 * t.shape[-1]), poison(t), dtype=t.dtype)
    view = buf[..., 1::2]
    view.copy_(t)
    return view


def offset_in_buffer(t):
    buf = torch.full([s + 3 for s in t.shape], poison(t), dtype=t.dtype)
    view = buf[tuple(slice(2, 2 + s) for s in t.shape)]
    view.copy_(t)
    return view


STRIDED = [gapped, offset_in_buffer, LAYOUTS["reversed-storage-order"]]


def relayout(r, call):
    """Well-formed strided layouts: some tensors, the small integer tensors
    read on the host among them, become views with gaps, offsets or reversed
    storage order."""
    for n, t in call.tensors().items():
        if t.numel() > 0 and t.dim() > 0 and r.random() < 0.3:
            call.args[n] = r.choice(STRIDED)(t)


# ------------------------------------------------------------------- checks


def storage_bytes(t):
    """A copy of every byte of t's storage, as a flat uint8 tensor on the CPU."""
    raw = torch.empty(0, dtype=torch.uint8, device=t.device).set_(t.untyped_storage())
    return raw.cpu().clone()


def snapshot(call):
    return {n: storage_bytes(t) for n, t in call.tensors().items() if t.device.type != "meta"}


def outside_view_changed(before: torch.Tensor, t: torch.Tensor) -> bool:
    """Whether bytes of t's storage outside t's own view differ from `before`."""
    now = storage_bytes(t)
    if now.numel() != before.numel():
        return True
    item = t.element_size()
    mask = torch.zeros(now.numel() // item, dtype=torch.bool)
    if t.numel() > 0:
        torch.as_strided(mask, t.shape, t.stride(), t.storage_offset()).fill_(True)
    mask = mask.repeat_interleave(item)
    mask = torch.cat([mask, torch.zeros(now.numel() - mask.numel(), dtype=torch.bool)])
    return not torch.equal(now[~mask], before[~mask])


class Failure(Exception):
    pass


def names_argument(message, call):
    """A refusal names the function and the broken argument (or is a fixed
    message); a break of a tensor whose extents set the others' sizes may
    show up on any argument of the call."""
    if message.startswith(FIXED_MESSAGES):
        return True
    if not message.startswith(call.function + ":"):
        return False
    if call.broken_arg in message:
        return True
    if call.broken_arg in call.size_sources + call.host_ints:
        return any(n in message for n in call.args) or "size" in message
    return False


def compare(call, got: dict, want: dict, masks: dict):
    for key, w in want.items():
        g = got[key].cpu()
        if key in masks:
            g, w = g[masks[key]], w[masks[key]]
        g = g.to(torch.complex128) if g.is_complex() else g.double()
        w = w.to(torch.complex128) if w.is_complex() else w.double()
        if g.shape != w.shape:
            raise Failure(f"{key}: shape {tuple(g.shape)}, reference {tuple(w.shape)}")
        try:
            torch.testing.assert_close(g, w, atol=call.tol, rtol=call.tol, equal_nan=True)
        except AssertionError as e:
            raise Failure(f"{key} differs from the reference: {str(e).splitlines()[0:4]}")


def on_device(t, device, moved):
    """t on `device` as the same view of a copy of its storage: strides, gaps,
    offsets, expansions and conjugate bits kept, and arguments that share a
    storage on the host share one on the device (`moved` maps them)."""
    key = t.untyped_storage().data_ptr()
    if key not in moved:
        raw = torch.empty(0, dtype=torch.uint8).set_(t.untyped_storage())
        moved[key] = raw.to(device).untyped_storage()
    out = torch.empty(0, dtype=t.dtype, device=device).set_(
        moved[key], t.storage_offset(), t.shape, t.stride())
    out = out.conj() if t.is_conj() else out
    return out._neg_view() if t.is_neg() else out


def shares_storage(a, b):
    return a.untyped_storage().data_ptr() == b.untyped_storage().data_ptr()


def run_case(module, call: Call, device):
    """Run one call and check the promise; raises Failure."""
    if device.type != "cpu":
        moved = {}
        call.args = {n: (on_device(t, device, moved) if isinstance(t, torch.Tensor)
                         and t.device.type == "cpu" and n not in call.stay_on_host else t)
                     for n, t in call.args.items()}
    host_copy = {n: (t.cpu().clone() if isinstance(t, torch.Tensor) and t.device.type != "meta"
                     else t) for n, t in call.args.items()}
    before = snapshot(call)
    try:
        out = getattr(module, call.function)(*call.args.values())
    except (RuntimeError, TypeError) as e:
        message = str(e)
        after = snapshot(call)
        for n, b in before.items():
            if not torch.equal(after[n], b):
                raise Failure(f"refused ({message[:200]!r}) but {n} changed")
        if call.broken is None:
            raise Failure(f"a well-formed call was refused: {message[:300]!r}")
        if isinstance(e, RuntimeError) and not names_argument(message, call):
            raise Failure(f"refusal does not name {call.broken_arg}: {message[:300]!r}")
        return "refused"
    except Exception as e:  # any other exception type is a wrong refusal
        raise Failure(f"refused with {type(e).__name__} instead of RuntimeError/TypeError: "
                      f"{str(e)[:300]!r}")

    # Accepted: read tensors untouched, written ones only inside their views.
    after = snapshot(call)
    written = set(call.written)
    for n, b in before.items():
        if n in written:
            if outside_view_changed(b, call.args[n]):
                raise Failure(f"{n}: bytes outside its view changed")
        elif not torch.equal(after[n], b) and not any(
                shares_storage(call.args[w], call.args[n])
                for w in written if isinstance(call.args.get(w), torch.Tensor)):
            raise Failure(f"{n} is only read, but changed")
    # Data with NaN or infinities take no reference; nor do accepted changes
    # of element type (bounds or integers in half precision compute there).
    if call.reference is None or call.data_broken or call.broken == "dtype":
        return "accepted"
    try:
        want = call.reference(host_copy)
        masks = call.mask(host_copy) if call.mask else {}
    except Exception:
        return "accepted"  # arguments the reference cannot take; sanitizers still watch
    if isinstance(out, tuple):
        got = {f"return{i}": v for i, v in enumerate(out)}
    elif isinstance(out, torch.Tensor):
        got = {"return": out}
    else:
        got = {}
    got.update({n: call.args[n] for n in call.written})
    compare(call, got, {k: v for k, v in want.items() if k in got}, masks)
    return "matched"


def make_case(seed: int, function: Optional[str] = None, break_rate: float = 0.7) -> Call:
    r = random.Random(seed)
    name = function or r.choice(sorted(GENERATORS))
    call = GENERATORS[name](r)
    if r.random() < 0.4:
        relayout(r, call)
    if r.random() < 0.5:  # small integers read on the host may stay there
        call.stay_on_host += call.host_ints
    if r.random() < break_rate:
        kinds = list(BREAKS)
        r.shuffle(kinds)
        for kind in kinds:
            arg = BREAKS[kind](r, call)
            if arg is not None:
                call.broken, call.broken_arg = kind, arg
                break
    return call


def backend_module(backend):
    if backend == "cpu":
        import OrvaneCPU

        return OrvaneCPU, torch.device("cpu")
    import Orvane

    return Orvane, torch.device("cuda")


def replay_command(seed, backend, function=None):
    only = f" --function {function}" if function else ""
    if backend == "cpu" and "sanitize" in os.environ.get("PYTHONPATH", ""):
        return f"bash tools/sanitize.sh replay {seed}{only}"
    return f"python3 tests/fuzz.py --replay {seed} --backend {backend}{only}"


def fuzz(seconds: float, seed: int, backend="cpu", max_cases=None, progress=None, function=None,
         out=sys.stdout):
    """Run cases seed, seed+1, ... until the budget is spent; returns the list
    of (seed, message) failures. `progress` names a file that holds the seed
    of the case running, so that a sanitizer's abort can be traced to it; it
    is removed when the run ends normally."""
    module, device = backend_module(backend)
    failures, counts, start, case_seed = [], {}, time.monotonic(), seed
    while (time.monotonic() - start < seconds
           and (max_cases is None or case_seed - seed < max_cases)):
        if progress:
            with open(progress, "w") as f:
                f.write(f"{case_seed}\n")
        try:
            call = make_case(case_seed, function)
        except Exception as e:  # a fault of the fuzzer's own, reported alike
            failures.append((case_seed, f"building the case failed: {e!r}"))
            print(f"FAIL seed {case_seed}: building the case failed: {e!r}", file=out, flush=True)
            case_seed += 1
            continue
        try:
            outcome = run_case(module, call, device)
            counts[outcome] = counts.get(outcome, 0) + 1
        except Failure as e:
            failures.append((case_seed, str(e)))
            replay = replay_command(case_seed, backend, function)
            print(f"FAIL seed {case_seed}: {call.function}, break {call.broken} of "
                  f"{call.broken_arg}: {e}\n  replay: {replay}",
                  file=out, flush=True)
        case_seed += 1
    if progress and os.path.exists(progress):
        os.remove(progress)
    total = case_seed - seed
    print(f"fuzz: {total} cases from seed {seed} on {backend} in {time.monotonic() - start:.0f} s: "
          + ", ".join(f"{k} {v}" for k, v in sorted(counts.items()))
          + f", failed {len(failures)}", file=out, flush=True)
    return failures


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, default=60.0)
    p.add_argument("--seed", type=int, default=None, help="first case's seed (default: random)")
    p.add_argument("--cases", type=int, default=None, help="stop after this many cases")
    p.add_argument("--backend", choices=["cpu", "cuda"], default="cpu")
    p.add_argument("--replay", type=int, default=None, help="run the one case of this seed")
    p.add_argument("--progress", default=None, help="file to hold the running case's seed")
    p.add_argument("--function", choices=sorted(GENERATORS), default=None,
                   help="fuzz this function only (replay with the same option)")
    a = p.parse_args(argv)
    if a.replay is not None:
        module, device = backend_module(a.backend)
        call = make_case(a.replay, a.function)
        print(f"seed {a.replay}: {call.function}, break {call.broken} of {call.broken_arg}")
        for n, v in call.args.items():
            desc = (f"{v.dtype} {tuple(v.shape)} strides {v.stride()} on {v.device}"
                    if isinstance(v, torch.Tensor) else repr(v))
            print(f"  {n}: {desc}")
        try:
            print("outcome:", run_case(module, call, device))
        except Failure as e:
            print("FAIL:", e)
            return 1
        return 0
    seed = a.seed if a.seed is not None else random.randrange(2**31)
    failures = fuzz(a.seconds, seed, a.backend, a.cases, a.progress, a.function)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
