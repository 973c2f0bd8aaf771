"""A dielectric slab's reflectance and transmittance at normal incidence,
against the Airy formula.

    python3 examples/slab_spectra.py [--quick] [--backend cuda]
"""
import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import torch  # noqa: E402

from _common import arguments, save  # noqa: E402
from orvane_sim import Dielectric  # noqa: E402
from orvane_sim.reference import airy, layer, planar  # noqa: E402

args = arguments(__doc__.split("\n")[0], "slab_spectra.png")
n, thickness = 2.0, 0.5
nu = torch.linspace(0.2, 1.0, 9 if args.quick else 41)
# the slab's front face half a unit past the plane wave's source plane
run = planar([[layer(0.5, 0.5 + thickness, Dielectric(n * n))]], nu.tolist(),
             resolution=20 if args.quick else 60, length=1.5, front=0.5, backend=args.backend)
R, T = run.R[0, 0], run.T[0, 0]
R_airy, T_airy = airy(2 * math.pi * nu, n, thickness)
print(f"slab of index {n}, {thickness} thick, {run.resolution:g} cells per unit, "
      f"{run.steps} steps in {run.seconds:.1f} s")
print(f"largest |R - Airy| = {(R - R_airy).abs().max():.4f}, "
      f"|T - Airy| = {(T - T_airy).abs().max():.4f}, |R + T - 1| = {(R + T - 1).abs().max():.1e}")

fig, ax = plt.subplots(figsize=(6, 3.5))
ax.plot(nu, R_airy, "k-", lw=1, label="Airy")
ax.plot(nu, R, "o", ms=4, label="R, Orvane")
ax.plot(nu, T, "s", ms=4, label="T, Orvane")
ax.set(xlabel="frequency (c / length)", ylabel="power fraction", ylim=(-0.05, 1.05))
ax.legend()
save(fig, args.out)
