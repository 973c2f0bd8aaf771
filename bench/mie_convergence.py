"""How a dielectric sphere's scattering converges against Mie theory.

    python3 bench/mie_convergence.py [--index 1.5] [--x 0.6 1.2 3.4]
                                     [--resolutions 10 20 30]
                                     [--smoothing anisotropic staircase ...]
                                     [--backend cpu|cuda]

The ``mie`` demo's sphere (radius 0.5, its boxes and pulse, ``demos/mie.py``)
of refractive index ``--index``, run at each resolution and smoothing; the
table gives the signed error of Q_sca against ``miepython`` at each size
parameter, the order fitted between each pair of resolutions
(log(e1/e2) / log(r2/r1)) and the seconds each run took. docs/validation.md
holds its figures beside Meep's.
"""
from __future__ import annotations

import argparse
import math
import time

import torch

from orvane_sim import Dielectric
from orvane_sim.demos import mie


def errors(resolution: int, eps: float, x, smoothing: str, backend: str):
    start = time.perf_counter()
    material = Dielectric(eps)
    result = mie.sphere_run(resolution, material, backend, x=x, far_field=False,
                            progress=False, smoothing=smoothing)
    ref = mie.reference(result["x"], material)
    return mie.relative_error(result, ref, "Qsca"), time.perf_counter() - start


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--index", type=float, default=1.5)
    ap.add_argument("--x", type=float, nargs="+", default=[0.6, 1.2, 3.4])
    ap.add_argument("--resolutions", type=int, nargs="+", default=[10, 20, 30])
    ap.add_argument("--smoothing", nargs="+", default=["anisotropic"])
    ap.add_argument("--backend", default="cpu")
    args = ap.parse_args(argv)
    eps = args.index ** 2
    print(f"sphere r = {mie.RADIUS}, n = {args.index} (eps = {eps:g}); "
          f"Q_sca error against Mie, {args.backend}")
    for smoothing in args.smoothing:
        table = {}
        for r in args.resolutions:
            table[r] = errors(r, eps, args.x, smoothing, args.backend)
            e, seconds = table[r]
            print(f"  {smoothing:12s} {r:3d} cells/unit: "
                  + "  ".join(f"x={x:g} {v:+.3%}" for x, v in zip(args.x, e.tolist()))
                  + f"  ({seconds:.0f} s)", flush=True)
        res = sorted(table)
        for a, b in zip(res, res[1:]):
            orders = [math.log(abs(ea) / abs(eb)) / math.log(b / a)
                      for ea, eb in zip(table[a][0].tolist(), table[b][0].tolist())]
            print(f"  {smoothing:12s} order {a}->{b}: "
                  + "  ".join(f"x={x:g} {o:.2f}" for x, o in zip(args.x, orders)))
        mean = {r: table[r][0].abs().mean().item() for r in res}
        print(f"  {smoothing:12s} mean |error|: "
              + "  ".join(f"{r}: {mean[r]:.3%}" for r in res))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
