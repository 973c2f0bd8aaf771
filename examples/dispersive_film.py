"""A thin Drude metal film and a Lorentz film: reflectance, transmittance and
absorption against the transfer matrix of the permittivity that the time
step realises.

    python3 examples/dispersive_film.py [--quick] [--backend cuda]
"""
import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import torch  # noqa: E402

from _common import arguments, save  # noqa: E402
from orvane_sim import Drude, Lorentz  # noqa: E402
from orvane_sim.materials import discrete_permittivity, discretise  # noqa: E402
from orvane_sim.reference import layer, planar, stack  # noqa: E402

args = arguments(__doc__.split("\n")[0], "dispersive_film.png")
two_pi = 2 * math.pi
materials = {"Drude": Drude(1.0, omega_p=two_pi * 0.6, gamma=0.5),
             "Lorentz": Lorentz(2.0, 1.5, omega0=two_pi * 0.55, gamma=two_pi * 0.05)}
front, thickness, res = 0.4, 0.3, 30 if args.quick else 60
nu = torch.linspace(0.2, 0.9, 8 if args.quick else 29, dtype=torch.float64)
run = planar([[layer(front, front + thickness, m)] for m in materials.values()], nu, res,
             length=1.0, front=front, until=60.0, backend=args.backend)
dt = 0.99 / math.sqrt(3) / res  # the column's time step (c = 1)
fig, axes = plt.subplots(1, 2, figsize=(9, 3.5), sharey=True)
for b1, ((name, m), ax) in enumerate(zip(materials.items(), axes)):
    d = discretise(m, dt)
    eps = discrete_permittivity(d.alpha, d.beta, d.den, d.loss, two_pi * nu, dt)
    _, R, T = stack(two_pi * nu, [(eps, thickness)])
    print(f"{name} film {thickness} thick: largest |R - TMM| = {(run.R[0, b1] - R).abs().max():.4f}, "
          f"|T - TMM| = {(run.T[0, b1] - T).abs().max():.4f}, "
          f"most absorbed {(1 - run.R[0, b1] - run.T[0, b1]).max():.2f}")
    for got, want, label in ((run.R[0, b1], R, "R"), (run.T[0, b1], T, "T")):
        ax.plot(nu, want, "k-", lw=1)
        ax.plot(nu, got, "o", ms=4, label=label)
    ax.set(title=f"{name} film", xlabel="frequency (c / length)")
axes[0].set(ylabel="power fraction")
axes[0].legend(title="lines: transfer matrix")
save(fig, args.out)
