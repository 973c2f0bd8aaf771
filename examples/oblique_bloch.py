"""Oblique incidence with a Bloch wave vector: a glass half-space's
reflectance in s and p polarisation against Fresnel, over the angles that
one fixed kx sweeps through as the frequency changes (sin θ = kx / 2πν).

    python3 examples/oblique_bloch.py [--quick] [--backend cuda]
"""
import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import torch  # noqa: E402

from _common import arguments, save  # noqa: E402
from orvane_sim import Dielectric, gaussian  # noqa: E402
from orvane_sim.reference import angle, fresnel, layer, planar  # noqa: E402

args = arguments(__doc__.split("\n")[0], "oblique_bloch.png")
n = 1.5
nu = torch.linspace(0.4, 1.0, 7 if args.quick else 25, dtype=torch.float64)
kx = 2 * math.pi * 0.4 * math.sin(math.radians(35))  # 35° at the lowest frequency
# b0 = 0: s polarisation (E along y); b0 = 1: p polarisation (E in the xz plane)
run = planar([[layer(0.4, 50.0, Dielectric(n * n))]], nu, resolution=20 if args.quick else 40,
             length=1.0, front=0.4, k=[(kx, 0.0), (kx, 0.0)],
             polarization=[(0.0, 1.0), (1.0, 0.0)], pulse=gaussian(10.0, 2.0, 0.7),
             until=45.0, backend=args.backend)
theta = angle(2 * math.pi * nu, kx)
fig, ax = plt.subplots(figsize=(6, 3.5))
for b0, pol in enumerate("sp"):
    want = fresnel(theta, n, pol)
    print(f"{pol} polarisation: largest |R - Fresnel| = {(run.R[b0, 0] - want).abs().max():.4f} "
          f"over {math.degrees(theta.min()):.0f}° .. {math.degrees(theta.max()):.0f}°")
    ax.plot(torch.rad2deg(theta), want, "k-", lw=1)
    ax.plot(torch.rad2deg(theta), run.R[b0, 0], "o", ms=4, label=f"R, {pol}, Orvane")
ax.set(xlabel="angle of incidence (degrees)", ylabel="reflectance")
ax.legend(title="lines: Fresnel")
save(fig, args.out)
