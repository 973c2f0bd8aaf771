"""gdsfactory's 1×2 multimode-interference splitter: S-parameters from its
layout and the generic PDK's layer stack.

    python3 -m orvane_sim mmi [--quick] [--resolutions 15 20] [--backend cpu|cuda]
                              [--out mmi] [--points 11] [--mesh graded|uniform]

For each resolution the command builds the component's box through
``orvane_sim.gdsfactory`` (silicon core with its 10° sidewalls in silica,
ports extended through the layers, a TE mode port on each), runs it with
the splitter's mirror symmetry (o3 is o2 mirrored: o1 and o2 are lit) and
prints, at the band's centre, the power into each output, their balance in
dB (the layout is symmetric: the run is, to the painting's rounding), the
total out and the reflection, and the change of the total between the
resolutions. It writes ``<out>_<resolution>.npz`` (the dictionary
gdsfactory's plugins return), ``<out>_<resolution>.s3p`` (Touchstone),
``<out>_structure.png`` (the painted permittivity through the core, with
the ports) and ``<out>.png`` (|S|² against wavelength). ``--mesh``: the
z cells, graded to the silicon layer (the default) or uniform
(``orvane_sim.gdsfactory``). ``--quick``: a
shorter splitter (3 µm tapers, a 4 µm body) at 10 cells per µm and 5
wavelengths, in about a minute on two cores.
"""
from __future__ import annotations

import argparse
import math
import sys

import numpy as np

from ..core.build_info import add_version_option

SYMMETRIES = {"o2@0,o2@0": ["o3@0,o3@0"], "o2@0,o1@0": ["o3@0,o1@0"],
              "o1@0,o2@0": ["o1@0,o3@0"], "o2@0,o3@0": ["o3@0,o2@0"]}
PORTS = ("o1", "o2", "o3")


def matrix(sp: dict) -> np.ndarray:
    """S [F, P, P] (S[f, out, in]) from the plugins' dictionary."""
    F = len(sp["wavelengths"])
    S = np.empty((F, len(PORTS), len(PORTS)), dtype=complex)
    for j, a in enumerate(PORTS):
        for i, b in enumerate(PORTS):
            S[:, i, j] = sp[f"{a}@0,{b}@0"]
    return S


def balance_db(sp: dict) -> np.ndarray:
    """10 log10(|S21|² / |S31|²) over the wavelengths."""
    return 10 * np.log10(np.abs(sp["o1@0,o2@0"]) ** 2 / np.abs(sp["o1@0,o3@0"]) ** 2)


def plot(runs: dict, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6.5, 4.2))
    for (resolution, sp), style in zip(runs.items(), ("-", "--", ":")):
        w = sp["wavelengths"]
        for key, label, colour in (("o1@0,o2@0", "|S21|²", "C0"), ("o1@0,o3@0", "|S31|²", "C1"),
                                   ("o1@0,o1@0", "|S11|²", "C3")):
            ax.plot(w, np.abs(sp[key]) ** 2, colour + style,
                    label=f"{label}, {resolution:g} cells/µm")
    ax.set_xlabel("wavelength (µm)")
    ax.set_ylabel("power")
    ax.set_ylim(0, 0.55)
    ax.legend(fontsize=8, ncol=2)
    ax.grid(alpha=0.3)
    ax.set_title("gdsfactory mmi1x2")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m orvane_sim mmi", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--backend", choices=("cpu", "cuda"), default="cpu")
    parser.add_argument("--resolutions", type=float, nargs="+", default=None,
                        help="cells per µm (default 15 20; 10 with --quick)")
    parser.add_argument("--points", type=int, default=None,
                        help="wavelengths from 1.5 to 1.6 µm (default 11; 5 with --quick)")
    parser.add_argument("--quick", action="store_true",
                        help="a shorter splitter, coarse, in about a minute")
    parser.add_argument("--out", default="mmi", help="stem of the files written (default: mmi)")
    parser.add_argument("--mesh", choices=("graded", "uniform"), default="graded",
                        help="z cells graded to the silicon layer (default) or uniform")
    add_version_option(parser)
    args = parser.parse_args(argv)
    try:
        import gdsfactory as gf
    except ImportError:
        print("this demo needs gdsfactory: pip install gdsfactory (tools/setup.sh installs it)",
              file=sys.stderr)
        return 1
    from ..circuits.s_parameters import write_touchstone
    from ..gdsfactory import simulation, write_sparameters

    gf.gpdk.PDK.activate()
    if args.quick:
        component = gf.components.mmi1x2(length_taper=3.0, length_mmi=4.0)
    else:
        component = gf.components.mmi1x2()
    resolutions = args.resolutions or ([10] if args.quick else [15, 20])
    points = args.points or (5 if args.quick else 11)
    settings = dict(wavelength_points=points, backend=args.backend, mesh=args.mesh)
    print(f"gdsfactory {component.name.split('_')[0]}: {len(component.ports)} ports, "
          f"wavelengths 1.5 to 1.6 µm ({points})")
    runs = {}
    for resolution in resolutions:
        sp = write_sparameters(component, resolution=resolution, port_symmetries=SYMMETRIES,
                               filepath=f"{args.out}_{resolution:g}.npz", overwrite=True,
                               **settings)
        runs[resolution] = sp
        write_touchstone(f"{args.out}_{resolution:g}", matrix(sp),
                         1.0 / sp["wavelengths"], name="mmi1x2")
        f = len(sp["wavelengths"]) // 2
        s21, s31 = (abs(sp[k][f]) ** 2 for k in ("o1@0,o2@0", "o1@0,o3@0"))
        print(f"  {resolution:g} cells per µm, at {sp['wavelengths'][f]:.3f} µm: |S21|² "
              f"{s21:.4f}, |S31|² {s31:.4f} (balance {balance_db(sp)[f]:+.4f} dB), total "
              f"{s21 + s31:.4f}, |S11|² {abs(sp['o1@0,o1@0'][f]) ** 2:.1e}")
    if len(runs) > 1:
        (r0, a), (r1, b) = list(runs.items())[-2:]
        total = [abs(s["o1@0,o2@0"]) ** 2 + abs(s["o1@0,o3@0"]) ** 2 for s in (a, b)]
        print(f"  total out, {r0:g} → {r1:g} cells per µm: changes by at most "
              f"{np.abs(total[1] - total[0]).max():.4f} over the band")
    figure = simulation(component, resolution=resolutions[-1], **settings).plot()
    figure.savefig(f"{args.out}_structure.png", dpi=120)
    plot(runs, f"{args.out}.png")
    print(f"wrote {args.out}_*.npz, {args.out}_*.s3p, {args.out}_structure.png, {args.out}.png")
    return 0 if all(math.isfinite(float(np.abs(s["o1@0,o2@0"]).max())) for s in runs.values()) \
        else 1
