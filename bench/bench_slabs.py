"""Scaling of the slab split: one box over 1 and 2 local processes.

    python3 bench/bench_slabs.py
    python3 bench/bench_slabs.py --strong 128 64 64 --weak 64 64 64 --steps 100 --rounds 7

The processes are started here and joined with Gloo on 127.0.0.1, one thread
each (OMP_NUM_THREADS=1), CPU tensors. Strong scaling keeps the box
(``--strong``) and splits it over 2 ranks; weak scaling keeps the slab each
rank holds (``--weak``): 2 ranks step a box of 2·NX - 1 cells along x, each
holding NX of them (neighbouring slabs share one cell). Every 2-rank run
alternates rounds of the blocking exchange (wait right after the electric
step) and the overlapped one (the halo travels during the next magnetic
update), so that both see the same load. A round is one ``step(steps)``
call; the time per step is that of the slowest rank, the median over the
rounds. Efficiency: strong t1 / (2·t2), weak t1 / t2.

The halo table relates the bytes each rank sends a neighbour per step to
the bytes its step moves (about 105 per cell in vacuum: Update_H 41 +
Update_E 64, see docs/performance.md) and predicts the
efficiency of a GPU pair from that ratio: the step takes bytes / B_mem, a
halo bytes / B_link plus one message latency; blocking adds the two, the
overlapped exchange hides it behind the next magnetic update (41 of the
105 bytes) while it is shorter.
"""
from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import sys
import tempfile
import time

import torch

# The modules built in place at the repository root come first.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

import torch.distributed as dist  # noqa: E402

from orvane_sim.distributed import SlabSimulation, spawn_run  # noqa: E402

FLOAT = 4
STEP_BYTES_PER_CELL = 105  # vacuum, Update_H + Update_E (docs/performance.md)
H_BYTES_PER_CELL = 41      # the magnetic update alone: the window the halo travels in
# Assumed links for the prediction: an H100's memory, NVLink per direction,
# PCIe 5 x16 per direction, and one message's latency.
B_MEM, B_NVLINK, B_PCIE, LATENCY = 3.0e12, 450e9, 50e9, 10e-6


def _rounds(shape, layers: int, steps: int, rounds: int, modes) -> dict:
    """Run on every rank: median seconds per step of the slowest rank, per
    exchange mode (True: overlapped)."""
    sim = SlabSimulation(shape, layers=layers)
    sim.set_gaussian_pulse(3.0)
    sim.step(5)  # warm-up: first touches, Gloo's connections
    times = {mode: [] for mode in modes}
    for _ in range(rounds):
        for overlap in modes:
            sim.exchange.overlap = overlap
            dist.barrier()
            t0 = time.perf_counter()
            sim.step(steps)
            t = torch.tensor([(time.perf_counter() - t0) / steps], dtype=torch.float64)
            dist.all_reduce(t, op=dist.ReduceOp.MAX)
            times[overlap].append(float(t))
    return {mode: statistics.median(ts) for mode, ts in times.items()}


def measure(ranks: int, shape, args) -> dict:
    modes = (False, True) if ranks > 1 else (True,)
    with tempfile.TemporaryDirectory() as tmp:
        return spawn_run(_rounds, ranks, os.path.join(tmp, "out.pt"), timeout=300.0,
                         shape=tuple(shape), layers=args.layers, steps=args.steps,
                         rounds=args.rounds, modes=modes)


def halo_bytes(ny: int, nz: int) -> int:
    """Bytes one rank sends one neighbour per step (split along x, real
    fields, one batch entry): its planes of Ey [NY, NZ+1] and Ez [NY+1, NZ]."""
    return FLOAT * (ny * (nz + 1) + (ny + 1) * nz)


def predicted(slab_cells: int, ny: int, nz: int, link: float) -> tuple[float, float]:
    """Efficiency (blocking, overlapped) of a rank holding ``slab_cells``
    cells along x, from the byte ratio: blocking adds the halo to the step,
    overlapped hides it behind the next magnetic update."""
    cells = slab_cells * ny * nz
    t_step = STEP_BYTES_PER_CELL * cells / B_MEM
    t_h = H_BYTES_PER_CELL * cells / B_MEM
    t_halo = halo_bytes(ny, nz) / link + LATENCY
    return t_step / (t_step + t_halo), t_step / (t_step - t_h + max(t_h, t_halo))


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--strong", type=int, nargs=3, default=[128, 64, 64],
                    help="the box for strong scaling (default 128 64 64)")
    ap.add_argument("--weak", type=int, nargs=3, default=[64, 64, 64],
                    help="the slab per rank for weak scaling (default 64 64 64)")
    ap.add_argument("--layers", type=int, default=8)
    ap.add_argument("--steps", type=int, default=100, help="steps per round (default 100)")
    ap.add_argument("--rounds", type=int, default=7, help="rounds per mode (default 7)")
    ap.add_argument("--gpu", type=int, nargs=3, default=[512, 512, 512],
                    help="a GPU box for the prediction, split over 2 (default 512³)")
    args = ap.parse_args(argv)
    os.environ["OMP_NUM_THREADS"] = "1"
    start = time.perf_counter()

    sx, sy, sz = args.strong
    wx, wy, wz = args.weak
    runs = {
        "strong": (sx, sy, sz), "weak": (wx, wy, wz),
    }
    print(f"CPU, Gloo on 127.0.0.1, 1 thread per rank, {os.cpu_count()} cores; "
          f"{args.rounds} rounds of {args.steps} steps, medians")
    print()
    print("| scaling | ranks | box | exchange | time per step | cell updates/s | efficiency |")
    print("|---|---|---|---|---|---|---|")
    for kind, (nx, ny, nz) in runs.items():
        one = measure(1, (nx, ny, nz), args)[True]
        box2 = (nx, ny, nz) if kind == "strong" else (2 * nx - 1, ny, nz)
        two = measure(2, box2, args)
        cells1, cells2 = nx * ny * nz, box2[0] * ny * nz
        print(f"| {kind} | 1 | {nx}×{ny}×{nz} | - | {one * 1e3:.2f} ms | "
              f"{cells1 / one:.2e} | 1 |")
        for overlap in (False, True):
            t = two[overlap]
            eff = one / (2 * t) if kind == "strong" else one / t
            print(f"| {kind} | 2 | {box2[0]}×{ny}×{nz} | "
                  f"{'overlapped' if overlap else 'blocking'} | {t * 1e3:.2f} ms | "
                  f"{cells2 / t:.2e} | {eff:.2f} |")

    print()
    print("Halo per step and neighbour against the step's bytes per rank "
          f"({STEP_BYTES_PER_CELL} B/cell), and the efficiency it predicts for two GPUs "
          f"(memory {B_MEM / 1e12:.0f} TB/s, NVLink {B_NVLINK / 1e9:.0f} GB/s, "
          f"PCIe {B_PCIE / 1e9:.0f} GB/s, {LATENCY * 1e6:.0f} µs per message; "
          "blocking / overlapped):")
    print()
    print("| slab per rank | halo bytes | step bytes | ratio | NVLink | PCIe |")
    print("|---|---|---|---|---|---|")
    gx, gy, gz = args.gpu
    slabs = [((sx + 1) // 2 + 1, sy, sz), (wx, wy, wz), ((gx + 1) // 2 + 1, gy, gz)]
    for nx, ny, nz in slabs:
        halo = halo_bytes(ny, nz)
        moved = STEP_BYTES_PER_CELL * nx * ny * nz
        nv = predicted(nx, ny, nz, B_NVLINK)
        pc = predicted(nx, ny, nz, B_PCIE)
        print(f"| {nx}×{ny}×{nz} | {halo / 1e3:.1f} kB | {moved / 1e6:.1f} MB | "
              f"{100 * halo / moved:.3f}% | {nv[0]:.3f} / {nv[1]:.3f} | "
              f"{pc[0]:.3f} / {pc[1]:.3f} |")
    print(f"\n({time.perf_counter() - start:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
