"""What a flux plane costs: the share of a time step it takes.

    python3 bench/bench_flux.py --backend cpu
    python3 bench/bench_flux.py --backend cuda --resolution 160

A grating's column as users run it: one period (1 unit) along x at
``resolution`` cells per unit, 2 cells along y, 6 units along z with layers
on the z faces, a Bloch-periodic box (real fields at k = 0; ``--k`` gives an
oblique wave vector and complex fields), lit by a plane wave. The steps are
timed without monitors and with ``--planes`` flux planes of
``--frequencies`` frequencies each (the median of ``--repeats`` blocks of
``--steps`` steps), and the planes' share of a step is printed.
"""
from __future__ import annotations

import argparse
import statistics
import time

import torch

from orvane_sim import FluxPlane, PlaneWave, Simulation, gaussian


def step_seconds(sim, steps: int, repeats: int) -> float:
    """Median seconds per step over ``repeats`` blocks of ``steps`` steps."""
    cuda = sim.device.type == "cuda"

    def sync():
        if cuda:
            torch.cuda.synchronize()

    sim.step(steps)  # warm-up
    times = []
    for _ in range(repeats):
        sync()
        t0 = time.perf_counter()
        sim.step(steps)
        sync()
        times.append((time.perf_counter() - t0) / steps)
    return statistics.median(times)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--backend", choices=("cpu", "cuda"), default="cpu")
    ap.add_argument("--resolution", type=int, default=80, help="cells per unit (default 80)")
    ap.add_argument("--k", type=float, default=0.0, help="Bloch kx (non-zero: complex fields)")
    ap.add_argument("--planes", type=int, default=2, help="flux planes (default 2)")
    ap.add_argument("--frequencies", type=int, default=10, help="per plane (default 10)")
    ap.add_argument("--steps", type=int, default=50)
    ap.add_argument("--repeats", type=int, default=7)
    args = ap.parse_args()
    r = args.resolution
    shape = (r + 1, 2, 6 * r)
    layers = ((0, 0), (0, 0), (r // 2, r // 2))
    nu = torch.linspace(0.5, 0.9, args.frequencies).tolist()

    def build(planes: int):
        sim = Simulation(shape, spacing=1.0 / r, layers=layers, bloch=(args.k, 0.0),
                         backend=args.backend)
        sim.add(PlaneWave(sim, r, gaussian(2.0, 0.4), k=(args.k, 0.0)))
        # one plane below the source (reflection), the others above it
        above = torch.linspace(2 * r, 5 * r, max(planes - 1, 1)).long().tolist()
        for z in ([r - 2] + above)[:planes]:
            sim.add(FluxPlane(sim, z, nu))
        return sim

    bare = step_seconds(build(0), args.steps, args.repeats)
    with_planes = step_seconds(build(args.planes), args.steps, args.repeats)
    device = torch.cuda.get_device_name() if args.backend == "cuda" else \
        f"cpu ({torch.get_num_threads()} threads)"
    sim = build(0)
    print(f"device: {device}; box {shape}, b2 = {sim.b2}, {args.planes} flux planes x "
          f"{args.frequencies} frequencies; median of {args.repeats} x {args.steps} steps")
    print(f"step without monitors: {bare * 1e3:.3f} ms")
    print(f"step with the planes:  {with_planes * 1e3:.3f} ms")
    print(f"the planes' share of a step: {(with_planes - bare) / with_planes:.0%}")


if __name__ == "__main__":
    main()
