"""The main job: reflectance and transmittance of a dielectric slab at
normal incidence, against the Airy formula.

    python3 -m orvane_sim [slab] [--backend cpu|cuda] [--resolutions 30 60 120]
                          [--out slab_spectra.png] [--csv FILE]
    torchrun --nproc-per-node N -m orvane_sim [...]    the same, split over N processes

A slab of index 2, 46/90 length units thick, with both faces between grid
nodes (a third of a cell off them at 30, 60 and 120 cells per unit), sits
in a periodic column; a Gaussian plane-wave pulse covering frequencies
0.1 .. 1 (c = 1) meets it at normal incidence. For each
resolution (cells per unit length) the demo prints the largest errors of R,
T and R + T - 1 against the Airy formula, over the frequencies with at least
25 cells per wavelength inside the slab and over the whole band, and it
writes a plot of the computed spectra (points) over the analytic curves
(lines).
"""
from __future__ import annotations

import argparse
import math
import os
import sys

import torch

from ..core.build_info import add_version_option

N_SLAB = 2.0
# Faces a third of a cell above a node at 30 cells per unit and alternately
# two thirds and one third at 60, 120, ...: each doubling gives the mirror
# image of the same sub-cell arrangement, so errors compare cleanly.
FRONT = THICKNESS = 46 / 90
FREQUENCIES = torch.linspace(0.1, 1.0, 37, dtype=torch.float64)
CELLS_PER_WAVELENGTH = 25


def slab_run(resolution: float, backend: str = "cpu", smoothing="anisotropic",
             progress=None, frequencies=FREQUENCIES, slabs: bool = False, **options):
    """The demo's column at one resolution (``slabs``: split along z over the
    default process group; ``options`` go to ``planar``)."""
    from ..materials.poles import Dielectric
    from ..reference.stacks import layer, planar

    stack = [layer(FRONT, FRONT + THICKNESS, Dielectric(N_SLAB**2))]
    options.setdefault("until", 40.0)
    return planar([stack], frequencies, resolution, length=1.7, front=FRONT, backend=backend,
                  smoothing=smoothing, progress=progress, slabs=slabs, **options)


def resolved(frequencies, resolution: float):
    """Frequencies with at least 25 cells per wavelength inside the slab."""
    return resolution / (N_SLAB * frequencies) >= CELLS_PER_WAVELENGTH


def error_rows(results):
    from ..reference.analytic import airy

    rows = []
    for res in results:
        nu = res.frequencies
        Ra, Ta = airy(2 * math.pi * nu, N_SLAB, THICKNESS)
        R, T = res.R[0, 0], res.T[0, 0]
        for band, mask in (("resolved", resolved(nu, res.resolution)),
                           ("all", torch.ones_like(nu, dtype=torch.bool))):
            if not mask.any():
                continue
            rows.append((res.resolution, band, float(nu[mask].max()),
                         float((R - Ra)[mask].abs().max()), float((T - Ta)[mask].abs().max()),
                         float((R + T - 1)[mask].abs().max()), res.steps, res.seconds))
    return rows


def plot(results, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from ..reference.analytic import airy

    fine = torch.linspace(float(FREQUENCIES.min()), float(FREQUENCIES.max()), 400,
                          dtype=torch.float64)
    Ra, Ta = airy(2 * math.pi * fine, N_SLAB, THICKNESS)
    fig, ax = plt.subplots(figsize=(7.5, 4.5))
    ax.plot(fine, Ra, "-", color="tab:blue", lw=1.2, label="R, Airy")
    ax.plot(fine, Ta, "-", color="tab:red", lw=1.2, label="T, Airy")
    markers = "os^dv"
    for m, res in zip(markers, results):
        nu = res.frequencies
        ax.plot(nu, res.R[0, 0], m, ms=4, mfc="none", color="tab:blue",
                label=f"R, FDTD {res.resolution:g} cells/unit")
        ax.plot(nu, res.T[0, 0], m, ms=4, mfc="none", color="tab:red",
                label=f"T, FDTD {res.resolution:g} cells/unit")
    ax.set_xlabel("frequency ν (c / length unit)")
    ax.set_ylabel("reflectance R, transmittance T")
    ax.set_title(f"slab n = {N_SLAB:g}, thickness {THICKNESS:.3f}, normal incidence")
    ax.set_ylim(-0.02, 1.02)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=7, ncol=2, loc="center right")
    fig.tight_layout()
    fig.savefig(path, dpi=130)
    plt.close(fig)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python3 -m orvane_sim [slab]",
                                 description=__doc__.split("\n")[0])
    add_version_option(ap)
    ap.add_argument("--backend", choices=("cpu", "cuda"), default="cpu")
    ap.add_argument("--resolutions", type=float, nargs="+", default=[30.0, 60.0, 120.0],
                    help="cells per unit length (default 30 60 120)")
    ap.add_argument("--out", default="slab_spectra.png", help="plot file (PNG)")
    ap.add_argument("--csv", default=None, help="also write the spectra as CSV")
    ap.add_argument("--no-progress", action="store_true", help="no progress bar")
    args = ap.parse_args(argv)
    progress = False if args.no_progress else None
    # started by torchrun with more than one process: split the column along z
    ranks = int(os.environ.get("WORLD_SIZE", "1"))
    rank = int(os.environ.get("RANK", "0"))
    try:
        if ranks > 1:
            from ..distributed.processes import init_group

            init_group(args.backend)
        try:
            results = [slab_run(r, args.backend, progress=progress, slabs=ranks > 1)
                       for r in args.resolutions]
        finally:
            if ranks > 1:
                import torch.distributed as dist

                dist.destroy_process_group()
    except (RuntimeError, ValueError, ImportError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    if rank != 0:
        return 0
    split = f", {ranks} processes (slabs along z)" if ranks > 1 else ""
    print(f"slab n = {N_SLAB:g}, thickness {THICKNESS:.4f}, front face at {FRONT:.4f}, "
          f"normal incidence, backend {args.backend}{split}")
    print(f"largest errors against the Airy formula ('resolved': at least "
          f"{CELLS_PER_WAVELENGTH} cells per wavelength in the slab)")
    head = (f"{'cells/unit':>10} {'band':>9} {'up to ν':>8} {'max|ΔR|':>10} {'max|ΔT|':>10} "
            f"{'max|R+T-1|':>11} {'steps':>6} {'seconds':>8}")
    print(head)
    print("-" * len(head))
    for res, band, top, dR, dT, dRT, steps, sec in error_rows(results):
        print(f"{res:>10g} {band:>9} {top:>8.3f} {dR:>10.2e} {dT:>10.2e} {dRT:>11.2e} "
              f"{steps:>6d} {sec:>8.1f}")
    plot(results, args.out)
    print(f"plot written to {args.out}")
    if args.csv:
        with open(args.csv, "w") as f:
            f.write("resolution,frequency,R,T\n")
            for res in results:
                for nu, R, T in zip(res.frequencies.tolist(), res.R[0, 0].tolist(),
                                    res.T[0, 0].tolist()):
                    f.write(f"{res.resolution:g},{nu:.6f},{R:.9f},{T:.9f}\n")
        print(f"spectra written to {args.csv}")
    return 0
