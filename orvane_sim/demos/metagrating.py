"""A metagrating designed by gradient descent: ``python3 -m orvane_sim design``.

One period of a freeform dielectric layer (ε = 4) on glass (ε = 2.25),
invariant along y, lit from the air side at normal incidence with
wavelength 1, E along y. The period, Λ = 1 / (1.5 sin 60°), lets the glass
carry the orders 0 and ±1 only, the ±1 at 60° from the normal; the air side
carries the specular reflection only. The objective is the power of the
transmitted +1 order over the incident power; its gradient with respect to
the layer's density comes from one adjoint run per iteration.

The density passes through a filter (a Gaussian blur, periodic along x) and
a projection tanh(β ...) before it fills the layer; β doubles every few
iterations, pushing the design toward two materials. Adam takes the steps.
The run prints the efficiency per iteration and writes a plot of the final
design (its permittivity over one period) and of the efficiency history.
"""
from __future__ import annotations

import argparse
import math
import sys

import torch

from ..core.build_info import add_version_option
from ..core.simulation import Simulation
from ..design.adjoint import Design
from ..design.objectives import DiffractionOrder
from ..design.region import DesignRegion
from ..geometry.shapes import Box, Object
from ..materials.poles import Dielectric
from ..sources.plane_wave import PlaneWave
from ..sources.waveforms import gaussian

EPS_LAYER, EPS_GLASS = 4.0, 2.25
ANGLE = 60.0
PERIOD = 1.0 / (math.sqrt(EPS_GLASS) * math.sin(math.radians(ANGLE)))
FREQUENCY = 1.0
THICKNESS = 0.5


class Metagrating:
    """The box, the design region and the objective at ``resolution`` cells
    per unit length; ``efficiency(rho)`` is the +1 order's share of the
    incident power, differentiable with respect to the density rho
    [nx, 1, nz]."""

    def __init__(self, resolution: int = 30, pixels=(24, 1, 8), backend: str = "cpu",
                 run_time: float = 120.0):
        h = 1.0 / resolution
        cells_x = round(PERIOD / h)
        # a periodic axis of N cells has period N - 1 cells
        self.spacing = (PERIOD / cells_x, h, h)
        layers = 12
        z_source = (layers + 4) * h
        self.z_layer = z_source + 0.25
        z_glass = self.z_layer + THICKNESS
        z_monitor = z_glass + 0.25
        NZ = round(z_monitor / h) + 6 + layers
        sim = Simulation(shape=(cells_x + 1, 2, NZ), spacing=self.spacing, layers=(0, 0, layers),
                         backend=backend, bloch=(0.0, 0.0))
        top = NZ * h + 1.0
        sim.set_objects([Object(Box((-1, -1, z_glass), (2 * PERIOD + 1, 1, top)),
                                Dielectric(EPS_GLASS))])
        self.sim = sim
        width = 1.0 / (2 * math.pi * 0.03)
        pulse = gaussian(t0=5 * width, width=width, frequency=FREQUENCY)
        self.region = DesignRegion(sim, pixels, box=((0, 0, self.z_layer),
                                                     ((cells_x) * self.spacing[0], 2 * h,
                                                      z_glass)),
                                   materials=(1.0, EPS_LAYER))
        self.order = DiffractionOrder(sim, at=z_monitor, order=(1, 0))
        self.design = Design(sim, lambda s: PlaneWave(s, waveform=pulse, z=z_source,
                                                      polarization=(0.0, 1.0),
                                                      frequencies=[FREQUENCY]),
                             [FREQUENCY], until=run_time)
        self.incident = None

    def efficiency(self, rho: torch.Tensor) -> torch.Tensor:
        power, = self.design({self.region: rho}, [self.order])
        if self.incident is None:
            wave = self.design.sources[0]
            Lx, Ly = self.sim.periodic.periods
            self.incident = float(wave.incident_flux()[0, 0]) * Lx * Ly
        return power[0, 0, 0] / self.incident


def blur(rho: torch.Tensor, radius: float) -> torch.Tensor:
    """A Gaussian blur of [nx, 1, nz] pixels with ``radius`` in pixels,
    periodic along x, clamped along z."""
    if radius <= 0:
        return rho
    n = int(math.ceil(2 * radius))
    offsets = torch.arange(-n, n + 1, dtype=rho.dtype)
    kernel = torch.exp(-0.5 * (offsets / radius) ** 2)
    kernel = kernel / kernel.sum()
    out = sum(w * torch.roll(rho, int(o), 0) for w, o in zip(kernel, offsets))
    padded = torch.cat([out[:, :, :1].expand(-1, -1, n), out, out[:, :, -1:].expand(-1, -1, n)], 2)
    return sum(w * padded[:, :, n + int(o):n + int(o) + rho.shape[2]]
               for w, o in zip(kernel, offsets))


def project(rho: torch.Tensor, beta: float, eta: float = 0.5) -> torch.Tensor:
    """The smoothed threshold at eta: 0 and 1 stay put, steeper as beta grows."""
    a, b = math.tanh(beta * eta), math.tanh(beta * (1 - eta))
    return (a + torch.tanh(beta * (rho - eta))) / (a + b)


def optimise(problem: Metagrating, iterations: int, seed: int = 1, learning_rate: float = 0.08,
             radius: float = 1.0, progress=None):
    """Adam on an unconstrained latent; returns (density, efficiency history)."""
    from tqdm.auto import tqdm

    torch.manual_seed(seed)
    latent = (0.5 * torch.randn(*problem.region.shape, dtype=torch.float64)).requires_grad_()
    optimiser = torch.optim.Adam([latent], lr=learning_rate)
    history = []
    stages = max(1, iterations // 5)

    def density(beta):
        return project(blur(torch.sigmoid(latent), radius), beta)

    with tqdm(range(iterations), disable=None if progress is None else not progress,
              leave=False, unit="iteration") as bar:
        for it in bar:
            beta = 2.0 ** (1 + it // stages)
            optimiser.zero_grad()
            eff = problem.efficiency(density(beta))
            (-eff).backward()
            optimiser.step()
            history.append(eff.item())
            tqdm.write(f"  iteration {it:3d}  β = {beta:4.0f}  efficiency {history[-1]:.4f}")
    with torch.no_grad():
        rho = density(2.0 ** (1 + (iterations - 1) // stages))
    return rho.detach(), history


def plot(problem: Metagrating, rho: torch.Tensor, history, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 3.8))
    eps = 1.0 + rho[:, 0, :].T * (EPS_LAYER - 1.0)
    shown = left.imshow(eps.numpy(), origin="lower", cmap="Greys", vmin=1.0, vmax=EPS_LAYER,
                        extent=(0, PERIOD, problem.z_layer, problem.z_layer + THICKNESS),
                        aspect="auto")
    fig.colorbar(shown, ax=left, label="ε")
    left.set_xlabel("x (one period)")
    left.set_ylabel("z")
    left.set_title("design")
    right.plot(range(len(history)), history, "o-", ms=3)
    right.set_xlabel("iteration")
    right.set_ylabel("+1 order efficiency")
    right.set_ylim(0, 1)
    right.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m orvane_sim design", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--backend", choices=("cpu", "cuda"), default="cpu")
    parser.add_argument("--resolution", type=int, default=30)
    parser.add_argument("--iterations", type=int, default=25)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--out", default="metagrating.png", help="the plot written")
    add_version_option(parser)
    args = parser.parse_args(argv)
    problem = Metagrating(args.resolution, backend=args.backend)
    print(f"metagrating: period {PERIOD:.4f}, +1 order at {ANGLE:g}° in glass, layer ε = "
          f"{EPS_LAYER:g}, {args.resolution} cells per unit, "
          f"{'x'.join(map(str, problem.sim.shape))} cells")
    rho, history = optimise(problem, args.iterations, seed=args.seed)
    print(f"efficiency: {history[0]:.4f} at the start, {max(history):.4f} at best, "
          f"{history[-1]:.4f} at the end ({history[-1] / history[0]:.1f} times the start); "
          f"forward run {problem.design.timings['forward']:.1f} s, adjoint run "
          f"{problem.design.timings['adjoint']:.1f} s")
    plot(problem, rho, history, args.out)
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
