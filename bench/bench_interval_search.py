"""Index search of the resampling functions: the n x G difference matrix
against the sorted search that Trilinear_interpolation uses.

    python3 bench/bench_interval_search.py                  # CPU, n = G up to 1e5
    python3 bench/bench_interval_search.py --backend cuda
    python3 bench/bench_interval_search.py --sizes 1000 100000 --budget-gb 24

For each size n = G (n target coordinates, G base coordinates, one axis) it
reports, in nearest and in interval mode:

- the matrix way, written with whole-tensor operations as a reference
  implementation would: D = t[:, None] - g[None, :], then argmin |D| or the
  first g > t. Its peak memory is two n x G float32 matrices (8 n G bytes).
  Sizes whose estimate exceeds the memory budget (default: this machine's
  24 GB, or less if less is free) are not allocated; the table says how much
  they would need.
- the sorted search, timed through the module itself: a nearest-mode or
  trilinear call with the base grid of G nodes along x and one or two nodes
  along y and z, so that the kernel's share of the time is negligible. Its
  working memory is a few vectors of n entries (estimated at 40 n bytes on
  the CPU; measured on CUDA).

Both ways give the same indices; the script checks it wherever the matrix
was run.
"""
from __future__ import annotations

import argparse
import math
import statistics
import sys
import time
from pathlib import Path

import torch

# Run from anywhere: the modules built in place sit in the repository root.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

GB = 1e9


def matrix_indices(t: torch.Tensor, g: torch.Tensor, nearest: bool) -> torch.Tensor:
    D = t[:, None] - g[None, :]
    if nearest:
        return D.abs().argmin(dim=1).int()
    above = D < 0
    G = g.numel()
    first = torch.where(above.any(dim=1), above.int().argmax(dim=1),
                        torch.tensor(G, device=t.device))
    return (first - 1).clamp(0, G - 2).int()


def matrix_bytes(n: int, G: int) -> int:
    return 8 * n * G  # D and |D| (or D and the int copy of D < 0), float32


def free_bytes(device: torch.device) -> float:
    if device.type == "cuda":
        free, _ = torch.cuda.mem_get_info(device)
        return float(free)
    with open("/proc/meminfo") as f:
        info = dict(line.split(":", 1) for line in f)
    return float(info["MemAvailable"].split()[0]) * 1024


def timed(run, repeats: int, device: torch.device) -> float:
    """Median seconds of `repeats` runs after one warm-up."""
    run()
    times = []
    for _ in range(repeats):
        if device.type == "cuda":
            torch.cuda.synchronize(device)
        start = time.perf_counter()
        run()
        if device.type == "cuda":
            torch.cuda.synchronize(device)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def peak_bytes(run, device: torch.device) -> float | None:
    if device.type != "cuda":
        return None
    torch.cuda.synchronize(device)
    torch.cuda.reset_peak_memory_stats(device)
    base = torch.cuda.memory_allocated(device)
    run()
    torch.cuda.synchronize(device)
    return float(torch.cuda.max_memory_allocated(device) - base)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--backend", choices=("cpu", "cuda"), default="cpu")
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 3000, 10000, 30000, 100000])
    parser.add_argument("--budget-gb", type=float, default=24.0,
                        help="memory the matrix way may use (default 24, this machine's memory)")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    if args.backend == "cuda":
        import Orvane as module
        device = torch.device("cuda")
    else:
        import OrvaneCPU as module
        device = torch.device("cpu")
    budget = min(args.budget_gb * GB, 0.8 * free_bytes(device))
    print(f"backend {args.backend}, {torch.get_num_threads()} CPU threads, "
          f"matrix budget {budget / GB:.1f} GB")
    print(f"{'n = G':>8} {'mode':>9} | {'matrix s':>9} {'matrix GB':>10} | "
          f"{'sorted s':>9} {'sorted MB':>10} | {'speed-up':>8}")

    gen = torch.Generator().manual_seed(0)
    for n in args.sizes:
        G = n
        g = torch.sort(torch.rand(G, generator=gen) * 100).values
        g = torch.unique(g)  # strictly increasing
        G = g.numel()
        t = torch.rand(n, generator=gen) * 110 - 5  # some targets outside the grid
        g, t = g.to(device), t.to(device)
        yz = torch.tensor([0.0, 1.0], device=device)
        values = torch.zeros(1, 1, G, 2, 2, 1, dtype=torch.complex64, device=device)
        values[0, 0, :, 0, 0, 0] = torch.arange(G, device=device).to(torch.complex64)
        for nearest in (True, False):
            mode = "nearest" if nearest else "interval"

            def sorted_way():
                return module.Trilinear_interpolation(g, yz, yz, values, t, yz[:1], yz[:1], nearest)

            s_time = timed(sorted_way, args.repeats, device)
            s_peak = peak_bytes(sorted_way, device)
            s_mem = s_peak if s_peak is not None else 40.0 * n + 8.0 * G

            need = matrix_bytes(n, G)
            if need > budget:
                print(f"{n:>8} {mode:>9} | {'skipped':>9} {need / GB:>9.1f}* | "
                      f"{s_time:>9.4f} {s_mem / 1e6:>10.2f} | {'':>8}")
                continue

            def matrix_way():
                return matrix_indices(t, g, nearest)

            m_time = timed(matrix_way, max(1, args.repeats if need < GB else 1), device)
            m_peak = peak_bytes(matrix_way, device)
            m_mem = m_peak if m_peak is not None else float(need)
            if nearest:  # the nearest-mode result is the node index itself
                got = sorted_way()[0, 0, :, 0, 0, 0].real.int()
                assert torch.equal(got, matrix_way()), "sorted search differs from the matrix"
            print(f"{n:>8} {mode:>9} | {m_time:>9.4f} {m_mem / GB:>10.2f} | "
                  f"{s_time:>9.4f} {s_mem / 1e6:>10.2f} | {m_time / s_time:>7.0f}x")
    print("* estimated: the n x G matrices would not fit in the budget, so they were "
          "not allocated")
    print(f"the matrix way fits up to n = G = {int(math.sqrt(budget / 8)):,} in "
          f"{budget / GB:.1f} GB; at n = G = 1e5 one n x G float32 matrix alone is "
          f"{4e10 / GB:.0f} GB")


if __name__ == "__main__":
    main()
