"""Graded z cells against uniform ones on the gdsfactory path: a straight
strip's phase per µm, and a 1×2 splitter's outputs.

    python3 bench/bench_graded_strip.py [--uniform 10 15 20 30] [--graded 10 15 20 30:12]
                                        [--graded-yz 50] [--reference B B B]
                                        [--lengths 1 3] [--mmi] [--backend cpu|cuda]

The strip: gdsfactory's ``straight`` (0.5 × 0.22 µm silicon in silica) of
the two ``--lengths``, the generic PDK's stack, margins of 0.5 µm along x
and 0.8 µm along y and z, layers 0.8 µm thick, o1 lit, at λ = 1.5, 1.55
and 1.6 µm. Its phase per µm is β = Δ arg S21 / ΔL between the two
lengths (S21 gathers e^{iβx}; the difference leaves out what the ports
add at the ends), the whole turns taken from the ports' own mode index. A graded run ``r:n`` has ``n`` cells across the
core (8 by default); the reference is the Richardson extrapolation (second
order) of the two finest graded runs, which should refine every cell by
the same factor (20 with 8 across the core, 30 with 12), or the three
values of ``--reference``; each run's error against it is printed with
its cells, steps and seconds (wall and CPU). ``--graded-yz``: runs with
y graded too (``mesh="graded-yz"``).

``--mmi``: gdsfactory's ``mmi1x2`` shortened as the tests have it (2 µm
tapers, a 3 µm body), o1 lit, at each resolution and both meshes:
|S21|², |S31|² and their sum at 1.55 µm, with the cells, steps and seconds.
"""
from __future__ import annotations

import argparse
import math
import time

import numpy as np

MARGINS = dict(xmargin=0.5, ymargin=0.8, zmargin=0.8, layer_thickness=0.8)


def run(component, resolution: float, mesh: str, backend: str, wavelengths: int = 3,
        **settings):
    """(built simulation, S [F, P, 1], wall s, CPU s) of ``component`` with o1 lit."""
    from orvane_sim.gdsfactory import simulation
    from orvane_sim.gdsfactory.sparameters import run_sparameters

    wall, cpu = time.perf_counter(), time.process_time()
    built = simulation(component, resolution=resolution, mesh=mesh, backend=backend,
                       wavelength_points=wavelengths, lit=["o1"], **{**MARGINS, **settings})
    S = run_sparameters(built, progress=False)
    return built, S, time.perf_counter() - wall, time.process_time() - cpu


def size(built) -> tuple[int, int]:
    """(cells, steps) of the run."""
    sim = built.sim
    return math.prod(sim.shape), round(sim.time / sim.dt)


def phase_per_um(short, long) -> np.ndarray:
    """β [F] from two runs (built, S) of the strip at two lengths: the
    growth of arg S21 over the growth of the planes' distance, with the
    whole turns of the ports' mode index."""
    distance, phase = [], []
    for built, S in (short, long):
        o1, o2 = built.ports["o1"], built.ports["o2"]
        grid = built.sim.grid[o1.axis]
        distance.append(abs(grid.at(o2.node) - grid.at(o1.node)))
        phase.append(np.angle(S[:, 1, 0].numpy()))
    built = long[0]
    o1 = built.ports["o1"]
    neff = o1.modes.neff.gather(1, o1.index[:, None].long())[:, 0].double().numpy()
    d = distance[1] - distance[0]
    guess = 2 * np.pi * neff * built.frequencies.numpy() * d
    grown = phase[1] - phase[0]
    return (grown + 2 * np.pi * np.round((guess - grown) / (2 * np.pi))) / d


def strip(args) -> None:
    import gdsfactory as gf

    rows = []
    for mesh, resolutions in (("uniform", args.uniform), ("graded", args.graded),
                              ("graded-yz", args.graded_yz)):
        for r, cells in resolutions:
            extra = {} if cells is None else {"level_cells": cells}
            pair, wall, cpu = [], 0.0, 0.0
            for length in args.lengths:
                built, S, w, c = run(gf.components.straight(length=length), r, mesh,
                                     args.backend, **extra)
                pair.append((built, S))
                wall, cpu = wall + w, cpu + c
            label = mesh if cells is None else f"{mesh}, {cells} across the core"
            S = pair[1][1]
            rows.append((label, r, phase_per_um(*pair), *size(pair[1][0]), wall, cpu,
                         float((S[:, 1, 0].abs() ** 2 - 1).abs().max()),
                         float((S[:, 0, 0].abs() ** 2).max())))
            print(f"  {mesh} {r:g}: β {rows[-1][2]}, {wall:.0f} s", flush=True)
    if args.reference:
        reference, r1, r2 = np.array(args.reference), "given", "given"
    else:
        graded = sorted((r for r in rows if r[0].startswith("graded,") or r[0] == "graded"),
                        key=lambda r: r[1])
        (_, r1, b1, *_), (_, r2, b2, *_) = graded[-2:]
        reference = b2 + (b2 - b1) / ((r2 / r1) ** 2 - 1)
    uniform = sorted((r for r in rows if r[0] == "uniform"), key=lambda r: r[1])
    if len(uniform) > 1:
        (_, u1, c1, *_), (_, u2, c2, *_) = uniform[-2:]
        check = c2 + (c2 - c1) / ((u2 / u1) ** 2 - 1)
        print(f"reference β (graded {r1}/{r2}, Richardson) {reference} /µm; the uniform "
              f"{u1:g}/{u2:g} extrapolate to {check}")
    print("(cells, steps, \\|S\\|² of the longer strip; seconds of both runs)")
    print("| z cells | cells per µm | cells | steps | β at 1.55 µm (rad/µm) | error of β over "
          "the band | max \\|\\|S21\\|² − 1\\| | max \\|S11\\|² | wall s | CPU s |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    f = len(reference) // 2
    for mesh, r, beta, cells, steps, wall, cpu, off, back in rows:
        error = np.abs(beta - reference).max()
        print(f"| {mesh} | {r:g} | {cells:,} | {steps} | {beta[f]:.5f} | {error:.1e} | "
              f"{off:.1e} | {back:.1e} | {wall:.0f} | {cpu:.0f} |")


def mmi(args) -> None:
    import gdsfactory as gf

    component = gf.components.mmi1x2(length_taper=2.0, length_mmi=3.0)
    print("| z cells | cells per µm | cells | steps | \\|S21\\|² | \\|S31\\|² | sum | wall s | "
          "CPU s |")
    print("|---|---|---|---|---|---|---|---|---|")
    for mesh, resolutions in (("uniform", args.uniform), ("graded", args.graded)):
        for r, cells in resolutions:
            extra = {} if cells is None else {"level_cells": cells}
            built, S, wall, cpu = run(component, r, mesh, args.backend, **extra, xmargin=1.0, ymargin=1.0, zmargin=1.0, layer_thickness=1.0)
            f = S.shape[0] // 2
            s21, s31 = (float(S[f, i, 0].abs() ** 2) for i in (1, 2))
            cells, steps = size(built)
            print(f"| {mesh} | {r:g} | {cells:,} | {steps} | {s21:.4f} | {s31:.4f} | "
                  f"{s21 + s31:.4f} | {wall:.0f} | {cpu:.0f} |", flush=True)


def resolution(text: str) -> tuple[float, int | None]:
    """"r" or "r:n" (cells per µm, n across the core) as (r, n or None)."""
    r, _, n = text.partition(":")
    return float(r), (int(n) if n else None)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--uniform", type=resolution, nargs="*", default=["10", "15", "20", "30"])
    ap.add_argument("--graded", type=resolution, nargs="*",
                    default=["10", "15", "20", "30:12"])
    ap.add_argument("--graded-yz", type=resolution, nargs="*", default=[])
    ap.add_argument("--reference", type=float, nargs=3, default=None,
                    help="β at the three wavelengths (rad/µm), instead of the graded runs'")
    ap.add_argument("--lengths", type=float, nargs=2, default=[1.0, 3.0])
    ap.add_argument("--mmi", action="store_true")
    ap.add_argument("--backend", choices=("cpu", "cuda"), default="cpu")
    args = ap.parse_args(argv)
    args.uniform, args.graded, args.graded_yz = (
        [v if isinstance(v, tuple) else resolution(v) for v in vs]
        for vs in (args.uniform, args.graded, args.graded_yz))
    import gdsfactory as gf

    gf.gpdk.PDK.activate()
    (mmi if args.mmi else strip)(args)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
