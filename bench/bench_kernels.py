"""Every function of the table timed against the bytes it must move.

    python3 bench/bench_kernels.py --backend cpu
    python3 bench/bench_kernels.py --backend cuda
    python3 bench/bench_kernels.py --backend cpu --only Update_H Update_E

For each function, at a size that users run, the table gives the bytes a
call must move at the least (every value it has to read or write counted
once), the median time per call, the bandwidth that implies, and that as a
fraction of a plain copy measured in the same run on the same device (CPU: a
256 MiB tensor copy with the same thread count; CUDA: a 1 GiB device-to-device
copy). The copy is measured again after the functions and the lower of the
two figures is the reference, so that a machine busy with other work at one
moment does not flatter or spoil the fractions. CPU times are wall-clock
medians; CUDA times are device-event medians.
"""
from __future__ import annotations

import argparse
import pathlib
import statistics
import sys
from typing import Callable

import torch

# The modules built in place at the repository root come first.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

from bench_fields import timed as timed_runs  # noqa: E402  (the same clock, each run)

F32, C64, U8, I32 = torch.float32, torch.complex64, torch.uint8, torch.int32
FLOAT, COMPLEX = 4, 8


def timed(run: Callable[[], object], repeats: int, cuda: bool) -> float:
    """Median seconds per call, after one warm-up call."""
    return statistics.median(timed_runs(run, repeats, cuda))


def copy_bandwidth(device: torch.device, repeats: int) -> float:
    """Bytes per second of a large copy on `device` (read + write counted)."""
    nbytes = (1 << 30) if device.type == "cuda" else (256 << 20)
    src = torch.ones(nbytes // FLOAT, device=device)
    dst = torch.empty_like(src)
    seconds = timed(lambda: dst.copy_(src), repeats, device.type == "cuda")
    return 2 * nbytes / seconds


# ------------------------------------------------------------------ cases
# Each case builds its tensors and returns (call, bytes at the least).


class Cases:
    def __init__(self, module, device: torch.device, n: int, layers: int):
        self.m, self.dev, self.n, self.layers = module, device, n, layers
        self.gen = torch.Generator().manual_seed(0)

    def rand(self, *shape, dtype=F32):
        return torch.rand(*shape, generator=self.gen, dtype=torch.float32).to(dtype).to(self.dev)

    def zeros(self, *shape, dtype=F32):
        return torch.zeros(*shape, dtype=dtype, device=self.dev)

    def fields(self, B2=1):
        n = self.n
        E = (self.rand(1, 1, n, n + 1, n + 1, B2), self.rand(1, 1, n + 1, n, n + 1, B2),
             self.rand(1, 1, n + 1, n + 1, n, B2))
        H = tuple(self.rand(1, 1, n, n, n, B2) for _ in range(3))
        return E, H

    def layer_args(self):
        n, L = self.n, self.layers
        psi = (self.zeros(1, 1, 2 * L, n, n, 2, 1), self.zeros(1, 1, n, 2 * L, n, 2, 1),
               self.zeros(1, 1, n, n, 2 * L, 2, 1))
        b = tuple(self.rand(2 * L) for _ in range(3))
        c = tuple(self.rand(2 * L) * 0.1 for _ in range(3))
        return psi, b, c

    def layer_bytes(self) -> int:
        # Per axis both layers over the full cross-section; two auxiliary
        # values read and written in each layer cell.
        return 3 * 2 * self.layers * self.n**2 * 2 * 2 * FLOAT

    def Update_H(self):
        n = self.n
        E, H = self.fields()
        ch = tuple(self.rand(n) * 0.5 for _ in range(3))
        psi, b, c = self.layer_args()
        cells = torch.tensor([self.layers] * 3, dtype=I32, device=self.dev)
        spare = self.zeros(0)
        call = lambda: self.m.Update_H(*H, *E, *ch, *psi, *b, *c, cells, spare)  # noqa: E731
        return call, n**3 * FLOAT * (3 + 3 * 2) + self.layer_bytes()

    def Update_E(self):
        n = self.n
        E, H = self.fields()
        cg1 = tuple(self.rand(1, n, n, n) for _ in range(3))
        cg2 = tuple(self.rand(1, n, n, n) * 0.1 for _ in range(3))
        ce = tuple(self.rand(n) * 0.5 for _ in range(3))
        psi, b, c = self.layer_args()
        cells = torch.tensor([self.layers] * 3, dtype=I32, device=self.dev)
        spare = self.zeros(0)
        call = lambda: self.m.Update_E(*E, *H, *cg1, *cg2, *ce, *psi, *b, *c, cells, spare)  # noqa: E731
        return call, n**3 * FLOAT * (3 + 6 + 3 * 2) + self.layer_bytes()

    def Update_E_Dispersion(self):
        n = self.n
        E, _ = self.fields()
        prev = tuple(e.clone() for e in E)
        grid = lambda: self.rand(1, n, n, n)  # noqa: E731
        ids = lambda: (self.rand(1, n, n, n) * 3).to(U8)  # noqa: E731
        w = tuple(grid() for _ in range(3))
        id1, id2 = tuple(ids() for _ in range(3)), tuple(ids() for _ in range(3))
        den1 = tuple(grid() + 1 for _ in range(3))
        den2 = tuple(grid() + 1 for _ in range(3))
        rec_a = (self.rand(3) * 0.5).to(C64)
        rec_b = (self.rand(3) * 0.1).to(C64)
        acc1 = tuple(self.zeros(1, 1, n, n, n, 1, dtype=C64) for _ in range(3))
        acc2 = tuple(self.zeros(1, 1, n, n, n, 1, dtype=C64) for _ in range(3))
        spare = self.zeros(0)
        call = lambda: self.m.Update_E_Dispersion(  # noqa: E731
            *E, *prev, *w, *id1, *id2, *den1, *den2, rec_a, rec_b, *acc1, *acc2, spare)
        # E and its previous copy read and written, share and two
        # denominators read, two ids, two complex accumulators read and written.
        return call, n**3 * (3 * (FLOAT * (2 + 2 + 1 + 2) + 2 + COMPLEX * 2 * 2))

    def Update_E_Periodic(self):
        n = self.n
        E, _ = self.fields(B2=2)
        phase = self.rand(1, 2)
        flags = torch.tensor([1, 1], dtype=I32, device=self.dev)
        call = lambda: self.m.Update_E_Periodic(*E, phase, phase, flags, True)  # noqa: E731
        # Each pass: two fields, two interior layers read and two ghost layers
        # written, two slots (real and imaginary).
        face = 2 * (n + 1) ** 2 * 2 * 2 * FLOAT
        return call, 2 * face

    def _plane(self, electric: bool):
        n = self.n
        E, H = self.fields()
        F = E if electric else H
        cz = self.rand(n + 1)
        amp = self.rand(1, 1).to(C64)
        prof = self.rand(1, n, n, 1).to(C64)
        margins = torch.tensor([0, 0], dtype=I32)
        fn = self.m.Inject_E if electric else self.m.Inject_H
        call = lambda: fn(F[0], F[1], cz, amp, amp, prof, prof, margins, n // 2)  # noqa: E731
        # Two components read and written, two complex profiles read.
        return call, n * n * (2 * 2 * FLOAT + 2 * COMPLEX)

    def Inject_H(self):
        return self._plane(False)

    def Inject_E(self):
        return self._plane(True)

    def Inject_J(self):
        E, _ = self.fields()
        s = self.n // 4
        J = tuple(self.rand(1, 1, s, s, s).to(C64) for _ in range(3))
        offset = torch.tensor([s, s, s], dtype=I32)
        call = lambda: self.m.Inject_J(*E, *J, offset)  # noqa: E731
        return call, s**3 * 3 * (2 * FLOAT + COMPLEX)

    def get_id_range(self):
        coords = torch.arange(self.n + 1, dtype=F32, device=self.dev)
        bounds = torch.tensor([self.n / 4, 3 * self.n / 4], dtype=torch.float64)
        return (lambda: self.m.get_id_range(bounds, coords)), (self.n + 1) * FLOAT

    def _box(self):
        """An object over the middle half of the grid, 4^3 samples per cell."""
        n, q = self.n, self.n // 4
        coords = tuple(torch.arange(n + 1, dtype=F32, device=self.dev) for _ in range(3))
        bounds = tuple(torch.tensor([q, 3 * q], dtype=torch.float64) for _ in range(3))
        samples = self.rand(1, 8 * q, 8 * q, 8 * q)
        nodes = (2 * q + 1) ** 3
        return bounds, samples, coords, nodes

    def Mat_average(self):
        bounds, samples, coords, nodes = self._box()
        call = lambda: self.m.Mat_average(*bounds, samples, *coords)  # noqa: E731
        return call, samples.numel() * FLOAT + nodes * FLOAT

    def _material_grids(self):
        n = self.n + 1
        return self.zeros(1, n, n, n), self.zeros(1, n, n, n, dtype=U8), self.zeros(1, n, n, n, dtype=U8)

    def Set_weight_mat_id(self):
        bounds, samples, coords, nodes = self._box()
        weight, primary, secondary = self._material_grids()
        call = lambda: self.m.Set_weight_mat_id(  # noqa: E731
            *bounds, samples, *coords, 1, weight, primary, secondary)
        return call, samples.numel() * FLOAT + nodes * (FLOAT + 3)

    def Set_ER_average(self):
        n = self.n
        eps = self.zeros(1, n, n, n)
        weight = self.rand(1, n, n, n)
        primary = (self.rand(1, n, n, n) * 3).to(U8)
        secondary = (self.rand(1, n, n, n) * 3).to(U8)
        table = torch.tensor([1.0, 2.0, 4.0], device=self.dev)
        call = lambda: self.m.Set_ER_average(eps, weight, primary, secondary, table)  # noqa: E731
        return call, n**3 * (2 * FLOAT + 2)

    def Set_weight_subcell(self):
        bounds, samples, coords, nodes = self._box()
        weight, primary, secondary = self._material_grids()
        self.m.Set_weight_mat_id(*bounds, samples, *coords, 1, weight, primary, secondary)
        n = self.n + 1
        normals = torch.nn.functional.normalize(self.rand(1, n, n, n, 3) - 0.5, dim=-1)
        table = torch.tensor([1.0, 4.0], device=self.dev)
        call = lambda: self.m.Set_weight_subcell(  # noqa: E731
            *bounds, samples, *coords, weight, 1, primary, secondary, normals, table, 2)
        return call, samples.numel() * FLOAT + nodes * (2 * FLOAT + 2 + 3 * FLOAT)

    def Monitor_Update_E(self):
        E, _ = self.fields()
        q, F = self.n // 4, 4
        M = 2 * q + 1  # box positions per axis
        acc = (self.zeros(1, 1, M - 1, M, M, F, dtype=C64), self.zeros(1, 1, M, M - 1, M, F, dtype=C64),
               self.zeros(1, 1, M, M, M - 1, F, dtype=C64))
        factor = self.rand(F).to(C64)
        r = torch.tensor([q, 3 * q - 1], dtype=I32)
        call = lambda: self.m.Monitor_Update_E(*acc, *E, factor, r, r, r)  # noqa: E731
        # Each field value read once, each accumulator read and written.
        return call, 3 * M**3 * (FLOAT + F * 2 * COMPLEX)

    def _resample_grid(self):
        n = self.n
        g = tuple(torch.arange(n, dtype=F32, device=self.dev) for _ in range(3))
        t = tuple(torch.linspace(0.5, n - 1.5, 100, device=self.dev) for _ in range(3))
        return g, t

    def Trilinear_interpolation(self):
        (g, t), n = self._resample_grid(), self.n
        values = self.rand(1, 1, n, n, n, 1).to(C64)
        call = lambda: self.m.Trilinear_interpolation(*g, values, *t, False)  # noqa: E731
        # 10^6 results written; every base value the targets touch read once.
        return call, 100**3 * COMPLEX + min(n**3, 8 * 100**3) * COMPLEX

    def Trilinear_reverse_interpolation(self):
        (g, t), n = self._resample_grid(), self.n
        values = self.rand(1, 1, 100, 100, 100, 1).to(C64)
        call = lambda: self.m.Trilinear_reverse_interpolation(*g, values, *t)  # noqa: E731
        # 10^6 targets read; the base grid written.
        return call, 100**3 * COMPLEX + n**3 * COMPLEX


FUNCTIONS = ["Update_E_Dispersion", "Update_H", "Update_E", "Update_E_Periodic", "Inject_H",
             "Inject_E", "Inject_J", "get_id_range", "Mat_average", "Set_weight_mat_id",
             "Set_ER_average", "Set_weight_subcell", "Monitor_Update_E", "Trilinear_interpolation",
             "Trilinear_reverse_interpolation"]

SIZES = {
    "Update_E_Dispersion": "n^3 nodes, B2 = 1",
    "Update_H": "n^3 cells, layers",
    "Update_E": "n^3 cells, layers",
    "Update_E_Periodic": "x and y faces, B2 = 2",
    "Inject_H": "n^2 plane",
    "Inject_E": "n^2 plane",
    "Inject_J": "(n/4)^3 box",
    "get_id_range": "n+1 coordinates",
    "Mat_average": "(n/2+1)^3 nodes, 4^3 samples each",
    "Set_weight_mat_id": "(n/2+1)^3 nodes, 4^3 samples each",
    "Set_ER_average": "n^3 nodes",
    "Set_weight_subcell": "(n/2+1)^3 nodes, 4^3 samples each",
    "Monitor_Update_E": "(n/2+1)^3 box, 4 frequencies",
    "Trilinear_interpolation": "10^6 targets from n^3",
    "Trilinear_reverse_interpolation": "10^6 targets onto n^3",
    "field step (H + E)": "the two rows above",
}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--backend", choices=("cpu", "cuda"), default="cpu")
    ap.add_argument("--n", type=int, default=128, help="cells per axis of the field grid")
    ap.add_argument("--layers", type=int, default=10)
    ap.add_argument("--repeats", type=int, default=None, help="timed calls (default 50 cuda, 7 cpu)")
    ap.add_argument("--only", nargs="*", default=None, help="function names to run")
    args = ap.parse_args()
    cuda = args.backend == "cuda"
    if cuda:
        import Orvane as module
        device = torch.device("cuda")
    else:
        import OrvaneCPU as module
        device = torch.device("cpu")
    repeats = args.repeats or (50 if cuda else 7)
    names = args.only or FUNCTIONS

    copy_before = copy_bandwidth(device, repeats)
    cases = Cases(module, device, args.n, args.layers)
    rows = []
    for name in names:
        call, nbytes = getattr(cases, name)()
        seconds = timed(call, repeats, cuda)
        rows.append((name, nbytes, seconds))
        del call
    copy = min(copy_before, copy_bandwidth(device, repeats))

    where = torch.cuda.get_device_name() if cuda else f"CPU, {torch.get_num_threads()} threads"
    print(f"device: {where}; grid n = {args.n}, {args.layers}-cell layers; median of {repeats} calls")
    print(f"copy bandwidth (read + write): {copy / 1e9:.1f} GB/s "
          f"(before {copy_before / 1e9:.1f})")
    print(f"| {'function':<31} | {'size':<34} | {'MiB':>7} | {'ms/call':>8} | {'GB/s':>6} | {'of copy':>7} |")
    print(f"|{'-' * 33}|{'-' * 36}|{'-' * 9}|{'-' * 10}|{'-' * 8}|{'-' * 9}|")
    timing = {name: (nbytes, seconds) for name, nbytes, seconds in rows}
    if "Update_H" in timing and "Update_E" in timing:
        (bh, th), (be, te) = timing["Update_H"], timing["Update_E"]
        rows.append(("field step (H + E)", bh + be, th + te))
    for name, nbytes, seconds in rows:
        rate = nbytes / seconds
        print(f"| {name:<31} | {SIZES[name]:<34} | {nbytes / 2**20:7.1f} | {seconds * 1e3:8.3f} | "
              f"{rate / 1e9:6.1f} | {rate / copy:7.0%} |")


if __name__ == "__main__":
    main()
