"""A Mach–Zehnder from gdsfactory: its free spectral range against
1/(ng·ΔL) of the grid's own mode.

    PYTHONPATH=. python3 bench/mzi_fsr.py        # 12 cells per µm, ΔL = 10 µm
    PYTHONPATH=. python3 bench/mzi_fsr.py --resolution 15 --delta-length 10 --mesh graded

gdsfactory's ``mzi`` (generic PDK strips, 0.5 × 0.22 µm silicon in
silica) with Euler bends of radius 4 µm and an ``mmi1x2`` of 1 µm tapers
as splitter and combiner, so that it fits this machine: about 31 × 23 µm.
Its arms differ by ΔL of straight guide along y (the lower arm's two
vertical stretches), so the transmission's minima lie one FSR apart in
frequency, Δν = 1 / (ng·ΔL) (c = 1, ν = 1/λ), ng the group index of the
guide that makes up the difference. The reference ng is the grid's own
(the mode solver with the box's dz and dt, on the box's cross-section
through the lower arm's vertical stretch: a guide along y sits on the grid
otherwise than one along x, and at 12 cells per µm that moves ng by 3 %).

One run of o1 lit, for a fixed time (the pulse, then 500 time units: the
fields have fallen some 10⁴-fold; at the band's edges, which the pulse
barely feeds, the S-parameters still move by 10⁻³ long after, see
``run_sparameters``); the minima of |S21|² are located by a parabola
through five points each. 12 cells per µm: 3.1 million cells, 13,000
steps, about 15 minutes on two threads. Too long for the test suite: run
it by hand. Measured (uniform z, 41 wavelengths 1.48–1.62 µm): FSR
0.022608 against 0.022744, −0.60 %.
"""
from __future__ import annotations

import argparse
import functools

import numpy as np
import torch


def minima(nu: np.ndarray, T: np.ndarray) -> list:
    """The frequencies of |S21|²'s interior minima, each from a parabola
    through the five samples around it (``nu`` increasing)."""
    out = []
    for k in range(2, len(nu) - 2):
        if T[k] < T[k - 1] and T[k] <= T[k + 1]:
            p = np.polyfit(nu[k - 2:k + 3] - nu[k], T[k - 2:k + 3], 2)
            out.append(nu[k] - p[1] / (2 * p[0]))
    return out


def main(argv=None) -> int:
    import gdsfactory as gf

    from orvane_sim.circuits.cross_section import plane_permittivity
    from orvane_sim.circuits.modes import solve_modes
    from orvane_sim.gdsfactory import simulation
    from orvane_sim.gdsfactory.sparameters import run_sparameters

    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--resolution", type=float, default=12)
    ap.add_argument("--delta-length", type=float, default=10.0)
    ap.add_argument("--points", type=int, default=41)
    ap.add_argument("--mesh", choices=("uniform", "graded"), default="uniform")
    args = ap.parse_args(argv)
    gf.gpdk.PDK.activate()
    radius, dL = 4.0, args.delta_length
    component = gf.components.mzi(
        delta_length=dL, length_x=0.1, length_y=0.1,
        bend=functools.partial(gf.components.bend_euler, radius=radius),
        splitter=gf.components.mmi1x2(length_taper=1.0))
    built = simulation(component, resolution=args.resolution, wavelength_start=1.48,
                       wavelength_stop=1.62, wavelength_points=args.points, ymargin=0.5,
                       zmargin=0.5, lit=["o1"], mesh=args.mesh)
    sim = built.sim
    print(f"{component.xsize:.1f} × {component.ysize:.1f} µm; box {sim.shape}, dt {sim.dt:.4g}")
    pulse = built.ports["o1"].waveform
    S = run_sparameters(built, until=float(pulse.t0) + 3 * float(pulse.width) + 500.0,
                        progress=True)
    names = list(built.ports)
    T = (S[:, names.index("o2"), 0].abs() ** 2).numpy()
    nu = built.frequencies.numpy()

    # the lower arm's vertical stretches: below the bends, ΔL/2 long each
    y = built.offset[1] + component.dymin + radius + 0.25 + dL / 4
    cs = plane_permittivity(sim, 1, round(y / sim.spacing[1]))
    ex, ey, ez = (torch.as_tensor(t) for t in cs.eps)
    core = (ez > 5).nonzero()[:, 1]      # the plane's x nodes in silicon
    first = int(core.min())
    last = first
    while (core == last + 1).any():      # the first of the two stretches
        last += 1
    c0, c1 = max(first - 15, 0), last + 15
    modes = solve_modes((ex[:, c0:c1 + 1], ey[:, c0:c1], ez[:, c0:c1 + 1]), cs.spacing,
                        built.frequencies, count=1, dz=cs.dz, dt=cs.dt)
    ng = modes.group_index[:, 0].numpy()

    order = np.argsort(nu)
    nu, T, ng = nu[order], T[order], ng[order]
    print("|S21|²:", np.round(T, 4))
    found = minima(nu, T)
    if len(found) < 2:
        print("fewer than two minima in the band: widen it or lengthen delta-length")
        return 1
    for a, b in zip(found, found[1:]):
        g = float(np.interp(0.5 * (a + b), nu, ng))
        want = 1 / (g * dL)
        print(f"minima at λ {1 / a:.4f} and {1 / b:.4f} µm: FSR {b - a:.6f} (Δλ "
              f"{1 / a - 1 / b:.4f} µm), 1/(ng ΔL) {want:.6f} with ng {g:.4f}: "
              f"{(b - a) / want - 1:+.2%}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
