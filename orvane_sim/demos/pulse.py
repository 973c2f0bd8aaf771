"""Pulse absorption: a Gaussian field pulse released in a vacuum box with absorbing layers.

    python3 -m orvane_sim pulse [--backend cpu|cuda] [--n 64] [--layers 10]
                          [--steps 5N] [--courant 0.99] [--width 3]

Prints the energy left in the box relative to its peak, the time per step and
the cell updates per second.
"""
from __future__ import annotations

import argparse
import sys
import time

import torch

from ..core.simulation import Simulation


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python3 -m orvane_sim pulse", description=__doc__.split("\n")[0])
    ap.add_argument("--backend", choices=("cpu", "cuda"), default="cpu")
    ap.add_argument("--n", type=int, default=64, help="cells per axis (default 64)")
    ap.add_argument("--layers", type=int, default=10, help="absorbing layer cells per face (default 10)")
    ap.add_argument("--steps", type=int, default=None, help="time steps (default 5*n)")
    ap.add_argument("--courant", type=float, default=0.99,
                    help="fraction of the 3-D stability limit (default 0.99)")
    ap.add_argument("--width", type=float, default=3.0,
                    help="pulse standard deviation in cells (default 3)")
    args = ap.parse_args(argv)
    steps = 5 * args.n if args.steps is None else args.steps

    try:
        sim = Simulation(args.n, courant=args.courant, layers=args.layers, backend=args.backend)
    except (RuntimeError, ValueError, ImportError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    sim.set_gaussian_pulse(args.width)
    cells = args.n**3
    print(f"box {args.n}^3 cells, {args.layers}-cell layers, {steps} steps, "
          f"backend {args.backend}, dt = {sim.dt:.4g}")

    def sync():
        if sim.device.type == "cuda":
            torch.cuda.synchronize()

    peak = energy = sim.energy()
    stepping = 0.0
    show = sys.stderr.isatty()
    every = 10 if show else max(steps // 10, 1)
    for s in range(1, steps + 1):
        sync()
        t0 = time.perf_counter()
        sim.step()
        sync()
        stepping += time.perf_counter() - t0
        energy = sim.energy()
        peak = max(peak, energy)
        if s % every == 0 or s == steps:
            line = f"step {s}/{steps}  energy/peak {energy / peak:.3e}"
            print(("\r" + line) if show else line, end="" if show else "\n",
                  file=sys.stderr, flush=True)
    if show:
        print(file=sys.stderr)

    per_step = stepping / max(steps, 1)
    print(f"energy left / peak: {energy / peak:.3e}")
    print(f"time per step: {per_step * 1e3:.3f} ms")
    print(f"cell updates per second: {cells / per_step:.3e}" if per_step > 0 else
          "cell updates per second: n/a")
    return 0


if __name__ == "__main__":
    sys.exit(main())
