"""Scattering by a sphere in open space, against Mie theory.

    python3 -m orvane_sim mie [--backend cpu|cuda] [--resolutions 20 40]
                              [--out mie.png] [--lossy]

A sphere of radius 0.5 sits at the centre of a box with absorbing layers on
every face. A plane-wave pulse travelling +z, polarised along x, fills a
total-field box around it; a closed flux box outside that box measures the
scattered power, one inside it (between the sphere and the box's faces) the
absorbed power, and their ratios to the incident intensity times the
sphere's cross-section π r² are the efficiencies Q_sca and Q_abs. The
pulse covers size parameters x = 2π r ν (c = 1) from 0.5 to 3. The reference
is the ``miepython`` package. For a dispersive sphere it is evaluated at the
permittivity that the time-stepping realises (``discrete_permittivity``),
which differs from the model's by the time step's known error.

The scattered field on the outer flux box also goes through the
near-to-far-field projection: its far-field power over the sphere of
directions must equal the flux box's scattered power, and its pattern is
what the demo's polar plot shows.

Geometry in length units, the same at every resolution: absorbed-power box
±0.55 about the centre, total-field box ±0.6, scattered-power box ±0.7,
8-cell layers beyond ±0.8. At 20 cells per unit the box is 48³ cells, at 40
it is 80³.
"""
from __future__ import annotations

import argparse
import math
import sys

import torch

from ..core.build_info import add_version_option

RADIUS = 0.5
X_LOW, X_HIGH = 0.5, 3.0
LAYER_CELLS = 8


def box_cells(resolution: int) -> tuple[int, int, int, int]:
    """Half-sizes in cells of the absorbed-power, total-field and
    scattered-power boxes, and where the layers begin: 0.55, 0.6, 0.7 and
    0.8 length units at 20 and 40 cells per unit, and at least a cell
    between each and the next (and the sphere) at any resolution."""
    step, wide = max(1, round(0.05 * resolution)), max(1, round(0.1 * resolution))
    inner = math.floor(RADIUS * resolution) + step
    return inner, inner + step, inner + step + wide, inner + step + 2 * wide


def dielectric():
    from ..materials.poles import Dielectric

    return Dielectric(4.0)


def lossy():
    """A Lorentz material whose resonance lies inside the band, so that the
    sphere absorbs a good share of what it meets."""
    from ..materials.poles import Lorentz

    return Lorentz(1.5, 1.0, omega0=4.0, gamma=1.0)


def size_parameters(count: int = 21) -> torch.Tensor:
    return torch.linspace(X_LOW, X_HIGH, count, dtype=torch.float64)


def refined_axis(resolution: int, coarse: int, ratio: float = 1.2) -> torch.Tensor:
    """Node coordinates of one axis of the sphere's box refined around it:
    cells of 1 / ``resolution`` over the sphere, its absorbed-power box and
    its total-field box (to ±0.6 about the centre), growing by at most
    ``ratio`` per cell to 1 / ``coarse``, and the layers' ``LAYER_CELLS``
    cells of 1 / ``coarse`` beyond ±0.8 (the box of ``box_cells(coarse)``)."""
    from ..grid.mesher import MeshInterval, mesh_axis

    clear = box_cells(coarse)[3] / coarse
    layer = LAYER_CELLS / coarse
    c = clear + layer
    fine = MeshInterval(c - 0.6, c + 0.6, 1.0 / resolution)
    return mesh_axis(2 * c, [fine], 1.0 / coarse, ratio=ratio,
                     uniform=[(0.0, layer), (2 * c - layer, 2 * c)], what="sphere box")


def sphere_run(resolution: int, material=None, backend: str = "cpu", count: int = 21,
               until: float = 30.0, progress=None, far_angles: int = 181, x=None,
               far_field: bool = True, smoothing="anisotropic", coarse: int | None = None) -> dict:
    """Efficiencies of a sphere of ``material`` (the ε = 4 dielectric by
    default) at ``resolution`` cells per unit length, over ``count`` size
    parameters (or the size parameters ``x``). Returns {"x", "Qsca", "Qabs"
    ([count] float64), "Pfar" (the far-field power over the closed box's,
    [count]), "theta" and "pattern" (far-field intensity in the planes
    φ = 0 and 90°, [2, angles, count]), "shape" (the box's cells), "dt"};
    without ``far_field`` the last three are left out. ``smoothing``: how
    the sphere's surface is painted (``Simulation.set_objects``).
    ``coarse``: refine the box around the sphere (``refined_axis``), with
    cells of 1 / ``coarse`` away from it, instead of one spacing."""
    from ..monitors.farfield import far_field, intensity, radiated_power, sphere_quadrature
    from ..monitors.flux import FluxBox
    from ..geometry.shapes import Object, Sphere
    from ..core.simulation import Simulation
    from ..sources.waveforms import gaussian
    from ..sources.tfsf import TotalFieldBox

    material = dielectric() if material is None else material
    inner, total, outer, clear = box_cells(resolution)
    x = size_parameters(count) if x is None else torch.as_tensor(x, dtype=torch.float64)
    nu = x / (2 * math.pi * RADIUS)
    objects = lambda c: [Object(Sphere((c, c, c), RADIUS), material)]  # noqa: E731
    if coarse is None:
        c = (clear + LAYER_CELLS) / resolution
        sim = Simulation(size=2 * c, resolution=resolution, layers=LAYER_CELLS,
                         backend=backend, b2=1, objects=objects(c), smoothing=smoothing)
    else:
        nodes = refined_axis(resolution, coarse)
        c = 0.5 * float(nodes[-1])
        sim = Simulation(grid=(nodes,) * 3, layers=LAYER_CELLS, backend=backend, b2=1,
                         objects=objects(c), smoothing=smoothing)

    def around(cells):
        half = cells / resolution
        return ((c - half,) * 3, (c + half,) * 3)

    # a Gaussian pulse whose band covers the size parameters; the real run
    # carries its real part
    centre, width = 0.5 * (nu[0] + nu[-1]).item(), 1.0
    source = sim.add(TotalFieldBox(sim, gaussian(4 * width, width, centre), direction="+z",
                                   polarization="x", box=around(total), frequencies=nu))
    scattered = sim.add(FluxBox(sim, nu, box=around(outer)))
    absorbed = sim.add(FluxBox(sim, nu, box=around(inner)))
    sim.run(until=until, progress=progress)

    area = math.pi * RADIUS**2
    incident = source.intensity()[0] * area
    out = {"x": x, "shape": sim.shape, "dt": sim.dt,
           "Qsca": (scattered.power()[0, 0] / incident).cpu(),
           "Qabs": (-absorbed.power()[0, 0] / incident).cpu()}
    if not far_field:
        return out
    surface = scattered.surface()
    theta, phi, weights = sphere_quadrature(24, 48)
    E = far_field(surface["points"], surface["weights"], surface["J"], surface["M"], nu,
                  theta, phi)
    out["Pfar"] = (radiated_power(*E, weights.to(E[0].device))[0, 0]
                   / scattered.power()[0, 0]).cpu()
    angles = torch.linspace(0.0, math.pi, far_angles, dtype=torch.float64)
    planes = []
    for azimuth in (0.0, 0.5 * math.pi):
        E = far_field(surface["points"], surface["weights"], surface["J"], surface["M"], nu,
                      angles, torch.full_like(angles, azimuth))
        planes.append(intensity(*E)[0, 0].cpu())
    out["theta"], out["pattern"] = angles, torch.stack(planes)
    return out


def reference(x: torch.Tensor, material=None, dt: float | None = None) -> dict:
    """Mie efficiencies {"Qsca", "Qabs"} of the demo's sphere (of ``material``,
    the ε = 4 dielectric by default) at size parameters ``x``: for a
    dispersive material at the permittivity that time step ``dt`` realises."""
    from ..reference.mie import efficiencies

    return efficiencies(x, dielectric() if material is None else material, RADIUS, dt)


def pattern_reference(x: float, theta: torch.Tensor, material=None,
                      dt: float | None = None) -> torch.Tensor:
    """Mie's scattered intensity [2, angles] for the demo's sphere at size
    parameter ``x`` (``reference.mie.pattern``)."""
    from ..reference.mie import pattern

    return pattern(x, theta, dielectric() if material is None else material, RADIUS, dt)


def relative_error(run: dict, ref: dict, name: str) -> torch.Tensor:
    return run[name] / ref[name] - 1.0


def plot(runs: dict, ref_x: torch.Tensor, refs: dict, path: str, material,
         lossy_material: bool) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(11, 4.5))
    ax = fig.add_subplot(1, 2, 1)
    names = ["Qsca", "Qabs"] if lossy_material else ["Qsca"]
    for name, colour in zip(names, ("C0", "C3")):
        ax.plot(ref_x, refs[name], colour, label=f"{name} (Mie)")
        for (resolution, run), marker in zip(runs.items(), "os^"):
            ax.plot(run["x"], run[name], colour, marker=marker, linestyle="none",
                    fillstyle="none", label=f"{name}, {resolution} cells per unit")
    ax.set_xlabel("size parameter 2πr/λ")
    ax.set_ylabel("efficiency")
    ax.legend(fontsize=8)
    ax.grid(alpha=0.3)
    polar = fig.add_subplot(1, 2, 2, projection="polar")
    run = runs[max(runs)]
    f = len(run["x"]) // 2
    theta = torch.cat([run["theta"], 2 * math.pi - run["theta"].flip(0)])
    ref = pattern_reference(run["x"][f].item(), run["theta"], material,
                            run["dt"] if lossy_material else None)
    for plane, mie_plane, colour, label in zip(run["pattern"], ref, ("C0", "C1"),
                                               ("φ = 0 (E plane)", "φ = 90° (H plane)")):
        values = plane[:, f] / run["pattern"][:, :, f].max()
        mie_values = mie_plane / ref.max()
        polar.plot(theta, torch.cat([mie_values, mie_values.flip(0)]), colour, linewidth=1.0,
                   label=f"{label}, Mie")
        every = slice(None, None, 6)
        polar.plot(theta[every], torch.cat([values, values.flip(0)])[every], colour, marker="o",
                   markersize=3, linestyle="none", label=f"{label}, far-field projection")
    polar.set_theta_zero_location("N")
    polar.set_title(f"scattered intensity, x = {run['x'][f].item():.2f}, incidence from below",
                    fontsize=9)
    polar.legend(fontsize=7, loc="lower right", bbox_to_anchor=(1.25, -0.12))
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m orvane_sim mie", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--backend", choices=("cpu", "cuda"), default="cpu")
    parser.add_argument("--resolutions", type=int, nargs="+", default=[20, 40],
                        help="cells per unit length (default: 20 40)")
    parser.add_argument("--lossy", action="store_true",
                        help="a lossy Lorentz sphere instead of the ε = 4 dielectric")
    parser.add_argument("--out", default="mie.png", help="the plot (default: mie.png)")
    add_version_option(parser)
    args = parser.parse_args(argv)
    material = lossy() if args.lossy else dielectric()
    runs = {}
    names = ["Qsca", "Qabs"] if args.lossy else ["Qsca"]
    print(f"sphere of radius {RADIUS}, {'lossy Lorentz' if args.lossy else 'ε = 4'}, "
          f"size parameters {X_LOW} .. {X_HIGH}; largest error against Mie:")
    for resolution in args.resolutions:
        run = sphere_run(resolution, material, args.backend, progress=None)
        ref = reference(run["x"], material, run["dt"] if args.lossy else None)
        runs[resolution] = run
        errors = ", ".join(f"{n} {relative_error(run, ref, n).abs().max().item():.2%}"
                           for n in names)
        far = (run["Pfar"] - 1).abs().max().item()
        print(f"  {resolution:3d} cells per unit ({'x'.join(map(str, run['shape']))} cells): "
              f"{errors}; far-field power against the flux box {far:.2%}")
    if len(runs) > 1:
        low, high = min(runs), max(runs)
        for n in names:
            e0 = relative_error(runs[low], reference(runs[low]["x"], material,
                                                     runs[low]["dt"] if args.lossy else None),
                                n).abs().max().item()
            e1 = relative_error(runs[high], reference(runs[high]["x"], material,
                                                      runs[high]["dt"] if args.lossy else None),
                                n).abs().max().item()
            order = math.log(e0 / e1) / math.log(high / low)
            print(f"  {n}: error falls {e0 / e1:.2f}x from {low} to {high} cells per unit "
                  f"(order {order:.2f})")
    fine = torch.linspace(X_LOW, X_HIGH, 200, dtype=torch.float64)
    plot(runs, fine, reference(fine, material, runs[max(runs)]["dt"] if args.lossy else None),
         args.out, material, args.lossy)
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
