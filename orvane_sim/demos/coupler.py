"""A directional coupler from a GDS layout: S-parameters against the
coupled-mode picture.

    python3 -m orvane_sim coupler [--backend cpu|cuda] [--resolutions 20 30]
                                  [--out coupler] [--length 2.0]

Two guides 0.3 wide and 0.2 apart run parallel over ``length``; cubic
S-bends 1.5 long take them 0.5 further apart at both ends, where four ports
(in A, in B, out A, out B) sit on straight leads. The layout is drawn with
gdstk into ``<out>.gds`` and imported through a layer map as prisms of
ε = 4 in vacuum. The guides are slabs between two conducting plates two
cells apart (the box's z faces), so the guided wave is the slab's TE mode
(E along z) and the run is as cheap as a two-dimensional one.

The command computes the S-parameters (each port lit in a batch entry of
its own) at each resolution, writes ``<out>.s4p`` (Touchstone, through scikit-rf, lengths in
µm) and ``<out>.png`` (through and cross power against wavelength), and
prints the cross power next to the coupled-mode prediction
sin²(π L_eff / (2 L_c)), with the coupling length L_c = λ/(2 Δn) from the
mode solver's even and odd supermodes of the parallel section.
"""
from __future__ import annotations

import argparse
import math
import sys

import torch

from ..core.build_info import add_version_option

WIDTH, GAP, BEND, OFFSET, EPS = 0.3, 0.15, 3.0, 0.5, 6.0
LEAD = 1.0
PORT_HALF = 0.45   # the ports' half-width across their guide
LAYERS = 8
FREQUENCIES = torch.linspace(0.8, 1.0, 9, dtype=torch.float64)


def box_size(longest: float, resolution: int) -> tuple[float, float, float]:
    """The box (x, y, z) for couplers up to ``longest``: the layout and its
    leads along x, the guides' spread and room for their tails along y,
    two cells along z; the layers along x and y lie beyond that."""
    h = 1.0 / resolution
    spread = GAP + WIDTH + 2 * OFFSET + 2 * PORT_HALF + 0.1
    return (longest + 2 * BEND + 2 * LEAD + 2 * LAYERS * h,
            spread + 2 * LAYERS * h, 2 * h)


def layout(path, length: float, longest: float, resolution: int):
    """Draw the coupler of parallel ``length`` centred in the box of
    ``box_size(longest)``, its leads stretched to keep the ends in place."""
    from ..geometry.layouts import directional_coupler

    X, Y, _ = box_size(longest, resolution)
    lead = LEAD + (longest - length) / 2 + LAYERS / resolution + 1.0  # into the layers
    return directional_coupler(path, WIDTH, GAP, length, BEND, OFFSET, lead=lead,
                               center=(X / 2, Y / 2))


def coupler_run(resolution: int, lengths, frequencies=FREQUENCIES, backend: str = "cpu",
                gds_stem: str = "coupler", progress=None, until: float | None = None,
                lit=None) -> dict:
    """S-parameters [B1, F, 4, len(lit)] of couplers of parallel ``lengths``
    (one per b1; ports in A, in B, out A, out B, those of ``lit`` lit, all by
    default), the supermodes' coupling length [F] of the longest, and the
    paths of the layouts drawn."""
    from ..materials.poles import Dielectric
    from ..geometry.gds import Layer, objects_from_gds
    from ..circuits.cross_section import plane_permittivity
    from ..circuits.modes import solve_modes
    from ..circuits.ports import ModePort
    from ..circuits.s_parameters import s_parameters
    from ..core.simulation import Simulation

    lengths = [float(v) for v in lengths]
    longest = max(lengths)
    X, Y, Z = box_size(longest, resolution)
    layer_map = {(1, 0): Layer(Dielectric(EPS), -1.0, Z + 1.0)}
    objects, paths = [], []
    for k, length in enumerate(lengths):
        path = layout(f"{gds_stem}{'' if len(lengths) == 1 else f'_{k}'}.gds", length, longest,
                      resolution)
        paths.append(path)
        objects.append(objects_from_gds(path, layer_map))
    lit = list(range(4)) if lit is None else list(lit)
    sim = Simulation(size=(X, Y, Z), resolution=resolution, layers=(LAYERS, LAYERS, 0),
                     batch=(len(lit), len(lengths)), backend=backend, objects=objects)
    h = 1.0 / resolution
    x_in, x_out = (LAYERS + 2) * h + 0.2, X - (LAYERS + 2) * h - 0.2
    centre = Y / 2
    far = (GAP + WIDTH) / 2 + OFFSET

    def port(x, y, direction):
        return ModePort(sim, frequencies, box=((x, y - PORT_HALF, 0.0), (x, y + PORT_HALF, Z)),
                        direction=direction)

    ports = [port(x_in, centre - far, "+x"), port(x_in, centre + far, "+x"),
             port(x_out, centre - far, "-x"), port(x_out, centre + far, "-x")]
    # the parallel section's supermodes, on the grid
    cs = plane_permittivity(sim, 0, round(X / 2 / h), b1=lengths.index(longest))
    modes = solve_modes(cs.eps, cs.spacing, frequencies, count=2, dz=cs.dz, dt=cs.dt)
    coupling_length = math.pi / (modes.beta[:, 0] - modes.beta[:, 1])
    if until is None:
        until = 3.0 * (X + 2 * longest) + 40.0
    S = s_parameters(sim, ports, until=until, progress=progress, lit=lit)
    if S.dim() == 3:
        S = S[None]
    return {"S": S, "lengths": lengths, "frequencies": frequencies,
            "coupling_length": coupling_length, "paths": paths, "shape": sim.shape}


def cross_fraction(run: dict) -> torch.Tensor:
    """|S(out B, in A)|² over the power out of both outputs, [B1, F]."""
    S = run["S"]
    cross, through = S[:, :, 3, 0].abs() ** 2, S[:, :, 2, 0].abs() ** 2
    return cross / (cross + through)


def fit_coupling_length(lengths, fractions: torch.Tensor) -> tuple[float, float]:
    """(L_c, L_0) of sin²(π (L + L_0) / (2 L_c)) fitted to the cross
    fractions at the parallel lengths L (L_0: what the S-bends add). L_c is
    sought above the lengths' largest step, below which a sin² could pass
    through the samples on another branch."""
    import numpy as np
    from scipy.optimize import curve_fit

    L = np.asarray(lengths, dtype=float)
    y = np.asarray(fractions, dtype=float)
    shortest = float(np.diff(np.sort(L)).max())

    def model(L, Lc, L0):
        return np.sin(np.pi * (L + L0) / (2 * Lc)) ** 2

    best = None
    for guess in shortest * np.array([1.2, 2.0, 3.0, 5.0, 8.0]):
        for start in (0.0, 0.5 * guess):
            try:
                p, _ = curve_fit(model, L, y, p0=(guess, start), maxfev=4000,
                                 bounds=([shortest, -2 * guess], [100 * shortest, 2 * guess]))
            except (RuntimeError, ValueError):
                continue
            residual = float(((model(L, *p) - y) ** 2).sum())
            if best is None or residual < best[0]:
                best = (residual, float(p[0]), float(p[1]))
    if best is None:
        raise RuntimeError("the cross fractions fit no sin² of the length")
    return best[1], best[2]


def plot(runs: dict, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6.5, 4.2))
    for (resolution, run), marker in zip(runs.items(), "os^"):
        S = run["S"][0, :, :, 0]
        wavelength = 1.0 / run["frequencies"]
        for i, name, colour in ((2, "through", "C0"), (3, "cross", "C3")):
            ax.plot(wavelength, S[:, i].abs() ** 2, colour, marker=marker,
                    label=f"{name}, {resolution} cells per unit")
    ax.set_xlabel("wavelength (µm)")
    ax.set_ylabel("power")
    ax.set_ylim(0, 1.05)
    ax.legend(fontsize=8)
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def main(argv=None) -> int:
    from ..circuits.s_parameters import write_touchstone

    parser = argparse.ArgumentParser(prog="python3 -m orvane_sim coupler", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--backend", choices=("cpu", "cuda"), default="cpu")
    parser.add_argument("--resolutions", type=int, nargs="+", default=[20, 30])
    parser.add_argument("--length", type=float, default=2.0,
                        help="the parallel section's length (default 2.0)")
    parser.add_argument("--out", default="coupler",
                        help="stem of the .gds, .s4p and .png written (default: coupler)")
    add_version_option(parser)
    args = parser.parse_args(argv)
    runs = {}
    print(f"directional coupler, parallel length {args.length:g}, gap {GAP:g}, width "
          f"{WIDTH:g}, ε = {EPS:g}")
    for resolution in args.resolutions:
        run = coupler_run(resolution, [args.length], backend=args.backend, gds_stem=args.out,
                          progress=None)
        runs[resolution] = run
        S = run["S"][0, :, :, 0]
        total = (S.abs() ** 2).sum(1)
        f = len(FREQUENCIES) // 2
        print(f"  {resolution:3d} cells per unit ({'x'.join(map(str, run['shape']))} cells): "
              f"at λ = {1 / FREQUENCIES[f].item():.3f}: through {S[f, 2].abs().item() ** 2:.3f}, "
              f"cross {S[f, 3].abs().item() ** 2:.3f}, reflected "
              f"{S[f, 0].abs().item() ** 2:.1e}, total out {total[f].item():.4f}; "
              f"supermodes' L_c = {run['coupling_length'][f].item():.3f}")
    best = runs[max(runs)]
    touchstone = write_touchstone(args.out, best["S"][0], best["frequencies"])
    plot(runs, f"{args.out}.png")
    print(f"wrote {best['paths'][0]}, {touchstone} and {args.out}.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
